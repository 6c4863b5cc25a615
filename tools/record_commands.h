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
#include <string>
#include <vector>

#include "engine/data_table.h"

#include "tools/commands.h"

namespace korvel::tool {

int RunCreateCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunStructureCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunInsertCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunListCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunCountCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunSearchCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunDeleteCommand(const TArguments& args, std::ostream& out, std::ostream& err);

// The structure JSON and one member of its "indexes" (over `fields`); raise nlohmann's parse
// errors and CLI::ValidationError for a structure the tool cannot read.
TTableStructure ParseStructureJson(const std::string& text);
TIndexDefinition ParseIndexJson(const std::string& text, const std::vector<TFieldDefinition>& fields);

}  // namespace korvel::tool
