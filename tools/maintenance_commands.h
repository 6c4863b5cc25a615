#pragma once
// The table maintenance commands of the korvel tool:
//
//   korvel empty DIR TABLE
//   korvel drop DIR TABLE
//   korvel rename DIR TABLE NEWNAME
//   korvel copy DIR TABLE DESTDIR DESTTABLE [--no-indexes]     (DESTDIR "Memory": in memory)
//   korvel optimize DIR TABLE [--index NAME] [--no-backup]
//   korvel restructure DIR TABLE STRUCTURE.json [--backup] [--accept-loss]
//   korvel add-index DIR TABLE INDEX.json
//   korvel drop-index DIR TABLE NAME
//
// Each takes --password P; the long ones (copy, optimize, restructure, add-index) show a progress bar on a
// terminal, plain NN% lines on standard error with --progress, none with --quiet.

#include <ostream>

#include "tools/commands.h"

namespace korvel::tool {

int RunEmptyCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunDropCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunRenameCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunCopyCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunOptimizeCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunRestructureCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunAddIndexCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunDropIndexCommand(const TArguments& args, std::ostream& out, std::ostream& err);

}  // namespace korvel::tool
