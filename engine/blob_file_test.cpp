#include "engine/blob_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <thread>

#include "support/byte_order.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"

namespace korvel {
namespace {

using testing::TTestFolder;

// The table side of a BLOB file, as a test needs it.
class TTestOwner : public TBlobFileOwner {
 public:
  std::string GetTableName() const override { return "blobs"; }
  std::string GetProperDataDirectoryName() const override { return "/test/"; }
  bool GetEncrypted() const override { return Encrypted; }
  std::int32_t GetMaxTableBlobBufferSize() const override { return MaxBufferSize; }
  std::int32_t GetMaxTableBlobBufferCount() const override { return 8192; }
  bool GetForceBufferFlush() const override { return false; }
  bool GetExclusive() const override { return Exclusive; }
  bool GetTransactionInProgress() const override { return false; }
  bool GetHeadersWritten() const override { return Written; }
  void SetHeadersWritten() override { Written = true; }
  bool IsReadLocked() const override { return false; }
  bool ReadLockTable(TDataCursor*) override {
    ++ReadLocks;
    return true;
  }
  std::int32_t GetNextFreeBlobSignature() override { return ++Signature; }

  bool Encrypted = false;
  bool Exclusive = false;
  bool Written = false;
  std::int32_t MaxBufferSize = 32768;
  std::int32_t Signature = 0;
  int ReadLocks = 0;
};

std::vector<unsigned char> Bytes(std::size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

std::vector<unsigned char> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<unsigned char> bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

class BlobFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = folder_.File("t.BLB");
    file_ = std::make_unique<TBlobFile>(&owner_);
    file_->FileName = path_;
    Create();
  }

  // A created file is held exclusively; reopening it shares it with other processes.
  void Create() {
    file_->CloseFile();
    file_->CreateFile();
    file_->WriteHeader(true);
    Reopen();
  }

  // Writes a value as a new chain (or over `first`, whose signature *signature holds) and
  // flushes; returns its first block and sets *signature to the value's new signature.
  std::int32_t Store(const std::vector<unsigned char>& value, std::int32_t first = 0, std::int32_t* signature = nullptr) {
    TBlobBuffer buffer(file_.get(), nullptr);
    buffer.FirstBlockNumber = first;
    if (first != 0) {
      buffer.BlobSignature = *signature;
      buffer.Read();
    }
    buffer.SetSize(0);
    buffer.SetSize(value.size());
    if (!value.empty()) std::memcpy(buffer.GetBuffer().data(), value.data(), value.size());
    buffer.BlobSignature = owner_.GetNextFreeBlobSignature();
    buffer.Write();
    if (signature) *signature = buffer.BlobSignature;
    Flush();
    return buffer.FirstBlockNumber;
  }

  std::vector<unsigned char> Load(std::int32_t first, std::int32_t signature) {
    TBlobBuffer buffer(file_.get(), nullptr);
    buffer.FirstBlockNumber = first;
    buffer.BlobSignature = signature;
    buffer.Read();
    return buffer.GetBuffer();
  }

  void Flush() {
    file_->FlushBlockBuffers();
    file_->WriteHeader(false);
  }

  void Reopen() {
    file_->CloseFile();
    file_->OpenFile();
  }

  TErrorCode ErrorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const EKORVELEngineError& e) {
      return e.ErrorCode;
    }
    return 0;
  }

  TTestFolder folder_;
  std::string path_;
  TTestOwner owner_;
  std::unique_ptr<TBlobFile> file_;
};

