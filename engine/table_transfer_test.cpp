#include "engine/table_transfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/cursor_test_helpers.h"
#include "framework/currency_bcd.h"
#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/text_forms.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::CursorIndex;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// Fields 1..: every type that export writes as a value.
TTableStructure AllTypes() {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Text", dtString, 80),
              MakeField("Day", dtDate), MakeField("Flag", dtBoolean), MakeField("Small", dtSmallInt),
              MakeField("Int", dtInteger), MakeField("Real", dtFloat), MakeField("Dec", dtBCD),
              MakeField("Raw", dtBytes, 6), MakeField("Clock", dtTime), MakeField("Stamp", dtTimeStamp),
              MakeField("Wrd", dtWord), MakeField("UInt", dtUnsignedInt), MakeField("Ext", dtExtended),
              MakeField("VRaw", dtVarBytes, 5), MakeField("Big", dtLargeInt), MakeField("Memo", dtBlob, 0, stMemo)};
  s.Fields[7].Decimals = 4;
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  s.SecondaryIndexes = {CursorIndex("ByInt", s.Fields, {6}, false)};
  return s;
}

class TransferTest : public ::testing::Test {
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
  std::string Path(const std::string& name) const { return folder.Path() + "/" + name; }
  static std::vector<std::int32_t> Numbers(std::int32_t from, std::int32_t to) {
    std::vector<std::int32_t> v;
    for (std::int32_t i = from; i <= to; ++i) v.push_back(i);
    return v;
  }
  // The native bytes of every field of every record, in the cursor's order (null marked).
  static std::vector<std::string> Snapshot(TDataCursor& c, std::int32_t firstField) {
    std::vector<std::string> rows;
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) {
      std::string row;
      for (std::int32_t n = firstField; n <= c.GetFieldCount(); ++n) {
        const TFieldDefinition& f = c.GetFieldDefinition(n);
        if (f.DataType == dtBlob) continue;
        std::uint8_t v[128] = {};
        bool blank = c.GetField(n, r.data(), v);
        if (blank) {
          row += "<null>|";
          continue;
        }
        if (f.DataType == dtBCD) {
          Currency cur;
          EXPECT_TRUE(BCDToCurr(TBcd::FromBytes(v), cur));
          row += std::to_string(cur.Raw) + "|";
        } else if (f.DataType == dtString) {
          row += std::string(reinterpret_cast<char*>(v)) + "|";
        } else {
          row += std::string(reinterpret_cast<char*>(v), static_cast<std::size_t>(f.PhysicalSize)) + "|";
        }
      }
      rows.push_back(row);
    }
    return rows;
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

void FillRandom(TDataCursor& c, std::uint8_t* r, std::mt19937_64& rng) {
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  c.InitRecord(r);
  // Strings with the troublesome bytes: delimiters, both quotes, line ends, blanks at both
  // ends, and bytes above 127.
  static const char alphabet[] = {',', ';', '\t', '"', '\'', '\r', '\n', ' ', 'a', 'Z', '0', '\xE9', '\xFF', '\x80'};
  std::string text;
  for (std::uint64_t i = pick(60); i > 0; --i) text += alphabet[pick(sizeof alphabet)];
  c.PutField(2, r, text.c_str());
  std::uint8_t v[64] = {};
  auto put = [&](std::int32_t n) {
    if (pick(12) == 0)
      c.PutField(n, r, nullptr);
    else
      c.PutField(n, r, v);
  };
  PutI32(v, 0, static_cast<std::int32_t>(1 + pick(3652058)));  // 0001-01-01 .. 9999-12-31
  put(3);
  PutU16(v, 0, static_cast<std::uint16_t>(pick(2)));
  put(4);
  PutI16(v, 0, static_cast<std::int16_t>(rng()));
  put(5);
  PutI32(v, 0, static_cast<std::int32_t>(rng()));
  put(6);
  double d;
  do {
    std::uint64_t bits = rng();
    std::memcpy(&d, &bits, 8);
  } while (!std::isfinite(d));
  if (pick(3) == 0) d = static_cast<double>(static_cast<std::int64_t>(pick(2000000)) - 1000000) / 1000.0;
  PutF64(v, 0, d);
  put(7);
  TBcd bcd;
  ASSERT_TRUE(CurrToBCD(Currency::FromRaw(static_cast<std::int64_t>(rng() >> 2) - (1LL << 61)), bcd, 32, 4));
  bcd.ToBytes(v);
  put(8);
  for (int i = 0; i < 6; ++i) v[i] = static_cast<std::uint8_t>(rng());
  put(9);
  PutI32(v, 0, static_cast<std::int32_t>(pick(86400000)));
  put(10);
  PutF64(v, 0, static_cast<double>(kMSecsPerDay * static_cast<std::int64_t>(1 + pick(3652058)) +
                                   static_cast<std::int64_t>(pick(86400000))));
  put(11);
  PutU16(v, 0, static_cast<std::uint16_t>(rng()));
  put(12);
  PutU32(v, 0, static_cast<std::uint32_t>(rng()));
  put(13);
  long double x = static_cast<long double>(static_cast<std::int64_t>(rng())) / 7.0L;
  std::memset(v, 0, sizeof v);
  std::memcpy(v, &x, 10);
  put(14);
  for (int i = 0; i < 5; ++i) v[i] = static_cast<std::uint8_t>(rng());
  put(15);
  PutI64(v, 0, static_cast<std::int64_t>(rng()));
  put(16);
}

TEST_F(TransferTest, ExportThenImportGivesBackEveryValueOfEveryType) {
  auto source = Make("source", AllTypes());
  std::mt19937_64 rng(20);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(source->GetRecordSize()));
  // Enough records to cross several 64 KiB windows.
  for (int i = 0; i < 1500; ++i) {
    FillRandom(*source, r.data(), rng);
    source->AppendRecord(r.data());
  }
  const auto expected = Snapshot(*source, 2);
  struct Case {
    char delimiter;
    char decimal;
    const char* date;
    const char* time;
  };
  int round = 0;
  for (Case k : {Case{',', '.', "", ""}, Case{';', ',', "dd/mm/yyyy", "hh:nn:ss.zzz"}, Case{'\t', '.', "mm.dd.yyyy", "hh.nn.ss.zzz"}}) {
    TTransferFormat format;
    format.Delimiter = k.delimiter;
    format.DecimalSeparator = k.decimal;
    format.DateFormat = k.date;
    format.TimeFormat = k.time;
    format.Headers = round == 1;
    const std::string file = Path("out" + std::to_string(round) + ".txt");
    EXPECT_EQ(ExportTable(*source, file, format, Numbers(2, 17)), 1500);
    auto target = Make("target" + std::to_string(round), AllTypes());
    EXPECT_EQ(ImportTable(*target, file, format, Numbers(2, 17)), 1500);
    EXPECT_EQ(Snapshot(*target, 2), expected) << "delimiter " << k.delimiter;
    EXPECT_EQ(testing::CheckIndexes(*target), "");
    ++round;
  }
}

