#include "support/language.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <mutex>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "framework/exceptions.h"
#include "platform/icu_locale.h"

namespace korvel {

namespace {

struct TLanguageRow {
  const char* Name;
  std::uint16_t Primary;
  std::uint16_t Sub;
};

// The language table; a row's position is its language index (stored nowhere, but used by the
// LANGUAGE clause of SQL and by tools, so the order is fixed).
constexpr TLanguageRow kLanguageRows[kLanguageCount] = {
    {"ANSI Standard", 0, 0},
    {"Afrikaans", 54, 1},
    {"Albanian", 28, 1},
    {"Arabic (Saudi Arabia)", 1, 1},
    {"Arabic (Iraq)", 1, 2},
    {"Arabic (Egypt)", 1, 3},
    {"Arabic (Libya)", 1, 4},
    {"Arabic (Algeria)", 1, 5},
    {"Arabic (Morocco)", 1, 6},
    {"Arabic (Tunisia)", 1, 7},
    {"Arabic (Oman)", 1, 8},
    {"Arabic (Yemen)", 1, 9},
    {"Arabic (Syria)", 1, 10},
    {"Arabic (Jordan)", 1, 11},
    {"Arabic (Lebanon)", 1, 12},
    {"Arabic (Kuwait)", 1, 13},
    {"Arabic (U.A.E)", 1, 14},
    {"Arabic (Bahrain)", 1, 15},
    {"Arabic (Qatar)", 1, 16},
    {"Basque", 45, 1},
    {"Belarusian", 35, 1},
    {"Bulgarian", 2, 1},
    {"Catalan", 3, 1},
    {"Croatian", 26, 1},
    {"Czech", 5, 1},
    {"Danish", 6, 1},
    {"Dutch (Standard)", 19, 1},
    {"Dutch (Belgian)", 19, 2},
    {"English (USA)", 9, 1},
    {"English (UK)", 9, 2},
    {"English (Australian)", 9, 3},
    {"English (Canadian)", 9, 4},
    {"English (New Zealand)", 9, 5},
    {"English (Irish)", 9, 6},
    {"English (South Africa)", 9, 7},
    {"English (Jamaica)", 9, 8},
    {"English (Caribbean)", 9, 9},
    {"English (Belize)", 9, 10},
    {"English (Trinidad)", 9, 11},
    {"Estonian", 37, 1},
    {"Faeroese", 56, 1},
    {"Farsi", 41, 1},
    {"Finnish", 11, 1},
    {"French (Standard)", 12, 1},
    {"French (Belgian)", 12, 2},
    {"French (Canadian)", 12, 3},
    {"French (Swiss)", 12, 4},
    {"French (Luxembourg)", 12, 5},
    {"German (Standard)", 7, 1},
    {"German (Swiss)", 7, 2},
    {"German (Austrian)", 7, 3},
    {"German (Luxembourg)", 7, 4},
    {"German (Liechtenstein)", 7, 5},
    {"Greek", 8, 1},
    {"Hebrew", 13, 1},
    {"Hungarian", 14, 1},
    {"Icelandic", 15, 1},
    {"Indonesian", 33, 1},
    {"Italian (Standard)", 16, 1},
    {"Italian (Swiss)", 16, 2},
    {"Latvian", 38, 1},
    {"Lithuanian", 39, 1},
    {"Norwegian (Bokmal)", 20, 1},
    {"Norwegian (Nynorsk)", 20, 2},
    {"Polish", 21, 1},
    {"Portuguese (Standard)", 22, 2},
    {"Portuguese (Brazilian)", 22, 1},
    {"Romanian", 24, 1},
    {"Russian", 25, 1},
    {"Serbian (Latin)", 26, 2},
    {"Serbian (Cyrillic)", 26, 3},
    {"Slovak", 27, 1},
    {"Slovenian", 36, 1},
    {"Spanish (Castilian)", 10, 1},
    {"Spanish (Mexican)", 10, 2},
    {"Spanish (Modern)", 10, 3},
    {"Spanish (Guatemala)", 10, 4},
    {"Spanish (Costa Rica)", 10, 5},
    {"Spanish (Panama)", 10, 6},
    {"Spanish (Dominican Republic)", 10, 7},
    {"Spanish (Venezuela)", 10, 8},
    {"Spanish (Colombia)", 10, 9},
    {"Spanish (Peru)", 10, 10},
    {"Spanish (Argentina)", 10, 11},
    {"Spanish (Ecuador)", 10, 12},
    {"Spanish (Chile)", 10, 13},
    {"Spanish (Uruguay)", 10, 14},
    {"Spanish (Paraguay)", 10, 15},
    {"Spanish (Bolivia)", 10, 16},
    {"Spanish (El Salvador)", 10, 17},
    {"Spanish (Honduras)", 10, 18},
    {"Spanish (Nicaragua)", 10, 19},
    {"Spanish (Puerto Rico)", 10, 20},
    {"Swedish (Standard)", 29, 1},
    {"Swedish (Finland)", 29, 2},
    {"Thai", 30, 1},
    {"Turkish", 31, 1},
    {"Ukranian", 34, 1},
    {"Vietnamese", 42, 1},
};

constexpr int kFirstGermanIndex = 48;
constexpr int kLastGermanIndex = 52;

const std::array<TLanguageEntry, kLanguageCount>& LanguageTable() {
  static const std::array<TLanguageEntry, kLanguageCount> table = [] {
    std::array<TLanguageEntry, kLanguageCount> t{};
    for (int i = 0; i < kLanguageCount; ++i)
      t[i] = {kLanguageRows[i].Name, OSLanguageID(kLanguageRows[i].Primary, kLanguageRows[i].Sub)};
    return t;
  }();
  return table;
}

std::string TrimBlanks(const std::string& s) {
  std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  std::size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

bool SameNameNoCase(const std::string& a, const char* b) {
  std::string t = TrimBlanks(a);
  return strcasecmp(t.c_str(), b) == 0;
}

const TCodePage* Latin1CodePage() {
  static const TCodePage* page = TCodePage::Get(1252);
  return page;
}

// Identity tables for the (theoretical) case of an ICU without code page 1252.
const unsigned char* IdentityTable() {
  static const auto table = [] {
    std::array<unsigned char, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = static_cast<unsigned char>(i);
    return t;
  }();
  return table.data();
}

// Whether an 8-byte load at p stays inside p's memory page (and so cannot fault, even when
// the text ends before the eighth byte).
inline bool WordStaysInPage(const unsigned char* p) {
  return (reinterpret_cast<std::uintptr_t>(p) & 4095u) <= 4096u - 8u;
}

inline bool BlockStaysInPage(const unsigned char* p) {
  return (reinterpret_cast<std::uintptr_t>(p) & 4095u) <= 4096u - 16u;
}

// The lowest set bit of each byte that is zero in x is exact for the first zero byte (higher
// ones may be flagged falsely after it).
inline std::uint64_t ZeroBytes(std::uint64_t x) { return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull; }

// Case-insensitive bytes through an upper-case table, the terminator taking part. Blocks of 16
// bytes (or words of 8) are compared whole: an equal block is skipped (or ends the comparison when
// it holds the terminator), and an unequal one leads straight to its first differing byte, unless
// a terminator comes before it. Only that byte goes through the table; if it differs in case
// only, the blocks resume after it. Blocks read past a terminator stay inside its page and are
// never used beyond it. Address checking is off for that reason.
__attribute__((no_sanitize("address"))) int CompareFoldedBytes(const unsigned char* a,
                                                                const unsigned char* b,
                                                                std::size_t n,
                                                                const unsigned char* table) {
  while (n > 0) {
    std::size_t same = 0;  // leading bytes known to be equal and not the terminator
#if defined(__SSE2__)
    if (n >= 16 && BlockStaysInPage(a) && BlockStaysInPage(b)) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
      const unsigned equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
      const unsigned zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128())));
      if (equal == 0xFFFFu) {
        if (zeros != 0) return 0;
        a += 16;
        b += 16;
        n -= 16;
        continue;
      }
      same = static_cast<unsigned>(std::countr_zero(~equal));
      if (zeros != 0 && static_cast<unsigned>(std::countr_zero(zeros)) < same) return 0;
    } else
#endif
    if (std::endian::native == std::endian::little && n >= 8 && WordStaysInPage(a) && WordStaysInPage(b)) {
      std::uint64_t x, y;
      std::memcpy(&x, a, 8);
      std::memcpy(&y, b, 8);
      const std::uint64_t zeros = ZeroBytes(x);
      if (x == y) {
        if (zeros != 0) return 0;
        a += 8;
        b += 8;
        n -= 8;
        continue;
      }
      same = static_cast<unsigned>(std::countr_zero(x ^ y)) / 8;
      if (zeros != 0 && static_cast<unsigned>(std::countr_zero(zeros)) / 8 < same) return 0;
    }
    // The first byte that may differ: only it goes through the table.
    a += same;
    b += same;
    n -= same;
    unsigned char x = *a, y = *b;
    if (x == y) {
      if (x == 0) return 0;
    } else {
      x = table[x];
      y = table[y];
      // Without a branch: the sign of the first difference is as likely one way as the other.
      if (x != y) return (x > y) - (x < y);
    }
    ++a;
    ++b;
    --n;
  }
  return 0;
}

