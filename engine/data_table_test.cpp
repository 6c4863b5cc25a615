// The shared table between two sessions of one process: they coordinate through the same lock
// bytes and stamps as two processes do, because the file layer refuses overlapping locks of
// openers inside the process as well.

#include "engine/data_table.h"
#include "engine/index_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "engine/session.h"
#include "platform/posix_file.h"
#include "support/test_errors.h"
#include "support/test_folder.h"
#include "tests/table_helpers.h"

namespace korvel {
namespace {

using testing::CachedCounter;
using testing::CreateCounterTable;
using testing::ReadCounter;
using testing::TTableSession;
using testing::TTestFolder;
using testing::WriteCounter;

using testing::CodeOf;

bool HoldsRange(const TFileHandler& file, std::int64_t start, std::int64_t length) {
  for (const TLockEntry& e : file.File->Locks)
    if (e.Start == start && e.Length == length) return true;
  return false;
}

std::size_t LockCount(const TFileHandler& file) { return file.File == nullptr ? 0 : file.File->Locks.size(); }

class DataTableTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateCounterTable(folder.Path(), "counters", 10); }
  TTestFolder folder;
};

TEST_F(DataTableTest, UseCountsKeepOneTableObjectPerSessionAndTheLastCloseFreesIt) {
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  TDataTable* first = a.Table;
  ASSERT_EQ(a.Open(" COUNTERS.dat "), 0);
  EXPECT_EQ(a.Table, first);
  EXPECT_EQ(first->UseCount, 2);
  EXPECT_EQ(first->ClientUseCount, 2);
  EXPECT_EQ(a.Close(), 0);
  EXPECT_TRUE(first->IsOpen);
  EXPECT_EQ(a.Directory->DataTableCount(), 1u);
  EXPECT_EQ(a.Close(), 0);
  EXPECT_EQ(a.Directory->DataTableCount(), 0u);
  EXPECT_EQ(a.Directory->CloseDataTable(first, true, false, false), -static_cast<int>(KORVEL_OSENOENT));

  // A table that cannot be opened leaves no object behind.
  TDataTable* none = nullptr;
  EXPECT_EQ(CodeOf([&] { a.Directory->OpenDataTable("absent", none, true, false, false, false, false, false, false); }),
            KORVEL_OSENOENT);
  EXPECT_EQ(a.Directory->DataTableCount(), 0u);
}

TEST_F(DataTableTest, AMissingIndexFileIsCreatedEmpty) {
  std::filesystem::remove(folder.File("counters.IDX"));
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  EXPECT_TRUE(a.Table->IndexMissing);
  EXPECT_TRUE(std::filesystem::exists(folder.File("counters.IDX")));
  EXPECT_EQ(a.Table->GetActualRecordCount(), 0);
  EXPECT_EQ(ReadCounter(*a.Table, 10), 0);
  a.Close();
  ASSERT_EQ(a.Open("counters"), 0);
  EXPECT_FALSE(a.Table->IndexMissing);

  // Any other failure is not mended: a damaged index header closes the table again.
  a.Close();
  std::filesystem::resize_file(folder.File("counters.IDX"), 100);
  EXPECT_NE(CodeOf([&] { a.Open("counters"); }), 0);
  EXPECT_EQ(a.Directory->DataTableCount(), 0u);
}

TEST_F(DataTableTest, ExclusiveOpensConflictInsideTheSessionAndWithOtherSessions) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters", true), 0);
  TDataTable* table = a.Table;
  EXPECT_EQ(a.Open("counters"), -static_cast<int>(KORVEL_OSEACCES));
  EXPECT_EQ(a.Open("counters", true), -static_cast<int>(KORVEL_OSEACCES));
  EXPECT_EQ(a.Open("counters", false, true), 0);
  EXPECT_EQ(table->UseCount, 2);
  EXPECT_EQ(CodeOf([&] { b.Open("counters"); }), KORVEL_OSEACCES);
  a.Close();
  a.Close();

  ASSERT_EQ(a.Open("counters"), 0);
  EXPECT_EQ(a.Open("counters", true), -static_cast<int>(KORVEL_OSEACCES));
  EXPECT_EQ(CodeOf([&] { b.Open("counters", true); }), KORVEL_OSEACCES);
  ASSERT_EQ(b.Open("counters"), 0);
}

