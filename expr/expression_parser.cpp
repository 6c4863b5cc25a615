#include "expr/expression_parser.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/path_helpers.h"
#include "support/string_functions.h"
#include "support/text_forms.h"

namespace korvel {

namespace {

bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsHigh(unsigned char c) { return c >= 128 && c <= 254; }
bool IsSymbolStart(unsigned char c) { return IsLetter(c) || c == '_' || IsHigh(c); }
bool IsSymbolPart(unsigned char c) {
  return IsSymbolStart(c) || IsDigit(c) || c == '!' || c == '$' || c == '@';
}

std::string UpperAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

bool SameTextAscii(const std::string& a, const std::string& b) {
  return a.size() == b.size() && UpperAscii(a) == UpperAscii(b);
}

TExpTokenPtr NewConstant(const std::string& text, std::uint8_t type, std::int32_t size) {
  TExpTokenPtr t = NewExpToken();
  t->NodeClass = enCONST;
  t->Operator = eoCONST;
  t->Text = text;
  t->DataType = type;
  t->SetDataSize(size);
  return t;
}

TExpTokenPtr NewNullConstant(const std::string& text) {
  TExpTokenPtr t = NewExpToken();
  t->NodeClass = enCONST;
  t->Operator = eoCONST;
  t->Text = text;
  t->IsNull = 1;
  return t;
}

TExpTokenPtr NewStringConstant(const std::string& text, const std::string& value) {
  TExpTokenPtr t = NewConstant(text, dtString, static_cast<std::int32_t>(value.size() + 1));
  std::memcpy(t->ValueBuffer.get(), value.data(), value.size());
  t->ValueBuffer[value.size()] = 0;
  return t;
}

TExpTokenPtr NewNode(TExpNodeClass nodeClass, TExpOperator op, const std::string& text,
                     std::uint8_t type) {
  TExpTokenPtr t = NewExpToken();
  t->NodeClass = nodeClass;
  t->Operator = op;
  t->Text = text;
  t->DataType = type;
  return t;
}

TExpTokenPtr NewBinary(TExpOperator op, const std::string& text, TExpTokenPtr left,
                       TExpTokenPtr right, std::uint8_t type) {
  TExpTokenPtr t = NewNode(enBINARY, op, text, type);
  t->Left = left.release();
  t->Right = right.release();
  return t;
}

void AddArgument(TExpToken& node, TExpTokenPtr arg) {
  node.Arguments.push_back(nullptr);
  node.Arguments.back() = arg.release();
}

// The ANSI float form: "." is the decimal point whatever the locale.
bool ParseAnsiFloat(const std::string& text, double& value) {
  try {
    value = StrToAnsiFloat(text);
    return true;
  } catch (const EConvertError&) {
    return false;
  }
}

}  // namespace

// Bounds the parser's own recursion: every cycle of it passes through a primary.
class TExpressionParser::TNestingGuard {
 public:
  explicit TNestingGuard(TExpressionParser& p) : p_(p) {
    if (++p_.nesting_ > kMaxParseNesting) {
      --p_.nesting_;
      p_.RaiseWithContext("Expression nested more than " + std::to_string(kMaxParseNesting) +
                          " levels deep in ");
    }
  }
  ~TNestingGuard() { --p_.nesting_; }

 private:
  TExpressionParser& p_;
};

// Marks the outermost public parse, after which the finished tree's depth is checked.
class TExpressionParser::TOuterGuard {
 public:
  explicit TOuterGuard(TExpressionParser& p) : p_(p), outermost_(p.outer_++ == 0) {}
  ~TOuterGuard() { --p_.outer_; }
  bool Outermost() const { return outermost_; }

