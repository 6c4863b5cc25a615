// The table's locks, semaphores and flushes taken through a cursor. The table does the
// locking (data_table.cpp); the cursor's part is to notice what the lock revealed: when
// another session changed the table (the lock's change detection dropped the stale caches) or
// another cursor of this session did (the cursor's stamps differ from the table's), the cursor
// recomputes its range and visible set and returns to its record, so that the next read shows
// the table as it is now.

#include "engine/cursor_internal.h"

namespace korvel {

namespace {

// Whether a cursor takes table locks at all: an exclusive cursor has the table alone, and a
// table whose files are read-only cannot change.
bool TakesLocks(const TDataCursor& cursor) { return !cursor.Exclusive && !cursor.NoLocking; }

}  // namespace

bool TDataCursor::RefreshAfterLock(bool changed) {
  if (!PerformChangeDetection() && !changed) return false;
  SynchLastUpdateStamps();
  RefreshAfterChange();
  return true;
}

bool TDataCursor::ReadLockTable() {
  CheckOpen();
  CheckLocal();
  if (!TakesLocks(*this)) return false;
  // No operation bracket: it would give the lock back on the way out, and the lock is the
  // caller's until ReadUnlockTable. Reads inside the refresh find it held and leave it.
  return RefreshAfterLock(Table->ReadLockTable());
}

void TDataCursor::ReadUnlockTable() {
  CheckOpen();
  CheckLocal();
  if (TakesLocks(*this)) Table->ReadUnlockTable();
}

bool TDataCursor::WriteLockTable() {
  CheckOpen();
  CheckLocal();
  if (!TakesLocks(*this)) return false;
  TOperation operation(*this, false);
  return RefreshAfterLock(Table->WriteLockTable());
}

void TDataCursor::WriteUnlockTable() {
  CheckOpen();
  CheckLocal();
  if (TakesLocks(*this)) Table->WriteUnlockTable();
}

bool TDataCursor::UserReadLockTable() {
  CheckOpen();
  CheckLocal();
  if (!TakesLocks(*this)) return false;
  TOperation operation(*this, false);
  return RefreshAfterLock(Table->UserReadLockTable());
}

void TDataCursor::UserReadUnlockTable() {
  CheckOpen();
  CheckLocal();
  if (TakesLocks(*this)) Table->UserReadUnlockTable();
}

bool TDataCursor::UserWriteLockTable() {
  CheckOpen();
  CheckLocal();
  if (!TakesLocks(*this)) return false;
  TOperation operation(*this, false);
  return RefreshAfterLock(Table->UserWriteLockTable());
}

void TDataCursor::UserWriteUnlockTable() {
  CheckOpen();
  CheckLocal();
  if (TakesLocks(*this)) Table->UserWriteUnlockTable();
}

bool TDataCursor::UserLockSemaphore(std::int32_t number) {
  CheckOpen();
  CheckLocal();
  TOperation operation(*this, false);
  const bool locked = Table->UserLockSemaphore(number);
  // A semaphore runs no change detection of its own: only this session's changes show here.
  RefreshAfterLock(false);
  return locked;
}

bool TDataCursor::UserUnlockSemaphore(std::int32_t number) {
  CheckOpen();
  CheckLocal();
  return Table->UserUnlockSemaphore(number);
}

bool TDataCursor::TableIsLocked() const {
  CheckOpen();
  CheckLocal();
  return Table->TableIsLocked();
}

bool TDataCursor::RecordIsLocked(std::int32_t recordNumber) {
  CheckOpen();
  CheckLocal();
  if (recordNumber == 0) recordNumber = GetPhysicalRecordNumber();
  if (recordNumber == 0) return false;
  return Table->RecordIsLocked(recordNumber);
}

bool TDataCursor::TransactionInProgress() const {
  CheckOpen();
  return Table->TransactionInProgress;
}

void TDataCursor::FlushBuffers(bool always, bool adjust, bool blob, bool index, bool data) {
  CheckOpen();
  CheckLocal();
  if (Exclusive && !always)
    Table->UpdateHeaderStamps(data, index, blob);
  else
    Table->FlushBuffers(adjust, data, false, blob, index);
  // The cursor's own flush is no change by others.
  SynchLastUpdateStamps();
}

void TDataCursor::FlushOSBuffers() {
  CheckOpen();
  CheckLocal();
  Table->FlushOSBuffers();
}

void TDataCursor::FreeBuffers(bool adjust, bool reReadHeaders) {
  CheckOpen();
  CheckLocal();
  Table->FreeBuffers(adjust, reReadHeaders);
}

}  // namespace korvel
