#include "engine/table_maintenance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "engine/cursor_test_helpers.h"
#include "support/test_errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::Append;
using testing::CheckIndexes;
using testing::CursorIndex;
using testing::NameOf;
using testing::OpenPeople;
using testing::TTestCursor;

using testing::CodeOf;

class MaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    session->SetLockRetries(2);
    session->SetLockWait(1);
    directory = session->OpenDataDirectory("test", folder.Path());
  }

  // A closed cursor asking for an exclusive, writable open.
  std::unique_ptr<TTestCursor> Closed(const std::string& name) {
    auto c = std::make_unique<TTestCursor>(directory);
    c->SetTableName(name);
    c->SetExclusive(true);
    return c;
  }
  std::unique_ptr<TTestCursor> OpenExclusive(const std::string& name) {
    auto c = Closed(name);
    c->OpenCursor();
    return c;
  }
  TErrorCode CreateCode(TTableStructure s, const std::string& name = "t") {
    auto c = Closed(name);
    return CodeOf([&] { TTableMaintenance(*c).CreateTable(s); });
  }
  void CreatePeople(int count, const std::string& name = "people") {
    auto c = Closed(name);
    TTableMaintenance(*c).CreateTable(testing::PeopleStructure());
    c->OpenCursor();
    for (int i = 0; i < count; ++i) Append(*c, "name " + std::to_string(i % 7), i);
  }
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder.Path())) names.insert(e.path().filename());
    return names;
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

TTableStructure OneField(std::uint8_t type, std::uint8_t length = 0) {
  TTableStructure s;
  s.Fields = {MakeField("A", type, length)};
  return s;
}

// Fields of strings whose key segments add up to `total` bytes (string of length L: L + 2).
TTableStructure KeyOfSize(std::size_t total, bool unique) {
  TTableStructure s;
  std::vector<int> keys;
  std::size_t left = total - (unique ? 0 : 4);
  int n = 0;
  while (left > 0) {
    std::size_t take = std::min<std::size_t>(left, 252);
    if (left - take == 1 || left - take == 2) take -= 3;  // every segment needs at least 3 bytes
    s.Fields.push_back(MakeField("F" + std::to_string(++n), dtString, static_cast<std::uint8_t>(take - 2)));
    keys.push_back(n);
    left -= take;
  }
  TIndexDefinition d;
  d.IndexName = "Big";
  d.Unique = unique;
  for (std::size_t i = 0; i < keys.size(); ++i) d.KeyFields[i] = static_cast<std::uint16_t>(keys[i]);
  s.SecondaryIndexes = {d};
  return s;
}

