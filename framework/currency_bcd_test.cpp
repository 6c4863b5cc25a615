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

}  // namespace
}  // namespace korvel
