#include "support/language.h"

#include "platform/icu_locale.h"
#include "support/data_types.h"
#include "support/key_encoding.h"

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include "framework/date_time.h"
#include "platform/icu_locale.h"

namespace korvel {
namespace {

constexpr std::uint16_t kEnglishUS = OSLanguageID(9, 1);
constexpr std::uint16_t kGerman = OSLanguageID(7, 1);
constexpr std::uint16_t kFrench = OSLanguageID(12, 1);
constexpr std::uint16_t kRussian = OSLanguageID(25, 1);

TEST(LanguageTable, RowsOrderAndIndexes) {
  EXPECT_STREQ(GetLanguageEntry(0).Name, "ANSI Standard");
  EXPECT_EQ(GetLanguageIDFromIndex(0), 0);
  EXPECT_STREQ(GetLanguageEntry(98).Name, "Vietnamese");
  EXPECT_EQ(GetLanguageIDFromIndex(28), 0x0409);  // English (USA)
  for (int i = 48; i <= 52; ++i) EXPECT_EQ(GetLanguageIDFromIndex(i) & 0x3FF, 7) << i;
  EXPECT_EQ(ConvertLanguageConstantToID("portuguese (standard)"), 0x0816);
  EXPECT_EQ(ConvertLanguageConstantToID(" Spanish (Modern) "), 0x0C0A);
  EXPECT_EQ(GetIndexFromLanguageID(0x0407), 48);
  EXPECT_EQ(GetIndexFromLanguageID(0x7777), -1);
  EXPECT_FALSE(IsValidLanguageConstant("Klingon"));
  std::set<std::uint16_t> ids;
  for (int i = 0; i < kLanguageCount; ++i) ids.insert(GetLanguageIDFromIndex(i));
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kLanguageCount));
  EXPECT_EQ(GetLanguageIDFromIndex(99), 0);
}

TEST(LanguageTable, SortOrdersOnlyForGerman) {
  TStringList list;
  GetSortIDs(48, list);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(ConvertSortConstantToID(50, "German Phone Book Order"), 1);
  EXPECT_TRUE(IsValidSortConstant(52, "german phone book order"));
  EXPECT_FALSE(IsValidSortConstant(28, "German Phone Book Order"));
  EXPECT_EQ(ConvertSortConstantToID(28, "German Phone Book Order"), 0);
  EXPECT_EQ(GetSortIDStringFromIndex(1), "SRT_GERMAN_PHONE_BOOK");
  EXPECT_EQ(GetSortIDStringFromIndex(0), "SRT_DEFAULT");
}

TEST(LanguageTable, ValidLocales) {
  EXPECT_TRUE(OSValidLocale(0));
  EXPECT_TRUE(OSValidLocale(OSLocaleID(kEnglishUS, 0)));
  EXPECT_TRUE(OSValidLocale(OSLocaleID(kGerman, SRT_GERMAN_PHONE_BOOK)));
  EXPECT_FALSE(OSValidLocale(OSLocaleID(kEnglishUS, SRT_GERMAN_PHONE_BOOK)));
  EXPECT_FALSE(OSValidLocale(OSLocaleID(0x7777, 0)));
  for (int i = 1; i < kLanguageCount; ++i)
    EXPECT_TRUE(OSValidLocale(GetLanguageIDFromIndex(i))) << GetLanguageEntry(i).Name;
}

TEST(Collation, LanguageZeroIsBytewise) {
  EXPECT_GT(OSCompareStrings(0, 0, "a", false, 0, "B"), 0);
  EXPECT_EQ(OSCompareStrings(0, 0, "a", true, 0, "A"), 0);
  EXPECT_GT(OSCompareStrings(0, 0, "ab", false, 0, "a"), 0);
  EXPECT_LT(OSCompareStrings(0, 0, "a", false, 0, "ab"), 0);
  EXPECT_EQ(OSCompareStrings(0, 0, "abX", false, 2, "abY"), 0);
  EXPECT_LT(OSCompareStrings(0, 0, "\x7F", false, 0, "\x80"), 0);  // unsigned bytes
  // Case-insensitive goes through the code page 1252 table, not just ASCII.
  EXPECT_EQ(OSCompareStrings(0, 0, "\xE4", true, 0, "\xC4"), 0);
}