 private:
  TExpressionParser& p_;
  bool outermost_;
};

// ---- errors -----------------------------------------------------------------------------

void TExpressionParser::RaiseParseError(const std::string& message) const {
  RaiseError(ErrorCode, "", "", DatabaseName, TableName, "", "", message);
}

void TExpressionParser::RaiseWithContext(const std::string& prefix) const {
  RaiseParseError(prefix + ContextDescription);
}

void TExpressionParser::RaiseInsteadFound(const std::string& prefix) const {
  RaiseParseError(prefix + TokenAsString() + "'" + " in " + ContextDescription);
}

void TExpressionParser::RaiseFoundIn(const std::string& prefix) const {
  RaiseParseError(prefix + TokenAsString() + "'" + " found in " + ContextDescription);
}

// ---- lexer ------------------------------------------------------------------------------

void TExpressionParser::SetExpression(const std::string& text) {
  FreeExpression();
  std::size_t zero = text.find('\0');
  expression_ = zero == std::string::npos ? text : text.substr(0, zero);
  length_ = expression_.size() + 1;
}

void TExpressionParser::FreeExpression() {
  expression_.clear();
  expression_.shrink_to_fit();
  length_ = 1;
  pos_ = tokenStart_ = tokenEnd_ = literalMark_ = tokenLead_ = 0;
  tokenKind_ = tkEnd;
}

void TExpressionParser::SkipBlanks() {
  while (pos_ < expression_.size()) {
    unsigned char c = static_cast<unsigned char>(expression_[pos_]);
    if (c < 1 || c > 32) break;
    ++pos_;
  }
}

void TExpressionParser::SkipComments() {
  for (;;) {
    SkipBlanks();
    if (At(pos_) != '/' || At(pos_ + 1) != '*') return;
    std::size_t close = expression_.find("*/", pos_ + 2);
    if (close == std::string::npos) {
      pos_ = expression_.size();
      RaiseWithContext("Missing ending comment slash and asterisk in ");
    }
    pos_ = close + 2;
  }
}

void TExpressionParser::ScanNumberTail() {
  for (;;) {
    unsigned char c = static_cast<unsigned char>(At(pos_));
    if (IsDigit(c) || c == '.' || c == 'E' || c == 'e') {
      ++pos_;
    } else if ((c == '+' || c == '-') && (At(pos_ - 1) == 'E' || At(pos_ - 1) == 'e')) {
      ++pos_;
    } else {
      return;
    }
  }
}

int TExpressionParser::NextToken() {
  tokenLead_ = pos_;
  SkipComments();
  tokenStart_ = pos_;
  tokenEnd_ = pos_;
  unsigned char c = static_cast<unsigned char>(At(pos_));
  if (c == 0) {
    tokenKind_ = tkEnd;
  } else if (IsSymbolStart(c)) {
    while (IsSymbolPart(static_cast<unsigned char>(At(pos_)))) ++pos_;
    tokenKind_ = tkSymbol;
  } else if (c == '[') {
    std::size_t close = expression_.find(']', pos_ + 1);
    if (close == std::string::npos) {
      std::string sofar = expression_.substr(pos_ + 1);
      pos_ = expression_.size();
      RaiseParseError("Missing right bracket after '" + sofar + "'" + " in " + ContextDescription);
    }
    tokenEnd_ = close;
    pos_ = close + 1;
    tokenKind_ = tkBracketed;
  } else if (c == '\'' || c == '"') {
    std::size_t i = pos_ + 1;
    for (;;) {
      if (i >= expression_.size()) {
        std::string sofar = expression_.substr(pos_ + 1);
        pos_ = expression_.size();
        RaiseParseError(std::string(c == '\'' ? "Missing single quote after '" : "Missing double quote after '") +
                        sofar + "'" + " in " + ContextDescription);
      }
      if (static_cast<unsigned char>(expression_[i]) == c) {
        if (At(i + 1) == static_cast<char>(c)) {
          i += 2;
          continue;
        }
        break;
      }
      ++i;
    }
    tokenEnd_ = i;
    pos_ = i + 1;
    tokenKind_ = tkQuoted;
  } else if (c == '#' && IsDigit(static_cast<unsigned char>(At(pos_ + 1)))) {
    ++pos_;
    while (IsDigit(static_cast<unsigned char>(At(pos_)))) ++pos_;
    tokenKind_ = tkCharConstant;
  } else if (IsDigit(c)) {
    while (IsDigit(static_cast<unsigned char>(At(pos_)))) ++pos_;
    char n = At(pos_);
    if (n == '.' || n == 'E' || n == 'e') {
      ScanNumberTail();
      tokenKind_ = tkDecimal;
    } else {
      tokenKind_ = tkInteger;
    }
  } else if (c == '.' && IsDigit(static_cast<unsigned char>(At(pos_ + 1)))) {
    ScanNumberTail();
    tokenKind_ = tkDecimal;
  } else {
    ++pos_;
    tokenKind_ = c;
  }
  return tokenKind_;
}

std::string TExpressionParser::TokenAsString() const {
  if (tokenKind_ == tkBracketed || tokenKind_ == tkQuoted) {
    return ConvertQuotes(expression_.substr(tokenStart_ + 1, tokenEnd_ - tokenStart_ - 1));
  }
  if (tokenKind_ == tkEnd) return std::string();
  return ConvertQuotes(expression_.substr(tokenStart_, pos_ - tokenStart_));
}

bool TExpressionParser::CheckTokenSymbol(const std::string& word) const {
  return tokenKind_ == tkSymbol && pos_ - tokenStart_ == word.size() &&
         SameTextAscii(expression_.substr(tokenStart_, word.size()), word);
}

bool TExpressionParser::CheckTokenString(const std::string& text) const {
  return tokenKind_ == tkQuoted && SameTextAscii(TokenAsString(), text);
}

std::string TExpressionParser::ExpressionAsString() const {
  std::string out;
  for (std::size_t i = literalMark_; i < tokenLead_ && i < expression_.size(); ++i) {
    if (expression_[i] != '\r' && expression_[i] != '\n') out.push_back(expression_[i]);
  }
  return out;
}

// ---- grammar ----------------------------------------------------------------------------

TExpTokenPtr TExpressionParser::Finish(TExpTokenPtr tree) {
  if (ExpressionTreeDepth(tree.get()) > kMaxExpressionDepth) {
    RaiseWithContext("Expression has more than " + std::to_string(kMaxExpressionDepth) +
                     " levels of operators in ");
  }
  return tree;
}

#define KORVEL_PUBLIC_LEVEL(n)                                                  \
  TExpTokenPtr TExpressionParser::ParseExpression##n(TParseModifiers m) {      \
    TOuterGuard outer(*this);                                                   \
    TExpTokenPtr tree = Level##n(m);                                            \
    return outer.Outermost() ? Finish(std::move(tree)) : std::move(tree);       \
  }
