// korvel sql DIR [SCRIPT] [-c SQL] [--csv|--json|--table] [--param VALUE]... and
// korvel sql DIR --check [SCRIPT] [-c SQL]: with --check, parses each statement of a script
// without executing it and prints its kind, one line per statement; the first statement that
// fails prints the engine's error and ends the command with exit status 1. Running statements
// is refused with a message until the engine executes them.

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "engine/session.h"
#include "platform/posix_file.h"
#include "sql/query_statement.h"
#include "support/errors.h"
#include "tools/cli_parsing.h"
#include "tools/commands.h"

namespace korvel::tool {

namespace {

struct TSqlOptions {
  std::string Directory;
  std::string Script;   // a file, "-" for standard input, "" for none
  std::string Command;  // -c SQL
  bool HasCommand = false;
  bool Check = false;
  bool Csv = false, Json = false, Table = false;  // output modes of results
  std::vector<std::string> Parameters;             // --param, in order
};

// The command line of `korvel sql`. The output modes and parameters belong to running
// statements; they are read (and checked to exclude each other) here already.
void DescribeSqlArguments(CLI::App& app, TSqlOptions& options) {
  app.add_option("DIR", options.Directory, "database folder")->required();
  app.add_option("SCRIPT", options.Script, "file of statements, - for standard input");
  app.add_option("-c,--command", options.Command, "the statements to run instead of a script");
  app.add_flag("--check", options.Check, "parse each statement without executing it; print its kind");
  auto* csv = app.add_flag("--csv", options.Csv, "results as CSV");
  auto* json = app.add_flag("--json", options.Json, "results as one JSON object per row");
  auto* table = app.add_flag("--table", options.Table, "results as aligned tables");
  csv->excludes(json)->excludes(table);
  json->excludes(table);
  app.add_option("--param", options.Parameters, "value of the next parameter (?)")->take_all()->expected(1);
}

bool ReadScript(const std::string& name, std::istream& in, std::string& text, std::ostream& err) {
  if (name == "-" || name.empty()) {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream file(name, std::ios::binary);
  if (!file) {
    err << "korvel sql: cannot read '" << name << "'\n";
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

// One line per statement; the error of the first statement that fails ends the script.
int CheckStatements(TQueryStatement& statement, const std::string& text, std::ostream& out, std::ostream& err) {
  try {
    statement.SetStatementText(text);
    while (!statement.AtEndOfText()) {
      statement.ParseNextStatement();
      out << InternalStatementTypeToString(statement.GetMasterQuery().StatementKind) << '\n';
    }
  } catch (const EKORVELEngineError& e) {
    out.flush();
    err << e.what() << '\n';
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int RunSqlCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  return RunSqlCommand(args, std::cin, out, err);
}

int RunSqlCommand(const TArguments& args, std::istream& in, std::ostream& out, std::ostream& err) {
  CLI::App app{"runs or checks SQL statements on a database folder", "korvel sql"};
  TSqlOptions options;
  DescribeSqlArguments(app, options);
  return RunParsed(app, args, out, err, [&] {
    options.HasCommand = app.count("--command") > 0;
    if (options.HasCommand && !options.Script.empty()) {
      err << "korvel sql: give either a script or -c, not both\n" << app.help();
      return kExitUsage;
    }
    if (!options.Check) {
      err << "korvel sql: statements cannot be executed yet; --check parses them without running them\n";
      return kExitFailure;
    }
    platform::TFileStatus status;
    if (!platform::StatPath(platform::NormalizeSeparators(options.Directory), status) || !status.IsDirectory) {
      err << "korvel sql: folder '" << options.Directory << "' does not exist\n";
      return kExitFailure;
    }
    std::string text = options.Command;
    if (!options.HasCommand && !ReadScript(options.Script, in, text, err)) return kExitFailure;
    TDataSession session(false);
    TDataDirectory* directory = session.OpenDataDirectory(options.Directory, options.Directory);
    int result = kExitOk;
    {
      TQueryStatement statement(directory);
      result = CheckStatements(statement, text, out, err);
    }
    session.CloseDataDirectory(directory);
    return result;
  });
}

}  // namespace korvel::tool