TEST(Collation, LocaleOrderIgnoresAccentsNotCase) {
  EXPECT_EQ(OSCompareStrings(kFrench, 0, "\xE9t\xE9", false, 0, "ete"), 0);
  EXPECT_NE(OSCompareStrings(kFrench, 0, "E", false, 0, "e"), 0);
  EXPECT_EQ(OSCompareStrings(kFrench, 0, "E", true, 0, "\xE9"), 0);
  // Locale order is not byte order: a sorts before B.
  EXPECT_LT(OSCompareStrings(kEnglishUS, 0, "a", false, 0, "B"), 0);
  EXPECT_LT(OSCompareStrings(kEnglishUS, 0, "a", false, 0, "ab"), 0);
  EXPECT_EQ(OSCompareStrings(kEnglishUS, 0, "abc", false, 2, "abd"), 0);
  // Single characters: accents count only in OSCompareChar.
  EXPECT_NE(OSCompareChar(kFrench, 0, '\xE9', 'e'), 0);
  EXPECT_EQ(CompareChar(kFrench, 0, '\xE9', 'e'), 0);
  EXPECT_EQ(CompareChar(0, 0, 'x', 'X'), 0);
}

TEST(Collation, GermanPhoneBookOrder) {
  // The phone book reads u-umlaut as "ue": Mueller-with-umlaut sorts before Muffler there, after
  // it in the default order.
  const char* mueller = "M\xFCller";
  EXPECT_GT(OSCompareStrings(kGerman, SRT_DEFAULT, mueller, false, 0, "Muffler"), 0);
  EXPECT_LT(OSCompareStrings(kGerman, SRT_GERMAN_PHONE_BOOK, mueller, false, 0, "Muffler"), 0);
  EXPECT_EQ(OSCompareStrings(kGerman, SRT_GERMAN_PHONE_BOOK, mueller, true, 0, "Mueller"), 0);
}

TEST(Collation, CyrillicThroughItsCodePage) {
  // Code page 1251: 0xE0 is the small a, 0xC0 the capital, 0xE1 the small be.
  EXPECT_LT(OSCompareStrings(kRussian, 0, "\xE0", false, 0, "\xE1"), 0);
  EXPECT_EQ(OSCompareStrings(kRussian, 0, "\xE0", true, 0, "\xC0"), 0);
  std::string s = "\xE0\xE1z";
  OSUpperString(kRussian, 0, s);
  EXPECT_EQ(s, "\xC0\xC1Z");
}

TEST(CaseMapping, TablesPerCodePage) {
  char text[] = "ab\xE4\xFF\xDF";
  OSUpperString(0, 0, text);
  EXPECT_STREQ(text, "AB\xC4\x9F\xDF");  // sharp s has no one-byte capital: unchanged
  OSLowerString(0, 0, text);
  EXPECT_STREQ(text, "ab\xE4\xFF\xDF");
  char limited[] = "abc";
  OSUpperString(0, 0, limited, 2);
  EXPECT_STREQ(limited, "ABc");
}

// Every language's case tables against ICU's case mapping for that language, character by
// character through the language's code page.
TEST(CaseMapping, EveryLanguageMapsCaseAsItsLocaleDoes) {
  for (int index = 1; index < kLanguageCount; ++index) {
    std::uint16_t id = GetLanguageIDFromIndex(index);
    std::string locale;
    unsigned codePage = 0;
    ASSERT_TRUE(LookupLocale(id, locale, codePage)) << index;
    const TCodePage* page = TCodePage::Get(codePage);
    ASSERT_NE(page, nullptr) << codePage;
    char language[16] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_getLanguage(locale.c_str(), language, sizeof language, &status);
    for (int b = 1; b < 256; ++b) {
      for (bool upper : {true, false}) {
        UChar in = page->ToUnicode(static_cast<unsigned char>(b)), out[8];
        status = U_ZERO_ERROR;
        int32_t n = upper ? u_strToUpper(out, 8, &in, 1, language, &status)
                          : u_strToLower(out, 8, &in, 1, language, &status);
        // A mapping to several characters (German sharp s to SS) falls back to the simple one.
        if (n != 1) {
          out[0] = static_cast<UChar>(upper ? u_toupper(in) : u_tolower(in));
          n = 1;
        }
        std::string expected(1, static_cast<char>(b));
        std::string mapped = page->FromUnicode(out, 1);
        if (mapped != "?" || out[0] == '?') expected = mapped;
        char text[2] = {static_cast<char>(b), 0};
        if (upper) OSUpperString(id, 0, text); else OSLowerString(id, 0, text);
        ASSERT_EQ(std::string(text), expected)
            << GetLanguageEntry(index).Name << " byte " << b << (upper ? " upper" : " lower");
      }
    }
  }
}

