// Sessions and directories against other processes and other sessions of this one: what a
// table name reaches, what an exit leaves on disk, what a transaction lets others do.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/test_errors.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"
#include "tests/table_helpers.h"

namespace korvel {
namespace {

using testing::CreateCounterTable;
using testing::ReadCounter;
using testing::RunInChild;
using testing::TStepChild;
using testing::TTableSession;
using testing::TTestFolder;

using testing::CodeOf;

TEST(DirectoryProcesses, ATableRefusedByAnExclusiveHolderIsGoneOnceDeleted) {
  TTestFolder folder;
  CreateCounterTable(folder.Path(), "held", 2);
  TStepChild holder([&](TStepChild& step) {
    TTableSession s(folder.Path());
    if (s.Open("held", true) != 0) return 2;
    step.Ready();
    if (!step.Await()) return 3;
    s.Close();
    if (s.Directory->DeleteDataTable("held", false) != 0) return 4;
    return 0;
  });
  ASSERT_TRUE(holder.WaitReady());
  TTableSession s(folder.Path());
  EXPECT_EQ(CodeOf([&] { s.Open("held"); }), KORVEL_OSEACCES);
  EXPECT_TRUE(s.Directory->DataTableExists("held", false));
  holder.Go();
  ASSERT_EQ(holder.Join(), 0);
  EXPECT_FALSE(s.Directory->DataTableExists("held", false));
  TStringList names;
  s.Directory->ListTableNames(names);
  EXPECT_EQ(names.Count(), 0u);
  // The name is free again.
  TDataTable* created = nullptr;
  EXPECT_EQ(s.Directory->CreateDataTable("held", testing::CounterTableStructure(false), false, false, created), 0);
  EXPECT_TRUE(s.Directory->DataTableExists("held", false));
}

// The counter of record 1 as a process of its own sees it, or a negative step that failed.
int CounterInAnotherProcess(const std::string& folder, const std::string& table) {
  return RunInChild([&] {
    TTableSession s(folder);
    if (s.Open(table, true) != 0) return 200;  // exclusive: nobody else may hold it
    return ReadCounter(*s.Table, 1);
  });
}

TEST(SessionProcesses, ExitClosesEverySessionBeforeTheFilesGo) {
  TTestFolder exclusiveFolder, sharedFolder;
  CreateCounterTable(exclusiveFolder.Path(), "kept", 2);
  CreateCounterTable(sharedFolder.Path(), "pending", 2);
  int code = RunInChild([&] {
    alarm(60);  // a close that hangs on freed memory ends here
    InitializeKORVEL();
    TDataSession* second = nullptr;
    StartDataSession(second, false);
    // An exclusive table keeps its change in the cache until it is closed.
    TDataDirectory* exclusive = second->OpenDataDirectory("a", exclusiveFolder.Path());
    TDataTable* kept = nullptr;
    if (exclusive->OpenDataTable("kept", kept, true, true, false, false, false, false, false) != 0) return 2;
    TRecord* record = nullptr;
    if (!kept->GetRecord(nullptr, 1, false, false, true, record)) return 3;
    testing::SetCounter(*kept, *record, 42);
    kept->PutRecord(record);
    // A transaction that never commits writes nothing.
    TDataDirectory* shared = second->OpenDataDirectory("b", sharedFolder.Path());
    TDataTable* pending = nullptr;
    if (shared->OpenDataTable("pending", pending, true, false, false, false, false, false, false) != 0) return 4;
    shared->StartTransaction();
    testing::WriteCounter(*pending, 1, 7);
    SetCurrentDataSession(second);

    ExitKORVEL();
    if (KORVELInitialized()) return 5;
    if (CounterInAnotherProcess(exclusiveFolder.Path(), "kept") != 42) return 6;
    if (CounterInAnotherProcess(sharedFolder.Path(), "pending") != 0) return 7;
    // The session was closed, not freed: its starter frees it.
    if (second->DirectoryCount() != 0) return 8;
    CloseDataSession(second);
    return second == nullptr ? 0 : 9;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace korvel
