#include "expr/expression_checker.h"

#include <gtest/gtest.h>

#include "expr/expression_test_table.h"
#include "expr/expression_types.h"

namespace korvel {
namespace {

using testing::TTestTable;

class CheckerTest : public ::testing::Test {
 protected:
  TTestTable table;
};

TEST_F(CheckerTest, BinaryOperatorsRefuseWrongOperandTypes) {
  struct TCase {
    const char* text;
    const char* message;
  };
  const TCase cases[] = {
      {"Name + 1 = 'a'", "Type mismatch between column 'Name' and constant '1' in filter expression"},
      {"Flag > Flag", "Type mismatch between column 'Flag' and column 'Flag' in filter expression"},
      {"Raw < Raw", "Type mismatch between column 'Raw' and column 'Raw' in filter expression"},
      {"Born * 2 = 1", "Type mismatch between column 'Born' and constant '2' in filter expression"},
      {"Code AND Flag", "Type mismatch between column 'Code' and column 'Flag' in filter expression"},
      {"Born + Born = Born", "Type mismatch between column 'Born' and column 'Born' in filter expression"},
      {"At - Born = At", "Type mismatch between column 'At' and column 'Born' in filter expression"},
      {"Amount + Born = 1", "Type mismatch between column 'Amount' and column 'Born' in filter expression"},
      {"Pic = Name", "Type mismatch between column 'Pic' and column 'Name' in filter expression"},
      {"Name - City = 'a'", "Type mismatch between column 'Name' and column 'City' in filter expression"},
      {"Born = At", "Type mismatch between column 'Born' and column 'At' in filter expression"},
      {"Code = Name", "Type mismatch between column 'Code' and column 'Name' in filter expression"},
      {"(Code + 1) = Flag", "Type mismatch between expression '+' and column 'Flag' in filter expression"},
      {"UPPER(Name) = 1", "Type mismatch between function 'UPPER' and constant '1' in filter expression"},
      {"NULL = Code", "Type mismatch between constant 'NULL' and column 'Code' in filter expression"},
      {"NOT Code", "Type mismatch between 'NOT' operator and 'Code' in filter expression"},
      {"-Name = 'a'", "Type mismatch between '-' operator and 'Name' in filter expression"},
      {"-Qty = 1", "Type mismatch between '-' operator and 'Qty' in filter expression"},
  };
  for (const TCase& c : cases) EXPECT_EQ(table.CheckError(c.text), c.message) << c.text;
}

TEST_F(CheckerTest, AcceptedOperandCombinations) {
  const char* ok[] = {"Born = Stamp",   "Stamp - At = 1",    "Stamp - Stamp > 1.5", "Pic = NULL",
                      "Notes + Name = 'x'", "Code + Born = Born", "Born - 3 < Born",  "Price * Small > Big",
                      "Raw = Raw",      "Flag = TRUE",       "+Qty = 1",            "Notes LIKE 'a%'",
                      "At + Big > At",  "Name > Notes"};
  for (const char* text : ok) EXPECT_EQ(table.CheckError(text), "") << text;
}

TEST_F(CheckerTest, UnknownFieldNamesTheFieldAndItsTable) {
  EXPECT_EQ(table.CheckError("Nope = 1"),
            "Invalid column name 'Nope' or table correlation name '' specified in filter expression");
  EXPECT_EQ(table.CheckError("t.Nope = 1"),
            "Invalid column name 'Nope' or table correlation name 't' specified in filter expression");
}

TEST_F(CheckerTest, ResultTypesAndSizes) {
  struct TCase {
    const char* text;
    std::uint8_t type, subType;
    std::int32_t size;
    std::uint8_t decimals;
  };
  const TCase cases[] = {
      {"Code + Small", dtInteger, 0, 4, 0},    {"Small + Big", dtLargeInt, 0, 8, 0},
      {"Code / Code", dtFloat, 0, 8, 0},       {"Code / Price", dtBCD, 0, 34, 2},
      {"Price + Code", dtBCD, 0, 34, 2},       {"Price * Amount", dtFloat, 0, 8, 0},
      {"Born - Born", dtInteger, 0, 4, 0},     {"Born + Code", dtDate, 0, 4, 0},
      {"Code + Stamp", dtTimeStamp, 0, 8, 0},  {"Stamp - Stamp", dtFloat, 0, 8, 0},
      {"Stamp - Born", dtInteger, 0, 4, 0},    {"Stamp - At", dtInteger, 0, 4, 0},
      {"At - At", dtInteger, 0, 4, 0},         {"At + 5", dtTime, 0, 4, 0},
      {"Name + City", dtString, 0, 51, 0},     {"Name + Notes", dtBlob, stMemo, 38, 0},
      {"Fee + 1", dtFloat, stMoney, 8, 0},     {"1 * Fee", dtFloat, stMoney, 8, 0},
      {"Fee * 2", dtFloat, 0, 8, 0},           {"-Price", dtBCD, 0, 34, 2},
      {"Code = 1", dtBoolean, 0, 2, 0},        {"NOT Flag", dtBoolean, 0, 2, 0},
      {"UPPER(Name)", dtString, 0, 31, 0},     {"LENGTH(Notes)", dtInteger, 0, 4, 0},
      {"CAST(Code AS CHAR(12))", dtString, 0, 13, 0}, {"CAST(Name AS DECIMAL(10, 3))", dtBCD, 0, 34, 3},
      {"CAST(Name AS BLOB(1, 1))", dtBlob, stMemo, 31, 0},  {"ROUND(Price TO 1)", dtBCD, 0, 34, 2},
      {"IF(Flag, Code, 2.5)", dtFloat, 0, 8, 0}, {"COALESCE(NULL, Name, City)", dtString, 0, 31, 0},
      {"IFNULL(Code, NULL, Amount)", dtFloat, 0, 8, 0}, {"Code IN (1, 2)", dtBoolean, 0, 2, 0},
  };
  for (const TCase& c : cases) {
    TExpTokenPtr t = table.Checked(c.text);
    EXPECT_EQ(t->DataType, c.type) << c.text;
    EXPECT_EQ(t->SubType, c.subType) << c.text;
    EXPECT_EQ(t->DataSize, c.size) << c.text;
    EXPECT_EQ(t->Decimals, c.decimals) << c.text;
  }
}

TEST_F(CheckerTest, StringConstantsNextToDatesAndTimesAreConvertedOnce) {
  TExpTokenPtr t = table.Checked("Born = '2003-01-31'");
  EXPECT_EQ(t->Right->DataType, dtDate);
  EXPECT_EQ(GetI32(t->Right->ValueBuffer.get(), 0), DateTimeToDayNumber(EncodeDate(2003, 1, 31)));
  t = table.Checked("'12:30' < At");
  EXPECT_EQ(t->Left->DataType, dtTime);
  EXPECT_EQ(GetI32(t->Left->ValueBuffer.get(), 0), 45000000);
  t = table.Checked("Stamp BETWEEN '2003-01-31' AND '2003-02-01 10:00'");
  EXPECT_EQ(t->Arguments[2]->DataType, dtTimeStamp);
  EXPECT_EQ(table.CheckError("Born = '2003-02-31'"),
            "Date, time, or timestamp expression expected, instead found '2003-02-31' in filter expression");
  EXPECT_EQ(table.CheckError("At IN ('10:00', 'noon')"),
            "Date, time, or timestamp expression expected, instead found 'noon' in filter expression");
}

TEST_F(CheckerTest, StringConstantsNameFieldsExceptWherePatternsAndListsStand) {
  TExpTokenPtr t = table.Checked("'Name' = 'Smith'");
  EXPECT_EQ(t->Left->NodeClass, enFIELD);
  EXPECT_EQ(t->Left->FromStringConstant, 1);
  EXPECT_EQ(t->Left->ConstantDataType, dtString);
  EXPECT_EQ(t->Left->ConstantDataSize, 5);
  EXPECT_EQ(t->Right->NodeClass, enCONST);  // no field Smith
  t = table.Checked("City LIKE 'Name'");
  EXPECT_EQ(t->Arguments[1]->NodeClass, enCONST);
  t = table.Checked("City IN ('Name', 'x')");
  EXPECT_EQ(t->Arguments[1]->NodeClass, enCONST);

  TExpressionCheckContext c = table.CheckContext();
  c.StringConstantsAsFields = false;
  TExpTokenPtr tree = ParseFilterExpression("'Name' = 'Smith'");
  VerifyExpression(c, tree.get());
  EXPECT_EQ(tree->Left->NodeClass, enCONST);
}

TEST_F(CheckerTest, FunctionArgumentRules) {
  struct TCase {
    const char* text;
    const char* message;
  };
  const TCase cases[] = {
      {"UPPER(Code) = 'A'", "Type mismatch between UPPER function and function argument in filter expression"},
      {"LENGTH(Code) = 1", "Type mismatch between LENGTH function and function argument in filter expression"},
      {"SUBSTRING(Code FROM 1) = 'a'",
       "Expression argument of SUBSTRING function must be a string or memo in filter expression"},
      {"SUBSTRING(Name FROM 1.5) = 'a'",
       "FROM argument of SUBSTRING function must be an integer value in filter expression"},
      {"SUBSTRING(Name FROM 1 FOR 'x') = 'a'",
       "FOR argument of SUBSTRING function must be an integer value in filter expression"},
      {"REPLACE(1 WITH 'a' IN Name) = 'a'",
       "Type mismatch between REPLACE function and search string argument in filter expression"},
      {"REPLACE('a' WITH Born IN Name) = 'a'",
       "Type mismatch between REPLACE function and search string argument in filter expression"},
      {"REPLACE('a' WITH 'b' IN Code) = 'a'", "IN argument of REPLACE function must be a string or memo in filter expression"},
      {"POS(1 IN Name) = 1", "Type mismatch between POS function and search string argument in filter expression"},
      {"OCCURS('a' IN Code) = 1", "Type mismatch between OCCURS function and IN argument in filter expression"},
      {"TRIM(BOTH 'ab' FROM Name) = 'a'",
       "Trim character argument of TRIM function must be a single character constant in filter expression"},
      {"TRIM(LEADING City FROM Name) = 'a'",
       "Trim character argument of TRIM function must be a single character constant in filter expression"},
      {"TRIM(LEADING 'a' FROM Code) = 'a'", "FROM argument of TRIM function must be a string or memo in filter expression"},
      {"EXTRACT(YEAR FROM Code) = 1",
       "FROM argument of EXTRACT function must be a date, time, or timestamp in filter expression"},
      {"ABS(Name) = 1",
       "Expression argument of ABS function must be an integer, floating-point, or BCD type in filter expression"},
      {"ROUND(Code) = 1", "Expression argument of ROUND function must be a floating-point or BCD type in filter expression"},
      {"ROUND(Amount TO Code) = 1",
       "Decimal places argument of ROUND function must be an integer constant in filter expression"},
      {"ROUND(Amount TO 33) = 1",
       "Decimal places argument of ROUND function must be an integer constant between 0 and 32 in filter expression"},
      {"IF(Code, 1, 2) = 1", "First expression argument of IF function must be a boolean type in filter expression"},
      {"IF(Flag, Born, TRUE) = Born", "Type mismatch between IF function expression arguments in filter expression"},
      {"COALESCE(Code, Name) = 1", "Type mismatch between COALESCE expression arguments in filter expression"},
      {"COALESCE(NULL, NULL) = 1",
       "At least one of the COALESCE expression arguments in filter expression must be a non-NULL value"},
      {"IFNULL(Code, NULL, NULL) = 1",
       "At least one of the IFNULL expression arguments in filter expression must be a non-NULL value"},
      {"IFNULL(Code, Name, Code) = 1", "Type mismatch between IFNULL expression arguments in filter expression"},
      {"TEXTSEARCH(Name IN Notes)",
       "TEXTSEARCH search text function argument must be a string constant in filter expression"},
      {"TEXTSEARCH(1 IN Notes)",
       "Type mismatch between TEXTSEARCH function and search text function argument in filter expression"},
      {"TEXTOCCURS('a' IN 'x') = 1",
       "TEXTOCCURS function column argument must be a valid column name in filter expression"},
      {"TEXTSEARCH('a' IN Code)",
       "Type mismatch between TEXTSEARCH function and column function argument in filter expression"},
      {"LASTAUTOINC(Code) = 1", "LASTAUTOINC table name function argument must be a string constant in filter expression"},
      {"IDENT_CURRENT(1) = 1",
       "IDENT_CURRENT table name function argument must be a string constant in filter expression"},
  };
  for (const TCase& c : cases) EXPECT_EQ(table.CheckError(c.text), c.message) << c.text;
}

TEST_F(CheckerTest, CastTargetsAndSizes) {
  struct TCase {
    const char* text;
    const char* message;
  };
  const TCase cases[] = {
      {"CAST(Code AS CHAR(Code)) = 'a'", "Length argument must be an integer in filter expression"},
      {"CAST(Code AS CHAR(0)) = 'a'",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
      {"CAST(Code AS BYTES(251)) = Raw",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
      {"CAST(Code AS DECIMAL(10, 'a')) = 1", "Scale argument must be an integer in filter expression"},
      {"CAST(Code AS DECIMAL(10, 5)) = 1",
       "Scale argument must be an integer less than or equal to 4 but greater than or equal to 0 for the BCD data "
       "type filter expression"},
      {"CAST(Name AS BLOB(1.5, 1)) = 'a'", "First BLOB type argument must be an integer in filter expression"},
      {"CAST(Name AS BLOB(1, 'x')) = 'a'", "BLOB type argument must be an integer in filter expression"},
      {"CAST(Name AS BLOB(1, 4)) = 'a'",
       "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in filter expression"},
      {"CAST(Amount AS BOOLEAN)", "Type mismatch between CAST function and expression argument in filter expression"},
      {"CAST(Born AS TIME) = At", "Type mismatch between CAST function and expression argument in filter expression"},
      {"CAST(At AS DATE) = Born", "Type mismatch between CAST function and expression argument in filter expression"},
      {"CAST(Flag AS FLOAT) = 1", "Type mismatch between CAST function and expression argument in filter expression"},
  };
  for (const TCase& c : cases) EXPECT_EQ(table.CheckError(c.text), c.message) << c.text;
  EXPECT_TRUE(CheckCastTypes(dtBoolean, dtWord));
  EXPECT_TRUE(CheckCastTypes(dtDate, dtVarBytes));
  EXPECT_TRUE(CheckCastTypes(dtTimeStamp, dtTime));
  EXPECT_FALSE(CheckCastTypes(dtBoolean, dtFloat));
  EXPECT_FALSE(CheckCastTypes(dtInteger, dtDate));
}

TEST_F(CheckerTest, PredicatesCheckEveryArgumentAgainstTheTestedValue) {
  EXPECT_EQ(table.CheckError("Code IN (1, 'a')"),
            "Type mismatch between IN operator and expression 'a' in filter expression");
  EXPECT_EQ(table.CheckError("Code NOT IN (1, Name)"),
            "Type mismatch between NOT IN operator and expression 'Name' in filter expression");
  EXPECT_EQ(table.CheckError("Code LIKE 'a%'"),
            "Type mismatch between LIKE operator and expression 'Code' in filter expression");
  EXPECT_EQ(table.CheckError("Name NOT LIKE 5"),
            "Type mismatch between NOT LIKE operator and expression '5' in filter expression");
  EXPECT_EQ(table.CheckError("Born BETWEEN 1 AND 2"),
            "Type mismatch between BETWEEN operator and expression '1' in filter expression");
  EXPECT_EQ(table.CheckError("Flag NOT BETWEEN TRUE AND Code"),
            "Type mismatch between NOT BETWEEN operator and expression 'Code' in filter expression");
  EXPECT_EQ(table.CheckError("Code IN (1, NULL)"), "");
  EXPECT_EQ(table.CheckError("Name LIKE NULL"), "");
}

TEST_F(CheckerTest, SubSelectsNeedTheStatementsDescription) {
  // Without a statement to describe them, sub-selects are refused.
  TExpTokenPtr tree = ParseFilterExpression("Code = 1");
  TExpTokenPtr in = NewExpToken();
  in->NodeClass = enEXTBINARY;
  in->Operator = eoSUBIN;
  in->Arguments = {NewExpToken().release(), NewExpToken().release()};
  in->Arguments[0]->NodeClass = enFIELD;
  in->Arguments[0]->Name = "Code";
  in->Arguments[1]->NodeClass = enTUPLE;
  TExpressionCheckContext c = table.CheckContext();
  try {
    VerifyExpression(c, in.get());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorMessage, "Sub-select queries are not allowed in filter expression");
  }
  static int columns = 2;
  c.SubSelectColumns = [](void*, TExpToken&, TExpToken& column) {
    column.DataType = dtInteger;
    return columns;
  };
  try {
    VerifyExpression(c, in.get());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorMessage, "More than 1 column for sub-select  specified in filter expression");
  }
  columns = 1;
  VerifyExpression(c, in.get());
  EXPECT_EQ(in->DataType, dtBoolean);
}

TEST_F(CheckerTest, AggregatesOnlyWhereAllowed) {
  TExpressionCheckContext c = table.CheckContext();
  TExpressionParser parser;
  parser.SetExpression("SUM(Code) + COUNT(*)");
  parser.NextToken();
  TExpTokenPtr tree = parser.ParseExpression1(pmAllowAggregates | pmAllowAllFields);
  try {
    VerifyExpression(c, tree.get());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorMessage, "Aggregate functions are not allowed in filter expression");
  }
  c.AllowAggregates = true;
  VerifyExpression(c, tree.get());
  EXPECT_EQ(tree->DataType, dtInteger);
  EXPECT_TRUE(ContainsAggregates(tree.get()));
  EXPECT_FALSE(ContainsAggregates(table.Checked("Code = 1").get()));
}

TEST_F(CheckerTest, ErrorsCarryTheCallersCodeAndNames) {
  TExpressionCheckContext c = table.CheckContext();
  c.ErrorCode = KORVEL_SQLPARSE;
  c.DatabaseName = "db";
  c.ContextDescription = "WHERE clause";
  TExpTokenPtr tree = ParseFilterExpression("Code = 'x'");
  try {
    VerifyExpression(c, tree.get());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_SQLPARSE);
    EXPECT_EQ(e.ErrorDatabaseName, "db");
    EXPECT_EQ(e.ErrorTableName, "customer");
    EXPECT_EQ(e.ErrorMessage, "Type mismatch between column 'Code' and constant 'x' in WHERE clause");
  }
}

