// The BLOB file under failed flushes, damaged free chains and caches that must grow inside a
// transaction.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "engine/blob_file.h"
#include "support/byte_order.h"
#include "support/errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::TTestFolder;
using TValue = std::vector<unsigned char>;

TErrorCode ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EKORVELEngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

TValue Bytes(std::size_t n, unsigned seed) {
  TValue v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

class TOwner : public TPlainBlobFileOwner {
 public:
  bool GetTransactionInProgress() const override { return InTransaction; }
  bool InTransaction = false;
};

// A BLOB file whose writes fail while `FailWrites` is set, as on a full disk.
class TFailingBlobFile : public TBlobFile {
 public:
  using TBlobFile::TBlobFile;
  void Write(const void* buffer, std::int64_t count) override {
    if (FailWrites) Raise(KORVEL_WRITEERR);
    TBlobFile::Write(buffer, count);
  }
  bool FailWrites = false;
};

class BlobFileFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    owner_.TableName = "blobs";
    owner_.DirectoryName = folder_.Path();
    file_ = std::make_unique<TFailingBlobFile>(&owner_);
    file_->FileName = folder_.File("t.BLB");
    file_->CreateFile();
    file_->WriteHeader(true);
    Reopen();
  }
  void Reopen() {
    file_->CloseFile();
    file_->OpenFile();
  }
  // Writes a value as a new chain into the cache (not flushed); returns its first block.
  std::int32_t Put(const TValue& value, std::int32_t& signature) {
    TBlobBuffer buffer(file_.get(), nullptr);
    buffer.SetSize(value.size());
    std::memcpy(buffer.GetBuffer().data(), value.data(), value.size());
    buffer.BlobSignature = signature = owner_.GetNextFreeBlobSignature();
    buffer.Write();
    return buffer.FirstBlockNumber;
  }
  void Flush() {
    file_->FlushBlockBuffers();
    file_->WriteHeader(false);
  }
  TValue Load(std::int32_t first, std::int32_t signature) {
    TBlobBuffer buffer(file_.get(), nullptr);
    buffer.FirstBlockNumber = first;
    buffer.BlobSignature = signature;
    buffer.Read();
    return buffer.GetBuffer();
  }
  void PatchNext(std::int32_t block, std::int32_t next) {
    std::fstream f(folder_.File("t.BLB"), std::ios::in | std::ios::out | std::ios::binary);
    unsigned char v[4];
    PutI32(v, 0, next);
    f.seekp(512 + (block - 1) * 512 + 4);
    f.write(reinterpret_cast<char*>(v), 4);
  }

  TTestFolder folder_;
  TOwner owner_;
  std::unique_ptr<TFailingBlobFile> file_;
};

TEST_F(BlobFileFaults, AFailedFlushKeepsTheBlocksForTheNextOne) {
  std::int32_t signature = 0;
  TValue value = Bytes(1200, 1);
  std::int32_t first = Put(value, signature);
  file_->FailWrites = true;
  EXPECT_EQ(ErrorOf([&] { file_->FlushBlockBuffers(); }), KORVEL_WRITEERR);
  file_->FailWrites = false;
  EXPECT_TRUE(file_->FlushBlockBuffers());  // the retry has everything still to write
  file_->WriteHeader(false);
  Reopen();
  EXPECT_EQ(Load(first, signature), value);
}

TEST_F(BlobFileFaults, AFreeChainHeadThatIsNoFreeBlockIsRefused) {
  std::int32_t a = 0;
  std::int32_t first = Put(Bytes(1200, 2), a);  // blocks 1-3
  Flush();
  // The head of the free chain names a live value's block.
  file_->SetNextFreeBlockNumber(first);
  std::int32_t b = 0;
  EXPECT_EQ(ErrorOf([&] { Put(Bytes(100, 3), b); }), KORVEL_MEMOCORRUPT);
  EXPECT_EQ(Load(first, a), Bytes(1200, 2));
  file_->SetNextFreeBlockNumber(0);
  Flush();
  // A free block whose link names itself would be handed out twice.
  std::int32_t c = 0;
  std::int32_t second = Put(Bytes(1200, 4), c);  // blocks 4-6
  Flush();
  std::int32_t freed = second;
  file_->FreeBlobBlocks(nullptr, freed, false, 1, c);
  Flush();
  const std::int32_t head = file_->GetNextFreeBlockNumber();
  ASSERT_NE(head, 0);
  PatchNext(head, head);
  Reopen();
  std::int32_t d = 0;
  EXPECT_EQ(ErrorOf([&] { Put(Bytes(100, 5), d); }), KORVEL_MEMOCORRUPT);
  EXPECT_EQ(Load(first, a), Bytes(1200, 2));
}

TEST_F(BlobFileFaults, RepairNeverFreesTheBlocksOfAnotherValue) {
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t firstA = Put(Bytes(1200, 6), a);  // blocks 1-3
  std::int32_t firstB = Put(Bytes(1200, 7), b);  // blocks 4-6
  Flush();
  ASSERT_EQ(firstB, 4);
  PatchNext(2, 5);  // A's chain runs into the middle of B's
  Reopen();
  std::int32_t freed = firstA;
  EXPECT_EQ(ErrorOf([&] { file_->FreeBlobBlocks(nullptr, freed, true, 1, a); }), KORVEL_MEMOCORRUPT);
  // B is whole, and none of its blocks is handed to a new value.
  std::int32_t c = 0;
  std::int32_t firstC = Put(Bytes(3000, 8), c);
  Flush();
  Reopen();
  EXPECT_EQ(Load(firstB, b), Bytes(1200, 7));
  EXPECT_EQ(Load(firstC, c), Bytes(3000, 8));
}

TEST_F(BlobFileFaults, InsideATransactionTheBlockCacheGrowsGeometrically) {
  owner_.InTransaction = true;
  std::set<std::size_t> capacities;
  std::vector<std::pair<std::int32_t, std::int32_t>> values;
  for (int i = 0; i < 3000; ++i) {
    std::int32_t signature = 0;
    std::int32_t first = Put(Bytes(900, static_cast<unsigned>(i)), signature);  // two blocks each
    values.emplace_back(first, signature);
    capacities.insert(file_->CacheCapacity());
  }
  EXPECT_GE(file_->CacheCapacity(), 6000u);
  EXPECT_LE(file_->CacheCapacity(), 2 * 6000u + 64);
  // Growth by a fixed step takes a step per few values; geometric growth a few dozen in all.
  EXPECT_LT(capacities.size(), 30u);
  owner_.InTransaction = false;
  Flush();
  Reopen();
  for (int i = 0; i < 3000; i += 97)
    EXPECT_EQ(Load(values[static_cast<std::size_t>(i)].first, values[static_cast<std::size_t>(i)].second),
              Bytes(900, static_cast<unsigned>(i)));
}

}  // namespace
}  // namespace korvel
