#include "expr/expression_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korvel {
namespace {

const char* OperatorName(TExpOperator op) {
  switch (op) {
    case eoEQ: return "EQ";        case eoNE: return "NE";        case eoGT: return "GT";
    case eoLT: return "LT";        case eoGE: return "GE";        case eoLE: return "LE";
    case eoNOT: return "NOT";      case eoAND: return "AND";      case eoOR: return "OR";
    case eoMINUS: return "MINUS";  case eoPLUS: return "PLUS";    case eoADD: return "ADD";
    case eoSUB: return "SUB";      case eoMUL: return "MUL";      case eoDIV: return "DIV";
    case eoSUM: return "SUM";      case eoCOUNT: return "COUNT";  case eoMIN: return "MIN";
    case eoMAX: return "MAX";      case eoAVG: return "AVG";      case eoRUNSUM: return "RUNSUM";
    case eoLIKE: return "LIKE";    case eoNOTLIKE: return "NOTLIKE";
    case eoIN: return "IN";        case eoNOTIN: return "NOTIN";
    case eoSUBIN: return "SUBIN";  case eoNOTSUBIN: return "NOTSUBIN";
    case eoBETWEEN: return "BETWEEN"; case eoNOTBETWEEN: return "NOTBETWEEN";
    case eoUPPER: return "UPPER";  case eoLOWER: return "LOWER";  case eoLENGTH: return "LENGTH";
    case eoSUBSTRING: return "SUBSTRING"; case eoREPLACE: return "REPLACE";
    case eoPOS: return "POS";      case eoOCCURS: return "OCCURS";
    case eoTRIMLEADING: return "TRIMLEADING"; case eoTRIMTRAILING: return "TRIMTRAILING";
    case eoTRIMBOTH: return "TRIMBOTH"; case eoCAST: return "CAST";
    case eoEXTRACTYEAR: return "YEAR"; case eoEXTRACTDAYOFWEEK: return "DAYOFWEEK";
    case eoEXTRACTSECOND: return "SECOND"; case eoIF: return "IF";
    case eoIFNULL: return "IFNULL"; case eoCOALESCE: return "COALESCE"; case eoABS: return "ABS";
    case eoROUND: return "ROUND";  case eoTEXTSEARCH: return "TEXTSEARCH";
    case eoTEXTOCCURS: return "TEXTOCCURS"; case eoLASTAUTOINC: return "LASTAUTOINC";
    case eoIDENTCURRENT: return "IDENTCURRENT";
    default: return "?op";
  }
}

// A compact picture of a tree: OP(operands...), fields by name (t.f when qualified), strings
// quoted, integers plain, large integers with L, floats with F, NULL, ? for parameters.
std::string Dump(const TExpToken* t) {
  if (t == nullptr) return "-";
  switch (t->NodeClass) {
    case enFIELD:
      return t->TableName.empty() ? t->Name : t->TableName + "." + t->Name;
    case enCONST: {
      if (t->IsParameter) return "?";
      if (t->IsNull) return "NULL";
      const std::uint8_t* v = t->ValueBuffer.get();
      switch (t->DataType) {
        case 1: return "'" + std::string(reinterpret_cast<const char*>(v)) + "'";
        case 4: return v[0] ? "TRUE" : "FALSE";
        case 6: { std::int32_t x; std::memcpy(&x, v, 4); return std::to_string(x); }
        case 18: { std::int64_t x; std::memcpy(&x, v, 8); return std::to_string(x) + "L"; }
        case 7: { double x; std::memcpy(&x, v, 8); char b[64]; std::snprintf(b, sizeof b, "%gF", x); return b; }
        default: return "const" + std::to_string(t->DataType);
      }
    }
    case enTUPLE:
      return "SELECT";
    default: {
      std::string s = OperatorName(t->Operator);
      s += "(";
      std::vector<const TExpToken*> operands;
      if (t->Left) operands.push_back(t->Left);
      if (t->Right) operands.push_back(t->Right);
      for (const TExpToken* a : t->Arguments) operands.push_back(a);
      for (std::size_t i = 0; i < operands.size(); ++i) s += (i ? "," : "") + Dump(operands[i]);
      return s + ")";
    }
  }
}

std::string ParseFilterDump(const std::string& text) {
  TExpTokenPtr tree = ParseFilterExpression(text, "customer", "/data");
  return Dump(tree.get());
}

// The extra message of the error raised for text, parsed with the given modifiers (a filter
// parser otherwise); "" when it parses.
std::string ParseError(const std::string& text, TParseModifiers m = pmAllowExtPredicates,
                       const std::string& context = kFilterContextDescription) {
  TExpressionParser parser;
  parser.ContextDescription = context;
  parser.TableName = "customer";
  parser.DatabaseName = "/data";
  parser.SetExpression(text);
  try {
    parser.NextToken();
    TExpTokenPtr tree = parser.ParseExpression1(m);
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
    EXPECT_EQ(e.ErrorTableName, "customer");
    EXPECT_EQ(e.ErrorDatabaseName, "/data");
    return e.ErrorMessage;
  }
  return "";
}

constexpr TParseModifiers kSqlModifiers =
    pmAllowAggregates | pmAllowAllFields | pmAllowExtPredicates | pmAllowParameters;

std::string ParseSqlDump(const std::string& text) {
  TExpressionParser parser;
  parser.ErrorCode = KORVEL_SQLPARSE;
  parser.ContextDescription = "SELECT clause";
  parser.SetExpression(text);
  parser.NextToken();
  return Dump(parser.ParseExpression1(kSqlModifiers).get());
}

TEST(ExpressionParser, PrecedenceAndLeftAssociativity) {
  EXPECT_EQ(ParseFilterDump("a = 1 or b = 2 and c = 3"), "OR(EQ(a,1),AND(EQ(b,2),EQ(c,3)))");
  EXPECT_EQ(ParseFilterDump("a = 1 and b = 2 or c = 3"), "OR(AND(EQ(a,1),EQ(b,2)),EQ(c,3))");
  EXPECT_EQ(ParseFilterDump("2 + 3 * 4"), "ADD(2,MUL(3,4))");
  EXPECT_EQ(ParseFilterDump("-a * b"), "MUL(MINUS(a),b)");
  EXPECT_EQ(ParseFilterDump("a - b - c"), "SUB(SUB(a,b),c)");
  EXPECT_EQ(ParseFilterDump("a / b * c"), "MUL(DIV(a,b),c)");
  EXPECT_EQ(ParseFilterDump("(a + b) * c"), "MUL(ADD(a,b),c)");
  EXPECT_EQ(ParseFilterDump("1+2"), "ADD(1,2)");
  EXPECT_EQ(ParseFilterDump("a-1"), "SUB(a,1)");
  EXPECT_EQ(ParseFilterDump("not a = 1 and b <> 2"), "AND(NOT(EQ(a,1)),NE(b,2))");
  EXPECT_EQ(ParseFilterDump("a || 'x' || b"), "ADD(ADD(a,'x'),b)");
  EXPECT_EQ(ParseFilterDump("a <= 1 or a >= 2 or a < 3 or a > 4"),
            "OR(OR(OR(LE(a,1),GE(a,2)),LT(a,3)),GT(a,4))");
  EXPECT_EQ(ParseFilterDump("a < = 1"), "LE(a,1)") << "the two characters are separate tokens";
}

TEST(ExpressionParser, NodeTypesAndTextsFollowTheSyntax) {
  TExpTokenPtr t = ParseFilterExpression("a + 1.5 >= 2 and x || y = 'z'");
  ASSERT_EQ(t->Operator, eoAND);
  EXPECT_EQ(t->DataType, 4);
  const TExpToken* ge = t->Left;
  EXPECT_EQ(ge->Text, "> =");
  EXPECT_EQ(ge->DataType, 4);
  EXPECT_EQ(ge->Left->DataType, 0) << "a sum takes its left operand's (still unknown) type";
  EXPECT_EQ(t->Right->Left->Text, "||");
  TExpTokenPtr neg = ParseFilterExpression("-2.5");
  EXPECT_EQ(neg->Operator, eoMINUS);
  EXPECT_EQ(neg->DataType, 7);
  TExpTokenPtr sum = ParseFilterExpression("1 + a");
  EXPECT_EQ(sum->DataType, 6);
}

TEST(ExpressionParser, QuotesCommentsAndCharacterConstants) {
  EXPECT_EQ(ParseFilterDump("a = 'O''Brien'"), "EQ(a,'O'Brien')");
  EXPECT_EQ(ParseFilterDump("a = \"say \"\"hi\"\"\""), "EQ(a,'say \"hi\"')");
  EXPECT_EQ(ParseFilterDump("a = ''"), "EQ(a,NULL)");
  EXPECT_EQ(ParseFilterDump("\"Name\" = 'x'"), "EQ('Name','x')") << "double quotes make a constant";
  EXPECT_EQ(ParseFilterDump("[Last Name] = #65"), "EQ(Last Name,'A')");
  EXPECT_EQ(ParseFilterDump("/* lead */ a /* mid */ = /**/ 1 /* tail */"), "EQ(a,1)");
  EXPECT_EQ(ParseFilterDump("a\t=\r\n1"), "EQ(a,1)");
  EXPECT_EQ(ParseFilterDump("'a /* not a comment */'"), "'a /* not a comment */'");

  TExpTokenPtr s = ParseFilterExpression("'abc'");
  EXPECT_EQ(s->DataType, 1);
  EXPECT_EQ(s->DataSize, 4) << "length + 1 for the terminator";
  TExpTokenPtr zero = ParseFilterExpression("#0");
  EXPECT_EQ(zero->DataSize, 2);
  EXPECT_EQ(zero->ValueBuffer[0], 0);
  TExpTokenPtr high = ParseFilterExpression("#255");
  EXPECT_EQ(high->ValueBuffer[0], 255);

  std::string longText(600, 'q');
  TExpTokenPtr big = ParseFilterExpression("'" + longText + "'");
  EXPECT_EQ(big->DataSize, 601);
  EXPECT_GE(big->ValueBufferSize, 601u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(big->ValueBuffer.get())), longText);
}

