#include "expr/expression_evaluator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>

#include "expr/expression_test_table.h"
#include "expr/expression_types.h"
#include "support/language.h"
#include "support/text_forms.h"

// Counts heap allocations, so that a test can show that evaluating records allocates nothing.
namespace {
std::atomic<long> gAllocations{0};
}
// The replacement pair is malloc/free underneath; gcc cannot see that the two belong together
// once the sized delete is inlined, and warns about a mismatch that is not there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace korvel {
namespace {

using testing::TTestTable;
using testing::TTestRow;

// A value read back from an evaluation.
struct TResult {
  bool IsNull = false;
  std::uint8_t Type = 0;
  std::int64_t Int = 0;
  double Float = 0;
  std::string Text;
};

class EvaluatorTest : public ::testing::Test {
 protected:
  EvaluatorTest() : row(table.NewRow()) {
    table.SetString(row, "Name", "Smith");
    table.SetString(row, "City", "Berlin");
    table.SetFloat(row, "Amount", 480.5);
    table.SetInt(row, "Code", 5);
    table.SetInt(row, "Small", -3);
    table.SetInt(row, "Qty", 7);
    table.SetInt(row, "Big", 5000000000LL);
    table.SetBcd(row, "Price", "12.25");
    table.SetDate(row, "Born", 2003, 1, 31);
    table.SetInt(row, "At", 45000000);  // 12:30
    table.SetStamp(row, "Stamp", 2003, 1, 31, 10, 0, 0, 0);
    table.SetStamp(row, "Stamp2", 2003, 1, 31, 10, 0, 1, 0);
    table.SetInt(row, "Flag", 1);
    table.SetString(row, "Notes", "a long memo text");
  }

  TResult Read(const TExpToken& v) {
    TResult r;
    r.IsNull = v.IsNull != 0;
    r.Type = v.DataType;
    const std::uint8_t* b = v.ValueBuffer.get();
    switch (v.DataType) {
      case dtString:
      case dtBlob: r.Text = reinterpret_cast<const char*>(b); break;
      case dtFloat:
      case dtTimeStamp: r.Float = GetF64(b, 0); break;
      case dtBCD: r.Text = BcdToStr(TBcd::FromBytes(b)); break;
      case dtSmallInt: r.Int = GetI16(b, 0); break;
      case dtBoolean:
      case dtWord: r.Int = GetU16(b, 0); break;
      case dtLargeInt: r.Int = GetI64(b, 0); break;
      default: r.Int = GetI32(b, 0); break;
    }
    return r;
  }

  TResult Eval(const std::string& text, std::uint16_t languageId = 0) {
    TExpTokenPtr tree = table.Checked(text);
    TExpressionEvaluator evaluator;
    TEvaluationContext c = table.EvalContext(&row, languageId);
    return Read(evaluator.Evaluate(*tree, c));
  }
  bool True(const std::string& text, std::uint16_t languageId = 0) {
    TResult r = Eval(text, languageId);
    EXPECT_EQ(r.Type, dtBoolean) << text;
    EXPECT_FALSE(r.IsNull) << text;
    EXPECT_TRUE(r.Int == 0 || r.Int == 1) << text;
    return r.Int == 1;
  }
  std::int64_t Int(const std::string& text) {
    TResult r = Eval(text);
    EXPECT_FALSE(r.IsNull) << text;
    return r.Int;
  }
  double Float(const std::string& text) {
    TResult r = Eval(text);
    EXPECT_FALSE(r.IsNull) << text;
    return r.Float;
  }
  std::string Text(const std::string& text) {
    TResult r = Eval(text);
    EXPECT_FALSE(r.IsNull) << text;
    return r.Text;
  }
  bool IsNull(const std::string& text) { return Eval(text).IsNull; }

