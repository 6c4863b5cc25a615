// The locking protocol between processes: a child process holds locks or runs a transaction
// while the parent acts, each step handed over through a pipe. Every child forks before the
// parent opens the table, so the two share no open file description.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "platform/posix_file.h"
#include "support/test_errors.h"
#include "tests/process_helpers.h"
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

class TableLockingTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateCounterTable(folder.Path(), "shared", 8); }
  TTestFolder folder;
};

TEST_F(TableLockingTest, ARecordLockOfAnotherProcessRefusesTheTableLockOnly) {
  TStepChild child([&](TStepChild& self) {
    TTableSession s(folder.Path());
    if (s.Open("shared") != 0) return 2;
    s.Table->UserWriteLockRecord(5);
    s.Table->ReadUnlockTable();
    self.Ready();
    self.Await();
    s.Table->UserWriteUnlockRecord(5);
    self.Ready();
    self.Await();
    return s.Table->TableIsLocked() ? 3 : 0;
  });
  TTableSession s(folder.Path());
  ASSERT_EQ(s.Open("shared"), 0);
  ASSERT_TRUE(child.WaitReady());
  EXPECT_EQ(CodeOf([&] { s.Table->UserWriteLockTable(); }), KORVEL_LOCKED);
  EXPECT_EQ(CodeOf([&] { s.Table->UserWriteLockRecord(5); }), KORVEL_RECLOCKFAILED);
  EXPECT_TRUE(s.Table->RecordIsLocked(5));
  s.Table->UserWriteLockRecord(6);
  s.Table->ReadUnlockTable();
  s.Table->UserWriteUnlockRecord(6);
  child.Go();
  ASSERT_TRUE(child.WaitReady());
  EXPECT_FALSE(s.Table->RecordIsLocked(5));
  s.Table->UserWriteLockTable();
  EXPECT_TRUE(s.Table->TableIsLocked());
  s.Table->UserWriteUnlockTable();
  child.Go();
  EXPECT_EQ(child.Join(), 0);
}

TEST_F(TableLockingTest, SemaphoresOfAnotherProcess) {
  TStepChild child([&](TStepChild& self) {
    TTableSession s(folder.Path());
    if (s.Open("shared") != 0) return 2;
    if (!s.Table->UserLockSemaphore(1) || !s.Table->UserLockSemaphore(1024)) return 3;
    self.Ready();
    self.Await();
    return 0;
  });
  TTableSession s(folder.Path());
  ASSERT_EQ(s.Open("shared"), 0);
  ASSERT_TRUE(child.WaitReady());
  EXPECT_FALSE(s.Table->UserLockSemaphore(1));
  EXPECT_FALSE(s.Table->UserLockSemaphore(1024));
  EXPECT_TRUE(s.Table->UserLockSemaphore(512));
  s.Table->UserWriteLockTable();
  s.Table->UserWriteUnlockTable();
  child.Go();
  EXPECT_EQ(child.Join(), 0);
  // The operating system dropped the child's locks with its last handle.
  EXPECT_TRUE(s.Table->UserLockSemaphore(1));
}

TEST_F(TableLockingTest, AWriterInAnotherProcessIsNoticedAtTheNextLock) {
  TStepChild child([&](TStepChild& self) {
    TTableSession s(folder.Path());
    if (s.Open("shared") != 0) return 2;
    self.Await();
    WriteCounter(*s.Table, 3, 30);
    WriteCounter(*s.Table, 9, 90);
    self.Ready();
    return 0;
  });
  TTableSession s(folder.Path());
  ASSERT_EQ(s.Open("shared"), 0);
  EXPECT_EQ(ReadCounter(*s.Table, 3), 0);
  child.Go();
  ASSERT_TRUE(child.WaitReady());
  EXPECT_EQ(child.Join(), 0);
  EXPECT_EQ(CachedCounter(*s.Table, 3), 0);  // stale until a lock is taken
  EXPECT_TRUE(s.Table->ReadLockTable());
  EXPECT_EQ(CachedCounter(*s.Table, 3), 30);
  EXPECT_EQ(CachedCounter(*s.Table, 9), 90);
  s.Table->ReadUnlockTable();
  EXPECT_FALSE(s.Table->ReadLockTable());
  s.Table->ReadUnlockTable();
}

