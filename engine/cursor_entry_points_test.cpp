// The cursor's lock wrappers, semaphores, flushes, bookmark verification, index selection
// without repositioning, whole-record BLOB operations, the data-loss callback and the hosted
// directory's cursor list.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/cursor_test_helpers.h"
#include "engine/data_cursor.h"
#include "engine/table_maintenance.h"
#include "support/byte_order.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::Append;
using testing::CheckIndexes;
using testing::NameOf;
using testing::OpenPeople;

class CursorEntryPointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    Quick(*session);
    directory = session->OpenDataDirectory("test", folder.Path());
    testing::CreateTable(directory, "people", testing::PeopleStructure());
  }
  static void Quick(TDataSession& s) {
    s.SetLockRetries(2);
    s.SetLockWait(1);
  }
  // A second session on the same folder: it coordinates with the first through the files only.
  TDataDirectory* OtherDirectory() {
    other = std::make_unique<TDataSession>(false);
    Quick(*other);
    return other->OpenDataDirectory("test", folder.Path());
  }
  std::vector<std::uint8_t> Record(TDataCursor& c) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(c.GetRecordSize()));
  }
  std::string Memo(TDataCursor& c, std::uint8_t* record) {
    std::int64_t size = 0;
    EXPECT_EQ(c.OpenBlob(4, record, TBlobBuffer::omRead, false, false, size), 0);
    std::string text(static_cast<std::size_t>(size), '\0');
    std::int64_t count = 0;
    if (size > 0) c.GetBlob(4, record, false, count, size, text.data(), 0);
    c.FreeBlob(4, record, false);
    return text;
  }
  void PutMemo(TDataCursor& c, std::uint8_t* record, const std::string& text) {
    std::int64_t size = 0;
    ASSERT_EQ(c.OpenBlob(4, record, TBlobBuffer::omReadWrite, false, true, size), 0);
    ASSERT_EQ(c.TruncateBlob(4, record, false, 0), 0);
    ASSERT_EQ(c.PutBlob(4, record, false, static_cast<std::int64_t>(text.size()), text.data(), 0), 0);
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  std::unique_ptr<TDataSession> other;
  TDataDirectory* directory = nullptr;
};

TEST_F(CursorEntryPointTest, TableLocksThroughTheCursorShowAnotherSessionsChangesAndExcludeIt) {
  auto a = OpenPeople(directory);
  for (int i = 1; i <= 3; ++i) Append(*a, "a" + std::to_string(i), i);
  auto b = OpenPeople(OtherDirectory());
  Append(*b, "b1", 11);
  Append(*b, "b2", 12);
  // Without strict detection and without a lock, a has not looked at the files yet.
  EXPECT_EQ(a->GetRecordCount(), 3);
  EXPECT_TRUE(a->UserWriteLockTable());
  EXPECT_EQ(a->GetRecordCount(), 5);
  EXPECT_TRUE(a->TableIsLocked());
  EXPECT_FALSE(b->TableIsLocked());
  // The table lock covers every record byte: b can lock no record and not the table.
  EXPECT_TRUE(b->RecordIsLocked(1));
  try {
    b->UserWriteLockRecord(1);
    FAIL() << "record lock under another session's table lock";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_RECLOCKFAILED);
  }
  try {
    b->UserWriteLockTable();
    FAIL() << "two table locks";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_LOCKED);
  }
  // A second lock by the holder finds nothing new.
  EXPECT_FALSE(a->UserWriteLockTable());
  a->UserWriteUnlockTable();
  EXPECT_FALSE(a->TableIsLocked());
  EXPECT_FALSE(b->RecordIsLocked(1));
  b->UserWriteLockRecord(1);
  EXPECT_TRUE(a->RecordIsLocked(1));
  EXPECT_FALSE(a->RecordIsLocked(2));
  b->UserWriteUnlockRecord(1);

  // A read lock shows the other session's change to the very record the cursor stands on.
  auto r = Record(*a);
  a->SetToBegin();
  ASSERT_EQ(a->GetNextRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*a, r.data()), "a1");
  b->SetToBegin();
  auto rb = Record(*b);
  ASSERT_EQ(b->GetNextRecord(rb.data()), 0);
  b->GetCurrentRecord(rb.data(), true);
  testing::SetName(*b, rb.data(), "changed by b");
  b->ModifyRecord(rb.data());
  EXPECT_TRUE(a->ReadLockTable());
  ASSERT_EQ(a->GetCurrentRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*a, r.data()), "changed by b");
  // The lock is the caller's: operations in between leave it held.
  a->GetNextRecord(r.data());
  a->GetRecordCount();
  EXPECT_TRUE(a->Table->ReadLocked);
  a->ReadUnlockTable();
  EXPECT_FALSE(a->Table->ReadLocked);

  EXPECT_FALSE(a->UserReadLockTable());
  EXPECT_TRUE(a->Table->UserReadLocked);
  a->UserReadUnlockTable();
  EXPECT_FALSE(a->Table->UserReadLocked);
  EXPECT_EQ(CheckIndexes(*a), "");
}