TEST(ExpressionParser, NumberConstantsTakeTheNarrowestType) {
  struct Case { const char* text; std::uint8_t type; std::int32_t size; const char* dump; };
  const Case cases[] = {
      {"12", 6, 4, "12"},
      {"2147483647", 6, 4, "2147483647"},
      {"2147483648", 18, 8, "2147483648L"},
      {"3000000000", 18, 8, "3000000000L"},
      {"9223372036854775807", 18, 8, "9223372036854775807L"},
      {"9223372036854775808", 7, 8, "9.22337e+18F"},
      {"1.5e3", 7, 8, "1500F"},
      {".5", 7, 8, "0.5F"},
      {"1E+2", 7, 8, "100F"},
      {"2.5e-1", 7, 8, "0.25F"},
  };
  for (const Case& c : cases) {
    TExpTokenPtr t = ParseFilterExpression(c.text);
    EXPECT_EQ(t->NodeClass, enCONST) << c.text;
    EXPECT_EQ(t->DataType, c.type) << c.text;
    EXPECT_EQ(t->DataSize, c.size) << c.text;
    EXPECT_EQ(Dump(t.get()), c.dump) << c.text;
    EXPECT_EQ(t->Text, c.text);
  }
}

TEST(ExpressionParser, QualifiedNamesInTheirThreeSpellings) {
  for (const char* text : {"t.f", "[t].[f]", "'t'.'f'", "t . [f]", "\"t\".f"}) {
    TExpTokenPtr t = ParseFilterExpression(text);
    ASSERT_EQ(t->NodeClass, enFIELD) << text;
    EXPECT_EQ(t->Name, "f") << text;
    EXPECT_EQ(t->TableName, "t") << text;
    EXPECT_EQ(t->Text, "t.f") << text;
  }
  TExpTokenPtr path = ParseFilterExpression("'/data/sales/Customer.DAT'.[Last Name]");
  EXPECT_EQ(path->TableName, "Customer") << "path and extension removed";
  EXPECT_EQ(path->Name, "Last Name");
  EXPECT_EQ(ParseSqlDump("c.*"), "c.*");
  EXPECT_EQ(ParseError("t.*"), "* (all columns) symbol is not allowed in filter expression");
  EXPECT_EQ(ParseError("t.5"), "") << "\".5\" is a number: t alone, the rest is not examined";
  EXPECT_EQ(ParseError("t.(x)"),
            "Symbol or string expression expected after table correlation name separator '.', "
            "instead found '(' in filter expression");
}

