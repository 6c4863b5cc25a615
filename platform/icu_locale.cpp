#include "platform/icu_locale.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/ucoleitr.h>
#include <unicode/ustring.h>
#include <unicode/udat.h>
#include <unicode/udatpg.h>
#include <unicode/uloc.h>
#include <unicode/unum.h>
#include <unicode/uset.h>

namespace korvel {

namespace {

struct TLocaleRow {
  std::uint16_t primary;
  std::uint16_t sub;
  const char* locale;
  unsigned codePage;
};

// Every language the engine knows, by (primary language, sublanguage).
constexpr TLocaleRow kLocales[] = {
    {54, 1, "af_ZA", 1252},  {28, 1, "sq_AL", 1250},  {1, 1, "ar_SA", 1256},
    {1, 2, "ar_IQ", 1256},   {1, 3, "ar_EG", 1256},   {1, 4, "ar_LY", 1256},
    {1, 5, "ar_DZ", 1256},   {1, 6, "ar_MA", 1256},   {1, 7, "ar_TN", 1256},
    {1, 8, "ar_OM", 1256},   {1, 9, "ar_YE", 1256},   {1, 10, "ar_SY", 1256},
    {1, 11, "ar_JO", 1256},  {1, 12, "ar_LB", 1256},  {1, 13, "ar_KW", 1256},
    {1, 14, "ar_AE", 1256},  {1, 15, "ar_BH", 1256},  {1, 16, "ar_QA", 1256},
    {45, 1, "eu_ES", 1252},  {35, 1, "be_BY", 1251},  {2, 1, "bg_BG", 1251},
    {3, 1, "ca_ES", 1252},   {26, 1, "hr_HR", 1250},  {5, 1, "cs_CZ", 1250},
    {6, 1, "da_DK", 1252},   {19, 1, "nl_NL", 1252},  {19, 2, "nl_BE", 1252},
    {9, 1, "en_US", 1252},   {9, 2, "en_GB", 1252},   {9, 3, "en_AU", 1252},
    {9, 4, "en_CA", 1252},   {9, 5, "en_NZ", 1252},   {9, 6, "en_IE", 1252},
    {9, 7, "en_ZA", 1252},   {9, 8, "en_JM", 1252},   {9, 9, "en_029", 1252},
    {9, 10, "en_BZ", 1252},  {9, 11, "en_TT", 1252},  {37, 1, "et_EE", 1257},
    {56, 1, "fo_FO", 1252},  {41, 1, "fa_IR", 1256},  {11, 1, "fi_FI", 1252},
    {12, 1, "fr_FR", 1252},  {12, 2, "fr_BE", 1252},  {12, 3, "fr_CA", 1252},
    {12, 4, "fr_CH", 1252},  {12, 5, "fr_LU", 1252},  {7, 1, "de_DE", 1252},
    {7, 2, "de_CH", 1252},   {7, 3, "de_AT", 1252},   {7, 4, "de_LU", 1252},
    {7, 5, "de_LI", 1252},   {8, 1, "el_GR", 1253},   {13, 1, "he_IL", 1255},
    {14, 1, "hu_HU", 1250},  {15, 1, "is_IS", 1252},  {33, 1, "id_ID", 1252},
    {16, 1, "it_IT", 1252},  {16, 2, "it_CH", 1252},  {38, 1, "lv_LV", 1257},
    {39, 1, "lt_LT", 1257},  {20, 1, "nb_NO", 1252},  {20, 2, "nn_NO", 1252},
    {21, 1, "pl_PL", 1250},  {22, 2, "pt_PT", 1252},  {22, 1, "pt_BR", 1252},
    {24, 1, "ro_RO", 1250},  {25, 1, "ru_RU", 1251},  {26, 2, "sr_Latn_RS", 1250},
    {26, 3, "sr_Cyrl_RS", 1251}, {27, 1, "sk_SK", 1250}, {36, 1, "sl_SI", 1250},
    // Castilian is the traditional Spanish order (ch and ll are letters of their own).
    {10, 1, "es_ES@collation=traditional", 1252}, {10, 2, "es_MX", 1252},
    {10, 3, "es_ES", 1252},  {10, 4, "es_GT", 1252},  {10, 5, "es_CR", 1252},
    {10, 6, "es_PA", 1252},  {10, 7, "es_DO", 1252},  {10, 8, "es_VE", 1252},
    {10, 9, "es_CO", 1252},  {10, 10, "es_PE", 1252}, {10, 11, "es_AR", 1252},
    {10, 12, "es_EC", 1252}, {10, 13, "es_CL", 1252}, {10, 14, "es_UY", 1252},
    {10, 15, "es_PY", 1252}, {10, 16, "es_BO", 1252}, {10, 17, "es_SV", 1252},
    {10, 18, "es_HN", 1252}, {10, 19, "es_NI", 1252}, {10, 20, "es_PR", 1252},
    {29, 1, "sv_SE", 1252},  {29, 2, "sv_FI", 1252},  {30, 1, "th_TH", 874},
    {31, 1, "tr_TR", 1254},  {34, 1, "uk_UA", 1251},  {42, 1, "vi_VN", 1258},
};
constexpr std::size_t kLocaleCount = sizeof kLocales / sizeof kLocales[0];
constexpr std::uint16_t kGermanPrimary = 7;

constexpr std::uint16_t IdOf(const TLocaleRow& r) {
  return static_cast<std::uint16_t>((r.sub << 10) | (r.primary & 0xFF));
}

// Language id -> row + 1 (0: unknown). 64 KB, built once.
const std::array<std::uint8_t, 65536>& RowIndex() {
  static const auto table = [] {
    auto t = std::make_unique<std::array<std::uint8_t, 65536>>();
    t->fill(0);
    for (std::size_t i = 0; i < kLocaleCount; ++i) (*t)[IdOf(kLocales[i])] = static_cast<std::uint8_t>(i + 1);
    return t;
  }();
  return *table;
}

// --- code pages -----------------------------------------------------------------------------

struct TCodePageSlot {
  std::once_flag once;
  const TCodePage* page = nullptr;
};

}  // namespace

const TCodePage* TCodePage::Get(unsigned codePage) {
  static const unsigned kKnown[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
  static TCodePageSlot slots[sizeof kKnown / sizeof kKnown[0]];
  for (std::size_t i = 0; i < sizeof kKnown / sizeof kKnown[0]; ++i) {
    if (kKnown[i] != codePage) continue;
    std::call_once(slots[i].once, [&] {
      // Kept until the process ends, like every other locale table.
      auto* page = new TCodePage(codePage);
      if (page->Build())
        slots[i].page = page;
      else
        delete page;
    });
    return slots[i].page;
  }
  return nullptr;
}

bool TCodePage::Build() {
  char name[32];
  std::snprintf(name, sizeof name, "windows-%u", number_);
  UErrorCode status = U_ZERO_ERROR;
  UConverter* conv = ucnv_open(name, &status);
  if (U_FAILURE(status)) return false;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    UChar out[4] = {};
    status = U_ZERO_ERROR;
    ucnv_reset(conv);
    int32_t n = ucnv_toUChars(conv, out, 4, &in, 1, &status);
    // Bytes the code page leaves undefined keep their Latin-1 value, so that two different
    // bytes never become the same character.
    if (U_FAILURE(status) || n != 1 || out[0] == 0xFFFD || (out[0] == 0x1A && b != 0x1A))
      out[0] = static_cast<UChar>(b);
    toUnicode_[b] = out[0];
  }
  ucnv_close(conv);
  std::unordered_map<UChar, unsigned char> back;
  for (int b = 255; b >= 0; --b) back[toUnicode_[b]] = static_cast<unsigned char>(b);
  for (int b = 0; b < 256; ++b) {
    UChar32 u = u_toupper(toUnicode_[b]);
    UChar32 l = u_tolower(toUnicode_[b]);
    auto iu = u <= 0xFFFF ? back.find(static_cast<UChar>(u)) : back.end();
    auto il = l <= 0xFFFF ? back.find(static_cast<UChar>(l)) : back.end();
    upper_[b] = iu != back.end() ? iu->second : static_cast<unsigned char>(b);
    lower_[b] = il != back.end() ? il->second : static_cast<unsigned char>(b);
  }
  return true;
}

std::string TCodePage::FromUnicode(const UChar* text, std::size_t length) const {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    UChar c = text[i];
    char mapped = '?';
    for (int b = 0; b < 256; ++b) {
      if (toUnicode_[b] == c) {
        mapped = static_cast<char>(b);
        break;
      }
    }
    // ICU's locale data uses no-break spaces where the code page's users type blanks.
    if (mapped == '?' && (c == 0x202F || c == 0x2009)) mapped = ' ';
    out += mapped;
  }
  return out;
}

