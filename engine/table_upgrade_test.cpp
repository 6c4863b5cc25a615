#include "engine/table_upgrade.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/cursor_test_helpers.h"
#include "engine/data_file_bytes.h"
#include "framework/currency_bcd.h"
#include "support/byte_order.h"
#include "support/scramble.h"
#include "support/test_errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::CodeOf;

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One record of the old test table.
struct TOldRecord {
  std::int32_t ID = 0;
  bool Deleted = false;
  std::string Name;
  std::int64_t Amount = 0;  // currency, 1/10,000
  std::int32_t Count = 0;
  std::string Notes;        // empty: null
};

// Writes a table of an older format version, as the old engines laid it out (see
// engine/table_upgrade.h): fields ID (auto-increment), Name (string 20), Amount (BCD, 2
// decimals), Count (integer), Notes (memo); a primary index on ID and ByName on Name.
class TOldTableWriter {
 public:
  TOldTableWriter(std::uint8_t version, bool encrypted) : version_(version), encrypted_(encrypted) {}

  void Write(const std::string& folder, const std::string& table, const std::vector<TOldRecord>& records) {
    WriteBlobs(records);
    WriteData(folder + table + ".DAT", records);
    WriteIndex(folder + table + ".IDX");
    WriteBytes(folder + table + ".BLB", blob_);
  }

  static constexpr std::int32_t kBlockSize = 512;

 private:
  // Old value sizes: BLOB 8 (version 4) or 4, BCD 8.
  std::uint8_t BlobSize() const { return version_ == 4 ? 8 : 4; }
  // Offsets in the old record: Name 9, Amount 31, Count 40, Notes 45.
  static constexpr std::uint16_t kName = 9, kAmount = 31, kCount = 40, kNotes = 45;
  std::uint16_t RecordSize() const { return static_cast<std::uint16_t>(kNotes + 1 + BlobSize()); }

  void Scramble(std::uint8_t* p, std::size_t n) const {
    if (encrypted_ && n > 0) EncryptBuffer(p, n, kTableDataSeedA, kTableDataSeedB);
  }

  void WriteBlobs(const std::vector<TOldRecord>& records) {
    blob_.assign(kBlobHeaderSize, 0);
    offsets_.clear();
    const std::size_t data = kBlockSize - kBlockHeaderSize;
    for (std::size_t r = 0; r < records.size(); ++r) {
      const std::string& v = records[r].Notes;
      if (v.empty() || records[r].Deleted) {
        offsets_.push_back(0);
        continue;
      }
      std::int32_t first = static_cast<std::int32_t>(blob_.size());
      offsets_.push_back(first);
      std::int32_t previous = 0;
      for (std::size_t at = 0; at < v.size(); at += data) {
        std::int32_t here = static_cast<std::int32_t>(blob_.size());
        std::size_t length = std::min(data, v.size() - at);
        std::vector<std::uint8_t> block(kBlockSize, 0);
        PutI32(block.data(), 0, previous);
        PutI32(block.data(), 4, at + data < v.size() ? here + kBlockSize : 0);
        PutU16(block.data(), 8, static_cast<std::uint16_t>(length));
        PutI32(block.data(), 10, version_ == 4 ? Signature(r) : 0);
        PutI32(block.data(), 14, at == 0 ? static_cast<std::int32_t>(v.size()) : 0);
        std::memcpy(block.data() + kBlockHeaderSize, v.data() + at, length);
        Scramble(block.data(), kBlockHeaderSize);
        Scramble(block.data() + kBlockHeaderSize, data);
        blob_.insert(blob_.end(), block.begin(), block.end());
        previous = here;
      }
    }
    // One free block at the end, on the free chain.
    std::int32_t free = static_cast<std::int32_t>(blob_.size());
    std::vector<std::uint8_t> block(kBlockSize, 0);
    Scramble(block.data(), kBlockHeaderSize);
    Scramble(block.data() + kBlockHeaderSize, data);
    blob_.insert(blob_.end(), block.begin(), block.end());
    std::uint8_t* h = blob_.data();
    h[4] = version_;
    PutI32(h, 5, free);
    PutI32(h, 9, static_cast<std::int32_t>(blob_.size()));
    Scramble(h, kBlobHeaderSize);
  }

  static std::int32_t Signature(std::size_t r) { return 1000 + static_cast<std::int32_t>(r); }