TEST(ExpressionParser, ExtendedPredicates) {
  EXPECT_EQ(ParseFilterDump("a NOT LIKE 'x%'"), "NOTLIKE(a,'x%')");
  EXPECT_EQ(ParseFilterDump("a like 'x%' and b = 1"), "AND(LIKE(a,'x%'),EQ(b,1))");
  EXPECT_EQ(ParseFilterDump("a BETWEEN 1 AND 5"), "BETWEEN(a,1,5)");
  EXPECT_EQ(ParseFilterDump("a between 1 and 5 and b = 2"), "AND(BETWEEN(a,1,5),EQ(b,2))");
  EXPECT_EQ(ParseFilterDump("a NOT BETWEEN b + 1 AND 5 * 2"), "NOTBETWEEN(a,ADD(b,1),MUL(5,2))");
  EXPECT_EQ(ParseFilterDump("a IN (1, 2, 'x')"), "IN(a,1,2,'x')");
  EXPECT_EQ(ParseFilterDump("a NOT IN (1)"), "NOTIN(a,1)");
  EXPECT_EQ(ParseFilterDump("a IS NULL"), "EQ(a,NULL)");
  EXPECT_EQ(ParseFilterDump("a is not null or b is null"), "OR(NE(a,NULL),EQ(b,NULL))");
  EXPECT_EQ(ParseFilterDump("NOT a IN (1)"), "NOT(IN(a,1))");
  TExpTokenPtr isNull = ParseFilterExpression("a IS NULL");
  EXPECT_EQ(isNull->NodeClass, enBINARY);
  EXPECT_EQ(isNull->Right->Text, "NULL");
  EXPECT_EQ(isNull->Right->IsNull, 1);
  TExpTokenPtr like = ParseFilterExpression("a LIKE 'x'");
  EXPECT_EQ(like->NodeClass, enEXTBINARY);
  EXPECT_EQ(like->DataType, 4);
}