TEST_F(MaintenanceTest, StructureLimitsAcceptTheLimitAndRefuseOnePast) {
  // Names: 30 characters, then 31; a digit first; two names differing in case.
  EXPECT_EQ(CreateCode([] {
              TTableStructure s = OneField(dtInteger);
              s.Fields[0].FieldName = std::string(30, 'n');
              return s;
            }()),
            0);
  auto withName = [](const std::string& a, const std::string& b) {
    TTableStructure s;
    s.Fields = {MakeField(a, dtInteger), MakeField(b, dtInteger)};
    return s;
  };
  EXPECT_EQ(CreateCode(withName(std::string(31, 'n'), "B"), "u"), KORVEL_INVALIDFIELDNAME);
  EXPECT_EQ(CreateCode(withName("1abc", "B"), "u"), KORVEL_INVALIDFIELDNAME);
  EXPECT_EQ(CreateCode(withName("Name", "NAME"), "u"), KORVEL_INVALIDFIELDNAME);
  EXPECT_EQ(CreateCode(withName("", "B"), "u"), KORVEL_INVALIDFIELDNAME);

  // Fields: 1024, then 1025.
  TTableStructure many;
  for (int i = 0; i < 1024; ++i) many.Fields.push_back(MakeField("F" + std::to_string(i), dtSmallInt));
  EXPECT_EQ(CreateCode(many, "f1024"), 0);
  many.Fields.push_back(MakeField("Extra", dtSmallInt));
  EXPECT_EQ(CreateCode(many, "f1025"), KORVEL_FLDLIMIT);

  // Passwords: 15, then 16 (and blank).
  TTableStructure secret = OneField(dtInteger);
  secret.Encrypted = true;
  secret.Password = std::string(15, 'p');
  EXPECT_EQ(CreateCode(secret, "p15"), 0);
  secret.Password = std::string(16, 'p');
  EXPECT_EQ(CreateCode(secret, "p16"), KORVEL_INVALIDPASSWORD);
  secret.Password = "   ";
  EXPECT_EQ(CreateCode(secret, "pblank"), KORVEL_INVALIDPASSWORD);

  // Keys: 522 bytes, then 523; non-unique keys count their 4-byte record ID.
  EXPECT_EQ(CreateCode(KeyOfSize(522, true), "k522"), 0);
  EXPECT_EQ(CreateCode(KeyOfSize(523, true), "k523"), KORVEL_INVALIDKEY);
  EXPECT_EQ(CreateCode(KeyOfSize(522, false), "n522"), 0);
  EXPECT_EQ(CreateCode(KeyOfSize(523, false), "n523"), KORVEL_INVALIDKEY);

  // Indexes: 30 secondary indexes, then 31.
  TTableStructure indexed = OneField(dtInteger);
  for (int i = 0; i < 30; ++i) indexed.SecondaryIndexes.push_back(CursorIndex("I" + std::to_string(i), indexed.Fields, {1}, false));
  EXPECT_EQ(CreateCode(indexed, "i30"), 0);
  indexed.SecondaryIndexes.push_back(CursorIndex("I30", indexed.Fields, {1}, false));
  EXPECT_EQ(CreateCode(indexed, "i31"), KORVEL_INDEXLIMIT);

  // Lengths: 250, then 251; BLOB block size 64, then 63.
  EXPECT_EQ(CreateCode(OneField(dtString, 250), "s250"), 0);
  EXPECT_EQ(CreateCode(OneField(dtString, 251), "s251"), KORVEL_INVALIDFLDTYPE);
  TTableStructure blobs = OneField(dtBlob);
  blobs.BlobBlockSize = 64;
  EXPECT_EQ(CreateCode(blobs, "b64"), 0);
  blobs.BlobBlockSize = 63;
  EXPECT_EQ(CreateCode(blobs, "b63"), KORVEL_BLOBLIMIT);

  // Nothing of the refused tables was written.
  for (const std::string& file : Files())
    EXPECT_TRUE(file.rfind("u.", 0) != 0 && file.rfind("f1025", 0) != 0 && file.rfind("p16", 0) != 0 &&
                file.rfind("k523", 0) != 0 && file.rfind("i31", 0) != 0 && file.rfind("b63", 0) != 0)
        << file;
}

TEST_F(MaintenanceTest, StructureFaultsGiveTheirOwnErrors) {
  TTableStructure s = OneField(dtInteger);
  s.Fields.push_back(MakeField("Memo", dtBlob, 0, stMemo));
  auto with = [&](std::function<void(TTableStructure&)> change) {
    TTableStructure copy = s;
    change(copy);
    return CreateCode(copy, "x");
  };
  EXPECT_EQ(with([](TTableStructure& t) { t.Fields[0].DataType = 0; }), KORVEL_INVALIDFLDTYPE);
  EXPECT_EQ(with([](TTableStructure& t) { t.Fields[0].DataType = 16; }), KORVEL_INVALIDFLDTYPE);
  EXPECT_EQ(with([](TTableStructure& t) { t.Fields[0].IsExpression = true; }), KORVEL_INVALIDFLDTYPE);
  EXPECT_EQ(with([](TTableStructure& t) { t.Fields[1].FieldNumber = 1; }), KORVEL_INVALIDFLDTYPE);
  EXPECT_EQ(with([](TTableStructure& t) { t.Fields[0].DefaultValue = "twelve"; }), KORVEL_INVALIDVCHKSTRUCT);
  EXPECT_EQ(with([](TTableStructure& t) { t.Fields[0].MaximumValue = "99999999999"; }), KORVEL_INVALIDVCHKSTRUCT);
  EXPECT_EQ(with([](TTableStructure& t) { t.Fields[1].DefaultValue = "text"; }), KORVEL_INVALIDVCHKSTRUCT);
  EXPECT_EQ(with([](TTableStructure& t) { t.LanguageID = 0xFFFF; }), KORVEL_CANNOTLOADLDDRV);
  EXPECT_EQ(with([](TTableStructure& t) { t.PrimaryIndex.KeyFields = {2}; }), KORVEL_SEARCHCOLREQD);
  EXPECT_EQ(with([](TTableStructure& t) { t.PrimaryIndex.KeyFields = {7}; }), KORVEL_INVALIDIDXDESC);
  EXPECT_EQ(with([](TTableStructure& t) { t.PrimaryIndex.KeyFields = {0, 1}; }), KORVEL_INVALIDIDXDESC);
  EXPECT_EQ(with([](TTableStructure& t) { t.SecondaryIndexes = {CursorIndex("9x", t.Fields, {1}, false)}; }),
            KORVEL_INVALIDINDEXNAME);
  EXPECT_EQ(with([](TTableStructure& t) {
              t.SecondaryIndexes = {CursorIndex("Same", t.Fields, {1}, false), CursorIndex("SAME", t.Fields, {1}, true)};
            }),
            KORVEL_INDEXEXISTS);
  EXPECT_EQ(with([](TTableStructure& t) { t.SecondaryIndexes = {TIndexDefinition()}; t.SecondaryIndexes[0].IndexName = "E"; }),
            KORVEL_INVALIDKEY);
  EXPECT_EQ(with([](TTableStructure& t) { t.TextIndex.KeyFields = {1}; }), KORVEL_SEARCHCOLREQD);
  EXPECT_EQ(with([](TTableStructure& t) { t.TextIndex.KeyFields = {2}; }), 0);
  EXPECT_FALSE(Files().count("x.DAT") == 0);
}

