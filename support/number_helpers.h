#pragma once
// Number helpers shared by the engine and the expression engine: rounding, currency and BCD
// glue, minimum and maximum, and the ISO 8601 calendar used by EXTRACT.

#include <cstdint>
#include <string>

#include "framework/currency_bcd.h"
#include "framework/date_time.h"

namespace korvel {

// The value rounded to `decimals` places, halves away from zero, as a decimal: the result is
// the double nearest the rounded decimal value of the value's shortest text (1.234 to 2
// places equals the literal 1.23; 2.5 gives 3, -2.5 gives -3). 0, NaN and infinities stay.
double RoundFloat(double value, int decimals);
// base multiplied exponent times (exponent 0 or below gives 1).
double PowerFloat(int exponent, double base);
// Truncation toward zero.
double FloorFloat(double value);
// Currency rounded to decimals (capped at 4), halves away from zero.
Currency RoundCurr(Currency value, int decimals);

// Currency -> BCD with precision 32 and the given scale (0..4).
TBcd CurrToTBCD(Currency value, int decimals);
// BCD -> currency; a record of precision 0 gives 0. Throws EConvertError "BCD overflow" for a
// value beyond the currency range or a malformed record.
Currency TBCDToCurr(const TBcd& value);
// "##############0", then "." and `decimals` zeros when decimals is not 0.
std::string MakeBCDDisplayFormat(int decimals);

inline std::int32_t MaximumInteger(std::int32_t a, std::int32_t b) { return a > b ? a : b; }
inline std::int32_t MinimumInteger(std::int32_t a, std::int32_t b) { return a < b ? a : b; }
inline std::int64_t MaximumLargeInt(std::int64_t a, std::int64_t b) { return a > b ? a : b; }
inline std::int64_t MinimumLargeInt(std::int64_t a, std::int64_t b) { return a < b ? a : b; }
inline std::uint16_t MaximumWord(std::uint16_t a, std::uint16_t b) { return a > b ? a : b; }
inline std::uint16_t MinimumWord(std::uint16_t a, std::uint16_t b) { return a < b ? a : b; }
inline std::int16_t MaximumSmallInt(std::int16_t a, std::int16_t b) { return a > b ? a : b; }
inline std::int16_t MinimumSmallInt(std::int16_t a, std::int16_t b) { return a < b ? a : b; }
inline double MaximumFloat(double a, double b) { return a > b ? a : b; }
inline double MinimumFloat(double a, double b) { return a < b ? a : b; }
inline std::int64_t MaximumComp(std::int64_t a, std::int64_t b) { return a > b ? a : b; }
inline std::int64_t MinimumComp(std::int64_t a, std::int64_t b) { return a < b ? a : b; }
inline std::uint8_t MaximumByte(std::uint8_t a, std::uint8_t b) { return a > b ? a : b; }
inline std::uint8_t MinimumByte(std::uint8_t a, std::uint8_t b) { return a < b ? a : b; }
inline TBcd MaximumBCD(const TBcd& a, const TBcd& b) { return BcdCompare(a, b) >= 0 ? a : b; }
inline TBcd MinimumBCD(const TBcd& a, const TBcd& b) { return BcdCompare(a, b) <= 0 ? a : b; }
inline bool WithinBounds(std::int64_t value, std::int64_t low, std::int64_t high) {
  return low <= value && value <= high;
}

// ISO 8601 calendar: Monday 1 ... Sunday 7; 1 January is day 1; week 1 is the Monday-to-Sunday
// week that holds 4 January, so the first days of January may lie in the previous year's last
// week (52 or 53) and the last days of December in the next year's week 1.
int ISODayOfWeek(TDateTime value);
int ISODayOfYear(TDateTime value);
int ISOWeekNumber(TDateTime value);

}  // namespace korvel
