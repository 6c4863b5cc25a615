#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "engine/cursor_test_helpers.h"
#include "engine/table_maintenance.h"
#include "support/test_errors.h"
#include "support/test_folder.h"
#include "support/text_forms.h"

namespace korvel {
namespace {

using testing::CheckIndexes;
using testing::CursorIndex;
using testing::TTestCursor;

using testing::CodeOf;

TFieldDefinition Field(std::uint8_t type, std::uint8_t length = 0, std::uint8_t decimals = 0) {
  TFieldDefinition f = MakeField("F", type, length);
  f.Decimals = decimals;
  UpdateFieldSize(f);
  return f;
}

// ---- One value into another type ----------------------------------------------------------

struct TCase {
  TFieldDefinition From;
  std::string Value;  // the old value as text (read through a string field)
  TFieldDefinition To;
  TValueFit Fit;
  std::string Result;  // the new value as text, when not lost
};

// The native value of `text` in field `f`, through the text conversion.
std::vector<std::uint8_t> Native(const TFieldDefinition& f, const std::string& text) {
  TFieldDefinition s = Field(dtString, 250);
  std::vector<std::uint8_t> v(kValueBufferSize, 0), out(kValueBufferSize, 0);
  std::memcpy(v.data(), text.c_str(), text.size());
  EXPECT_EQ(ConvertFieldValue(s, v.data(), f, out.data()), TValueFit::Kept) << text;
  return out;
}

std::string Text(const TFieldDefinition& f, const std::uint8_t* value) {
  std::vector<std::uint8_t> out(kValueBufferSize, 0);
  ConvertFieldValue(f, value, Field(dtString, 250), out.data());
  return reinterpret_cast<const char*>(out.data());
}

TEST(ConvertFieldValue, KeepsWhatFitsAndReportsWhatDoesNot) {
  using enum TValueFit;
  const TCase cases[] = {
      {Field(dtInteger), "42", Field(dtSmallInt), Kept, "42"},
      {Field(dtInteger), "70000", Field(dtSmallInt), Lost, ""},
      {Field(dtInteger), "-1", Field(dtWord), Lost, ""},
      {Field(dtInteger), "65535", Field(dtWord), Kept, "65535"},
      {Field(dtInteger), "-5", Field(dtUnsignedInt), Lost, ""},
      {Field(dtLargeInt), "5000000000", Field(dtInteger), Lost, ""},
      {Field(dtLargeInt), "4000000000", Field(dtUnsignedInt), Kept, "4000000000"},
      {Field(dtUnsignedInt), "4000000000", Field(dtLargeInt), Kept, "4000000000"},
      {Field(dtSmallInt), "-7", Field(dtFloat), Kept, "-7"},
      {Field(dtFloat), "3", Field(dtInteger), Kept, "3"},
      {Field(dtFloat), "2.5", Field(dtInteger), Changed, "2"},
      {Field(dtFloat), "1E10", Field(dtInteger), Lost, ""},
      {Field(dtFloat), "1E10", Field(dtLargeInt), Kept, "10000000000"},
      {Field(dtBCD, 0, 2), "12.34", Field(dtFloat), Kept, "12.34"},
      {Field(dtBCD, 0, 2), "12.34", Field(dtBCD, 0, 1), Changed, "12.3"},
      {Field(dtInteger), "7", Field(dtBCD, 0, 2), Kept, "7"},
      {Field(dtString, 10), "123", Field(dtInteger), Kept, "123"},
      {Field(dtString, 10), "abc", Field(dtInteger), Lost, ""},
      {Field(dtString, 10), "99999", Field(dtSmallInt), Lost, ""},
      {Field(dtString, 10), "1.5", Field(dtFloat), Kept, "1.5"},
      {Field(dtString, 10), "2024-02-29", Field(dtDate), Kept, "2024-02-29"},
      {Field(dtString, 10), "2023-02-29", Field(dtDate), Lost, ""},
      {Field(dtString, 10), "TRUE", Field(dtBoolean), Kept, "True"},
      {Field(dtString, 10), "yes", Field(dtBoolean), Lost, ""},
      {Field(dtString, 10), "abcdef", Field(dtString, 3), Changed, "abc"},
      {Field(dtString, 10), "abc", Field(dtString, 30), Kept, "abc"},
      {Field(dtInteger), "123", Field(dtString, 2), Lost, ""},
      {Field(dtInteger), "123", Field(dtString, 3), Kept, "123"},
      {Field(dtDate), "2001-05-06", Field(dtTimeStamp), Kept, "2001-05-06 00:00"},
      {Field(dtTimeStamp), "2001-05-06 10:30:00", Field(dtDate), Changed, "2001-05-06"},
      {Field(dtTimeStamp), "2001-05-06 10:30:00", Field(dtTime), Changed, "10:30"},
      {Field(dtTime), "10:30:15", Field(dtString, 20), Kept, "10:30:15"},
      {Field(dtDate), "2001-05-06", Field(dtInteger), Lost, ""},
      {Field(dtBoolean), "TRUE", Field(dtSmallInt), Kept, "1"},
      {Field(dtBoolean), "TRUE", Field(dtInteger), Lost, ""},
      {Field(dtInteger), "1", Field(dtBoolean), Kept, "True"},
      {Field(dtInteger), "5", Field(dtBoolean), Changed, "True"},
      {Field(dtFloat), "1", Field(dtBoolean), Lost, ""},
      {Field(dtExtended), "", Field(dtFloat), Lost, ""},
  };
  for (const TCase& c : cases) {
    std::vector<std::uint8_t> from(kValueBufferSize, 0);
    if (c.From.DataType != dtExtended) from = Native(c.From, c.Value);
    std::vector<std::uint8_t> out(kValueBufferSize, 0xEE);
    const TValueFit fit = ConvertFieldValue(c.From, from.data(), c.To, out.data());
    const std::string what = "type " + std::to_string(c.From.DataType) + " '" + c.Value + "' to type " +
                             std::to_string(c.To.DataType);
    EXPECT_EQ(static_cast<int>(fit), static_cast<int>(c.Fit)) << what;
    if (fit != Lost) {
      EXPECT_EQ(Text(c.To, out.data()), c.Result) << what;
    }
  }
}

// ---- Whole tables ---------------------------------------------------------------------------

class RestructureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    directory = session->OpenDataDirectory("test", folder.Path());
  }
  std::unique_ptr<TTestCursor> Closed(const std::string& name = "t") {
    auto c = std::make_unique<TTestCursor>(directory);
    c->SetTableName(name);
    c->SetExclusive(true);
    return c;
  }
  std::unique_ptr<TTestCursor> Open(const std::string& name = "t") {
    auto c = Closed(name);
    c->OpenCursor();
    return c;
  }
  // What a caller sees of the folder: the file names, and table t's structure and records.
  std::string Snapshot() {
    std::string text;
    for (const auto& e : std::filesystem::directory_iterator(folder.Path())) text += e.path().filename().string() + " ";
    TDataSession s(false);
    TTestCursor c(s.OpenDataDirectory("look", folder.Path()));
    c.SetTableName("t");
    c.OpenCursor();
    text += "| fields " + std::to_string(c.GetFieldCount()) + " indexes " + std::to_string(c.Table->GetIndexCount());
    for (std::int32_t i = 1; i <= c.GetFieldCount(); ++i)
      text += " " + c.GetFieldDefinition(i).FieldName + ":" + std::to_string(c.GetFieldDefinition(i).DataType);
    for (const auto& row : Rows(c))
      for (const std::string& v : row) text += " " + v;
    text += " | " + CheckIndexes(c);
    return text;
  }
  // A value of field `n` of the current record as text; "null" when blank.
  static std::string Value(TDataCursor& c, const std::uint8_t* record, std::int32_t n) {
    const TFieldDefinition& f = c.GetFieldDefinition(n);
    std::vector<std::uint8_t> v(kValueBufferSize + 8, 0);
    if (c.GetField(n, record, v.data())) return "null";
    return Text(f, v.data());
  }
  // Every record, in record-ID order, as its field texts.
  static std::vector<std::vector<std::string>> Rows(TDataCursor& c) {
    std::map<std::int32_t, std::vector<std::string>> rows;
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
    c.SetIndexPos(kNoIndexPos);
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) {
      std::vector<std::string> row;
      for (std::int32_t i = 1; i <= c.GetFieldCount(); ++i) {
        if (c.GetFieldDefinition(i).DataType == dtBlob) {
          std::int64_t size = 0;
          if (c.GetField(i, r.data(), nullptr)) {
            row.push_back("null");
            continue;
          }
          c.OpenBlob(i, r.data(), TBlobBuffer::omRead, false, false, size);
          std::string text(static_cast<std::size_t>(size), '\0');
          std::int64_t count = 0;
          if (size > 0) c.GetBlob(i, r.data(), false, count, size, text.data(), 0);
          c.FreeBlob(i, r.data(), false);
          row.push_back("blob:" + text);
        } else {
          row.push_back(Value(c, r.data(), i));
        }
      }
      rows[TDataCursor::GetRecordID(r.data())] = row;
    }
    std::vector<std::vector<std::string>> out;
    for (auto& [id, row] : rows) out.push_back(row);
    return out;
  }
  void Put(TDataCursor& c, std::uint8_t* r, std::int32_t n, const std::string& text) {
    if (c.GetFieldDefinition(n).DataType == dtBlob) {
      std::int64_t size = 0;
      c.OpenBlob(n, r, TBlobBuffer::omReadWrite, false, true, size);
      c.PutBlob(n, r, false, static_cast<std::int64_t>(text.size()), text.data(), 0);
      return;
    }
    std::vector<std::uint8_t> v = Native(c.GetFieldDefinition(n), text);
    c.PutField(n, r, v.data());
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

// A table of one field per convertible type, two records: small values that most types hold,
// and values at the edges.
TTableStructure AllTypes() {
  TTableStructure s;
  s.Fields = {MakeField("S", dtString, 12), MakeField("D", dtDate),       MakeField("B", dtBoolean),
              MakeField("SI", dtSmallInt),  MakeField("I", dtInteger),    MakeField("F", dtFloat),
              MakeField("N", dtBCD),        MakeField("T", dtTime),       MakeField("TS", dtTimeStamp),
              MakeField("W", dtWord),       MakeField("U", dtUnsignedInt), MakeField("L", dtLargeInt),
              MakeField("M", dtBlob, 0, stMemo)};
  s.Fields[6].Decimals = 2;
  return s;
}

TEST_F(RestructureTest, EveryTypeConvertsIntoEveryOtherAsTheValueConversionSays) {
  const std::vector<std::vector<std::string>> values = {
      {"12", "2001-05-06", "TRUE", "12", "12", "12", "12", "10:30:00", "2001-05-06 10:30:00", "12", "12", "12", "12"},
      {"not a number", "1999-12-31", "FALSE", "-32768", "70000", "2.75", "-3.5", "23:59:59", "1999-12-31 00:00:00",
       "65535", "4000000000", "-9000000000", "a memo"}};
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> targets = {
      {dtString, 12}, {dtDate, 0},  {dtBoolean, 0}, {dtSmallInt, 0},    {dtInteger, 0},
      {dtFloat, 0},   {dtBCD, 0},   {dtTime, 0},    {dtTimeStamp, 0},   {dtWord, 0},
      {dtUnsignedInt, 0}, {dtLargeInt, 0}, {dtBlob, 0}, {dtString, 4}};
  for (auto [type, length] : targets) {
    SCOPED_TRACE("target type " + std::to_string(type) + " length " + std::to_string(length));
    const TTableStructure old = AllTypes();
    {
      auto c = Closed();
      TTableMaintenance(*c).CreateTable(old, true);
      c->OpenCursor();
      std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
      for (const auto& row : values) {
        c->InitRecord(r.data());
        for (std::size_t i = 0; i < row.size(); ++i)
          Put(*c, r.data(), static_cast<std::int32_t>(i + 1), row[i]);
        c->AppendRecord(r.data());
      }
    }
    std::vector<TFieldDefinition> before;
    {
      auto c = Open();
      for (std::int32_t i = 1; i <= c->GetFieldCount(); ++i) before.push_back(c->GetFieldDefinition(i));
    }
    TTableStructure s = old;
    for (TFieldDefinition& f : s.Fields) {
      f.DataType = type;
      f.Length = length;
      f.SubType = type == dtBlob ? stMemo : 0;
      f.Decimals = type == dtBCD ? 2 : 0;
    }
    auto c = Closed();
    TTableMaintenance m(*c);
    std::map<std::string, int> losses;
    m.DataLost = [&](TDataLossCause cause, const std::string& field, bool&, bool& go) {
      EXPECT_EQ(cause, dlFieldConversion);
      ++losses[field];
      go = true;
    };
    ASSERT_TRUE(m.RestructureTable(s, false));
    c->OpenCursor();
    const auto rows = Rows(*c);
    ASSERT_EQ(rows.size(), values.size());
    // The expectation per value: what the value conversion gives, or for BLOBs their rules.
    std::map<std::string, int> expectedLosses;
    for (std::size_t r = 0; r < values.size(); ++r) {
      for (std::size_t i = 0; i < before.size(); ++i) {
        const TFieldDefinition& from = before[i];
        const TFieldDefinition& to = c->GetFieldDefinition(static_cast<std::int32_t>(i + 1));
        std::string expected;
        if (from.DataType == dtBlob && to.DataType == dtBlob) {
          expected = "blob:" + values[r][i];
        } else if (from.DataType == dtBlob) {
          expected = "null";
          ++expectedLosses[to.FieldName];
        } else if (to.DataType == dtBlob) {
          expected = "blob:" + Text(from, Native(from, values[r][i]).data());
        } else {
          std::vector<std::uint8_t> out(kValueBufferSize, 0);
          const TValueFit fit = ConvertFieldValue(from, Native(from, values[r][i]).data(), to, out.data());
          expected = fit == TValueFit::Lost ? "null" : Text(to, out.data());
          // Stored strings lose trailing blanks.
          while (to.DataType == dtString && !expected.empty() && expected.back() == ' ') expected.pop_back();
          if (fit != TValueFit::Kept) ++expectedLosses[to.FieldName];
        }
        EXPECT_EQ(rows[r][i], expected) << "record " << r << " field " << from.FieldName;
      }
    }
    EXPECT_EQ(losses, expectedLosses);
    EXPECT_EQ(CheckIndexes(*c), "");
  }
}

TTableStructure People() { return testing::PeopleStructure(); }

void FillPeople(TDataCursor& c, int count) {
  for (int i = 0; i < count; ++i) testing::Append(c, "name " + std::to_string(i % 5), i);
}

TEST_F(RestructureTest, AddedAndDeletedFieldsKeepEveryOtherValueAndTheRecordIDs) {
  {
    auto c = Closed();
    TTableMaintenance(*c).CreateTable(People());
    c->OpenCursor();
    FillPeople(*c, 50);
  }
  // Amount goes, a field with a default comes after Notes, Name grows.
  TTableStructure s = People();
  s.Fields[1].Length = 40;
  s.Fields.erase(s.Fields.begin() + 2);
  TFieldDefinition extra = MakeField("Extra", dtInteger);
  extra.FieldNumber = 9;
  extra.DefaultValue = "7";
  s.Fields.push_back(extra);
  for (std::size_t i = 0; i < 3; ++i) s.Fields[i].FieldNumber = i == 2 ? 4 : static_cast<std::uint16_t>(i + 1);
  s.SecondaryIndexes = {CursorIndex("ByName", s.Fields, {2}, false)};
  s.SecondaryIndexes[0].KeyFields[0] = 2;
  auto c = Closed();
  TTableMaintenance m(*c);
  int deleted = 0;
  std::vector<int> progress;
  m.DataLost = [&](TDataLossCause cause, const std::string& field, bool&, bool&) {
    EXPECT_EQ(cause, dlFieldDeletion);
    EXPECT_EQ(field, "Amount");
    ++deleted;
  };
  m.RestructureProgress = [&](int p) { progress.push_back(p); };
  ASSERT_TRUE(m.RestructureTable(s, true));
  EXPECT_EQ(deleted, 50);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_TRUE(std::filesystem::exists(folder.File("t.DBK")));
  c->OpenCursor();
  ASSERT_EQ(c->GetFieldCount(), 4);
  EXPECT_EQ(c->GetFieldDefinition(2).Length, 40);
  const auto rows = Rows(*c);
  ASSERT_EQ(rows.size(), 50u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], std::to_string(i + 1));
    EXPECT_EQ(rows[i][1], "name " + std::to_string(i % 5));
    EXPECT_EQ(rows[i][2], "null");
    EXPECT_EQ(rows[i][3], "7");
  }
  EXPECT_EQ(CheckIndexes(*c), "");
  // The next record continues the identifiers.
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->InitRecord(r.data());
  c->AppendRecord(r.data());
  EXPECT_EQ(TDataCursor::GetRecordID(r.data()), 51);
}

