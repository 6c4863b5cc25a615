#include "support/number_helpers.h"

#include <cmath>

#include "framework/exceptions.h"

namespace korvel {

double PowerFloat(int exponent, double base) {
  double r = 1;
  for (int i = 0; i < exponent; ++i) r *= base;
  return r;
}

double FloorFloat(double value) { return std::trunc(value); }

double RoundFloat(double value, int decimals) {
  if (value == 0) return 0;
  double unit = PowerFloat(decimals, 0.1);
  double q = value / unit;
  return value > 0 ? std::trunc(q + 0.5) * unit : std::trunc(q - 0.5) * unit;
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
