// Shared tables under faults: users who may only read the files, damaged headers written by
// another process, commits that fail half-way, processes that fork with tables open, stamps at
// their limit, records and blocks held while their cache is dropped.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <functional>

#include "engine/lock_primitives.h"
#include "platform/posix_file.h"
#include "support/byte_order.h"
#include "support/test_errors.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"
#include "tests/table_helpers.h"

namespace korvel {
namespace {

using testing::CachedCounter;
using testing::CreateCounterTable;
using testing::ReadCounter;
using testing::TStepChild;
using testing::TTableSession;
using testing::TTestFolder;
using testing::WriteCounter;

using testing::CodeOf;

int DescriptorOf(const TFileHandler& file) { return static_cast<const TPhysicalFile*>(file.File)->Descriptor(); }

// Whether some open-file description other than a fresh one holds any byte of the range.
bool LockedOnDisk(const std::string& path, std::int64_t start, std::int64_t length) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(length);
  bool locked = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return locked;
}

void OverwriteAt(const std::string& path, std::int64_t offset, const void* bytes, std::size_t count) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes, count, static_cast<off_t>(offset)), static_cast<ssize_t>(count));
  close(fd);
}

class TableFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateCounterTable(folder.Path(), "t", 8); }
  void TearDown() override {
    platform::SetWriteHook(nullptr);
    platform::SetLockHook(nullptr);
    SetInternalLockTimeLimit(kInternalLockTimeLimit);
  }
  TTestFolder folder;
};

// --- A user who may only read the files ---

TEST_F(TableFaultsTest, AUserWhoMayOnlyReadTheFilesReadsUnderSharedLocks) {
  passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody to drop privileges";
  ASSERT_EQ(chmod(folder.Path().c_str(), 0755), 0);
  for (const char* ext : {".DAT", ".IDX"}) ASSERT_EQ(chmod(folder.File(std::string("t") + ext).c_str(), 0644), 0);
  {
    TTableSession w(folder.Path());
    ASSERT_EQ(w.Open("t"), 0);
    WriteCounter(*w.Table, 2, 42);
  }
  // The child forks before the parent opens the table, and becomes nobody before it opens it.
  TStepChild child([&](TStepChild& self) {
    if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) return 77;
    TTableSession s(folder.Path(), 0, 1);
    if (s.Open("t") != 0) return 2;
    TDataTable& t = *s.Table;
    if (!t.ReadOnly || t.ReadOnlyAttribute) return 3;
    if (ReadCounter(t, 2) != 42) return 4;
    t.UserReadLockTable();
    self.Ready();  // the parent checks that the read slot keeps its writer out
    self.Await();
    t.UserReadUnlockTable();
    self.Ready();  // the parent holds record 3
    self.Await();
    if (!t.RecordIsLocked(3) || t.RecordIsLocked(4)) return 5;
    if (CodeOf([&] { t.UserWriteLockRecord(4); }) != KORVEL_OSEACCES) return 6;
    if (CodeOf([&] { t.UserWriteLockTable(); }) != KORVEL_OSEACCES) return 7;
    if (CodeOf([&] { t.WriteLockTable(); }) != KORVEL_OSEACCES) return 8;
    if (t.UserLockSemaphore(1)) return 9;
    if (t.GetPhysicalRecordsUsed() != 8) return 10;
    return 0;
  });
  bool ready = child.WaitReady();
  if (!ready) {
    int code = child.Join();
    if (code == 77) GTEST_SKIP() << "cannot become the user nobody here";
    FAIL() << "the child stopped with " << code;
  }
  TTableSession s(folder.Path());
  ASSERT_EQ(s.Open("t"), 0);
  EXPECT_FALSE(s.Table->IndexFile->LockRegion(kPageWriteLockOffset, kPageWriteLockLength, true));
  child.Go();
  ASSERT_TRUE(child.WaitReady());
  EXPECT_TRUE(s.Table->IndexFile->LockRegion(kPageWriteLockOffset, kPageWriteLockLength, true));
  EXPECT_TRUE(s.Table->IndexFile->LockRegion(kPageWriteLockOffset, kPageWriteLockLength, false));
  s.Table->UserWriteLockRecord(3);
  s.Table->ReadUnlockTable();
  child.Go();
  EXPECT_EQ(child.Join(), 0);
}

