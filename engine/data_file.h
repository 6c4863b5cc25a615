#pragma once
// The data file of a table (".DAT"): the table header, the field definitions and the fixed-length
// records, with the record cache that every cursor of one shared table reads and writes through.
//
// File layout (all integers little-endian):
//
//   OFFSET                          SIZE                     DESCRIPTION
//   0                               127                      table header (TDataHeader)
//   127                             768 x FieldCount         field definitions, field 1 first
//   127 + 768 x FieldCount          RecordSize x records     records, record number 1 first
//
// Record n (from 1) starts at 127 + 768 x FieldCount + (n - 1) x RecordSize, so the file is
// 127 + 768 x FieldCount + PhysicalRecordsUsed x RecordSize bytes long.
//
// Table header (TDataHeader, 127 bytes):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       4     LastUpdateStamp: incremented on every header write; the change-detection stamp
//   4       4     BlobBlockSize: block size of the BLOB file; 0 reads as 512
//   8       1     VersionNum: table format version, 5
//   9       4     FirstFreeRecord: head of the free-record chain, 0 when empty
//   13      4     NextRecordNumber: number the next appended record gets (records used + 1)
//   17      4     LastRecordID: last record ID issued
//   21      2     RecordSize: bytes per record
//   23      2     FieldCount: number of field definitions
//   25      2     BlobFieldCount: number of BLOB fields
//   27      8     LastUpdated: local date-time of the last header write (double), less 693,594
//   35      51    Description: length byte + 50; characters scrambled when Encrypted
//   86      1     Encrypted: records and field definitions are scrambled
//   87      16    Password: length byte + 15; characters scrambled; empty unless Encrypted
//   103     2     LanguageID (0 = bytewise order)
//   105     2     SortID
//   107     2     UserMajorVersion
//   109     2     UserMinorVersion
//   111     1     HeaderModified: in-memory dirty flag, written as it stands, ignored on read
//   112     4     LastBlobSignature: last BLOB signature issued
//   116     4     EngineVersion: 31900, set on every header write
//   120     4     reserved, written as 0
//   124     3     reserved, zero
//
// Field definition (TFieldDefinition, 768 bytes; the first 247 are the stored definition, the
// rest travels with it in memory and has no meaning on disk):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       2     FieldNumber: 1-based, equal to the definition's position
//   2       31    FieldName: length byte + 30
//   33      51    Description: length byte + 50
//   84      1     DataType (dtString ... dtLargeInt)
//   85      1     SubType (stAutoInc marks an auto-increment integer, stMemo a text BLOB)
//   86      1     Length: declared length of strings, bytes and variable bytes (<= 250), else 0
//   87      1     Decimals: declared scale, BCD only
//   88      1     PhysicalSize: bytes of the value in the record, without its null-flag byte
//   89      1     PhysicalDecimals: copy of Decimals
//   90      2     Offset: position of the null-flag byte in the record (5 for auto-increment)
//   92      1     Required
//   93      1     CharCase: 0 unchanged, 1 lower, 2 upper
//   94      51    MinimumValue: length byte + 50, as text
//   145     51    MaximumValue: length byte + 50, as text
//   196     51    DefaultValue: length byte + 50, as text
//   247     1     IsExpression (memory only)
//   248     4     the parsed expression (memory only; never trusted from disk)
//   253     1     Descending (memory only, for sort keys)
//   357     2     Position (memory only, filled by lookups)
//
// Record (RecordSize bytes):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       1     deleted flag: 0 live, non-zero free
//   1       4     live: the record's own number; free: next free record, 0 at the chain's end
//   5       4     record ID, unique within the table (the value of an auto-increment field)
//   9       ...   each stored field: a null-flag byte (1 = value) then PhysicalSize bytes
//
// Auto-increment and expression fields take no bytes, so RecordSize = 9 + the sum of
// (PhysicalSize + 1) over the other fields, and each Offset is the running total at its place.
//
// Invariants of the cache:
//   - the index by record number (chained buckets, a power of two at least the number of
//     records cached) holds every cached record once;
//   - the recently-used list (First ... Last) holds exactly the records of the index;
//   - a pinned (UseCount > 0) or modified record is never recycled, and a pinned one never
//     written by a flush;
//   - a record appended in the cache exists only there until a flush writes it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/lock_primitives.h"
#include "support/data_types.h"
#include "engine/table_file_owner.h"
#include "support/files.h"