TEST_F(MaintenanceTest, CreateNeedsAnExclusiveWritableRequestAndRefusesAnExistingTable) {
  auto shared = std::make_unique<TDataCursor>(directory);
  shared->SetTableName("t");
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*shared).CreateTable(OneField(dtInteger)); }), KORVEL_NEEDEXCLACCESS);
  auto readOnly = Closed("t");
  readOnly->SetReadOnly(true);
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*readOnly).CreateTable(OneField(dtInteger)); }), KORVEL_OSEACCES);
  EXPECT_TRUE(Files().empty());

  CreatePeople(3, "t");
  EXPECT_EQ(CreateCode(OneField(dtInteger), "t"), KORVEL_TABLEEXISTS);
  // Overwriting replaces every file: the old BLOB file does not outlive the new table.
  auto c = Closed("t");
  TTableMaintenance(*c).CreateTable(OneField(dtInteger), true);
  EXPECT_EQ(Files(), (std::set<std::string>{"t.DAT", "t.IDX"}));
  c->OpenCursor();
  EXPECT_EQ(c->GetRecordCount(), 0);
}

TEST_F(MaintenanceTest, DeleteAndRenameMoveEveryFileAndRefuseATakenName) {
  CreatePeople(5, "a");
  CreatePeople(1, "b");
  auto c = Closed("a");
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).RenameTable("b"); }), KORVEL_TABLEEXISTS);
  EXPECT_TRUE(Files().count("a.DAT") && Files().count("a.IDX") && Files().count("a.BLB"));
  TTableMaintenance(*c).RenameTable("c");
  EXPECT_EQ(Files(), (std::set<std::string>{"b.DAT", "b.IDX", "b.BLB", "c.DAT", "c.IDX", "c.BLB"}));
  EXPECT_EQ(c->TableName, "c");
  c->OpenCursor();
  EXPECT_EQ(c->GetRecordCount(), 5);
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).DeleteTable(); }), KORVEL_TABLEOPEN);
  c->CloseCursor();
  TTableMaintenance(*c).DeleteTable();
  EXPECT_EQ(Files(), (std::set<std::string>{"b.DAT", "b.IDX", "b.BLB"}));
  EXPECT_NE(CodeOf([&] { TTableMaintenance(*c).DeleteTable(); }), 0);
}

TEST_F(MaintenanceTest, DeleteRefusesATableSomeoneHasOpen) {
  CreatePeople(2, "a");
  auto other = OpenPeople(directory, "a");
  auto c = std::make_unique<TDataCursor>(directory);
  c->SetTableName("a");
  EXPECT_NE(CodeOf([&] { TTableMaintenance(*c).DeleteTable(); }), 0);
  EXPECT_EQ(other->GetRecordCount(), 2);
}

TEST_F(MaintenanceTest, EmptyLeavesAUsableTableWithNoRecords) {
  CreatePeople(40);
  auto c = OpenExclusive("people");
  TTableMaintenance(*c).EmptyTable();
  EXPECT_EQ(c->GetRecordCount(), 0);
  EXPECT_EQ(c->Table->GetPhysicalRecordsUsed(), 0);
  Append(*c, "again", 1);
  EXPECT_EQ(CheckIndexes(*c), "");
  c->CloseCursor();
  auto shared = OpenPeople(directory);
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*shared).EmptyTable(); }), KORVEL_NEEDEXCLACCESS);
  EXPECT_EQ(shared->GetRecordCount(), 1);
}