TEST_F(DataTableTest, EveryLockLiesAtItsOffset) {
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  TDataTable& t = *a.Table;
  TDataFile& data = *t.DataFile;
  t.UserWriteLockRecord(1);
  t.ReadUnlockTable();
  t.UserWriteLockRecord(200000000);
  t.ReadUnlockTable();
  EXPECT_TRUE(HoldsRange(data, 0xFFFFFFFELL - 1, 1));
  EXPECT_TRUE(HoldsRange(data, 4094967294LL, 1));
  EXPECT_TRUE(t.UserLockSemaphore(1));
  EXPECT_TRUE(t.UserLockSemaphore(1024));
  EXPECT_TRUE(HoldsRange(data, 4094967291LL, 1));
  EXPECT_TRUE(HoldsRange(data, 4094966268LL, 1));
  t.WriteLockTable();
  EXPECT_TRUE(HoldsRange(data, 0xFFFFFFFFLL, 1));
  EXPECT_TRUE(HoldsRange(*t.IndexFile, 0xFFFEFFFFLL, 0x10000));
  t.WriteUnlockTable();
  t.UserWriteUnlockRecord(1);
  t.UserWriteUnlockRecord(200000000);
  EXPECT_FALSE(t.UserWriteLockTable());
  EXPECT_TRUE(HoldsRange(data, 0xF4143DFDLL, 200000001));
  t.UserWriteUnlockTable();
  t.ReadLockTable();
  ASSERT_NE(t.ReadLockIndexSlot, 0);
  EXPECT_TRUE(HoldsRange(*t.IndexFile, 0xFFFFFFFFLL - t.ReadLockIndexSlot, 1));
  t.ReadUnlockTable();
  EXPECT_TRUE(t.UserUnlockSemaphore(1));
  EXPECT_TRUE(t.UserUnlockSemaphore(1024));
  EXPECT_EQ(LockCount(data), 0u);
  EXPECT_EQ(LockCount(*t.IndexFile), 0u);
}

TEST_F(DataTableTest, RecordLocksAgainstTableLocksBetweenSessions) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  TDataTable& ta = *a.Table;
  TDataTable& tb = *b.Table;

  ta.UserWriteLockRecord(5);
  ta.ReadUnlockTable();
  EXPECT_EQ(CodeOf([&] { tb.UserWriteLockTable(); }), KORVEL_LOCKED);
  EXPECT_FALSE(tb.TableIsLocked());
  tb.UserWriteLockRecord(6);
  tb.ReadUnlockTable();
  EXPECT_EQ(CodeOf([&] { tb.UserWriteLockRecord(5); }), KORVEL_RECLOCKFAILED);
  EXPECT_FALSE(tb.ReadLocked);  // the read lock taken for the attempt went with the refusal
  EXPECT_TRUE(tb.RecordIsLocked(5));
  EXPECT_TRUE(tb.RecordIsLocked(6));
  EXPECT_FALSE(tb.RecordIsLocked(7));
  EXPECT_FALSE(tb.RecordIsLocked(0));
  // A session's own record lock lies inside the table region it asks for.
  EXPECT_EQ(CodeOf([&] { ta.UserWriteLockTable(); }), KORVEL_LOCKED);

  EXPECT_EQ(CodeOf([&] { ta.UserWriteLockRecord(0); }), KORVEL_RECLOCKFAILED);
  EXPECT_EQ(CodeOf([&] { ta.UserWriteUnlockRecord(0); }), KORVEL_UNLOCKFAILED);
  EXPECT_EQ(CodeOf([&] { ta.UserWriteUnlockRecord(6); }), KORVEL_UNLOCKFAILED);
  EXPECT_EQ(CodeOf([&] { ta.UserWriteLockRecord(200000001); }), KORVEL_RECLOCKFAILED);

  ta.UserWriteUnlockRecord(5);
  tb.UserWriteUnlockRecord(6);
  tb.UserWriteLockTable();
  EXPECT_TRUE(tb.TableIsLocked());
  EXPECT_EQ(CodeOf([&] { ta.UserWriteLockRecord(200000000); }), KORVEL_RECLOCKFAILED);
  EXPECT_TRUE(ta.RecordIsLocked(3));
  // Under its own table lock a session's record locks need no bytes.
  EXPECT_FALSE(tb.UserWriteLockRecord(3));
  tb.UserWriteUnlockTable();
  ta.UserWriteLockRecord(200000000);
  ta.ReadUnlockTable();
  ta.UserWriteUnlockRecord(200000000);
}

