#include "engine/table_image.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/cursor_test_helpers.h"
#include "engine/data_table.h"
#include "support/byte_order.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::CursorIndex;

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    session->SetLockRetries(2);
    session->SetLockWait(1);
    directory = session->OpenDataDirectory("test", folder.Path());
  }
  std::unique_ptr<testing::TTestCursor> Make(const std::string& name, const TTableStructure& s) {
    testing::CreateTable(directory, name, s);
    return testing::OpenPeople(directory, name);
  }
  static std::vector<std::uint8_t> Load(TDataCursor& c) {
    TTableImage image(c);
    image.BeginBufferLoad();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(image.GetBufferSize()));
    // Read in uneven pieces, as a stream would.
    std::int64_t at = 0;
    while (std::int64_t n = image.LoadFromBuffer(bytes.data() + at, at, 1000)) at += n;
    EXPECT_EQ(at, image.GetBufferSize());
    image.EndBufferLoad();
    return bytes;
  }
  static void Save(TDataCursor& c, const std::vector<std::uint8_t>& bytes) {
    TTableImage image(c);
    image.BeginBufferSave();
    for (std::size_t at = 0; at < bytes.size(); at += 777)
      image.SaveToBuffer(bytes.data() + at, static_cast<std::int64_t>(at),
                         static_cast<std::int64_t>(std::min<std::size_t>(777, bytes.size() - at)));
    image.EndBufferSave();
  }
  static std::vector<std::pair<std::string, std::int32_t>> Rows(TDataCursor& c) {
    std::vector<std::pair<std::string, std::int32_t>> rows;
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) rows.emplace_back(testing::NameOf(c, r.data()), testing::AmountOf(c, r.data()));
    return rows;
  }
  static std::string Memo(TDataCursor& c, std::int32_t id) {
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) {
      if (TDataCursor::GetRecordID(r.data()) != id) continue;
      std::int64_t size = 0, count = 0;
      EXPECT_EQ(c.OpenBlob(4, r.data(), TBlobBuffer::omRead, false, false, size), 0);
      std::string text(static_cast<std::size_t>(size), '\0');
      if (size > 0) c.GetBlob(4, r.data(), false, count, size, text.data(), 0);
      c.FreeBlob(4, r.data(), false);
      return text;
    }
    return "<none>";
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

TEST_F(ImageTest, LayoutAndPartialReads) {
  auto c = Make("people", testing::PeopleStructure());
  testing::Append(*c, "a", 1);
  TTableImage image(*c);
  image.BeginBufferLoad();
  const std::int64_t size = image.GetBufferSize();
  TDataTable& t = *c->Table;
  EXPECT_EQ(size, t.GetDataFileSize() + t.GetIndexFileSize() + t.GetBlobFileSize() + 12);
  std::uint8_t head[4];
  ASSERT_EQ(image.LoadFromBuffer(head, 0, 4), 4);
  EXPECT_EQ(GetI32(head, 0), t.GetDataFileSize());
  std::uint8_t tail[100];
  EXPECT_EQ(image.LoadFromBuffer(tail, size - 10, 100), 10);
  EXPECT_EQ(image.LoadFromBuffer(tail, size, 100), 0);
  image.EndBufferLoad();
}

TEST_F(ImageTest, ImagesRoundTripWithAndWithoutBlobs) {
  // With a memo field.
  auto a = Make("a", testing::PeopleStructure());
  for (int i = 0; i < 300; ++i) testing::Append(*a, "n" + std::to_string(i), i);
  {
    std::vector<std::uint8_t> r(static_cast<std::size_t>(a->GetRecordSize()));
    a->InitRecord(r.data());
    testing::SetName(*a, r.data(), "memo");
    testing::SetAmount(*a, r.data(), 9999);
    a->AppendRecord(r.data());
    a->SetToBegin();
    while (a->GetNextRecord(r.data()) == 0 && testing::AmountOf(*a, r.data()) != 9999) {
    }
    std::int64_t size = 0;
    ASSERT_EQ(a->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
    std::string text(5000, 'm');
    ASSERT_EQ(a->PutBlob(4, r.data(), false, static_cast<std::int64_t>(text.size()), text.data(), 0), 0);
    a->ModifyRecord(r.data());
  }
  const auto image = Load(*a);
  const auto rows = Rows(*a);
  // A second table of the same structure takes the image whole.
  auto b = Make("b", testing::PeopleStructure());
  testing::Append(*b, "old", -1);
  Save(*b, image);
  EXPECT_EQ(Rows(*b), rows);
  EXPECT_EQ(Memo(*b, 301), std::string(5000, 'm'));
  EXPECT_EQ(testing::CheckIndexes(*b), "");
  testing::Append(*b, "after", 5000);  // still editable, counters carried over
  EXPECT_EQ(b->GetRecordCount(), 302);

  // Without BLOB fields.
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 30), MakeField("Amount", dtInteger)};
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  auto p = Make("plain", s);
  for (int i = 0; i < 50; ++i) testing::Append(*p, "p" + std::to_string(i), i);
  const auto plain = Load(*p);
  EXPECT_EQ(static_cast<std::int64_t>(plain.size()), p->Table->GetDataFileSize() + p->Table->GetIndexFileSize() + 8);
  auto q = Make("plain2", s);
  Save(*q, plain);
  EXPECT_EQ(Rows(*q), Rows(*p));
}