namespace korvel {

class TDataCursor;  // a cursor on the table; opaque to the data file
class TDataFile;


// Sizes and limits of the format.
inline constexpr std::size_t kDataHeaderSize = 127;
inline constexpr std::size_t kFieldDefinitionSize = 768;
inline constexpr std::size_t kStoredFieldDefinitionSize = 247;
inline constexpr std::size_t kRecordHeaderSize = 9;
inline constexpr std::uint8_t kDataVersionNum = 5;
inline constexpr std::int32_t kEngineVersionNum = 31900;
inline constexpr std::int32_t kMaxFieldCount = 1024;
inline constexpr std::int32_t kMaxBlobFieldCount = 128;
inline constexpr std::int32_t kMaxRecordSize = 65535;  // RecordSize is a 16-bit field
inline constexpr std::int32_t kMaxRecordNumber = 200000000;
inline constexpr std::int64_t kMaxDataFileSize = 4000000000LL;
inline constexpr std::int32_t kMaxFieldLength = 250;
inline constexpr std::size_t kMaxDescriptionLength = 50;
inline constexpr std::size_t kMaxPasswordLength = 15;
inline constexpr std::size_t kMaxFieldNameLength = 30;
inline constexpr std::size_t kMaxValueTextLength = 50;
inline constexpr std::int32_t kRecordPoolSize = 64;     // spare TRecord objects per file
inline constexpr std::int32_t kCacheGrowth = 64;  // least growth of a cache full of pinned records (or half)
inline constexpr std::size_t kRecordVictimSearch = 8;  // least recently used records a miss looks at
inline constexpr std::int32_t kReadAheadBytes = 8192;   // run read ahead on a miss
inline constexpr std::int32_t kLongestRunBytes = 1 << 20;  // longest run a forward scan grows to
// The date-time value (days since 30 December 1899) of the engine's day 0.
inline constexpr double kDateTimeDayOffset = 693594.0;

// Record layout offsets.
inline constexpr std::size_t kRecordDeletedOffset = 0;
inline constexpr std::size_t kRecordNumberOffset = 1;  // also the next-free link of a free record
inline constexpr std::size_t kRecordIDOffset = 5;
inline constexpr std::size_t kRecordFieldsOffset = 9;

// The lock offsets of the data file are those of engine/lock_primitives.h.
inline constexpr std::int32_t kMaxSemaphore = 1024;

// The table header as held in memory. Description and Password are kept in their stored form
// (scrambled when Encrypted); TDataFile::GetDescription and GetPassword give the plain text.
struct TDataHeader {
  static constexpr std::size_t kEncodedLength = kDataHeaderSize;
  // Field offsets.
  static constexpr std::size_t kLastUpdateStamp = 0;
  static constexpr std::size_t kBlobBlockSize = 4;
  static constexpr std::size_t kVersionNum = 8;
  static constexpr std::size_t kFirstFreeRecord = 9;
  static constexpr std::size_t kNextRecordNumber = 13;
  static constexpr std::size_t kLastRecordID = 17;
  static constexpr std::size_t kRecordSize = 21;
  static constexpr std::size_t kFieldCount = 23;
  static constexpr std::size_t kBlobFieldCount = 25;
  static constexpr std::size_t kLastUpdated = 27;
  static constexpr std::size_t kDescription = 35;
  static constexpr std::size_t kEncrypted = 86;
  static constexpr std::size_t kPassword = 87;
  static constexpr std::size_t kLanguageID = 103;
  static constexpr std::size_t kSortID = 105;
  static constexpr std::size_t kUserMajorVersion = 107;
  static constexpr std::size_t kUserMinorVersion = 109;
  static constexpr std::size_t kHeaderModified = 111;
  static constexpr std::size_t kLastBlobSignature = 112;
  static constexpr std::size_t kEngineVersion = 116;
  static constexpr std::size_t kReserved = 120;