TEST(ExpressionParser, ModifiersDecideWhatIsAllowed) {
  EXPECT_EQ(ParseError("a = ?"), "Parameters are not allowed in filter expression");
  EXPECT_EQ(ParseError("SUM(x) > 1"), "Aggregate functions are not allowed in filter expression");
  EXPECT_EQ(ParseError("*"), "* (all columns) symbol is not allowed in filter expression");
  EXPECT_EQ(ParseError("a LIKE 'x'", 0, "default expression"),
            "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in default expression");
  EXPECT_EQ(ParseError("a IS NULL", 0),
            "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in filter expression");
  EXPECT_EQ(ParseError("a IN (SELECT b FROM t)"), "Sub-select queries are not allowed in filter expression");
  // IF's condition gets the extended predicates even where they are not allowed.
  EXPECT_EQ(ParseError("IF(a LIKE 'x' THEN 1 ELSE 2)", 0), "");

  EXPECT_EQ(ParseSqlDump("SUM(a) + COUNT(*) + MAX(b) + AVG(c) + MIN(d) + RUNSUM(e)"),
            "ADD(ADD(ADD(ADD(ADD(SUM(a),COUNT(*)),MAX(b)),AVG(c)),MIN(d)),RUNSUM(e))");
  EXPECT_EQ(ParseSqlDump("a = ? and b = ?"), "AND(EQ(a,?),EQ(b,?))");
}

// A stand-in for the SQL statement: keeps the parameters and reads "SELECT ... " up to the
// closing parenthesis as a sub-select.
class TFakeStatement : public TExpressionParserOwner {
 public:
  void AddParameter(TExpToken* parameter) override { parameters.push_back(parameter); }
  TDataQuery* ParseSubSelect(TExpressionParser& parser) override {
    EXPECT_TRUE(parser.CheckTokenSymbol("SELECT"));
    while (!parser.CheckToken(')') && !parser.CheckToken(tkEnd)) parser.NextToken();
    ++subSelects;
    return reinterpret_cast<TDataQuery*>(this);
  }
  std::vector<TExpToken*> parameters;
  int subSelects = 0;
};

TEST(ExpressionParser, ParametersAndSubSelectsGoThroughTheOwner) {
  TFakeStatement statement;
  TExpressionParser parser(&statement);
  parser.ErrorCode = KORVEL_SQLPARSE;
  parser.ContextDescription = "WHERE or JOIN clause";
  parser.SetExpression("a = ? AND b NOT IN (SELECT x FROM t WHERE y = 1) AND c = ?");
  parser.NextToken();
  TExpTokenPtr tree = parser.ParseExpression1(kSqlModifiers | pmAllowSubSelects);
  EXPECT_EQ(Dump(tree.get()), "AND(AND(EQ(a,?),NOTSUBIN(b,SELECT)),EQ(c,?))");
  ASSERT_EQ(statement.parameters.size(), 2u);
  EXPECT_EQ(statement.parameters[0], tree->Left->Left->Right);
  EXPECT_EQ(statement.parameters[1], tree->Right->Right);
  EXPECT_EQ(statement.subSelects, 1);
  const TExpToken* tuple = tree->Left->Right->Arguments[1];
  EXPECT_EQ(tuple->NodeClass, enTUPLE);
  EXPECT_EQ(tuple->Query, reinterpret_cast<TDataQuery*>(&statement));

  parser.SetExpression("a IN (SELECT x FROM t");
  parser.NextToken();
  try {
    parser.ParseExpression1(kSqlModifiers | pmAllowSubSelects);
    ADD_FAILURE() << "no closing parenthesis";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_SQLPARSE);
    EXPECT_EQ(e.ErrorMessage,
              "Expected right parentheses after IN operator, instead found '' in WHERE or JOIN clause");
  }
}

