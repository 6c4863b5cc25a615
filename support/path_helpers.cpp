#include "support/path_helpers.h"

#include <strings.h>

#include <algorithm>

namespace korvel {

namespace {
constexpr char kSep = '/';
bool IsSep(char c) { return c == '/' || c == '\\'; }
}  // namespace

std::string AddBS(const std::string& path) {
  if (path.empty() || IsSep(path.back())) return path;
  return path + kSep;
}

std::string RemoveBS(const std::string& path) {
  if (!path.empty() && IsSep(path.back())) return path.substr(0, path.size() - 1);
  return path;
}

std::string RemoveLeadingBS(const std::string& path) {
  if (!path.empty() && IsSep(path.front())) return path.substr(1);
  return path;
}

std::string RemoveAllLeadingBS(const std::string& path) {
  std::size_t i = 0;
  while (i < path.size() && IsSep(path[i])) ++i;
  return path.substr(i);
}

std::string RemoveAllTrailingBS(const std::string& path) {
  std::size_t n = path.size();
  while (n > 0 && IsSep(path[n - 1])) --n;
  return path.substr(0, n);
}

std::string RemoveAllBS(const std::string& path) { return RemoveAllTrailingBS(RemoveAllLeadingBS(path)); }

std::string AddFS(const std::string& path) { return AddBS(path); }
std::string RemoveFS(const std::string& path) { return RemoveBS(path); }

std::string ConvertSlashes(const std::string& path) {
  std::string result = path;
  std::replace(result.begin(), result.end(), '\\', kSep);
  return result;
}

std::string StripSlash(const std::string& path) {
  std::string result;
  for (char c : path)
    if (!IsSep(c)) result += c;
  return result;
}

std::string RemoveLastDir(const std::string& path) {
  std::string trimmed = RemoveAllTrailingBS(path);
  std::size_t slash = trimmed.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  return trimmed.substr(0, slash + 1);
}

bool ContainsDirectory(const std::string& path) { return path.find_first_of("/\\") != std::string::npos; }

std::string ExtractFileRoot(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  return path.substr(0, slash + 1);
}

std::string RemoveDriveRoot(const std::string& path) {
  std::string result = path;
  if (result.size() >= 2 && result[1] == OSColon()) result = result.substr(2);
  return RemoveAllLeadingBS(result);
}

std::string TrimString(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  std::string x = TrimString(a), y = TrimString(b);
  return x.size() == y.size() && strncasecmp(x.data(), y.data(), x.size()) == 0;
}

std::string EnsureFileExt(const std::string& name, const std::string& oldExt, const std::string& newExt) {
  std::string trimmed = TrimString(name);
  std::size_t dot = trimmed.rfind(OSExtSeparator());
  std::size_t slash = trimmed.find_last_of("/\\");
  bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  if (hasExt) {
    std::string ext = trimmed.substr(dot);
    if (ext.size() == oldExt.size() && strncasecmp(ext.data(), oldExt.data(), ext.size()) == 0)
      return trimmed.substr(0, dot) + newExt;
  }
  return trimmed + newExt;
}

std::string StripFilePathAndExtension(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.rfind(OSExtSeparator());
  return dot == std::string::npos ? name : name.substr(0, dot);
}

bool IsRightSet(unsigned char rights, int n) { return n >= 0 && n < 8 && ((rights >> n) & 1) != 0; }

void SetRight(unsigned char& rights, int n, bool on) {
  if (n < 0 || n >= 8) return;
  if (on)
    rights = static_cast<unsigned char>(rights | (1u << n));
  else
    rights = static_cast<unsigned char>(rights & ~(1u << n));
}

}  // namespace korvel
