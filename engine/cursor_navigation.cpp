// The cursor's position: stepping both ways by index or physically, record numbers and
// counts, bookmarks and block reads.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "support/byte_order.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// Position primitives

void TDataCursor::ResetPosition() {
  ResetIndexPosition();
  PhysicalRecordNumber = 0;
}

void TDataCursor::FirstPosition() {
  if (GetIsPhysicalNavigation()) {
    PhysicalFirst();
    return;
  }
  RunWalk([this] { return GotoFirstIndexPosition(); }, false);
}

void TDataCursor::LastPosition() {
  if (GetIsPhysicalNavigation()) {
    PhysicalLast();
    return;
  }
  RunWalk([this] { return GotoLastIndexPosition(); }, false);
}

void TDataCursor::Skip(std::int32_t n) {
  if (GetIsPhysicalNavigation()) {
    PhysicalSkip(n);
    return;
  }
  RunWalk([this, n] { return SkipIndexKeys(n); });
}

void TDataCursor::PhysicalFirst() {
  std::uint32_t position = 0, counter = 0;
  if (!liveRecords_->GetNextBitsSet(position, 1, counter)) {
    ResetPosition();
    return;
  }
  PhysicalRecordNumber = static_cast<std::int32_t>(position);
  CursorPosition = 1;
  Bof = Eof = false;
}

void TDataCursor::PhysicalLast() {
  std::uint32_t position = liveRecords_->NumOfBits() + 1, counter = 0;
  if (!liveRecords_->GetPreviousBitsSet(position, 1, counter)) {
    ResetPosition();
    return;
  }
  PhysicalRecordNumber = static_cast<std::int32_t>(position);
  CursorPosition = FilteredRecordCount;
  Bof = Eof = false;
}

void TDataCursor::PhysicalSkip(std::int32_t n) {
  if (n == 0 || (Bof && Eof)) return;
  if (n > 0) {
    if (Bof) {
      PhysicalFirst();
      if (--n == 0 || (Bof && Eof)) return;
    }
    std::uint32_t position = static_cast<std::uint32_t>(PhysicalRecordNumber), counter = 0;
    if (liveRecords_->GetNextBitsSet(position, static_cast<std::uint32_t>(n), counter)) {
      PhysicalRecordNumber = static_cast<std::int32_t>(position);
      CursorPosition += n;
      Bof = false;
    } else {
      Eof = true;
    }
    return;
  }
  if (Eof) {
    PhysicalLast();
    if (++n == 0 || (Bof && Eof)) return;
  }
  std::uint32_t position = static_cast<std::uint32_t>(PhysicalRecordNumber), counter = 0;
  if (liveRecords_->GetPreviousBitsSet(position, static_cast<std::uint32_t>(-n), counter)) {
    PhysicalRecordNumber = static_cast<std::int32_t>(position);
    CursorPosition += n;
    Eof = false;
  } else {
    Bof = true;
  }
}

std::int32_t TDataCursor::GetPhysicalRecordNumber() const {
  if (Bof && Eof) return 0;
  if (GetIsPhysicalNavigation()) return PhysicalRecordNumber;
  return TBTreeCursor::GetPhysicalRecordNumber();
}

void TDataCursor::RefreshCurrentRecord(int mode) {
  const std::int32_t n = (Bof || Eof) ? 0 : GetPhysicalRecordNumber();
  if (n <= 0) {
    std::fill(currentRecord_.begin(), currentRecord_.end(), 0);
    return;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    TRecord* record = nullptr;
    changeDuringRead_ = false;
    restartable_ = attempt == 0;
    bool got = Table->GetRecord(this, n, true, true, mode != 2, record);
    restartable_ = false;
    if (got) {
      TRecordPin pin(*Table, record);
      std::memcpy(currentRecord_.data(), record->Buffer(), static_cast<std::size_t>(GetStoredRecordSize()));
      CalculateExpressionFields(currentRecord_.data());
      return;
    }
    // The read lock for the cache miss showed a change by others: the cursor refreshes itself
    // (its record may have moved or gone) and reads again.
    SynchLastUpdateStamps();
    const std::vector<std::uint8_t> bookmark = CurrentBookmark();
    RefreshRangeAndFilter();
    ReturnToBookmark(bookmark, true);
    if (Bof || Eof) {
      std::fill(currentRecord_.begin(), currentRecord_.end(), 0);
      return;
    }
  }
  RaiseCursor(KORVEL_LOCKTIMEOUT);
}