// A case-insensitive key is the upper-cased text compared with case: its order must be the
// case-insensitive order of the texts, or an index finds what it should not and misses what it
// should. Turkish, where i and dotless i are two letters, is where code-page case tables fail.
TEST(CaseMapping, UpperCasedKeysOrderAsCaseInsensitiveComparison) {
  const std::uint16_t kTurkish = OSLanguageID(31, 1);
  const char letters[] = {'i', 'I', '\xFD', '\xDD', 'a', 'Z', '\xE7', '\xC7'};  // i I dotless-i dotted-I ...
  std::mt19937 rng(31);
  auto random = [&] {
    std::string s(1 + rng() % 3, ' ');
    for (char& c : s) c = letters[rng() % sizeof letters];
    return s;
  };
  EXPECT_EQ(OSCompareStrings(kTurkish, 0, "i", true, 0, "\xDD"), 0);
  EXPECT_NE(OSCompareStrings(kTurkish, 0, "i", true, 0, "\xFD"), 0);
  int wrong = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string a = random(), b = random();
    int direct = OSCompareStrings(kTurkish, 0, a.c_str(), true, 0, b.c_str());
    std::string ka = a, kb = b;
    OSUpperString(kTurkish, 0, ka);
    OSUpperString(kTurkish, 0, kb);
    int keyed = OSCompareStrings(kTurkish, 0, ka.c_str(), false, 0, kb.c_str());
    if (direct != keyed) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

TEST(CompareBytesTest, SignReverseAndMissingBuffer) {
  unsigned char a[] = {1, 0x80}, b[] = {1, 0x7F};
  EXPECT_EQ(CompareBytes(a, b, 2, false), 1);
  EXPECT_EQ(CompareBytes(a, b, 2, true), -1);
  EXPECT_EQ(CompareBytes(a, b, 1, false), 0);
  EXPECT_EQ(CompareBytes(nullptr, b, 2, false), 1);
}

TEST(CharMaps, IdentityForLanguageZeroAndSharedCache) {
  TLanguageCharMapsList maps;
  TCharMap m;
  maps.GetCharMap(0, 0, m);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(m[i], i);
  TCharMap e1, e2;
  maps.GetCharMap(kEnglishUS, 0, e1);
  maps.GetCharMap(kEnglishUS, 0, e2);
  EXPECT_EQ(maps.Count(), 2u);
  EXPECT_EQ(e1, e2);
  // A permutation, in collation order.
  TCharMap sorted = e1;
  std::sort(sorted.begin(), sorted.end());
  for (int i = 0; i < 256; ++i) EXPECT_EQ(sorted[i], i);
  for (int i = 1; i < 256; ++i)
    EXPECT_LE(OSCompareCharNoAccent(kEnglishUS, 0, static_cast<char>(e1[i - 1]),
                                    static_cast<char>(e1[i])),
              0);
  auto pos = [&](unsigned char c) { return std::find(e1.begin(), e1.end(), c) - e1.begin(); };
  EXPECT_LT(pos('a'), pos('B'));
  EXPECT_LT(pos('B'), pos('c'));
  maps.FreeAllCharMaps();
  EXPECT_EQ(maps.Count(), 0u);
}

TEST(LanguageStringListTest, SortedFindAndPartials) {
  TLanguageStringList list(kEnglishUS, 0);
  list.Add("banana");
  list.Add("Apple");
  list.Add("cherry");
  list.Add("hel*");
  EXPECT_EQ(list[0], "Apple");
  int index = -1;
  EXPECT_TRUE(list.Find("APPLE", index));
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(list.Find("blueberry", index));
  EXPECT_EQ(index, 2);
  EXPECT_TRUE(list.FindUsingPartials("hello", index));
  EXPECT_EQ(list[static_cast<std::size_t>(index)], "hel*");
  EXPECT_FALSE(list.FindUsingPartials("he", index));
  index = 0;
  EXPECT_TRUE(list.FindPartial("chxxx", index, 2));
  EXPECT_EQ(list[static_cast<std::size_t>(index)], "cherry");
  EXPECT_EQ(list.Add("BANANA"), 1);  // duplicates ignored without regard to case
  EXPECT_EQ(list.Count(), 4u);
  list.SetDuplicates(dupAccept);
  list.Add("BANANA");
  EXPECT_TRUE(list.Find("banana", index));
  EXPECT_EQ(index, 1);  // the first of equal entries
}

TEST(LanguageStringListTest, CompareTStrings) {
  TStringList a, b;
  EXPECT_TRUE(CompareTStrings(0, 0, nullptr, nullptr));
  EXPECT_FALSE(CompareTStrings(0, 0, &a, nullptr));
  a.Add("One");
  b.Add("ONE");
  EXPECT_TRUE(CompareTStrings(0, 0, &a, &b));
  b.Add("two");
  EXPECT_FALSE(CompareTStrings(0, 0, &a, &b));
}

TEST(LanguageSettingsTest, FixedLanguageZero) {
  TLanguageSettings s;
  GetDefaultLanguageSettings(0, 0, s);
  EXPECT_EQ(s.ShortDateFormat, "yyyy-mm-dd");
  EXPECT_EQ(s.DateSeparator, '-');
  EXPECT_EQ(s.LongTimeFormat, "hh:mm:ss");
  EXPECT_EQ(s.CurrencyString, "");
  EXPECT_EQ(s.LongDayNames[0], "Sunday");
}

TEST(LanguageSettingsTest, FromLocaleData) {
  TLanguageSettings us, de;
  GetDefaultLanguageSettings(kEnglishUS, 0, us);
  EXPECT_EQ(us.CurrencyString, "$");
  EXPECT_EQ(us.DecimalSeparator, '.');
  EXPECT_EQ(us.ThousandSeparator, ',');
  EXPECT_EQ(us.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(us.DateSeparator, '/');
  EXPECT_EQ(us.ShortTimeFormat, "h:mm AMPM");
  EXPECT_EQ(us.CurrencyFormat, 0);
  EXPECT_EQ(us.CurrencyDecimals, 2);
  GetDefaultLanguageSettings(kGerman, SRT_GERMAN_PHONE_BOOK, de);
  EXPECT_EQ(de.DecimalSeparator, ',');
  EXPECT_EQ(de.ThousandSeparator, '.');
  EXPECT_EQ(de.CurrencyString, "\x80");  // the euro sign of code page 1252
  EXPECT_EQ(de.CurrencyFormat, 3);       // "1 $"
  EXPECT_EQ(de.DateSeparator, '.');
  EXPECT_EQ(de.ShortTimeFormat, "hh:mm");
  EXPECT_EQ(de.LongMonthNames[2], "M\xE4rz");
}

// Every language's default settings read back their own dates, times and numbers: the table
// upgrade reads old value texts this way. Separators are single characters a reader can cut at.
TEST(LanguageSettingsTest, EveryLanguageReadsBackItsOwnTexts) {
  const TDateTime dates[] = {EncodeDate(1, 1, 1),    EncodeDate(1899, 12, 30), EncodeDate(1999, 12, 31),
                             EncodeDate(2000, 2, 29), EncodeDate(2026, 12, 8),  EncodeDate(9999, 12, 31)};
  const TDateTime times[] = {EncodeTime(0, 0, 0, 0), EncodeTime(9, 5, 7, 0), EncodeTime(12, 30, 0, 0),
                             EncodeTime(23, 59, 59, 0)};
  for (int index = 0; index < kLanguageCount; ++index) {
    const char* name = GetLanguageEntry(index).Name;
    TFormatSettings fs = DefaultFormatSettings();
    GetDefaultLanguageSettings(GetLanguageIDFromIndex(index), 0, fs);
    for (char c : {fs.DateSeparator, fs.TimeSeparator, fs.DecimalSeparator})
      EXPECT_TRUE(c > 0x20 && c < 0x7F && c != '?' && (c < '0' || c > '9')) << name << " '" << c << "'";
    EXPECT_TRUE(fs.ThousandSeparator != '?' && (fs.ThousandSeparator < '0' || fs.ThousandSeparator > '9'));
    EXPECT_NE(fs.DecimalSeparator, fs.ThousandSeparator) << name;
    for (TDateTime d : dates) {
      std::string text = DateToStr(d, fs);
      TDateTime back = -1;
      EXPECT_TRUE(TryStrToDate(text, back, fs) && back == d) << name << ": " << text << " (" << fs.ShortDateFormat << ")";
    }
    for (TDateTime t : times) {
      std::string text = TimeToStr(t, fs);
      TDateTime back = -1;
      EXPECT_TRUE(TryStrToTime(text, back, fs) && back == t) << name << ": " << text << " (" << fs.LongTimeFormat << ")";
    }
  }
}

TEST(LanguageSettingsTest, SwapAndRestore) {
  LockLanguageSettings();
  TLanguageSettings saved, german;
  GetLanguageSettings(saved);
  GetDefaultLanguageSettings(kGerman, 0, german);
  SetLanguageSettings(german);
  TLanguageSettings now;
  GetLanguageSettings(now);
  EXPECT_EQ(now.DecimalSeparator, ',');
  EXPECT_EQ(CurrentDecimalSeparator(), ',');
  SetLanguageSettings(saved);
  UnlockLanguageSettings();
  EXPECT_EQ(CurrentDecimalSeparator(), saved.DecimalSeparator);
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

// The eight-bytes-at-a-time comparison must agree with memcmp's sign on every length, also
// where the first difference lies in a byte above 127 or in the tail after the last full word.
TEST(CompareKeyBytes, AgreesWithMemcmp) {
  std::mt19937 rng(4711);
  for (int round = 0; round < 20000; ++round) {
    std::size_t n = rng() % 40;
    unsigned char a[40], b[40];
    for (std::size_t i = 0; i < n; ++i) a[i] = b[i] = static_cast<unsigned char>(rng());
    if (n > 0 && round % 3 != 0) b[rng() % n] = static_cast<unsigned char>(rng());
    int expected = std::memcmp(a, b, n);
    expected = expected < 0 ? -1 : (expected > 0 ? 1 : 0);
    ASSERT_EQ(CompareKeyBytes(a, b, n), expected) << n;
    ASSERT_EQ(CompareKeyBytes(b, a, n), -expected) << n;
  }
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

// Random texts built to reach both paths of the comparisons: a shared prefix, then a few bytes
// drawn either from plain letters (the fast paths) or from every byte value (the rest).
std::string RandomText(std::mt19937& rng, const std::string& prefix) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -";
  std::string text = prefix;
  std::size_t n = rng() % 6;
  bool anyByte = rng() % 3 == 0;
  for (std::size_t i = 0; i < n; ++i)
    text += anyByte ? static_cast<char>(1 + rng() % 255) : kLetters[rng() % (sizeof kLetters - 1)];
  return text;
}

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// Language 0 case-insensitive: the word-at-a-time skip must agree with a byte loop through the
// upper-case table, whatever the lengths, limits and alignments.
TEST(Collation, LanguageZeroCaseInsensitiveMatchesByteReference) {
  std::mt19937 rng(99);
  const unsigned char* upper = UpperCaseTable(0);
  for (int round = 0; round < 50000; ++round) {
    std::string prefix = RandomText(rng, "");
    prefix += RandomText(rng, "");
    std::string a = RandomText(rng, prefix), b = RandomText(rng, prefix);
    std::size_t limit = rng() % 4 == 0 ? 1 + rng() % 20 : 0;
    std::size_t skew = rng() % 8;  // moves the left text off the allocator's alignment
    std::string shifted = std::string(skew, 'x') + a;
    const char* left = shifted.c_str() + skew;
    int expected = 0;
    std::size_t n = limit == 0 ? SIZE_MAX : limit;
    for (std::size_t i = 0; i < n; ++i) {
      unsigned char x = upper[static_cast<unsigned char>(left[i])];
      unsigned char y = upper[static_cast<unsigned char>(b[i])];
      if (x != y) { expected = x < y ? -1 : 1; break; }
      if (x == 0) break;
    }
    ASSERT_EQ(OSCompareStrings(0, 0, left, true, limit, b.c_str()), expected) << a << " / " << b << " limit " << limit;
  }
}

int FoldedReference(const unsigned char* a, const unsigned char* b, std::size_t n) {
  const unsigned char* upper = UpperCaseTable(0);
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = upper[a[i]], y = upper[b[i]];
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

// Long texts of every byte value that differ, often in case only, at several places, compared
// with and without a limit; both texts end flush against a page no byte of which may be read,
// so a block load that strays past a terminator faults.
TEST(Collation, LanguageZeroCaseInsensitiveLongTextsMatchByteReference) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  auto* area = static_cast<unsigned char*>(mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(area + 3 * page, page, PROT_NONE), 0);
  unsigned char* leftEnd = area + page;
  unsigned char* rightEnd = area + 3 * page;
  const unsigned char* upper = UpperCaseTable(0);
  const unsigned char* lower = LowerCaseTable(0);
  std::mt19937 rng(5150);
  for (int round = 0; round < 40000; ++round) {
    const std::size_t length = rng() % 100;
    std::vector<unsigned char> a(length + 1), b;
    for (std::size_t i = 0; i < length; ++i) a[i] = static_cast<unsigned char>(1 + rng() % 255);
    a[length] = 0;
    b = a;
    for (int changes = static_cast<int>(rng() % 4); changes > 0 && length > 0; --changes) {
      std::size_t at = rng() % length;
      switch (rng() % 3) {
        case 0: b[at] = upper[b[at]]; break;
        case 1: b[at] = lower[b[at]]; break;
        default: b[at] = static_cast<unsigned char>(rng() % 256); break;  // may end b early
      }
    }
    // Either text may be the shorter one: cut b now and then.
    if (rng() % 4 == 0 && length > 0) b[rng() % length] = 0;
    std::size_t bLength = std::strlen(reinterpret_cast<char*>(b.data()));
    const std::size_t limit = rng() % 3 == 0 ? 1 + rng() % 110 : 0;
    // The texts end at the end of their pages (terminator included), unless a limit lets the
    // comparison stop before: then the bytes up to the limit end there.
    std::size_t aSpan = limit != 0 ? std::min(limit, length + 1) : length + 1;
    std::size_t bSpan = limit != 0 ? std::min(limit, bLength + 1) : bLength + 1;
    unsigned char* left = leftEnd - aSpan;
    unsigned char* right = rightEnd - bSpan;
    std::memcpy(left, a.data(), aSpan);
    std::memcpy(right, b.data(), bSpan);
    const std::size_t n = limit == 0 ? SIZE_MAX : limit;
    const int expected = FoldedReference(a.data(), b.data(), n);
    ASSERT_EQ(OSCompareStrings(0, 0, reinterpret_cast<char*>(left), true, limit, reinterpret_cast<char*>(right)),
              expected)
        << "round " << round << " length " << length << " limit " << limit;
    ASSERT_EQ(OSCompareStrings(0, 0, reinterpret_cast<char*>(right), true, limit, reinterpret_cast<char*>(left)),
              -expected)
        << "round " << round << " length " << length << " limit " << limit;
  }
  munmap(area, 4 * page);
}

// Every supported language and sort order, every comparison mode: the primary-weight fast path
// must give ICU's own answer, on texts sharing prefixes and on texts of any bytes.
TEST(Collation, FastPathAgreesWithIcuForEveryLanguage) {
  std::mt19937 rng(2024);
  const char* scale = std::getenv("KORVEL_COLLATION_ROUNDS");  // more rounds by hand
  const int rounds = scale ? std::atoi(scale) : 1500;
  int languages = 0;
  for (int index = 1; index < kLanguageCount; ++index) {
    std::uint16_t language = GetLanguageIDFromIndex(index);
    for (std::uint16_t sort : {SRT_DEFAULT, SRT_GERMAN_PHONE_BOOK}) {
      const TLocaleCollator* collator = TLocaleCollator::Get(language, sort);
      if (collator == nullptr) continue;
      ++languages;
      for (int round = 0; round < rounds; ++round) {
        std::string prefix = RandomText(rng, "");
        std::string a = RandomText(rng, prefix), b = RandomText(rng, prefix);
        std::size_t la = rng() % 5 == 0 ? rng() % 8 : a.size(), lb = rng() % 5 == 0 ? rng() % 8 : b.size();
        for (TCollationMode mode : {cmStringSort, cmIgnoreNonSpacing, cmIgnoreNonSpacingCase}) {
          ASSERT_EQ(Sign(collator->Compare(mode, a.c_str(), la, b.c_str(), lb)),
                    Sign(collator->CompareWithIcu(mode, a.c_str(), la, b.c_str(), lb)))
              << collator->LocaleName() << " mode " << mode << ": '" << a << "' / '" << b << "'";
        }
      }
    }
  }
  EXPECT_GT(languages, 40);
}

// Every pair of bytes, in both orders and after a prefix, for languages of every code page and
// with contractions or expansions of their own: each byte's weights must hold next to any other.
TEST(Collation, FastPathAgreesWithIcuOnEveryBytePair) {
  struct TCase {
    std::uint16_t language, sort;
  };
  const TCase cases[] = {{kEnglishUS, SRT_DEFAULT}, {kGerman, SRT_GERMAN_PHONE_BOOK},
                         {OSLanguageID(10, 1), SRT_DEFAULT},  // Castilian: ch, ll
                         {OSLanguageID(5, 1), SRT_DEFAULT},   // Czech: ch (code page 1250)
                         {OSLanguageID(6, 1), SRT_DEFAULT},   // Danish: aa
                         {OSLanguageID(14, 1), SRT_DEFAULT},  // Hungarian: many contractions
                         {kRussian, SRT_DEFAULT},             {OSLanguageID(8, 1), SRT_DEFAULT},
                         {OSLanguageID(13, 1), SRT_DEFAULT},  // Hebrew: points are marks
                         {OSLanguageID(1, 1), SRT_DEFAULT},   {OSLanguageID(30, 1), SRT_DEFAULT},
                         {OSLanguageID(31, 1), SRT_DEFAULT},  {OSLanguageID(39, 1), SRT_DEFAULT}};
  int checked = 0;
  for (const TCase& c : cases) {
    const TLocaleCollator* collator = TLocaleCollator::Get(c.language, c.sort);
    if (collator == nullptr) continue;
    ++checked;
    for (int x = 1; x < 256; ++x) {
      for (int y = 1; y < 256; ++y) {
        const char a[4] = {'c', static_cast<char>(x), static_cast<char>(y), 0};
        const char b[4] = {'c', static_cast<char>(y), static_cast<char>(x), 0};
        for (std::size_t from : {0u, 1u}) {
          ASSERT_EQ(Sign(collator->Compare(cmIgnoreNonSpacing, a + 1 - from, 2 + from, b + 1 - from, 2 + from)),
                    Sign(collator->CompareWithIcu(cmIgnoreNonSpacing, a + 1 - from, 2 + from, b + 1 - from, 2 + from)))
              << collator->LocaleName() << " bytes " << x << ", " << y << " prefix " << from;
        }
        ASSERT_EQ(Sign(collator->Compare(cmIgnoreNonSpacingCase, a, 3, a, 2)),
                  Sign(collator->CompareWithIcu(cmIgnoreNonSpacingCase, a, 3, a, 2)))
            << collator->LocaleName() << " bytes " << x << ", " << y;
      }
    }
    // Characters that expand to the weights of two letters.
    for (auto [one, two] : {std::pair{"\xE4", "ae"}, {"\xDF", "ss"}, {"\xE6", "ae"}, {"\x9C", "oe"}, {"x\xE4", "xae"}})
      for (TCollationMode mode : {cmStringSort, cmIgnoreNonSpacing, cmIgnoreNonSpacingCase})
        ASSERT_EQ(Sign(collator->Compare(mode, one, SIZE_MAX, two, SIZE_MAX)),
                  Sign(collator->CompareWithIcu(mode, one, SIZE_MAX, two, SIZE_MAX)))
            << collator->LocaleName() << " " << one << " / " << two;
  }
  EXPECT_GT(checked, 8);
}

// Key segments of upper-cased strings carry exactly the language's upper-case mapping of the
// text, cut and zero-filled to the field.
TEST(KeyEncodingCase, UpperCasedSegmentsMatchTheCaseMapping) {
  std::mt19937 rng(7);
  for (std::uint16_t language : {std::uint16_t{0}, kGerman, kRussian}) {
    for (int round = 0; round < 2000; ++round) {
      std::string text = RandomText(rng, RandomText(rng, ""));
      std::size_t fieldSize = 1 + rng() % 12;
      unsigned char segment[16];
      std::memset(segment, 0xAA, sizeof segment);
      segment[0] = 1;
      PrepareDataForIndex(dtString, fieldSize, text.c_str(), segment, true, false, language, 0);
      std::string expected = text.substr(0, std::min(fieldSize - 1, text.size()));
      OSUpperString(language, 0, expected);
      expected.resize(fieldSize, '\0');
      ASSERT_EQ(std::string(reinterpret_cast<char*>(segment + 1), fieldSize), expected) << text;
    }
  }
}

}  // namespace
}  // namespace korvel