TEST_F(MaintenanceTest, AddedIndexesHoldEveryLiveRecordAndReportProgress) {
  CreatePeople(300);
  auto c = OpenExclusive("people");
  c->SetToBegin();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  for (int i = 0; i < 50; ++i) {
    c->GetNextRecord(r.data());
    c->DeleteRecord(r.data());
  }
  TTableMaintenance m(*c);
  std::vector<int> reports;
  m.IndexProgress = [&](int p) { reports.push_back(p); };
  TIndexDefinition byAmountName;
  byAmountName.IndexName = " Both ";
  byAmountName.KeyFields = {3, 2};
  m.AddSecondaryIndex(byAmountName);
  EXPECT_EQ(c->GetIndexCount(), 4);
  EXPECT_EQ(CheckIndexes(*c), "");
  // Every 5 % (the default 20 steps), ending at 100.
  ASSERT_EQ(reports.size(), 20u);
  for (std::size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i], static_cast<int>(5 * (i + 1)));
  c->SetIndexName("Both");
  c->SetToBegin();
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  EXPECT_EQ(testing::AmountOf(*c, r.data()), 1);  // every other of the first 100 went
  EXPECT_EQ(CodeOf([&] { m.AddSecondaryIndex(byAmountName); }), KORVEL_INDEXEXISTS);
}

TEST_F(MaintenanceTest, UniqueIndexOverDuplicatesFailsUnlessTheCallbackContinues) {
  CreatePeople(70);  // seven names, ten records each
  auto c = OpenExclusive("people");
  TTableMaintenance m(*c);
  TIndexDefinition byName;
  byName.IndexName = "UniqueName";
  byName.Unique = true;
  byName.KeyFields = {2};
  const std::int32_t pages = c->Table->GetPhysicalPagesUsed();

  EXPECT_EQ(CodeOf([&] { m.AddSecondaryIndex(byName); }), KORVEL_KEYVIOL);
  EXPECT_EQ(c->GetIndexCount(), 3);
  EXPECT_EQ(c->GetRecordCount(), 70);
  EXPECT_EQ(CheckIndexes(*c), "");

  int asked = 0;
  m.DataLost = [&](TDataLossCause cause, const std::string& context, bool&, bool& go) {
    EXPECT_EQ(cause, dlKeyViolation);
    EXPECT_EQ(context, "UniqueName");
    go = ++asked < 5;
  };
  EXPECT_EQ(CodeOf([&] { m.AddSecondaryIndex(byName); }), KORVEL_KEYVIOL);
  EXPECT_EQ(asked, 5);
  EXPECT_EQ(c->GetRecordCount(), 70);
  EXPECT_EQ(c->GetIndexCount(), 3);
  // The pages the failed attempts used went back to the index's free chain, not to waste.
  EXPECT_LE(c->Table->GetPhysicalPagesUsed(), pages + 2);

  asked = 0;
  m.DataLost = [&](TDataLossCause, const std::string&, bool& stop, bool&) {
    ++asked;
    stop = false;
  };
  m.AddSecondaryIndex(byName);
  EXPECT_EQ(asked, 63);
  EXPECT_EQ(c->GetRecordCount(), 7);
  EXPECT_EQ(CheckIndexes(*c), "");
  // The first record of each name stays.
  c->SetIndexName("UniqueName");
  c->SetToBegin();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  while (c->GetNextRecord(r.data()) == 0) EXPECT_LT(testing::AmountOf(*c, r.data()), 7);
}

