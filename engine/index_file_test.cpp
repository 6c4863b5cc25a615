#include "engine/index_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "support/errors.h"
#include "support/test_errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::TTestFolder;

using testing::CodeOf;

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PatchFile(const std::string& path, std::size_t offset, const std::vector<std::uint8_t>& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::int32_t I32At(const std::vector<std::uint8_t>& b, std::size_t o) {
  return static_cast<std::int32_t>(b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (static_cast<std::uint32_t>(b[o + 3]) << 24));
}

// A table of six fields: a 20-character string, an integer, a text BLOB, a BCD, a word and a
// 250-character string.
TPlainIndexFileOwner MakeOwner() {
  TPlainIndexFileOwner owner;
  owner.TableName = "customer";
  owner.DirectoryName = "/data";
  owner.Fields = {{"Name", 1, 0, 21}, {"Number", 6, 0, 4}, {"Notes", 3, 22, 10}, {"Amount", 8, 0, 34}, {"Code", 12, 0, 2},
                  {"Long", 1, 0, 251}};
  return owner;
}

TIndexDefinition Definition(const std::string& name, std::initializer_list<std::uint16_t> fields, bool unique = false,
                            bool temporary = false) {
  static const int kSizes[] = {0, 21, 4, 10, 8, 2, 251, 0, 0, 0};
  TIndexDefinition d;
  d.IndexName = name;
  d.Unique = unique;
  d.Temporary = temporary;
  int size = 0;
  for (std::uint16_t f : fields) {
    d.KeyFields[d.KeyFieldCount++] = f;
    size += kSizes[f] + 1;
  }
  d.KeySize = static_cast<std::uint16_t>(size + (unique ? 0 : 4));
  return d;
}

class IndexFileTest : public ::testing::Test {
 protected:
  IndexFileTest() : owner(MakeOwner()) {}

  std::unique_ptr<TIndexFile> NewFile(TIndexFileOwner& o) {
    auto f = std::make_unique<TIndexFile>(&o);
    f->FileName = path;
    return f;
  }
  // A fresh index file with its header on disk, open shared (a new file is held exclusively
  // until it is closed).
  std::unique_ptr<TIndexFile> Created() {
    auto f = NewFile(owner);
    f->CreateFile();
    f->WriteHeader();
    f->CloseFile();
    f->OpenFile();
    return f;
  }
  std::unique_ptr<TIndexFile> Opened(TIndexFileOwner& o) {
    auto f = NewFile(o);
    f->OpenFile();
    return f;
  }
  // Allocates a page for the slot, writes a marker into its body and hands it back.
  std::int32_t Allocate(TIndexFile& f, int slot, std::uint8_t marker = 0) {
    TPageBuffer* page = nullptr;
    f.GetNextFreePage(nullptr, slot, page);
    page->GetPageDataPtr()[0] = marker;
    page->SetKeyEntryCount(1);
    std::int32_t n = page->PageNumber;
    f.PutPage(page);
    return n;
  }
  TPageBuffer* Get(TIndexFile& f, int slot, std::int32_t n) {
    TPageBuffer* page = nullptr;
    EXPECT_TRUE(f.GetPage(nullptr, slot, n, page));
    return page;
  }

  TTestFolder folder;
  std::string path = folder.File("customer.IDX");
  TPlainIndexFileOwner owner;
};

TEST(IndexLayoutTest, HeaderAndDefinitionFieldsLieAtTheirOffsets) {
  TIndexHeader h;
  h.LastUpdateStamp = 0x11223344;
  h.VersionNum = 5;
  h.NextEndingPageNumber = 0x01020304;
  h.IndexCount = 2;
  h.ActualRecordCount = 0x0A0B0C0D;
  h.NoPrimaryIndex = true;
  h.HeaderModified = true;
  TIndexDefinition& d = h.IndexDefinitions[2];
  d.IndexName = "ByName";
  d.KeySize = 0x1234;
  d.Descending = true;
  d.CaseInsensitive = true;
  d.Unique = true;
  d.Compression = 3;
  d.KeyFieldCount = 2;
  d.DescendingKeyFields[1] = true;
  d.KeyFields[0] = 0x0506;
  d.KeyFields[1] = 7;
  d.RootPageNumber = 0x21222324;
  d.NextFreePageNumber = 0x31323334;
  d.DataRootPageNumber = 0x41424344;
  d.NoKeyCounts = true;
  d.Temporary = true;
  h.IndexDefinitions[32].IndexName = "Sys Text";

  std::vector<std::uint8_t> b(4096, 0xEE);
  h.EncodeTo(b.data());
  EXPECT_EQ(I32At(b, 0), 0x11223344);
  EXPECT_EQ(I32At(b, 4), 0);
  EXPECT_EQ(b[8], 5);
  EXPECT_EQ(I32At(b, 9), 0x01020304);
  EXPECT_EQ(b[13], 2);
  EXPECT_EQ(I32At(b, 3974), 0x0A0B0C0D);
  EXPECT_EQ(b[3978], 1);
  EXPECT_EQ(b[3979], 1);
  for (std::size_t i = 3980; i < 4096; ++i) ASSERT_EQ(b[i], 0) << i;

  const std::size_t s = 14 + 2 * 120;
  EXPECT_EQ(TIndexHeader::SlotOffset(2), s);
  EXPECT_EQ(b[s], 6);
  EXPECT_EQ(std::memcmp(&b[s + 1], "ByName", 6), 0);
  EXPECT_EQ(b[s + 31] | (b[s + 32] << 8), 0x1234);
  EXPECT_EQ(b[s + 33], 1);
  EXPECT_EQ(b[s + 34], 1);
  EXPECT_EQ(b[s + 35], 1);
  EXPECT_EQ(b[s + 36], 3);
  EXPECT_EQ(b[s + 37], 2);
  EXPECT_EQ(b[s + 38], 0);
  EXPECT_EQ(b[s + 39], 1);
  EXPECT_EQ(b[s + 54] | (b[s + 55] << 8), 0x0506);
  EXPECT_EQ(b[s + 56], 7);
  EXPECT_EQ(I32At(b, s + 86), 0x21222324);
  EXPECT_EQ(I32At(b, s + 90), 0x31323334);
  EXPECT_EQ(b[s + 94], 0);
  EXPECT_EQ(b[s + 95], 0);
  EXPECT_EQ(I32At(b, s + 96), 0x41424344);
  EXPECT_EQ(b[s + 100], 1);
  EXPECT_EQ(b[s + 101], 1);
  for (std::size_t i = s + 102; i < s + 120; ++i) ASSERT_EQ(b[i], 0) << i;
  EXPECT_EQ(TIndexHeader::SlotOffset(32) + 120, 3974u);
  EXPECT_EQ(b[TIndexHeader::SlotOffset(32)], 8);

  TIndexHeader back;
  ASSERT_TRUE(TIndexHeader::DecodeFrom(b.data(), back));
  std::vector<std::uint8_t> again(4096);
  back.EncodeTo(again.data());
  EXPECT_EQ(b, again);
}

TEST(IndexLayoutTest, DamagedDefinitionsInUseAreRejected) {
  TIndexHeader h;
  h.IndexCount = 1;
  std::vector<std::uint8_t> b(4096);
  h.EncodeTo(b.data());
  TIndexHeader back;
  ASSERT_TRUE(TIndexHeader::DecodeFrom(b.data(), back));

  std::vector<std::uint8_t> longName = b;
  longName[TIndexHeader::SlotOffset(1)] = 31;
  EXPECT_FALSE(TIndexHeader::DecodeFrom(longName.data(), back));
  std::vector<std::uint8_t> manyFields = b;
  manyFields[TIndexHeader::SlotOffset(32) + 37] = 17;
  EXPECT_FALSE(TIndexHeader::DecodeFrom(manyFields.data(), back));
  EXPECT_EQ(back.IndexDefinitions[32].KeyFieldCount, 16);
  // An unused slot may hold stale bytes.
  std::vector<std::uint8_t> stale = b;
  stale[TIndexHeader::SlotOffset(5)] = 200;
  EXPECT_TRUE(TIndexHeader::DecodeFrom(stale.data(), back));
  std::vector<std::uint8_t> tooMany = b;
  tooMany[13] = 31;
  EXPECT_FALSE(TIndexHeader::DecodeFrom(tooMany.data(), back));
}

TEST_F(IndexFileTest, NewFileIsOneHeaderWithTheSystemSlots) {
  auto f = Created();
  f->CloseFile();
  std::vector<std::uint8_t> b = FileBytes(path);
  ASSERT_EQ(b.size(), 4096u);
  EXPECT_EQ(I32At(b, 0), 1);  // written once
  EXPECT_EQ(b[8], 5);
  EXPECT_EQ(I32At(b, 9), 1);
  EXPECT_EQ(b[13], 0);

  auto g = Opened(owner);
  EXPECT_EQ(g->GetPhysicalPagesUsed(), 0);
  EXPECT_EQ(g->GetFileSize(), 4096);
  EXPECT_EQ(g->IndexDefinition(kSysDeletedSlot).IndexName, "Sys Deleted");
  EXPECT_EQ(g->IndexDefinition(kSysDeletedSlot).KeySize, 5);
  EXPECT_EQ(g->IndexDefinition(kSysDeletedSlot).Compression, 0);
  EXPECT_EQ(g->IndexDefinition(kSysTextSlot).IndexName, "Sys Text");
  EXPECT_EQ(g->IndexDefinition(kSysTextSlot).KeySize, 68);
  EXPECT_EQ(g->IndexDefinition(kSysTextSlot).Compression, 3);
  EXPECT_FALSE(g->Header().HeaderModified);
  EXPECT_FALSE(g->WriteHeader());
  // Not yet consistent: a table always gets a primary index or the no-primary-index mark.
  EXPECT_EQ(CodeOf([&] { g->CheckHeader(); }), KORVEL_HEADERCORRUPT);
  g->AddPrimaryIndex(TIndexDefinition());
  EXPECT_NO_THROW(g->CheckHeader());
}

TEST_F(IndexFileTest, PrimaryIndexRules) {
  auto f = Created();
  TIndexDefinition none;
  f->AddPrimaryIndex(none);
  EXPECT_TRUE(f->GetNoPrimaryIndex());
  EXPECT_EQ(f->IndexDefinition(0).KeySize, 0);

  TIndexDefinition primary = Definition("ignored", {2, 1}, false);
  primary.DescendingKeyFields[1] = true;
  f->AddPrimaryIndex(primary);
  EXPECT_FALSE(f->GetNoPrimaryIndex());
  const TIndexDefinition& p = f->IndexDefinition(0);
  EXPECT_EQ(p.IndexName, "");
  EXPECT_TRUE(p.Unique);
  EXPECT_EQ(p.KeyFieldCount, 2);
  EXPECT_EQ(p.KeyFields[0], 2);
  EXPECT_TRUE(p.DescendingKeyFields[1]);
  EXPECT_EQ(CodeOf([&] { f->AddPrimaryIndex(primary); }), KORVEL_PRIMARYKEYREDEFINE);

  // Dropping it keeps the slot's free chain and data chain.
  f->SetNextFreePageNumber(0, 0);
  f->DeleteIndex(0, true);
  EXPECT_TRUE(f->GetNoPrimaryIndex());
  EXPECT_EQ(f->IndexDefinition(0).KeySize, 0);
  EXPECT_EQ(CodeOf([&] { f->AddPrimaryIndex(Definition("", {3}, true)); }), KORVEL_SEARCHCOLREQD);
  TIndexDefinition seventeen = Definition("", {1}, true);
  seventeen.KeyFieldCount = 17;
  EXPECT_EQ(CodeOf([&] { f->AddPrimaryIndex(seventeen); }), KORVEL_INDEXLIMIT);
}

TEST_F(IndexFileTest, SecondaryIndexRules) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("  ByName  ", {1}));
  EXPECT_EQ(f->GetIndexCount(), 1);
  EXPECT_EQ(f->IndexDefinition(1).IndexName, "ByName");
  EXPECT_TRUE(f->IndexExists("byname "));
  EXPECT_EQ(CodeOf([&] { f->AddSecondaryIndex(Definition(" BYNAME", {2})); }), KORVEL_INDEXEXISTS);
  EXPECT_EQ(CodeOf([&] { f->AddSecondaryIndex(Definition("  ", {2})); }), KORVEL_INDEXNAMEREQUIRED);
  EXPECT_EQ(CodeOf([&] { f->AddSecondaryIndex(Definition("9lives", {2})); }), KORVEL_INVALIDINDEXNAME);
  EXPECT_EQ(CodeOf([&] { f->AddSecondaryIndex(Definition("ByNotes", {3})); }), KORVEL_SEARCHCOLREQD);
  EXPECT_EQ(CodeOf([&] { f->AddSecondaryIndex(Definition("ByGhost", {7})); }), KORVEL_INVALIDIDXDESC);
  TIndexDefinition wide = Definition("Wide", {6, 6, 1});  // 252 + 252 + 22 is over 522
  EXPECT_EQ(CodeOf([&] { f->AddSecondaryIndex(wide); }), KORVEL_INVALIDKEY);
  EXPECT_EQ(f->GetIndexCount(), 1);

  f->AddSecondaryIndex(Definition("AVeryLongIndexNameThatGoesOnAndOn", {2}));
  EXPECT_EQ(f->IndexDefinition(2).IndexName.size(), 30u);
  for (int i = 3; i <= 30; ++i) f->AddSecondaryIndex(Definition("Index" + std::to_string(i), {2}));
  EXPECT_EQ(f->GetIndexCount(), 30);
  EXPECT_EQ(CodeOf([&] { f->AddSecondaryIndex(Definition("OneTooMany", {2})); }), KORVEL_INDEXLIMIT);
  // The system slots were never touched.
  EXPECT_EQ(f->IndexDefinition(31).IndexName, "Sys Deleted");
  EXPECT_EQ(f->IndexDefinition(32).IndexName, "Sys Text");
}