// Bytes, the terminator taking part; case-insensitive through the upper-case table when given.
int CompareBytewise(const unsigned char* a, const unsigned char* b, std::size_t n,
                    const unsigned char* table) {
  if (table != nullptr) return CompareFoldedBytes(a, b, n, table);
  // The C library's comparisons are unsigned and stop at the terminator.
  int r = n == std::numeric_limits<std::size_t>::max()
              ? std::strcmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b))
              : std::strncmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b), n);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace

// --- language table lookups ---------------------------------------------------------------

const TLanguageEntry& GetLanguageEntry(int index) {
  if (index < 0 || index >= kLanguageCount) index = 0;
  return LanguageTable()[index];
}

std::uint16_t GetLanguageIDFromIndex(int index) {
  if (index < 0 || index >= kLanguageCount) return 0;
  return LanguageTable()[index].LanguageID;
}

int GetIndexFromLanguageID(std::uint16_t languageId) {
  for (int i = 0; i < kLanguageCount; ++i)
    if (LanguageTable()[i].LanguageID == languageId) return i;
  return -1;
}

bool IsValidLanguageConstant(const std::string& name) {
  for (const auto& e : LanguageTable())
    if (SameNameNoCase(name, e.Name)) return true;
  return false;
}

std::uint16_t ConvertLanguageConstantToID(const std::string& name) {
  for (const auto& e : LanguageTable())
    if (SameNameNoCase(name, e.Name)) return e.LanguageID;
  return 0;
}

