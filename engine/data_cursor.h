#pragma once
// TDataCursor: one table as one user sees it. An open shared table (TDataTable), a current
// index order, a current record, an optional range of keys and a position that survives
// changes made by other cursors, sessions and processes. Everything above the engine reaches
// records through this class.
//
// Position model (inherited from the page-walking TBTreeCursor): in indexed navigation the
// position is a key in a private copy of a leaf page of the current index (CurrentPage,
// KeySlot) and its ordinal CursorPosition; in physical navigation (no index, or the primary
// index of a table without one) it is a physical record number and its ordinal among the
// visible records. Bof alone = before the first record, Eof alone = after the last, both = the
// visible set is empty.
//
// Bookmarks: indexed, the current key entry (KeySize bytes; unique, since a non-unique key ends
// in the record ID); physical, the 4-byte record number. All zeros: no current record.
//
// Record buffers handed in and out are RecordSize bytes laid out as in the data file:
//
//   OFFSET  SIZE  DESCRIPTION
//   0       1     status (the deleted flag on disk; block reads put 0 ok, 1 gone, 2 error)
//   1       4     record number (block reads put an error code here)
//   5       4     record ID (the value of an auto-increment field)
//   9       ...   each stored field: null-flag byte (1 = value) and PhysicalSize value bytes
//
// While a BLOB of the record is open in this cursor, the field's first 4 value bytes hold the
// negated handle of the open value instead of the first block number.
//
// Editing: every change happens inside the table's write lock and ends with a flush, so other
// sessions see it at their next lock. Every check (validity, key violations, record locks) runs
// before anything changes. If a later step fails (an index page that cannot be had, a BLOB
// write, an I/O error), the steps already done are undone in reverse before the error passes
// on, so no index holds a key without its record and no record misses a key.
//
// Seams for later layers: the filter bitmaps (FiltersActive, VisibleRecords and the
// RefreshRangeAndFilter* hooks; with no filter the cursor navigates by index and range, and
// physical navigation uses the live-records set), the full-text index maintenance (the
// *TextIndexes hooks; nothing to do without a text index), the password callback and the
// remote forms (a remote session is refused with KORVEL_REMOTECONNECT until the client
// protocol exists).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "engine/data_filter.h"
#include "engine/btree_cursor.h"
#include "engine/data_file.h"
#include "engine/index_page.h"
#include "engine/session.h"
#include "engine/text_index.h"
#include "support/records_bitmap.h"

namespace korvel {

class TDataCursor;
class TDataTable;
class TExpToken;
class TTableMaintenance;

// Status codes of positioning operations (returned, not raised).
inline constexpr int kCursorOk = 0;

// Index position meaning "no index": physical navigation.
inline constexpr std::uint8_t kNoIndexPos = 255;

// The steps of an edit after which a failure must be undone (for the failure tests).
enum class TEditStep : std::uint8_t {
  KeysChecked,     // all checks passed, nothing changed yet
  IndexKeyChanged, // one index key added, removed or replaced
  RecordChanged,   // the record image or the free chain changed
  BlobsWritten,    // the BLOB values of the record were written
  BeforeFlush,     // everything is in the caches
};

// The callback asked for a table password; true when it supplied one (into `password`).
using TPasswordCallback = std::function<bool(const std::string& table, std::string& password)>;

// Why a restructure or an index build would lose a value or a record.
enum TDataLossCause : std::uint8_t {
  dlUnknown = 0,
  dlKeyViolation = 1,
  dlValidityCheckFail = 2,
  dlFieldDeletion = 3,
  dlFieldConversion = 4,
};

// The host's data-loss callback: its user value, the cursor, the cause, the context (a field
// or index name), and two answers it may change: stop asking, continue the work.
using TCursorDataLostCallback =
    THostCallback<TDataCursor* /*cursor*/, TDataLossCause, const std::string& /*context*/, bool& /*stopAsking*/,
                  bool& /*continueWork*/>;

class TDataCursor : public TBTreeCursor {
 public:
  explicit TDataCursor(TDataDirectory* directory, bool noRequest = false);
  ~TDataCursor() override;
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // ---- Opening and closing (cursor_open.cpp) ----
  void OpenCursor(bool noRequest = false);
  void CloseCursor(bool freeTemporary = false);
  // A cursor on the same table, index, range and record.
  std::unique_ptr<TDataCursor> CloneCursor();
  // Allowed only while closed (KORVEL_TABLEOPEN otherwise).
  void SetTableName(const std::string& name);
  void SetExclusive(bool value);
  void SetOverrideExclusive(bool value);
  void SetReadOnly(bool value);
  void SetInMemory(bool value);
  void SetIsResultSet(bool value);
  void SetIsSourceTable(bool value);
  void SetIsTemporary(bool value);