TEST_F(BlobFile, HeaderAndBlocksSitAtTheirOffsets) {
  std::vector<unsigned char> value = Bytes(1000, 1);
  std::int32_t signature = 0;
  std::int32_t first = Store(value, 0, &signature);
  ASSERT_EQ(first, 1);
  std::vector<unsigned char> raw = FileBytes(path_);
  // 1,000 bytes at 494 a block: three blocks, the last holding 12.
  ASSERT_EQ(raw.size(), 512u + 3 * 512u);
  EXPECT_EQ(GetI32(raw.data(), 0), file_->GetLastUpdateStamp());
  EXPECT_EQ(raw[4], 5);
  EXPECT_EQ(GetI32(raw.data(), 5), 0);   // no free blocks
  EXPECT_EQ(GetI32(raw.data(), 9), 4);   // next ending block
  for (std::size_t i = 14; i < 512; ++i) ASSERT_EQ(raw[i], 0) << i;
  const unsigned char* b1 = raw.data() + 512;
  const unsigned char* b2 = b1 + 512;
  const unsigned char* b3 = b2 + 512;
  EXPECT_EQ(GetI32(b1, 0), 0);
  EXPECT_EQ(GetI32(b1, 4), 2);
  EXPECT_EQ(GetU16(b1, 8), 494);
  EXPECT_EQ(GetI32(b1, 10), signature);
  EXPECT_EQ(GetI32(b1, 14), 1000);
  EXPECT_EQ(GetI32(b2, 0), 1);
  EXPECT_EQ(GetI32(b2, 4), 3);
  EXPECT_EQ(GetI32(b2, 14), 0);  // only the first block carries the length
  EXPECT_EQ(GetI32(b3, 0), 2);
  EXPECT_EQ(GetI32(b3, 4), 0);
  EXPECT_EQ(GetU16(b3, 8), 12);
  EXPECT_EQ(GetI32(b3, 10), signature);
  EXPECT_TRUE(std::equal(value.begin(), value.begin() + 494, b1 + 18));
  EXPECT_TRUE(std::equal(value.begin() + 988, value.end(), b3 + 18));
}

TEST_F(BlobFile, ValuesOfEverySizeReadBackFromAColdCache) {
  struct TCase {
    std::size_t Size;
    std::int32_t Blocks;
  };
  std::vector<std::pair<std::int32_t, std::int32_t>> stored;
  std::vector<std::vector<unsigned char>> values;
  std::int32_t expectedBlocks = 0;
  for (TCase c : {TCase{1, 1}, TCase{494, 1}, TCase{495, 2}, TCase{3 * 1024 * 1024, 6368}}) {
    values.push_back(Bytes(c.Size, static_cast<unsigned>(c.Size)));
    std::int32_t signature = 0;
    std::int32_t first = Store(values.back(), 0, &signature);
    stored.emplace_back(first, signature);
    expectedBlocks += c.Blocks;
  }
  EXPECT_EQ(file_->GetPhysicalBlocksUsed(), expectedBlocks);
  Reopen();
  std::uint32_t readsBefore = file_->Statistics().Reads;
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(Load(stored[i].first, stored[i].second), values[i]) << values[i].size();
  // Read-ahead sized from the value: the 3 MiB value takes runs of 32 blocks, not 6,368 reads.
  EXPECT_LT(file_->Statistics().Reads - readsBefore, 6368u / 32 + 10);
  // An empty value has no chain at all.
  EXPECT_TRUE(Load(0, 0).empty());
}

// Long values take the direct paths, by segments with large blocks and whole blocks through
// the value's memory with small ones: every block size, plain and encrypted, reads back what
// was written.
TEST_F(BlobFile, LongValuesReadBackWithEveryBlockSize) {
  for (bool encrypted : {false, true}) {
    for (std::int32_t blockSize : {512, 1024, 2048, 4096, 16384}) {
      owner_.Encrypted = encrypted;
      file_->SetBlockSize(blockSize);
      Create();
      const std::size_t dataSize = static_cast<std::size_t>(blockSize) - 18;
      std::vector<std::vector<unsigned char>> values;
      std::vector<std::pair<std::int32_t, std::int32_t>> stored;
      for (std::size_t size : {dataSize * 8, dataSize * 8 + 1, std::size_t{1024 * 1024 + 7}, std::size_t{2500 * 1000}}) {
        values.push_back(Bytes(size, static_cast<unsigned>(size + blockSize)));
        std::int32_t signature = 0;
        std::int32_t first = Store(values.back(), 0, &signature);
        stored.emplace_back(first, signature);
      }
      Reopen();
      for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(Load(stored[i].first, stored[i].second), values[i])
            << "block size " << blockSize << ", value of " << values[i].size() << (encrypted ? ", encrypted" : "");
    }
  }
}