// --- Locks taken before a change detection that fails ---

TEST_F(TableFaultsTest, ADamagedHeaderLeavesNoLockBehind) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("t"), 0);
  ASSERT_EQ(b.Open("t"), 0);
  // Another process wrote a header with a new stamp and an impossible index count.
  std::uint8_t damage[4];
  PutI32(damage, 0, 0x5A5A5A5A);
  OverwriteAt(folder.File("t.IDX"), TIndexHeader::kLastUpdateStamp, damage, 4);
  const std::uint8_t count = 0xFF;
  OverwriteAt(folder.File("t.IDX"), TIndexHeader::kIndexCount, &count, 1);

  TDataTable& t = *a.Table;
  EXPECT_EQ(CodeOf([&] { t.ReadLockTable(); }), KORVEL_HEADERCORRUPT);
  EXPECT_EQ(CodeOf([&] { t.UserReadLockTable(); }), KORVEL_HEADERCORRUPT);
  EXPECT_EQ(CodeOf([&] { t.WriteLockTable(); }), KORVEL_HEADERCORRUPT);
  EXPECT_EQ(CodeOf([&] { t.UserWriteLockTable(); }), KORVEL_HEADERCORRUPT);
  EXPECT_EQ(CodeOf([&] { t.TransactionWriteLockTable(); }), KORVEL_HEADERCORRUPT);
  EXPECT_FALSE(t.ReadLocked || t.UserReadLocked || t.WriteLocked || t.UserTableLocked || t.TransactionLocked);
  // The other session of the process finds every region free at once.
  TDataTable& other = *b.Table;
  EXPECT_TRUE(other.DataFile->LockRegion(kDataWriteLockOffset, 1, true));
  EXPECT_TRUE(other.IndexFile->LockRegion(kPageWriteLockOffset, kPageWriteLockLength, true));
  EXPECT_TRUE(other.DataFile->LockRegion(kUserTableLockOffset, kUserTableLockLength, true));
}

// --- Commits that fail half-way ---

int failingDescriptor = -1;
int FailWritesOfOneDescriptor(int fd, std::int64_t, std::size_t) { return fd == failingDescriptor ? ENOSPC : 0; }

class FailedCommitTest : public TableFaultsTest {
 protected:
  void SetUp() override {
    TableFaultsTest::SetUp();
    SetInternalLockTimeLimit(std::chrono::milliseconds(2000));  // a leaked lock fails, not hangs
    CreateCounterTable(folder.Path(), "u", 8);
    // "u" opens first, so it commits last: the first table is written when the second fails.
    ASSERT_EQ(s.Open("u"), 0);
    u = s.Table;
    ASSERT_EQ(s.Open("t"), 0);
    t = s.Table;
    s.Directory->StartTransaction();
    WriteCounter(*t, 1, 11);
    WriteCounter(*u, 1, 21);
    for (std::int32_t r = 9; r <= 40; ++r) WriteCounter(*u, r, r);  // u grows
  }
  // Both tables read back as before the transaction, from their caches and from the disk, and
  // the transaction holds nothing any more.
  void ExpectUnchanged() {
    EXPECT_FALSE(t->TransactionInProgress || u->TransactionInProgress);
    EXPECT_FALSE(s.Directory->InTransaction);
    EXPECT_EQ(CachedCounter(*t, 1), 0);
    EXPECT_EQ(CachedCounter(*u, 1), 0);
    EXPECT_EQ(u->GetPhysicalRecordsUsed(), 8);
    TTableSession other(folder.Path());
    ASSERT_EQ(other.Open("t"), 0);
    EXPECT_EQ(ReadCounter(*other.Table, 1), 0);
    EXPECT_FALSE(other.Table->RecordIsLocked(1));
    WriteCounter(*other.Table, 2, 5);  // the data byte is free
    ASSERT_EQ(other.Open("u"), 0);
    EXPECT_EQ(ReadCounter(*other.Table, 1), 0);
    EXPECT_EQ(other.Table->GetPhysicalRecordsUsed(), 8);
  }
  TTableSession s{folder.Path()};
  TDataTable* t = nullptr;
  TDataTable* u = nullptr;
};

