#include "tools/record_commands.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_folder.h"
#include "tools/command_test_helpers.h"

namespace korvel::tool {
namespace {

using command_test::TRun;
using command_test::Invoke;

const char* kStructure = R"({ "description": "t", "user_major": 2,
  "fields": [ {"name": "ID", "type": "autoinc"},
              {"name": "Name", "type": "string", "length": 20, "required": true, "char_case": "upper"},
              {"name": "Qty", "type": "integer", "min": "0", "default": "7"},
              {"name": "When", "type": "timestamp"},
              {"name": "Raw", "type": "bytes", "length": 3},
              {"name": "Notes", "type": "memo"} ],
  "indexes": [ {"name": "", "fields": ["ID"]},
               {"name": "ByName", "fields": ["Name", 3], "descending": [false, true], "compression": 3},
               {"name": "ByQty", "fields": ["Qty"], "unique": true} ] })";

class RecordCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder.File("s.json")) << kStructure;
    ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "items", folder.File("s.json")}).Status, 0);
  }
  std::string Insert(const TArguments& values) {
    TArguments args{folder.Path(), "items"};
    args.insert(args.end(), values.begin(), values.end());
    TRun r = Invoke(RunInsertCommand, args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    return r.Out;
  }
  testing::TTestFolder folder;
};

TEST_F(RecordCommandsTest, StructureReadsBackToTheSameTable) {
  TRun first = Invoke(RunStructureCommand, {folder.Path(), "items"});
  ASSERT_EQ(first.Status, 0) << first.Err;
  std::ofstream(folder.File("again.json")) << first.Out;
  ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "copy", folder.File("again.json")}).Status, 0);
  EXPECT_EQ(Invoke(RunStructureCommand, {folder.Path(), "copy"}).Out, first.Out);
  EXPECT_NE(first.Out.find("\"descending\""), std::string::npos);
  // An existing table is kept unless --overwrite.
  TRun again = Invoke(RunCreateCommand, {folder.Path(), "copy", folder.File("again.json")});
  EXPECT_EQ(again.Status, 1);
  EXPECT_EQ(Invoke(RunCreateCommand, {folder.Path(), "copy", folder.File("again.json"), "--overwrite"}).Status, 0);
}

TEST_F(RecordCommandsTest, InsertedValuesListBackExactly) {
  EXPECT_EQ(Insert({"Name=pear", "Qty=3", "When=2024-02-29 23:59:58.125", "Raw=0A0B0C", "Notes=a, \"b\"\nc"}), "1\n");
  EXPECT_EQ(Insert({"Name=apple"}), "2\n");
  EXPECT_EQ(Insert({"Name=fig", "Qty=9"}), "3\n");
  TRun r = Invoke(RunListCommand, {folder.Path(), "items"});
  EXPECT_EQ(r.Out,
            "ID,Name,Qty,When,Raw,Notes\n"
            "1,PEAR,3,2024-02-29 23:59:58.125,0A0B0C,\"a, \"\"b\"\"\nc\"\n"
            "2,APPLE,7,,,\n"
            "3,FIG,9,,,\n");
  r = Invoke(RunListCommand, {folder.Path(), "items", "--index", "ByName", "--fields", "Name", "--reverse"});
  EXPECT_EQ(r.Out, "Name\nPEAR\nFIG\nAPPLE\n");
  r = Invoke(RunListCommand, {folder.Path(), "items", "--index=ByQty", "--range", "4", "", "--fields=Qty"});
  EXPECT_EQ(r.Out, "Qty\n7\n9\n");
  r = Invoke(RunCountCommand, {folder.Path(), "items", "--index", "ByQty", "--range", "", "7"});
  EXPECT_EQ(r.Out, "2\n");
  r = Invoke(RunListCommand, {folder.Path(), "items", "--index", "ByQty", "--find", "8", "--fields", "Qty"});
  EXPECT_EQ(r.Out, "");
  r = Invoke(RunListCommand, {folder.Path(), "items", "--index", "ByQty", "--find", "8", "--nearest", "--fields", "Qty"});
  EXPECT_EQ(r.Out, "Qty\n9\n");
  r = Invoke(RunListCommand, {folder.Path(), "items", "--offset", "1", "--limit", "1", "--json", "--fields", "ID,Raw"});
  EXPECT_EQ(r.Out, "{\"ID\":\"2\",\"Raw\":null}\n");
  r = Invoke(RunListCommand, {folder.Path(), "items", "--limit", "0"});
  EXPECT_EQ(r.Out, "ID,Name,Qty,When,Raw,Notes\n");
}