  // ---- Indexes ----
  void SetIndexName(const std::string& name);
  void SetIndexPos(int pos);
  // Selects index `pos` (0 .. GetIndexCount, or 255 for none) without looking for the current
  // record again: the range is cancelled, the visible set recomputed, and the cursor stands
  // before the first record. For callers that position anew right away.
  void InternalSetIndexPos(int pos);
  int GetIndexCount() const;
  bool GetIsPhysicalNavigation() const;
  const std::string& GetIndexName() const { return IndexName; }
  std::uint8_t GetIndexPos() const { return IndexPos; }
  int GetKeyFieldCount() const { return KeyFieldCount; }
  // Definitions of the key fields of the current index.
  const std::vector<TFieldDefinition>& GetKeyFieldDefinitions() const { return keyFields_; }

  // ---- Navigation (cursor_navigation.cpp). Statuses: 0, KORVEL_BOF, KORVEL_EOF,
  // KORVEL_NOCURRREC, KORVEL_RECNOTFOUND ----
  void SetToBegin();
  void SetToEnd();
  int GetNextRecord(std::uint8_t* dest);
  int GetPriorRecord(std::uint8_t* dest);
  int GetCurrentRecord(std::uint8_t* dest, bool lockForEdit = false);
  // Reads the current record (mode 1 reads ahead forwards, 2 backwards).
  void RefreshCurrentRecord(int mode = 1);
  void Refresh();
  bool GetBof() const { return Bof; }
  bool GetEof() const { return Eof; }
  const std::uint8_t* GetCurrentRecordBuffer() const { return currentRecord_.data(); }

  // ---- Ranges and searches (cursor_search.cpp) ----
  void SetRange(bool keysGiven, const std::uint8_t* start, int startFieldCount, const std::uint8_t* end,
                int endFieldCount);
  void ResetRange();
  void CancelRange();
  void UpdateRange();
  bool GetRangeActive() const { return RangeActive; }
  bool Find(bool isKey, const std::uint8_t* source, int fieldCount, bool nearest, int partialLength,
            std::uint8_t* dest);
  bool FindIndexKey(const std::uint8_t* key, bool nearest, bool keepBoundaries);
  // The current index's key of a record buffer (KeySize bytes).
  void GetKeyValues(const std::uint8_t* record, std::uint8_t* key) const;

  // ---- Record numbers and counts ----
  bool SetToRecordNumber(std::int32_t n);
  void GotoLogicalRecordNumber(std::int32_t n);
  void GotoPhysicalRecordNumber(std::int32_t n);
  std::int32_t GetRecordNumber() const;
  std::int32_t GetPhysicalRecordNumber() const;
  std::int32_t GetRecordCount();

  // ---- Bookmarks ----
  int GetBookmarkSize() const;
  void GetBookmark(std::uint8_t* dest) const;
  void ClearBookmark(std::uint8_t* dest) const;
  bool SetToBookmark(const std::uint8_t* bookmark, bool nearest, bool noChangeCheck = false);
  int CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) const;
  int SetToDataCursor(TDataCursor& other);
  int SetToRecordBuffer(const std::uint8_t* record, bool noChangeCheck = false);
  void RepositionCurrentRecord();
  // Looks the current record up again in the current index as it is now (by its key; in
  // physical navigation by its number), after changes by anyone, and reads it afresh. True
  // when the cursor still stands on that record; false when there was none or it is gone (the
  // cursor then stands on the nearest visible record).
  bool VerifyBookmarkPosition();

