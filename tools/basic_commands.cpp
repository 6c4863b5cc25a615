// korvel error, korvel tables.

#include <cstdlib>

#include "engine/session.h"
#include "framework/string_list.h"
#include "platform/posix_file.h"
#include "support/errors.h"
#include "tools/cli_parsing.h"
#include "tools/commands.h"

namespace korvel::tool {

namespace {

void PrintErrorLine(TErrorCode code, std::ostream& out) {
  const char* message = GetErrorMessageTemplate(code);
  out << code << '\t' << TranslateErrorConstant(code) << '\t' << (message ? message : kUnknownErrorText) << '\n';
}

// A decimal code 0..65535, nothing else.
bool ParseCode(const std::string& text, TErrorCode& code) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value > 0xFFFF) return false;
  code = static_cast<TErrorCode>(value);
  return true;
}

}  // namespace

int RunErrorCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  CLI::App app{"prints an engine error code's name and message", "korvel error"};
  std::string text;
  bool all = false;
  app.add_option("CODE", text, "engine error code, 0 to 65535");
  app.add_flag("--all", all, "every code, ascending");
  return RunParsed(app, args, out, err, [&] {
    if (all == (app.count("CODE") > 0)) {
      err << "korvel error: expected one error code or --all\n";
      return kExitUsage;
    }
    if (all) {
      std::size_t count = 0;
      const TErrorCode* codes = AllErrorCodes(count);
      for (std::size_t i = 0; i < count; ++i) PrintErrorLine(codes[i], out);
      return kExitOk;
    }
    TErrorCode code = 0;
    if (!ParseCode(text, code)) {
      err << "korvel error: '" << text << "' is not an error code (0 to 65535)\n";
      return kExitUsage;
    }
    if (IsKnownErrorCode(code))
      PrintErrorLine(code, out);
    else
      out << code << "\tKORVEL_NONE\t" << kUnknownErrorText << '\n';
    return kExitOk;
  });
}

int RunTablesCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  CLI::App app{"lists the tables of a database folder", "korvel tables"};
  std::string folder;
  app.add_option("DIR", folder)->required();
  return RunParsed(app, args, out, err, [&] {
    platform::TFileStatus status;
    if (!platform::StatPath(platform::NormalizeSeparators(folder), status) || !status.IsDirectory) {
      err << "korvel tables: folder '" << folder << "' does not exist\n";
      return kExitFailure;
    }
    TDataSession session(false);
    TDataDirectory* directory = session.OpenDataDirectory(folder, folder);
    TStringList names;
    names.SetCaseSensitive(false);
    directory->ListTableNames(names);
    names.Sort();
    for (const std::string& name : names.Items()) out << name << '\n';
    session.CloseDataDirectory(directory);
    return kExitOk;
  });
}

}  // namespace korvel::tool