TEST_F(RecordCommandsTest, BadInputGetsTheEnginesErrorOrTheUsage) {
  Insert({"Name=one", "Qty=1"});
  TRun r = Invoke(RunInsertCommand, {folder.Path(), "items", "Name=two", "Qty=1"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("KORVEL Engine Error # 9729"), std::string::npos) << r.Err;
  r = Invoke(RunInsertCommand, {folder.Path(), "items", "Qty=5"});
  EXPECT_NE(r.Err.find("# 9732"), std::string::npos) << r.Err;
  r = Invoke(RunInsertCommand, {folder.Path(), "items", "Name=x", "Qty=-1"});
  EXPECT_NE(r.Err.find("# 9730"), std::string::npos) << r.Err;
  r = Invoke(RunInsertCommand, {folder.Path(), "items", "Name=x", "Qty=many"});
  EXPECT_EQ(r.Status, 1);
  r = Invoke(RunInsertCommand, {folder.Path(), "items", "Nope=1"});
  EXPECT_EQ(r.Status, 1);
  r = Invoke(RunListCommand, {folder.Path(), "items", "--index", "Nope"});
  EXPECT_NE(r.Err.find("# 10022"), std::string::npos) << r.Err;
  EXPECT_EQ(Invoke(RunListCommand, {folder.Path()}).Status, 2);
  EXPECT_EQ(Invoke(RunListCommand, {folder.Path(), "items", "--limit", "-3"}).Status, 2);
  EXPECT_EQ(Invoke(RunListCommand, {folder.Path(), "items", "--index", "ByQty", "--range", "1,2", ""}).Status, 2);
  EXPECT_EQ(Invoke(RunCountCommand, {folder.Path(), "missing"}).Status, 1);
  std::ofstream(folder.File("bad.json")) << "{ \"fields\": [ {\"name\": \"A\", \"type\": \"nosuch\"} ] }";
  r = Invoke(RunCreateCommand, {folder.Path(), "bad", folder.File("bad.json")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("nosuch"), std::string::npos);
  std::ofstream(folder.File("broken.json")) << "{ \"fields\": [";
  EXPECT_EQ(Invoke(RunCreateCommand, {folder.Path(), "bad", folder.File("broken.json")}).Status, 1);
  // Nothing half-made is left behind.
  EXPECT_EQ(Invoke(RunCountCommand, {folder.Path(), "bad"}).Status, 1);
}

TEST_F(RecordCommandsTest, FilterListCountExplainAndDelete) {
  for (int i = 1; i <= 12; ++i) Insert({"Name=n" + std::to_string(i % 4), "Qty=" + std::to_string(i)});
  TRun r = Invoke(RunListCommand, {folder.Path(), "items", "--filter", "Qty >= 10", "--fields", "ID,Qty"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "ID,Qty\n10,10\n11,11\n12,12\n");
  r = Invoke(RunCountCommand, {folder.Path(), "items", "--filter", "Qty >= 10", "--explain"});
  EXPECT_EQ(r.Out, "3\noptimisation: full\n");
  r = Invoke(RunCountCommand, {folder.Path(), "items", "--filter", "Qty >= 3 AND Qty * 2 < 13", "--explain"});
  EXPECT_EQ(r.Out, "4\noptimisation: partial\n");
  r = Invoke(RunCountCommand, {folder.Path(), "items", "--filter", "Name = 'N1'", "--explain"});
  EXPECT_EQ(r.Out, "3\noptimisation: full\n");
  r = Invoke(RunCountCommand, {folder.Path(), "items", "--filter", "When IS NULL", "--explain"});
  EXPECT_EQ(r.Out, "12\noptimisation: none\n");
  r = Invoke(RunCountCommand, {folder.Path(), "items", "--filter", "Qty +"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("Filter error"), std::string::npos) << r.Err;
  r = Invoke(RunDeleteCommand, {folder.Path(), "items", "--filter", "Name = 'N1' OR Qty = 12"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "4 records deleted\n");
  EXPECT_EQ(Invoke(RunCountCommand, {folder.Path(), "items"}).Out, "8\n");
  EXPECT_EQ(Invoke(RunCountCommand, {folder.Path(), "items", "--filter", "Name = 'N1'"}).Out, "0\n");
  EXPECT_EQ(Invoke(RunDeleteCommand, {folder.Path(), "items", "--filter", "Qty > 100"}).Out, "0 records deleted\n");
  EXPECT_EQ(Invoke(RunDeleteCommand, {folder.Path(), "items"}).Status, 2);  // --filter is required
}

}  // namespace
}  // namespace korvel::tool

namespace korvel::tool {
namespace {

const char* kDocs = R"({ "fields": [ {"name": "ID", "type": "autoinc"}, {"name": "Title", "type": "string", "length": 60},
              {"name": "Body", "type": "memo"}, {"name": "Qty", "type": "integer"} ],
  "indexes": [ {"name": "", "fields": ["ID"]} ],
  "text_index": { "fields": ["Title", "Body"], "stop_words": ["the", "caf\u00e9"],
                  "space_chars": " ,.", "include_chars": "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-'\u00e9\u00c9" } })";

class SearchCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder.File("docs.json")) << kDocs;
    TRun r = Invoke(RunCreateCommand, {folder.Path(), "docs", folder.File("docs.json")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    for (const TArguments& values : {TArguments{"Title=quick-brown fox", "Body=den den DEN"},
                                     TArguments{"Title=the quick fox", "Body=rock'n'roll den"},
                                     TArguments{"Title=slow", "Qty=3"}}) {
      TArguments args{folder.Path(), "docs"};
      args.insert(args.end(), values.begin(), values.end());
      ASSERT_EQ(Invoke(RunInsertCommand, args).Status, 0);
    }
  }
  testing::TTestFolder folder;
};

TEST_F(SearchCommandTest, FindsWordsWithTheTablesParameters) {
  TRun r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Body", "den", "--occurs"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "ID,Title,Body,Qty,#occurs\n1,quick-brown fox,den den DEN,,3\n2,the quick fox,rock'n'roll den,,1\n");
  // "-" and "'" belong to words here.
  r = Invoke(RunSearchCommand, {folder.Path(), "docs", "title", "QUICK-brown"});
  EXPECT_EQ(r.Out, "ID,Title,Body,Qty\n1,quick-brown fox,den den DEN,\n");
  r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Body", "rock'n'roll"});
  EXPECT_EQ(r.Out, "ID,Title,Body,Qty\n2,the quick fox,rock'n'roll den,\n");
  r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Title", "qu*"});
  EXPECT_EQ(r.Out, "ID,Title,Body,Qty\n1,quick-brown fox,den den DEN,\n2,the quick fox,rock'n'roll den,\n");
  // Stop words match every record.
  r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Title", "THE"});
  EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), 4);
  r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Title", "zebra"});
  EXPECT_EQ(r.Out, "ID,Title,Body,Qty\n");
}