// --- collators ------------------------------------------------------------------------------

bool LookupLocale(std::uint16_t languageId, std::string& icuLocale, unsigned& codePage) {
  std::uint8_t row = RowIndex()[languageId];
  if (row == 0) return false;
  icuLocale = kLocales[row - 1].locale;
  codePage = kLocales[row - 1].codePage;
  return true;
}

const TCodePage* CodePageOfLanguage(std::uint16_t languageId) {
  std::uint8_t row = RowIndex()[languageId];
  if (row == 0) return nullptr;
  return TCodePage::Get(kLocales[row - 1].codePage);
}

bool IcuHasLocale(std::uint16_t languageId) {
  static const std::set<std::string> languages = [] {
    std::set<std::string> s;
    for (int32_t i = 0; i < uloc_countAvailable(); ++i) {
      char lang[16];
      UErrorCode status = U_ZERO_ERROR;
      uloc_getLanguage(uloc_getAvailable(i), lang, sizeof lang, &status);
      if (U_SUCCESS(status)) s.insert(lang);
    }
    return s;
  }();
  std::string locale;
  unsigned codePage = 0;
  if (!LookupLocale(languageId, locale, codePage)) return false;
  if (TCodePage::Get(codePage) == nullptr) return false;
  char lang[16];
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(locale.c_str(), lang, sizeof lang, &status);
  return U_SUCCESS(status) && languages.count(lang) != 0;
}

