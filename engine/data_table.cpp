#include "engine/data_table.h"

#include <algorithm>
#include <exception>

#include "engine/data_cursor.h"
#include "engine/index_page.h"
#include "engine/session.h"
#include "platform/system_info.h"

namespace korvel {

TDataTable::TDataTable(TDataDirectory* directory)
    : Directory(directory),
      DataFile(std::make_unique<TDataFile>(this)),
      IndexFile(std::make_unique<TBTreeIndexFile>(this)),
      BlobFile(std::make_unique<TBlobFile>(this)),
      RecordLocks(GetNewRecordsBitmapInstance()),
      CursorRecordLocks(GetNewRecordsBitmapInstance()),
      ReleasedRecordLocks(GetNewRecordsBitmapInstance()) {
  RecordLocks->SetNumOfBits(kInitialLockBits);
  CursorRecordLocks->SetNumOfBits(kInitialLockBits);
  ReleasedRecordLocks->SetNumOfBits(kInitialLockBits);
}

TDataTable::~TDataTable() {
  try {
    if (TransactionInProgress) RollbackTransaction();
  } catch (...) {
    // The files are closed below whatever happened; nothing of the transaction is written.
  }
  try {
    if (IsOpen) {
      UseCount = 1;
      TransactionInProgress = false;
      CloseTable(true);
    }
  } catch (...) {
    // A destructor cannot report; CloseTable has released the locks and closed the files.
  }
  ReturnRecordsBitmapInstance(std::move(RecordLocks));
  ReturnRecordsBitmapInstance(std::move(CursorRecordLocks));
  ReturnRecordsBitmapInstance(std::move(ReleasedRecordLocks));
}

// ---------------------------------------------------------------------------------------------
// Owner services

const TDataSession& TDataTable::Session() const { return *Directory->Session; }

std::string TDataTable::GetProperDataDirectoryName() const { return Directory->GetProperDataDirectoryName(); }
std::int32_t TDataTable::GetMaxTableDataBufferSize() const { return Session().MaxTableDataBufferSize; }
std::int32_t TDataTable::GetMaxTableDataBufferCount() const { return Session().MaxTableDataBufferCount; }
std::int32_t TDataTable::GetMaxTableIndexBufferSize() const { return Session().MaxTableIndexBufferSize; }
std::int32_t TDataTable::GetMaxTableBlobBufferSize() const { return Session().MaxTableBlobBufferSize; }
std::int32_t TDataTable::GetMaxTableBlobBufferCount() const { return Session().MaxTableBlobBufferCount; }
bool TDataTable::GetForceBufferFlush() const { return Session().ForceBufferFlush; }
std::string TDataTable::GetPrivateDirectory() const { return Session().GetPrivateDirectory(); }

bool TDataTable::IsReadLocked() const {
  return ReadLocked || UserReadLocked || WriteLocked || TransactionLocked || UserTableLocked || !TakesLocks();
}

bool TDataTable::ReadLockTable(TDataCursor* cursor) {
  // A cursor takes the lock itself: when the lock shows another session's change, the cursor
  // may abandon the read and start its walk over. Without a cursor the lock is taken here, and a
  // change drops the stale caches before the caller reads from disk.
  if (cursor != nullptr) return cursor->ReadLockForCacheMiss();
  ReadLockTable();
  return true;
}

std::int32_t TDataTable::GetNumReadAheadRecords(TDataCursor* cursor, std::int32_t count, bool forward) {
  return cursor != nullptr ? cursor->GetNumReadAheadRecords(count, forward ? 1 : 2) : count;
}

bool TDataTable::GetKeyField(std::int32_t fieldNumber, TIndexKeyField& field) const {
  if (fieldNumber < 1 || fieldNumber > DataFile->GetFieldCount()) return false;
  const TFieldDefinition& definition = DataFile->GetFieldDefinitionByPos(fieldNumber);
  field.FieldName = definition.FieldName;
  field.DataType = definition.DataType;
  field.SubType = definition.SubType;
  field.PhysicalSize = definition.PhysicalSize;
  return true;
}

void TDataTable::RaiseTable(TErrorCode code) const {
  RaiseTableError(code, TableName, GetProperDataDirectoryName());
}

bool TDataTable::HasBlobFile() const { return BlobFile->IsOpen && DataFile->GetBlobFieldCount() > 0; }

bool TDataTable::HasReadOnlyDescriptor() const {
  return DataFile->ReadOnly || IndexFile->ReadOnly || (HasBlobFile() && BlobFile->ReadOnly);
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void TDataTable::ConfigureFiles() {
  const std::string names[] = {Directory->GetTableFileName(TableName, kDataFileExt),
                               Directory->GetTableFileName(TableName, kIndexFileExt),
                               Directory->GetTableFileName(TableName, kBlobFileExt)};
  TFileHandler* files[] = {DataFile.get(), IndexFile.get(), BlobFile.get()};
  for (int i = 0; i < 3; ++i) {
    files[i]->FileName = names[i];
    files[i]->Exclusive = Exclusive;
    files[i]->ReadOnly = ReadOnly;
    files[i]->InMemory = InMemory;
    files[i]->Temporary = IsTemporary;
  }
}

void TDataTable::OpenTable() {
  ++UseCount;
  if (IsOpen) return;
  IndexMissing = false;
  IsOpen = true;
  ConfigureFiles();
  try {
    DataFile->OpenFile();
    // Older formats are read by the upgrade only: their other files differ too.
    DataFile->CheckHeaderVersion();
    try {
      IndexFile->OpenFile();
    } catch (const EKORVELEngineError& e) {
      if (e.ErrorCode != KORVEL_OSENOENT) throw;
      // The indexes are rebuilt by the first cursor; until then the table has an empty index
      // file with the record count 0.
      IndexMissing = true;
      IndexFile->CreateFile();
      // Its definitions went with the lost file: the table navigates physically until its
      // indexes are restored.
      IndexFile->SetNoPrimaryIndex(true);
      IndexFile->WriteHeader(true);
      IndexFile->CloseFile();
      IndexFile->Temporary = IsTemporary;
      IndexFile->OpenFile();
    }
    if (DataFile->GetBlobFieldCount() > 0) {
      BlobFile->SetBlockSize(DataFile->GetBlobBlockSize());
      BlobFile->OpenFile();
    }
  } catch (...) {
    CloseFiles();
    DecUseCount();
    throw;
  }
  bool readOnly = DataFile->ReadOnly || IndexFile->ReadOnly || (HasBlobFile() && BlobFile->ReadOnly);
  ReadOnlyAttribute = DataFile->ReadOnlyAttribute || IndexFile->ReadOnlyAttribute ||
                      (HasBlobFile() && BlobFile->ReadOnlyAttribute);
  ReadOnly = readOnlyRequested_ || readOnly || ReadOnlyAttribute;
  ReadLockIndexSlot = ReadLockBlobSlot = UserReadLockIndexSlot = UserReadLockBlobSlot = 0;
  HeadersWritten = false;
  NoteFileSizes();
}

void TDataTable::CloseTable(bool freeTemporary) {
  if (!IsOpen) return;
  DecUseCount();
  if (UseCount > 0 || TransactionInProgress) return;
  std::exception_ptr failure;
  if (Exclusive && !ReadOnly) {
    try {
      if (freeTemporary && IsTemporary)
        FreeBuffers(false, false);
      else
        FlushBuffers(true, false, false, false, false);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  bool released = ReleaseAllLocks();
  CloseFiles();
  if (failure) std::rethrow_exception(failure);
  if (!released) RaiseTable(KORVEL_UNLOCKFAILED);
}

bool TDataTable::ReleaseAllLocks() {
  bool ok = true;
  if (UserTableLocked) {
    ok = DataFile->UserWriteUnlockTable() && ok;
    UserTableLocked = false;
  }
  TableUnlockPending = false;
  tableUnlockDeferred_ = false;
  try {
    WriteUnlockAllRecords(false);
  } catch (const EKORVELEngineError&) {
    ok = false;
  }
  CursorRecordLocks->ClearBits();
  ReleasedRecordLocks->ClearBits();
  if (WriteLocked && writeRegionsSkipped_) {
    WriteLocked = false;
    writeRegionsSkipped_ = false;
  }
  if (WriteLocked) {
    if (HasBlobFile()) ok = BlobFile->WriteUnLock() && ok;
    ok = IndexFile->WriteUnLock() && ok;
    if (!TransactionLocked) ok = DataFile->WriteUnlock() && ok;
    WriteLocked = false;
    // Slots set aside for the write lock are not held: below they are not released either.
  }
  if (TransactionLocked) {
    if (!Exclusive) ok = DataFile->WriteUnlock() && ok;
    TransactionLocked = false;
  }
  if (ReadLocked && !readSlotsSetAside_) ok = ReleaseReadSlots(ReadLockIndexSlot, ReadLockBlobSlot) && ok;
  if (UserReadLocked && !userReadSlotsSetAside_) ok = ReleaseReadSlots(UserReadLockIndexSlot, UserReadLockBlobSlot) && ok;
  ReadLocked = UserReadLocked = false;
  readSlotsSetAside_ = userReadSlotsSetAside_ = false;
  ReadLockIndexSlot = ReadLockBlobSlot = UserReadLockIndexSlot = UserReadLockBlobSlot = 0;
  return ok;
}

void TDataTable::CloseFiles() {
  IndexFile->CloseFile();
  BlobFile->CloseFile();
  DataFile->CloseFile();
  IndexMissing = false;
  HeadersWritten = false;
  IsOpen = false;
}

void TDataTable::CreateTable(const TTableStructure& structure) {
  // The files are made as ordinary files; a temporary table's files are deleted when the table
  // they are opened for closes.
  bool temporary = IsTemporary;
  IsTemporary = false;
  ConfigureFiles();
  IsTemporary = temporary;
  bool hasBlobs = false;
  try {
    DataFile->CreateDataFile(structure.LanguageID, structure.SortID, structure.UserMajorVersion,
                             structure.UserMinorVersion, structure.Encrypted, structure.Password,
                             structure.Description, structure.BlobBlockSize, structure.Fields);
    DataFile->WriteHeader(true);
    DataFile->WriteFields();
    hasBlobs = DataFile->GetBlobFieldCount() > 0;

    IndexFile->CreateFile();
    IndexFile->AddPrimaryIndex(structure.PrimaryIndex);
    for (const TIndexDefinition& secondary : structure.SecondaryIndexes) IndexFile->AddSecondaryIndex(secondary);
    if (structure.TextIndex.KeyFieldCount > 0) {
      TIndexDefinition text = structure.TextIndex;
      const TIndexDefinition& slot = IndexFile->IndexDefinition(kSysTextSlot);
      text.IndexName = slot.IndexName;
      text.KeySize = slot.KeySize;
      text.Compression = slot.Compression;
      IndexFile->SetIndexDefinition(kSysTextSlot, text);
    }
    IndexFile->WriteHeader(true);

    if (hasBlobs) {
      BlobFile->SetBlockSize(DataFile->GetBlobBlockSize());
      BlobFile->CreateFile();
      BlobFile->WriteHeader(true);
    }
  } catch (...) {
    // A half-made table is of no use to anybody: its files go.
    CloseFiles();
    for (TFileHandler* file : {static_cast<TFileHandler*>(DataFile.get()), static_cast<TFileHandler*>(IndexFile.get()),
                               static_cast<TFileHandler*>(BlobFile.get())})
      GetFileList().DeleteFile(file->FileName, InMemory);
    throw;
  }
  BlobFile->CloseFile();
  IndexFile->CloseFile();
  DataFile->CloseFile();
  HeadersWritten = false;
}

int TDataTable::RenameTable(const std::string& newName, bool toBackup) {
  if (IsOpen) return -static_cast<int>(KORVEL_OSEACCES);
  int result = Directory->RenameTableFiles(TableName, newName, toBackup, InMemory);
  if (result == 0 && !toBackup) TableName = newName;
  return result;
}

int TDataTable::DeleteTable() {
  if (IsOpen) return -static_cast<int>(KORVEL_OSEACCES);
  return Directory->DeleteTableFiles(TableName, InMemory);
}

// ---------------------------------------------------------------------------------------------
// Read slots

bool TDataTable::TakeReadSlots(std::uint16_t& indexSlot, std::uint16_t& blobSlot) {
  if (!IndexFile->ReadLock(indexSlot)) {
    indexSlot = 0;
    return false;
  }
  if (HasBlobFile() && !BlobFile->ReadLock(blobSlot)) {
    IndexFile->ReadUnLock(indexSlot);
    indexSlot = blobSlot = 0;
    return false;
  }
  return true;
}

bool TDataTable::ReleaseReadSlots(std::uint16_t& indexSlot, std::uint16_t& blobSlot) {
  bool ok = true;
  if (blobSlot != 0) ok = BlobFile->ReadUnlock(blobSlot);
  ok = IndexFile->ReadUnLock(indexSlot) && ok;
  indexSlot = blobSlot = 0;
  return ok;
}

void TDataTable::SetAsideReadSlots() {
  if (ReadLocked && !readSlotsSetAside_) {
    ReleaseReadSlots(ReadLockIndexSlot, ReadLockBlobSlot);
    readSlotsSetAside_ = true;
  }
  if (UserReadLocked && !userReadSlotsSetAside_) {
    ReleaseReadSlots(UserReadLockIndexSlot, UserReadLockBlobSlot);
    userReadSlotsSetAside_ = true;
  }
}

bool TDataTable::RestoreReadSlots() {
  bool ok = true;
  if (readSlotsSetAside_) {
    readSlotsSetAside_ = false;
    if (!TakeReadSlots(ReadLockIndexSlot, ReadLockBlobSlot)) {
      ReadLocked = false;
      ok = false;
    }
  }
  if (userReadSlotsSetAside_) {
    userReadSlotsSetAside_ = false;
    if (!TakeReadSlots(UserReadLockIndexSlot, UserReadLockBlobSlot)) {
      UserReadLocked = false;
      ok = false;
    }
  }
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Internal locks

bool TDataTable::TakeReadLock(bool& held, std::uint16_t& indexSlot, std::uint16_t& blobSlot) {
  if (UserReadLocked || UserTableLocked || TransactionLocked || WriteLocked || ReadLocked || !TakesLocks())
    return false;
  if (!TakeReadSlots(indexSlot, blobSlot)) RaiseTable(KORVEL_LOCKTIMEOUT);
  held = true;
  try {
    return PerformChangeDetection();
  } catch (...) {
    // A lock kept past a failed detection would stall every writer until this table closes.
    held = false;
    ReleaseReadSlots(indexSlot, blobSlot);
    throw;
  }
}

void TDataTable::ReleaseReadLock(bool& held, bool& setAside, std::uint16_t& indexSlot, std::uint16_t& blobSlot) {
  if (!held) return;
  held = false;
  if (setAside) {
    // The write lock still keeps everybody out; there is no slot to give back.
    setAside = false;
    return;
  }
  if (!ReleaseReadSlots(indexSlot, blobSlot)) RaiseTable(KORVEL_UNLOCKFAILED);
}

bool TDataTable::ReadLockTable() { return TakeReadLock(ReadLocked, ReadLockIndexSlot, ReadLockBlobSlot); }

void TDataTable::ReadUnlockTable() {
  ReleaseReadLock(ReadLocked, readSlotsSetAside_, ReadLockIndexSlot, ReadLockBlobSlot);
}

bool TDataTable::UserReadLockTable() {
  return TakeReadLock(UserReadLocked, UserReadLockIndexSlot, UserReadLockBlobSlot);
}

void TDataTable::UserReadUnlockTable() {
  ReleaseReadLock(UserReadLocked, userReadSlotsSetAside_, UserReadLockIndexSlot, UserReadLockBlobSlot);
}

bool TDataTable::WriteLockTable(bool cachedEdit) {
  if (WriteLocked || !TakesLocks()) return false;
  if (HasReadOnlyDescriptor()) RaiseTable(KORVEL_OSEACCES);
  // An edit inside this session's transaction writes nothing to the files (its flush only
  // advances the stamps, and no cache flushes to make room): the data byte already keeps every
  // other writer out, and the readers, who see the committed state on disk, have nothing to be
  // kept from. The regions are taken by the commit, which writes.
  if (cachedEdit && TransactionLocked && TransactionInProgress) {
    WriteLocked = true;
    writeRegionsSkipped_ = true;
    return false;
  }
  // This session's own read slots go first: its write region would wait on them, and a slot
  // held while waiting for the data byte would stall a committing writer that waits for the
  // readers to leave.
  SetAsideReadSlots();
  // The data byte excludes every other writer; the index and BLOB regions then wait for the
  // readers to leave.
  bool tookDataByte = false;
  auto fail = [&] {
    RestoreReadSlots();
    if (tookDataByte) DataFile->WriteUnlock();
    RaiseTable(KORVEL_LOCKTIMEOUT);
  };
  if (!TransactionLocked) {
    if (!DataFile->WriteLock()) fail();
    tookDataByte = true;
  }
  if (!IndexFile->WriteLock()) fail();
  if (HasBlobFile() && !BlobFile->WriteLock()) {
    IndexFile->WriteUnLock();
    fail();
  }
  WriteLocked = true;
  // Nobody else can have written while this session held the data byte for its transaction.
  if (TransactionLocked) return false;
  try {
    return PerformChangeDetection();
  } catch (...) {
    ReleaseWriteLock();
    throw;
  }
}

bool TDataTable::ReleaseWriteLock() {
  WriteLocked = false;
  if (writeRegionsSkipped_) {
    writeRegionsSkipped_ = false;
    return true;
  }
  bool ok = true;
  if (HasBlobFile()) ok = BlobFile->WriteUnLock();
  ok = IndexFile->WriteUnLock() && ok;
  // The read slots come back while the data byte still keeps other writers out: a writer that
  // slipped in between would leave this session reading its old cached pages beside new ones.
  ok = RestoreReadSlots() && ok;
  if (!TransactionLocked) ok = DataFile->WriteUnlock() && ok;
  return ok;
}

void TDataTable::WriteUnlockTable() {
  if (!WriteLocked) return;
  if (!ReleaseWriteLock()) RaiseTable(KORVEL_LOCKTIMEOUT);
}

bool TDataTable::TransactionWriteLockTable() {
  if (TransactionLocked || ReadOnlyAttribute) return false;
  // A write lock of this session already holds the data byte; the transaction shares it.
  if (!Exclusive && HasReadOnlyDescriptor()) RaiseTable(KORVEL_OSEACCES);
  const bool tookDataByte = !Exclusive && !WriteLocked;
  if (tookDataByte && !DataFile->WriteLock()) RaiseTable(KORVEL_LOCKTIMEOUT);
  UserTableLockedAtStart = UserTableLocked;
  TransactionLocked = true;
  if (Exclusive) return false;
  try {
    return PerformChangeDetection();
  } catch (...) {
    TransactionLocked = false;
    UserTableLockedAtStart = false;
    if (tookDataByte) DataFile->WriteUnlock();
    throw;
  }
}

void TDataTable::ReleaseUserLocksHeldForTransaction() {
  if (Exclusive) return;
  if (UserTableLocked && (!UserTableLockedAtStart || tableUnlockDeferred_)) {
    tableUnlockDeferred_ = false;
    UserWriteUnlockTable();
  } else if (!UserTableLockedAtStart) {
    WriteUnlockAllRecords(true);
  }
}

void TDataTable::TransactionWriteUnlockTable() {
  if (!TransactionLocked) return;
  TransactionLocked = false;
  // Under a write lock of this session the byte stays until that lock is released.
  bool ok = Exclusive || WriteLocked || DataFile->WriteUnlock();
  ReleaseUserLocksHeldForTransaction();
  UserTableLockedAtStart = false;
  if (!ok) RaiseTable(KORVEL_UNLOCKFAILED);
}

// ---------------------------------------------------------------------------------------------
// User locks

void TDataTable::WaitBeforeRetry(std::uint16_t ms) {
  if (ms > 0) platform::SleepMilliseconds(ms);
}

bool TDataTable::UserWriteLockTable() {
  if (UserTableLocked) {
    // Asked for again while an unlock waits for the cursors' record locks or for the
    // transaction's end: the table stays locked after them.
    TableUnlockPending = false;
    tableUnlockDeferred_ = false;
    return false;
  }
  if (!TakesLocks()) return false;
  if (HasReadOnlyDescriptor()) RaiseTable(KORVEL_OSEACCES);
  const TDataSession& session = Session();
  for (unsigned attempt = 0;; ++attempt) {
    if (DataFile->UserWriteLockTable()) break;
    if (attempt >= session.LockRetries) RaiseTable(KORVEL_LOCKED);
    WaitBeforeRetry(session.LockWait);
  }
  UserTableLocked = true;
  TableUnlockPending = false;
  // Taken inside a transaction, it is released when the transaction ends.
  if (TransactionLocked) return false;
  try {
    return PerformChangeDetection();
  } catch (...) {
    UserTableLocked = false;
    DataFile->UserWriteUnlockTable();
    throw;
  }
}

void TDataTable::UserWriteUnlockTable() {
  if (!UserTableLocked) return;
  if (HasCursorRecordLocks()) {
    // A cursor still counts on its record lock, which the table lock stands in for: the last
    // record unlock releases the table.
    TableUnlockPending = true;
    return;
  }
  if (TransactionLocked && !Exclusive) {
    // Like a record unlock inside a transaction: another session must not change what the
    // transaction changed under this lock before it is committed or rolled back.
    tableUnlockDeferred_ = true;
    return;
  }
  UserTableLocked = false;
  TableUnlockPending = false;
  if (!DataFile->UserWriteUnlockTable()) RaiseTable(KORVEL_UNLOCKFAILED);
}

void TDataTable::GrowLockBitmaps(std::int32_t recordNumber) {
  std::uint32_t bits = static_cast<std::uint32_t>(std::max(DataFile->GetPhysicalRecordsUsed() + 1, recordNumber));
  bits = std::max(bits, RecordLocks->NumOfBits());
  if (bits == RecordLocks->NumOfBits()) return;
  RecordLocks->SetNumOfBits(bits);
  CursorRecordLocks->SetNumOfBits(bits);
  ReleasedRecordLocks->SetNumOfBits(bits);
}

bool TDataTable::UserWriteLockRecord(std::int32_t recordNumber) {
  if (UserTableLocked || !TakesLocks()) return false;
  if (recordNumber < 1 || recordNumber > kMaxRecordNumber) RaiseTable(KORVEL_RECLOCKFAILED);
  if (HasReadOnlyDescriptor()) RaiseTable(KORVEL_OSEACCES);
  GrowLockBitmaps(recordNumber);
  const auto r = static_cast<std::uint32_t>(recordNumber);
  if (TransactionLocked && RecordLocks->IsBitSet(r)) {
    // Locked again before the transaction released it: it must survive the transaction's end.
    ReleasedRecordLocks->ClearBit(r);
    return false;
  }
  const TDataSession& session = Session();
  // A read lock that an enclosing operation holds is left alone; only this call's own is
  // given up while waiting (so that the record's holder can write and unlock).
  const bool readLockHeld = ReadLocked;
  bool changed = false;
  if (!session.StrictChangeDetection) changed = ReadLockTable();
  for (unsigned refusals = 0;;) {
    if (DataFile->UserWriteLockRecord(recordNumber)) {
      RecordLocks->SetBit(r);
      ReleasedRecordLocks->ClearBit(r);
      return changed;
    }
    if (!readLockHeld) ReadUnlockTable();
    if (++refusals > session.LockRetries) RaiseTable(KORVEL_RECLOCKFAILED);
    WaitBeforeRetry(session.LockWait);
    if (!readLockHeld) changed = ReadLockTable() || changed;
  }
}

void TDataTable::UserWriteUnlockRecord(std::int32_t recordNumber) {
  if (TableUnlockPending) {
    TableUnlockPending = false;
    UserWriteUnlockTable();
    return;
  }
  if (UserTableLocked || !TakesLocks()) return;
  if (recordNumber < 1 || recordNumber > kMaxRecordNumber) RaiseTable(KORVEL_UNLOCKFAILED);
  GrowLockBitmaps(recordNumber);
  const auto r = static_cast<std::uint32_t>(recordNumber);
  if (!RecordLocks->IsBitSet(r)) RaiseTable(KORVEL_UNLOCKFAILED);
  if (TransactionLocked) {
    // Another session must not change the record before the changes made under its lock are
    // committed or rolled back.
    ReleasedRecordLocks->SetBit(r);
    return;
  }
  RecordLocks->ClearBit(r);
  if (!DataFile->UserWriteUnlockRecord(recordNumber)) RaiseTable(KORVEL_UNLOCKFAILED);
}

void TDataTable::WriteUnlockAllRecords(bool onlyReleased) {
  bool ok = true;
  std::uint32_t position = 0;
  std::uint32_t counter = 0;
  while (RecordLocks->GetNextBitsSet(position, 1, counter)) {
    if (onlyReleased && !ReleasedRecordLocks->IsBitSet(position)) continue;
    RecordLocks->ClearBit(position);
    ReleasedRecordLocks->ClearBit(position);
    if (TakesLocks()) ok = DataFile->UserWriteUnlockRecord(static_cast<std::int32_t>(position)) && ok;
  }
  if (!ok) RaiseTable(KORVEL_UNLOCKFAILED);
}

bool TDataTable::RecordIsLocked(std::int32_t recordNumber) {
  if (UserTableLocked) return true;
  if (recordNumber < 1 || recordNumber > kMaxRecordNumber) return false;
  GrowLockBitmaps(recordNumber);
  if (RecordLocks->IsBitSet(static_cast<std::uint32_t>(recordNumber))) return true;
  // Nobody else can hold a lock of a table this session has alone or that nobody can write.
  if (!TakesLocks()) return false;
  // A descriptor opened for reading probes with a shared lock, which a holder's lock refuses
  // just the same.
  const bool probed = HasReadOnlyDescriptor() ? DataFile->LockRegionShared(kRecordLockBase - recordNumber, 1)
                                              : DataFile->UserWriteLockRecord(recordNumber);
  if (!probed) return true;
  DataFile->UserWriteUnlockRecord(recordNumber);
  return false;
}

bool TDataTable::UserLockSemaphore(std::int32_t number) {
  if (number < 1 || number > kMaxSemaphore) return false;
  // An exclusive table has no other user to exclude; a table nobody can write cannot carry
  // locks at all.
  if (Exclusive) return true;
  // A semaphore excludes others only as a lock a read-only descriptor cannot hold.
  if (ReadOnlyAttribute || HasReadOnlyDescriptor()) return false;
  const TDataSession& session = Session();
  for (unsigned attempt = 0;; ++attempt) {
    if (DataFile->UserLockSemaphore(number)) return true;
    if (attempt >= session.LockRetries) return false;
    WaitBeforeRetry(session.LockWait);
  }
}

bool TDataTable::UserUnlockSemaphore(std::int32_t number) {
  if (number < 1 || number > kMaxSemaphore) return false;
  if (Exclusive) return true;
  if (ReadOnlyAttribute) return false;
  return DataFile->UserUnlockSemaphore(number);
}

void TDataTable::AddRecordWriteLock(std::int32_t recordNumber) {
  GrowLockBitmaps(recordNumber);
  RecordLocks->SetBit(static_cast<std::uint32_t>(recordNumber));
}

void TDataTable::RemoveRecordWriteLock(std::int32_t recordNumber) {
  GrowLockBitmaps(recordNumber);
  RecordLocks->ClearBit(static_cast<std::uint32_t>(recordNumber));
}

bool TDataTable::CheckForRecordWriteLock(std::int32_t recordNumber) {
  GrowLockBitmaps(recordNumber);
  return RecordLocks->IsBitSet(static_cast<std::uint32_t>(recordNumber));
}

void TDataTable::AddCursorRecordWriteLock(std::int32_t recordNumber) {
  GrowLockBitmaps(recordNumber);
  CursorRecordLocks->SetBit(static_cast<std::uint32_t>(recordNumber));
}

void TDataTable::RemoveCursorRecordWriteLock(std::int32_t recordNumber) {
  GrowLockBitmaps(recordNumber);
  CursorRecordLocks->ClearBit(static_cast<std::uint32_t>(recordNumber));
}

bool TDataTable::CheckForCursorRecordWriteLock(std::int32_t recordNumber) {
  GrowLockBitmaps(recordNumber);
  return CursorRecordLocks->IsBitSet(static_cast<std::uint32_t>(recordNumber));
}

// ---------------------------------------------------------------------------------------------
// Change detection and buffers

bool TDataTable::PerformChangeDetection() {
  bool changed = false;
  if (IndexFile->CheckForChanges()) {
    // The index header carries the record count; a new one means new records and pages.
    IndexFile->FreePageBuffers(false);
    DataFile->CheckForChanges();
    DataFile->FreeRecordBuffers();
    changed = true;
  } else if (DataFile->CheckForChanges()) {
    DataFile->FreeRecordBuffers();
    changed = true;
  }
  // Every file is asked: a writer that changed the index and the BLOBs leaves both stale.
  if (HasBlobFile() && BlobFile->CheckForChanges()) {
    BlobFile->FreeBlockBuffers();
    changed = true;
  }
  if (changed) NoteFileSizes();  // another writer grew the files to what it reserved
  return changed;
}

void TDataTable::UpdateHeaderStamps(bool data, bool index, bool blob) {
  if (data) DataFile->UpdateHeaderStamp();
  if (index) IndexFile->UpdateHeaderStamp();
  if (blob && HasBlobFile()) BlobFile->UpdateHeaderStamp();
}

void TDataTable::FlushBuffers(bool adjust, bool data, bool forceFlush, bool blob, bool index) {
  if (ReadOnly) return;
  if (TransactionInProgress) {
    UpdateHeaderStamps(data, index, blob);
    return;
  }
  // With ForceBufferFlush every write was flushed already.
  const bool flushOS = forceFlush && !GetForceBufferFlush();
  const bool blobs = HasBlobFile();
  // Room first: a full disk fails here, before anything is written.
  ReserveFileSpace();
  // A writer killed part-way must leave nothing that points at bytes not yet written: BLOB
  // blocks go before the records that point at them, records before the index pages that point
  // at them, and the headers that count them all last, the index header (the stamp other
  // sessions look at first) at the very end.
  bool blobWritten = blobs && BlobFile->FlushBlockBuffers();
  bool dataWritten = DataFile->FlushRecordBuffers();
  dataWritten = DataFile->WriteFields() || dataWritten;
  bool indexWritten = IndexFile->FlushPageBuffers(false);
  if (blobs) blobWritten = BlobFile->WriteHeader(blob) || blobWritten;
  dataWritten = DataFile->WriteHeader(data) || dataWritten;
  indexWritten = IndexFile->WriteHeader(index) || indexWritten;
  if (flushOS) {
    if (blobWritten) BlobFile->Flush();
    if (dataWritten) DataFile->Flush();
    if (indexWritten) IndexFile->Flush();
  }
  if (adjust) {
    if (blobs) BlobFile->AdjustBlockBuffers();
    DataFile->AdjustRecordBuffers();
    IndexFile->AdjustPageBuffers();
  }
}

void TDataTable::ReserveFileSpace() {
  auto reserve = [](TFileHandler& file, std::int64_t size, std::int64_t& reserved) {
    if (size <= reserved) return;
    file.ReserveSize(size);
    reserved = size;
  };
  reserve(*DataFile, DataFile->GetFileSize(), reservedSizes_[0]);
  reserve(*IndexFile, IndexFile->GetFileSize(), reservedSizes_[1]);
  if (HasBlobFile()) reserve(*BlobFile, BlobFile->GetFileSize(), reservedSizes_[2]);
}

void TDataTable::NoteFileSizes() {
  reservedSizes_[0] = DataFile->GetFileSize();
  reservedSizes_[1] = IndexFile->GetFileSize();
  reservedSizes_[2] = HasBlobFile() ? BlobFile->GetFileSize() : 0;
}

void TDataTable::DiscardTransactionChanges() {
  if (!IsOpen || ReadOnly) return;
  FreeBuffers(true, true);
  IndexFile->FreePageBuffers(true);
  NoteFileSizes();
}

void TDataTable::FreeBuffers(bool adjust, bool reReadHeaders) {
  DataFile->FreeRecordBuffers();
  IndexFile->FreePageBuffers(false);
  if (HasBlobFile()) BlobFile->FreeBlockBuffers();
  if (adjust) {
    DataFile->AdjustRecordBuffers();
    IndexFile->AdjustPageBuffers();
    if (HasBlobFile()) BlobFile->AdjustBlockBuffers();
  }
  if (reReadHeaders) {
    DataFile->ReadHeader();
    IndexFile->ReadHeader();
    if (HasBlobFile()) BlobFile->ReadHeader();
  }
}

void TDataTable::FlushOSBuffers() {
  if (GetForceBufferFlush() || ReadOnly) return;
  DataFile->Flush();
  IndexFile->Flush();
  if (HasBlobFile()) BlobFile->Flush();
}

void TDataTable::ClearHeaders() {
  reservedSizes_[0] = reservedSizes_[1] = reservedSizes_[2] = 0;  // the files shrink
  DataFile->ClearHeader();
  IndexFile->ClearHeader();
  if (HasBlobFile()) BlobFile->ClearHeader();
}

void TDataTable::CheckHeaders() {
  DataFile->CheckHeader();
  IndexFile->CheckHeader();
  if (HasBlobFile()) BlobFile->CheckHeader();
}

void TDataTable::CheckHeaderVersions() {
  DataFile->CheckHeaderVersion();
  IndexFile->CheckHeaderVersion();
  if (HasBlobFile()) BlobFile->CheckHeaderVersion();
}

// ---------------------------------------------------------------------------------------------
// Transactions

void TDataTable::StartTransaction() {
  if (!IsOpen || ReadOnly || TransactionInProgress) return;
  if (Exclusive) FlushBuffers(false, false, false, false, false);
  // Temporary indexes live in a file of their own that no rollback restores: it starts clean.
  IndexFile->FlushPageBuffers(true);
  TransactionInProgress = true;
  try {
    TransactionWriteLockTable();
  } catch (...) {
    TransactionInProgress = false;
    throw;
  }
}

void TDataTable::BeginCommitTransaction() {
  if (!TransactionInProgress) return;
  // The commit writes: it needs the regions an edit inside the transaction did without.
  if (WriteLocked && writeRegionsSkipped_) ReleaseWriteLock();
  WriteLockTable();
}

void TDataTable::CommitTransaction(bool final, bool forceFlush) {
  if (!TransactionInProgress) return;
  TransactionInProgress = false;
  try {
    FlushBuffers(final, false, forceFlush, false, false);
    IndexFile->FlushPageBuffers(true);
  } catch (...) {
    TransactionInProgress = true;
    throw;
  }
  TransactionInProgress = true;
}

void TDataTable::EndCommitTransaction(bool final) {
  if (!TransactionInProgress) return;
  if (final) {
    std::exception_ptr failure;
    try {
      WriteUnlockTable();
    } catch (...) {
      failure = std::current_exception();
    }
    try {
      TransactionWriteUnlockTable();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    TransactionInProgress = false;
    if (failure) std::rethrow_exception(failure);
    return;
  }
  // The transaction goes on with its data byte; what was released inside it so far goes now.
  {
    // Released as at the transaction's end, but with the data byte still held.
    const bool transactionLocked = TransactionLocked;
    TransactionLocked = false;
    try {
      ReleaseUserLocksHeldForTransaction();
    } catch (...) {
      TransactionLocked = transactionLocked;
      throw;
    }
    TransactionLocked = transactionLocked;
  }
  WriteUnlockTable();
}

void TDataTable::RollbackTransaction() {
  if (ReadOnly || !TransactionInProgress) return;
  TransactionInProgress = false;
  std::exception_ptr failure;
  try {
    // What the transaction changed exists only in the caches: dropping them and re-reading the
    // headers returns to the state on disk.
    FreeBuffers(true, true);
    IndexFile->FreePageBuffers(true);
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    TransactionWriteUnlockTable();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace korvel
