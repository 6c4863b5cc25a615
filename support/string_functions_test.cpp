#include "support/string_functions.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "framework/exceptions.h"
#include "support/buffer.h"
#include "support/language.h"
#include "support/number_helpers.h"

namespace korvel {
namespace {

TEST(Like, WildcardsAndBacktracking) {
  for (const char* p : {"a%", "%c", "_b_", "%", "a%c", "%b%", "ABC", "%%c"})
    EXPECT_TRUE(LikeString(0, 0, "abc", p)) << p;
  for (const char* p : {"b%", "%b", "__", "____", "a%d", "a_"})
    EXPECT_FALSE(LikeString(0, 0, "abc", p)) << p;
  EXPECT_TRUE(LikeString(0, 0, "a", "a%"));
  EXPECT_FALSE(LikeString(0, 0, "a", "a%%"));
  EXPECT_TRUE(LikeString(0, 0, "", "%"));
  EXPECT_FALSE(LikeString(0, 0, "", "_"));
  EXPECT_TRUE(LikeString(0, 0, "", ""));
  EXPECT_TRUE(LikeString(0, 0, "mississippi", "%iss%ppi"));
  EXPECT_TRUE(LikeString(0, 0, "aaab", "%ab"));
  // With a language, accents are ignored but case is not.
  std::uint16_t french = OSLanguageID(12, 1);
  EXPECT_TRUE(LikeString(french, 0, "caf\xE9", "cafe"));
  EXPECT_FALSE(LikeString(french, 0, "CAFE", "cafe"));
}

TEST(Strings, SearchCountAndReplace) {
  EXPECT_EQ(PosString("lo", "hello lo"), 4);
  EXPECT_EQ(PosString("x", "hello"), 0);
  EXPECT_EQ(OccursString("aa", "aaaaa"), 2);
  EXPECT_EQ(OccursString("", "abc"), 0);
  const char* source = "a-b-c";
  EXPECT_EQ(CalculateReplaceSize("-", "--", source), 7u);
  std::vector<char> out(CalculateReplaceSize("-", "--", source) + 1);
  ReplaceString("-", "--", source, out.data());
  EXPECT_STREQ(out.data(), "a--b--c");
  char shrink[16];
  ReplaceString("aa", "b", "aaaaa", shrink);
  EXPECT_STREQ(shrink, "bba");
  ReplaceString("", "x", "abc", shrink);  // nothing to search for: copied unchanged
  EXPECT_STREQ(shrink, "abc");
  EXPECT_EQ(ReplaceString("ab", "ab", "abab"), "abab");
  EXPECT_EQ(ReplaceString("b", "", "abcb"), "ac");
}

TEST(Strings, TrimsPadsAndPieces) {
  char text[] = "xxabcxx";
  TrimString(text, 'x');
  EXPECT_STREQ(text, "abc");
  std::string s = "  hi  ";
  RightTrimString(s, ' ');
  EXPECT_EQ(s, "  hi");
  LeftTrimString(s, ' ');
  EXPECT_EQ(s, "hi");
  std::string all = "....";
  TrimString(all, '.');
  EXPECT_EQ(all, "");
  EXPECT_EQ(PadLeft("7", 3, '0'), "007");
  EXPECT_EQ(PadRight("abcd", 2, ' '), "abcd");
  EXPECT_EQ(Replicate("ab", 3), "ababab");
  EXPECT_EQ(Replicate("abc", 100).size(), 255u);
  EXPECT_EQ(GetLeft("abc", 5), "abc");
  EXPECT_EQ(GetRight("abcdef", 2), "ef");
  EXPECT_EQ(Substr("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Substr("abc", 9, 1), "");
  EXPECT_EQ(At("b", "abcb"), 2);
  EXPECT_EQ(Rat("b", "abcb"), 4);
  EXPECT_EQ(Rat("z", "abcb"), 0);
}

TEST(Strings, QuotesAndLists) {
  EXPECT_EQ(ExpandQuotes('\'', "it's"), "it''s");
  EXPECT_EQ(ExpandQuotes('x', "it's"), "it's");
  EXPECT_EQ(ConvertQuotes("a''b\"\"c"), "a'b\"c");
  EXPECT_EQ(StripQuotes("\"a'b\""), "ab");
  EXPECT_EQ(StripCRLFs("a\r\nb\n"), "ab");
  std::string rest = "one,two,three";
  EXPECT_EQ(Extract(rest, ','), "one");
  EXPECT_EQ(rest, "two,three");
  std::string last = "only";
  EXPECT_EQ(Extract(last, ','), "only");
  EXPECT_EQ(last, "");
  TStringList list;
  StringToList("  a  b\"c d ", list);
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list[1], "b\"c");
  EXPECT_EQ(ListToString(list), "a b\"\"c d");
}

TEST(Numbers, RoundingHalvesAwayFromZero) {
  EXPECT_EQ(RoundFloat(2.5, 0), 3);
  EXPECT_EQ(RoundFloat(-2.5, 0), -3);
  EXPECT_EQ(RoundFloat(2.4, 0), 2);
  EXPECT_EQ(RoundFloat(0, 3), 0);
  EXPECT_EQ(RoundFloat(1.25, 1), 1.3);
  EXPECT_EQ(RoundFloat(-1.25, 1), -1.3);
  // The result is the double nearest the rounded decimal value, without representation error.
  EXPECT_EQ(RoundFloat(1.234, 2), 1.23);
  EXPECT_EQ(RoundFloat(1.005, 2), 1.01);  // the value's own text is 1.005
  EXPECT_EQ(RoundFloat(0.49999999999999994, 0), 0);
  EXPECT_EQ(RoundFloat(4503599627370497.0, 0), 4503599627370497.0);
  EXPECT_EQ(RoundFloat(9.995, 2), 10);
  EXPECT_EQ(RoundFloat(-0.4, 0), 0);
  EXPECT_FALSE(std::signbit(RoundFloat(-0.4, 0)));
  EXPECT_EQ(RoundFloat(1.7976931348623157e308, 2), 1.7976931348623157e308);
  EXPECT_EQ(RoundFloat(5e-324, 32), 0);
  EXPECT_TRUE(std::isinf(RoundFloat(HUGE_VAL, 0)));
  EXPECT_EQ(PowerFloat(0, 10), 1);
  EXPECT_EQ(PowerFloat(3, 2), 8);
  EXPECT_EQ(FloorFloat(-2.7), -2);
  EXPECT_EQ(RoundCurr(Currency::FromRaw(25000), 0).Raw, 30000);    // 2.5 -> 3
  EXPECT_EQ(RoundCurr(Currency::FromRaw(-25000), 0).Raw, -30000);  // -2.5 -> -3
  EXPECT_EQ(RoundCurr(Currency::FromRaw(12345), 2).Raw, 12300);
  EXPECT_EQ(RoundCurr(Currency::FromRaw(12345), 9).Raw, 12345);
  EXPECT_EQ(RoundCurr(kMaxCurrency, 0).Raw, INT64_MAX / 10000 * 10000);
}

// Random decimals of at most 15 significant digits (whose double reads back as the same text)
// rounded by RoundFloat against integer rounding of their digits.
TEST(Numbers, RoundFloatAgreesWithDecimalRounding) {
  std::mt19937_64 rng(6);
  for (int i = 0; i < 20000; ++i) {
    const int scale = static_cast<int>(rng() % 16);
    const int digits = 1 + static_cast<int>(rng() % 15);
    std::int64_t units = 0;
    for (int d = 0; d < digits; ++d) units = units * 10 + static_cast<std::int64_t>(rng() % 10);
    if (rng() % 3 == 0) units = units - units % 10 + 5;  // a half at the last digit
    const bool negative = rng() % 2 != 0;
    const int places = static_cast<int>(rng() % 17);
    const std::string text = (negative ? "-" : "") + std::to_string(units) + "e-" + std::to_string(scale);
    const double value = std::strtod(text.c_str(), nullptr);
    std::int64_t rounded = units;
    int roundedScale = scale;
    if (places < scale) {
      std::int64_t div = 1;
      for (int k = places; k < scale; ++k) div *= 10;
      rounded = units / div + (units % div * 2 >= div ? 1 : 0);
      roundedScale = places;
    }
    const std::string expectedText =
        (negative ? "-" : "") + std::to_string(rounded) + "e-" + std::to_string(roundedScale);
    const double expected = rounded == 0 ? 0.0 : std::strtod(expectedText.c_str(), nullptr);
    ASSERT_EQ(RoundFloat(value, places), expected) << text << " to " << places;
  }
}

TEST(Numbers, BcdGlue) {
  TBcd b = CurrToTBCD(Currency::FromRaw(-1234567), 2);  // -123.4567 at scale 2
  EXPECT_EQ(b.Precision, 32);
  EXPECT_EQ(b.Scale(), 2);
  EXPECT_EQ(BcdToStr(b), "-123.46");
  // Rounded once, not digit by digit.
  EXPECT_EQ(BcdToStr(CurrToTBCD(Currency::FromRaw(14500), 0)), "1");     // 1.45
  EXPECT_EQ(BcdToStr(CurrToTBCD(Currency::FromRaw(24449), 2)), "2.44");  // 2.4449
  EXPECT_EQ(TBCDToCurr(b).Raw, -1234600);
  TBcd zero;
  EXPECT_EQ(TBCDToCurr(zero).Raw, 0);
  EXPECT_THROW(TBCDToCurr(StrToBcd("1E20")), EConvertError);
  EXPECT_EQ(MakeBCDDisplayFormat(0), "##############0");
  EXPECT_EQ(MakeBCDDisplayFormat(2), "##############0.00");
  EXPECT_TRUE(WithinBounds(5, 5, 6));
  EXPECT_FALSE(WithinBounds(7, 5, 6));
  EXPECT_EQ(BcdToStr(MaximumBCD(StrToBcd("-1"), StrToBcd("0.5"))), "0.5");
}

TEST(Numbers, IsoCalendar) {
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2008, 12, 29)), 1);
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2008, 12, 31)), 1);
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2004, 12, 27)), 53);
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2005, 1, 2)), 53);
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2005, 1, 3)), 1);
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2004, 1, 1)), 1);
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2010, 1, 3)), 53);
  EXPECT_EQ(ISOWeekNumber(EncodeDate(2021, 6, 15)), 24);
  EXPECT_EQ(ISODayOfWeek(EncodeDate(2024, 1, 1)), 1);  // a Monday
  EXPECT_EQ(ISODayOfWeek(EncodeDate(2024, 1, 7)), 7);
  EXPECT_EQ(ISODayOfYear(EncodeDate(2024, 1, 1)), 1);
  EXPECT_EQ(ISODayOfYear(EncodeDate(2024, 12, 31)), 366);
  EXPECT_NO_THROW(ISOWeekNumber(EncodeDate(1, 1, 1)));
}

TEST(Buffers, GrowOnlyZeroFilled) {
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t size = 0;
  ResizeBuffer(10, 16, buffer, size);
  EXPECT_EQ(size, 16u);
  for (std::size_t i = 0; i < size; ++i) EXPECT_EQ(buffer[i], 0);
  buffer[3] = 42;
  ResizeBuffer(5, 16, buffer, size);
  EXPECT_EQ(size, 16u);  // never shrunk
  ResizeBuffer(33, 16, buffer, size);
  EXPECT_EQ(size, 48u);
  EXPECT_EQ(buffer[3], 42);
  EXPECT_EQ(buffer[47], 0);
  ResizeBuffer(0, 16, buffer, size);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(buffer, nullptr);
}

}  // namespace
}  // namespace korvel
