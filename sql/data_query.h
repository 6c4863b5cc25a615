#pragma once
// TDataQuery: one query of an SQL statement as the statement parser leaves it, with the lists it
// is filled with (source tables, result columns, ordering, grouping, update and definition
// lists). A statement has one master query plus one for every sub-select, every UNIONed query
// and the SELECT of an INSERT ... SELECT; all of them live in the statement's list
// (sql/query_statement.h), which owns them.
//
// Parsing fills the objects below and nothing else: no table is opened, no name is resolved
// against a table and no type is checked. Preparation and execution take the filled query from
// here (TQueryPreparer in sql/query_statement.h).
//
// Statement kinds (one byte, internal numbering; the component layer maps them to its own):
//    0 none      4 DELETE        8 CREATE INDEX       12 COMMIT
//    1 SELECT    5 CREATE TABLE  9 DROP INDEX
//    2 INSERT    6 ALTER TABLE  10 START TRANSACTION
//    3 UPDATE    7 DROP TABLE   11 ROLLBACK
//
// Expression trees set while parsing carry two marks in their SQL work bytes: a node that came
// from a JOIN ... ON condition has SQLWork2 = kFromJoinMark, and a comparison between two fields
// of such a condition has the join type in SQLWork1.

#include <bitset>
#include <cstdint>
#include <climits>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "expr/exp_token.h"
#include "expr/expression_parser.h"

namespace korvel {

class TQueryStatement;
class TDataQuery;

enum TStatementKind : std::uint8_t {
  skUnknown = 0,
  skSelect = 1,
  skInsert = 2,
  skUpdate = 3,
  skDelete = 4,
  skCreateTable = 5,
  skAlterTable = 6,
  skDropTable = 7,
  skCreateIndex = 8,
  skDropIndex = 9,
  skStartTransaction = 10,
  skRollback = 11,
  skCommit = 12,
};

// "SELECT", "CREATE TABLE", ...; "UNKNOWN" for 0 and any code outside the table.
std::string InternalStatementTypeToString(std::uint8_t kind);

enum TJoinType : std::uint8_t { jtNone = 0, jtInner = 1, jtLeftOuter = 2, jtRightOuter = 3, jtFullOuter = 4 };
enum TResultCalculation : std::uint8_t { rcNone, rcSum, rcRunSum, rcMin, rcMax, rcAvg, rcCount };
enum TFieldCharCase : std::uint8_t { fcNoChange = 0, fcLowerCase = 1, fcUpperCase = 2 };
enum TIndexCompression : std::uint8_t { icNone = 0, icDuplicateByte = 1, icTrailingByte = 2, icFull = 3 };

// How a query came to be: it decides what may close it (a terminator, a parenthesis, the INSERT
// that holds it) and which words end an implicit correlation name.
enum class TQueryRole : std::uint8_t { qrMaster, qrSubSelect, qrUnionPart, qrInsertSelect };

inline constexpr std::uint8_t kFromJoinMark = 1;  // SQLWork2 of every node of an ON condition

// Longest name, alias, expression text or password the lists keep.
inline constexpr std::size_t kMaxSQLNameLength = 255;
// Deepest nesting of queries (sub-selects inside sub-selects, UNION chains) the parser follows.
inline constexpr int kMaxQueryNesting = 128;

class TSourceTable;

// A join driven by a source table. Built when the query is prepared; the parser leaves the
// lists empty and ANDs every ON condition into the query's WHERE tree instead.
struct TTableJoin {
  TSourceTable* Owner = nullptr;   // the driving table; not owned
  TJoinType JoinType = jtNone;
  TSourceTable* Target = nullptr;  // not owned
  TExpTokenPtr Condition;
};

// One table of FROM, JOIN, INSERT INTO, UPDATE, DELETE FROM, or the target of a definition
// statement.
class TSourceTable {
 public:
  explicit TSourceTable(TDataQuery* query) : Query(query) {}

