#include "engine/index_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/btree_cursor.h"
#include "support/byte_order.h"
#include "support/errors.h"
#include "support/records_bitmap.h"
#include "support/scramble.h"
#include "support/test_errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::TTestFolder;

using testing::CodeOf;

using TBytes = std::vector<std::uint8_t>;

// A detached page of a leaf with the given attributes and keys (records 1, 2, ...).
std::unique_ptr<TPage> Leaf(std::uint16_t keySize, bool unique, std::uint8_t compression, const std::vector<TBytes>& keys) {
  auto page = std::make_unique<TPage>(nullptr);
  page->SetIndexAttributes(1, keySize, false, unique, false, compression);
  page->SetPageType(ptLeaf);
  int pos = 0;
  for (const TBytes& key : keys) {
    page->InsertKeyEntry(key.data(), pos);
    page->SetRecordNumber(pos, pos);
  }
  return page;
}

TBytes Encode(TPage& page) {
  TBytes out(kIndexPageSize);
  page.Write(out.data());
  return out;
}

TBytes Body(const TBytes& image, std::size_t from, std::size_t n) {
  return TBytes(image.begin() + static_cast<long>(TPageBuffer::kPageHeaderSize + from),
                image.begin() + static_cast<long>(TPageBuffer::kPageHeaderSize + from + n));
}