TEST_F(IndexFileTest, DeletingASecondaryShiftsTheLaterOnesWithTheirPages) {
  auto f = Created();
  for (const char* name : {"A", "B", "C", "D"}) f->AddSecondaryIndex(Definition(name, {1}));
  std::int32_t pageOfC = Allocate(*f, 3, 0xCC);
  std::int32_t pageOfD = Allocate(*f, 4, 0xDD);
  f->SetRootPageNumber(3, pageOfC);
  f->SetRootPageNumber(4, pageOfD);

  f->DeleteIndex(2, true);
  EXPECT_EQ(f->GetIndexCount(), 3);
  EXPECT_EQ(f->IndexDefinition(1).IndexName, "A");
  EXPECT_EQ(f->IndexDefinition(2).IndexName, "C");
  EXPECT_EQ(f->IndexDefinition(3).IndexName, "D");
  EXPECT_EQ(f->IndexDefinition(4).IndexName, "B");  // parked past the end
  EXPECT_FALSE(f->IndexExists("B"));
  EXPECT_EQ(f->GetRootPageNumber(2), pageOfC);
  // C's cached page moved with it: served from the cache, tagged with the new slot.
  std::uint32_t reads = f->GetPageReads();
  TPageBuffer* page = Get(*f, 2, pageOfC);
  EXPECT_EQ(f->GetPageReads(), reads);
  EXPECT_EQ(page->IndexSlot, 2);
  EXPECT_EQ(page->GetPageDataPtr()[0], 0xCC);
  f->PutPage(page);
  EXPECT_EQ(f->GetCachedPageCount(4), 0u);
  EXPECT_EQ(CodeOf([&] { f->DeleteIndex(4, true); }), KORVEL_INDEXLIMIT);

  // The slots survive a round trip through the file.
  f->FlushPageBuffers(false);
  f->WriteHeader();
  f->CloseFile();
  auto g = Opened(owner);
  EXPECT_EQ(g->GetIndexCount(), 3);
  EXPECT_EQ(g->IndexDefinition(3).IndexName, "D");
  TPageBuffer* d = Get(*g, 3, pageOfD);
  EXPECT_EQ(d->GetPageDataPtr()[0], 0xDD);
  g->PutPage(d);
}

