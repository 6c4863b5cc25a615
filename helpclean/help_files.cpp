#include "help_files.h"

#include <array>

namespace korvel::helpclean {

namespace {

struct TFileSetEntry {
  std::string_view Environment;
  int Version;
  std::string_view Stem;
};

constexpr std::array<TFileSetEntry, 3> kFileSets = {{
    {"D", 5, "delphi5"},
    {"D", 6, "delphi6"},
    {"C", 5, "bcb5"},
}};

std::string Concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

}  // namespace

std::optional<std::string_view> FindFileStem(std::string_view environment,
                                             std::optional<int> version) {
  if (!version) return std::nullopt;
  for (const TFileSetEntry& entry : kFileSets) {
    if (entry.Environment == environment && entry.Version == *version) return entry.Stem;
  }
  return std::nullopt;
}

std::vector<THelpFile> HelpFilesOf(std::string_view stem, std::string_view title,
                                   std::string_view baseName) {
  return {
      {Concat({stem, ".ohi"}), Concat({":Index ", title, "=", baseName, ".hlp"})},
      {Concat({stem, ".ohc"}), Concat({":Include ", baseName, ".cnt"})},
      {Concat({stem, ".ohl"}), Concat({":Link ", baseName, ".hlp"})},
  };
}

}  // namespace korvel::helpclean
