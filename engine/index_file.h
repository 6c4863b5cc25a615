#pragma once
// The index file of a table (".IDX"): the index header with the definitions of every index of
// the table, followed by the 4,096-byte pages of the index B-trees, and the per-index page cache
// that every cursor of one shared table reads and writes through.
//
// File layout (all integers little-endian):
//
//   OFFSET           SIZE    DESCRIPTION
//   0                4096    index header (TIndexHeader)
//   n x 4096         4096    page n, n = 1 ... NextEndingPageNumber - 1
//
// so PhysicalPagesUsed = NextEndingPageNumber - 1 and the file is 4096 + PhysicalPagesUsed x 4096
// bytes long. The header of an encrypted table is scrambled as one 4,096-byte block with the
// table-data seed pair; so is every page.
//
// Index header (TIndexHeader, 4,096 bytes):
//
//   OFFSET  SIZE      DESCRIPTION
//   0       4         LastUpdateStamp: incremented on every header write; change-detection stamp
//   4       4         reserved, zero
//   8       1         VersionNum: format version, 5
//   9       4         NextEndingPageNumber: page the next extension of the file creates; 1 if empty
//   13      1         IndexCount: number of secondary indexes, 0 to 30
//   14      33 x 120  IndexDefinitions: definition slots 0 ... 32 (TIndexDefinition)
//   3974    4         ActualRecordCount: live records of the table
//   3978    1         NoPrimaryIndex: the table has no primary index
//   3979    1         HeaderModified: in-memory dirty flag, written as it stands, ignored on read
//   3980    116       reserved, zero
//
// Definition slots: 0 the primary index (name always empty); 1 ... IndexCount the secondary
// indexes in creation order; 31 "Sys Deleted" (deleted flag + record ID, 5-byte keys); 32
// "Sys Text" (the full-text word index, 68-byte keys, full compression). Slots above IndexCount
// and below 31 are unused and may hold stale bytes; the definition removed last is parked in the
// first of them.
//
// Index definition (TIndexDefinition, 120 bytes):
//
//   OFFSET  SIZE     DESCRIPTION
//   0       31       IndexName: length byte + 30; empty for the primary index
//   31      2        KeySize: sum of (indexed size + 1) over the key fields, + 4 if not unique
//   33      1        Descending: the whole index descends
//   34      1        CaseInsensitive: string key values are upper-cased
//   35      1        Unique: keys are unique (always for the primary index)
//   36      1        Compression: 0 none, 1 duplicate bytes, 2 trailing bytes, 3 both
//   37      1        KeyFieldCount: 0 to 16
//   38      16       DescendingKeyFields: per key field, descending
//   54      16 x 2   KeyFields: field numbers; unused entries 0, only after the used ones
//   86      4        RootPageNumber: root of the B-tree, 0 = empty
//   90      4        NextFreePageNumber: head of the index's free-page chain, 0 = none
//   94      2        reserved, zero
//   96      4        DataRootPageNumber: root of the index's chain of data pages
//   100     1        NoKeyCounts: node pages keep no lower key counts
//   101     1        Temporary: in memory only; never written to the file
//   102     18       reserved, zero
//
// Page header (the first 13 bytes of every page; the body is the B-tree's):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       1     PageType: 0 root node, 1 node, 2 leaf, 3 root leaf, 4 data page
//   1       2     KeyEntryCount: entries on the page, 0 for a free page
//   3       4     LeftPageNumber: previous page of the level, 0 if none
//   7       4     RightPageNumber: next page of the level; of a free page, the next free page
//   11      2     CompressedSize: body bytes used by a compressed leaf, else 0
//   13      4083  body
//
// Invariants of the cache:
//   - each slot caches only its own index's pages, so one index never evicts another's;
//   - a slot's Pages hold every cached page of the slot once, in ascending page number, and its
//     recently-used list (First ... Last) holds exactly the same pages;
//   - a pinned (UseCount > 0) or modified page is never recycled, and a pinned one never written;
//   - a page appended at the end of the file exists only in the cache until a flush writes it;
//   - freed pages go onto the free chain of their own index and are reused only by it;
//   - temporary indexes keep their pages in a temporary page file of their own, and their
//     definitions never reach the index file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/lock_primitives.h"
#include "engine/table_file_owner.h"
#include "support/files.h"