TEST_F(DataTableTest, SemaphoresLieOutsideTheTableRegion) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  EXPECT_FALSE(a.Table->UserLockSemaphore(0));
  EXPECT_FALSE(a.Table->UserLockSemaphore(1025));
  EXPECT_FALSE(a.Table->UserUnlockSemaphore(0));
  EXPECT_FALSE(a.Table->UserUnlockSemaphore(1025));
  EXPECT_EQ(LockCount(*a.Table->DataFile), 0u);

  ASSERT_TRUE(a.Table->UserLockSemaphore(1));
  ASSERT_TRUE(a.Table->UserLockSemaphore(1024));
  EXPECT_FALSE(b.Table->UserLockSemaphore(1));
  EXPECT_TRUE(b.Table->UserLockSemaphore(2));
  b.Table->UserWriteLockTable();  // not refused: no semaphore lies in the region
  b.Table->UserWriteUnlockTable();
  // Closing the table keeps a semaphore: it lasts until unlocked.
  a.Close();
  EXPECT_FALSE(b.Table->UserLockSemaphore(1024));
  EXPECT_FALSE(b.Table->UserUnlockSemaphore(1000));
}

TEST_F(DataTableTest, TableUnlockWaitsForTheCursorRecordLocks) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  TDataTable& ta = *a.Table;
  ta.UserWriteLockTable();
  // What a cursor does around the table's record lock.
  ta.AddCursorRecordWriteLock(3);
  ta.UserWriteLockRecord(3);
  ta.UserWriteUnlockTable();
  EXPECT_TRUE(ta.TableIsLocked());
  EXPECT_TRUE(ta.TableUnlockPending);
  EXPECT_EQ(CodeOf([&] { b.Table->UserWriteLockRecord(8); }), KORVEL_RECLOCKFAILED);
  ta.RemoveCursorRecordWriteLock(3);
  ta.UserWriteUnlockRecord(3);
  EXPECT_FALSE(ta.TableIsLocked());
  b.Table->UserWriteLockRecord(8);
  b.Table->ReadUnlockTable();
  b.Table->UserWriteUnlockRecord(8);

  // Taking the table lock again clears a pending unlock.
  ta.UserWriteLockTable();
  ta.AddCursorRecordWriteLock(4);
  ta.UserWriteUnlockTable();
  ta.RemoveCursorRecordWriteLock(4);
  ta.UserWriteLockTable();
  EXPECT_FALSE(ta.TableUnlockPending);
  ta.UserWriteUnlockTable();
  EXPECT_FALSE(ta.TableIsLocked());
}

