#pragma once
// TDataTable: one table as one session sees it. It owns the data, index and BLOB file objects
// with their caches, is shared by every cursor of the session on the table, and carries the
// protocol by which sessions in this and other processes share the table files directly:
// byte-range locks far beyond the data, and a 32-bit update stamp at the start of every file
// header.
//
// Lock regions (see engine/lock_primitives.h for the offsets):
//
//   LOCK                         FILE          TAKEN BY
//   record r                     data          UserWriteLockRecord
//   user table lock              data          UserWriteLockTable (covers every record byte)
//   semaphore n                  data          UserLockSemaphore (below the table region)
//   write byte                   data          WriteLockTable, TransactionWriteLockTable
//   write region                 index, BLOB   WriteLockTable (covers every read slot)
//   read slot s                  index, BLOB   ReadLockTable, UserReadLockTable
//
// Invariants:
//   - exclusive tables and tables whose files have no write bit take no lock at all;
//   - every lock this object holds is recorded in its flags, slots or RecordLocks, and the last
//     close releases all of them (semaphores excepted: they last until unlocked or until the
//     file's last handle closes);
//   - every successful lock on a shared table runs change detection, which drops whatever cache
//     another writer made stale;
//   - while a transaction is in progress nothing reaches the files: flushes only advance the
//     in-memory stamps, and record and user table unlocks are deferred to the transaction's end;
//   - a table opened through a read-only descriptor takes its read slots and probes as shared
//     locks and refuses every write lock with KORVEL_OSEACCES;
//   - lock order: internal read lock before a record lock; data write byte before the index
//     region before the BLOB region; releases in reverse.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "engine/data_file.h"
#include "engine/index_file.h"
#include "engine/text_index.h"
#include "support/records_bitmap.h"

namespace korvel {

class TDataCursor;
class TDataDirectory;
class TDataSession;

// The structure of a new table: what CreateTable writes into the three files.
struct TTableStructure {
  std::vector<TFieldDefinition> Fields;             // field 1 first
  TIndexDefinition PrimaryIndex;                    // KeyFieldCount 0: no primary index
  std::vector<TIndexDefinition> SecondaryIndexes;   // at most 30
  TIndexDefinition TextIndex;                       // full-text index; KeyFieldCount 0: none
  TTextIndexParams TextParams;                      // stop words and character sets (defaults)
  std::uint16_t LanguageID = 0;
  std::uint16_t SortID = 0;
  std::uint16_t UserMajorVersion = 0;
  std::uint16_t UserMinorVersion = 0;
  bool Encrypted = false;
  std::string Password;
  std::string Description;
  std::int32_t BlobBlockSize = kDefaultBlobBlockSize;
};

// One open table of a session.
class TDataTable : public TDataFileOwner, public TIndexFileOwner, public TBlobFileOwner {
 public:
  // Records a new table's lock bitmaps start with.
  static constexpr std::uint32_t kInitialLockBits = 8192;

  explicit TDataTable(TDataDirectory* directory);
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;
  // Rolls back a transaction still in progress and closes the table whatever its use count.
  ~TDataTable() override;

  // --- Opening, closing, use counts ---
  // Counts one more opener; the first opens the three files. A missing index file is created
  // empty (IndexMissing). Any failure closes the table again and passes the error on.
  void OpenTable();
  // Counts one opener less; the last (outside a transaction) writes an exclusive table's
  // buffers (or, for a temporary table with freeTemporary, drops them), releases every lock and
  // closes the files.
  void CloseTable(bool freeTemporary);
  // Writes the three files of a new table from `structure` and closes them again. The table is
  // not open before or after.
  void CreateTable(const TTableStructure& structure);
  // The file work of renaming and deleting a table that is not open; 0 or a negated code.
  int RenameTable(const std::string& newName, bool toBackup);
  int DeleteTable();

  void IncUseCount() { ++UseCount; }
  void DecUseCount() {
    if (UseCount > 0) --UseCount;
  }
  void IncClientUseCount() { ++ClientUseCount; }
  void DecClientUseCount() {
    if (ClientUseCount > 0) --ClientUseCount;
  }
  void SetExclusive(bool value) { Exclusive = value; }
  // Asks for a read-only open; the files can make the table read-only as well.
  void SetReadOnly(bool value) { ReadOnly = readOnlyRequested_ = value; }
  void SetInMemory(bool value) { InMemory = value; }
  void SetIsTemporary(bool value) { IsTemporary = value; }
  void SetTableName(const std::string& name) { TableName = name; }
  TDataDirectory* GetDirectory() const { return Directory; }
  // Whether the table has BLOB fields and its BLOB file is open.
  bool HasBlobFile() const;