int TDataCursor::CopyCurrentRecord(std::uint8_t* dest) {
  if (Bof && Eof) {
    if (dest != nullptr) ClearRecord(dest);
    return KORVEL_NOCURRREC;
  }
  if (Bof) {
    if (dest != nullptr) ClearRecord(dest);
    return KORVEL_BOF;
  }
  if (Eof) {
    if (dest != nullptr) ClearRecord(dest);
    return KORVEL_EOF;
  }
  if (dest != nullptr) std::memcpy(dest, currentRecord_.data(), static_cast<std::size_t>(RecordSize));
  return kCursorOk;
}

// ---------------------------------------------------------------------------------------------
// Navigation

void TDataCursor::SetToBegin() {
  CheckOpen();
  TOperation operation(*this);
  FirstPosition();
  Skip(-1);
  RefreshCurrentRecord(1);
}

void TDataCursor::SetToEnd() {
  CheckOpen();
  TOperation operation(*this);
  LastPosition();
  Skip(1);
  RefreshCurrentRecord(2);
}

int TDataCursor::GetNextRecord(std::uint8_t* dest) {
  CheckOpen();
  TOperation operation(*this);
  if (Bof)
    FirstPosition();
  else
    Skip(1);
  if (Eof) {
    if (dest != nullptr) ClearRecord(dest);
    return KORVEL_EOF;
  }
  RefreshCurrentRecord(1);
  return CopyCurrentRecord(dest);
}

int TDataCursor::GetPriorRecord(std::uint8_t* dest) {
  CheckOpen();
  TOperation operation(*this);
  if (Eof)
    LastPosition();
  else
    Skip(-1);
  if (Bof) {
    if (dest != nullptr) ClearRecord(dest);
    return KORVEL_BOF;
  }
  RefreshCurrentRecord(2);
  return CopyCurrentRecord(dest);
}

int TDataCursor::GetCurrentRecord(std::uint8_t* dest, bool lockForEdit) {
  CheckOpen();
  TOperation operation(*this);
  if (lockForEdit && !Bof && !Eof) {
    const bool pessimistic = Directory->Session->LockProtocol == lpPessimistic;
    if (pessimistic) UserWriteLockRecord(0);
    RefreshCurrentRecord(1);
    if (!Table->Exclusive && dest != nullptr &&
        std::memcmp(dest, currentRecord_.data(), static_cast<std::size_t>(GetStoredRecordSize())) != 0) {
      if (pessimistic) UserWriteUnlockRecord(LockedRecord);
      RaiseCursor(KORVEL_KEYORRECDELETED);
    }
  }
  if (!Bof && !Eof) RefreshCurrentRecord(1);
  return CopyCurrentRecord(dest);
}

void TDataCursor::Refresh() {
  CheckOpen();
  TOperation operation(*this, false);
  const bool changed = Table->ReadLockTable();
  SynchLastUpdateStamps();
  (void)changed;
  RefreshAfterChange();
}

// ---------------------------------------------------------------------------------------------
// Record numbers and counts

std::int32_t TDataCursor::GetRecordCount() {
  CheckOpen();
  TOperation operation(*this);
  if (FiltersActive) return FilteredRecordCount;
  if (RangeStartPosition <= 0 || RangeEndPosition <= 0) return 0;
  return std::max(0, RangeEndPosition - RangeStartPosition + 1);
}

std::int32_t TDataCursor::GetRecordNumber() const {
  if (GetIsPhysicalNavigation()) return (Bof && Eof) ? 0 : CursorPosition;
  if (CursorPosition <= 0) return 0;
  return CursorPosition - RangeStartPosition + 1;
}

void TDataCursor::GotoLogicalRecordNumber(std::int32_t n) {
  CheckOpen();
  TOperation operation(*this);
  // Physical ordinals count visible records; indexed ones count the keys of the range, hidden
  // records included (filters).
  const std::int32_t keys =
      (RangeStartPosition <= 0 || RangeEndPosition <= 0) ? 0 : RangeEndPosition - RangeStartPosition + 1;
  const std::int32_t count = GetIsPhysicalNavigation() ? FilteredRecordCount
                                                       : ((FiltersActive && FilteredRecordCount == 0) ? 0 : keys);
  if (count <= 0) {
    ResetPosition();
    return;
  }
  if (n < 1) {
    FirstPosition();
    Skip(-1);
    return;
  }
  if (n > count) {
    LastPosition();
    Skip(1);
    return;
  }
  if (GetIsPhysicalNavigation()) {
    std::uint32_t position = 0, counter = 0;
    if (!liveRecords_->GetNextBitsSet(position, static_cast<std::uint32_t>(n), counter)) {
      ResetPosition();
      return;
    }
    PhysicalRecordNumber = static_cast<std::int32_t>(position);
    CursorPosition = n;
    Bof = Eof = false;
    return;
  }
  const std::int32_t ordinal = RangeStartPosition + n - 1;
  RunWalk([this, ordinal] { return TBTreeCursor::GotoLogicalRecordNumber(ordinal); }, false);
}