  void PutField(std::uint8_t* def, std::size_t size, int number, const std::string& name, std::uint8_t type,
                std::uint8_t subType, std::uint8_t length, std::uint8_t decimals, std::uint16_t offset,
                std::uint8_t oldSize) const {
    if (size == kFieldDefinitionSize) {
      TFieldDefinition f;
      f.FieldNumber = static_cast<std::uint16_t>(number);
      f.FieldName = name;
      f.DataType = type;
      f.SubType = subType;
      f.Length = length;
      f.Decimals = decimals;
      f.PhysicalSize = oldSize;
      f.Offset = offset;
      f.CharCase = version_ == 3 ? 7 : 0;  // version 3 has no CharCase: whatever stands there is ignored
      if (type == dtInteger && subType == 0) f.DefaultValue = "5";
      f.MemoryTail.assign(kFieldDefinitionSize - kStoredFieldDefinitionSize, 0);
      f.EncodeTo(def);
      return;
    }
    PutU16(def, 0, static_cast<std::uint16_t>(number));
    PutShortString(def, 2, 30, name);
    PutShortString(def, 33, 50, "");
    def[84] = type;
    def[85] = subType;
    def[86] = length;
    def[87] = decimals;
    PutU16(def, 88, offset);
    if (type == dtInteger && subType == 0) PutShortString(def, 194, 50, "5");
  }

  void WriteData(const std::string& path, const std::vector<TOldRecord>& records) {
    const std::size_t defSize = version_ >= 3 ? kFieldDefinitionSize : 265;
    std::vector<std::uint8_t> file(kDataHeaderSize + 5 * defSize, 0);
    std::uint8_t* h = file.data();
    PutI32(h, 4, kBlockSize);
    h[8] = version_;
    PutI32(h, 13, static_cast<std::int32_t>(records.size()) + 1);
    std::int32_t last = 0;
    for (const TOldRecord& r : records) last = std::max(last, r.ID);
    PutI32(h, 17, last);
    PutU16(h, 21, RecordSize());
    PutU16(h, 23, 5);
    PutU16(h, 25, 1);
    if (encrypted_) {
      h[86] = 1;
      std::string password = "secret";
      EncryptBuffer(password.data(), password.size(), kTextSeedA, kTextSeedB);
      PutShortString(h, 87, 15, password);
    }
    std::uint8_t* defs = h + kDataHeaderSize;
    PutField(defs, defSize, 1, "ID", dtInteger, stAutoInc, 0, 0, 5, 4);
    PutField(defs + defSize, defSize, 2, "Name", dtString, 0, 20, 0, kName, 21);
    PutField(defs + 2 * defSize, defSize, 3, "Amount", dtBCD, 0, 0, 2, kAmount, 8);
    PutField(defs + 3 * defSize, defSize, 4, "Count", dtInteger, 0, 0, 0, kCount, 4);
    PutField(defs + 4 * defSize, defSize, 5, "Notes", dtBlob, stMemo, 0, 0, kNotes, BlobSize());
    std::size_t scrambled = version_ == 4 ? 5 * defSize : (5 * defSize) % 65536;
    Scramble(defs, scrambled);
    for (std::size_t i = 0; i < records.size(); ++i) {
      const TOldRecord& r = records[i];
      std::vector<std::uint8_t> rec(RecordSize(), 0);
      rec[0] = r.Deleted ? 1 : 0;
      PutI32(rec.data(), 1, r.Deleted ? 0 : static_cast<std::int32_t>(i + 1));
      PutI32(rec.data(), 5, r.ID);
      rec[kName] = 1;
      std::memcpy(rec.data() + kName + 1, r.Name.data(), r.Name.size());
      rec[kAmount] = 1;
      PutI64(rec.data(), kAmount + 1u, r.Amount);
      rec[kCount] = 1;
      PutI32(rec.data(), kCount + 1u, r.Count);
      if (offsets_[i] != 0) {
        rec[kNotes] = 1;
        PutI32(rec.data(), kNotes + 1u, offsets_[i]);
        if (version_ == 4) PutI32(rec.data(), kNotes + 5u, Signature(i));
      }
      Scramble(rec.data(), rec.size());
      file.insert(file.end(), rec.begin(), rec.end());
    }
    WriteBytes(path, file);
  }

