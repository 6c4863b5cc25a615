#pragma once
// Reading a help configuration file whole, and replacing it without ever losing it.
//
// Replacement writes the new text to a fresh work file in the folder of the file (the real
// file when the path is a symbolic link, so the link survives), gives it the original's mode
// and, where permitted, its owner, flushes it to disk, and only then renames it over the
// original and flushes the folder. Until that rename the original is untouched; after it, the
// new text is complete. On any failure the work file is removed and the original stays as it was.

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace korvel::helpclean {

struct TFileContents {
  std::string Text;
  struct stat Info;  // of the file read: mode and owner carry over to its replacement
};

// Reads a regular file. Throws ECleanError for a missing, unreadable or non-regular file
// (a FIFO or device is refused rather than waited on).
TFileContents ReadRegularFile(const std::string& path);

// True when the file has no write bit in its mode: the owner marked it read-only, which the
// program honours even when its user could write it anyway.
bool IsReadOnly(const struct stat& info);

// Replaces the file at `path` with `text` as described above; work files are named
// "<workStem>.new.XXXXXX". Throws ECleanError naming the step that failed.
void ReplaceFile(const std::string& path, std::string_view workStem, std::string_view text,
                 const struct stat& original);

}  // namespace korvel::helpclean