  std::int32_t LastUpdateStamp = 0;   // change-detection stamp
  std::int32_t BlobBlockSize = 0;     // 0 reads as 512
  std::uint8_t VersionNum = 0;        // format version, 5
  std::int32_t FirstFreeRecord = 0;   // head of the free chain, 0 when empty
  std::int32_t NextRecordNumber = 0;  // records used + 1
  std::int32_t LastRecordID = 0;      // last ID issued
  std::uint16_t RecordSize = 0;       // bytes per record
  std::uint16_t FieldCount = 0;       // field definitions
  std::uint16_t BlobFieldCount = 0;   // BLOB fields
  double LastUpdated = 0;             // local date-time of the last write, less 693,594
  std::string Description;            // stored form, at most 50 bytes
  bool Encrypted = false;             // records and definitions scrambled
  std::string Password;               // stored form, at most 15 bytes
  std::uint16_t LanguageID = 0;       // 0 = bytewise order
  std::uint16_t SortID = 0;           // order within the language
  std::uint16_t UserMajorVersion = 0; // application's own
  std::uint16_t UserMinorVersion = 0; // application's own
  bool HeaderModified = false;        // unwritten changes
  std::int32_t LastBlobSignature = 0; // last BLOB signature issued
  std::int32_t EngineVersion = 0;     // engine that last wrote the header
  std::int32_t Reserved = 0;          // written as 0

  // Writes kEncodedLength bytes.
  void EncodeTo(std::uint8_t* out) const;
  // Reads kEncodedLength bytes; false when a short string's length byte exceeds its width.
  static bool DecodeFrom(const std::uint8_t* in, TDataHeader& header);
};

// One field definition as held in memory (768 bytes on disk, 247 of them meaningful).
struct TFieldDefinition {
  static constexpr std::size_t kEncodedLength = kFieldDefinitionSize;
  static constexpr std::size_t kFieldNumber = 0;
  static constexpr std::size_t kFieldName = 2;
  static constexpr std::size_t kDescription = 33;
  static constexpr std::size_t kDataType = 84;
  static constexpr std::size_t kSubType = 85;
  static constexpr std::size_t kLength = 86;
  static constexpr std::size_t kDecimals = 87;
  static constexpr std::size_t kPhysicalSize = 88;
  static constexpr std::size_t kPhysicalDecimals = 89;
  static constexpr std::size_t kOffset = 90;
  static constexpr std::size_t kRequired = 92;
  static constexpr std::size_t kCharCase = 93;
  static constexpr std::size_t kMinimumValue = 94;
  static constexpr std::size_t kMaximumValue = 145;
  static constexpr std::size_t kDefaultValue = 196;
  static constexpr std::size_t kIsExpression = 247;
  static constexpr std::size_t kExpression = 248;
  static constexpr std::size_t kDescending = 253;
  static constexpr std::size_t kPosition = 357;

  std::uint16_t FieldNumber = 0;       // 1-based
  std::string FieldName;               // at most 30 characters
  std::string Description;             // at most 50
  std::uint8_t DataType = 0;           // dt...
  std::uint8_t SubType = 0;            // st...
  std::uint8_t Length = 0;             // strings, bytes, variable bytes
  std::uint8_t Decimals = 0;           // BCD scale
  std::uint8_t PhysicalSize = 0;       // value bytes in the record
  std::uint8_t PhysicalDecimals = 0;   // copy of Decimals
  std::uint16_t Offset = 0;            // null-flag byte in the record
  bool Required = false;               // null rejected
  std::uint8_t CharCase = 0;           // 0 unchanged, 1 lower, 2 upper
  std::string MinimumValue;            // text, empty = none
  std::string MaximumValue;            // text, empty = none
  std::string DefaultValue;            // text, empty = none
  bool IsExpression = false;           // memory only: computed, not stored
  void* Expression = nullptr;          // memory only: the parsed expression, not owned
  bool Descending = false;             // memory only: sort descending
  std::uint16_t Position = 0;          // memory only: set by lookups
  // Bytes 247..767 as read, so that a definition is written back as it came; the memory-only
  // fields above are laid over them on encoding (the expression slot is written as zero).
  std::vector<std::uint8_t> MemoryTail;

