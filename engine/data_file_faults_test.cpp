// Sorting with records pinned by their holders, row limits of zero, merges of many runs under a
// descriptor limit, and a record cache that must grow inside a transaction.

#include <dirent.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/data_file.h"
#include "support/errors.h"

namespace korvel {
namespace {

int OpenDescriptors() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

// A table of (Key bytes[2], Tag bytes[4]) records.
class SortFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvel-sort-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    owner_.TableName = "t";
    owner_.DirectoryName = dir_;
    owner_.PrivateDirectory = dir_;
    owner_.Exclusive = true;
  }
  void TearDown() override {
    file_.reset();
    std::filesystem::remove_all(dir_);
  }
  TDataFile& MakeTable(int rows) {
    file_ = std::make_unique<TDataFile>(&owner_);
    file_->FileName = dir_ + "/t.DAT";
    file_->CreateDataFile(0, 0, 0, 0, false, "", "", 1024, {MakeField("Key", dtBytes, 2), MakeField("Tag", dtBytes, 4)});
    file_->WriteHeader(false);
    file_->WriteFields();
    for (int i = 0; i < rows; ++i) {
      TRecord* r = nullptr;
      EXPECT_TRUE(file_->GetNextFreeRecord(nullptr, r));
      r->Initialize(true);
      std::uint8_t* b = r->Buffer();
      b[9] = 1;
      b[10] = static_cast<std::uint8_t>('a' + (i * 7) % 13);
      b[11] = static_cast<std::uint8_t>('a' + i % 5);
      b[12] = 1;
      std::snprintf(reinterpret_cast<char*>(b + 13), 5, "%04d", i % 10000);
      r->Modified = true;
      file_->PutRecord(r);
    }
    return *file_;
  }
  TSortOptions ByKey() {
    TSortOptions o;
    o.Fields.push_back(file_->GetFieldDefinitionByPos(1));
    return o;
  }
  std::vector<std::string> Keys(TDataFile& f) {
    std::vector<std::string> keys;
    for (std::int32_t n = 1; n <= f.GetPhysicalRecordsUsed(); ++n) {
      TRecord* r = nullptr;
      EXPECT_TRUE(f.GetRecord(nullptr, n, true, false, true, r));
      keys.emplace_back(reinterpret_cast<const char*>(r->Buffer() + 10), 2);
      f.PutRecord(r);
    }
    return keys;
  }

  std::string dir_;
  TPlainDataFileOwner owner_;
  std::unique_ptr<TDataFile> file_;
};

TEST_F(SortFaults, PinnedRecordsAreSortedWithTheirChangesAndStayAlive) {
  for (bool merge : {false, true}) {
    SCOPED_TRACE(merge ? "merge" : "in memory");
    owner_.MaxTableDataBufferSize = merge ? 16384 : 1 << 30;
    owner_.MaxTableDataBufferCount = merge ? 64 : 8192;
    TDataFile& f = MakeTable(1000);
    // A holder changes a record and keeps it pinned while the sort runs.
    TRecord* held = nullptr;
    ASSERT_TRUE(f.GetRecord(nullptr, 500, false, false, true, held));
    held->Buffer()[10] = '~';  // above every other key
    held->Buffer()[11] = '~';
    held->Modified = true;
    f.SortRecordBuffers(ByKey());
    // The holder's record is still there, current with the output, and can be handed back.
    EXPECT_EQ(held->RecordNumber, 500);
    EXPECT_FALSE(held->Modified);
    f.PutRecord(held);
    std::vector<std::string> keys = Keys(f);
    ASSERT_EQ(keys.size(), 1000u);
    EXPECT_EQ(keys.back(), "~~");
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    file_.reset();
  }
}

TEST_F(SortFaults, ALimitOfZeroKeepsNoRow) {
  for (bool merge : {false, true}) {
    SCOPED_TRACE(merge ? "merge" : "in memory");
    owner_.MaxTableDataBufferSize = merge ? 16384 : 1 << 30;
    owner_.MaxTableDataBufferCount = merge ? 64 : 8192;
    TDataFile& f = MakeTable(300);
    TSortOptions top0 = ByKey();
    top0.Limit = 0;
    f.SortRecordBuffers(top0);
    EXPECT_EQ(f.GetPhysicalRecordsUsed(), 0);
    EXPECT_EQ(owner_.ActualRecordCount, 0);
    file_.reset();
  }
}

TEST_F(SortFaults, AMergeOfManyRunsStaysWithinTheDescriptorLimit) {
  owner_.MaxTableDataBufferSize = 16384;
  owner_.MaxTableDataBufferCount = 4;  // runs of 4 records: 250 run files
  TDataFile& f = MakeTable(1000);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + 100);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  TErrorCode code = 0;
  try {
    f.SortRecordBuffers(ByKey());
  } catch (const EKORVELEngineError& e) {
    code = e.ErrorCode;
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_EQ(code, 0);
  std::vector<std::string> keys = Keys(f);
  EXPECT_EQ(keys.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);  // every run file is gone
}

TEST_F(SortFaults, InsideATransactionTheRecordCacheGrowsGeometrically) {
  owner_.TransactionInProgress = true;
  TDataFile& f = MakeTable(0);
  std::set<std::int32_t> capacities;
  for (int i = 0; i < 40000; ++i) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f.GetNextFreeRecord(nullptr, r));
    r->Initialize(true);
    r->Modified = true;
    f.PutRecord(r);
    capacities.insert(f.GetRecordBufferCapacity());
  }
  EXPECT_EQ(f.GetRecordWrites(), 0u);
  EXPECT_LE(f.GetRecordBufferCapacity(), 2 * 40000 + 64);
  // Growth by 64 takes a step per 64 records; geometric growth a few dozen in all.
  EXPECT_LT(capacities.size(), 30u);
  owner_.TransactionInProgress = false;
  f.FlushRecordBuffers();
  EXPECT_EQ(f.GetPhysicalRecordsUsed(), 40000);
}

}  // namespace
}  // namespace korvel
