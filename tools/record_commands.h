#pragma once
// The table and record commands of the korvel tool, which work through the engine's cursor:
//
//   korvel create DIR TABLE STRUCTURE.json [--overwrite]
//   korvel structure DIR TABLE
//   korvel insert DIR TABLE FIELD=VALUE...
//   korvel list DIR TABLE [--index NAME] [--range START END] [--find KEY [--nearest]] [--reverse]
//               [--offset N] [--limit N] [--fields A,B] [--json]
//   korvel count DIR TABLE [--index NAME] [--range START END]

#include <ostream>

#include "tools/commands.h"

namespace korvel::tool {

int RunCreateCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunStructureCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunInsertCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunListCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunCountCommand(const TArguments& args, std::ostream& out, std::ostream& err);

}  // namespace korvel::tool