  bool IsAutoInc() const { return DataType == dtInteger && SubType == stAutoInc; }
  // Takes bytes in the record (null flag and value): 0 for auto-increment and expression fields.
  bool IsStored() const { return !IsAutoInc() && !IsExpression; }

  void EncodeTo(std::uint8_t* out) const;
  // False when a short string's length byte exceeds its width.
  static bool DecodeFrom(const std::uint8_t* in, TFieldDefinition& definition);
};

// A field as the creator of a table states it: name, type, length (of strings and bytes) and
// subtype; creating the table fills in the rest.
inline TFieldDefinition MakeField(const std::string& name, std::uint8_t type, std::uint8_t length = 0,
                                  std::uint8_t subType = stNone) {
  TFieldDefinition f;
  f.FieldName = name;
  f.DataType = type;
  f.Length = length;
  f.SubType = subType;
  return f;
}

// PhysicalSize from DataType and Length (0 for an unknown type).
std::uint8_t PhysicalSizeOf(std::uint8_t dataType, std::uint8_t length);
// Sets PhysicalSize and PhysicalDecimals from the declared type, length and decimals.
void UpdateFieldSize(TFieldDefinition& definition);
// Whether a type code is one of the field data types.
bool IsValidDataType(std::uint8_t dataType);
// Whether fields of the type declare a Length (strings, bytes, variable bytes); other types
// keep it 0.
bool HasDeclaredLength(std::uint8_t dataType);
// Whether a field name may begin with the byte (a letter, or any byte of a code page's upper half).
bool IsFieldNameStart(unsigned char c);
// Whether a default, minimum or maximum text is a value of the field's type (ANSI forms; the
// current-date words for dates and times).
bool IsFieldValueText(const TFieldDefinition& field, const std::string& text);

// The narrow set of services a data file asks of the shared table that owns it. The shared
// table implements it; tools and tests use TPlainDataFileOwner.
class TDataFileOwner : public TTableFileOwner {
 public:
  // Session settings: cache limits, the folder for temporary files.
  virtual std::int32_t GetMaxTableDataBufferSize() const = 0;
  virtual std::int32_t GetMaxTableDataBufferCount() const = 0;
  virtual std::string GetPrivateDirectory() const = 0;
  // Table state.
  virtual bool GetExclusive() const = 0;
  virtual bool GetNoPrimaryIndex() const = 0;
  // The cursor's estimate of how many of the next `count` records it will read in one run.
  virtual std::int32_t GetNumReadAheadRecords(TDataCursor* cursor, std::int32_t count, bool forward) = 0;
  // The table's live-record count, kept in the index file.
  virtual void SetActualRecordCount(std::int32_t count) = 0;
};

// An owner with fixed settings: the engine session's defaults, no locking, no index file.
class TPlainDataFileOwner : public TPlainTableFileOwner<TDataFileOwner> {
 public:
  std::int32_t GetMaxTableDataBufferSize() const override { return MaxTableDataBufferSize; }
  std::int32_t GetMaxTableDataBufferCount() const override { return MaxTableDataBufferCount; }
  std::string GetPrivateDirectory() const override { return PrivateDirectory; }
  bool GetExclusive() const override { return Exclusive; }
  bool GetNoPrimaryIndex() const override { return NoPrimaryIndex; }
  std::int32_t GetNumReadAheadRecords(TDataCursor*, std::int32_t count, bool) override {
    return CursorReadAhead < 0 ? count : CursorReadAhead;
  }
  void SetActualRecordCount(std::int32_t count) override { ActualRecordCount = count; }

