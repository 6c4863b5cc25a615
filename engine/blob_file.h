#pragma once
// The BLOB file (".BLB") of a table: variable-length field values as chains of fixed-size
// blocks, the block cache, the free-block chain, and the open values of a cursor.
//
// File layout: a 512-byte header, then blocks of BlockSize bytes (the data header's
// BlobBlockSize, 512 when 0); block n (from 1) starts at 512 + (n - 1) * BlockSize.
//
// TBlobHeader (512 bytes):
//   OFFSET SIZE DESCRIPTION
//   0      4    LastUpdateStamp: incremented on every header write (change detection)
//   4      1    VersionNum: 5
//   5      4    NextFreeBlockNumber: head of the free-block chain, 0 = empty
//   9      4    NextEndingBlockNumber: block the next extension creates; blocks used = this - 1
//   13     1    HeaderModified: set in memory when a field changes; readers ignore it
//   14     498  reserved, zero
//
// Block: an 18-byte TBlockHeader, then BlockSize - 18 bytes of data.
//   OFFSET SIZE DESCRIPTION
//   0      4    PrevBlockNumber: previous block of the chain, 0 for the first
//   4      4    NextBlockNumber: next block, 0 for the last; of a free block, the next free one
//   8      2    BlockLength: data bytes used in this block
//   10     4    BlobSignature: signature of the value the block belongs to
//   14     4    BlobLength: total length of the value, in the chain's first block; else 0
//
// In an encrypted table the header is scrambled as one 512-byte block, and every block's header
// and data area as two separate buffers, all with the table-data seed pair.
//
// Invariants: in a chain, each block's PrevBlockNumber names the block before it (0 for the
// first), so a link back into the chain or across into another one shows; every block of one
// value carries the value's signature; a record that points at a
// chain also holds that signature, so a chain rewritten by someone else since the record was read
// shows as a signature mismatch. Signatures are never 0 (the counter restarts at 1); a block put
// on the free chain gets signature 0, so a walk that meets a freed block knows the chain is
// damaged instead of freeing the block twice.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/table_file_owner.h"
#include "support/files.h"

namespace korvel {

class TDataCursor;  // the cursor on whose behalf blocks are read; opaque here
class TBlobFile;

inline constexpr std::size_t kBlobHeaderSize = 512;
inline constexpr std::size_t kBlockHeaderSize = 18;
inline constexpr std::int32_t kDefaultBlobBlockSize = 512;
inline constexpr std::uint8_t kBlobVersion = 5;
inline constexpr std::int32_t kMaxBlobBlocks = 2000000000;
inline constexpr std::int64_t kMaxBlobFileBytes = 4000000000LL;
inline constexpr std::size_t kMaxOpenBlobBuffers = 128;

// The 512-byte header of the BLOB file.
struct TBlobHeader {
  static constexpr std::size_t kLastUpdateStamp = 0;
  static constexpr std::size_t kVersionNum = 4;
  static constexpr std::size_t kNextFreeBlockNumber = 5;
  static constexpr std::size_t kNextEndingBlockNumber = 9;
  static constexpr std::size_t kHeaderModified = 13;
  static constexpr std::size_t kEncodedLength = kBlobHeaderSize;

  std::int32_t LastUpdateStamp = 0;
  std::uint8_t VersionNum = kBlobVersion;
  std::int32_t NextFreeBlockNumber = 0;
  std::int32_t NextEndingBlockNumber = 1;
  bool HeaderModified = false;

  void EncodeTo(unsigned char* out) const;  // kEncodedLength bytes, reserved bytes zero
  void DecodeFrom(const unsigned char* in);
};

// The 18-byte header of a block.
struct TBlockHeader {
  static constexpr std::size_t kPrevBlockNumber = 0;
  static constexpr std::size_t kNextBlockNumber = 4;
  static constexpr std::size_t kBlockLength = 8;
  static constexpr std::size_t kBlobSignature = 10;
  static constexpr std::size_t kBlobLength = 14;
  static constexpr std::size_t kEncodedLength = kBlockHeaderSize;

  std::int32_t PrevBlockNumber = 0;
  std::int32_t NextBlockNumber = 0;
  std::uint16_t BlockLength = 0;
  std::int32_t BlobSignature = 0;
  std::int32_t BlobLength = 0;