TEST_F(CursorEntryPointTest, AWriteLockTheCallerTookStaysHeldAcrossEdits) {
  auto a = OpenPeople(directory);
  auto b = OpenPeople(OtherDirectory());
  Append(*b, "before", 1);
  // The caller's write lock detects b's append and shows it.
  EXPECT_TRUE(a->WriteLockTable());
  EXPECT_EQ(a->GetRecordCount(), 1);
  Append(*a, "inside", 2);
  auto r = Record(*a);
  a->SetToBegin();
  ASSERT_EQ(a->GetNextRecord(r.data()), 0);
  a->DeleteRecord(r.data());
  EXPECT_TRUE(a->Table->WriteLocked);
  a->WriteUnlockTable();
  EXPECT_FALSE(a->Table->WriteLocked);
  // Each edit flushed inside the lock: b sees both at its next lock.
  b->UserWriteLockTable();
  EXPECT_EQ(b->GetRecordCount(), 1);
  b->UserWriteUnlockTable();
  EXPECT_EQ(CheckIndexes(*a), "");
}

TEST_F(CursorEntryPointTest, SemaphoresExcludeOtherSessionsAndNothingElse) {
  auto a = OpenPeople(directory);
  Append(*a, "x", 1);
  auto b = OpenPeople(OtherDirectory());
  EXPECT_FALSE(a->UserLockSemaphore(0));
  EXPECT_FALSE(a->UserLockSemaphore(1025));
  EXPECT_FALSE(a->UserUnlockSemaphore(0));
  ASSERT_TRUE(a->UserLockSemaphore(1));
  ASSERT_TRUE(a->UserLockSemaphore(1024));
  EXPECT_FALSE(b->UserLockSemaphore(1));
  EXPECT_FALSE(b->UserLockSemaphore(1024));
  EXPECT_TRUE(b->UserLockSemaphore(2));
  // The semaphores lie outside the table and record locks: both stay free for b.
  b->UserWriteLockRecord(1);
  b->UserWriteUnlockRecord(1);
  b->UserWriteLockTable();
  EXPECT_TRUE(b->TableIsLocked());
  b->UserWriteUnlockTable();
  EXPECT_TRUE(a->UserUnlockSemaphore(1));
  EXPECT_TRUE(b->UserLockSemaphore(1));
  EXPECT_TRUE(b->UserUnlockSemaphore(1));
  EXPECT_TRUE(b->UserUnlockSemaphore(2));
  EXPECT_TRUE(a->UserUnlockSemaphore(1024));
}

