// The values that expressions give at the edges of their types: timestamps before the base
// day, BCD rounding, float overflow and NaN, COALESCE's type, large integers as BCD, ROUND on
// floats, dates and times outside the calendar, texts outside an integer type's range. Each
// group is followed by differential tests against plain references on random input.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "expr/expression_test_table.h"
#include "expr/expression_types.h"
#include "support/text_forms.h"

namespace korvel {
namespace {

using testing::TTestRow;
using testing::TTestTable;

constexpr double kMs = 86400000.0;

class ValuesTest : public ::testing::Test {
 protected:
  ValuesTest() : row(table.NewRow()) {
    table.SetString(row, "Name", "Smith");
    table.SetFloat(row, "Amount", 480.5);
    table.SetInt(row, "Code", 5);
    table.SetInt(row, "Small", -3);
    table.SetInt(row, "Qty", 7);
    table.SetInt(row, "Big", 5000000000LL);
    table.SetBcd(row, "Price", "12.25");
    table.SetDate(row, "Born", 2003, 1, 31);
    table.SetInt(row, "At", 45000000);  // 12:30
    table.SetStamp(row, "Stamp", 2003, 1, 31, 10, 0, 0, 0);
    table.SetInt(row, "Flag", 0);
    table.SetString(row, "Notes", "memo");
  }

  // The evaluated value of a filter text; valid until the next call.
  const TExpToken& Value(const std::string& text) {
    tree_ = table.Checked(text);
    return evaluator_.Evaluate(*tree_, table.EvalContext(&row));
  }
  bool IsNull(const std::string& text) { return Value(text).IsNull != 0; }
  bool True(const std::string& text) {
    const TExpToken& v = Value(text);
    EXPECT_EQ(v.DataType, dtBoolean) << text;
    EXPECT_FALSE(v.IsNull) << text;
    return GetU16(v.ValueBuffer.get(), 0) == 1;
  }
  double Float(const std::string& text) {
    const TExpToken& v = Value(text);
    EXPECT_FALSE(v.IsNull) << text;
    EXPECT_TRUE(v.DataType == dtFloat || v.DataType == dtTimeStamp) << text;
    return GetF64(v.ValueBuffer.get(), 0);
  }
  std::int64_t Int(const std::string& text) {
    const TExpToken& v = Value(text);
    EXPECT_FALSE(v.IsNull) << text;
    switch (v.DataType) {
      case dtSmallInt: return GetI16(v.ValueBuffer.get(), 0);
      case dtWord: return GetU16(v.ValueBuffer.get(), 0);
      case dtLargeInt: return GetI64(v.ValueBuffer.get(), 0);
      default: return GetI32(v.ValueBuffer.get(), 0);
    }
  }
  std::string Bcd(const std::string& text) {
    const TExpToken& v = Value(text);
    EXPECT_FALSE(v.IsNull) << text;
    EXPECT_EQ(v.DataType, dtBCD) << text;
    return BcdToStr(TBcd::FromBytes(v.ValueBuffer.get()));
  }
  std::string Text(const std::string& text) {
    const TExpToken& v = Value(text);
    EXPECT_FALSE(v.IsNull) << text;
    return reinterpret_cast<const char*>(v.ValueBuffer.get());
  }
  static double StampOf(int y, int m, int d, int h, int n, int s, int ms) {
    return static_cast<double>(DateTimeToDayNumber(EncodeDate(y, m, d))) * kMs + ((h * 60 + n) * 60 + s) * 1000 + ms;
  }

