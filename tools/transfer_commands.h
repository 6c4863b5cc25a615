#pragma once
// The commands of the korvel tool that move a table's data in and out:
//
//   korvel import DIR TABLE FILE [--delimiter C] [--headers] [--fields A,B] [--date-format F]
//                 [--time-format F] [--decimal C] [--progress | --quiet]
//   korvel export DIR TABLE FILE [same options] [--index NAME] [--filter EXPR]
//   korvel backup DIR TABLE FILE     the table's files as one image file
//   korvel restore DIR TABLE FILE    the image back over the table (or as a new table)
//
// Text carries every value in the tool's lossless forms, BLOBs included; backup and restore
// open the table exclusively.

#include <ostream>

#include "tools/commands.h"

namespace korvel::tool {

int RunImportCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunExportCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunBackupCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunRestoreCommand(const TArguments& args, std::ostream& out, std::ostream& err);

}  // namespace korvel::tool
