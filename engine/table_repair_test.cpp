#include "engine/table_repair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "engine/repair_test_helpers.h"
#include "support/test_errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::Snapshot;

using testing::CodeOf;

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class RepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    session->SetPrivateDirectory(scratch.Path());
    directory = session->OpenDataDirectory("test", folder.Path());
  }

  struct TRun {
    bool Result = false;
    std::vector<std::string> Lines;
    std::vector<std::pair<std::string, int>> Progress;
    bool Has(const std::string& line) const { return std::find(Lines.begin(), Lines.end(), line) != Lines.end(); }
    bool HasPrefix(const std::string& prefix) const {
      for (const std::string& l : Lines)
        if (l.rfind(prefix, 0) == 0) return true;
      return false;
    }
  };

  TRun Run(bool verifyOnly, bool force = false, const std::string& name = "rich") {
    TDataCursor c(memory ? memoryDirectory : directory);
    c.SetTableName(name);
    c.SetExclusive(true);
    c.SetInMemory(memory);
    TTableRepair repair(c);
    TRun run;
    repair.RepairLog = [&](const std::string& line) { run.Lines.push_back(line); };
    repair.RepairProgress = [&](const std::string& step, int p) { run.Progress.push_back({step, p}); };
    run.Result = repair.RepairTable(verifyOnly, false, force);
    return run;
  }

  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(folder.Path()))
      files[e.path().filename().string()] = ReadBytes(e.path().string());
    return files;
  }

  // Verification must leave every byte as it was.
  TRun VerifyUnchanged(const std::string& name = "rich") {
    auto before = Files();
    TRun run = Run(true, false, name);
    EXPECT_EQ(Files(), before) << "verification changed the files";
    return run;
  }

  // Verification finds the indexes out of step with the records; repair rebuilds them clean.
  void ExpectIndexesRebuilt() {
    TRun verify = VerifyUnchanged();
    EXPECT_FALSE(verify.Result);
    EXPECT_TRUE(verify.Has("Indexes do not match record data and are invalid"));
    TRun repair = Run(false);
    EXPECT_TRUE(repair.Has("Indexes do not match record data and are invalid, starting to fix indexes"));
    EXPECT_TRUE(repair.Has("Invalid indexes fixed"));
    EXPECT_TRUE(Run(true).Result);
  }

  void ExpectRepairedClean(const testing::TTableSnapshot& expected) {
    TRun repaired = Run(false);
    EXPECT_FALSE(repaired.Result);
    TRun after = Run(true);
    EXPECT_TRUE(after.Result) << (after.Lines.size() > 1 ? after.Lines[1] : "");
    EXPECT_EQ(Snapshot(directory, "rich"), expected);
  }

  std::string Path(const std::string& ext) const { return folder.File("rich" + ext); }

  testing::TTestFolder folder, scratch;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
  // Runs work on the table of the same name in the in-memory database.
  bool memory = false;
  TDataDirectory* memoryDirectory = nullptr;
};

TEST_F(RepairTest, HealthyTableVerifiesWithTheStartedAndCompletedLinesOnly) {
  testing::FillRichTable(directory, "rich", 60, 1);
  TRun run = VerifyUnchanged();
  EXPECT_TRUE(run.Result);
  ASSERT_EQ(run.Lines.size(), 2u);
  EXPECT_EQ(run.Lines[0].rfind("Verification of table rich started at ", 0), 0u);
  EXPECT_EQ(run.Lines[1].rfind("Verification of table rich completed at ", 0), 0u);
  // Both steps report and end at 100.
  EXPECT_EQ(run.Progress.front(), std::make_pair(std::string("Verifying headers"), 0));
  EXPECT_EQ(run.Progress.back(), std::make_pair(std::string("Verifying record and BLOB data"), 100));
  // A repair of a healthy table finds nothing either, and keeps every value.
  auto before = Snapshot(directory, "rich");
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Result);
  EXPECT_EQ(repair.Lines.size(), 2u);
  EXPECT_EQ(Snapshot(directory, "rich"), before);
}

