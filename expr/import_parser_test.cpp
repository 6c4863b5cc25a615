#include "expr/import_parser.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvel
