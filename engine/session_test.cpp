#include "engine/session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/data_table.h"
#include "platform/system_info.h"
#include "support/files.h"
#include "support/test_errors.h"
#include "support/test_folder.h"
#include "tests/table_helpers.h"

namespace korvel {
namespace {

using testing::CounterTableStructure;
using testing::TTestFolder;

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

using testing::CodeOf;

constexpr int kAccessDenied = -static_cast<int>(KORVEL_OSEACCES);

// Creates a counter table through the directory; the directory's code.
int Create(TDataDirectory* d, const std::string& name, bool inMemory = false) {
  TDataTable* table = nullptr;
  return d->CreateDataTable(name, CounterTableStructure(false), false, inMemory, table);
}

int Open(TDataDirectory* d, const std::string& name, TDataTable*& table, bool exclusive = false,
         bool inMemory = false) {
  return d->OpenDataTable(name, table, true, exclusive, false, inMemory, false, false, false);
}

TEST(Engine, CurrentSessionNeedsInitialisation) {
  ExitKORVEL();
  try {
    GetCurrentDataSession();
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_NOTINITIALIZED);
  }
  InitializeKORVEL();
  TDataSession* first = GetCurrentDataSession();
  InitializeKORVEL();  // later calls do nothing
  EXPECT_EQ(GetCurrentDataSession(), first);
  EXPECT_FALSE(first->Hosted);
  TDataSession* other = nullptr;
  StartDataSession(other, true);
  EXPECT_TRUE(other->Hosted);
  SetCurrentDataSession(other);
  EXPECT_EQ(GetCurrentDataSession(), other);
  CloseDataSession(other);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(GetCurrentDataSession(), first);  // back to the default session
  ExitKORVEL();
  EXPECT_FALSE(KORVELInitialized());
}

TEST(Session, DefaultsAndPasswords) {
  TDataSession s(false);
  EXPECT_EQ(s.ProgressSteps, 20);
  EXPECT_EQ(s.GetProgressPercent(), 5);
  s.SetProgress(0);
  EXPECT_EQ(s.GetProgressPercent(), 100);
  EXPECT_EQ(s.LockRetries, 15);
  EXPECT_EQ(s.LockWait, 100);
  EXPECT_EQ(s.LockProtocol, lpPessimistic);
  EXPECT_EQ(s.MaxTableDataBufferSize, 16384);
  EXPECT_EQ(s.MaxTableBlobBufferCount, 8192);
  EXPECT_EQ(s.CurrentDirectory, platform::CurrentDirectory());
  s.AddPassword("Secret");
  s.AddPassword("Secret");
  s.AddPassword("secret");
  s.AddPassword("");
  ASSERT_EQ(s.Passwords.size(), 2u);
  EXPECT_TRUE(s.CheckForPassword("secret"));
  EXPECT_FALSE(s.CheckForPassword("SECRET"));
  s.DeletePassword("Secret");
  EXPECT_FALSE(s.CheckForPassword("Secret"));
  s.DeleteAllPasswords();
  EXPECT_TRUE(s.Passwords.empty());
  s.SetPrivateDirectory("  /var/tmp  ");
  EXPECT_EQ(s.GetPrivateDirectory(), "/var/tmp/");
  s.SetPrivateDirectory("");
  EXPECT_EQ(s.GetPrivateDirectory(), s.CurrentDirectory);
}

TEST(Session, LongPasswordsAreKeptAndComparedWhole) {
  TDataSession s(false);
  std::string base(255, 'p');
  std::string first = base + "one";
  std::string second = base + "two";
  s.AddPassword(first);
  EXPECT_TRUE(s.CheckForPassword(first));
  EXPECT_FALSE(s.CheckForPassword(base));  // a cut copy is not the password
  s.AddPassword(first);
  s.AddPassword(second);  // differs only after character 255: another password
  ASSERT_EQ(s.Passwords.size(), 2u);
  s.DeletePassword(first);
  EXPECT_FALSE(s.CheckForPassword(first));
  EXPECT_TRUE(s.CheckForPassword(second));
}

TEST(Session, NamesAndPathsOverTheLimitAreRefusedNotCut) {
  TDataSession s(false);
  // A folder path whose first 255 characters end at its parent's separator.
  TTestFolder folder;
  std::string parent = folder.Path() + std::string(255 - folder.Path().size() - 1, 'p') + "/";
  ASSERT_EQ(parent.size(), 255u);
  std::string deep = parent + std::string(20, 'c');
  std::filesystem::create_directories(deep);
  try {
    s.OpenDataDirectory("db", deep);
    FAIL() << "a 276-character folder was accepted";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_REMOTEINVDB);
    // The error names what was refused (as far as an error context holds).
    EXPECT_EQ(e.ErrorDatabaseName, deep.substr(0, 255));
  }
  EXPECT_EQ(s.DirectoryCount(), 0u);
  EXPECT_EQ(CodeOf([&] { s.OpenDataDirectory(std::string(256, 'n'), folder.Path()); }), KORVEL_REMOTEINVDB);
  EXPECT_EQ(CodeOf([&] { s.OpenDataDirectory("Memory", deep); }), KORVEL_REMOTEINVDB);
  // A path of 254 characters gets its separator and fits.
  EXPECT_EQ(s.OpenDataDirectory("db", parent.substr(0, 254))->Path, parent);

  std::string privateBefore = s.GetPrivateDirectory();
  EXPECT_EQ(CodeOf([&] { s.SetPrivateDirectory(deep); }), KORVEL_REMOTEINVDB);
  EXPECT_EQ(s.GetPrivateDirectory(), privateBefore);

  // Two in-memory tables whose names differ only after character 255 are not one table.
  TDataDirectory* memory = s.OpenDataDirectory("Memory", "");
  std::string longName = std::string(255, 't');
  EXPECT_EQ(Create(memory, longName, true), 0);
  EXPECT_EQ(Create(memory, longName + "x", true), kAccessDenied);
  EXPECT_EQ(memory->DeleteDataTable(longName + "x", true), kAccessDenied);
  EXPECT_TRUE(memory->DataTableExists(longName, true));
  EXPECT_FALSE(memory->DataTableExists(longName + "x", true));
  TDataTable* table = nullptr;
  EXPECT_EQ(Open(memory, longName + "x", table, false, true), kAccessDenied);
  EXPECT_EQ(memory->DeleteDataTable(longName, true), 0);
}

TEST(Directory, TableNamesNeverLeaveTheFolder) {
  TTestFolder root;
  std::filesystem::create_directory(root.File("db"));
  testing::CreateCounterTable(root.Path(), "victim", 3);
  TDataSession s(false);
  TDataDirectory* d = s.OpenDataDirectory("db", root.File("db"));
  TDataTable* table = nullptr;

  EXPECT_EQ(Create(d, "../outside"), kAccessDenied);
  EXPECT_FALSE(std::filesystem::exists(root.File("outside.DAT")));
  EXPECT_EQ(Open(d, "..\\victim", table), kAccessDenied);
  EXPECT_EQ(Open(d, "../victim", table, true), kAccessDenied);
  EXPECT_EQ(table, nullptr);
  EXPECT_FALSE(d->DataTableExists("../victim", false));
  EXPECT_FALSE(d->DataTableExists(root.File("victim"), false));
  EXPECT_EQ(d->DeleteDataTable("../victim", false), kAccessDenied);
  EXPECT_EQ(d->RenameDataTable("../victim", "mine", false, false), kAccessDenied);
  EXPECT_EQ(d->RenameTableFiles("../victim", "mine", false, false), kAccessDenied);
  EXPECT_EQ(d->DeleteTableFiles("../victim", false), kAccessDenied);
  EXPECT_TRUE(std::filesystem::exists(root.File("victim.DAT")));
  EXPECT_TRUE(std::filesystem::exists(root.File("victim.IDX")));

  ASSERT_EQ(Create(d, "t"), 0);
  EXPECT_EQ(d->RenameDataTable("t", "../moved", false, false), kAccessDenied);
  EXPECT_EQ(d->RenameDataTable("t", "sub/moved", false, false), kAccessDenied);
  EXPECT_TRUE(d->DataTableExists("t", false));
  for (const char* name : {"", "  ", "..", " .. ", ".", "/etc/passwd", "a/b", "a\\b"})
    EXPECT_EQ(Create(d, name), kAccessDenied) << "'" << name << "'";
  EXPECT_EQ(Create(d, std::string("t\0/../x", 8)), kAccessDenied);
  // Dots inside a name are just characters of a file in the folder.
  EXPECT_EQ(Create(d, "a..b"), 0);
  EXPECT_TRUE(std::filesystem::exists(root.File("db/a..b.DAT")));
  // The in-memory database follows the same rule.
  TDataDirectory* memory = s.OpenDataDirectory("Memory", "");
  EXPECT_EQ(Create(memory, "../m", true), kAccessDenied);
}