  std::int32_t MaxTableDataBufferSize = 16384;
  std::int32_t MaxTableDataBufferCount = 8192;
  std::string PrivateDirectory;
  bool Exclusive = false;
  bool NoPrimaryIndex = false;
  std::int32_t CursorReadAhead = -1;  // -1: as many as asked
  std::int32_t ActualRecordCount = -1;
};

// One cached record of a data file.
class TRecord {
 public:
  explicit TRecord(TDataFile* owner);
  TRecord(const TRecord&) = delete;
  TRecord& operator=(const TRecord&) = delete;

  // Clears the buffer (sized to the file's record size), stores RecordNumber at offset 1 and,
  // when newID, the next record ID at offset 5. Modified is then set exactly when newID.
  void Initialize(bool newID);
  // Sizes the buffer to the file's record size and clears Modified, leaving the bytes as they
  // are; for a buffer that is about to be filled completely.
  void Prepare();
  // Takes a record image from the file: descrambles `source` in place when the table is
  // scrambled, copies it in and, for a live record, overwrites offset 1 with RecordNumber.
  void Read(std::uint8_t* source);
  // Copies the record out, scrambling the copy when needed, and clears Modified.
  void Write(std::uint8_t* dest);

  bool GetIsDeleted() const { return buffer_[kRecordDeletedOffset] != 0; }
  void SetIsDeleted(bool value);
  // The next-free link of a free record; 0 for a live one.
  std::int32_t GetNextFreeRecord() const;
  void SetNextFreeRecord(std::int32_t value);
  std::int32_t GetRecordID() const;
  void SetRecordID(std::int32_t value);
  std::int32_t GetRecordNumber() const { return RecordNumber; }
  // Also rewrites offset 1 of a live record.
  void SetRecordNumber(std::int32_t value);
  void Copy(const TRecord& source);
  // Same deleted flag and equal bytes.
  bool IsEqualTo(const TRecord& other) const;
  bool IsEqualToRecordBuffer(const std::uint8_t* buffer) const;
  // Copies bytes 9 onward from a caller's buffer of RecordSize bytes and sets Modified.
  void CopyRecordBuffer(const std::uint8_t* buffer);
  void IncUseCount() { ++UseCount; }
  void DecUseCount() {
    if (UseCount > 0) --UseCount;
  }
  void ClearUseCount() { UseCount = 0; }

  std::uint8_t* Buffer() { return buffer_.get(); }
  const std::uint8_t* Buffer() const { return buffer_.get(); }
  // Sort-key buffer, grown in 64-byte steps.
  std::uint8_t* SortKey(std::size_t size);
  const std::uint8_t* SortKey() const { return sortKey_.get(); }
  std::size_t SortKeySize() const { return sortKeySize_; }

  TDataFile* Owner;
  bool Modified = false;
  std::uint16_t UseCount = 0;
  bool Detached = false;  // dropped from the cache while pinned; freed by its last PutRecord
  std::int32_t RecordNumber = 0;
  std::uint16_t RecordSize = 0;
  TRecord* Next = nullptr;  // towards Last (less recently used)
  TRecord* HashNext = nullptr;  // next record of the same bucket of the cache's index
  TRecord* Prev = nullptr;  // towards First (more recently used)

 private:
  void Resize(std::size_t size);
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  std::unique_ptr<std::uint8_t[]> sortKey_;
  std::size_t sortKeyCapacity_ = 0;
  std::size_t sortKeySize_ = 0;
};

// A pool of up to 64 spare records of one data file.
class TRecordStack {
 public:
  explicit TRecordStack(TDataFile* owner) : owner_(owner) {}
  // The last pooled record (re-initialised, use count cleared) or a new one.
  std::unique_ptr<TRecord> GetNewRecordInstance();
  // Pools the record, or frees it when the pool is full.
  void ReturnRecordInstance(std::unique_ptr<TRecord> record);
  std::size_t Count() const { return pool_.size(); }
  void Clear() { pool_.clear(); }