TEST_F(FailedCommitTest, AFullDiskFailsTheCommitBeforeAnyFileChanges) {
  failingDescriptor = DescriptorOf(*u->DataFile);
  platform::SetWriteHook(FailWritesOfOneDescriptor);
  EXPECT_EQ(CodeOf([&] { s.Directory->CommitTransaction(true, false); }), KORVEL_WRITEERR);
  platform::SetWriteHook(nullptr);
  ExpectUnchanged();
  // Nothing of the transaction is left to be written later either.
  t->FlushBuffers(true, false, false, false, false);
  u->FlushBuffers(true, false, false, false, false);
  TTableSession other(folder.Path());
  ASSERT_EQ(other.Open("t"), 0);
  EXPECT_EQ(ReadCounter(*other.Table, 1), 0);
}

TEST_F(FailedCommitTest, ALockTimeoutOnTheSecondTableDropsTheTransactionsBuffers) {
  SetInternalLockTimeLimit(std::chrono::milliseconds(100));
  TTableSession reader(folder.Path());
  ASSERT_EQ(reader.Open("u"), 0);
  reader.Table->UserReadLockTable();  // keeps u's writer region out
  EXPECT_EQ(CodeOf([&] { s.Directory->CommitTransaction(true, false); }), KORVEL_LOCKTIMEOUT);
  reader.Table->UserReadUnlockTable();
  ExpectUnchanged();
}

// --- The read slots come back before the data byte goes ---

const TDataTable* unlockingTable = nullptr;
int slotsTakenWithoutDataByte = 0;
int slotsTaken = 0;
void WatchReadSlots(int fd, std::int64_t start, std::int64_t length) {
  if (unlockingTable == nullptr || fd != DescriptorOf(*unlockingTable->IndexFile) || length != 1 ||
      start < kReadSlotBase - 0xFFFF || start >= kReadSlotBase)
    return;
  ++slotsTaken;
  bool dataByteHeld = false;
  for (const TLockEntry& e : unlockingTable->DataFile->File->Locks)
    if (e.Start == kDataWriteLockOffset && e.Length == 1) dataByteHeld = true;
  if (!dataByteHeld) ++slotsTakenWithoutDataByte;
}

TEST_F(TableFaultsTest, AWriteUnlockTakesTheReadSlotsBackBeforeOtherWritersCanEnter) {
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("t"), 0);
  TDataTable& t = *a.Table;
  t.UserReadLockTable();
  t.WriteLockTable();
  unlockingTable = &t;
  slotsTaken = slotsTakenWithoutDataByte = 0;
  platform::SetLockHook(WatchReadSlots);
  t.WriteUnlockTable();
  platform::SetLockHook(nullptr);
  unlockingTable = nullptr;
  EXPECT_GE(slotsTaken, 1);
  EXPECT_EQ(slotsTakenWithoutDataByte, 0);
  EXPECT_TRUE(t.UserReadLocked);
  t.UserReadUnlockTable();
}

TEST_F(TableFaultsTest, ClosingAfterAUserReadLockAndAWriteLockReleasesCleanly) {
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("t"), 0);
  TDataTable& t = *a.Table;
  t.UserReadLockTable();
  t.ReadLockTable();
  t.WriteLockTable();
  EXPECT_EQ(CodeOf([&] { t.CloseTable(false); }), 0);
  EXPECT_FALSE(LockedOnDisk(folder.File("t.IDX"), kPageWriteLockOffset, kPageWriteLockLength));
  EXPECT_FALSE(LockedOnDisk(folder.File("t.DAT"), kDataWriteLockOffset, 1));
}

// --- Inside a transaction the user table lock lasts to its end ---

