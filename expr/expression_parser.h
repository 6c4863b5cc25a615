#pragma once
// TExpressionParser: turns the text of a filter, a field's default, limit or computed
// expression, or an expression inside an SQL statement into a TExpToken tree.
//
// A recursive-descent parser over a small lexer. What a given place allows (aggregates, "*",
// LIKE/BETWEEN/IN/IS, "?" parameters, sub-selects) is decided by the parse modifiers passed down
// every level. The parser builds the tree and the types that follow from the syntax only; names
// are resolved and types checked afterwards by the expression checker.
//
// Binding, loosest first (every binary level is left-associative):
//   1  OR                      5  + - ||  (|| is eoADD with the text "||")
//   2  AND                     6  * /
//   3  NOT (one)               7  unary + -
//   4  comparisons, predicates 8  primaries: constants, names, functions, ( ... )
//
// Token protocol: callers call NextToken once, then ParseExpression1; every ParseExpressionN
// starts at the construct's first token and returns with the first token after it current. Text
// after a complete expression is not examined: a filter ignores it, the SQL parser reads on.
//
// Errors: every syntax error raises ErrorCode (10051 for filters) with DatabaseName and
// TableName as contexts and the message, which ends with ContextDescription, as the extra
// message. Messages that quote the offending token end "... instead found '<token>' in <context>".
// A partly built tree is released before the error leaves the parser.

#include <cstddef>
#include <cstdint>
#include <string>

#include "expr/exp_token.h"
#include "support/errors.h"

namespace korvel {

// Parse modifiers: a set of these bits.
using TParseModifiers = std::uint8_t;
inline constexpr TParseModifiers pmAllowAggregates = 1u << 0;
inline constexpr TParseModifiers pmAllowAllFields = 1u << 1;
inline constexpr TParseModifiers pmAllowExtPredicates = 1u << 2;
inline constexpr TParseModifiers pmAllowParameters = 1u << 3;
inline constexpr TParseModifiers pmAllowSubSelects = 1u << 4;

// Token kinds of NextToken. Any other single character is its own code as the kind ('(' 40,
// ')' 41, '*' 42, '+' 43, ',' 44, '-' 45, '.' 46, '/' 47, '<' 60, '=' 61, '>' 62, '?' 63,
// '|' 124).
inline constexpr int tkEnd = 0;          // end of the text
inline constexpr int tkSymbol = 1;       // letter, '_' or byte 128-254, then also digits ! $ @
inline constexpr int tkBracketed = 2;    // [name]
inline constexpr int tkQuoted = 3;       // 'text' or "text", the quote doubled inside
inline constexpr int tkCharConstant = 4; // #digits
inline constexpr int tkInteger = 5;      // digits
inline constexpr int tkDecimal = 6;      // digits with '.', 'E', 'e', a sign after E; or .digit...

// Deepest nesting of parentheses and function arguments the parser follows.
inline constexpr int kMaxParseNesting = 200;

inline constexpr const char* kFilterContextDescription = "filter expression";

class TExpressionParser;

// What an SQL statement gives the parser: the statement's parameter list and the reading of
// sub-selects. Filters have no owner.
class TExpressionParserOwner {
 public:
  virtual ~TExpressionParserOwner() = default;
  // A "?" marker was read: append it to the statement's parameter list. The token belongs to
  // the tree being built; when the parse fails the tree (and the token) is released, so the
  // statement must drop the parameters of a failed parse.
  virtual void AddParameter(TExpToken* parameter) = 0;
  // Called with the parser's current token the SELECT of "x [NOT] IN (SELECT ...". Reads the
  // sub-select into a new query of the statement and returns it; on return the current token is
  // the first token after the sub-select, which must be the closing parenthesis (the expression
  // parser checks and consumes it). Errors are the statement parser's to raise.
  virtual TDataQuery* ParseSubSelect(TExpressionParser& parser) = 0;
};

class TExpressionParser {
 public:
  explicit TExpressionParser(TExpressionParserOwner* owner = nullptr) : Owner(owner) {}

  TExpressionParserOwner* Owner;               // the owning SQL statement; not owned
  TErrorCode ErrorCode = KORVEL_INVALIDFILTER;  // raised for every syntax error
  std::string DatabaseName;                    // contexts of the raised error
  std::string TableName;
  std::string ContextDescription = kFilterContextDescription;  // ends every message

  // Takes a private copy of the text (up to a zero byte, if any) and starts at its beginning.
  void SetExpression(const std::string& text);
  void FreeExpression();

