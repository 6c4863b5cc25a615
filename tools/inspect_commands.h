#pragma once
// The inspection commands of the korvel tool, which read a table's data file directly:
//
//   korvel info [--json] [--password P] DIR TABLE
//       the table header and the field definitions, readably or as one JSON object
//   korvel dump [--physical] [--password P] DIR TABLE
//       the live records as CSV (RFC 4180) with a header row of field names; --physical adds
//       the columns #record, #id and #free and lists free records too
//
// Both only read: they open the table shared and never write to it.

#include <ostream>
#include <string>
#include <vector>

namespace korvel::tool {

int RunInfoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunDumpCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace korvel::tool