TEST_F(ImageTest, ForeignOrDamagedImagesLeaveTheTableAsItWas) {
  auto a = Make("a", testing::PeopleStructure());
  for (int i = 0; i < 20; ++i) testing::Append(*a, "n" + std::to_string(i), i);
  const auto good = Load(*a);
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 31), MakeField("Amount", dtInteger),
              MakeField("Notes", dtBlob, 0, stMemo)};
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  auto other = Make("other", s);
  testing::Append(*other, "keep", 7);
  const auto before = Rows(*other);

  std::vector<std::vector<std::uint8_t>> bad;
  bad.push_back(good);  // a different record size
  auto cut = good;
  cut.resize(cut.size() - 5);
  auto sizes = good;
  PutI32(sizes.data(), 0, 1 << 30);
  auto fieldName = good;
  fieldName[4 + kDataHeaderSize + 1] ^= 0x20;
  for (auto* image : {&cut, &sizes, &fieldName}) bad.push_back(*image);
  auto b = Make("b", testing::PeopleStructure());
  testing::Append(*b, "keep", 7);
  for (std::size_t k = 0; k < bad.size(); ++k) {
    TDataCursor& target = k == 0 ? static_cast<TDataCursor&>(*other) : static_cast<TDataCursor&>(*b);
    EXPECT_THROW(Save(target, bad[k]), EKORVELEngineError) << k;
    EXPECT_EQ(Rows(target), before) << k;
  }
  // The lock was given back: a later save works.
  Save(*b, good);
  EXPECT_EQ(Rows(*b), Rows(*a));
}

TEST_F(ImageTest, EmptyImageEmptiesTheTable) {
  auto a = Make("a", testing::PeopleStructure());
  for (int i = 0; i < 30; ++i) testing::Append(*a, "n" + std::to_string(i), i);
  Save(*a, {});
  EXPECT_EQ(a->GetRecordCount(), 0);
  EXPECT_EQ(a->Table->GetActualRecordCount(), 0);
  EXPECT_EQ(testing::CheckIndexes(*a), "");
  testing::Append(*a, "again", 1);
  EXPECT_EQ(Rows(*a), (std::vector<std::pair<std::string, std::int32_t>>{{"again", 1}}));
}

TEST_F(ImageTest, ExclusiveTablesFlushBeforeTheImageIsTaken) {
  testing::CreateTable(directory, "x", testing::PeopleStructure());
  auto c = std::make_unique<testing::TTestCursor>(directory);
  c->SetTableName("x");
  c->SetExclusive(true);
  c->OpenCursor();
  for (int i = 0; i < 40; ++i) testing::Append(*c, "e" + std::to_string(i), i);
  const auto image = Load(*c);
  auto copy = Make("copy", testing::PeopleStructure());
  Save(*copy, image);
  EXPECT_EQ(Rows(*copy), Rows(*c));
}

TEST_F(ImageTest, IndexBackupAndRestore) {
  auto a = Make("people", testing::PeopleStructure());
  for (int i = 0; i < 10; ++i) testing::Append(*a, "n" + std::to_string(i), i);
  InternalBackupIndex(*a);
  const std::string backup = folder.Path() + "/people.IBK";
  EXPECT_TRUE(FileNameExists(backup, false));
  InternalRestoreIndex(*a, false, false);
  EXPECT_EQ(testing::CheckIndexes(*a), "");
  // The copy holds the index as it was: after one more record, restoring it gives an index
  // that misses that record's keys.
  testing::Append(*a, "late", 100);
  InternalRestoreIndex(*a, false, true);
  EXPECT_FALSE(FileNameExists(backup, false));
  EXPECT_NE(testing::CheckIndexes(*a), "");
  InternalRestoreIndex(*a, true, true);  // nothing to restore or delete
}

}  // namespace
}  // namespace korvel