  void EncodeTo(unsigned char* out) const;
  void DecodeFrom(const unsigned char* in);
};

// What the BLOB file asks of the table that owns it.
class TBlobFileOwner : public TTableFileOwner {
 public:
  virtual bool GetEncrypted() const = 0;
  virtual std::int32_t GetMaxTableBlobBufferSize() const = 0;
  virtual std::int32_t GetMaxTableBlobBufferCount() const = 0;
  virtual bool GetExclusive() const = 0;
  // The next BLOB signature of the data header's counter.
  virtual std::int32_t GetNextFreeBlobSignature() = 0;
};

// An owner with fixed settings: the engine session's defaults, no locking (for tools that read
// a table's files directly, and for tests).
class TPlainBlobFileOwner : public TPlainTableFileOwner<TBlobFileOwner> {
 public:
  bool GetEncrypted() const override { return Encrypted; }
  std::int32_t GetMaxTableBlobBufferSize() const override { return 32768; }
  std::int32_t GetMaxTableBlobBufferCount() const override { return 8192; }
  bool GetExclusive() const override { return false; }
  std::int32_t GetNextFreeBlobSignature() override { return ++LastBlobSignature; }

  bool Encrypted = false;
  std::int32_t LastBlobSignature = 0;
};

// One cached block: the decoded header and the data area. Setters mark it modified only when
// a value changes.
class TBlock {
 public:
  explicit TBlock(std::size_t dataSize);

  void Initialize();
  // From / to the disk form (BlockSize bytes), descrambling / scrambling when encrypted.
  void Read(const unsigned char* disk, bool encrypted);
  void Write(unsigned char* disk, bool encrypted);

  // min(count, BlockLength - offset) bytes from offset; the bytes copied.
  std::size_t GetBlockData(std::size_t offset, std::size_t count, void* dest) const;
  // Stores count bytes at offset; BlockLength becomes offset + count.
  void PutBlockData(std::size_t offset, std::size_t count, const void* source);
  // BlockLength becomes n; the rest of the data is zeroed.
  void TruncateBlockData(std::size_t n);

  std::int32_t GetPrevBlockNumber() const { return header_.PrevBlockNumber; }
  std::int32_t GetNextBlockNumber() const { return header_.NextBlockNumber; }
  std::uint16_t GetBlockLength() const { return header_.BlockLength; }
  std::int32_t GetBlobSignature() const { return header_.BlobSignature; }
  std::int32_t GetBlobLength() const { return header_.BlobLength; }
  void SetPrevBlockNumber(std::int32_t v);
  void SetNextBlockNumber(std::int32_t v);
  void SetBlobSignature(std::int32_t v);
  void SetBlobLength(std::int32_t v);

  std::size_t DataSize() const { return data_.size(); }
  const unsigned char* Data() const { return data_.data(); }

  bool Modified = false;
  std::uint16_t UseCount = 0;
  bool Detached = false;  // dropped from the cache while pinned; freed by its last PutBlock
  std::int32_t BlockNumber = 0;
  // Recently-used list: Newer towards the most recently used end.
  TBlock* Newer = nullptr;
  TBlock* Older = nullptr;

 private:
  TBlockHeader header_;
  std::vector<unsigned char> data_;
};

// Cache statistics of one file, reset when it opens.
struct TCacheStatistics {
  std::uint32_t Hits = 0;
  std::uint32_t Misses = 0;
  std::uint32_t Reads = 0;   // read operations issued
  std::uint32_t Writes = 0;  // write operations issued
};

// The bytes of an open BLOB value. Unlike std::vector, a size taken for overwriting leaves the
// bytes as they are: a read fills the whole value from the file, so clearing it first would
// touch every byte twice. resize() still clears what it adds, as the value's users expect.
class TBlobBytes {
 public:
  TBlobBytes() = default;
  TBlobBytes(const TBlobBytes& other) { *this = other; }
  TBlobBytes(TBlobBytes&& other) noexcept { Swap(other); }
  TBlobBytes& operator=(const TBlobBytes& other) {
    if (this != &other) Assign(other.data(), other.size());
    return *this;
  }
  TBlobBytes& operator=(TBlobBytes&& other) noexcept {
    TBlobBytes moved(std::move(other));
    Swap(moved);
    return *this;
  }
  TBlobBytes& operator=(const std::vector<unsigned char>& bytes) {
    Assign(bytes.data(), bytes.size());
    return *this;
  }
  // A copy as a plain vector, for callers that keep the bytes beyond the value.
  operator std::vector<unsigned char>() const { return std::vector<unsigned char>(begin(), end()); }

  unsigned char* data() { return bytes_.get(); }
  const unsigned char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  unsigned char* begin() { return bytes_.get(); }
  unsigned char* end() { return bytes_.get() + size_; }
  const unsigned char* begin() const { return bytes_.get(); }
  const unsigned char* end() const { return bytes_.get() + size_; }
  unsigned char& operator[](std::size_t i) { return bytes_[i]; }
  const unsigned char& operator[](std::size_t i) const { return bytes_[i]; }

