#include "path_lookup.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

#include "errors.h"

namespace korvel::helpclean {

namespace {

struct TDirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The name on disk of `name` inside `folder` ("" for the current folder, else ending in '/').
std::string FindName(const std::string& folder, const std::string& name) {
  struct stat info;
  if (name == "." || name == ".." || lstat((folder + name).c_str(), &info) == 0) return name;
  std::unique_ptr<DIR, TDirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir) return name;
  std::vector<std::string> matches;
  while (const dirent* entry = readdir(dir.get())) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) matches.emplace_back(entry->d_name);
  }
  if (matches.size() > 1) {
    throw ECleanError(folder + name + ": several names differ from it only in letter case (" +
                      matches[0] + ", " + matches[1] + ")");
  }
  return matches.empty() ? name : matches.front();
}

}  // namespace

std::string ResolveFolder(const std::string& folder) {
  std::string resolved = folder.front() == '/' ? "/" : "";
  std::size_t start = 0;
  while (start < folder.size()) {
    std::size_t end = folder.find('/', start);
    if (end == std::string::npos) end = folder.size();
    if (end > start) resolved += FindName(resolved, folder.substr(start, end - start)) + "/";
    start = end + 1;
  }
  return resolved;
}

std::string ResolveEntry(const std::string& folder, const std::string& name) {
  return folder + FindName(folder, name);
}

}  // namespace korvel::helpclean
