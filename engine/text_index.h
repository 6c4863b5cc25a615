#pragma once
// The full-text word index of a table: its parameters, the splitting of texts into words, the
// keys of the "Sys Text" index and the matching of search words against the words of a text.
//
// A table has one set of parameters: stop words (never indexed, and always matched by a
// search), space characters (they end a word) and include characters (the only characters a
// word keeps; any other byte is dropped without ending the word, so "don't" gives "dont").
// Words are cut to 61 characters.
//
// Word key ("Sys Text", index slot 32), 68 bytes:
//
//   OFFSET  SIZE  DESCRIPTION
//   0       1     1
//   1       2     field number, big-endian
//   3       61    the word upper-cased for the table's language, zero-padded
//   64      4     the record's ID in the integer key encoding
//
// One key per distinct word per field per record. Words compare by the table's collation,
// case-sensitively over the upper-cased text; two words are "the same word" exactly when their
// key words compare equal, and that one rule serves the word lists, the stop words, the keys
// and record-by-record matching, so that an index answer and an evaluation never differ.
//
// Stored parameters: the data pages of slot 32 hold one encoded block, spread over the pages'
// 4,083-byte bodies in chain order:
//
//   OFFSET  SIZE  DESCRIPTION
//   0       4     n, the number of bytes that follow (uint32, little-endian)
//   4       1     format version, 1
//   5       32    space characters: bit (c mod 8) of byte (c div 8) set for member c
//   37      32    include characters, the same way
//   69      2     stop-word count (uint16)
//   71      ...   each stop word: length byte, then the characters
//
// A table whose slot 32 has no data pages uses the defaults.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

using TTextCharSet = std::bitset<256>;

inline constexpr std::size_t kMaxWordLength = 61;
inline constexpr std::size_t kTextKeySize = 68;
inline constexpr std::size_t kTextKeyFieldOffset = 1;
inline constexpr std::size_t kTextKeyWordOffset = 3;
inline constexpr std::size_t kTextKeyIdOffset = 64;
inline constexpr std::uint8_t kTextKeyFlag = 1;
inline constexpr std::uint8_t kTextParamsVersion = 1;

TTextCharSet GetDefaultTextIndexSpaceChars();
TTextCharSet GetDefaultTextIndexIncludeChars();
std::vector<std::string> GetDefaultTextIndexStopWords();

// The members of a set in byte order (1 to 255; byte 0 has no place in a text).
std::string CharSetToString(const TTextCharSet& set);
TTextCharSet StringToCharSet(const std::string& text);

struct TTextIndexParams {
  std::vector<std::string> StopWords = GetDefaultTextIndexStopWords();
  TTextCharSet SpaceChars = GetDefaultTextIndexSpaceChars();
  TTextCharSet IncludeChars = GetDefaultTextIndexIncludeChars();

  bool operator==(const TTextIndexParams& other) const = default;
};

void GetDefaultTextIndexParams(std::vector<std::string>& stopWords, TTextCharSet& spaceChars,
                               TTextCharSet& includeChars);

// The stored form above, and back. Decoding answers false for a damaged block.
std::vector<std::uint8_t> EncodeTextIndexParams(const TTextIndexParams& params);
bool DecodeTextIndexParams(const std::uint8_t* data, std::size_t size, TTextIndexParams& params);

// One word of a text. Unique lists: Value is the number of occurrences; full lists: the
// offset where the word starts.
struct TWord {
  std::string Text;   // as in the text (cut to 61 characters)
  std::string Upper;  // upper-cased for the table's language: the key word
  std::int32_t Value = 0;
};

// A list of words that keeps its strings' storage from one text to the next.
class TWordList {
 public:
  std::size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  const TWord& operator[](std::size_t i) const { return words_[i]; }
  TWord& operator[](std::size_t i) { return words_[i]; }
  const TWord* begin() const { return words_.data(); }
  const TWord* end() const { return words_.data() + count_; }
  void Clear() { count_ = 0; }
  TWord& Append();
  void Truncate(std::size_t n) { count_ = n; }
  TWord* Data() { return words_.data(); }

 private:
  std::vector<TWord> words_;
  std::size_t count_ = 0;
};

// Splits text into words: a byte in `space` (except "*" when wildcards are allowed) ends the
// current word; any other byte is appended if it is in `include` (or is "*" with wildcards)
// and the word has fewer than 61 characters, and is dropped otherwise. With `unique`, each
// distinct word appears once, in key order, with its count.
void BuildWordList(const char* text, std::size_t length, TWordList& list, bool wildcards, bool unique,
                   const TTextCharSet& include, const TTextCharSet& space, std::uint16_t languageId = 0,
                   std::uint16_t sortId = 0);

// The parameters of one table in its language, ready for splitting, keys and matching.
class TTextIndex {
 public:
  TTextIndex(const TTextIndexParams& params, std::uint16_t languageId, std::uint16_t sortId);

  const TTextIndexParams& Params() const { return params_; }
  std::uint16_t LanguageID() const { return languageId_; }
  std::uint16_t SortID() const { return sortId_; }

  // Unique words of a text, in key order (CreateWordsList).
  void CreateWordsList(const char* text, std::size_t length, bool wildcards, TWordList& list) const;
  // upper: an upper-cased word.
  bool IsStopWord(const std::string& upper) const;
  // -1, 0 or 1 between two upper-cased words, as the index orders them.
  int CompareWords(const std::string& a, const std::string& b) const;
  // Whether the upper-cased word begins with the upper-cased prefix.
  bool HasPrefix(const std::string& upperWord, const std::string& upperPrefix) const;
  // Whether some stop word begins with the upper-cased prefix: such a prefix matches words
  // that are never indexed.
  bool PrefixOfStopWord(const std::string& upperPrefix) const;

  // TEXTSEARCH: every search word is matched. `searchWords` and `recordWords` are unique
  // lists (search words split with wildcards).
  bool Matches(const TWordList& searchWords, const TWordList& recordWords) const;
  // TEXTOCCURS: the occurrences of the search words in the record's words.
  std::uint32_t Occurrences(const TWordList& searchWords, const TWordList& recordWords) const;

  // The key of an upper-cased word of field `fieldNumber` in record `recordId`.
  static void BuildKey(std::uint16_t fieldNumber, const std::string& upper, std::int32_t recordId,
                       std::uint8_t* key);

 private:
  TTextIndexParams params_;
  std::vector<std::string> stopUpper_;  // upper-cased, in key order
  std::uint16_t languageId_;
  std::uint16_t sortId_;
};

// Whether a search word asks for a prefix ("word*"), and the prefix.
inline bool IsPrefixWord(const std::string& word) { return !word.empty() && word.back() == '*'; }

}  // namespace korvel