  // Skips blanks (bytes 1-32) and /* comments */, scans one token and returns its kind.
  int NextToken();
  int TokenKind() const { return tokenKind_; }
  // The current token's text: brackets and quotes removed for kinds 2 and 3, and every doubled
  // quote (two double or two single quotes) collapsed to one.
  std::string TokenAsString() const;
  bool CheckToken(int kind) const { return tokenKind_ == kind; }
  bool CheckTokenSymbol(const std::string& word) const;  // a symbol equal to word, any case
  bool CheckTokenString(const std::string& text) const;  // a quoted text equal to text, any case

  // Offset of the current token from the start of the text.
  std::size_t GetCurPos() const { return tokenStart_; }
  // Remembers the current token's start; ExpressionAsString gives the source from there up to
  // where the current token's leading blanks and comments began, without CR and LF.
  void MarkExpressionLiteral() { literalMark_ = tokenStart_; }
  std::string ExpressionAsString() const;

  TExpTokenPtr ParseExpression1(TParseModifiers modifiers);
  TExpTokenPtr ParseExpression2(TParseModifiers modifiers);
  TExpTokenPtr ParseExpression3(TParseModifiers modifiers);
  TExpTokenPtr ParseExpression4(TParseModifiers modifiers);
  TExpTokenPtr ParseExpression5(TParseModifiers modifiers);
  TExpTokenPtr ParseExpression6(TParseModifiers modifiers);
  TExpTokenPtr ParseExpression7(TParseModifiers modifiers);
  TExpTokenPtr ParseExpression8(TParseModifiers modifiers);

  // Reads an SQL data type at the current token into token's DataType and SubType; size
  // arguments become token's arguments 1 and 2. Without a type word: false when optional, else
  // an error.
  bool ParseDataTypeExpression(TExpToken& token, TParseModifiers modifiers, bool optional);

  // The error conventions, for the SQL parser as well: message + context description;
  // prefix + token + "' in " + context; and the same with " found in ".
  [[noreturn]] void RaiseParseError(const std::string& message) const;
  [[noreturn]] void RaiseWithContext(const std::string& prefix) const;
  [[noreturn]] void RaiseInsteadFound(const std::string& prefix) const;
  [[noreturn]] void RaiseFoundIn(const std::string& prefix) const;

 private:
  // Implementation details follow.
  class TNestingGuard;
  class TOuterGuard;

  char At(std::size_t i) const { return i < expression_.size() ? expression_[i] : '\0'; }
  void SkipBlanks();
  void SkipComments();
  void ScanNumberTail();

  TExpTokenPtr Level1(TParseModifiers m);
  TExpTokenPtr Level2(TParseModifiers m);
  TExpTokenPtr Level3(TParseModifiers m);
  TExpTokenPtr Level4(TParseModifiers m);
  TExpTokenPtr Level5(TParseModifiers m);
  TExpTokenPtr Level6(TParseModifiers m);
  TExpTokenPtr Level7(TParseModifiers m);
  TExpTokenPtr Level8(TParseModifiers m);
  TExpTokenPtr Finish(TExpTokenPtr tree);

  TExpTokenPtr ParsePredicate(TExpTokenPtr left, TParseModifiers m, bool negated);
  TExpTokenPtr ParseInList(TExpTokenPtr left, TParseModifiers m, bool negated);
  TExpTokenPtr ParseSymbol(TParseModifiers m);
  TExpTokenPtr ParseFunction(const std::string& upper, TParseModifiers m, bool& known);
  TExpTokenPtr ParseAggregate(TExpOperator op, const std::string& upper, TParseModifiers m);
  TExpTokenPtr ParseQualifiedField(const std::string& tableText, TParseModifiers m);
  TExpTokenPtr ParseNumber();
  TExpTokenPtr FieldReference(const std::string& name);
  void CheckNameLength(const std::string& name) const;
  void ExpectLeftParen(const std::string& name);
  void ExpectRightParen(const std::string& name, bool plural);
  void ExpectKeyword(const std::string& word, const std::string& message);

  std::string expression_;        // private copy; positions index into it
  std::size_t length_ = 1;        // its length + 1 (the terminator)
  std::size_t pos_ = 0;           // read position
  std::size_t tokenStart_ = 0;    // start of the current token
  int tokenKind_ = tkEnd;
  std::size_t tokenEnd_ = 0;      // end of a quoted or bracketed token's text
  std::size_t literalMark_ = 0;   // MarkExpressionLiteral
  std::size_t tokenLead_ = 0;     // where the current token's blanks and comments began
  int nesting_ = 0;               // active primaries
  int outer_ = 0;                 // active public ParseExpressionN calls
};

// Parses a filter: error code 10051, context "filter expression", the table and database as
// contexts, LIKE, BETWEEN, IN and IS allowed. Text after the expression is an error
// ("Unknown or unexpected symbol '!' found in filter expression" for "Flag != TRUE").
TExpTokenPtr ParseFilterExpression(const std::string& text, const std::string& tableName = "",
                                   const std::string& databaseName = "");

}  // namespace korvel
