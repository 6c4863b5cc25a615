// korvel error, korvel tables.

#include <cstdlib>

#include "engine/session.h"
#include "framework/string_list.h"
#include "platform/posix_file.h"
#include "support/errors.h"
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
  if (args.size() != 1) {
    err << "korvel error: expected one error code or --all\n";
    return kExitUsage;
  }
  if (args[0] == "--all") {
    std::size_t count = 0;
    const TErrorCode* codes = AllErrorCodes(count);
    for (std::size_t i = 0; i < count; ++i) PrintErrorLine(codes[i], out);
    return kExitOk;
  }
  TErrorCode code = 0;
  if (!ParseCode(args[0], code)) {
    err << "korvel error: '" << args[0] << "' is not an error code (0 to 65535)\n";
    return kExitUsage;
  }
  if (IsKnownErrorCode(code))
    PrintErrorLine(code, out);
  else
    out << code << "\tKORVEL_NONE\t" << kUnknownErrorText << '\n';
  return kExitOk;
}

int RunTablesCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) {
    err << "korvel tables: expected one folder\n";
    return kExitUsage;
  }
  platform::TFileStatus status;
  if (!platform::StatPath(platform::NormalizeSeparators(args[0]), status) || !status.IsDirectory) {
    err << "korvel tables: folder '" << args[0] << "' does not exist\n";
    return kExitFailure;
  }
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory(args[0], args[0]);
  TStringList names;
  names.SetCaseSensitive(false);
  directory->ListTableNames(names);
  names.Sort();
  for (const std::string& name : names.Items()) out << name << '\n';
  session.CloseDataDirectory(directory);
  return kExitOk;
}

}  // namespace korvel::tool