  TTestTable table;
  TTestRow row;
};

TEST_F(EvaluatorTest, NullPropagation) {
  table.SetNull(row, "Code");
  table.SetNull(row, "Name");
  EXPECT_TRUE(True("Code = NULL"));
  EXPECT_FALSE(True("Code <> NULL"));
  EXPECT_FALSE(True("Small = NULL"));
  EXPECT_TRUE(True("Small <> NULL"));
  EXPECT_TRUE(IsNull("1 + NULL"));
  EXPECT_TRUE(IsNull("Code * 2"));
  EXPECT_TRUE(IsNull("-Code"));
  EXPECT_EQ(Text("'a' + NULL"), "a");
  EXPECT_EQ(Text("Name + 'x'"), "x");
  // A NULL string orders as the empty text; other NULLs are false against a value.
  EXPECT_FALSE(True("Name > 'a'"));
  EXPECT_TRUE(True("Name < 'a'"));
  EXPECT_FALSE(True("Code > 1"));
  EXPECT_FALSE(True("Code < 1"));
  EXPECT_TRUE(True("Code >= Code"));  // two NULLs compare their zero values
  EXPECT_FALSE(True("Code > Code"));
  // NOT of NULL is true; AND and OR read NULL as false.
  table.SetNull(row, "Flag");
  EXPECT_TRUE(True("NOT Flag"));
  EXPECT_FALSE(True("Flag OR Flag"));
  EXPECT_TRUE(IsNull("LENGTH(Name)"));
  EXPECT_TRUE(IsNull("UPPER(Name)"));
  EXPECT_TRUE(IsNull("POS('a' IN Name)"));
  EXPECT_TRUE(IsNull("EXTRACT(YEAR FROM CAST(NULL AS DATE))"));
  EXPECT_TRUE(IsNull("ABS(Code)"));
  EXPECT_TRUE(IsNull("CAST(Code AS CHAR(5))"));
}

TEST_F(EvaluatorTest, Arithmetic) {
  EXPECT_EQ(Float("5 / 2"), 2.5);
  EXPECT_TRUE(IsNull("5 / 0"));
  EXPECT_TRUE(IsNull("Amount / 0.0"));
  EXPECT_EQ(Int("Code * 3 - Small"), 18);
  EXPECT_EQ(Int("Qty + Small"), 4);
  EXPECT_EQ(Int("Big - 1"), 4999999999LL);
  EXPECT_EQ(Float("Amount * 2"), 961.0);
  EXPECT_EQ(Int("-Small"), 3);
  // Overflow gives NULL instead of a wrapped value.
  EXPECT_TRUE(IsNull("2147483647 + 1"));
  EXPECT_TRUE(IsNull("Code * 1000000000"));
  EXPECT_TRUE(IsNull("9223372036854775807 + Big"));
  EXPECT_TRUE(IsNull("-(0 - 9223372036854775807 - 1)"));
  // BCD through currency, with the larger operand's decimals.
  EXPECT_EQ(Text("Price + 1"), "13.25");
  EXPECT_EQ(Text("Price * Price"), "150.06");  // 150.0625 kept at 2 decimals
  EXPECT_EQ(Text("Price / 3"), "4.08");
  EXPECT_TRUE(IsNull("Price / 0"));
  EXPECT_EQ(Text("-Price"), "-12.25");
  EXPECT_EQ(Float("Price * 2.0"), 24.5);
}

TEST_F(EvaluatorTest, DateAndTimeArithmetic) {
  const std::int32_t born = DateTimeToDayNumber(EncodeDate(2003, 1, 31));
  EXPECT_EQ(Int("Born + 1"), born + 1);
  EXPECT_EQ(Int("1 + Born"), born + 1);
  EXPECT_EQ(Int("Born - 31"), DateTimeToDayNumber(EncodeDate(2002, 12, 31)));
  EXPECT_EQ(Int("Born - CAST('2002-01-31' AS DATE)"), 365);
  EXPECT_EQ(Int("At + 1000"), 45001000);
  EXPECT_TRUE(IsNull("At - 50000000"));  // a time stays within its day: no wrap, no negative time
  EXPECT_EQ(Int("At - CAST('12:00' AS TIME)"), 1800000);
  EXPECT_EQ(Float("Stamp - Stamp2"), -1000.0);
  EXPECT_EQ(Int("Stamp - CAST('2003-01-01' AS DATE)"), 30);
  EXPECT_EQ(Int("Stamp - CAST('09:00' AS TIME)"), 3600000);
  EXPECT_EQ(Float("Stamp + 2") - Float("Stamp"), 2 * 86400000.0);
  EXPECT_TRUE(True("Born + 1 = CAST('2003-02-01' AS DATE)"));
  EXPECT_TRUE(True("Born < Stamp"));  // a date is its midnight next to a timestamp
  EXPECT_TRUE(True("Born = CAST(Stamp AS DATE)"));
  EXPECT_TRUE(True("Born = '2003-01-31'"));
  EXPECT_TRUE(True("Stamp > '2003-01-31 09:59:59'"));
}

TEST_F(EvaluatorTest, ComparisonsWidenNumbers) {
  EXPECT_TRUE(True("Code = 5.0"));
  EXPECT_TRUE(True("Qty > Small"));
  EXPECT_TRUE(True("Big > Code"));
  EXPECT_TRUE(True("Price = 12.25"));
  EXPECT_TRUE(True("Price > Code"));
  EXPECT_TRUE(True("CAST(12 AS DECIMAL(5, 2)) = 12"));
  EXPECT_TRUE(True("Flag = TRUE"));
  EXPECT_TRUE(True("CAST(2 AS BOOLEAN) = CAST(3 AS BOOLEAN)"));  // truth, not the words
  EXPECT_TRUE(True("Raw = Raw"));
}

TEST_F(EvaluatorTest, AndOrEvaluateTheRightSideFirst) {
  table.SetInt(row, "Flag", 0);
  table.Fetches.clear();
  EXPECT_FALSE(True("Code = 5 AND Flag"));
  EXPECT_EQ(table.Fetches["Code"], 0);
  EXPECT_EQ(table.Fetches["Flag"], 1);
  table.SetInt(row, "Flag", 1);
  table.Fetches.clear();
  EXPECT_TRUE(True("Code = 99 OR Flag"));
  EXPECT_EQ(table.Fetches["Code"], 0);
  EXPECT_TRUE(True("Code = 5 AND Flag"));
}

TEST_F(EvaluatorTest, StringFunctions) {
  EXPECT_EQ(Text("UPPER(Name) + LOWER('ABC')"), "SMITHabc");
  EXPECT_EQ(Int("LENGTH(Notes)"), 16);
  EXPECT_EQ(Text("SUBSTRING(Name FROM 2 FOR 3)"), "mit");
  EXPECT_EQ(Text("SUBSTRING(Name FROM 0 FOR 2)"), "Sm");   // a start below 1 counts as 1
  EXPECT_EQ(Text("SUBSTRING(Name FROM -5)"), "Smith");
  EXPECT_EQ(Text("SUBSTRING(Name FROM 4)"), "th");
  EXPECT_EQ(Text("SUBSTRING(Name FROM 2 FOR 100)"), "mith");
  EXPECT_TRUE(IsNull("SUBSTRING(Name FROM 6)"));
  EXPECT_TRUE(IsNull("SUBSTRING(Name FROM 1000000 FOR 2)"));
  EXPECT_TRUE(IsNull("SUBSTRING(Name FROM 2 FOR -1)"));
  EXPECT_TRUE(IsNull("SUBSTRING(Name FROM 2 FOR 0)"));
  EXPECT_EQ(Text("SUBSTRING(Notes FROM 3 FOR 4)"), "long");
  EXPECT_EQ(Text("REPLACE('i' WITH 'ii' IN Name)"), "Smiith");
  EXPECT_EQ(Text("REPLACE('m' WITH 'xyzxyzxyzxyzxyzxyzxyzxyzxyzxyzxyzxyz' IN 'mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm')").size(),
            34u * 36u);
  EXPECT_TRUE(IsNull("REPLACE('Smith' WITH '' IN Name)"));
  EXPECT_EQ(Int("POS('ith' IN Name)"), 3);
  EXPECT_EQ(Int("POS('x' IN Name)"), 0);
  EXPECT_EQ(Int("OCCURS('aa' IN 'aaaaa')"), 2);
  EXPECT_EQ(Text("TRIM(LEADING 'x' FROM 'xxaxx')"), "axx");
  EXPECT_EQ(Text("TRIM(TRAILING 'x' FROM 'xxaxx')"), "xxa");
  EXPECT_EQ(Text("TRIM(BOTH 'x' FROM 'xxaxx')"), "a");
  EXPECT_TRUE(IsNull("TRIM(BOTH 'x' FROM 'xxx')"));
  EXPECT_EQ(Text("Name + ', ' + City"), "Smith, Berlin");
  EXPECT_EQ(Text("Notes + '!'"), "a long memo text!");
  EXPECT_EQ(Eval("Notes + '!'").Type, dtBlob);
}

TEST_F(EvaluatorTest, ExtractUsesTheIsoCalendar) {
  EXPECT_EQ(Int("EXTRACT(YEAR FROM Born)"), 2003);
  EXPECT_EQ(Int("EXTRACT(MONTH FROM Born)"), 1);
  EXPECT_EQ(Int("EXTRACT(DAY FROM Born)"), 31);
  EXPECT_EQ(Int("EXTRACT(DAYOFWEEK FROM Born)"), 5);  // a Friday, Monday being 1
  EXPECT_EQ(Int("EXTRACT(DAYOFYEAR FROM Born)"), 31);
  EXPECT_EQ(Int("EXTRACT(WEEK FROM CAST('2008-12-29' AS DATE))"), 1);
  EXPECT_EQ(Int("EXTRACT(WEEK FROM CAST('2005-01-02' AS DATE))"), 53);
  EXPECT_EQ(Int("EXTRACT(WEEK FROM CAST('2004-12-27 23:00' AS TIMESTAMP))"), 53);
  EXPECT_EQ(Int("EXTRACT(HOUR FROM Born)"), 0);
  EXPECT_EQ(Int("EXTRACT(HOUR FROM Stamp2)"), 10);
  EXPECT_EQ(Int("EXTRACT(SECOND FROM Stamp2)"), 1);
  EXPECT_EQ(Int("EXTRACT(MINUTE FROM At)"), 30);
  EXPECT_EQ(Int("EXTRACT(YEAR FROM At)"), 0);
  EXPECT_TRUE(IsNull("EXTRACT(HOUR FROM At + 86400000)"));  // a time beyond its day is NULL
  EXPECT_TRUE(IsNull("EXTRACT(YEAR FROM Born + 2000000000)"));  // beyond the calendar
}

TEST_F(EvaluatorTest, NumericFunctions) {
  EXPECT_EQ(Int("ABS(Small)"), 3);
  EXPECT_EQ(Float("ABS(0 - Amount)"), 480.5);
  EXPECT_EQ(Text("ABS(-Price)"), "12.25");
  EXPECT_EQ(Int("ABS(Qty)"), 7);
  EXPECT_TRUE(IsNull("ABS(CAST(-32768 AS SMALLINT))"));
  EXPECT_EQ(Float("ROUND(2.5)"), 3.0);
  EXPECT_EQ(Float("ROUND(-2.5)"), -3.0);
  EXPECT_DOUBLE_EQ(Float("ROUND(1.2345 TO 2)"), 1.23);
  EXPECT_EQ(Text("ROUND(Price TO 1)"), "12.3");
  EXPECT_EQ(Text("ROUND(Price)"), "12");
}

TEST_F(EvaluatorTest, ConditionalFunctions) {
  EXPECT_EQ(Int("IF(Code > 1, 10, 20)"), 10);
  EXPECT_EQ(Int("IF(Code > 9, 10, 20)"), 20);
  EXPECT_EQ(Float("IF(Code > 1, Code, 2.75)"), 5.0);
  EXPECT_EQ(Float("IF(Code > 9, Code, 2.75)"), 2.75);  // both values in the type that holds them
  EXPECT_EQ(Int("IF(Code > 9, Code, '7')"), 7);         // other values convert to the second's type
  table.SetNull(row, "Flag");
  EXPECT_EQ(Int("IF(Flag, 1, 2)"), 2);  // a NULL condition selects the second value
  EXPECT_EQ(Int("IFNULL(Flag, 1, 2)"), 1);
  EXPECT_EQ(Int("IFNULL(Code, 1, 2)"), 2);
  table.SetNull(row, "Name");
  EXPECT_EQ(Text("COALESCE(Name, NULL, City, 'x')"), "Berlin");
  table.SetNull(row, "City");
  EXPECT_EQ(Text("COALESCE(Name, City, 'x')"), "x");
  EXPECT_TRUE(IsNull("COALESCE(Name, City)"));
  EXPECT_EQ(Float("COALESCE(NULL, Code, Amount)"), 5.0);
  table.SetNull(row, "Code");
  EXPECT_EQ(Float("COALESCE(NULL, Code, Amount)"), 480.5);
}

TEST_F(EvaluatorTest, Predicates) {
  EXPECT_TRUE(True("Name LIKE 'Sm%'"));
  EXPECT_TRUE(True("Name LIKE 'sm_th'"));  // language 0 matches characters without regard to case
  EXPECT_FALSE(True("Name LIKE 'Sm'"));
  EXPECT_TRUE(True("Name NOT LIKE 'x%'"));
  EXPECT_TRUE(True("Notes LIKE '%memo%'"));
  EXPECT_TRUE(True("Code IN (1, 5, 9)"));
  EXPECT_FALSE(True("Code IN (1, 9)"));
  EXPECT_TRUE(True("Code NOT IN (1, 9)"));
  EXPECT_TRUE(True("Born IN ('2001-01-01', '2003-01-31')"));
  EXPECT_TRUE(True("Code BETWEEN 5 AND 5"));
  EXPECT_FALSE(True("Code BETWEEN 6 AND 1"));
  EXPECT_TRUE(True("Code NOT BETWEEN 6 AND 10"));
  EXPECT_TRUE(True("Name BETWEEN 'S' AND 'T'"));
  EXPECT_TRUE(True("At BETWEEN '12:00' AND '13:00'"));
  table.SetNull(row, "Name");
  table.SetNull(row, "Code");
  EXPECT_FALSE(True("Name LIKE '%'"));
  EXPECT_TRUE(True("Name NOT LIKE 'a%'"));
  EXPECT_TRUE(True("Code IN (1, NULL)"));
  EXPECT_FALSE(True("Code IN (1, 2)"));
  EXPECT_FALSE(True("Code BETWEEN 1 AND 2"));
}

TEST_F(EvaluatorTest, CastRoundTripsThroughText) {
  const char* values[] = {
      "Code",        "Small",         "Qty",          "Big",          "Amount",
      "Price",       "Born",          "At",           "Stamp",        "Flag",
      "CAST(0.1 AS FLOAT)", "CAST('2003-01-31 10:00:01.5' AS TIMESTAMP)", "CAST(-1.0001 AS DECIMAL(8, 4))",
      "CAST('23:59:59.999' AS TIME)", "CAST(-9223372036854775807 AS LARGEINT)",
  };
  const char* types[] = {"INTEGER", "SMALLINT", "WORD", "LARGEINT", "FLOAT", "DECIMAL(10, 2)", "DATE", "TIME",
                         "TIMESTAMP", "BOOLEAN", "FLOAT", "TIMESTAMP", "DECIMAL(8, 4)", "TIME", "LARGEINT"};
  for (std::size_t i = 0; i < std::size(values); ++i) {
    const std::string v = values[i];
    EXPECT_TRUE(True("CAST(CAST(" + v + " AS CHAR(60)) AS " + types[i] + ") = " + v)) << v;
  }
  EXPECT_EQ(Text("CAST(Born AS CHAR(20))"), "2003-01-31");
  EXPECT_EQ(Text("CAST(Stamp2 AS CHAR(30))"), "2003-01-31 10:00:01");
  EXPECT_EQ(Text("CAST(At AS CHAR(10))"), "12:30");
  EXPECT_EQ(Text("CAST(Flag AS CHAR(10))"), "True");
  EXPECT_EQ(Text("CAST(Price AS CHAR(10))"), "12.25");
  EXPECT_EQ(Text("CAST(Name AS CHAR(3))"), "Smi");
  EXPECT_EQ(Text("CAST(Notes AS CHAR(6))"), "a long");
  EXPECT_EQ(Text("CAST(Name AS MEMO)"), "Smith");
}

TEST_F(EvaluatorTest, CastConversionsBetweenTypes) {
  EXPECT_EQ(Int("CAST(-2.7 AS INTEGER)"), -2);  // toward zero
  EXPECT_EQ(Int("CAST(70000 AS SMALLINT)"), 4464);  // the low 16 bits
  EXPECT_EQ(Int("CAST(Price AS INTEGER)"), 12);
  EXPECT_EQ(Int("CAST(Qty AS BOOLEAN)"), 1);
  EXPECT_EQ(Int("CAST(CAST(0 AS WORD) AS BOOLEAN)"), 0);
  EXPECT_EQ(Int("CAST(Flag AS WORD)"), 1);
  EXPECT_EQ(Int("CAST(Stamp AS TIME)"), 36000000);
  EXPECT_EQ(Int("CAST(Stamp AS DATE)"), DateTimeToDayNumber(EncodeDate(2003, 1, 31)));
  EXPECT_EQ(Float("CAST(Born AS TIMESTAMP)"), DateTimeToDayNumber(EncodeDate(2003, 1, 31)) * 86400000.0);
  EXPECT_EQ(Text("CAST(Code AS DECIMAL(6, 2))"), "5");
  EXPECT_EQ(Float("CAST(' 12.5 ' AS FLOAT)"), 12.5);
  EXPECT_EQ(Int("CAST('true' AS BOOLEAN)"), 1);
  // Unreadable texts give the target's zero value.
  EXPECT_EQ(Int("CAST('abc' AS INTEGER)"), 0);
  EXPECT_EQ(Int("CAST('abc' AS BOOLEAN)"), 0);
  EXPECT_EQ(Int("CAST('2003-02-31' AS DATE)"), DateTimeToDayNumber(EncodeDate(1899, 12, 30)));
  EXPECT_EQ(Int("CAST('25:99' AS TIME)"), 0);
  EXPECT_EQ(Text("CAST('1e999' AS DECIMAL)"), "0");

  std::uint8_t buffer[kValueBufferSize] = {};
  std::memcpy(buffer, "2003-01-31", 11);
  EXPECT_TRUE(ConvertExpression(dtString, 11, 0, buffer, 0, 4, dtDate));
  EXPECT_EQ(GetI32(buffer, 0), DateTimeToDayNumber(EncodeDate(2003, 1, 31)));
  EXPECT_TRUE(ConvertExpression(dtDate, 4, 0, buffer, 0, 8, dtString));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "2003-01");  // cut to the target size
  std::memcpy(buffer, "x", 2);
  EXPECT_FALSE(ConvertExpression(dtString, 2, 0, buffer, 0, 8, dtFloat));
  EXPECT_EQ(GetF64(buffer, 0), 0.0);
}