// The value a chain holds, walked in the file's own bytes with nothing but the layout: every
// block links back to the one before and carries the signature, only the first the length;
// every block but the last is full, and the last one's unused end is zero. The first breach is
// reported, naming the block.
std::vector<unsigned char> WalkChain(const std::vector<unsigned char>& raw, std::int32_t blockSize,
                                     std::int32_t first, std::int32_t signature) {
  const std::size_t dataSize = static_cast<std::size_t>(blockSize) - kBlockHeaderSize;
  std::vector<unsigned char> value;
  std::int64_t length = -1;
  std::int32_t previous = 0;
  for (std::int32_t n = first; n != 0;) {
    std::size_t at = kBlobHeaderSize + static_cast<std::size_t>(n - 1) * static_cast<std::size_t>(blockSize);
    if (n < 0 || at + static_cast<std::size_t>(blockSize) > raw.size()) {
      ADD_FAILURE() << "block " << n << " lies outside the file";
      return value;
    }
    const unsigned char* b = raw.data() + at;
    const unsigned char* data = b + kBlockHeaderSize;
    std::int32_t next = GetI32(b, TBlockHeader::kNextBlockNumber);
    std::size_t used = GetU16(b, TBlockHeader::kBlockLength);
    std::int32_t blobLength = GetI32(b, TBlockHeader::kBlobLength);
    if (previous == 0) length = blobLength;
    const char* breach = nullptr;
    if (GetI32(b, TBlockHeader::kPrevBlockNumber) != previous) breach = "links back elsewhere";
    else if (GetI32(b, TBlockHeader::kBlobSignature) != signature) breach = "carries another signature";
    else if (previous != 0 && blobLength != 0) breach = "carries a length but is not the first";
    else if (used > dataSize || (next != 0 && used != dataSize)) breach = "has a wrong data length";
    else if (next == 0 && !std::all_of(data + used, data + dataSize, [](unsigned char c) { return c == 0; }))
      breach = "ends in bytes that are not zero";
    if (breach != nullptr) {
      ADD_FAILURE() << "block " << n << " " << breach;
      return value;
    }
    value.insert(value.end(), data, data + used);
    previous = n;
    n = next;
  }
  EXPECT_EQ(static_cast<std::int64_t>(value.size()), length);
  return value;
}

// Long values are written in runs of blocks (assembled for small blocks, by segments for large
// ones) and read back in runs (through the value's own memory for small blocks): values of
// random sizes across the run length lie on disk as their chains say and read back cold.
TEST_F(BlobFile, LongValuesAcrossTheRunLengthMatchTheChainOnDisk) {
  std::mt19937 rng(5);
  for (std::int32_t blockSize : {512, 4096}) {
    owner_.Encrypted = false;
    file_->SetBlockSize(blockSize);
    Create();
    const std::size_t dataSize = static_cast<std::size_t>(blockSize) - kBlockHeaderSize;
    const std::size_t perRun = TBlobFile::kDirectRunBytes / static_cast<std::size_t>(blockSize);
    // The first block goes through the cache, the rest in runs: a tail of exactly one run and
    // one byte more or less, and random sizes up to two runs.
    const std::size_t oneRun = (perRun + 1) * dataSize;
    std::vector<std::size_t> sizes = {oneRun - 1, oneRun, oneRun + 1};
    std::uniform_int_distribution<std::size_t> random(TBlobBuffer::kDirectBlocks * dataSize, 2 * perRun * dataSize);
    for (int i = 0; i < 2; ++i) sizes.push_back(random(rng));
    std::vector<std::vector<unsigned char>> values;
    std::vector<std::pair<std::int32_t, std::int32_t>> stored;
    for (std::size_t size : sizes) {
      values.push_back(Bytes(size, static_cast<unsigned>(size)));
      std::int32_t signature = 0;
      std::int32_t first = Store(values.back(), 0, &signature);
      stored.emplace_back(first, signature);
    }
    std::vector<unsigned char> raw = FileBytes(path_);
    for (std::size_t i = 0; i < values.size(); ++i)
      ASSERT_TRUE(WalkChain(raw, blockSize, stored[i].first, stored[i].second) == values[i])
          << "block size " << blockSize << ", value of " << values[i].size();
    Reopen();
    for (std::size_t i = values.size(); i-- > 0;)  // backwards: no value finds the next one cached
      ASSERT_EQ(Load(stored[i].first, stored[i].second), values[i])
          << "block size " << blockSize << ", value of " << values[i].size();
  }
}