TEST_F(RestructureTest, ACallbackThatStopsLeavesTheTableUntouched) {
  {
    auto c = Closed();
    TTableMaintenance(*c).CreateTable(People());
    c->OpenCursor();
    FillPeople(*c, 30);
  }
  const auto before = Snapshot();
  TTableStructure retyped = People();
  retyped.Fields[1].Length = 4;  // "name 1" is cut
  TTableStructure indexed = People();
  indexed.SecondaryIndexes[0].Unique = true;  // names repeat: in place, key violations
  indexed.SecondaryIndexes[0].KeySize -= 4;
  for (const TTableStructure& s : {retyped, indexed}) {
    auto c = Closed();
    TTableMaintenance m(*c);
    int asked = 0;
    m.DataLost = [&](TDataLossCause, const std::string&, bool&, bool& go) {
      ++asked;
      go = false;
    };
    EXPECT_FALSE(m.RestructureTable(s, false));
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(c->IsOpen);
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_F(RestructureTest, DroppedRecordsNeedACallback) {
  {
    auto c = Closed();
    TTableMaintenance(*c).CreateTable(People());
    c->OpenCursor();
    FillPeople(*c, 30);
  }
  const auto before = Snapshot();
  // Through a work table (Amount becomes a large integer) with a unique index on Name.
  TTableStructure s = People();
  s.Fields[2].DataType = dtLargeInt;
  s.SecondaryIndexes[0].Unique = true;
  s.SecondaryIndexes[0].KeySize -= 4;
  {
    auto c = Closed();
    EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).RestructureTable(s, false); }), KORVEL_KEYVIOL);
    EXPECT_EQ(Snapshot(), before);
  }
  // A required field that is null in some records.
  TTableStructure required = People();
  required.Fields[3].Required = true;
  required.Fields[2].DataType = dtLargeInt;
  {
    auto c = Closed();
    EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).RestructureTable(required, false); }), KORVEL_REQDERR);
    EXPECT_EQ(Snapshot(), before);
  }
  auto c = Closed();
  TTableMaintenance m(*c);
  std::multiset<std::pair<int, std::string>> seen;
  m.DataLost = [&](TDataLossCause cause, const std::string& context, bool&, bool&) { seen.insert({cause, context}); };
  ASSERT_TRUE(m.RestructureTable(s, false));
  EXPECT_EQ(seen.count({dlKeyViolation, "ByName"}), 25u);
  c->OpenCursor();
  EXPECT_EQ(c->GetRecordCount(), 5);
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST_F(RestructureTest, AnUnchangedLayoutKeepsTheRecordsWhereTheyAre) {
  {
    auto c = Closed();
    TTableMaintenance(*c).CreateTable(People());
    c->OpenCursor();
    FillPeople(*c, 40);
    // A free slot: a rewrite would close it, the in-place path keeps it.
    c->SetIndexPos(kNoIndexPos);
    c->GotoPhysicalRecordNumber(3);
    c->RefreshCurrentRecord(1);
    c->DeleteRecord(nullptr, false);
  }
  TTableStructure s = People();
  s.Fields[1].FieldName = "FullName";
  s.Fields[1].Description = "the whole name";
  s.Description = "renamed";
  s.UserMajorVersion = 3;
  s.SecondaryIndexes.erase(s.SecondaryIndexes.begin() + 1);  // ByAmount goes
  s.SecondaryIndexes.push_back(CursorIndex("AmountDesc", s.Fields, {3}, true, true));
  auto c = Closed();
  TTableMaintenance m(*c);
  std::vector<int> progress;
  m.RestructureProgress = [&](int p) { progress.push_back(p); };
  ASSERT_TRUE(m.RestructureTable(s, false));
  EXPECT_FALSE(std::filesystem::exists(folder.File("t.DBK")));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
  c->OpenCursor();
  EXPECT_EQ(c->Table->GetPhysicalRecordsUsed(), 40);
  EXPECT_EQ(c->GetRecordCount(), 39);
  EXPECT_EQ(c->GetFieldDefinition(2).FieldName, "FullName");
  EXPECT_EQ(c->GetFieldDefinition(2).Description, "the whole name");
  EXPECT_EQ(c->Table->GetDescription(), "renamed");
  EXPECT_EQ(c->Table->GetUserMajorVersion(), 3);
  EXPECT_EQ(c->Table->GetIndexCount(), 3);
  EXPECT_EQ(c->Table->IndexFile->IndexDefinition(3).IndexName, "AmountDesc");
  EXPECT_EQ(CheckIndexes(*c), "");
  c->SetIndexName("AmountDesc");
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->SetToBegin();
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  EXPECT_EQ(testing::AmountOf(*c, r.data()), 39);
}

