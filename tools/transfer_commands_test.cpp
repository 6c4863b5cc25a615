#include "tools/transfer_commands.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/data_cursor.h"
#include "engine/session.h"
#include "tools/record_commands.h"
#include "support/test_folder.h"
#include "tools/command_test_helpers.h"

namespace korvel::tool {
namespace {

using command_test::TRun;
using command_test::Invoke;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const char* kStructure = R"({ "fields": [ {"name": "ID", "type": "autoinc"},
              {"name": "Name", "type": "string", "length": 20},
              {"name": "Price", "type": "bcd", "decimals": 2},
              {"name": "Day", "type": "date"},
              {"name": "Raw", "type": "bytes", "length": 2} ],
  "indexes": [ {"name": "", "fields": ["ID"]}, {"name": "ByName", "fields": ["Name"]} ] })";

class TransferCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder.File("s.json")) << kStructure;
    ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "items", folder.File("s.json")}).Status, 0);
  }
  testing::TTestFolder folder;
};

TEST_F(TransferCommandsTest, ImportThenExportWithOptions) {
  std::ofstream(folder.File("in.txt"), std::ios::binary)
      << "Raw;Name;Day;Price\r\n00FF;\"b;\"\"x\"\"\";31.12.1999;2,50\r\nABCD;a;01.02.2003;-1\r\n";
  TRun r = Invoke(RunImportCommand, {folder.Path(), "items", folder.File("in.txt"), "--delimiter", ";", "--headers",
                                     "--date-format", "dd.mm.yyyy", "--decimal", ",", "--progress"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "2 records imported\n");
  EXPECT_EQ(r.Err.substr(r.Err.size() - 5), "100%\n");
  r = Invoke(RunExportCommand, {folder.Path(), "items", folder.File("out.csv"), "--index", "ByName", "--fields",
                                "Name,Price,Day,Raw", "--headers", "--quiet"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "2 records exported\n");
  EXPECT_EQ(ReadAll(folder.File("out.csv")),
            "Name,Price,Day,Raw\r\n\"a\",-1,2003-02-01,ABCD\r\n\"b;\"\"x\"\"\",2.5,1999-12-31,00FF\r\n");
  // A bad value: the engine's error with the line, exit 1.
  std::ofstream(folder.File("bad.csv")) << "9,x\n";
  r = Invoke(RunImportCommand, {folder.Path(), "items", folder.File("bad.csv"), "--fields", "Name,Day"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("Invalid data value in import data at line 1"), std::string::npos) << r.Err;
  for (const char* bad : {";;", "\"", " "})
    EXPECT_EQ(Invoke(RunImportCommand, {folder.Path(), "items", folder.File("in.txt"), "--delimiter", bad}).Status, 2);
  // A NULL of a field with a default comes back NULL, not as the default.
  std::ofstream(folder.File("d.json")) << R"({ "fields": [ {"name": "ID", "type": "autoinc"},
      {"name": "Qty", "type": "integer", "default": "5"} ], "indexes": [ {"name": "", "fields": ["ID"]} ] })";
  ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "qty", folder.File("d.json")}).Status, 0);
  // And the IDs of the auto-increment column are kept.
  std::ofstream(folder.File("q.csv")) << "5,\n2,7\n";
  ASSERT_EQ(Invoke(RunImportCommand, {folder.Path(), "qty", folder.File("q.csv")}).Status, 0);
  ASSERT_EQ(Invoke(RunExportCommand, {folder.Path(), "qty", folder.File("q2.csv")}).Status, 0);
  EXPECT_EQ(ReadAll(folder.File("q2.csv")), "2,7\r\n5,\r\n");
}

