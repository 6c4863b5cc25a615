#include "expr/import_parser.h"

#include <algorithm>
#include <cctype>

namespace korvel {

void TImportParser::SetExpression(const char* text, std::size_t length) {
  text_ = text;
  length_ = length;
  readPos_ = tokenStart_ = tokenEnd_ = priorEnd_ = 0;
  tokenKind_ = itEnd;
}

int TImportParser::NextToken() {
  priorEnd_ = readPos_;
  std::size_t p = readPos_;
  while (p < length_ && text_[p] == ' ') ++p;
  tokenStart_ = p;
  if (p >= length_ || text_[p] == '\0') {
    // The end leaves the position where it is.
    readPos_ = tokenEnd_ = p;
    return tokenKind_ = itEnd;
  }
  char c = text_[p];
  if (c == '"' || c == '\'') {
    std::size_t q = p + 1;
    for (;;) {
      if (q >= length_ || text_[q] == '\0') {
        tokenEnd_ = q;
        tokenKind_ = itQuoted;
        std::string sofar;
        TokenToString(sofar);
        RaiseParserError(std::string(c == '"' ? "Missing double quote after '" : "Missing single quote after '") +
                         sofar + "'");
      }
      if (text_[q] == c) {
        if (q + 1 < length_ && text_[q + 1] == c) {
          q += 2;
          continue;
        }
        break;
      }
      ++q;
    }
    tokenEnd_ = q;
    readPos_ = q + 1;
    return tokenKind_ = itQuoted;
  }
  if (IsValueEnd(c)) {
    tokenEnd_ = readPos_ = p + 1;
    return tokenKind_ = static_cast<unsigned char>(c);
  }
  std::size_t q = p;
  while (q < length_ && !IsValueEnd(text_[q])) ++q;
  tokenEnd_ = readPos_ = q;
  return tokenKind_ = itValue;
}

void TImportParser::TokenToString(std::string& out, std::size_t maxLength) const {
  out.clear();
  if (tokenKind_ == itValue || tokenKind_ == itQuoted) {
    // Inside quotes only the enclosing quote is doubled: the other kind stands for itself, so
    // that any text written with its quotes doubled reads back exactly. A plain value collapses
    // either kind.
    bool quoted = tokenKind_ == itQuoted;
    char enclosing = quoted ? text_[tokenStart_] : '\0';
    std::size_t i = quoted ? tokenStart_ + 1 : tokenStart_;
    // Runs without a quote are copied whole; a quote that collapses is kept once.
    while (i < tokenEnd_ && out.size() < maxLength) {
      const std::size_t room = maxLength - out.size();
      const std::size_t end = tokenEnd_ - i <= room ? tokenEnd_ : i + room;
      std::size_t q = i;
      if (quoted) {
        const void* hit = std::memchr(text_ + i, enclosing, end - i);
        q = hit == nullptr ? end : static_cast<std::size_t>(static_cast<const char*>(hit) - text_);
      } else {
        while (q < end && text_[q] != '"' && text_[q] != '\'') ++q;
      }
      out.append(text_ + i, q - i);
      if (q >= end) break;
      const char c = text_[q];
      out += c;
      i = q + 1;
      if (i < tokenEnd_ && text_[i] == c) ++i;
    }
    return;
  }
  if (tokenKind_ != itEnd && maxLength > 0) out += static_cast<char>(tokenKind_);
}

std::string TImportParser::TokenAsString() const {
  std::string out;
  TokenToString(out);
  return out;
}

void TImportParser::RaiseParserError(const std::string& message) const {
  RaiseError(ErrorCode, "", "", DatabaseName, TableName, "", "", message + " in " + ContextDescription);
}

void TImportParser::CheckToken(int kind) const {
  if (tokenKind_ != kind)
    RaiseParserError("Expected token " + std::to_string(kind) + ", instead found '" + TokenAsString() + "'");
}

namespace {
bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}
}  // namespace

void TImportParser::CheckTokenSymbol(const std::string& word) const {
  if (tokenKind_ != itValue || !SameText(TokenAsString(), word))
    RaiseParserError("Expected " + word + ", instead found '" + TokenAsString() + "'");
}

void TImportParser::CheckTokenString(const std::string& text) const {
  if (tokenKind_ != itQuoted || !SameText(TokenAsString(), text))
    RaiseParserError("Expected '" + text + "', instead found '" + TokenAsString() + "'");
}

}  // namespace korvel
