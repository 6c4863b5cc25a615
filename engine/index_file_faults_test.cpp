// The index file under failed flushes, damaged definitions, dropped and re-created indexes and
// caches that must grow inside a transaction.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "engine/btree_cursor.h"
#include "engine/index_page.h"
#include "support/errors.h"
#include "support/test_errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::TTestFolder;
using TBytes = std::vector<std::uint8_t>;

using testing::CodeOf;

TBytes Key8(std::uint64_t value) {
  TBytes key(8);
  for (int i = 0; i < 8; ++i) key[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
  return key;
}

// An index file whose writes fail while `FailWrites` is set, as on a full disk.
class TFailingIndexFile : public TBTreeIndexFile {
 public:
  using TBTreeIndexFile::TBTreeIndexFile;
  void Write(const void* buffer, std::int64_t count) override {
    if (FailWrites) Raise(KORVEL_WRITEERR);
    TBTreeIndexFile::Write(buffer, count);
  }
  bool FailWrites = false;
};

class IndexFileFaults : public ::testing::Test {
 protected:
  IndexFileFaults() {
    owner.TableName = "faults";
    owner.DirectoryName = folder.Path();
    owner.Fields = {{"Number", 6, 0, 4}, {"Name", 1, 0, 21}};
  }
  TIndexDefinition Definition(const std::string& name) {
    TIndexDefinition d;
    d.IndexName = name;
    d.KeySize = 8;
    d.Unique = true;
    d.KeyFieldCount = 1;
    d.KeyFields[0] = 1;
    return d;
  }
  void Create() {
    file = std::make_unique<TFailingIndexFile>(&owner);
    file->FileName = folder.File("faults.IDX");
    file->CreateFile();
    file->AddSecondaryIndex(Definition("Number"));
    file->WriteHeader(true);
    cursor = std::make_unique<TBTreeCursor>();
    cursor->SetIndex(file.get(), 1);
  }
  void Reopen() {
    cursor.reset();
    file->FlushPageBuffers(false);
    file->WriteHeader(true);
    file->CloseFile();
    file = std::make_unique<TFailingIndexFile>(&owner);
    file->FileName = folder.File("faults.IDX");
    file->OpenFile();
    cursor = std::make_unique<TBTreeCursor>();
    cursor->SetIndex(file.get(), 1);
  }

  TTestFolder folder;
  TPlainIndexFileOwner owner;
  std::unique_ptr<TFailingIndexFile> file;
  std::unique_ptr<TBTreeCursor> cursor;
};

TEST_F(IndexFileFaults, PagesStayModifiedUntilTheirBytesAreOnTheFile) {
  owner.MaxTableIndexBufferSize = 64 * 8192;  // every page stays cached until the flush
  Create();
  for (int i = 1; i <= 2000; ++i) cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i)).data(), i);
  ASSERT_GT(file->GetPhysicalPagesUsed(), 4);
  // A failed write leaves every page of the run modified.
  file->FailWrites = true;
  EXPECT_EQ(CodeOf([&] { file->FlushPageBuffers(false); }), KORVEL_WRITEERR);
  file->FailWrites = false;
  // A page that cannot be encoded fails the run after the pages before it were encoded.
  const std::int32_t last = file->GetPhysicalPagesUsed();
  {
    TPinnedPage page = cursor->FetchPage(last);
    page->Compression = 9;
    page->SetModified();
  }
  EXPECT_EQ(CodeOf([&] { file->FlushPageBuffers(false); }), KORVEL_INDEXCORRUPT);
  for (std::int32_t n = 1; n < last; ++n) {
    TPinnedPage page = cursor->FetchPage(n);
    EXPECT_TRUE(page->Modified) << "page " << n << " marked clean but never written";
  }
  {
    TPinnedPage page = cursor->FetchPage(last);
    page->Compression = 0;
  }
  Reopen();
  EXPECT_EQ(cursor->GetIndexKeyCount(), 2000);
  for (int i = 1; i <= 2000; i += 13) EXPECT_TRUE(cursor->VerifyIndexKey(Key8(static_cast<std::uint64_t>(i)).data(), i));
}

