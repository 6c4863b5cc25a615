#pragma once
// Command line of helpclean: five positional arguments, converted once here so that the rest of
// the program sees only the forms it compares and builds paths from.
//
//   1 environment letter   upper-cased ("d" selects the same files as "D")
//   2 environment version  a decimal number; anything else matches no file set
//   3 help folder          '\' read as '/', a trailing '/' appended when missing
//   4 indexed title        as given
//   5 help file base name  lower-cased, without extension

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::helpclean {

constexpr int kArgumentCount = 5;

struct TArguments {
  std::string Environment;     // argument 1, upper-cased
  std::optional<int> Version;  // argument 2 when it is a whole number, else empty
  std::string Folder;          // argument 3, ends with '/'
  std::string Title;           // argument 4
  std::string BaseName;        // argument 5, lower-cased
};

// Converts the arguments after the program name. Throws EUsageError when there are not exactly
// five of them or the folder is empty (an empty folder would otherwise address the root).
TArguments ParseArguments(const std::vector<std::string>& args);

// Reads a version such as "6", " 5.0 " or "+5". Returns the value when the text is a decimal
// number with a whole value that fits an int; a non-number, a fraction or an overflow gives
// nothing, and so matches no file set.
std::optional<int> ParseVersion(std::string_view text);

std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);

}  // namespace korvel::helpclean