TEST_F(CursorEntryPointTest, AnExclusiveCursorWritesItsTableOnlyWhenAFlushIsForced) {
  auto c = std::make_unique<testing::TTestCursor>(directory);
  c->SetTableName("people");
  c->SetExclusive(true);
  c->OpenCursor();
  const auto dataFile = std::filesystem::path(folder.Path()) / "people.DAT";
  const auto before = std::filesystem::file_size(dataFile);
  for (int i = 0; i < 20; ++i) Append(*c, "n" + std::to_string(i), i);
  c->FlushBuffers(false, true, true, true, true);
  EXPECT_EQ(std::filesystem::file_size(dataFile), before);
  c->FlushBuffers(true, true, true, true, true);
  EXPECT_GT(std::filesystem::file_size(dataFile), before);
  EXPECT_FALSE(c->TransactionInProgress());
  // An exclusive cursor takes no locks.
  EXPECT_FALSE(c->UserWriteLockTable());
  EXPECT_FALSE(c->TableIsLocked());
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST_F(CursorEntryPointTest, VerifyBookmarkPositionFollowsTheRecordOrTellsItIsGone) {
  auto a = OpenPeople(directory);
  auto b = OpenPeople(directory);
  for (int i = 0; i < 40; ++i) Append(*a, "m" + std::to_string(100 + i), i);
  a->SetIndexName("ByName");
  auto r = Record(*a);
  ASSERT_TRUE(a->Find(false, [&] {
    testing::SetName(*a, r.data(), "m120");
    return r.data();
  }(), 1, false, 0, nullptr));
  EXPECT_EQ(a->GetRecordNumber(), 21);
  // Another cursor puts 300 keys in front of it, splitting pages under the cursor's copy.
  for (int i = 0; i < 300; ++i) Append(*b, "a" + std::to_string(1000 + i), 1000 + i);
  EXPECT_TRUE(a->VerifyBookmarkPosition());
  EXPECT_EQ(a->GetRecordNumber(), 321);
  ASSERT_EQ(a->GetCurrentRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*a, r.data()), "m120");
  // Deleted by the other cursor: gone, and the cursor moves on to the next name.
  b->SetIndexName("ByName");
  auto rb = Record(*b);
  testing::SetName(*b, rb.data(), "m120");
  ASSERT_TRUE(b->Find(false, rb.data(), 1, false, 0, rb.data()));
  b->DeleteRecord(rb.data());
  EXPECT_FALSE(a->VerifyBookmarkPosition());
  ASSERT_EQ(a->GetCurrentRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*a, r.data()), "m121");
  // The last record deleted: the cursor ends on the new last record, not past the end.
  a->SetToEnd();
  a->GetPriorRecord(r.data());
  EXPECT_EQ(NameOf(*a, r.data()), "m139");
  b->SetToEnd();
  b->GetPriorRecord(rb.data());
  b->DeleteRecord(rb.data());
  EXPECT_FALSE(a->VerifyBookmarkPosition());
  ASSERT_EQ(a->GetCurrentRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*a, r.data()), "m138");

  // Physically a bookmark is a record number, which an append may give to a new record.
  a->SetIndexPos(kNoIndexPos);
  b->SetIndexPos(kNoIndexPos);
  a->SetToBegin();
  ASSERT_EQ(a->GetNextRecord(r.data()), 0);
  const std::int32_t n = TDataCursor::GetRecordNo(r.data());
  EXPECT_TRUE(a->VerifyBookmarkPosition());
  b->SetToBegin();
  ASSERT_EQ(b->GetNextRecord(rb.data()), 0);
  ASSERT_EQ(TDataCursor::GetRecordNo(rb.data()), n);
  b->DeleteRecord(rb.data());
  Append(*b, "takes the slot", 5000);
  EXPECT_FALSE(a->VerifyBookmarkPosition());
  // On no record there is nothing to verify.
  a->SetToBegin();
  EXPECT_FALSE(a->VerifyBookmarkPosition());
  EXPECT_EQ(CheckIndexes(*a), "");
}

TEST_F(CursorEntryPointTest, InternalSetIndexPosStandsBeforeTheFirstRecordOfTheNewOrder) {
  auto c = OpenPeople(directory);
  Append(*c, "carol", 30);
  Append(*c, "alice", 20);
  Append(*c, "bob", 10);
  auto r = Record(*c);
  c->SetToBegin();
  c->GetNextRecord(r.data());
  c->GetNextRecord(r.data());
  c->InternalSetIndexPos(2);  // ByAmount
  EXPECT_EQ(c->GetIndexName(), "ByAmount");
  EXPECT_TRUE(c->GetBof());
  EXPECT_FALSE(c->GetEof());
  EXPECT_EQ(c->GetCurrentRecord(r.data()), KORVEL_BOF);
  EXPECT_EQ(c->GetPriorRecord(r.data()), KORVEL_BOF);
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*c, r.data()), "bob");
  EXPECT_EQ(c->GetRecordNumber(), 1);
  EXPECT_EQ(c->GetRecordCount(), 3);
  c->InternalSetIndexPos(1);  // ByName
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*c, r.data()), "alice");
  c->InternalSetIndexPos(kNoIndexPos);
  EXPECT_TRUE(c->GetIsPhysicalNavigation());
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  EXPECT_EQ(NameOf(*c, r.data()), "carol");
  for (int bad : {-1, 4, 31, 254}) {
    try {
      c->InternalSetIndexPos(bad);
      FAIL() << bad;
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDINDEXNAME);
    }
  }
  // A range of the old index does not carry over.
  c->SetIndexName("ByName");
  std::vector<std::uint8_t> low = Record(*c), high = Record(*c);
  testing::SetName(*c, low.data(), "b");
  testing::SetName(*c, high.data(), "bz");
  c->SetRange(false, low.data(), 1, high.data(), 1);
  EXPECT_EQ(c->GetRecordCount(), 1);
  c->InternalSetIndexPos(0);
  EXPECT_FALSE(c->GetRangeActive());
  EXPECT_EQ(c->GetRecordCount(), 3);
}

