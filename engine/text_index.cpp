// Text-index parameters, word lists and word matching (engine/text_index.h).

#include "engine/text_index.h"

#include <algorithm>
#include <cstring>

#include "support/byte_order.h"
#include "support/key_encoding.h"
#include "support/language.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// Parameters

TTextCharSet GetDefaultTextIndexSpaceChars() {
  TTextCharSet set;
  for (int c = 1; c <= 32; ++c) set.set(static_cast<std::size_t>(c));
  for (int c = '*'; c <= '/'; ++c) set.set(static_cast<std::size_t>(c));
  for (int c = ':'; c <= '>'; ++c) set.set(static_cast<std::size_t>(c));
  set.set('\\');
  set.set('`');
  return set;
}

TTextCharSet GetDefaultTextIndexIncludeChars() {
  TTextCharSet set;
  for (int c = 'A'; c <= 'Z'; ++c) set.set(static_cast<std::size_t>(c));
  for (int c = 'a'; c <= 'z'; ++c) set.set(static_cast<std::size_t>(c));
  for (int c = '0'; c <= '9'; ++c) set.set(static_cast<std::size_t>(c));
  set.set('_');
  for (int c = 128; c <= 254; ++c) set.set(static_cast<std::size_t>(c));
  return set;
}

std::vector<std::string> GetDefaultTextIndexStopWords() {
  return {"A",  "AN", "AND",  "BE",   "FOR", "HOW",  "IN",   "IS",    "IT",  "OF",  "ON",
          "OR", "THAT", "THE", "THIS", "TO", "WAS", "WHAT", "WHEN", "WHICH", "WHY", "WILL"};
}

void GetDefaultTextIndexParams(std::vector<std::string>& stopWords, TTextCharSet& spaceChars,
                               TTextCharSet& includeChars) {
  stopWords = GetDefaultTextIndexStopWords();
  spaceChars = GetDefaultTextIndexSpaceChars();
  includeChars = GetDefaultTextIndexIncludeChars();
}

std::string CharSetToString(const TTextCharSet& set) {
  std::string text;
  for (std::size_t c = 1; c < 256; ++c)
    if (set.test(c)) text.push_back(static_cast<char>(c));
  return text;
}

TTextCharSet StringToCharSet(const std::string& text) {
  TTextCharSet set;
  for (char c : text) set.set(static_cast<unsigned char>(c));
  return set;
}

namespace {

constexpr std::size_t kParamsHeaderSize = 71;

void PutCharSet(std::vector<std::uint8_t>& out, std::size_t at, const TTextCharSet& set) {
  for (std::size_t c = 0; c < 256; ++c)
    if (set.test(c)) out[at + c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
}

TTextCharSet GetCharSet(const std::uint8_t* data) {
  TTextCharSet set;
  for (std::size_t c = 0; c < 256; ++c)
    if (data[c / 8] & (1u << (c % 8))) set.set(c);
  return set;
}

}  // namespace

std::vector<std::uint8_t> EncodeTextIndexParams(const TTextIndexParams& params) {
  std::vector<std::uint8_t> out(kParamsHeaderSize, 0);
  out[4] = kTextParamsVersion;
  PutCharSet(out, 5, params.SpaceChars);
  PutCharSet(out, 37, params.IncludeChars);
  std::uint16_t count = 0;
  for (const std::string& word : params.StopWords) {
    if (word.empty() || count == UINT16_MAX) continue;
    const std::size_t n = std::min<std::size_t>(word.size(), 255);
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), word.begin(), word.begin() + static_cast<std::ptrdiff_t>(n));
    ++count;
  }
  PutU16(out.data(), 69, count);
  PutU32(out.data(), 0, static_cast<std::uint32_t>(out.size() - 4));
  return out;
}

bool DecodeTextIndexParams(const std::uint8_t* data, std::size_t size, TTextIndexParams& params) {
  if (size < kParamsHeaderSize) return false;
  const std::uint32_t length = GetU32(data, 0);
  if (length < kParamsHeaderSize - 4 || length > size - 4) return false;
  if (data[4] != kTextParamsVersion) return false;
  const std::size_t end = 4 + static_cast<std::size_t>(length);
  TTextIndexParams result;
  result.SpaceChars = GetCharSet(data + 5);
  result.IncludeChars = GetCharSet(data + 37);
  const std::uint16_t count = GetU16(data, 69);
  result.StopWords.clear();
  std::size_t at = kParamsHeaderSize;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (at >= end) return false;
    const std::size_t n = data[at++];
    if (n == 0 || n > end - at) return false;
    result.StopWords.emplace_back(reinterpret_cast<const char*>(data + at), n);
    at += n;
  }
  if (at != end) return false;
  params = std::move(result);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Word lists

TWord& TWordList::Append() {
  if (count_ == words_.size()) words_.emplace_back();
  TWord& word = words_[count_++];
  word.Text.clear();
  word.Upper.clear();
  word.Value = 0;
  return word;
}

