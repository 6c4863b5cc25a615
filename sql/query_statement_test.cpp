// The statement object: scripts, what a failed parse leaves, the bounds on nesting and size,
// and the seam to preparation.

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "engine/session.h"
#include "sql/sql_test_helpers.h"

namespace korvel {
namespace {

using sqltest::Parse;
using sqltest::ParseError;
using sqltest::ScriptKinds;

using TKinds = std::vector<std::string>;

TEST(QueryStatementTest, ScriptsWithAndWithoutSemicolons) {
  EXPECT_EQ(ScriptKinds("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2); ROLLBACK"),
            (TKinds{"INSERT", "INSERT", "ROLLBACK"}));
  EXPECT_EQ(ScriptKinds("START TRANSACTION;\nUPDATE t SET a = 1;\nCOMMIT;\n/* done */\n"),
            (TKinds{"START TRANSACTION", "UPDATE", "COMMIT"}));
  EXPECT_EQ(ScriptKinds("CREATE TABLE t (a INT); CREATE INDEX i ON t (a); SELECT * FROM t; DROP INDEX t.i; "
                        "ALTER TABLE t ADD b INT; DELETE FROM t; DROP TABLE t"),
            (TKinds{"CREATE TABLE", "CREATE INDEX", "SELECT", "DROP INDEX", "ALTER TABLE", "DELETE", "DROP TABLE"}));
  EXPECT_EQ(ScriptKinds("SELECT * FROM t"), TKinds{"SELECT"});
  EXPECT_EQ(ScriptKinds(" /* only a comment */ "), TKinds{});
  // Without a semicolon the next statement is a stray word of the first.
  EXPECT_EQ(ParseError("DELETE FROM t WHERE a = 1 DELETE FROM u"),
            "End of DELETE statement expected, instead found 'DELETE'");
  EXPECT_EQ(ParseError("COMMIT START TRANSACTION"), "End of COMMIT statement expected, instead found 'START'");
}

TEST(QueryStatementTest, EachStatementOfAScriptStartsClean) {
  TQueryStatement statement(nullptr);
  statement.SetStatementText("SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c = ?); INSERT INTO v VALUES (?, ?)");
  statement.ParseNextStatement();
  EXPECT_EQ(statement.DataQueryCount(), 2u);
  EXPECT_EQ(statement.GetParameters().size(), 1u);
  EXPECT_EQ(statement.GetStatementStart(), 0u);
  EXPECT_FALSE(statement.AtEndOfText());
  statement.ParseNextStatement();
  EXPECT_EQ(statement.DataQueryCount(), 1u);
  EXPECT_EQ(statement.GetMasterQuery().StatementKind, skInsert);
  EXPECT_EQ(statement.GetParameters().size(), 2u);
  EXPECT_EQ(statement.GetStatementStart(), 58u);
  EXPECT_TRUE(statement.AtEndOfText());
}

// A failed parse leaves one empty master query, no parameters, no kind and no text: the trees
// and sub-select queries built before the error are gone (ASan reports anything leaked).
TEST(QueryStatementTest, AFailedParseKeepsNothing) {
  const char* failures[] = {
      "SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c = ?) AND d = ? GROUP x",
      "SELECT a FROM t UNION SELECT b FROM u UNION SELECT c FROM v ORDER BY",
      "INSERT INTO t SELECT a, ? FROM u WHERE b IN (SELECT c FROM w) COMMIT BAD",
      "CREATE TABLE t (a INT, b CHAR(10), PRIMARY KEY (a), TEXT INDEX (b) STOP WORDS 1)",
      "UPDATE t SET a = ?, b = ? WHERE c IN (SELECT d FROM e WHERE f = ?) NOJOINOPTIMIZE x",
  };
  for (const char* text : failures) {
    TQueryStatement statement(nullptr);
    EXPECT_THROW(statement.ParseStatement(text), EKORVELEngineError) << text;
    EXPECT_EQ(statement.DataQueryCount(), 1u) << text;
    EXPECT_TRUE(statement.GetParameters().empty()) << text;
    const TDataQuery& master = statement.GetMasterQuery();
    EXPECT_EQ(master.StatementKind, skUnknown) << text;
    EXPECT_TRUE(master.SourceTables.empty() && master.ResultFields.empty() && !master.WhereExpression) << text;
    EXPECT_TRUE(statement.AtEndOfText()) << "the rest of a failed script is not read on: " << text;
    // The statement is usable again.
    statement.ParseStatement("SELECT x FROM y");
    EXPECT_EQ(statement.GetMasterQuery().StatementKind, skSelect);
  }
}

TEST(QueryStatementTest, NestingIsBounded) {
  auto nestedSubSelects = [](int depth) {
    std::string text = "SELECT a FROM t WHERE a IN (";
    for (int i = 0; i < depth; ++i) text += "SELECT a FROM t WHERE a IN (";
    text += "1";
    text += std::string(depth + 1, ')');
    return text;
  };
  EXPECT_EQ(ParseError(nestedSubSelects(20)), "");
  EXPECT_EQ(ParseError(nestedSubSelects(kMaxQueryNesting)), "Queries nested more than 128 levels deep in SQL statement");
  auto unionChain = [](int length) {
    std::string text = "SELECT a FROM t";
    for (int i = 0; i < length; ++i) text += " UNION SELECT a FROM t";
    return text;
  };
  EXPECT_EQ(ParseError(unionChain(100)), "");
  EXPECT_EQ(ParseError(unionChain(100000)), "Queries nested more than 128 levels deep in SQL statement");
  // Parentheses are the expression parser's bound.
  EXPECT_EQ(ParseError("SELECT " + std::string(100000, '(') + "1 FROM t"),
            "Expression nested more than 200 levels deep in source column expression");
}

TEST(QueryStatementTest, EnormousInputIsLinear) {
  std::string columns = "SELECT a0";
  std::string tables;
  for (int i = 1; i < 20000; ++i) columns += ", a" + std::to_string(i);
  for (int i = 0; i < 20000; ++i) tables += (i ? ", t" : " FROM t") + std::to_string(i);
  const auto start = std::chrono::steady_clock::now();
  auto s = Parse(columns + tables);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(s->GetMasterQuery().ResultFields.size(), 20000u);
  EXPECT_EQ(s->GetMasterQuery().SourceTables.size(), 20000u);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 10);