// The lossless date and time forms are read and written without the general format
// conversions; both must agree on every value and every text, valid or not.
TEST_F(TransferTest, LosslessDateTimeFormsAgreeWithTheGeneralConversions) {
  auto c = Make("dates", AllTypes());
  std::mt19937_64 rng(11);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  const std::string dateFormat = kDefaultTransferDateFormat, timeFormat = kDefaultTransferTimeFormat;
  const TTransferFormat lossless;
  struct Column {
    std::int32_t field;
    std::uint8_t type;
  };
  auto digits = [&](int n) {
    std::string d;
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + rng() % 10);
    return d;
  };
  for (Column k : {Column{3, dtDate}, Column{10, dtTime}, Column{11, dtTimeStamp}}) {
    for (int i = 0; i < 5000; ++i) {
      // Native to text: values across and just beyond the calendar and the day.
      std::uint8_t v[kValueBufferSize + 8] = {};
      if (k.type == dtDate)
        PutI32(v, 0, static_cast<std::int32_t>(rng() % 3652070) - 5);
      else if (k.type == dtTime)
        PutI32(v, 0, static_cast<std::int32_t>(rng() % 86400010) - 5);
      else
        PutF64(v, 0, static_cast<double>(rng() % 3652070) * kMSecsPerDay + static_cast<double>(rng() % 86400000) +
                         (i % 5 == 0 ? 0.5 : 0.0));
      c->InitRecord(r.data());
      c->PutField(k.field, r.data(), v);
      std::string fast;
      const bool fastOk = FieldToTransferText(*c, k.field, r.data(), lossless, fast);
      std::uint8_t general[kValueBufferSize + 8] = {};
      std::memcpy(general, v, 8);
      const bool generalOk = ConvertDateTimeToFormat(general, k.type, dateFormat, timeFormat);
      ASSERT_EQ(fastOk, generalOk);
      if (generalOk) {
        ASSERT_EQ(fast, reinterpret_cast<char*>(general));
      }
      // Text to native: texts of the form with any digits, so that invalid dates and times
      // (month 13, 30 February, hour 24) come up too.
      std::string date = digits(4) + "-" + (rng() % 2 ? "0" + digits(1) : digits(2)) + "-" + digits(2);
      std::string time = digits(2) + ":" + digits(2) + ":" + digits(2) + "." + digits(3);
      std::string text = k.type == dtDate ? date : k.type == dtTime ? time : date + " " + time;
      c->InitRecord(r.data());
      const bool readOk = TransferTextToField(*c, k.field, r.data(), lossless, text);
      std::uint8_t expected[kValueBufferSize + 8] = {};
      std::memcpy(expected, text.data(), text.size());
      const bool expectedOk = ConvertFormatToDateTime(expected, k.type, dateFormat, timeFormat);
      ASSERT_EQ(readOk, expectedOk) << text;
      if (!readOk) continue;
      std::uint8_t got[16] = {};
      c->GetField(k.field, r.data(), got);
      ASSERT_EQ(std::memcmp(got, expected, k.type == dtTimeStamp ? 8 : 4), 0) << text;
    }
  }
}

