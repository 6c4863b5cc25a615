#pragma once
// Path helpers. The path separator is '/'; a '\' given by an application is read as one.
// The names of the "BS" helpers are kept from the platform where '\' separated folders; here they
// add and remove '/', like the "FS" helpers.

#include <string>

namespace korvel {

inline constexpr char OSBackSlash() { return '/'; }  // the folder separator
inline constexpr char OSForwardSlash() { return '/'; }
inline constexpr char OSColon() { return ':'; }
inline constexpr char OSExtSeparator() { return '.'; }

std::string AddBS(const std::string& path);               // a trailing '/' unless empty or present
std::string RemoveBS(const std::string& path);            // one trailing '/'
std::string RemoveLeadingBS(const std::string& path);     // one leading '/'
std::string RemoveAllBS(const std::string& path);         // every leading and trailing '/'
std::string RemoveAllLeadingBS(const std::string& path);
std::string RemoveAllTrailingBS(const std::string& path);
std::string AddFS(const std::string& path);
std::string RemoveFS(const std::string& path);
std::string ConvertSlashes(const std::string& path);      // every '\' becomes '/'
std::string StripSlash(const std::string& path);          // removes every '/'
std::string RemoveLastDir(const std::string& path);       // "/a/b/c/" -> "/a/b/"
bool ContainsDirectory(const std::string& path);          // holds a separator
std::string ExtractFileRoot(const std::string& path);     // "/a/b/c.DAT" -> "/a/b/"
std::string RemoveDriveRoot(const std::string& path);     // "/a/b" -> "a/b", "C:x" -> "x"
// If the trimmed name's extension equals `oldExt` (without regard to case) it is replaced by
// `newExt`, otherwise `newExt` is appended: ("customer", ".DAT", ".IDX") -> "customer.IDX".
std::string EnsureFileExt(const std::string& name, const std::string& oldExt, const std::string& newExt);
// "/a/b/c.DAT" -> "c".
std::string StripFilePathAndExtension(const std::string& path);
// Blanks (and control characters) removed from both ends.
std::string TrimString(const std::string& s);
// ASCII-case-insensitive equality of two names after trimming.
bool SameName(const std::string& a, const std::string& b);

bool IsRightSet(unsigned char rights, int n);
void SetRight(unsigned char& rights, int n, bool on);

}  // namespace korvel