  // ---- Block reads ----
  int ReadRecordBlock(std::int32_t& count, std::uint8_t* records);
  int ReadFirstRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks);
  int ReadNextRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks);
  int ReadPriorRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks);
  int ReadLastRecordBlock(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks);
  int ReadAbsoluteRecordBlock(std::int32_t n, std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks);
  int ReadBookmarkRecordBlock(std::int32_t offset, const std::uint8_t* bookmark, std::uint8_t* records,
                              std::uint8_t* bookmarks, std::int32_t& count, bool restore);
  void RefreshRecordBlock(std::int32_t count, std::uint8_t* records, std::uint8_t* bookmarks);
  std::int32_t GetNumReadAheadRecords(std::int32_t count, int direction);
  std::int32_t GetNumReadAheadBlocks(std::int64_t size) const;

  // ---- Change detection and lock wrappers ----
  void SynchLastUpdateStamps();
  bool PerformChangeDetection();
  bool CheckForCursorChanges();
  void CheckForChangeDetection();
  // Called by the table when the read lock taken for a cache miss revealed another session's
  // change: the read is abandoned (false) and the operation starts over.
  bool ReadLockForCacheMiss();
  // Record locks of this cursor; 0 means the current record.
  void UserWriteLockRecord(std::int32_t recordNumber);
  void UserWriteUnlockRecord(std::int32_t recordNumber);
  std::int32_t GetLockedRecord() const { return LockedRecord; }
  // The table's locks taken through the cursor (cursor_locks.cpp): a change by others that the
  // lock reveals refreshes the cursor's range and visible set and returns it to its record. The
  // lock calls answer whether such a change was found; exclusive cursors and tables whose files
  // are read-only lock nothing.
  bool ReadLockTable();
  void ReadUnlockTable();
  bool WriteLockTable();
  void WriteUnlockTable();
  bool UserReadLockTable();
  void UserReadUnlockTable();
  bool UserWriteLockTable();
  void UserWriteUnlockTable();
  // Semaphores 1 to 1024: false for another number or when another holder keeps it.
  bool UserLockSemaphore(std::int32_t number);
  bool UserUnlockSemaphore(std::int32_t number);
  bool TableIsLocked() const;
  // 0 asks about the current record.
  bool RecordIsLocked(std::int32_t recordNumber);
  bool TransactionInProgress() const;
  // Writes the table's cached changes; an exclusive cursor only advances the stamps unless
  // `always` (its table is written when it closes).
  void FlushBuffers(bool always, bool adjust, bool blob, bool index, bool data);
  void FlushOSBuffers();
  void FreeBuffers(bool adjust, bool reReadHeaders);

  // ---- Field access (cursor_fields.cpp). Field numbers from 1 ----
  std::int32_t GetRecordSize() const { return RecordSize; }
  std::int32_t GetFieldCount() const { return static_cast<std::int32_t>(fields_.size()); }
  const TFieldDefinition& GetFieldDefinition(std::int32_t fieldNo) const;
  std::int32_t GetFieldNumber(const std::string& name) const;
  void ClearRecord(std::uint8_t* record) const;
  void InitRecord(std::uint8_t* record);
  // value null: only IsBlank is asked. Returns IsBlank.
  bool GetField(std::int32_t fieldNo, const std::uint8_t* record, void* value) const;
  void PutField(std::int32_t fieldNo, std::uint8_t* record, const void* value, bool nullIfNegative = false,
                bool override = false);
  bool GetPhysicalField(std::int32_t fieldNo, const std::uint8_t* record, void* value) const;
  void PutPhysicalField(std::int32_t fieldNo, std::uint8_t* record, const void* value);
  static std::int32_t GetRecordID(const std::uint8_t* record);
  static void PutRecordID(std::int32_t id, std::uint8_t* record);
  static std::int32_t GetRecordNo(const std::uint8_t* record);
  static void PutRecordNo(std::uint8_t* record, std::int32_t n);
  static std::uint8_t GetRecordStatus(const std::uint8_t* record) { return record[0]; }
  static void PutRecordStatus(std::uint8_t* record, std::uint8_t s) { record[0] = s; }
  void CheckRecordValidity(const std::uint8_t* record) const;
  bool CheckField(const std::string& text, int kind, const TFieldDefinition& field, const std::uint8_t* value) const;

  // ---- Calculated fields (cursor_expressions.cpp) ----
  // Replaces the field list. A definition that is not an expression names a stored field of
  // the table by FieldNumber and takes its layout from the table; an expression field carries
  // its parsed tree in Expression (the caller keeps it; the cursor checks and keeps a copy) and
  // its type (DataType 0: the type the expression gives). Expression fields follow the stored
  // record in the cursor's record buffers, PhysicalSize + 1 bytes each, and are never written
  // to the table. Failures leave the list as it was: KORVEL_SQLPARSE for an expression that
  // does not check, KORVEL_INVALIDFLDTYPE for a field the table lacks or a BLOB-typed result,
  // and the field-list checks of the table structure.
  void SetFieldMapping(const std::vector<TFieldDefinition>& definitions);
  // Back to the table's stored fields.
  void SetDefaultFieldMapping();
  // Evaluates every expression field of the record into it (NULL when the result is NULL).
  void CalculateExpressionFields(std::uint8_t* record);
  // Reads the value of field token `token` (a stored field, by FieldNumber) of the record into
  // the token: the evaluator's field reader.
  void EvaluateCalculatedFieldData(const std::uint8_t* record, TExpToken& token);
  // Bytes of the stored record (the table's record size); RecordSize adds the expression fields.
  std::int32_t GetStoredRecordSize() const;
  bool HasValidityChecks = false;
  bool HasDefaults = false;
  bool HasExpressionFields = false;
  bool HasAutoInc = false;

  // ---- Editing (cursor_editing.cpp) ----
  void AppendRecord(std::uint8_t* record, bool reposition = true);
  void ModifyRecord(std::uint8_t* record, bool unlockAfter = true, bool reposition = true);
  void DeleteRecord(const std::uint8_t* record, bool reposition = true);
  void CancelRecord();
  int CloneCurrentRecord(std::uint8_t* dest);
  std::int32_t GetLastRecordID() const;
  void SetSuppressAutoIncValues(bool value);
  bool GetSuppressAutoIncValues() const { return SuppressAutoIncValues; }
  bool GetEditConflict() const { return EditConflict; }
  // Batch edits of records received as data (see the field-value layout in cursor_editing.cpp).
  void AddRecordBlock(std::int32_t& count, const std::uint8_t* fieldValues, std::uint8_t* bookmark,
                      std::uint8_t* record);
  void UpdateRecordBlock(std::int32_t& count, const std::uint8_t* fieldValues, const std::uint8_t* bookmark,
                         std::uint8_t* record);
  void DeleteRecordBlock(std::int32_t n, std::int32_t& deleted, const std::uint8_t* bookmarks, std::uint8_t* records);
  // Whether the key exists in the index at definition slot `slot`.
  bool KeyExistsInIndex(int slot, const std::uint8_t* key);

  // ---- BLOBs of the records of this cursor (cursor_blobs.cpp); results are engine codes ----
  int OpenBlob(std::int32_t fieldNo, std::uint8_t* record, TBlobBuffer::TOpenMode mode, bool physical,
               bool forModification, std::int64_t& size);
  int GetBlob(std::int32_t fieldNo, const std::uint8_t* record, bool physical, std::int64_t& count,
              std::int64_t length, void* dest, std::int64_t offset);
  int PutBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical, std::int64_t length, const void* source,
              std::int64_t offset);
  int TruncateBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical, std::int64_t newSize);
  int GetBlobSize(std::int32_t fieldNo, const std::uint8_t* record, bool physical, std::int64_t& size);
  int FreeBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical);
  // The whole value of a BLOB field, opened, copied out and freed again (the record's BLOB slot
  // holds the handle only meanwhile): `room(n)` returns where the value's n bytes go (n may be
  // 0). 0, or the code of the open or the read.
  template <typename TRoom>
  int ReadWholeBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical, TRoom&& room);
  void FreeAllBlobs(bool all);
  // Opens every BLOB field of the record for modification and empties it: posting the record
  // then frees the chains.
  void DeleteAllBlobs(std::uint8_t* record);
  // Discards every open value the record's BLOB fields refer to, changes and all: the fields
  // get their stored block numbers back.
  void CancelAllBlobs(std::uint8_t* record);
  std::size_t OpenBlobCount() const;

  // ---- Filters (engine/data_filter.h; implemented in filter_*.cpp) ----
  // Adds an inactive filter: an expression given as text or as a tree (a tree the cursor then
  // owns when ownsTree), or else a callback. Returns its handle. 9482 beyond 64 filters, 10051
  // for an expression that does not parse, check or give a boolean.
  int AddFilter(void* dataset, const std::string& text, TExpToken* tree, const TFilterOptions& options,
                TFilterCallback callback = nullptr, bool ownsTree = true);
  // Handle 0 means every filter; an unknown handle raises 10050.
  void DropFilter(int handle);
  void ActivateFilter(int handle);
  void DeactivateFilter(int handle);
  void ResetFilter(TExpToken* tree, int handle);
  // The combined level of all filters.
  TOptimizeLevel GetFilterOptimizeLevel() const;
  TOptimizeLevel GetFilterLevel(int handle) const;
  std::size_t GetFilterCount() const;
  // Times a visible-set rebuild started over after meeting a change by another session.
  std::uint32_t GetFilterRestarts() const;
  // ---- end of filters ----

  // ---- Full-text index (engine/text_index.h; implemented in cursor_text_index.cpp). Field
  // numbers are physical positions from 1. ----
  bool HasTextIndex() const;
  bool IsTextIndexed(std::int32_t fieldNumber) const;
  // The table's parameters in its language, read from the index file on first use.
  const TTextIndex& GetTextIndex();
  TTextIndexParams GetTextIndexParams() { return GetTextIndex().Params(); }
  // Stores the parameters. The word keys are not rebuilt: a table holding records calls
  // CreateTextIndexes afterwards (restructure does; a new or emptied table has no keys yet).
  void SetTextIndexParams(const TTextIndexParams& params);
  // Rebuilds every word key from the live records with the table's current text-index
  // definition and parameters (after a restructure that changed either).
  void CreateTextIndexes();
  // Whether every word key of the stored record is present; `keys`, when given, receives the
  // number of keys the record has (so a caller can also tell keys that belong to no record).
  bool VerifyTextIndexes(const std::uint8_t* record, std::int32_t recordNumber, std::int64_t* keys = nullptr);
  // The unique words of a text, split with the table's parameters.
  void CreateWordsList(const char* text, std::size_t length, bool wildcards, TWordList& list);
  // TEXTSEARCH and TEXTOCCURS of `search` in the field of a record buffer.
  bool TextSearch(std::int32_t fieldNumber, const std::string& search, const std::uint8_t* record);
  std::uint32_t TextOccurs(std::int32_t fieldNumber, const std::string& search, const std::uint8_t* record);
  // The text of a string or memo field (false: NULL). Memos are read from the record's open
  // value in this cursor or from the BLOB file.
  bool ReadFieldText(std::int32_t fieldNumber, const std::uint8_t* record, std::string& text);
  // ---- end of full-text index ----

  // ---- Attributes ----
  TDataDirectory* Directory;  // not owned
  TDataTable* Table = nullptr;  // shared, set while open
  std::string TableName;
  bool IsOpen = false;
  bool Exclusive = false;
  bool OverrideExclusive = false;
  bool ReadOnly = false;
  bool NoLocking = false;
  bool InMemory = false;
  bool IsResultSet = false;
  bool IsTemporary = false;
  bool Repairing = false;
  bool Upgrading = false;
  bool IsSourceTable = false;
  std::string IndexName;
  std::uint8_t IndexPos = 0;
  std::uint8_t KeyFieldCount = 0;
  std::array<bool, kMaxKeyFields> DescendingKeyFields{};
  std::int32_t RangeStartPosition = 1;
  std::int32_t RangeEndPosition = 0;
  std::int32_t FilteredRecordCount = 0;
  std::int32_t PhysicalRecordNumber = 0;
  bool FiltersActive = false;
  bool RangeUpdatesSuspended = false;
  std::int32_t RecordSize = 0;
  std::int32_t LockedRecord = 0;
  bool SuppressAutoIncValues = false;
  bool EditConflict = false;
  TPasswordCallback PasswordCallback;
  TCursorDataLostCallback DataLostCallback;
  // Calls DataLostCallback when one is set (false otherwise: the answers stay as they are).
  bool DoDataLost(TDataLossCause cause, const std::string& context, bool& stopAsking, bool& continueWork);
  // Gives every set callback that carries a user value the value `data` (hosted sessions hand
  // theirs down through the directory). PasswordCallback is a closure and keeps its own.
  void CheckCallbacks(std::int32_t data);

 protected:
  // ---- Seams for the filter layer. Without filters: indexed navigation sees every key of the
  // range, physical navigation the live records. ----
  // Recomputes the range positions and the visible set after the table may have changed.
  virtual void RefreshRangeAndFilter();
  // After this cursor appended or changed record `recordNumber`.
  virtual void RefreshRangeAndFilterUpdate(std::int32_t recordNumber);
  // After this cursor deleted record `recordNumber`.
  virtual void RefreshRangeAndFilterDelete(std::int32_t recordNumber);
  // Full-text maintenance; a table without a text index has nothing to do. ModifyTextIndexes
  // answers whether any word entry changed.
  virtual void AddTextIndexes(const std::uint8_t* record, std::int32_t recordNumber);
  virtual bool ModifyTextIndexes(const std::uint8_t* oldRecord, const std::uint8_t* newRecord,
                                 std::int32_t recordNumber);
  virtual void RemoveTextIndexes(const std::uint8_t* record, std::int32_t recordNumber);
  // Called after each step of an edit; a failure raised here is undone like any other.
  virtual void AfterEditStep(TEditStep step);

  // ---- Shared internals ----
  [[noreturn]] void RaiseCursor(TErrorCode code, const std::string& field = "", const std::string& index = "") const;
  void CheckOpen() const;
  void CheckNotOpen() const;
  void CheckNotReadOnly() const;
  void CheckLocal() const;
  // The live-records set of physical navigation.
  void BuildLiveRecords();
  // Configures a tree walker on index definition slot `slot` of this table.
  void ConfigureTree(TBTreeCursor& tree, int slot) const;
  // The key of a record for index slot `slot` (slot 31: the record index's live-form key).
  void BuildKey(int slot, const std::uint8_t* record, std::uint8_t* key) const;
  static void BuildDeletedKey(std::uint8_t deletedFlag, std::int32_t id, std::uint8_t* key);
  // Slots of every index an edit maintains: 0 (when the table has one) ... IndexCount.
  std::vector<int> EditedIndexSlots() const;

  // Navigation internals (cursor_navigation.cpp).
  void ResetPosition();
  void FirstPosition();
  void LastPosition();
  void Skip(std::int32_t n);
  // Runs a page walk; a walk abandoned because the table changed under it restarts once from
  // the bookmark taken before.
  template <typename Walk>
  void RunWalk(Walk walk, bool returnToBookmark = true);
  void RefreshAfterChange();
  // After a lock: refreshes when the lock (`changed`) or the stamps found a change; answers
  // whether one was found.
  bool RefreshAfterLock(bool changed);
  void CheckHeadersOfFirstOpener();
  void CheckPassword();
  void RebuildIndexes();
  // The tree walker for key changes, configured for slot `slot`.
  TBTreeCursor& EditTree(int slot);
  void ReturnToBookmark(const std::uint8_t* bookmark, bool nearest);
  void ReturnToBookmark(const std::vector<std::uint8_t>& bookmark, bool nearest) { ReturnToBookmark(bookmark.data(), nearest); }
  std::vector<std::uint8_t> CurrentBookmark() const;
  int CopyCurrentRecord(std::uint8_t* dest);
  void PhysicalFirst();
  void PhysicalLast();
  void PhysicalSkip(std::int32_t n);
  void PopulateForward(std::int32_t from, std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks,
                       int& status);
  void PopulateBackward(std::int32_t& count, std::uint8_t* records, std::uint8_t* bookmarks, bool moveToFront,
                        int& status);
  // Operation brackets: the change check on entry, the read lock released on exit.
  class TOperation;
  class TWriteLock;
  friend class TOperation;
  friend class TWriteLock;
  friend class TTableMaintenance;
  void LoadKeyInformation();
  void SelectIndex(int slot);

  // Field internals.
  void BuildFieldList();
  void StoreDefaults(std::uint8_t* record) const;
  void InternalGetField(const TFieldDefinition& field, const std::uint8_t* record, bool& isBlank, void* value) const;
  void InternalPutField(const TFieldDefinition& field, std::uint8_t* record, bool nullIfNegative, bool override,
                        const void* value) const;
  // Converts a default, minimum or maximum text to the native value of the field (false when
  // the type takes no such text).
  bool ConvertValueText(const std::string& text, const TFieldDefinition& field, std::uint8_t* value) const;

  // Editing internals.
  class TUndoJournal;
  void RunEdit(const std::function<void(TUndoJournal&)>& steps);
  void CheckKeyViolations(const std::uint8_t* record, const std::uint8_t* oldRecord);
  void WriteBlobsOfEdit(std::uint8_t* stored, std::int32_t recordNumber, TUndoJournal& journal, bool& blobWritten);
  void FlushEdit(bool index, bool blob);
  void AdoptPostedRecord(std::uint8_t* record, const std::vector<std::uint8_t>& stored, std::int32_t n, bool standsOnIt,
                         bool reposition);
  int BlobFieldByHandle(std::int32_t fieldNo, const std::uint8_t* record, bool physical, TBlobBuffer*& buffer,
                        const TFieldDefinition*& field) const;
  const TFieldDefinition* FieldOf(std::int32_t fieldNo, bool physical) const;
  void ApplyFieldValues(const std::uint8_t* fieldValues, std::uint8_t* record);

  std::vector<TFieldDefinition> fields_;         // the cursor's field list
  std::vector<TExpTokenPtr> expressions_;        // checked trees of the expression fields
  std::unique_ptr<TExpressionEvaluator> evaluator_;
  std::unique_ptr<TExpToken, TExpTreeDeleter> calcTarget_;  // a result converted to its field's type
  std::vector<std::uint8_t> calcScratch_;        // record copy through which BLOB values are read
  bool CalculatingField = false;
  std::vector<TFieldDefinition> keyFields_;      // key fields of the current index
  std::vector<std::uint8_t> currentRecord_;      // RecordSize bytes
  std::unique_ptr<TRecordsBitmap> liveRecords_;  // physical navigation's visible set
  std::int32_t dataStamp_ = 0;
  std::int32_t indexStamp_ = 0;
  std::int32_t blobStamp_ = 0;
  bool changeDuringRead_ = false;
  bool restartable_ = false;
  int editTreeSlot_ = -1;
  bool operationRunning_ = false;
  bool listed_ = false;  // in the directory's cursor list (hosted sessions)
  std::vector<std::unique_ptr<TBlobBuffer>> blobs_;  // open values; handle = position + 1
  TBTreeCursor editTree_;                            // key maintenance on any index
  std::vector<std::uint8_t> keyBuffer_;
  std::vector<std::uint8_t> oldKeyBuffer_;
  std::vector<std::uint8_t> findKey_;

  // ---- Filters (filter_*.cpp) ----
  friend class TFilter;
  friend class TFilterBuilder;
  std::unique_ptr<TCursorFilters> filters_;
  // Rebuilds range, live and filter bitmaps and the visible set (in liveRecords_); false when a
  // walk met a change by another session.
  bool RebuildVisibleRecords();
  void RebuildFilterBitmap();
  void AfterFilterChange();
  // Gives a clone copies of every filter, active as here.
  void CopyFiltersTo(TDataCursor& clone) const;
  // ---- end of filters ----

  // ---- Full-text index (cursor_text_index.cpp) ----
  // The word keys one hook call added and removed (68 bytes each), so that an edit that fails
  // later can take exactly them back, whatever happened to the texts meanwhile.
  struct TTextIndexChanges {
    std::vector<std::uint8_t> Added, Removed;
  };
  TTextIndexChanges TakeTextIndexChanges() { return std::move(textChanges_); }
  void UndoTextIndexChanges(const TTextIndexChanges& changes, std::int32_t recordNumber);
  void ChangeTextKeys(const std::uint8_t* record, std::int32_t recordNumber, bool add);
  void FreeTextIndexPages();
  std::unique_ptr<TTextIndex> textIndex_;
  std::int32_t textParamsRoot_ = -1;  // data root of the parameters textIndex_ was read from
  TTextIndexChanges textChanges_;
  TWordList oldWords_, newWords_, searchWords_;
  std::string searchText_;  // the text searchWords_ was split from
  std::string oldText_, newText_;
  std::vector<std::uint8_t> textScratch_;
  std::vector<std::uint8_t> textKey_;
  // ---- end of full-text index ----
};

template <typename TRoom>
int TDataCursor::ReadWholeBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical, TRoom&& room) {
  std::int64_t size = 0;
  if (int code = OpenBlob(fieldNo, record, TBlobBuffer::omRead, physical, false, size); code != 0) return code;
  void* dest = room(static_cast<std::size_t>(size));
  std::int64_t count = 0;
  const int code = size > 0 ? GetBlob(fieldNo, record, physical, count, size, dest, 0) : 0;
  FreeBlob(fieldNo, record, physical);
  return code;
}

}  // namespace korvel