namespace korvel {

class TDataCursor;  // a cursor on the table; opaque to the index file
class TDataFile;
class TIndexFile;

// Sizes and limits of the format.
inline constexpr std::size_t kIndexPageSize = 4096;
inline constexpr std::size_t kIndexHeaderSize = 4096;
inline constexpr std::size_t kIndexDefinitionSize = 120;
inline constexpr int kIndexSlotCount = 33;
inline constexpr int kPrimaryIndexSlot = 0;
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr int kSysDeletedSlot = 31;
inline constexpr int kSysTextSlot = 32;
inline constexpr int kMaxKeyFields = 16;
inline constexpr std::size_t kMaxIndexNameLength = 30;
inline constexpr int kMaxIndexedKeyBytes = 522;  // sum of (indexed size + 1) over the key fields
inline constexpr std::uint8_t kIndexVersionNum = 5;
inline constexpr std::int32_t kMaxIndexPageNumber = 2000000000;
inline constexpr std::int64_t kMaxIndexFileSize = 4000000000LL;
inline constexpr const char* kSysDeletedIndexName = "Sys Deleted";
inline constexpr const char* kSysTextIndexName = "Sys Text";
inline constexpr std::uint16_t kSysDeletedKeySize = 5;
inline constexpr std::uint16_t kSysTextKeySize = 68;
inline constexpr std::uint8_t kSysTextCompression = 3;
inline constexpr std::uint8_t kMaxCompression = 3;  // 0 none, 1 duplicates, 2 trailing, 3 both

// The page cache.
inline constexpr std::int32_t kIndexCacheBytesPerPage = 8192;  // MaxTableIndexBufferSize div this
inline constexpr std::int32_t kIndexCacheGrowth = 4;  // least growth of a full, pinned slot (or half of it)
inline constexpr std::size_t kPageVictimSearch = 8;  // least recently used pages a miss looks at
inline constexpr std::size_t kPagePoolSize = 4;                // spare page objects per file

// Locks in the index file (see the shared-table locking protocol).
inline constexpr std::int64_t kIndexWriteLockOffset = kPageWriteLockOffset;  // 0xFFFEFFFF
inline constexpr std::int64_t kIndexWriteLockLength = kPageWriteLockLength;  // 65,536
inline constexpr std::int64_t kIndexReadLockBase = kReadSlotBase;            // slot s at base - s

// One index definition as held in memory (120 bytes on disk).
struct TIndexDefinition {
  static constexpr std::size_t kEncodedLength = kIndexDefinitionSize;
  // Field offsets.
  static constexpr std::size_t kIndexName = 0;
  static constexpr std::size_t kKeySize = 31;
  static constexpr std::size_t kDescending = 33;
  static constexpr std::size_t kCaseInsensitive = 34;
  static constexpr std::size_t kUnique = 35;
  static constexpr std::size_t kCompression = 36;
  static constexpr std::size_t kKeyFieldCount = 37;
  static constexpr std::size_t kDescendingKeyFields = 38;
  static constexpr std::size_t kKeyFields = 54;
  static constexpr std::size_t kRootPageNumber = 86;
  static constexpr std::size_t kNextFreePageNumber = 90;
  static constexpr std::size_t kReserved1 = 94;
  static constexpr std::size_t kDataRootPageNumber = 96;
  static constexpr std::size_t kNoKeyCounts = 100;
  static constexpr std::size_t kTemporary = 101;
  static constexpr std::size_t kReserved2 = 102;

  std::string IndexName;                            // at most 30 characters; "" for the primary
  std::uint16_t KeySize = 0;                        // bytes per key
  bool Descending = false;                          // the whole index descends
  bool CaseInsensitive = false;                     // strings upper-cased in keys
  bool Unique = false;                              // keys unique
  std::uint8_t Compression = 0;                     // 0 none, 1 duplicates, 2 trailing, 3 both
  std::uint8_t KeyFieldCount = 0;                   // 0 ... 16
  std::array<bool, kMaxKeyFields> DescendingKeyFields{};  // per key field
  std::array<std::uint16_t, kMaxKeyFields> KeyFields{};   // field numbers, 0 when unused
  std::int32_t RootPageNumber = 0;                  // 0 = empty tree
  std::int32_t NextFreePageNumber = 0;              // 0 = no free page
  std::int32_t DataRootPageNumber = 0;              // 0 = no data pages
  bool NoKeyCounts = false;                         // nodes keep no lower key counts
  bool Temporary = false;                           // memory only

