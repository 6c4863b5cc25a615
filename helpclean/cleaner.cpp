#include "cleaner.h"

#include <exception>

#include "errors.h"
#include "file_replace.h"
#include "help_files.h"
#include "line_filter.h"
#include "path_lookup.h"

namespace korvel::helpclean {

namespace {

void CleanHelpFile(const std::string& folder, std::string_view stem, const THelpFile& file) {
  const std::string path = ResolveEntry(folder, file.Name);
  const TFileContents contents = ReadRegularFile(path);
  const TFilterResult filtered = RemoveLine(contents.Text, file.Line);
  if (filtered.Removed == 0) return;  // nothing registered here: the file stays as it is
  if (IsReadOnly(contents.Info)) {
    throw ECleanError(path + ": file is read-only, its help entry was not removed");
  }
  ReplaceFile(path, stem, filtered.Text, contents.Info);
}

// Messages can quote paths from the command line; keep them to one printable line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

}  // namespace

void CleanHelpFiles(const TArguments& args) {
  const std::optional<std::string_view> stem = FindFileStem(args.Environment, args.Version);
  if (!stem) return;
  const std::string folder = ResolveFolder(args.Folder);
  for (const THelpFile& file : HelpFilesOf(*stem, args.Title, args.BaseName)) {
    CleanHelpFile(folder, *stem, file);
  }
}

int RunHelpClean(const std::vector<std::string>& args, std::ostream& err) {
  try {
    CleanHelpFiles(ParseArguments(args));
    return kExitSuccess;
  } catch (const EUsageError& e) {
    err << "helpclean: " << OneLine(e.what()) << '\n';
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "helpclean: " << OneLine(e.what()) << '\n';
    return kExitFailure;
  }
}

}  // namespace korvel::helpclean