// Long writes assemble their blocks in one buffer that the process keeps between them: writers
// in several threads, each on its own file, must never assemble into the same memory at once.
TEST_F(BlobFile, LongWritesInSeveralThreadsKeepTheirOwnBytes) {
  constexpr int kThreads = 4;
  std::vector<std::string> paths;
  for (int t = 0; t < kThreads; ++t) paths.push_back(folder_.File("thread" + std::to_string(t) + ".BLB"));
  std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> chains(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TTestOwner owner;
      TBlobFile file(&owner);
      file.FileName = paths[t];
      file.CreateFile();
      file.WriteHeader(true);
      for (unsigned i = 0; i < 12; ++i) {
        std::vector<unsigned char> value = Bytes(20000 + 7919 * i, 1000 * t + i);
        TBlobBuffer buffer(&file, nullptr);
        buffer.WriteAt(0, value.data(), value.size());
        buffer.BlobSignature = owner.GetNextFreeBlobSignature();
        buffer.Write();
        chains[t].emplace_back(buffer.FirstBlockNumber, buffer.BlobSignature);
      }
      file.FlushBlockBuffers();
      file.WriteHeader(false);
      file.CloseFile();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    std::vector<unsigned char> raw = FileBytes(paths[t]);
    for (unsigned i = 0; i < chains[t].size(); ++i)
      ASSERT_TRUE(WalkChain(raw, 512, chains[t][i].first, chains[t][i].second) == Bytes(20000 + 7919 * i, 1000 * t + i))
          << "thread " << t << ", value " << i;
  }
}

// A long value written over freed blocks jumps around the file. It reads back whole, and its
// reads do not each fetch a full run past every jump.
TEST_F(BlobFile, AChainOverReusedBlocksReadsBackWithoutReadingPastEveryJump) {
  std::vector<std::pair<std::int32_t, std::int32_t>> small;
  for (unsigned i = 0; i < 40; ++i) {
    std::int32_t signature = 0;
    small.emplace_back(Store(Bytes(1000, i), 0, &signature), signature);  // three blocks each
  }
  for (std::size_t i = 0; i < small.size(); i += 2) file_->FreeBlobBlocks(nullptr, small[i].first, false, 1, small[i].second);
  Flush();
  const std::vector<unsigned char> value = Bytes(600 * 494, 99);  // 60 reused blocks, then new ones
  std::int32_t signature = 0;
  const std::int32_t first = Store(value, 0, &signature);
  EXPECT_EQ(file_->GetNextFreeBlockNumber(), 0);
  EXPECT_EQ(file_->GetPhysicalBlocksUsed(), 120 + 540);
  EXPECT_TRUE(WalkChain(FileBytes(path_), 512, first, signature) == value);
  Reopen();
  std::uint32_t missesBefore = file_->Statistics().Misses;
  EXPECT_EQ(Load(first, signature), value);
  // Some 40 jumps: runs of the whole rest past each read about 3,900 blocks here, short runs
  // after a jump under 1,000 (the value has 600).
  EXPECT_LT(file_->Statistics().Misses - missesBefore, 2u * 600u);
  for (std::size_t i = 1; i < small.size(); i += 2) EXPECT_EQ(Load(small[i].first, small[i].second), Bytes(1000, i));
}