TEST_F(IndexFileTest, TemporaryIndexesNeverReachTheFile) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("Perm1", {1}));
  f->AddSecondaryIndex(Definition("Temp", {2}, false, true));
  f->AddSecondaryIndex(Definition("Perm2", {5}));
  EXPECT_TRUE(f->HasTemporaryIndexes());
  // The temporary index's pages live in a file of their own, numbered from 1.
  std::int32_t tempPage = Allocate(*f, 2, 0x77);
  std::int32_t permPage = Allocate(*f, 3, 0x55);
  EXPECT_EQ(tempPage, 1);
  EXPECT_EQ(permPage, 1);
  EXPECT_EQ(f->GetNextEndingPageNumber(2), 2);
  EXPECT_EQ(f->GetNextEndingPageNumber(3), 2);
  EXPECT_TRUE(f->FlushPageBuffers(true));
  EXPECT_TRUE(f->FlushPageBuffers(false));
  f->WriteHeader();
  EXPECT_EQ(FileBytes(path).size(), 2u * 4096);

  TIndexHeader disk;
  f->GetWriteHeader(disk);
  EXPECT_EQ(disk.IndexCount, 2);
  EXPECT_EQ(disk.IndexDefinitions[1].IndexName, "Perm1");
  EXPECT_EQ(disk.IndexDefinitions[2].IndexName, "Perm2");
  EXPECT_EQ(disk.IndexDefinitions[3].IndexName, "");

  TPlainIndexFileOwner other = MakeOwner();
  auto g = Opened(other);
  EXPECT_EQ(g->GetIndexCount(), 2);
  EXPECT_FALSE(g->IndexExists("Temp"));
  TPageBuffer* p = Get(*g, 2, permPage);
  EXPECT_EQ(p->GetPageDataPtr()[0], 0x55);
  g->PutPage(p);

  // The temporary index survives a header change by another writer...
  g->SetActualRecordCount(9);
  g->WriteHeader();
  EXPECT_TRUE(f->CheckForChanges());
  EXPECT_EQ(f->GetActualRecordCount(), 9);
  ASSERT_EQ(f->GetIndexCount(), 3);
  EXPECT_EQ(f->IndexDefinition(3).IndexName, "Temp");
  EXPECT_TRUE(f->IndexDefinition(3).Temporary);
  TPageBuffer* t = Get(*f, 3, tempPage);
  EXPECT_EQ(t->GetPageDataPtr()[0], 0x77);
  f->PutPage(t);

  // ...and goes with DeleteTemporaryIndexes.
  f->DeleteTemporaryIndexes();
  EXPECT_EQ(f->GetIndexCount(), 2);
  EXPECT_FALSE(f->HasTemporaryIndexes());
  EXPECT_EQ(f->IndexDefinition(2).IndexName, "Perm2");
}