  void WriteIndex(const std::string& path) {
    if (version_ >= 3) {
      TIndexHeader h;
      h.VersionNum = version_;
      h.NextEndingPageNumber = 1;
      h.IndexCount = 1;
      h.IndexDefinitions[0].KeySize = 5;
      h.IndexDefinitions[0].Unique = true;
      h.IndexDefinitions[0].KeyFieldCount = 1;
      h.IndexDefinitions[0].KeyFields[0] = 1;
      h.IndexDefinitions[1].IndexName = "ByName";
      h.IndexDefinitions[1].KeySize = 22 + 4;
      h.IndexDefinitions[1].KeyFieldCount = 1;
      h.IndexDefinitions[1].KeyFields[0] = 2;
      h.IndexDefinitions[31].IndexName = "Sys Deleted";
      h.IndexDefinitions[31].KeySize = 5;
      h.IndexDefinitions[32].IndexName = "Sys Text";
      h.IndexDefinitions[32].KeySize = 68;
      h.IndexDefinitions[32].Compression = 3;
      std::vector<std::uint8_t> out(kIndexHeaderSize);
      h.EncodeTo(out.data());
      Scramble(out.data(), out.size());
      WriteBytes(path, out);
      return;
    }
    std::vector<std::uint8_t> out(2560, 0);
    out[4] = version_;
    out[5] = 1;
    std::uint8_t* primary = out.data() + 8;
    PutU16(primary, 31, 5);
    primary[35] = 1;
    primary[36] = 1;
    PutU16(primary, 37, 1);
    PutI32(primary, 69, 3);  // a root page of the old file: not carried over
    std::uint8_t* byName = out.data() + 8 + 80;
    PutShortString(byName, 0, 30, "ByName");
    PutU16(byName, 31, 26);
    byName[36] = 1;
    PutU16(byName, 37, 2);
    Scramble(out.data(), out.size());
    WriteBytes(path, out);
  }

  std::uint8_t version_;
  bool encrypted_;
  std::vector<std::uint8_t> blob_;
  std::vector<std::int32_t> offsets_;  // per record: the Notes value's first block offset
};

std::vector<TOldRecord> OldRecords() {
  std::vector<TOldRecord> records;
  for (int i = 1; i <= 40; ++i) {
    TOldRecord r;
    r.ID = i * 2;
    r.Deleted = i % 9 == 0;
    r.Name = "name" + std::to_string((i * 37) % 41);
    r.Amount = (i * 12345LL - 7000) * 100;  // whole cents
    r.Count = i * 3;
    if (i % 3 != 0) r.Notes = std::string(static_cast<std::size_t>(100 + i * 41), static_cast<char>('a' + i % 26));
    records.push_back(r);
  }
  return records;
}

class UpgradeTest : public ::testing::TestWithParam<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    session->SetPrivateDirectory(scratch.Path());
    directory = session->OpenDataDirectory("test", folder.Path());
  }
  std::unique_ptr<TDataCursor> Closed() {
    auto c = std::make_unique<TDataCursor>(directory);
    c->SetTableName("old");
    c->SetExclusive(true);
    c->PasswordCallback = [](const std::string&, std::string& p) {
      p = "secret";
      return true;
    };
    return c;
  }
  testing::TTestFolder folder, scratch;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