TEST_F(SearchCommandTest, StructureCarriesTheTextIndexWholeAndBadInputIsRefused) {
  TRun first = Invoke(RunStructureCommand, {folder.Path(), "docs"});
  ASSERT_EQ(first.Status, 0) << first.Err;
  EXPECT_NE(first.Out.find("\"text_index\""), std::string::npos);
  EXPECT_NE(first.Out.find("caf\xC3\xA9"), std::string::npos);  // the byte E9, as the character U+00E9
  std::ofstream(folder.File("again.json")) << first.Out;
  ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "copy", folder.File("again.json")}).Status, 0);
  EXPECT_EQ(Invoke(RunStructureCommand, {folder.Path(), "copy"}).Out, first.Out);

  TRun r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Qty", "3"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("12292"), std::string::npos) << r.Err;
  r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Nothing", "3"});
  EXPECT_EQ(r.Status, 1);
  r = Invoke(RunSearchCommand, {folder.Path(), "docs", "Title"});
  EXPECT_EQ(r.Status, 2);
  for (const char* bad : {R"("text_index": {"fields": ["Qty"]})", R"("text_index": {"fields": ["Nope"]})",
                          R"("text_index": {"fields": ["Title"], "stop_words": ["\u0101"]})",
                          R"("text_index": {"fields": ["Title"], "stop_words": [""]})"}) {
    std::ofstream(folder.File("bad.json"))
        << R"({ "fields": [ {"name": "Title", "type": "string", "length": 9}, {"name": "Qty", "type": "integer"} ], )"
        << bad << "}";
    r = Invoke(RunCreateCommand, {folder.Path(), "bad", folder.File("bad.json")});
    EXPECT_EQ(r.Status, 1) << bad;
    EXPECT_FALSE(r.Err.empty());
  }
}

}  // namespace
}  // namespace korvel::tool