  // A long chain of JOIN conditions is ANDed into one WHERE tree, whose depth stays bounded.
  std::string joins = "SELECT * FROM t0";
  for (int i = 1; i < 3000; ++i) joins += " JOIN t" + std::to_string(i) + " ON a = b";
  EXPECT_EQ(ParseError(joins), "Expression has more than 2048 levels of operators in WHERE or JOIN clause");
  // A deep expression inside a sub-select gets the same check as one outside it.
  std::string deep = "SELECT a FROM t WHERE a IN (SELECT a FROM t WHERE a = 1";
  for (int i = 0; i < 3000; ++i) deep += " + 1";
  EXPECT_EQ(ParseError(deep + ")"), "Expression has more than 2048 levels of operators in WHERE or JOIN clause");
}

TEST(QueryStatementTest, TooManySourceTables) {
  std::string text = "SELECT * FROM t0";
  for (int i = 1; i <= 0xFFFF; ++i) text += ",t" + std::to_string(i);
  EXPECT_EQ(ParseError(text), "Maximum number of source tables (65535) exceeded");
}

// Random token soup either parses or fails with the SQL error; nothing else escapes.
TEST(QueryStatementTest, RandomTokensGiveTheSqlErrorOrAQuery) {
  const char* words[] = {"SELECT", "FROM", "WHERE", "JOIN", "ON", "(", ")", ",", ";", "a", "t", "=", "1", "?",
                         "UNION", "ORDER", "BY", "GROUP", "INSERT", "INTO", "VALUES", "UPDATE", "SET", "DELETE",
                         "CREATE", "TABLE", "INDEX", "INT", "DROP", "ALTER", "ADD", "IN", "AS", "*", "'s'", "\\",
                         "LEFT", "RIGHT", "MEMORY", "TOP", "COMMIT", "PRIMARY", "KEY", ".", "SUM", "COUNT"};
  std::mt19937 random(23);
  int parsed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = 1 + static_cast<int>(random() % 16);
    for (int i = 0; i < length; ++i) text += std::string(words[random() % std::size(words)]) + " ";
    const std::string error = ParseError(text);
    EXPECT_TRUE(error.rfind("error code", 0) != 0) << text << ": " << error;
    if (error.empty()) ++parsed;
  }
  EXPECT_GT(parsed, 0);
}

class TRecordingPreparer : public TQueryPreparer {
 public:
  void PrepareQuery(TDataQuery& query) override { Order.push_back(query.Role); }
  std::vector<TQueryRole> Order;
};

struct TCallbackRecord {
  int Calls = 0;
  std::uint8_t Kind = 0;
  bool AllColumns = false;
};

void RecordStatement(void* user, std::uint8_t kind, bool, bool, bool allColumns) {
  auto* record = static_cast<TCallbackRecord*>(user);
  ++record->Calls;
  record->Kind = kind;
  record->AllColumns = allColumns;
}

TEST(QueryStatementTest, PrepareHandsEveryQueryToThePreparerLastFirst) {
  TQueryStatement statement(nullptr);
  TRecordingPreparer preparer;
  TCallbackRecord record;
  statement.SetPreparer(&preparer);
  statement.SetQueryStatementCallback({&record, RecordStatement});
  statement.SetRequestLive(true);
  statement.SetMaxNumOfRows(50);
  statement.PrepareStatement("SELECT * FROM t WHERE a IN (SELECT b FROM u) UNION SELECT * FROM v");
  EXPECT_EQ(preparer.Order, (std::vector<TQueryRole>{TQueryRole::qrUnionPart, TQueryRole::qrSubSelect,
                                                      TQueryRole::qrMaster}));
  EXPECT_EQ(statement.StatementKind, skSelect);
  EXPECT_EQ(statement.GetMasterQuery().RequestLive, 1);
  EXPECT_EQ(statement.GetMasterQuery().MaxNumOfRows, 50);
  EXPECT_EQ(record.Calls, 1);
  EXPECT_EQ(record.Kind, skSelect);
  EXPECT_TRUE(record.AllColumns) << "the master query selects *";

  TQueryStatement insert(nullptr);
  insert.SetMaxNumOfRows(50);
  insert.PrepareStatement("INSERT INTO t SELECT * FROM u");
  EXPECT_EQ(insert.StatementKind, skInsert);
  EXPECT_EQ(insert.GetMasterQuery().RequestLive, 1) << "only a SELECT takes the statement's settings";
  EXPECT_EQ(insert.GetMasterQuery().MaxNumOfRows, -1);
  EXPECT_EQ(insert.GetDataQuery(1).RequestLive, 1);
}

TEST(QueryStatementTest, MoveDataQueryMakesAMaster) {
  auto s = Parse("SELECT a FROM t UNION SELECT b FROM u");
  TDataQuery* second = &s->GetDataQuery(1);
  s->MoveDataQuery(1, 0);
  EXPECT_EQ(&s->GetMasterQuery(), second);
  s->MoveDataQuery(5, 0);  // out of range: nothing moves
  EXPECT_EQ(&s->GetMasterQuery(), second);
}

TEST(QueryStatementTest, TablesWithoutFolderBelongToTheStatementsDatabase) {
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory("/tmp", "/tmp");
  {
    TQueryStatement statement(directory);
    statement.ParseStatement("SELECT * FROM t, other\\u");
    EXPECT_EQ(statement.GetMasterQuery().SourceTables[0]->DatabaseName, directory->GetProperDataDirectoryName());
    EXPECT_EQ(statement.GetMasterQuery().SourceTables[1]->DatabaseName, "other");
  }
  session.SetIsRemote(true);
  {
    TQueryStatement statement(directory);
    try {
      statement.PrepareStatement("SELECT * FROM t");
      FAIL() << "a remote statement was prepared locally";
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_REMOTECONNECT);
    }
  }
  session.SetIsRemote(false);
  session.CloseDataDirectory(directory);
}

}  // namespace
}  // namespace korvel
