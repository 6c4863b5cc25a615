#include "framework/currency_bcd.h"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "framework/exceptions.h"
#include "framework/float_text.h"

namespace korvel {
namespace {

TEST(FloatText, ShortestAndRoundTrips) {
  EXPECT_EQ(FloatToStr(0.0), "0");
  EXPECT_EQ(FloatToStr(100.0), "100");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(0.00001), "0.00001");
  EXPECT_EQ(FloatToStr(-1.5e-6, ','), "-1,5E-6");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
  std::mt19937_64 rng(1);
  for (int i = 0; i < 5000; ++i) {
    double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    ASSERT_EQ(StrToFloat(FloatToStr(v)), v) << FloatToStr(v);
  }
  EXPECT_EQ(StrToFloat(" -2.5e+3 "), -2500);
  EXPECT_EQ(StrToFloat("1e-400"), 0);
  EXPECT_THROW(StrToFloat("1e400"), EConvertError);
  EXPECT_THROW(StrToFloat("1.5x"), EConvertError);
  EXPECT_THROW(StrToFloat(""), EConvertError);
  EXPECT_THROW(StrToFloat("."), EConvertError);
  EXPECT_EQ(StrToFloat("2,5", ','), 2.5);
}

TEST(CurrencyText, ExactDecimals) {
  EXPECT_EQ(CurrToStr(Currency::FromRaw(0)), "0");
  EXPECT_EQ(CurrToStr(Currency::FromRaw(-1)), "-0.0001");
  EXPECT_EQ(CurrToStr(Currency::FromRaw(120000)), "12");
  EXPECT_EQ(CurrToStr(kMinCurrency), "-922337203685477.5808");
  EXPECT_EQ(StrToCurr("922337203685477.5807"), kMaxCurrency);
  EXPECT_THROW(StrToCurr("922337203685477.5808"), EConvertError);
  EXPECT_EQ(StrToCurr("1.00005").Raw, 10001);
  EXPECT_EQ(StrToCurr("-1.00005").Raw, -10001);
  EXPECT_EQ(StrToCurr("1.5E2").Raw, 1500000);
  EXPECT_THROW(StrToCurr("1,5"), EConvertError);
  Currency c;
  EXPECT_FALSE(TryDoubleToCurr(1e300, c));
  EXPECT_TRUE(TryDoubleToCurr(-2.5, c));
  EXPECT_EQ(c.Raw, -25000);
}

TEST(Bcd, RecordLayoutAndConversions) {
  TBcd b = StrToBcd("-12.345");
  EXPECT_EQ(b.Precision, 5);
  EXPECT_EQ(b.SignSpecialPlaces, 0x83);
  EXPECT_EQ(b.Fraction[0], 0x12);
  EXPECT_EQ(b.Fraction[1], 0x34);
  EXPECT_EQ(b.Fraction[2], 0x50);
  unsigned char raw[TBcd::kSize];
  b.ToBytes(raw);
  EXPECT_EQ(raw[0], 5);
  EXPECT_EQ(raw[2], 0x12);
  EXPECT_EQ(TBcd::FromBytes(raw), b);
  EXPECT_EQ(BcdToStr(b), "-12.345");
  EXPECT_EQ(BcdToStr(StrToBcd("0.000")), "0");
  EXPECT_EQ(BcdToDouble(b), -12.345);
  Currency c;
  ASSERT_TRUE(BCDToCurr(StrToBcd("1.23456"), c));
  EXPECT_EQ(c.Raw, 12346);
  TBcd fromCurr;
  ASSERT_TRUE(CurrToBCD(Currency::FromRaw(123456), fromCurr, 10, 4));
  EXPECT_EQ(BcdToStr(fromCurr), "12.3456");
  EXPECT_FALSE(CurrToBCD(Currency::FromRaw(123456), fromCurr, 3, 2));  // 12.35 needs 4 digits
  TBcd d;
  ASSERT_TRUE(DoubleToBcd(0.1, d));
  EXPECT_EQ(BcdToStr(d), "0.1");
  EXPECT_THROW(StrToBcd("1e99"), EConvertError);  // more than 64 digits
  EXPECT_LT(BcdCompare(StrToBcd("-3"), StrToBcd("-2.5")), 0);
  EXPECT_GT(BcdCompare(StrToBcd("10"), StrToBcd("9.99")), 0);
  EXPECT_EQ(BcdCompare(StrToBcd("1.50"), StrToBcd("1.5")), 0);
  // A damaged record (nibble above 9, scale above precision) is refused, not misread.
  TBcd bad = StrToBcd("12");
  bad.Fraction[0] = 0xA2;
  EXPECT_FALSE(BCDToCurr(bad, c));
  bad = StrToBcd("12");
  bad.SignSpecialPlaces = 5;
  EXPECT_FALSE(BCDToCurr(bad, c));
}

// An exact reference for the decimal tests below: an integer of `scale` decimals.
struct TScaled {
  __int128 Units = 0;
  int Scale = 0;
};

__int128 Pow10(int n) {
  __int128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

// Rounded once to `places` decimals, halves away from zero.
TScaled RoundOnce(TScaled v, int places) {
  if (places >= v.Scale) return {v.Units * Pow10(places - v.Scale), places};
  const __int128 div = Pow10(v.Scale - places);
  __int128 q = v.Units / div, r = v.Units % div;
  if (2 * (r < 0 ? -r : r) >= div) q += v.Units < 0 ? -1 : 1;
  return {q, places};
}

// "[-]digits.decimals" with exactly Scale decimals (none when 0), as a reference text.
std::string ScaledText(TScaled v) {
  const bool negative = v.Units < 0;
  __int128 m = negative ? -v.Units : v.Units;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  if (static_cast<int>(digits.size()) <= v.Scale) digits.insert(0, static_cast<std::size_t>(v.Scale + 1) - digits.size(), '0');
  if (v.Scale > 0) digits.insert(digits.size() - static_cast<std::size_t>(v.Scale), 1, '.');
  return (negative && v.Units != 0 ? "-" : "") + digits;
}

// The digits of a BCD record with its scale, trailing zeros kept ("1.20" at scale 2).
std::string BcdDigits(const TBcd& b) {
  std::string digits;
  for (int i = 0; i < b.Precision; ++i) digits += static_cast<char>('0' + b.Digit(i));
  const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size() - static_cast<std::size_t>(b.Scale()) - 1);
  digits.erase(0, first);
  if (b.Scale() > 0) digits.insert(digits.size() - static_cast<std::size_t>(b.Scale()), 1, '.');
  return (b.Negative() ? "-" : "") + digits;
}

TEST(Bcd, ConversionsRoundOnceHalfAwayFromZero) {
  TBcd b;
  // One rounding from the exact value, never digit by digit.
  ASSERT_TRUE(CurrToBCD(Currency::FromRaw(14500), b, 32, 0));  // 1.45
  EXPECT_EQ(BcdDigits(b), "1");
  ASSERT_TRUE(CurrToBCD(Currency::FromRaw(24449), b, 32, 2));  // 2.4449
  EXPECT_EQ(BcdDigits(b), "2.44");
  ASSERT_TRUE(CurrToBCD(Currency::FromRaw(-24500), b, 32, 0));  // -2.45
  EXPECT_EQ(BcdDigits(b), "-2");
  ASSERT_TRUE(CurrToBCD(Currency::FromRaw(-25000), b, 32, 0));  // -2.5: away from zero
  EXPECT_EQ(BcdDigits(b), "-3");
  ASSERT_TRUE(CurrToBCD(Currency::FromRaw(-4999), b, 32, 0));  // -0.4999 is 0, without a sign
  EXPECT_EQ(BcdDigits(b), "0");
  EXPECT_EQ(b.Precision, 32);
  ASSERT_TRUE(CurrToBCD(kMaxCurrency, b, 32, 0));
  EXPECT_EQ(BcdDigits(b), "922337203685478");
  ASSERT_TRUE(TryStrToBcd("1.2345", b, 32, 2));
  EXPECT_EQ(BcdDigits(b), "1.23");
  ASSERT_TRUE(TryStrToBcd("0.0049999", b, 32, 2));  // not 0.0050 first, then 0.01
  EXPECT_EQ(BcdDigits(b), "0.00");
  ASSERT_TRUE(TryStrToBcd("9.995", b, 32, 2));
  EXPECT_EQ(BcdDigits(b), "10.00");
  EXPECT_FALSE(TryStrToBcd("99.5", b, 2, 0));  // 100 needs three digits
  ASSERT_TRUE(DoubleToBcd(2.45, b, 32, 0));     // through the shortest text "2.45"
  EXPECT_EQ(BcdDigits(b), "2");
  EXPECT_FALSE(DoubleToBcd(std::nan(""), b, 32, 0));
  EXPECT_FALSE(DoubleToBcd(1e40, b, 32, 0));
  // Large integers convert exactly, far beyond the currency range.
  ASSERT_TRUE(Int64ToBCD(INT64_MAX, b, 32, 0));
  EXPECT_EQ(BcdDigits(b), "9223372036854775807");
  ASSERT_TRUE(Int64ToBCD(INT64_MIN, b, 32, 4));
  EXPECT_EQ(BcdDigits(b), "-9223372036854775808.0000");
  EXPECT_FALSE(Int64ToBCD(INT64_MAX, b, 18, 0));
  ASSERT_TRUE(RoundBcd(StrToBcd("-0.125"), 2, b));
  EXPECT_EQ(BcdDigits(b), "-0.13");
  TBcd bad = StrToBcd("12");
  bad.Fraction[0] = 0xA2;
  EXPECT_FALSE(RoundBcd(bad, 2, b));
}

// Random values and scales against the exact 128-bit reference.
TEST(Bcd, RoundingAgreesWithAnExactReference) {
  std::mt19937_64 rng(24);
  for (int i = 0; i < 20000; ++i) {
    // Up to 30 digits with up to 12 decimals, often ending in 5 or 4999... to meet the halves.
    const int scale = static_cast<int>(rng() % 13);
    const int digits = 1 + static_cast<int>(rng() % 30);
    __int128 units = 0;
    for (int d = 0; d < digits; ++d) units = units * 10 + static_cast<int>(rng() % 10);
    if (rng() % 3 == 0) units = units - units % 1000 + (rng() % 2 ? 500 : 499);
    if (rng() % 2) units = -units;
    const TScaled exact{units, scale};
    const int places = static_cast<int>(rng() % 5);
    const std::string expected = ScaledText(RoundOnce(exact, places));
    TBcd fromText, rounded;
    std::size_t expectedDigits = 0;
    for (char c : expected) expectedDigits += c >= '0' && c <= '9';
    const bool fits = expectedDigits <= 32 || expected.rfind("-0", 0) == 0 || expected[0] == '0';
    ASSERT_EQ(TryStrToBcd(ScaledText(exact), fromText, 32, places), fits) << ScaledText(exact);
    if (!fits) continue;
    EXPECT_EQ(BcdDigits(fromText), expected) << ScaledText(exact) << " to " << places;
    ASSERT_TRUE(RoundBcd(StrToBcd(ScaledText(exact)), places, rounded));
    EXPECT_EQ(BcdDigits(rounded), expected) << ScaledText(exact) << " to " << places;
    // Currency: 4 exact decimals within 64 bits.
    const __int128 raw128 = scale <= 4 ? units * Pow10(4 - scale) : 0;
    if (scale <= 4 && raw128 >= INT64_MIN && raw128 <= INT64_MAX) {
      const std::int64_t raw = static_cast<std::int64_t>(raw128);
      TBcd fromCurrency;
      ASSERT_TRUE(CurrToBCD(Currency::FromRaw(raw), fromCurrency, 32, places));
      EXPECT_EQ(BcdDigits(fromCurrency), expected) << raw << " to " << places;
    }
  }
}

}  // namespace
}  // namespace korvel