namespace {

struct TCaseTablesSlot {
  std::once_flag once;
  const TCaseTables* tables = nullptr;
};

// One character through the locale's case mapping: the full mapping when it gives one
// character, else the simple one; the result counts only when the code page has it.
unsigned char MapCase(const TCodePage& page, const std::unordered_map<UChar, unsigned char>& back,
                      const char* language, unsigned char b, bool upper) {
  UChar in = page.ToUnicode(b);
  UChar out[8];
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = upper ? u_strToUpper(out, 8, &in, 1, language, &status)
                    : u_strToLower(out, 8, &in, 1, language, &status);
  UChar32 mapped = U_SUCCESS(status) && n == 1 ? out[0] : (upper ? u_toupper(in) : u_tolower(in));
  auto it = mapped <= 0xFFFF ? back.find(static_cast<UChar>(mapped)) : back.end();
  return it != back.end() ? it->second : b;
}

}  // namespace

const TCaseTables* CaseTablesOfLanguage(std::uint16_t languageId) {
  static TCaseTablesSlot slots[kLocaleCount];
  std::uint8_t row = RowIndex()[languageId];
  if (row == 0) return nullptr;
  TCaseTablesSlot& slot = slots[row - 1];
  std::call_once(slot.once, [&] {
    const TLocaleRow& r = kLocales[row - 1];
    const TCodePage* page = TCodePage::Get(r.codePage);
    if (page == nullptr) return;
    char language[16];
    UErrorCode status = U_ZERO_ERROR;
    uloc_getLanguage(r.locale, language, sizeof language, &status);
    if (U_FAILURE(status)) return;
    std::unordered_map<UChar, unsigned char> back;
    for (int b = 255; b >= 0; --b) back[page->ToUnicode(static_cast<unsigned char>(b))] = static_cast<unsigned char>(b);
    auto* tables = new TCaseTables;  // kept until the process ends
    for (int b = 0; b < 256; ++b) {
      tables->Upper[b] = MapCase(*page, back, language, static_cast<unsigned char>(b), true);
      tables->Lower[b] = MapCase(*page, back, language, static_cast<unsigned char>(b), false);
    }
    slot.tables = tables;
  });
  return slot.tables;
}

