// B-tree changes that must leave the tree whole when they fail or when a delete makes a
// compressed leaf larger, and damaged trees that must give the corruption error instead of a
// hang or a silent change.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/btree_cursor.h"
#include "engine/index_page.h"
#include "support/errors.h"
#include "support/records_bitmap.h"
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

class BTreeFaults : public ::testing::Test {
 protected:
  void Make(std::uint16_t keySize, bool unique, std::uint8_t compression, bool noKeyCounts = false) {
    owner.TableName = "faults";
    owner.DirectoryName = folder.Path();
    file = std::make_unique<TBTreeIndexFile>(&owner);
    file->FileName = folder.File("faults.IDX");
    file->CreateFile();
    TIndexDefinition d;
    d.IndexName = "Faults";
    d.KeySize = keySize;
    d.Unique = unique;
    d.Compression = compression;
    d.NoKeyCounts = noKeyCounts;
    file->SetIndexCount(1);
    file->SetIndexDefinition(1, d);
    file->WriteHeader(true);
    cursor = std::make_unique<TBTreeCursor>();
    cursor->SetIndex(file.get(), 1);
  }
  void Reopen() {
    cursor.reset();
    file->FlushPageBuffers(false);
    file->WriteHeader(true);
    file->CloseFile();
    file = std::make_unique<TBTreeIndexFile>(&owner);
    file->FileName = folder.File("faults.IDX");
    file->OpenFile();
    cursor = std::make_unique<TBTreeCursor>();
    cursor->SetIndex(file.get(), 1);
  }
  TPinnedPage Root() { return cursor->FetchPage(file->GetRootPageNumber(1)); }
  std::int32_t RootCountSum() {
    TPinnedPage root = Root();
    return root->GetTotalLowerKeyEntryCount();
  }

  TTestFolder folder;
  TPlainIndexFileOwner owner;
  std::unique_ptr<TBTreeIndexFile> file;
  std::unique_ptr<TBTreeCursor> cursor;
};

// Two string fields of 20 characters, the second NULL in every other key, and the record ID:
// the NULL keys end in long zero runs that compression 3 drops, and their neighbours share the
// whole first field with them.
TBytes TwoFieldKey(int group, bool secondNull, std::uint32_t id) {
  TBytes key(46, 0);
  key[0] = 1;
  key[1] = static_cast<std::uint8_t>('A' + group / 26);
  key[2] = static_cast<std::uint8_t>('a' + group % 26);
  key[21] = secondNull ? 0 : 1;
  if (!secondNull)
    for (int i = 22; i < 42; ++i) key[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>('z' - i % 3);
  key[42] = static_cast<std::uint8_t>(0x80 | (id >> 24));
  key[43] = static_cast<std::uint8_t>(id >> 16);
  key[44] = static_cast<std::uint8_t>(id >> 8);
  key[45] = static_cast<std::uint8_t>(id);
  return key;
}

TEST_F(BTreeFaults, DeletesThatGrowACompressedLeafKeepEveryPageWritable) {
  Make(46, false, 3);
  std::uint32_t id = 0;
  int groups = 0;
  // Fill the root leaf close to its 4,083 bytes.
  for (;; ++groups) {
    for (bool secondNull : {true, false}) {
      ++id;
      cursor->AddIndexKey(TwoFieldKey(groups, secondNull, id).data(), static_cast<std::int32_t>(id));
    }
    TPinnedPage root = Root();
    if (root->GetEncodedSize() > 3950) break;
  }
  ASSERT_EQ(Root()->PageType, ptRootLeaf);
  // Deleting the NULL keys makes each following key lose the prefix it shared with them.
  std::uint32_t nullId = 1;
  for (int g = 0; g <= groups; ++g, nullId += 2) cursor->RemoveIndexKey(TwoFieldKey(g, true, nullId).data());
  EXPECT_EQ(CodeOf([&] { file->FlushPageBuffers(false); }), 0);
  Reopen();
  EXPECT_EQ(cursor->GetIndexKeyCount(), groups + 1);
  for (int g = 0; g <= groups; ++g)
    EXPECT_TRUE(cursor->VerifyIndexKey(TwoFieldKey(g, false, 2 * static_cast<std::uint32_t>(g) + 2).data(), 2 * g + 2))
        << g;
}

TEST_F(BTreeFaults, AnUpdateToAKeyThatExistsLeavesTheOldKey) {
  Make(8, true, 0);
  for (int i = 1; i <= 10; ++i) cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i)).data(), i);
  EXPECT_EQ(CodeOf([&] { cursor->UpdateIndexKey(Key8(3).data(), Key8(7).data(), 3); }), KORVEL_KEYVIOL);
  EXPECT_EQ(cursor->GetIndexKeyCount(), 10);
  EXPECT_TRUE(cursor->VerifyIndexKey(Key8(3).data(), 3));
  EXPECT_TRUE(cursor->VerifyIndexKey(Key8(7).data(), 7));
  // An update to the same key, or to a free one, goes through.
  cursor->UpdateIndexKey(Key8(3).data(), Key8(3).data(), 33);
  EXPECT_TRUE(cursor->VerifyIndexKey(Key8(3).data(), 33));
  cursor->UpdateIndexKey(Key8(3).data(), Key8(30).data(), 3);
  EXPECT_TRUE(cursor->VerifyIndexKey(Key8(30).data(), 3));
  EXPECT_FALSE(cursor->SearchIndexKeys(Key8(3).data()));
}