TEST_F(RepairTest, ForcedRebuildKeepsEveryRecordAndLogsNoFinding) {
  testing::FillRichTable(directory, "rich", 80, 2);
  auto before = Snapshot(directory, "rich");
  TRun run = Run(false, true);
  EXPECT_TRUE(run.Result);
  EXPECT_EQ(run.Lines.size(), 2u);
  bool rebuilt = false;
  for (auto& p : run.Progress) rebuilt = rebuilt || p.first == "Rebuilding indexes";
  EXPECT_TRUE(rebuilt);
  EXPECT_EQ(Snapshot(directory, "rich"), before);
  // The word index too, with the table's own parameters.
  testing::TTestCursor c(directory);
  c.SetTableName("rich");
  c.OpenCursor();
  EXPECT_EQ(c.GetTextIndexParams().StopWords, (std::vector<std::string>{"AND", "KILO", "THE"}));
  c.CloseCursor();
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");
}

TEST_F(RepairTest, PreconditionsAreRaised) {
  testing::FillRichTable(directory, "rich", 3, 3);
  TDataCursor c(directory);
  c.SetTableName("rich");
  EXPECT_EQ(CodeOf([&] { TTableRepair(c).RepairTable(true, false, false); }), KORVEL_NEEDEXCLACCESS);
  c.SetExclusive(true);
  c.OpenCursor();
  EXPECT_EQ(CodeOf([&] { TTableRepair(c).RepairTable(true, false, false); }), KORVEL_TABLEOPEN);
  c.CloseCursor();
  // Another user of the table keeps the repair out.
  TDataCursor other(directory);
  other.SetTableName("rich");
  other.OpenCursor();
  EXPECT_NE(CodeOf([&] { TTableRepair(c).RepairTable(false, false, false); }), 0);
}

TEST_F(RepairTest, RecreatedEmptyIndexFileIsRebuiltWithTheLiveRecordCount) {
  testing::FillRichTable(directory, "rich", 50, 4);
  auto before = Snapshot(directory, "rich");
  // An empty index file of the same table: its header holds the definitions but no page.
  std::string index = ReadBytes(Path(".IDX"));
  std::string empty = index.substr(0, 4096);
  for (int slot = 0; slot < 33; ++slot)
    for (std::size_t at : {86u, 90u, 96u}) std::memset(empty.data() + 14 + slot * 120 + at, 0, 4);
  PutI32(empty.data(), 9, 1);
  PutI32(empty.data(), 3974, 0);
  WriteBytes(Path(".IDX"), empty);
  ExpectIndexesRebuilt();
  EXPECT_EQ(Snapshot(directory, "rich"), before);
  TDataCursor c(directory);
  c.SetTableName("rich");
  c.OpenCursor();
  EXPECT_EQ(c.Table->GetActualRecordCount(), static_cast<std::int32_t>(before.size()));
}

TEST_F(RepairTest, MissingIndexFileIsReportedAndRecreated) {
  testing::FillRichTable(directory, "rich", 20, 5);
  auto before = Snapshot(directory, "rich");
  std::filesystem::remove(Path(".IDX"));
  TRun verify = VerifyUnchanged();
  EXPECT_FALSE(verify.Result);
  EXPECT_TRUE(verify.Has("Index file missing"));
  EXPECT_FALSE(std::filesystem::exists(Path(".IDX")));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Index file missing, error fixed"));
  EXPECT_TRUE(Run(true).Result);
  // The definitions went with the file: the records stay, reachable physically.
  EXPECT_EQ(Snapshot(directory, "rich"), before);
}

TEST_F(RepairTest, DuplicateFieldNamesAreRenamedByFieldNumber) {
  testing::FillRichTable(directory, "rich", 10, 6);
  std::string data = ReadBytes(Path(".DAT"));
  // Field 3 ("Code") becomes "NAME": the same name as field 2 but for letter case.
  const std::size_t at = 127 + 2 * 768 + 2;
  data[at] = 4;
  std::memcpy(data.data() + at + 1, "NAME", 4);
  WriteBytes(Path(".DAT"), data);
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Invalid field name (duplicate) for field NAME in table header"));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Invalid field name (duplicate) for field NAME in table header, error fixed"));
  EXPECT_TRUE(Run(true).Result);
  TDataCursor c(directory);
  c.SetTableName("rich");
  c.OpenCursor();
  EXPECT_EQ(c.GetFieldDefinition(3).FieldName, "F3NAME");
}

