#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_folder.h"
#include "tools/commands.h"

namespace korvel::tool {
namespace {

using testing::TTestFolder;

struct TSqlRun {
  int Status;
  std::string Out;
  std::string Err;
};

TSqlRun RunSql(const TArguments& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = RunSqlCommand(args, in, out, err);
  return {status, out.str(), err.str()};
}

TEST(SqlCommand, CheckPrintsTheKindOfEachStatement) {
  TTestFolder folder;
  const std::string script = folder.File("script.sql");
  std::ofstream(script) << "CREATE TABLE t (a INTEGER, b CHAR(10), PRIMARY KEY (a));\n"
                           "INSERT INTO t VALUES (1, 'one');\n"
                           "SELECT * FROM t WHERE a IN (SELECT a FROM t)\n";
  TSqlRun r = RunSql({folder.Path(), "--check", script});
  EXPECT_EQ(r.Status, kExitOk) << r.Err;
  EXPECT_EQ(r.Out, "CREATE TABLE\nINSERT\nSELECT\n");
  EXPECT_EQ(r.Err, "");

  r = RunSql({"--check", folder.Path(), "-c", "START TRANSACTION; COMMIT"});
  EXPECT_EQ(r.Out, "START TRANSACTION\nCOMMIT\n");
  r = RunSql({folder.Path(), "--command=DROP TABLE t", "--check"});
  EXPECT_EQ(r.Out, "DROP TABLE\n");
  r = RunSql({folder.Path(), "--check", "-"}, "DELETE FROM t;");
  EXPECT_EQ(r.Out, "DELETE\n");
  r = RunSql({folder.Path(), "--check"}, "UPDATE t SET a = 2");
  EXPECT_EQ(r.Out, "UPDATE\n");
  r = RunSql({folder.Path(), "--check", "-c", "  /* nothing */ "});
  EXPECT_EQ(r.Status, kExitOk);
  EXPECT_EQ(r.Out, "");
}

TEST(SqlCommand, TheFirstFailingStatementEndsTheScript) {
  TTestFolder folder;
  TSqlRun r = RunSql({folder.Path(), "--check", "-c", "SELECT a FROM t; SELECT a FROM t WHERE; DELETE FROM t"});
  EXPECT_EQ(r.Status, kExitFailure);
  EXPECT_EQ(r.Out, "SELECT\n");
  EXPECT_EQ(r.Err, "KORVEL Engine Error # 11949 SQL error - WHERE or JOIN clause is empty\n");
}

TEST(SqlCommand, WrongCommandLines) {
  TTestFolder folder;
  EXPECT_EQ(RunSql({"--check"}).Status, kExitUsage);
  EXPECT_EQ(RunSql({folder.Path(), "--check", "-c"}).Status, kExitUsage);
  EXPECT_EQ(RunSql({folder.Path(), "--check", "--bogus"}).Status, kExitUsage);
  EXPECT_EQ(RunSql({folder.Path(), "--check", "a.sql", "-c", "SELECT a FROM t"}).Status, kExitUsage);
  EXPECT_EQ(RunSql({folder.Path(), "--check", "a.sql", "b.sql"}).Status, kExitUsage);
  TSqlRun r = RunSql({folder.Path(), "--check", folder.File("missing.sql")});
  EXPECT_EQ(r.Status, kExitFailure);
  EXPECT_NE(r.Err.find("cannot read"), std::string::npos);
  r = RunSql({folder.File("nowhere"), "--check", "-c", "COMMIT"});
  EXPECT_EQ(r.Status, kExitFailure);
  EXPECT_NE(r.Err.find("does not exist"), std::string::npos);
  r = RunSql({folder.Path(), "-c", "COMMIT"});
  EXPECT_EQ(r.Status, kExitFailure) << "running statements is not there yet, and says so";
  EXPECT_EQ(r.Out, "");
  // One output mode at most; a parameter needs its value.
  EXPECT_EQ(RunSql({folder.Path(), "--csv", "--json", "-c", "COMMIT"}).Status, kExitUsage);
  EXPECT_EQ(RunSql({folder.Path(), "--table", "--csv", "-c", "COMMIT"}).Status, kExitUsage);
  EXPECT_EQ(RunSql({folder.Path(), "-c", "COMMIT", "--param"}).Status, kExitUsage);
}

TEST(SqlCommand, TheWholeInterfaceParsesAndHelpPrintsTheUsage) {
  TTestFolder folder;
  // Output modes and parameters are taken (for running statements) beside --check.
  TSqlRun r = RunSql({"--json", folder.Path(), "--param", "1", "--param=two", "--check", "-c", "SELECT a FROM t"});
  EXPECT_EQ(r.Status, kExitOk) << r.Err;
  EXPECT_EQ(r.Out, "SELECT\n");
  // After "--" a word that looks like an option is the script's name.
  r = RunSql({folder.Path(), "--check", "--", "--not-an-option.sql"});
  EXPECT_EQ(r.Status, kExitFailure);
  EXPECT_NE(r.Err.find("cannot read '--not-an-option.sql'"), std::string::npos) << r.Err;
  r = RunSql({"--help"});
  EXPECT_EQ(r.Status, kExitOk);
  for (const char* word : {"DIR", "SCRIPT", "--command", "--check", "--csv", "--json", "--table", "--param"})
    EXPECT_NE(r.Out.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace korvel::tool
