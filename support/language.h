#pragma once
// Language settings and collation.
//
// Every table carries a language id and a sort id; together they decide how its strings
// compare, sort and change case. Language id 0 is bytewise order and never reaches ICU; any
// other id is a locale (primary language in bits 0-9, sublanguage in bits 10-15) whose
// comparisons and case mappings come from the locale services (platform/icu_locale.h).
//
// Engine text is 8-bit, in the code page of the table's language; comparisons take
// zero-terminated texts, optionally limited to a length.

#include <array>
#include <cstddef>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/format_settings.h"
#include "framework/string_list.h"
#include "platform/critical_section.h"

namespace korvel {

inline constexpr std::uint16_t SRT_DEFAULT = 0;
inline constexpr std::uint16_t SRT_GERMAN_PHONE_BOOK = 1;
inline constexpr const char* kDefaultOrderName = "Default Order";
inline constexpr const char* kGermanPhoneBookOrderName = "German Phone Book Order";

// (sub << 10) | (primary & 255), the layout of an operating-system language identifier.
constexpr std::uint16_t OSLanguageID(std::uint16_t primary, std::uint16_t sub) {
  return static_cast<std::uint16_t>(((static_cast<std::uint32_t>(sub) << 10) & 0x3FFFF) |
                                    (primary & 255));
}
constexpr std::uint32_t OSLocaleID(std::uint16_t languageId, std::uint16_t sortId) {
  return (static_cast<std::uint32_t>(sortId) << 16) | languageId;
}

// --- the language table -------------------------------------------------------------------

struct TLanguageEntry {
  const char* Name;
  std::uint16_t LanguageID;
};

inline constexpr int kLanguageCount = 99;
// Row `index` (0 .. 98) of the language table; the index is the language index.
const TLanguageEntry& GetLanguageEntry(int index);

// Language id of a language index; 0 for an index outside the table.
std::uint16_t GetLanguageIDFromIndex(int index);
// Language index of a language id; -1 when the id is not in the table.
int GetIndexFromLanguageID(std::uint16_t languageId);
// By name, without regard to case (blanks around are ignored).
bool IsValidLanguageConstant(const std::string& name);
// Language id of a name; 0 when the name is not in the table.
std::uint16_t ConvertLanguageConstantToID(const std::string& name);

// The names of the sort orders of a language index: "Default Order", and also
// "German Phone Book Order" for the German languages (indexes 48-52).
void GetSortIDs(int languageIndex, TStringList& list);
bool IsValidSortConstant(int languageIndex, const std::string& name);
// The sort id of a sort name for a language index (its position in GetSortIDs); 0 when the
// name is not one of them.
std::uint16_t ConvertSortConstantToID(int languageIndex, const std::string& name);
std::uint16_t GetSortIDFromIndex(int index);
int GetIndexFromSortID(std::uint16_t sortId);
// "SRT_DEFAULT" or "SRT_GERMAN_PHONE_BOOK" (empty for other indexes).
std::string GetSortIDStringFromIndex(int index);

// Whether a locale (OSLocaleID) is supported: language 0 always; otherwise the language must be
// in the table, the sort id available for it, and ICU must carry its locale and code page.
bool OSValidLocale(std::uint32_t locale);

// --- comparison and case mapping ----------------------------------------------------------

// -1, 0 or 1. length 0 compares the whole texts; otherwise at most length bytes of each, a
// text ending early at its terminator. Language 0: bytes (unsigned), the terminator taking
// part; case-insensitive compares the upper-cased bytes. Other languages: the locale's
// collation with accents ignored, and case too when case-insensitive.
int OSCompareStrings(std::uint16_t languageId, std::uint16_t sortId, const char* left,
                     bool caseInsensitive, std::size_t length, const char* right);
inline int OSCompareStrings(std::uint16_t languageId, std::uint16_t sortId,
                            const std::string& left, bool caseInsensitive, std::size_t length,
                            const std::string& right) {
  return OSCompareStrings(languageId, sortId, left.c_str(), caseInsensitive, length,
                          right.c_str());
}

// Single characters. Language 0: upper-cased, then bytes. Otherwise the locale's collation,
// with accents counting (OSCompareChar) or ignored (OSCompareCharNoAccent, CompareChar).
int OSCompareChar(std::uint16_t languageId, std::uint16_t sortId, char a, char b);
int OSCompareCharNoAccent(std::uint16_t languageId, std::uint16_t sortId, char a, char b);
int CompareChar(std::uint16_t languageId, std::uint16_t sortId, char a, char b);

// Case mapping in place, byte for byte through the code page's tables (language 0 uses code
// page 1252). The char* forms map up to the terminator, or `length` bytes when given.
void OSUpperString(std::uint16_t languageId, std::uint16_t sortId, char* text);
void OSLowerString(std::uint16_t languageId, std::uint16_t sortId, char* text);
void OSUpperString(std::uint16_t languageId, std::uint16_t sortId, char* text,
                   std::size_t length);
void OSUpperString(std::uint16_t languageId, std::uint16_t sortId, std::string& text);
void OSLowerString(std::uint16_t languageId, std::uint16_t sortId, std::string& text);
// The 256-byte upper-case table of a language (language 0 and unknown languages: code page
// 1252). Never null.
const unsigned char* UpperCaseTable(std::uint16_t languageId);
const unsigned char* LowerCaseTable(std::uint16_t languageId);

// Unsigned bytewise over count bytes: -1, 0 or 1; reverse negates the result. A missing left
// buffer compares as greater than a present right one (two missing buffers are equal).
int CompareBytes(const void* left, const void* right, std::size_t count, bool reverse);

// Unsigned bytewise over count bytes (memcmp order): -1, 0 or 1. Keys are short, so they are
// compared eight bytes at a time here instead of through a call to memcmp.
inline int CompareKeyBytes(const unsigned char* a, const unsigned char* b, std::size_t count) {
  while (count >= 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      return x < y ? -1 : 1;
    }
    a += 8;
    b += 8;
    count -= 8;
  }
  for (; count > 0; --count, ++a, ++b)
    if (*a != *b) return *a < *b ? -1 : 1;
  return 0;
}

