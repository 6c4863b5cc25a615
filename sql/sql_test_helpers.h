#pragma once
// Helpers of the SQL parser tests: parse a text, or get the detail of the error it raises.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sql/query_statement.h"
#include "support/errors.h"

namespace korvel::sqltest {

inline std::unique_ptr<TQueryStatement> Parse(const std::string& text) {
  auto statement = std::make_unique<TQueryStatement>(nullptr);
  statement->ParseStatement(text);
  return statement;
}

// The detail text of the SQL error that parsing raises ("" when the text parses); any other
// error code is reported as such, so that it cannot pass for a parse error.
inline std::string ParseError(const std::string& text) {
  TQueryStatement statement(nullptr);
  try {
    statement.SetStatementText(text);
    while (!statement.AtEndOfText()) statement.ParseNextStatement();
  } catch (const EKORVELEngineError& e) {
    if (e.ErrorCode != KORVEL_SQLPARSE) return "error code " + std::to_string(e.ErrorCode);
    return e.ErrorMessage;
  }
  return "";
}

// The kinds of the statements of a script, as the tool prints them.
inline std::vector<std::string> ScriptKinds(const std::string& text) {
  TQueryStatement statement(nullptr);
  std::vector<std::string> kinds;
  statement.SetStatementText(text);
  while (!statement.AtEndOfText()) {
    statement.ParseNextStatement();
    kinds.push_back(InternalStatementTypeToString(statement.GetMasterQuery().StatementKind));
  }
  return kinds;
}

inline std::string Names(const TDataQuery& query) {
  std::string out;
  for (const auto& t : query.SourceTables) {
    if (!out.empty()) out += ",";
    out += t->TableName + ":" + t->CorrelationName + ":" + std::to_string(t->OutputOrder);
  }
  return out;
}

}  // namespace korvel::sqltest