  TDataQuery* Query;             // owning query; not owned
  bool InMemory = false;         // MEMORY: the in-memory database
  std::string Name;              // as written, '\' read as '/', both parts joined
  std::string DatabaseName;      // "Memory", the written folder, or the statement's database
  std::string TableName;         // Name without folder and extension
  std::string CorrelationName;   // defaults to TableName
  bool CorrelationGiven = false;  // written explicitly (AS or implicit)
  std::uint16_t OutputOrder = 0;  // 1-based position in the FROM clause
  std::uint16_t JoinOrder = 0;    // execution order, set at prepare
  std::vector<std::unique_ptr<TTableJoin>> Joins;  // joins this table drives
};

// One column of a SELECT.
class TResultField {
 public:
  std::string FieldName;        // the field of a plain-field or aggregate-over-field column
  std::string TableName;        // its correlation name, when qualified
  std::string Alias;            // the result column name, when known
  bool ImplicitAlias = true;    // cleared when an alias is written
  std::string ExpressionText;   // the column as written, CR/LF removed
  TExpTokenPtr Expression;
  bool IsExpression = false;    // not a plain field (nor an aggregate over one)
  TResultCalculation Calculation = rcNone;
  bool CountAll = false;        // COUNT(*)
  // Filled when the columns are verified at prepare.
  TSourceTable* SourceTable = nullptr;
  std::uint16_t SourceFieldNumber = 0;
  std::uint16_t ResultFieldNumber = 0;
  std::uint8_t SourceDataType = 0, SourceSubType = 0, ResultDataType = 0, ResultSubType = 0;
  std::int32_t SourceSize = 0, ResultSize = 0;
  std::uint8_t SourceScale = 0, ResultScale = 0;
};

// One item of GROUP BY: a column name (with an optional correlation name) or a column number.
class TGroupByField {
 public:
  std::string FieldName;
  std::string TableName;
  std::uint16_t ColumnNumber = 0;  // 1-based; 0 when a name was given
};

class TOrderByField : public TGroupByField {
 public:
  bool Descending = false;
};

// A column of INSERT's column list or UPDATE's SET; a single "*" stands for all columns.
class TUpdateField {
 public:
  std::string FieldName;
  std::string TableName;
  std::string ExpressionText;
  TExpTokenPtr Expression;
};

// A value of INSERT's VALUES list or of an UPDATE assignment.
class TUpdateValue {
 public:
  std::string ExpressionText;
  TExpTokenPtr Expression;
};

// A column of CREATE TABLE, or one ADD / REDEFINE / DROP item of ALTER TABLE. The "given"
// flags say which attributes were written, so that REDEFINE changes only those.
class TCreateField {
 public:
  TExpTokenPtr Column;          // the column token: Name, DataType, SubType, size arguments 1, 2
  std::uint16_t FieldNumber = 0;
  std::string Name;
  std::string NewName;          // REDEFINE old new TYPE
  std::uint8_t DataType = 0;
  std::uint8_t SubType = 0;
  std::int32_t Size = 0;        // declared length of strings and bytes, BLOB size argument
  std::int32_t Scale = 0;       // BCD and FLOAT second argument
  bool TypeGiven = false;
  std::string Description;
  bool Required = false;        // NOT NULL
  TFieldCharCase CharCase = fcNoChange;
  std::string DefaultValue, MinimumValue, MaximumValue;
  bool Add = false, Redefine = false, Drop = false;
  std::uint16_t Position = 0;   // AT n; 0 = none
  bool DescriptionGiven = false, RequiredGiven = false, DefaultGiven = false;
  bool MinimumGiven = false, MaximumGiven = false, CharCaseGiven = false;
};

// An index of CREATE INDEX, a primary key, or a text index.
class TCreateIndex {
 public:
  // Fills FieldNames from FieldTokens: a field reference gives its name, a string constant the
  // field of that name; anything else keeps its text (the table creation rejects it).
  void BuildFieldsList();