// --- character maps -----------------------------------------------------------------------

// The byte values 0-255 in the collation order of one (language id, sort id), lowest first;
// the identity for language 0. Characters that compare equal keep no particular order.
using TCharMap = std::array<unsigned char, 256>;

// The process's cache of character maps, one per (language id, sort id), built on first
// request and kept until the process ends (or FreeAllCharMaps).
class TLanguageCharMapsList {
 public:
  TLanguageCharMapsList() { entries_.reserve(256); }
  // Copies the pair's map into map, building and caching it first when needed.
  void GetCharMap(std::uint16_t languageId, std::uint16_t sortId, TCharMap& map);
  static void BuildCharMap(std::uint16_t languageId, std::uint16_t sortId, TCharMap& map);
  void LockCharMaps() { lock_.lock(); }
  void UnlockCharMaps() { lock_.unlock(); }
  void FreeAllCharMaps();
  std::size_t Count();

 private:
  struct TEntry {
    std::uint16_t LanguageID;
    std::uint16_t SortID;
    TCharMap Map;
  };
  TCriticalSection lock_;
  std::vector<std::unique_ptr<TEntry>> entries_;
};

TLanguageCharMapsList& LanguageCharMaps();
void GetLanguageCharMap(std::uint16_t languageId, std::uint16_t sortId, TCharMap& map);

// --- language-aware sorted string list ----------------------------------------------------

// A sorted list of strings compared with OSCompareStrings of its language, without regard to
// case.
class TLanguageStringList {
 public:
  TLanguageStringList(std::uint16_t languageId = 0, std::uint16_t sortId = 0)
      : languageId_(languageId), sortId_(sortId) {}

  std::uint16_t LanguageID() const { return languageId_; }
  std::uint16_t SortID() const { return sortId_; }
  void SetLanguage(std::uint16_t languageId, std::uint16_t sortId);

  std::size_t Count() const { return items_.size(); }
  const std::string& operator[](std::size_t i) const { return items_[i]; }
  const std::vector<std::string>& Items() const { return items_; }
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates value) { duplicates_ = value; }

  // Inserts in order; returns the index. dupIgnore returns the existing entry's index,
  // dupError throws Exception("String list does not allow duplicates").
  int Add(const std::string& s);
  void Delete(std::size_t index);
  void Clear() { items_.clear(); }
  void Sort();

  // Binary search; true on a match, index = the first of equal entries or the insertion point.
  bool Find(const std::string& text, int& index) const;
  // From index on, compares only the first `length` characters; index = first match.
  bool FindPartial(const std::string& text, int& index, std::size_t length) const;
  // An entry ending in "*" matches every text that begins with the characters before it.
  bool FindUsingPartials(const std::string& text, int& index) const;

  int Compare(const std::string& a, const std::string& b, std::size_t length = 0) const {
    return OSCompareStrings(languageId_, sortId_, a, true, length, b);
  }

 private:
  std::uint16_t languageId_;
  std::uint16_t sortId_;
  TDuplicates duplicates_ = dupIgnore;
  std::vector<std::string> items_;
};

// Equal when both lists are absent, or both present with equal counts and each pair of items
// equal under OSCompareStrings without regard to case.
bool CompareTStrings(std::uint16_t languageId, std::uint16_t sortId, const TStringList* a,
                     const TStringList* b);

// --- language format settings -------------------------------------------------------------

// The locale's own settings (no user overrides), with the usual fallbacks for data the locale
// lacks; the fixed ISO settings for language 0.
void GetDefaultLanguageSettings(std::uint16_t languageId, std::uint16_t sortId,
                                TLanguageSettings& settings);
// Read / install the process's current format settings. Callers that swap settings for a while
// bracket the swap with LockLanguageSettings / UnlockLanguageSettings.
void GetLanguageSettings(TLanguageSettings& settings);
void SetLanguageSettings(const TLanguageSettings& settings);
void LockLanguageSettings();
void UnlockLanguageSettings();

}  // namespace korvel
