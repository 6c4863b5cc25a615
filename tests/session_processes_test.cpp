// Sessions and directories against other processes and other sessions of this one: what a
// table name reaches, what an exit leaves on disk, what a transaction lets others do.

#include <gtest/gtest.h>

#include <functional>

#include "support/test_folder.h"
#include "tests/process_helpers.h"
#include "tests/table_helpers.h"

namespace korvel {
namespace {

using testing::CreateCounterTable;
using testing::TStepChild;
using testing::TTableSession;
using testing::TTestFolder;

TErrorCode CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EKORVELEngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

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

}  // namespace
}  // namespace korvel