TEST_F(MaintenanceTest, IndexesFilledInSmallSortedBatchesMatchASimpleReference) {
  auto c0 = Closed("people");
  TTableMaintenance(*c0).CreateTable(testing::PeopleStructure());
  c0->OpenCursor();
  std::mt19937 random(7);
  std::vector<int> amounts;
  for (int i = 0; i < 600; ++i) {
    amounts.push_back(static_cast<int>(random() % 150));
    testing::Append(*c0, "n" + std::to_string(random() % 40), 1000 + i);
  }
  // Amount is unique in the table; a new unique index on (Name) and one on (Name, Amount).
  c0->CloseCursor();
  auto c = OpenExclusive("people");
  TTableMaintenance m(*c);
  m.FillBatchBytes = 200;  // a few dozen keys per batch: duplicates fall in different batches
  m.DataLost = [](TDataLossCause, const std::string&, bool&, bool&) {};
  TIndexDefinition byBoth;
  byBoth.IndexName = "Both";
  byBoth.KeyFields = {2, 3};
  m.AddSecondaryIndex(byBoth);
  EXPECT_EQ(CheckIndexes(*c), "");
  TIndexDefinition unique;
  unique.IndexName = "UniqueName";
  unique.Unique = true;
  unique.KeyFields = {2};
  m.AddSecondaryIndex(unique);
  EXPECT_EQ(CheckIndexes(*c), "");
  // The reference: the first record of each name stays, in record order.
  std::set<std::string> seenNames;
  std::vector<std::pair<std::string, std::int32_t>> expected;
  {
    std::mt19937 again(7);
    for (int i = 0; i < 600; ++i) {
      again();
      const std::string name = "n" + std::to_string(again() % 40);
      if (seenNames.insert(name).second) expected.push_back({name, 1000 + i});
    }
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::pair<std::string, std::int32_t>> found;
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->SetIndexName("UniqueName");
  c->SetToBegin();
  while (c->GetNextRecord(r.data()) == 0) found.push_back({NameOf(*c, r.data()), testing::AmountOf(*c, r.data())});
  EXPECT_EQ(found, expected);
}

TEST_F(MaintenanceTest, DeletedIndexesGoAndTheirPagesAreReused) {
  CreatePeople(2000);
  auto c = OpenExclusive("people");
  TTableMaintenance m(*c);
  c->SetIndexName("ByName");
  EXPECT_EQ(CodeOf([&] { m.DeleteIndex("NoSuch"); }), KORVEL_INVALIDINDEXNAME);
  m.DeleteIndex(" byname ");
  EXPECT_EQ(c->GetIndexCount(), 2);
  EXPECT_EQ(c->GetIndexPos(), 0);
  EXPECT_EQ(CheckIndexes(*c), "");
  m.AddSecondaryIndex(CursorIndex("ByName", testing::PeopleStructure().Fields, {2}, false, false, true, 3));
  EXPECT_EQ(CheckIndexes(*c), "");

  m.DeleteAllIndexes();
  const std::int32_t pages = c->Table->GetPhysicalPagesUsed();
  EXPECT_EQ(c->GetIndexCount(), 0);
  EXPECT_TRUE(c->Table->GetNoPrimaryIndex());
  EXPECT_EQ(c->GetRecordCount(), 2000);
  TIndexDefinition primary;
  primary.KeyFields = {1};
  m.AddPrimaryIndex(primary);
  EXPECT_FALSE(c->Table->GetNoPrimaryIndex());
  EXPECT_EQ(CheckIndexes(*c), "");
  // The primary index was rebuilt on the pages its predecessor freed.
  EXPECT_EQ(c->Table->GetPhysicalPagesUsed(), pages);
  EXPECT_EQ(CodeOf([&] { m.AddPrimaryIndex(primary); }), KORVEL_PRIMARYKEYREDEFINE);
  c->CloseCursor();
  auto again = OpenExclusive("people");
  EXPECT_EQ(again->GetRecordCount(), 2000);
  EXPECT_EQ(CheckIndexes(*again), "");
}

TEST_F(MaintenanceTest, OptimizeRemovesFreeSlotsAndKeepsIdsMemosAndTheLastId) {
  CreatePeople(0);
  {
    auto c = OpenPeople(directory);
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
    for (int i = 0; i < 200; ++i) {
      c->InitRecord(r.data());
      testing::SetName(*c, r.data(), "n" + std::to_string(199 - i));
      testing::SetAmount(*c, r.data(), i);
      if (i % 3 == 0) {
        std::string memo(700 + i, static_cast<char>('a' + i % 26));
        std::int64_t size = 0;
        ASSERT_EQ(c->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
        ASSERT_EQ(c->PutBlob(4, r.data(), false, static_cast<std::int64_t>(memo.size()), memo.data(), 0), 0);
      }
      c->AppendRecord(r.data());
    }
    // The last records go too: the last ID must survive them.
    c->SetIndexPos(kNoIndexPos);
    for (int n = 1; n <= 200; ++n) {
      if (n % 2 == 1 && n < 196) continue;  // record n holds amount n - 1
      c->GotoPhysicalRecordNumber(n);
      ASSERT_EQ(c->GetCurrentRecord(r.data()), 0);
      ASSERT_EQ(testing::AmountOf(*c, r.data()), n - 1);
      c->DeleteRecord(r.data());
    }
  }
  auto c = Closed("people");
  TTableMaintenance m(*c);
  int last = 0;
  m.OptimizeProgress = [&](int p) { last = p; };
  m.OptimizeTable("ByName", false);
  EXPECT_EQ(last, 100);
  EXPECT_TRUE(Files().count("people.DBK") && Files().count("people.IBK") && Files().count("people.BBK"));
  c->OpenCursor();
  EXPECT_EQ(c->GetRecordCount(), 98);
  EXPECT_EQ(c->Table->GetPhysicalRecordsUsed(), 98);
  EXPECT_EQ(c->GetLastRecordID(), 200);
  EXPECT_EQ(CheckIndexes(*c), "");
  // Physical order is the index order; every record has its own ID and memo.
  c->SetIndexPos(kNoIndexPos);
  c->SetToBegin();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  std::string previous;
  while (c->GetNextRecord(r.data()) == 0) {
    std::int32_t amount = testing::AmountOf(*c, r.data());
    EXPECT_EQ(TDataCursor::GetRecordID(r.data()), amount + 1);
    std::string name = NameOf(*c, r.data());
    EXPECT_LT(previous, name);
    previous = name;
    std::int64_t size = 0;
    if (!c->GetField(4, r.data(), nullptr)) {
      ASSERT_EQ(c->OpenBlob(4, r.data(), TBlobBuffer::omRead, false, false, size), 0);
    }
    EXPECT_EQ(size, amount % 3 == 0 ? 700 + amount : 0);
    if (size > 0) {
      std::string back(static_cast<std::size_t>(size), '\0');
      std::int64_t count = 0;
      c->GetBlob(4, r.data(), false, count, size, back.data(), 0);
      c->FreeBlob(4, r.data(), false);
      EXPECT_EQ(back, std::string(static_cast<std::size_t>(size), static_cast<char>('a' + amount % 26)));
    }
  }
  EXPECT_EQ(Append(*c, "next", 1000), 201);
  c->CloseCursor();
  // A second optimise replaces the backups; without a backup none stays.
  TTableMaintenance(*c).OptimizeTable("", false);
  TTableMaintenance(*c).OptimizeTable("", true);
  for (const std::string& f : Files()) EXPECT_TRUE(f.rfind("people.", 0) == 0 && f.find("BK") == std::string::npos) << f;
}

TEST_F(MaintenanceTest, AFailedOptimizeLeavesTheTableAsItWasAndNoWorkTable) {
  CreatePeople(500);
  const std::set<std::string> before = Files();
  auto c = Closed("people");
  TTableMaintenance m(*c);
  for (int failAt : {5, 50, 100}) {
    m.OptimizeProgress = [&](int p) {
      if (p >= failAt) RaiseError(KORVEL_OSEACCES);
    };
    EXPECT_EQ(CodeOf([&] { m.OptimizeTable("", true); }), KORVEL_OSEACCES);
    EXPECT_FALSE(c->IsOpen);
    EXPECT_EQ(Files(), before);
  }
  c->OpenCursor();
  EXPECT_EQ(c->GetRecordCount(), 500);
  EXPECT_EQ(CheckIndexes(*c), "");
  c->CloseCursor();
  auto shared = std::make_unique<TDataCursor>(directory);
  shared->SetTableName("people");
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*shared).OptimizeTable("", true); }), KORVEL_NEEDEXCLACCESS);
}

