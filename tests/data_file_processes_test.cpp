// Change detection between processes: a writer in a child process advances the data file's
// header stamp, and the parent notices exactly once per write.

#include <gtest/gtest.h>

#include <cstring>

#include "engine/data_file.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"

namespace korvel {
namespace {

using testing::AnotherSpelling;
using testing::RunInChild;
using testing::TTestFolder;

TFieldDefinition Text(const std::string& name, std::uint8_t length) {
  TFieldDefinition f;
  f.FieldName = name;
  f.DataType = dtString;
  f.Length = length;
  return f;
}

// Appends one record holding `text` through a data file of its own and writes the header.
int AppendInOtherProcess(const std::string& path, const std::string& text) {
  TPlainDataFileOwner owner;
  owner.TableName = "shared";
  TDataFile file(&owner);
  file.FileName = AnotherSpelling(path);
  file.OpenFile();
  TRecord* record = nullptr;
  if (!file.GetNextFreeRecord(nullptr, record)) return 2;
  record->Initialize(true);
  record->Buffer()[9] = 1;
  std::memcpy(record->Buffer() + 10, text.data(), text.size());
  record->Modified = true;
  file.PutRecord(record);
  file.FlushRecordBuffers();
  return file.WriteHeader(false) ? 0 : 3;
}

TEST(DataFileProcesses, ChangesOfAnotherProcessAreDetectedOnce) {
  TTestFolder folder;
  const std::string path = folder.File("shared.DAT");
  TPlainDataFileOwner owner;
  owner.TableName = "shared";
  {
    TDataFile creator(&owner);
    creator.FileName = path;
    creator.CreateDataFile(0, 0, 0, 0, false, "", "", 512, {Text("Name", 10)});
    creator.WriteHeader(false);
    creator.WriteFields();
  }
  TDataFile file(&owner);
  file.FileName = path;
  file.OpenFile();
  EXPECT_FALSE(file.CheckForChanges());

  for (int round = 1; round <= 2; ++round) {
    ASSERT_EQ(RunInChild([&] { return AppendInOtherProcess(path, "row" + std::to_string(round)); }), 0);
    EXPECT_TRUE(file.CheckForChanges());
    EXPECT_FALSE(file.CheckForChanges());
    EXPECT_EQ(file.GetPhysicalRecordsUsed(), round);
    EXPECT_EQ(file.GetLastRecordID(), round);
    file.FreeRecordBuffers();  // what the shared table does on a detected change
    TRecord* record = nullptr;
    ASSERT_TRUE(file.GetRecord(nullptr, round, false, false, true, record));
    EXPECT_STREQ(reinterpret_cast<const char*>(record->Buffer() + 10), ("row" + std::to_string(round)).c_str());
    file.PutRecord(record);
  }
  // The process's own writes do not count as changes.
  file.UpdateHeaderStamp();
  file.WriteHeader(false);
  EXPECT_FALSE(file.CheckForChanges());
}

}  // namespace
}  // namespace korvel