TEST_F(RepairTest, StrayBytesAfterTheLastRecordAreCut) {
  testing::FillRichTable(directory, "rich", 30, 7);
  auto before = Snapshot(directory, "rich");
  std::string data = ReadBytes(Path(".DAT"));
  WriteBytes(Path(".DAT"), data + "abcde");
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Physical records not aligned on even record size boundaries"));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Physical records not aligned on even record size boundaries, error fixed"));
  EXPECT_EQ(ReadBytes(Path(".DAT")).size(), data.size());
  EXPECT_TRUE(Run(true).Result);
  EXPECT_EQ(Snapshot(directory, "rich"), before);
}

// The first live record with a memo of at least two blocks: its number, the memo's first block.
std::pair<std::int32_t, std::int32_t> LongMemo(TDataDirectory* directory) {
  TDataCursor c(directory);
  c.SetTableName("rich");
  c.OpenCursor();
  const TFieldDefinition& notes = c.GetFieldDefinition(17);
  for (std::int32_t n = 1; n <= c.Table->GetPhysicalRecordsUsed(); ++n) {
    TRecord* r = nullptr;
    c.Table->GetRecord(nullptr, n, false, false, true, r);
    std::int32_t first = GetI32(r->Buffer(), notes.Offset + 1u);
    bool deleted = r->GetIsDeleted();
    c.Table->PutRecord(r);
    if (deleted || first == 0) continue;
    TBlock* b = nullptr;
    c.Table->BlobFile->GetBlock(nullptr, first, false, 1, b);
    std::int32_t length = b->GetBlobLength();
    c.Table->BlobFile->PutBlock(b);
    if (length > 494) return {n, first};
  }
  return {0, 0};
}

TEST_F(RepairTest, BlockNamingItselfAsNextEndsTheChainThereWithTheLengthCorrected) {
  testing::FillRichTable(directory, "rich", 30, 8);
  auto [record, first] = LongMemo(directory);
  ASSERT_NE(record, 0);
  std::string blobs = ReadBytes(Path(".BLB"));
  PutI32(blobs.data(), 512 + static_cast<std::size_t>(first - 1) * 512 + 4, first);
  WriteBytes(Path(".BLB"), blobs);
  const std::string recursive = "Recursive intra-block pointer in BLOB file for physical record # " + std::to_string(record);
  TRun verify = VerifyUnchanged();
  EXPECT_FALSE(verify.Result);
  EXPECT_TRUE(verify.Has(recursive));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has(recursive + ", error fixed"));
  EXPECT_TRUE(repair.Has("BLOB size mismatch in BLOB file for physical record # " + std::to_string(record) +
                         ", error fixed"));
  EXPECT_TRUE(Run(true).Result);
  // The value now ends with its first block: 494 bytes.
  auto after = Snapshot(directory, "rich");
  EXPECT_EQ(after.size(), Snapshot(directory, "rich").size());
  // The memo lost words: the word index holds those of the shortened value only.
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");
}