bool TDataCursor::SetToRecordNumber(std::int32_t n) {
  CheckOpen();
  TOperation operation(*this);
  GotoLogicalRecordNumber(n);
  RefreshCurrentRecord(1);
  return !Bof && !Eof && GetRecordNumber() == n;
}

void TDataCursor::GotoPhysicalRecordNumber(std::int32_t n) {
  CheckOpen();
  if (n == 0 || !GetIsPhysicalNavigation()) return;
  const std::int32_t used = Table->GetPhysicalRecordsUsed();
  n = std::clamp(n, 1, std::max(used, 1));
  Bof = Eof = false;
  std::uint32_t position = static_cast<std::uint32_t>(n - 1), counter = 0;
  if (!liveRecords_->GetNextBitsSet(position, 1, counter)) {
    position = static_cast<std::uint32_t>(n + 1);
    counter = 0;
    if (!liveRecords_->GetPreviousBitsSet(position, 1, counter)) {
      ResetPosition();
      return;
    }
  }
  PhysicalRecordNumber = static_cast<std::int32_t>(position);
  CursorPosition = static_cast<std::int32_t>(liveRecords_->GetPreviousTotalBitsSet(position)) + 1;
}

// ---------------------------------------------------------------------------------------------
// Bookmarks

int TDataCursor::GetBookmarkSize() const { return GetIsPhysicalNavigation() ? 4 : KeySize; }

void TDataCursor::GetBookmark(std::uint8_t* dest) const {
  ClearBookmark(dest);
  if (Bof && Eof) return;
  if (GetIsPhysicalNavigation()) {
    PutI32(dest, 0, PhysicalRecordNumber);
    return;
  }
  const std::uint8_t* key = GetKeyEntryPtr();
  if (key != nullptr) std::memcpy(dest, key, KeySize);
}

void TDataCursor::ClearBookmark(std::uint8_t* dest) const {
  std::memset(dest, 0, static_cast<std::size_t>(GetBookmarkSize()));
}

std::vector<std::uint8_t> TDataCursor::CurrentBookmark() const {
  std::vector<std::uint8_t> bookmark(static_cast<std::size_t>(std::max(GetBookmarkSize(), 4)));
  GetBookmark(bookmark.data());
  return bookmark;
}

void TDataCursor::ReturnToBookmark(const std::uint8_t* bookmark, bool nearest) {
  if (GetIsPhysicalNavigation()) {
    std::int32_t n = GetI32(bookmark, 0);
    if (n == 0) {
      PhysicalFirst();
      return;
    }
    GotoPhysicalRecordNumber(n);
    return;
  }
  FindIndexKey(bookmark, true, nearest);
}

bool TDataCursor::SetToBookmark(const std::uint8_t* bookmark, bool nearest, bool noChangeCheck) {
  CheckOpen();
  TOperation operation(*this, !noChangeCheck);
  if (GetIsPhysicalNavigation()) {
    GotoPhysicalRecordNumber(GetI32(bookmark, 0));
  } else {
    FindIndexKey(bookmark, true, nearest);
  }
  RefreshCurrentRecord(1);
  if (nearest) return true;
  if (Bof || Eof) return false;
  std::uint8_t now[TPage::kMaxKeySize + 4];
  GetBookmark(now);
  return std::memcmp(now, bookmark, static_cast<std::size_t>(GetBookmarkSize())) == 0;
}

