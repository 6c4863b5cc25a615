// Calculated fields of a cursor's field list, against values computed by hand.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/cursor_test_helpers.h"
#include "engine/data_cursor.h"
#include "expr/expression_parser.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::Append;
using testing::CheckIndexes;
using testing::OpenPeople;

class CursorExpressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    directory = session->OpenDataDirectory("test", folder.Path());
    testing::CreateTable(directory, "people", testing::PeopleStructure());
    cursor = OpenPeople(directory);
  }
  // The table's four stored fields followed by `extra`.
  std::vector<TFieldDefinition> Mapping(std::vector<TFieldDefinition> extra) {
    std::vector<TFieldDefinition> list;
    for (std::int32_t f = 1; f <= 4; ++f) list.push_back(cursor->GetFieldDefinition(f));
    list.insert(list.end(), extra.begin(), extra.end());
    return list;
  }
  // A calculated field; the parsed tree is kept by the test until the end of the test.
  TFieldDefinition Calculated(const std::string& name, const std::string& expression, std::uint8_t type = 0,
                              std::uint8_t length = 0) {
    trees.push_back(ParseFilterExpression(expression, "people"));
    TFieldDefinition f = MakeField(name, type, length);
    f.IsExpression = true;
    f.Expression = trees.back().get();
    return f;
  }
  std::vector<std::uint8_t> Record() { return std::vector<std::uint8_t>(static_cast<std::size_t>(cursor->GetRecordSize())); }
  // Integer value of field f; `blank` says whether it is NULL.
  std::int32_t Int(const std::uint8_t* record, std::int32_t f, bool& blank) {
    std::int32_t v = 0;
    blank = cursor->GetField(f, record, &v);
    return v;
  }
  std::string Text(const std::uint8_t* record, std::int32_t f) {
    char text[256] = {};
    cursor->GetField(f, record, text);
    return text;
  }
  TErrorCode MappingError(const std::vector<TFieldDefinition>& list) {
    try {
      cursor->SetFieldMapping(list);
    } catch (const EKORVELEngineError& e) {
      return e.ErrorCode;
    }
    return 0;
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
  std::unique_ptr<testing::TTestCursor> cursor;
  std::vector<TExpTokenPtr> trees;
};

TEST_F(CursorExpressionTest, CalculatedFieldsFollowTheStoredFieldsThroughEditsAndReads) {
  const std::int32_t stored = cursor->GetRecordSize();
  cursor->SetFieldMapping(Mapping({Calculated("Twice", "Amount * 2 + 1"),
                                   Calculated("Shout", "Name + '!'", dtString, 6),
                                   Calculated("Half", "Amount / 4", dtFloat),
                                   Calculated("Head", "Notes", dtString, 5)}));
  ASSERT_EQ(cursor->GetFieldCount(), 8);
  EXPECT_TRUE(cursor->HasExpressionFields);
  // Integer (5 value bytes), string of 6 (8), float (9), string of 5 (7) after the record.
  const TFieldDefinition& twice = cursor->GetFieldDefinition(5);
  EXPECT_EQ(twice.DataType, dtInteger);
  EXPECT_EQ(twice.Offset, stored);
  EXPECT_EQ(cursor->GetRecordSize(), stored + 5 + 8 + 9 + 7);

  auto r = Record();
  cursor->InitRecord(r.data());
  bool blank = false;
  Int(r.data(), 5, blank);
  EXPECT_TRUE(blank) << "NULL Amount gives a NULL result";
  testing::SetAmount(*cursor, r.data(), 21);
  EXPECT_EQ(Int(r.data(), 5, blank), 43);
  EXPECT_FALSE(blank);
  double half = 0;
  EXPECT_FALSE(cursor->GetField(7, r.data(), &half));
  EXPECT_DOUBLE_EQ(half, 5.25);
  testing::SetName(*cursor, r.data(), "bob");
  EXPECT_EQ(Text(r.data(), 6), "bob!");
  testing::SetName(*cursor, r.data(), "roberta");  // "roberta!" is cut to the field's 6
  EXPECT_EQ(Text(r.data(), 6), "robert");
  // Only the calculation writes a calculated field.
  std::int32_t forced = 7;
  cursor->PutField(5, r.data(), &forced);
  EXPECT_EQ(Int(r.data(), 5, blank), 43);

  // A memo is read from the BLOB file, cut to the field.
  std::int64_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
  ASSERT_EQ(cursor->PutBlob(4, r.data(), false, 11, "hello world", 0), 0);
  cursor->AppendRecord(r.data());
  EXPECT_EQ(Int(r.data(), 5, blank), 43);
  EXPECT_EQ(Text(r.data(), 8), "hello");
  Append(*cursor, "zed", 3);

  cursor->SetIndexName("ByAmount");
  cursor->SetToBegin();
  ASSERT_EQ(cursor->GetNextRecord(r.data()), 0);
  EXPECT_EQ(Int(r.data(), 5, blank), 7);
  EXPECT_EQ(Text(r.data(), 8), "");
  EXPECT_TRUE(cursor->GetField(8, r.data(), nullptr)) << "no memo, no head";
  ASSERT_EQ(cursor->GetNextRecord(r.data()), 0);
  EXPECT_EQ(Int(r.data(), 5, blank), 43);
  EXPECT_EQ(Text(r.data(), 8), "hello");

  // A modify recalculates the caller's record and the cursor's.
  ASSERT_EQ(cursor->GetCurrentRecord(r.data(), true), 0);
  testing::SetAmount(*cursor, r.data(), 100);
  cursor->ModifyRecord(r.data());
  EXPECT_EQ(Int(r.data(), 5, blank), 201);
  auto again = Record();
  ASSERT_EQ(cursor->GetCurrentRecord(again.data()), 0);
  EXPECT_EQ(again, r);
  // Nothing of the calculated part reached the table.
  EXPECT_EQ(CheckIndexes(*cursor), "");
  EXPECT_EQ(cursor->Table->GetRecordSize(), stored);
  // Block reads carry the calculated values too.
  std::vector<std::uint8_t> block(static_cast<std::size_t>(cursor->GetRecordSize()) * 2);
  std::vector<std::uint8_t> bookmarks(static_cast<std::size_t>(cursor->GetBookmarkSize()) * 2);
  std::int32_t count = 2;
  cursor->ReadFirstRecordBlock(count, block.data(), bookmarks.data());
  ASSERT_EQ(count, 2);
  EXPECT_EQ(Int(block.data() + cursor->GetRecordSize(), 5, blank), 201);
}