TEST_F(EvaluatorTest, CollationFollowsTheTablesLanguage) {
  const std::uint16_t french = ConvertLanguageConstantToID("French (Standard)");
  ASSERT_NE(french, 0);
  if (!OSValidLocale(OSLocaleID(french, 0))) GTEST_SKIP() << "no French locale";
  table.SetString(row, "Name", "\xE9t\xE9");  // ete with acute accents, code page 1252
  table.SetString(row, "City", "B");
  EXPECT_FALSE(True("Name = 'ete'"));
  EXPECT_TRUE(True("Name = 'ete'", french));  // accents are ignored
  EXPECT_FALSE(True("Name = 'ETE'", french));  // case is not
  EXPECT_TRUE(True("'a' > City"));             // bytes: a after B
  EXPECT_TRUE(True("'a' < City", french));
  EXPECT_TRUE(True("Name LIKE 'et%'", french));
  EXPECT_EQ(Eval("UPPER(Name)", french).Text, "\xC9T\xC9");
}

TEST_F(EvaluatorTest, FieldsWithoutAFetcher) {
  TExpTokenPtr tree = table.Checked("Code + 1");
  TExpressionEvaluator evaluator;
  TEvaluationContext c;
  try {
    evaluator.Evaluate(*tree, c);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_SQLPARSE);
    EXPECT_EQ(e.ErrorMessage, "Internal error: Column 'Code' specified illegally");
  }
  // A string constant that names a field is its own text without a record.
  tree = table.Checked("'Name' + 'x'");
  EXPECT_EQ(Read(evaluator.Evaluate(*tree, c)).Text, "Namex");
}

