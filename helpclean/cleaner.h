#pragma once
// The help index cleaner: takes the lines that registered the library's help file out of the
// help configuration files of one environment and version.

#include <ostream>
#include <string>
#include <vector>

#include "arguments.h"

namespace korvel::helpclean {

// Cleans the index, contents and link files in that order. Each file is rewritten only when it
// holds the line, and atomically; the first failure stops the run with ECleanError, leaving the
// files before it cleaned and the rest untouched. An environment and version without help
// files does nothing, without looking at the folder.
void CleanHelpFiles(const TArguments& args);

// The whole program: arguments after the program name in, exit status out, and on failure one
// line "helpclean: <reason>" on `err`.
int RunHelpClean(const std::vector<std::string>& args, std::ostream& err);

}  // namespace korvel::helpclean
