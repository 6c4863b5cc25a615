#include "engine/blob_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include "engine/lock_primitives.h"
#include "support/byte_order.h"
#include "support/scramble.h"

namespace korvel {

namespace {

void Scramble(unsigned char* buffer, std::size_t length, bool encrypted) {
  if (encrypted) EncryptBuffer(buffer, length, kTableDataSeedA, kTableDataSeedB);
}

void Unscramble(unsigned char* buffer, std::size_t length, bool encrypted) {
  if (encrypted) DecryptBuffer(buffer, length, kTableDataSeedA, kTableDataSeedB);
}

// The assembly buffer of long writes, one for the process instead of one per open BLOB file: a
// long write takes it for its duration (a write in another thread meanwhile gets one of its
// own), and it outlives the files, so that a table opened again does not take a fresh megabyte
// from the system (each first-touched page costs a fault) for its first long value.
class TSpareAssemblyBuffer {
 public:
  ~TSpareAssemblyBuffer() { delete spare_.exchange(nullptr); }
  TBlobBytes* Take() {
    TBlobBytes* buffer = spare_.exchange(nullptr);
    return buffer != nullptr ? buffer : new TBlobBytes;
  }
  void Give(TBlobBytes* buffer) { delete spare_.exchange(buffer); }

 private:
  std::atomic<TBlobBytes*> spare_{nullptr};
};

TSpareAssemblyBuffer spareAssemblyBuffer;

// Holds the spare assembly buffer while a long write uses it; gives it back, also by an exception.
class TAssemblyBufferLease {
 public:
  TAssemblyBufferLease() : buffer_(spareAssemblyBuffer.Take()) {}
  ~TAssemblyBufferLease() { spareAssemblyBuffer.Give(buffer_); }
  TAssemblyBufferLease(const TAssemblyBufferLease&) = delete;
  TAssemblyBufferLease& operator=(const TAssemblyBufferLease&) = delete;
  TBlobBytes& Buffer() { return *buffer_; }

 private:
  TBlobBytes* buffer_;
};

// Clears the read window when a read of blocks ends, also by an exception.
class TReadWindowGuard {
 public:
  TReadWindowGuard(std::int64_t& offset, std::int64_t& length, std::int64_t o, std::int64_t l)
      : offset_(offset), length_(length) {
    offset_ = o;
    length_ = l;
  }
  ~TReadWindowGuard() { offset_ = length_ = 0; }