TEST_F(TableLockingTest, ATransactionOfAnotherProcess) {
  TStepChild child([&](TStepChild& self) {
    TTableSession s(folder.Path());
    if (s.Open("shared") != 0) return 2;
    // Committed: two records and a record unlocked on the way.
    s.Directory->StartTransaction();
    s.Table->UserWriteLockRecord(2);
    WriteCounter(*s.Table, 1, 11);
    WriteCounter(*s.Table, 2, 22);
    s.Table->UserWriteUnlockRecord(2);
    self.Ready();
    self.Await();
    s.Directory->CommitTransaction(true, false);
    self.Ready();
    self.Await();
    // Rolled back.
    s.Directory->StartTransaction();
    WriteCounter(*s.Table, 1, 111);
    WriteCounter(*s.Table, 9, 99);
    self.Ready();
    self.Await();
    s.Directory->RollbackTransaction();
    self.Ready();
    self.Await();
    return ReadCounter(*s.Table, 1) == 11 ? 0 : 3;
  });
  TTableSession s(folder.Path());
  ASSERT_EQ(s.Open("shared"), 0);
  TDataTable& t = *s.Table;
  ASSERT_TRUE(child.WaitReady());
  EXPECT_FALSE(t.ReadLockTable());
  EXPECT_EQ(CachedCounter(t, 1), 0);
  EXPECT_EQ(CachedCounter(t, 2), 0);
  t.ReadUnlockTable();
  EXPECT_EQ(CodeOf([&] { t.UserWriteLockRecord(2); }), KORVEL_RECLOCKFAILED);
  EXPECT_FALSE(t.DataFile->LockRegion(kDataWriteLockOffset, 1, true));
  child.Go();
  ASSERT_TRUE(child.WaitReady());
  EXPECT_TRUE(t.UserWriteLockRecord(2));
  EXPECT_EQ(CachedCounter(t, 1), 11);
  EXPECT_EQ(CachedCounter(t, 2), 22);
  t.ReadUnlockTable();
  t.UserWriteUnlockRecord(2);
  const std::int32_t stamps[] = {t.GetLastDataUpdateStamp(), t.GetLastIndexUpdateStamp()};
  child.Go();
  ASSERT_TRUE(child.WaitReady());
  EXPECT_FALSE(t.ReadLockTable());
  t.ReadUnlockTable();
  child.Go();
  ASSERT_TRUE(child.WaitReady());
  EXPECT_FALSE(t.ReadLockTable());
  EXPECT_EQ(t.GetLastDataUpdateStamp(), stamps[0]);
  EXPECT_EQ(t.GetLastIndexUpdateStamp(), stamps[1]);
  EXPECT_EQ(t.GetPhysicalRecordsUsed(), 8);
  t.ReadUnlockTable();
  child.Go();
  EXPECT_EQ(child.Join(), 0);
}

TEST_F(TableLockingTest, ExclusiveOpensKeepOtherProcessesOut) {
  TStepChild child([&](TStepChild& self) {
    TTableSession s(folder.Path());
    if (s.Open("shared", true) != 0) return 2;
    self.Ready();
    self.Await();
    return 0;
  });
  ASSERT_TRUE(child.WaitReady());
  TTableSession s(folder.Path());
  EXPECT_EQ(CodeOf([&] { s.Open("shared"); }), KORVEL_OSEACCES);
  EXPECT_EQ(CodeOf([&] { s.Open("shared", true); }), KORVEL_OSEACCES);
  child.Go();
  EXPECT_EQ(child.Join(), 0);
  ASSERT_EQ(s.Open("shared"), 0);
}

TEST_F(TableLockingTest, ReadOnlyTablesAreSharedWithoutLocks) {
  for (const char* ext : {".DAT", ".IDX"})
    ASSERT_TRUE(platform::SetReadOnlyAttribute(folder.File(std::string("shared") + ext), true));
  TStepChild child([&](TStepChild& self) {
    TTableSession s(folder.Path());
    if (s.Open("shared") != 0) return 2;
    if (!s.Table->ReadOnlyAttribute || s.Table->UserWriteLockTable() || s.Table->TableIsLocked()) return 3;
    self.Ready();
    self.Await();
    return ReadCounter(*s.Table, 8) == 0 ? 0 : 4;
  });
  ASSERT_TRUE(child.WaitReady());
  TTableSession s(folder.Path());
  ASSERT_EQ(s.Open("shared"), 0);
  EXPECT_TRUE(s.Table->ReadOnly);
  EXPECT_FALSE(s.Table->UserWriteLockTable());
  EXPECT_FALSE(s.Table->RecordIsLocked(1));
  EXPECT_EQ(ReadCounter(*s.Table, 1), 0);
  child.Go();
  EXPECT_EQ(child.Join(), 0);
}

}  // namespace
}  // namespace korvel