  // --- Internal locks (cursor operations). True when another session's change was detected ---
  bool ReadLockTable();
  void ReadUnlockTable();
  // `cachedEdit`: a cursor's edit, whose changes stay in the caches inside a transaction.
  bool WriteLockTable(bool cachedEdit = false);
  void WriteUnlockTable();
  bool TransactionWriteLockTable();
  void TransactionWriteUnlockTable();

  // --- User locks ---
  bool UserReadLockTable();
  void UserReadUnlockTable();
  bool UserWriteLockTable();
  void UserWriteUnlockTable();
  bool UserWriteLockRecord(std::int32_t recordNumber);
  void UserWriteUnlockRecord(std::int32_t recordNumber);
  bool UserLockSemaphore(std::int32_t number);
  bool UserUnlockSemaphore(std::int32_t number);
  // Unlocks every record this session holds, or only those unlocked inside the transaction.
  void WriteUnlockAllRecords(bool onlyReleased);
  bool TableIsLocked() const { return UserTableLocked; }
  // Whether record r is locked by this session or (probing its byte) by anybody else.
  bool RecordIsLocked(std::int32_t recordNumber);

  // The three lock bitmaps; each grows to cover the record before it is touched.
  void AddRecordWriteLock(std::int32_t recordNumber);
  void RemoveRecordWriteLock(std::int32_t recordNumber);
  bool CheckForRecordWriteLock(std::int32_t recordNumber);
  void AddCursorRecordWriteLock(std::int32_t recordNumber);
  void RemoveCursorRecordWriteLock(std::int32_t recordNumber);
  bool CheckForCursorRecordWriteLock(std::int32_t recordNumber);
  bool HasCursorRecordLocks() const { return CursorRecordLocks->GetTotalBitsSet() != 0; }
  std::uint32_t GetRecordLockCount() const { return RecordLocks->GetTotalBitsSet(); }

  // --- Change detection and buffers ---
  // Compares the stamps on disk with the cached ones and drops the stale caches; true when
  // another session wrote any of the files since this one last looked.
  bool PerformChangeDetection();
  // Advances the cached stamps of the flagged files and marks their headers for writing.
  void UpdateHeaderStamps(bool data, bool index, bool blob);
  void FlushBuffers(bool adjust, bool data, bool forceFlush, bool blob, bool index);
  // Allocates each file up to the size its cached header gives it, so that a full disk fails
  // before anything is written; KORVEL_WRITEERR when it cannot.
  void ReserveFileSpace();
  void FreeBuffers(bool adjust, bool reReadHeaders);
  void FlushOSBuffers();

  // --- Transactions (driven by the directory) ---
  void StartTransaction();
  void BeginCommitTransaction();
  void CommitTransaction(bool final, bool forceFlush);
  void EndCommitTransaction(bool final);
  void RollbackTransaction();
  // After a failed commit: drops every cached record, page and block (written or not) and
  // re-reads the headers, so that nothing of the transaction reaches the files later.
  void DiscardTransactionChanges();

  // --- The owner interfaces of the three files ---
  std::string GetTableName() const override { return TableName; }
  std::string GetProperDataDirectoryName() const override;
  std::int32_t GetMaxTableDataBufferSize() const override;
  std::int32_t GetMaxTableDataBufferCount() const override;
  std::int32_t GetMaxTableIndexBufferSize() const override;
  std::int32_t GetMaxTableBlobBufferSize() const override;
  std::int32_t GetMaxTableBlobBufferCount() const override;
  bool GetForceBufferFlush() const override;
  std::string GetPrivateDirectory() const override;
  bool GetExclusive() const override { return Exclusive; }
  bool GetTransactionInProgress() const override { return TransactionInProgress; }
  bool GetNoPrimaryIndex() const override { return IndexFile->GetNoPrimaryIndex(); }
  bool GetEncrypted() const override { return DataFile->GetEncrypted(); }
  bool GetHeadersWritten() const override { return HeadersWritten; }
  void SetHeadersWritten() override { HeadersWritten = true; }
  // Whether a read from disk needs no further lock: some lock of this session already keeps
  // writers out, or the table takes no locks.
  bool IsReadLocked() const override;
  bool ReadLockTable(TDataCursor* cursor) override;
  std::int32_t GetNumReadAheadRecords(TDataCursor* cursor, std::int32_t count, bool forward) override;
  void SetActualRecordCount(std::int32_t count) override { IndexFile->SetActualRecordCount(count); }
  std::int32_t GetFieldCount() const override { return DataFile->GetFieldCount(); }
  bool GetKeyField(std::int32_t fieldNumber, TIndexKeyField& field) const override;
  std::int32_t GetNextFreeBlobSignature() override { return DataFile->GetNextFreeBlobSignature(); }

