#include "arguments.h"

#include <algorithm>
#include <cstring>

#include "errors.h"

namespace korvel::helpclean {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string NormalizeFolder(std::string_view text) {
  std::string folder(text);
  std::replace(folder.begin(), folder.end(), '\\', '/');
  if (folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string SystemMessage(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<int> ParseVersion(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if (!std::all_of(whole.begin(), whole.end(), IsDigit) ||
      !std::all_of(fraction.begin(), fraction.end(), IsDigit)) {
    return std::nullopt;
  }
  if (!std::all_of(fraction.begin(), fraction.end(), [](char c) { return c == '0'; })) {
    return std::nullopt;  // a fraction such as 5.5 is no version of the table
  }
  long long value = 0;
  for (char c : whole) {
    value = value * 10 + (c - '0');
    if (value > 1'000'000'000) return std::nullopt;
  }
  return static_cast<int>(negative ? -value : value);
}

TArguments ParseArguments(const std::vector<std::string>& args) {
  if (args.size() != kArgumentCount) {
    throw EUsageError("expected 5 arguments, got " + std::to_string(args.size()) +
                      "; usage: helpclean ENVIRONMENT VERSION HELP-FOLDER TITLE BASE-NAME");
  }
  if (args[2].empty()) throw EUsageError("the help folder argument is empty");
  TArguments parsed;
  parsed.Environment = AsciiUpper(args[0]);
  parsed.Version = ParseVersion(args[1]);
  parsed.Folder = NormalizeFolder(args[2]);
  parsed.Title = args[3];
  parsed.BaseName = AsciiLower(args[4]);
  return parsed;
}

}  // namespace korvel::helpclean