  void clear() { size_ = 0; }
  // Grows with zero bytes or cuts back to n bytes.
  void resize(std::size_t n) {
    std::size_t old = size_;
    ResizeForOverwrite(n);
    if (n > old) std::memset(bytes_.get() + old, 0, n - old);
  }
  // Room for n bytes without moving them; the size stays.
  void Reserve(std::size_t n) {
    if (n > capacity_) Grow(n);
  }
  std::size_t capacity() const { return capacity_; }
  // Sizes to n bytes; bytes past the old size are undefined until the caller writes them.
  void ResizeForOverwrite(std::size_t n) {
    if (n > capacity_) Grow(std::max(n, capacity_ * 2));
    size_ = n;
  }
  void Assign(const unsigned char* source, std::size_t n) {
    ResizeForOverwrite(n);
    if (n > 0) std::memcpy(bytes_.get(), source, n);
  }
  // Empty, and the memory given back.
  void Release() {
    bytes_.reset();
    size_ = capacity_ = 0;
  }
  void Swap(TBlobBytes& other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  friend bool operator==(const TBlobBytes& a, const TBlobBytes& b) { return Equal(a, b.data(), b.size()); }
  friend bool operator==(const TBlobBytes& a, const std::vector<unsigned char>& b) {
    return Equal(a, b.data(), b.size());
  }

 private:
  static bool Equal(const TBlobBytes& a, const unsigned char* b, std::size_t n) {
    return a.size_ == n && (n == 0 || std::memcmp(a.data(), b, n) == 0);
  }
  void Grow(std::size_t capacity) {
    std::unique_ptr<unsigned char[]> bigger(new unsigned char[capacity]);  // default-initialised: not cleared
    if (size_ > 0) std::memcpy(bigger.get(), bytes_.get(), size_);
    bytes_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<unsigned char[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The BLOB file of one shared table.
class TBlobFile : public TFileHandler {
 public:
  explicit TBlobFile(TBlobFileOwner* owner);
  ~TBlobFile() override;

  // The block size of the table (its data header's BlobBlockSize; 0 means 512). Set before
  // creating or opening.
  void SetBlockSize(std::int32_t blockSize);
  std::int32_t GetBlockSize() const { return blockSize_; }
  std::size_t GetBlockBufferSize() const { return static_cast<std::size_t>(blockSize_) - kBlockHeaderSize; }
  // Value bytes one read-ahead window of blocks holds.
  std::size_t GetReadAheadBytes() const {
    return static_cast<std::size_t>(readAheadLimit_) * GetBlockBufferSize();
  }

  void CreateFile() override;
  void OpenFile() override;
  void CloseFile() override;

  void ReadHeader();
  bool WriteHeader(bool force);
  void UpdateHeaderStamp();
  void ClearHeader();
  const TBlobHeader& GetHeader() const { return header_; }
  // Re-reads the header; true (keeping the new one) when another writer advanced its stamp.
  bool CheckForChanges();
  void CheckHeaderVersion();
  void CheckHeader();
  bool CheckBlockNumber(std::int32_t n) const { return n >= 0 && n <= GetPhysicalBlocksUsed(); }

  std::int32_t GetPhysicalBlocksUsed() const { return header_.NextEndingBlockNumber - 1; }
  std::int64_t GetFileSize() const;
  std::int32_t GetLastUpdateStamp() const { return header_.LastUpdateStamp; }
  std::int32_t GetNextFreeBlockNumber() const { return header_.NextFreeBlockNumber; }
  void SetNextFreeBlockNumber(std::int32_t n);

  // Pins block n; the ending block extends the file. Reads `count` blocks ahead on a miss when
  // readAhead is set. False (and no block) when the read lock for a miss could not be had.
  bool GetBlock(TDataCursor* cursor, std::int32_t n, bool readAhead, std::int32_t count, TBlock*& block);
  void PutBlock(TBlock* block);
  // Pins the head of the free chain (or a new ending block), unlinked and initialised.
  void GetNextFreeBlock(TDataCursor* cursor, TBlock*& block);
  // Puts a pinned block on the free chain (it stays pinned; the caller puts it back).
  void SetNextFreeBlock(TBlock* block);
  // Frees the chain starting at `firstBlock` and sets it to 0. The first block must carry
  // `signature` (in repair mode a mismatch is overwritten instead of reported).
  void FreeBlobBlocks(TDataCursor* cursor, std::int32_t& firstBlock, bool repair, std::int32_t recordNumber,
                      std::int32_t signature);
  // Frees the blocks after `block` (which the caller holds and keeps).
  void FreeNextBlocks(TDataCursor* cursor, TBlock* block, bool repair, std::int32_t signature,
                      std::int32_t readAhead);

  // Long values bypass the cache where that is safe, so that a large value moves with few
  // system calls:
  //
  // ReadRunDirect reads the chain blocks first, first + 1, ... straight from the file with one
  // read, their data into `dest`, which has `room` writable bytes (with small blocks the whole
  // blocks pass through it: GetDirectReadRoom says how much more than the data). It stops before a
  // cached block (whose contents may be newer than the file's), where the chain leaves the run of
  // consecutive numbers, or once `bytes` bytes are delivered. Each block is checked as a chain
  // block after `previous`. Returns false when the read lock could not be had; `delivered` may
  // be 0, and the caller then takes the block through the cache.
  bool ReadRunDirect(TDataCursor* cursor, std::int32_t first, std::int32_t& previous, std::int32_t signature,
                     unsigned char* dest, std::size_t room, std::size_t bytes, std::size_t& delivered,
                     std::int32_t& next);
  // Largest read or write of a direct run: a value of up to about 2 MiB moves with one system
  // call, which also keeps the file's cached pages in large pieces (faster to read back).
  static constexpr std::size_t kDirectRunBytes = 2 << 20;
  // The room beyond `bytes` of value data that ReadRunDirect wants behind its destination.
  std::size_t GetDirectReadRoom(std::size_t bytes) const {
    std::size_t dataSize = GetBlockBufferSize();
    if (dataSize >= kVectoredBlockData) return 0;
    return (std::min(bytes, kDirectRunBytes) / dataSize + 1) * kBlockHeaderSize + static_cast<std::size_t>(blockSize_) +
           kCopyAlignment;
  }
  // Appends new blocks holding data[0, bytes) at the end of the file, written straight to disk:
  // each links back to the one before (the first to `previous`). Returns the first new block's
  // number, or 0 when it must not be done (free blocks to reuse first, a transaction whose
  // changes must stay in the cache, or cached blocks at the end).
  std::int32_t AppendBlocksDirect(std::int32_t previous, std::int32_t signature, const unsigned char* data,
                                  std::size_t bytes);

  // Writes modified, unpinned blocks in runs of consecutive numbers; true if any were written.
  bool FlushBlockBuffers();
  // Drops every cached block, modified or not.
  void FreeBlockBuffers();
  // Recomputes the cache limit and trims the cache to it.
  void AdjustBlockBuffers();
  std::size_t CachedBlockCount() const { return buffers_.size(); }
  std::size_t CacheCapacity() const { return capacity_; }
  const TCacheStatistics& Statistics() const { return statistics_; }

  bool WriteLock();
  bool WriteUnLock();
  bool ReadLock(std::uint16_t& slot);
  bool ReadUnlock(std::uint16_t slot);

  TBlobFileOwner* Owner() const { return owner_; }
  [[noreturn]] void RaiseBlobError(TErrorCode code) const;

 private:
  // The cache: buffers_ in ascending block number; the recently-used list from newest_ to oldest_.
  TBlock* FindBlockBuffer(std::int32_t n, std::size_t& position) const;
  TBlock* FindRecentBlockBuffer(std::int32_t n) const;
  void InsertBlockBuffer(TBlock* block, std::size_t position);
  void MoveToFirstBlockBuffer(TBlock* block);
  void UnlinkRecent(TBlock* block);
  // A least recently used block that is neither modified nor pinned, or null: among the last
  // few blocks, or with `all` among every block.
  TBlock* FindBlockBufferToDelete(bool all);
  // A buffer for block n, inserted at its sorted position (which the caller found).
  TBlock* GetNewBlockBuffer(std::int32_t n, std::size_t& position);
  void DeleteBlockBuffer(TBlock* block);
  void ReadBlockBuffers(std::int32_t first, std::int32_t count);
  std::int32_t CacheLimit() const;
  std::int64_t BlockOffset(std::int32_t n) const;
  TBlock* NewBlockInstance();
  void ReturnBlockInstance(TBlock* block);

  TBlobFileOwner* owner_;
  TBlobHeader header_;
  std::int32_t blockSize_ = kDefaultBlobBlockSize;
  std::vector<TBlock*> buffers_;  // owned
  std::vector<TBlock*> detachedBlocks_;  // owned; pinned blocks dropped from the cache
  TBlock* newest_ = nullptr;
  TBlock* oldest_ = nullptr;
  std::size_t capacity_ = 0;
  std::int32_t readAheadLimit_ = 1;
  std::vector<TBlock*> pool_;  // spare blocks, at most kBlockPoolCapacity, owned
  // Reads and writes keep separate buffers: a miss that reads a window of blocks may flush
  // modified blocks to make room while the window's bytes are still being taken in.
  std::vector<unsigned char> readBuffer_;
  TBlobBytes writeBuffer_;  // runs of cached blocks being flushed: assembled whole, never cleared
  // The direct paths' vectored I/O: block headers apart from the value's bytes.
  std::vector<unsigned char> directHeaders_;
  std::vector<struct iovec> directSegments_;
  std::vector<unsigned char> zeroData_;  // the unused end of a value's last block
  std::int64_t readWindowOffset_ = 0;
  std::int64_t readWindowLength_ = 0;
  TCacheStatistics statistics_;

  // Bytes between `memory` and the next address that agrees with the file offset `offset`
  // modulo kCopyAlignment.
  static std::size_t CopyShift(std::int64_t offset, const unsigned char* memory) {
    return (static_cast<std::size_t>(offset) - reinterpret_cast<std::uintptr_t>(memory)) % kCopyAlignment;
  }

  static constexpr std::size_t kCopyAlignment = 64;  // a cache line
  static constexpr std::size_t kBlockPoolCapacity = 32;
  static constexpr std::size_t kCacheGrowth = 32;  // least growth of a full cache (or half of it)
  static constexpr std::size_t kVictimSearchLength = 8;  // least recently used blocks a miss looks at
  static constexpr std::size_t kIoBufferStep = 4096;
  static constexpr std::size_t kVectoredBlockData = 2048;  // least block data that direct runs move by segments
};

// One open BLOB value of a cursor: the value's bytes in memory while it is read or edited.
class TBlobBuffer {
 public:
  // Values of at least this many blocks take the direct paths of TBlobFile.
  static constexpr std::size_t kDirectBlocks = 8;

  enum TOpenMode : std::uint8_t { omRead = 0, omWrite = 1, omReadWrite = 2 };

  TBlobBuffer(TBlobFile* file, TDataCursor* cursor);

  // Reads the value of the chain at FirstBlockNumber. A chain carrying another signature was
  // rewritten by someone else: KORVEL_KEYORRECDELETED.
  void Read();
  // Writes the value over its chain (reusing the chain's blocks first), frees what is left of
  // the old chain, and sets FirstBlockNumber.
  void Write();
  // Frees the whole chain; FirstBlockNumber becomes 0.
  void Remove();
  // The value grows to n bytes (zero-filled) or, with n = 0, is emptied and released.
  void SetSize(std::size_t n);
  // Puts `length` bytes at `offset`; a value shorter than offset + length grows, a gap before
  // offset reads as zero bytes.
  void WriteAt(std::size_t offset, const void* source, std::size_t length);
  std::size_t Size() const { return data_.size(); }
  void SaveBuffer() { saved_ = data_; }
  const TBlobBytes& GetBuffer() const { return data_; }
  TBlobBytes& GetBuffer() { return data_; }
  const TBlobBytes& GetOldBuffer() const { return saved_; }
  void IncUseCount() { ++UseCount; }
  void DecUseCount() {
    if (UseCount > 0) --UseCount;
  }

  TDataCursor* Cursor;
  bool Modified = false;
  std::int32_t BlobSignature = 0;
  std::int32_t RecordNumber = 0;
  std::uint16_t FieldNumber = 0;
  std::int32_t FirstBlockNumber = 0;
  TOpenMode OpenMode = omRead;
  std::uint16_t UseCount = 0;
  bool ForModification = false;
  std::int32_t RemoteHandle = 0;

 private:
  // Blocks needed for `bytes` of data.
  std::int32_t BlocksFor(std::size_t bytes) const;
  // The next block of a chain, after block `previous`: checked for range, foreign pins, its
  // back link and its signature.
  TBlock* FetchChainBlock(std::int32_t n, std::int32_t previous, std::size_t bytesLeft, std::int32_t signature,
                          bool& lockFailed);
  bool TryRead();

  TBlobFile* file_;
  TBlobBytes data_;
  TBlobBytes saved_;
  // The signature the chain on disk carries (0: not read or written yet). BlobSignature may
  // already be the value's next signature while the chain still carries this one.
  std::int32_t chainSignature_ = 0;
};

}  // namespace korvel
