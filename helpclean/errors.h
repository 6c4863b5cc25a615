#pragma once
// The two ways helpclean fails. Both carry a message that main() prints as one line on standard
// error; the exit status tells an uninstaller which kind it was.

#include <stdexcept>
#include <string>

namespace korvel::helpclean {

constexpr int kExitSuccess = 0;  // done, or nothing to do for this environment and version
constexpr int kExitFailure = 1;  // a help file could not be read, written or replaced
constexpr int kExitUsage = 2;    // the command line is not five usable arguments

// A file operation failed. Files already cleaned stay cleaned; the failing one is unchanged.
class ECleanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The command line cannot be used; nothing was touched.
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "<what>: <strerror(error)>", for messages about a failed system call.
std::string SystemMessage(const std::string& what, int error);

}  // namespace korvel::helpclean