TEST_F(EvaluatorTest, HooksAnswerTheFunctionsThatNeedTables) {
  EXPECT_FALSE(True("TEXTSEARCH('memo' IN Notes)"));
  EXPECT_EQ(Int("TEXTOCCURS('memo' IN Notes)"), 0);
  EXPECT_EQ(Int("LASTAUTOINC('orders')"), 0);
  TExpressionHooks hooks;
  hooks.TextSearch = [](void*, const void*, const TExpToken& field, const char* words) {
    return field.Name == "Notes" && std::string(words) == "memo";
  };
  hooks.TextOccurs = [](void*, const void*, const TExpToken&, const char*) { return 70000u; };
  hooks.LastAutoInc = [](void*, const char* table) { return std::string(table) == "orders" ? 41 : -1; };
  TEvaluationContext c = table.EvalContext(&row);
  c.Hooks = &hooks;
  TExpressionEvaluator evaluator;
  EXPECT_TRUE(evaluator.EvaluateBoolean(*table.Checked("TEXTSEARCH('memo' IN Notes)"), c));
  TExpTokenPtr occurs = table.Checked("TEXTOCCURS('memo' IN Notes)");
  EXPECT_EQ(Read(evaluator.Evaluate(*occurs, c)).Int, 65535);
  TExpTokenPtr last = table.Checked("IDENT_CURRENT('orders') + 1");
  EXPECT_EQ(Read(evaluator.Evaluate(*last, c)).Int, 42);
}

