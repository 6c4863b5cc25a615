// The statement parser for queries, data changes and transactions: SELECT (with joins, unions and
// sub-selects), INSERT, UPDATE, DELETE, START TRANSACTION, ROLLBACK and COMMIT. The definition
// statements are in sql/definition_parser.cpp.
//
// Token protocol: every Parse function starts at the first token of its construct and returns
// with the first token after it current, like the expression parser's levels. Messages that end
// in "instead found '" are completed with the current token's text and "'".

#include <charconv>
#include <cctype>

#include "engine/session.h"
#include "sql/data_query.h"
#include "sql/query_statement.h"
#include "support/data_types.h"
#include "support/language.h"
#include "support/path_helpers.h"

namespace korvel {

namespace {

constexpr TParseModifiers kColumnModifiers = pmAllowAggregates | pmAllowAllFields | pmAllowExtPredicates;
constexpr TParseModifiers kWhereModifiers = pmAllowExtPredicates | pmAllowParameters | pmAllowSubSelects;
constexpr TParseModifiers kJoinModifiers = pmAllowExtPredicates | pmAllowParameters;
constexpr const char* kWhereContext = "WHERE or JOIN clause";
constexpr const char* kWhereEmpty = "WHERE or JOIN clause is empty";

bool IsAggregate(const TExpToken* t) {
  return t != nullptr && t->NodeClass == enFUNC && t->Operator >= eoSUM && t->Operator <= eoAVG;
}

// Walks a tree without recursion (trees may be thousands of levels deep).
template <typename TVisit>
void VisitTree(TExpToken* root, TVisit visit) {
  std::vector<TExpToken*> pending{root};
  while (!pending.empty()) {
    TExpToken* t = pending.back();
    pending.pop_back();
    if (t == nullptr) continue;
    if (!visit(*t)) return;
    pending.push_back(t->Left);
    pending.push_back(t->Right);
    pending.push_back(t->Third);
    for (TExpToken* a : t->Arguments) pending.push_back(a);
  }
}

bool ContainsAggregate(TExpToken* root) {
  bool found = false;
  VisitTree(root, [&](TExpToken& t) {
    found = IsAggregate(&t);
    return !found;
  });
  return found;
}

TResultCalculation CalculationOf(TExpOperator op) {
  switch (op) {
    case eoSUM: return rcSum;
    case eoRUNSUM: return rcRunSum;
    case eoMIN: return rcMin;
    case eoMAX: return rcMax;
    case eoAVG: return rcAvg;
    case eoCOUNT: return rcCount;
    default: return rcNone;
  }
}

bool IsFieldComparison(const TExpToken& t) {
  return t.NodeClass == enBINARY && t.Operator >= eoEQ && t.Operator <= eoLE && t.Left != nullptr &&
         t.Right != nullptr && t.Left->NodeClass == enFIELD && t.Right->NodeClass == enFIELD;
}

// Every node of an ON condition comes from a JOIN; comparisons between two fields carry the
// join type, by which the joins are built at prepare.
void MarkJoinCondition(TExpToken* root, TJoinType type) {
  VisitTree(root, [&](TExpToken& t) {
    t.SQLWork2 = kFromJoinMark;
    if (IsFieldComparison(t)) t.SQLWork1 = type;
    return true;
  });
}

std::string UpperKey(const std::string& name) {
  std::string key = TrimString(name);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace

std::string InternalStatementTypeToString(std::uint8_t kind) {
  static const char* const kNames[] = {"UNKNOWN",      "SELECT",      "INSERT",       "UPDATE",
                                       "DELETE",       "CREATE TABLE", "ALTER TABLE",  "DROP TABLE",
                                       "CREATE INDEX", "DROP INDEX",  "START TRANSACTION", "ROLLBACK",
                                       "COMMIT"};
  return kind < std::size(kNames) ? kNames[kind] : kNames[0];
}

TDataQuery::TDataQuery(TQueryStatement* statement, TQueryRole role) : Statement(statement), Role(role) {}

TDataQuery::~TDataQuery() = default;

// ---- token helpers ----------------------------------------------------------------------

TExpressionParser& TDataQuery::Parser() const { return Statement->GetParser(); }

void TDataQuery::Next() { Parser().NextToken(); }

bool TDataQuery::Is(const char* word) const { return Parser().CheckTokenSymbol(word); }

bool TDataQuery::Kind(int kind) const { return Parser().TokenKind() == kind; }

bool TDataQuery::IsNameToken() const { return Kind(tkSymbol) || Kind(tkQuoted); }

bool TDataQuery::IsColumnNameToken() const { return IsNameToken() || Kind(tkBracketed); }

void TDataQuery::InsteadFound(const std::string& message) const {
  Parser().RaiseParseError(message + Parser().TokenAsString() + "'");
}

void TDataQuery::Fail(const std::string& message) const { Parser().RaiseParseError(message); }

std::string TDataQuery::NameText() const {
  std::string name = Parser().TokenAsString();
  if (name.size() > kMaxSQLNameLength) {
    Fail("Names must not be longer than " + std::to_string(kMaxSQLNameLength) + " characters, instead found '" +
         name + "'");
  }
  return name;
}

std::int32_t TDataQuery::ExpectInteger(const std::string& message, std::int32_t maximum) {
  if (!Kind(tkInteger)) InsteadFound(message);
  const std::string text = Parser().TokenAsString();
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > maximum) InsteadFound(message);
  Next();
  return value;
}

TExpTokenPtr TDataQuery::ParseClause(TParseModifiers modifiers, const char* context, const char* emptyMessage,
                                     std::string* text, bool primary) {
  TExpressionParser& p = Parser();
  if (emptyMessage != nullptr && (Kind(tkEnd) || Kind(';'))) Fail(emptyMessage);
  p.ContextDescription = context;
  p.MarkExpressionLiteral();
  TExpTokenPtr tree = primary ? p.ParseExpression8(modifiers) : p.ParseExpression1(modifiers);
  // The expression parser checks the depth of outermost trees only; inside a sub-select this
  // clause is not outermost, and later stages recurse over every tree.
  if (ExpressionTreeDepth(tree.get()) > kMaxExpressionDepth) {
    p.RaiseWithContext("Expression has more than " + std::to_string(kMaxExpressionDepth) +
                       " levels of operators in ");
  }
  if (text != nullptr) *text = p.ExpressionAsString().substr(0, kMaxSQLNameLength);
  p.ContextDescription = kSQLContextDescription;
  return tree;
}

void TDataQuery::ParseTerminator() {
  if (Kind(';')) {
    Next();
    return;
  }
  if (!Kind(tkEnd)) {
    Fail("End of " + InternalStatementTypeToString(StatementKind) + " statement expected, " + "instead found " +
         "'" + Parser().TokenAsString() + "'");
  }
}

// ---- the query ----------------------------------------------------------------------------

void TDataQuery::Reset() {
  StatementKind = skUnknown;
  RequireSelect = Parenthesised = IsUnionPart = false;
  Distinct = AllColumns = HasAverages = HasCalculatedColumns = HasWhere = HasJoins = false;
  NoJoinOptimize = HasOrderBy = OrderByNoCase = HasGroupBy = HasHaving = IntoMemory = false;
  InsertSelect = UnionFollows = WithLocks = NoAutoInc = LanguageGiven = SortGiven = false;
  EncryptedGiven = CommitIntervalGiven = CommitFlush = false;
  UnionAll = true;
  Top = -1;
  CommitInterval = 0;
  LanguageID = SortID = 0;
  Password.clear();
  Encrypted = false;
  IntoTableName.clear();
  UnionQuery = UnionParent = SelectQuery = nullptr;
  SourceTables.clear();
  ExtraTables.clear();
  ResultFields.clear();
  OrderByFields.clear();
  GroupByFields.clear();
  UpdateFields.clear();
  UpdateValues.clear();
  CreateFields.clear();
  CreateIndexes.clear();
  Definition = TTableDefinition();
  WhereExpression.reset();
  HavingExpression.reset();
  ScanExpression.reset();
  TempScanExpression.reset();
  whereDepth_ = 0;
  correlationKeys_.clear();
}

void TDataQuery::ParseQuery(bool requireSelect, bool inParentheses, TDataQuery* parentQuery, bool isUnionPart) {
  Statement->EnterQuery();
  struct TLeave {
    TQueryStatement* statement;
    ~TLeave() { statement->LeaveQuery(); }
  } leave{Statement};
  Reset();
  RequireSelect = requireSelect;
  Parenthesised = inParentheses;
  IsUnionPart = isUnionPart;
  if (isUnionPart) UnionParent = parentQuery;
  const char* selectExpected = "SELECT keyword expected, instead found '";
  if (requireSelect) {
    if (!Is("SELECT")) InsteadFound(selectExpected);
  } else if (Kind('(')) {
    Next();
    Parenthesised = true;
    if (!Is("SELECT")) InsteadFound(selectExpected);
  } else if (isUnionPart && !Is("SELECT")) {
    // Only a query can be UNIONed; anything else would be parsed as a statement of its own.
    InsteadFound(selectExpected);
  }
  if (Is("SELECT")) {
    StatementKind = skSelect;
    ParseSelect();
  } else if (Is("INSERT")) {
    StatementKind = skInsert;
    ParseInsert();
  } else if (Is("UPDATE")) {
    StatementKind = skUpdate;
    ParseUpdate();
  } else if (Is("DELETE")) {
    StatementKind = skDelete;
    ParseDelete();
  } else if (Is("CREATE")) {
    ParseCreate();
  } else if (Is("ALTER")) {
    Next();
    if (!Is("TABLE")) InsteadFound("TABLE keyword expected, instead found '");
    StatementKind = skAlterTable;
    ParseAlterTable();
  } else if (Is("DROP")) {
    ParseDrop();
  } else if (Is("START") || Is("ROLLBACK") || Is("COMMIT")) {
    ParseTransaction();
  } else {
    InsteadFound("SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '");
  }
}

// ---- tables -------------------------------------------------------------------------------

std::unique_ptr<TSourceTable> TDataQuery::ReadTableReference(const std::string& message,
                                                             const std::string& afterMemoryMessage) {
  auto table = std::make_unique<TSourceTable>(this);
  const std::string* missing = &message;
  if (Is("MEMORY")) {
    table->InMemory = true;
    missing = &afterMemoryMessage;
    Next();
  }
  if (!IsNameToken()) InsteadFound(*missing);
  std::string name = NameText();
  Next();
  if (Kind('\\')) {
    Next();
    if (!IsNameToken()) InsteadFound(*missing);
    name += "\\" + NameText();
    Next();
  }
  SetTableName(*table, name);
  return table;
}

void TDataQuery::SetTableName(TSourceTable& table, const std::string& name) const {
  table.Name = ConvertSlashes(name);
  if (table.InMemory) {
    table.DatabaseName = kMemoryDatabaseName;
  } else if (ContainsDirectory(table.Name)) {
    table.DatabaseName = RemoveBS(ExtractFileRoot(table.Name));
  } else {
    table.DatabaseName = Statement->GetDatabaseName();
  }
  table.TableName = StripFilePathAndExtension(table.Name);
  table.CorrelationName = table.TableName;
}

bool TDataQuery::IsStopWord(TNameStop stop) const {
  static const char* const kSelectFrom[] = {"LEFT", "RIGHT", "INNER", "JOIN", "FULL", "WHERE", "ORDER", "GROUP",
                                            "HAVING", "TOP", "RANGE", "WITH", "ENCRYPTED", "LANGUAGE",
                                            "NOJOINOPTIMIZE", "UNION", nullptr};
  static const char* const kInsertSelectFrom[] = {"NOAUTOINC", "COMMIT", nullptr};
  static const char* const kJoin[] = {"ON", nullptr};
  static const char* const kUpdateFrom[] = {"LEFT", "RIGHT", "INNER", "JOIN", "FULL", "WHERE", "NOAUTOINC",
                                            "COMMIT", "NOJOINOPTIMIZE", nullptr};
  static const char* const kDelete[] = {"LEFT", "RIGHT", "INNER", "JOIN", "FULL", "WHERE", "COMMIT",
                                        "NOJOINOPTIMIZE", nullptr};
  static const char* const kUpdateTarget[] = {"SET", nullptr};
  static const char* const kInsert[] = {"VALUES", "SELECT", nullptr};
  auto any = [&](const char* const* words) {
    for (; *words != nullptr; ++words)
      if (Is(*words)) return true;
    return false;
  };
  switch (stop) {
    case TNameStop::kSelectFrom: return any(kSelectFrom);
    case TNameStop::kInsertSelectFrom: return any(kSelectFrom) || any(kInsertSelectFrom);
    case TNameStop::kJoin: return any(kJoin);
    case TNameStop::kUpdateFrom: return any(kUpdateFrom);
    case TNameStop::kDelete: return any(kDelete);
    case TNameStop::kUpdateTarget: return any(kUpdateTarget);
    case TNameStop::kInsert: return any(kInsert);
  }
  return false;
}

void TDataQuery::ParseCorrelationName(TSourceTable& table, TNameStop stop) {
  if (Is("AS")) {
    Next();
    if (!IsNameToken()) InsteadFound("Symbol or string expected after AS keyword, instead found '");
  } else if (!IsNameToken() || IsStopWord(stop)) {
    return;
  }
  const std::string name = NameText();
  // The table already goes by its own name: "FROM t t" names t twice.
  if (SameName(name, table.CorrelationName)) {
    Fail("Duplicate table correlation name '" + name + "'" + " found in source tables");
  }
  table.CorrelationName = name;
  table.CorrelationGiven = true;
  Next();
}

TSourceTable* TDataQuery::AddSourceTable(std::unique_ptr<TSourceTable> table, bool atFront) {
  if (!correlationKeys_.insert(UpperKey(table->CorrelationName)).second) {
    Fail("Duplicate table correlation name '" + table->CorrelationName + "'" + " found in source tables");
  }
  if (SourceTables.size() >= 0xFFFF) {
    Fail("Maximum number of source tables (" + std::to_string(0xFFFF) + ") exceeded");
  }
  table->OutputOrder = static_cast<std::uint16_t>(SourceTables.size() + 1);
  TSourceTable* added = table.get();
  SourceTables.insert(atFront ? SourceTables.begin() : SourceTables.end(), std::move(table));
  return added;
}

// FROM items: any number of "(", a table and its correlation name, then joins, each followed by
// ")"s that close the item's own "("s. With updateTarget (UPDATE ... FROM) the first item must
// name the updated table, which stays the first source table.
void TDataQuery::ParseFromList(TNameStop stop, TSourceTable* updateTarget) {
  const std::string missing = "Table name expected after FROM keyword, instead found '";
  for (bool first = true;; first = false) {
    int open = 0;
    while (Kind('(')) {
      ++open;
      Next();
    }
    std::unique_ptr<TSourceTable> table = ReadTableReference(missing, missing);
    ParseCorrelationName(*table, stop);
    if (first && updateTarget != nullptr) {
      bool same = table->InMemory == updateTarget->InMemory && SameName(table->TableName, updateTarget->TableName) &&
                  SameName(table->DatabaseName, updateTarget->DatabaseName) &&
                  (!table->CorrelationGiven || SameName(table->CorrelationName, updateTarget->CorrelationName));
      if (!same) {
        Fail("The first source table specified in FROM clause must match the table being updated in the UPDATE "
             "statement");
      }
    } else {
      AddSourceTable(std::move(table), false);
    }
    ParseJoins(open);
    if (open != 0) Fail("Mismatched join parentheses");
    if (!Kind(',')) return;
    HasJoins = true;
    Next();
  }
}

void TDataQuery::ParseJoins(int& open) {
  for (;;) {
    TJoinType type = jtInner;
    if (Is("FULL")) {
      Fail("Full outer joins are currently not supported in KORVEL SQL SELECT statements");
    } else if (Is("JOIN")) {
      Next();
    } else if (Is("INNER")) {
      Next();
      if (!Is("JOIN")) InsteadFound("JOIN keyword expected after INNER keyword, instead found '");
      Next();
    } else if (Is("LEFT") || Is("RIGHT")) {
      const bool left = Is("LEFT");
      type = left ? jtLeftOuter : jtRightOuter;
      Next();
      if (Is("OUTER")) Next();
      if (!Is("JOIN")) {
        InsteadFound(left ? "JOIN keyword expected after LEFT or OUTER keyword, instead found '"
                          : "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
      }
      Next();
    } else {
      if (Kind(')') && open == 0 && !Parenthesised) Fail("Mismatched join parentheses");
      return;
    }
    HasJoins = true;
    const std::string missing = "Table name expected after JOIN keyword, instead found '";
    std::unique_ptr<TSourceTable> table = ReadTableReference(missing, missing);
    ParseCorrelationName(*table, TNameStop::kJoin);
    // A right outer join is driven by the joined table, which therefore goes first.
    AddSourceTable(std::move(table), type == jtRightOuter);
    if (!Is("ON")) InsteadFound("ON keyword expected in JOIN clause, instead found '");
    Next();
    TExpTokenPtr condition = ParseClause(kJoinModifiers, kWhereContext, kWhereEmpty, nullptr);
    MarkJoinCondition(condition.get(), type);
    AndIntoWhere(std::move(condition));
    while (Kind(')') && open > 0) {
      --open;
      Next();
    }
  }
}

void TDataQuery::AndIntoWhere(TExpTokenPtr condition) {
  const int depth = ExpressionTreeDepth(condition.get());
  if (!WhereExpression) {
    WhereExpression = std::move(condition);
    whereDepth_ = depth;
    return;
  }
  const int combined = 1 + std::max(whereDepth_, depth);
  if (combined > kMaxExpressionDepth) {
    Fail("Expression has more than " + std::to_string(kMaxExpressionDepth) + " levels of operators in " +
         kWhereContext);
  }
  TExpTokenPtr node = NewExpToken();
  node->NodeClass = enBINARY;
  node->Operator = eoAND;
  node->Text = "AND";
  node->DataType = dtBoolean;
  node->Left = WhereExpression.release();
  node->Right = condition.release();
  WhereExpression = std::move(node);
  whereDepth_ = combined;
}

// ---- SELECT -------------------------------------------------------------------------------

// The SELECT of an INSERT ... SELECT, or a query UNIONed to it: NOAUTOINC and COMMIT after its
// tables belong to the INSERT.
bool TDataQuery::IsInsertSelect() const {
  const TDataQuery* q = this;
  while (q->Role == TQueryRole::qrUnionPart && q->UnionParent != nullptr) q = q->UnionParent;
  return q->Role == TQueryRole::qrInsertSelect;
}

void TDataQuery::ParseSelect() {
  Next();  // SELECT
  if (Is("ALL")) Next();
  if (Is("DISTINCT")) {
    Distinct = true;
    Next();
  }
  ParseSelectColumns();
  if (Is("INTO")) ParseInto();
  if (!Is("FROM")) InsteadFound("FROM keyword expected, instead found '");
  Next();
  ParseFromList(IsInsertSelect() ? TNameStop::kInsertSelectFrom : TNameStop::kSelectFrom, nullptr);
  if (Is("WHERE")) ParseWhere();
  if (Is("GROUP")) ParseGroupBy();
  if (Is("HAVING")) {
    Next();
    HavingExpression = ParseClause(pmAllowAggregates, "HAVING clause", "HAVING clause is empty", nullptr);
    HasHaving = true;
  }
  if (!IsUnionPart && Is("ORDER")) ParseOrderBy();
  ParseSelectExtensions();
  if (Parenthesised) {
    if (!Kind(')')) InsteadFound("Right parentheses expected after SELECT statement, instead found '");
    // A sub-select's ")" belongs to the IN of the expression around it.
    if (Role != TQueryRole::qrSubSelect) Next();
  }
  if (Is("UNION")) ParseUnion();
  if (UnionFollows && !IsUnionPart) {
    if (Is("ORDER")) ParseOrderBy();
    if (Is("TOP")) ParseTop();
  }
  if (Role == TQueryRole::qrMaster) ParseTerminator();
}

void TDataQuery::ParseSelectColumns() {
  for (;;) {
    // "SELECT FROM t" and "SELECT a, FROM t" lack a column; without this the word FROM would be
    // read as a field name and the error would point past the real mistake.
    if (Is("FROM")) Fail("Source column expression is empty");
    auto column = std::make_unique<TResultField>();
    column->Expression = ParseClause(kColumnModifiers, "source column expression", "Source column expression is empty",
                                     &column->ExpressionText);
    ParseColumnAlias(*column);
    ParseSelectColumnExpression(*column);
    ResultFields.push_back(std::move(column));
    if (!Kind(',')) break;
    Next();
  }
  const TExpToken* only = ResultFields.size() == 1 ? ResultFields[0]->Expression.get() : nullptr;
  AllColumns = only != nullptr && only->NodeClass == enFIELD && only->Name == "*" && only->TableName.empty();
}

void TDataQuery::ParseColumnAlias(TResultField& column) {
  auto readAlias = [&](const char* message) {
    if (!IsColumnNameToken()) InsteadFound(message);
    column.Alias = NameText();
    column.ImplicitAlias = false;
    Next();
  };
  if (Is("AS")) {
    Next();
    readAlias("Symbol or string expected after AS keyword, instead found '");
  } else if (IsColumnNameToken() && !Is("INTO") && !Is("FROM")) {
    readAlias("");
  } else {
    return;
  }
  if (Kind('.')) {
    Next();
    readAlias("Symbol or string expected after table correlation name, instead found '");
  }
}

void TDataQuery::ParseSelectColumnExpression(TResultField& column) {
  TExpToken* e = column.Expression.get();
  if (e->NodeClass == enFIELD) {
    column.FieldName = e->Name;
    column.TableName = e->TableName;
    if (column.ImplicitAlias && e->Name != "*") column.Alias = e->Name;
    return;
  }
  if (IsAggregate(e)) {
    column.Calculation = CalculationOf(e->Operator);
    if (e->Operator == eoAVG) HasAverages = true;
    TExpToken* argument = e->GetArgumentExpToken(0);
    if (ContainsAggregate(argument)) Fail("Aggregate functions cannot be nested");
    if (argument != nullptr && argument->NodeClass == enFIELD) {
      // The result name is built from the aggregate and the field unless one was written.
      column.FieldName = argument->Name;
      column.TableName = argument->TableName;
      if (column.ImplicitAlias) column.Alias.clear();
      column.CountAll = e->Operator == eoCOUNT && argument->Name == "*";
      return;
    }
    column.IsExpression = true;
    HasCalculatedColumns = true;
    return;
  }
  if (ContainsAggregate(e)) Fail("Aggregate functions cannot be used within expressions");
  column.IsExpression = true;
  HasCalculatedColumns = true;
}

void TDataQuery::ParseInto() {
  if (Role != TQueryRole::qrMaster) Fail("The INTO clause can only be used with the master query");
  Next();
  if (Is("MEMORY")) {
    IntoMemory = true;
    Next();
    if (IsNameToken() && !Is("FROM")) {
      IntoTableName = NameText();
      Next();
    }
    return;
  }
  const char* missing = "Result table name expected in INTO clause, instead found '";
  if (!IsNameToken()) InsteadFound(missing);
  std::string name = NameText();
  Next();
  if (Kind('\\')) {
    Next();
    if (!IsNameToken()) InsteadFound(missing);
    name += "\\" + NameText();
    Next();
  }
  IntoTableName = ConvertSlashes(name);
}

void TDataQuery::ParseWhere() {
  Next();
  AndIntoWhere(ParseClause(kWhereModifiers, kWhereContext, kWhereEmpty, nullptr));
  HasWhere = true;
}

void TDataQuery::ParseColumnItem(TGroupByField& item, const std::string& message) {
  if (Kind(tkInteger)) {
    const std::string text = Parser().TokenAsString();
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 0xFFFF) {
      InsteadFound(message);
    }
    item.ColumnNumber = static_cast<std::uint16_t>(value);
    Next();
    return;
  }
  if (!IsColumnNameToken()) InsteadFound(message);
  std::string name = NameText();
  Next();
  if (Kind('.')) {
    Next();
    if (!IsColumnNameToken()) InsteadFound("Symbol or string expected after table correlation name, instead found '");
    item.TableName = name;
    name = NameText();
    Next();
  }
  item.FieldName = name;
}

void TDataQuery::ParseGroupBy() {
  Next();
  if (!Is("BY")) InsteadFound("BY keyword expected after GROUP keyword, instead found '");
  Next();
  HasGroupBy = true;
  for (;;) {
    auto item = std::make_unique<TGroupByField>();
    ParseColumnItem(*item, "Column name or column number expected in GROUP BY clause, instead found '");
    GroupByFields.push_back(std::move(item));
    if (!Kind(',')) return;
    Next();
  }
}

void TDataQuery::ParseOrderBy() {
  Next();
  if (!Is("BY")) InsteadFound("BY keyword expected after ORDER keyword, instead found '");
  Next();
  HasOrderBy = true;
  for (;;) {
    auto item = std::make_unique<TOrderByField>();
    ParseColumnItem(*item, "Column name or column number expected in ORDER BY clause, instead found '");
    if (Is("ASC") || Is("ASCENDING")) {
      Next();
    } else if (Is("DESC") || Is("DESCENDING")) {
      item->Descending = true;
      Next();
    }
    OrderByFields.push_back(std::move(item));
    if (!Kind(',')) break;
    Next();
  }
  if (Is("NOCASE")) {
    OrderByNoCase = true;
    Next();
  }
}

void TDataQuery::ParseTop() {
  Next();
  Top = ExpectInteger("Integer value expected after TOP keyword, instead found '");
}

void TDataQuery::ParseSelectExtensions() {
  if (Is("TOP")) ParseTop();
  if (Is("WITH")) {
    Next();
    if (!Is("LOCKS")) InsteadFound("LOCKS keyword expected after WITH keyword, instead found '");
    Next();
    WithLocks = true;
  }
  if (Is("LANGUAGE")) ParseLanguage();
  if (Is("ENCRYPTED")) ParseEncrypted();
  if (Is("NOJOINOPTIMIZE")) {
    NoJoinOptimize = true;
    Next();
  }
}

void TDataQuery::ParseLanguage() {
  Next();
  const std::string language = Parser().TokenAsString();
  if (!IsNameToken() || !IsValidLanguageConstant(language)) {
    Fail("Invalid language constant '" + language + "'" + " specified after LANGUAGE keyword");
  }
  LanguageID = ConvertLanguageConstantToID(language);
  LanguageGiven = true;
  Next();
  if (!Is("SORT")) return;
  Next();
  const std::string sort = Parser().TokenAsString();
  const int languageIndex = GetIndexFromLanguageID(LanguageID);
  if (!IsNameToken() || !IsValidSortConstant(languageIndex, sort)) {
    Fail("Invalid sort constant '" + sort + "'" + " specified after SORT keyword");
  }
  SortID = ConvertSortConstantToID(languageIndex, sort);
  SortGiven = true;
  Next();
}

void TDataQuery::ParseEncrypted() {
  Next();
  if (!Is("WITH")) InsteadFound("WITH keyword expected after ENCRYPTED keyword, instead found '");
  Next();
  EncryptedGiven = true;
  // The password is the next token's text; at the end of the statement there is none.
  if (Kind(tkEnd) || Kind(';')) return;
  Password = NameText();
  Encrypted = !Password.empty();
  Next();
}

void TDataQuery::ParseUnion() {
  if (HasOrderBy) Fail("You cannot use an ORDER BY clause within a UNIONed query");
  Next();  // UNION
  bool all = false;
  if (Is("ALL")) {
    all = true;
    Next();
  }
  UnionFollows = true;
  RequestLive = 1;
  TDataQuery* part = Statement->AddDataQuery(TQueryRole::qrUnionPart);
  part->RequestLive = 1;
  UnionQuery = part;
  part->ParseQuery(false, false, this, true);
  part->UnionAll = all;
}

// ---- INSERT, UPDATE, DELETE ---------------------------------------------------------------

namespace {

// INSERT and UPDATE columns: a field, or a string constant that names one.
void TakeColumnName(TUpdateField& column) {
  TExpToken* e = column.Expression.get();
  if (e->NodeClass == enCONST && e->DataType == dtString && !e->IsNull && !e->IsParameter) {
    const std::string name(reinterpret_cast<const char*>(e->ValueBuffer.get()));
    e->NodeClass = enFIELD;
    e->Operator = eoFIELD;
    e->FromStringConstant = 1;
    e->ConstantDataType = e->DataType;
    e->ConstantDataSize = e->DataSize;
    e->DataType = 0;
    e->SetDataSize(0);
    e->Name = name;
  }
  if (e->NodeClass == enFIELD) {
    column.FieldName = e->Name;
    column.TableName = e->TableName;
  }
}

}  // namespace

void TDataQuery::ParseInsert() {
  Next();
  if (!Is("INTO")) InsteadFound("INTO keyword expected, instead found '");
  Next();
  std::unique_ptr<TSourceTable> table = ReadTableReference("Table name expected after INTO clause, instead found '",
                                                           "Table name expected after INTO keyword, instead found '");
  ParseCorrelationName(*table, TNameStop::kInsert);
  AddSourceTable(std::move(table), false);
  bool selectInParentheses = false;
  if (Kind('(')) {
    Next();
    if (Is("SELECT")) {
      selectInParentheses = true;
    } else {
      for (;;) {
        auto column = std::make_unique<TUpdateField>();
        column->Expression = ParseClause(0, "table column", "Table column name is empty", &column->ExpressionText);
        TakeColumnName(*column);
        UpdateFields.push_back(std::move(column));
        if (!Kind(',')) break;
        Next();
      }
      if (!Kind(')')) InsteadFound("Right parentheses expected after list of table columns, instead found '");
      Next();
    }
  }
  if (UpdateFields.empty()) {
    UpdateFields.push_back(std::make_unique<TUpdateField>());
    UpdateFields.back()->FieldName = "*";
  }
  if (selectInParentheses || Is("SELECT")) {
    InsertSelect = true;
    SelectQuery = Statement->AddDataQuery(TQueryRole::qrInsertSelect);
    SelectQuery->RequestLive = 1;
    SelectQuery->ParseQuery(true, selectInParentheses, this, false);
  } else if (Is("VALUES")) {
    Next();
    if (!Kind('(')) InsteadFound("Left parentheses expected after VALUES keyword, instead found '");
    Next();
    for (;;) {
      auto value = std::make_unique<TUpdateValue>();
      value->Expression = ParseClause(pmAllowParameters, "value expression", "Value expression is empty",
                                      &value->ExpressionText);
      UpdateValues.push_back(std::move(value));
      if (!Kind(',')) break;
      Next();
    }
    if (!Kind(')')) InsteadFound("Right parentheses expected after list of values, instead found '");
    Next();
  } else {
    InsteadFound("VALUES or SELECT  keyword expected, instead found '");
  }
  if (Is("NOAUTOINC")) {
    NoAutoInc = true;
    Next();
  }
  if (Is("COMMIT")) ParseCommitExtension();
  ParseTerminator();
}

void TDataQuery::ParseUpdate() {
  Next();
  int open = 0;
  while (Kind('(')) {
    ++open;
    Next();
  }
  const std::string missing = "Table name expected, instead found '";
  std::unique_ptr<TSourceTable> table = ReadTableReference(missing, missing);
  ParseCorrelationName(*table, TNameStop::kUpdateTarget);
  TSourceTable* target = AddSourceTable(std::move(table), false);
  while (Kind(')') && open > 0) {
    --open;
    Next();
  }
  if (open != 0) Fail("Mismatched join parentheses");
  if (!Is("SET")) InsteadFound("SET keyword expected, instead found '");
  Next();
  for (;;) {
    auto column = std::make_unique<TUpdateField>();
    column->Expression = ParseClause(0, "table column", "Table column name is empty", &column->ExpressionText, true);
    TakeColumnName(*column);
    if (!Kind('=')) InsteadFound("Assignment (=) operator expected after column name, instead found '");
    Next();
    auto value = std::make_unique<TUpdateValue>();
    value->Expression = ParseClause(pmAllowParameters, "value expression", "Value expression is empty",
                                    &value->ExpressionText);
    UpdateFields.push_back(std::move(column));
    UpdateValues.push_back(std::move(value));
    if (!Kind(',')) break;
    Next();
  }
  if (Is("FROM")) {
    Next();
    ParseFromList(TNameStop::kUpdateFrom, target);
  }
  if (Is("WHERE")) ParseWhere();
  if (Is("NOAUTOINC")) {
    NoAutoInc = true;
    Next();
  }
  if (Is("COMMIT")) ParseCommitExtension();
  if (Is("NOJOINOPTIMIZE")) {
    NoJoinOptimize = true;
    Next();
  }
  ParseTerminator();
}

void TDataQuery::ParseDelete() {
  Next();
  if (!Is("FROM")) InsteadFound("FROM keyword expected, instead found '");
  Next();
  ParseFromList(TNameStop::kDelete, nullptr);
  if (Is("WHERE")) ParseWhere();
  if (Is("COMMIT")) ParseCommitExtension();
  if (Is("NOJOINOPTIMIZE")) {
    NoJoinOptimize = true;
    Next();
  }
  ParseTerminator();
}

void TDataQuery::ParseCommitExtension() {
  Next();  // COMMIT
  bool given = false;
  if (Is("INTERVAL")) {
    Next();
    CommitInterval = ExpectInteger("Integer value expected after INTERVAL keyword, instead found '");
    CommitIntervalGiven = true;
    given = true;
  }
  if (Is("FLUSH")) {
    CommitFlush = true;
    given = true;
    Next();
  }
  if (!given) InsteadFound("INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
}

void TDataQuery::ParseTransaction() {
  if (Is("START")) {
    Next();
    if (!Is("TRANSACTION")) InsteadFound("TRANSACTION keyword expected, instead found '");
    StatementKind = skStartTransaction;
    Next();
  } else {
    StatementKind = Is("ROLLBACK") ? skRollback : skCommit;
    Next();
    if (Is("WORK")) Next();
    if (StatementKind == skCommit && Is("FLUSH")) {
      CommitFlush = true;
      Next();
    }
  }
  ParseTerminator();
}

}  // namespace korvel
