#include "tools/commands.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_folder.h"
#include "tools/inspect_commands.h"
#include "tools/command_test_helpers.h"

namespace korvel::tool {
namespace {

using command_test::TRun;
constexpr auto RunCommand = command_test::Invoke;

TEST(ErrorCommand, OneCodeAllCodesAndBadInput) {
  TRun r = RunCommand(RunErrorCommand, {"9729"});
  EXPECT_EQ(r.Status, kExitOk);
  EXPECT_EQ(r.Out, "9729\tKORVEL_KEYVIOL\tDuplicate key found in the index '%s' of the table '%s'\n");
  r = RunCommand(RunErrorCommand, {"1"});
  EXPECT_EQ(r.Out, "1\tKORVEL_NONE\tAn unknown error occurred\n");
  r = RunCommand(RunErrorCommand, {"11284"});
  EXPECT_EQ(r.Out, "11284\tKORVEL_REMOTECALLBACK\tAn unknown error occurred\n");
  r = RunCommand(RunErrorCommand, {"--all"});
  std::istringstream lines(r.Out);
  std::string first, line, last;
  std::getline(lines, first);
  EXPECT_EQ(first, "0\tKORVEL_NONE\tAn unknown error occurred");
  int count = 1;
  while (std::getline(lines, line)) {
    ++count;
    last = line;
  }
  EXPECT_EQ(count, 92);
  EXPECT_EQ(last, "15878\tKORVEL_CANNOTLOADLDDRV\tThe language driver for the table '%s' is not available or installed");
  for (const char* bad : {"", "-1", "65536", "12x", "999999"}) {
    r = RunCommand(RunErrorCommand, {bad});
    EXPECT_EQ(r.Status, kExitUsage) << bad;
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err, "");
  }
  EXPECT_EQ(RunCommand(RunErrorCommand, {}).Status, kExitUsage);
}

TEST(TablesCommand, ListsTablesSortedWithoutRegardToCase) {
  korvel::testing::TTestFolder folder;
  for (const char* name : {"zeta.DAT", "Alpha.dat", "beta.DAT", "beta.IDX", "notes.txt"})
    std::ofstream(folder.File(name)) << "x";
  TRun r = RunCommand(RunTablesCommand, {folder.Path()});
  EXPECT_EQ(r.Status, kExitOk);
  EXPECT_EQ(r.Out, "Alpha\nbeta\nzeta\n");
  r = RunCommand(RunTablesCommand, {folder.File("missing")});
  EXPECT_EQ(r.Status, kExitFailure);
  EXPECT_NE(r.Err.find("does not exist"), std::string::npos);
}

}  // namespace
}  // namespace korvel::tool

namespace korvel::tool {
namespace {

TEST(DemoCommand, WritesATableTheOtherCommandsRead) {
  korvel::testing::TTestFolder folder;
  for (int round = 0; round < 2; ++round) {  // the second run replaces the first table
    TRun r = RunCommand(RunDemoCommand, {folder.Path()});
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
  }
  EXPECT_EQ(RunCommand(RunTablesCommand, {folder.Path()}).Out, "customers\n");
  TRun dump = RunCommand(RunDumpCommand, {folder.Path(), "customers"});
  EXPECT_EQ(dump.Status, kExitOk) << dump.Err;
  EXPECT_EQ(dump.Err, "");
  EXPECT_NE(dump.Out.find("\r\n5,Barbara Liskov,Boston,2024-11-07,980,Substitutes freely.\r\n"), std::string::npos)
      << dump.Out;
  EXPECT_EQ(dump.Out.find("Dijkstra"), std::string::npos);  // deleted
  TRun info = RunCommand(RunInfoCommand, {"--json", folder.Path(), "customers"});
  EXPECT_NE(info.Out.find("\"RecordCount\":4"), std::string::npos) << info.Out;
  EXPECT_NE(info.Out.find("\"BlobFreeBlock\":3"), std::string::npos);  // the deleted notes' block
  EXPECT_EQ(RunCommand(RunDemoCommand, {folder.File("missing")}).Status, kExitFailure);
}

}  // namespace
}  // namespace korvel::tool