// Small values written one after another are read back with one read per read-ahead window,
// not one for the first block and another for the rest of each value.
TEST_F(BlobFile, SmallValuesReadBackOneWindowPerRead) {
  std::vector<std::pair<std::int32_t, std::int32_t>> stored;
  for (unsigned i = 0; i < 20; ++i) {
    std::int32_t signature = 0;
    std::int32_t first = Store(Bytes(1024, i), 0, &signature);  // three 512-byte blocks each
    stored.emplace_back(first, signature);
  }
  Reopen();
  std::uint32_t readsBefore = file_->Statistics().Reads;
  for (unsigned i = 0; i < stored.size(); ++i)
    ASSERT_EQ(Load(stored[i].first, stored[i].second), Bytes(1024, i));
  // 60 blocks in windows of 32: two reads (each value alone would take two reads: 40).
  EXPECT_LE(file_->Statistics().Reads - readsBefore, 3u);
}

TEST_F(BlobFile, RewritesReuseTheChainAndFreedBlocksComeBackFirst) {
  std::int32_t signature = 0;
  std::int32_t first = Store(Bytes(1000, 2), 0, &signature);  // blocks 1-3
  std::int32_t otherSignature = 0;
  std::int32_t other = Store(Bytes(10, 3), 0, &otherSignature);  // block 4
  ASSERT_EQ(other, 4);
  // Shrinking keeps the first block and frees the other two.
  EXPECT_EQ(Store(Bytes(100, 4), first, &signature), first);
  EXPECT_EQ(file_->GetNextFreeBlockNumber(), 3);
  EXPECT_EQ(Load(first, signature), Bytes(100, 4));
  // A new value takes the freed blocks before the file grows.
  std::int32_t reusedSignature = 0;
  std::int32_t reused = Store(Bytes(900, 5), 0, &reusedSignature);
  EXPECT_EQ(reused, 3);
  EXPECT_EQ(file_->GetNextFreeBlockNumber(), 0);
  EXPECT_EQ(file_->GetPhysicalBlocksUsed(), 4);
  EXPECT_EQ(Load(reused, reusedSignature), Bytes(900, 5));
  EXPECT_EQ(Load(other, otherSignature), Bytes(10, 3));
  // Growing a value reuses its own block, then extends.
  EXPECT_EQ(Store(Bytes(2000, 6), first, &signature), first);
  EXPECT_EQ(file_->GetPhysicalBlocksUsed(), 8);  // block 1 again, then 5 to 8
  Reopen();
  EXPECT_EQ(Load(first, signature), Bytes(2000, 6));
  // Writing an empty value frees the whole chain.
  TBlobBuffer buffer(file_.get(), nullptr);
  buffer.FirstBlockNumber = first;
  buffer.BlobSignature = signature;
  buffer.Read();
  buffer.SetSize(0);
  buffer.Write();
  EXPECT_EQ(buffer.FirstBlockNumber, 0);
  EXPECT_EQ(file_->GetNextFreeBlockNumber(), first);
}

TEST_F(BlobFile, AValueRewrittenBySomeoneElseIsReportedNotMisread) {
  std::int32_t signature = 0;
  std::int32_t first = Store(Bytes(700, 7), 0, &signature);
  // Another process rewrites the value with a new signature.
  int child = korvel::testing::RunInChild([&] {
    TTestOwner owner;
    owner.Signature = 100;
    TBlobFile other(&owner);
    other.FileName = korvel::testing::AnotherSpelling(path_);
    other.OpenFile();
    TBlobBuffer b(&other, nullptr);
    b.FirstBlockNumber = first;
    b.BlobSignature = signature;
    b.Read();
    b.SetSize(800);
    b.BlobSignature = owner.GetNextFreeBlobSignature();
    b.Write();
    other.FlushBlockBuffers();
    other.WriteHeader(true);  // a writer that changed the file advances its stamp
    return 0;
  });
  ASSERT_EQ(child, 0);
  ASSERT_TRUE(file_->CheckForChanges());
  EXPECT_FALSE(file_->CheckForChanges());  // true once per change
  file_->FreeBlockBuffers();
  EXPECT_EQ(ErrorOf([&] { Load(first, signature); }), KORVEL_KEYORRECDELETED);
  EXPECT_EQ(Load(first, 101).size(), 800u);
}

