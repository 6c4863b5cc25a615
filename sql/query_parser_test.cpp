// What the statement parser fills in for queries, data changes and transactions.

#include <gtest/gtest.h>

#include <random>

#include "sql/sql_test_helpers.h"
#include "support/data_types.h"
#include "support/language.h"

namespace korvel {
namespace {

using sqltest::Names;
using sqltest::Parse;
using sqltest::ParseError;

// Texts of the nodes of a tree in pre-order, "|" between them.
std::string Shape(const TExpToken* t) {
  if (t == nullptr) return "";
  std::string out = t->Text;
  for (const TExpToken* child : {t->Left, t->Right}) {
    if (child != nullptr) out += "(" + Shape(child) + ")";
  }
  for (const TExpToken* a : t->Arguments) out += "[" + Shape(a) + "]";
  return out;
}

TEST(QueryParserTest, EdgeCases) {
  struct TCase {
    const char* Text;
    const char* Error;  // "" when the text parses
  } cases[] = {
      {"SELECT * FROM t", ""},
      {"SELECT * FROM t;", ""},
      {"select * from T /* a comment */ ;", ""},
      {"SELECT a FROM t ORDER BY a TOP 5", ""},
      {"SELECT a b FROM t", ""},
      {"SELECT x FROM a UNION SELECT x FROM b ORDER BY 1", ""},
      {"SELECT * FROM t x", ""},
      {"SELECT * FROM t AS \"my table\"", ""},
      {"SELECT * FROM t, u", ""},
      {"UPDATE t x SET a = 1 FROM t x", ""},
      {"UPDATE t SET a = 1 FROM t", ""},
      {"UPDATE t SET a = 1 FROM t JOIN u ON t.a = u.a", ""},
      {"SELECT * FROM t x y", "End of SELECT statement expected, instead found 'y'"},
      {"SELECT TOP 5 a FROM t", "FROM keyword expected, instead found '5'"},
      {"SELECT a FROM t WHERE", "WHERE or JOIN clause is empty"},
      {"SELECT * FROM a FULL JOIN b ON a.x = b.x",
       "Full outer joins are currently not supported in KORVEL SQL SELECT statements"},
      {"SELECT x FROM a ORDER BY 1 UNION SELECT x FROM b", "You cannot use an ORDER BY clause within a UNIONed query"},
      {"SELECT * FROM t t", "Duplicate table correlation name 't' found in source tables"},
      {"SELECT * FROM t, t", "Duplicate table correlation name 't' found in source tables"},
      {"UPDATE t SET a = 1 FROM u",
       "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
      {"UPDATE t SET a = 1 FROM t x",
       "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ParseError(c.Text), c.Error) << c.Text;
}

// Random SELECTs from a small generator, which also works out what the parser must fill in: the
// table order (a right-joined table goes first), correlation names, column names and aliases, and
// the ORDER BY items.
TEST(QueryParserTest, RandomSelectsAgainstTheirReference) {
  std::mt19937 random(2323);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 500; ++round) {
    std::string text = "SELECT ";
    std::vector<std::string> fields, aliases;
    const int columns = 1 + pick(4);
    for (int c = 0; c < columns; ++c) {
      const std::string field = "f" + std::to_string(c);
      const int form = pick(3);
      text += (c ? ", " : "") + field + (form == 0 ? "" : form == 1 ? " AS a" + std::to_string(c) : " a" + std::to_string(c));
      fields.push_back(field);
      aliases.push_back(form == 0 ? field : "a" + std::to_string(c));
    }
    text += " FROM ";
    std::vector<std::string> expected;  // "table:correlation:order"
    const int tables = 1 + pick(5);
    for (int t = 0; t < tables; ++t) {
      const std::string table = "t" + std::to_string(t);
      const int form = pick(3);
      const std::string correlation = form == 0 ? table : "c" + std::to_string(t);
      const std::string reference = table + (form == 0 ? "" : form == 1 ? " AS " + correlation : " " + correlation);
      const std::string entry = table + ":" + correlation + ":" + std::to_string(t + 1);
      if (t == 0) {
        text += reference;
        expected.push_back(entry);
        continue;
      }
      const int join = pick(5);
      if (join == 0) {
        text += ", " + reference;
      } else {
        const char* kinds[] = {"", " JOIN ", " INNER JOIN ", " LEFT OUTER JOIN ", " RIGHT JOIN "};
        text += kinds[join] + reference + " ON " + correlation + ".k = x.k";
      }
      if (join == 4) {
        expected.insert(expected.begin(), entry);
      } else {
        expected.push_back(entry);
      }
    }
    std::vector<std::pair<int, bool>> order;
    if (pick(2) == 0) {
      text += " ORDER BY ";
      const int items = 1 + pick(3);
      for (int i = 0; i < items; ++i) {
        order.emplace_back(1 + pick(columns), pick(2) == 0);
        text += (i ? ", " : "") + std::to_string(order.back().first) + (order.back().second ? " DESC" : "");
      }
    }
    auto s = Parse(text);
    const TDataQuery& q = s->GetMasterQuery();
    std::string joined;
    for (const std::string& e : expected) joined += (joined.empty() ? "" : ",") + e;
    ASSERT_EQ(Names(q), joined) << text;
    ASSERT_EQ(q.ResultFields.size(), fields.size()) << text;
    for (std::size_t c = 0; c < fields.size(); ++c) {
      EXPECT_EQ(q.ResultFields[c]->FieldName, fields[c]) << text;
      EXPECT_EQ(q.ResultFields[c]->Alias, aliases[c]) << text;
    }
    ASSERT_EQ(q.OrderByFields.size(), order.size()) << text;
    for (std::size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(q.OrderByFields[i]->ColumnNumber, order[i].first) << text;
      EXPECT_EQ(q.OrderByFields[i]->Descending, order[i].second) << text;
    }
  }
}

TEST(QueryParserTest, SelectWithEveryClause) {
  auto s = Parse(
      "SELECT DISTINCT c.id, c.name AS customer, SUM(o.amount) total, AVG(o.amount), COUNT(*), "
      "o.amount * 2 AS [twice], UPPER(c.name) x.shout "
      "INTO MEMORY result "
      "FROM customers c INNER JOIN orders o ON c.id = o.cust AND o.amount > ? "
      "LEFT OUTER JOIN notes AS n ON n.cid = c.id, \"extra\" "
      "WHERE o.amount > ? AND c.id IN (SELECT cid FROM vip v WHERE v.level = ?) "
      "GROUP BY c.id, 2, [c].[name] HAVING SUM(o.amount) > 100 "
      "ORDER BY 1 DESC, customer ASCENDING, c.name NOCASE "
      "TOP 10 WITH LOCKS LANGUAGE 'German (Standard)' SORT 'German Phone Book Order' ENCRYPTED WITH 'secret' "
      "NOJOINOPTIMIZE;");
  ASSERT_EQ(s->DataQueryCount(), 2u);
  const TDataQuery& q = s->GetMasterQuery();
  EXPECT_EQ(q.StatementKind, skSelect);
  EXPECT_TRUE(q.Distinct && q.HasAverages && q.HasCalculatedColumns && q.HasWhere && q.HasJoins);
  EXPECT_TRUE(q.HasGroupBy && q.HasHaving && q.HasOrderBy && q.OrderByNoCase && q.IntoMemory && q.WithLocks);
  EXPECT_TRUE(q.LanguageGiven && q.SortGiven && q.EncryptedGiven && q.Encrypted && q.NoJoinOptimize);
  EXPECT_FALSE(q.AllColumns || q.UnionFollows || q.InsertSelect);
  EXPECT_EQ(q.IntoTableName, "result");
  EXPECT_EQ(q.Top, 10);
  EXPECT_EQ(q.LanguageID, ConvertLanguageConstantToID("German (Standard)"));
  EXPECT_EQ(q.SortID, 1);
  EXPECT_EQ(q.Password, "secret");

  EXPECT_EQ(Names(q), "customers:c:1,orders:o:2,notes:n:3,extra:extra:4");
  EXPECT_TRUE(q.SourceTables[2]->CorrelationGiven);
  EXPECT_FALSE(q.SourceTables[3]->CorrelationGiven);

  ASSERT_EQ(q.ResultFields.size(), 7u);
  struct TColumn {
    const char* Field;
    const char* Table;
    const char* Alias;
    bool Expression;
    TResultCalculation Calculation;
  } columns[] = {
      {"id", "c", "id", false, rcNone},          {"name", "c", "customer", false, rcNone},
      {"amount", "o", "total", false, rcSum},    {"amount", "o", "", false, rcAvg},
      {"*", "", "", false, rcCount},             {"", "", "twice", true, rcNone},
      {"", "", "shout", true, rcNone},
  };
  for (std::size_t i = 0; i < 7; ++i) {
    const TResultField& f = *q.ResultFields[i];
    EXPECT_EQ(f.FieldName, columns[i].Field) << i;
    EXPECT_EQ(f.TableName, columns[i].Table) << i;
    EXPECT_EQ(f.Alias, columns[i].Alias) << i;
    EXPECT_EQ(f.IsExpression, columns[i].Expression) << i;
    EXPECT_EQ(f.Calculation, columns[i].Calculation) << i;
  }
  EXPECT_TRUE(q.ResultFields[0]->ImplicitAlias);
  EXPECT_FALSE(q.ResultFields[1]->ImplicitAlias);
  EXPECT_TRUE(q.ResultFields[4]->CountAll);
  EXPECT_EQ(q.ResultFields[5]->ExpressionText, "o.amount * 2");
  EXPECT_EQ(q.ResultFields[6]->ExpressionText, "UPPER(c.name)");

  ASSERT_EQ(q.GroupByFields.size(), 3u);
  EXPECT_EQ(q.GroupByFields[0]->TableName, "c");
  EXPECT_EQ(q.GroupByFields[0]->FieldName, "id");
  EXPECT_EQ(q.GroupByFields[1]->ColumnNumber, 2);
  EXPECT_EQ(q.GroupByFields[1]->FieldName, "");
  EXPECT_EQ(q.GroupByFields[2]->TableName, "c");
  EXPECT_EQ(q.GroupByFields[2]->FieldName, "name");
  ASSERT_EQ(q.OrderByFields.size(), 3u);
  EXPECT_EQ(q.OrderByFields[0]->ColumnNumber, 1);
  EXPECT_TRUE(q.OrderByFields[0]->Descending);
  EXPECT_EQ(q.OrderByFields[1]->FieldName, "customer");
  EXPECT_FALSE(q.OrderByFields[1]->Descending);
  EXPECT_EQ(q.OrderByFields[2]->TableName, "c");

  // The ON conditions come first in the WHERE tree, then the WHERE clause itself.
  const TExpToken* where = q.WhereExpression.get();
  ASSERT_NE(where, nullptr);
  EXPECT_EQ(Shape(where->Left),
            "AND(AND(=(c.id)(o.cust))(>(o.amount)(?)))(=(n.cid)(c.id))");
  EXPECT_EQ(where->Left->SQLWork2, 0) << "the AND that joins two clauses is the parser's own";
  const TExpToken* innerOn = where->Left->Left;
  EXPECT_EQ(innerOn->SQLWork2, kFromJoinMark);
  EXPECT_EQ(innerOn->Left->SQLWork1, jtInner) << "field = field of an inner join";
  EXPECT_EQ(innerOn->Right->SQLWork1, 0) << "a comparison with a parameter is no join";
  EXPECT_EQ(innerOn->Right->Right->SQLWork2, kFromJoinMark);
  EXPECT_EQ(where->Left->Right->SQLWork1, jtLeftOuter);
  EXPECT_EQ(where->Right->SQLWork2, 0);
  EXPECT_EQ(Shape(q.HavingExpression.get()), ">(SUM[o.amount])(100)");

  // Parameters in the order they were met, the sub-select's among them.
  ASSERT_EQ(s->GetParameters().size(), 3u);
  EXPECT_EQ(s->GetParameters()[0], innerOn->Right->Right);
  const TExpToken* subIn = where->Right->Right;
  ASSERT_EQ(subIn->Operator, eoSUBIN);
  const TDataQuery* sub = subIn->Arguments[1]->Query;
  ASSERT_EQ(sub, &s->GetDataQuery(1));
  EXPECT_EQ(sub->Role, TQueryRole::qrSubSelect);
  EXPECT_EQ(sub->RequestLive, 1);
  EXPECT_EQ(Names(*sub), "vip:v:1");
  EXPECT_EQ(s->GetParameters()[2], sub->WhereExpression->Right);
}

TEST(QueryParserTest, ColumnAnalysis) {
  auto s = Parse("SELECT *, t.*, a + 1, SUM(a + b), COUNT(a) AS n, MIN(t.a), RUNSUM(x), MAX(b) FROM t");
  const TDataQuery& q = s->GetMasterQuery();
  EXPECT_FALSE(q.AllColumns);
  EXPECT_EQ(q.ResultFields[0]->Alias, "");
  EXPECT_EQ(q.ResultFields[1]->TableName, "t");
  EXPECT_EQ(q.ResultFields[1]->FieldName, "*");
  EXPECT_TRUE(q.ResultFields[2]->IsExpression);
  EXPECT_EQ(q.ResultFields[2]->ExpressionText, "a + 1");
  EXPECT_TRUE(q.ResultFields[3]->IsExpression);
  EXPECT_EQ(q.ResultFields[3]->Calculation, rcSum);
  EXPECT_EQ(q.ResultFields[4]->Alias, "n") << "a written alias survives the aggregate";
  EXPECT_FALSE(q.ResultFields[4]->CountAll);
  EXPECT_EQ(q.ResultFields[5]->Calculation, rcMin);
  EXPECT_EQ(q.ResultFields[6]->Calculation, rcRunSum);
  EXPECT_EQ(q.ResultFields[7]->Calculation, rcMax);
  EXPECT_FALSE(q.HasAverages);
  EXPECT_TRUE(Parse("SELECT * FROM t")->GetMasterQuery().AllColumns);
  EXPECT_TRUE(Parse("SELECT ALL * FROM t")->GetMasterQuery().AllColumns);
}

TEST(QueryParserTest, TableNamesAndDatabases) {
  auto statement = Parse("SELECT * FROM MEMORY m, data\\'orders.dat' o, '/srv/db/items' JOIN \"x y\" ON 1 = 1");
  const TDataQuery& q = statement->GetMasterQuery();
  ASSERT_EQ(q.SourceTables.size(), 4u);
  EXPECT_TRUE(q.SourceTables[0]->InMemory);
  EXPECT_EQ(q.SourceTables[0]->DatabaseName, "Memory");
  EXPECT_EQ(q.SourceTables[1]->Name, "data/orders.dat");
  EXPECT_EQ(q.SourceTables[1]->DatabaseName, "data");
  EXPECT_EQ(q.SourceTables[1]->TableName, "orders");
  EXPECT_EQ(q.SourceTables[1]->CorrelationName, "o");
  EXPECT_EQ(q.SourceTables[2]->DatabaseName, "/srv/db");
  EXPECT_EQ(q.SourceTables[2]->CorrelationName, "items");
  EXPECT_EQ(q.SourceTables[3]->TableName, "x y");
  EXPECT_EQ(q.SourceTables[3]->DatabaseName, "") << "no database: the statement's own";
  EXPECT_TRUE(q.HasJoins);

  auto into = Parse("SELECT a INTO archive\\result FROM t");
  EXPECT_EQ(into->GetMasterQuery().IntoTableName, "archive/result");
  EXPECT_FALSE(into->GetMasterQuery().IntoMemory);
}

TEST(QueryParserTest, JoinsOrderTablesAndParentheses) {
  auto right = Parse("SELECT * FROM a RIGHT OUTER JOIN b ON a.x = b.x JOIN c ON c.y = a.y");
  const TDataQuery& q = right->GetMasterQuery();
  EXPECT_EQ(Names(q), "b:b:2,a:a:1,c:c:3") << "the right-joined table drives, so it goes first";
  EXPECT_EQ(q.WhereExpression->Left->SQLWork1, jtRightOuter);

  auto nested = Parse("SELECT * FROM ((a JOIN b ON a.x = b.x) LEFT JOIN c ON b.y = c.y), (d JOIN e ON d.z = e.z)");
  EXPECT_EQ(Names(nested->GetMasterQuery()), "a:a:1,b:b:2,c:c:3,d:d:4,e:e:5");

  // The ")" that closes a sub-select is not a join's.
  auto sub = Parse("SELECT * FROM t WHERE t.a IN (SELECT b FROM u JOIN v ON u.b = v.b)");
  EXPECT_EQ(Names(sub->GetDataQuery(1)), "u:u:1,v:v:2");
}

TEST(QueryParserTest, UnionChains) {
  auto s = Parse("SELECT a FROM t UNION ALL (SELECT b FROM u) UNION SELECT c FROM v ORDER BY 1 TOP 3");
  ASSERT_EQ(s->DataQueryCount(), 3u);
  const TDataQuery& master = s->GetMasterQuery();
  const TDataQuery& second = s->GetDataQuery(1);
  const TDataQuery& third = s->GetDataQuery(2);
  EXPECT_TRUE(master.UnionFollows);
  EXPECT_EQ(master.RequestLive, 1);
  EXPECT_EQ(master.UnionQuery, &second);
  EXPECT_TRUE(second.IsUnionPart && second.Parenthesised && second.UnionAll && second.UnionFollows);
  EXPECT_EQ(second.UnionParent, &master);
  EXPECT_EQ(second.UnionQuery, &third);
  EXPECT_TRUE(third.IsUnionPart);
  EXPECT_FALSE(third.UnionAll);
  EXPECT_FALSE(third.HasOrderBy) << "the ORDER BY after a UNION orders the whole union";
  EXPECT_TRUE(master.HasOrderBy);
  EXPECT_EQ(master.Top, 3);

  auto wrapped = Parse("(SELECT a FROM t) UNION (SELECT a FROM u);");
  EXPECT_TRUE(wrapped->GetMasterQuery().Parenthesised);
  EXPECT_EQ(wrapped->DataQueryCount(), 2u);
}

TEST(QueryParserTest, InsertForms) {
  auto values = Parse("INSERT INTO MEMORY t x (a, 'b c', [d]) VALUES (1, ?, 'x' || ?) NOAUTOINC COMMIT INTERVAL 100 FLUSH");
  const TDataQuery& q = values->GetMasterQuery();
  EXPECT_EQ(q.StatementKind, skInsert);
  EXPECT_EQ(Names(q), "t:x:1");
  EXPECT_TRUE(q.SourceTables[0]->InMemory);
  ASSERT_EQ(q.UpdateFields.size(), 3u);
  EXPECT_EQ(q.UpdateFields[1]->FieldName, "b c") << "a string constant names a column";
  EXPECT_EQ(q.UpdateFields[1]->Expression->NodeClass, enFIELD);
  EXPECT_EQ(q.UpdateFields[2]->FieldName, "d");
  ASSERT_EQ(q.UpdateValues.size(), 3u);
  EXPECT_EQ(q.UpdateValues[2]->ExpressionText, "'x' || ?");
  EXPECT_EQ(values->GetParameters().size(), 2u);
  EXPECT_TRUE(q.NoAutoInc && q.CommitIntervalGiven && q.CommitFlush);
  EXPECT_EQ(q.CommitInterval, 100);

  auto all = Parse("INSERT INTO t VALUES (1)");
  ASSERT_EQ(all->GetMasterQuery().UpdateFields.size(), 1u);
  EXPECT_EQ(all->GetMasterQuery().UpdateFields[0]->FieldName, "*");

  auto select = Parse("INSERT INTO t (a) SELECT b FROM u NOAUTOINC COMMIT FLUSH;");
  ASSERT_EQ(select->DataQueryCount(), 2u);
  const TDataQuery& insert = select->GetMasterQuery();
  EXPECT_TRUE(insert.InsertSelect && insert.NoAutoInc && insert.CommitFlush);
  EXPECT_EQ(insert.SelectQuery, &select->GetDataQuery(1));
  EXPECT_EQ(insert.SelectQuery->Role, TQueryRole::qrInsertSelect);
  EXPECT_EQ(Names(*insert.SelectQuery), "u:u:1") << "NOAUTOINC ends the SELECT's table, it is no correlation name";

  auto wrapped = Parse("INSERT INTO t (SELECT b FROM u)");
  EXPECT_EQ(wrapped->GetMasterQuery().UpdateFields[0]->FieldName, "*");
  EXPECT_TRUE(wrapped->GetDataQuery(1).Parenthesised);
  auto unioned = Parse("INSERT INTO t SELECT b FROM u UNION SELECT c FROM v COMMIT FLUSH");
  EXPECT_EQ(unioned->DataQueryCount(), 3u);
  EXPECT_TRUE(unioned->GetMasterQuery().CommitFlush);
}

TEST(QueryParserTest, UpdateAndDelete) {
  auto update = Parse(
      "UPDATE t x SET a = ?, 'b' = b + 1 FROM t x JOIN u ON x.id = u.id WHERE u.flag = TRUE "
      "NOAUTOINC COMMIT INTERVAL 50 NOJOINOPTIMIZE");
  const TDataQuery& q = update->GetMasterQuery();
  EXPECT_EQ(q.StatementKind, skUpdate);
  EXPECT_EQ(Names(q), "t:x:1,u:u:2");
  ASSERT_EQ(q.UpdateFields.size(), 2u);
  EXPECT_EQ(q.UpdateFields[0]->FieldName, "a");
  EXPECT_EQ(q.UpdateFields[1]->FieldName, "b");
  EXPECT_EQ(q.UpdateValues[1]->ExpressionText, "b + 1");
  EXPECT_TRUE(q.HasJoins && q.HasWhere && q.NoAutoInc && q.CommitIntervalGiven && q.NoJoinOptimize);
  EXPECT_EQ(q.CommitInterval, 50);
  EXPECT_EQ(update->GetParameters().size(), 1u);

  auto del = Parse("DELETE FROM t JOIN u ON t.id = u.id, v WHERE v.a = 1 COMMIT FLUSH NOJOINOPTIMIZE;");
  const TDataQuery& d = del->GetMasterQuery();
  EXPECT_EQ(d.StatementKind, skDelete);
  EXPECT_EQ(Names(d), "t:t:1,u:u:2,v:v:3");
  EXPECT_TRUE(d.HasJoins && d.HasWhere && d.CommitFlush && d.NoJoinOptimize);
  EXPECT_FALSE(d.CommitIntervalGiven);
}

TEST(QueryParserTest, Transactions) {
  EXPECT_EQ(Parse("START TRANSACTION")->GetMasterQuery().StatementKind, skStartTransaction);
  EXPECT_EQ(Parse("rollback work;")->GetMasterQuery().StatementKind, skRollback);
  auto commit = Parse("COMMIT WORK FLUSH");
  EXPECT_EQ(commit->GetMasterQuery().StatementKind, skCommit);
  EXPECT_TRUE(commit->GetMasterQuery().CommitFlush);
  EXPECT_FALSE(Parse("COMMIT")->GetMasterQuery().CommitFlush);
}

TEST(QueryParserTest, StatementKindTexts) {
  const char* expected[] = {"UNKNOWN",      "SELECT",     "INSERT",            "UPDATE",   "DELETE",
                            "CREATE TABLE", "ALTER TABLE", "DROP TABLE",        "CREATE INDEX", "DROP INDEX",
                            "START TRANSACTION", "ROLLBACK", "COMMIT"};
  for (std::uint8_t kind = 0; kind < 13; ++kind) EXPECT_EQ(InternalStatementTypeToString(kind), expected[kind]);
  EXPECT_EQ(InternalStatementTypeToString(13), "UNKNOWN");
}

TEST(QueryParserTest, EncryptedWithEmptyPasswordStaysUnencrypted) {
  auto s = Parse("SELECT a INTO r FROM t ENCRYPTED WITH ''");
  EXPECT_TRUE(s->GetMasterQuery().EncryptedGiven);
  EXPECT_FALSE(s->GetMasterQuery().Encrypted);
  auto end = Parse("SELECT a INTO r FROM t ENCRYPTED WITH;");
  EXPECT_FALSE(end->GetMasterQuery().Encrypted);
}

}  // namespace
}  // namespace korvel