TEST_F(IndexFileFaults, ACompressionAbove3IsRefusedAndReadAsDamage) {
  Create();
  TIndexDefinition d = Definition("Packed");
  d.Compression = 4;
  EXPECT_EQ(CodeOf([&] { file->AddSecondaryIndex(d); }), KORVEL_INVALIDKEY);
  EXPECT_EQ(file->GetIndexCount(), 1);
  d.IndexName.clear();
  EXPECT_EQ(CodeOf([&] { file->AddPrimaryIndex(d); }), KORVEL_INVALIDKEY);
  d.Compression = 3;
  EXPECT_EQ(CodeOf([&] { file->AddPrimaryIndex(d); }), 0);
  Reopen();
  EXPECT_EQ(CodeOf([&] { file->CheckHeader(); }), 0);
  // The byte damaged on disk: opening refuses the header, and so does the check of one in
  // memory.
  cursor.reset();
  file->CloseFile();
  {
    std::fstream f(folder.File("faults.IDX"), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(TIndexHeader::SlotOffset(1) + TIndexDefinition::kCompression));
    f.put(static_cast<char>(200));
  }
  file = std::make_unique<TFailingIndexFile>(&owner);
  file->FileName = folder.File("faults.IDX");
  EXPECT_EQ(CodeOf([&] { file->OpenFile(); }), KORVEL_HEADERCORRUPT);
  EXPECT_FALSE(file->IsOpen);
  Create();
  TIndexDefinition damaged = file->IndexDefinition(1);
  damaged.Compression = 200;
  file->SetIndexDefinition(1, damaged);
  EXPECT_EQ(CodeOf([&] { file->CheckHeader(); }), KORVEL_HEADERCORRUPT);
}

TEST_F(IndexFileFaults, DroppingAndRecreatingAnIndexReusesItsPages) {
  Create();
  std::int32_t ending = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    for (int i = 1; i <= 3000; ++i) cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i)).data(), i);
    if (round == 0) ending = file->GetNextEndingPageNumber(1);
    EXPECT_EQ(file->GetNextEndingPageNumber(1), ending);
    // Dropping the index gives its pages to its free chain, which the definition parks.
    for (int i = 1; i <= 3000; ++i) cursor->RemoveIndexKey(Key8(static_cast<std::uint64_t>(i)).data());
    cursor.reset();
    file->DeleteIndex(1, true);
    ASSERT_EQ(file->GetIndexCount(), 0);
    file->AddSecondaryIndex(Definition("Number"));
    EXPECT_EQ(file->GetRootPageNumber(1), 0);
    EXPECT_EQ(file->GetDataRootPageNumber(1), 0);
    cursor = std::make_unique<TBTreeCursor>();
    cursor->SetIndex(file.get(), 1);
  }
  // A parked head that lies outside the file is not taken over.
  cursor.reset();
  file->DeleteIndex(1, true);
  TIndexDefinition parked = file->IndexDefinition(1);
  parked.NextFreePageNumber = file->GetNextEndingPageNumber(1) + 10;
  file->SetIndexDefinition(1, parked);
  file->AddSecondaryIndex(Definition("Number"));
  EXPECT_EQ(file->GetNextFreePageNumber(1), file->GetNextEndingPageNumber(1));
}

TEST_F(IndexFileFaults, InsideATransactionThePageCacheGrowsGeometrically) {
  owner.MaxTableIndexBufferSize = 2 * 8192;
  Create();
  owner.TransactionInProgress = true;
  std::set<std::int32_t> capacities;
  for (int i = 1; i <= 100000; ++i) {
    cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i) * 977 % 100003).data(), i);
    capacities.insert(file->GetPageCacheCapacity(1));
  }
  EXPECT_EQ(file->GetWriteOperations(), 0u);
  const auto cached = static_cast<std::int32_t>(file->GetCachedPageCount(1));
  EXPECT_GE(file->GetPageCacheCapacity(1), cached);
  EXPECT_LE(file->GetPageCacheCapacity(1), 2 * cached + 8);
  // Growth by a fixed step takes a step per few pages; geometric growth a few dozen in all.
  EXPECT_LT(capacities.size(), 40u) << cached << " pages cached";
  owner.TransactionInProgress = false;
  Reopen();
  EXPECT_EQ(cursor->GetIndexKeyCount(), 100000);
}

}  // namespace
}  // namespace korvel