TEST_F(CursorExpressionTest, AFaultyMappingIsRefusedWithTheEnginesErrorAndChangesNothing) {
  const std::int32_t size = cursor->GetRecordSize();
  EXPECT_EQ(MappingError(Mapping({Calculated("X", "Missing + 1")})), KORVEL_SQLPARSE);
  EXPECT_EQ(MappingError(Mapping({Calculated("X", "Name * 2")})), KORVEL_SQLPARSE);
  EXPECT_EQ(MappingError(Mapping({Calculated("X", "Notes", dtBlob)})), KORVEL_INVALIDFLDTYPE);
  EXPECT_EQ(MappingError(Mapping({Calculated("Name", "Amount")})), KORVEL_INVALIDFIELDNAME);
  EXPECT_EQ(MappingError(Mapping({Calculated("X", "Amount", dtString, 0)})), KORVEL_INVALIDFLDTYPE);
  TFieldDefinition noTree = MakeField("X", dtInteger);
  noTree.IsExpression = true;
  EXPECT_EQ(MappingError(Mapping({noTree})), KORVEL_INVALIDFLDTYPE);
  TFieldDefinition unknown = MakeField("Ghost", dtInteger);
  unknown.FieldNumber = 99;
  EXPECT_EQ(MappingError(Mapping({unknown})), KORVEL_INVALIDFLDTYPE);
  EXPECT_EQ(MappingError({}), KORVEL_INVALIDFLDTYPE);
  EXPECT_EQ(cursor->GetFieldCount(), 4);
  EXPECT_EQ(cursor->GetRecordSize(), size);
  EXPECT_FALSE(cursor->HasExpressionFields);
  Append(*cursor, "still works", 1);
  EXPECT_EQ(CheckIndexes(*cursor), "");
}

// Filters read stored records: they see the stored fields (memos included) of a cursor with
// calculated fields, and refuse a calculated field's name.
TEST_F(CursorExpressionTest, FiltersOfACursorWithCalculatedFieldsReadTheStoredFields) {
  auto r = Record();
  for (const char* notes : {"a note", "nothing", "another note"}) {
    cursor->InitRecord(r.data());
    testing::SetAmount(*cursor, r.data(), static_cast<std::int32_t>(std::strlen(notes)));
    std::int64_t size = 0;
    ASSERT_EQ(cursor->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
    ASSERT_EQ(cursor->PutBlob(4, r.data(), false, static_cast<std::int64_t>(std::strlen(notes)), notes, 0), 0);
    cursor->AppendRecord(r.data());
  }
  cursor->SetFieldMapping(Mapping({Calculated("Twice", "Amount * 2")}));
  try {
    cursor->AddFilter(nullptr, "Twice > 10", nullptr, {});
    FAIL() << "a filter on a calculated field";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
  }
  cursor->ActivateFilter(cursor->AddFilter(nullptr, "Notes LIKE '%note%'", nullptr, {}));
  EXPECT_EQ(cursor->GetRecordCount(), 2);
  r = Record();  // the record buffers grow with the calculated fields
  cursor->SetToBegin();
  bool blank = true;
  ASSERT_EQ(cursor->GetNextRecord(r.data()), 0);
  EXPECT_EQ(Int(r.data(), 5, blank), 12);
  ASSERT_EQ(cursor->GetNextRecord(r.data()), 0);
  EXPECT_EQ(Int(r.data(), 5, blank), 24);
  EXPECT_EQ(cursor->GetNextRecord(r.data()), KORVEL_EOF);
}

TEST_F(CursorExpressionTest, TheCursorKeepsItsOwnTreesForItselfAndItsClones) {
  Append(*cursor, "ann", 10);
  cursor->SetFieldMapping(Mapping({Calculated("Plus", "Amount + 5")}));
  trees.clear();  // the caller's trees are gone; the cursor evaluates its own copies
  auto r = Record();
  cursor->SetToBegin();
  ASSERT_EQ(cursor->GetNextRecord(r.data()), 0);
  bool blank = true;
  EXPECT_EQ(Int(r.data(), 5, blank), 15);
  auto clone = cursor->CloneCursor();
  ASSERT_EQ(clone->GetFieldCount(), 5);
  auto c = Record();
  ASSERT_EQ(clone->GetCurrentRecord(c.data()), 0);
  EXPECT_EQ(c, r);
  cursor.reset();
  testing::SetAmount(*clone, c.data(), 1);
  std::int32_t v = 0;
  EXPECT_FALSE(clone->GetField(5, c.data(), &v));
  EXPECT_EQ(v, 6);
  clone->SetDefaultFieldMapping();
  EXPECT_EQ(clone->GetFieldCount(), 4);
  EXPECT_EQ(clone->GetRecordSize(), clone->GetStoredRecordSize());
  EXPECT_FALSE(clone->HasExpressionFields);
}

}  // namespace
}  // namespace korvel