KORVEL_PUBLIC_LEVEL(1)
KORVEL_PUBLIC_LEVEL(2)
KORVEL_PUBLIC_LEVEL(3)
KORVEL_PUBLIC_LEVEL(4)
KORVEL_PUBLIC_LEVEL(5)
KORVEL_PUBLIC_LEVEL(6)
KORVEL_PUBLIC_LEVEL(7)
KORVEL_PUBLIC_LEVEL(8)
#undef KORVEL_PUBLIC_LEVEL

TExpTokenPtr TExpressionParser::Level1(TParseModifiers m) {
  TExpTokenPtr left = Level2(m);
  while (CheckTokenSymbol("OR")) {
    std::string text = TokenAsString();
    NextToken();
    TExpTokenPtr right = Level2(m);
    left = NewBinary(eoOR, text, std::move(left), std::move(right), dtBoolean);
  }
  return left;
}

TExpTokenPtr TExpressionParser::Level2(TParseModifiers m) {
  TExpTokenPtr left = Level3(m);
  while (CheckTokenSymbol("AND")) {
    std::string text = TokenAsString();
    NextToken();
    TExpTokenPtr right = Level3(m);
    left = NewBinary(eoAND, text, std::move(left), std::move(right), dtBoolean);
  }
  return left;
}

TExpTokenPtr TExpressionParser::Level3(TParseModifiers m) {
  if (!CheckTokenSymbol("NOT")) return Level4(m);
  std::string text = TokenAsString();
  NextToken();
  TExpTokenPtr operand = Level4(m);
  TExpTokenPtr node = NewNode(enUNARY, eoNOT, text, dtBoolean);
  node->Left = operand.release();
  return node;
}

TExpTokenPtr TExpressionParser::Level4(TParseModifiers m) {
  TExpTokenPtr left = Level5(m);
  TExpOperator op = eoNOTDEFINED;
  std::string text;
  switch (tokenKind_) {
    case '=':
      op = eoEQ;
      text = "=";
      NextToken();
      break;
    case '<':
      NextToken();
      if (tokenKind_ == '>') {
        op = eoNE;
        text = "< >";
        NextToken();
      } else if (tokenKind_ == '=') {
        op = eoLE;
        text = "< =";
        NextToken();
      } else {
        op = eoLT;
        text = "<";
      }
      break;
    case '>':
      NextToken();
      if (tokenKind_ == '=') {
        op = eoGE;
        text = "> =";
        NextToken();
      } else {
        op = eoGT;
        text = ">";
      }
      break;
    default:
      break;
  }
  if (op != eoNOTDEFINED) {
    TExpTokenPtr right = Level5(m);
    return NewBinary(op, text, std::move(left), std::move(right), dtBoolean);
  }
  if (CheckTokenSymbol("IS") || CheckTokenSymbol("LIKE") || CheckTokenSymbol("BETWEEN") ||
      CheckTokenSymbol("IN") || CheckTokenSymbol("NOT")) {
    if (!(m & pmAllowExtPredicates)) {
      RaiseWithContext("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in ");
    }
    if (CheckTokenSymbol("IS")) {
      NextToken();
      bool negated = false;
      if (CheckTokenSymbol("NOT")) {
        negated = true;
        NextToken();
      }
      if (!CheckTokenSymbol("NULL")) RaiseFoundIn("Unknown or unexpected symbol '");
      TExpTokenPtr null = NewNullConstant("NULL");
      NextToken();
      return NewBinary(negated ? eoNE : eoEQ, negated ? "IS NOT" : "IS", std::move(left),
                       std::move(null), dtBoolean);
    }
    bool negated = false;
    if (CheckTokenSymbol("NOT")) {
      NextToken();
      if (!CheckTokenSymbol("BETWEEN") && !CheckTokenSymbol("LIKE") && !CheckTokenSymbol("IN")) {
        RaiseInsteadFound("Unknown or unexpected symbol '");
      }
      negated = true;
    }
    return ParsePredicate(std::move(left), m, negated);
  }
  return left;
}