// The null flag of a BLOB field says whether the value has blocks: a flag lost while the chain
// is sound would hide the value, a flag set without blocks makes an empty value of a null one.
TEST_F(RepairTest, BlobNullFlagThatContradictsThePointerIsFixedWithoutLosingTheValue) {
  testing::FillRichTable(directory, "rich", 30, 16);
  const auto before = Snapshot(directory, "rich");
  auto [record, first] = LongMemo(directory);
  ASSERT_NE(record, 0);
  std::string data = ReadBytes(Path(".DAT"));
  const std::size_t fields = GetU16(data.data(), 23);
  const std::size_t recordSize = GetU16(data.data(), 21);
  auto fieldOffset = [&](int i) { return GetU16(data.data(), 127 + 768 * static_cast<std::size_t>(i - 1) + 90); };
  auto at = [&](std::int32_t n, int field) {
    return 127 + 768 * fields + static_cast<std::size_t>(n - 1) * recordSize + fieldOffset(field);
  };
  // Record 2 has no binary value (only records 1, 5, 9, ... have one).
  ASSERT_EQ(data[at(2, 18)], 0);
  data[at(record, 17)] = 0;
  data[at(2, 18)] = 1;
  WriteBytes(Path(".DAT"), data);
  const std::string line = "Invalid BLOB offset into BLOB file for physical record # ";
  TRun verify = VerifyUnchanged();
  EXPECT_FALSE(verify.Result);
  EXPECT_TRUE(verify.Has(line + std::to_string(record)));
  EXPECT_TRUE(verify.Has(line + "2"));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has(line + std::to_string(record) + ", error fixed"));
  EXPECT_TRUE(repair.Has(line + "2, error fixed"));
  EXPECT_TRUE(Run(true).Result);
  EXPECT_EQ(Snapshot(directory, "rich"), before);
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");
}

// ---------------------------------------------------------------------------------------------
// The word index

class TextRepairTest : public RepairTest {
 protected:
  // Opens the table for a change of its word keys made behind the cursor's back.
  std::unique_ptr<testing::TTestCursor> Open() {
    auto c = std::make_unique<testing::TTestCursor>(directory);
    c->SetTableName("rich");
    c->SetExclusive(true);
    c->OpenCursor();
    return c;
  }

  // The page that holds the text-indexing parameters.
  std::int32_t ParamsPage() { return GetI32(ReadBytes(Path(".IDX")).data(), 14 + 32 * 120 + 96); }

  TTextIndexParams Params() { return Open()->GetTextIndexParams(); }
};

TEST_F(TextRepairTest, WordMissingItsKeyIsFoundAndTheIndexRebuiltWithTheTablesParameters) {
  testing::FillRichTable(directory, "rich", 40, 21);
  auto before = Snapshot(directory, "rich");
  const TTextIndexParams params = Params();
  ASSERT_EQ(params.StopWords, (std::vector<std::string>{"AND", "KILO", "THE"}));
  {
    auto c = Open();
    testing::TTextKeys keys = testing::ReadTextKeys(*c);
    ASSERT_GT(keys.size(), 10u);
    TBTreeCursor tree;
    c->ConfigureTree(tree, kSysTextSlot);
    tree.RemoveIndexKey(reinterpret_cast<const std::uint8_t*>(keys[keys.size() / 2].first.data()));
    c->CloseCursor();
  }
  ExpectIndexesRebuilt();
  EXPECT_EQ(Snapshot(directory, "rich"), before);
  // The rebuild emptied the index file; the parameters are the table's own still.
  EXPECT_EQ(Params(), params);
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");
}

TEST_F(TextRepairTest, KeysThatMatchNoWordOfALiveRecordAreFound) {
  testing::FillRichTable(directory, "rich", 40, 22);
  auto before = Snapshot(directory, "rich");
  {
    // A word no record holds, for a live record; and a word of a deleted record (record 7).
    auto c = Open();
    testing::TTextKeys keys = testing::ReadTextKeys(*c);
    ASSERT_FALSE(keys.empty());
    TBTreeCursor tree;
    c->ConfigureTree(tree, kSysTextSlot);
    std::uint8_t key[kTextKeySize];
    std::memcpy(key, keys.front().first.data(), kTextKeySize);
    std::memset(key + kTextKeyWordOffset, 0, kMaxWordLength);
    std::memcpy(key + kTextKeyWordOffset, "ZULU", 4);
    tree.AddIndexKey(key, keys.front().second);
    c->CloseCursor();
  }
  ExpectIndexesRebuilt();
  EXPECT_EQ(Snapshot(directory, "rich"), before);
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");

  {
    auto c = Open();
    TBTreeCursor tree;
    c->ConfigureTree(tree, kSysTextSlot);
    std::uint8_t key[kTextKeySize];
    TTextIndex::BuildKey(17, "ALPHA", 7, key);
    tree.AddIndexKey(key, 7);
    c->CloseCursor();
  }
  ExpectIndexesRebuilt();
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");
}

