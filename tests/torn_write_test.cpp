// Writers killed (SIGKILL) at random points of their flushes. Each writer appends records, each
// with a BLOB value whose chain its record names, one flush per record; a test seam kills it just
// before its k-th write to any file, k drawn at random. After every kill the other process must
// see every record the headers count whole, with its BLOB readable and intact: appends leave
// nothing behind that points at bytes not yet written, so the old state or the new one shows,
// never an error and never wrong data.
//
// Scaled by KORVEL_TORN_WRITE_ROUNDS (writers killed, default 40).

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/posix_file.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"
#include "tests/table_helpers.h"

namespace korvel {
namespace {

using testing::CreateCounterTable;
using testing::CounterOf;
using testing::SetCounter;
using testing::TTableSession;
using testing::TTestFolder;

constexpr std::int32_t kAppendsPerWriter = 6;

long Rounds() {
  const char* text = std::getenv("KORVEL_TORN_WRITE_ROUNDS");
  long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return value > 0 ? value : 40;
}

// The BLOB value of record r: its length and bytes follow from r alone.
std::vector<unsigned char> ValueOf(std::int32_t r) {
  std::vector<unsigned char> value(300 + static_cast<std::size_t>(r % 7) * 211);
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<unsigned char>((r * 131 + i * 7) & 0xFF);
  return value;
}

std::size_t NameOffset(const TDataTable& table) { return table.GetFieldDefinitionByPos(2).Offset; }

// The record names its chain in its Name field: "<first block> <signature>".
void PutChain(TDataTable& table, TRecord& record, std::int32_t first, std::int32_t signature) {
  char text[21] = {};
  std::snprintf(text, sizeof text, "%d %d", first, signature);
  std::uint8_t* field = record.Buffer() + NameOffset(table);
  field[0] = 1;
  std::memcpy(field + 1, text, sizeof text - 1);
  record.Modified = true;
}

bool GetChain(const TDataTable& table, const TRecord& record, std::int32_t& first, std::int32_t& signature) {
  char text[21] = {};
  std::memcpy(text, record.Buffer() + NameOffset(table) + 1, sizeof text - 1);
  return std::sscanf(text, "%d %d", &first, &signature) == 2;
}

// Appends record r with its value, under the write lock, and flushes it.
void Append(TDataTable& table, std::int32_t r) {
  table.WriteLockTable();
  TBlobBuffer blob(table.BlobFile.get(), nullptr);
  blob.GetBuffer() = ValueOf(r);
  blob.BlobSignature = table.GetNextFreeBlobSignature();
  blob.RecordNumber = r;
  blob.Write();
  TRecord* record = nullptr;
  table.GetNextFreeRecord(nullptr, record);
  record->Initialize(true);
  SetCounter(table, *record, r);
  PutChain(table, *record, blob.FirstBlockNumber, blob.BlobSignature);
  table.PutRecord(record);
  table.IncActualRecordCount();
  table.FlushBuffers(false, true, false, true, true);
  table.WriteUnlockTable();
}

// Every record the headers count, checked whole; the number of records, or a message.
std::string Verify(TDataTable& table, std::int32_t& count) {
  table.ReadLockTable();
  count = table.GetPhysicalRecordsUsed();
  std::string problem;
  if (table.GetActualRecordCount() > count) problem = "the index counts records the data file does not";
  for (std::int32_t r = 1; r <= count && problem.empty(); ++r) {
    TRecord* record = nullptr;
    table.GetRecord(nullptr, r, false, false, true, record);
    std::int32_t first = 0, signature = 0;
    bool named = GetChain(table, *record, first, signature);
    std::int32_t counter = CounterOf(table, *record);
    table.PutRecord(record);
    if (counter != r || !named) {
      problem = "record " + std::to_string(r) + " is not the record written";
      break;
    }
    TBlobBuffer blob(table.BlobFile.get(), nullptr);
    blob.FirstBlockNumber = first;
    blob.BlobSignature = signature;
    blob.Read();
    if (blob.GetBuffer() != ValueOf(r)) problem = "the value of record " + std::to_string(r) + " differs";
  }
  table.ReadUnlockTable();
  return problem;
}

std::atomic<long> writesLeft{0};
int KillBeforeWrite(int, std::int64_t, std::size_t) {
  if (writesLeft.fetch_sub(1) == 1) raise(SIGKILL);
  return 0;
}

TEST(TornWriteTest, WritersKilledDuringFlushesLeaveTheOldStateOrTheNew) {
  TTestFolder folder;
  CreateCounterTable(folder.Path(), "torn", 0, true);
  TTableSession watcher(folder.Path());
  ASSERT_EQ(watcher.Open("torn"), 0);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<long> pickWrite(1, kAppendsPerWriter * 8);
  std::int32_t seen = 0;
  int killed = 0;
  for (long round = 0; round < Rounds(); ++round) {
    const long budget = pickWrite(random);
    int status = testing::RunInChild([&] {
      TTableSession s(folder.Path());
      if (s.Open("torn") != 0) return 2;
      writesLeft = budget;
      platform::SetWriteHook(KillBeforeWrite);
      for (std::int32_t i = 0; i < kAppendsPerWriter; ++i) {
        s.Table->ReadLockTable();
        std::int32_t next = s.Table->GetPhysicalRecordsUsed() + 1;
        s.Table->ReadUnlockTable();
        Append(*s.Table, next);
      }
      platform::SetWriteHook(nullptr);
      return 0;
    });
    if (status == -1) ++killed;
    ASSERT_TRUE(status == -1 || status == 0) << "writer ended with " << status;
    // The watcher's caches are stale now; a fresh session has none.
    std::int32_t count = 0;
    std::string problem = Verify(*watcher.Table, count);
    ASSERT_EQ(problem, "") << "round " << round << ", kill before write " << budget;
    ASSERT_GE(count, seen) << "round " << round;
    seen = count;
    TTableSession fresh(folder.Path());
    ASSERT_EQ(fresh.Open("torn"), 0);
    std::int32_t freshCount = 0;
    ASSERT_EQ(Verify(*fresh.Table, freshCount), "") << "round " << round;
    ASSERT_EQ(freshCount, count);
  }
  EXPECT_GT(killed, 0);
  EXPECT_GT(seen, 0);
}

}  // namespace
}  // namespace korvel
