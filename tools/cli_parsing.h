#pragma once
// The tool's one way of reading a command line (CLI11), and the CSV helpers its commands share.

#include <CLI/CLI.hpp>

#include <cctype>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/errors.h"
#include "tools/commands.h"
#include "tools/progress_display.h"

namespace korvel::tool {

// Parses the words after the command name into `app`, then runs `body`. A wrong command line
// prints the error and the usage (status 2); --help prints the usage (status 0); an engine error
// prints its one line (status 1); a value the command cannot use prints why (status 2).
inline int RunParsed(CLI::App& app, const TArguments& args, std::ostream& out, std::ostream& err,
                     const std::function<int()>& body) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    err << app.get_name() << ": " << e.what() << '\n' << app.help();
    return kExitUsage;
  }
  try {
    return body();
  } catch (const EKORVELEngineError& e) {
    EndProgressLine(err);
    err << e.what() << '\n';
    return kExitFailure;
  } catch (const CLI::ValidationError& e) {
    EndProgressLine(err);
    err << app.get_name() << ": " << e.what() << '\n';
    return kExitUsage;
  } catch (const std::exception& e) {
    EndProgressLine(err);
    err << app.get_name() << ": " << e.what() << '\n';
    return kExitFailure;
  }
}

// Names compare trimmed and without regard to letter case.
inline bool SameName(const std::string& a, const std::string& b) {
  auto trim = [](const std::string& s) {
    std::size_t f = s.find_first_not_of(" \t"), l = s.find_last_not_of(" \t");
    return f == std::string::npos ? std::string() : s.substr(f, l - f + 1);
  };
  std::string x = trim(a), y = trim(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(x[i])) != std::toupper(static_cast<unsigned char>(y[i]))) return false;
  return true;
}

// One CSV field (RFC 4180): quoted when it holds a comma, quote or line end.
inline std::string CsvQuote(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// The fields of one CSV line (RFC 4180 quoting).
inline std::vector<std::string> SplitCsvLine(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

}  // namespace korvel::tool
