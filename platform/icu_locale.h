#pragma once
// Locale services on ICU: what string collation and case mapping of 8-bit text in a language's
// code page need.
//
// A language id (primary language in bits 0-9, sublanguage in bits 10-15) names an ICU locale
// ("de_CH") and the single-byte code page of that language (1252 Western, 1250 Central
// European, 1251 Cyrillic, ...). Sort id 1 selects the phone-book collation of German.
//
// Everything here is built once and then immutable, so lookups take no lock:
//   TCodePage        per code page: byte -> UTF-16 table, 256-byte upper and lower tables
//   TLocaleCollator  per (language id, sort id): three ICU collators, one per comparison mode

#include <cstddef>
#include <cstdint>
#include <string>

#include <unicode/utypes.h>

struct UCollator;

namespace korvel {

class TCodePage {
 public:
  // The code page's tables, built on first request; null when ICU has no converter for it.
  static const TCodePage* Get(unsigned codePage);

  unsigned Number() const { return number_; }
  UChar ToUnicode(unsigned char b) const { return toUnicode_[b]; }
  // 256-entry case tables: a byte maps to the byte of its simple upper (lower) case in the same
  // code page, or to itself when that case has no byte here. Lengths never change.
  const unsigned char* UpperTable() const { return upper_; }
  const unsigned char* LowerTable() const { return lower_; }
  // UTF-16 -> this code page, '?' for characters it lacks.
  std::string FromUnicode(const UChar* text, std::size_t length) const;

 private:
  explicit TCodePage(unsigned number) : number_(number) {}
  bool Build();

  unsigned number_;
  UChar toUnicode_[256] = {};
  unsigned char upper_[256] = {};
  unsigned char lower_[256] = {};
};

// The three ways strings are compared.
enum TCollationMode : int {
  cmStringSort = 0,            // accents and case count (tertiary strength)
  cmIgnoreNonSpacing = 1,      // accents ignored, case counts (primary strength with case level)
  cmIgnoreNonSpacingCase = 2,  // accents and case ignored (primary strength)
};

class TLocaleCollator {
 public:
  // The cached collator of (language id, sort id); null when the language is not one we know,
  // the sort id is not available for it, or ICU lacks its locale or code page. Built on first
  // request, kept until the process ends.
  static const TLocaleCollator* Get(std::uint16_t languageId, std::uint16_t sortId);

  const TCodePage& CodePage() const { return *codePage_; }
  const char* LocaleName() const { return locale_.c_str(); }

  // Compares two 8-bit texts of the code page: -1, 0 or 1. Each text ends at its length or at
  // its first zero byte, whichever comes first. Allocates nothing for texts up to 512 bytes.
  // Texts made of context-free characters (see kContextual) that differ at the primary level
  // are decided from the bytes' primary weights without ICU; the rest go through ICU.
  int Compare(TCollationMode mode, const char* left, std::size_t leftLength, const char* right,
              std::size_t rightLength) const;
  // The same, always through ICU: the reference the fast path is tested against.
  int CompareWithIcu(TCollationMode mode, const char* left, std::size_t leftLength,
                     const char* right, std::size_t rightLength) const;

  ~TLocaleCollator();
  TLocaleCollator(const TLocaleCollator&) = delete;
  TLocaleCollator& operator=(const TLocaleCollator&) = delete;

 private:
  TLocaleCollator() = default;
  bool Open(const std::string& locale, const TCodePage* codePage);
  void BuildPrimaryWeights();
  // The fast path: -1 or 1 when the primary weights decide, 0 for texts of equal bytes, and
  // kPrimaryEqual or kUndecided when they do not (a contextual character: ICU must decide).
  static constexpr int kPrimaryEqual = 2;
  static constexpr int kUndecided = 3;
  int ComparePrimaries(const unsigned char* left, std::size_t leftLength,
                       const unsigned char* right, std::size_t rightLength) const;
  bool AnyContextual(const unsigned char* text, std::size_t length) const;

  // A byte's primary weight is a byte string of 1 to 4 bytes, the same whatever surrounds the
  // byte; kContextual marks bytes whose weights depend on their neighbours (contractions,
  // combining marks, characters ICU calls unsafe) or that have no primary weight at all.
  static constexpr std::uint8_t kContextual = 0;
  static constexpr std::size_t kMaxPrimaryBytes = 4;

  std::string locale_;
  const TCodePage* codePage_ = nullptr;
  UCollator* collators_[3] = {nullptr, nullptr, nullptr};
  std::uint8_t primaryLength_[256] = {};                  // kContextual or 1..kMaxPrimaryBytes
  std::uint8_t primary_[256][kMaxPrimaryBytes] = {};       // the weight bytes, most significant first
  std::uint8_t contextual_[256] = {};                     // 1 where primaryLength_ is kContextual
};

// The case tables of one language: 256 entries each, a byte of the language's code page mapped to
// the byte of its upper (lower) case under the language's own case mapping (Turkish pairs i with
// dotted capital I and dotless i with I), or to itself when that case is not a single character
// of the code page. Lengths never change.
struct TCaseTables {
  unsigned char Upper[256];
  unsigned char Lower[256];
};
// Built on first request and kept until the process ends; null for a language id we do not know
// or whose code page ICU lacks.
const TCaseTables* CaseTablesOfLanguage(std::uint16_t languageId);

// The ICU locale name and code page of a language id; false for a language id we do not know.
bool LookupLocale(std::uint16_t languageId, std::string& icuLocale, unsigned& codePage);
// The code page of a language id; null for an unknown language or a code page ICU lacks.
const TCodePage* CodePageOfLanguage(std::uint16_t languageId);
// Whether ICU carries locale data for the language of the id (and its code page exists).
bool IcuHasLocale(std::uint16_t languageId);

// The locale's number and calendar data as ICU has it (no user overrides), texts already in the
// language's code page. Patterns are ICU date patterns and number patterns. Empty fields are
// data ICU does not have.
struct TLocaleFormatData {
  std::string CurrencySymbol;
  std::string CurrencyPattern;  // e.g. "\xA4#,##0.00" (the currency sign as \xA4)
  std::string DecimalSeparator;
  std::string GroupingSeparator;
  int CurrencyDecimals = -1;
  std::string ShortDatePattern;
  std::string FullDatePattern;
  std::string ShortTimePattern;
  std::string AMString;
  std::string PMString;
  std::string ShortMonthNames[12];
  std::string LongMonthNames[12];
  std::string ShortDayNames[7];  // [0] = Sunday
  std::string LongDayNames[7];
};
bool ReadLocaleFormatData(std::uint16_t languageId, TLocaleFormatData& data);

}  // namespace korvel