  // Writes kEncodedLength bytes.
  void EncodeTo(std::uint8_t* out) const;
  // Reads kEncodedLength bytes. False when the name's length byte exceeds 30 or KeyFieldCount
  // exceeds 16; the definition is then filled as far as it could be read, cut to the limits.
  static bool DecodeFrom(const std::uint8_t* in, TIndexDefinition& definition);
};

// The index header as held in memory (4,096 bytes on disk).
struct TIndexHeader {
  static constexpr std::size_t kEncodedLength = kIndexHeaderSize;
  // Field offsets.
  static constexpr std::size_t kLastUpdateStamp = 0;
  static constexpr std::size_t kReserved1 = 4;
  static constexpr std::size_t kVersionNum = 8;
  static constexpr std::size_t kNextEndingPageNumber = 9;
  static constexpr std::size_t kIndexCount = 13;
  static constexpr std::size_t kIndexDefinitions = 14;
  static constexpr std::size_t kActualRecordCount = 3974;
  static constexpr std::size_t kNoPrimaryIndex = 3978;
  static constexpr std::size_t kHeaderModified = 3979;
  static constexpr std::size_t kReserved2 = 3980;

  std::int32_t LastUpdateStamp = 0;      // change-detection stamp
  std::uint8_t VersionNum = 0;           // format version, 5
  std::int32_t NextEndingPageNumber = 0; // page the next extension creates
  std::uint8_t IndexCount = 0;           // secondary indexes
  std::array<TIndexDefinition, kIndexSlotCount> IndexDefinitions;  // slots 0 ... 32
  std::int32_t ActualRecordCount = 0;    // live records
  bool NoPrimaryIndex = false;           // no primary index
  bool HeaderModified = false;           // unwritten changes

  // Byte offset of slot `slot`'s definition within the header.
  static constexpr std::size_t SlotOffset(int slot) {
    return kIndexDefinitions + static_cast<std::size_t>(slot) * kIndexDefinitionSize;
  }
  void EncodeTo(std::uint8_t* out) const;
  // False when IndexCount exceeds 30 or a definition in use (primary, secondaries, system slots)
  // cannot be read; unused slots are taken as far as they can be.
  static bool DecodeFrom(const std::uint8_t* in, TIndexHeader& header);
};

// What the index file needs to know about one field of the table to check key fields.
struct TIndexKeyField {
  std::string FieldName;
  std::uint8_t DataType = 0;      // dt... of the field
  std::uint8_t SubType = 0;       // st... of the field
  std::uint8_t PhysicalSize = 0;  // value bytes in the record
};

// The key-field view of a data file's field definitions, field 1 first.
std::vector<TIndexKeyField> KeyFieldsOf(const TDataFile& dataFile);

// The narrow set of services an index file asks of the shared table that owns it. The shared
// table implements it (from its session, its data file and its lock state); tools and tests use
// TPlainIndexFileOwner.
class TIndexFileOwner : public TTableFileOwner {
 public:
  // Session settings: the cache limit, the folder for temporary files.
  virtual std::int32_t GetMaxTableIndexBufferSize() const = 0;
  virtual std::string GetPrivateDirectory() const = 0;
  // Table state.
  virtual bool GetEncrypted() const = 0;
  // The fields of the table, numbered from 1.
  virtual std::int32_t GetFieldCount() const = 0;
  // False for a number outside 1 ... GetFieldCount().
  virtual bool GetKeyField(std::int32_t fieldNumber, TIndexKeyField& field) const = 0;
};

// An owner with fixed settings: the engine session's defaults, no locking, fields from a list.
class TPlainIndexFileOwner : public TPlainTableFileOwner<TIndexFileOwner> {
 public:
  std::int32_t GetMaxTableIndexBufferSize() const override { return MaxTableIndexBufferSize; }
  std::string GetPrivateDirectory() const override { return PrivateDirectory; }
  bool GetEncrypted() const override { return Encrypted; }
  std::int32_t GetFieldCount() const override { return static_cast<std::int32_t>(Fields.size()); }
  bool GetKeyField(std::int32_t fieldNumber, TIndexKeyField& field) const override {
    if (fieldNumber < 1 || fieldNumber > GetFieldCount()) return false;
    field = Fields[static_cast<std::size_t>(fieldNumber - 1)];
    return true;
  }