TEST_F(TableFaultsTest, ATableUnlockInsideATransactionWaitsForItsEnd) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("t"), 0);
  ASSERT_EQ(b.Open("t"), 0);
  for (bool lockedAtStart : {false, true}) {
    if (lockedAtStart) a.Table->UserWriteLockTable();
    a.Directory->StartTransaction();
    a.Table->UserWriteLockTable();
    WriteCounter(*a.Table, 1, lockedAtStart ? 2 : 1);
    a.Table->UserWriteUnlockTable();
    EXPECT_EQ(CodeOf([&] { b.Table->UserWriteLockRecord(1); }), KORVEL_RECLOCKFAILED) << lockedAtStart;
    a.Directory->CommitTransaction(true, false);
    EXPECT_FALSE(a.Table->TableIsLocked());
    b.Table->UserWriteLockRecord(1);
    EXPECT_EQ(CachedCounter(*b.Table, 1), lockedAtStart ? 2 : 1);
    b.Table->ReadUnlockTable();
    b.Table->UserWriteUnlockRecord(1);
  }
  // Held at the start, unlocked and locked again before the end: it stays locked after it.
  a.Table->UserWriteLockTable();
  a.Directory->StartTransaction();
  a.Table->UserWriteUnlockTable();
  a.Table->UserWriteLockTable();
  a.Directory->RollbackTransaction();
  EXPECT_TRUE(a.Table->TableIsLocked());
  EXPECT_EQ(CodeOf([&] { b.Table->UserWriteLockRecord(1); }), KORVEL_RECLOCKFAILED);
  a.Table->UserWriteUnlockTable();
  EXPECT_FALSE(a.Table->TableIsLocked());
}

// --- Processes that fork with the table open ---

TEST_F(TableFaultsTest, AForkedChildNeitherSharesNorReleasesItsParentsLocks) {
  TTableSession parent(folder.Path());
  ASSERT_EQ(parent.Open("t"), 0);
  TDataTable& t = *parent.Table;
  t.UserWriteLockRecord(3);
  t.ReadUnlockTable();
  TStepChild child([&](TStepChild& self) {
    // The parent's lock is refused here, and the child's own lock is its own.
    TTableSession s(folder.Path());
    if (s.Open("t") != 0) return 2;
    if (!s.Table->RecordIsLocked(3)) return 3;
    s.Table->UserWriteLockRecord(4);
    s.Table->ReadUnlockTable();
    self.Ready();
    self.Await();
    // A clean exit: the child's copy of the parent's session goes too.
    s.Table->UserWriteUnlockRecord(4);
    s.Close();
    parent.Close();
    parent.Session.reset();
    return 0;
  });
  ASSERT_TRUE(child.WaitReady());
  EXPECT_TRUE(t.RecordIsLocked(4));
  EXPECT_EQ(CodeOf([&] { t.UserWriteLockRecord(4); }), KORVEL_RECLOCKFAILED);
  child.Go();
  EXPECT_EQ(child.Join(), 0);
  EXPECT_TRUE(LockedOnDisk(folder.File("t.DAT"), kRecordLockBase - 3, 1));
  EXPECT_FALSE(LockedOnDisk(folder.File("t.DAT"), kRecordLockBase - 4, 1));
  t.UserWriteUnlockRecord(3);
  EXPECT_FALSE(LockedOnDisk(folder.File("t.DAT"), kRecordLockBase - 3, 1));
}

TEST_F(TableFaultsTest, AForkedChildLeavesItsParentsTemporaryFile) {
  std::string name = folder.File("scratch.TMP");
  TAbstractFile* file = nullptr;
  std::int32_t handle = GetFileList().CreateFile(name, false, file, true);
  ASSERT_GT(handle, 0);
  EXPECT_EQ(testing::RunInChild([&] { return GetFileList().CloseFile(file, false, handle) == 0 ? 0 : 2; }), 0);
  platform::TFileStatus status;
  EXPECT_TRUE(platform::StatPath(name, status));
  EXPECT_EQ(GetFileList().CloseFile(file, false, handle), 0);
  EXPECT_FALSE(platform::StatPath(name, status));
}

// --- Stamps at their limit ---