TEST_F(MaintenanceTest, CopyWritesTheCursorsRecordsToAFolderOrToMemory) {
  CreatePeople(120);
  testing::TTestFolder other;
  auto c = OpenPeople(directory);
  c->SetIndexName("ByAmount");
  std::uint8_t low[5], high[5];
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->InitRecord(r.data());
  testing::SetAmount(*c, r.data(), 10);
  c->GetKeyValues(r.data(), low);
  testing::SetAmount(*c, r.data(), 29);
  c->GetKeyValues(r.data(), high);
  c->SetRange(true, low, 1, high, 1);
  TTableMaintenance m(*c);
  int last = 0;
  m.CopyProgress = [&](int p) { last = p; };
  m.CopyTable(other.Path(), "part", true);
  EXPECT_EQ(last, 100);
  m.CopyTable("Memory", "whole", false);
  c->CloseCursor();

  TDataDirectory* there = session->OpenDataDirectory("other", other.Path());
  auto part = std::make_unique<TTestCursor>(there);
  part->SetTableName("part");
  part->OpenCursor();
  EXPECT_EQ(part->GetRecordCount(), 20);
  EXPECT_EQ(part->GetIndexCount(), 3);
  EXPECT_EQ(CheckIndexes(*part), "");
  part->CloseCursor();

  TDataDirectory* memory = session->OpenDataDirectory("Memory", "");
  auto whole = std::make_unique<TTestCursor>(memory);
  whole->SetTableName("whole");
  whole->SetInMemory(true);
  whole->OpenCursor();
  EXPECT_EQ(whole->GetRecordCount(), 20);
  EXPECT_EQ(whole->GetIndexCount(), 0);
  whole->SetToBegin();
  ASSERT_EQ(whole->GetNextRecord(r.data()), 0);
  EXPECT_EQ(testing::AmountOf(*whole, r.data()), 10);
  EXPECT_EQ(TDataCursor::GetRecordID(r.data()), 11);
}