TEST(ExpressionParser, FunctionsAndTheirArguments) {
  struct Case { const char* text; const char* dump; };
  const Case cases[] = {
      {"UPPER(a) = LOWER('X')", "EQ(UPPER(a),LOWER('X'))"},
      {"LENGTH(a || b)", "LENGTH(ADD(a,b))"},
      {"SUBSTRING(a FROM 2 FOR 3)", "SUBSTRING(a,2,3)"},
      {"substring(a from 2)", "SUBSTRING(a,2)"},
      {"REPLACE('x' WITH 'y' IN a)", "REPLACE('x','y',a)"},
      {"POS('x' IN a)", "POS('x',a)"},
      {"OCCURS('x' IN a)", "OCCURS('x',a)"},
      {"TRIM(LEADING ' ' FROM a)", "TRIMLEADING(' ',a)"},
      {"TRIM(TRAILING '0' FROM a)", "TRIMTRAILING('0',a)"},
      {"TRIM(BOTH 'x' FROM a)", "TRIMBOTH('x',a)"},
      {"EXTRACT(YEAR FROM d)", "YEAR(d)"},
      {"EXTRACT(DAYOFWEEK FROM d)", "DAYOFWEEK(d)"},
      {"EXTRACT(second FROM d)", "SECOND(d)"},
      {"ABS(-a)", "ABS(MINUS(a))"},
      {"ROUND(a TO 2)", "ROUND(a,2)"},
      {"ROUND(a)", "ROUND(a)"},
      {"IF(a = 1 THEN 'one' ELSE 'other')", "IF(EQ(a,1),'one','other')"},
      {"IF(a > 1 OR b, 1, 2)", "IF(OR(GT(a,1),b),1,2)"},
      {"IFNULL(a, 0, a)", "IFNULL(a,0,a)"},
      {"COALESCE(a, b, 0)", "COALESCE(a,b,0)"},
      {"COALESCE(a)", "COALESCE(a)"},
      {"TEXTSEARCH('cat dog' IN notes)", "TEXTSEARCH('cat dog',notes)"},
      {"TEXTOCCURS('cat' IN notes)", "TEXTOCCURS('cat',notes)"},
      {"LASTAUTOINC('orders')", "LASTAUTOINC('orders')"},
      {"IDENT_CURRENT('orders')", "IDENTCURRENT('orders')"},
      {"TRUE", "TRUE"},
      {"false", "FALSE"},
      {"NULL", "NULL"},
      {"CAST(a AS INTEGER)", "CAST(a)"},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseFilterDump(c.text), c.dump) << c.text;

  TExpTokenPtr round = ParseFilterExpression("ROUND(1.5 TO 0)");
  EXPECT_EQ(round->DataType, 7) << "ROUND takes the type and size of its value";
  EXPECT_EQ(round->DataSize, 8);
  EXPECT_EQ(ParseFilterExpression("LENGTH(a)")->DataType, 6);
  EXPECT_EQ(ParseFilterExpression("TEXTOCCURS('a' IN b)")->DataType, 12);
  EXPECT_EQ(ParseFilterExpression("TEXTSEARCH('a' IN b)")->DataType, 4);
}

TEST(ExpressionParser, CurrentDateAndTimeAreConstantsOfTheParseTime) {
  TExpTokenPtr date = ParseFilterExpression("CURRENT_DATE");
  EXPECT_EQ(date->NodeClass, enCONST);
  EXPECT_EQ(date->DataType, 2);
  std::int32_t day;
  std::memcpy(&day, date->ValueBuffer.get(), 4);
  EXPECT_GT(day, 737425) << "after 1 January 2020";   // day numbers count from 1 January 0001
  EXPECT_LT(day, 766645) << "before 1 January 2100";
  TExpTokenPtr time = ParseFilterExpression("current_time()");
  EXPECT_EQ(time->DataType, 10);
  std::int32_t ms;
  std::memcpy(&ms, time->ValueBuffer.get(), 4);
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, 86400000);
  TExpTokenPtr stamp = ParseFilterExpression("CURRENT_TIMESTAMP ( )");
  EXPECT_EQ(stamp->DataType, 11);
  double value;
  std::memcpy(&value, stamp->ValueBuffer.get(), 8);
  EXPECT_GE(value, static_cast<double>(day) * 86400000.0);
  EXPECT_LT(value, static_cast<double>(day + 2) * 86400000.0);
}

TEST(ExpressionParser, DataTypes) {
  struct Case { const char* text; std::uint8_t type, subType; std::size_t args; };
  const Case cases[] = {
      {"CAST(a AS SMALLINT)", 5, 0, 1},      {"CAST(a AS WORD)", 12, 0, 1},
      {"CAST(a AS INT)", 6, 0, 1},           {"CAST(a AS LARGEINT)", 18, 0, 1},
      {"CAST(a AS AUTOINC)", 6, 29, 1},      {"CAST(a AS DECIMAL)", 8, 0, 1},
      {"CAST(a AS NUMERIC(10, 2))", 8, 0, 3}, {"CAST(a AS FLOAT(8))", 7, 0, 2},
      {"CAST(a AS MONEY)", 7, 21, 1},        {"CAST(a AS VARCHAR(20))", 1, 0, 2},
      {"CAST(a AS CHARACTER(1))", 1, 0, 2},  {"CAST(a AS BYTES(4))", 9, 0, 2},
      {"CAST(a AS VARBINARY(4))", 9, 0, 2},  {"CAST(a AS DATE)", 2, 0, 1},
      {"CAST(a AS TIME)", 10, 0, 1},         {"CAST(a AS TIMESTAMP)", 11, 0, 1},
      {"CAST(a AS BIT)", 4, 0, 1},           {"CAST(a AS BLOB)", 3, 23, 1},
      {"CAST(a AS BLOB(1, 22))", 3, 0, 3},   {"CAST(a AS LONGVARBINARY)", 3, 23, 1},
      {"CAST(a AS MEMO)", 3, 22, 1},         {"CAST(a AS LONGVARCHAR)", 3, 22, 1},
      {"CAST(a AS GRAPHIC)", 3, 26, 1},
  };
  for (const Case& c : cases) {
    TExpTokenPtr t = ParseFilterExpression(c.text);
    EXPECT_EQ(t->Operator, eoCAST) << c.text;
    EXPECT_EQ(t->DataType, c.type) << c.text;
    EXPECT_EQ(t->SubType, c.subType) << c.text;
    EXPECT_EQ(t->ArgumentCount(), c.args) << c.text;
  }
  TExpTokenPtr chars = ParseFilterExpression("CAST(a AS CHAR(10))");
  EXPECT_EQ(Dump(chars->GetArgumentExpToken(1)), "10");

  // As the data definition statements use it: on a fresh token, with and without a type word.
  TExpressionParser parser;
  parser.SetExpression("VARCHAR(30) NOT NULL");
  parser.NextToken();
  TExpTokenPtr column = NewExpToken();
  EXPECT_TRUE(parser.ParseDataTypeExpression(*column, 0, false));
  EXPECT_EQ(column->DataType, 1);
  EXPECT_EQ(Dump(column->GetArgumentExpToken(1)), "30");
  EXPECT_TRUE(parser.CheckTokenSymbol("NOT"));
  EXPECT_FALSE(parser.ParseDataTypeExpression(*column, 0, true));
  EXPECT_TRUE(parser.CheckTokenSymbol("NOT")) << "nothing consumed when the type is optional";
}