TEST_F(BlobFile, DamagedChainsAreReportedNeverFollowedForever) {
  std::int32_t signature = 0;
  std::int32_t first = Store(Bytes(1500, 8), 0, &signature);  // blocks 1-4
  auto patchNext = [&](std::int32_t block, std::int32_t next) {
    std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char v[4];
    PutI32(v, 0, next);
    f.seekp(512 + (block - 1) * 512 + 4);
    f.write(reinterpret_cast<char*>(v), 4);
  };
  patchNext(2, 99);  // outside the file
  Reopen();
  EXPECT_EQ(ErrorOf([&] { Load(first, signature); }), KORVEL_MEMOCORRUPT);
  patchNext(2, 1);  // back to the first block
  Reopen();
  EXPECT_EQ(ErrorOf([&] { Load(first, signature); }), KORVEL_MEMOCORRUPT);
  std::int32_t firstBlock = first;
  EXPECT_EQ(ErrorOf([&] { file_->FreeBlobBlocks(nullptr, firstBlock, false, 1, signature); }), KORVEL_MEMOCORRUPT);
  // A cycle even repair mode cannot follow: 3 -> 2 -> 3.
  patchNext(2, 3);
  patchNext(3, 2);
  Reopen();
  firstBlock = first;
  EXPECT_EQ(ErrorOf([&] { file_->FreeBlobBlocks(nullptr, firstBlock, true, 1, signature); }), KORVEL_MEMOCORRUPT);
  // A record pointing at block 0 or past the end.
  EXPECT_EQ(ErrorOf([&] { Load(50, signature); }), KORVEL_MEMOCORRUPT);
  TBlock* block = nullptr;
  EXPECT_EQ(ErrorOf([&] { file_->GetBlock(nullptr, 0, false, 1, block); }), KORVEL_MEMOCORRUPT);
}

TEST_F(BlobFile, EncryptedTablesScrambleHeaderAndBlocks) {
  owner_.Encrypted = true;
  Create();
  std::vector<unsigned char> text(600, 'A');
  std::int32_t signature = 0;
  std::int32_t first = Store(text, 0, &signature);
  std::vector<unsigned char> raw = FileBytes(path_);
  EXPECT_NE(raw[4], 5);  // the version byte is scrambled
  EXPECT_EQ(std::search(raw.begin(), raw.end(), text.begin(), text.begin() + 64), raw.end());
  Reopen();
  EXPECT_EQ(file_->GetHeader().VersionNum, 5);
  EXPECT_EQ(Load(first, signature), text);
}

TEST_F(BlobFile, TheCacheKeepsItsLimitAndFlushesRunsWithOneWriteEach) {
  owner_.MaxBufferSize = 16 * 512;
  Reopen();
  EXPECT_EQ(file_->CacheCapacity(), 16u);
  std::uint32_t writesBefore = file_->Statistics().Writes;
  std::int32_t signature = 0;
  Store(Bytes(7 * 494, 9), 0, &signature);  // seven consecutive new blocks: one run
  EXPECT_EQ(file_->Statistics().Writes - writesBefore, 1u);
  std::int32_t big = Store(Bytes(40 * 494, 10), 0, &signature);  // more blocks than the cache holds
  EXPECT_LE(file_->CachedBlockCount(), 48u);
  Reopen();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Load(big, signature), Bytes(40 * 494, 10));
  EXPECT_LE(file_->CachedBlockCount(), file_->CacheCapacity());
  EXPECT_EQ(file_->CacheCapacity(), 16u);
}

TEST_F(BlobFile, LongValuesBypassTheCacheOnlyWhereTheFileIsCurrent) {
  std::vector<unsigned char> value = Bytes(50 * 494 + 7, 11);
  std::int32_t signature = 0;
  std::int32_t first = Store(value, 0, &signature);
  EXPECT_EQ(file_->GetPhysicalBlocksUsed(), 51);
  Reopen();
  EXPECT_EQ(Load(first, signature), value);
  // Rewrite the value in place without flushing: its blocks are newer in the cache than in the
  // file, and a direct read must not return the file's old bytes.
  TBlobBuffer buffer(file_.get(), nullptr);
  buffer.FirstBlockNumber = first;
  buffer.BlobSignature = signature;
  buffer.Read();
  buffer.GetBuffer()[25 * 494 + 3] ^= 0xFF;
  buffer.BlobSignature = owner_.GetNextFreeBlobSignature();
  buffer.Write();
  std::vector<unsigned char> changed = buffer.GetBuffer();
  EXPECT_EQ(Load(first, buffer.BlobSignature), changed);
  Flush();
  Reopen();
  EXPECT_EQ(Load(first, buffer.BlobSignature), changed);
  // Encrypted long values take the same paths.
  owner_.Encrypted = true;
  Create();
  first = Store(value, 0, &signature);
  Reopen();
  EXPECT_EQ(Load(first, signature), value);
}