TEST_F(EvaluatorTest, EvaluateExpressionTokenReturnsAPoolConstant) {
  TExpTokenPtr tree = table.Checked("Name + '!'");
  TExpToken* result = EvaluateExpressionToken(tree.get(), &row, &table, 0, 0, &TTestTable::Fetch);
  EXPECT_EQ(result->NodeClass, enCONST);
  EXPECT_EQ(result->DataType, dtString);
  EXPECT_STREQ(reinterpret_cast<char*>(result->ValueBuffer.get()), "Smith!");
  ReturnExpTokenInstance(result);
  EXPECT_EQ(result, nullptr);
}

TEST_F(EvaluatorTest, RecordsAreEvaluatedWithoutAllocating) {
  TExpTokenPtr tree = table.Checked(
      "(Amount * 1.1 > 500 AND UPPER(Name) LIKE 'SM%') OR Code IN (1, 5, 9) OR "
      "SUBSTRING(City FROM 2) + Name = 'x' OR CAST(Code AS CHAR(10)) = '7' OR Born + 1 > Stamp OR "
      "ROUND(Amount / 7 TO 3) = 1.5");
  std::vector<TTestRow> rows;
  for (int i = 0; i < 64; ++i) {
    TTestRow r = row;
    table.SetInt(r, "Code", i);
    table.SetFloat(r, "Amount", 400 + i * 3);
    table.SetString(r, "Name", i % 3 ? "Smith" : "Jones");
    rows.push_back(r);
  }
  TExpressionEvaluator evaluator;
  table.Fetches.clear();
  table.Fetches["Code"] = table.Fetches["Amount"] = table.Fetches["Name"] = table.Fetches["City"] = 0;
  table.Fetches["Born"] = table.Fetches["Stamp"] = 0;
  int hits = 0;
  for (const TTestRow& r : rows) hits += evaluator.EvaluateBoolean(*tree, table.EvalContext(&r));
  long before = gAllocations.load();
  { auto probe = std::make_unique<int>(1); }  // the counter sees allocations
  EXPECT_EQ(gAllocations.load() - before, 1);
  before = gAllocations.load();
  for (int pass = 0; pass < 20; ++pass) {
    for (const TTestRow& r : rows) hits += evaluator.EvaluateBoolean(*tree, table.EvalContext(&r));
  }
  EXPECT_EQ(gAllocations.load() - before, 0);
  EXPECT_GT(hits, 0);
}

