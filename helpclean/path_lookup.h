#pragma once
// Case-insensitive lookup of the help folder and its files.
//
// The help configuration comes from a platform whose file names ignore letter case, and the
// program builds its file names in lower case. So every component of the folder and the file
// name itself is looked up the same way: the name as given when it exists, otherwise the one
// directory entry that differs from it only in letter case (ASCII). Several such entries are an
// error rather than a guess, since the wrong one would be rewritten.

#include <string>

namespace korvel::helpclean {

// The folder (ending with '/') with each existing component replaced by its name on disk.
// Components that cannot be found are kept as given; opening a file there then reports why.
std::string ResolveFolder(const std::string& folder);

// The path of `name` inside a folder returned by ResolveFolder.
std::string ResolveEntry(const std::string& folder, const std::string& name);

}  // namespace korvel::helpclean