TEST_F(IndexFileTest, FreedPagesAreReusedLastFreedFirstAndOnlyByTheirIndex) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  f->AddSecondaryIndex(Definition("B", {2}));
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(Allocate(*f, 1), i);
  for (std::int32_t n : {3, 5}) {
    TPageBuffer* page = Get(*f, 1, n);
    f->SetNextFreePage(nullptr, 1, page);
    EXPECT_TRUE(page->IsFree);
    f->PutPage(page);
  }
  EXPECT_EQ(f->GetNextFreePageNumber(1), 5);
  EXPECT_EQ(Allocate(*f, 2), 6);  // another index never takes them
  TPageBuffer* foreign = Get(*f, 2, 6);
  EXPECT_EQ(CodeOf([&] { f->SetNextFreePage(nullptr, 1, foreign); }), KORVEL_INDEXCORRUPT);
  f->PutPage(foreign);
  EXPECT_EQ(f->GetNextFreePageNumber(1), 5);

  // Through the file: the chain is in the pages' right links and the header.
  f->FlushPageBuffers(false);
  f->WriteHeader();
  std::vector<std::uint8_t> b = FileBytes(path);
  EXPECT_EQ(I32At(b, 5 * 4096 + 7), 3);
  EXPECT_EQ(b[5 * 4096 + 1], 0);  // a free page is written without entries
  EXPECT_EQ(I32At(b, 3 * 4096 + 7), 0);
  f->CloseFile();

  auto g = Opened(owner);
  EXPECT_EQ(Allocate(*g, 1), 5);
  EXPECT_EQ(Allocate(*g, 1), 3);
  EXPECT_EQ(g->GetNextFreePageNumber(1), 7);
  EXPECT_EQ(Allocate(*g, 1), 7);
}

TEST_F(IndexFileTest, DamagedFreeChainsAreRefused) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  for (int i = 1; i <= 3; ++i) Allocate(*f, 1);
  f->FlushPageBuffers(false);
  f->WriteHeader();
  f->CloseFile();

  // Chain head at a live page (it has entries).
  {
    auto g = Opened(owner);
    g->SetNextFreePageNumber(1, 2);
    TPageBuffer* page = nullptr;
    EXPECT_EQ(CodeOf([&] { g->GetNextFreePage(nullptr, 1, page); }), KORVEL_INDEXCORRUPT);
    EXPECT_EQ(page, nullptr);
  }
  // A free page whose link points at itself, or past the end of the file.
  for (std::int32_t link : {2, 50, -4}) {
    PatchFile(path, 2 * 4096 + 1, {0, 0});
    PatchFile(path, 2 * 4096 + 7, {static_cast<std::uint8_t>(link), 0, 0, static_cast<std::uint8_t>(link < 0 ? 0xFF : 0)});
    auto g = Opened(owner);
    g->SetNextFreePageNumber(1, 2);
    TPageBuffer* page = nullptr;
    EXPECT_EQ(CodeOf([&] { g->GetNextFreePage(nullptr, 1, page); }), KORVEL_INDEXCORRUPT) << link;
  }
}