TBytes Key8(std::uint64_t value) {
  TBytes key(8);
  for (int i = 0; i < 8; ++i) key[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
  return key;
}

TEST(IndexPageFormat, HeaderAndUncompressedEntriesLieAtTheirOffsets) {
  auto page = Leaf(8, true, 0, {Key8(0x0102030405060708ull), Key8(0x1112131415161718ull)});
  page->SetLeftPageNumber(0x01020304);
  page->SetRightPageNumber(0x0A0B0C0D);
  TBytes image = Encode(*page);
  EXPECT_EQ(image[0], ptLeaf);
  EXPECT_EQ(GetU16(image.data(), 1), 2);
  EXPECT_EQ(GetI32(image.data(), 3), 0x01020304);
  EXPECT_EQ(GetI32(image.data(), 7), 0x0A0B0C0D);
  EXPECT_EQ(GetU16(image.data(), 11), 0);  // uncompressed: no compressed size
  EXPECT_EQ(Body(image, 0, 12), (TBytes{1, 2, 3, 4, 5, 6, 7, 8, 1, 0, 0, 0}));
  EXPECT_EQ(Body(image, 12, 12), (TBytes{0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 2, 0, 0, 0}));
  for (std::size_t i = 13 + 24; i < kIndexPageSize; ++i) ASSERT_EQ(image[i], 0) << i;

  // A node: key, child, count; without key counts, key and child only.
  auto node = std::make_unique<TPage>(nullptr);
  node->SetIndexAttributes(1, 8, false, true, false, 3);
  node->SetPageType(ptRootNode);
  int pos = 0;
  node->InsertKeyEntry(Key8(5).data(), pos);
  node->SetRecordNumber(pos, 77);
  node->SetLowerKeyEntryCount(pos, 300);
  image = Encode(*node);
  EXPECT_EQ(Body(image, 0, 16), (TBytes{0, 0, 0, 0, 0, 0, 0, 5, 77, 0, 0, 0, 0x2C, 1, 0, 0}));
  EXPECT_EQ(GetU16(image.data(), 11), 0);  // nodes are never compressed
  node->SetIndexAttributes(1, 8, false, true, true, 3);
  image = Encode(*node);
  EXPECT_EQ(Body(image, 0, 16), (TBytes{0, 0, 0, 0, 0, 0, 0, 5, 77, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(node->GetMaximumKeyEntries(), 4083 / 12);
  node->SetIndexAttributes(1, 8, false, true, false, 3);
  EXPECT_EQ(node->GetMaximumKeyEntries(), 4083 / 16);
}

TEST(IndexPageFormat, CompressionModesEncodeByteExactAndDecodeBack) {
  const TBytes a = {'A', 'B', 'C', 'D', 0, 0, 0, 0};
  const TBytes b = {'A', 'B', 'X', 0, 0, 0, 0, 0};
  struct TCase {
    bool Unique;
    std::uint8_t Compression;
    TBytes Expected;  // the two entries' bytes
  };
  const TCase cases[] = {
      // dup, key[dup..], record
      {true, 1, {0, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 1, 0, 0, 0, 2, 'X', 0, 0, 0, 0, 0, 2, 0, 0, 0}},
      // trail, key[0 .. 8 - trail), record
      {true, 2, {4, 'A', 'B', 'C', 'D', 1, 0, 0, 0, 5, 'A', 'B', 'X', 2, 0, 0, 0}},
      // dup, trail, key[dup .. 8 - trail), record
      {true, 3, {0, 4, 'A', 'B', 'C', 'D', 1, 0, 0, 0, 2, 5, 'X', 2, 0, 0, 0}},
      // non-unique: the last 4 bytes (record ID, here zero) are always kept
      {false, 2, {0, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 1, 0, 0, 0, 1, 'A', 'B', 'X', 0, 0, 0, 0, 2, 0, 0, 0}},
      {false, 3, {0, 0, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 1, 0, 0, 0, 2, 1, 'X', 0, 0, 0, 0, 2, 0, 0, 0}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Compression) + (c.Unique ? " unique" : " non-unique"));
    auto page = Leaf(8, c.Unique, c.Compression, {a, b});
    TBytes image = Encode(*page);
    EXPECT_EQ(GetU16(image.data(), 11), c.Expected.size());
    EXPECT_EQ(page->GetEncodedSize(), c.Expected.size());
    EXPECT_EQ(Body(image, 0, c.Expected.size()), c.Expected);
    auto back = std::make_unique<TPage>(nullptr);
    back->SetIndexAttributes(1, 8, false, c.Unique, false, c.Compression);
    back->Read(image.data(), false);
    ASSERT_EQ(back->KeyEntryCount, 2);
    EXPECT_EQ(TBytes(back->GetKeyEntryPtr(1), back->GetKeyEntryPtr(1) + 8), a);
    EXPECT_EQ(TBytes(back->GetKeyEntryPtr(2), back->GetKeyEntryPtr(2) + 8), b);
    EXPECT_EQ(back->GetRecordNumber(2), 2);
    EXPECT_FALSE(back->Modified);
  }
}

TEST(IndexPageFormat, DuplicateBytesAreCountedUpTo254AndCompressedLeavesFillByBytes) {
  // Keys of 300 bytes sharing a 280-byte prefix: each later key costs 300 - 254 + 5 bytes.
  std::vector<TBytes> keys;
  for (int i = 0; i < 60; ++i) {
    TBytes key(300, 0x41);
    key[290] = static_cast<std::uint8_t>(i);
    keys.push_back(key);
  }
  auto page = Leaf(300, true, 1, keys);
  EXPECT_EQ(page->GetDuplicateCount(1), 0);
  EXPECT_EQ(page->GetDuplicateCount(2), 254);
  EXPECT_EQ(page->GetEncodedSize(), 305u + 59u * (300 - 254 + 5));
  EXPECT_FALSE(page->PageDataOverflowed());  // 60 entries, far beyond the 13 of an uncompressed leaf
  // It takes entries while the encoded size stays at or below 4,083 bytes.
  while (page->GetEncodedSize() + 51 <= TPageBuffer::kPageBodySize) {
    TBytes key(300, 0x41);
    key[290] = 0xF0;
    key[291] = static_cast<std::uint8_t>(page->KeyEntryCount);
    int pos = page->KeyEntryCount;
    page->InsertKeyEntry(key.data(), pos);
  }
  EXPECT_FALSE(page->PageDataOverflowed());
  TBytes image = Encode(*page);
  EXPECT_EQ(GetU16(image.data(), 11), page->GetEncodedSize());
  TBytes key(300, 0x42);
  int pos = page->KeyEntryCount;
  page->InsertKeyEntry(key.data(), pos);
  EXPECT_TRUE(page->PageDataOverflowed());
  EXPECT_EQ(CodeOf([&] { Encode(*page); }), KORVEL_INDEXCORRUPT);
}

TEST(IndexPageFormat, DamagedPagesAreRejectedAndLeftEmpty) {
  auto read = [](TBytes image, std::uint16_t keySize, std::uint8_t compression) {
    auto page = std::make_unique<TPage>(nullptr);
    page->SetIndexAttributes(1, keySize, false, true, false, compression);
    TErrorCode code = CodeOf([&] { page->Read(image.data(), false); });
    EXPECT_EQ(page->KeyEntryCount, 0);
    return code;
  };
  TBytes image(kIndexPageSize, 0);
  // A node claiming more entries than 4,083 bytes hold.
  image[0] = ptNode;
  PutU16(image.data(), 1, 4083 / 16 + 1);
  EXPECT_EQ(read(image, 8, 0), KORVEL_INDEXCORRUPT);
  // A compressed leaf whose entries run past the body.
  image[0] = ptLeaf;
  PutU16(image.data(), 1, 700);
  std::memset(image.data() + 13, 0, 4083);
  EXPECT_EQ(read(image, 8, 1), KORVEL_INDEXCORRUPT);
  // A first entry that claims bytes from a predecessor it does not have.
  PutU16(image.data(), 1, 1);
  image[13] = 3;
  EXPECT_EQ(read(image, 8, 1), KORVEL_INDEXCORRUPT);
  // A trailing count beyond the key.
  image[13] = 9;
  EXPECT_EQ(read(image, 8, 2), KORVEL_INDEXCORRUPT);
  // An unknown page type with entries.
  image[0] = 9;
  EXPECT_EQ(read(image, 8, 0), KORVEL_INDEXCORRUPT);
  // The same bytes as a free page of that type read as empty.
  PutU16(image.data(), 1, 0);
  EXPECT_EQ(read(image, 8, 0), 0);
}

TEST(IndexPageScans, PositionsAndCountsFollowTheirRules) {
  std::vector<TBytes> keys;
  for (int v = 10; v <= 50; v += 10) keys.push_back(Key8(static_cast<std::uint64_t>(v)));
  auto page = Leaf(8, true, 0, keys);  // 10 20 30 40 50, records 1 ... 5
  TBTreeCursor cursor;
  cursor.KeySize = 8;
  cursor.IndexSlot = 1;
  int pos = -1;
  std::int32_t count = 0;
  EXPECT_TRUE(page->SearchScan(cursor, Key8(30).data(), pos));
  EXPECT_EQ(pos, 3);
  EXPECT_FALSE(page->SearchScan(cursor, Key8(35).data(), pos));
  EXPECT_EQ(pos, 3);
  EXPECT_FALSE(page->SearchScan(cursor, Key8(5).data(), pos));
  EXPECT_EQ(pos, 1);
  page->InsertScan(cursor, Key8(5).data(), pos);
  EXPECT_EQ(pos, 0);
  EXPECT_FALSE(page->FindScan(cursor, Key8(35).data(), true, pos, count));
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(count, 3);
  count = 0;
  EXPECT_FALSE(page->FindScan(cursor, Key8(55).data(), true, pos, count));
  EXPECT_EQ(pos, 5);
  page->FirstRangeScan(cursor, Key8(25).data(), pos, count = 0);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(count, 2);
  page->LastRangeScan(cursor, Key8(45).data(), pos, count = 0);
  EXPECT_EQ(pos, 4);
  EXPECT_TRUE(page->FindRangeScan(cursor, Key8(20).data(), Key8(45).data(), true, pos, count));
  EXPECT_FALSE(page->FindRangeScan(cursor, Key8(25).data(), Key8(45).data(), true, pos, count));
  EXPECT_TRUE(page->FindRangeScan(cursor, Key8(25).data(), Key8(45).data(), false, pos, count));
  EXPECT_EQ(pos, 3);
  EXPECT_FALSE(page->FindRangeScan(cursor, Key8(42).data(), Key8(45).data(), false, pos, count));
  page->LastScan(pos, count = 0);
  EXPECT_EQ(count, 4);

  std::int32_t last = 0;
  page->SetRecordNumber(4, 9);
  EXPECT_EQ(page->CountSequentialRecords(10, true, 1, last), 3);
  EXPECT_EQ(last, 3);
  EXPECT_EQ(page->CountSequentialRecords(10, false, 3, last), 3);
  EXPECT_EQ(last, 1);
  TRecordsBitmap bitmap;
  bitmap.SetNumOfBits(16);
  bitmap.SetBit(9);
  std::int32_t steps = 0;
  pos = 1;
  EXPECT_TRUE(page->FilterScanForward(bitmap, pos, steps));
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(steps, 3);
  pos = 5;
  EXPECT_FALSE(page->FilterRangeScanForward(cursor, bitmap, Key8(45).data(), pos, steps));
  bitmap.ClearBits();
  EXPECT_FALSE(page->FilterSetIndexedBits(bitmap, 2, cursor, Key8(30).data()));
  EXPECT_EQ(bitmap.GetTotalBitsSet(), 2u);
  EXPECT_TRUE(bitmap.IsBitSet(2) && bitmap.IsBitSet(3));
  EXPECT_TRUE(page->FilterSetIndexedBits(bitmap, 4, cursor, Key8(99).data()));

  auto empty = std::make_unique<TPage>(nullptr);
  empty->SetIndexAttributes(1, 8, false, true, false, 0);
  empty->SetPageType(ptLeaf);
  EXPECT_EQ(CodeOf([&] { empty->SearchScan(cursor, Key8(1).data(), pos); }), KORVEL_INDEXCORRUPT);
}

TEST(IndexKeyComparison, CollatedFieldsDescendingFieldsAndSystemSlots) {
  TBTreeCursor cursor;
  cursor.IndexSlot = 1;
  cursor.KeySize = 1 + 4 + 1 + 2 + 4;  // a 4-byte string, a word, the record ID
  cursor.SetKeyCollation(0x0409, 0, {{true, 4, false}, {false, 2, false}});
  auto key = [](const char* text, std::uint8_t hi, std::uint8_t id) {
    TBytes k(12, 0);
    k[0] = 1;
    std::memcpy(k.data() + 1, text, std::strlen(text));
    k[5] = 1;
    k[6] = hi;
    k[11] = id;
    return k;
  };
  // Collation: "a" sorts before "B", unlike their bytes.
  EXPECT_LT(cursor.CompareKeys(key("a", 0, 0).data(), key("B", 0, 0).data(), 12), 0);
  EXPECT_GT(cursor.CompareKeys(key("ab", 5, 0).data(), key("ab", 4, 0).data(), 12), 0);
  EXPECT_LT(cursor.CompareKeys(key("ab", 5, 1).data(), key("ab", 5, 2).data(), 12), 0);
  EXPECT_EQ(cursor.CompareKeys(key("ab", 5, 1).data(), key("ab", 6, 2).data(), 6), 0);  // partial length
  // A descending string field reverses only that field.
  cursor.SetKeyCollation(0x0409, 0, {{true, 4, true}, {false, 2, false}});
  EXPECT_GT(cursor.CompareKeys(key("a", 0, 0).data(), key("B", 0, 0).data(), 12), 0);
  EXPECT_GT(cursor.CompareKeys(key("ab", 5, 0).data(), key("ab", 4, 0).data(), 12), 0);
  // Without a language the whole key is bytes, reversed for a descending index; slot 31 always
  // compares bytes upwards.
  cursor.SetKeyCollation(0, 0, {});
  EXPECT_GT(cursor.CompareKeys(key("a", 0, 0).data(), key("B", 0, 0).data(), 12), 0);
  cursor.Descending = true;
  EXPECT_LT(cursor.CompareKeys(key("a", 0, 0).data(), key("B", 0, 0).data(), 12), 0);
  cursor.IndexSlot = kSysDeletedSlot;
  EXPECT_LT(cursor.CompareKeys(key("B", 0, 0).data(), key("a", 0, 0).data(), 12), 0);
}

// A one-index file, created in a fresh folder.
class BTreeTest : public ::testing::Test {
 protected:
  void Make(std::uint16_t keySize, bool unique, std::uint8_t compression, bool encrypted = false) {
    owner.TableName = "pages";
    owner.DirectoryName = folder.Path();
    owner.Encrypted = encrypted;
    file = std::make_unique<TBTreeIndexFile>(&owner);
    file->FileName = folder.File("pages.IDX");
    file->CreateFile();
    TIndexDefinition d;
    d.IndexName = "Pages";
    d.KeySize = keySize;
    d.Unique = unique;
    d.Compression = compression;
    file->SetIndexCount(1);
    file->SetIndexDefinition(1, d);
    cursor = std::make_unique<TBTreeCursor>();
    cursor->SetIndex(file.get(), 1);
  }
  TPinnedPage Root() { return cursor->FetchPage(file->GetRootPageNumber(1)); }
  TBytes KeyAt(TPage& page, int pos) { return TBytes(page.GetKeyEntryPtr(pos), page.GetKeyEntryPtr(pos) + page.KeySize); }
  void Add(std::uint64_t v, std::int32_t record = 0) { cursor->AddIndexKey(Key8(v).data(), record ? record : static_cast<std::int32_t>(v)); }

  TTestFolder folder;
  TPlainIndexFileOwner owner;
  std::unique_ptr<TBTreeIndexFile> file;
  std::unique_ptr<TBTreeCursor> cursor;
};

TEST_F(BTreeTest, RootLeafSplitsIntoARootNodeOverTwoLeaves) {
  Make(8, true, 0);
  Add(100);
  {
    TPinnedPage root = Root();
    EXPECT_EQ(root->PageType, ptRootLeaf);
    EXPECT_EQ(root->KeyEntryCount, 1);
  }
  const int max = 4083 / 12;  // 340 entries of an uncompressed leaf with 8-byte keys
  for (int i = 1; i < max; ++i) Add(100 + static_cast<std::uint64_t>(i) * 10);
  EXPECT_EQ(Root()->PageType, ptRootLeaf);
  Add(5);  // the 341st key, below all others
  TPinnedPage root = Root();
  ASSERT_EQ(root->PageType, ptRootNode);
  ASSERT_EQ(root->KeyEntryCount, 2);
  EXPECT_EQ(root->GetLowerKeyEntryCount(1) + root->GetLowerKeyEntryCount(2), max + 1);
  TPinnedPage left = cursor->FetchPage(root->GetRecordNumber(1));
  TPinnedPage right = cursor->FetchPage(root->GetRecordNumber(2));
  EXPECT_EQ(left->PageType, ptLeaf);
  EXPECT_EQ(right->PageType, ptLeaf);
  EXPECT_EQ(left->KeyEntryCount, 171);  // n - n div 2
  EXPECT_EQ(right->KeyEntryCount, 170);
  EXPECT_EQ(left->RightPageNumber, right->PageNumber);
  EXPECT_EQ(right->LeftPageNumber, left->PageNumber);
  EXPECT_EQ(KeyAt(*root, 1), Key8(5));
  EXPECT_EQ(KeyAt(*root, 2), KeyAt(*right, 1));
  // A key below every key renews the first keys all along the leftmost path.
  root.Release();
  Add(1);
  EXPECT_EQ(KeyAt(*Root(), 1), Key8(1));
  bool exact = false;
  cursor->GotoLogicalRecordNumber(1, &exact);
  EXPECT_TRUE(exact);
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 1);
}

TEST_F(BTreeTest, SevenEntriesSplitFourAndThree) {
  Make(8, true, 0);
  TPinnedPage page = cursor->NewPage();
  page->SetPageType(ptLeaf);
  int pos = 0;
  for (int i = 1; i <= 7; ++i) page->InsertKeyEntry(Key8(static_cast<std::uint64_t>(i)).data(), pos);
  TPinnedPage other = cursor->NewPage();
  page->SplitIntoPage(*cursor, *other);
  EXPECT_EQ(page->KeyEntryCount, 4);
  EXPECT_EQ(other->KeyEntryCount, 3);
  EXPECT_EQ(KeyAt(*other, 1), Key8(5));
}

TEST_F(BTreeTest, DuplicateKeysAreRefusedWithTheTreeUnchanged) {
  Make(8, true, 0);
  for (int i = 1; i <= 2000; ++i) Add(static_cast<std::uint64_t>(i));
  EXPECT_TRUE(cursor->CheckForKeyViolation(Key8(700).data()));
  EXPECT_EQ(CodeOf([&] { Add(700); }), KORVEL_KEYVIOL);
  EXPECT_EQ(cursor->GetIndexKeyCount(), 2000);
  TPinnedPage root = Root();
  std::int32_t sum = 0;
  for (int i = 1; i <= root->KeyEntryCount; ++i) sum += root->GetLowerKeyEntryCount(i);
  EXPECT_EQ(sum, 2000);
  root.Release();
  EXPECT_EQ(CodeOf([&] { cursor->RemoveIndexKey(Key8(5000).data()); }), KORVEL_INDEXCORRUPT);
}

TEST_F(BTreeTest, DeletingEveryKeyFreesEveryPageForReuse) {
  Make(8, true, 0);
  for (int i = 1; i <= 3000; ++i) Add(static_cast<std::uint64_t>(i) * 7 % 3001);
  std::int32_t used = file->GetPhysicalPagesUsed();
  EXPECT_GT(used, 10);
  for (int i = 1; i <= 3000; ++i) cursor->RemoveIndexKey(Key8(static_cast<std::uint64_t>(i) * 7 % 3001).data());
  EXPECT_EQ(file->GetRootPageNumber(1), 0);
  EXPECT_EQ(cursor->GetIndexKeyCount(), 0);
  EXPECT_TRUE(cursor->GotoFirstIndexPosition());
  EXPECT_TRUE(cursor->Bof && cursor->Eof);
  // Every page is on the free chain, and refilling the tree takes them back before growing.
  int free = 0;
  for (std::int32_t n = file->GetNextFreePageNumber(1); n != file->GetNextEndingPageNumber(1) && n != 0; ++free) {
    TPinnedPage page = cursor->FetchPage(n);
    EXPECT_EQ(page->KeyEntryCount, 0);
    n = page->RightPageNumber;
  }
  EXPECT_EQ(free, used);
  for (int i = 1; i <= 3000; ++i) Add(static_cast<std::uint64_t>(i));
  // Ascending inserts leave half-full leaves, so more pages are needed: the freed ones went first.
  EXPECT_GT(file->GetPhysicalPagesUsed(), used);
  EXPECT_EQ(file->GetNextFreePageNumber(1), file->GetNextEndingPageNumber(1));
}

TEST_F(BTreeTest, EncryptedPagesAreScrambledOnDiskAndReadBack) {
  Make(8, true, 3, true);
  for (int i = 1; i <= 500; ++i) Add(static_cast<std::uint64_t>(i));
  std::int32_t rootNumber = file->GetRootPageNumber(1);
  TBytes plain(kIndexPageSize);
  {
    TPinnedPage root = Root();
    root->Write(plain.data());
    root->SetModified();
  }
  file->FlushPageBuffers(false);
  file->WriteHeader(true);
  file->CloseFile();
  std::ifstream in(folder.File("pages.IDX"), std::ios::binary);
  TBytes disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  TBytes onDisk(disk.begin() + rootNumber * 4096, disk.begin() + (rootNumber + 1) * 4096);
  EXPECT_NE(onDisk, plain);
  DecryptBuffer(onDisk.data(), onDisk.size(), 0x5B, 0xC4);
  EXPECT_EQ(onDisk, plain);

  file = std::make_unique<TBTreeIndexFile>(&owner);
  file->FileName = folder.File("pages.IDX");
  file->OpenFile();
  cursor = std::make_unique<TBTreeCursor>();
  cursor->SetIndex(file.get(), 1);
  EXPECT_EQ(cursor->GetIndexKeyCount(), 500);
  EXPECT_TRUE(cursor->VerifyIndexKey(Key8(321).data(), 321));
}

TEST_F(BTreeTest, NavigationHonoursRangeAndFilter) {
  Make(8, true, 0);
  for (int i = 1; i <= 1000; ++i) Add(static_cast<std::uint64_t>(i));
  TRecordsBitmap even;
  even.SetNumOfBits(1000);
  for (std::uint32_t r = 2; r <= 1000; r += 2) even.SetBit(r);
  cursor->SetBeginIndexRange(Key8(401).data());
  cursor->SetEndIndexRange(Key8(600).data());
  cursor->ActivateRange(true);
  cursor->SetVisibleRecords(&even);
  ASSERT_TRUE(cursor->GotoFirstIndexPosition());
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 402);
  EXPECT_EQ(cursor->CursorPosition, 402);
  cursor->SkipIndexKeys(3);
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 408);
  cursor->SkipIndexKeys(1000);
  EXPECT_TRUE(cursor->Eof);
  ASSERT_TRUE(cursor->GotoLastIndexPosition());
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 600);
  cursor->SkipIndexKeys(-99);  // the 99 visible keys below 600 in the range
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 402);
  EXPECT_FALSE(cursor->Bof);
  cursor->SkipIndexKeys(-1);
  EXPECT_TRUE(cursor->Bof);
  cursor->SkipIndexKeys(1);  // re-enters at the first visible key
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 402);
  // Logical record numbers count every key; a hidden one moves on to the next visible key.
  cursor->ActivateRange(false);
  bool exact = true;
  cursor->GotoLogicalRecordNumber(777, &exact);
  EXPECT_FALSE(exact);
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 778);
  cursor->GotoLogicalRecordNumber(778, &exact);
  EXPECT_TRUE(exact);
  cursor->GotoLogicalRecordNumber(5000, &exact);
  EXPECT_EQ(cursor->GetPhysicalRecordNumber(), 1000);
  // A range that holds nothing leaves no position.
  cursor->SetBeginIndexRange(Key8(2000).data());
  cursor->SetEndIndexRange(Key8(3000).data());
  cursor->ActivateRange(true);
  cursor->GotoFirstIndexPosition();
  EXPECT_TRUE(cursor->Bof && cursor->Eof);
}