TEST_F(TransferTest, ExportWritesQuotedStringsHeadersAndNullsExactly) {
  auto c = Make("people", testing::PeopleStructure());
  testing::Append(*c, "say \"hi\", you", 5);
  testing::Append(*c, "", -2);  // an empty string is stored as NULL
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->InitRecord(r.data());
  c->AppendRecord(r.data());  // name and amount NULL
  TTransferFormat format;
  format.Headers = true;
  ExportTable(*c, Path("p.csv"), format, {2, 3, 4});
  EXPECT_EQ(ReadFile(Path("p.csv")),
            "Name,Amount,Notes\r\n\"say \"\"hi\"\", you\",5,\r\n,-2,\r\n,,\r\n");
  EXPECT_THROW(ExportTable(*c, Path("none.csv"), format, {}), EKORVELEngineError);
  // An existing file is replaced whole, not written over in part.
  format.Headers = false;
  ExportTable(*c, Path("p.csv"), format, {3});
  EXPECT_EQ(ReadFile(Path("p.csv")), "5\r\n-2\r\n\r\n");
}

TEST_F(TransferTest, ExportWalksTheCursorRangeInIndexOrder) {
  auto c = Make("people", testing::PeopleStructure());
  for (int i = 0; i < 50; ++i) testing::Append(*c, "n" + std::to_string(i), 100 - i);
  c->SetIndexName("ByAmount");
  std::vector<std::uint8_t> low(static_cast<std::size_t>(c->GetRecordSize())), high = low;
  testing::SetAmount(*c, low.data(), 60);
  testing::SetAmount(*c, high.data(), 63);
  c->SetRange(false, low.data(), 1, high.data(), 1);
  std::vector<int> percents;
  EXPECT_EQ(ExportTable(*c, Path("r.csv"), {}, {3}, [&](int p) { percents.push_back(p); }), 4);
  EXPECT_EQ(ReadFile(Path("r.csv")), "60\r\n61\r\n62\r\n63\r\n");
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

TEST_F(TransferTest, ExportWritesOnlyWhatTheFilterAndRangeLeaveVisible) {
  auto c = Make("people", testing::PeopleStructure());
  for (int i = 0; i < 60; ++i) testing::Append(*c, (i % 3 == 0 ? "keep" : "drop") + std::to_string(i), i);
  c->SetIndexName("ByAmount");
  // A filter evaluated record by record (no index answers the modulus), then one an index
  // answers, then both with a range of the index the export walks.
  TFilterOptions options;
  int byName = c->AddFilter(nullptr, "Name >= 'keep'", nullptr, options);
  c->ActivateFilter(byName);
  EXPECT_EQ(ExportTable(*c, Path("f.csv"), {}, {3}), 20);
  std::string want;
  for (int i = 0; i < 60; i += 3) want += std::to_string(i) + "\r\n";
  EXPECT_EQ(ReadFile(Path("f.csv")), want);
  int small = c->AddFilter(nullptr, "Amount < 40", nullptr, options);
  c->ActivateFilter(small);
  std::vector<std::uint8_t> low(static_cast<std::size_t>(c->GetRecordSize())), high = low;
  testing::SetAmount(*c, low.data(), 10);
  testing::SetAmount(*c, high.data(), 50);
  c->SetRange(false, low.data(), 1, high.data(), 1);
  std::vector<int> percents;
  EXPECT_EQ(ExportTable(*c, Path("fr.csv"), {}, {2, 3}, [&](int p) { percents.push_back(p); }), 10);
  want.clear();
  for (int i = 12; i < 40; i += 3) want += "\"keep" + std::to_string(i) + "\"," + std::to_string(i) + "\r\n";
  EXPECT_EQ(ReadFile(Path("fr.csv")), want);
  EXPECT_EQ(percents.back(), 100);
  // Nothing visible: an empty file, and the cursor's own state is untouched by the export.
  c->DeactivateFilter(byName);
  c->ActivateFilter(c->AddFilter(nullptr, "Amount > 1000", nullptr, options));
  EXPECT_EQ(ExportTable(*c, Path("none.csv"), {}, {3}), 0);
  EXPECT_EQ(ReadFile(Path("none.csv")), "");
  EXPECT_EQ(c->GetFilterCount(), 3u);
}

TEST_F(TransferTest, BlobValuesTravelWhenTheFormatCarriesThem) {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Memo", dtBlob, 0, stMemo),
              MakeField("Bin", dtBlob, 0, stBinary), MakeField("N", dtInteger)};
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  auto source = Make("blobs", s);
  std::mt19937 rng(3);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(source->GetRecordSize()));
  std::vector<std::pair<std::string, std::string>> values;
  for (int i = 0; i < 300; ++i) {
    // Memos over several windows with every troublesome byte but NUL; binary values of any byte.
    std::string memo(rng() % 3 == 0 ? 0 : rng() % (i == 7 ? 150000 : 600), 'm');
    for (char& ch : memo) ch = ",;\"'\r\n xé\x01"[rng() % 11];
    std::string bin(rng() % 200, '\0');
    for (char& ch : bin) ch = static_cast<char>(rng());
    source->InitRecord(r.data());
    std::int64_t size = 0;
    for (auto [n, text] : {std::pair{2, &memo}, std::pair{3, &bin}}) {
      if (text->empty()) continue;
      ASSERT_EQ(source->OpenBlob(n, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
      ASSERT_EQ(source->PutBlob(n, r.data(), false, static_cast<std::int64_t>(text->size()), text->data(), 0), 0);
    }
    source->PutField(4, r.data(), &i);
    source->AppendRecord(r.data());
    values.emplace_back(memo, bin);
  }
  auto contents = [&](TDataCursor& c) {
    std::vector<std::pair<std::string, std::string>> got;
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) {
      std::string both[2];
      for (int n : {2, 3}) {
        std::int64_t size = 0;
        EXPECT_EQ(c.OpenBlob(n, r.data(), TBlobBuffer::omRead, false, false, size), 0);
        both[n - 2].resize(static_cast<std::size_t>(size));
        std::int64_t count = 0;
        if (size > 0) c.GetBlob(n, r.data(), false, count, size, both[n - 2].data(), 0);
        c.FreeBlob(n, r.data(), false);
      }
      got.emplace_back(both[0], both[1]);
    }
    return got;
  };
  TTransferFormat format;
  format.Blobs = true;
  format.Delimiter = ';';
  EXPECT_EQ(ExportTable(*source, Path("b.csv"), format, {2, 3, 4}), 300);
  auto target = Make("target", s);
  EXPECT_EQ(ImportTable(*target, Path("b.csv"), format, {2, 3, 4}), 300);
  EXPECT_TRUE(contents(*target) == values);
  EXPECT_EQ(target->OpenBlobCount(), 0u);
  // Without the option BLOBs are written as nothing and imported as NULL.
  format.Blobs = false;
  ExportTable(*source, Path("nb.csv"), format, {2, 3, 4});
  EXPECT_EQ(ReadFile(Path("nb.csv")).substr(0, 8), ";;0\r\n;;1");
  // A failing line after a BLOB value leaves no open value behind and appends nothing more.
  WriteFile(Path("bad.csv"), "\"ok\";00FF;1\r\n\"memo\";ABCD;x\r\n");
  format.Blobs = true;
  auto failing = Make("failing", s);
  EXPECT_THROW(ImportTable(*failing, Path("bad.csv"), format, {2, 3, 4}), EKORVELEngineError);
  EXPECT_EQ(failing->OpenBlobCount(), 0u);
  EXPECT_EQ(failing->GetRecordCount(), 1);
  WriteFile(Path("odd.csv"), "\"m\";ABC;1\r\n");
  EXPECT_THROW(ImportTable(*failing, Path("odd.csv"), format, {2, 3, 4}), EKORVELEngineError);
  EXPECT_EQ(failing->GetRecordCount(), 1);
}