TEST_F(IndexFileTest, PageNumbersOutsideTheFileAreRefused) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  TPageBuffer* page = nullptr;
  EXPECT_EQ(CodeOf([&] { f->GetPage(nullptr, 1, 0, page); }), KORVEL_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { f->GetPage(nullptr, 1, 2, page); }), KORVEL_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { f->GetPage(nullptr, 1, -7, page); }), KORVEL_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { f->GetPage(nullptr, 40, 1, page); }), KORVEL_INDEXLIMIT);
  EXPECT_TRUE(f->CheckPageNumber(0));
  EXPECT_FALSE(f->CheckPageNumber(1));

  // The last page that fits under 4,000,000,000 bytes is 976,561.
  f->SetNextEndingPageNumber(1, 976561);
  ASSERT_TRUE(f->GetPage(nullptr, 1, 976561, page));
  f->PutPage(page);
  EXPECT_EQ(CodeOf([&] { f->GetPage(nullptr, 1, 976562, page); }), KORVEL_TABLEFULL);
  EXPECT_EQ(f->GetNextEndingPageNumber(1), 976562);
  f->FreePageBuffers(false);
}

TEST_F(IndexFileTest, FlushWritesEachRunOfConsecutivePagesOnce) {
  owner.MaxTableIndexBufferSize = 64 * 8192;
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  f->AddSecondaryIndex(Definition("B", {2}));
  // Pages 1..10, alternating between the indexes, all modified.
  for (int i = 1; i <= 10; ++i) Allocate(*f, 1 + i % 2, static_cast<std::uint8_t>(i));
  EXPECT_TRUE(f->FlushPageBuffers(false));
  EXPECT_EQ(f->GetWriteOperations(), 1u);  // one run across both indexes
  EXPECT_EQ(f->GetPageWrites(), 10u);
  EXPECT_FALSE(f->FlushPageBuffers(false));

  // Dirty 2, 3, 4, 7, 9, 10 and pin 9: runs 2-4, 7, 10.
  for (std::int32_t n : {2, 3, 4, 7, 9, 10}) {
    int slot = 1 + n % 2;
    TPageBuffer* page = Get(*f, slot, n);
    page->GetPageDataPtr()[1] = static_cast<std::uint8_t>(0x80 + n);
    page->SetModified();
    if (n != 9) f->PutPage(page);
  }
  EXPECT_TRUE(f->FlushPageBuffers(false));
  EXPECT_EQ(f->GetWriteOperations(), 4u);
  EXPECT_EQ(f->GetPageWrites(), 15u);
  std::vector<std::uint8_t> b = FileBytes(path);
  ASSERT_EQ(b.size(), 11u * 4096);
  for (std::int32_t n = 1; n <= 10; ++n) {
    std::size_t body = static_cast<std::size_t>(n) * 4096 + 13;
    EXPECT_EQ(b[body], n) << n;
    bool rewritten = n == 2 || n == 3 || n == 4 || n == 7 || n == 10;
    EXPECT_EQ(b[body + 1], rewritten ? 0x80 + n : 0) << n;
  }
  TPageBuffer* pinned = Get(*f, 2, 9);
  EXPECT_TRUE(pinned->Modified);
  f->PutPage(pinned);
  f->PutPage(pinned);
  EXPECT_TRUE(f->FlushPageBuffers(false));
  EXPECT_EQ(FileBytes(path)[9 * 4096 + 14], 0x89);
}

TEST_F(IndexFileTest, EachIndexKeepsItsOwnCacheLimit) {
  owner.MaxTableIndexBufferSize = 3 * 8192;  // three pages per index
  auto f = Created();
  f->AddSecondaryIndex(Definition("Small", {1}));
  f->AddSecondaryIndex(Definition("Large", {2}));
  std::int32_t small1 = Allocate(*f, 1);
  std::int32_t small2 = Allocate(*f, 1);
  for (int i = 0; i < 40; ++i) Allocate(*f, 2);
  EXPECT_EQ(f->GetCachedPageCount(1), 2u);
  EXPECT_EQ(f->GetCachedPageCount(2), 3u);
  EXPECT_EQ(f->GetPageCacheCapacity(2), 3);

  // The large index's churn evicted none of the small one's pages.
  std::uint32_t reads = f->GetPageReads();
  for (std::int32_t n : {small1, small2}) f->PutPage(Get(*f, 1, n));
  EXPECT_EQ(f->GetPageReads(), reads);

  // A read of an uncached page of the large index recycles its own least recently used page.
  f->PutPage(Get(*f, 2, 5));
  EXPECT_EQ(f->GetPageReads(), reads + 1);
  EXPECT_EQ(f->GetCachedPageCount(2), 3u);
  EXPECT_EQ(f->GetCachedPageCount(1), 2u);

  // Pinned pages are never recycled: the cache grows by four instead.
  std::vector<TPageBuffer*> pinned;
  for (std::int32_t n = 10; n < 14; ++n) pinned.push_back(Get(*f, 2, n));
  EXPECT_EQ(f->GetCachedPageCount(2), 4u);
  EXPECT_EQ(f->GetPageCacheCapacity(2), 7);
  for (TPageBuffer* p : pinned) f->PutPage(p);

  // Back to the limit.
  f->AdjustPageBuffers();
  EXPECT_EQ(f->GetCachedPageCount(2), 3u);
  EXPECT_EQ(f->GetPageCacheCapacity(2), 3);
  EXPECT_LE(f->IdlePageCount(), kPagePoolSize);
}