void GetSortIDs(int languageIndex, TStringList& list) {
  list.Clear();
  list.Add(kDefaultOrderName);
  if (languageIndex >= kFirstGermanIndex && languageIndex <= kLastGermanIndex)
    list.Add(kGermanPhoneBookOrderName);
}

bool IsValidSortConstant(int languageIndex, const std::string& name) {
  TStringList list;
  GetSortIDs(languageIndex, list);
  for (std::size_t i = 0; i < list.Count(); ++i)
    if (SameNameNoCase(name, list[i].c_str())) return true;
  return false;
}

std::uint16_t ConvertSortConstantToID(int languageIndex, const std::string& name) {
  TStringList list;
  GetSortIDs(languageIndex, list);
  for (std::size_t i = 0; i < list.Count(); ++i)
    if (SameNameNoCase(name, list[i].c_str())) return static_cast<std::uint16_t>(i);
  return SRT_DEFAULT;
}

std::uint16_t GetSortIDFromIndex(int index) {
  return index == 1 ? SRT_GERMAN_PHONE_BOOK : SRT_DEFAULT;
}

int GetIndexFromSortID(std::uint16_t sortId) { return sortId == SRT_GERMAN_PHONE_BOOK ? 1 : 0; }

std::string GetSortIDStringFromIndex(int index) {
  if (index == 0) return "SRT_DEFAULT";
  if (index == 1) return "SRT_GERMAN_PHONE_BOOK";
  return std::string();
}