namespace {

int CompareUpperWords(std::uint16_t languageId, std::uint16_t sortId, const std::string& a, const std::string& b) {
  if (languageId == 0) {
    const int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  const int r = OSCompareStrings(languageId, sortId, a.c_str(), false, kMaxWordLength, b.c_str());
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// Sorts the words in key order and merges equal ones, counting them.
void MakeUnique(TWordList& list, std::uint16_t languageId, std::uint16_t sortId) {
  TWord* words = list.Data();
  const std::size_t n = list.Count();
  std::sort(words, words + n, [&](const TWord& a, const TWord& b) {
    return CompareUpperWords(languageId, sortId, a.Upper, b.Upper) < 0;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (kept > 0 && CompareUpperWords(languageId, sortId, words[kept - 1].Upper, words[i].Upper) == 0) {
      ++words[kept - 1].Value;
      continue;
    }
    if (kept != i) std::swap(words[kept], words[i]);
    words[kept].Value = 1;
    ++kept;
  }
  list.Truncate(kept);
}

}  // namespace

void BuildWordList(const char* text, std::size_t length, TWordList& list, bool wildcards, bool unique,
                   const TTextCharSet& include, const TTextCharSet& space, std::uint16_t languageId,
                   std::uint16_t sortId) {
  list.Clear();
  const unsigned char* upper = UpperCaseTable(languageId);
  TWord* current = nullptr;
  auto finish = [&] {
    if (current == nullptr) return;
    if (current->Text.empty()) list.Truncate(list.Count() - 1);
    current = nullptr;
  };
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool star = wildcards && c == '*';
    if (space.test(c) && !star) {
      finish();
      continue;
    }
    if (current == nullptr) {
      current = &list.Append();
      current->Value = static_cast<std::int32_t>(i);
    }
    if ((include.test(c) || star) && current->Text.size() < kMaxWordLength) {
      current->Text.push_back(static_cast<char>(c));
      current->Upper.push_back(static_cast<char>(upper[c]));
    }
  }
  finish();
  if (unique) MakeUnique(list, languageId, sortId);
}

// ---------------------------------------------------------------------------------------------
// TTextIndex

TTextIndex::TTextIndex(const TTextIndexParams& params, std::uint16_t languageId, std::uint16_t sortId)
    : params_(params), languageId_(languageId), sortId_(sortId) {
  const unsigned char* upper = UpperCaseTable(languageId);
  for (const std::string& word : params_.StopWords) {
    std::string u = word.substr(0, kMaxWordLength);
    for (char& c : u) c = static_cast<char>(upper[static_cast<unsigned char>(c)]);
    stopUpper_.push_back(std::move(u));
  }
  std::sort(stopUpper_.begin(), stopUpper_.end(),
            [this](const std::string& a, const std::string& b) { return CompareWords(a, b) < 0; });
}

void TTextIndex::CreateWordsList(const char* text, std::size_t length, bool wildcards, TWordList& list) const {
  BuildWordList(text, length, list, wildcards, true, params_.IncludeChars, params_.SpaceChars, languageId_, sortId_);
}

int TTextIndex::CompareWords(const std::string& a, const std::string& b) const {
  return CompareUpperWords(languageId_, sortId_, a, b);
}

bool TTextIndex::IsStopWord(const std::string& upper) const {
  auto it = std::lower_bound(stopUpper_.begin(), stopUpper_.end(), upper,
                             [this](const std::string& a, const std::string& b) { return CompareWords(a, b) < 0; });
  return it != stopUpper_.end() && CompareWords(*it, upper) == 0;
}

bool TTextIndex::HasPrefix(const std::string& upperWord, const std::string& upperPrefix) const {
  if (upperPrefix.empty()) return true;
  if (languageId_ == 0) return upperWord.compare(0, upperPrefix.size(), upperPrefix) == 0;
  return OSCompareStrings(languageId_, sortId_, upperWord.c_str(), false, upperPrefix.size(), upperPrefix.c_str()) == 0;
}

bool TTextIndex::PrefixOfStopWord(const std::string& upperPrefix) const {
  return std::any_of(stopUpper_.begin(), stopUpper_.end(),
                     [&](const std::string& stop) { return HasPrefix(stop, upperPrefix); });
}

namespace {

std::string PrefixOf(const TWord& word) { return word.Upper.substr(0, word.Upper.size() - 1); }

}  // namespace

bool TTextIndex::Matches(const TWordList& searchWords, const TWordList& recordWords) const {
  for (const TWord& search : searchWords) {
    if (IsPrefixWord(search.Upper)) {
      const std::string prefix = PrefixOf(search);
      if (!std::any_of(recordWords.begin(), recordWords.end(),
                       [&](const TWord& w) { return HasPrefix(w.Upper, prefix); }))
        return false;
      continue;
    }
    if (IsStopWord(search.Upper)) continue;
    // The record's unique list is in key order.
    const TWord* it = std::lower_bound(recordWords.begin(), recordWords.end(), search,
                                       [this](const TWord& a, const TWord& b) { return CompareWords(a.Upper, b.Upper) < 0; });
    if (it == recordWords.end() || CompareWords(it->Upper, search.Upper) != 0) return false;
  }
  return true;
}

std::uint32_t TTextIndex::Occurrences(const TWordList& searchWords, const TWordList& recordWords) const {
  std::uint32_t total = 0;
  for (const TWord& search : searchWords) {
    if (IsPrefixWord(search.Upper)) {
      const std::string prefix = PrefixOf(search);
      for (const TWord& w : recordWords)
        if (HasPrefix(w.Upper, prefix)) total += static_cast<std::uint32_t>(w.Value);
      continue;
    }
    if (IsStopWord(search.Upper)) continue;
    for (const TWord& w : recordWords)
      if (CompareWords(w.Upper, search.Upper) == 0) total += static_cast<std::uint32_t>(w.Value);
  }
  return total;
}

void TTextIndex::BuildKey(std::uint16_t fieldNumber, const std::string& upper, std::int32_t recordId,
                          std::uint8_t* key) {
  std::memset(key, 0, kTextKeySize);
  key[0] = kTextKeyFlag;
  FlipWordBits(fieldNumber, key + kTextKeyFieldOffset);
  std::memcpy(key + kTextKeyWordOffset, upper.data(), std::min(upper.size(), kMaxWordLength));
  FlipIntegerBits(recordId, key + kTextKeyIdOffset);
}

}  // namespace korvel