TEST(ExpressionParser, MalformedTextsGiveTheirExactMessages) {
  struct Case { const char* text; const char* message; };
  const Case cases[] = {
      {"", "Unknown or unexpected symbol '' found in filter expression"},
      {"a = ", "Unknown or unexpected symbol '' found in filter expression"},
      {"a = )", "Unknown or unexpected symbol ')' found in filter expression"},
      {"(a = 1", "Right parentheses expected, instead found '' in filter expression"},
      {"a = 1 /* open", "Missing ending comment slash and asterisk in filter expression"},
      {"a = 'abc", "Missing single quote after 'abc' in filter expression"},
      {"a = \"abc", "Missing double quote after 'abc' in filter expression"},
      {"[abc = 1", "Missing right bracket after 'abc = 1' in filter expression"},
      {"a = #256", "Character constants (#) must be within the range of 0 to 255 in filter expression"},
      {"a = #99999999999999999999", "Character constants (#) must be within the range of 0 to 255 in filter expression"},
      {"a = 1.2.3", "Constant '1.2.3' is not a valid number  in filter expression"},
      {"a = 1e", "Constant '1e' is not a valid number  in filter expression"},
      {"a = 1e999", "Constant '1e999' is not a valid number  in filter expression"},
      {"a | b", "Second concatenation symbol '|' expected after first concatentation symbol, instead found 'b' in filter expression"},
      {"a IS 1", "Unknown or unexpected symbol '1' found in filter expression"},
      {"a IS NOT x", "Unknown or unexpected symbol 'x' found in filter expression"},
      {"a NOT x", "Unknown or unexpected symbol 'x' in filter expression"},
      {"a BETWEEN 1 OR 2", "Expected AND operator in BETWEEN operator, instead found 'OR' in filter expression"},
      {"a NOT BETWEEN 1 5", "Expected AND operator in NOT BETWEEN operator, instead found '5' in filter expression"},
      {"a IN 1", "Expected left parentheses for IN operator, instead found '1' in filter expression"},
      {"a NOT IN 1", "Expected left parentheses for NOT IN operator, instead found '1' in filter expression"},
      {"a IN ()", "You must provide at least one value as an operand of the IN operator  in filter expression"},
      {"a NOT IN ()", "You must provide at least one value as an operand of the NOT IN operator  in filter expression"},
      {"a IN (1, 2", "Expected right parentheses after IN operator, instead found '' in filter expression"},
      {"a IN (1 2)", "Expected right parentheses after IN operator, instead found '2' in filter expression"},
      {"frob(a)", "Unknown or unexpected function 'frob' found in filter expression"},
      {"a = $", "Unknown or unexpected symbol '$' found in filter expression"},
      {"UPPER a", "Left parentheses expected after UPPER keyword, instead found 'a' in filter expression"},
      {"lower(a", "Right parentheses expected after LOWER function argument, instead found '' in filter expression"},
      {"SUBSTRING(a, 1)", "FROM keyword expected after first SUBSTRING function argument, instead found ',' in filter expression"},
      {"SUBSTRING(a FROM 1 FOR 2 3)", "Right parentheses expected after SUBSTRING function arguments, instead found '3' in filter expression"},
      {"REPLACE(a, b)", "WITH keyword expected after first REPLACE function argument, instead found ',' in filter expression"},
      {"REPLACE(a WITH b FROM c)", "IN keyword expected after second REPLACE function argument, instead found 'FROM' in filter expression"},
      {"POS(a, b)", "IN keyword expected after first POS function argument, instead found ',' in filter expression"},
      {"OCCURS(a b)", "IN keyword expected after first OCCURS function argument, instead found 'b' in filter expression"},
      {"TRIM(' ' FROM a)", "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found ' ' in filter expression"},
      {"TRIM(BOTH ' ' IN a)", "FROM keyword expected after second TRIM function argument, instead found 'IN' in filter expression"},
      {"EXTRACT(CENTURY FROM d)", "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, instead found 'CENTURY' in filter expression"},
      {"EXTRACT(YEAR d)", "FROM keyword expected after second EXTRACT function argument, instead found 'd' in filter expression"},
      {"CAST(a INTEGER)", "AS keyword expected after first CAST function argument, instead found 'INTEGER' in filter expression"},
      {"CAST(a AS THING)", "SQL data type keyword expected, instead found 'THING' in filter expression"},
      {"CAST(a AS CHAR)", "Left parentheses expected after CHAR data type, instead found ')' in filter expression"},
      {"CAST(a AS VARCHAR(10)", "Right parentheses expected after CAST function arguments, instead found '' in filter expression"},
      {"CAST(a AS VARCHAR(10 20))", "Right parentheses expected after VARCHAR data type arguments, instead found '20' in filter expression"},
      {"CAST(a AS BLOB(10))", "Comma expected after first BLOB argument, instead found ')' in filter expression"},
      {"CAST(a AS FLOAT(10, 2 3))", "Right parentheses expected after FLOAT data type arguments, instead found '3' in filter expression"},
      {"IF(a THEN 1 2)", "ELSE keyword or comma expected after second IF function argument, instead found '2' in filter expression"},
      {"IF(a 1, 2)", "THEN keyword or comma expected after first IF function argument, instead found '1' in filter expression"},
      {"IFNULL(a, 1 2)", "ELSE keyword or comma expected after second IFNULL function argument, instead found '2' in filter expression"},
      {"IF(a, 1, 2", "Right parentheses expected after IF function arguments, instead found '' in filter expression"},
      {"COALESCE()", "You must provide at least one value as an argument of the COALESCE operator  in filter expression"},
      {"COALESCE(a, b", "Expected right parentheses after COALESCE expression arguments, instead found '' in filter expression"},
      {"ROUND(a 2)", "Right parentheses expected after ROUND function arguments, instead found '2' in filter expression"},
      {"ABS(a", "Right parentheses expected after ABS function argument, instead found '' in filter expression"},
      {"TEXTSEARCH('x', a)", "IN keyword expected after first TEXTSEARCH function argument, instead found ',' in filter expression"},
      {"TEXTOCCURS('x' IN a", "Right parentheses expected after TEXTOCCURS function argument, instead found '' in filter expression"},
      {"LASTAUTOINC 't'", "Left parentheses expected after LASTAUTOINC keyword, instead found 't' in filter expression"},
      {"IDENT_CURRENT('t' 'u')", "Right parentheses expected after IDENT_CURRENT function argument, instead found 'u' in filter expression"},
      {"CURRENT_DATE(1)", "Right parentheses expected after first CURRENT_DATE function parentheses, instead found '1' in filter expression"},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseError(c.text), c.message) << c.text;

  // Aggregates, where they are allowed.
  EXPECT_EQ(ParseError("SUM a", pmAllowAggregates),
            "Left parentheses expected after aggregate function 'SUM', instead found 'a' in filter expression");
  EXPECT_EQ(ParseError("count(a", pmAllowAggregates),
            "Right parentheses expected after aggregate COUNT function argument, instead found '' in filter expression");
}