  TTestTable table;
  TTestRow row;
  TExpTokenPtr tree_;
  TExpressionEvaluator evaluator_;
};

TEST_F(ValuesTest, TimestampsBeforeTheBaseDayKeepTheirDayAndTime) {
  EXPECT_EQ(Float("CAST('1800-01-01 12:00' AS TIMESTAMP)"), StampOf(1800, 1, 1, 12, 0, 0, 0));
  EXPECT_EQ(Float("CAST('1899-12-29 18:00' AS TIMESTAMP)"), StampOf(1899, 12, 29, 18, 0, 0, 0));
  EXPECT_EQ(Text("CAST(CAST('1899-12-29 18:00' AS TIMESTAMP) AS CHAR(20))"), "1899-12-29 18:00");
  EXPECT_EQ(Float("CAST('0001-01-01 00:00:00.001' AS TIMESTAMP)"), kMs + 1);
  table.SetStamp(row, "Stamp", 1800, 1, 1, 12, 0, 0, 500);
  ASSERT_EQ(GetF64(row.Values[table.Index("Stamp")].data(), 0), StampOf(1800, 1, 1, 12, 0, 0, 500));
  EXPECT_TRUE(True("Stamp = '1800-01-01 12:00:00.500'"));
  EXPECT_FALSE(True("Stamp = '1800-01-02 12:00:00.500'"));
  EXPECT_EQ(Int("EXTRACT(DAY FROM Stamp)"), 1);
  EXPECT_EQ(Int("EXTRACT(HOUR FROM Stamp)"), 12);
  EXPECT_EQ(Int("Stamp - CAST('1800-01-01' AS DATE)"), 0);
  EXPECT_EQ(Int("Stamp - CAST('12:00' AS TIME)"), 500);
}

TEST_F(ValuesTest, BcdResultsAreRoundedOnceFromTheExactValue) {
  EXPECT_EQ(Bcd("CAST(2.45 AS DECIMAL(10,0))"), "2");
  EXPECT_EQ(Bcd("CAST(2.5 AS DECIMAL(10,0))"), "3");
  EXPECT_EQ(Bcd("CAST(0 - 2.5 AS DECIMAL(10,0))"), "-3");
  EXPECT_EQ(Bcd("CAST('1.2345' AS DECIMAL(10,2))"), "1.23");
  EXPECT_EQ(Bcd("CAST('0.0049999' AS DECIMAL(10,2))"), "0");
  EXPECT_EQ(Bcd("CAST(0.89 AS DECIMAL(10,2)) * CAST(0.05 AS DECIMAL(10,2))"), "0.04");
  // 0.015 * 0.03 is 0.00045: to 3 places 0, not 0.0005 first and then 0.001.
  EXPECT_EQ(Bcd("CAST('0.015' AS DECIMAL(10,3)) * CAST('0.03' AS DECIMAL(10,3))"), "0");
  EXPECT_EQ(Bcd("CAST('1' AS DECIMAL(10,3)) / CAST('2000' AS DECIMAL(10,0))"), "0.001");  // 0.0005
  EXPECT_EQ(Bcd("CAST(CAST('1.2345' AS DECIMAL(10,4)) AS DECIMAL(10,2))"), "1.23");
  EXPECT_EQ(Bcd("Price / 3"), "4.08");
  EXPECT_EQ(Bcd("ROUND(Price TO 1)"), "12.3");
  EXPECT_EQ(Bcd("ROUND(CAST('-0.125' AS DECIMAL(10,3)) TO 2)"), "-0.13");
  EXPECT_TRUE(IsNull("CAST('900000000000000' AS DECIMAL(18,0)) * 100"));  // beyond the currency range
}

TEST_F(ValuesTest, FloatOverflowAndNaNAreNullAndNeverEqual) {
  table.SetFloat(row, "Amount", 1e308);
  EXPECT_TRUE(IsNull("Amount * 10"));
  EXPECT_TRUE(IsNull("Amount + Amount"));
  EXPECT_TRUE(IsNull("Amount / 0.5e-10"));
  EXPECT_TRUE(IsNull("0 - Amount * 10"));
  EXPECT_EQ(Float("Amount - Amount"), 0.0);
  EXPECT_FALSE(True("(Amount * 10 - Amount * 10) = 5"));
  EXPECT_FALSE(True("(Amount * 10 - Amount * 10) BETWEEN 1 AND 2"));
  EXPECT_FALSE(True("(Amount * 10 - Amount * 10) IN (7)"));
  EXPECT_TRUE(IsNull("CAST('NAN' AS FLOAT)"));
  EXPECT_TRUE(IsNull("CAST('-INF' AS FLOAT)"));
  EXPECT_FALSE(True("CAST('NAN' AS FLOAT) = 5"));
  EXPECT_EQ(Float("CAST('1e400' AS FLOAT)"), 0.0);  // does not read: the zero value
  // A NaN or an infinity stored in a record: unordered values equal nothing.
  table.SetFloat(row, "Amount", std::numeric_limits<double>::quiet_NaN());
  for (const char* never : {"Amount = 5", "Amount = Amount", "Amount > 1", "Amount < 1", "Amount >= Amount",
                            "Amount <= 1", "Amount BETWEEN 1 AND 2", "Amount IN (5, 7)", "Amount = Code"}) {
    EXPECT_FALSE(True(never)) << never;
  }
  for (const char* always : {"Amount <> 5", "Amount <> Amount", "Amount NOT BETWEEN 1 AND 2", "Amount NOT IN (5)"}) {
    EXPECT_TRUE(True(always)) << always;
  }
  for (const char* null : {"Amount + 1", "-Amount", "ABS(Amount)", "CAST(Amount AS INTEGER)",
                           "CAST(Amount AS DECIMAL(10,2))", "CAST(Amount AS CHAR(10))", "ROUND(Amount)"}) {
    EXPECT_TRUE(IsNull(null)) << null;
  }
  TExpTokenPtr checked = table.Checked("Amount = 5");
  TExpTokenPtr prepared(BuildNextFilterExpression(checked.get(), &table, &TTestTable::Fetch, false, false, 0, 0));
  EXPECT_FALSE(evaluator_.EvaluateBoolean(*prepared, table.EvalContext(&row)));
  table.SetFloat(row, "Amount", std::numeric_limits<double>::infinity());
  EXPECT_TRUE(True("Amount > 5"));  // an infinity is ordered
  EXPECT_TRUE(IsNull("Amount * 0"));
}

TEST_F(ValuesTest, CoalesceAndIfNullTakeTheTypeThatHoldsEveryArgument) {
  table.SetNull(row, "Code");
  EXPECT_EQ(Value("COALESCE(Code, Big)").DataType, dtLargeInt);
  EXPECT_EQ(Int("COALESCE(Code, Big)"), 5000000000LL);
  EXPECT_EQ(Float("COALESCE(Code, Amount)"), 480.5);
  EXPECT_EQ(Float("IFNULL(Code, Amount, Code)"), 480.5);
  EXPECT_EQ(Bcd("COALESCE(Code, Price)"), "12.25");
  EXPECT_EQ(Value("COALESCE(Small, Qty)").DataType, dtInteger);
  table.SetInt(row, "Code", 7);
  EXPECT_EQ(Bcd("COALESCE(Code, Price)"), "7");
  table.SetNull(row, "Born");
  EXPECT_EQ(Value("COALESCE(Born, Stamp)").DataType, dtTimeStamp);
  EXPECT_EQ(Float("COALESCE(Born, Stamp)"), StampOf(2003, 1, 31, 10, 0, 0, 0));  // the time is kept
  table.SetDate(row, "Born", 2001, 2, 3);
  EXPECT_EQ(Float("COALESCE(Born, Stamp)"), StampOf(2001, 2, 3, 0, 0, 0, 0));
  EXPECT_EQ(Value("COALESCE(Name, Notes)").DataType, dtBlob);
  EXPECT_EQ(Value("COALESCE(Name, Notes)").SubType, stMemo);
  // Arguments of different families are refused at check time.
  EXPECT_EQ(table.CheckError("COALESCE(Code, Name)"),
            "Type mismatch between COALESCE expression arguments in filter expression");
  EXPECT_EQ(table.CheckError("IFNULL(Code, Born, Amount)"),
            "Type mismatch between IFNULL expression arguments in filter expression");
  EXPECT_EQ(table.CheckError("COALESCE(At, Stamp)"),
            "Type mismatch between COALESCE expression arguments in filter expression");
}

TEST_F(ValuesTest, LargeIntegersConvertToBcdExactly) {
  table.SetInt(row, "Big", INT64_MAX);
  EXPECT_EQ(Bcd("CAST(Big AS DECIMAL(20,0))"), "9223372036854775807");
  EXPECT_EQ(Text("CAST(CAST(Big AS DECIMAL(20,0)) AS CHAR(25))"), "9223372036854775807");
  table.SetInt(row, "Big", INT64_MIN);
  EXPECT_EQ(Bcd("CAST(Big AS DECIMAL(20,4))"), "-9223372036854775808");
  EXPECT_EQ(Bcd("CAST(9223372036854775807 AS DECIMAL(20,0))"), "9223372036854775807");
  table.SetInt(row, "Big", -123);
  EXPECT_EQ(Bcd("CAST(Big AS DECIMAL(20,2))"), "-123");
}

TEST_F(ValuesTest, RoundOnFloatsGivesTheNearestDoubleOfTheRoundedDecimal) {
  EXPECT_TRUE(True("ROUND(1.234 TO 2) = 1.23"));
  EXPECT_EQ(Float("ROUND(0.49999999999999994)"), 0.0);
  EXPECT_EQ(Float("ROUND(4503599627370497.0)"), 4503599627370497.0);
  EXPECT_EQ(Float("ROUND(2.5)"), 3.0);
  EXPECT_EQ(Float("ROUND(-2.5)"), -3.0);
  EXPECT_EQ(Float("ROUND(1.005 TO 2)"), 1.01);
  EXPECT_EQ(Float("ROUND(Amount TO 32)"), 480.5);
}

TEST_F(ValuesTest, DatesAndTimesOutsideTheCalendarAreNull) {
  table.SetDate(row, "Born", 9999, 12, 31);
  EXPECT_TRUE(IsNull("Born + 1"));
  EXPECT_TRUE(IsNull("1 + Born"));
  EXPECT_TRUE(IsNull("CAST(Born + 1 AS CHAR(12))"));
  EXPECT_EQ(Text("CAST(Born AS CHAR(12))"), "9999-12-31");
  table.SetDate(row, "Born", 1, 1, 1);
  EXPECT_TRUE(IsNull("Born - 1"));
  EXPECT_TRUE(IsNull("Born - 400"));
  EXPECT_TRUE(IsNull("CAST(Born - 400 AS CHAR(12))"));
  EXPECT_TRUE(IsNull("-Born"));
  EXPECT_EQ(Text("CAST(Born AS CHAR(12))"), "0001-01-01");
  EXPECT_TRUE(IsNull("At + 86400000"));  // a time plus a day
  EXPECT_TRUE(IsNull("At - 45000001"));  // a negative time
  EXPECT_TRUE(IsNull("-At"));
  EXPECT_EQ(Int("At - 45000000"), 0);
  EXPECT_EQ(Int("At + 41399999"), 86399999);
  table.SetStamp(row, "Stamp", 9999, 12, 31, 23, 0, 0, 0);
  EXPECT_TRUE(IsNull("Stamp + 1"));
  EXPECT_TRUE(IsNull("-Stamp"));
  EXPECT_TRUE(IsNull("CAST(Stamp + 1 AS CHAR(30))"));
  EXPECT_TRUE(IsNull("CAST(Stamp + 1 AS DATE)"));
  EXPECT_EQ(Text("CAST(Stamp AS CHAR(30))"), "9999-12-31 23:00");
  // A damaged value in a record converts to NULL rather than to a text that does not read back.
  table.SetInt(row, "Born", 0);
  EXPECT_TRUE(IsNull("CAST(Born AS CHAR(12))"));
  EXPECT_TRUE(IsNull("CAST(Born AS TIMESTAMP)"));
}

TEST_F(ValuesTest, TextsOutsideAnIntegerTypesRangeGiveTheZeroValue) {
  EXPECT_EQ(Int("CAST('99999999999' AS INTEGER)"), 0);
  EXPECT_EQ(Int("CAST('2147483647' AS INTEGER)"), INT32_MAX);
  EXPECT_EQ(Int("CAST('-2147483648' AS INTEGER)"), INT32_MIN);
  EXPECT_EQ(Int("CAST('40000' AS SMALLINT)"), 0);
  EXPECT_EQ(Int("CAST('-32768' AS SMALLINT)"), -32768);
  EXPECT_EQ(Int("CAST('-1' AS WORD)"), 0);
  EXPECT_EQ(Int("CAST('65535' AS WORD)"), 65535);
  EXPECT_EQ(Int("CAST('99999999999' AS LARGEINT)"), 99999999999LL);
  EXPECT_EQ(Int("CAST('99999999999999999999' AS LARGEINT)"), 0);
  std::uint8_t buffer[kValueBufferSize] = {};
  std::strcpy(reinterpret_cast<char*>(buffer), "99999999999");
  EXPECT_FALSE(ConvertExpression(dtString, 12, 0, buffer, 0, 4, dtInteger));
  EXPECT_EQ(GetI32(buffer, 0), 0);
}

// ---- differential tests ------------------------------------------------------------------

__int128 Pow10(int n) {
  __int128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

__int128 RoundedQuotient(__int128 num, __int128 den) {
  if (den < 0) {
    num = -num;
    den = -den;
  }
  const __int128 m = num < 0 ? -num : num;
  __int128 q = m / den;
  if (2 * (m % den) >= den) ++q;
  return num < 0 ? -q : q;
}

std::string Digits(__int128 v) {
  std::string s;
  const bool negative = v < 0;
  if (negative) v = -v;
  do {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return (negative ? "-" : "") + s;
}

// "[-]i.fff" of a value in units of 10^-scale, trailing zeros trimmed as BcdToStr does.
std::string DecimalText(__int128 units, int scale) {
  std::string s = Digits(units < 0 ? -units : units);
  if (static_cast<int>(s.size()) <= scale) s.insert(0, static_cast<std::size_t>(scale + 1) - s.size(), '0');
  if (scale > 0) {
    s.insert(s.size() - static_cast<std::size_t>(scale), 1, '.');
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "0") return s;
  return (units < 0 ? "-" : "") + s;
}

// Random BCD operands and scales: the engine's arithmetic against 128-bit exact arithmetic,
// rounded once to the result's decimals, NULL beyond the currency range.
TEST(ValuesDifferentialTest, BcdArithmeticAgreesWithAnExactReference) {
  TTestTable table;
  TTestRow row = table.NewRow();
  std::mt19937_64 rng(2024);
  const char* ops = "+-*/";
  int compared = 0, nulls = 0;
  for (int i = 0; i < 3000; ++i) {
    int scale[2];
    __int128 units[2];
    std::string text[2];
    for (int k = 0; k < 2; ++k) {
      scale[k] = static_cast<int>(rng() % 5);
      const int digits = 1 + static_cast<int>(rng() % (rng() % 4 == 0 ? 19 : 9));
      __int128 u = 0;
      for (int d = 0; d < digits; ++d) u = u * 10 + static_cast<int>(rng() % 10);
      if (rng() % 4 == 0) u = u - u % 10 + 5;
      units[k] = rng() % 3 == 0 ? -u : u;
      text[k] = DecimalText(units[k], scale[k]);
    }
    const int op = static_cast<int>(rng() % 4);
    const int places = std::max(scale[0], scale[1]);
    const std::string expression = "CAST('" + text[0] + "' AS DECIMAL(30," + std::to_string(scale[0]) + ")) " +
                                   ops[op] + " CAST('" + text[1] + "' AS DECIMAL(30," + std::to_string(scale[1]) + "))";
    // The operands at 4 decimals, as the engine reads them; beyond 64 bits the result is NULL.
    const __int128 a = units[0] * Pow10(4 - scale[0]), b = units[1] * Pow10(4 - scale[1]);
    bool null = a > INT64_MAX || a < INT64_MIN || b > INT64_MAX || b < INT64_MIN;
    __int128 rounded = 0;  // at `places` decimals
    if (!null) {
      switch (op) {
        case 0: rounded = RoundedQuotient(a + b, Pow10(4 - places)); break;
        case 1: rounded = RoundedQuotient(a - b, Pow10(4 - places)); break;
        case 2: rounded = RoundedQuotient(a * b, Pow10(8 - places)); break;
        default:
          if (b == 0) null = true;
          else rounded = RoundedQuotient(a * Pow10(places), b);
      }
      const __int128 raw = rounded * Pow10(4 - places);
      if (raw > INT64_MAX || raw < INT64_MIN) null = true;
    }
    TExpTokenPtr tree = table.Checked(expression);
    TExpressionEvaluator evaluator;
    const TExpToken& v = evaluator.Evaluate(*tree, table.EvalContext(&row));
    ASSERT_EQ(v.DataType, dtBCD) << expression;
    ASSERT_EQ(v.IsNull != 0, null) << expression;
    if (null) {
      ++nulls;
      continue;
    }
    const TBcd result = TBcd::FromBytes(v.ValueBuffer.get());
    EXPECT_EQ(result.Scale(), places) << expression;
    ASSERT_EQ(BcdToStr(result), DecimalText(rounded, places)) << expression;
    ++compared;
  }
  EXPECT_GT(compared, 2000);
  EXPECT_GT(nulls, 50);
}

// Random texts of up to 8 decimals and random integers, cast to BCD of scale 0 to 4.
TEST(ValuesDifferentialTest, CastsToBcdAgreeWithAnExactReference) {
  TTestTable table;
  TTestRow row = table.NewRow();
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const int scale = static_cast<int>(rng() % 9);
    const int places = static_cast<int>(rng() % 5);
    __int128 u = 0;
    const int digits = 1 + static_cast<int>(rng() % 24);
    for (int d = 0; d < digits; ++d) u = u * 10 + static_cast<int>(rng() % 10);
    if (rng() % 3 == 0) u = u - u % 100 + (rng() % 2 ? 50 : 49);
    if (rng() % 2) u = -u;
    const std::string text = DecimalText(u, scale);
    const __int128 expected = scale <= places ? u * Pow10(places - scale) : RoundedQuotient(u, Pow10(scale - places));
    TExpTokenPtr tree = table.Checked("CAST('" + text + "' AS DECIMAL(32," + std::to_string(places) + "))");
    TExpressionEvaluator evaluator;
    const TExpToken& v = evaluator.Evaluate(*tree, table.EvalContext(&row));
    ASSERT_FALSE(v.IsNull) << text;
    EXPECT_EQ(BcdToStr(TBcd::FromBytes(v.ValueBuffer.get())), DecimalText(expected, places)) << text << " to " << places;

    const std::int64_t big = static_cast<std::int64_t>(rng());
    table.SetInt(row, "Big", big);
    tree = table.Checked("CAST(Big AS DECIMAL(32," + std::to_string(places) + "))");
    const TExpToken& b = evaluator.Evaluate(*tree, table.EvalContext(&row));
    EXPECT_EQ(BcdToStr(TBcd::FromBytes(b.ValueBuffer.get())), Digits(big)) << big;
  }
}

// The civil date of an engine day number, counted plainly: 400-year cycles, then year by year
// and month by month.
void ReferenceDate(std::int64_t day, int& year, int& month, int& dayOfMonth) {
  std::int64_t n = day - 1;  // days since 1 January 0001
  year = 1 + static_cast<int>(n / 146097) * 400;
  n %= 146097;
  auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  while (n >= (leap(year) ? 366 : 365)) n -= leap(year) ? 366 : 365, ++year;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  month = 1;
  while (n >= kDays[month - 1] + (month == 2 && leap(year))) n -= kDays[month - 1] + (month == 2 && leap(year)), ++month;
  dayOfMonth = static_cast<int>(n) + 1;
}

std::string Padded(int v, int width) {
  std::string s = std::to_string(v);
  return std::string(static_cast<std::size_t>(std::max(0, width - static_cast<int>(s.size()))), '0') + s;
}

// Random date-times across years 1 to 9999, before and after 30 December 1899: their text
// matches a plain calendar, reads back to the same value, and EXTRACT gives its parts.
TEST(ValuesDifferentialTest, DateTimesSurviveTextAcrossTheCalendar) {
  TTestTable table;
  TTestRow row = table.NewRow();
  TExpTokenPtr toText = table.Checked("CAST(Stamp AS CHAR(30))");
  TExpTokenPtr roundTrip = table.Checked("CAST(CAST(Stamp AS CHAR(30)) AS TIMESTAMP) = Stamp");
  TExpTokenPtr year = table.Checked("EXTRACT(YEAR FROM Stamp) * 10000 + EXTRACT(MONTH FROM Stamp) * 100 + "
                                    "EXTRACT(DAY FROM Stamp)");
  TExpTokenPtr clock = table.Checked("EXTRACT(HOUR FROM Stamp) * 10000 + EXTRACT(MINUTE FROM Stamp) * 100 + "
                                     "EXTRACT(SECOND FROM Stamp)");
  TExpressionEvaluator evaluator;
  std::mt19937_64 rng(1899);
  int before = 0;
  for (int i = 0; i < 3000; ++i) {
    std::int64_t day = 0;
    switch (rng() % 4) {
      case 0: day = kDateDelta - 400 + static_cast<std::int64_t>(rng() % 800); break;  // around the base day
      case 1: day = rng() % 2 ? 1 + static_cast<std::int64_t>(rng() % 400) : kLastDayNumber - static_cast<std::int64_t>(rng() % 400); break;
      default: day = 1 + static_cast<std::int64_t>(rng() % kLastDayNumber);
    }
    std::int64_t ms = static_cast<std::int64_t>(rng() % 86400000);
    if (rng() % 4 == 0) ms -= ms % 1000;  // whole seconds print without milliseconds
    if (rng() % 8 == 0) ms = 0;
    before += day < kDateDelta;
    const double stamp = static_cast<double>(day) * kMs + static_cast<double>(ms);
    table.SetFloat(row, "Stamp", stamp);
    int y = 0, m = 0, d = 0;
    ReferenceDate(day, y, m, d);
    const int h = static_cast<int>(ms / 3600000), n = static_cast<int>(ms / 60000 % 60);
    const int s = static_cast<int>(ms / 1000 % 60), z = static_cast<int>(ms % 1000);
    std::string expected = Padded(y, 4) + "-" + Padded(m, 2) + "-" + Padded(d, 2) + " " + Padded(h, 2) + ":" + Padded(n, 2);
    if (s != 0) expected += ":" + Padded(s, 2) + (z != 0 ? "." + std::to_string(z) : "");
    const TEvaluationContext context = table.EvalContext(&row);
    const TExpToken& text = evaluator.Evaluate(*toText, context);
    ASSERT_STREQ(reinterpret_cast<const char*>(text.ValueBuffer.get()), expected.c_str()) << day << " " << ms;
    if (s != 0 || z == 0) {  // milliseconds are only written beside non-zero seconds
      EXPECT_TRUE(evaluator.EvaluateBoolean(*roundTrip, context)) << expected;
    }
    EXPECT_EQ(GetI32(evaluator.Evaluate(*year, context).ValueBuffer.get(), 0), y * 10000 + m * 100 + d) << expected;
    EXPECT_EQ(GetI32(evaluator.Evaluate(*clock, context).ValueBuffer.get(), 0), h * 10000 + n * 100 + s) << expected;
    // The ANSI reader and writer on their own, milliseconds included.
    const std::string full = expected.substr(0, 16) + ":" + Padded(s, 2) + "." + Padded(z, 3);
    TDateTime read = 0;
    ASSERT_TRUE(TryStrToAnsiDateTime(full, read)) << full;
    ASSERT_EQ(DateTimeToTimeStampValue(read), stamp) << full;
  }
  EXPECT_GT(before, 500);
}

// A random double near the limits of the type: huge, tiny, subnormal, zero, or any finite bits.
double NearTheLimits(std::mt19937_64& rng) {
  const double sign = rng() % 2 ? -1.0 : 1.0;
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  switch (rng() % 6) {
    case 0: return sign * unit(rng) * std::ldexp(1.0, 1020 + static_cast<int>(rng() % 4));  // near the top
    case 1: return sign * unit(rng) * std::ldexp(1.0, -1022 - static_cast<int>(rng() % 52));  // subnormal
    case 2: return sign * unit(rng) * std::ldexp(1.0, -1020 + static_cast<int>(rng() % 40));
    case 3: return rng() % 4 == 0 ? sign * 0.0 : sign * static_cast<double>(rng() % 1000);
    default: {
      double v = 0;
      do v = std::bit_cast<double>(rng());
      while (!std::isfinite(v));
      return v;
    }
  }
}

// Random float arithmetic near the limits against the IEEE result, with the rule that a result
// that is not a finite number (and a division by zero) is NULL; comparisons against IEEE's,
// NaN included.
TEST(ValuesDifferentialTest, FloatArithmeticNearTheLimitsFollowsIeeeWithTheNullRule) {
  TTestTable table;
  TTestRow row = table.NewRow();
  const char* opTexts[] = {"Amount + Fee", "Amount - Fee", "Amount * Fee", "Amount / Fee"};
  const char* cmpTexts[] = {"Amount = Fee", "Amount <> Fee", "Amount < Fee", "Amount > Fee", "Amount <= Fee",
                            "Amount >= Fee", "Amount BETWEEN Fee AND Fee", "Amount IN (Fee)"};
  std::vector<TExpTokenPtr> ops, cmps;
  for (const char* t : opTexts) ops.push_back(table.Checked(t));
  for (const char* t : cmpTexts) cmps.push_back(table.Checked(t));
  TExpressionEvaluator evaluator;
  std::mt19937_64 rng(308);
  int nulls = 0, values = 0;
  for (int i = 0; i < 20000; ++i) {
    double a = NearTheLimits(rng), b = rng() % 8 == 0 ? a : NearTheLimits(rng);
    if (rng() % 50 == 0) a = std::numeric_limits<double>::quiet_NaN();  // stored by an application
    if (rng() % 50 == 0) b = rng() % 2 ? std::numeric_limits<double>::infinity() : std::nan("");
    table.SetFloat(row, "Amount", a);
    table.SetFloat(row, "Fee", b);
    const TEvaluationContext context = table.EvalContext(&row);
    const double ieee[] = {a + b, a - b, a * b, a / b};
    for (int op = 0; op < 4; ++op) {
      const TExpToken& v = evaluator.Evaluate(*ops[static_cast<std::size_t>(op)], context);
      const bool null = !std::isfinite(ieee[op]) || (op == 3 && b == 0);
      ASSERT_EQ(v.IsNull != 0, null) << a << " " << opTexts[op] << " " << b;
      if (null) {
        ++nulls;
        continue;
      }
      ++values;
      ASSERT_EQ(std::bit_cast<std::uint64_t>(GetF64(v.ValueBuffer.get(), 0)), std::bit_cast<std::uint64_t>(ieee[op]))
          << a << " " << opTexts[op] << " " << b;
    }
    const bool expected[] = {a == b, a != b, a < b, a > b, a <= b, a >= b, a >= b && a <= b, a == b};
    for (std::size_t c = 0; c < cmps.size(); ++c) {
      ASSERT_EQ(evaluator.EvaluateBoolean(*cmps[c], context), expected[c]) << a << " " << cmpTexts[c] << " " << b;
    }
  }
  EXPECT_GT(nulls, 1000);
  EXPECT_GT(values, 40000);
}

}  // namespace
}  // namespace korvel