bool OSValidLocale(std::uint32_t locale) {
  auto languageId = static_cast<std::uint16_t>(locale & 0xFFFF);
  auto sortId = static_cast<std::uint16_t>(locale >> 16);
  if (languageId == 0) return sortId == SRT_DEFAULT;
  return IcuHasLocale(languageId) && TLocaleCollator::Get(languageId, sortId) != nullptr;
}

// --- comparison and case mapping ----------------------------------------------------------

int OSCompareStrings(std::uint16_t languageId, std::uint16_t sortId, const char* left,
                     bool caseInsensitive, std::size_t length, const char* right) {
  std::size_t n = length == 0 ? std::numeric_limits<std::size_t>::max() : length;
  if (languageId != 0) {
    // A language without locale services (refused when tables open) falls back to bytes.
    if (const TLocaleCollator* c = TLocaleCollator::Get(languageId, sortId))
      return c->Compare(caseInsensitive ? cmIgnoreNonSpacingCase : cmIgnoreNonSpacing, left, n,
                        right, n);
  }
  static const unsigned char* const upper = UpperCaseTable(0);  // fixed for the process
  return CompareBytewise(reinterpret_cast<const unsigned char*>(left),
                         reinterpret_cast<const unsigned char*>(right), n, caseInsensitive ? upper : nullptr);
}

namespace {

int CompareCharWith(std::uint16_t languageId, std::uint16_t sortId, char a, char b,
                    TCollationMode mode) {
  if (languageId != 0) {
    if (const TLocaleCollator* c = TLocaleCollator::Get(languageId, sortId))
      return c->Compare(mode, &a, 1, &b, 1);
  }
  const unsigned char* upper = UpperCaseTable(0);
  unsigned char x = upper[static_cast<unsigned char>(a)];
  unsigned char y = upper[static_cast<unsigned char>(b)];
  return x == y ? 0 : (x < y ? -1 : 1);
}

}  // namespace

int OSCompareChar(std::uint16_t languageId, std::uint16_t sortId, char a, char b) {
  return CompareCharWith(languageId, sortId, a, b, cmStringSort);
}

int OSCompareCharNoAccent(std::uint16_t languageId, std::uint16_t sortId, char a, char b) {
  return CompareCharWith(languageId, sortId, a, b, cmIgnoreNonSpacing);
}

int CompareChar(std::uint16_t languageId, std::uint16_t sortId, char a, char b) {
  return CompareCharWith(languageId, sortId, a, b, cmIgnoreNonSpacing);
}

// A language maps case as its own locale does; language 0 (and a language without locale
// services) as code page 1252 does.
const unsigned char* UpperCaseTable(std::uint16_t languageId) {
  if (languageId != 0)
    if (const TCaseTables* t = CaseTablesOfLanguage(languageId)) return t->Upper;
  const TCodePage* p = Latin1CodePage();
  return p ? p->UpperTable() : IdentityTable();
}

const unsigned char* LowerCaseTable(std::uint16_t languageId) {
  if (languageId != 0)
    if (const TCaseTables* t = CaseTablesOfLanguage(languageId)) return t->Lower;
  const TCodePage* p = Latin1CodePage();
  return p ? p->LowerTable() : IdentityTable();
}

namespace {

void MapInPlace(const unsigned char* table, char* text, std::size_t length) {
  auto* p = reinterpret_cast<unsigned char*>(text);
  for (std::size_t i = 0; i < length && p[i] != 0; ++i) p[i] = table[p[i]];
}

}  // namespace

void OSUpperString(std::uint16_t languageId, std::uint16_t, char* text) {
  MapInPlace(UpperCaseTable(languageId), text, std::numeric_limits<std::size_t>::max());
}

void OSLowerString(std::uint16_t languageId, std::uint16_t, char* text) {
  MapInPlace(LowerCaseTable(languageId), text, std::numeric_limits<std::size_t>::max());
}

void OSUpperString(std::uint16_t languageId, std::uint16_t, char* text, std::size_t length) {
  MapInPlace(UpperCaseTable(languageId), text, length);
}