// Records of a table as the data header counts them, read through a session of its own.
std::int32_t RecordsOf(const std::string& folder, const std::string& name) {
  testing::TTableSession s(folder);
  if (s.Open(name) != 0) return -1;
  std::int32_t records = s.Table->GetPhysicalRecordsUsed();
  s.Close();
  return records;
}

TEST(Directory, ARenameNeverReplacesAnotherTable) {
  TTestFolder folder;
  testing::CreateCounterTable(folder.Path(), "src", 2);
  testing::CreateCounterTable(folder.Path(), "dst", 7, true);
  TDataSession s(false);
  TDataDirectory* d = s.OpenDataDirectory("db", folder.Path());
  constexpr int kExists = -static_cast<int>(KORVEL_TABLEEXISTS);

  EXPECT_EQ(d->RenameDataTable("src", "dst", false, false), kExists);
  EXPECT_EQ(d->RenameDataTable("src", "DST.dat", false, false), kExists);
  EXPECT_EQ(RecordsOf(folder.Path(), "dst"), 7);
  EXPECT_EQ(RecordsOf(folder.Path(), "src"), 2);
  EXPECT_TRUE(std::filesystem::exists(folder.File("dst.BLB")));
  // Any one of the three files is enough to refuse: a stray BLOB file would join the table.
  Touch(folder.File("stray.BLB"));
  EXPECT_EQ(d->RenameDataTable("src", "stray", false, false), kExists);
  EXPECT_TRUE(std::filesystem::exists(folder.File("src.IDX")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("stray.DAT")));
  // A table this session holds is refused the same way.
  TDataTable* held = nullptr;
  ASSERT_EQ(Open(d, "dst", held), 0);
  EXPECT_EQ(d->RenameDataTable("src", "dst", false, false), kExists);
  d->CloseDataTable(held, true, false, false);

  // Changing only the letter case renames the table itself.
  EXPECT_EQ(d->RenameDataTable("src", "Src", false, false), 0);
  EXPECT_TRUE(std::filesystem::exists(folder.File("Src.DAT")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("src.DAT")));
  EXPECT_EQ(RecordsOf(folder.Path(), "Src"), 2);

  // A backup replaces the previous backup whole: no BLOB backup of an older table stays.
  EXPECT_EQ(d->RenameDataTable("dst", "", true, false), 0);
  EXPECT_TRUE(std::filesystem::exists(folder.File("dst.BBK")));
  testing::CreateCounterTable(folder.Path(), "dst", 3);
  EXPECT_EQ(d->RenameDataTable("dst", "", true, false), 0);
  EXPECT_TRUE(std::filesystem::exists(folder.File("dst.DBK")));
  EXPECT_TRUE(std::filesystem::exists(folder.File("dst.IBK")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("dst.BBK")));

  // In memory: no second memory file of the new name.
  TDataDirectory* memory = s.OpenDataDirectory("Memory", "");
  ASSERT_EQ(Create(memory, "msrc", true), 0);
  ASSERT_EQ(Create(memory, "mdst", true), 0);
  EXPECT_EQ(memory->RenameDataTable("msrc", "mdst", false, true), kExists);
  TStringList names;
  memory->ListTableNames(names);
  EXPECT_EQ(names.Count(), 2u);
  EXPECT_EQ(memory->RenameDataTable("msrc", "MSRC", false, true), 0);
  EXPECT_TRUE(memory->DataTableExists("msrc", true));
  // A rename that fails half-way (the index file is held open) puts the data file back.
  TAbstractFile* index = nullptr;
  bool readOnlyAttribute = false, readOnly = false;
  std::int32_t handle = GetFileList().OpenFile(memory->GetTableFileName("msrc", ".IDX"), true, index,
                                               readOnlyAttribute, readOnly, false, false);
  ASSERT_GT(handle, 0);
  EXPECT_EQ(memory->RenameDataTable("msrc", "moved", false, true), kAccessDenied);
  EXPECT_TRUE(memory->DataTableExists("msrc", true));
  EXPECT_FALSE(memory->DataTableExists("moved", true));
  GetFileList().CloseFile(index, true, handle);
  memory->DeleteDataTable("msrc", true);
  memory->DeleteDataTable("mdst", true);
}