 private:
  std::int64_t& offset_;
  std::int64_t& length_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Layouts

void TBlobHeader::EncodeTo(unsigned char* out) const {
  std::memset(out, 0, kEncodedLength);
  PutI32(out, kLastUpdateStamp, LastUpdateStamp);
  PutU8(out, kVersionNum, VersionNum);
  PutI32(out, kNextFreeBlockNumber, NextFreeBlockNumber);
  PutI32(out, kNextEndingBlockNumber, NextEndingBlockNumber);
  PutU8(out, kHeaderModified, HeaderModified ? 1 : 0);
}

void TBlobHeader::DecodeFrom(const unsigned char* in) {
  LastUpdateStamp = GetI32(in, kLastUpdateStamp);
  VersionNum = GetU8(in, kVersionNum);
  NextFreeBlockNumber = GetI32(in, kNextFreeBlockNumber);
  NextEndingBlockNumber = GetI32(in, kNextEndingBlockNumber);
  HeaderModified = GetU8(in, kHeaderModified) != 0;
}

void TBlockHeader::EncodeTo(unsigned char* out) const {
  PutI32(out, kPrevBlockNumber, PrevBlockNumber);
  PutI32(out, kNextBlockNumber, NextBlockNumber);
  PutU16(out, kBlockLength, BlockLength);
  PutI32(out, kBlobSignature, BlobSignature);
  PutI32(out, kBlobLength, BlobLength);
}

void TBlockHeader::DecodeFrom(const unsigned char* in) {
  PrevBlockNumber = GetI32(in, kPrevBlockNumber);
  NextBlockNumber = GetI32(in, kNextBlockNumber);
  BlockLength = GetU16(in, kBlockLength);
  BlobSignature = GetI32(in, kBlobSignature);
  BlobLength = GetI32(in, kBlobLength);
}

// ---------------------------------------------------------------------------------------------
// TBlock

TBlock::TBlock(std::size_t dataSize) : data_(dataSize, 0) {}

void TBlock::Initialize() {
  header_ = TBlockHeader{};
  std::fill(data_.begin(), data_.end(), 0);
}

void TBlock::Read(const unsigned char* disk, bool encrypted) {
  unsigned char header[kBlockHeaderSize];
  std::memcpy(header, disk, kBlockHeaderSize);
  Unscramble(header, kBlockHeaderSize, encrypted);
  header_.DecodeFrom(header);
  // A damaged length never lets a reader past the data area.
  if (header_.BlockLength > data_.size()) header_.BlockLength = static_cast<std::uint16_t>(data_.size());
  std::memcpy(data_.data(), disk + kBlockHeaderSize, data_.size());
  Unscramble(data_.data(), data_.size(), encrypted);
  Modified = false;
}

void TBlock::Write(unsigned char* disk, bool encrypted) {
  header_.EncodeTo(disk);
  Scramble(disk, kBlockHeaderSize, encrypted);
  std::memcpy(disk + kBlockHeaderSize, data_.data(), data_.size());
  Scramble(disk + kBlockHeaderSize, data_.size(), encrypted);
  Modified = false;
}

std::size_t TBlock::GetBlockData(std::size_t offset, std::size_t count, void* dest) const {
  if (count > data_.size()) RaiseError(KORVEL_INVALIDBLOBLEN);
  if (offset >= header_.BlockLength) return 0;
  std::size_t n = std::min<std::size_t>(count, header_.BlockLength - offset);
  std::memcpy(dest, data_.data() + offset, n);
  return n;
}

void TBlock::PutBlockData(std::size_t offset, std::size_t count, const void* source) {
  if (offset > data_.size() || count > data_.size() - offset) RaiseError(KORVEL_INVALIDBLOBLEN);
  if (count > 0 && std::memcmp(data_.data() + offset, source, count) != 0) {
    std::memcpy(data_.data() + offset, source, count);
    Modified = true;
  }
  std::uint16_t length = static_cast<std::uint16_t>(offset + count);
  if (header_.BlockLength != length) {
    header_.BlockLength = length;
    Modified = true;
  }
}

void TBlock::TruncateBlockData(std::size_t n) {
  if (n > data_.size()) RaiseError(KORVEL_INVALIDBLOBLEN);
  unsigned char* tail = data_.data() + n;
  std::size_t rest = data_.size() - n;
  // Cheap test first: a tail that is already zero leaves the block unmodified.
  if (rest > 0 && (tail[0] != 0 || std::memcmp(tail, tail + 1, rest - 1) != 0)) {
    std::memset(tail, 0, rest);
    Modified = true;
  }
  if (header_.BlockLength != n) {
    header_.BlockLength = static_cast<std::uint16_t>(n);
    Modified = true;
  }
}

void TBlock::SetPrevBlockNumber(std::int32_t v) {
  if (header_.PrevBlockNumber != v) header_.PrevBlockNumber = v, Modified = true;
}
void TBlock::SetNextBlockNumber(std::int32_t v) {
  if (header_.NextBlockNumber != v) header_.NextBlockNumber = v, Modified = true;
}
void TBlock::SetBlobSignature(std::int32_t v) {
  if (header_.BlobSignature != v) header_.BlobSignature = v, Modified = true;
}
void TBlock::SetBlobLength(std::int32_t v) {
  if (header_.BlobLength != v) header_.BlobLength = v, Modified = true;
}

// ---------------------------------------------------------------------------------------------
// TBlobFile: opening and the header

TBlobFile::TBlobFile(TBlobFileOwner* owner) : owner_(owner) {}

TBlobFile::~TBlobFile() {
  FreeBlockBuffers();
  for (TBlock* b : detachedBlocks_) delete b;
  detachedBlocks_.clear();
  for (TBlock* b : pool_) delete b;
  pool_.clear();
}

void TBlobFile::RaiseBlobError(TErrorCode code) const {
  RaiseError(code, "", "", owner_->GetProperDataDirectoryName(), owner_->GetTableName());
}

void TBlobFile::SetBlockSize(std::int32_t blockSize) {
  std::int32_t size = blockSize == 0 ? kDefaultBlobBlockSize : blockSize;
  // A block must hold its header and at least one byte; its length field is 16-bit.
  if (size <= static_cast<std::int32_t>(kBlockHeaderSize) || size > 65535 + static_cast<std::int32_t>(kBlockHeaderSize))
    RaiseBlobError(KORVEL_BLOBLIMIT);
  if (size != blockSize_) {
    FreeBlockBuffers();
    for (TBlock* b : pool_) delete b;
    pool_.clear();
  }
  blockSize_ = size;
}

std::int32_t TBlobFile::CacheLimit() const {
  std::int32_t bySize = owner_->GetMaxTableBlobBufferSize() / blockSize_;
  std::int32_t limit = std::min(bySize, owner_->GetMaxTableBlobBufferCount());
  return std::max(limit, 1);
}

void TBlobFile::CreateFile() {
  TFileHandler::CreateFile();
  FreeBlockBuffers();
  header_ = TBlobHeader{};
  header_.HeaderModified = true;
}

void TBlobFile::OpenFile() {
  if (IsOpen) return;
  TFileHandler::OpenFile();
  try {
    ReadHeader();
  } catch (...) {
    TFileHandler::CloseFile();
    throw;
  }
  statistics_ = TCacheStatistics{};
  capacity_ = static_cast<std::size_t>(CacheLimit());
  readAheadLimit_ = std::max<std::int32_t>(16384 / blockSize_, 1);
}

void TBlobFile::CloseFile() {
  FreeBlockBuffers();
  TFileHandler::CloseFile();
}

void TBlobFile::ReadHeader() {
  unsigned char buffer[kBlobHeaderSize];
  if (ReadAt(0, buffer, kBlobHeaderSize, true) != static_cast<std::int64_t>(kBlobHeaderSize))
    RaiseBlobError(KORVEL_READERR);
  Unscramble(buffer, kBlobHeaderSize, owner_->GetEncrypted());
  header_.DecodeFrom(buffer);
  header_.HeaderModified = false;
}

bool TBlobFile::WriteHeader(bool force) {
  if (!force && !header_.HeaderModified) return false;
  header_.LastUpdateStamp = NextUpdateStamp(header_.LastUpdateStamp);
  header_.HeaderModified = true;  // a written header carries the flag; readers ignore it
  unsigned char buffer[kBlobHeaderSize];
  header_.EncodeTo(buffer);
  Scramble(buffer, kBlobHeaderSize, owner_->GetEncrypted());
  WriteAt(0, buffer, kBlobHeaderSize);
  owner_->SetHeadersWritten();
  header_.HeaderModified = false;
  return true;
}

void TBlobFile::UpdateHeaderStamp() {
  header_.LastUpdateStamp = NextUpdateStamp(header_.LastUpdateStamp);
  header_.HeaderModified = true;
  owner_->SetHeadersWritten();
}

bool TBlobFile::CheckForChanges() {
  unsigned char buffer[kBlobHeaderSize];
  if (ReadAt(0, buffer, kBlobHeaderSize, true) != static_cast<std::int64_t>(kBlobHeaderSize))
    RaiseBlobError(KORVEL_READERR);
  Unscramble(buffer, kBlobHeaderSize, owner_->GetEncrypted());
  if (GetI32(buffer, TBlobHeader::kLastUpdateStamp) == header_.LastUpdateStamp) return false;
  header_.DecodeFrom(buffer);
  header_.HeaderModified = false;
  return true;
}

void TBlobFile::ClearHeader() {
  FreeBlockBuffers();
  LockFileHandler();
  Seek(static_cast<std::int64_t>(kBlobHeaderSize), soFromBeginning);
  try {
    Write(nullptr, 0);
  } catch (...) {
    UnlockFileHandler();
    throw;
  }
  UnlockFileHandler();
  if (owner_->GetForceBufferFlush()) Flush();
  header_.VersionNum = kBlobVersion;
  header_.NextEndingBlockNumber = 1;
  header_.NextFreeBlockNumber = 0;
  header_.HeaderModified = true;
}

void TBlobFile::CheckHeaderVersion() {
  if (header_.VersionNum != kBlobVersion) RaiseBlobError(KORVEL_OLDVERSION);
}

void TBlobFile::CheckHeader() {
  CheckHeaderVersion();
  if (header_.NextEndingBlockNumber < 1 || !CheckBlockNumber(header_.NextFreeBlockNumber))
    RaiseBlobError(KORVEL_HEADERCORRUPT);
}

std::int64_t TBlobFile::GetFileSize() const {
  return static_cast<std::int64_t>(kBlobHeaderSize) + static_cast<std::int64_t>(GetPhysicalBlocksUsed()) * blockSize_;
}

void TBlobFile::SetNextFreeBlockNumber(std::int32_t n) {
  if (header_.NextFreeBlockNumber != n) {
    header_.NextFreeBlockNumber = n;
    header_.HeaderModified = true;
  }
}

std::int64_t TBlobFile::BlockOffset(std::int32_t n) const {
  return static_cast<std::int64_t>(kBlobHeaderSize) + static_cast<std::int64_t>(n - 1) * blockSize_;
}

// ---------------------------------------------------------------------------------------------
// The block cache

TBlock* TBlobFile::NewBlockInstance() {
  if (!pool_.empty()) {
    TBlock* b = pool_.back();
    pool_.pop_back();
    return b;
  }
  return new TBlock(GetBlockBufferSize());
}

void TBlobFile::ReturnBlockInstance(TBlock* block) {
  block->Newer = block->Older = nullptr;
  block->UseCount = 0;
  block->Modified = false;
  if (pool_.size() < kBlockPoolCapacity)
    pool_.push_back(block);
  else
    delete block;
}

TBlock* TBlobFile::FindBlockBuffer(std::int32_t n, std::size_t& position) const {
  auto it = std::lower_bound(buffers_.begin(), buffers_.end(), n,
                             [](const TBlock* b, std::int32_t number) { return b->BlockNumber < number; });
  position = static_cast<std::size_t>(it - buffers_.begin());
  return (it != buffers_.end() && (*it)->BlockNumber == n) ? *it : nullptr;
}

TBlock* TBlobFile::FindRecentBlockBuffer(std::int32_t n) const {
  TBlock* b = newest_;
  for (int i = 0; i < 4 && b != nullptr; ++i, b = b->Older)
    if (b->BlockNumber == n) return b;
  return nullptr;
}

void TBlobFile::UnlinkRecent(TBlock* block) {
  if (block->Newer) block->Newer->Older = block->Older;
  if (block->Older) block->Older->Newer = block->Newer;
  if (newest_ == block) newest_ = block->Older;
  if (oldest_ == block) oldest_ = block->Newer;
  block->Newer = block->Older = nullptr;
}

void TBlobFile::MoveToFirstBlockBuffer(TBlock* block) {
  if (newest_ == block) return;
  UnlinkRecent(block);
  block->Older = newest_;
  if (newest_) newest_->Newer = block;
  newest_ = block;
  if (oldest_ == nullptr) oldest_ = block;
}

void TBlobFile::InsertBlockBuffer(TBlock* block, std::size_t position) {
  buffers_.insert(buffers_.begin() + static_cast<std::ptrdiff_t>(position), block);
  block->Newer = block->Older = nullptr;
  MoveToFirstBlockBuffer(block);
}

TBlock* TBlobFile::FindBlockBufferToDelete(bool all) {
  // A miss looks at a few of the least recently used blocks only, so that it costs the same
  // however many blocks are cached. A block that cannot go (pinned, or modified where nothing
  // may be flushed) moves to the front, out of the way of the next search.
  std::size_t left = all ? buffers_.size() : std::min(kVictimSearchLength, buffers_.size());
  for (; left > 0 && oldest_ != nullptr; --left) {
    TBlock* b = oldest_;
    if (!b->Modified && b->UseCount == 0) return b;
    MoveToFirstBlockBuffer(b);
  }
  return nullptr;
}

void TBlobFile::DeleteBlockBuffer(TBlock* block) {
  std::size_t position = 0;
  if (FindBlockBuffer(block->BlockNumber, position) != block) RaiseBlobError(KORVEL_MEMOCORRUPT);
  buffers_.erase(buffers_.begin() + static_cast<std::ptrdiff_t>(position));
  UnlinkRecent(block);
}

TBlock* TBlobFile::GetNewBlockBuffer(std::int32_t n, std::size_t& position) {
  TBlock* block = nullptr;
  if (buffers_.size() >= capacity_) {
    block = FindBlockBufferToDelete(false);
    if (block == nullptr && !owner_->GetTransactionInProgress()) {
      FlushBlockBuffers();
      block = FindBlockBufferToDelete(false);
    }
    if (block == nullptr) {
      // Everything looked at is pinned or modified: grow rather than fail, by half the
      // capacity, so that a long transaction grows the cache a few times, not every few blocks.
      capacity_ += std::max(kCacheGrowth, capacity_ / 2);
    } else {
      std::size_t removed = 0;
      FindBlockBuffer(block->BlockNumber, removed);
      DeleteBlockBuffer(block);
      if (removed < position) --position;
    }
  }
  if (block == nullptr) block = NewBlockInstance();
  block->Initialize();
  block->BlockNumber = n;
  block->Modified = false;
  block->UseCount = 0;
  InsertBlockBuffer(block, position);
  return block;
}

void TBlobFile::ReadBlockBuffers(std::int32_t first, std::int32_t count) {
  std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(blockSize_);
  if (readBuffer_.size() < bytes) readBuffer_.resize((bytes + kIoBufferStep - 1) / kIoBufferStep * kIoBufferStep);
  std::int64_t offset = BlockOffset(first);
  TReadWindowGuard window(readWindowOffset_, readWindowLength_, offset, static_cast<std::int64_t>(bytes));
  std::int64_t got = ReadAt(offset, readBuffer_.data(), static_cast<std::int64_t>(bytes), true);
  ++statistics_.Reads;
  if (got < 0) RaiseBlobError(KORVEL_READERR);
  if (got < static_cast<std::int64_t>(bytes)) {
    // Blocks appended in the cache may lie beyond the end of the file, but only for a writer
    // that keeps them there: exclusively or inside a transaction.
    bool mayBeShort = (owner_->GetExclusive() || owner_->GetTransactionInProgress()) && owner_->GetHeadersWritten();
    if (!mayBeShort) RaiseBlobError(KORVEL_READERR);
  }
  std::int32_t whole = static_cast<std::int32_t>(got / blockSize_);
  bool encrypted = owner_->GetEncrypted();
  // Backwards, so that the first block of the run ends up the most recently used.
  for (std::int32_t i = whole - 1; i >= 0; --i) {
    std::int32_t n = first + i;
    const unsigned char* disk = readBuffer_.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(blockSize_);
    std::size_t position = 0;
    TBlock* cached = FindBlockBuffer(n, position);
    if (cached == nullptr) {
      GetNewBlockBuffer(n, position)->Read(disk, encrypted);
    } else if (cached->UseCount == 0 && !cached->Modified) {
      cached->Read(disk, encrypted);
    }
  }
}

bool TBlobFile::GetBlock(TDataCursor* cursor, std::int32_t n, bool readAhead, std::int32_t count, TBlock*& block) {
  block = nullptr;
  if (n <= 0 || n > header_.NextEndingBlockNumber) RaiseBlobError(KORVEL_MEMOCORRUPT);
  std::size_t position = 0;
  if (n == header_.NextEndingBlockNumber) {
    if (n > kMaxBlobBlocks || static_cast<std::int64_t>(n) * blockSize_ + static_cast<std::int64_t>(kBlobHeaderSize) > kMaxBlobFileBytes)
      RaiseBlobError(KORVEL_TABLEFULL);
    TBlock* stale = FindBlockBuffer(n, position);
    if (stale != nullptr) DeleteBlockBuffer(stale), ReturnBlockInstance(stale);
    FindBlockBuffer(n, position);
    block = GetNewBlockBuffer(n, position);
    block->Modified = true;  // exists only in the cache until flushed
    ++block->UseCount;
    ++header_.NextEndingBlockNumber;
    header_.HeaderModified = true;
    ++statistics_.Hits;
    return true;
  }
  block = FindRecentBlockBuffer(n);
  if (block == nullptr) block = FindBlockBuffer(n, position);
  if (block != nullptr) {
    MoveToFirstBlockBuffer(block);
    ++block->UseCount;
    ++statistics_.Hits;
    return true;
  }
  ++statistics_.Misses;
  if (!owner_->IsReadLocked() && !owner_->ReadLockTable(cursor)) return false;
  std::int32_t run = 1;
  if (readAhead) run = std::max(1, std::min({readAheadLimit_, count, header_.NextEndingBlockNumber - n}));
  ReadBlockBuffers(n, run);
  block = FindBlockBuffer(n, position);
  if (block == nullptr) RaiseBlobError(KORVEL_MEMOCORRUPT);
  MoveToFirstBlockBuffer(block);
  ++block->UseCount;
  return true;
}

void TBlobFile::PutBlock(TBlock* block) {
  if (block == nullptr) return;
  if (block->UseCount > 0) --block->UseCount;
  if (!block->Detached || block->UseCount > 0) return;
  auto it = std::find(detachedBlocks_.begin(), detachedBlocks_.end(), block);
  if (it != detachedBlocks_.end()) detachedBlocks_.erase(it);
  block->Detached = false;
  ReturnBlockInstance(block);
}

bool TBlobFile::FlushBlockBuffers() {
  bool wrote = false;
  bool encrypted = owner_->GetEncrypted();
  std::size_t i = 0;
  while (i < buffers_.size()) {
    auto writable = [this](const TBlock* b) {
      if (!b->Modified || b->UseCount > 0) return false;
      std::int64_t offset = BlockOffset(b->BlockNumber);
      bool inWindow = readWindowLength_ > 0 && offset < readWindowOffset_ + readWindowLength_ &&
                      readWindowOffset_ < offset + blockSize_;
      return !inWindow;
    };
    if (!writable(buffers_[i])) {
      ++i;
      continue;
    }
    // A run of consecutive block numbers, assembled and written with one write.
    std::size_t runEnd = i + 1;
    while (runEnd < buffers_.size() && writable(buffers_[runEnd]) &&
           buffers_[runEnd]->BlockNumber == buffers_[runEnd - 1]->BlockNumber + 1)
      ++runEnd;
    std::size_t bytes = (runEnd - i) * static_cast<std::size_t>(blockSize_);
    if (writeBuffer_.size() < bytes)
      writeBuffer_.ResizeForOverwrite((bytes + kIoBufferStep - 1) / kIoBufferStep * kIoBufferStep);
    try {
      for (std::size_t j = i; j < runEnd; ++j)
        buffers_[j]->Write(writeBuffer_.data() + (j - i) * static_cast<std::size_t>(blockSize_), encrypted);
      WriteAt(BlockOffset(buffers_[i]->BlockNumber), writeBuffer_.data(), static_cast<std::int64_t>(bytes));
    } catch (...) {
      // Nothing of the run reached the file (disk full, file-size limit): a block is clean only
      // once its bytes are on the file, so a retried flush writes them.
      for (std::size_t j = i; j < runEnd; ++j) buffers_[j]->Modified = true;
      throw;
    }
    ++statistics_.Writes;
    owner_->SetHeadersWritten();
    wrote = true;
    i = runEnd;
  }
  return wrote;
}

void TBlobFile::FreeBlockBuffers() {
  for (TBlock* b : buffers_) {
    b->Newer = b->Older = nullptr;
    if (b->UseCount > 0) {
      // Its holder keeps it until PutBlock: back in the pool it would be handed out for another
      // block while still being read or written.
      b->Detached = true;
      detachedBlocks_.push_back(b);
      continue;
    }
    ReturnBlockInstance(b);
  }
  buffers_.clear();
  newest_ = oldest_ = nullptr;
  if (IsOpen) capacity_ = static_cast<std::size_t>(CacheLimit());
}

void TBlobFile::AdjustBlockBuffers() {
  std::size_t limit = static_cast<std::size_t>(CacheLimit());
  bool flushed = false;
  while (buffers_.size() > limit) {
    TBlock* victim = FindBlockBufferToDelete(true);
    if (victim == nullptr && !flushed && !owner_->GetTransactionInProgress()) {
      FlushBlockBuffers();
      flushed = true;
      victim = FindBlockBufferToDelete(true);
    }
    if (victim == nullptr) break;
    DeleteBlockBuffer(victim);
    ReturnBlockInstance(victim);
  }
  capacity_ = std::max(buffers_.size(), limit);
}

bool TBlobFile::ReadRunDirect(TDataCursor* cursor, std::int32_t first, std::int32_t& previous,
                              std::int32_t signature, unsigned char* dest, std::size_t room, std::size_t bytes,
                              std::size_t& delivered, std::int32_t& next) {
  delivered = 0;
  next = first;
  if (first < 1 || first > GetPhysicalBlocksUsed()) RaiseBlobError(KORVEL_MEMOCORRUPT);
  std::size_t dataSize = GetBlockBufferSize();
  std::size_t blockSize = static_cast<std::size_t>(blockSize_);
  // Large blocks: one vectored read, each block's header to a side buffer and its data straight
  // to its place in the value. Small blocks would make thousands of segments, each costing the
  // kernel more than moving its bytes here: the run is read whole into the value's own memory
  // (which then needs `room` for the blocks' headers too) and each block's data moved down over
  // the headers before it: one move of the bytes, and no second buffer.
  const bool vectored = dataSize >= kVectoredBlockData;
  bytes = std::min(bytes, room);
  std::size_t count = (bytes + dataSize - 1) / dataSize;
  count = std::min({count, kDirectRunBytes / blockSize, static_cast<std::size_t>(GetPhysicalBlocksUsed() - first + 1)});
  // Whole blocks land `shift` bytes in, where the memory address agrees with the file offset
  // within a cache line: the kernel copies such pairs fastest.
  const std::size_t shift = vectored ? 0 : CopyShift(BlockOffset(first), dest);
  if (!vectored) count = std::min(count, room > shift ? (room - shift) / blockSize : 0);
  // Cached blocks may hold changes the file does not have yet: the run stops before the first.
  std::size_t position = 0;
  FindBlockBuffer(first, position);
  if (position < buffers_.size()) {
    std::int64_t gap = static_cast<std::int64_t>(buffers_[position]->BlockNumber) - first;
    count = std::min(count, static_cast<std::size_t>(gap));
  }
  if (count == 0) return true;
  if (!owner_->IsReadLocked() && !owner_->ReadLockTable(cursor)) return false;
  std::int64_t got = 0;
  if (vectored) {
    if (directHeaders_.size() < count * kBlockHeaderSize) directHeaders_.resize(count * kBlockHeaderSize);
    if (directSegments_.size() < 2 * count) directSegments_.resize(2 * count);
    std::size_t planned = 0;
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t n = std::min(dataSize, bytes - planned);
      directSegments_[2 * i] = {directHeaders_.data() + i * kBlockHeaderSize, kBlockHeaderSize};
      directSegments_[2 * i + 1] = {dest + planned, n};
      planned += n;
    }
    got = ReadVectorAt(BlockOffset(first), directSegments_.data(), 2 * count, true);
  } else {
    got = ReadAt(BlockOffset(first), dest + shift, static_cast<std::int64_t>(count * blockSize), true);
  }
  ++statistics_.Reads;
  if (got < 0) RaiseBlobError(KORVEL_READERR);
  bool encrypted = owner_->GetEncrypted();
  std::size_t available = static_cast<std::size_t>(got);
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t n = std::min(dataSize, bytes - delivered);
    if (available < kBlockHeaderSize + n) break;  // the file ended inside this block
    // Block i was read to dest + shift + i * blockSize; the data of the blocks before it has
    // moved to below dest + i * dataSize, so its header is still intact there.
    unsigned char* header = vectored ? directHeaders_.data() + i * kBlockHeaderSize : dest + shift + i * blockSize;
    // A whole block spans its full size in the file; a vectored one only what was asked for.
    available -= vectored ? kBlockHeaderSize + n : std::min(available, blockSize);
    Unscramble(header, kBlockHeaderSize, encrypted);
    TBlockHeader h;
    h.DecodeFrom(header);
    std::int32_t number = first + static_cast<std::int32_t>(i);
    if (h.PrevBlockNumber != previous) RaiseBlobError(KORVEL_MEMOCORRUPT);
    if (h.BlobSignature != signature) RaiseBlobError(KORVEL_KEYORRECDELETED);
    if (!vectored) std::memmove(dest + delivered, header + kBlockHeaderSize, n);
    Unscramble(dest + delivered, n, encrypted);
    delivered += n;
    previous = number;
    next = h.NextBlockNumber;
    if (delivered >= bytes || next != number + 1) break;
  }
  statistics_.Misses += static_cast<std::uint32_t>(count);
  return true;
}

std::int32_t TBlobFile::AppendBlocksDirect(std::int32_t previous, std::int32_t signature, const unsigned char* data,
                                           std::size_t bytes) {
  if (bytes == 0 || header_.NextFreeBlockNumber != 0 || owner_->GetTransactionInProgress()) return 0;
  std::int32_t first = header_.NextEndingBlockNumber;
  if (!buffers_.empty() && buffers_.back()->BlockNumber >= first) return 0;
  std::size_t dataSize = GetBlockBufferSize();
  std::size_t blockSize = static_cast<std::size_t>(blockSize_);
  std::int64_t count = static_cast<std::int64_t>((bytes + dataSize - 1) / dataSize);
  std::int64_t last = first + count - 1;
  if (last > kMaxBlobBlocks || last * blockSize_ + static_cast<std::int64_t>(kBlobHeaderSize) > kMaxBlobFileBytes)
    RaiseBlobError(KORVEL_TABLEFULL);
  std::size_t perWrite = std::max<std::size_t>(kDirectRunBytes / blockSize, 1);
  bool encrypted = owner_->GetEncrypted();
  std::size_t done = 0;
  std::int32_t number = first;
  // The header of block `number` holding the next `n` bytes of the value: chained to the block
  // before it and, unless it holds the last bytes, to the block after it.
  auto encodeNextHeader = [&](unsigned char* raw, std::size_t n) {
    TBlockHeader h;
    h.PrevBlockNumber = previous;
    h.NextBlockNumber = done + n < bytes ? number + 1 : 0;
    h.BlockLength = static_cast<std::uint16_t>(n);
    h.BlobSignature = signature;
    h.BlobLength = 0;
    h.EncodeTo(raw);
  };
  if (!encrypted && dataSize >= kVectoredBlockData) {
    // Large blocks: one vectored write per run, the headers from a side buffer and the data
    // straight from the value (the last block's unused end from a zeroed buffer).
    if (directHeaders_.size() < perWrite * kBlockHeaderSize) directHeaders_.resize(perWrite * kBlockHeaderSize);
    if (directSegments_.size() < 2 * perWrite + 1) directSegments_.resize(2 * perWrite + 1);
    if (zeroData_.size() < dataSize) zeroData_.assign(dataSize, 0);
    while (done < bytes) {
      std::size_t segments = 0;
      std::size_t inThisWrite = 0;
      std::int32_t runStart = number;
      while (done < bytes && inThisWrite < perWrite) {
        unsigned char* raw = directHeaders_.data() + inThisWrite * kBlockHeaderSize;
        std::size_t n = std::min(dataSize, bytes - done);
        encodeNextHeader(raw, n);
        directSegments_[segments++] = {raw, kBlockHeaderSize};
        directSegments_[segments++] = {const_cast<unsigned char*>(data + done), n};
        if (n < dataSize) directSegments_[segments++] = {zeroData_.data(), dataSize - n};
        done += n;
        previous = number++;
        ++inThisWrite;
      }
      WriteVectorAt(BlockOffset(runStart), directSegments_.data(), segments);
      ++statistics_.Writes;
    }
  }
  // Small blocks (and every scrambled block): each run is assembled in the write buffer and
  // written with one write. Segments of a few hundred bytes cost the kernel more each than the
  // assembly costs here; smaller writes cost more per call and leave the file's cached pages in
  // smaller pieces, which slows every later read of the value.
  std::optional<TAssemblyBufferLease> lease;
  if (done < bytes) {
    lease.emplace();
    TBlobBytes& buffer = lease->Buffer();
    std::size_t needed = std::min<std::size_t>(perWrite, static_cast<std::size_t>(count)) * blockSize + kCopyAlignment;
    if (buffer.size() < needed) buffer.ResizeForOverwrite(needed);
  }
  while (done < bytes) {
    std::size_t inThisWrite = 0;
    std::int32_t runStart = number;
    unsigned char* assembly = lease->Buffer().data();
    unsigned char* run = assembly + CopyShift(BlockOffset(runStart), assembly);
    while (done < bytes && inThisWrite < perWrite) {
      unsigned char* raw = run + inThisWrite * blockSize;
      std::size_t n = std::min(dataSize, bytes - done);
      encodeNextHeader(raw, n);
      Scramble(raw, kBlockHeaderSize, encrypted);
      std::memcpy(raw + kBlockHeaderSize, data + done, n);
      std::memset(raw + kBlockHeaderSize + n, 0, dataSize - n);
      Scramble(raw + kBlockHeaderSize, dataSize, encrypted);
      done += n;
      previous = number++;
      ++inThisWrite;
    }
    WriteAt(BlockOffset(runStart), run, static_cast<std::int64_t>(inThisWrite * blockSize));
    ++statistics_.Writes;
  }
  header_.NextEndingBlockNumber = number;
  header_.HeaderModified = true;
  owner_->SetHeadersWritten();
  return first;
}

// ---------------------------------------------------------------------------------------------
// Free blocks

void TBlobFile::GetNextFreeBlock(TDataCursor* cursor, TBlock*& block) {
  std::int32_t head = header_.NextFreeBlockNumber;
  if (head != 0 && !CheckBlockNumber(head)) RaiseBlobError(KORVEL_MEMOCORRUPT);
  std::int32_t n = head != 0 ? head : header_.NextEndingBlockNumber;
  if (!GetBlock(cursor, n, false, 1, block)) RaiseBlobError(KORVEL_LOCKTIMEOUT);
  if (head != 0) {
    // A free block carries no signature, is held by nobody, and links to another free block
    // inside the file (or to none): anything else is a damaged chain that would give one block
    // to two values or hand out a live value's block.
    std::int32_t next = block->GetNextBlockNumber();
    if (block->UseCount > 1 || block->GetBlobSignature() != 0 || next == head || !CheckBlockNumber(next)) {
      PutBlock(block);
      RaiseBlobError(KORVEL_MEMOCORRUPT);
    }
    SetNextFreeBlockNumber(block->GetNextBlockNumber());
  }
  block->Initialize();
  block->Modified = true;
}

void TBlobFile::SetNextFreeBlock(TBlock* block) {
  std::int32_t head = header_.NextFreeBlockNumber;
  block->SetNextBlockNumber(head == header_.NextEndingBlockNumber ? 0 : head);
  block->SetPrevBlockNumber(0);
  block->SetBlobSignature(0);  // freed: no value's signature, so a second walk over it stops
  block->SetBlobLength(0);
  SetNextFreeBlockNumber(block->BlockNumber);
}

void TBlobFile::FreeNextBlocks(TDataCursor* cursor, TBlock* block, bool repair, std::int32_t signature,
                               std::int32_t readAhead) {
  std::int32_t next = block->GetNextBlockNumber();
  std::int32_t previous = block->BlockNumber;
  std::int32_t visited = 0;
  while (next != 0) {
    // A chain cannot hold more blocks than the file; more means it runs in a circle.
    if (next < 1 || next > GetPhysicalBlocksUsed() || ++visited > GetPhysicalBlocksUsed())
      RaiseBlobError(KORVEL_MEMOCORRUPT);
    TBlock* b = nullptr;
    if (!GetBlock(cursor, next, readAhead > 0, readAhead, b)) RaiseBlobError(KORVEL_LOCKTIMEOUT);
    // Repair overwrites a wrong signature, but a block that does not link back is another
    // value's: freeing it would lose that value.
    bool damaged = b->UseCount > 1 || b->GetBlobSignature() == 0 || b->GetPrevBlockNumber() != previous ||
                   (!repair && b->GetBlobSignature() != signature);
    if (damaged) {
      PutBlock(b);
      RaiseBlobError(KORVEL_MEMOCORRUPT);
    }
    std::int32_t after = b->GetNextBlockNumber();
    previous = b->BlockNumber;
    SetNextFreeBlock(b);
    PutBlock(b);
    if (readAhead > 0) --readAhead;
    next = after;
  }
  block->SetNextBlockNumber(0);
}

void TBlobFile::FreeBlobBlocks(TDataCursor* cursor, std::int32_t& firstBlock, bool repair, std::int32_t,
                               std::int32_t signature) {
  if (firstBlock == 0) return;
  if (firstBlock < 0 || firstBlock > GetPhysicalBlocksUsed()) RaiseBlobError(KORVEL_MEMOCORRUPT);
  TBlock* first = nullptr;
  if (!GetBlock(cursor, firstBlock, false, 1, first)) RaiseBlobError(KORVEL_LOCKTIMEOUT);
  try {
    if (first->GetBlobSignature() == 0 || (!repair && first->GetBlobSignature() != signature))
      RaiseBlobError(KORVEL_MEMOCORRUPT);
    std::int32_t blocks = first->GetBlobLength() > 0
                              ? static_cast<std::int32_t>((static_cast<std::size_t>(first->GetBlobLength()) +
                                                           GetBlockBufferSize() - 1) /
                                                          GetBlockBufferSize())
                              : 1;
    FreeNextBlocks(cursor, first, repair, first->GetBlobSignature(), blocks - 1);
    SetNextFreeBlock(first);
  } catch (...) {
    PutBlock(first);
    throw;
  }
  PutBlock(first);
  firstBlock = 0;
}

// ---------------------------------------------------------------------------------------------
// Locks

bool TBlobFile::WriteLock() { return LockPageWriteRegion(*this); }
bool TBlobFile::WriteUnLock() { return UnlockPageWriteRegion(*this); }
bool TBlobFile::ReadLock(std::uint16_t& slot) { return LockReadSlot(*this, slot); }
bool TBlobFile::ReadUnlock(std::uint16_t slot) { return UnlockReadSlot(*this, slot); }

}  // namespace korvel

