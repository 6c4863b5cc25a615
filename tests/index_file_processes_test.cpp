// The index file between processes: change detection through the header stamp, temporary
// indexes that stay private, pages that another process wrote, and the read and write locks.

#include <gtest/gtest.h>

#include <memory>

#include "engine/index_file.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"

namespace korvel {
namespace {

using testing::AnotherSpelling;
using testing::RunInChild;
using testing::TTestFolder;

TPlainIndexFileOwner MakeOwner() {
  TPlainIndexFileOwner owner;
  owner.TableName = "orders";
  owner.Fields = {{"Customer", 6, 0, 4}, {"Item", 1, 0, 31}};
  return owner;
}

TIndexDefinition Secondary(const std::string& name, bool temporary = false) {
  TIndexDefinition d;
  d.IndexName = name;
  d.KeyFieldCount = 1;
  d.KeyFields[0] = 2;
  d.KeySize = 32 + 4;
  d.Temporary = temporary;
  return d;
}

class IndexFileProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto f = std::make_unique<TIndexFile>(&owner);
    f->FileName = path;
    f->CreateFile();
    f->AddPrimaryIndex(TIndexDefinition());
    f->WriteHeader();
    f->CloseFile();
    file = std::make_unique<TIndexFile>(&owner);
    file->FileName = path;
    file->OpenFile();
  }
  // The index file as another process sees it: its own file object and descriptor.
  static std::unique_ptr<TIndexFile> OpenAsOther(TPlainIndexFileOwner& o, const std::string& p) {
    auto f = std::make_unique<TIndexFile>(&o);
    f->FileName = AnotherSpelling(p);
    f->OpenFile();
    return f;
  }

  TTestFolder folder;
  std::string path = folder.File("orders.IDX");
  TPlainIndexFileOwner owner = MakeOwner();
  std::unique_ptr<TIndexFile> file;
};

TEST_F(IndexFileProcessesTest, AHeaderWrittenByAnotherProcessIsDetectedOnce) {
  EXPECT_FALSE(file->CheckForChanges());
  const std::string p = path;
  int status = RunInChild([p] {
    TPlainIndexFileOwner o = MakeOwner();
    auto f = OpenAsOther(o, p);
    f->AddSecondaryIndex(Secondary("ByItem"));
    f->SetActualRecordCount(17);
    return f->WriteHeader() ? 0 : 1;
  });
  ASSERT_EQ(status, 0);
  EXPECT_TRUE(file->CheckForChanges());
  EXPECT_EQ(file->GetActualRecordCount(), 17);
  EXPECT_EQ(file->GetIndexCount(), 1);
  EXPECT_TRUE(file->IndexExists("BYITEM"));
  EXPECT_FALSE(file->CheckForChanges());

  // And the other way round: the child learns of this process's write.
  std::int32_t stamp = file->GetLastUpdateStamp();
  file->DecActualRecordCount();
  file->WriteHeader();
  status = RunInChild([p, stamp] {
    TPlainIndexFileOwner o = MakeOwner();
    auto f = OpenAsOther(o, p);
    return f->GetLastUpdateStamp() == stamp + 1 && f->GetActualRecordCount() == 16 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(IndexFileProcessesTest, ATemporaryIndexStaysInItsProcess) {
  file->AddSecondaryIndex(Secondary("Kept"));
  file->AddSecondaryIndex(Secondary("Scratch", true));
  TPageBuffer* page = nullptr;
  file->GetNextFreePage(nullptr, 2, page);
  file->PutPage(page);
  file->FlushPageBuffers(true);
  file->WriteHeader();
  const std::string p = path;
  int status = RunInChild([p] {
    TPlainIndexFileOwner o = MakeOwner();
    auto f = OpenAsOther(o, p);
    if (f->GetIndexCount() != 1 || !f->IndexExists("Kept")) return 1;
    if (f->IndexExists("Scratch") || f->GetPhysicalPagesUsed() != 0) return 2;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(file->IndexExists("Scratch"));
}

TEST_F(IndexFileProcessesTest, PagesFlushedHereAreReadThere) {
  file->AddSecondaryIndex(Secondary("ByItem"));
  for (int i = 0; i < 3; ++i) {
    TPageBuffer* page = nullptr;
    file->GetNextFreePage(nullptr, 1, page);
    page->SetPageType(2);
    page->SetKeyEntryCount(static_cast<std::uint16_t>(10 + i));
    page->GetPageDataPtr()[100] = static_cast<std::uint8_t>(0xA0 + i);
    file->PutPage(page);
  }
  file->SetRootPageNumber(1, 2);
  file->FlushPageBuffers(false);
  file->WriteHeader();
  const std::string p = path;
  int status = RunInChild([p] {
    TPlainIndexFileOwner o = MakeOwner();
    auto f = OpenAsOther(o, p);
    TPageBuffer* root = nullptr;
    bool lockFailed = false;
    if (!f->GetRootPage(nullptr, 1, root, lockFailed)) return 1;
    bool ok = root->PageNumber == 2 && root->PageType == 2 && root->KeyEntryCount == 11 &&
              root->GetPageDataPtr()[100] == 0xA1;
    f->PutPage(root);
    if (o.ReadLockRequests != 1) return 3;  // the read from disk asked for the table's read lock
    return ok ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(IndexFileProcessesTest, TheWriteRegionExcludesEveryReaderOfAnotherProcess) {
  const std::string p = path;
  // Child probes once (no retries, so nothing waits): 0 when the lock could be had.
  auto probe = [p](std::int64_t offset, std::int64_t length) {
    return RunInChild([p, offset, length] {
      TPlainIndexFileOwner o = MakeOwner();
      auto f = OpenAsOther(o, p);
      if (!f->LockRegion(offset, length, true)) return 1;
      f->LockRegion(offset, length, false);
      return 0;
    });
  };
  ASSERT_TRUE(file->WriteLock());
  EXPECT_EQ(probe(kIndexReadLockBase - 1, 1), 1);
  EXPECT_EQ(probe(kIndexReadLockBase - 65535, 1), 1);
  EXPECT_TRUE(file->WriteUnLock());

  std::uint16_t slot = 0;
  ASSERT_TRUE(file->ReadLock(slot));
  EXPECT_EQ(probe(kIndexWriteLockOffset, kIndexWriteLockLength), 1);
  std::uint16_t otherSlot = slot == 1 ? 2 : 1;
  EXPECT_EQ(probe(kIndexReadLockBase - otherSlot, 1), 0);  // readers coexist
  EXPECT_EQ(probe(kIndexReadLockBase - slot, 1), 1);
  EXPECT_TRUE(file->ReadUnLock(slot));
  EXPECT_EQ(probe(kIndexWriteLockOffset, kIndexWriteLockLength), 0);
}

}  // namespace
}  // namespace korvel