// A miss in a cache full of modified blocks flushes them to make room while the blocks it read
// are still being taken into the cache: the flush must not clobber the bytes just read (it once
// assembled its writes in the same buffer, so the read-in blocks took the flushed ones' contents
// and freeing a value reported "another signature").
TEST_F(BlobFile, AMissThatFlushesToMakeRoomKeepsTheBlocksItRead) {
  owner_.Exclusive = true;  // an exclusive writer keeps new blocks in the cache, past the file's end
  owner_.MaxBufferSize = 8 * 512;
  Reopen();
  std::vector<std::pair<std::int32_t, std::int32_t>> stored;
  // Forty blocks on the file, more than one read-ahead window, so that the blocks below lie
  // outside the window of a read at the start.
  for (unsigned i = 0; i < 20; ++i) {
    std::int32_t signature = 0;
    stored.emplace_back(Store(Bytes(600, i), 0, &signature), signature);  // two blocks each
  }
  file_->FreeBlockBuffers();
  // Eight new blocks, not flushed: the cache is full of modified blocks.
  std::vector<std::pair<std::int32_t, std::int32_t>> pending;
  for (unsigned i = 0; i < 4; ++i) {
    TBlobBuffer buffer(file_.get(), nullptr);
    buffer.SetSize(600);
    std::vector<unsigned char> value = Bytes(600, 100 + i);
    std::memcpy(buffer.GetBuffer().data(), value.data(), value.size());
    buffer.BlobSignature = owner_.GetNextFreeBlobSignature();
    buffer.Write();
    pending.emplace_back(buffer.FirstBlockNumber, buffer.BlobSignature);
  }
  ASSERT_EQ(file_->CachedBlockCount(), 8u);
  for (unsigned i = 0; i < stored.size(); ++i)
    ASSERT_EQ(Load(stored[i].first, stored[i].second), Bytes(600, i)) << i;
  std::int32_t first = stored[1].first;
  file_->FreeBlobBlocks(nullptr, first, false, 1, stored[1].second);
  EXPECT_EQ(first, 0);
  for (unsigned i = 0; i < pending.size(); ++i)
    EXPECT_EQ(Load(pending[i].first, pending[i].second), Bytes(600, 100 + i)) << i;
}

TEST(Block, DataAccessStaysInsideTheDataArea) {
  TBlock block(494);
  unsigned char data[500] = {1, 2, 3};
  block.PutBlockData(0, 3, data);
  EXPECT_EQ(block.GetBlockLength(), 3);
  unsigned char out[500];
  EXPECT_EQ(block.GetBlockData(0, 100, out), 3u);
  EXPECT_EQ(block.GetBlockData(2, 100, out), 1u);
  block.Modified = false;
  block.PutBlockData(0, 3, data);
  EXPECT_FALSE(block.Modified);  // nothing changed
  for (auto f : {std::function<void()>([&] { block.PutBlockData(0, 495, data); }),
                 std::function<void()>([&] { block.PutBlockData(490, 5, data); }),
                 std::function<void()>([&] { block.GetBlockData(0, 495, out); }),
                 std::function<void()>([&] { block.TruncateBlockData(495); })}) {
    try {
      f();
      ADD_FAILURE();
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDBLOBLEN);
    }
  }
}

}  // namespace
}  // namespace korvel