namespace {

// One slot per (row, sort id); a slot is filled once and then read without a lock.
struct TCollatorSlot {
  std::once_flag once;
  std::atomic<const TLocaleCollator*> collator{nullptr};
};

TCollatorSlot* CollatorSlots() {
  static TCollatorSlot slots[kLocaleCount * 2];
  return slots;
}

}  // namespace

const TLocaleCollator* TLocaleCollator::Get(std::uint16_t languageId, std::uint16_t sortId) {
  if (sortId > 1) return nullptr;
  std::uint8_t row = RowIndex()[languageId];
  if (row == 0) return nullptr;
  const TLocaleRow& r = kLocales[row - 1];
  if (sortId == 1 && r.primary != kGermanPrimary) return nullptr;
  TCollatorSlot& slot = CollatorSlots()[(row - 1) * 2 + sortId];
  std::call_once(slot.once, [&] {
    const TCodePage* page = TCodePage::Get(r.codePage);
    if (page == nullptr) return;
    std::string locale = r.locale;
    if (sortId == 1) locale += "@collation=phonebook";
    auto* c = new TLocaleCollator();
    if (c->Open(locale, page))
      slot.collator.store(c, std::memory_order_release);
    else
      delete c;
  });
  return slot.collator.load(std::memory_order_acquire);
}