TEST_F(TransferTest, ImportLinesDefaultsAndTheLastLineWithoutLineEnd) {
  auto c = Make("people", testing::PeopleStructure());
  // A blank line is skipped, a short line leaves fields at their defaults, a lone LF ends a
  // line too, and the last line needs no line end. (String fields drop trailing blanks.)
  WriteFile(Path("in.csv"), "'Ann',1\r\n\r\n  Bob  ,2\nCy\r\n\"D,e\" , 4");
  EXPECT_EQ(ImportTable(*c, Path("in.csv"), {}, {2, 3}), 4);
  std::vector<std::string> names;
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  // The cursor stands on the record appended last.
  ASSERT_EQ(c->GetCurrentRecord(r.data()), 0);
  EXPECT_EQ(testing::NameOf(*c, r.data()), "D,e");
  c->SetToBegin();
  std::vector<bool> amountBlank;
  while (c->GetNextRecord(r.data()) == 0) {
    names.push_back(testing::NameOf(*c, r.data()));
    amountBlank.push_back(c->GetField(3, r.data(), nullptr));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Ann", "Bob", "Cy", "D,e"}));
  EXPECT_EQ(amountBlank, (std::vector<bool>{false, false, true, false}));
}

TEST_F(TransferTest, ImportErrorsNameTheLineAndKeepOnlyTheRecordsBefore) {
  struct Case {
    std::string text;
    std::string message;
    std::int32_t kept;
  };
  const std::vector<Case> cases = {
      {"a,1\r\nb,2\r\nc,x\r\nd,4\r\n", "Invalid data value in import data at line 3", 2},
      {"a,1\r\nb,2,3\r\n", "Invalid number of fields in import data at line 2", 1},
      {"a,1\rb,2\r\n", "Missing line feed after carriage return in import data at line 1", 0},
      {std::string("a,1\r\nb\0,2\r\n", 11), "Embedded NULL (0x00) found in import data at line 2", 1},
      {"a,1\r\n\"b,2\r\n", "Missing double quote after 'b,2\r\n' in import data", 1},
      {"a,1\r\nb,1\r\n", "", 1},  // key violation on the unique Amount index
  };
  int i = 0;
  for (const Case& k : cases) {
    auto c = Make("t" + std::to_string(i), testing::PeopleStructure());
    WriteFile(Path("e.csv"), k.text);
    try {
      ImportTable(*c, Path("e.csv"), {}, {2, 3});
      ADD_FAILURE() << "no error for case " << i;
    } catch (const EKORVELEngineError& e) {
      if (!k.message.empty()) {
        EXPECT_EQ(e.ErrorCode, KORVEL_IMPORTERROR) << i;
        EXPECT_EQ(e.ErrorMessage, k.message) << i;
      }
    }
    EXPECT_EQ(c->GetRecordCount(), k.kept) << i;
    ++i;
  }
  auto c = Make("nofields", testing::PeopleStructure());
  WriteFile(Path("e.csv"), "a,1\r\n");
  EXPECT_THROW(ImportTable(*c, Path("e.csv"), {}, {}), EKORVELEngineError);
  EXPECT_THROW(ImportTable(*c, Path("missing.csv"), {}, {2}), EKORVELEngineError);
}

TEST_F(TransferTest, EmptyValuesImportAsNullOrLeaveTheDefault) {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 10),
              MakeField("Qty", dtInteger), MakeField("Day", dtDate)};
  s.Fields[1].DefaultValue = "none";
  s.Fields[2].DefaultValue = "7";
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  // Empty between delimiters, empty at the line's end, quoted empty, and a short line.
  WriteFile(Path("e.csv"), ",1,2000-01-02\r\nx,,\r\n\"\",\"\",\"\"\r\ny");
  auto values = [&](TDataCursor& c) {
    std::string all;
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) {
      TTransferFormat format;
      std::string text;
      for (std::int32_t n = 2; n <= 4; ++n) all += (FieldToTransferText(c, n, r.data(), format, text) ? text : "<null>") + "|";
      all += "\n";
    }
    return all;
  };
  TTransferFormat format;
  format.EmptyIsNull = true;
  auto nulls = Make("nulls", s);
  EXPECT_EQ(ImportTable(*nulls, Path("e.csv"), format, {2, 3, 4}), 4);
  EXPECT_EQ(values(*nulls), "<null>|1|2000-01-02|\nx|<null>|<null>|\n<null>|<null>|<null>|\ny|7|<null>|\n");
  // Without it a column left empty keeps the default; a quoted empty string is no number.
  WriteFile(Path("d.csv"), ",1,2000-01-02\r\nx,,\r\n");
  auto defaults = Make("defaults", s);
  EXPECT_EQ(ImportTable(*defaults, Path("d.csv"), {}, {2, 3, 4}), 2);
  EXPECT_EQ(values(*defaults), "none|1|2000-01-02|\nx|7|<null>|\n");
  WriteFile(Path("q.csv"), "x,\"\"\r\n");
  EXPECT_THROW(ImportTable(*defaults, Path("q.csv"), {}, {2, 3}), EKORVELEngineError);
}

