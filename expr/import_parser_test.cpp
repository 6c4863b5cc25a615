#include "expr/import_parser.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

namespace korvel {
namespace {

using Tokens = std::vector<std::pair<int, std::string>>;

Tokens Scan(const std::string& text, char delimiter = ',') {
  TImportParser p;
  p.Delimiter = delimiter;
  p.SetExpression(text);
  Tokens out;
  for (int kind = p.NextToken(); kind != itEnd; kind = p.NextToken()) out.emplace_back(kind, p.TokenAsString());
  return out;
}

TEST(ImportParser, TokenizesValuesQuotesDelimitersAndLineEnds) {
  // Leading spaces are skipped, trailing ones belong to the value.
  EXPECT_EQ(Scan("1,\"a,b\",  x  "),
            (Tokens{{itValue, "1"}, {',', ","}, {itQuoted, "a,b"}, {',', ","}, {itValue, "x  "}}));
  // Doubled quotes: the enclosing kind collapses; the other kind stands for itself inside quotes.
  EXPECT_EQ(Scan("'It''s'"), (Tokens{{itQuoted, "It's"}}));
  EXPECT_EQ(Scan("\"say \"\"hi\"\"\""), (Tokens{{itQuoted, "say \"hi\""}}));
  EXPECT_EQ(Scan("\"a''b\""), (Tokens{{itQuoted, "a''b"}}));
  // Two delimiters in a row: an empty field between them.
  EXPECT_EQ(Scan("a,,b"), (Tokens{{itValue, "a"}, {',', ","}, {',', ","}, {itValue, "b"}}));
  // Line ends are tokens; a value stops at them.
  EXPECT_EQ(Scan("a\r\nb\n"),
            (Tokens{{itValue, "a"}, {itCarriageReturn, "\r"}, {itLineFeed, "\n"}, {itValue, "b"}, {itLineFeed, "\n"}}));
  // Text after a closing quote is a value of its own; blanks between are skipped.
  EXPECT_EQ(Scan("\"a\"  b,c"), (Tokens{{itQuoted, "a"}, {itValue, "b"}, {',', ","}, {itValue, "c"}}));
  // A tab delimiter; commas are then ordinary bytes; non-ASCII bytes pass through.
  EXPECT_EQ(Scan("1,5\t\xE9t\xE9", '\t'), (Tokens{{itValue, "1,5"}, {'\t', "\t"}, {itValue, "\xE9t\xE9"}}));
  // An empty quoted value.
  EXPECT_EQ(Scan("\"\""), (Tokens{{itQuoted, ""}}));
}

TEST(ImportParser, StopsAtZeroByteAndAtTheEndOfTheBlock) {
  std::string text("ab\0cd", 5);
  TImportParser p;
  p.SetExpression(text);
  EXPECT_EQ(p.NextToken(), itValue);
  EXPECT_EQ(p.TokenAsString(), "ab");
  EXPECT_EQ(p.NextToken(), itEnd);
  EXPECT_EQ(p.GetCurPos(), 2u);  // inside the block: the caller can tell a NUL from the end
  EXPECT_EQ(p.NextToken(), itEnd);  // the end does not move on
  p.SetExpression("x  ", 3);
  EXPECT_EQ(p.NextToken(), itValue);
  EXPECT_EQ(p.NextToken(), itEnd);
  EXPECT_EQ(p.GetCurPos(), 3u);
}

TEST(ImportParser, UnterminatedQuoteRaisesWithTheValueReadSoFar) {
  for (const char* text : {"1,\"abc", "'xy"}) {
    TImportParser p;
    p.TableName = "T";
    p.SetExpression(text);
    try {
      while (p.NextToken() != itEnd) {
      }
      FAIL() << "no error for " << text;
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_IMPORTERROR);
      EXPECT_EQ(e.ErrorTableName, "T");
      std::string expected = text[0] == '\'' ? "Missing single quote after 'xy' in import data"
                                             : "Missing double quote after 'abc' in import data";
      EXPECT_EQ(e.ErrorMessage, expected);
    }
  }
}

TEST(ImportParser, ChecksAndPositions) {
  TImportParser p;
  p.SetExpression("  name, \"Text\"");
  p.NextToken();
  EXPECT_EQ(p.GetCurPos(), 2u);
  EXPECT_EQ(p.GetPriorPos(), 0u);
  p.CheckTokenSymbol("NAME");
  EXPECT_THROW(p.CheckTokenSymbol("other"), EKORVELEngineError);
  p.NextToken();
  p.CheckToken(',');
  p.NextToken();
  p.CheckTokenString("text");
  EXPECT_THROW(p.CheckToken(itValue), EKORVELEngineError);
  std::string cut;
  p.TokenToString(cut, 2);
  EXPECT_EQ(cut, "Te");
}

// A value's text byte by byte, as a reference for the run-copying TokenToString: inside
// quotes the enclosing quote doubled stands for one; a plain value collapses either kind.
std::string ReferenceText(const std::string& token, std::size_t maxLength) {
  const bool quoted = !token.empty() && (token[0] == '"' || token[0] == '\'');
  const std::size_t from = quoted ? 1 : 0, to = quoted ? token.size() - 1 : token.size();
  std::string out;
  for (std::size_t i = from; i < to && out.size() < maxLength; ++i) {
    const char c = token[i];
    out += c;
    const bool collapses = quoted ? c == token[0] : (c == '"' || c == '\'');
    if (collapses && i + 1 < to && token[i + 1] == c) ++i;
  }
  return out;
}

TEST(ImportParser, TokenTextMatchesAByteByByteReadingAtEveryCut) {
  std::mt19937 rng(5);
  std::string out;
  for (int round = 0; round < 3000; ++round) {
    std::string body;
    for (int n = static_cast<int>(rng() % 12); n > 0; --n) body += "ab\"'x"[rng() % 5];
    const int kind = static_cast<int>(rng() % 3);
    std::string token;
    if (kind == 0) {
      // A plain value: no delimiter, line end or leading blank in it.
      token = "v" + body;
    } else {
      const char q = kind == 1 ? '"' : '\'';
      token = std::string(1, q);
      for (char c : body) token += c == q ? std::string(2, q) : std::string(1, c);
      token += q;
    }
    TImportParser p;
    p.SetExpression(token);
    ASSERT_EQ(p.NextToken(), kind == 0 ? itValue : itQuoted) << token;
    const std::size_t cut = rng() % 4 == 0 ? SIZE_MAX : rng() % 14;
    p.TokenToString(out, cut);
    ASSERT_EQ(out, ReferenceText(token, cut)) << token << " cut at " << cut;
  }
}

}  // namespace
}  // namespace korvel
