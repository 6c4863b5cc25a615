// Every message of the statement parser, each raised by the token that should trigger it.

#include <gtest/gtest.h>

#include "sql/sql_test_helpers.h"

namespace korvel {
namespace {

using sqltest::ParseError;

struct TErrorCase {
  const char* Text;
  const char* Message;
};

void ExpectErrors(const std::vector<TErrorCase>& cases) {
  for (const TErrorCase& c : cases) EXPECT_EQ(ParseError(c.Text), c.Message) << c.Text;
}

TEST(ParseErrorsTest, StatementStart) {
  ExpectErrors({
      {"FOO", "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'FOO'"},
      {"SELECT a FROM t;;", "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ';'"},
      {"(UPDATE t SET a = 1)", "SELECT keyword expected, instead found 'UPDATE'"},
      {"SELECT a FROM t UNION INSERT INTO u VALUES (1)", "SELECT keyword expected, instead found 'INSERT'"},
      {"CREATE VIEW v", "TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, instead "
                        "found 'VIEW'"},
      {"ALTER INDEX i", "TABLE keyword expected, instead found 'INDEX'"},
      {"DROP VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
      {"START WORK", "TRANSACTION keyword expected, instead found 'WORK'"},
  });
}

TEST(ParseErrorsTest, EmptyStatement) {
  TQueryStatement statement(nullptr);
  try {
    statement.ParseStatement(" /* nothing */ ");
    FAIL() << "an empty statement parsed";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_SQLPARSE);
    EXPECT_EQ(e.ErrorMessage,
              "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''");
    EXPECT_STREQ(e.what(), ("KORVEL Engine Error # 11949 SQL error - " + e.ErrorMessage).c_str());
  }
}

TEST(ParseErrorsTest, Terminators) {
  ExpectErrors({
      {"SELECT * FROM t x y", "End of SELECT statement expected, instead found 'y'"},
      {"SELECT a FROM t WHERE b = 1 FOO", "End of SELECT statement expected, instead found 'FOO'"},
      {"INSERT INTO t VALUES (1) x", "End of INSERT statement expected, instead found 'x'"},
      {"UPDATE t SET a = 1 x", "End of UPDATE statement expected, instead found 'x'"},
      {"DELETE FROM t WHERE a = 1 x", "End of DELETE statement expected, instead found 'x'"},
      {"CREATE TABLE t (a INTEGER) x", "End of CREATE TABLE statement expected, instead found 'x'"},
      {"ALTER TABLE t DROP a x", "End of ALTER TABLE statement expected, instead found 'x'"},
      {"DROP TABLE t x", "End of DROP TABLE statement expected, instead found 'x'"},
      {"CREATE INDEX i ON t (a) x", "End of CREATE INDEX statement expected, instead found 'x'"},
      {"DROP INDEX t.i x", "End of DROP INDEX statement expected, instead found 'x'"},
      {"START TRANSACTION x", "End of START TRANSACTION statement expected, instead found 'x'"},
      {"ROLLBACK x", "End of ROLLBACK statement expected, instead found 'x'"},
      {"COMMIT WORK FLUSH x", "End of COMMIT statement expected, instead found 'x'"},
      {"SELECT a FROM t WHERE a = 1 SELECT b FROM u", "End of SELECT statement expected, instead found 'SELECT'"},
  });
}

TEST(ParseErrorsTest, SelectClauses) {
  ExpectErrors({
      {"SELECT", "Source column expression is empty"},
      {"SELECT FROM t", "Source column expression is empty"},
      {"SELECT a, FROM t", "Source column expression is empty"},
      {"SELECT a AS 5 FROM t", "Symbol or string expected after AS keyword, instead found '5'"},
      {"SELECT a b.* FROM t", "Symbol or string expected after table correlation name, instead found '*'"},
      {"SELECT a;", "FROM keyword expected, instead found ';'"},
      {"SELECT TOP 5 a FROM t", "FROM keyword expected, instead found '5'"},
      {"SELECT a INTO 5 FROM t", "Result table name expected in INTO clause, instead found '5'"},
      {"SELECT a INTO d\\5 FROM t", "Result table name expected in INTO clause, instead found '5'"},
      {"SELECT a FROM t UNION SELECT b INTO x FROM u", "The INTO clause can only be used with the master query"},
      {"SELECT a FROM t WHERE a IN (SELECT b INTO x FROM u)", "The INTO clause can only be used with the master query"},
      {"SELECT a FROM 5", "Table name expected after FROM keyword, instead found '5'"},
      {"SELECT a FROM t AS 5", "Symbol or string expected after AS keyword, instead found '5'"},
      {"SELECT a FROM MEMORY", "Table name expected after FROM keyword, instead found ''"},
      {"SELECT a FROM d\\5", "Table name expected after FROM keyword, instead found '5'"},
      {"SELECT a FROM t WHERE", "WHERE or JOIN clause is empty"},
      {"SELECT a FROM t WHERE;", "WHERE or JOIN clause is empty"},
      {"SELECT a FROM t GROUP a", "BY keyword expected after GROUP keyword, instead found 'a'"},
      {"SELECT a FROM t GROUP BY ?", "Column name or column number expected in GROUP BY clause, instead found '?'"},
      {"SELECT a FROM t GROUP BY 0", "Column name or column number expected in GROUP BY clause, instead found '0'"},
      {"SELECT a FROM t GROUP BY 65536",
       "Column name or column number expected in GROUP BY clause, instead found '65536'"},
      {"SELECT a FROM t GROUP BY t.", "Symbol or string expected after table correlation name, instead found ''"},
      {"SELECT a FROM t GROUP BY a HAVING", "HAVING clause is empty"},
      {"SELECT a FROM t ORDER a", "BY keyword expected after ORDER keyword, instead found 'a'"},
      {"SELECT a FROM t ORDER BY 1.5", "Column name or column number expected in ORDER BY clause, instead found '1.5'"},
      {"SELECT a FROM t TOP x", "Integer value expected after TOP keyword, instead found 'x'"},
      {"SELECT a FROM t TOP 99999999999", "Integer value expected after TOP keyword, instead found '99999999999'"},
      {"SELECT a FROM t WITH x", "LOCKS keyword expected after WITH keyword, instead found 'x'"},
      {"SELECT a FROM t LANGUAGE 'Klingon'", "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
      {"SELECT a FROM t LANGUAGE 'German (Standard)' SORT 'Upside Down'",
       "Invalid sort constant 'Upside Down' specified after SORT keyword"},
      {"SELECT a FROM t LANGUAGE 'ANSI Standard' SORT 'German Phone Book Order'",
       "Invalid sort constant 'German Phone Book Order' specified after SORT keyword"},
      {"SELECT a FROM t ENCRYPTED 'x'", "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
      {"(SELECT a FROM t WHERE b = 1 c)", "Right parentheses expected after SELECT statement, instead found 'c'"},
      {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c = 1 d)",
       "Right parentheses expected after SELECT statement, instead found 'd'"},
      {"SELECT x FROM a ORDER BY 1 UNION SELECT x FROM b", "You cannot use an ORDER BY clause within a UNIONed query"},
      {"SELECT SUM(MAX(a)) FROM t", "Aggregate functions cannot be nested"},
      {"SELECT SUM(a) + 1 FROM t", "Aggregate functions cannot be used within expressions"},
      {"SELECT a FROM t WHERE b IN (SELECT c FROM u WHERE", "WHERE or JOIN clause is empty"},
  });
}

TEST(ParseErrorsTest, Joins) {
  ExpectErrors({
      {"SELECT * FROM a FULL JOIN b ON a.x = b.x",
       "Full outer joins are currently not supported in KORVEL SQL SELECT statements"},
      {"SELECT * FROM a JOIN 5", "Table name expected after JOIN keyword, instead found '5'"},
      {"SELECT * FROM a INNER b", "JOIN keyword expected after INNER keyword, instead found 'b'"},
      {"SELECT * FROM a LEFT OUTER b", "JOIN keyword expected after LEFT or OUTER keyword, instead found 'b'"},
      {"SELECT * FROM a RIGHT b", "JOIN keyword expected after RIGHT or OUTER keyword, instead found 'b'"},
      {"SELECT * FROM a JOIN b x WHERE", "ON keyword expected in JOIN clause, instead found 'WHERE'"},
      {"SELECT * FROM a JOIN b ON", "WHERE or JOIN clause is empty"},
      {"SELECT * FROM a JOIN b ON a.x IN (SELECT y FROM c)", "Sub-select queries are not allowed in WHERE or JOIN clause"},
      {"SELECT * FROM (a JOIN b ON a.x = b.x", "Mismatched join parentheses"},
      {"SELECT * FROM (a), b", "Mismatched join parentheses"},
      {"SELECT * FROM a JOIN b ON a.x = b.x)", "Mismatched join parentheses"},
      {"SELECT * FROM t t", "Duplicate table correlation name 't' found in source tables"},
      {"SELECT * FROM t, t", "Duplicate table correlation name 't' found in source tables"},
      {"SELECT * FROM a x JOIN b X ON x.a = X.b", "Duplicate table correlation name 'X' found in source tables"},
  });
}

TEST(ParseErrorsTest, DataChanges) {
  ExpectErrors({
      {"INSERT t VALUES (1)", "INTO keyword expected, instead found 't'"},
      {"INSERT INTO 5", "Table name expected after INTO clause, instead found '5'"},
      {"INSERT INTO MEMORY 5", "Table name expected after INTO keyword, instead found '5'"},
      {"INSERT INTO t (", "Table column name is empty"},
      {"INSERT INTO t (a b) VALUES (1)", "Right parentheses expected after list of table columns, instead found 'b'"},
      {"INSERT INTO t VALUES 1", "Left parentheses expected after VALUES keyword, instead found '1'"},
      {"INSERT INTO t VALUES (", "Value expression is empty"},
      {"INSERT INTO t VALUES (1 2)", "Right parentheses expected after list of values, instead found '2'"},
      {"INSERT INTO t x DEFAULT VALUES", "VALUES or SELECT  keyword expected, instead found 'DEFAULT'"},
      {"INSERT INTO t VALUES (1) COMMIT INTERVAL x", "Integer value expected after INTERVAL keyword, instead found 'x'"},
      {"INSERT INTO t VALUES (1) COMMIT NOW",
       "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found 'NOW'"},
      {"INSERT INTO t (SELECT a FROM u", "Right parentheses expected after SELECT statement, instead found ''"},
      {"UPDATE 5 SET a = 1", "Table name expected, instead found '5'"},
      {"UPDATE t a = 1", "SET keyword expected, instead found '='"},
      {"UPDATE t SET", "Table column name is empty"},
      {"UPDATE t SET a 1", "Assignment (=) operator expected after column name, instead found '1'"},
      {"UPDATE t SET a =", "Value expression is empty"},
      {"UPDATE (t SET a = 1", "Mismatched join parentheses"},
      {"UPDATE t SET a = 1 FROM u",
       "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
      {"UPDATE t SET a = 1 FROM t x",
       "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
      {"UPDATE t SET a = 1 FROM MEMORY t",
       "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
      {"UPDATE t SET a = 1 COMMIT", "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
      {"DELETE t", "FROM keyword expected, instead found 't'"},
      {"DELETE FROM", "Table name expected after FROM keyword, instead found ''"},
      {"DELETE FROM t WHERE a = ? COMMIT INTERVAL", "Integer value expected after INTERVAL keyword, instead found ''"},
  });
}

// The expression parser's own messages carry the clause's context phrase and the same code.
TEST(ParseErrorsTest, ExpressionMessagesNameTheClause) {
  ExpectErrors({
      {"SELECT a + , b FROM t", "Unknown or unexpected symbol ',' found in source column expression"},
      {"SELECT a FROM t WHERE a = ", "Unknown or unexpected symbol '' found in WHERE or JOIN clause"},
      {"SELECT a FROM t GROUP BY a HAVING a LIKE 'x'",
       "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause"},
      {"SELECT ? FROM t", "Parameters are not allowed in source column expression"},
      {"SELECT a FROM t WHERE SUM(a) > 1", "Aggregate functions are not allowed in WHERE or JOIN clause"},
      {"INSERT INTO t (?) VALUES (1)", "Parameters are not allowed in table column"},
      {"INSERT INTO t VALUES (a LIKE 'x')",
       "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in value expression"},
      {"UPDATE t SET * = 1", "* (all columns) symbol is not allowed in table column"},
      // The token after a keyword is read before the clause begins, so it is the statement's.
      {"SELECT 'abc FROM t", "Missing single quote after 'abc FROM t' in SQL statement"},
      {"SELECT a || 'abc FROM t", "Missing single quote after 'abc FROM t' in source column expression"},
      {"SELECT a FROM t /* open", "Missing ending comment slash and asterisk in SQL statement"},
      {"/* open", "Missing ending comment slash and asterisk in SQL statement"},
      {"SELECT a FROM t WHERE b IN (SELECT c FROM u WHERE d = )",
       "Unknown or unexpected symbol ')' found in WHERE or JOIN clause"},
  });
}

TEST(ParseErrorsTest, Limits) {
  const std::string longName(256, 'n');
  // The engine keeps 255 characters of a message.
  const std::string message = "Names must not be longer than 255 characters, instead found '" + longName + "'";
  EXPECT_EQ(ParseError("SELECT a FROM " + longName), message.substr(0, 255));
  EXPECT_EQ(ParseError("SELECT a AS " + longName + " FROM t"), message.substr(0, 255));
  EXPECT_EQ(ParseError("SELECT a FROM " + std::string(255, 'n')), "");
}

}  // namespace
}  // namespace korvel