int TDataCursor::CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) const {
  if (GetIsPhysicalNavigation()) {
    std::int32_t x = GetI32(a, 0), y = GetI32(b, 0);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  return CompareKeys(a, b, KeySize);
}

int TDataCursor::SetToRecordBuffer(const std::uint8_t* record, bool noChangeCheck) {
  CheckOpen();
  TOperation operation(*this, !noChangeCheck);
  const std::int32_t n = GetRecordNo(record);
  if (GetIsPhysicalNavigation()) {
    GotoPhysicalRecordNumber(n);
  } else {
    keyBuffer_.resize(KeySize);
    GetKeyValues(record, keyBuffer_.data());
    FindIndexKey(keyBuffer_.data(), true, true);
  }
  RefreshCurrentRecord(1);
  return (!Bof && !Eof && GetPhysicalRecordNumber() == n) ? kCursorOk : KORVEL_RECNOTFOUND;
}

int TDataCursor::SetToDataCursor(TDataCursor& other) {
  CheckOpen();
  if (other.Bof || other.Eof) {
    if (other.Bof && !other.Eof) SetToBegin();
    else SetToEnd();
    return KORVEL_RECNOTFOUND;
  }
  std::vector<std::uint8_t> record(other.currentRecord_.begin(), other.currentRecord_.end());
  record.resize(static_cast<std::size_t>(RecordSize), 0);
  TOperation operation(*this);
  const std::int32_t n = GetRecordNo(record.data());
  if (GetIsPhysicalNavigation()) {
    GotoPhysicalRecordNumber(n);
  } else {
    keyBuffer_.resize(KeySize);
    GetKeyValues(record.data(), keyBuffer_.data());
    if (!FindIndexKey(keyBuffer_.data(), false, false)) return KORVEL_RECNOTFOUND;
  }
  RefreshCurrentRecord(1);
  return (!Bof && !Eof && GetPhysicalRecordNumber() == n) ? kCursorOk : KORVEL_RECNOTFOUND;
}

void TDataCursor::RepositionCurrentRecord() {
  CheckOpen();
  TOperation operation(*this, false);
  const bool hadRecord = !Bof && !Eof;
  if (!hadRecord) {
    FirstPosition();
    Skip(-1);
    RefreshCurrentRecord(1);
    return;
  }
  std::vector<std::uint8_t> record = currentRecord_;
  SetToRecordBuffer(record.data(), true);
}

bool TDataCursor::VerifyBookmarkPosition() {
  CheckOpen();
  CheckLocal();
  if (Bof || Eof) return false;
  // Taken before the change check, which may already move the cursor off a record that is gone.
  std::uint8_t bookmark[TPage::kMaxKeySize + 4] = {};
  GetBookmark(bookmark);
  const std::int32_t id = GetRecordID(currentRecord_.data());
  TOperation operation(*this);
  ReturnToBookmark(bookmark, true);
  if (Eof && !Bof) LastPosition();
  RefreshCurrentRecord(1);
  if (Bof || Eof) return false;
  std::uint8_t now[TPage::kMaxKeySize + 4] = {};
  GetBookmark(now);
  // A physical bookmark is a record number, which a new record can take over: the identifier
  // tells the two apart.
  return std::memcmp(now, bookmark, static_cast<std::size_t>(GetBookmarkSize())) == 0 &&
         GetRecordID(currentRecord_.data()) == id;
}

// ---------------------------------------------------------------------------------------------
// Block reads

int TDataCursor::ReadRecordBlock(std::int32_t& count, std::uint8_t* records) {
  const std::int32_t wanted = count;
  count = 0;
  for (std::int32_t i = 0; i < wanted; ++i) {
    int status = GetNextRecord(records + static_cast<std::size_t>(i) * static_cast<std::size_t>(RecordSize));
    if (status != kCursorOk) return status;
    ++count;
  }
  return kCursorOk;
}

void TDataCursor::PopulateForward(std::int32_t from, std::int32_t& count, std::uint8_t* records,
                                  std::uint8_t* bookmarks, int& status) {
  status = kCursorOk;
  if (count < from) {
    count = from - 1;
    return;
  }
  const std::size_t bookmarkSize = static_cast<std::size_t>(GetBookmarkSize());
  for (std::int32_t slot = from; slot <= count; ++slot) {
    std::uint8_t* record = records + static_cast<std::size_t>(slot - 1) * static_cast<std::size_t>(RecordSize);
    status = GetNextRecord(record);
    if (status != kCursorOk) {
      count = slot - 1;
      return;
    }
    if (bookmarks != nullptr) GetBookmark(bookmarks + static_cast<std::size_t>(slot - 1) * bookmarkSize);
  }
}

void TDataCursor::PopulateBackward(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks,
                                   bool moveToFront, int& status) {
  status = kCursorOk;
  const std::size_t recordSize = static_cast<std::size_t>(RecordSize);
  const std::size_t bookmarkSize = static_cast<std::size_t>(GetBookmarkSize());
  std::int32_t slot = count;
  for (; slot >= 1; --slot) {
    status = GetPriorRecord(records + static_cast<std::size_t>(slot - 1) * recordSize);
    if (status != kCursorOk) break;
    if (bookmarks != nullptr) GetBookmark(bookmarks + static_cast<std::size_t>(slot - 1) * bookmarkSize);
  }
  const std::int32_t read = count - slot;
  if (slot >= 1 && moveToFront && read > 0) {
    std::memmove(records, records + static_cast<std::size_t>(slot) * recordSize, static_cast<std::size_t>(read) * recordSize);
    if (bookmarks != nullptr)
      std::memmove(bookmarks, bookmarks + static_cast<std::size_t>(slot) * bookmarkSize,
                   static_cast<std::size_t>(read) * bookmarkSize);
  }
  count = read;
}

int TDataCursor::ReadFirstRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks) {
  SetToBegin();
  int status;
  PopulateForward(1, count, records, bookmarks, status);
  return status;
}