  std::int32_t MaxTableIndexBufferSize = 16384;
  std::string PrivateDirectory;
  bool Encrypted = false;
  std::vector<TIndexKeyField> Fields;  // field 1 first
};

// One cached page of an index file: its 4,096-byte image, its number, its pin count and its
// modified flag, the decoded page header and the attributes of the index it belongs to. The
// B-tree page class derives from it and decodes the body into key entries; this base keeps the
// body as raw bytes (which is also what the index's data pages are).
//
// Bytes handed to Read and returned by Write are plain: the index file scrambles and descrambles
// pages of encrypted tables around them.
class TPageBuffer {
 public:
  // Page header offsets.
  static constexpr std::size_t kPageType = 0;
  static constexpr std::size_t kKeyEntryCount = 1;
  static constexpr std::size_t kLeftPageNumber = 3;
  static constexpr std::size_t kRightPageNumber = 7;
  static constexpr std::size_t kCompressedSize = 11;
  static constexpr std::size_t kPageHeaderSize = 13;
  static constexpr std::size_t kPageBodySize = kIndexPageSize - kPageHeaderSize;  // 4,083

  explicit TPageBuffer(TIndexFile* owner) : Owner(owner) {}
  TPageBuffer(const TPageBuffer&) = delete;
  TPageBuffer& operator=(const TPageBuffer&) = delete;
  virtual ~TPageBuffer() = default;

  // Takes a page as read from the file (4,096 bytes). With `reuse` (a page taken from its
  // index's free chain) the header links are kept but there are no entries and the body is
  // cleared. The page is clean afterwards.
  virtual void Read(const std::uint8_t* buffer, bool reuse);
  // Encodes the page into 4,096 bytes (a free page with no entries) and clears Modified.
  virtual void Write(std::uint8_t* buffer);
  // Zeroes the image and resets type, counts, links and flags (not the number, pin or owner).
  virtual void Initialize();

  void SetIndexAttributes(int slot, std::uint16_t keySize, bool descending, bool unique, bool noKeyCounts,
                          std::uint8_t compression);
  // Setters that change a value set Modified.
  void SetPageType(std::uint8_t type);
  void SetKeyEntryCount(std::uint16_t count);
  void SetLeftPageNumber(std::int32_t number);
  void SetRightPageNumber(std::int32_t number);
  void SetCompressedSize(std::uint16_t size);
  // Marks the page as free (on its index's free chain).
  void SetFree();
  void SetModified() { Modified = true; }
  void IncUseCount() { ++UseCount; }
  void DecUseCount() {
    if (UseCount > 0) --UseCount;
  }
  void ClearUseCount() { UseCount = 0; }

  // The 4,083 body bytes (after the page header); a writer calls SetModified.
  std::uint8_t* GetPageDataPtr() { return image_.data() + kPageHeaderSize; }
  const std::uint8_t* GetPageDataPtr() const { return image_.data() + kPageHeaderSize; }

  TIndexFile* Owner;                 // not owned
  std::int32_t PageNumber = 0;       // n: the page lies at n x 4096
  std::int32_t UseCount = 0;         // pins
  bool Modified = false;             // differs from the file
  bool IsFree = false;               // on the free chain
  int IndexSlot = 0;                 // definition slot of the owning index
  std::uint16_t KeySize = 0;         // from the index definition
  bool Descending = false;           // from the index definition
  bool Unique = false;               // from the index definition
  bool NoKeyCounts = false;          // from the index definition
  std::uint8_t Compression = 0;      // from the index definition
  std::uint8_t PageType = 0;         // 0 root node ... 4 data page
  std::uint16_t KeyEntryCount = 0;   // entries
  std::int32_t LeftPageNumber = 0;   // previous page of the level
  std::int32_t RightPageNumber = 0;  // next page of the level, or next free page
  std::uint16_t CompressedSize = 0;  // body bytes of a compressed leaf

  // Implementation details follow: the cache's bookkeeping.
  TPageBuffer* Prev = nullptr;      // more recently used page of the same slot
  TPageBuffer* Next = nullptr;      // less recently used page of the same slot
  TPageBuffer* HashNext = nullptr;  // next page of the same hash bucket
  std::size_t CachePosition = 0;    // place in the slot's list of cached pages
  bool Detached = false;            // dropped from the cache while pinned; pooled when unpinned