TEST_F(DataTableTest, TheLastCloseReleasesEveryLockButSemaphores) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  a.Table->UserWriteLockRecord(7);
  a.Table->ReadUnlockTable();
  a.Table->UserWriteLockRecord(9);  // the read lock of this one stays, as a cursor left it
  a.Table->UserReadLockTable();
  EXPECT_FALSE(a.Table->UserReadLocked);  // the internal read lock already stands for it
  a.Close();
  EXPECT_EQ(LockCount(*b.Table->DataFile), 0u);
  EXPECT_EQ(LockCount(*b.Table->IndexFile), 0u);
  b.Table->UserWriteLockTable();
  b.Table->UserWriteUnlockTable();

  ASSERT_EQ(a.Open("counters"), 0);
  a.Table->UserReadLockTable();
  EXPECT_TRUE(a.Table->UserReadLocked);
  a.Close();
  EXPECT_EQ(LockCount(*b.Table->IndexFile), 0u);
}

TEST_F(DataTableTest, AWriteLockSetsTheSessionsOwnReadSlotsAside) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  a.Table->UserReadLockTable();
  WriteCounter(*a.Table, 2, 20);  // would wait on its own read slot otherwise
  EXPECT_TRUE(a.Table->UserReadLocked);
  // The user read lock is back: another writer's index region is refused.
  EXPECT_FALSE(b.Table->IndexFile->LockRegion(kPageWriteLockOffset, kPageWriteLockLength, true));
  a.Table->UserReadUnlockTable();
  EXPECT_EQ(LockCount(*a.Table->IndexFile), 0u);
  EXPECT_EQ(ReadCounter(*b.Table, 2), 20);
}

TEST_F(DataTableTest, AWritersChangeIsSeenAtTheReadersNextLock) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  EXPECT_EQ(ReadCounter(*b.Table, 4), 0);
  WriteCounter(*a.Table, 4, 41);
  // Navigation in the cache takes no lock and sees the record as it was.
  EXPECT_EQ(CachedCounter(*b.Table, 4), 0);
  EXPECT_TRUE(b.Table->ReadLockTable());
  EXPECT_EQ(CachedCounter(*b.Table, 4), 41);
  b.Table->ReadUnlockTable();
  EXPECT_FALSE(b.Table->ReadLockTable());
  b.Table->ReadUnlockTable();
  EXPECT_EQ(b.Table->GetLastDataUpdateStamp(), a.Table->GetLastDataUpdateStamp());
  EXPECT_EQ(b.Table->GetLastIndexUpdateStamp(), a.Table->GetLastIndexUpdateStamp());

  // A record lock notices it too, and so does an append by the other side.
  WriteCounter(*a.Table, 11, 110);
  EXPECT_TRUE(b.Table->UserWriteLockRecord(4));
  b.Table->ReadUnlockTable();
  b.Table->UserWriteUnlockRecord(4);
  EXPECT_EQ(b.Table->GetPhysicalRecordsUsed(), 11);
  EXPECT_EQ(b.Table->GetActualRecordCount(), 11);
  EXPECT_EQ(CachedCounter(*b.Table, 11), 110);
  // The writer's own flushes are no change to itself.
  EXPECT_FALSE(a.Table->ReadLockTable());
  a.Table->ReadUnlockTable();
}