bool TLocaleCollator::Open(const std::string& locale, const TCodePage* codePage) {
  locale_ = locale;
  codePage_ = codePage;
  for (int mode = 0; mode < 3; ++mode) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open(locale.c_str(), &status);
    if (U_FAILURE(status)) return false;
    collators_[mode] = c;
    // Punctuation and blanks always count (the "string sort").
    ucol_setAttribute(c, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
    ucol_setAttribute(c, UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
    switch (mode) {
      case cmStringSort:
        ucol_setAttribute(c, UCOL_STRENGTH, UCOL_TERTIARY, &status);
        break;
      case cmIgnoreNonSpacing:
        ucol_setAttribute(c, UCOL_STRENGTH, UCOL_PRIMARY, &status);
        ucol_setAttribute(c, UCOL_CASE_LEVEL, UCOL_ON, &status);
        break;
      default:
        ucol_setAttribute(c, UCOL_STRENGTH, UCOL_PRIMARY, &status);
        ucol_setAttribute(c, UCOL_CASE_LEVEL, UCOL_OFF, &status);
        break;
    }
    if (U_FAILURE(status)) return false;
  }
  BuildPrimaryWeights();
  return true;
}

namespace {

// The primary weights a character brings, as its collation elements give them: their count (0
// when it has none, -1 when ICU cannot say) and their bytes one weight after another, each weight
// whole (a sort key would write a lead byte shared with the weight before it only once). `bytes`
// is -1 when they do not fit in `room`.
struct TPrimaryWeights {
  int count = 0;
  int bytes = 0;
};

TPrimaryWeights PrimaryWeightsOf(const UCollator* collator, UChar c, std::uint8_t* out, std::size_t room) {
  TPrimaryWeights w;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCollationElements, void (*)(UCollationElements*)> elements(
      ucol_openElements(collator, &c, 1, &status), ucol_closeElements);
  if (U_FAILURE(status)) return {-1, -1};
  for (;;) {
    const int32_t element = ucol_next(elements.get(), &status);
    if (U_FAILURE(status)) return {-1, -1};
    if (element == UCOL_NULLORDER) return w;
    const bool continuation = (element & 0xC0) == 0xC0;  // the rest of a long weight
    const auto order = static_cast<std::uint32_t>(ucol_primaryOrder(element));
    if (!continuation && order != 0) ++w.count;
    // A weight's bytes are never zero but at its end, where they mean "shorter".
    for (std::uint32_t byte : {order >> 8, order & 0xFFu}) {
      if (byte == 0 || w.bytes < 0) continue;
      if (static_cast<std::size_t>(w.bytes) == room) {
        w.bytes = -1;
        continue;
      }
      out[w.bytes++] = static_cast<std::uint8_t>(byte);
    }
  }
}

}  // namespace

// A byte is context-free when its character is no later character of a contraction (prefix
// contexts included) that the code page can spell, and neither is nor begins or ends with a combining
// mark. The primary weight of such a byte in any text of the code page is then the primary
// part of its own sort key, so comparing the concatenated weights of two texts compares their
// primary levels as ICU does. (ICU's own unsafe set is wider: it guards against combining marks
// that follow a precomposed letter; here a precomposed letter is contextual only where the code page
// can spell a combining mark.) A character with several primary weights adds them all, each whole.
void TLocaleCollator::BuildPrimaryWeights() {
  std::memset(contextual_, 1, sizeof contextual_);  // until the weights are known: ICU decides
  const UCollator* primary = collators_[cmIgnoreNonSpacingCase];
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<USet, void (*)(USet*)> contextual(uset_openEmpty(), uset_close);
  std::unique_ptr<USet, void (*)(USet*)> repertoire(uset_openEmpty(), uset_close);
  std::unique_ptr<USet, void (*)(USet*)> contractions(uset_openEmpty(), uset_close);
  for (int b = 1; b < 256; ++b) uset_add(repertoire.get(), codePage_->ToUnicode(static_cast<unsigned char>(b)));
  std::unique_ptr<USet, void (*)(USet*)> expansions(uset_openEmpty(), uset_close);
  ucol_getContractionsAndExpansions(primary, contractions.get(), expansions.get(), true, &status);
  if (U_FAILURE(status)) return;
  // A character that expands to several primary weights has them compressed in its own sort key
  // (a repeated lead byte is written once), so its key is not what it adds to a longer text: its
  // weights come whole from its collation elements instead (German phone book: a umlaut is a, e).
  std::uint8_t expanded[256][kMaxPrimaryBytes] = {};
  std::uint8_t expandedLength[256] = {};
  for (int b = 1; b < 256; ++b) {
    UChar c = codePage_->ToUnicode(static_cast<unsigned char>(b));
    if (!uset_contains(expansions.get(), c)) continue;
    const TPrimaryWeights w = PrimaryWeightsOf(primary, c, expanded[b], kMaxPrimaryBytes);
    if (w.count == 1) continue;
    if (w.count > 1 && w.bytes > 0)
      expandedLength[b] = static_cast<std::uint8_t>(w.bytes);
    else
      uset_add(contextual.get(), c);
  }
  UChar text[64];
  for (int32_t i = 0, n = uset_getItemCount(contractions.get()); i < n; ++i) {
    UChar32 start = 0, end = 0;
    UErrorCode itemStatus = U_ZERO_ERROR;
    int32_t length = uset_getItem(contractions.get(), i, &start, &end, text, 64, &itemStatus);
    if (U_FAILURE(itemStatus)) return;  // a contraction longer than we can look at: no fast path
    if (length == 0) {
      uset_addRange(contextual.get(), start, end);
      continue;
    }
    // No text holds a whole contraction without holding its later characters, so marking
    // those is enough: "l" stays context-free where only "l" followed by a middle dot contracts.
    bool spellable = true;
    for (int32_t k = 0; k < length; ++k) spellable = spellable && uset_contains(repertoire.get(), text[k]);
    if (spellable)
      for (int32_t k = 1; k < length; ++k) uset_add(contextual.get(), text[k]);
  }
  // A precomposed letter ends in a combining mark: a mark after it could reorder or join with
  // that one. Where the code page spells no combining mark at all, nothing can follow it that
  // does, and the letter keeps its own weights.
  bool marksSpellable = false;
  for (int b = 1; b < 256; ++b) {
    UChar c = codePage_->ToUnicode(static_cast<unsigned char>(b));
    marksSpellable = marksSpellable || u_getCombiningClass(c) != 0 ||
                     u_getIntPropertyValue(c, UCHAR_LEAD_CANONICAL_COMBINING_CLASS) != 0;
  }
  bool weightsAgree = true;
  for (int b = 1; b < 256; ++b) {
    UChar c = codePage_->ToUnicode(static_cast<unsigned char>(b));
    if (uset_contains(contextual.get(), c) || u_getCombiningClass(c) != 0 ||
        u_getIntPropertyValue(c, UCHAR_LEAD_CANONICAL_COMBINING_CLASS) != 0 ||
        (marksSpellable && u_getIntPropertyValue(c, UCHAR_TRAIL_CANONICAL_COMBINING_CLASS) != 0))
      continue;
    if (expandedLength[b] != 0) {
      std::memcpy(primary_[b], expanded[b], expandedLength[b]);
      primaryLength_[b] = expandedLength[b];
      continue;
    }
    std::uint8_t key[16];
    int32_t size = ucol_getSortKey(primary, &c, 1, key, sizeof key);
    // A primary-strength key is the weight bytes and a terminating zero.
    if (size < 2 || size - 1 > static_cast<int32_t>(kMaxPrimaryBytes)) continue;
    std::memcpy(primary_[b], key, static_cast<std::size_t>(size - 1));
    primaryLength_[b] = static_cast<std::uint8_t>(size - 1);
    // The two readings of a single weight must agree, or the expanded weights cannot stand
    // beside the others: ICU then decides every text that holds one.
    std::uint8_t whole[kMaxPrimaryBytes];
    const TPrimaryWeights w = PrimaryWeightsOf(primary, c, whole, kMaxPrimaryBytes);
    if (w.count == 1 && (w.bytes != size - 1 || std::memcmp(whole, key, primaryLength_[b]) != 0))
      weightsAgree = false;
  }
  if (!weightsAgree)
    for (int b = 1; b < 256; ++b)
      if (expandedLength[b] != 0) primaryLength_[b] = kContextual;
  for (int b = 0; b < 256; ++b) contextual_[b] = primaryLength_[b] == kContextual ? 1 : 0;
}

TLocaleCollator::~TLocaleCollator() {
  for (UCollator* c : collators_)
    if (c) ucol_close(c);
}

namespace {

// A UTF-16 copy of an 8-bit text: on the stack up to the inline size, else in a buffer of the
// calling thread that only ever grows.
class TWideText {
 public:
  static constexpr std::size_t kInline = 512;
  TWideText(const TCodePage& page, const char* text, std::size_t length, int which) {
    std::size_t n = 0;
    while (n < length && text[n] != 0) ++n;
    UChar* out = inline_;
    if (n > kInline) {
      thread_local std::vector<UChar> spill[2];
      if (spill[which].size() < n) spill[which].resize(n);
      out = spill[which].data();
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < n; ++i) out[i] = page.ToUnicode(p[i]);
    data_ = out;
    length_ = static_cast<int32_t>(n);
  }
  const UChar* Data() const { return data_; }
  int32_t Length() const { return length_; }

 private:
  UChar inline_[kInline];
  const UChar* data_ = nullptr;
  int32_t length_ = 0;
};

}  // namespace

namespace {

// The primary weight bytes of a text, one after another.
class TPrimaryStream {
 public:
  TPrimaryStream(const unsigned char* text, std::size_t length, const std::uint8_t (*weights)[4],
                 const std::uint8_t* lengths)
      : text_(text), length_(length), weights_(weights), lengths_(lengths) {}
  // The next weight byte, or -1 at the end of the text.
  int Next() {
    while (offset_ == lengths_[Current()]) {
      if (Current() == 0) return -1;
      ++position_;
      offset_ = 0;
    }
    return weights_[Current()][offset_++];
  }

 private:
  unsigned char Current() const { return position_ < length_ ? text_[position_] : 0; }
  const unsigned char* text_;
  std::size_t length_;
  std::size_t position_ = 0;
  std::uint8_t offset_ = 0;
  const std::uint8_t (*weights_)[4];
  const std::uint8_t* lengths_;
};

}  // namespace

namespace {

// The index of the first byte below `limit` where two texts differ (limit when none does).
std::size_t FirstDifference(const unsigned char* a, const unsigned char* b, std::size_t limit) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= limit; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const unsigned equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
    if (equal != 0xFFFFu) return i + static_cast<std::size_t>(std::countr_zero(~equal));
  }
#endif
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

bool TLocaleCollator::AnyContextual(const unsigned char* text, std::size_t length) const {
  unsigned found = 0;
  for (std::size_t k = 0; k < length; ++k) found |= contextual_[text[k]];
  return found != 0;
}

int TLocaleCollator::ComparePrimaries(const unsigned char* left, std::size_t leftLength,
                                      const unsigned char* right, std::size_t rightLength) const {
  // Equal leading bytes have equal weights: start at the first difference. Every byte of both
  // texts must be context-free, the common ones included, or cutting there is not safe.
  const std::size_t leftEnd = strnlen(reinterpret_cast<const char*>(left), leftLength);
  const std::size_t rightEnd = strnlen(reinterpret_cast<const char*>(right), rightLength);
  const std::size_t i = FirstDifference(left, right, std::min(leftEnd, rightEnd));
  if (leftEnd == i && rightEnd == i) return 0;  // the same bytes
  if (AnyContextual(left, leftEnd) || AnyContextual(right + i, rightEnd - i)) return kUndecided;
  TPrimaryStream a(left + i, leftEnd - i, primary_, primaryLength_);
  TPrimaryStream b(right + i, rightEnd - i, primary_, primaryLength_);
  for (;;) {
    int x = a.Next(), y = b.Next();
    if (x != y) return x < y ? -1 : 1;
    if (x < 0) return kPrimaryEqual;
  }
}

int TLocaleCollator::Compare(TCollationMode mode, const char* left, std::size_t leftLength,
                             const char* right, std::size_t rightLength) const {
  int primaryOrder = ComparePrimaries(reinterpret_cast<const unsigned char*>(left), leftLength,
                                      reinterpret_cast<const unsigned char*>(right), rightLength);
  if (primaryOrder <= 1) return primaryOrder;
  if (primaryOrder == kPrimaryEqual && mode == cmIgnoreNonSpacingCase) return 0;
  return CompareWithIcu(mode, left, leftLength, right, rightLength);
}

int TLocaleCollator::CompareWithIcu(TCollationMode mode, const char* left, std::size_t leftLength,
                                    const char* right, std::size_t rightLength) const {
  TWideText a(*codePage_, left, leftLength, 0);
  TWideText b(*codePage_, right, rightLength, 1);
  UCollationResult r = ucol_strcoll(collators_[mode], a.Data(), a.Length(), b.Data(), b.Length());
  return r == UCOL_LESS ? -1 : (r == UCOL_EQUAL ? 0 : 1);
}

}  // namespace korvel