TEST(Session, UseCountsRefuseTheOpenThatWouldWrap) {
  TTestFolder folder;
  testing::CreateCounterTable(folder.Path(), "t", 1);
  TDataSession s(false);
  TDataDirectory* d = nullptr;
  for (int i = 0; i < 0xFFFF; ++i) d = s.OpenDataDirectory("db", folder.Path());
  ASSERT_EQ(d->UseCount, 0xFFFF);
  EXPECT_EQ(CodeOf([&] { s.OpenDataDirectory("db", folder.Path()); }), KORVEL_OSEMFILE);
  EXPECT_EQ(d->UseCount, 0xFFFF);

  TDataTable* table = nullptr;
  for (int i = 0; i < 0xFFFF; ++i) ASSERT_EQ(Open(d, "t", table), 0);
  TDataTable* again = nullptr;
  EXPECT_EQ(Open(d, "t", again), -static_cast<int>(KORVEL_OSEMFILE));
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(table->UseCount, 0xFFFF);
  // Still held: one close does not free the table, and an exclusive open is refused.
  d->CloseDataTable(table, true, false, false);
  EXPECT_EQ(d->FindDataTable("t", false), table);
  EXPECT_EQ(table->UseCount, 0xFFFE);
  EXPECT_EQ(Open(d, "t", again, true), kAccessDenied);
}

TEST(Directory, ASharedTableIsNeverHandedOutAsExclusive) {
  TTestFolder folder;
  testing::CreateCounterTable(folder.Path(), "t", 1);
  TDataSession s(false);
  TDataDirectory* d = s.OpenDataDirectory("db", folder.Path());
  TDataTable* table = nullptr;
  ASSERT_EQ(Open(d, "t", table), 0);
  d->StartTransaction();
  ASSERT_EQ(d->CloseDataTable(table, true, false, false), 0);
  ASSERT_EQ(d->FindDataTable("t", false), table);  // kept open by the transaction, shared
  TDataTable* again = nullptr;
  EXPECT_EQ(Open(d, "t", again, true), kAccessDenied);
  EXPECT_EQ(d->OpenDataTable("t", again, true, true, true, false, false, false, false), kAccessDenied);
  EXPECT_EQ(Open(d, "t", again), 0);  // a shared open joins it
  EXPECT_EQ(again, table);
  d->RollbackTransaction();
  d->CloseDataTable(again, true, false, false);

  // Outside a transaction an exclusive request on a shared table is refused even with
  // OverrideExclusive: the files stay open for sharing whatever the flag says.
  ASSERT_EQ(Open(d, "t", table), 0);
  EXPECT_EQ(d->OpenDataTable("t", again, true, true, true, false, false, false, false), kAccessDenied);
  EXPECT_FALSE(table->Exclusive);
  // An exclusive holder's own second open with OverrideExclusive is what the flag is for.
  d->CloseDataTable(table, true, false, false);
  ASSERT_EQ(Open(d, "t", table, true), 0);
  EXPECT_EQ(d->OpenDataTable("t", again, true, true, true, false, false, false, false), 0);
  EXPECT_EQ(again, table);
}