TEST_F(CursorEntryPointTest, DeleteAllBlobsEmptiesTheRecordsValuesAndCancelAllBlobsDiscardsChanges) {
  auto c = OpenPeople(directory);
  auto r = Record(*c);
  c->InitRecord(r.data());
  testing::SetName(*c, r.data(), "noted");
  testing::SetAmount(*c, r.data(), 1);
  const std::string notes(3000, 'n');
  PutMemo(*c, r.data(), notes);
  c->AppendRecord(r.data());
  const std::int32_t blocks = c->Table->GetPhysicalBlocksUsed();

  // Changes to an open value, discarded: the stored value and the record's block number stay.
  ASSERT_EQ(c->GetCurrentRecord(r.data(), true), 0);
  const std::vector<std::uint8_t> stored = r;
  PutMemo(*c, r.data(), "replacement");
  std::int64_t size = 0;
  ASSERT_EQ(c->OpenBlob(4, r.data(), TBlobBuffer::omRead, false, false, size), 0);  // opened twice
  c->CancelAllBlobs(r.data());
  EXPECT_EQ(c->OpenBlobCount(), 0u);
  EXPECT_EQ(r, stored);
  testing::SetName(*c, r.data(), "renamed");
  c->ModifyRecord(r.data());
  ASSERT_EQ(c->GetCurrentRecord(r.data()), 0);
  EXPECT_EQ(Memo(*c, r.data()), notes);
  // An emptied value is null in the record but still open; cancelling restores it as well.
  ASSERT_EQ(c->GetCurrentRecord(r.data(), true), 0);
  PutMemo(*c, r.data(), "");
  EXPECT_TRUE(c->GetField(4, r.data(), nullptr));
  c->CancelAllBlobs(r.data());
  EXPECT_EQ(r, [&] {
    auto now = Record(*c);
    c->GetCurrentRecord(now.data());
    return now;
  }());
  c->CancelRecord();
  // A handle that is no open value is an error, not a crash.
  auto forged = r;
  PutI32(forged.data(), c->GetFieldDefinition(4).Offset + 1u, -7);
  try {
    c->CancelAllBlobs(forged.data());
    FAIL() << "forged handle accepted";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDBLOBHANDLE);
  }

  // Deleting every value: posted, the memo is null and its blocks are free for the next value.
  ASSERT_EQ(c->GetCurrentRecord(r.data(), true), 0);
  c->DeleteAllBlobs(r.data());
  c->ModifyRecord(r.data());
  EXPECT_EQ(c->OpenBlobCount(), 0u);
  ASSERT_EQ(c->GetCurrentRecord(r.data()), 0);
  EXPECT_TRUE(c->GetField(4, r.data(), nullptr));
  c->InitRecord(r.data());
  testing::SetAmount(*c, r.data(), 2);
  PutMemo(*c, r.data(), notes);
  c->AppendRecord(r.data());
  EXPECT_EQ(c->Table->GetPhysicalBlocksUsed(), blocks);
  EXPECT_EQ(CheckIndexes(*c), "");
}