TEST_F(TransferTest, AutoIncrementValuesAreKeptWhenTheFormatSaysSo) {
  auto source = Make("source", testing::PeopleStructure());
  for (int i = 1; i <= 6; ++i) testing::Append(*source, "n" + std::to_string(i), i);
  // Gaps in the IDs: 2 and 5 deleted.
  std::vector<std::uint8_t> r(static_cast<std::size_t>(source->GetRecordSize()));
  source->SetToBegin();
  while (source->GetNextRecord(r.data()) == 0)
    if (TDataCursor::GetRecordID(r.data()) % 3 == 2) source->DeleteRecord(r.data());
  ExportTable(*source, Path("ids.csv"), {}, {1, 2, 3});
  EXPECT_EQ(ReadFile(Path("ids.csv")), "1,\"n1\",1\r\n3,\"n3\",3\r\n4,\"n4\",4\r\n6,\"n6\",6\r\n");
  auto ids = [&](TDataCursor& c) {
    std::vector<std::int32_t> all;
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) all.push_back(TDataCursor::GetRecordID(r.data()));
    return all;
  };
  TTransferFormat keep;
  keep.KeepAutoIncValues = true;
  auto kept = Make("kept", testing::PeopleStructure());
  EXPECT_EQ(ImportTable(*kept, Path("ids.csv"), keep, {1, 2, 3}), 4);
  EXPECT_EQ(ids(*kept), (std::vector<std::int32_t>{1, 3, 4, 6}));
  EXPECT_FALSE(kept->GetSuppressAutoIncValues());
  // A line without an ID gets the next free one; an ID already there stops the import at its
  // line with the lines before it kept.
  WriteFile(Path("more.csv"), ",\"new\",7\r\n9,\"nine\",9\r\n3,\"again\",10\r\n12,\"never\",12\r\n");
  EXPECT_THROW(ImportTable(*kept, Path("more.csv"), keep, {1, 2, 3}), EKORVELEngineError);
  EXPECT_EQ(ids(*kept), (std::vector<std::int32_t>{1, 3, 4, 6, 7, 9}));
  WriteFile(Path("bad.csv"), "0,\"zero\",20\r\n");
  EXPECT_THROW(ImportTable(*kept, Path("bad.csv"), keep, {1, 2, 3}), EKORVELEngineError);
  // Without the option the table numbers the records.
  auto renumbered = Make("renumbered", testing::PeopleStructure());
  EXPECT_EQ(ImportTable(*renumbered, Path("ids.csv"), {}, {1, 2, 3}), 4);
  EXPECT_EQ(ids(*renumbered), (std::vector<std::int32_t>{1, 2, 3, 4}));
}