TEST_F(BTreeTest, DataPageChainKeepsRawBytesAndFreesItsPages) {
  Make(8, true, 0);
  for (int i = 0; i < 3; ++i) {
    TPinnedPage page = cursor->AddDataPage();
    std::memset(page->GetPageDataPtr(), 0x30 + i, TPageBuffer::kPageBodySize);
    page->SetModified();
  }
  file->FlushPageBuffers(false);
  file->WriteHeader(true);
  file->CloseFile();
  file = std::make_unique<TBTreeIndexFile>(&owner);
  file->FileName = folder.File("pages.IDX");
  file->OpenFile();
  cursor = std::make_unique<TBTreeCursor>();
  cursor->SetIndex(file.get(), 1);
  std::vector<std::int32_t> numbers = cursor->GetDataPageNumbers();
  ASSERT_EQ(numbers.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    TPinnedPage page = cursor->FetchPage(numbers[static_cast<std::size_t>(i)]);
    EXPECT_EQ(page->PageType, ptDataPage);
    EXPECT_EQ(page->GetPageDataPtr()[4082], 0x30 + i);
  }
  cursor->FreeDataPages();
  EXPECT_EQ(file->GetDataRootPageNumber(1), 0);
  Add(1);  // the tree's first page comes from the freed ones
  EXPECT_EQ(file->GetPhysicalPagesUsed(), 3);
}

}  // namespace
}  // namespace korvel