TEST_F(IndexFileTest, InsideATransactionModifiedPagesStayAndTheCacheGrows) {
  owner.MaxTableIndexBufferSize = 2 * 8192;
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  owner.TransactionInProgress = true;
  for (int i = 0; i < 6; ++i) Allocate(*f, 1);
  EXPECT_EQ(f->GetCachedPageCount(1), 6u);
  EXPECT_EQ(f->GetWriteOperations(), 0u);
  EXPECT_EQ(FileBytes(path).size(), 4096u);
  owner.TransactionInProgress = false;
  // Outside it a full cache of modified pages is flushed to make room.
  f->AdjustPageBuffers();
  EXPECT_EQ(f->GetCachedPageCount(1), 2u);
  EXPECT_EQ(f->GetPageWrites(), 6u);
}

TEST_F(IndexFileTest, ReadsFromDiskTakeTheReadLockFirst) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  Allocate(*f, 1);
  Allocate(*f, 1);
  f->FlushPageBuffers(false);
  f->FreePageBuffers(false);

  owner.ReadLockGranted = false;
  TPageBuffer* page = reinterpret_cast<TPageBuffer*>(1);
  EXPECT_FALSE(f->GetPage(nullptr, 1, 1, page));
  EXPECT_EQ(page, nullptr);
  EXPECT_EQ(owner.ReadLockRequests, 1);
  bool lockFailed = false;
  f->SetRootPageNumber(1, 2);
  EXPECT_FALSE(f->GetRootPage(nullptr, 1, page, lockFailed));
  EXPECT_TRUE(lockFailed);

  owner.ReadLocked = true;  // already held: not asked again
  EXPECT_TRUE(f->GetRootPage(nullptr, 1, page, lockFailed));
  EXPECT_FALSE(lockFailed);
  EXPECT_EQ(owner.ReadLockRequests, 2);
  f->PutPage(page);
  f->SetRootPageNumber(1, 0);
  EXPECT_FALSE(f->GetRootPage(nullptr, 1, page, lockFailed));
  EXPECT_FALSE(lockFailed);
}

TEST_F(IndexFileTest, ShortReadsOnlyWhenThisTableWroteAndHoldsTheFile) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  f->SetNextEndingPageNumber(1, 5);  // pages 1-4 exist only in the header
  f->WriteHeader();
  owner.HeadersWritten = false;
  TPageBuffer* page = nullptr;
  EXPECT_EQ(CodeOf([&] { f->GetPage(nullptr, 1, 3, page); }), KORVEL_READERR);
  owner.HeadersWritten = true;
  EXPECT_EQ(CodeOf([&] { f->GetPage(nullptr, 1, 3, page); }), KORVEL_READERR);
  owner.TransactionInProgress = true;
  ASSERT_TRUE(f->GetPage(nullptr, 1, 3, page));
  EXPECT_EQ(page->KeyEntryCount, 0);
  f->PutPage(page);
}

// Random use of small caches (six pages per index, so pages are evicted and read back all the
// time) checked against a map of what each page must hold: every read, the file after every flush
// (each page not pinned at that moment must be on it) and the reopened file at the end. Pages stay
// pinned across flushes and change after them, which is what a flush must not lose track of.
TEST_F(IndexFileTest, ACacheUnderRandomUseAgreesWithAReference) {
  owner.MaxTableIndexBufferSize = 6 * 8192;
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  f->AddSecondaryIndex(Definition("B", {2}));
  struct TExpected {
    int Slot;
    std::uint32_t Value;
  };
  std::map<std::int32_t, TExpected> expected;
  std::vector<std::int32_t> numbers;
  std::map<std::int32_t, TPageBuffer*> pinned;
  auto put = [](TPageBuffer* page, std::uint32_t value) {
    std::memcpy(page->GetPageDataPtr(), &value, sizeof value);
    page->SetModified();
  };
  auto held = [](TPageBuffer* page) {
    std::uint32_t value = 0;
    std::memcpy(&value, page->GetPageDataPtr(), sizeof value);
    return value;
  };
  std::vector<std::uint8_t> bytes;
  auto checkFile = [&](const char* when, int step) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    bytes.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    for (const auto& [number, want] : expected) {
      if (pinned.count(number) != 0) continue;
      std::size_t at = static_cast<std::size_t>(number) * 4096 + 13;
      ASSERT_LE(at + 4, bytes.size()) << when << " step " << step << " page " << number;
      std::uint32_t value = 0;
      std::memcpy(&value, bytes.data() + at, sizeof value);
      ASSERT_EQ(value, want.Value) << when << " step " << step << " page " << number;
    }
  };
  std::mt19937 random(11);
  for (int step = 0; step < 6000; ++step) {
    unsigned action = random() % 20;
    if (numbers.size() < 8 || (action == 0 && numbers.size() < 120)) {  // a new page
      int slot = 1 + static_cast<int>(random() % 2);
      TPageBuffer* page = nullptr;
      f->GetNextFreePage(nullptr, slot, page);
      page->SetKeyEntryCount(1);
      put(page, static_cast<std::uint32_t>(step) * 7 + 1);
      expected[page->PageNumber] = {slot, static_cast<std::uint32_t>(step) * 7 + 1};
      numbers.push_back(page->PageNumber);
      f->PutPage(page);
      continue;
    }
    std::int32_t number = numbers[random() % numbers.size()];
    TExpected& want = expected[number];
    if (action <= 8) {  // read
      TPageBuffer* page = Get(*f, want.Slot, number);
      ASSERT_EQ(held(page), want.Value) << "step " << step << " page " << number;
      f->PutPage(page);
    } else if (action <= 13) {  // change, through a pinned page when there is one
      auto it = pinned.find(number);
      TPageBuffer* page = it != pinned.end() ? it->second : Get(*f, want.Slot, number);
      want.Value = static_cast<std::uint32_t>(random());
      put(page, want.Value);
      if (it == pinned.end()) f->PutPage(page);
    } else if (action <= 15) {  // pin or unpin
      auto it = pinned.find(number);
      if (it != pinned.end()) {
        f->PutPage(it->second);
        pinned.erase(it);
      } else if (pinned.size() < 4) {
        pinned[number] = Get(*f, want.Slot, number);
      }
    } else if (action <= 18) {
      f->FlushPageBuffers(false);
      checkFile("flush", step);
    } else {
      f->AdjustPageBuffers();  // evicts, flushing only when it must
    }
    if (HasFatalFailure()) return;
  }
  for (auto& entry : pinned) f->PutPage(entry.second);
  pinned.clear();
  f->FlushPageBuffers(false);
  checkFile("end", 0);
  f->WriteHeader();
  f->CloseFile();
  auto g = Opened(owner);
  for (const auto& [number, want] : expected) {
    TPageBuffer* page = Get(*g, want.Slot, number);
    EXPECT_EQ(held(page), want.Value) << "reopened, page " << number;
    g->PutPage(page);
  }
}