void OSUpperString(std::uint16_t languageId, std::uint16_t, std::string& text) {
  const unsigned char* t = UpperCaseTable(languageId);
  for (char& c : text) c = static_cast<char>(t[static_cast<unsigned char>(c)]);
}

void OSLowerString(std::uint16_t languageId, std::uint16_t, std::string& text) {
  const unsigned char* t = LowerCaseTable(languageId);
  for (char& c : text) c = static_cast<char>(t[static_cast<unsigned char>(c)]);
}

int CompareBytes(const void* left, const void* right, std::size_t count, bool reverse) {
  if (left == nullptr) return right == nullptr ? 0 : 1;
  if (right == nullptr) return -1;
  int r = std::memcmp(left, right, count);
  r = r < 0 ? -1 : (r > 0 ? 1 : 0);
  return reverse ? -r : r;
}

// --- character maps -----------------------------------------------------------------------

void TLanguageCharMapsList::BuildCharMap(std::uint16_t languageId, std::uint16_t sortId,
                                         TCharMap& map) {
  for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i);
  if (languageId == 0) return;
  std::stable_sort(map.begin(), map.end(), [&](unsigned char a, unsigned char b) {
    return OSCompareCharNoAccent(languageId, sortId, static_cast<char>(a),
                                 static_cast<char>(b)) < 0;
  });
}

void TLanguageCharMapsList::GetCharMap(std::uint16_t languageId, std::uint16_t sortId,
                                       TCharMap& map) {
  TCriticalSectionGuard guard(lock_);
  for (const auto& e : entries_) {
    if (e->LanguageID == languageId && e->SortID == sortId) {
      map = e->Map;
      return;
    }
  }
  auto entry = std::make_unique<TEntry>();
  entry->LanguageID = languageId;
  entry->SortID = sortId;
  BuildCharMap(languageId, sortId, entry->Map);
  map = entry->Map;
  entries_.push_back(std::move(entry));
}

void TLanguageCharMapsList::FreeAllCharMaps() {
  TCriticalSectionGuard guard(lock_);
  entries_.clear();
}

std::size_t TLanguageCharMapsList::Count() {
  TCriticalSectionGuard guard(lock_);
  return entries_.size();
}

TLanguageCharMapsList& LanguageCharMaps() {
  static TLanguageCharMapsList list;
  return list;
}

void GetLanguageCharMap(std::uint16_t languageId, std::uint16_t sortId, TCharMap& map) {
  LanguageCharMaps().GetCharMap(languageId, sortId, map);
}

// --- TLanguageStringList ------------------------------------------------------------------

void TLanguageStringList::SetLanguage(std::uint16_t languageId, std::uint16_t sortId) {
  languageId_ = languageId;
  sortId_ = sortId;
  Sort();
}

int TLanguageStringList::Add(const std::string& s) {
  int index = 0;
  if (Find(s, index)) {
    if (duplicates_ == dupIgnore) return index;
    if (duplicates_ == dupError) throw Exception("String list does not allow duplicates");
  }
  items_.insert(items_.begin() + index, s);
  return index;
}

void TLanguageStringList::Delete(std::size_t index) {
  if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

void TLanguageStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [&](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
}

bool TLanguageStringList::Find(const std::string& text, int& index) const {
  int lo = 0;
  int hi = static_cast<int>(items_.size()) - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int c = Compare(items_[static_cast<std::size_t>(mid)], text);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) found = true;  // go on to the left: the first of equal entries
    }
  }
  index = lo;
  return found;
}

bool TLanguageStringList::FindPartial(const std::string& text, int& index,
                                      std::size_t length) const {
  int lo = index < 0 ? 0 : index;
  int hi = static_cast<int>(items_.size()) - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int c = Compare(items_[static_cast<std::size_t>(mid)], text, length);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) found = true;
    }
  }
  index = lo;
  return found;
}