int TDataCursor::ReadNextRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks) {
  int status;
  PopulateForward(1, count, records, bookmarks, status);
  return status;
}

int TDataCursor::ReadPriorRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks) {
  int status;
  PopulateBackward(count, records, bookmarks, false, status);
  return status;
}

int TDataCursor::ReadLastRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks) {
  SetToEnd();
  int status;
  PopulateBackward(count, records, bookmarks, true, status);
  return status;
}

int TDataCursor::ReadAbsoluteRecordBlock(std::int32_t n, std::int32_t& count, std::uint8_t* records,
                                         std::uint8_t* bookmarks) {
  const std::int32_t total = GetRecordCount();
  {
    TOperation operation(*this);
    if (n > total / 2) {
      LastPosition();
      Skip(-(total - n));
    } else {
      FirstPosition();
      Skip(n - 1);
    }
    // Populating steps forward first: hold the position one before the record wanted.
    Skip(-1);
  }
  int status;
  PopulateForward(1, count, records, bookmarks, status);
  return status;
}

int TDataCursor::ReadBookmarkRecordBlock(std::int32_t offset, const std::uint8_t* bookmark, std::uint8_t* records,
                                         std::uint8_t* bookmarks, std::int32_t& count, bool restore) {
  if (!SetToBookmark(bookmark, false)) {
    count = 0;
    return KORVEL_EOF;
  }
  {
    TOperation operation(*this, false);
    Skip(offset - 1);
    Eof = false;
  }
  int status;
  PopulateForward(1, count, records, bookmarks, status);
  if (restore) SetToBookmark(bookmark, false, true);
  return status;
}

void TDataCursor::RefreshRecordBlock(std::int32_t count, std::uint8_t* records, std::uint8_t* bookmarks) {
  if (!Directory->Session->StrictChangeDetection) Refresh();
  const std::size_t recordSize = static_cast<std::size_t>(RecordSize);
  const std::size_t bookmarkSize = static_cast<std::size_t>(GetBookmarkSize());
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint8_t* record = records + static_cast<std::size_t>(i) * recordSize;
    std::uint8_t* bookmark = bookmarks + static_cast<std::size_t>(i) * bookmarkSize;
    try {
      if (SetToBookmark(bookmark, false, true)) {
        std::memcpy(record, currentRecord_.data(), recordSize);
        PutRecordStatus(record, 0);
        GetBookmark(bookmark);
      } else {
        ClearRecord(record);
        PutRecordStatus(record, 1);
        PutRecordNo(record, KORVEL_KEYORRECDELETED);
      }
    } catch (const EKORVELEngineError& e) {
      PutRecordStatus(record, 2);
      PutRecordNo(record, e.ErrorCode);
    } catch (const std::exception&) {
      PutRecordStatus(record, 2);
      PutRecordNo(record, 11047);
    }
  }
}

std::int32_t TDataCursor::GetNumReadAheadRecords(std::int32_t count, int direction) {
  if (!IsOpen || count <= 1) return std::max<std::int32_t>(count, 1);
  const bool forward = direction != 2;
  if (GetIsPhysicalNavigation()) {
    // Consecutive live records from the current one on.
    std::int32_t n = 1;
    std::int32_t record = PhysicalRecordNumber;
    while (n < count) {
      record += forward ? 1 : -1;
      if (!liveRecords_->IsBitSet(static_cast<std::uint32_t>(record))) break;
      ++n;
    }
    return n;
  }
  if (KeySlot < 1 || KeySlot > CurrentPage.KeyEntryCount) return 1;
  std::int32_t last = 0;
  return std::max(1, CurrentPage.CountSequentialRecords(count, forward, KeySlot, last));
}

std::int32_t TDataCursor::GetNumReadAheadBlocks(std::int64_t size) const {
  if (Table == nullptr || !Table->HasBlobFile()) return 1;
  const std::int64_t block = static_cast<std::int64_t>(Table->BlobFile->GetBlockBufferSize());
  return static_cast<std::int32_t>(std::max<std::int64_t>(1, (size + block - 1) / block));
}

}  // namespace korvel