TEST_F(TextRepairTest, DamagedParametersAreReportedAndReplacedByTheDefaults) {
  testing::FillRichTable(directory, "rich", 30, 23);
  auto before = Snapshot(directory, "rich");
  const std::int32_t page = ParamsPage();
  ASSERT_GT(page, 0);
  std::string index = ReadBytes(Path(".IDX"));
  index[static_cast<std::size_t>(page) * 4096 + 13 + 4] = 99;  // the format version of the block
  WriteBytes(Path(".IDX"), index);
  TRun verify = VerifyUnchanged();
  EXPECT_FALSE(verify.Result);
  EXPECT_TRUE(verify.Has("Invalid or corrupt text indexing parameters in index"));
  EXPECT_TRUE(verify.Has("Indexes do not match record data and are invalid"));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Invalid or corrupt text indexing parameters in index, error fixed"));
  EXPECT_TRUE(repair.Has("Invalid indexes fixed"));
  TRun after = Run(true);
  EXPECT_TRUE(after.Result) << (after.Lines.size() > 1 ? after.Lines[1] : "");
  EXPECT_EQ(Snapshot(directory, "rich"), before);
  EXPECT_EQ(Params(), TTextIndexParams{});
  // KILO is no default stop word: the rebuilt keys hold it now.
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");
  auto c = Open();
  bool kilo = false;
  for (const auto& key : testing::ReadTextKeys(*c)) kilo = kilo || key.first.compare(kTextKeyWordOffset, 5, std::string("KILO\0", 5)) == 0;
  EXPECT_TRUE(kilo);
}

TEST_F(TextRepairTest, ParameterPointerAtAnIndexPageIsReported) {
  testing::FillRichTable(directory, "rich", 30, 24);
  std::string index = ReadBytes(Path(".IDX"));
  // The primary index's root page is a B-tree page, not a page of parameters.
  PutI32(index.data(), 14 + 32 * 120 + 96, GetI32(index.data(), 14 + 86));
  WriteBytes(Path(".IDX"), index);
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Invalid or corrupt text indexing parameters in index"));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Invalid or corrupt text indexing parameters in index, error fixed"));
  EXPECT_TRUE(Run(true).Result);
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(directory, "rich"), "");
}

TEST_F(RepairTest, ZeroAndDuplicateRecordIDsGetNewIDsAndTheCounterFollows) {
  testing::FillRichTable(directory, "rich", 12, 9);
  auto before = Snapshot(directory, "rich");
  std::string data = ReadBytes(Path(".DAT"));
  const std::int32_t recordSize = GetU16(data.data(), 21);
  const std::size_t area = 127 + 768 * 18;
  PutI32(data.data(), area + 1 * recordSize + 5, 0);   // record 2: ID 0
  PutI32(data.data(), area + 3 * recordSize + 5, 3);   // record 4: ID of record 3
  PutI32(data.data(), 17, 2);                          // LastRecordID far too low
  WriteBytes(Path(".DAT"), data);
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Logical record ID for physical record # 2 is invalid"));
  EXPECT_TRUE(verify.Has("Logical record ID for physical record # 4 is invalid"));
  EXPECT_TRUE(verify.Has("Invalid next available record ID (auto-increment)"));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Logical record ID for physical record # 2 is invalid, error fixed"));
  EXPECT_TRUE(Run(true).Result);
  // Every record is still there; the two that lost their IDs have new ones above the others.
  auto after = Snapshot(directory, "rich");
  EXPECT_EQ(after.size(), before.size());
  EXPECT_EQ(after.count(13) + after.count(14), 2u);
}