  // --- Pass-throughs ---
  std::int32_t GetActualRecordCount() const { return IndexFile->GetActualRecordCount(); }
  void IncActualRecordCount() { IndexFile->IncActualRecordCount(); }
  void DecActualRecordCount() { IndexFile->DecActualRecordCount(); }
  std::int32_t GetBlobFieldCount() const { return DataFile->GetBlobFieldCount(); }
  int GetIndexCount() const { return IndexFile->GetIndexCount(); }
  void SetIndexCount(int count) { IndexFile->SetIndexCount(count); }
  void SetNoPrimaryIndex(bool value) { IndexFile->SetNoPrimaryIndex(value); }
  std::int32_t GetRecordSize() const { return DataFile->GetRecordSize(); }
  std::int32_t GetBlobBlockSize() const { return DataFile->GetBlobBlockSize(); }
  std::uint16_t GetLanguageID() const { return DataFile->GetLanguageID(); }
  std::uint16_t GetSortID() const { return DataFile->GetSortID(); }
  std::uint16_t GetUserMajorVersion() const { return DataFile->GetUserMajorVersion(); }
  std::uint16_t GetUserMinorVersion() const { return DataFile->GetUserMinorVersion(); }
  std::uint8_t GetVersionNum() const { return DataFile->GetVersionNum(); }
  std::string GetDescription() const { return DataFile->GetDescription(); }
  double GetLastUpdated() const { return DataFile->GetLastUpdated(); }
  std::string GetPassword() const { return DataFile->GetPassword(); }
  const TFieldDefinition& GetFieldDefinitionByPos(std::int32_t pos) const { return DataFile->GetFieldDefinitionByPos(pos); }
  bool GetFieldDefinitionByName(const std::string& name, TFieldDefinition& definition) const {
    return DataFile->GetFieldDefinitionByName(name, definition);
  }
  std::int32_t GetFieldNumber(const std::string& name) const { return DataFile->GetFieldNumber(name); }
  void GetIndexDefinition(int slot, TIndexDefinition& definition) const { IndexFile->GetIndexDefinition(slot, definition); }
  void AddPrimaryIndex(const TIndexDefinition& definition) { IndexFile->AddPrimaryIndex(definition); }
  void AddSecondaryIndex(const TIndexDefinition& definition) { IndexFile->AddSecondaryIndex(definition); }
  void DeleteIndex(int slot, bool shift) { IndexFile->DeleteIndex(slot, shift); }
  void GetKeyFields(int slot, std::array<std::uint16_t, kMaxKeyFields>& fields) const { IndexFile->GetKeyFields(slot, fields); }
  void GetDataHeader(TDataHeader& header) const { DataFile->GetHeader(header); }
  void GetIndexHeader(TIndexHeader& header) const { IndexFile->GetHeader(header); }
  const TBlobHeader& GetBlobHeader() const { return BlobFile->GetHeader(); }
  void UpdateDataHeader(const std::string& password, const std::string& description, std::int32_t lastRecordID,
                        std::uint16_t userMajorVersion, std::uint16_t userMinorVersion) {
    DataFile->UpdateHeader(password, description, lastRecordID, userMajorVersion, userMinorVersion);
  }
  void ClearIndexHeader() { IndexFile->ClearHeader(); }
  void ClearHeaders();
  void CheckHeaders();
  void CheckHeaderVersions();
  bool GetRecord(TDataCursor* cursor, std::int32_t recordNumber, bool readAhead, bool cursorReadAhead, bool forward,
                 TRecord*& record) {
    return DataFile->GetRecord(cursor, recordNumber, readAhead, cursorReadAhead, forward, record);
  }
  void PutRecord(TRecord* record) { DataFile->PutRecord(record); }
  bool CopyRecords(TDataCursor* cursor, std::int32_t first, std::int32_t count, std::uint8_t* dest) {
    return DataFile->CopyRecords(cursor, first, count, dest);
  }
  bool GetNextFreeRecord(TDataCursor* cursor, TRecord*& record) { return DataFile->GetNextFreeRecord(cursor, record); }
  void SetNextFreeRecord(TRecord* record) { DataFile->SetNextFreeRecord(record); }
  std::int32_t GetNextFreeRecordNumber() const { return DataFile->GetNextFreeRecordNumber(); }
  std::unique_ptr<TRecord> GetNewRecordInstance() { return DataFile->GetNewRecordInstance(); }
  void ReturnRecordInstance(std::unique_ptr<TRecord> record) { DataFile->ReturnRecordInstance(std::move(record)); }
  bool GetPage(TDataCursor* cursor, int slot, std::int32_t pageNumber, TPageBuffer*& page, bool readFlag = true) {
    return IndexFile->GetPage(cursor, slot, pageNumber, page, readFlag);
  }
  void PutPage(TPageBuffer* page) { IndexFile->PutPage(page); }
  bool GetRootPage(TDataCursor* cursor, int slot, TPageBuffer*& page, bool& lockFailed) {
    return IndexFile->GetRootPage(cursor, slot, page, lockFailed);
  }
  bool GetDataRootPage(TDataCursor* cursor, int slot, TPageBuffer*& page, bool& lockFailed) {
    return IndexFile->GetDataRootPage(cursor, slot, page, lockFailed);
  }
  std::unique_ptr<TPageBuffer> GetNewPageInstance() { return IndexFile->GetNewPageInstance(); }
  void ReturnPageInstance(std::unique_ptr<TPageBuffer> page) { IndexFile->ReturnPageInstance(std::move(page)); }
  bool GetBlock(TDataCursor* cursor, std::int32_t n, bool readAhead, std::int32_t count, TBlock*& block) {
    return BlobFile->GetBlock(cursor, n, readAhead, count, block);
  }
  void PutBlock(TBlock* block) { BlobFile->PutBlock(block); }
  std::int32_t GetLastRecordID() const { return DataFile->GetLastRecordID(); }
  std::int32_t GetNextFreeRecordID() { return DataFile->GetNextFreeRecordID(); }
  void SetNextFreeRecordID(std::int32_t value) { DataFile->SetNextFreeRecordID(value); }
  std::int64_t GetDataFileSize() const { return DataFile->GetFileSize(); }
  std::int64_t GetIndexFileSize() const { return IndexFile->GetFileSize(); }
  std::int64_t GetBlobFileSize() const { return HasBlobFile() ? BlobFile->GetFileSize() : 0; }
  std::int32_t GetPhysicalRecordsUsed() const { return DataFile->GetPhysicalRecordsUsed(); }
  std::int32_t GetPhysicalPagesUsed() const { return IndexFile->GetPhysicalPagesUsed(); }
  std::int32_t GetPhysicalBlocksUsed() const { return HasBlobFile() ? BlobFile->GetPhysicalBlocksUsed() : 0; }
  std::int32_t GetLastDataUpdateStamp() const { return DataFile->GetLastUpdateStamp(); }
  std::int32_t GetLastIndexUpdateStamp() const { return IndexFile->GetLastUpdateStamp(); }
  std::int32_t GetLastBlobUpdateStamp() const { return HasBlobFile() ? BlobFile->GetLastUpdateStamp() : 0; }