TEST_F(EvaluatorTest, EveryResultIsAConstantOfTheCheckedType) {
  const char* texts[] = {"Code + Small", "Amount / Code", "Born + 1", "Stamp - Born", "Name + City",
                         "UPPER(Name)",  "Code = 1",      "ABS(Big)", "ROUND(Price TO 1)", "CAST(Code AS CHAR(4))"};
  for (const char* text : texts) {
    TExpTokenPtr tree = table.Checked(text);
    TExpressionEvaluator evaluator;
    const TExpToken& v = evaluator.Evaluate(*tree, table.EvalContext(&row));
    EXPECT_EQ(v.NodeClass, enCONST) << text;
    EXPECT_EQ(v.DataType, tree->DataType) << text;
    EXPECT_LE(v.DataSize, static_cast<std::int32_t>(v.ValueBufferSize)) << text;
    EXPECT_GE(v.DataSize, tree->DataSize) << text;
  }
}

// ---- filter preparation ------------------------------------------------------------------

class FilterTest : public EvaluatorTest {
 protected:
  TExpTokenPtr Prepared(const std::string& text, bool noPartial = false, bool caseInsensitive = false,
                        std::uint16_t languageId = 0) {
    checked_ = table.Checked(text);
    return TExpTokenPtr(BuildNextFilterExpression(checked_.get(), &table, &TTestTable::Fetch, noPartial,
                                                  caseInsensitive, 0, languageId));
  }
  bool Matches(TExpToken& tree, const TTestRow& r) {
    TExpressionEvaluator evaluator;
    return evaluator.EvaluateBoolean(tree, table.EvalContext(&r));
  }
  TExpTokenPtr checked_;
};

TEST_F(FilterTest, ConstantSubExpressionsAreFoldedOnce) {
  TExpTokenPtr t = Prepared("Code = 2 * 3 + 1");
  EXPECT_EQ(t->Right->NodeClass, enCONST);
  EXPECT_EQ(GetI32(t->Right->ValueBuffer.get(), 0), 7);
  t = Prepared("Code + 2 * 3 > LENGTH('abc') AND UPPER(Name) = UPPER('sm' + 'ith')");
  const TExpToken& add = *t->Left->Left;
  EXPECT_EQ(add.NodeClass, enBINARY);              // depends on the record
  EXPECT_EQ(add.Left->NodeClass, enFIELD);
  EXPECT_EQ(add.Right->NodeClass, enCONST);        // 2 * 3
  EXPECT_EQ(t->Left->Right->NodeClass, enCONST);   // LENGTH('abc')
  EXPECT_EQ(t->Right->Left->NodeClass, enFUNC);    // UPPER(Name) stays
  EXPECT_EQ(t->Right->Right->NodeClass, enCONST);
  EXPECT_STREQ(reinterpret_cast<char*>(t->Right->Right->ValueBuffer.get()), "SMITH");
  EXPECT_TRUE(Matches(*t, row));
  // Nothing that depends on the record or the table's state is folded.
  t = Prepared("Code * 2 > Small AND TEXTOCCURS('x' IN Notes) = 0 AND LASTAUTOINC('t') = 0");
  EXPECT_EQ(t->Left->Left->Left->NodeClass, enBINARY);
  EXPECT_EQ(t->Left->Right->Left->NodeClass, enFUNC);
  EXPECT_EQ(t->Right->Left->NodeClass, enFUNC);
  // The prepared tree is new: the checked one is untouched.
  EXPECT_EQ(checked_->Right->Left->NodeClass, enFUNC);
}

TEST_F(FilterTest, ComparedConstantsTakeTheFieldsTypeOnlyWhenNothingIsLost) {
  TExpTokenPtr t = Prepared("Amount > 480");
  EXPECT_EQ(t->Right->DataType, dtFloat);
  t = Prepared("Code = 5.0");
  EXPECT_EQ(t->Right->DataType, dtInteger);
  t = Prepared("Code = 2.5");
  EXPECT_EQ(t->Right->DataType, dtFloat);
  table.SetInt(row, "Code", 2);
  EXPECT_FALSE(Matches(*t, row));  // 2 is not 2.5
  t = Prepared("Code < 3000000000");
  EXPECT_EQ(t->Right->DataType, dtLargeInt);
  EXPECT_TRUE(Matches(*t, row));
  t = Prepared("Stamp > CAST('2003-01-31' AS DATE)");
  EXPECT_EQ(t->Right->DataType, dtTimeStamp);
  t = Prepared("Born = CAST('2003-01-31 10:00' AS TIMESTAMP)");
  EXPECT_EQ(t->Right->DataType, dtTimeStamp);
  EXPECT_FALSE(Matches(*t, row));
  t = Prepared("Code = NULL");
  EXPECT_EQ(t->Right->DataType, 0);
}