TExpTokenPtr TExpressionParser::ParsePredicate(TExpTokenPtr left, TParseModifiers m, bool negated) {
  const std::string prefix = negated ? "NOT " : "";
  if (CheckTokenSymbol("LIKE")) {
    NextToken();
    TExpTokenPtr node = NewNode(enEXTBINARY, negated ? eoNOTLIKE : eoLIKE, prefix + "LIKE", dtBoolean);
    AddArgument(*node, std::move(left));
    AddArgument(*node, Level5(m));
    return node;
  }
  if (CheckTokenSymbol("BETWEEN")) {
    NextToken();
    TExpTokenPtr node =
        NewNode(enEXTBINARY, negated ? eoNOTBETWEEN : eoBETWEEN, prefix + "BETWEEN", dtBoolean);
    AddArgument(*node, std::move(left));
    AddArgument(*node, Level5(m));
    if (!CheckTokenSymbol("AND")) {
      RaiseInsteadFound("Expected AND operator in " + prefix + "BETWEEN operator, instead found '");
    }
    NextToken();
    AddArgument(*node, Level5(m));
    return node;
  }
  return ParseInList(std::move(left), m, negated);
}

TExpTokenPtr TExpressionParser::ParseInList(TExpTokenPtr left, TParseModifiers m, bool negated) {
  const std::string name = negated ? "NOT IN" : "IN";
  NextToken();  // past IN
  if (tokenKind_ != '(') {
    RaiseInsteadFound("Expected left parentheses for " + name + " operator, instead found '");
  }
  NextToken();
  TExpTokenPtr node;
  if (CheckTokenSymbol("SELECT")) {
    if (!(m & pmAllowSubSelects) || Owner == nullptr) {
      RaiseWithContext("Sub-select queries are not allowed in ");
    }
    node = NewNode(enEXTBINARY, negated ? eoNOTSUBIN : eoSUBIN, name, dtBoolean);
    AddArgument(*node, std::move(left));
    TExpTokenPtr tuple = NewNode(enTUPLE, eoTUPLE, "SELECT", 0);
    tuple->Query = Owner->ParseSubSelect(*this);
    AddArgument(*node, std::move(tuple));
  } else {
    if (tokenKind_ == ')') {
      RaiseWithContext("You must provide at least one value as an operand of the " + name +
                       " operator  in ");
    }
    node = NewNode(enEXTBINARY, negated ? eoNOTIN : eoIN, name, dtBoolean);
    AddArgument(*node, std::move(left));
    for (;;) {
      AddArgument(*node, Level5(m));
      if (tokenKind_ != ',') break;
      NextToken();
    }
  }
  if (tokenKind_ != ')') {
    RaiseInsteadFound("Expected right parentheses after " + name + " operator, instead found '");
  }
  NextToken();
  return node;
}

TExpTokenPtr TExpressionParser::Level5(TParseModifiers m) {
  TExpTokenPtr left = Level6(m);
  for (;;) {
    TExpOperator op;
    std::string text;
    if (tokenKind_ == '+') {
      op = eoADD;
      text = "+";
    } else if (tokenKind_ == '-') {
      op = eoSUB;
      text = "-";
    } else if (tokenKind_ == '|') {
      NextToken();
      if (tokenKind_ != '|') {
        RaiseInsteadFound(
            "Second concatenation symbol '|' expected after first concatentation symbol, instead found '");
      }
      op = eoADD;
      text = "||";
    } else {
      return left;
    }
    NextToken();
    TExpTokenPtr right = Level6(m);
    std::uint8_t type = left->DataType;
    left = NewBinary(op, text, std::move(left), std::move(right), type);
  }
}

TExpTokenPtr TExpressionParser::Level6(TParseModifiers m) {
  TExpTokenPtr left = Level7(m);
  while (tokenKind_ == '*' || tokenKind_ == '/') {
    TExpOperator op = tokenKind_ == '*' ? eoMUL : eoDIV;
    std::string text = tokenKind_ == '*' ? "*" : "/";
    NextToken();
    TExpTokenPtr right = Level7(m);
    std::uint8_t type = left->DataType;
    left = NewBinary(op, text, std::move(left), std::move(right), type);
  }
  return left;
}

TExpTokenPtr TExpressionParser::Level7(TParseModifiers m) {
  if (tokenKind_ != '+' && tokenKind_ != '-') return Level8(m);
  TExpOperator op = tokenKind_ == '+' ? eoPLUS : eoMINUS;
  std::string text = tokenKind_ == '+' ? "+" : "-";
  NextToken();
  TExpTokenPtr operand = Level8(m);
  TExpTokenPtr node = NewNode(enUNARY, op, text, operand->DataType);
  node->Left = operand.release();
  return node;
}