TEST(TableStampTest, StampsCountOnPastTheLargestValue) {
  TTestFolder folder;
  CreateCounterTable(folder.Path(), "n", 2, true);
  std::uint8_t stamp[4];
  PutI32(stamp, 0, INT32_MAX);
  for (const char* ext : {"n.DAT", "n.IDX", "n.BLB"}) OverwriteAt(folder.File(ext), 0, stamp, 4);
  TTableSession s(folder.Path());
  ASSERT_EQ(s.Open("n"), 0);
  TDataTable& t = *s.Table;
  ASSERT_TRUE(t.HasBlobFile());
  ASSERT_EQ(t.GetLastIndexUpdateStamp(), INT32_MAX);
  t.WriteLockTable();
  t.FlushBuffers(false, true, false, true, true);
  t.WriteUnlockTable();
  EXPECT_EQ(t.GetLastDataUpdateStamp(), INT32_MIN);
  EXPECT_EQ(t.GetLastIndexUpdateStamp(), INT32_MIN);
  EXPECT_EQ(t.GetLastBlobUpdateStamp(), INT32_MIN);
  t.WriteLockTable();
  t.UpdateHeaderStamps(true, true, true);
  t.FlushBuffers(false, false, false, false, false);
  t.WriteUnlockTable();
  EXPECT_EQ(t.GetLastIndexUpdateStamp(), INT32_MIN + 2);
}

// --- Records and blocks held while their cache is dropped ---

TEST(TablePinTest, AHeldRecordLeavesTheCacheWhenAnotherWriterIsDetected) {
  TTestFolder folder;
  CreateCounterTable(folder.Path(), "p", 4);
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("p"), 0);
  ASSERT_EQ(b.Open("p"), 0);
  TDataTable& t = *a.Table;
  TRecord* held = nullptr;
  t.ReadLockTable();
  ASSERT_TRUE(t.GetRecord(nullptr, 2, false, false, true, held));
  t.ReadUnlockTable();
  WriteCounter(*b.Table, 2, 99);
  EXPECT_TRUE(t.ReadLockTable());
  EXPECT_EQ(CachedCounter(t, 2), 99);
  t.ReadUnlockTable();
  // The holder's stale copy, changed and given back, reaches nobody.
  testing::SetCounter(t, *held, 7);
  t.PutRecord(held);
  t.WriteLockTable();
  t.FlushBuffers(false, true, false, false, false);
  t.WriteUnlockTable();
  EXPECT_EQ(ReadCounter(*b.Table, 2), 99);
  EXPECT_EQ(ReadCounter(t, 2), 99);
}

TEST(TablePinTest, AHeldBlockIsNotHandedOutAgainWhenTheCacheIsDropped) {
  TTestFolder folder;
  CreateCounterTable(folder.Path(), "q", 1, true);
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("q"), 0);
  TDataTable& t = *a.Table;
  t.WriteLockTable();
  std::int32_t numbers[2];
  for (int i = 0; i < 2; ++i) {
    TBlock* block = nullptr;
    t.BlobFile->GetNextFreeBlock(nullptr, block);
    block->PutBlockData(0, 1, i == 0 ? "x" : "y");
    numbers[i] = block->BlockNumber;
    t.PutBlock(block);
  }
  t.FlushBuffers(false, true, false, true, true);
  TBlock* held = nullptr;
  ASSERT_TRUE(t.GetBlock(nullptr, numbers[0], false, 1, held));
  t.BlobFile->FreeBlockBuffers();
  TBlock* other = nullptr;
  ASSERT_TRUE(t.GetBlock(nullptr, numbers[1], false, 1, other));
  EXPECT_NE(held, other);
  EXPECT_EQ(held->BlockNumber, numbers[0]);
  EXPECT_EQ(held->Data()[0], 'x');
  EXPECT_EQ(other->Data()[0], 'y');
  t.PutBlock(other);
  t.PutBlock(held);
  t.WriteUnlockTable();
}

// --- Waiting for a lock is bounded by time ---

TEST_F(TableFaultsTest, AnInternalLockGivesUpAfterTheTimeLimit) {
  SetInternalLockTimeLimit(std::chrono::milliseconds(150));
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("t"), 0);
  ASSERT_EQ(b.Open("t"), 0);
  a.Table->WriteLockTable();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CodeOf([&] { b.Table->WriteLockTable(); }), KORVEL_LOCKTIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(3));
  a.Table->WriteUnlockTable();
  EXPECT_FALSE(b.Table->WriteLockTable());
  b.Table->WriteUnlockTable();
}

}  // namespace
}  // namespace korvel