TEST_F(FilterTest, StarAndCaseRulesMakePartialCompares) {
  TExpTokenPtr t = Prepared("Name = 'Sm*'");
  EXPECT_EQ(t->NodeClass, enCOMPARE);
  EXPECT_EQ(t->PartialLength, 2);
  EXPECT_EQ(t->CaseInsensitive, 0);
  EXPECT_STREQ(reinterpret_cast<char*>(t->Right->ValueBuffer.get()), "Sm");
  EXPECT_TRUE(Matches(*t, row));
  table.SetString(row, "Name", "smith");
  EXPECT_FALSE(Matches(*t, row));
  table.SetString(row, "Name", "Sm*");
  TExpTokenPtr literal = Prepared("Name = 'Sm*'", true);
  EXPECT_EQ(literal->NodeClass, enCOMPARE);
  EXPECT_EQ(literal->PartialLength, 0);
  EXPECT_TRUE(Matches(*literal, row));
  table.SetString(row, "Name", "Smith");
  EXPECT_FALSE(Matches(*literal, row));
  TExpTokenPtr ci = Prepared("Name <> 'SMITH'", false, true);
  EXPECT_EQ(ci->NodeClass, enCOMPARE);
  EXPECT_EQ(ci->CaseInsensitive, 1);
  EXPECT_FALSE(Matches(*ci, row));
  EXPECT_EQ(Prepared("Name = 'Smith'")->NodeClass, enBINARY);
  EXPECT_EQ(Prepared("Name > 'S*'")->NodeClass, enBINARY);
  table.SetNull(row, "Name");
  EXPECT_FALSE(Matches(*t, row));
  EXPECT_TRUE(Matches(*ci, row));
}

TEST_F(FilterTest, PrefixLikeBecomesAPartialCompare) {
  TExpTokenPtr t = Prepared("Name LIKE 'Sm%'");
  EXPECT_EQ(t->NodeClass, enCOMPARE);
  EXPECT_EQ(t->Operator, eoEQ);
  EXPECT_EQ(t->PartialLength, 2);
  EXPECT_EQ(t->Left->NodeClass, enFIELD);
  EXPECT_TRUE(t->Arguments.empty());
  TExpTokenPtr n = Prepared("Name NOT LIKE 'Sm' + '%'");
  EXPECT_EQ(n->NodeClass, enCOMPARE);
  EXPECT_EQ(n->Operator, eoNE);
  for (const char* p : {"Name LIKE 'S_%'", "Name LIKE '%'", "Name LIKE 'S%h'", "Name LIKE 'S%%'"}) {
    EXPECT_EQ(Prepared(p)->NodeClass, enEXTBINARY) << p;
  }
  // The prepared filter selects exactly what the LIKE selects.
  for (const char* name : {"Smith", "smith", "SMALL", "Sm", "S", "Jones"}) {
    table.SetString(row, "Name", name);
    TExpTokenPtr like = table.Checked("Name LIKE 'Sm%'");
    TExpTokenPtr notLike = table.Checked("Name NOT LIKE 'Sm%'");
    EXPECT_EQ(Matches(*t, row), Matches(*like, row)) << name;
    EXPECT_EQ(Matches(*n, row), Matches(*notLike, row)) << name;
  }
  table.SetNull(row, "Name");
  EXPECT_FALSE(Matches(*t, row));
  EXPECT_TRUE(Matches(*n, row));
}

// ---- property test: random arithmetic and comparison trees against a reference -----------

// The reference: integers (a, b, the constants) and floats (x) with the rules of the engine,
// written out plainly.
struct TRef {
  enum TKind { kNull, kInt, kFloat, kBool } Kind = kNull;
  std::int64_t I = 0;
  double F = 0;
  bool B = false;
  double AsFloat() const { return Kind == kInt ? static_cast<double>(I) : F; }
};

class TRandomTree {
 public:
  explicit TRandomTree(std::uint32_t seed) : rng_(seed) {}

  // A numeric expression: its text and its reference value.
  std::string Number(int depth, TRef& value) {
    const int pick = static_cast<int>(rng_() % (depth <= 0 ? 4 : 9));
    switch (pick) {
      case 0: value = a; return "a";
      case 1: value = x; return "x";
      case 2: {
        const int c = static_cast<int>(rng_() % 21) - 10;
        value = {TRef::kInt, c};
        return c < 0 ? "(0 - " + std::to_string(-c) + ")" : std::to_string(c);
      }
      case 3:
        if (rng_() % 4 == 0) {
          value = {};
          return "(a + NULL)";
        }
        value = b;
        return "b";
      case 4: {
        TRef v;
        std::string s = Number(depth - 1, v);
        value = v.Kind == TRef::kNull ? v : (v.Kind == TRef::kInt ? TRef{TRef::kInt, -v.I} : TRef{TRef::kFloat, 0, -v.F});
        if (v.Kind == TRef::kInt && (-v.I < INT32_MIN || -v.I > INT32_MAX)) value = {};
        return "-(" + s + ")";
      }
      default: {
        static const char* ops[] = {"+", "-", "*", "/"};
        const int op = static_cast<int>(rng_() % 4);
        TRef l, r;
        std::string ls = Number(depth - 1, l), rs = Number(depth - 1, r);
        value = Arith(op, l, r);
        return "(" + ls + " " + ops[op] + " " + rs + ")";
      }
    }
  }