TEST_F(IndexFileTest, PagesFreedWhilePinnedStayValidUntilPut) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  TPageBuffer* held = nullptr;
  f->GetNextFreePage(nullptr, 1, held);
  held->GetPageDataPtr()[0] = 42;
  f->FreePageBuffers(false);
  EXPECT_EQ(f->GetCachedPageCount(1), 0u);
  EXPECT_EQ(held->GetPageDataPtr()[0], 42);  // still a live object (sanitizers watch this)
  f->PutPage(held);
  EXPECT_GE(f->IdlePageCount(), 1u);
}

TEST_F(IndexFileTest, ClearHeaderEmptiesTheFileAndTheCache) {
  auto f = Created();
  f->AddSecondaryIndex(Definition("A", {1}));
  for (int i = 0; i < 3; ++i) Allocate(*f, 1);
  f->SetRootPageNumber(1, 1);
  f->SetActualRecordCount(3);
  f->FlushPageBuffers(false);
  f->ClearHeader();
  EXPECT_EQ(f->GetCachedPageCount(1), 0u);
  EXPECT_EQ(f->GetRootPageNumber(1), 0);
  EXPECT_EQ(f->GetActualRecordCount(), 0);
  EXPECT_EQ(f->GetNextFreePageNumber(1), 1);
  EXPECT_EQ(f->IndexDefinition(1).IndexName, "A");
  f->WriteHeader();
  EXPECT_EQ(FileBytes(path).size(), 4096u);
  EXPECT_EQ(Allocate(*f, 1), 1);
}

TEST_F(IndexFileTest, ChangeDetectionSeesAnotherWriterOnce) {
  auto f = Created();
  TPlainIndexFileOwner other = MakeOwner();
  auto g = Opened(other);
  EXPECT_FALSE(g->CheckForChanges());
  f->IncActualRecordCount();
  f->WriteHeader();
  EXPECT_TRUE(g->CheckForChanges());
  EXPECT_EQ(g->GetActualRecordCount(), 1);
  EXPECT_FALSE(g->CheckForChanges());
  f->UpdateHeaderStamp();
  EXPECT_TRUE(owner.HeadersWritten);
  f->WriteHeader();
  EXPECT_TRUE(g->CheckForChanges());
}

TEST_F(IndexFileTest, OpeningRefusesDamagedHeaders) {
  Created()->CloseFile();
  std::vector<std::uint8_t> original = FileBytes(path);
  auto expectOpen = [&](TErrorCode code) {
    auto f = NewFile(owner);
    EXPECT_EQ(CodeOf([&] { f->OpenFile(); }), code);
    EXPECT_EQ(f->IsOpen, code == KORVEL_NONE);
  };
  PatchFile(path, 13, {31});
  expectOpen(KORVEL_HEADERCORRUPT);
  PatchFile(path, 13, {0});
  PatchFile(path, TIndexHeader::SlotOffset(31), {60});
  expectOpen(KORVEL_HEADERCORRUPT);
  PatchFile(path, 0, original);
  expectOpen(KORVEL_NONE);
  std::filesystem::resize_file(path, 1000);
  expectOpen(KORVEL_HEADERCORRUPT);
}

