// Record editing: appending, modifying and deleting records with every index, the record
// index, the record count and the BLOBs kept in step, and the undo of a half-done edit.
//
// An edit runs in three phases inside the table's write lock:
//   1. checks (read-only, validity, record locks, key violations): nothing changes yet;
//   2. changes in the caches, each step recording its inverse in an undo journal;
//   3. the flush, which writes everything and advances the stamps.
// A failure in phase 2 (an index page that cannot be had, a BLOB write, an I/O error) runs the
// journal backwards, so the table is as it was before the edit; then the error passes on.

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/cursor_internal.h"
#include "support/byte_order.h"

namespace korvel {

void TDataCursor::AfterEditStep(TEditStep) {}

void TDataCursor::RunEdit(const std::function<void(TUndoJournal&)>& steps) {
  TUndoJournal journal;
  try {
    steps(journal);
  } catch (...) {
    if (!journal.Undo() && !Table->Exclusive && !Table->TransactionInProgress) {
      // An inverse step failed as well. Nothing of this edit reached the files (a shared table
      // outside a transaction flushes at the end of each edit only), so the caches are dropped
      // and the headers read again: the table is what the files say.
      try {
        Table->FreeBuffers(true, true);
      } catch (...) {
      }
    }
    SynchLastUpdateStamps();
    editTreeSlot_ = -1;
    throw;
  }
}

void TDataCursor::FlushEdit(bool index, bool blob) {
  if (Table->Exclusive)
    Table->UpdateHeaderStamps(true, index, blob);
  else
    Table->FlushBuffers(true, true, false, blob, index);
  SynchLastUpdateStamps();
}

std::int32_t TDataCursor::GetLastRecordID() const {
  if (IsOpen) return Table->GetLastRecordID();
  return 0;
}

void TDataCursor::SetSuppressAutoIncValues(bool value) {
  if (!HasAutoInc) return;
  SuppressAutoIncValues = value;
}

// Raises KORVEL_KEYVIOL for the first index where the record's key exists (only indexes whose
// key differs from the old record's, when there is one).
void TDataCursor::CheckKeyViolations(const std::uint8_t* record, const std::uint8_t* oldRecord) {
  for (int slot : EditedIndexSlots()) {
    const TIndexDefinition& definition = Table->IndexFile->IndexDefinition(slot);
    keyBuffer_.assign(definition.KeySize, 0);
    BuildKey(slot, record, keyBuffer_.data());
    if (oldRecord != nullptr) {
      oldKeyBuffer_.assign(definition.KeySize, 0);
      BuildKey(slot, oldRecord, oldKeyBuffer_.data());
      if (std::memcmp(keyBuffer_.data(), oldKeyBuffer_.data(), definition.KeySize) == 0) continue;
    }
    if (EditTree(slot).CheckForKeyViolation(keyBuffer_.data()))
      RaiseCursor(KORVEL_KEYVIOL, "", definition.IndexName);
  }
  if (SuppressAutoIncValues && HasAutoInc) {
    const std::int32_t id = GetRecordID(record);
    if (oldRecord == nullptr || GetRecordID(oldRecord) != id) {
      std::uint8_t key[kSysDeletedKeySize];
      BuildDeletedKey(0, id, key);
      if (EditTree(kSysDeletedSlot).SearchIndexKeys(key)) RaiseCursor(KORVEL_KEYVIOL, "", kSysDeletedIndexName);
    }
  }
}

namespace {

std::vector<std::uint8_t> KeyOf(const std::uint8_t* key, std::size_t size) { return {key, key + size}; }

}  // namespace

// The common end of an append and a modify once the record is posted: the caller's record
// takes the posted image (block numbers in place of BLOB handles), and so does the cursor's
// record when it stands on it; the edit's open BLOB values go; the visible set and, when asked,
// the position follow the record.
void TDataCursor::AdoptPostedRecord(std::uint8_t* record, const std::vector<std::uint8_t>& stored, std::int32_t n,
                                    bool standsOnIt, bool reposition) {
  std::memcpy(record, stored.data(), stored.size());
  CalculateExpressionFields(record);
  if (standsOnIt || reposition) {
    std::memcpy(currentRecord_.data(), stored.data(), stored.size());
    CalculateExpressionFields(currentRecord_.data());
  }
  FreeAllBlobs(false);
  RefreshRangeAndFilterUpdate(n);
  if (reposition) SetToRecordBuffer(stored.data(), true);
}

// ---------------------------------------------------------------------------------------------
// Appending

void TDataCursor::AppendRecord(std::uint8_t* record, bool reposition) {
  CheckOpen();
  CheckLocal();
  CheckNotReadOnly();
  CheckRecordValidity(record);
  TWriteLock lock(*this, true);
  const std::int32_t n = Table->GetNextFreeRecordNumber();
  Table->UserWriteLockRecord(n);
  struct TUnlock {
    TDataTable& table;
    std::int32_t n;
    ~TUnlock() {
      try {
        table.UserWriteUnlockRecord(n);
      } catch (...) {
      }
    }
  } unlock{*Table, n};

  const bool supplied = SuppressAutoIncValues && HasAutoInc;
  const std::int32_t id = supplied ? GetRecordID(record) : Table->GetLastRecordID() + 1;
  if (supplied && id <= 0) RaiseCursor(KORVEL_FLDLIMIT);
  PutRecordID(id, record);
  record[kRecordDeletedOffset] = 0;
  CheckKeyViolations(record, nullptr);
  AfterEditStep(TEditStep::KeysChecked);

  bool blobWritten = false;
  std::vector<std::uint8_t> stored(static_cast<std::size_t>(GetStoredRecordSize()));
  RunEdit([&](TUndoJournal& journal) {
    for (int slot : EditedIndexSlots()) {
      const std::size_t size = Table->IndexFile->IndexDefinition(slot).KeySize;
      keyBuffer_.assign(size, 0);
      BuildKey(slot, record, keyBuffer_.data());
      EditTree(slot).AddIndexKey(keyBuffer_.data(), n);
      journal.Add([this, slot, key = KeyOf(keyBuffer_.data(), size)] { EditTree(slot).RemoveIndexKey(key.data()); });
      AfterEditStep(TEditStep::IndexKeyChanged);
    }

    {  // the record stays pinned until the flush, which writes only unpinned records
    // The record and its key in the record index.
    const bool fresh = n == Table->DataFile->Header().NextRecordNumber;
    const std::int32_t firstFree = Table->DataFile->Header().FirstFreeRecord;
    TRecord* r = nullptr;
    if (!Table->GetNextFreeRecord(this, r)) RaiseCursor(KORVEL_LOCKTIMEOUT);
    TRecordPin pin(*Table, r);
    std::uint8_t liveKey[kSysDeletedKeySize];
    BuildDeletedKey(0, id, liveKey);
    if (fresh) {
      EditTree(kSysDeletedSlot).AddIndexKey(liveKey, n);
      // Undone, the new record stays behind as a free record with its deleted key.
      journal.Add([this, n, id] {
        std::uint8_t live[kSysDeletedKeySize], gone[kSysDeletedKeySize];
        BuildDeletedKey(0, id, live);
        BuildDeletedKey(1, id, gone);
        EditTree(kSysDeletedSlot).RemoveIndexKey(live);
        TRecord* back = nullptr;
        if (!Table->GetRecord(this, n, false, false, true, back)) RaiseCursor(KORVEL_LOCKTIMEOUT);
        TRecordPin again(*Table, back);
        back->SetRecordID(id);
        Table->SetNextFreeRecord(back);
        EditTree(kSysDeletedSlot).AddIndexKey(gone, n);
      });
    } else {
      std::vector<std::uint8_t> image(r->Buffer(), r->Buffer() + stored.size());
      std::uint8_t freeKey[kSysDeletedKeySize];
      BuildDeletedKey(r->Buffer()[kRecordDeletedOffset], r->GetRecordID(), freeKey);
      EditTree(kSysDeletedSlot).UpdateIndexKey(freeKey, liveKey, n);
      journal.Add([this, n, firstFree, image, old = KeyOf(freeKey, kSysDeletedKeySize),
                   now = KeyOf(liveKey, kSysDeletedKeySize)] {
        EditTree(kSysDeletedSlot).UpdateIndexKey(now.data(), old.data(), n);
        TRecord* back = nullptr;
        if (!Table->GetRecord(this, n, false, false, true, back)) RaiseCursor(KORVEL_LOCKTIMEOUT);
        TRecordPin again(*Table, back);
        std::memcpy(back->Buffer(), image.data(), image.size());
        back->Modified = true;
        Table->DataFile->SetNextFreeRecordNumber(firstFree);
      });
    }
    AfterEditStep(TEditStep::IndexKeyChanged);

    // The stored record.
    if (supplied) {
      if (id > Table->GetLastRecordID()) Table->SetNextFreeRecordID(id);
    } else {
      Table->SetNextFreeRecordID(id);
    }
    r->SetIsDeleted(false);
    r->CopyRecordBuffer(record);
    r->SetRecordID(id);
    r->SetRecordNumber(n);
    Table->IncActualRecordCount();
    journal.Add([this] { Table->DecActualRecordCount(); });
    AfterEditStep(TEditStep::RecordChanged);
    AddTextIndexes(r->Buffer(), n);
    journal.Add([this, n, changes = TakeTextIndexChanges()] { UndoTextIndexChanges(changes, n); });

    if (Table->GetBlobFieldCount() > 0) {
      WriteBlobsOfEdit(r->Buffer(), n, journal, blobWritten);
      AfterEditStep(TEditStep::BlobsWritten);
    }
    std::memcpy(stored.data(), r->Buffer(), stored.size());
    }
    AfterEditStep(TEditStep::BeforeFlush);
    FlushEdit(true, blobWritten);
  });
  AdoptPostedRecord(record, stored, n, false, reposition);
  lock.Release();
}

// ---------------------------------------------------------------------------------------------
// Modifying

void TDataCursor::ModifyRecord(std::uint8_t* record, bool unlockAfter, bool reposition) {
  CheckOpen();
  CheckLocal();
  CheckNotReadOnly();
  CheckRecordValidity(record);
  const bool optimistic = Directory->Session->LockProtocol == lpOptimistic;
  const std::vector<std::uint8_t> before = currentRecord_;
  const bool hadCurrent = !Bof && !Eof;
  TWriteLock lock(*this, true);
  // A record the caller read that another session deleted since leaves the cursor without a
  // current record once the lock has seen the change: the record is gone, not never there.
  if (Bof || Eof) RaiseCursor(hadCurrent ? KORVEL_KEYORRECDELETED : KORVEL_NOCURRREC);
  const std::int32_t n = GetPhysicalRecordNumber();
  if (GetRecordNo(record) != n) RaiseCursor(KORVEL_KEYORRECDELETED);
  // The record lock held for this call only (optimistic, or a pessimistic edit that did not
  // lock the record when it began).
  bool lockedHere = false;
  struct TUnlock {
    TDataCursor& cursor;
    std::int32_t n;
    bool& locked;
    ~TUnlock() {
      if (!locked) return;
      try {
        cursor.UserWriteUnlockRecord(n);
      } catch (...) {
      }
    }
  } unlock{*this, n, lockedHere};
  // Optimistic edits, and pessimistic ones that did not lock the record when they began, must
  // find the record as the caller read it.
  if ((optimistic || LockedRecord != n) && !Table->Exclusive) {
    // The stored part decides: calculated values may change with nothing stored changing.
    if ((optimistic && EditConflict) ||
        std::memcmp(before.data(), currentRecord_.data(), static_cast<std::size_t>(GetStoredRecordSize())) != 0) {
      if (optimistic) EditConflict = true;
      RaiseCursor(KORVEL_KEYORRECDELETED);
    }
  }
  if (LockedRecord != n && !Table->Exclusive) {
    UserWriteLockRecord(n);
    lockedHere = true;
  }

  std::vector<std::uint8_t> old = currentRecord_;
  if (SuppressAutoIncValues && HasAutoInc) {
    if (GetRecordID(record) <= 0) RaiseCursor(KORVEL_FLDLIMIT);
  } else {
    PutRecordID(GetRecordID(old.data()), record);
  }
  record[kRecordDeletedOffset] = 0;
  CheckKeyViolations(record, old.data());
  AfterEditStep(TEditStep::KeysChecked);

  bool indexChanged = false;
  bool blobWritten = false;
  std::vector<std::uint8_t> stored(static_cast<std::size_t>(GetStoredRecordSize()));
  RunEdit([&](TUndoJournal& journal) {
    for (int slot : EditedIndexSlots()) {
      const std::size_t size = Table->IndexFile->IndexDefinition(slot).KeySize;
      keyBuffer_.assign(size, 0);
      oldKeyBuffer_.assign(size, 0);
      BuildKey(slot, record, keyBuffer_.data());
      BuildKey(slot, old.data(), oldKeyBuffer_.data());
      if (std::memcmp(keyBuffer_.data(), oldKeyBuffer_.data(), size) == 0) continue;
      indexChanged = true;
      std::vector<std::uint8_t> oldKey = KeyOf(oldKeyBuffer_.data(), size);
      std::vector<std::uint8_t> newKey = KeyOf(keyBuffer_.data(), size);
      EditTree(slot).RemoveIndexKey(oldKey.data());
      journal.Add([this, slot, oldKey, n] { EditTree(slot).AddIndexKey(oldKey.data(), n); });
      AfterEditStep(TEditStep::IndexKeyChanged);
      EditTree(slot).AddIndexKey(newKey.data(), n);
      journal.Add([this, slot, newKey] { EditTree(slot).RemoveIndexKey(newKey.data()); });
      AfterEditStep(TEditStep::IndexKeyChanged);
    }
    const std::int32_t oldId = GetRecordID(old.data());
    const std::int32_t newId = GetRecordID(record);
    if (oldId != newId) {
      if (newId > Table->GetLastRecordID()) Table->SetNextFreeRecordID(newId);
      std::uint8_t from[kSysDeletedKeySize], to[kSysDeletedKeySize];
      BuildDeletedKey(0, oldId, from);
      BuildDeletedKey(0, newId, to);
      EditTree(kSysDeletedSlot).UpdateIndexKey(from, to, n);
      journal.Add([this, n, a = KeyOf(from, sizeof from), b = KeyOf(to, sizeof to)] {
        EditTree(kSysDeletedSlot).UpdateIndexKey(b.data(), a.data(), n);
      });
      indexChanged = true;
      AfterEditStep(TEditStep::IndexKeyChanged);
    }
    if (ModifyTextIndexes(old.data(), record, n)) indexChanged = true;
    journal.Add([this, n, changes = TakeTextIndexChanges()] { UndoTextIndexChanges(changes, n); });

    {  // pinned until the flush, which writes only unpinned records
    TRecord* r = nullptr;
    if (!Table->GetRecord(this, n, false, false, true, r)) RaiseCursor(KORVEL_LOCKTIMEOUT);
    TRecordPin pin(*Table, r);
    std::vector<std::uint8_t> image(r->Buffer(), r->Buffer() + stored.size());
    r->CopyRecordBuffer(record);
    r->SetRecordID(newId);
    journal.Add([this, n, image] {
      TRecord* back = nullptr;
      if (!Table->GetRecord(this, n, false, false, true, back)) RaiseCursor(KORVEL_LOCKTIMEOUT);
      TRecordPin again(*Table, back);
      std::memcpy(back->Buffer(), image.data(), image.size());
      back->Modified = true;
    });
    AfterEditStep(TEditStep::RecordChanged);
    if (Table->GetBlobFieldCount() > 0) {
      WriteBlobsOfEdit(r->Buffer(), n, journal, blobWritten);
      AfterEditStep(TEditStep::BlobsWritten);
    }
    std::memcpy(stored.data(), r->Buffer(), stored.size());
    }
    AfterEditStep(TEditStep::BeforeFlush);
    FlushEdit(indexChanged, blobWritten);
  });
  AdoptPostedRecord(record, stored, n, true, reposition);
  if (unlockAfter && !optimistic && LockedRecord == n && !lockedHere) UserWriteUnlockRecord(n);
  lock.Release();
}

// ---------------------------------------------------------------------------------------------
// Deleting

void TDataCursor::DeleteRecord(const std::uint8_t* record, bool reposition) {
  CheckOpen();
  CheckLocal();
  CheckNotReadOnly();
  const bool hadCurrent = !Bof && !Eof;
  const std::int32_t expected = hadCurrent ? GetPhysicalRecordNumber() : 0;
  TWriteLock lock(*this, true);
  if (Bof || Eof) RaiseCursor(hadCurrent ? KORVEL_KEYORRECDELETED : KORVEL_NOCURRREC);
  const std::int32_t n = GetPhysicalRecordNumber();
  // Without the caller's copy, the record the cursor stood on when the call began is the one to
  // delete: a change by others found by the lock may have moved the cursor to a neighbour.
  if (record == nullptr && n != expected)
    RaiseCursor(KORVEL_KEYORRECDELETED);
  bool lockedHere = false;
  if (Table->CheckForCursorRecordWriteLock(n)) {
    if (LockedRecord != n) RaiseCursor(KORVEL_RECLOCKFAILED);
    FreeAllBlobs(true);
  } else {
    if (!Table->Exclusive && record != nullptr &&
        std::memcmp(record, currentRecord_.data(), static_cast<std::size_t>(GetStoredRecordSize())) != 0)
      RaiseCursor(KORVEL_KEYORRECDELETED);
    UserWriteLockRecord(n);
    lockedHere = true;
  }
  struct TUnlock {
    TDataCursor& cursor;
    std::int32_t n;
    ~TUnlock() {
      if (cursor.LockedRecord != n) return;
      try {
        cursor.UserWriteUnlockRecord(n);
      } catch (...) {
      }
    }
  } unlock{*this, n};
  (void)lockedHere;
  AfterEditStep(TEditStep::KeysChecked);

  const std::vector<std::uint8_t> old = currentRecord_;
  std::vector<std::uint8_t> bookmarkKey;
  if (!GetIsPhysicalNavigation()) bookmarkKey = CurrentBookmark();
  bool blobWritten = false;
  RunEdit([&](TUndoJournal& journal) {
    for (int slot : EditedIndexSlots()) {
      const std::size_t size = Table->IndexFile->IndexDefinition(slot).KeySize;
      keyBuffer_.assign(size, 0);
      BuildKey(slot, old.data(), keyBuffer_.data());
      EditTree(slot).RemoveIndexKey(keyBuffer_.data());
      journal.Add([this, slot, key = KeyOf(keyBuffer_.data(), size), n] { EditTree(slot).AddIndexKey(key.data(), n); });
      AfterEditStep(TEditStep::IndexKeyChanged);
    }
    const std::int32_t id = GetRecordID(old.data());
    std::uint8_t live[kSysDeletedKeySize], gone[kSysDeletedKeySize];
    BuildDeletedKey(0, id, live);
    BuildDeletedKey(1, id, gone);
    EditTree(kSysDeletedSlot).UpdateIndexKey(live, gone, n);
    journal.Add([this, n, a = KeyOf(live, sizeof live), b = KeyOf(gone, sizeof gone)] {
      EditTree(kSysDeletedSlot).UpdateIndexKey(b.data(), a.data(), n);
    });
    AfterEditStep(TEditStep::IndexKeyChanged);
    Table->DecActualRecordCount();
    journal.Add([this] { Table->IncActualRecordCount(); });
    RemoveTextIndexes(old.data(), n);
    journal.Add([this, n, changes = TakeTextIndexChanges()] { UndoTextIndexChanges(changes, n); });

    std::vector<std::uint8_t> image;
    {  // pinned until the flush, which writes only unpinned records
    TRecord* r = nullptr;
    if (!Table->GetRecord(this, n, false, false, true, r)) RaiseCursor(KORVEL_LOCKTIMEOUT);
    TRecordPin pin(*Table, r);
    image.assign(r->Buffer(), r->Buffer() + GetStoredRecordSize());
    const std::int32_t firstFree = Table->DataFile->Header().FirstFreeRecord;
    // A free record points at no BLOB: its chains are freed below (from the image).
    for (std::int32_t f = 1; f <= Table->GetFieldCount(); ++f) {
      const TFieldDefinition& field = Table->GetFieldDefinitionByPos(f);
      if (field.DataType == dtBlob) std::memset(r->Buffer() + field.Offset, 0, 9);
    }
    Table->SetNextFreeRecord(r);
    journal.Add([this, n, image, firstFree] {
      TRecord* back = nullptr;
      if (!Table->GetRecord(this, n, false, false, true, back)) RaiseCursor(KORVEL_LOCKTIMEOUT);
      TRecordPin again(*Table, back);
      std::memcpy(back->Buffer(), image.data(), image.size());
      back->Modified = true;
      Table->DataFile->SetNextFreeRecordNumber(firstFree);
    });
    AfterEditStep(TEditStep::RecordChanged);
    }
    // The BLOB chains go last: freed blocks cannot be taken back.
    if (Table->HasBlobFile()) {
      for (std::int32_t f = 1; f <= Table->GetFieldCount(); ++f) {
        const TFieldDefinition& field = Table->GetFieldDefinitionByPos(f);
        if (field.DataType != dtBlob) continue;
        std::int32_t first = GetI32(image.data(), field.Offset + 1u);
        if (first <= 0) continue;
        Table->BlobFile->FreeBlobBlocks(this, first, false, n, GetI32(image.data(), field.Offset + 5u));
        blobWritten = true;
      }
      AfterEditStep(TEditStep::BlobsWritten);
    }
    AfterEditStep(TEditStep::BeforeFlush);
    FlushEdit(true, blobWritten);
  });
  RefreshRangeAndFilterDelete(n);
  if (reposition) {
    if (GetIsPhysicalNavigation()) {
      GotoPhysicalRecordNumber(n);
    } else {
      FindIndexKey(bookmarkKey.data(), true, false);
      if (Eof && !Bof) {
        LastPosition();
      }
    }
    RefreshCurrentRecord(1);
  }
  lock.Release();
}

void TDataCursor::CancelRecord() {
  CheckOpen();
  if (Directory->Session->LockProtocol == lpPessimistic) {
    if (LockedRecord != 0) UserWriteUnlockRecord(LockedRecord);
  } else {
    EditConflict = false;
  }
  FreeAllBlobs(false);
}

// ---------------------------------------------------------------------------------------------
// Copies and batch edits

int TDataCursor::CloneCurrentRecord(std::uint8_t* dest) {
  CheckOpen();
  if (Bof && Eof) return KORVEL_NOCURRREC;
  {
    TOperation operation(*this);
    RefreshCurrentRecord(1);
  }
  std::vector<std::uint8_t> source = currentRecord_;
  ClearRecord(dest);
  std::uint8_t value[256];
  for (std::int32_t f = 1; f <= GetFieldCount(); ++f) {
    const TFieldDefinition& field = fields_[static_cast<std::size_t>(f - 1)];
    if (field.IsAutoInc()) continue;
    bool blank = true;
    InternalGetField(field, source.data(), blank, value);
    if (blank) continue;
    if (field.DataType != dtBlob) {
      InternalPutField(field, dest, false, true, value);
      continue;
    }
    std::vector<std::uint8_t> content;
    int code = ReadWholeBlob(f, source.data(), false, [&](std::size_t n) {
      content.resize(n);
      return content.data();
    });
    if (code != 0) RaiseCursor(static_cast<TErrorCode>(code), field.FieldName);
    std::int64_t newSize = 0;
    std::memset(dest + field.Offset, 0, 9);
    code = OpenBlob(f, dest, TBlobBuffer::omReadWrite, false, true, newSize);
    if (code != 0) RaiseCursor(static_cast<TErrorCode>(code), field.FieldName);
    if (!content.empty()) PutBlob(f, dest, false, static_cast<std::int64_t>(content.size()), content.data(), 0);
  }
  if (SuppressAutoIncValues && HasAutoInc) PutRecordID(GetRecordID(source.data()), dest);
  return kCursorOk;
}

// Field values of a batch edit, for each field of the list in order: a BLOB field as 9 bytes (a
// flag, the 32-bit length and the 32-bit offset of the content from the start of the block,
// since a 32-bit address cannot point into a 64-bit process), any other as a null-flag byte
// (non-zero = value) and its PhysicalSize value bytes.
void TDataCursor::ApplyFieldValues(const std::uint8_t* fieldValues, std::uint8_t* record) {
  std::size_t at = 0;
  for (std::int32_t f = 1; f <= GetFieldCount(); ++f) {
    const TFieldDefinition& field = fields_[static_cast<std::size_t>(f - 1)];
    if (field.DataType == dtBlob) {
      const bool given = fieldValues[at] != 0;
      const std::int32_t length = GetI32(fieldValues, at + 1);
      const std::uint32_t offset = GetU32(fieldValues, at + 5);
      at += 9;
      if (!given) continue;
      std::int64_t size = 0;
      int code = OpenBlob(f, record, TBlobBuffer::omReadWrite, false, true, size);
      if (code != 0) RaiseCursor(static_cast<TErrorCode>(code), field.FieldName);
      TruncateBlob(f, record, false, 0);
      if (length > 0) PutBlob(f, record, false, length, fieldValues + offset, 0);
      continue;
    }
    const bool hasValue = fieldValues[at] != 0;
    InternalPutField(field, record, false, false, hasValue ? fieldValues + at + 1 : nullptr);
    at += 1u + field.PhysicalSize;
  }
}

void TDataCursor::AddRecordBlock(std::int32_t& count, const std::uint8_t* fieldValues, std::uint8_t* bookmark,
                                 std::uint8_t* record) {
  count = 0;
  try {
    InitRecord(record);
    ApplyFieldValues(fieldValues, record);
    AppendRecord(record, true);
    PutRecordStatus(record, 0);
    GetBookmark(bookmark);
    count = 1;
  } catch (const EKORVELEngineError& e) {
    CancelRecord();
    PutRecordStatus(record, 2);
    PutRecordNo(record, e.ErrorCode);
  } catch (const std::exception&) {
    CancelRecord();
    PutRecordStatus(record, 2);
    PutRecordNo(record, 11047);
  }
}

void TDataCursor::UpdateRecordBlock(std::int32_t& count, const std::uint8_t* fieldValues, const std::uint8_t* bookmark,
                                    std::uint8_t* record) {
  count = 0;
  if (!SetToBookmark(bookmark, false, true)) {
    ClearRecord(record);
    PutRecordStatus(record, 1);
    PutRecordNo(record, KORVEL_KEYORRECDELETED);
    return;
  }
  try {
    std::memcpy(record, currentRecord_.data(), static_cast<std::size_t>(RecordSize));
    GetCurrentRecord(record, true);
    ApplyFieldValues(fieldValues, record);
    ModifyRecord(record, true, true);
    PutRecordStatus(record, 0);
    count = 1;
  } catch (const EKORVELEngineError& e) {
    CancelRecord();
    PutRecordStatus(record, 2);
    PutRecordNo(record, e.ErrorCode);
  } catch (const std::exception&) {
    CancelRecord();
    PutRecordStatus(record, 2);
    PutRecordNo(record, 11047);
  }
}

void TDataCursor::DeleteRecordBlock(std::int32_t n, std::int32_t& deleted, const std::uint8_t* bookmarks,
                                    std::uint8_t* records) {
  deleted = 0;
  const std::size_t bookmarkSize = static_cast<std::size_t>(GetBookmarkSize());
  for (std::int32_t i = 0; i < n; ++i) {
    std::uint8_t* record = records + static_cast<std::size_t>(i) * static_cast<std::size_t>(RecordSize);
    if (!SetToBookmark(bookmarks + static_cast<std::size_t>(i) * bookmarkSize, false, true)) {
      ClearRecord(record);
      PutRecordStatus(record, 1);
      PutRecordNo(record, KORVEL_KEYORRECDELETED);
      continue;
    }
    try {
      DeleteRecord(nullptr, true);
      PutRecordStatus(record, 1);
      ++deleted;
    } catch (const EKORVELEngineError& e) {
      PutRecordStatus(record, 2);
      PutRecordNo(record, e.ErrorCode);
    } catch (const std::exception&) {
      PutRecordStatus(record, 2);
      PutRecordNo(record, 11047);
    }
  }
}

}  // namespace korvel