TEST_F(RepairTest, HeaderCountsAndFreePointerAreFixed) {
  testing::FillRichTable(directory, "rich", 25, 10);
  auto before = Snapshot(directory, "rich");
  std::string data = ReadBytes(Path(".DAT"));
  PutI32(data.data(), 13, 400);  // NextRecordNumber
  PutI32(data.data(), 9, -3);    // FirstFreeRecord
  PutU16(data.data(), 25, 5);    // BlobFieldCount
  WriteBytes(Path(".DAT"), data);
  std::string blobs = ReadBytes(Path(".BLB"));
  PutI32(blobs.data(), 9, 9999);  // NextEndingBlockNumber
  WriteBytes(Path(".BLB"), blobs);
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Physical record count not correct"));
  EXPECT_TRUE(verify.Has("Invalid next free record pointer"));
  EXPECT_TRUE(verify.Has("Invalid BLOB field count in table header"));
  EXPECT_TRUE(verify.Has("Physical BLOB block count not correct"));
  ExpectRepairedClean(before);
}

TEST_F(RepairTest, DamagedIndexDefinitionsAreFixedAndTheIndexesRebuilt) {
  testing::FillRichTable(directory, "rich", 25, 11);
  auto before = Snapshot(directory, "rich");
  std::string index = ReadBytes(Path(".IDX"));
  const std::size_t byName = 14 + 1 * 120, byCode = 14 + 2 * 120, byCount = 14 + 3 * 120;
  index[byName + 1] = '9';                  // name no longer starts with a letter
  PutU16(index.data(), byCode + 54, 77);    // first key field names no field
  PutU16(index.data(), byCount + 31, 300);  // key size
  PutI32(index.data(), byCount + 86, 123456);  // root page beyond the file
  WriteBytes(Path(".IDX"), index);
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Invalid index name for index 9yName"));
  EXPECT_TRUE(verify.Has("Invalid field number 77 in index ByCode"));
  EXPECT_TRUE(verify.Has("Invalid key size of 300 for index ByCount"));
  EXPECT_TRUE(verify.Has("Invalid root page pointer for index ByCount"));
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Invalid field number 77 in index ByCode, error fixed and field 77 removed from index"));
  EXPECT_TRUE(Run(true).Result);
  EXPECT_EQ(Snapshot(directory, "rich"), before);
}

TEST_F(RepairTest, DuplicateKeyInAUniqueIndexDeletesTheLaterRecord) {
  testing::FillRichTable(directory, "rich", 10, 12);
  std::string data = ReadBytes(Path(".DAT"));
  const std::int32_t recordSize = GetU16(data.data(), 21);
  const std::size_t area = 127 + 768 * 18;
  // Count (unique) of record 5 becomes that of record 4.
  TDataCursor probe(directory);
  probe.SetTableName("rich");
  probe.OpenCursor();
  const std::uint16_t count = probe.GetFieldDefinition(6).Offset;
  probe.CloseCursor();
  PutI32(data.data(), area + 4 * recordSize + count + 1, 4);
  WriteBytes(Path(".DAT"), data);
  EXPECT_FALSE(VerifyUnchanged().Result);
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Error rebuilding index keys for physical record # 5, error fixed but physical record deleted"));
  EXPECT_TRUE(Run(true).Result);
  auto after = Snapshot(directory, "rich");
  EXPECT_EQ(after.count(5), 0u);
  EXPECT_EQ(after.count(4), 1u);
}

TEST_F(RepairTest, OlderVersionIsRefusedForUpgrade) {
  testing::FillRichTable(directory, "rich", 3, 13);
  std::string data = ReadBytes(Path(".DAT"));
  data[8] = 4;
  WriteBytes(Path(".DAT"), data);
  EXPECT_EQ(CodeOf([&] { Run(false); }), KORVEL_OLDVERSION);
  EXPECT_EQ(ReadBytes(Path(".DAT")), data);
}