bool TLanguageStringList::FindUsingPartials(const std::string& text, int& index) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const std::string& item = items_[i];
    bool partial = !item.empty() && item.back() == '*';
    bool match;
    if (partial) {
      std::size_t prefix = item.size() - 1;
      // "*" alone matches everything; otherwise the text must hold at least the prefix.
      match = prefix == 0 || (text.size() >= prefix &&
                              Compare(item.substr(0, prefix), text.substr(0, prefix)) == 0);
    } else {
      match = Compare(item, text) == 0;
    }
    if (match) {
      index = static_cast<int>(i);
      return true;
    }
  }
  Find(text, index);  // no entry matches: report the insertion point
  return false;
}

bool CompareTStrings(std::uint16_t languageId, std::uint16_t sortId, const TStringList* a,
                     const TStringList* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->Count() != b->Count()) return false;
  for (std::size_t i = 0; i < a->Count(); ++i)
    if (OSCompareStrings(languageId, sortId, (*a)[i], true, 0, (*b)[i]) != 0) return false;
  return true;
}

// --- language format settings -------------------------------------------------------------

namespace {

TCriticalSection& LanguageSettingsLock() {
  static TCriticalSection lock;
  return lock;
}

// ICU date pattern -> our format letters; four-digit years always.
std::string ConvertDatePattern(const std::string& p) {
  std::string out;
  std::size_t i = 0;
  while (i < p.size()) {
    char c = p[i];
    if (c == '\'') {
      std::size_t end = p.find('\'', i + 1);
      if (end == std::string::npos) end = p.size();
      if (end == i + 1) {
        out += "\"'\"";  // a doubled quote is a literal quote character
      } else {
        out += '"';
        out.append(p, i + 1, end - i - 1);
        out += '"';
      }
      i = end + 1;
      continue;
    }
    std::size_t run = 1;
    while (i + run < p.size() && p[i + run] == c) ++run;
    switch (c) {
      case 'y': case 'Y': case 'u': out += "yyyy"; break;
      case 'M': case 'L': out += std::string(std::min<std::size_t>(run, 4), 'M'); break;
      case 'd': out += std::string(std::min<std::size_t>(run, 2), 'd'); break;
      case 'E': case 'c': case 'e': out += run <= 3 ? "ddd" : "dddd"; break;
      default:
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) break;  // era, quarter...: dropped
        out.append(run, c);
        break;
    }
    i += run;
  }
  // Trim separators left behind by dropped fields.
  std::size_t b = out.find_first_not_of(" ,");
  std::size_t e = out.find_last_not_of(" ,");
  return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
}

bool IsDateField(char c) { return c == 'd' || c == 'D' || c == 'm' || c == 'M' || c == 'y' || c == 'Y'; }

// The short date format as the locale parser reads it back: from the first field to the last,
// without the literal prefix or suffix some locales add ("yyyy. MM. dd.", "d.MM.yyyy 'g.'").
std::string ReadableShortDateFormat(const std::string& format) {
  std::size_t first = std::string::npos, last = std::string::npos;
  char quote = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (IsDateField(c)) {
      if (first == std::string::npos) first = i;
      last = i;
    }
  }
  if (first == std::string::npos) return format;
  return format.substr(first, last - first + 1);
}

char FirstSeparator(const std::string& format) {
  char quote = 0;
  for (char c : format) {
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && c != ' ') return c;
  }
  return 0;
}

// The currency pattern's positive and negative layouts as the two format numbers.
void CurrencyLayouts(const std::string& pattern, unsigned char& positive, unsigned char& negative) {
  std::string pos = pattern.substr(0, pattern.find(';'));
  std::size_t sign = pos.find('\xA4');
  std::size_t digit = pos.find_first_of("#0");
  if (sign == std::string::npos || digit == std::string::npos) {
    positive = 0;
    negative = 1;
    return;
  }
  bool before = sign < digit;
  bool spaced = before ? (sign + 1 < pos.size() && pos[sign + 1] == ' ')
                       : (sign > 0 && pos[sign - 1] == ' ');
  positive = before ? (spaced ? 2 : 0) : (spaced ? 3 : 1);
  bool parentheses = pattern.find('(') != std::string::npos;
  if (parentheses)
    negative = before ? (spaced ? 14 : 0) : (spaced ? 15 : 4);
  else
    negative = before ? (spaced ? 9 : 1) : (spaced ? 8 : 5);
}

}  // namespace