 private:
  TDataFile* owner_;
  std::vector<std::unique_ptr<TRecord>> pool_;
};

// Handler of grouped sorts: the SQL engine's group, finish and accept steps.
class TSortGroupHandler {
 public:
  virtual ~TSortGroupHandler() = default;
  // For the first record of a group (startsGroup), `row` is the new group row (a copy of the
  // record) and `data` the previous group's finished row, or the record itself for the first
  // group; for every further record `row` is the group row and `data` the record.
  virtual void GroupRecord(TRecord& row, const TRecord& data, bool startsGroup) = 0;
  virtual void FinishGroup(TRecord& row) = 0;
  // Whether a finished group row is kept.
  virtual bool AcceptGroup(TRecord& row) = 0;
};

// Arguments of SortRecordBuffers.
struct TSortOptions {
  std::vector<TFieldDefinition> Fields;  // sort fields, Descending per field
  std::int32_t Limit = -1;               // rows to keep, negative = all
  bool Distinct = false;                 // drop rows whose sort fields equal the previous row's
  bool CaseInsensitive = false;          // string keys upper-cased
  TSortGroupHandler* Group = nullptr;    // grouped rows, or null
};

// The data file of one table.
class TDataFile : public TFileHandler {
 public:
  explicit TDataFile(TDataFileOwner* owner);
  ~TDataFile() override;

  void OpenFile() override;
  void CloseFile() override;

  // --- Header and definitions ---
  void ReadHeader();
  bool WriteHeader(bool force);
  void UpdateHeaderStamp();
  void ClearHeader();
  void GetHeader(TDataHeader& header) const { header = header_; }
  const TDataHeader& Header() const { return header_; }
  void UpdateHeader(const std::string& password, const std::string& description, std::int32_t lastRecordID,
                    std::uint16_t userMajorVersion, std::uint16_t userMinorVersion);
  bool CheckForChanges();
  void ReadFields();
  bool WriteFields();
  void FreeFieldDefinitions();
  // Builds the header and definitions of a new table and creates the file; the caller writes
  // them (WriteHeader, WriteFields). PhysicalSize, Offset and FieldNumber of the definitions are
  // laid out here.
  void CreateDataFile(std::uint16_t languageID, std::uint16_t sortID, std::uint16_t userMajorVersion,
                      std::uint16_t userMinorVersion, bool encrypted, const std::string& password,
                      const std::string& description, std::int32_t blobBlockSize,
                      const std::vector<TFieldDefinition>& definitions);
  // The full verification of the header and definitions.
  void CheckHeader();
  void CheckHeaderVersion();
  // 1-based.
  const TFieldDefinition& GetFieldDefinitionByPos(std::int32_t pos) const;
  // Copies with Position set; false when there is none.
  bool GetFieldDefinitionByNumber(std::int32_t number, TFieldDefinition& definition) const;
  bool GetFieldDefinitionByName(const std::string& name, TFieldDefinition& definition) const;
  std::int32_t GetFieldNumber(const std::string& name) const;
  void UpdateFieldDefinitionByPos(std::int32_t pos, const TFieldDefinition& definition);

  std::int32_t GetFieldCount() const { return header_.FieldCount; }
  std::int32_t GetBlobFieldCount() const { return header_.BlobFieldCount; }
  std::int32_t GetRecordSize() const { return header_.RecordSize; }
  std::int32_t GetBlobBlockSize() const { return header_.BlobBlockSize == 0 ? 512 : header_.BlobBlockSize; }
  std::uint16_t GetLanguageID() const { return header_.LanguageID; }
  std::uint16_t GetSortID() const { return header_.SortID; }
  std::uint16_t GetUserMajorVersion() const { return header_.UserMajorVersion; }
  std::uint16_t GetUserMinorVersion() const { return header_.UserMinorVersion; }
  std::uint8_t GetVersionNum() const { return header_.VersionNum; }
  std::int32_t GetLastUpdateStamp() const { return header_.LastUpdateStamp; }
  // The local date-time value (days since 30 December 1899) of the last header write.
  double GetLastUpdated() const { return header_.LastUpdated + kDateTimeDayOffset; }
  std::string GetDescription() const;
  bool GetEncrypted() const { return header_.Encrypted; }
  std::string GetPassword() const;
  std::int32_t GetLastRecordID() const { return header_.LastRecordID; }
  std::int32_t GetPhysicalRecordsUsed() const { return header_.NextRecordNumber - 1; }
  std::int64_t GetFileSize() const;
  std::string GetTableName() const { return owner_->GetTableName(); }
  std::string GetProperDataDirectoryName() const { return owner_->GetProperDataDirectoryName(); }
  bool GetFieldsModified() const { return fieldsModified_; }