TEST_F(TransferCommandsTest, ExportUnderAFilterAndBlobValuesBothWays) {
  std::ofstream(folder.File("in.csv")) << "pear,2.5\napple,1\nplum,3.75\nfig,0.5\n";
  ASSERT_EQ(Invoke(RunImportCommand, {folder.Path(), "items", folder.File("in.csv"), "--fields", "Name,Price"}).Status, 0);
  TRun r = Invoke(RunExportCommand, {folder.Path(), "items", folder.File("f.csv"), "--filter", "Price >= 1 AND Price < 3",
                                     "--index=ByName", "--fields", "Name,Price", "--quiet"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "2 records exported\n");
  EXPECT_EQ(ReadAll(folder.File("f.csv")), "\"apple\",1\r\n\"pear\",2.5\r\n");
  r = Invoke(RunExportCommand, {folder.Path(), "items", folder.File("f.csv"), "--filter", "Nope > 1"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("KORVEL Engine Error #"), std::string::npos) << r.Err;

  // Memos as text (line ends, quotes and delimiters inside), binary BLOBs in hexadecimal.
  std::ofstream(folder.File("m.json")) << R"({ "fields": [ {"name": "ID", "type": "autoinc"},
      {"name": "Notes", "type": "memo"}, {"name": "Blob", "type": "binary"} ],
      "indexes": [ {"name": "", "fields": ["ID"]} ] })";
  ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "notes", folder.File("m.json")}).Status, 0);
  const std::string text = "Notes,Blob\r\n\"line one\r\n\"\"two\"\", three\",00FF10\r\n,\r\n";
  std::ofstream(folder.File("notes.csv"), std::ios::binary) << text;
  r = Invoke(RunImportCommand, {folder.Path(), "notes", folder.File("notes.csv"), "--headers"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "2 records imported\n");
  r = Invoke(RunExportCommand, {folder.Path(), "notes", folder.File("back.csv"), "--headers", "--fields", "Notes,Blob"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(ReadAll(folder.File("back.csv")), text);
}

TEST_F(TransferCommandsTest, BackupAndRestoreFailWhileAnotherUserHasTheTable) {
  TDataSession session(false);
  TDataCursor other(session.OpenDataDirectory("other", folder.Path()));
  other.SetTableName("items");
  other.OpenCursor();
  for (auto command : {RunBackupCommand, RunRestoreCommand}) {
    if (command == RunRestoreCommand) std::ofstream(folder.File("items.img")) << "x";
    TRun r = Invoke(command, {folder.Path(), "items", folder.File("items.img")});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err.rfind("KORVEL Engine Error # ", 0), 0u) << r.Err;
  }
  other.CloseCursor();
  EXPECT_EQ(Invoke(RunBackupCommand, {folder.Path(), "items", folder.File("items.img")}).Status, 0);
}

TEST_F(TransferCommandsTest, BackupAndRestore) {
  std::ofstream(folder.File("in.csv")) << "x,1.5\ny,2\n";
  ASSERT_EQ(Invoke(RunImportCommand, {folder.Path(), "items", folder.File("in.csv"), "--fields", "Name,Price"}).Status, 0);
  TRun r = Invoke(RunBackupCommand, {folder.Path(), "items", folder.File("items.img")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  // Into a new table, and back over the first one after a change.
  r = Invoke(RunRestoreCommand, {folder.Path(), "copy", folder.File("items.img")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "2 records restored\n");
  ASSERT_EQ(Invoke(RunImportCommand, {folder.Path(), "items", folder.File("in.csv"), "--fields", "Name,Price"}).Status, 0);
  r = Invoke(RunRestoreCommand, {folder.Path(), "items", folder.File("items.img")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "2 records restored\n");
  // An image of another structure is refused and the table kept.
  std::ofstream(folder.File("o.json")) << R"({ "fields": [ {"name": "A", "type": "integer"} ] })";
  ASSERT_EQ(Invoke(RunCreateCommand, {folder.Path(), "other", folder.File("o.json")}).Status, 0);
  r = Invoke(RunRestoreCommand, {folder.Path(), "other", folder.File("items.img")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("KORVEL Engine Error # 8961"), std::string::npos) << r.Err;
  // A damaged image does not leave half a new table behind.
  std::ofstream(folder.File("junk.img")) << "not an image";
  EXPECT_EQ(Invoke(RunRestoreCommand, {folder.Path(), "fresh", folder.File("junk.img")}).Status, 1);
  std::ifstream probe(folder.Path() + "/fresh.DAT");
  EXPECT_FALSE(probe.good());
}

}  // namespace
}  // namespace korvel::tool