TEST_F(IndexFileTest, CheckHeaderFindsInconsistencies) {
  auto f = Created();
  f->AddPrimaryIndex(Definition("", {2}, true));
  f->AddSecondaryIndex(Definition("ByName", {1}));
  EXPECT_NO_THROW(f->CheckHeader());

  auto expectCheck = [&](const std::function<void(TIndexFile&)>& damage, TErrorCode code) {
    TIndexHeader saved = f->Header();
    damage(*f);
    EXPECT_EQ(CodeOf([&] { f->CheckHeader(); }), code);
    for (int s = 0; s < kIndexSlotCount; ++s) f->SetIndexDefinition(s, saved.IndexDefinitions[static_cast<std::size_t>(s)]);
    f->SetNextEndingPageNumber(0, saved.NextEndingPageNumber);
  };
  auto edit = [](int slot, const std::function<void(TIndexDefinition&)>& change) {
    return [slot, change](TIndexFile& file) {
      TIndexDefinition d = file.IndexDefinition(slot);
      change(d);
      file.SetIndexDefinition(slot, d);
    };
  };
  // assign(1, 'P'), not = "P": gcc 12 misreports that assignment as an overlapping copy.
  expectCheck(edit(0, [](TIndexDefinition& d) { d.IndexName.assign(1, 'P'); }), KORVEL_HEADERCORRUPT);
  expectCheck(edit(0, [](TIndexDefinition& d) { d.Unique = false; }), KORVEL_HEADERCORRUPT);
  expectCheck(edit(1, [](TIndexDefinition& d) { d.IndexName = "_x"; }), KORVEL_HEADERCORRUPT);
  expectCheck(edit(1, [](TIndexDefinition& d) { d.KeyFields[2] = 1; }), KORVEL_HEADERCORRUPT);  // after the used ones
  expectCheck(edit(1, [](TIndexDefinition& d) { d.KeyFields[0] = 7; }), KORVEL_HEADERCORRUPT);
  expectCheck(edit(1, [](TIndexDefinition& d) { d.KeyFields[0] = 3; }), KORVEL_HEADERCORRUPT);  // BLOB
  expectCheck(edit(32, [](TIndexDefinition& d) { d.KeyFields[0] = 2; d.KeyFieldCount = 1; }), KORVEL_HEADERCORRUPT);
  expectCheck(edit(1, [](TIndexDefinition& d) { d.RootPageNumber = 1; }), KORVEL_HEADERCORRUPT);
  expectCheck(edit(20, [](TIndexDefinition& d) { d.NextFreePageNumber = -1; }), KORVEL_HEADERCORRUPT);
  expectCheck([](TIndexFile& file) { file.SetNextEndingPageNumber(0, 0); }, KORVEL_HEADERCORRUPT);
  // Text BLOB and string fields are what the full-text index takes.
  expectCheck(edit(32, [](TIndexDefinition& d) { d.KeyFields = {3, 1}; d.KeyFieldCount = 2; }), KORVEL_NONE);
  f->AddSecondaryIndex(Definition("Second", {5}));
  expectCheck(edit(2, [](TIndexDefinition& d) { d.IndexName = "BYNAME"; }), KORVEL_HEADERCORRUPT);
  f->SetNoPrimaryIndex(true);  // no primary: slot 0 need not be unique
  EXPECT_NO_THROW(f->CheckHeader());
  f->SetIndexCount(0);
  f->SetNextEndingPageNumber(0, 2);
  TIndexDefinition d = f->IndexDefinition(5);
  d.IndexName = "7 stale";  // unused slots are not checked, only their page numbers
  f->SetIndexDefinition(5, d);
  EXPECT_NO_THROW(f->CheckHeader());
}

TEST_F(IndexFileTest, EncryptedTablesScrambleTheHeaderAndThePages) {
  owner.Encrypted = true;
  auto f = Created();
  f->AddSecondaryIndex(Definition("ByName", {1}));
  Allocate(*f, 1, 0x3C);
  f->FlushPageBuffers(false);
  f->WriteHeader();
  std::vector<std::uint8_t> b = FileBytes(path);
  ASSERT_EQ(b.size(), 2u * 4096);
  // Byte k of a block is XORed with (0x5B + k) XOR (0xC4 - k), both mod 256.
  auto mask = [](std::size_t k) { return static_cast<std::uint8_t>((0x5B + k) ^ (0xC4 - k)); };
  EXPECT_EQ(b[8] ^ mask(8), 5);
  EXPECT_EQ(b[13] ^ mask(13), 1);
  EXPECT_EQ(b[4096 + 13] ^ mask(13), 0x3C);
  EXPECT_EQ(b[4096 + 1] ^ mask(1), 1);

  f->CloseFile();
  auto g = Opened(owner);
  EXPECT_EQ(g->IndexDefinition(1).IndexName, "ByName");
  TPageBuffer* page = Get(*g, 1, 1);
  EXPECT_EQ(page->GetPageDataPtr()[0], 0x3C);
  EXPECT_EQ(page->KeyEntryCount, 1);
  g->PutPage(page);
  EXPECT_FALSE(g->CheckForChanges());
}

TEST_F(IndexFileTest, LocksExcludeAsTheProtocolSays) {
  auto f = Created();
  TPlainIndexFileOwner other = MakeOwner();
  auto g = Opened(other);
  std::uint16_t a = 0, b = 0;
  ASSERT_TRUE(f->ReadLock(a));
  ASSERT_TRUE(g->ReadLock(b));
  EXPECT_GE(a, 1);
  // A reader's byte lies inside the write region.
  EXPECT_FALSE(g->LockRegion(kIndexWriteLockOffset, kIndexWriteLockLength, true));
  EXPECT_TRUE(f->ReadUnLock(a));
  EXPECT_TRUE(g->ReadUnLock(b));
  EXPECT_FALSE(g->ReadUnLock(b));
  ASSERT_TRUE(f->WriteLock());
  EXPECT_FALSE(g->LockRegion(kIndexReadLockBase - 1, 1, true));
  EXPECT_FALSE(g->LockRegion(kIndexReadLockBase - 65535, 1, true));
  EXPECT_TRUE(f->WriteUnLock());
  EXPECT_TRUE(g->WriteLock());
  EXPECT_TRUE(g->WriteUnLock());
}

}  // namespace
}  // namespace korvel