 protected:
  std::array<std::uint8_t, kIndexPageSize> image_{};
};

// The index file of one shared table.
class TIndexFile : public TFileHandler {
 public:
  explicit TIndexFile(TIndexFileOwner* owner);
  ~TIndexFile() override;

  // Opens the file and reads the header (KORVEL_HEADERCORRUPT for a header that cannot be read,
  // with the file closed again); resets the counters.
  void OpenFile() override;
  // Deletes the temporary indexes, drops every cached page and closes the file.
  void CloseFile() override;
  // Creates the file and an empty header in memory (with the two system slots); the caller
  // writes it (WriteHeader).
  void CreateFile() override;

  // Header.
  void ReadHeader();
  // The header as it goes to disk: without the temporary indexes.
  void GetWriteHeader(TIndexHeader& header) const;
  bool WriteHeader(bool force = false);
  void UpdateHeaderStamp();
  void ClearHeader();
  void GetHeader(TIndexHeader& header) const { header = header_; }
  const TIndexHeader& Header() const { return header_; }
  // Re-reads the header from the file; true (and the header taken) when another writer
  // advanced the stamp since this object last read or wrote it.
  bool CheckForChanges();
  void CheckHeader();
  void CheckHeaderVersion();
  bool CheckPageNumber(std::int32_t number) const;
  std::int32_t GetLastUpdateStamp() const { return header_.LastUpdateStamp; }
  std::int64_t GetFileSize() const;
  std::int32_t GetPhysicalPagesUsed() const { return header_.NextEndingPageNumber - 1; }

  // Definitions. Slots outside 0 ... 32 raise KORVEL_INDEXLIMIT.
  int GetIndexCount() const { return header_.IndexCount; }
  void SetIndexCount(int count);
  bool GetNoPrimaryIndex() const { return header_.NoPrimaryIndex; }
  void SetNoPrimaryIndex(bool value);
  void GetIndexDefinition(int slot, TIndexDefinition& definition) const;
  const TIndexDefinition& IndexDefinition(int slot) const;
  void SetIndexDefinition(int slot, const TIndexDefinition& definition);
  // Changes the name and the key fields only.
  void UpdateIndexDefinition(int slot, const TIndexDefinition& definition);
  // Clears everything but NextFreePageNumber and DataRootPageNumber.
  static void ClearIndexDefinition(TIndexDefinition& definition);
  void AddPrimaryIndex(const TIndexDefinition& definition);
  void AddSecondaryIndex(const TIndexDefinition& definition);
  // Slot 0 drops the primary index. A secondary slot with `shift` moves the later secondaries
  // down one slot (with their cached pages) and parks the removed definition just past the new
  // end; without `shift` its definition is cleared in place.
  void DeleteIndex(int slot, bool shift);
  void DeleteTemporaryIndexes();
  bool HasTemporaryIndexes() const;
  // Whether slots 0 ... IndexCount hold an index of that name (trimmed, case-insensitive).
  bool IndexExists(const std::string& name) const;
  int GetKeyFieldCount(int slot) const { return IndexDefinition(slot).KeyFieldCount; }
  bool GetKeyUnique(int slot) const { return IndexDefinition(slot).Unique; }
  bool GetKeyDescending(int slot) const { return IndexDefinition(slot).Descending; }
  void GetKeyFields(int slot, std::array<std::uint16_t, kMaxKeyFields>& fields) const {
    fields = IndexDefinition(slot).KeyFields;
  }

  // Per-slot page numbers. Setters that change a value set HeaderModified.
  std::int32_t GetRootPageNumber(int slot) const { return IndexDefinition(slot).RootPageNumber; }
  void SetRootPageNumber(int slot, std::int32_t number);
  std::int32_t GetDataRootPageNumber(int slot) const { return IndexDefinition(slot).DataRootPageNumber; }
  void SetDataRootPageNumber(int slot, std::int32_t number);
  // The head of the slot's free chain, or the ending page number when the chain is empty.
  std::int32_t GetNextFreePageNumber(int slot) const;
  void SetNextFreePageNumber(int slot, std::int32_t number);
  // The header's for permanent indexes, the temporary page file's for temporary ones.
  std::int32_t GetNextEndingPageNumber(int slot) const;
  void SetNextEndingPageNumber(int slot, std::int32_t number);

