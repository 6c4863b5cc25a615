// Parses arbitrary text as an SQL script, statement after statement. A statement either parses
// or raises the SQL error; a failure leaves the statement empty, and every statement that parses
// moves the parser on, so a script always ends.

#include <cstddef>
#include <cstdint>
#include <string>

#include "sql/query_statement.h"
#include "support/errors.h"

namespace korvel {
namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckParsed(const TQueryStatement& statement) {
  Check(statement.GetMasterQuery().StatementKind != skUnknown);
  for (std::size_t i = 0; i < statement.DataQueryCount(); ++i) {
    const TDataQuery& q = statement.GetDataQuery(i);
    Check(q.StatementKind <= skCommit);
    for (const auto& t : q.SourceTables) Check(t->OutputOrder >= 1 && t->OutputOrder <= q.SourceTables.size());
  }
  // The parameters point into the trees: touching them after a stale free is ASan's to report.
  for (const TExpToken* p : statement.GetParameters()) Check(p->IsParameter == 1);
}

}  // namespace
}  // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  const std::string text(reinterpret_cast<const char*>(data), size);
  TQueryStatement statement(nullptr);
  try {
    statement.SetStatementText(text);
    std::size_t last = 0;
    bool first = true;
    while (!statement.AtEndOfText()) {
      statement.ParseNextStatement();
      Check(first || statement.GetStatementStart() > last);
      last = statement.GetStatementStart();
      first = false;
      CheckParsed(statement);
    }
  } catch (const EKORVELEngineError& e) {
    Check(e.ErrorCode == KORVEL_SQLPARSE);
    Check(statement.DataQueryCount() == 1 && statement.GetParameters().empty());
    Check(statement.GetMasterQuery().StatementKind == skUnknown && statement.AtEndOfText());
  }
  return 0;
}
