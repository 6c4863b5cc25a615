#pragma once
// TImportParser: splits delimited import text into field values, delimiters and line ends.
//
// It reads a block of text held by the caller (not copied; the caller keeps it alive while the
// parser points at it) and returns one token per NextToken:
//
//   kind                 token
//   itEnd (0)            the end of the block, or a zero byte inside it (GetCurPos tells which)
//   itValue (1)          a run of bytes up to the next delimiter, line end or zero byte;
//                        spaces inside and after the value belong to it
//   itQuoted (3)         text between single or between double quotes; the same quote doubled
//                        inside stands for one
//   itLineFeed (10)      a line feed
//   itCarriageReturn(13) a carriage return
//   Delimiter            the configured delimiter byte, its own code as the kind
//
// Spaces (byte 32 only) before a token are skipped. Text that follows a closing quote before
// the next delimiter is a separate value token. An unterminated quoted value raises ErrorCode
// with "Missing double quote after '<value read so far>' in <context>" (single quote likewise)
// as the extra message, and DatabaseName and TableName as contexts.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/errors.h"

namespace korvel {

inline constexpr int itEnd = 0;
inline constexpr int itValue = 1;
inline constexpr int itQuoted = 3;
inline constexpr int itLineFeed = 10;
inline constexpr int itCarriageReturn = 13;

inline constexpr const char* kImportContextDescription = "import data";

class TImportParser {
 public:
  explicit TImportParser(void* owner = nullptr) : Owner(owner) {}

  // Starts reading at the beginning of `text` (length bytes; a zero byte also ends it).
  void SetExpression(const char* text, std::size_t length);
  void SetExpression(const char* text) { SetExpression(text, std::strlen(text)); }
  void SetExpression(const std::string& text) { SetExpression(text.data(), text.size()); }
  // The text is not copied: a temporary would be gone before the first token.
  void SetExpression(std::string&&) = delete;

  // Skips spaces, then scans one token and returns its kind.
  int NextToken();
  int GetTokenKind() const { return tokenKind_; }
  // The current token's text: a quoted value without its quotes and with doubled quotes (two
  // double or two single quotes) collapsed to one.
  std::string TokenAsString() const;
  // The same into `out` (kept for reuse, so a hot loop does not allocate), cut at `maxLength`.
  void TokenToString(std::string& out, std::size_t maxLength = SIZE_MAX) const;
  // Offset of the current token from the start of the text.
  std::size_t GetCurPos() const { return tokenStart_; }
  // Offset just after the current token (where the next scan begins).
  std::size_t GetReadPos() const { return readPos_; }
  // Offset where the current token began before spaces were skipped.
  std::size_t GetPriorPos() const { return priorEnd_; }

  // Raise ErrorCode unless the current token is of that kind / that word (value token, case
  // ignored) / that quoted text.
  void CheckToken(int kind) const;
  void CheckTokenSymbol(const std::string& word) const;
  void CheckTokenString(const std::string& text) const;

  void* Owner;                  // not read by the parser
  char Delimiter = ',';
  TErrorCode ErrorCode = KORVEL_IMPORTERROR;
  std::string DatabaseName;
  std::string TableName;
  std::string ContextDescription = kImportContextDescription;

 private:
  [[noreturn]] void RaiseParserError(const std::string& message) const;
  bool IsValueEnd(char c) const { return c == '\0' || c == '\n' || c == '\r' || c == Delimiter; }

  const char* text_ = "";
  std::size_t length_ = 0;
  std::size_t readPos_ = 0;     // where the next scan begins
  std::size_t tokenStart_ = 0;  // first byte of the current token (the opening quote if quoted)
  std::size_t tokenEnd_ = 0;    // one past the current token's text (before a closing quote)
  std::size_t priorEnd_ = 0;    // where the previous token ended
  int tokenKind_ = itEnd;
};

}  // namespace korvel