TEST(ExpressionParser, ErrorsCarryTheCodeAndContextsAndFormatAsFilterErrors) {
  try {
    ParseFilterExpression("a = ", "customer", "/data");
    FAIL() << "no error";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
    EXPECT_EQ(GetErrorString(KORVEL_INVALIDFILTER),
              "Filter error for the table 'customer' - Unknown or unexpected symbol '' found in filter expression");
  }
}

// The parser stops after a complete expression and leaves the rest to its caller: an SQL
// statement reads on, a filter refuses what is left.
TEST(ExpressionParser, TextAfterACompleteExpressionIsLeftToTheCaller) {
  EXPECT_EQ(ParseError("a = 1 b = 2"), "");
  EXPECT_EQ(ParseError("FlagF != TRUE"), "");
  auto filterError = [](const std::string& text) {
    try {
      ParseFilterExpression(text, "customer", "/data");
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
      EXPECT_EQ(e.ErrorTableName, "customer");
      return e.ErrorMessage;
    }
    return std::string();
  };
  EXPECT_EQ(filterError("FlagF != TRUE"), "Unknown or unexpected symbol '!' found in filter expression");
  EXPECT_EQ(filterError("a = 1 b = 2"), "Unknown or unexpected symbol 'b' found in filter expression");
  EXPECT_EQ(filterError("(a = 1))"), "Unknown or unexpected symbol ')' found in filter expression");
  EXPECT_EQ(filterError("a = 1 /* trailing comment */  "), "");
  EXPECT_EQ(ParseFilterDump("a <> 1"), "NE(a,1)");
  TExpressionParser parser;
  parser.SetExpression("SELECT a + b /* sum */\r\n , c FROM t");
  parser.NextToken();
  ASSERT_TRUE(parser.CheckTokenSymbol("SELECT"));
  parser.NextToken();
  parser.MarkExpressionLiteral();
  EXPECT_EQ(parser.GetCurPos(), 7u);
  TExpTokenPtr first = parser.ParseExpression1(kSqlModifiers);
  EXPECT_EQ(Dump(first.get()), "ADD(a,b)");
  EXPECT_TRUE(parser.CheckToken(','));
  EXPECT_EQ(parser.ExpressionAsString(), "a + b");
  parser.NextToken();
  parser.MarkExpressionLiteral();
  TExpTokenPtr second = parser.ParseExpression1(kSqlModifiers);
  EXPECT_TRUE(parser.CheckTokenSymbol("from"));
  EXPECT_EQ(parser.ExpressionAsString(), "c");
}