void GetDefaultLanguageSettings(std::uint16_t languageId, std::uint16_t,
                                TLanguageSettings& settings) {
  TLanguageSettings s;
  if (languageId == 0) {
    settings = FixedLanguageSettings();
    return;
  }
  TLocaleFormatData d;
  bool known = ReadLocaleFormatData(languageId, d);
  s.CurrencyString = !d.CurrencySymbol.empty() ? d.CurrencySymbol : "$";
  s.CurrencyFormat = 0;
  s.NegCurrFormat = 1;
  if (!d.CurrencyPattern.empty()) CurrencyLayouts(d.CurrencyPattern, s.CurrencyFormat, s.NegCurrFormat);
  s.ThousandSeparator = d.GroupingSeparator.size() == 1 ? d.GroupingSeparator[0] : ',';
  s.DecimalSeparator = d.DecimalSeparator.size() == 1 ? d.DecimalSeparator[0] : '.';
  s.CurrencyDecimals =
      d.CurrencyDecimals >= 0 && d.CurrencyDecimals <= 9 ? static_cast<unsigned char>(d.CurrencyDecimals) : 2;
  std::string shortDate = ReadableShortDateFormat(ConvertDatePattern(d.ShortDatePattern));
  std::string longDate = ConvertDatePattern(d.FullDatePattern);
  s.ShortDateFormat = !shortDate.empty() ? shortDate : "M/d/yyyy";
  s.LongDateFormat = !longDate.empty() ? longDate : "dddd, MMMM dd, yyyy";
  char dateSep = FirstSeparator(s.ShortDateFormat);
  s.DateSeparator = dateSep ? dateSep : '/';
  // The time: leading zero and 12-hour clock as the locale's short time pattern has them.
  const std::string& t = d.ShortTimePattern;
  bool twelveHour = known && (t.find('h') != std::string::npos || t.find('K') != std::string::npos);
  bool leadingZero = t.find("hh") != std::string::npos || t.find("HH") != std::string::npos ||
                     t.find("KK") != std::string::npos || t.find("kk") != std::string::npos;
  char timeSep = ':';
  for (char c : t) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && c != ' ' && c != '\'') {
      timeSep = c;
      break;
    }
  }
  s.TimeSeparator = timeSep;
  s.TimeAMString = !d.AMString.empty() ? d.AMString : "AM";
  s.TimePMString = !d.PMString.empty() ? d.PMString : "PM";
  std::string hour = leadingZero ? "hh" : "h";
  s.ShortTimeFormat = hour + ":mm" + (twelveHour ? " AMPM" : "");
  s.LongTimeFormat = hour + ":mm:ss" + (twelveHour ? " AMPM" : "");
  SetEnglishNames(s);
  for (int i = 0; i < 12; ++i) {
    if (!d.ShortMonthNames[i].empty()) s.ShortMonthNames[i] = d.ShortMonthNames[i];
    if (!d.LongMonthNames[i].empty()) s.LongMonthNames[i] = d.LongMonthNames[i];
  }
  for (int i = 0; i < 7; ++i) {
    if (!d.ShortDayNames[i].empty()) s.ShortDayNames[i] = d.ShortDayNames[i];
    if (!d.LongDayNames[i].empty()) s.LongDayNames[i] = d.LongDayNames[i];
  }
  settings = s;
}

void GetLanguageSettings(TLanguageSettings& settings) {
  settings = static_cast<const TLanguageSettings&>(GetFormatSettings());
}

void SetLanguageSettings(const TLanguageSettings& settings) {
  // The two-digit-year window is not part of a language's settings: it stays as it is.
  TFormatSettings current = GetFormatSettings();
  static_cast<TLanguageSettings&>(current) = settings;
  SetFormatSettings(current);
}

void LockLanguageSettings() { LanguageSettingsLock().lock(); }
void UnlockLanguageSettings() { LanguageSettingsLock().unlock(); }

}  // namespace korvel