TEST_F(TransferTest, HeadersSelectAndReorderFields) {
  auto c = Make("people", testing::PeopleStructure());
  // Behind a UTF-8 byte order mark.
  WriteFile(Path("h.csv"), "\xEF\xBB\xBF" "amount,NAME\r\n7,\"x\"\r\n8,\"y\"\r\n");
  TTransferFormat format;
  format.Headers = true;
  EXPECT_EQ(ImportTable(*c, Path("h.csv"), format, {}), 2);
  ExportTable(*c, Path("back.csv"), format, {2, 3});
  EXPECT_EQ(ReadFile(Path("back.csv")), "Name,Amount\r\n\"x\",7\r\n\"y\",8\r\n");
  // A name holding the delimiter goes in quotes, so that the header reads back.
  format.Delimiter = 'm';
  ExportTable(*c, Path("m.csv"), format, {3, 2});
  EXPECT_EQ(ReadFile(Path("m.csv")), "\"Amount\"m\"Name\"\r\n7m\"x\"\r\n8m\"y\"\r\n");
  auto again = Make("again", testing::PeopleStructure());
  EXPECT_EQ(ImportTable(*again, Path("m.csv"), format, {}), 2);
  format.Delimiter = ',';
  WriteFile(Path("bad.csv"), "amount,Nope\r\n1,2\r\n");
  EXPECT_THROW(ImportTable(*c, Path("bad.csv"), format, {}), EKORVELEngineError);
  WriteFile(Path("empty.csv"), "\r\n1,2\r\n");
  EXPECT_THROW(ImportTable(*c, Path("empty.csv"), format, {}), EKORVELEngineError);
  EXPECT_EQ(c->GetRecordCount(), 2);
}