TEST(ExpressionParser, LexerKindsAndTokenTexts) {
  TExpressionParser parser;
  parser.SetExpression("name_1$@! [br''x] 'q''s' #12 42 4.2e+1 .5 ( ) * + , - . / < = > ? | \xE9t\xE9");
  const std::pair<int, const char*> expected[] = {
      {tkSymbol, "name_1$@!"}, {tkBracketed, "br'x"}, {tkQuoted, "q's"}, {tkCharConstant, "#12"},
      {tkInteger, "42"}, {tkDecimal, "4.2e+1"}, {tkDecimal, ".5"}, {'(', "("}, {')', ")"},
      {'*', "*"}, {'+', "+"}, {',', ","}, {'-', "-"}, {'.', "."}, {'/', "/"}, {'<', "<"},
      {'=', "="}, {'>', ">"}, {'?', "?"}, {'|', "|"}, {tkSymbol, "\xE9t\xE9"}, {tkEnd, ""},
  };
  for (const auto& [kind, text] : expected) {
    EXPECT_EQ(parser.NextToken(), kind) << text;
    EXPECT_EQ(parser.TokenAsString(), text);
  }
  EXPECT_EQ(parser.NextToken(), tkEnd) << "the end stays the end";

  parser.SetExpression(std::string("a\0 = 1", 6));
  EXPECT_EQ(parser.NextToken(), tkSymbol);
  EXPECT_EQ(parser.NextToken(), tkEnd) << "the text ends at a zero byte";

  parser.SetExpression("'Abc' x");
  parser.NextToken();
  EXPECT_TRUE(parser.CheckTokenString("aBC"));
  EXPECT_FALSE(parser.CheckTokenSymbol("abc"));
  parser.NextToken();
  EXPECT_TRUE(parser.CheckTokenSymbol("X"));
}

TEST(ExpressionParser, DeepNestingIsRefusedWithAClearError) {
  std::string nested(5000, '(');
  nested += "1";
  nested += std::string(5000, ')');
  EXPECT_EQ(ParseError(nested), "Expression nested more than 200 levels deep in filter expression");
  std::string functions;
  for (int i = 0; i < 1000; ++i) functions += "UPPER(";
  EXPECT_EQ(ParseError(functions + "a"), "Expression nested more than 200 levels deep in filter expression");

  std::string chain = "1";
  for (int i = 0; i < 5000; ++i) chain += "+1";
  EXPECT_EQ(ParseError(chain), "Expression has more than 2048 levels of operators in filter expression");
  std::string ors = "a = 0";
  for (int i = 1; i < 1000; ++i) ors += " OR a = " + std::to_string(i);
  EXPECT_EQ(ParseError(ors), "") << "a long but reasonable filter";
  EXPECT_EQ(ParseError(std::string(150, '(') + "1" + std::string(150, ')')), "");
}

TEST(ExpressionParser, NamesLongerThan255CharactersAreRefused) {
  std::string name(256, 'n');
  const std::string message =
      "Names must not be longer than 255 characters, instead found '" + name + "' in filter expression";
  EXPECT_EQ(ParseError(name + " = 1"), message.substr(0, kMaxErrorContextLength))
      << "the error block keeps 255 characters of the message";
  EXPECT_EQ(ParseError("[" + std::string(255, 'n') + "] = 1"), "");
  EXPECT_NE(ParseError("'" + name + "'.f"), "");
}

TEST(ExpressionParser, AFailedParseReturnsEveryTokenToThePool) {
  // Fill the pool so that leaks would show as a shortfall: tokens taken by the parse must all
  // come back (the pool then holds as many as before, capped at its capacity).
  std::vector<TExpToken*> warm;
  for (std::size_t i = 0; i < kExpTokenPoolCapacity; ++i) warm.push_back(GetNewExpTokenInstance());
  for (TExpToken*& t : warm) ReturnExpTokenInstance(t);
  std::size_t before = IdleExpTokenCount();
  EXPECT_NE(ParseError("a = 1 AND SUBSTRING(b FROM 1 FOR 2) IN (1, 2, 3 +"), "");
  EXPECT_EQ(IdleExpTokenCount(), before);
}

}  // namespace
}  // namespace korvel