  std::string Boolean(int depth, TRef& value) {
    const int pick = static_cast<int>(rng_() % (depth <= 0 ? 1 : 4));
    if (pick == 0) {
      static const char* ops[] = {"=", "<>", ">", "<", ">=", "<="};
      const int op = static_cast<int>(rng_() % 6);
      TRef l, r;
      std::string ls = Number(depth, l), rs = Number(depth, r);
      value = {TRef::kBool, 0, 0, Compare(op, l, r)};
      return ls + " " + ops[op] + " " + rs;
    }
    if (pick == 3) {
      TRef v;
      std::string s = Boolean(depth - 1, v);
      value = {TRef::kBool, 0, 0, !v.B};
      return "NOT (" + s + ")";
    }
    TRef l, r;
    std::string ls = Boolean(depth - 1, l), rs = Boolean(depth - 1, r);
    value = {TRef::kBool, 0, 0, pick == 1 ? (l.B && r.B) : (l.B || r.B)};
    return "(" + ls + (pick == 1 ? " AND " : " OR ") + rs + ")";
  }

  TRef a, b, x;

 private:
  static TRef Arith(int op, const TRef& l, const TRef& r) {
    if (l.Kind == TRef::kNull || r.Kind == TRef::kNull) return {};
    if (op == 3) {
      if (r.AsFloat() == 0) return {};
      return {TRef::kFloat, 0, l.AsFloat() / r.AsFloat()};
    }
    if (l.Kind == TRef::kFloat || r.Kind == TRef::kFloat) {
      const double p = l.AsFloat(), q = r.AsFloat();
      return {TRef::kFloat, 0, op == 0 ? p + q : op == 1 ? p - q : p * q};
    }
    const std::int64_t v = op == 0 ? l.I + r.I : op == 1 ? l.I - r.I : l.I * r.I;
    if (v < INT32_MIN || v > INT32_MAX) return {};
    return {TRef::kInt, v};
  }
  static bool Compare(int op, const TRef& l, const TRef& r) {
    const bool ln = l.Kind == TRef::kNull, rn = r.Kind == TRef::kNull;
    if (op == 0) return ln || rn ? ln && rn : l.AsFloat() == r.AsFloat();
    if (op == 1) return ln || rn ? !(ln && rn) : l.AsFloat() != r.AsFloat();
    if (ln != rn) return false;
    const double p = ln ? 0 : l.AsFloat(), q = rn ? 0 : r.AsFloat();
    switch (op) {
      case 2: return p > q;
      case 3: return p < q;
      case 4: return p >= q;
      default: return p <= q;
    }
  }

  std::mt19937 rng_;
};

TEST(EvaluatorPropertyTest, RandomTreesAgreeWithAReferenceEvaluator) {
  // A table of three fields: a and b integers, x a float.
  struct TOwner {
    TRef values[3];
  } owner;
  auto resolve = [](void*, TExpToken& field) {
    const std::string& n = field.Name;
    if (n != "a" && n != "b" && n != "x") return false;
    field.FieldNumber = static_cast<std::uint16_t>(n == "a" ? 1 : n == "b" ? 2 : 3);
    field.DataType = n == "x" ? dtFloat : dtInteger;
    field.SetDataSize(n == "x" ? 8 : 4);
    return true;
  };
  auto fetch = [](void* o, const void*, TExpToken& field) {
    const TRef& v = static_cast<TOwner*>(o)->values[field.FieldNumber - 1];
    field.IsNull = v.Kind == TRef::kNull;
    if (field.DataType == dtFloat) PutF64(field.ValueBuffer.get(), 0, v.F);
    else PutI32(field.ValueBuffer.get(), 0, static_cast<std::int32_t>(v.I));
  };
  TExpressionCheckContext check;
  check.Resolver = resolve;
  check.Owner = &owner;
  TEvaluationContext eval;
  eval.Owner = &owner;
  eval.Fetcher = fetch;
  std::mt19937 rows(99);
  int compared = 0;
  for (std::uint32_t seed = 1; seed <= 1500; ++seed) {
    TRandomTree gen(seed);
    auto draw = [&](bool isFloat) {
      if (rows() % 6 == 0) return TRef{};
      if (isFloat) return TRef{TRef::kFloat, 0, static_cast<double>(static_cast<int>(rows() % 2001) - 1000) / 8};
      return TRef{TRef::kInt, static_cast<int>(rows() % 20001) - 10000};
    };
    gen.a = owner.values[0] = draw(false);
    gen.b = owner.values[1] = draw(false);
    gen.x = owner.values[2] = draw(true);
    TRef expected;
    const bool boolean = seed % 2 == 0;
    const std::string text = boolean ? gen.Boolean(3, expected) : gen.Number(4, expected);
    TExpTokenPtr tree = ParseFilterExpression(text);
    VerifyExpression(check, tree.get());
    TExpressionEvaluator evaluator;
    const TExpToken& v = evaluator.Evaluate(*tree, eval);
    if (expected.Kind == TRef::kNull) {
      EXPECT_TRUE(v.IsNull) << text;
      continue;
    }
    ASSERT_FALSE(v.IsNull) << text;
    ++compared;
    switch (expected.Kind) {
      case TRef::kBool:
        EXPECT_EQ(GetU16(v.ValueBuffer.get(), 0), expected.B ? 1 : 0) << text;
        break;
      case TRef::kInt:
        ASSERT_EQ(v.DataType, dtInteger) << text;
        EXPECT_EQ(GetI32(v.ValueBuffer.get(), 0), expected.I) << text;
        break;
      default:
        ASSERT_EQ(v.DataType, dtFloat) << text;
        EXPECT_EQ(GetF64(v.ValueBuffer.get(), 0), expected.F) << text;
        break;
    }
    // The prepared filter form agrees with the checked tree.
    if (boolean) {
      TExpTokenPtr prepared(BuildNextFilterExpression(tree.get(), &owner, fetch, false, false, 0, 0));
      EXPECT_EQ(evaluator.EvaluateBoolean(*prepared, eval), expected.B) << text;
    }
  }
  EXPECT_GT(compared, 1000);
}

}  // namespace
}  // namespace korvel
