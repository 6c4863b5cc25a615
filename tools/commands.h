#pragma once
// The commands of the korvel tool. Each takes the words after its name, writes its output and
// its errors to the given streams, and returns the process exit status.

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace korvel::tool {

using TArguments = std::vector<std::string>;

int RunErrorCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunTablesCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunDemoCommand(const TArguments& args, std::ostream& out, std::ostream& err);
// korvel sql; the second form reads a script given as "-" (or none) from `in`.
int RunSqlCommand(const TArguments& args, std::ostream& out, std::ostream& err);
int RunSqlCommand(const TArguments& args, std::istream& in, std::ostream& out, std::ostream& err);

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the engine or the system refused
inline constexpr int kExitUsage = 2;    // the command line is wrong

}  // namespace korvel::tool