TEST_F(BTreeFaults, AnInsertWhoseSplitGetsNoPageLeavesTheTreeAsItWas) {
  for (std::uint8_t compression : {0, 3}) {
    SCOPED_TRACE(int(compression));
    Make(8, true, compression);
    // Three levels would take long with 8-byte keys; two levels and a root split suffice.
    int added = 0;
    for (int i = 1; i <= 3000; ++i, ++added) cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i) * 16).data(), i);
    const std::int32_t good = file->GetNextFreePageNumber(1);
    const std::int32_t root = file->GetRootPageNumber(1);
    // A free-chain head that is a page of the tree: every page allocation fails.
    file->SetNextFreePageNumber(1, root);
    int failures = 0;
    for (int i = 1; i <= 2000 && failures < 5; ++i) {
      TErrorCode code = CodeOf([&] { cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i) * 16 + 1).data(), 10000 + i); });
      if (code == 0) {
        ++added;
        continue;
      }
      EXPECT_EQ(code, KORVEL_INDEXCORRUPT);
      ++failures;
      EXPECT_FALSE(cursor->SearchIndexKeys(Key8(static_cast<std::uint64_t>(i) * 16 + 1).data()));
    }
    ASSERT_GT(failures, 0);
    EXPECT_EQ(RootCountSum(), added);
    EXPECT_EQ(cursor->GetIndexKeyCount(), added);
    file->SetNextFreePageNumber(1, good == file->GetNextEndingPageNumber(1) ? 0 : good);
    EXPECT_EQ(CodeOf([&] { file->FlushPageBuffers(false); }), 0);
    Reopen();
    EXPECT_EQ(cursor->GetIndexKeyCount(), added);
    EXPECT_EQ(RootCountSum(), added);
    for (int i = 1; i <= 3000; i += 7) EXPECT_TRUE(cursor->VerifyIndexKey(Key8(static_cast<std::uint64_t>(i) * 16).data(), i));
    // With pages to be had again, the same inserts succeed.
    for (int i = 1; i <= 2000; ++i) {
      TBytes key = Key8(static_cast<std::uint64_t>(i) * 16 + 1);
      if (!cursor->SearchIndexKeys(key.data())) cursor->AddIndexKey(key.data(), 10000 + i);
    }
    EXPECT_EQ(cursor->GetIndexKeyCount(), 5000);
    cursor.reset();
    file.reset();
  }
}

TEST_F(BTreeFaults, AChildNumberAtTheEndOfTheFileIsRefusedWithoutGrowingIt) {
  Make(8, true, 0);
  for (int i = 1; i <= 1000; ++i) cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i)).data(), i);
  Reopen();
  const std::int32_t ending = file->GetNextEndingPageNumber(1);
  {
    TPinnedPage root = Root();
    ASSERT_TRUE(root->IsNode());
    root->SetRecordNumber(root->KeyEntryCount, ending);
    root->Modified = false;  // damaged as if read so from the file
  }
  EXPECT_EQ(CodeOf([&] { cursor->SearchIndexKeys(Key8(999).data()); }), KORVEL_INDEXCORRUPT);
  EXPECT_EQ(file->GetNextEndingPageNumber(1), ending);
  EXPECT_FALSE(file->Header().HeaderModified);
}

TEST_F(BTreeFaults, ALeafChainClosedIntoARingIsReportedNotWalkedForEver) {
  Make(8, true, 0, true);
  for (int i = 1; i <= 2000; ++i) cursor->AddIndexKey(Key8(static_cast<std::uint64_t>(i)).data(), i);
  Reopen();
  ASSERT_TRUE(cursor->GotoLastIndexPosition());
  const std::int32_t last = cursor->CurrentPage.PageNumber;
  ASSERT_TRUE(cursor->GotoFirstIndexPosition());
  const std::int32_t first = cursor->CurrentPage.PageNumber;
  {
    TPinnedPage page = cursor->FetchPage(last);
    page->SetRightPageNumber(first);
  }
  EXPECT_EQ(CodeOf([&] { cursor->GetIndexKeyCount(); }), KORVEL_INDEXCORRUPT);
  TRecordsBitmap nothing;
  nothing.SetNumOfBits(2000);
  cursor->SetVisibleRecords(&nothing);
  EXPECT_EQ(CodeOf([&] { cursor->GotoFirstIndexPosition(); }), KORVEL_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { cursor->GotoLogicalRecordNumber(5); }), KORVEL_INDEXCORRUPT);
}

TEST_F(BTreeFaults, ACompressionAbove3IsACorruptIndex) {
  Make(8, true, 0);
  TIndexDefinition d = file->IndexDefinition(1);
  d.Compression = 4;
  file->SetIndexDefinition(1, d);
  TBTreeCursor other;
  EXPECT_EQ(CodeOf([&] { other.SetIndex(file.get(), 1); }), KORVEL_INDEXCORRUPT);
  // A page that carries such a mode cannot be written either.
  TPage page(nullptr);
  page.SetIndexAttributes(1, 8, false, true, false, 7);
  page.SetPageType(ptRootLeaf);
  int pos = 0;
  for (int i = 1; i <= 340; ++i) page.InsertKeyEntry(Key8(static_cast<std::uint64_t>(i)).data(), pos);
  TBytes image(kIndexPageSize);
  EXPECT_EQ(CodeOf([&] { page.Write(image.data()); }), KORVEL_INDEXCORRUPT);
}

}  // namespace
}  // namespace korvel
