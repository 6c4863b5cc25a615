#pragma once
// Which help configuration files an environment and version has, and which line in each of
// them registered the library's help file.
//
// Every environment keeps three text files under one stem in its help folder, handled in this
// order:
//
//   FILE         LINE THAT REGISTERED THE HELP FILE (T = title, B = base name)
//   <stem>.ohi   ":Index " T "=" B ".hlp"      index
//   <stem>.ohc   ":Include " B ".cnt"          contents
//   <stem>.ohl   ":Link " B ".hlp"             link
//
// Work files for the replacement are named "<stem>.new.XXXXXX" beside the original.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::helpclean {

// One help configuration file and the line to take out of it.
struct THelpFile {
  std::string Name;  // lower-case file name inside the help folder
  std::string Line;  // the exact line to remove, without its line break
};

// The file stem of an environment (upper-case letter) and version, or nothing when that
// combination has no help files to clean.
std::optional<std::string_view> FindFileStem(std::string_view environment,
                                             std::optional<int> version);

// The three files of a stem with their lines, in the order index, contents, link.
std::vector<THelpFile> HelpFilesOf(std::string_view stem, std::string_view title,
                                   std::string_view baseName);

}  // namespace korvel::helpclean
