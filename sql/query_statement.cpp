#include "sql/query_statement.h"

#include <utility>

#include "engine/session.h"
#include "support/errors.h"

namespace korvel {

TQueryStatement::TQueryStatement(TDataDirectory* directory) : directory_(directory), parser_(this) {
  if (directory_ != nullptr) databaseName_ = directory_->GetProperDataDirectoryName();
  parser_.ErrorCode = KORVEL_SQLPARSE;
  parser_.ContextDescription = kSQLContextDescription;
  ResetQueries();
}

TQueryStatement::~TQueryStatement() {
  // The parameters point into the queries' trees: forget them before the trees go.
  parameters_.clear();
  dataQueries_.clear();
  parser_.FreeExpression();
}

void TQueryStatement::ResetQueries() {
  parameters_.clear();
  dataQueries_.clear();
  dataQueries_.push_back(std::make_unique<TDataQuery>(this, TQueryRole::qrMaster));
  StatementKind = skUnknown;
  LiveResult = LiveCursor = AllColumns = false;
  queryNesting_ = 0;
}

void TQueryStatement::SetStatementText(const std::string& text) {
  ResetQueries();
  parser_.ContextDescription = kSQLContextDescription;
  parser_.SetExpression(text);
  try {
    parser_.NextToken();
  } catch (...) {
    parser_.FreeExpression();
    throw;
  }
}

void TQueryStatement::ParseNextStatement() {
  ResetQueries();
  statementStart_ = parser_.GetCurPos();
  try {
    parser_.ContextDescription = kSQLContextDescription;
    GetMasterQuery().ParseQuery(false, false, nullptr, false);
  } catch (...) {
    // Nothing of a failed parse survives: half-filled queries, trees and the parameters that
    // pointed into them all go, and so does the rest of the text.
    ResetQueries();
    parser_.FreeExpression();
    throw;
  }
}

void TQueryStatement::ParseStatement(const std::string& text) {
  SetStatementText(text);
  ParseNextStatement();
}

void TQueryStatement::PrepareStatement(const std::string& text) {
  if (directory_ != nullptr && directory_->Session != nullptr && directory_->Session->IsRemote) {
    // The remote form hands the text to the database server, which this build cannot reach.
    RaiseError(KORVEL_REMOTECONNECT);
  }
  ParseStatement(text);
  PrepareDataQueries();
}

bool TQueryStatement::AtEndOfText() const { return parser_.TokenKind() == tkEnd; }

void TQueryStatement::PrepareDataQueries() {
  TDataQuery& master = GetMasterQuery();
  StatementKind = master.StatementKind;
  if (master.StatementKind == skSelect) {
    master.RequestLive = RequestLive;
    master.MaxNumOfRows = MaxNumOfRows;
  } else {
    master.RequestLive = 1;
    master.MaxNumOfRows = -1;
  }
  if (preparer_ != nullptr) {
    for (std::size_t i = dataQueries_.size(); i-- > 0;) preparer_->PrepareQuery(*dataQueries_[i]);
  }
  // The result flags are the preparer's to set on the master query; parsing alone sets only
  // the all-columns flag.
  AllColumns = master.AllColumns;
  if (statementCallback_.Function != nullptr) {
    statementCallback_.Function(statementCallback_.UserData, StatementKind, LiveResult, LiveCursor, AllColumns);
  }
}

void TQueryStatement::SetMaxNumOfRows(std::int32_t count) {
  MaxNumOfRows = count;
  GetMasterQuery().MaxNumOfRows = count;
}

TDataQuery* TQueryStatement::AddDataQuery(TQueryRole role) {
  dataQueries_.push_back(std::make_unique<TDataQuery>(this, role));
  return dataQueries_.back().get();
}

void TQueryStatement::MoveDataQuery(std::size_t from, std::size_t to) {
  if (from >= dataQueries_.size() || to >= dataQueries_.size() || from == to) return;
  std::unique_ptr<TDataQuery> query = std::move(dataQueries_[from]);
  dataQueries_.erase(dataQueries_.begin() + static_cast<std::ptrdiff_t>(from));
  dataQueries_.insert(dataQueries_.begin() + static_cast<std::ptrdiff_t>(to), std::move(query));
}

void TQueryStatement::EnterQuery() {
  if (++queryNesting_ > kMaxQueryNesting) {
    --queryNesting_;
    parser_.RaiseParseError("Queries nested more than " + std::to_string(kMaxQueryNesting) +
                            " levels deep in " + kSQLContextDescription);
  }
}

void TQueryStatement::AddParameter(TExpToken* parameter) { parameters_.push_back(parameter); }

TDataQuery* TQueryStatement::ParseSubSelect(TExpressionParser& parser) {
  // The expression parser stands at SELECT after "IN (" and reads the ")" itself; its context
  // phrase is the outer clause's, which the sub-select's own clauses replace and restore.
  const std::string context = parser.ContextDescription;
  TDataQuery* query = AddDataQuery(TQueryRole::qrSubSelect);
  query->RequestLive = 1;
  query->ParseQuery(true, true, nullptr, false);
  parser.ContextDescription = context;
  return query;
}

}  // namespace korvel
