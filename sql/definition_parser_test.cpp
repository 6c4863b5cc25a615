// What the statement parser fills in for CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE
// and DROP INDEX, and the messages of their grammar.

#include <gtest/gtest.h>

#include "sql/sql_test_helpers.h"
#include "support/data_types.h"
#include "support/language.h"

namespace korvel {
namespace {

using sqltest::Names;
using sqltest::Parse;
using sqltest::ParseError;

TEST(DefinitionParserTest, CreateTableWithEverything) {
  auto s = Parse(
      "CREATE TABLE IF NOT EXISTS MEMORY \"Customers\" ("
      "  ID AUTOINC,"
      "  Name VARCHAR(30) DESCRIPTION 'Full name' NOT NULL DEFAULT 'x' MINIMUM 'A' MAXIMUM 'ZZZ' CHARCASE UPPER,"
      "  [Amount Due] DECIMAL(12, 2) DEFAULT -1.5,"
      "  Notes MEMO, Photo BLOB(10, 2), Born DATE MIN 0 MAX 99,"
      "  CONSTRAINT pk UNIQUE DESC NOCASE PRIMARY KEY (ID, 'Name') COMPRESS DUPBYTE,"
      "  TEXT INDEX (Name, Notes) STOP WORDS 'a an  the' SPACE CHARS ' -' INCLUDE CHARS 'abc'"
      "  DESCRIPTION 'Our customers' BLOB BLOCK SIZE 1024 LANGUAGE 'German (Swiss)' SORT 'Default Order'"
      "  ENCRYPTED WITH 'pw' USER MAJOR VERSION 3 USER MINOR VERSION 7 LAST AUTOINC -5"
      ");");
  const TDataQuery& q = s->GetMasterQuery();
  EXPECT_EQ(q.StatementKind, skCreateTable);
  EXPECT_TRUE(q.Definition.IfNotExists);
  ASSERT_EQ(q.SourceTables.size(), 1u);
  EXPECT_TRUE(q.SourceTables[0]->InMemory);
  EXPECT_EQ(q.SourceTables[0]->TableName, "Customers");

  ASSERT_EQ(q.CreateFields.size(), 6u);
  const TCreateField& id = *q.CreateFields[0];
  EXPECT_EQ(id.FieldNumber, 1);
  EXPECT_EQ(id.DataType, dtInteger);
  EXPECT_EQ(id.SubType, stAutoInc);
  const TCreateField& name = *q.CreateFields[1];
  EXPECT_EQ(name.Name, "Name");
  EXPECT_EQ(name.DataType, dtString);
  EXPECT_EQ(name.Size, 30);
  EXPECT_EQ(name.Description, "Full name");
  EXPECT_TRUE(name.Required && name.RequiredGiven && name.DefaultGiven && name.MinimumGiven);
  EXPECT_TRUE(name.MaximumGiven && name.CharCaseGiven && name.DescriptionGiven);
  EXPECT_EQ(name.DefaultValue, "x");
  EXPECT_EQ(name.MinimumValue, "A");
  EXPECT_EQ(name.MaximumValue, "ZZZ");
  EXPECT_EQ(name.CharCase, fcUpperCase);
  const TCreateField& amount = *q.CreateFields[2];
  EXPECT_EQ(amount.Name, "Amount Due");
  EXPECT_EQ(amount.DataType, dtBCD);
  EXPECT_EQ(amount.Size, 12);
  EXPECT_EQ(amount.Scale, 2);
  EXPECT_EQ(amount.DefaultValue, "-1.5") << "the sign belongs to the value";
  EXPECT_FALSE(amount.Required);
  EXPECT_EQ(q.CreateFields[3]->SubType, stMemo);
  EXPECT_EQ(q.CreateFields[4]->DataType, dtBlob);
  EXPECT_EQ(q.CreateFields[4]->Size, 10);
  EXPECT_EQ(q.CreateFields[5]->MinimumValue, "0");
  EXPECT_EQ(q.CreateFields[5]->FieldNumber, 6);

  ASSERT_EQ(q.CreateIndexes.size(), 1u);
  const TCreateIndex& key = *q.CreateIndexes[0];
  EXPECT_TRUE(key.Unique && key.Descending && key.CaseInsensitive);
  EXPECT_EQ(key.Compression, icDuplicateByte);
  EXPECT_EQ(key.FieldNames, (std::vector<std::string>{"ID", "Name"}));

  const TTableDefinition& d = q.Definition;
  EXPECT_TRUE(d.TextIndexGiven && d.StopWordsGiven && d.SpaceCharsGiven && d.IncludeCharsGiven);
  EXPECT_EQ(d.TextIndex.FieldNames, (std::vector<std::string>{"Name", "Notes"}));
  EXPECT_EQ(d.StopWords, (std::vector<std::string>{"a", "an", "the"}));
  EXPECT_EQ(d.SpaceChars.count(), 2u);
  EXPECT_TRUE(d.SpaceChars.test(' ') && d.SpaceChars.test('-'));
  EXPECT_TRUE(d.IncludeChars.test('b') && !d.IncludeChars.test('d'));
  EXPECT_EQ(d.Description, "Our customers");
  EXPECT_EQ(d.BlobBlockSize, 1024);
  EXPECT_EQ(q.LanguageID, ConvertLanguageConstantToID("German (Swiss)"));
  EXPECT_TRUE(q.LanguageGiven && q.SortGiven && q.Encrypted);
  EXPECT_EQ(q.Password, "pw");
  EXPECT_EQ(d.UserMajorVersion, 3);
  EXPECT_EQ(d.UserMinorVersion, 7);
  EXPECT_TRUE(d.LastAutoIncGiven);
  EXPECT_EQ(d.LastAutoIncValue, -5);
  EXPECT_FALSE(d.NoBackup);
}

TEST(DefinitionParserTest, CreateTableDefaults) {
  auto s = Parse("CREATE TABLE t (a INTEGER, b CHAR(10), PRIMARY KEY (a))");
  const TDataQuery& q = s->GetMasterQuery();
  EXPECT_FALSE(q.Definition.IfNotExists || q.Definition.TextIndexGiven || q.LanguageGiven);
  EXPECT_EQ(q.Definition.BlobBlockSize, 512);
  EXPECT_EQ(q.Definition.UserMajorVersion, 1);
  EXPECT_EQ(q.Definition.UserMinorVersion, 0);
  EXPECT_EQ(q.Definition.LastAutoIncValue, -1);
  ASSERT_EQ(q.CreateIndexes.size(), 1u);
  EXPECT_FALSE(q.CreateIndexes[0]->Unique);
  EXPECT_EQ(q.CreateIndexes[0]->Compression, icNone);
  EXPECT_EQ(q.CreateIndexes[0]->FieldNames, std::vector<std::string>{"a"});
  EXPECT_EQ(Parse("CREATE TABLE t (a INT)")->GetMasterQuery().CreateIndexes.size(), 0u);
}

TEST(DefinitionParserTest, CreateIndex) {
  auto s = Parse("CREATE UNIQUE DESCENDING NOCASE INDEX IF NOT EXISTS ByName ON db\\t (Last, First) COMPRESS FULL");
  const TDataQuery& q = s->GetMasterQuery();
  EXPECT_EQ(q.StatementKind, skCreateIndex);
  EXPECT_TRUE(q.Definition.IfNotExists);
  EXPECT_EQ(q.SourceTables[0]->DatabaseName, "db");
  EXPECT_EQ(q.SourceTables[0]->TableName, "t");
  ASSERT_EQ(q.CreateIndexes.size(), 1u);
  const TCreateIndex& i = *q.CreateIndexes[0];
  EXPECT_EQ(i.Name, "ByName");
  EXPECT_TRUE(i.Unique && i.Descending && i.CaseInsensitive);
  EXPECT_EQ(i.Compression, icFull);
  EXPECT_EQ(i.FieldNames, (std::vector<std::string>{"Last", "First"}));
  EXPECT_EQ(Parse("CREATE INDEX i ON MEMORY t (a)")->GetMasterQuery().SourceTables[0]->DatabaseName, "Memory");
}

TEST(DefinitionParserTest, AlterTableItems) {
  auto s = Parse(
      "ALTER TABLE t ADD COLUMN c INTEGER AT 1 NOT NULL, REDEFINE b CHAR(20), REDEFINE COLUMN d e DATE "
      "DESCRIPTION 'renamed', REDEFINE f AT 2 DEFAULT 5, DROP x, DROP COLUMN y, ADD PRIMARY KEY (c), "
      "REDEFINE CONSTRAINT k UNIQUE PRIMARY KEY (c, b), DROP CONSTRAINT k PRIMARY KEY "
      "DESCRIPTION 'changed' NOBACKUP");
  const TDataQuery& q = s->GetMasterQuery();
  EXPECT_EQ(q.StatementKind, skAlterTable);
  ASSERT_EQ(q.CreateFields.size(), 6u);
  const TCreateField& c = *q.CreateFields[0];
  EXPECT_TRUE(c.Add && c.TypeGiven && c.Required);
  EXPECT_EQ(c.Position, 1);
  const TCreateField& b = *q.CreateFields[1];
  EXPECT_TRUE(b.Redefine && b.TypeGiven);
  EXPECT_EQ(b.Size, 20);
  EXPECT_FALSE(b.DescriptionGiven || b.DefaultGiven || b.RequiredGiven) << "REDEFINE changes only what is written";
  const TCreateField& d = *q.CreateFields[2];
  EXPECT_EQ(d.Name, "d");
  EXPECT_EQ(d.NewName, "e");
  EXPECT_EQ(d.DataType, dtDate);
  EXPECT_EQ(d.Description, "renamed");
  const TCreateField& f = *q.CreateFields[3];
  EXPECT_FALSE(f.TypeGiven);
  EXPECT_EQ(f.Position, 2);
  EXPECT_EQ(f.DefaultValue, "5");
  EXPECT_TRUE(q.CreateFields[4]->Drop);
  EXPECT_EQ(q.CreateFields[5]->Name, "y");
  ASSERT_EQ(q.CreateIndexes.size(), 3u);
  EXPECT_TRUE(q.CreateIndexes[0]->Add);
  EXPECT_TRUE(q.CreateIndexes[1]->Redefine && q.CreateIndexes[1]->Unique);
  EXPECT_EQ(q.CreateIndexes[1]->FieldNames, (std::vector<std::string>{"c", "b"}));
  EXPECT_TRUE(q.CreateIndexes[2]->Drop);
  EXPECT_TRUE(q.Definition.DescriptionGiven && q.Definition.NoBackup);
  EXPECT_FALSE(q.Definition.BlobBlockSizeGiven);

  auto settingsOnly = Parse("ALTER TABLE t USER MINOR VERSION 2");
  EXPECT_TRUE(settingsOnly->GetMasterQuery().CreateFields.empty());
  EXPECT_TRUE(settingsOnly->GetMasterQuery().Definition.UserMinorVersionGiven);
  EXPECT_FALSE(settingsOnly->GetMasterQuery().Definition.UserMajorVersionGiven);
}

TEST(DefinitionParserTest, DropTableAndIndex) {
  auto table = Parse("DROP TABLE IF EXISTS MEMORY t");
  EXPECT_EQ(table->GetMasterQuery().StatementKind, skDropTable);
  EXPECT_TRUE(table->GetMasterQuery().Definition.IfExists);
  EXPECT_TRUE(table->GetMasterQuery().SourceTables[0]->InMemory);

  auto index = Parse("DROP INDEX IF EXISTS archive\\orders.ByDate");
  const TDataQuery& q = index->GetMasterQuery();
  EXPECT_EQ(q.StatementKind, skDropIndex);
  EXPECT_TRUE(q.Definition.IfExists);
  EXPECT_EQ(q.SourceTables[0]->DatabaseName, "archive");
  EXPECT_EQ(q.SourceTables[0]->TableName, "orders");
  ASSERT_EQ(q.CreateIndexes.size(), 1u);
  EXPECT_EQ(q.CreateIndexes[0]->Name, "ByDate");
  EXPECT_TRUE(q.CreateIndexes[0]->Drop);

  auto primary = Parse("DROP INDEX [t].PRIMARY;");
  EXPECT_EQ(primary->GetMasterQuery().SourceTables[0]->TableName, "t");
  EXPECT_EQ(primary->GetMasterQuery().CreateIndexes[0]->Name, "PRIMARY");
  auto quoted = Parse("DROP INDEX '/data/t.dat'.i");
  EXPECT_EQ(quoted->GetMasterQuery().SourceTables[0]->DatabaseName, "/data");
  EXPECT_EQ(quoted->GetMasterQuery().SourceTables[0]->TableName, "t");
}

TEST(DefinitionParserTest, Messages) {
  struct TCase {
    const char* Text;
    const char* Message;
  } cases[] = {
      {"CREATE TABLE IF EXISTS t (a INT)", "NOT keyword expected after IF keyword, instead found 'EXISTS'"},
      {"CREATE TABLE IF NOT t (a INT)", "EXISTS keyword expected after NOT keyword, instead found 't'"},
      {"CREATE TABLE 5 (a INT)", "Table name expected after CREATE TABLE keywords, instead found '5'"},
      {"CREATE TABLE t a INT", "Left parentheses expected before list of table columns, instead found 'a'"},
      {"CREATE TABLE t (a INT", "Right parentheses expected after CREATE TABLE statement, instead found ''"},
      {"CREATE TABLE t (a INT b INT)", "Right parentheses expected after CREATE TABLE statement, instead found 'b'"},
      {"CREATE TABLE t (5 INT)", "Unknown or unexpected symbol '5' found in table column"},
      {"CREATE TABLE t (a)", "SQL data type keyword expected, instead found ')' in table column"},
      {"CREATE TABLE t (a CHAR)", "Left parentheses expected after CHAR data type, instead found ')' in table column"},
      {"CREATE TABLE t (a INT NOT 1)", "NULL keyword expected after NOT keyword, instead found '1'"},
      {"CREATE TABLE t (a INT DEFAULT ,)", "Value expected after DEFAULT keyword, instead found ','"},
      {"CREATE TABLE t (a INT DEFAULT - x)", "Value expected after DEFAULT keyword, instead found 'x'"},
      {"CREATE TABLE t (a CHAR(1) CHARCASE PROPER)",
       "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'PROPER'"},
      {"CREATE TABLE t (a INT, CONSTRAINT pk UNIQUE (a))", "PRIMARY keyword expected, instead found '('"},
      {"CREATE TABLE t (a INT, PRIMARY (a))", "KEY keyword expected after PRIMARY keyword, instead found '('"},
      {"CREATE TABLE t (a INT, PRIMARY KEY a)", "Left parentheses expected, instead found 'a'"},
      {"CREATE TABLE t (a INT, PRIMARY KEY (a b))", "Right parentheses expected, instead found 'b'"},
      {"CREATE TABLE t (a INT, PRIMARY KEY (t.a))", "Invalid use of table correlation name 't' specified in indexed columns"},
      {"CREATE TABLE t (a INT, PRIMARY KEY (a) COMPRESS ALL)",
       "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'ALL'"},
      {"CREATE TABLE t (a INT, TEXT (a))", "INDEX keyword expected after TEXT keyword, instead found '('"},
      {"CREATE TABLE t (a INT, TEXT INDEX a)", "Left parentheses expected after TEXTINDEX keyword, instead found 'a'"},
      {"CREATE TABLE t (a INT, TEXT INDEX (a b))", "Right parentheses expected after TEXT INDEX clause, instead found 'b'"},
      {"CREATE TABLE t (a INT, TEXT INDEX (a) STOP 'x')", "WORDS keyword expected after STOP keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT, TEXT INDEX (a) STOP WORDS x)", "Unknown or unexpected symbol 'x' found in stop words"},
      {"CREATE TABLE t (a INT, TEXT INDEX (a) SPACE 'x')", "CHARS keyword expected after SPACE keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT, TEXT INDEX (a) SPACE CHARS 1)", "Unknown or unexpected symbol '1' found in character set"},
      {"CREATE TABLE t (a INT, TEXT INDEX (a) INCLUDE 'x')",
       "CHARS keyword expected after INCLUDE keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT, BLOB SIZE 5)", "BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
      {"CREATE TABLE t (a INT, BLOB BLOCK 5)", "SIZE keyword expected after BLOCK keyword, instead found '5'"},
      {"CREATE TABLE t (a INT, BLOB BLOCK SIZE x)", "Integer value expected after SIZE keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT, LANGUAGE 'Elvish')", "Invalid language constant 'Elvish' specified after LANGUAGE keyword"},
      {"CREATE TABLE t (a INT, ENCRYPTED 'x')", "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT, USER VERSION 1)", "MAJOR or MINOR keyword expected after USER keyword, instead found 'VERSION'"},
      {"CREATE TABLE t (a INT, USER MAJOR 1)", "VERSION keyword expected after MAJOR keyword, instead found '1'"},
      {"CREATE TABLE t (a INT, USER MINOR 1)", "VERSION keyword expected after MINOR keyword, instead found '1'"},
      {"CREATE TABLE t (a INT, USER MAJOR VERSION x)", "Integer value expected after VERSION keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT, USER MAJOR VERSION 1 USER MINOR VERSION 1 USER MAJOR VERSION 2)",
       "Right parentheses expected after CREATE TABLE statement, instead found 'USER'"},
      {"CREATE TABLE t (a INT LAST 5)", "AUTOINC keyword expected after LAST keyword, instead found '5'"},
      {"CREATE TABLE t (a INT LAST AUTOINC x)", "Unknown or unexpected symbol 'x' found in next auto-increment number"},
      {"CREATE TABLE t (a INT LAST AUTOINC 3000000000)",
       "Unknown or unexpected symbol '3000000000' found in next auto-increment number"},
      {"CREATE TABLE t (a INT NOBACKUP)", "Right parentheses expected after CREATE TABLE statement, instead found 'NOBACKUP'"},
      {"CREATE UNIQUE TABLE t", "INDEX keyword expected, instead found 'TABLE'"},
      {"CREATE INDEX 5 ON t (a)", "Index name expected after INDEX keyword, instead found '5'"},
      {"CREATE INDEX i t (a)", "ON keyword expected after index name, instead found 't'"},
      {"CREATE INDEX i ON (a)", "Table name expected after ON keyword, instead found '('"},
      {"CREATE INDEX i ON t a", "Left parentheses expected, instead found 'a'"},
      {"ALTER TABLE 5 ADD a INT", "Table name expected after ALTER TABLE keywords, instead found '5'"},
      {"ALTER TABLE t MODIFY a INT", "ADD, DROP, or REDEFINE keyword expected, instead found 'MODIFY'"},
      {"ALTER TABLE t", "ADD, DROP, or REDEFINE keyword expected, instead found ''"},
      {"ALTER TABLE t ADD a", "SQL data type keyword expected, instead found '' in table column"},
      {"ALTER TABLE t ADD a INT AT x", "Integer value expected after AT keyword, instead found 'x'"},
      {"ALTER TABLE t ADD a INT AT 70000", "Integer value expected after AT keyword, instead found '70000'"},
      {"ALTER TABLE t REDEFINE a b", "SQL data type keyword expected, instead found '' in table column"},
      {"ALTER TABLE t DROP 5", "Unknown or unexpected symbol '5' found in table column"},
      {"ALTER TABLE t DROP PRIMARY (a)", "KEY keyword expected after PRIMARY keyword, instead found '('"},
      {"CREATE TABLE t (a INT AT 1)", "Right parentheses expected after CREATE TABLE statement, instead found 'AT'"},
      {"DROP TABLE IF t", "EXISTS keyword expected after IF keyword, instead found 't'"},
      {"DROP TABLE 5", "Table name expected after DROP TABLE keywords, instead found '5'"},
      {"DROP INDEX 5", "Table name expected after DROP INDEX keywords, instead found '5'"},
      {"DROP INDEX i", "Table name expected after DROP INDEX keywords, instead found 'i'"},
      {"DROP INDEX", "Index name expression is empty"},
      {"DROP INDEX db\\", "Index name expression is empty"},
      {"DROP INDEX t.", "Symbol or string expression expected after table correlation name separator '.', instead "
                        "found '' in index name expression"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ParseError(c.Text), c.Message) << c.Text;
}

}  // namespace
}  // namespace korvel