  // --- Records ---
  // Pins and returns record `recordNumber` (appending when it is NextRecordNumber). False, with
  // no record, when the read lock for a read from disk was refused.
  bool GetRecord(TDataCursor* cursor, std::int32_t recordNumber, bool readAhead, bool cursorReadAhead,
                 bool forward, TRecord*& record);
  void PutRecord(TRecord* record);
  // Copies records first ... first + count - 1 into dest (RecordSize bytes each) as GetRecord
  // would hand them out, for scans that only read: a cached record's image (it may hold
  // unwritten changes), else the file's, read in runs and not entered in the cache, so a scan
  // neither evicts nor reorders what others cached. False, with dest partly filled, when the
  // read lock needed to read the file was refused.
  bool CopyRecords(TDataCursor* cursor, std::int32_t first, std::int32_t count, std::uint8_t* dest);
  // The record the next append uses (the free chain's head with a primary index, else a fresh
  // one), pinned; FirstFreeRecord moves on when it came from the chain.
  bool GetNextFreeRecord(TDataCursor* cursor, TRecord*& record);
  // Marks the record deleted and makes it the head of the free chain.
  void SetNextFreeRecord(TRecord* record);
  std::int32_t GetNextFreeRecordNumber() const;
  void SetNextFreeRecordNumber(std::int32_t value);
  std::int32_t GetNextFreeRecordID();
  void SetNextFreeRecordID(std::int32_t value);
  std::int32_t GetNextFreeBlobSignature();
  bool FlushRecordBuffers();
  void FreeRecordBuffers();
  void AdjustRecordBuffers();
  // Sorts the records of the file in place (result tables).
  void SortRecordBuffers(const TSortOptions& options);

  std::unique_ptr<TRecord> GetNewRecordInstance() { return stack_.GetNewRecordInstance(); }
  void ReturnRecordInstance(std::unique_ptr<TRecord> record) { stack_.ReturnRecordInstance(std::move(record)); }

  // --- Locks (byte ranges of the locking protocol) ---
  bool WriteLock();
  bool WriteUnlock();
  bool UserWriteLockRecord(std::int32_t recordNumber);
  bool UserWriteUnlockRecord(std::int32_t recordNumber);
  bool UserWriteLockTable();
  bool UserWriteUnlockTable();
  bool UserLockSemaphore(std::int32_t number);
  bool UserUnlockSemaphore(std::int32_t number);

  // --- Cache statistics and state (reset on opening) ---
  std::uint32_t GetCacheHits() const { return cacheHits_; }
  std::uint32_t GetCacheMisses() const { return cacheMisses_; }
  std::uint32_t GetRecordReads() const { return recordReads_; }
  std::uint32_t GetRecordWrites() const { return recordWrites_; }
  std::int32_t GetRecordBufferCount() const { return static_cast<std::int32_t>(cachedCount_); }
  std::int32_t GetRecordBufferCapacity() const { return capacity_; }
  std::int32_t GetReadAheadLimit() const { return readAheadLimit_; }
  TRecord* GetFirstRecordBuffer() const { return first_; }
  TRecord* GetLastRecordBuffer() const { return last_; }
  // Offset of record n in the file.
  std::int64_t RecordOffset(std::int32_t recordNumber) const;
  std::int64_t RecordAreaOffset() const;

  // Scrambling of record images and of the definitions block (no-ops for a plain table).
  void ScrambleData(std::uint8_t* buffer, std::size_t length) const;
  TDataFileOwner* Owner() const { return owner_; }