TEST_P(UpgradeTest, OldTableBecomesACurrentOneWithEveryLiveRecordAndValue) {
  const auto [version, encrypted] = GetParam();
  const std::vector<TOldRecord> records = OldRecords();
  TOldTableWriter(static_cast<std::uint8_t>(version), encrypted).Write(folder.Path(), "old", records);
  // The current engine refuses the old table until it is upgraded.
  {
    auto c = Closed();
    EXPECT_EQ(CodeOf([&] { c->OpenCursor(); }), KORVEL_OLDVERSION);
  }
  auto c = Closed();
  TTableUpgrade upgrade(*c);
  std::vector<std::string> lines;
  std::vector<std::string> steps;
  upgrade.UpgradeLog = [&](const std::string& l) { lines.push_back(l); };
  upgrade.UpgradeProgress = [&](const std::string& s, int) {
    if (steps.empty() || steps.back() != s) steps.push_back(s);
  };
  EXPECT_TRUE(upgrade.UpgradeTable());
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0].rfind("Upgrade of table old to version 3.00 started at ", 0), 0u);
  EXPECT_EQ(lines[1], "Field definitions of old upgraded to latest table version 3.00");
  EXPECT_EQ(lines[2], "40 records of old upgraded to latest table version 3.00");
  EXPECT_EQ(lines[3], "Index definitions of old upgraded to latest table version 3.00");
  EXPECT_EQ(lines[4], "Index header of old upgraded to latest table version 3.00");
  EXPECT_EQ(lines[5], "BLOB header of old upgraded to latest table version 3.00");
  EXPECT_EQ(lines.back().rfind("Upgrade of table old to version 3.00 completed at ", 0), 0u);
  for (const std::string& l : lines) EXPECT_EQ(l.find("error"), std::string::npos) << l;
  EXPECT_EQ(steps.front(), "Upgrading field definitions for old");
  for (const char* ext : {"old.DUP", "old.IUP", "old.BUP"}) EXPECT_TRUE(std::filesystem::exists(folder.File(ext)));

  // The table now opens, verifies clean, and holds every live record with its values.
  TTableRepair verify(*c);
  EXPECT_TRUE(verify.RepairTable(true, false, false));
  c->OpenCursor();
  EXPECT_EQ(c->Table->GetVersionNum(), 5);
  EXPECT_EQ(c->GetFieldDefinition(4).DefaultValue, "5");
  EXPECT_EQ(c->GetFieldDefinition(2).CharCase, 0);
  std::map<std::int32_t, const TOldRecord*> expected;
  for (const TOldRecord& r : records)
    if (!r.Deleted) expected[r.ID] = &r;
  EXPECT_EQ(c->GetRecordCount(), static_cast<std::int32_t>(expected.size()));
  c->SetIndexName("ByName");
  c->SetToBegin();
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c->GetRecordSize()));
  std::string previous;
  std::size_t seen = 0;
  while (c->GetNextRecord(rec.data()) == 0) {
    const std::int32_t id = TDataCursor::GetRecordID(rec.data());
    ASSERT_TRUE(expected.count(id)) << id;
    const TOldRecord& r = *expected[id];
    char name[32] = {};
    c->GetField(2, rec.data(), name);
    EXPECT_EQ(name, r.Name);
    EXPECT_LE(previous, std::string(name));
    previous = name;
    std::uint8_t bcd[34];
    c->GetField(3, rec.data(), bcd);
    TBcd expectedBcd;
    CurrToBCD(static_cast<Currency>(r.Amount), expectedBcd, 32, 2);
    std::uint8_t expectedBytes[34];
    expectedBcd.ToBytes(expectedBytes);
    EXPECT_EQ(std::memcmp(bcd, expectedBytes, 34), 0);
    std::int32_t count = 0;
    c->GetField(4, rec.data(), &count);
    EXPECT_EQ(count, r.Count);
    std::string notes;
    if (!c->GetField(5, rec.data(), nullptr)) {
      std::int64_t size = 0;
      ASSERT_EQ(c->OpenBlob(5, rec.data(), TBlobBuffer::omRead, false, false, size), 0);
      notes.resize(static_cast<std::size_t>(size));
      std::int64_t got = 0;
      EXPECT_EQ(c->GetBlob(5, rec.data(), false, got, size, notes.data(), 0), 0);
      c->FreeBlob(5, rec.data(), false);
    }
    EXPECT_EQ(notes, r.Notes);
    ++seen;
  }
  EXPECT_EQ(seen, expected.size());
  // New records continue after the old IDs.
  c->SetIndexPos(0);
  c->InitRecord(rec.data());
  c->PutField(2, rec.data(), "zz");
  std::int32_t count = 1;
  c->PutField(4, rec.data(), &count);
  c->AppendRecord(rec.data());
  EXPECT_EQ(TDataCursor::GetRecordID(rec.data()), 81);
}

INSTANTIATE_TEST_SUITE_P(Versions, UpgradeTest,
                         ::testing::Values(std::make_tuple(0, false), std::make_tuple(1, false),
                                           std::make_tuple(2, false), std::make_tuple(3, false),
                                           std::make_tuple(4, false), std::make_tuple(2, true),
                                           std::make_tuple(3, true), std::make_tuple(4, true)));

class UpgradeRefusalTest : public UpgradeTest {};

TEST_F(UpgradeRefusalTest, CurrentAndNewerTablesAreLeftAlone) {
  testing::CreateTable(directory, "old", testing::PeopleStructure());
  auto c = Closed();
  TTableUpgrade upgrade(*c);
  std::vector<std::string> lines;
  upgrade.UpgradeLog = [&](const std::string& l) { lines.push_back(l); };
  EXPECT_FALSE(upgrade.UpgradeTable());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "old is already at the highest table version of 3.00, upgrade aborted");
  std::fstream f(folder.File("old.DAT"), std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(8);
  f.put(static_cast<char>(9));
  f.close();
  lines.clear();
  EXPECT_FALSE(upgrade.UpgradeTable());
  EXPECT_EQ(lines[0], "old is already at a higher table version then the current engine version, upgrade aborted");
  EXPECT_FALSE(std::filesystem::exists(folder.File("old.DUP")));
}

TEST_F(UpgradeRefusalTest, ScrambledTableWithoutItsPasswordIsRefusedUntouched) {
  TOldTableWriter(3, true).Write(folder.Path(), "old", OldRecords());
  auto c = Closed();
  c->PasswordCallback = nullptr;
  EXPECT_EQ(CodeOf([&] { TTableUpgrade(*c).UpgradeTable(); }), KORVEL_NOTSUFFTABLERIGHTS);
  EXPECT_FALSE(std::filesystem::exists(folder.File("old.DUP")));
  c->PasswordCallback = [](const std::string&, std::string& p) {
    p = "wrong";
    return false;
  };
  EXPECT_EQ(CodeOf([&] { TTableUpgrade(*c).UpgradeTable(); }), KORVEL_NOTSUFFTABLERIGHTS);
}

}  // namespace
}  // namespace korvel
