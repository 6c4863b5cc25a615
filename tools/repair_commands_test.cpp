#include "tools/repair_commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/byte_order.h"
#include "support/test_folder.h"
#include "tools/inspect_commands.h"
#include "tools/maintenance_commands.h"
#include "tools/record_commands.h"
#include "tools/command_test_helpers.h"

namespace korvel::tool {
namespace {

using command_test::TRun;
using command_test::Invoke;

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class RepairCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder.File("s.json")) << R"({ "fields": [ {"name": "ID", "type": "autoinc"},
              {"name": "Name", "type": "string", "length": 20}, {"name": "Notes", "type": "memo"} ],
      "indexes": [ {"name": "", "fields": ["ID"]}, {"name": "ByName", "fields": ["Name"]} ] })";
    ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "items", folder.File("s.json")}).Status, 0);
    for (const char* name : {"pear", "apple", "fig"})
      ASSERT_EQ(Invoke(RunInsertCommand, {folder.Path(), "items", std::string("Name=") + name, "Notes=note"}).Status, 0);
  }
  testing::TTestFolder folder;
};

TEST_F(RepairCommandsTest, VerifyRepairAndVerifyAgain) {
  TRun healthy = Invoke(RunVerifyCommand, {folder.Path(), "items"});
  EXPECT_EQ(healthy.Status, 0) << healthy.Out << healthy.Err;
  EXPECT_NE(healthy.Out.find("Verification of table items started at "), std::string::npos);
  EXPECT_NE(healthy.Out.find("Verification of table items completed at "), std::string::npos);

  // Five stray bytes after the last record.
  const std::string data = folder.File("items.DAT");
  WriteBytes(data, ReadBytes(data) + "12345");
  TRun found = Invoke(RunVerifyCommand, {"--progress", folder.Path(), "items"});
  EXPECT_EQ(found.Status, kExitProblems);
  EXPECT_NE(found.Out.find("Physical records not aligned on even record size boundaries\n"), std::string::npos)
      << found.Out;
  EXPECT_NE(found.Err.find("100%"), std::string::npos);
  TRun repaired = Invoke(RunRepairCommand, {folder.Path(), "items", "--quiet"});
  EXPECT_EQ(repaired.Status, 0) << repaired.Out << repaired.Err;
  EXPECT_NE(repaired.Out.find("Physical records not aligned on even record size boundaries, error fixed"),
            std::string::npos);
  EXPECT_TRUE(repaired.Err.empty());
  EXPECT_EQ(Invoke(RunVerifyCommand, {folder.Path(), "items"}).Status, 0);
  TRun forced = Invoke(RunRepairCommand, {folder.Path(), "items", "--force-index-rebuild"});
  EXPECT_EQ(forced.Status, 0);
  EXPECT_EQ(Invoke(RunDumpCommand, {folder.Path(), "items"}).Out, "ID,Name,Notes\r\n1,pear,note\r\n2,apple,note\r\n3,fig,note\r\n");
}

TEST_F(RepairCommandsTest, UnfixableTableMakesRepairFail) {
  std::string bytes = ReadBytes(folder.File("items.DAT"));
  bytes[127 + 768 + 84] = 0;  // field 2: unknown type
  WriteBytes(folder.File("items.DAT"), bytes);
  TRun r = Invoke(RunRepairCommand, {folder.Path(), "items"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Out.find("Invalid field data type (Unknown) for field Name in table header, error cannot be fixed"),
            std::string::npos) << r.Out;
}

TEST_F(RepairCommandsTest, OlderVersionIsRefusedByDumpAndNamedForUpgrade) {
  std::string bytes = ReadBytes(folder.File("items.DAT"));
  bytes[8] = 4;
  WriteBytes(folder.File("items.DAT"), bytes);
  TRun dump = Invoke(RunDumpCommand, {folder.Path(), "items"});
  EXPECT_EQ(dump.Status, 1);
  EXPECT_NE(dump.Err.find("# 12035"), std::string::npos) << dump.Err;
  EXPECT_NE(dump.Err.find("korvel upgrade"), std::string::npos) << dump.Err;
  EXPECT_TRUE(dump.Out.empty());
  TRun info = Invoke(RunInfoCommand, {folder.Path(), "items"});
  EXPECT_EQ(info.Status, 0) << info.Err;
  EXPECT_NE(info.Out.find("VersionNum         4 (2.00)"), std::string::npos) << info.Out;
  EXPECT_EQ(Invoke(RunVerifyCommand, {folder.Path(), "items"}).Status, 1);
  // Upgrading a current table leaves it alone.
  bytes[8] = 5;
  WriteBytes(folder.File("items.DAT"), bytes);
  TRun upgrade = Invoke(RunUpgradeCommand, {folder.Path(), "items"});
  EXPECT_EQ(upgrade.Status, 0);
  EXPECT_EQ(upgrade.Out, "items is already at the highest table version of 3.00, upgrade aborted\n");
}

TEST_F(RepairCommandsTest, WrongCommandLinesGiveTheUsage) {
  EXPECT_EQ(Invoke(RunVerifyCommand, {folder.Path()}).Status, 2);
  EXPECT_EQ(Invoke(RunRepairCommand, {folder.Path(), "items", "--no-such-flag"}).Status, 2);
  TRun missing = Invoke(RunVerifyCommand, {folder.Path(), "nothing"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Err.find("KORVEL Engine Error"), std::string::npos);
}

}  // namespace
}  // namespace korvel::tool