  // --- Cache primitives ---
  // The cached record, or null.
  TRecord* FindCachedRecord(std::int32_t recordNumber) const;
  // The cached records in ascending record number.
  std::vector<TRecord*> CachedRecordsInOrder() const;
  void InsertAsFirstRecordBuffer(TRecord* record);
  void MoveToFirstRecordBuffer(TRecord* record);
  void DeleteRecordBuffer(TRecord* record);
  // A least recently used record that is neither modified nor pinned, or null: among the last
  // few records, or with `all` among every record.
  TRecord* FindRecordBufferToDelete(bool all);
  // A cleared buffer for a record not cached (new, or the least recently used clean one
  // recycled), in the index and at the front of the recently-used list.
  TRecord* GetNewRecordBuffer(std::int32_t recordNumber);
  bool DeleteLastRecordBuffer();
 private:
  friend class TRecord;
  friend class TDataFileSorter;
  [[noreturn]] void RaiseTable(TErrorCode code) const;
  void CheckOpenedHeader();
  std::int32_t ComputeCacheLimit() const;
  void ReadRecordBuffers(std::int32_t first, std::int32_t count, bool forward);
  // Into the index and at the front of the recently-used list.
  void InsertRecordBuffer(TRecord* record);
  // Takes the record out of the index and the recently-used list.
  TRecord* DetachRecordBuffer(TRecord* record);
  void IndexInsert(TRecord* record);
  void IndexRemove(TRecord* record);
  void IndexRehash(std::size_t buckets);
  // Records the next forward run reads ahead: longer while the misses follow one another.
  std::int32_t ForwardRunLength(std::int32_t recordNumber);
  void ReleaseRecordBuffer(TRecord* record);
  TRecord* FindOrFlushRecordBufferToDelete();
  // A detached buffer for the record: new while the cache is below capacity, else a recycled
  // one, else new with the capacity grown. Without `clear` the buffer is only sized: the caller
  // fills all of it.
  TRecord* AcquireRecordBuffer(std::int32_t recordNumber, bool clear);
  void UnlinkRecordBuffer(TRecord* record);
  void EnsureReadBuffer(std::size_t size);
  void EnsureWriteBuffer(std::size_t size);
  std::string PlainText(const std::string& stored) const;
  std::string StoredText(const std::string& plain) const;
  void TruncateRecords(std::int32_t recordCount);

  TDataFileOwner* owner_;
  TDataHeader header_;
  std::vector<std::unique_ptr<TFieldDefinition>> fields_;
  bool fieldsModified_ = false;
  std::unique_ptr<std::uint8_t[]> readBuffer_;
  std::size_t readBufferSize_ = 0;
  std::unique_ptr<std::uint8_t[]> writeBuffer_;
  std::size_t writeBufferSize_ = 0;
  std::vector<TRecord*> buckets_;                        // the index: record number & (size - 1)
  std::size_t cachedCount_ = 0;                          // records cached (owned, in the index)
  std::vector<TRecord*> detachedRecords_;                // owned; pinned records dropped from the cache
  std::int32_t capacity_ = 0;                            // cache limit
  TRecord* first_ = nullptr;                             // most recently used
  TRecord* last_ = nullptr;                              // least recently used
  std::int32_t readAheadLimit_ = 1;
  std::int32_t nextRunStart_ = 0;                        // record after the last forward run read
  std::int32_t runLength_ = 0;                           // records of that run
  std::int64_t readWindowOffset_ = 0;                    // read in progress
  std::int64_t readWindowLength_ = 0;
  std::uint32_t cacheHits_ = 0;
  std::uint32_t cacheMisses_ = 0;
  std::uint32_t recordReads_ = 0;
  std::uint32_t recordWrites_ = 0;
  TRecordStack stack_;
  // Records handed out since the last flush (by number): the only ones a flush needs to look
  // at, unless there were more than kMaxHandedOut of them.
  static constexpr std::size_t kMaxHandedOut = 4096;
  void NoteHandedOut(std::int32_t recordNumber);
  std::vector<std::int32_t> handedOut_;
  bool handedOutOverflow_ = true;
  std::vector<TRecord*> flushCandidates_;
};

}  // namespace korvel