TEST(DataTableBlobTest, StalePagesAndBlocksAreDroppedWithTheRecords) {
  TTestFolder folder;
  CreateCounterTable(folder.Path(), "notes", 2, true);
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("notes"), 0);
  ASSERT_EQ(b.Open("notes"), 0);
  ASSERT_TRUE(a.Table->HasBlobFile());

  // One write adds an index page and a BLOB block.
  TDataTable& ta = *a.Table;
  ta.WriteLockTable();
  TPageBuffer* page = nullptr;
  ta.IndexFile->GetNextFreePage(nullptr, 0, page);
  page->SetPageType(ptDataPage);  // the table's pages are B-tree pages: a data page keeps its raw body
  page->GetPageDataPtr()[0] = 'p';
  std::int32_t pageNumber = page->PageNumber;
  ta.PutPage(page);
  TBlock* block = nullptr;
  ta.BlobFile->GetNextFreeBlock(nullptr, block);
  block->PutBlockData(0, 1, "b");
  std::int32_t blockNumber = block->BlockNumber;
  ta.PutBlock(block);
  ta.FlushBuffers(false, true, false, true, true);
  ta.WriteUnlockTable();

  auto cached = [&](TDataTable& t, char& pageByte, char& blockByte) {
    TPageBuffer* p = nullptr;
    TBlock* k = nullptr;
    ASSERT_TRUE(t.GetPage(nullptr, 0, pageNumber, p));
    pageByte = static_cast<char>(p->GetPageDataPtr()[0]);
    t.PutPage(p);
    ASSERT_TRUE(t.GetBlock(nullptr, blockNumber, false, 1, k));
    blockByte = static_cast<char>(k->Data()[0]);
    t.PutBlock(k);
  };
  char p = 0, k = 0;
  b.Table->ReadLockTable();
  cached(*b.Table, p, k);
  b.Table->ReadUnlockTable();
  EXPECT_EQ(p, 'p');
  EXPECT_EQ(k, 'b');

  // The second write changes page and block in place; the reader's caches hold the old ones.
  ta.WriteLockTable();
  ASSERT_TRUE(ta.GetPage(nullptr, 0, pageNumber, page));
  page->GetPageDataPtr()[0] = 'P';
  page->SetModified();
  ta.PutPage(page);
  ASSERT_TRUE(ta.GetBlock(nullptr, blockNumber, false, 1, block));
  block->PutBlockData(0, 1, "B");
  ta.PutBlock(block);
  ta.FlushBuffers(false, true, false, true, true);
  ta.WriteUnlockTable();
  cached(*b.Table, p, k);
  EXPECT_EQ(p, 'p');
  EXPECT_EQ(k, 'b');
  EXPECT_TRUE(b.Table->ReadLockTable());
  cached(*b.Table, p, k);
  b.Table->ReadUnlockTable();
  EXPECT_EQ(p, 'P');
  EXPECT_EQ(k, 'B');
  EXPECT_EQ(b.Table->GetLastBlobUpdateStamp(), ta.GetLastBlobUpdateStamp());
  EXPECT_GT(b.Table->GetIndexPageCacheHits() + b.Table->GetBlobBlockCacheHits(), 0u);
  EXPECT_GT(b.Table->GetIndexPageCacheMisses(), 0u);
  EXPECT_GT(b.Table->GetBlobBlockCacheMisses(), 0u);
}

TEST_F(DataTableTest, ATransactionIsInvisibleUntilCommittedAndGoneWhenRolledBack) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  TDataTable& ta = *a.Table;
  TDataTable& tb = *b.Table;
  EXPECT_EQ(ReadCounter(tb, 1), 0);

  a.Directory->StartTransaction();
  EXPECT_TRUE(ta.TransactionInProgress);
  WriteCounter(ta, 1, 1);
  WriteCounter(ta, 2, 2);
  WriteCounter(ta, 11, 11);
  EXPECT_EQ(CachedCounter(ta, 1), 1);
  // Readers keep reading the last committed state; writers are kept out by the data byte.
  EXPECT_FALSE(tb.ReadLockTable());
  EXPECT_EQ(CachedCounter(tb, 2), 0);
  EXPECT_EQ(tb.GetPhysicalRecordsUsed(), 10);
  tb.ReadUnlockTable();
  EXPECT_FALSE(tb.DataFile->LockRegion(kDataWriteLockOffset, 1, true));

  a.Directory->CommitTransaction(true, false);
  EXPECT_FALSE(ta.TransactionInProgress);
  EXPECT_FALSE(ta.TransactionLocked);
  EXPECT_TRUE(tb.ReadLockTable());
  EXPECT_EQ(CachedCounter(tb, 1), 1);
  EXPECT_EQ(CachedCounter(tb, 2), 2);
  EXPECT_EQ(CachedCounter(tb, 11), 11);
  EXPECT_EQ(tb.GetActualRecordCount(), 11);
  tb.ReadUnlockTable();

  const std::int32_t dataStamp = tb.GetLastDataUpdateStamp();
  const std::int32_t indexStamp = tb.GetLastIndexUpdateStamp();
  const auto dataSize = std::filesystem::file_size(folder.File("counters.DAT"));
  a.Directory->StartTransaction();
  WriteCounter(ta, 1, 100);
  WriteCounter(ta, 12, 12);
  a.Directory->RollbackTransaction();
  EXPECT_EQ(ReadCounter(ta, 1), 1);
  EXPECT_EQ(ta.GetPhysicalRecordsUsed(), 11);
  EXPECT_EQ(ta.GetLastDataUpdateStamp(), dataStamp);
  EXPECT_EQ(ta.GetLastIndexUpdateStamp(), indexStamp);
  EXPECT_FALSE(tb.ReadLockTable());  // nothing on disk moved
  tb.ReadUnlockTable();
  EXPECT_EQ(std::filesystem::file_size(folder.File("counters.DAT")), dataSize);
  EXPECT_EQ(LockCount(*ta.DataFile), 0u);
}