TEST_F(CheckerTest, TreeQueries) {
  EXPECT_TRUE(ContainsFields(table.Checked("1 + Code").get()));
  EXPECT_FALSE(ContainsFields(table.Checked("1 + 2 = 3").get()));
  EXPECT_TRUE(ContainsOrs(table.Checked("NOT (Code = 1 OR Flag)").get()));
  EXPECT_FALSE(ContainsOrs(table.Checked("Code = 1 AND (Flag OR Flag)").get()));
  EXPECT_TRUE(ContainsNots(table.Checked("Code = 1 AND Name NOT LIKE 'a%'").get()));
  EXPECT_FALSE(ContainsNots(table.Checked("Code = 1 AND Flag").get()));
}

TEST_F(CheckerTest, TransformBooleanExpressionKeepsTheTreeUnderTheComparison) {
  TExpTokenPtr t = table.Checked("Flag AND Code = 1");
  TExpToken* before = t.get();
  TransformBooleanExpression(t.get());
  EXPECT_EQ(t.get(), before);
  EXPECT_EQ(t->NodeClass, enBINARY);
  EXPECT_EQ(t->Operator, eoEQ);
  EXPECT_EQ(t->DataType, dtBoolean);
  ASSERT_NE(t->Left, nullptr);
  EXPECT_EQ(t->Left->Operator, eoAND);
  EXPECT_EQ(t->Left->Left->Name, "Flag");
  EXPECT_EQ(t->Right->Text, "True");
  EXPECT_EQ(GetU16(t->Right->ValueBuffer.get(), 0), 1);
}

}  // namespace
}  // namespace korvel