  // --- Cache statistics (reset when the files open) ---
  std::uint32_t GetDataRecordCacheHits() const { return DataFile->GetCacheHits(); }
  std::uint32_t GetDataRecordCacheMisses() const { return DataFile->GetCacheMisses(); }
  std::uint32_t GetDataRecordReads() const { return DataFile->GetRecordReads(); }
  std::uint32_t GetDataRecordWrites() const { return DataFile->GetRecordWrites(); }
  std::uint32_t GetIndexPageCacheHits() const { return IndexFile->GetCacheHits(); }
  std::uint32_t GetIndexPageCacheMisses() const { return IndexFile->GetPageReads(); }
  std::uint32_t GetIndexPageReads() const { return IndexFile->GetCompletedReads(); }
  std::uint32_t GetIndexPageWrites() const { return IndexFile->GetPageWrites(); }
  std::uint32_t GetBlobBlockCacheHits() const { return BlobFile->Statistics().Hits; }
  std::uint32_t GetBlobBlockCacheMisses() const { return BlobFile->Statistics().Misses; }
  std::uint32_t GetBlobBlockReads() const { return BlobFile->Statistics().Reads; }
  std::uint32_t GetBlobBlockWrites() const { return BlobFile->Statistics().Writes; }

  TDataDirectory* Directory;  // not owned
  std::uint16_t UseCount = 0;
  std::uint16_t ClientUseCount = 0;
  std::string TableName;
  bool IsOpen = false;
  bool Exclusive = false;
  bool ReadOnly = false;
  bool ReadOnlyAttribute = false;
  bool InMemory = false;
  bool IsTemporary = false;
  std::unique_ptr<TDataFile> DataFile;
  std::unique_ptr<TIndexFile> IndexFile;
  std::unique_ptr<TBlobFile> BlobFile;
  bool IndexMissing = false;
  std::unique_ptr<TRecordsBitmap> RecordLocks;          // lock bytes this session holds
  std::unique_ptr<TRecordsBitmap> CursorRecordLocks;    // records some cursor of it locked
  std::unique_ptr<TRecordsBitmap> ReleasedRecordLocks;  // unlocked while a transaction held them
  bool UserReadLocked = false;
  bool UserTableLocked = false;
  bool UserTableLockedAtStart = false;
  bool TableUnlockPending = false;
  bool ReadLocked = false;
  bool WriteLocked = false;
  std::uint16_t ReadLockIndexSlot = 0;
  std::uint16_t ReadLockBlobSlot = 0;
  std::uint16_t UserReadLockIndexSlot = 0;
  std::uint16_t UserReadLockBlobSlot = 0;
  bool TransactionLocked = false;
  bool TransactionInProgress = false;
  std::int32_t BufferSize = 0;
  bool HeadersWritten = false;

