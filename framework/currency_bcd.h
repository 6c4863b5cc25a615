#pragma once
// Currency and packed decimal values.
//
// Currency: a signed 64-bit count of 1/10,000, so four exact decimals.
//
// TBcd: the 34-byte packed decimal record, stored as it is in records and files:
//   OFFSET SIZE DESCRIPTION
//        0    1 Precision: number of digits held in Fraction (0..64; 0 means the value 0)
//        1    1 SignSpecialPlaces: bit 7 sign (1 = negative), bit 6 special, bits 0-5 scale
//                (digits after the decimal point, 0..Precision)
//        2   32 Fraction: the digits, two per byte, high nibble first, most significant first
// A value is (digits as an integer) / 10^scale, negated when the sign bit is set.

#include <array>
#include <cstdint>
#include <string>

namespace korvel {

struct Currency {
  static constexpr std::int64_t kScale = 10000;
  std::int64_t Raw = 0;  // count of 1/10,000

  static constexpr Currency FromRaw(std::int64_t raw) { return Currency{raw}; }
  static constexpr Currency FromInt(std::int64_t units) { return Currency{units * kScale}; }
  friend constexpr bool operator==(Currency, Currency) = default;
  friend constexpr auto operator<=>(Currency a, Currency b) { return a.Raw <=> b.Raw; }
};

inline constexpr Currency kMinCurrency = Currency::FromRaw(INT64_MIN);
inline constexpr Currency kMaxCurrency = Currency::FromRaw(INT64_MAX);

double CurrToDouble(Currency value);
// Rounds to the nearest 1/10,000, halves away from zero; false when out of range or NaN.
bool TryDoubleToCurr(double value, Currency& result);
// Throws EConvertError "Floating point value out of currency range".
Currency DoubleToCurr(double value);

// General currency text: the shortest exact decimal ("12.5", "-0.0001", "3").
std::string CurrToStr(Currency value, char decimalSeparator = '.');
// Reads [sign]digits[sep digits][E[sign]digits]; more than four decimals are rounded, halves
// away from zero. Throws EConvertError "'<text>' is not a valid floating point value".
bool TryStrToCurr(const std::string& text, Currency& value, char decimalSeparator = '.');
Currency StrToCurr(const std::string& text, char decimalSeparator = '.');

struct TBcd {
  static constexpr std::size_t kSize = 34;
  static constexpr std::size_t kMaxDigits = 64;
  std::uint8_t Precision = 0;
  std::uint8_t SignSpecialPlaces = 0;
  std::array<std::uint8_t, 32> Fraction{};

  bool Negative() const { return (SignSpecialPlaces & 0x80) != 0; }
  int Scale() const { return SignSpecialPlaces & 0x3F; }
  int Digit(int i) const { return (i & 1) ? Fraction[i / 2] & 0x0F : Fraction[i / 2] >> 4; }
  void SetDigit(int i, int d);

  // The record's 34 bytes.
  void ToBytes(void* destination) const;
  static TBcd FromBytes(const void* source);
  friend bool operator==(const TBcd&, const TBcd&) = default;
};

// The conversions to BCD below write `precision` digits (leading zeros included) with scale
// `decimals`, rounding the exact value once to that many places, halves away from zero (1.45
// to 0 places is 1, 2.4449 to 2 places is 2.44). They return false when a digit before the
// point would not fit the precision.
// Currency -> BCD; decimals 0..4.
bool CurrToBCD(Currency value, TBcd& bcd, int precision = 32, int decimals = 4);
// BCD -> BCD of another scale; also false for a malformed record.
bool RoundBcd(const TBcd& value, int decimals, TBcd& result, int precision = 32);
bool Int64ToBCD(std::int64_t value, TBcd& bcd, int precision = 32, int decimals = 0);
// Decimal text -> BCD, exactly (no detour through currency or double).
bool TryStrToBcd(const std::string& text, TBcd& bcd, int precision, int decimals,
                 char decimalSeparator = '.');
// Double -> BCD through its shortest decimal text; false for NaN and infinities too.
bool DoubleToBcd(double value, TBcd& bcd, int precision, int decimals);
// BCD -> currency, rounding digits beyond four decimals; false when out of range or malformed.
// A record of precision 0 is 0.
bool BCDToCurr(const TBcd& bcd, Currency& value);

// Text forms: "[-]digits[.digits]" with leading and trailing zeros trimmed.
std::string BcdToStr(const TBcd& bcd, char decimalSeparator = '.');
// Throws EConvertError "'<text>' is not a valid BCD value".
bool TryStrToBcd(const std::string& text, TBcd& bcd, char decimalSeparator = '.');
TBcd StrToBcd(const std::string& text, char decimalSeparator = '.');
double BcdToDouble(const TBcd& bcd);
// Through the double's shortest decimal text; false when it has more than 64 digits.
bool DoubleToBcd(double value, TBcd& bcd);
// -1, 0, 1 by value.
int BcdCompare(const TBcd& a, const TBcd& b);

}  // namespace korvel