namespace korvel {
// A value buffer keeps its memory across reads and size changes: whatever it grows into must
// read as zero bytes or as the value's own bytes, never as an earlier value's.
TEST_F(BlobFile, AReusedValueBufferNeverShowsAnEarlierValuesBytes) {
  std::vector<unsigned char> longValue = Bytes(9000, 21), shortValue = Bytes(700, 22);
  std::int32_t longSignature = 0, shortSignature = 0;
  std::int32_t longFirst = Store(longValue, 0, &longSignature);
  std::int32_t shortFirst = Store(shortValue, 0, &shortSignature);

  TBlobBuffer buffer(file_.get(), nullptr);
  buffer.FirstBlockNumber = longFirst;
  buffer.BlobSignature = longSignature;
  buffer.Read();
  EXPECT_TRUE(buffer.GetBuffer() == longValue);
  buffer.FirstBlockNumber = shortFirst;
  buffer.BlobSignature = shortSignature;
  buffer.Read();
  ASSERT_EQ(buffer.Size(), shortValue.size());
  EXPECT_TRUE(buffer.GetBuffer() == shortValue);

  std::vector<unsigned char> expected = shortValue;
  buffer.GetBuffer().resize(5000);  // grows as a truncation to a longer size does
  expected.resize(5000, 0);
  EXPECT_TRUE(buffer.GetBuffer() == expected);

  buffer.SetSize(100);
  buffer.SetSize(3000);
  expected.resize(100);
  expected.resize(3000, 0);
  EXPECT_TRUE(buffer.GetBuffer() == expected);

  const unsigned char tail[4] = {1, 2, 3, 4};
  buffer.WriteAt(8000, tail, 4);  // past the end: the gap is zero
  expected.resize(8000, 0);
  expected.insert(expected.end(), tail, tail + 4);
  EXPECT_TRUE(buffer.GetBuffer() == expected);
  buffer.WriteAt(10, tail, 4);  // inside: only those bytes change
  std::copy(tail, tail + 4, expected.begin() + 10);
  EXPECT_TRUE(buffer.GetBuffer() == expected);
  buffer.SaveBuffer();
  EXPECT_TRUE(buffer.GetOldBuffer() == expected);

  buffer.SetSize(0);
  EXPECT_EQ(buffer.Size(), 0u);
  buffer.WriteAt(0, tail, 0);
  EXPECT_EQ(buffer.Size(), 0u);

  // What was put is what is stored.
  buffer.WriteAt(0, longValue.data(), longValue.size());
  buffer.WriteAt(longValue.size() + 10, tail, 4);
  expected = longValue;
  expected.resize(longValue.size() + 10, 0);
  expected.insert(expected.end(), tail, tail + 4);
  buffer.BlobSignature = owner_.GetNextFreeBlobSignature();
  buffer.Write();
  Flush();
  Reopen();
  EXPECT_EQ(Load(buffer.FirstBlockNumber, buffer.BlobSignature), expected);
}

namespace {

// A miss in a cache full of modified blocks flushes them while the run it read is still being
// handed out: the blocks it hands out must be the ones read, not the ones written.
TEST_F(BlobFile, AReadThatMustFlushToMakeRoomHandsOutTheBlocksItRead) {
  const std::size_t data = 512 - kBlockHeaderSize;
  const std::vector<unsigned char> value = Bytes(data * 12, 21);
  std::int32_t signature = 0;
  const std::int32_t first = Store(value, 0, &signature);
  owner_.MaxBufferSize = 4 * 512;
  Reopen();
  for (std::int32_t n = first; n < first + 4; ++n) {
    TBlock* b = nullptr;
    ASSERT_TRUE(file_->GetBlock(nullptr, n, false, 1, b));
    b->SetBlobLength(b->GetBlobLength() + 1);
    file_->PutBlock(b);
  }
  TBlock* b = nullptr;
  ASSERT_TRUE(file_->GetBlock(nullptr, first + 4, true, 8, b));
  EXPECT_EQ(b->GetPrevBlockNumber(), first + 3);
  EXPECT_EQ(b->GetBlobSignature(), signature);
  EXPECT_EQ(std::memcmp(b->Data(), value.data() + 4 * data, data), 0);
  file_->PutBlock(b);
}

}  // namespace
}  // namespace korvel