TExpTokenPtr TExpressionParser::Level8(TParseModifiers m) {
  TNestingGuard guard(*this);
  switch (tokenKind_) {
    case '(': {
      NextToken();
      TExpTokenPtr inner = Level1(m);
      if (tokenKind_ != ')') RaiseInsteadFound("Right parentheses expected, instead found '");
      NextToken();
      return inner;
    }
    case tkInteger:
    case tkDecimal:
      return ParseNumber();
    case tkQuoted: {
      std::string text = TokenAsString();
      NextToken();
      if (tokenKind_ == '.') return ParseQualifiedField(text, m);
      if (text.empty()) return NewNullConstant(text);
      return NewStringConstant(text, text);
    }
    case tkBracketed: {
      std::string name = TokenAsString();
      NextToken();
      if (tokenKind_ == '.') return ParseQualifiedField(name, m);
      return FieldReference(name);
    }
    case tkCharConstant: {
      std::string text = TokenAsString();
      // Digits after '#'; anything past three of them is out of range whatever its value.
      unsigned value = 0;
      bool inRange = text.size() <= 4;
      if (inRange) {
        for (std::size_t i = 1; i < text.size(); ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
        inRange = value <= 255;
      }
      if (!inRange) {
        RaiseWithContext("Character constants (#) must be within the range of " + std::to_string(0) +
                         " to " + std::to_string(255) + " in ");
      }
      NextToken();
      return NewStringConstant(text, std::string(1, static_cast<char>(value)));
    }
    case '?': {
      if (!(m & pmAllowParameters)) RaiseWithContext("Parameters are not allowed in ");
      TExpTokenPtr param = NewNullConstant("?");
      param->IsNull = 0;
      param->IsParameter = 1;
      NextToken();
      if (Owner) Owner->AddParameter(param.get());
      return param;
    }
    case '*': {
      if (!(m & pmAllowAllFields)) RaiseWithContext("* (all columns) symbol is not allowed in ");
      NextToken();
      return FieldReference("*");
    }
    case tkSymbol:
      return ParseSymbol(m);
    default:
      RaiseFoundIn("Unknown or unexpected symbol '");
  }
}

TExpTokenPtr TExpressionParser::ParseNumber() {
  std::string text = TokenAsString();
  auto invalid = [&]() {
    RaiseParseError("Constant '" + text + "'" + " is not a valid number " + " in " + ContextDescription);
  };
  TExpTokenPtr constant;
  if (tokenKind_ == tkInteger) {
    std::uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    bool whole = ec == std::errc() && ptr == text.data() + text.size();
    if (whole && value <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      constant = NewConstant(text, dtInteger, 4);
      PutI32(constant->ValueBuffer.get(), 0, static_cast<std::int32_t>(value));
    } else if (whole && value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      constant = NewConstant(text, dtLargeInt, 8);
      PutI64(constant->ValueBuffer.get(), 0, static_cast<std::int64_t>(value));
    }
  }
  if (!constant) {
    double value = 0;
    if (!ParseAnsiFloat(text, value)) invalid();
    constant = NewConstant(text, dtFloat, 8);
    PutF64(constant->ValueBuffer.get(), 0, value);
  }
  NextToken();
  return constant;
}

void TExpressionParser::CheckNameLength(const std::string& name) const {
  if (name.size() > TExpToken::kMaxNameLength) {
    RaiseParseError("Names must not be longer than " + std::to_string(TExpToken::kMaxNameLength) +
                    " characters, instead found '" + name + "'" + " in " + ContextDescription);
  }
}

TExpTokenPtr TExpressionParser::FieldReference(const std::string& name) {
  CheckNameLength(name);
  TExpTokenPtr t = NewNode(enFIELD, eoFIELD, name, 0);
  t->Name = name;
  return t;
}

TExpTokenPtr TExpressionParser::ParseQualifiedField(const std::string& tableText, TParseModifiers m) {
  NextToken();  // past '.'
  std::string field;
  if (tokenKind_ == tkSymbol || tokenKind_ == tkBracketed || tokenKind_ == tkQuoted) {
    field = TokenAsString();
  } else if (tokenKind_ == '*') {
    if (!(m & pmAllowAllFields)) RaiseWithContext("* (all columns) symbol is not allowed in ");
    field = "*";
  } else {
    RaiseInsteadFound(
        "Symbol or string expression expected after table correlation name separator '.', instead found '");
  }
  std::string table = StripFilePathAndExtension(tableText);
  CheckNameLength(table);
  TExpTokenPtr t = FieldReference(field);
  t->Text = tableText + "." + field;
  t->TableName = table;
  NextToken();
  return t;
}

void TExpressionParser::ExpectLeftParen(const std::string& name) {
  if (tokenKind_ != '(') {
    RaiseInsteadFound("Left parentheses expected after " + name + " keyword, instead found '");
  }
  NextToken();
}

void TExpressionParser::ExpectRightParen(const std::string& name, bool plural) {
  if (tokenKind_ != ')') {
    RaiseInsteadFound("Right parentheses expected after " + name + " function argument" +
                      (plural ? "s" : "") + ", instead found '");
  }
  NextToken();
}

void TExpressionParser::ExpectKeyword(const std::string& word, const std::string& message) {
  if (!CheckTokenSymbol(word)) RaiseInsteadFound(message);
  NextToken();
}

TExpTokenPtr TExpressionParser::ParseSymbol(TParseModifiers m) {
  const std::string word = TokenAsString();
  const std::string upper = UpperAscii(word);
  if (upper == "TRUE" || upper == "FALSE") {
    TExpTokenPtr t = NewConstant(word, dtBoolean, 2);
    PutU16(t->ValueBuffer.get(), 0, upper == "TRUE" ? 1 : 0);
    NextToken();
    return t;
  }
  if (upper == "NULL") {
    NextToken();
    return NewNullConstant(word);
  }
  if (upper == "CURRENT_DATE" || upper == "CURRENT_TIME" || upper == "CURRENT_TIMESTAMP") {
    NextToken();
    if (tokenKind_ == '(') {
      NextToken();
      if (tokenKind_ != ')') {
        RaiseInsteadFound("Right parentheses expected after first " + upper +
                          " function parentheses, instead found '");
      }
      NextToken();
    }
    const TDateTime now = Now();
    if (upper == "CURRENT_DATE") {
      TExpTokenPtr t = NewConstant(word, dtDate, 4);
      PutI32(t->ValueBuffer.get(), 0, DateTimeToDayNumber(now));
      return t;
    }
    if (upper == "CURRENT_TIME") {
      TExpTokenPtr t = NewConstant(word, dtTime, 4);
      PutI32(t->ValueBuffer.get(), 0, DateTimeToTimeMSecs(now));
      return t;
    }
    TExpTokenPtr t = NewConstant(word, dtTimeStamp, 8);
    PutF64(t->ValueBuffer.get(), 0, DateTimeToTimeStampValue(now));
    return t;
  }
  bool known = false;
  TExpTokenPtr function = ParseFunction(upper, m, known);
  if (known) return function;
  TExpOperator aggregate = GetOperatorForAggregate(word);
  if (aggregate != eoNOTDEFINED) return ParseAggregate(aggregate, upper, m);
  NextToken();
  if (tokenKind_ == '.') return ParseQualifiedField(word, m);
  if (tokenKind_ == '(') {
    RaiseParseError("Unknown or unexpected function '" + word + "'" + " found in " + ContextDescription);
  }
  return FieldReference(word);
}

TExpTokenPtr TExpressionParser::ParseAggregate(TExpOperator op, const std::string& upper,
                                               TParseModifiers m) {
  if (!(m & pmAllowAggregates)) RaiseWithContext("Aggregate functions are not allowed in ");
  TExpTokenPtr node = NewNode(enFUNC, op, TokenAsString(), 0);
  node->Name = upper;
  NextToken();
  if (tokenKind_ != '(') {
    RaiseInsteadFound("Left parentheses expected after aggregate function '" + upper + "'" +
                      ", instead found " + "'");
  }
  NextToken();
  // COUNT(*) counts rows: the star is its argument wherever aggregates are allowed.
  AddArgument(*node, Level5(op == eoCOUNT ? (m | pmAllowAllFields) : m));
  if (tokenKind_ != ')') {
    RaiseInsteadFound("Right parentheses expected after aggregate " + upper +
                      " function argument, instead found " + "'");
  }
  NextToken();
  return node;
}

TExpTokenPtr TExpressionParser::ParseFunction(const std::string& upper, TParseModifiers m, bool& known) {
  struct TFunctionWord {
    const char* word;
    TExpOperator op;
    std::uint8_t type;
  };
  static const TFunctionWord kFunctions[] = {
      {"UPPER", eoUPPER, dtString},         {"LOWER", eoLOWER, dtString},
      {"LENGTH", eoLENGTH, dtInteger},      {"SUBSTRING", eoSUBSTRING, dtString},
      {"REPLACE", eoREPLACE, dtString},     {"POS", eoPOS, dtInteger},
      {"OCCURS", eoOCCURS, dtInteger},      {"TRIM", eoTRIMBOTH, dtString},
      {"EXTRACT", eoEXTRACTYEAR, dtInteger}, {"CAST", eoCAST, 0},
      {"ABS", eoABS, 0},                       {"ROUND", eoROUND, 0},
      {"IF", eoIF, 0},                         {"IFNULL", eoIFNULL, 0},
      {"COALESCE", eoCOALESCE, 0},             {"TEXTSEARCH", eoTEXTSEARCH, dtBoolean},
      {"TEXTOCCURS", eoTEXTOCCURS, dtWord}, {"LASTAUTOINC", eoLASTAUTOINC, dtInteger},
      {"IDENT_CURRENT", eoIDENTCURRENT, dtInteger},
  };
  const TFunctionWord* f = nullptr;
  for (const TFunctionWord& candidate : kFunctions) {
    if (upper == candidate.word) f = &candidate;
  }
  known = f != nullptr;
  if (!known) return nullptr;
  TExpTokenPtr node = NewNode(enFUNC, f->op, TokenAsString(), f->type);
  node->Name = upper;
  NextToken();
  ExpectLeftParen(upper);
  switch (f->op) {
    case eoUPPER:
    case eoLOWER:
    case eoLENGTH:
    case eoABS:
      AddArgument(*node, Level5(m));
      ExpectRightParen(upper, false);
      break;
    case eoSUBSTRING:
      AddArgument(*node, Level5(m));
      ExpectKeyword("FROM", "FROM keyword expected after first SUBSTRING function argument, instead found '");
      AddArgument(*node, Level5(m));
      if (CheckTokenSymbol("FOR")) {
        NextToken();
        AddArgument(*node, Level5(m));
      }
      ExpectRightParen(upper, true);
      break;
    case eoREPLACE:
      AddArgument(*node, Level5(m));
      ExpectKeyword("WITH", "WITH keyword expected after first REPLACE function argument, instead found '");
      AddArgument(*node, Level5(m));
      ExpectKeyword("IN", "IN keyword expected after second REPLACE function argument, instead found '");
      AddArgument(*node, Level5(m));
      ExpectRightParen(upper, true);
      break;
    case eoPOS:
    case eoOCCURS:
      AddArgument(*node, Level5(m));
      ExpectKeyword("IN", "IN keyword expected after first " + upper + " function argument, instead found '");
      AddArgument(*node, Level5(m));
      ExpectRightParen(upper, true);
      break;
    case eoTRIMBOTH: {
      if (CheckTokenSymbol("LEADING")) {
        node->Operator = eoTRIMLEADING;
      } else if (CheckTokenSymbol("TRAILING")) {
        node->Operator = eoTRIMTRAILING;
      } else if (!CheckTokenSymbol("BOTH")) {
        RaiseInsteadFound("LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '");
      }
      NextToken();
      AddArgument(*node, Level8(m));
      ExpectKeyword("FROM", "FROM keyword expected after second TRIM function argument, instead found '");
      AddArgument(*node, Level5(m));
      ExpectRightParen(upper, true);
      break;
    }
    case eoEXTRACTYEAR: {
      static const std::pair<const char*, TExpOperator> kParts[] = {
          {"YEAR", eoEXTRACTYEAR},   {"MONTH", eoEXTRACTMONTH},         {"WEEK", eoEXTRACTWEEK},
          {"DAY", eoEXTRACTDAY},     {"DAYOFWEEK", eoEXTRACTDAYOFWEEK}, {"DAYOFYEAR", eoEXTRACTDAYOFYEAR},
          {"HOUR", eoEXTRACTHOUR},   {"MINUTE", eoEXTRACTMINUTE},       {"SECOND", eoEXTRACTSECOND},
      };
      bool found = false;
      for (const auto& [part, op] : kParts) {
        if (CheckTokenSymbol(part)) {
          node->Operator = op;
          found = true;
        }
      }
      if (!found) {
        RaiseInsteadFound(
            "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected after "
            "EXTRACT keyword, instead found '");
      }
      NextToken();
      ExpectKeyword("FROM", "FROM keyword expected after second EXTRACT function argument, instead found '");
      AddArgument(*node, Level5(m));
      ExpectRightParen(upper, true);
      break;
    }
    case eoCAST:
      AddArgument(*node, Level5(m));
      ExpectKeyword("AS", "AS keyword expected after first CAST function argument, instead found '");
      ParseDataTypeExpression(*node, m, false);
      ExpectRightParen(upper, true);
      break;
    case eoROUND: {
      AddArgument(*node, Level5(m));
      const TExpToken& value = *node->Arguments[0];
      node->DataType = value.DataType;
      node->SetDataSize(value.DataSize);
      node->Decimals = value.Decimals;
      if (CheckTokenSymbol("TO")) {
        NextToken();
        AddArgument(*node, Level8(m));
      }
      ExpectRightParen(upper, true);
      break;
    }
    case eoIF:
    case eoIFNULL:
      AddArgument(*node, f->op == eoIF ? Level1(m | pmAllowExtPredicates) : Level1(m));
      if (!CheckTokenSymbol("THEN") && tokenKind_ != ',') {
        RaiseInsteadFound("THEN keyword or comma expected after first " + upper +
                          " function argument, instead found '");
      }
      NextToken();
      AddArgument(*node, Level5(m));
      if (!CheckTokenSymbol("ELSE") && tokenKind_ != ',') {
        RaiseInsteadFound("ELSE keyword or comma expected after second " + upper +
                          " function argument, instead found '");
      }
      NextToken();
      AddArgument(*node, Level5(m));
      ExpectRightParen(upper, true);
      break;
    case eoCOALESCE:
      if (tokenKind_ == ')') {
        RaiseWithContext("You must provide at least one value as an argument of the COALESCE operator  in ");
      }
      for (;;) {
        AddArgument(*node, Level5(m));
        if (tokenKind_ != ',') break;
        NextToken();
      }
      if (tokenKind_ != ')') {
        RaiseInsteadFound("Expected right parentheses after COALESCE expression arguments, instead found '");
      }
      NextToken();
      break;
    case eoTEXTSEARCH:
    case eoTEXTOCCURS:
      AddArgument(*node, Level5(m));
      ExpectKeyword("IN", "IN keyword expected after first " + upper + " function argument, instead found '");
      AddArgument(*node, Level8(m));
      ExpectRightParen(upper, false);
      break;
    case eoLASTAUTOINC:
    case eoIDENTCURRENT:
      AddArgument(*node, Level8(m));
      ExpectRightParen(upper, false);
      break;
    default:
      break;
  }
  return node;
}

bool TExpressionParser::ParseDataTypeExpression(TExpToken& token, TParseModifiers m, bool optional) {
  enum class TSizes { kNone, kOptional, kRequired, kBlob };
  struct TTypeWord {
    const char* word;
    std::uint8_t type;
    std::uint8_t subType;
    TSizes sizes;
  };
  static const TTypeWord kTypes[] = {
      {"SMALLINT", dtSmallInt, 0, TSizes::kNone},
      {"WORD", dtWord, 0, TSizes::kNone},
      {"INTEGER", dtInteger, 0, TSizes::kNone},
      {"INT", dtInteger, 0, TSizes::kNone},
      {"LARGEINT", dtLargeInt, 0, TSizes::kNone},
      {"AUTOINC", dtInteger, stAutoInc, TSizes::kNone},
      {"DECIMAL", dtBCD, 0, TSizes::kOptional},
      {"NUMERIC", dtBCD, 0, TSizes::kOptional},
      {"FLOAT", dtFloat, 0, TSizes::kOptional},
      {"MONEY", dtFloat, stMoney, TSizes::kNone},
      {"CHARACTER", dtString, 0, TSizes::kRequired},
      {"CHAR", dtString, 0, TSizes::kRequired},
      {"VARCHAR", dtString, 0, TSizes::kRequired},
      {"BYTES", dtBytes, 0, TSizes::kRequired},
      {"VARBYTES", dtBytes, 0, TSizes::kRequired},
      {"BINARY", dtBytes, 0, TSizes::kRequired},
      {"VARBINARY", dtBytes, 0, TSizes::kRequired},
      {"DATE", dtDate, 0, TSizes::kNone},
      {"TIME", dtTime, 0, TSizes::kNone},
      {"TIMESTAMP", dtTimeStamp, 0, TSizes::kNone},
      {"BOOLEAN", dtBoolean, 0, TSizes::kNone},
      {"BOOL", dtBoolean, 0, TSizes::kNone},
      {"BIT", dtBoolean, 0, TSizes::kNone},
      {"BLOB", dtBlob, stBinary, TSizes::kBlob},
      {"LONGVARBINARY", dtBlob, stBinary, TSizes::kNone},
      {"LONGVARCHAR", dtBlob, stMemo, TSizes::kNone},
      {"MEMO", dtBlob, stMemo, TSizes::kNone},
      {"GRAPHIC", dtBlob, stGraphic, TSizes::kNone},
  };
  const TTypeWord* t = nullptr;
  if (tokenKind_ == tkSymbol) {
    for (const TTypeWord& candidate : kTypes) {
      if (CheckTokenSymbol(candidate.word)) t = &candidate;
    }
  }
  if (t == nullptr) {
    if (optional) return false;
    RaiseInsteadFound("SQL data type keyword expected, instead found '");
  }
  const std::string word = t->word;
  token.DataType = t->type;
  token.SubType = t->subType;
  NextToken();
  if (t->sizes == TSizes::kNone) return true;
  if (tokenKind_ != '(') {
    if (t->sizes == TSizes::kRequired) {
      RaiseInsteadFound("Left parentheses expected after " + word + " data type, instead found " + "'");
    }
    return true;
  }
  NextToken();
  token.SetArgumentExpToken(1, Level8(m).release());
  if (t->sizes == TSizes::kBlob) {
    if (tokenKind_ != ',') {
      RaiseInsteadFound("Comma expected after first " + word + " argument, instead found " + "'");
    }
    NextToken();
    token.SetArgumentExpToken(2, Level8(m).release());
    token.SubType = 0;
  } else if (t->sizes == TSizes::kOptional && tokenKind_ == ',') {
    NextToken();
    token.SetArgumentExpToken(2, Level8(m).release());
  }
  if (tokenKind_ != ')') {
    RaiseInsteadFound("Right parentheses expected after " + word + " data type arguments, instead found " + "'");
  }
  NextToken();
  return true;
}

TExpTokenPtr ParseFilterExpression(const std::string& text, const std::string& tableName,
                                   const std::string& databaseName) {
  TExpressionParser parser;
  parser.ErrorCode = KORVEL_INVALIDFILTER;
  parser.TableName = tableName;
  parser.DatabaseName = databaseName;
  parser.ContextDescription = kFilterContextDescription;
  parser.SetExpression(text);
  parser.NextToken();
  TExpTokenPtr tree = parser.ParseExpression1(pmAllowExtPredicates);
  // A filter is one expression: text after it ("a != 1" stops at "!") is an error, not ignored.
  if (!parser.CheckToken(tkEnd)) parser.RaiseFoundIn("Unknown or unexpected symbol '");
  return tree;
}

}  // namespace korvel
