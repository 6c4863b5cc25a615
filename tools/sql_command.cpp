// korvel sql DIR --check [SCRIPT] [-c SQL]: parses each statement of a script without executing
// it and prints its kind, one line per statement; the first statement that fails prints the
// engine's error and ends the command with exit status 1.

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "engine/session.h"
#include "platform/posix_file.h"
#include "sql/query_statement.h"
#include "support/errors.h"
#include "tools/commands.h"

namespace korvel::tool {

namespace {

struct TSqlOptions {
  std::string Directory;
  std::string Script;      // a file, "-" for standard input, "" for none
  std::string Command;     // -c SQL
  bool HasCommand = false;
  bool Check = false;
};

// Options may stand anywhere before "--"; "--name=value" and "--name value" both work.
bool ParseSqlArguments(const TArguments& args, TSqlOptions& options, std::ostream& err) {
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a == "-" || a.empty() || a[0] != '-') {
      positional.push_back(a);
    } else if (a == "--") {
      optionsEnded = true;
    } else if (a == "--check") {
      options.Check = true;
    } else if (a == "-c" || a == "--command") {
      if (i + 1 >= args.size()) {
        err << "korvel sql: " << a << " needs an SQL text\n";
        return false;
      }
      options.Command = args[++i];
      options.HasCommand = true;
    } else if (a.rfind("--command=", 0) == 0) {
      options.Command = a.substr(10);
      options.HasCommand = true;
    } else {
      err << "korvel sql: unknown option '" << a << "'\n";
      return false;
    }
  }
  if (positional.empty() || positional.size() > 2) {
    err << "korvel sql: expected a folder and at most one script\n";
    return false;
  }
  options.Directory = positional[0];
  if (positional.size() == 2) options.Script = positional[1];
  if (options.HasCommand && !options.Script.empty()) {
    err << "korvel sql: give either a script or -c, not both\n";
    return false;
  }
  return true;
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
  TSqlOptions options;
  if (!ParseSqlArguments(args, options, err)) return kExitUsage;
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
}

}  // namespace korvel::tool