TEST_F(RepairTest, DamagedFieldTypeThatTheLayoutContradictsIsLeftAndReported) {
  testing::FillRichTable(directory, "rich", 10, 14);
  std::string data = ReadBytes(Path(".DAT"));
  data[127 + 5 * 768 + 84] = 0;  // field 6 (Count): unknown type
  WriteBytes(Path(".DAT"), data);
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Invalid field data type (Unknown) for field Count in table header"));
  TRun repair = Run(false);
  EXPECT_FALSE(repair.Result);
  EXPECT_TRUE(repair.Has("Invalid field data type (Unknown) for field Count in table header, error cannot be fixed"));
  // The field keeps the room it had: the layout, and so every record, stays as it was.
  std::string after = ReadBytes(Path(".DAT"));
  EXPECT_EQ(after.size(), data.size());
  EXPECT_EQ(GetU16(after.data(), 21), GetU16(data.data(), 21));
  EXPECT_FALSE(Run(true).Result);
}

TEST_F(RepairTest, ScrambledTableNeedsItsPasswordAndIsRepairedLikeAnyOther) {
  testing::FillRichTable(directory, "rich", 30, 15, true);
  auto before = Snapshot(directory, "rich");
  std::string data = ReadBytes(Path(".DAT"));
  PutI32(data.data(), 13, 999);
  WriteBytes(Path(".DAT"), data + "xyz");
  {
    TDataSession stranger(false);
    stranger.SetPrivateDirectory(scratch.Path());
    TDataCursor c(stranger.OpenDataDirectory("test", folder.Path()));
    c.SetTableName("rich");
    c.SetExclusive(true);
    auto files = Files();
    EXPECT_EQ(CodeOf([&] { TTableRepair(c).RepairTable(false, false, false); }), KORVEL_NOTSUFFTABLERIGHTS);
    EXPECT_EQ(Files(), files);
  }
  TRun verify = VerifyUnchanged();
  EXPECT_TRUE(verify.Has("Physical record count not correct"));
  EXPECT_TRUE(verify.Has("Physical records not aligned on even record size boundaries"));
  ExpectRepairedClean(before);
}

// ---------------------------------------------------------------------------------------------
// In-memory tables

class MemoryRepairTest : public RepairTest {
 protected:
  void SetUp() override {
    RepairTest::SetUp();
    memoryDirectory = session->OpenDataDirectory(kMemoryDatabaseName, "");
    memory = true;
    // Tests before this one in the same process may have left in-memory files of their own.
    for (const auto& [name, bytes] : MemoryFiles()) earlier_.insert(name);
  }
  void TearDown() override {
    // In-memory files outlive the session: the next test must not find them.
    memoryDirectory->DeleteDataTable("rich", true);
  }

  std::string MemoryName(const char* ext) const { return memoryDirectory->GetTableFileName("rich", ext); }

  // A disk table (damaged there with the file tools) copied into the in-memory database.
  void CopyToMemory() {
    for (const char* ext : {kDataFileExt, kIndexFileExt, kBlobFileExt}) {
      if (!std::filesystem::exists(Path(ext))) continue;
      TFileHandler file;
      file.FileName = Path(ext);
      file.OpenFile();
      file.CopyToFile(false, MemoryName(ext), true);
      file.CloseFile();
    }
  }

  // The bytes of every in-memory file of the database that was not there when the test began.
  std::map<std::string, std::string> MemoryFiles() {
    TStringList names;
    ListFiles(names, memoryDirectory->Path + "*", true, true);
    std::map<std::string, std::string> files;
    for (std::size_t i = 0; i < names.Count(); ++i) {
      if (earlier_.count(names[i]) != 0) continue;
      TFileHandler file;
      file.FileName = memoryDirectory->Path + names[i];
      file.InMemory = true;
      file.OpenFile();
      std::string bytes(static_cast<std::size_t>(file.GetSize()), '\0');
      if (!bytes.empty()) file.ReadAt(0, bytes.data(), static_cast<std::int64_t>(bytes.size()));
      file.CloseFile();
      files[names[i]] = bytes;
    }
    return files;
  }

 private:
  std::set<std::string> earlier_;
};