TEST_F(RestructureTest, StricterChecksAndANewCaseMeetTheStoredValues) {
  {
    auto c = Closed();
    TTableMaintenance(*c).CreateTable(People());
    c->OpenCursor();
    FillPeople(*c, 10);
  }
  const std::string before = Snapshot();
  TTableStructure required = People();
  required.Fields[3].Required = true;  // Notes is null everywhere
  {
    auto c = Closed();
    EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).RestructureTable(required, false); }), KORVEL_REQDERR);
  }
  TTableStructure minimum = People();
  minimum.Fields[2].MinimumValue = "5";
  {
    auto c = Closed();
    EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).RestructureTable(minimum, false); }), KORVEL_MINVALERR);
  }
  EXPECT_EQ(Snapshot(), before);
  TTableStructure upper = People();
  upper.Fields[1].CharCase = 2;
  auto c = Closed();
  ASSERT_TRUE(TTableMaintenance(*c).RestructureTable(upper, false));
  c->OpenCursor();
  const auto rows = Rows(*c);
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[3][1], "NAME 3");
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST_F(RestructureTest, AStructureFaultIsRaisedBeforeAnyFileIsTouched) {
  {
    auto c = Closed();
    TTableMaintenance(*c).CreateTable(People());
    c->OpenCursor();
    FillPeople(*c, 5);
  }
  const auto before = Snapshot();
  TTableStructure s = People();
  s.Fields[1].FieldName = "1bad";
  auto c = Closed();
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).RestructureTable(s, false); }), KORVEL_INVALIDFIELDNAME);
  EXPECT_EQ(Snapshot(), before);
  c->SetExclusive(false);
  EXPECT_EQ(CodeOf([&] { TTableMaintenance(*c).RestructureTable(People(), false); }), KORVEL_NEEDEXCLACCESS);
}