TEST(ProgressReporter, ReportsEachStepAndOneHundredOnce) {
  std::vector<int> seen;
  TProgressCallback callback = [&](int p) { seen.push_back(p); };
  TProgressReporter steps(callback, 7, 25);
  for (int i = 1; i <= 7; ++i) steps.Report(i);
  steps.Finish();
  EXPECT_EQ(seen, (std::vector<int>{28, 57, 85, 100}));
  seen.clear();
  TProgressReporter none(callback, 0, 5);
  none.Finish();
  EXPECT_EQ(seen, (std::vector<int>{100}));
}

}  // namespace
}  // namespace korvel
namespace korvel {
// On an exclusively opened table the BLOB cache holds more modified blocks than it may keep, so
// the reads of the deletes below flush while they take blocks in: the read blocks once took the
// flushed blocks' bytes, and freeing a memo failed with KORVEL_MEMOCORRUPT. The memos of the
// records left must read back whole.
TEST(BlobFault, ExclusiveTableDeletesRecordsWithMemos) {
  testing::TTestFolder folder;
  TDataSession s(false);
  TDataDirectory* d = s.OpenDataDirectory("t", folder.Path());
  testing::CreateTable(d, "people", testing::PeopleStructure());
  auto c = std::make_unique<TDataCursor>(d);
  c->SetTableName("people");
  c->SetExclusive(true);
  c->OpenCursor();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  for (int i = 0; i < 200; ++i) {
    c->InitRecord(r.data());
    testing::SetAmount(*c, r.data(), i);
    std::string memo(700 + i, 'a');
    std::int64_t size = 0;
    if (i % 3 == 0) {
      ASSERT_EQ(c->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
      ASSERT_EQ(c->PutBlob(4, r.data(), false, static_cast<std::int64_t>(memo.size()), memo.data(), 0), 0);
    }
    c->AppendRecord(r.data());
  }
  c->SetIndexPos(kNoIndexPos);
  for (int n = 2; n <= 200; n += 2) {
    c->GotoPhysicalRecordNumber(n);
    ASSERT_EQ(c->GetCurrentRecord(r.data()), 0);
    c->DeleteRecord(r.data());
  }
  EXPECT_EQ(c->GetRecordCount(), 100);
  for (int n = 1; n <= 200; n += 2) {
    c->GotoPhysicalRecordNumber(n);
    ASSERT_EQ(c->GetCurrentRecord(r.data()), 0);
    std::int32_t amount = testing::AmountOf(*c, r.data());
    ASSERT_EQ(amount, n - 1);
    if (amount % 3 != 0) continue;
    std::int64_t size = 0;
    ASSERT_EQ(c->OpenBlob(4, r.data(), TBlobBuffer::omRead, false, false, size), 0);
    ASSERT_EQ(size, 700 + amount);
    std::string back(static_cast<std::size_t>(size), '\0');
    std::int64_t count = 0;
    EXPECT_EQ(c->GetBlob(4, r.data(), false, count, size, back.data(), 0), 0);
    c->FreeBlob(4, r.data(), false);
    EXPECT_EQ(back, std::string(static_cast<std::size_t>(size), 'a')) << n;
  }
}
}  // namespace korvel