  // Implementation details follow.
 private:
  [[noreturn]] void RaiseTable(TErrorCode code) const;
  bool TakesLocks() const { return !Exclusive && !ReadOnlyAttribute; }
  const TDataSession& Session() const;
  // Grows the three bitmaps to the records used plus one, and at least to `recordNumber`.
  void GrowLockBitmaps(std::int32_t recordNumber);
  // A read slot in the index file and (with an open BLOB file) in the BLOB file.
  bool TakeReadSlots(std::uint16_t& indexSlot, std::uint16_t& blobSlot);
  // The internal and the user read lock differ only in their flag and slots.
  bool TakeReadLock(bool& held, std::uint16_t& indexSlot, std::uint16_t& blobSlot);
  void ReleaseReadLock(bool& held, bool& setAside, std::uint16_t& indexSlot, std::uint16_t& blobSlot);
  bool ReleaseReadSlots(std::uint16_t& indexSlot, std::uint16_t& blobSlot);
  // A write region covers this session's own read slots too: they are set aside while the write
  // lock is held, and taken again when it is released.
  void SetAsideReadSlots();
  bool RestoreReadSlots();
  // Sleeps `ms` milliseconds between user-lock retries.
  static void WaitBeforeRetry(std::uint16_t ms);
  void ConfigureFiles();
  // Closes whichever files are open and clears the per-open state.
  void CloseFiles();
  // Releases every lock of this object, continuing past failures; false when one failed.
  bool ReleaseAllLocks();
  // Some file was opened for reading only (the user may not write it): such a descriptor holds
  // only shared locks, so read slots and probes are shared and write locks are refused.
  bool HasReadOnlyDescriptor() const;
  // The regions, the read slots set aside, then the data byte; false when a step failed.
  bool ReleaseWriteLock();
  // At a transaction's end (TransactionLocked already cleared): the user table lock taken or
  // unlocked during the transaction, or else the records unlocked during it.
  void ReleaseUserLocksHeldForTransaction();

  bool readOnlyRequested_ = false;
  bool readSlotsSetAside_ = false;      // ReadLocked, slots given up for the write lock
  bool writeRegionsSkipped_ = false;    // WriteLocked by an edit inside a transaction: no region held
  bool userReadSlotsSetAside_ = false;  // UserReadLocked, likewise
  bool tableUnlockDeferred_ = false;    // user table unlocked inside the transaction
  // The sizes up to which the files are known to be allocated (data, index, BLOB).
  std::int64_t reservedSizes_[3] = {0, 0, 0};
  void NoteFileSizes();
};

}  // namespace korvel
