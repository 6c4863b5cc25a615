#pragma once
// The verification, repair and upgrade commands of the korvel tool:
//
//   korvel verify DIR TABLE                        exit 0 healthy, 3 problems found
//   korvel repair DIR TABLE [--force-index-rebuild] exit 0 when the table verifies afterwards
//   korvel upgrade DIR TABLE
//
// Each takes --password P; the log goes to standard output, one line per finding; progress (the
// step text and a bar) to standard error on a terminal, plain NN% lines with --progress, none
// with --quiet.

#include <ostream>

#include "tools/commands.h"

namespace korvel::tool {

inline constexpr int kExitProblems = 3;  // verify found problems

int RunVerifyCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunRepairCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunUpgradeCommand(const TArguments& args, std::ostream& out, std::ostream& err);

}  // namespace korvel::tool