// A data-loss callback given to the cursor answers for the cursor's maintenance, with the
// user value the host last handed down.
TEST_F(CursorEntryPointTest, TheCursorsDataLostCallbackAnswersForItsRestructure) {
  {
    auto c = OpenPeople(directory);
    Append(*c, "kept", 1);
    Append(*c, "gone", 2);
  }
  TDataSession hosted(true);
  TDataDirectory* dir = hosted.OpenDataDirectory("test", folder.Path());
  auto* c = new TDataCursor(dir);  // the directory frees it
  c->SetTableName("people");
  c->SetExclusive(true);
  struct TSeen {
    std::vector<std::pair<TDataLossCause, std::string>> Losses;
    std::int32_t UserData = 0;
    TDataCursor* Cursor = nullptr;
  };
  static TSeen seen;
  seen = {};
  bool stop = false, go = true;
  EXPECT_FALSE(c->DoDataLost(dlUnknown, "", stop, go));
  c->DataLostCallback.Function = [](std::int32_t data, TDataCursor* cursor, TDataLossCause cause,
                                    const std::string& context, bool& stopAsking, bool& goOn) {
    seen.Losses.push_back({cause, context});
    seen.UserData = data;
    seen.Cursor = cursor;
    stopAsking = false;
    goOn = true;
    return true;
  };
  hosted.CheckCallbacks(77);
  EXPECT_EQ(c->DataLostCallback.UserData, 77);
  // Dropping the field Amount loses one value per record.
  TTableStructure s = testing::PeopleStructure();
  s.Fields.erase(s.Fields.begin() + 2);
  s.SecondaryIndexes.erase(s.SecondaryIndexes.begin() + 1);
  s.SecondaryIndexes[0].KeyFields[0] = 2;
  s.SecondaryIndexes[1].KeyFields[0] = 2;
  for (std::size_t i = 0; i < s.Fields.size(); ++i)
    s.Fields[i].FieldNumber = static_cast<std::uint16_t>(i < 2 ? i + 1 : i + 2);
  TTableMaintenance m(*c);
  EXPECT_TRUE(m.RestructureTable(s, false));
  ASSERT_EQ(seen.Losses.size(), 2u);
  EXPECT_EQ(seen.Losses[0].first, dlFieldDeletion);
  EXPECT_EQ(seen.Losses[0].second, "Amount");
  EXPECT_EQ(seen.UserData, 77);
  EXPECT_EQ(seen.Cursor, c);
  // The clone carries the callback.
  c->OpenCursor();
  auto clone = c->CloneCursor();
  EXPECT_EQ(clone->DataLostCallback.Function, c->DataLostCallback.Function);
  clone.reset();
  hosted.CloseDataDirectory(dir);  // frees c, which closes its table first
}

TEST_F(CursorEntryPointTest, AHostedDirectoryListsItsCursorsAndFreesTheOnesLeftOver) {
  // Unhosted: nothing is listed, and a cursor may outlive its directory's other users.
  auto plain = OpenPeople(directory);
  EXPECT_TRUE(directory->GetDataCursors().empty());

  TDataSession hosted(true);
  TDataDirectory* dir = hosted.OpenDataDirectory("test", folder.Path());
  auto* a = new TDataCursor(dir);
  auto* b = new TDataCursor(dir);
  auto* c = new TDataCursor(dir);
  ASSERT_EQ(dir->GetDataCursors().size(), 3u);
  for (TDataCursor* x : {a, b, c}) {
    x->SetTableName("people");
    x->OpenCursor();
  }
  Append(*a, "from a", 1);
  // A cursor freed by its owner leaves the list.
  delete b;
  EXPECT_EQ(dir->GetDataCursors(), (std::vector<TDataCursor*>{a, c}));
  EXPECT_EQ(dir->FindDataTable("people", false)->UseCount, 2);
  // A record lock of a left-over cursor goes with it when the directory frees it.
  c->SetToBegin();
  auto r = Record(*c);
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  c->UserWriteLockRecord(0);
  EXPECT_TRUE(plain->RecordIsLocked(1));
  hosted.CloseDataDirectory(dir);  // frees a and c, then the table
  EXPECT_FALSE(plain->RecordIsLocked(1));
  plain->UserWriteLockRecord(1);
  plain->UserWriteUnlockRecord(1);
  EXPECT_EQ(plain->GetRecordCount(), 1);
}

}  // namespace
}  // namespace korvel