TEST_F(DataTableTest, ACommitLeavesAloneATableCreatedButNeverOpened) {
  // The directory keeps the object of a table it created; its files are closed, and the commit
  // of a transaction on another table must not try to grow them.
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  TDataTable* made = nullptr;
  ASSERT_EQ(a.Directory->CreateDataTable("fresh", testing::CounterTableStructure(false), false, false, made), 0);
  ASSERT_FALSE(made->IsOpen);
  a.Directory->StartTransaction();
  WriteCounter(*a.Table, 1, 7);
  EXPECT_EQ(CodeOf([&] { a.Directory->CommitTransaction(true, false); }), 0);
  EXPECT_FALSE(a.Table->TransactionInProgress);
  EXPECT_EQ(ReadCounter(*a.Table, 1), 7);
  EXPECT_EQ(a.Open("fresh"), 0);
}

TEST_F(DataTableTest, RecordsUnlockedInsideATransactionStayLockedUntilItEnds) {
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  TDataTable& ta = *a.Table;
  TDataTable& tb = *b.Table;
  for (bool commit : {true, false}) {
    a.Directory->StartTransaction();
    ta.UserWriteLockRecord(4);
    ta.UserWriteLockRecord(5);
    WriteCounter(ta, 4, commit ? 44 : 45);
    ta.UserWriteUnlockRecord(4);
    ta.UserWriteUnlockRecord(5);
    // Locking 5 again inside the transaction keeps it past the end.
    EXPECT_FALSE(ta.UserWriteLockRecord(5));
    EXPECT_EQ(CodeOf([&] { tb.UserWriteLockRecord(4); }), KORVEL_RECLOCKFAILED);
    EXPECT_TRUE(tb.RecordIsLocked(4));
    if (commit)
      a.Directory->CommitTransaction(true, false);
    else
      a.Directory->RollbackTransaction();
    tb.UserWriteLockRecord(4);
    tb.ReadUnlockTable();
    EXPECT_EQ(CachedCounter(tb, 4), 44);
    tb.UserWriteUnlockRecord(4);
    EXPECT_EQ(CodeOf([&] { tb.UserWriteLockRecord(5); }), KORVEL_RECLOCKFAILED);
    ta.UserWriteUnlockRecord(5);
  }
}

