#pragma once
// TQueryStatement: one SQL statement (or script) on a database, and its parser.
//
// The statement owns its data queries (master first), the expression parser whose tokens the
// statement parser reads, and the list of "?" parameters in the order they were met. Parsing
// is a recursive descent over the expression parser's tokens: the statement parser reads
// keywords, names and punctuation itself and hands every expression to the expression parser.
//
//   SetStatementText(text) takes the text (a statement or a script) and reads its first token
//   ParseNextStatement()   frees the queries and parameters and parses the statement at the
//                          current token, up to and including its terminator
//   AtEndOfText()          whether the text holds no further statement
//   ParseStatement(text)   SetStatementText, then ParseNextStatement
//   PrepareStatement(text) ParseStatement, then PrepareDataQueries
//
// Every parse error is KORVEL_SQLPARSE ("SQL error - %s"). A failed parse keeps nothing: the
// data queries are replaced by one empty master query, the parameter list is cleared and the
// statement kind is 0, so a statement that failed is never half filled.
//
// Preparation and execution are the executing layer's: it installs a TQueryPreparer, which
// PrepareDataQueries calls for every data query from the last to the first. A statement with
// no preparer is parsed and checked for syntax only (the korvel tool's --check).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "expr/expression_parser.h"
#include "sql/data_query.h"

namespace korvel {

class TDataDirectory;

// The executing layer's side of preparation.
class TQueryPreparer {
 public:
  virtual ~TQueryPreparer() = default;
  virtual void PrepareQuery(TDataQuery& query) = 0;
};

// Called after a statement is prepared: its kind and the live-result, live-cursor and
// all-columns flags.
struct TQueryStatementCallback {
  using TFunction = void (*)(void* userData, std::uint8_t kind, bool liveResult, bool liveCursor,
                             bool allColumns);
  void* UserData = nullptr;
  TFunction Function = nullptr;
};

inline constexpr const char* kSQLContextDescription = "SQL statement";

class TQueryStatement : public TExpressionParserOwner {
 public:
  // directory may be null: the statement then belongs to no database, and names without a
  // folder get an empty database part.
  explicit TQueryStatement(TDataDirectory* directory);
  TQueryStatement(const TQueryStatement&) = delete;
  TQueryStatement& operator=(const TQueryStatement&) = delete;
  ~TQueryStatement() override;

  void SetStatementText(const std::string& text);
  void ParseNextStatement();
  bool AtEndOfText() const;
  void ParseStatement(const std::string& text);
  void PrepareStatement(const std::string& text);
  // Records the master's kind and result flags, prepares every query from the last to the
  // first through the preparer, then calls the statement callback.
  void PrepareDataQueries();

  void SetMaxNumOfRows(std::int32_t count);
  void SetRequestLive(bool value) { RequestLive = value ? 1 : 0; }
  void SetQueryStatementCallback(TQueryStatementCallback callback) { statementCallback_ = callback; }
  void SetPreparer(TQueryPreparer* preparer) { preparer_ = preparer; }

  TDataDirectory* GetDataDirectory() const { return directory_; }
  // The part of the names of tables without a folder: the database's name, or "" without one.
  const std::string& GetDatabaseName() const { return databaseName_; }
  std::size_t DataQueryCount() const { return dataQueries_.size(); }
  TDataQuery& GetDataQuery(std::size_t i) const { return *dataQueries_.at(i); }
  TDataQuery& GetMasterQuery() const { return *dataQueries_.front(); }
  const std::vector<TExpToken*>& GetParameters() const { return parameters_; }
  TExpressionParser& GetParser() { return parser_; }
  // Offset in the text of the statement that was parsed last.
  std::size_t GetStatementStart() const { return statementStart_; }

  // A new query at the end of the list.
  TDataQuery* AddDataQuery(TQueryRole role);
  // Moves the query at index from to index to; index 0 makes it the master.
  void MoveDataQuery(std::size_t from, std::size_t to);

  // Bounds the nesting of queries being parsed (sub-selects, UNION chains).
  void EnterQuery();
  void LeaveQuery() { --queryNesting_; }

  // TExpressionParserOwner
  void AddParameter(TExpToken* parameter) override;
  TDataQuery* ParseSubSelect(TExpressionParser& parser) override;

  std::uint8_t RequestLive = 0;
  std::int32_t MaxNumOfRows = -1;
  // After prepare.
  std::uint8_t StatementKind = skUnknown;
  bool LiveResult = false;
  bool LiveCursor = false;
  bool AllColumns = false;
  // After execute.
  double ExecutionTime = 0;
  std::int32_t RowsAffected = 0;

 private:
  void ResetQueries();

  TDataDirectory* directory_;  // not owned
  std::string databaseName_;
  std::vector<std::unique_ptr<TDataQuery>> dataQueries_;
  std::vector<TExpToken*> parameters_;  // not owned: the tokens belong to the trees
  TExpressionParser parser_;
  TQueryPreparer* preparer_ = nullptr;  // not owned
  TQueryStatementCallback statementCallback_;
  int queryNesting_ = 0;
  std::size_t statementStart_ = 0;
};

}  // namespace korvel
