#include "support/number_helpers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "framework/exceptions.h"

namespace korvel {

double PowerFloat(int exponent, double base) {
  double r = 1;
  for (int i = 0; i < exponent; ++i) r *= base;
  return r;
}

double FloorFloat(double value) { return std::trunc(value); }

double RoundFloat(double value, int decimals) {
  if (value == 0 || !std::isfinite(value)) return value;
  if (decimals < 0) decimals = 0;
  // Round the shortest decimal text that reads back as the value, so that 1.234 to 2 places is
  // the double nearest 1.23 and 0.49999999999999994 stays below a half; then read the rounded
  // digits back, which gives the double nearest the rounded decimal value. No allocation: ROUND
  // runs once per record.
  char text[40];  // "-d.ddddddddddddddddde-308"
  const char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  const bool negative = text[0] == '-';
  const char* e = std::find(static_cast<const char*>(text), end, 'e');
  char digits[24];
  int count = 0;
  for (const char* p = text + (negative ? 1 : 0); p < e; ++p)
    if (*p != '.') digits[count++] = *p;
  int exponent = 0;  // of the first digit
  std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
  const long keep = static_cast<long>(exponent) + 1 + decimals;  // digits before the cut
  if (keep >= count) return value;
  if (keep < 0) return 0;
  const bool up = digits[keep] >= '5';
  count = static_cast<int>(keep);
  if (up) {
    int i = count;
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      std::memmove(digits + 1, digits, static_cast<std::size_t>(count));
      digits[0] = '1';
      ++count;
    } else {
      ++digits[i - 1];
    }
  }
  if (std::all_of(digits, digits + count, [](char c) { return c == '0'; })) return 0;
  char rounded[64];
  char* out = rounded;
  if (negative) *out++ = '-';
  out = std::copy(digits, digits + count, out);
  *out++ = 'e';
  out = std::to_chars(out, rounded + sizeof rounded, -decimals).ptr;
  double result = 0;
  std::from_chars(rounded, out, result);
  return result;
}

Currency RoundCurr(Currency value, int decimals) {
  if (decimals >= 4) return value;
  if (decimals < 0) decimals = 0;
  std::int64_t unit = 1;
  for (int i = decimals; i < 4; ++i) unit *= 10;
  std::int64_t q = value.Raw / unit;
  std::int64_t r = value.Raw % unit;  // carries the sign of the value
  if (r != 0 && (r > 0 ? r : -r) * 2 >= unit) {
    std::int64_t away = r > 0 ? q + 1 : q - 1;
    // At the very ends of the range the rounded value does not exist: keep the truncated one.
    if (away <= INT64_MAX / unit && away >= INT64_MIN / unit) q = away;
  }
  return Currency::FromRaw(q * unit);
}

TBcd CurrToTBCD(Currency value, int decimals) {
  TBcd bcd;
  CurrToBCD(value, bcd, 32, decimals);  // 32 digits hold every currency value
  return bcd;
}

Currency TBCDToCurr(const TBcd& value) {
  if (value.Precision == 0) return Currency{};
  Currency c;
  if (!BCDToCurr(value, c)) throw EConvertError("BCD overflow");
  return c;
}

std::string MakeBCDDisplayFormat(int decimals) {
  std::string f = "##############0";
  if (decimals > 0) {
    f += '.';
    f.append(static_cast<std::size_t>(decimals), '0');
  }
  return f;
}

int ISODayOfWeek(TDateTime value) {
  int d = DayOfWeek(value);  // 1 = Sunday
  return d == 1 ? 7 : d - 1;
}

int ISODayOfYear(TDateTime value) {
  int y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  return static_cast<int>(std::trunc(value) - EncodeDate(y, 1, 1)) + 1;
}

namespace {

// The Monday of week 1 of a year: the Monday of the week that holds 4 January.
double WeekOneMonday(int year) {
  double jan4 = EncodeDate(year, 1, 4);
  return jan4 - (ISODayOfWeek(jan4) - 1);
}

}  // namespace

int ISOWeekNumber(TDateTime value) {
  int y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  double day = std::trunc(value);
  double monday = WeekOneMonday(y);
  if (day < monday) {
    // The last week of the previous year (year 1 has none before it: its first days count
    // from the Monday they would have had).
    monday = y > 1 ? WeekOneMonday(y - 1) : monday - 7 * 52;
  } else if (y < 9999 && day >= WeekOneMonday(y + 1)) {
    return 1;
  }
  return static_cast<int>((day - monday) / 7) + 1;
}

}  // namespace korvel