  // Record count of the table.
  std::int32_t GetActualRecordCount() const { return header_.ActualRecordCount; }
  void SetActualRecordCount(std::int32_t count);
  void IncActualRecordCount();
  void DecActualRecordCount();

  // Pages of index `slot` (the cursor's current index). A page obtained here is pinned until
  // handed back with PutPage. GetPage returns false, with no page, when the table's read lock
  // could not be taken for a read from disk. With readFlag false the page is taken for reuse
  // (from the free chain): it comes without entries.
  bool GetPage(TDataCursor* cursor, int slot, std::int32_t pageNumber, TPageBuffer*& page, bool readFlag = true);
  void PutPage(TPageBuffer* page);
  // False with no page when the index has no root (lockFailed false) or the read lock failed
  // (lockFailed true).
  bool GetRootPage(TDataCursor* cursor, int slot, TPageBuffer*& page, bool& lockFailed);
  bool GetDataRootPage(TDataCursor* cursor, int slot, TPageBuffer*& page, bool& lockFailed);
  // A page for the index: the head of its free chain, else a new page at the end of its file.
  // Pinned, initialised, given the index's attributes and modified.
  void GetNextFreePage(TDataCursor* cursor, int slot, TPageBuffer*& page);
  // Puts a page of the index onto the head of its free chain.
  void SetNextFreePage(TDataCursor* cursor, int slot, TPageBuffer* page);
  // Writes the modified, unpinned pages of the temporary (or the permanent) indexes, each run of
  // consecutive page numbers with one write. True when anything was written.
  bool FlushPageBuffers(bool temporary);
  // Drops the cached pages of the temporary (or the permanent) indexes without writing them.
  void FreePageBuffers(bool temporary);
  // Applies the session's cache limit to every slot.
  void AdjustPageBuffers();

  // Pool of spare page objects.
  std::unique_ptr<TPageBuffer> GetNewPageInstance();
  void ReturnPageInstance(std::unique_ptr<TPageBuffer> page);
  std::size_t IdlePageCount() const { return pool_.size(); }

  // Locks.
  bool WriteLock();
  bool WriteUnLock();
  bool ReadLock(std::uint16_t& slot);
  bool ReadUnLock(std::uint16_t slot);

  // Cache statistics, reset when the file is opened.
  std::uint32_t GetCacheHits() const { return cacheHits_; }
  std::uint32_t GetPageReads() const { return pageReads_; }
  std::uint32_t GetCompletedReads() const { return completedReads_; }
  std::uint32_t GetPageWrites() const { return pageWrites_; }
  std::uint32_t GetWriteOperations() const { return writeOperations_; }
  // Cached pages and capacity of one slot.
  std::size_t GetCachedPageCount(int slot) const;
  std::int32_t GetPageCacheCapacity(int slot) const;
  // The slot's cache limit from the session setting.
  std::int32_t GetPageCacheLimit() const;

  TIndexFileOwner* Owner() const { return owner_; }

 protected:
  // Makes a new page object; the B-tree layer makes its own page class here.
  virtual std::unique_ptr<TPageBuffer> CreatePageObject();

  // Implementation details follow.
 private:
  // The pages of one slot: owned by Pages in no particular order, found by number through a
  // hash of chained buckets (a power of two, at least as many as pages), and ordered by use in a
  // doubly linked list. Finding, adding and dropping a page cost the same however many are cached.
  struct TSlotCache {
    std::vector<std::unique_ptr<TPageBuffer>> Pages;  // Pages[p->CachePosition] owns p
    std::vector<TPageBuffer*> Buckets;
    std::int32_t Capacity = 0;
    TPageBuffer* First = nullptr;  // most recently used
    TPageBuffer* Last = nullptr;   // least recently used
    // Numbers of the pages handed out since the last flush of the slot, and those still pinned or
    // unwritten then: only these can have changed. Past kMaxHandedOutPages, or after a failed
    // write, the flush looks at every cached page instead.
    std::vector<std::int32_t> HandedOut;
    bool HandedOutOverflow = false;
  };
  static constexpr std::size_t kMaxHandedOutPages = 4096;

