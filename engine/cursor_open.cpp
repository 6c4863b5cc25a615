// The cursor's life: opening and closing through the data directory, cloning, index
// selection, change detection and the lock wrappers that keep the position across changes.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "support/byte_order.h"
#include "support/key_encoding.h"

namespace korvel {

TDataCursor::TDataCursor(TDataDirectory* directory, bool /*noRequest*/)
    : Directory(directory), liveRecords_(GetNewRecordsBitmapInstance()) {
  LockCursor = this;
  editTree_.LockCursor = this;
  listed_ = Directory->AddDataCursor(this);
}

TDataCursor::~TDataCursor() {
  try {
    CloseCursor(false);
  } catch (...) {
    // A destructor cannot report; the directory frees the table with its last user anyway.
  }
  // Only a listed cursor touches its directory here: an unlisted one may outlive it.
  if (listed_) Directory->RemoveDataCursor(this);
  ReturnRecordsBitmapInstance(std::move(liveRecords_));
}

bool TDataCursor::DoDataLost(TDataLossCause cause, const std::string& context, bool& stopAsking, bool& continueWork) {
  if (!DataLostCallback.IsSet()) return false;
  DataLostCallback.Function(DataLostCallback.UserData, this, cause, context, stopAsking, continueWork);
  return true;
}

void TDataCursor::CheckCallbacks(std::int32_t data) {
  if (DataLostCallback.IsSet()) DataLostCallback.UserData = data;
}

void TDataCursor::RaiseCursor(TErrorCode code, const std::string& field, const std::string& index) const {
  RaiseError(code, "", "", Directory->GetProperDataDirectoryName(), TableName, field, index);
}

void TDataCursor::CheckOpen() const {
  if (!IsOpen) RaiseCursor(KORVEL_NOCURRREC);
}

void TDataCursor::CheckNotOpen() const {
  if (IsOpen) RaiseCursor(KORVEL_TABLEOPEN);
}

void TDataCursor::CheckNotReadOnly() const {
  if (ReadOnly) RaiseCursor(KORVEL_OSEACCES);
}

void TDataCursor::CheckLocal() const {
  // The client side of the server protocol is not part of this engine yet.
  if (Directory->Session->IsRemote) RaiseCursor(KORVEL_REMOTECONNECT);
}

void TDataCursor::SetTableName(const std::string& name) {
  CheckNotOpen();
  TableName = Trim(name);
}
void TDataCursor::SetExclusive(bool value) {
  CheckNotOpen();
  Exclusive = value;
}
void TDataCursor::SetOverrideExclusive(bool value) {
  CheckNotOpen();
  OverrideExclusive = value;
}
void TDataCursor::SetReadOnly(bool value) {
  CheckNotOpen();
  ReadOnly = value;
}
void TDataCursor::SetInMemory(bool value) {
  CheckNotOpen();
  InMemory = value;
}
void TDataCursor::SetIsResultSet(bool value) {
  CheckNotOpen();
  IsResultSet = value;
}
void TDataCursor::SetIsSourceTable(bool value) {
  CheckNotOpen();
  IsSourceTable = value;
}
void TDataCursor::SetIsTemporary(bool value) {
  CheckNotOpen();
  IsTemporary = value;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void TDataCursor::OpenCursor(bool /*noRequest*/) {
  if (IsOpen) return;
  CheckLocal();
  TDataTable* table = nullptr;
  int result = Directory->OpenDataTable(TableName, table, true, Exclusive, OverrideExclusive, InMemory, IsTemporary,
                                        IsResultSet, IsSourceTable);
  if (result < 0) RaiseCursor(static_cast<TErrorCode>(-result));
  Table = table;
  IsOpen = true;
  const bool requestedReadOnly = ReadOnly;
  try {
    if (Table->ReadOnly) ReadOnly = true;
    NoLocking = Table->ReadOnlyAttribute;
    if (NoLocking) ReadOnly = true;
    CheckHeadersOfFirstOpener();
    CheckPassword();
    RecordSize = Table->GetRecordSize();
    SynchLastUpdateStamps();
    BuildFieldList();
    currentRecord_.assign(static_cast<std::size_t>(RecordSize), 0);
    editTreeSlot_ = -1;
    FiltersActive = false;
    FilteredRecordCount = 0;
    if (Repairing) return;
    if (Table->IndexMissing) RebuildIndexes();
    TOperation operation(*this, false);
    SelectIndex(IsSourceTable ? kNoIndexPos : 0);
    SetToBegin();
  } catch (...) {
    try {
      CloseCursor(true);
    } catch (...) {
    }
    ReadOnly = requestedReadOnly;
    throw;
  }
}

void TDataCursor::CheckHeadersOfFirstOpener() {
  if (Repairing || Upgrading) {
    Table->CheckHeaderVersions();
    return;
  }
  if (Table->UseCount != 1 || Table->TransactionInProgress) return;
  const bool held = Table->IsReadLocked();
  Table->ReadLockTable();
  try {
    Table->CheckHeaders();
  } catch (...) {
    if (!held) Table->ReadUnlockTable();
    throw;
  }
  if (!held) Table->ReadUnlockTable();
}

void TDataCursor::CheckPassword() {
  if (!Table->GetEncrypted()) return;
  TDataSession& session = *Directory->Session;
  for (;;) {
    if (session.CheckForPassword(Table->GetPassword())) return;
    std::string password;
    if (!PasswordCallback || !PasswordCallback(TableName, password) || password.empty())
      RaiseCursor(KORVEL_NOTSUFFTABLERIGHTS);
    session.AddPassword(password);
  }
}

void TDataCursor::CloseCursor(bool freeTemporary) {
  if (!IsOpen) return;
  blobs_.clear();
  filters_.reset();  // every filter goes with the cursor's close
  liveRecords_->SetNumOfBits(0);
  currentRecord_.clear();
  fields_.clear();
  expressions_.clear();
  keyFields_.clear();
  ResetIndexPosition();
  PhysicalRecordNumber = 0;
  FiltersActive = false;
  FilteredRecordCount = 0;
  RangeActive = false;
  EditConflict = false;
  TDataTable* table = Table;
  // Record locks this cursor still holds go with it, so that other sessions are not kept out
  // until the table's last user closes.
  if (LockedRecord != 0 && table->CheckForCursorRecordWriteLock(LockedRecord)) {
    try {
      UserWriteUnlockRecord(LockedRecord);
    } catch (...) {
    }
  }
  LockedRecord = 0;
  Table = nullptr;
  IsOpen = false;
  IndexFile = nullptr;
  VisibleRecords = nullptr;
  int result = Directory->CloseDataTable(table, freeTemporary, IsResultSet, IsSourceTable);
  if (result < 0) RaiseCursor(static_cast<TErrorCode>(-result));
}

std::unique_ptr<TDataCursor> TDataCursor::CloneCursor() {
  CheckOpen();
  auto clone = std::make_unique<TDataCursor>(Directory);
  clone->TableName = TableName;
  clone->Exclusive = Exclusive;
  clone->OverrideExclusive = Exclusive;
  clone->ReadOnly = ReadOnly;
  clone->InMemory = InMemory;
  clone->IsResultSet = IsResultSet;
  clone->IsSourceTable = IsSourceTable;
  clone->PasswordCallback = PasswordCallback;
  clone->DataLostCallback = DataLostCallback;
  clone->OpenCursor();
  if (HasExpressionFields) clone->SetFieldMapping(fields_);
  clone->SetIndexPos(IndexPos);
  if (RangeActive && !GetIsPhysicalNavigation()) {
    clone->SetBeginIndexRange(RangeStartKey.data());
    clone->SetEndIndexRange(RangeEndKey.data());
    clone->RangeActive = true;
    clone->RefreshRangeAndFilter();
  }
  CopyFiltersTo(*clone);
  clone->SetToDataCursor(*this);
  return clone;
}

// ---------------------------------------------------------------------------------------------
// Indexes

int TDataCursor::GetIndexCount() const {
  CheckOpen();
  return Table->GetIndexCount();
}

bool TDataCursor::GetIsPhysicalNavigation() const {
  return IndexPos == kNoIndexPos || (IndexPos == 0 && Table != nullptr && Table->GetNoPrimaryIndex());
}

void TDataCursor::SetIndexName(const std::string& name) {
  CheckOpen();
  const std::string wanted = Trim(name);
  if (!GetIsPhysicalNavigation() || IndexPos == 0) {
    if (SameText(wanted, IndexName)) return;
  }
  for (int slot = 0; slot <= Table->GetIndexCount(); ++slot) {
    TIndexDefinition definition;
    Table->GetIndexDefinition(slot, definition);
    if (slot == 0 && Table->GetNoPrimaryIndex() && !wanted.empty()) continue;
    if (SameText(Trim(definition.IndexName), wanted)) {
      SetIndexPos(slot);
      return;
    }
  }
  RaiseCursor(KORVEL_INVALIDINDEXNAME, "", name);
}

void TDataCursor::InternalSetIndexPos(int pos) {
  CheckOpen();
  CheckLocal();
  if (pos != kNoIndexPos && (pos < 0 || pos > Table->GetIndexCount())) RaiseCursor(KORVEL_INVALIDINDEXNAME);
  TOperation operation(*this);
  SelectIndex(pos);
  // Before the first record: a key of the old index means nothing in the new one.
  ResetPosition();
  Eof = false;
  ClearRecord(currentRecord_.data());
}

void TDataCursor::SetIndexPos(int pos) {
  CheckOpen();
  if (pos != kNoIndexPos && (pos < 0 || pos > Table->GetIndexCount())) RaiseCursor(KORVEL_INVALIDINDEXNAME);
  if (pos == IndexPos && IndexFile != nullptr) return;
  TOperation operation(*this);
  const bool hadRecord = !Bof && !Eof;
  std::vector<std::uint8_t> record = currentRecord_;
  SelectIndex(pos);
  if (hadRecord) {
    SetToRecordBuffer(record.data(), true);
  } else {
    FirstPosition();
    Skip(-1);
    RefreshCurrentRecord(1);
  }
}

void TDataCursor::SelectIndex(int slot) {
  IndexPos = static_cast<std::uint8_t>(slot);
  RangeActive = false;
  if (GetIsPhysicalNavigation()) {
    IndexFile = static_cast<TBTreeIndexFile*>(Table->IndexFile.get());
    IndexSlot = kSysDeletedSlot;
    KeySize = 4;
    IndexName.clear();
    keyFields_.clear();
    KeyFieldCount = 0;
    if (IndexPos != kNoIndexPos) LoadKeyInformation();
    FiltersActive = true;
    ResetIndexPosition();
    PhysicalRecordNumber = 0;
    RefreshRangeAndFilter();
    return;
  }
  ConfigureTree(*this, slot);
  LockCursor = this;
  LoadKeyInformation();
  FiltersActive = false;
  VisibleRecords = nullptr;
  RefreshRangeAndFilter();
}

void TDataCursor::LoadKeyInformation() {
  const TIndexDefinition& definition = Table->IndexFile->IndexDefinition(IndexPos);
  IndexName = definition.IndexName;
  KeyFieldCount = definition.KeyFieldCount;
  DescendingKeyFields = definition.DescendingKeyFields;
  keyFields_.clear();
  for (int i = 0; i < KeyFieldCount; ++i) keyFields_.push_back(Table->GetFieldDefinitionByPos(definition.KeyFields[i]));
}

void TDataCursor::ConfigureTree(TBTreeCursor& tree, int slot) const {
  tree.SetIndex(static_cast<TBTreeIndexFile*>(Table->IndexFile.get()), slot);
  tree.LockCursor = const_cast<TDataCursor*>(this);
  std::vector<TKeySegment> segments;
  if (slot != kSysDeletedSlot && slot != kSysTextSlot) {
    const TIndexDefinition& definition = Table->IndexFile->IndexDefinition(slot);
    for (int i = 0; i < definition.KeyFieldCount; ++i) {
      const TFieldDefinition& field = Table->GetFieldDefinitionByPos(definition.KeyFields[i]);
      TKeySegment segment;
      segment.IsString = field.DataType == dtString;
      segment.IndexedSize = static_cast<std::uint16_t>(IndexedSize(field.DataType, field.PhysicalSize));
      segment.Descending = definition.DescendingKeyFields[i];
      segments.push_back(segment);
    }
  }
  tree.SetKeyCollation(Table->GetLanguageID(), Table->GetSortID(), segments);
}

std::vector<int> TDataCursor::EditedIndexSlots() const {
  std::vector<int> slots;
  for (int slot = Table->GetNoPrimaryIndex() ? 1 : 0; slot <= Table->GetIndexCount(); ++slot) {
    if (Table->IndexFile->IndexDefinition(slot).KeySize == 0) continue;
    slots.push_back(slot);
  }
  return slots;
}

// ---------------------------------------------------------------------------------------------
// Change detection

void TDataCursor::SynchLastUpdateStamps() {
  dataStamp_ = Table->GetLastDataUpdateStamp();
  indexStamp_ = Table->GetLastIndexUpdateStamp();
  blobStamp_ = Table->GetLastBlobUpdateStamp();
}

bool TDataCursor::PerformChangeDetection() {
  // Files that carry the read-only attribute cannot change under us. Everything else is
  // compared, exclusive tables included: a clone opened with OverrideExclusive edits the same
  // table, and its changes move the stamps in memory.
  if (NoLocking) return false;
  if (dataStamp_ == Table->GetLastDataUpdateStamp() && indexStamp_ == Table->GetLastIndexUpdateStamp() &&
      blobStamp_ == Table->GetLastBlobUpdateStamp())
    return false;
  SynchLastUpdateStamps();
  return true;
}

bool TDataCursor::CheckForCursorChanges() {
  if (!PerformChangeDetection()) return false;
  RefreshAfterChange();
  return true;
}

void TDataCursor::RefreshAfterChange() {
  const bool empty = Bof && Eof;
  const bool before = Bof && !Eof;
  const bool after = Eof && !Bof;
  std::vector<std::uint8_t> bookmark = CurrentBookmark();
  RefreshRangeAndFilter();
  if (empty || before) {
    FirstPosition();
    Skip(-1);
  } else if (after) {
    LastPosition();
    Skip(1);
  } else {
    ReturnToBookmark(bookmark, true);
  }
  RefreshCurrentRecord(1);
}

void TDataCursor::CheckForChangeDetection() {
  if (Directory->Session->StrictChangeDetection) {
    Table->ReadLockTable();
  }
  CheckForCursorChanges();
}

bool TDataCursor::ReadLockForCacheMiss() {
  bool changed = Table->ReadLockTable();
  if (!changed) return true;
  changeDuringRead_ = true;
  // A walk in progress holds pages of the old tree: it is abandoned and starts over.
  return !restartable_;
}

// ---------------------------------------------------------------------------------------------
// Record locks

void TDataCursor::UserWriteLockRecord(std::int32_t recordNumber) {
  CheckOpen();
  TOperation operation(*this, false);
  if (recordNumber == 0) recordNumber = GetPhysicalRecordNumber();
  if (recordNumber == 0 || Table->CheckForCursorRecordWriteLock(recordNumber)) RaiseCursor(KORVEL_RECLOCKFAILED);
  bool changed = Table->UserWriteLockRecord(recordNumber);
  Table->AddCursorRecordWriteLock(recordNumber);
  LockedRecord = recordNumber;
  if (PerformChangeDetection() || changed) {
    SynchLastUpdateStamps();
    RefreshAfterChange();
  }
}

void TDataCursor::UserWriteUnlockRecord(std::int32_t recordNumber) {
  CheckOpen();
  if (recordNumber == 0) recordNumber = LockedRecord;
  Table->RemoveCursorRecordWriteLock(recordNumber);
  if (LockedRecord == recordNumber) LockedRecord = 0;
  Table->UserWriteUnlockRecord(recordNumber);
}

// ---------------------------------------------------------------------------------------------
// The live records of the table (RefreshRangeAndFilter and the edit hooks are in
// filter_cursor.cpp)

void TDataCursor::BuildLiveRecords() {
  const std::int32_t used = Table->GetPhysicalRecordsUsed();
  liveRecords_->SetNumOfBits(static_cast<std::uint32_t>(used));
  if (Table->GetActualRecordCount() == used) {
    // No record is free: every record is live, and the record index need not be read.
    liveRecords_->SetBits();
    return;
  }
  liveRecords_->ClearBits();
  // The live keys of the record index come first: deleted flag 0, any record ID.
  TBTreeCursor tree;
  ConfigureTree(tree, kSysDeletedSlot);
  std::uint8_t low[kSysDeletedKeySize] = {0, 0, 0, 0, 0};
  std::uint8_t high[kSysDeletedKeySize] = {0, 0xFF, 0xFF, 0xFF, 0xFF};
  tree.SetBeginIndexRange(low);
  tree.SetEndIndexRange(high);
  tree.ActivateRange(true);
  RunWalk([&] {
    liveRecords_->ClearBits();
    if (!tree.GotoFirstIndexPosition()) return false;
    while (!tree.Bof && !tree.Eof) {
      liveRecords_->SetBit(static_cast<std::uint32_t>(tree.TBTreeCursor::GetPhysicalRecordNumber()));
      if (!tree.SkipIndexKeys(1)) return false;
    }
    return true;
  }, false);
}

// ---------------------------------------------------------------------------------------------
// Rebuilding the indexes of a table whose index file was missing

void TDataCursor::RebuildIndexes() {
  // The index file was recreated empty: its definitions are gone with it, so only the record
  // index can be rebuilt here; the record count comes back from the records themselves.
  TWriteLock lock(*this);
  std::int32_t live = 0;
  TBTreeCursor tree;
  ConfigureTree(tree, kSysDeletedSlot);
  std::uint8_t key[kSysDeletedKeySize];
  for (std::int32_t n = 1; n <= Table->GetPhysicalRecordsUsed(); ++n) {
    TRecord* record = nullptr;
    if (!Table->GetRecord(this, n, false, false, true, record)) RaiseCursor(KORVEL_LOCKTIMEOUT);
    TRecordPin pin(*Table, record);
    BuildDeletedKey(record->Buffer()[0], record->GetRecordID(), key);
    tree.AddIndexKey(key, n);
    if (!record->GetIsDeleted()) ++live;
  }
  Table->IndexFile->SetActualRecordCount(live);
  FlushEdit(true, false);
  Table->IndexMissing = false;
  lock.Release();
}

}  // namespace korvel