TEST_F(DataTableTest, TablesClosedInsideATransactionStayOpenUntilItEnds) {
  CreateCounterTable(folder.Path(), "second", 3);
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  TDataTable* counters = a.Table;
  a.Directory->StartTransaction();
  ASSERT_EQ(a.Open("second"), 0);  // joins the running transaction
  TDataTable* second = a.Table;
  EXPECT_TRUE(second->TransactionInProgress);
  WriteCounter(*second, 1, 5);
  WriteCounter(*counters, 1, 6);
  a.Table = second;
  a.Close();
  a.Table = counters;
  a.Close();
  EXPECT_EQ(a.Directory->DataTableCount(), 2u);
  EXPECT_TRUE(second->IsOpen);
  a.Directory->CommitTransaction(true, false);
  EXPECT_EQ(a.Directory->DataTableCount(), 0u);
  ASSERT_EQ(b.Open("second"), 0);
  EXPECT_EQ(ReadCounter(*b.Table, 1), 5);
  ASSERT_EQ(b.Open("counters"), 0);
  EXPECT_EQ(ReadCounter(*b.Table, 1), 6);
}

TEST_F(DataTableTest, ExclusiveTablesTakeNoLocksAndWriteWhenClosed) {
  TTableSession a(folder.Path());
  ASSERT_EQ(a.Open("counters", true), 0);
  TDataTable& t = *a.Table;
  EXPECT_FALSE(t.UserWriteLockRecord(1));
  EXPECT_FALSE(t.UserWriteLockTable());
  EXPECT_FALSE(t.ReadLockTable());
  EXPECT_FALSE(t.WriteLockTable());
  EXPECT_TRUE(t.UserLockSemaphore(3));
  EXPECT_EQ(LockCount(*t.DataFile), 0u);
  EXPECT_FALSE(t.RecordIsLocked(1));
  // Changes stay in the cache until the table closes.
  TRecord* record = nullptr;
  ASSERT_TRUE(t.GetRecord(nullptr, 3, false, false, true, record));
  testing::SetCounter(t, *record, 33);
  t.PutRecord(record);
  a.Close();
  ASSERT_EQ(a.Open("counters"), 0);
  EXPECT_EQ(ReadCounter(*a.Table, 3), 33);
}

TEST_F(DataTableTest, TablesWithoutWriteBitsOpenReadOnlyAndTakeNoLocks) {
  for (const char* ext : {".DAT", ".IDX"})
    ASSERT_TRUE(platform::SetReadOnlyAttribute(folder.File(std::string("counters") + ext), true));
  TTableSession a(folder.Path()), b(folder.Path());
  ASSERT_EQ(a.Open("counters"), 0);
  ASSERT_EQ(b.Open("counters"), 0);
  TDataTable& t = *a.Table;
  EXPECT_TRUE(t.ReadOnly);
  EXPECT_TRUE(t.ReadOnlyAttribute);
  EXPECT_FALSE(t.ReadLockTable());
  EXPECT_FALSE(t.WriteLockTable());
  EXPECT_FALSE(t.UserReadLockTable());
  EXPECT_FALSE(t.UserWriteLockTable());
  EXPECT_FALSE(t.UserWriteLockRecord(2));
  EXPECT_FALSE(t.UserLockSemaphore(2));
  EXPECT_FALSE(t.RecordIsLocked(2));
  EXPECT_EQ(LockCount(*t.DataFile), 0u);
  EXPECT_EQ(LockCount(*t.IndexFile), 0u);
  a.Directory->StartTransaction();
  EXPECT_FALSE(t.TransactionInProgress);
  a.Directory->CommitTransaction(true, false);
  EXPECT_EQ(ReadCounter(t, 2), 0);
  EXPECT_EQ(ReadCounter(*b.Table, 2), 0);
  EXPECT_TRUE(b.Table->ReadOnly);
}