TEST_F(TransferTest, LinesLongerThanAWindowAndQuotesAcrossWindows) {
  TTableStructure s;
  s.Fields = {MakeField("A", dtString, 250), MakeField("B", dtInteger)};
  auto c = Make("wide", s);
  // Values with line ends inside quotes placed so that windows end inside them, and one
  // record built of many columns longer than a window (skipped columns).
  std::string text;
  std::vector<std::string> want;
  std::mt19937 rng(7);
  while (text.size() < 3 * kTransferWindowSize) {
    std::string v(rng() % 240, 'q');
    for (char& ch : v) ch = "ab\r\n\"', "[rng() % 8];
    std::string quoted = "\"";
    for (char ch : v) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    want.push_back(v.substr(0, v.find_last_not_of(' ') + 1));  // stored without trailing blanks
    text += quoted + "\"," + std::to_string(want.size()) + "\r\n";
  }
  // One line longer than two windows: many skipped columns after the two kept ones.
  std::vector<std::int32_t> columns = {1, 2};
  std::string longLine = "\"long\",-1";
  for (int i = 0; i < 30000; ++i) {
    longLine += ",skip";
    columns.push_back(0);
  }
  text += longLine + "\r\n";
  want.push_back("long");
  WriteFile(Path("w.csv"), text);
  std::vector<int> percents;
  EXPECT_EQ(static_cast<std::size_t>(ImportTable(*c, Path("w.csv"), {}, columns, [&](int p) { percents.push_back(p); })),
            want.size());
  EXPECT_EQ(percents.back(), 100);
  std::vector<std::string> got;
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->SetToBegin();
  while (c->GetNextRecord(r.data()) == 0) {
    char v[260] = {};
    c->GetField(1, r.data(), v);
    got.push_back(v);
  }
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace korvel