  std::string Name;
  bool Unique = false;
  bool Descending = false;
  bool CaseInsensitive = false;
  TIndexCompression Compression = icNone;
  std::vector<TExpTokenPtr> FieldTokens;
  std::vector<std::string> FieldNames;
  bool Add = false, Redefine = false, Drop = false;
};

// Settings of CREATE TABLE and ALTER TABLE beyond columns and indexes, and the IF [NOT] EXISTS
// of every definition statement. ALTER TABLE keeps the table's value of every setting whose
// "given" flag is clear.
struct TTableDefinition {
  bool IfNotExists = false;
  bool IfExists = false;
  bool TextIndexGiven = false;
  TCreateIndex TextIndex;
  bool StopWordsGiven = false, SpaceCharsGiven = false, IncludeCharsGiven = false;
  std::vector<std::string> StopWords;
  std::bitset<256> SpaceChars, IncludeChars;
  bool DescriptionGiven = false;
  std::string Description;
  bool BlobBlockSizeGiven = false;
  std::int32_t BlobBlockSize = 512;
  bool UserMajorVersionGiven = false, UserMinorVersionGiven = false;
  std::int32_t UserMajorVersion = 1;
  std::int32_t UserMinorVersion = 0;
  bool LastAutoIncGiven = false;
  std::int32_t LastAutoIncValue = -1;  // -1: keep
  bool NoBackup = false;
};

class TDataQuery {
 public:
  TDataQuery(TQueryStatement* statement, TQueryRole role);
  TDataQuery(const TDataQuery&) = delete;
  TDataQuery& operator=(const TDataQuery&) = delete;
  ~TDataQuery();

  // Parses one query from the statement parser's current token. requireSelect: the query must
  // start with SELECT (sub-selects, INSERT ... SELECT); inParentheses: a ")" must follow it;
  // parentQuery: the query this one belongs to (UNION head, outer query, INSERT); isUnionPart:
  // the right-hand query of a UNION. Raises KORVEL_SQLPARSE; on return after an error the
  // query may be half filled, and the statement discards it.
  void ParseQuery(bool requireSelect, bool inParentheses, TDataQuery* parentQuery, bool isUnionPart);

  TQueryStatement* Statement;  // owner; not owned
  TQueryRole Role;
  std::uint8_t StatementKind = skUnknown;
  bool RequireSelect = false;
  bool Parenthesised = false;
  bool IsUnionPart = false;
  std::uint8_t RequestLive = 0;
  std::int32_t MaxNumOfRows = -1;
  double ExecutionTime = 0;
  std::int32_t RowsAffected = 0;

  // Flags set while parsing.
  bool Distinct = false;
  bool AllColumns = false;        // the column list is exactly "*"
  bool HasAverages = false;
  bool HasCalculatedColumns = false;
  bool HasWhere = false;
  bool HasJoins = false;
  bool NoJoinOptimize = false;
  bool HasOrderBy = false;
  bool OrderByNoCase = false;
  bool HasGroupBy = false;
  bool HasHaving = false;
  bool IntoMemory = false;
  bool InsertSelect = false;
  bool UnionFollows = false;
  bool UnionAll = true;
  bool WithLocks = false;
  bool NoAutoInc = false;
  bool LanguageGiven = false;
  bool SortGiven = false;
  bool EncryptedGiven = false;
  bool CommitIntervalGiven = false;
  bool CommitFlush = false;

  std::int32_t Top = -1;                // TOP n; -1 none
  std::int32_t CommitInterval = 0;
  std::uint16_t LanguageID = 0;
  std::uint16_t SortID = 0;
  std::string Password;                 // result table (SELECT) or table (definitions)
  bool Encrypted = false;
  std::string IntoTableName;            // INTO name [\ name], '\' read as '/'

  TDataQuery* UnionQuery = nullptr;     // the UNIONed query that follows; not owned
  TDataQuery* UnionParent = nullptr;    // for a UNIONed query, the query it belongs to
  TDataQuery* SelectQuery = nullptr;    // the SELECT of INSERT ... SELECT; not owned

  std::vector<std::unique_ptr<TSourceTable>> SourceTables;
  std::vector<std::unique_ptr<TSourceTable>> ExtraTables;  // filled at prepare
  std::vector<std::unique_ptr<TResultField>> ResultFields;
  std::vector<std::unique_ptr<TOrderByField>> OrderByFields;
  std::vector<std::unique_ptr<TGroupByField>> GroupByFields;
  std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
  std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
  std::vector<std::unique_ptr<TCreateField>> CreateFields;
  std::vector<std::unique_ptr<TCreateIndex>> CreateIndexes;  // CREATE INDEX, primary keys
  TTableDefinition Definition;