namespace korvel {

namespace {

// Converts ICU text into the code page; the currency sign of number patterns stays 0xA4.
std::string Narrow(const TCodePage& page, const UChar* text, int32_t length) {
  if (length <= 0) return std::string();
  return page.FromUnicode(text, static_cast<std::size_t>(length));
}

bool IsDirectionMark(UChar c) { return c == 0x200E || c == 0x200F || c == 0x061C; }

std::string PatternText(const UChar* text, int32_t length) {
  // Patterns are ASCII apart from the currency sign and quoted literals; keep them byte-wise.
  std::string out;
  for (int32_t i = 0; i < length; ++i) {
    UChar c = text[i];
    if (c == 0x00A4) out += '\xA4';
    else if (c == 0x00A0 || c == 0x202F) out += ' ';
    else if (c < 0x80) out += static_cast<char>(c);
    else out += '?';
  }
  return out;
}

}  // namespace

bool ReadLocaleFormatData(std::uint16_t languageId, TLocaleFormatData& data) {
  data = TLocaleFormatData{};
  std::string locale;
  unsigned codePage = 0;
  if (!LookupLocale(languageId, locale, codePage)) return false;
  const TCodePage* page = TCodePage::Get(codePage);
  if (page == nullptr) return false;
  // Number and calendar data ignore collation keywords.
  std::size_t at = locale.find('@');
  if (at != std::string::npos) locale.erase(at);
  UChar buffer[256];
  UErrorCode status = U_ZERO_ERROR;

  // Numbers are read and written with ASCII digits: take the symbols of the Latin digits (the
  // Arabic ones have a decimal separator no code page carries).
  std::string numberLocale = locale + "@numbers=latn";
  UNumberFormat* currency = unum_open(UNUM_CURRENCY, nullptr, 0, numberLocale.c_str(), nullptr, &status);
  if (U_SUCCESS(status)) {
    int32_t n = 0;
    status = U_ZERO_ERROR;
    n = unum_getSymbol(currency, UNUM_CURRENCY_SYMBOL, buffer, 256, &status);
    if (U_SUCCESS(status)) data.CurrencySymbol = Narrow(*page, buffer, n);
    status = U_ZERO_ERROR;
    n = unum_getSymbol(currency, UNUM_DECIMAL_SEPARATOR_SYMBOL, buffer, 256, &status);
    if (U_SUCCESS(status)) data.DecimalSeparator = Narrow(*page, buffer, n);
    status = U_ZERO_ERROR;
    n = unum_getSymbol(currency, UNUM_GROUPING_SEPARATOR_SYMBOL, buffer, 256, &status);
    if (U_SUCCESS(status)) data.GroupingSeparator = Narrow(*page, buffer, n);
    data.CurrencyDecimals = unum_getAttribute(currency, UNUM_MAX_FRACTION_DIGITS);
    status = U_ZERO_ERROR;
    n = unum_toPattern(currency, false, buffer, 256, &status);
    if (U_SUCCESS(status)) data.CurrencyPattern = PatternText(buffer, n);
    unum_close(currency);
  }

  auto pattern = [&](UDateFormatStyle date, UDateFormatStyle time, std::string& out) {
    UErrorCode st = U_ZERO_ERROR;
    UDateFormat* f = udat_open(time, date, locale.c_str(), nullptr, 0, nullptr, 0, &st);
    if (U_FAILURE(st)) return;
    UChar p[256];
    int32_t n = udat_toPattern(f, false, p, 256, &st);
    // Direction marks only steer the display of right-to-left text; they are no separators.
    n = U_SUCCESS(st) ? static_cast<int32_t>(std::remove_if(p, p + n, IsDirectionMark) - p) : 0;
    if (U_SUCCESS(st)) out = Narrow(*page, p, n);
    udat_close(f);
  };
  pattern(UDAT_SHORT, UDAT_NONE, data.ShortDatePattern);
  pattern(UDAT_FULL, UDAT_NONE, data.FullDatePattern);
  pattern(UDAT_NONE, UDAT_SHORT, data.ShortTimePattern);

  status = U_ZERO_ERROR;
  UDateFormat* symbols = udat_open(UDAT_DEFAULT, UDAT_DEFAULT, locale.c_str(), nullptr, 0,
                                   nullptr, 0, &status);
  if (U_SUCCESS(status)) {
    auto symbol = [&](UDateFormatSymbolType type, int32_t index) {
      UErrorCode st = U_ZERO_ERROR;
      UChar s[128];
      int32_t n = udat_getSymbols(symbols, type, index, s, 128, &st);
      return U_SUCCESS(st) ? Narrow(*page, s, n) : std::string();
    };
    data.AMString = symbol(UDAT_AM_PMS, 0);
    data.PMString = symbol(UDAT_AM_PMS, 1);
    for (int i = 0; i < 12; ++i) {
      data.ShortMonthNames[i] = symbol(UDAT_SHORT_MONTHS, i);
      data.LongMonthNames[i] = symbol(UDAT_MONTHS, i);
    }
    // ICU counts weekdays from 1 = Sunday.
    for (int i = 0; i < 7; ++i) {
      data.ShortDayNames[i] = symbol(UDAT_SHORT_WEEKDAYS, i + 1);
      data.LongDayNames[i] = symbol(UDAT_WEEKDAYS, i + 1);
    }
    udat_close(symbols);
  }
  return true;
}

}  // namespace korvel