// Names that differ only in letter case are one name only while one of them does not exist.
TEST(Directory, FilesAndFoldersDifferingOnlyInCaseStayApart) {
  TTestFolder root;
  std::filesystem::create_directory(root.File("Sales"));
  std::filesystem::create_directory(root.File("sales"));
  testing::CreateCounterTable(root.File("Sales"), "t", 3);
  testing::CreateCounterTable(root.File("sales"), "t", 5);
  testing::CreateCounterTable(root.Path(), "Orders", 2);
  // Made elsewhere and moved beside Orders: a new name reaches an existing file of another case.
  std::filesystem::create_directory(root.File("staging"));
  testing::CreateCounterTable(root.File("staging"), "orders", 4);
  for (const char* file : {"orders.DAT", "orders.IDX"})
    std::filesystem::rename(root.File("staging/") + file, root.File(file));
  testing::CreateCounterTable(root.Path(), "Single", 6);

  testing::TTableSession upper(root.File("Sales"));
  testing::TTableSession lower(root.File("sales/"));
  ASSERT_EQ(upper.Open("t"), 0);
  ASSERT_EQ(lower.Open("t"), 0);
  EXPECT_NE(upper.Table->DataFile->File, lower.Table->DataFile->File);
  EXPECT_EQ(upper.Table->GetPhysicalRecordsUsed(), 3);
  EXPECT_EQ(lower.Table->GetPhysicalRecordsUsed(), 5);
  testing::WriteCounter(*lower.Table, 1, 99);
  EXPECT_EQ(testing::ReadCounter(*upper.Table, 1), 0);
  EXPECT_EQ(testing::ReadCounter(*lower.Table, 1), 99);

  // One session: two folders are two databases, two files two tables.
  TDataSession s(false);
  TDataDirectory* salesUpper = s.OpenDataDirectory("a", root.File("Sales"));
  TDataDirectory* salesLower = s.OpenDataDirectory("b", root.File("sales/"));
  EXPECT_NE(salesUpper, salesLower);
  EXPECT_EQ(salesLower->Path, root.File("sales/"));
  TDataDirectory* d = s.OpenDataDirectory("db", root.Path());
  TDataTable* capital = nullptr;
  TDataTable* small = nullptr;
  ASSERT_EQ(Open(d, "Orders", capital), 0);
  ASSERT_EQ(Open(d, "orders", small, true), 0);  // not the shared table "Orders"
  EXPECT_NE(capital, small);
  EXPECT_EQ(capital->GetPhysicalRecordsUsed(), 2);
  EXPECT_EQ(small->GetPhysicalRecordsUsed(), 4);

  // A spelling that does not exist still finds the one file it can only mean.
  TDataTable* single = nullptr;
  TDataTable* shouted = nullptr;
  ASSERT_EQ(Open(d, "Single", single), 0);
  ASSERT_EQ(Open(d, "SINGLE.dat", shouted), 0);
  EXPECT_EQ(single, shouted);
  EXPECT_EQ(single->UseCount, 2);
  testing::TTableSession other(root.Path());
  ASSERT_EQ(other.Open("single"), 0);
  EXPECT_EQ(other.Table->DataFile->File, single->DataFile->File);
}

TEST(Session, DirectoriesAreSharedByFolderAndCounted) {
  TDataSession s(false);
  TDataDirectory* a = s.OpenDataDirectory("x", "/tmp/Some/Place");
  TDataDirectory* b = s.OpenDataDirectory("y", " /tmp/some/place/ ");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->UseCount, 2);
  EXPECT_EQ(a->Path, "/tmp/Some/Place/");
  s.CloseDataDirectory(a);
  EXPECT_EQ(s.DirectoryCount(), 1u);
  s.CloseDataDirectory(a);
  EXPECT_EQ(s.DirectoryCount(), 0u);

  TDataDirectory* current = s.OpenDataDirectory("cur", "");
  EXPECT_EQ(current->Path, s.CurrentDirectory);
  TDataDirectory* memory = s.OpenDataDirectory("MEMORY", "");
  EXPECT_EQ(memory->Path, "");
  EXPECT_TRUE(memory->IsMemoryDatabase());
  EXPECT_NE(memory, current);
  // The in-memory database under a folder is not that folder's disk database.
  TDataDirectory* disk = s.OpenDataDirectory("d", "/tmp/m");
  TDataDirectory* memoryInFolder = s.OpenDataDirectory("Memory", "/tmp/m");
  EXPECT_NE(disk, memoryInFolder);
  EXPECT_EQ(memory->GetProperDataDirectoryName(), "");
  EXPECT_EQ(disk->GetProperDataDirectoryName(), "/tmp/m/");
}

TEST(Directory, TableNamesMapToTheirFiles) {
  TDataSession s(false);
  TDataDirectory* d = s.OpenDataDirectory("db", "/data/db");
  EXPECT_EQ(d->GetTableFileName("customer", ".DAT"), "/data/db/customer.DAT");
  EXPECT_EQ(d->GetTableFileName("CUSTOMER.dat", ".IDX"), "/data/db/CUSTOMER.IDX");
  EXPECT_EQ(d->GetTableFileName("cust.old", ".DAT"), "/data/db/cust.old.DAT");
}