TEST_F(RestructureTest, ANewPasswordScramblesTheTableAnew) {
  {
    auto c = Closed();
    TTableMaintenance(*c).CreateTable(People());
    c->OpenCursor();
    FillPeople(*c, 10);
  }
  TTableStructure s = People();
  s.Encrypted = true;
  s.Password = "secret";
  {
    auto c = Closed();
    ASSERT_TRUE(TTableMaintenance(*c).RestructureTable(s, false));
  }
  // The session forgot the password again: a new session must give it.
  TDataSession other(false);
  TDataDirectory* d = other.OpenDataDirectory("other", folder.Path());
  TDataCursor locked(d);
  locked.SetTableName("t");
  EXPECT_EQ(CodeOf([&] { locked.OpenCursor(); }), KORVEL_NOTSUFFTABLERIGHTS);
  other.AddPassword("secret");
  TTestCursor c(d);
  c.SetTableName("t");
  c.OpenCursor();
  EXPECT_EQ(c.GetRecordCount(), 10);
  EXPECT_EQ(CheckIndexes(c), "");
}

// ---- Rebuilds that died ---------------------------------------------------------------------

class JournalTest : public RestructureTest {
 protected:
  void Journal(const std::string& work, const std::string& phase, bool noBackup, const std::string& exts) {
    std::ofstream(folder.File("t.WRK")) << work << "\n" << phase << "\n" << (noBackup ? "1" : "0") << "\n" << exts << "\n";
  }
  void MakeTable(const std::string& name, int count) {
    auto c = Closed(name);
    TTableMaintenance(*c).CreateTable(People(), true);
    c->OpenCursor();
    FillPeople(*c, count);
  }
  void Move(const std::string& from, const std::string& to) {
    std::filesystem::rename(folder.File(from), folder.File(to));
  }
  int Count() {
    TDataSession s(false);
    TTestCursor c(s.OpenDataDirectory("check", folder.Path()));
    c.SetTableName("t");
    c.OpenCursor();
    EXPECT_EQ(CheckIndexes(c), "");
    return c.GetRecordCount();
  }
};