  [[noreturn]] void RaiseIndexError(TErrorCode code, const std::string& indexName = "") const;
  void CheckSlot(int slot) const;
  TIndexDefinition& MutableDefinition(int slot);
  void SetHeaderModified() { header_.HeaderModified = true; }
  bool IsTemporarySlot(int slot) const { return header_.IndexDefinitions[static_cast<std::size_t>(slot)].Temporary; }
  void ValidateKeyFields(const TIndexDefinition& definition, const std::string& indexName) const;
  void ResetCounters();
  void ResetCaches();
  void InitializeSystemSlots();
  // Takes a header read from the file, keeping this object's temporary indexes.
  void TakeHeader(const TIndexHeader& read);
  void ReadRawHeader(std::uint8_t* buffer);
  void ScrambleBlock(std::uint8_t* buffer, bool scramble) const;
  TFileHandler& PageFileOf(int slot);
  void CreateTemporaryPageFile();
  void DeleteTemporaryPageFile();

  // Cache primitives.
  static std::size_t BucketOf(const TSlotCache& cache, std::int32_t pageNumber) {
    return static_cast<std::uint32_t>(pageNumber) & (cache.Buckets.size() - 1);
  }
  TPageBuffer* FindFirstPageBuffer(const TSlotCache& cache, std::int32_t pageNumber) const;
  // Takes ownership of the page into the slot's list and hash (not the recently-used list).
  void AddPageBuffer(TSlotCache& cache, std::unique_ptr<TPageBuffer> page);
  void GrowBuckets(TSlotCache& cache);
  static void NoteHandedOut(TSlotCache& cache, std::int32_t pageNumber);
  void InsertAsFirstPageBuffer(TSlotCache& cache, TPageBuffer* page);
  void MoveToFirstPageBuffer(TSlotCache& cache, TPageBuffer* page);
  void UnlinkPageBuffer(TSlotCache& cache, TPageBuffer* page);
  // Takes a page out of the slot's list, hash and recently-used list.
  std::unique_ptr<TPageBuffer> DeletePageBuffer(TSlotCache& cache, TPageBuffer* page);
  // A least recently used page that is neither modified nor pinned, or null: among the last few
  // pages, or with `all` among every page.
  TPageBuffer* FindPageBufferToDelete(TSlotCache& cache, bool all);
  // A page for number `pageNumber` of the slot, initialised with the slot's attributes, cached
  // and first in the recently-used list.
  TPageBuffer* GetNewPageBuffer(int slot, std::int32_t pageNumber);
  // Recycles a least recently used clean, unpinned page (see FindPageBufferToDelete), flushing
  // once if needed; null when there is none.
  std::unique_ptr<TPageBuffer> ClearLastPageBuffer(int slot, bool flushAllowed, bool all);
  // Evicts one clean unpinned page into the pool; false when there is none.
  bool DeleteLastPageBuffer(int slot, bool flushAllowed);
  TPageBuffer* ReadPageBuffer(int slot, std::int32_t pageNumber, bool reuse);
  void PrepareNewPage(TPageBuffer* page, int slot, std::int32_t pageNumber);
  // Drops every page of the slot: unpinned ones into the pool, pinned ones detached.
  void FreeSlotPages(int slot);
  void FreeCachePages(TSlotCache& cache);
  // Writes the collected work list in runs.
  bool WriteWorkList(TFileHandler& file);
  bool FlushSlotPages(int slot);
  void CollectModifiedPages(int slot);

  TIndexFileOwner* owner_;  // not owned
  TIndexHeader header_;
  std::array<TSlotCache, kIndexSlotCount> caches_;
  std::vector<std::unique_ptr<TPageBuffer>> pool_;
  std::vector<std::unique_ptr<TPageBuffer>> detached_;  // pinned pages dropped from the cache
  std::vector<TPageBuffer*> workList_;                  // pages of a flush
  std::array<std::uint8_t, kIndexPageSize> readBuffer_{};
  std::vector<std::uint8_t> writeBuffer_;               // grows in 4,096-byte steps
  std::unique_ptr<TFileHandler> tempFile_;              // pages of the temporary indexes
  std::int32_t tempNextEndingPageNumber_ = 1;
  std::uint32_t cacheHits_ = 0;
  std::uint32_t pageReads_ = 0;
  std::uint32_t completedReads_ = 0;
  std::uint32_t pageWrites_ = 0;
  std::uint32_t writeOperations_ = 0;
};

}  // namespace korvel