TEST(Directory, ListsRenamesAndDeletesTablesOnDisk) {
  TTestFolder folder;
  Touch(folder.File("orders.DAT"));
  Touch(folder.File("orders.IDX"));
  Touch(folder.File("Beta.DAT"));
  Touch(folder.File("alpha.dat"));
  Touch(folder.File("notes.txt"));
  TDataSession s(false);
  TDataDirectory* d = s.OpenDataDirectory("db", folder.Path());
  TStringList names;
  names.SetSorted(true);
  d->ListTableNames(names);
  ASSERT_EQ(names.Count(), 3u);
  EXPECT_EQ(names[0], "alpha");
  EXPECT_EQ(names[1], "Beta");
  EXPECT_EQ(names[2], "orders");
  EXPECT_TRUE(d->DataTableExists("ORDERS", false));
  EXPECT_FALSE(d->DataTableExists("orders", true));  // not an in-memory table

  EXPECT_EQ(d->RenameDataTable("orders", "sales", false, false), 0);
  EXPECT_TRUE(FileNameExists(folder.File("sales.DAT"), false));
  EXPECT_TRUE(FileNameExists(folder.File("sales.IDX"), false));
  EXPECT_FALSE(FileNameExists(folder.File("sales.BLB"), false));
  EXPECT_FALSE(d->DataTableExists("orders", false));
  EXPECT_EQ(d->RenameDataTable("sales", "", true, false), 0);
  EXPECT_TRUE(FileNameExists(folder.File("sales.DBK"), false));
  EXPECT_TRUE(FileNameExists(folder.File("sales.IBK"), false));
  EXPECT_EQ(d->DeleteDataTable("Beta", false), 0);
  EXPECT_FALSE(d->DataTableExists("beta", false));
  EXPECT_EQ(d->DeleteDataTable("Beta", false), -11010);
  EXPECT_EQ(d->RenameDataTable("nothing", "x", false, false), -11010);
}

TEST(Directory, MemoryTablesAreSeparateFromDiskTables) {
  TTestFolder folder;
  Touch(folder.File("t.DAT"));
  TDataSession s(false);
  TDataDirectory* memory = s.OpenDataDirectory("Memory", folder.Path());
  TAbstractFile* f = nullptr;
  std::int32_t h = GetFileList().CreateFile(memory->GetTableFileName("t", ".DAT"), true, f, false);
  GetFileList().CloseFile(f, true, h);
  EXPECT_TRUE(memory->DataTableExists("t", true));
  EXPECT_EQ(memory->DeleteDataTable("t", true), 0);
  EXPECT_FALSE(memory->DataTableExists("t", true));
  EXPECT_TRUE(FileNameExists(folder.File("t.DAT"), false));  // the disk table is untouched
}

TEST(Directory, TemporaryNamesChangeOnlyOnceTheTableExists) {
  TTestFolder folder;
  TDataSession s(false);
  TDataDirectory* d = s.OpenDataDirectory("db", folder.Path());
  std::string first = d->GetTempDataTableName(false);
  std::string digits = std::to_string(platform::CurrentThreadId()).substr(0, 5);
  EXPECT_EQ(first, digits + "0.DAT");
  EXPECT_EQ(d->GetTempDataTableName(false), first);
  Touch(folder.File(first));
  EXPECT_EQ(d->GetTempDataTableName(false), digits + "1.DAT");
}

TEST(Session, CallbacksAreCalledOnlyWhenSetAndGetTheUserValue) {
  TDataSession s(true);
  std::string path = "unchanged";
  EXPECT_FALSE(s.DoGetPath("db", path));
  EXPECT_EQ(path, "unchanged");
  static std::int32_t seen = 0;
  s.GetPathCallback.Function = [](std::int32_t data, const std::string& db, std::string& out) {
    seen = data;
    out = "/srv/" + db;
    return true;
  };
  s.TraceCallback.Function = [](std::int32_t, const std::string&) -> bool { throw 1; };
  s.CheckCallbacks(42);
  EXPECT_TRUE(s.DoGetPath("db", path));
  EXPECT_EQ(path, "/srv/db");
  EXPECT_EQ(seen, 42);
  EXPECT_EQ(s.LoginCallback.UserData, 0);  // unset callbacks keep their value
  EXPECT_NO_THROW(s.DoTrace("x"));
}

}  // namespace
}  // namespace korvel