TEST_F(JournalTest, AWorkTableOfADeadBuildIsDeletedByTheNextOpener) {
  MakeTable("t", 10);
  MakeTable("777", 3);  // what a dead run left half written
  Journal("777", "build", false, "");
  EXPECT_EQ(Count(), 10);
  EXPECT_FALSE(std::filesystem::exists(folder.File("777.DAT")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("777.IDX")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("t.WRK")));
}

TEST_F(JournalTest, AJournalCutShortTouchesNoOtherFile) {
  MakeTable("t", 10);
  MakeTable("777", 3);
  MakeTable("77", 2);  // what a cut name would read as
  for (const char* text : {"", "77", "777\nbu"}) {
    std::ofstream(folder.File("t.WRK")) << text;
    EXPECT_EQ(Count(), 10);
    EXPECT_FALSE(std::filesystem::exists(folder.File("t.WRK"))) << text;
    EXPECT_TRUE(std::filesystem::exists(folder.File("77.DAT"))) << text;
  }
  // A whole name with a cut phase is a build that died: its work table goes.
  EXPECT_FALSE(std::filesystem::exists(folder.File("777.DAT")));
}

TEST_F(JournalTest, ASwapThatDiedIsFinishedByTheNextOpener) {
  MakeTable("t", 10);
  MakeTable("777", 4);
  // Killed between the two renames: the table only under its backup names.
  Move("t.DAT", "t.DBK");
  Move("t.IDX", "t.IBK");
  Move("t.BLB", "t.BBK");
  Journal("777", "swap", false, "DAT IDX BLB");
  EXPECT_EQ(Count(), 4);
  EXPECT_TRUE(std::filesystem::exists(folder.File("t.DBK")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("777.DAT")));
  // Killed half way through the first rename, no backups wanted.
  MakeTable("777", 6);
  Move("t.DAT", "t.DBK");
  Journal("777", "swap", true, "DAT IDX BLB");
  EXPECT_EQ(Count(), 6);
  EXPECT_FALSE(std::filesystem::exists(folder.File("t.DBK")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("t.IBK")));
  EXPECT_FALSE(std::filesystem::exists(folder.File("t.WRK")));
}

TEST_F(JournalTest, ASwapWhoseWorkTableIsGoneFallsBackToTheBackups) {
  MakeTable("t", 10);
  Move("t.DAT", "t.DBK");
  Move("t.IDX", "t.IBK");
  Move("t.BLB", "t.BBK");
  Journal("777", "swap", true, "DAT IDX BLB");
  EXPECT_EQ(Count(), 10);
}

TEST_F(JournalTest, AJournalHeldByALiveRunIsLeftAlone) {
  MakeTable("t", 10);
  MakeTable("777", 3);
  Journal("777", "build", false, "");
  // Held by another open file description, as a running rebuild holds it.
  const int fd = ::open(folder.File("t.WRK").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  EXPECT_EQ(Count(), 10);
  EXPECT_TRUE(std::filesystem::exists(folder.File("777.DAT")));
  EXPECT_TRUE(std::filesystem::exists(folder.File("t.WRK")));
  close(fd);
  EXPECT_EQ(Count(), 10);
  EXPECT_FALSE(std::filesystem::exists(folder.File("777.DAT")));
}

}  // namespace
}  // namespace korvel