TEST_F(MemoryRepairTest, HealthyTableVerifiesClean) {
  testing::FillRichTable(directory, "rich", 30, 31);
  CopyToMemory();
  const auto before = MemoryFiles();
  ASSERT_EQ(before.size(), 3u);
  ASSERT_EQ(before.count("rich.IDX"), 1u);
  TRun run = Run(true);
  EXPECT_TRUE(run.Result) << (run.Lines.size() > 1 ? run.Lines[1] : "");
  EXPECT_EQ(run.Lines.size(), 2u);
  EXPECT_EQ(MemoryFiles(), before);
  EXPECT_EQ(Snapshot(memoryDirectory, "rich", true), Snapshot(directory, "rich"));
}

TEST_F(MemoryRepairTest, DamageIsReportedWithoutAChangeAndRepairedInMemory) {
  testing::FillRichTable(directory, "rich", 40, 32);
  const auto expected = Snapshot(directory, "rich");
  // A header finding (stray bytes: verification then reads through a scratch copy), a BLOB
  // chain that loops, and the word index's parameters damaged.
  auto [record, first] = LongMemo(directory);
  ASSERT_NE(record, 0);
  WriteBytes(Path(".DAT"), ReadBytes(Path(".DAT")) + "xyz");
  std::string blobs = ReadBytes(Path(".BLB"));
  PutI32(blobs.data(), 512 + static_cast<std::size_t>(first - 1) * 512 + 4, first);
  WriteBytes(Path(".BLB"), blobs);
  std::string index = ReadBytes(Path(".IDX"));
  const std::int32_t page = GetI32(index.data(), 14 + 32 * 120 + 96);
  ASSERT_GT(page, 0);
  index[static_cast<std::size_t>(page) * 4096 + 13 + 4] = 99;
  WriteBytes(Path(".IDX"), index);
  CopyToMemory();

  const auto before = MemoryFiles();
  TRun verify = Run(true);
  EXPECT_EQ(MemoryFiles(), before) << "verification changed the in-memory files or left a copy behind";
  EXPECT_FALSE(verify.Result);
  EXPECT_TRUE(verify.Has("Physical records not aligned on even record size boundaries"));
  EXPECT_TRUE(verify.Has("Recursive intra-block pointer in BLOB file for physical record # " + std::to_string(record)));
  EXPECT_TRUE(verify.Has("Invalid or corrupt text indexing parameters in index"));

  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Physical records not aligned on even record size boundaries, error fixed"));
  EXPECT_TRUE(repair.Has("Invalid or corrupt text indexing parameters in index, error fixed"));
  TRun after = Run(true);
  EXPECT_TRUE(after.Result) << (after.Lines.size() > 1 ? after.Lines[1] : "");
  // Every record but the one whose memo lost its later blocks reads back as it was.
  auto repaired = Snapshot(memoryDirectory, "rich", true);
  ASSERT_EQ(repaired.size(), expected.size());
  int differing = 0;
  for (const auto& [id, text] : expected) differing += repaired.at(id) != text ? 1 : 0;
  EXPECT_EQ(differing, 1);
  EXPECT_EQ(testing::TextIndexMatchesAFreshBuild(memoryDirectory, "rich", true), "");
  // The disk table of the same name was not touched: its damage is still there.
  memory = false;
  EXPECT_FALSE(Run(true).Result);
  memory = true;
}

TEST_F(MemoryRepairTest, MissingIndexFileIsCreatedInMemory) {
  testing::FillRichTable(directory, "rich", 20, 33);
  const auto expected = Snapshot(directory, "rich");
  std::filesystem::remove(Path(".IDX"));
  CopyToMemory();
  TRun verify = Run(true);
  EXPECT_TRUE(verify.Has("Index file missing"));
  EXPECT_EQ(MemoryFiles().count("rich.IDX"), 0u);
  TRun repair = Run(false);
  EXPECT_TRUE(repair.Has("Index file missing, error fixed"));
  EXPECT_TRUE(Run(true).Result);
  EXPECT_EQ(Snapshot(memoryDirectory, "rich", true), expected);
}

}  // namespace
}  // namespace korvel
