#include "tools/maintenance_commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_folder.h"
#include "tools/record_commands.h"
#include "tools/command_test_helpers.h"

namespace korvel::tool {
namespace {

using command_test::TRun;
using command_test::Invoke;

const char* kStructure = R"({ "fields": [ {"name": "ID", "type": "autoinc"},
              {"name": "Name", "type": "string", "length": 20},
              {"name": "Notes", "type": "memo"} ],
  "indexes": [ {"name": "", "fields": ["ID"]} ] })";

class MaintenanceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder.File("s.json")) << kStructure;
    ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "items", folder.File("s.json")}).Status, 0);
    for (const char* name : {"pear", "apple", "fig", "apple"})
      ASSERT_EQ(Invoke(RunInsertCommand, {folder.Path(), "items", std::string("Name=") + name, "Notes=n"}).Status, 0);
  }
  std::string List(const std::string& table, const TArguments& more = {}) {
    TArguments args{folder.Path(), table, "--fields", "ID,Name"};
    args.insert(args.end(), more.begin(), more.end());
    TRun r = Invoke(RunListCommand, args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    return r.Out;
  }
  bool Exists(const std::string& file) const { return std::filesystem::exists(folder.File(file)); }
  testing::TTestFolder folder;
};

TEST_F(MaintenanceCommandsTest, CreateRunsTheStructureChecksBeforeWritingAnything) {
  std::ofstream(folder.File("bad.json"))
      << R"({ "fields": [ {"name": "A", "type": "integer"}, {"name": "a", "type": "integer"} ] })";
  TRun r = Invoke(RunCreateCommand, {folder.Path(), "bad", folder.File("bad.json")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("KORVEL Engine Error # 10038"), std::string::npos) << r.Err;
  EXPECT_FALSE(Exists("bad.DAT"));
  r = Invoke(RunCreateCommand, {folder.Path(), "items", folder.File("s.json")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("# 13060"), std::string::npos) << r.Err;
}

TEST_F(MaintenanceCommandsTest, IndexesAreAddedWithProgressLinesAndDropped) {
  std::ofstream(folder.File("unique.json")) << R"({"name": "ByName", "fields": ["Name"], "unique": true})";
  TRun r = Invoke(RunAddIndexCommand, {folder.Path(), "items", folder.File("unique.json")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("# 9729"), std::string::npos) << r.Err;
  std::ofstream(folder.File("byname.json")) << R"({"name": "ByName", "fields": ["Name", "ID"]})";
  r = Invoke(RunAddIndexCommand, {folder.Path(), "items", folder.File("byname.json"), "--progress"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  // Four records, each read and then inserted: eight steps.
  EXPECT_EQ(r.Err, "12%\n25%\n37%\n50%\n62%\n75%\n87%\n100%\n");
  EXPECT_EQ(List("items", {"--index", "ByName"}), "ID,Name\n2,apple\n4,apple\n3,fig\n1,pear\n");
  EXPECT_EQ(Invoke(RunDropIndexCommand, {folder.Path(), "items", "byname"}).Status, 0);
  r = Invoke(RunDropIndexCommand, {folder.Path(), "items", "byname"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("# 10022"), std::string::npos) << r.Err;
}

TEST_F(MaintenanceCommandsTest, OptimizeCopyRenameEmptyAndDrop) {
  ASSERT_EQ(Invoke(RunOptimizeCommand, {folder.Path(), "items", "--quiet"}).Status, 0);
  EXPECT_TRUE(Exists("items.DBK"));
  testing::TTestFolder other;
  TRun r = Invoke(RunCopyCommand, {folder.Path(), "items", other.Path(), "copy", "--no-indexes"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(std::filesystem::exists(other.File("copy.DAT")));
  TRun listed = Invoke(RunListCommand, {other.Path(), "copy", "--fields", "ID,Name"});
  EXPECT_EQ(listed.Out, "ID,Name\n1,pear\n2,apple\n3,fig\n4,apple\n");

  ASSERT_EQ(Invoke(RunRenameCommand, {folder.Path(), "items", "goods"}).Status, 0);
  EXPECT_FALSE(Exists("items.DAT"));
  EXPECT_EQ(List("goods"), "ID,Name\n1,pear\n2,apple\n3,fig\n4,apple\n");
  ASSERT_EQ(Invoke(RunEmptyCommand, {folder.Path(), "goods"}).Status, 0);
  EXPECT_EQ(List("goods"), "ID,Name\n");
  ASSERT_EQ(Invoke(RunDropCommand, {folder.Path(), "goods"}).Status, 0);
  EXPECT_FALSE(Exists("goods.DAT") || Exists("goods.IDX") || Exists("goods.BLB"));
  EXPECT_EQ(Invoke(RunDropCommand, {folder.Path(), "goods"}).Status, 1);
  EXPECT_EQ(Invoke(RunRenameCommand, {folder.Path(), "goods"}).Status, 2);
}

TEST_F(MaintenanceCommandsTest, RestructureMatchesFieldsByNameAndRefusesLossUnlessAccepted) {
  // Name shrinks to 4 characters ("apple" and "pear" lose), Notes goes, Size comes first.
  std::ofstream(folder.File("v2.json")) << R"({ "fields": [ {"name": "Size", "type": "integer", "default": "3"},
              {"name": "ID", "type": "autoinc"},
              {"name": "Name", "type": "string", "length": 4} ],
  "indexes": [ {"name": "", "fields": ["ID"]}, {"name": "ByName", "fields": ["Name", "ID"]} ] })";
  const std::string before = List("items");
  TRun r = Invoke(RunRestructureCommand, {folder.Path(), "items", folder.File("v2.json")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("unchanged"), std::string::npos) << r.Err;
  EXPECT_EQ(List("items"), before);
  r = Invoke(RunRestructureCommand,
             {folder.Path(), "items", folder.File("v2.json"), "--accept-loss", "--progress", "--backup"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Err.find("100%"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("2 x value not converted into field Name"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("4 x values of the deleted field Notes"), std::string::npos) << r.Err;
  EXPECT_TRUE(Exists("items.DBK"));
  EXPECT_EQ(List("items", {"--index", "ByName"}), "ID,Name\n2,appl\n4,appl\n3,fig\n1,pear\n");
  TRun sizes = Invoke(RunListCommand, {folder.Path(), "items", "--fields", "Size"});
  EXPECT_EQ(sizes.Out, "Size\n3\n3\n3\n3\n");
}

}  // namespace
}  // namespace korvel::tool