  TExpTokenPtr WhereExpression;  // every WHERE and JOIN ... ON condition, ANDed
  TExpTokenPtr HavingExpression;
  TExpTokenPtr ScanExpression;   // set at prepare
  TExpTokenPtr TempScanExpression;

 private:
  // Implementation details follow: one function per rule of the grammar. sql/query_parser.cpp
  // has the queries and data changes, sql/definition_parser.cpp the definitions.
  enum class TNameStop : std::uint8_t { kSelectFrom, kInsertSelectFrom, kJoin, kUpdateFrom, kDelete,
                                        kUpdateTarget, kInsert };
  TExpressionParser& Parser() const;
  void Reset();
  void Next();
  bool Is(const char* word) const;
  bool Kind(int kind) const;
  bool IsNameToken() const;        // symbol or quoted text: tables, correlation names
  bool IsColumnNameToken() const;  // also a bracketed name: aliases, ORDER and GROUP BY
  [[noreturn]] void InsteadFound(const std::string& message) const;
  [[noreturn]] void Fail(const std::string& message) const;
  std::string NameText() const;
  std::int32_t ExpectInteger(const std::string& message, std::int32_t maximum = INT32_MAX);
  TExpTokenPtr ParseClause(TParseModifiers modifiers, const char* context, const char* emptyMessage,
                           std::string* text, bool primary = false);
  void ParseTerminator();

  std::unique_ptr<TSourceTable> ReadTableReference(const std::string& message,
                                                   const std::string& afterMemoryMessage);
  void SetTableName(TSourceTable& table, const std::string& name) const;
  TSourceTable* AddSourceTable(std::unique_ptr<TSourceTable> table, bool atFront);
  void ParseCorrelationName(TSourceTable& table, TNameStop stop);
  bool IsStopWord(TNameStop stop) const;
  void ParseFromList(TNameStop stop, TSourceTable* updateTarget);
  void ParseJoins(int& openParentheses);
  void AndIntoWhere(TExpTokenPtr condition);

  bool IsInsertSelect() const;
  void ParseSelect();
  void ParseSelectColumns();
  void ParseSelectColumnExpression(TResultField& column);
  void ParseColumnAlias(TResultField& column);
  void ParseInto();
  void ParseWhere();
  void ParseGroupBy();
  void ParseOrderBy();
  void ParseColumnItem(TGroupByField& item, const std::string& message);
  void ParseTop();
  void ParseSelectExtensions();
  void ParseLanguage();
  void ParseEncrypted();
  void ParseUnion();
  void ParseInsert();
  void ParseUpdate();
  void ParseDelete();
  void ParseCommitExtension();
  void ParseTransaction();

  void ParseCreate();
  void ParseCreateTable();
  void ParseCreateIndex();
  void ParseAlterTable();
  void ParseDrop();
  TSourceTable* ParseDefinitionTable(const std::string& message);
  void ParseColumnDefinition(TCreateField& field, bool typeRequired, bool alter);
  void ParseColumnAttributes(TCreateField& field, bool alter);
  std::string ParseAttributeValue(const char* keyword);
  void ParseIndexAttributes(TCreateIndex& index);
  bool IsIndexAttribute() const;
  void ParseIndexFields(TCreateIndex& index, const std::string& leftMessage, const std::string& rightMessage);
  void ParseCompression(TCreateIndex& index);
  void ParsePrimaryKey(TCreateIndex& index);
  void ParseTableExtensions(bool alter);
  std::string ParseConstantText(const char* context);
  void ParseAlterItem();
  void ParseIfExists(bool notExists);
  bool IsColumnListEnd() const;
  bool IsColumnAttribute() const;
  bool IsTableExtension() const;
  void SkipConstraintName();
  std::int32_t ParseSignedInteger(const char* context);
  void ParseDropIndexName();

  int whereDepth_ = 0;  // levels of WhereExpression, kept as conditions are ANDed in
  std::unordered_set<std::string> correlationKeys_;  // upper-cased correlation names in use
};

}  // namespace korvel
