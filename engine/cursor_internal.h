#pragma once
// Helpers shared by the cursor's implementation files: operation brackets, the write-lock
// bracket, record pins and the restartable page walk.

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"

namespace korvel {

inline std::string Trim(const std::string& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

inline bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// A token takes a field's type: data type, subtype, decimals and the size of its value.
void TakeFieldType(TExpToken& token, const TFieldDefinition& field);

// Checks a calculated field's expression tree in place against the fields `resolver` knows
// (KORVEL_SQLPARSE naming the field, the table and the database).
void CheckCalculatedExpression(TExpToken* tree, const std::string& fieldName, const std::string& tableName,
                               const std::string& databaseName, bool (*resolver)(void*, TExpToken&), void* owner);

// Inverse steps of the changes an edit made so far, undone last first.
class TDataCursor::TUndoJournal {
 public:
  void Add(std::function<void()> undo) { steps_.push_back(std::move(undo)); }
  // Runs every inverse; false when one of them failed too.
  bool Undo() {
    bool complete = true;
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      try {
        (*it)();
      } catch (...) {
        complete = false;
      }
    }
    steps_.clear();
    return complete;
  }

 private:
  std::vector<std::function<void()>> steps_;
};

// One public cursor operation: the change check on entry and, on exit (also on failure), the
// release of the read lock the operation took. Nested operations do neither.
class TDataCursor::TOperation {
 public:
  explicit TOperation(TDataCursor& cursor, bool changeCheck = true) : cursor_(cursor) {
    nested_ = cursor.operationRunning_;
    if (nested_) return;
    cursor.operationRunning_ = true;
    heldBefore_ = cursor.Table->ReadLocked;
    try {
      if (changeCheck) cursor.CheckForChangeDetection();
    } catch (...) {
      Leave();
      throw;
    }
  }
  ~TOperation() {
    if (!nested_) Leave();
  }
  TOperation(const TOperation&) = delete;
  TOperation& operator=(const TOperation&) = delete;

 private:
  void Leave() {
    cursor_.operationRunning_ = false;
    if (heldBefore_ || cursor_.Table == nullptr) return;
    try {
      cursor_.Table->ReadUnlockTable();
    } catch (...) {
      // The slot is given back with the table's last close at the latest.
    }
  }
  TDataCursor& cursor_;
  bool nested_ = false;
  bool heldBefore_ = false;
};

// The table's write lock for one edit, taken through the cursor: a change by others found on
// the way in refreshes the cursor and re-reads its current record. A write lock the caller
// already held (WriteLockTable) stays held after the edit.
class TDataCursor::TWriteLock {
 public:
  // `cachedEdit`: an append, modify or delete (see TDataTable::WriteLockTable).
  explicit TWriteLock(TDataCursor& cursor, bool cachedEdit = false) : cursor_(cursor) {
    TDataCursor::TOperation operation(cursor, false);
    const bool heldBefore = cursor.Table->WriteLocked;
    bool changed = cursor.Table->WriteLockTable(cachedEdit);
    held_ = !heldBefore;
    try {
      if (cursor.PerformChangeDetection() || changed) {
        cursor.SynchLastUpdateStamps();
        cursor.RefreshAfterChange();
      }
    } catch (...) {
      Release();
      throw;
    }
  }
  ~TWriteLock() {
    try {
      Release();
    } catch (...) {
    }
  }
  void Release() {
    if (!held_) return;
    held_ = false;
    cursor_.Table->WriteUnlockTable();
  }
  TWriteLock(const TWriteLock&) = delete;
  TWriteLock& operator=(const TWriteLock&) = delete;

 private:
  TDataCursor& cursor_;
  bool held_ = false;
};

// A record pinned in the table's cache until this object goes.
class TRecordPin {
 public:
  TRecordPin(TDataTable& table, TRecord* record) : table_(table), record_(record) {}
  ~TRecordPin() { table_.PutRecord(record_); }
  TRecordPin(const TRecordPin&) = delete;
  TRecordPin& operator=(const TRecordPin&) = delete;

 private:
  TDataTable& table_;
  TRecord* record_;
};

// Runs a page walk (a callable answering false when a page read was abandoned because the
// read lock revealed another session's change). The walk then starts over once, after the
// cursor refreshed its range and returned to where it was; the read lock is held by then, so
// the second attempt sees a stable tree.
template <typename Walk>
void TDataCursor::RunWalk(Walk walk, bool returnToBookmark) {
  if (restartable_) {
    // Inside another walk: an abandoned read restarts that one.
    if (!walk()) RaiseCursor(KORVEL_LOCKTIMEOUT);
    return;
  }
  // The bookmark lives on the stack: stepping allocates nothing.
  std::uint8_t bookmark[TPage::kMaxKeySize + 4] = {};
  const bool empty = Bof && Eof;
  if (returnToBookmark) GetBookmark(bookmark);
  for (int attempt = 0;; ++attempt) {
    changeDuringRead_ = false;
    restartable_ = attempt == 0;
    bool done = false;
    try {
      done = walk();
    } catch (const EKORVELEngineError&) {
      restartable_ = false;
      if (!changeDuringRead_ || attempt > 0) throw;
    }
    restartable_ = false;
    if (done) return;
    if (attempt > 0) RaiseCursor(KORVEL_LOCKTIMEOUT);
    SynchLastUpdateStamps();
    RefreshRangeAndFilter();
    if (returnToBookmark) {
      if (empty) {
        ResetIndexPosition();
      } else {
        ReturnToBookmark(bookmark, true);
      }
    }
  }
}

}  // namespace korvel