// ---------------------------------------------------------------------------------------------
// TBlobBuffer

namespace korvel {

namespace {
// A read that keeps losing its read lock is retried this often before it gives up.
constexpr int kMaxReadRestarts = 1000;
}  // namespace

TBlobBuffer::TBlobBuffer(TBlobFile* file, TDataCursor* cursor) : Cursor(cursor), file_(file) {}

std::int32_t TBlobBuffer::BlocksFor(std::size_t bytes) const {
  std::size_t dataSize = file_->GetBlockBufferSize();
  return static_cast<std::int32_t>((bytes + dataSize - 1) / dataSize);
}

TBlock* TBlobBuffer::FetchChainBlock(std::int32_t n, std::int32_t previous, std::size_t bytesLeft,
                                     std::int32_t signature, bool& lockFailed) {
  lockFailed = false;
  if (n < 1 || n > file_->GetPhysicalBlocksUsed()) file_->RaiseBlobError(KORVEL_MEMOCORRUPT);
  TBlock* block = nullptr;
  if (!file_->GetBlock(Cursor, n, true, BlocksFor(bytesLeft), block)) {
    lockFailed = true;
    return nullptr;
  }
  if (block->UseCount > 1 || block->GetPrevBlockNumber() != previous) {
    file_->PutBlock(block);
    file_->RaiseBlobError(KORVEL_MEMOCORRUPT);
  }
  if (block->GetBlobSignature() != signature) {
    file_->PutBlock(block);
    file_->RaiseBlobError(KORVEL_KEYORRECDELETED);
  }
  return block;
}

bool TBlobBuffer::TryRead() {
  data_.clear();
  if (FirstBlockNumber == 0) return true;
  bool lockFailed = false;
  // The length is known only once the first block is in, so a missed first block brings a full
  // read-ahead window with it: a small value then costs one read, and values written one after
  // another (the usual case) are found in the cache by the reads that follow.
  TBlock* block = FetchChainBlock(FirstBlockNumber, 0, file_->GetReadAheadBytes(), BlobSignature, lockFailed);
  if (lockFailed) return false;
  // The length comes from the file: a value cannot be longer than the blocks the file holds.
  std::int64_t length = block->GetBlobLength();
  std::size_t dataSize = file_->GetBlockBufferSize();
  std::int64_t capacity = static_cast<std::int64_t>(file_->GetPhysicalBlocksUsed()) * static_cast<std::int64_t>(dataSize);
  if (length < 0 || length > capacity) {
    file_->PutBlock(block);
    file_->RaiseBlobError(KORVEL_MEMOCORRUPT);
  }
  std::size_t size = static_cast<std::size_t>(length);
  bool direct = size >= kDirectBlocks * dataSize;
  // A direct read of small blocks passes their headers through the value's memory on the way.
  if (direct) data_.Reserve(size + file_->GetDirectReadRoom(size));
  data_.ResizeForOverwrite(size);  // every byte comes from the chain, or the read fails
  std::size_t copied = std::min(dataSize, size);
  std::memcpy(data_.data(), block->Data(), copied);
  std::int32_t next = block->GetNextBlockNumber();
  std::int32_t previous = block->BlockNumber;
  file_->PutBlock(block);
  // A value written in one go lies in consecutive blocks, and runs are as long as the file
  // allows. Where the chain jumps (a value rewritten over reused blocks), a run reads past the
  // jump for nothing: after one, runs start again at the least direct run and double while
  // they hold.
  std::size_t runBytes = size;
  while (copied < size && next != 0) {
    std::size_t left = size - copied;
    if (direct && left >= kDirectBlocks * dataSize) {
      std::size_t wanted = std::min(left, runBytes);
      std::size_t delivered = 0;
      std::int32_t after = 0;
      if (!file_->ReadRunDirect(Cursor, next, previous, BlobSignature, data_.data() + copied,
                                data_.capacity() - copied, wanted, delivered, after))
        return false;
      if (delivered > 0) {
        copied += delivered;
        next = after;
        bool jumped = after != 0 && after != previous + 1;
        runBytes = jumped ? kDirectBlocks * dataSize : std::min(size, runBytes * 2);
        continue;
      }
    }
    block = FetchChainBlock(next, previous, left, BlobSignature, lockFailed);
    if (lockFailed) return false;
    std::size_t n = std::min(dataSize, left);
    std::memcpy(data_.data() + copied, block->Data(), n);
    copied += n;
    next = block->GetNextBlockNumber();
    previous = block->BlockNumber;
    file_->PutBlock(block);
  }
  if (copied < size) {
    std::memset(data_.data() + copied, 0, size - copied);  // a cut chain leaves zero bytes, never stale ones
    file_->RaiseBlobError(KORVEL_ENDOFBLOB);
  }
  return true;
}

void TBlobBuffer::Read() {
  for (int attempt = 0; attempt < kMaxReadRestarts; ++attempt) {
    if (TryRead()) {
      chainSignature_ = BlobSignature;
      Modified = false;
      return;
    }
  }
  file_->RaiseBlobError(KORVEL_LOCKTIMEOUT);
}

void TBlobBuffer::Remove() {
  std::int32_t signature = chainSignature_ != 0 ? chainSignature_ : BlobSignature;
  file_->FreeBlobBlocks(Cursor, FirstBlockNumber, false, RecordNumber, signature);
  chainSignature_ = 0;
  Modified = false;
}

void TBlobBuffer::Write() {
  if (data_.empty()) {
    Remove();
    return;
  }
  std::size_t dataSize = file_->GetBlockBufferSize();
  bool oldChain = FirstBlockNumber != 0;
  std::int32_t oldSignature = 0;
  std::size_t oldLeft = 0;  // bytes of the old value in blocks not yet reused
  TBlock* current = nullptr;
  if (oldChain) {
    if (FirstBlockNumber < 0 || FirstBlockNumber > file_->GetPhysicalBlocksUsed())
      file_->RaiseBlobError(KORVEL_MEMOCORRUPT);
    if (!file_->GetBlock(Cursor, FirstBlockNumber, false, 1, current)) file_->RaiseBlobError(KORVEL_LOCKTIMEOUT);
    oldSignature = current->GetBlobSignature();
    bool foreign = chainSignature_ != 0 && oldSignature != chainSignature_;
    if (oldSignature == 0 || foreign) {
      file_->PutBlock(current);
      file_->RaiseBlobError(oldSignature == 0 ? KORVEL_MEMOCORRUPT : KORVEL_KEYORRECDELETED);
    }
    std::int32_t oldLength = current->GetBlobLength();
    oldLeft = oldLength > static_cast<std::int32_t>(dataSize) ? static_cast<std::size_t>(oldLength) - dataSize : 0;
  } else {
    file_->GetNextFreeBlock(Cursor, current);
    FirstBlockNumber = current->BlockNumber;
  }
  try {
    current->SetPrevBlockNumber(0);
    current->SetBlobSignature(BlobSignature);
    current->SetBlobLength(static_cast<std::int32_t>(data_.size()));
    std::size_t written = 0;
    bool tailAppended = false;
    while (true) {
      std::size_t n = std::min(dataSize, data_.size() - written);
      current->PutBlockData(0, n, data_.data() + written);
      if (n < dataSize) current->TruncateBlockData(n);
      written += n;
      if (written >= data_.size()) break;
      TBlock* next = nullptr;
      std::int32_t oldNext = oldChain ? current->GetNextBlockNumber() : 0;
      if (oldNext == 0 && data_.size() - written >= kDirectBlocks * dataSize) {
        // The rest of a long value goes to new blocks at the end of the file in one go.
        std::int32_t appended =
            file_->AppendBlocksDirect(current->BlockNumber, BlobSignature, data_.data() + written, data_.size() - written);
        if (appended != 0) {
          oldChain = false;
          tailAppended = true;
          current->SetNextBlockNumber(appended);
          written = data_.size();
          break;
        }
      }
      if (oldNext != 0) {
        bool lockFailed = false;
        next = FetchChainBlock(oldNext, current->BlockNumber, std::max<std::size_t>(oldLeft, 1), oldSignature,
                               lockFailed);
        if (lockFailed) file_->RaiseBlobError(KORVEL_LOCKTIMEOUT);
        oldLeft = oldLeft > dataSize ? oldLeft - dataSize : 0;
      } else {
        oldChain = false;
        file_->GetNextFreeBlock(Cursor, next);
        current->SetNextBlockNumber(next->BlockNumber);
        next->SetPrevBlockNumber(current->BlockNumber);
      }
      next->SetBlobSignature(BlobSignature);
      next->SetBlobLength(0);
      file_->PutBlock(current);
      current = next;
    }
    // What is left of the old chain goes to the free list; mismatching signatures there are
    // overwritten rather than reported, since those blocks are given up anyway.
    if (oldChain && current->GetNextBlockNumber() != 0)
      file_->FreeNextBlocks(Cursor, current, true, oldSignature, BlocksFor(std::max<std::size_t>(oldLeft, 1)));
    else if (!tailAppended)
      current->SetNextBlockNumber(0);
  } catch (...) {
    file_->PutBlock(current);
    throw;
  }
  file_->PutBlock(current);
  chainSignature_ = BlobSignature;
  Modified = false;
}

void TBlobBuffer::SetSize(std::size_t n) {
  if (n == data_.size()) return;
  if (n == 0) {
    data_.Release();  // emptied values release their bytes
  } else {
    data_.resize(n);
  }
  Modified = true;
}

void TBlobBuffer::WriteAt(std::size_t offset, const void* source, std::size_t length) {
  std::size_t end = offset + length;
  if (end > data_.size()) {
    std::size_t old = data_.size();
    data_.ResizeForOverwrite(end);
    if (offset > old) std::memset(data_.data() + old, 0, offset - old);  // only the gap is cleared
  }
  if (length > 0) std::memcpy(data_.data() + offset, source, length);
  Modified = true;
}

}  // namespace korvel