TEST_F(DataTableTest, CreateRenameAndDeleteThroughTheDirectory) {
  TTableSession a(folder.Path());
  TDataTable* made = nullptr;
  ASSERT_EQ(a.Directory->CreateDataTable("fresh", testing::CounterTableStructure(true), false, false, made), 0);
  ASSERT_NE(made, nullptr);
  EXPECT_FALSE(made->IsOpen);
  for (const char* ext : {".DAT", ".IDX", ".BLB"}) EXPECT_TRUE(std::filesystem::exists(folder.File(std::string("fresh") + ext)));
  ASSERT_EQ(a.Open("fresh"), 0);
  EXPECT_EQ(a.Table, made);
  EXPECT_EQ(made->GetFieldCount(), 3);
  EXPECT_EQ(made->GetBlobFieldCount(), 1);
  EXPECT_EQ(made->GetDescription(), "counters");
  EXPECT_TRUE(made->GetNoPrimaryIndex());
  EXPECT_EQ(a.Directory->CreateDataTable("fresh", testing::CounterTableStructure(false), false, false, made),
            -static_cast<int>(KORVEL_OSEACCES));
  EXPECT_EQ(a.Directory->RenameDataTable("fresh", "renamed", false, false), -static_cast<int>(KORVEL_OSEACCES));
  EXPECT_EQ(a.Directory->DeleteDataTable("fresh", false), -static_cast<int>(KORVEL_OSEACCES));
  a.Close();
  EXPECT_EQ(a.Directory->RenameDataTable("fresh", "renamed", false, false), 0);
  EXPECT_TRUE(std::filesystem::exists(folder.File("renamed.BLB")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("fresh.DAT")));
  EXPECT_EQ(a.Directory->DeleteDataTable("renamed", false), 0);
  EXPECT_FALSE(std::filesystem::exists(folder.File("renamed.DAT")));
  EXPECT_EQ(a.Directory->DeleteDataTable("renamed", false), -static_cast<int>(KORVEL_OSENOENT));

  // A structure the files refuse leaves no table behind.
  TTableStructure bad = testing::CounterTableStructure(false);
  TIndexDefinition byName;
  byName.IndexName = "1bad";
  byName.KeyFieldCount = 1;
  byName.KeyFields[0] = 2;
  byName.KeySize = 26;
  bad.SecondaryIndexes.push_back(byName);
  EXPECT_NE(CodeOf([&] { a.Directory->CreateDataTable("broken", bad, false, false, made); }), 0);
  EXPECT_EQ(a.Directory->FindDataTable("broken", false), nullptr);
  EXPECT_FALSE(std::filesystem::exists(folder.File("broken.DAT")));

  // A temporary table's files go with its last close.
  ASSERT_EQ(a.Directory->CreateDataTable("scratch", testing::CounterTableStructure(false), true, false, made), 0);
  TDataTable* table = nullptr;
  ASSERT_EQ(a.Directory->OpenDataTable("scratch", table, true, true, false, false, true, false, false), 0);
  WriteCounter(*table, 1, 1);
  EXPECT_EQ(a.Directory->CloseDataTable(table, true, false, false), 0);
  EXPECT_FALSE(std::filesystem::exists(folder.File("scratch.DAT")));
}

TEST_F(DataTableTest, DiskAndMemoryTablesOfOneNameAreDifferentTables) {
  TTableSession a(folder.Path());
  TDataTable* memory = nullptr;
  ASSERT_EQ(a.Directory->CreateDataTable("counters", testing::CounterTableStructure(false), false, true, memory), 0);
  TDataTable* disk = nullptr;
  ASSERT_EQ(a.Directory->OpenDataTable("counters", disk, true, false, false, false, false, false, false), 0);
  ASSERT_EQ(a.Directory->OpenDataTable("counters", memory, true, true, false, true, false, false, false), 0);
  EXPECT_NE(disk, memory);
  EXPECT_EQ(disk->GetPhysicalRecordsUsed(), 10);
  EXPECT_EQ(memory->GetPhysicalRecordsUsed(), 0);
  EXPECT_EQ(a.Directory->CloseDataTable(memory, true, false, false), 0);
  EXPECT_EQ(a.Directory->DeleteDataTable("counters", true), 0);
  EXPECT_TRUE(std::filesystem::exists(folder.File("counters.DAT")));
}

}  // namespace
}  // namespace korvel
