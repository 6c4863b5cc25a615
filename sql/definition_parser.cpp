// The statement parser for the definition statements: CREATE TABLE, CREATE INDEX, ALTER TABLE,
// DROP TABLE and DROP INDEX. They fill the query's CreateFields, CreateIndexes and Definition;
// the target table is the query's only source table.
//
// Grammar (each [ ] optional, in this order):
//   column     name TYPE [AT n] [DESCRIPTION v] [NOT NULL] [DEFAULT v] [MIN|MINIMUM v]
//              [MAX|MAXIMUM v] [CHARCASE UPPER|LOWER|NOCHANGE]          (AT in ALTER only)
//   index      [UNIQUE] [ASC|ASCENDING|DESC|DESCENDING] [NOCASE] (field, ...) [COMPRESS kind]
//   extensions [TEXT INDEX (fields) [STOP WORDS 's'] [SPACE CHARS 's'] [INCLUDE CHARS 's']]
//              [DESCRIPTION v] [BLOB BLOCK SIZE n] [LANGUAGE l [SORT s]] [ENCRYPTED WITH p]
//              [USER MAJOR|MINOR VERSION n]x2 [LAST AUTOINC n] [NOBACKUP]  (NOBACKUP in ALTER)

#include <limits>

#include "sql/data_query.h"
#include "sql/query_statement.h"
#include "support/byte_order.h"
#include "support/data_types.h"

namespace korvel {

namespace {

constexpr const char* kTableColumnContext = "table column";
constexpr const char* kLeftParenthesisExpected = "Left parentheses expected, instead found '";
constexpr const char* kRightParenthesisExpected = "Right parentheses expected, instead found '";

// An integer constant argument of a data type (CHAR(10), DECIMAL(10, 2)); 0 for anything else,
// which the table creation rejects as an invalid definition.
std::int32_t IntegerArgument(const TExpToken& column, std::size_t i) {
  const TExpToken* a = column.GetArgumentExpToken(i);
  if (a == nullptr || a->NodeClass != enCONST || a->IsNull || a->DataType != dtInteger) return 0;
  return GetI32(a->ValueBuffer.get(), 0);
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 1 && u <= 32) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::bitset<256> CharacterSet(const std::string& text) {
  std::bitset<256> set;
  for (char c : text) set.set(static_cast<unsigned char>(c));
  return set;
}

}  // namespace

void TCreateIndex::BuildFieldsList() {
  FieldNames.clear();
  for (const TExpTokenPtr& t : FieldTokens) {
    if (t->NodeClass == enFIELD) {
      FieldNames.push_back(t->Name);
    } else if (t->NodeClass == enCONST && t->DataType == dtString && !t->IsNull) {
      FieldNames.emplace_back(reinterpret_cast<const char*>(t->ValueBuffer.get()));
    } else {
      FieldNames.push_back(t->Text);
    }
  }
}

TSourceTable* TDataQuery::ParseDefinitionTable(const std::string& message) {
  return AddSourceTable(ReadTableReference(message, message), false);
}

void TDataQuery::ParseCreate() {
  Next();  // CREATE
  if (Is("TABLE")) {
    StatementKind = skCreateTable;
    Next();
    ParseCreateTable();
  } else if (Is("INDEX") || IsIndexAttribute()) {
    StatementKind = skCreateIndex;
    ParseCreateIndex();
  } else {
    InsteadFound("TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, instead found '");
  }
}

void TDataQuery::ParseIfExists(bool notExists) {
  if (!Is("IF")) return;
  Next();
  if (notExists) {
    if (!Is("NOT")) InsteadFound("NOT keyword expected after IF keyword, instead found '");
    Next();
    if (!Is("EXISTS")) InsteadFound("EXISTS keyword expected after NOT keyword, instead found '");
    Definition.IfNotExists = true;
  } else {
    if (!Is("EXISTS")) InsteadFound("EXISTS keyword expected after IF keyword, instead found '");
    Definition.IfExists = true;
  }
  Next();
}

bool TDataQuery::IsColumnListEnd() const {
  static const char* const kWords[] = {"CONSTRAINT", "PRIMARY", "UNIQUE",   "ASC",  "ASCENDING",
                                       "DESC",       "DESCENDING", "NOCASE", "TEXT", "DESCRIPTION",
                                       "BLOB",       "LANGUAGE", "ENCRYPTED", "USER"};
  if (Kind(')') || Kind(tkEnd) || Kind(';')) return true;
  for (const char* word : kWords)
    if (Is(word)) return true;
  return false;
}

void TDataQuery::ParseCreateTable() {
  ParseIfExists(true);
  ParseDefinitionTable("Table name expected after CREATE TABLE keywords, instead found '");
  if (!Kind('(')) InsteadFound("Left parentheses expected before list of table columns, instead found '");
  Next();
  while (!IsColumnListEnd()) {
    auto field = std::make_unique<TCreateField>();
    ParseColumnDefinition(*field, true, false);
    field->FieldNumber = static_cast<std::uint16_t>(std::min<std::size_t>(CreateFields.size() + 1, 0xFFFF));
    CreateFields.push_back(std::move(field));
    if (!Kind(',')) break;
    Next();
  }
  if (Is("CONSTRAINT") || Is("PRIMARY") || IsIndexAttribute()) {
    auto key = std::make_unique<TCreateIndex>();
    ParsePrimaryKey(*key);
    CreateIndexes.push_back(std::move(key));
    if (Kind(',')) Next();
  }
  ParseTableExtensions(false);
  if (!Kind(')')) InsteadFound("Right parentheses expected after CREATE TABLE statement, instead found '");
  Next();
  ParseTerminator();
}

void TDataQuery::ParseColumnDefinition(TCreateField& field, bool typeRequired, bool alter) {
  TExpressionParser& p = Parser();
  p.ContextDescription = kTableColumnContext;
  if (!IsColumnNameToken()) p.RaiseFoundIn("Unknown or unexpected symbol '");
  field.Name = NameText();
  Next();
  field.Column = NewExpToken();
  field.Column->NodeClass = enFIELD;
  field.Column->Operator = eoFIELD;
  field.Column->Name = field.Name;
  field.Column->Text = field.Name;
  field.TypeGiven = p.ParseDataTypeExpression(*field.Column, 0, !typeRequired);
  if (!field.TypeGiven && field.Redefine && IsColumnNameToken() && !IsColumnAttribute()) {
    // REDEFINE old new TYPE: a second name renames the column.
    field.NewName = NameText();
    Next();
    field.Column->Name = field.NewName;
    field.TypeGiven = p.ParseDataTypeExpression(*field.Column, 0, false);
  }
  if (field.TypeGiven) {
    field.DataType = field.Column->DataType;
    field.SubType = field.Column->SubType;
    field.Size = IntegerArgument(*field.Column, 1);
    field.Scale = IntegerArgument(*field.Column, 2);
  }
  p.ContextDescription = kSQLContextDescription;
  ParseColumnAttributes(field, alter);
}

bool TDataQuery::IsColumnAttribute() const {
  static const char* const kWords[] = {"AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM",
                                       "CHARCASE"};
  for (const char* word : kWords)
    if (Is(word)) return true;
  return false;
}

void TDataQuery::ParseColumnAttributes(TCreateField& field, bool alter) {
  if (alter && Is("AT")) {
    Next();
    field.Position = static_cast<std::uint16_t>(ExpectInteger("Integer value expected after AT keyword, instead found '", 0xFFFF));
  }
  if (Is("DESCRIPTION")) {
    field.Description = ParseAttributeValue("DESCRIPTION");
    field.DescriptionGiven = true;
  }
  if (Is("NOT")) {
    Next();
    if (!Is("NULL")) InsteadFound("NULL keyword expected after NOT keyword, instead found '");
    Next();
    field.Required = field.RequiredGiven = true;
  }
  if (Is("DEFAULT")) {
    field.DefaultValue = ParseAttributeValue("DEFAULT");
    field.DefaultGiven = true;
  }
  if (Is("MIN") || Is("MINIMUM")) {
    field.MinimumValue = ParseAttributeValue("MINIMUM");
    field.MinimumGiven = true;
  }
  if (Is("MAX") || Is("MAXIMUM")) {
    field.MaximumValue = ParseAttributeValue("MAXIMUM");
    field.MaximumGiven = true;
  }
  if (Is("CHARCASE")) {
    Next();
    if (Is("UPPER")) {
      field.CharCase = fcUpperCase;
    } else if (Is("LOWER")) {
      field.CharCase = fcLowerCase;
    } else if (Is("NOCHANGE")) {
      field.CharCase = fcNoChange;
    } else {
      InsteadFound("UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
    }
    field.CharCaseGiven = true;
    Next();
  }
}

// One token's text: a name, a quoted text or a number. A sign directly before a number belongs
// to it, so that DEFAULT -1 keeps the value it says.
std::string TDataQuery::ParseAttributeValue(const char* keyword) {
  Next();
  std::string sign;
  if (Kind('-') || Kind('+')) {
    sign = Parser().TokenAsString();
    Next();
    if (!Kind(tkInteger) && !Kind(tkDecimal)) {
      InsteadFound(std::string("Value expected after ") + keyword + " keyword, instead found '");
    }
  }
  if (!IsColumnNameToken() && !Kind(tkInteger) && !Kind(tkDecimal) && !Kind(tkCharConstant)) {
    InsteadFound(std::string("Value expected after ") + keyword + " keyword, instead found '");
  }
  std::string value = sign + NameText();
  Next();
  return value;
}

bool TDataQuery::IsIndexAttribute() const {
  return Is("UNIQUE") || Is("ASC") || Is("ASCENDING") || Is("DESC") || Is("DESCENDING") || Is("NOCASE");
}

void TDataQuery::ParseIndexAttributes(TCreateIndex& index) {
  if (Is("UNIQUE")) {
    index.Unique = true;
    Next();
  }
  if (Is("ASC") || Is("ASCENDING")) {
    Next();
  } else if (Is("DESC") || Is("DESCENDING")) {
    index.Descending = true;
    Next();
  }
  if (Is("NOCASE")) {
    index.CaseInsensitive = true;
    Next();
  }
}

void TDataQuery::ParseIndexFields(TCreateIndex& index, const std::string& leftMessage,
                                  const std::string& rightMessage) {
  if (!Kind('(')) InsteadFound(leftMessage);
  Next();
  for (;;) {
    TExpTokenPtr field = ParseClause(0, "index column", nullptr, nullptr, true);
    if (field->NodeClass == enFIELD && !field->TableName.empty()) {
      Fail("Invalid use of table correlation name '" + field->TableName + "'" + " specified in indexed columns");
    }
    index.FieldTokens.push_back(std::move(field));
    if (!Kind(',')) break;
    Next();
  }
  if (!Kind(')')) InsteadFound(rightMessage);
  Next();
  index.BuildFieldsList();
}

void TDataQuery::ParseCompression(TCreateIndex& index) {
  if (!Is("COMPRESS")) return;
  Next();
  if (Is("FULL")) {
    index.Compression = icFull;
  } else if (Is("DUPBYTE")) {
    index.Compression = icDuplicateByte;
  } else if (Is("TRAILBYTE")) {
    index.Compression = icTrailingByte;
  } else if (Is("NONE")) {
    index.Compression = icNone;
  } else {
    InsteadFound("FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found '");
  }
  Next();
}

void TDataQuery::SkipConstraintName() {
  if (!Is("CONSTRAINT")) return;
  Next();
  if (IsColumnNameToken() && !Is("PRIMARY")) Next();  // read and ignored
}

void TDataQuery::ParsePrimaryKey(TCreateIndex& index) {
  SkipConstraintName();
  ParseIndexAttributes(index);
  if (!Is("PRIMARY")) InsteadFound("PRIMARY keyword expected, instead found '");
  Next();
  if (!Is("KEY")) InsteadFound("KEY keyword expected after PRIMARY keyword, instead found '");
  Next();
  ParseIndexFields(index, kLeftParenthesisExpected, kRightParenthesisExpected);
  ParseCompression(index);
}

std::string TDataQuery::ParseConstantText(const char* context) {
  if (!Kind(tkQuoted)) {
    Parser().ContextDescription = context;
    Parser().RaiseFoundIn("Unknown or unexpected symbol '");
  }
  std::string text = Parser().TokenAsString();
  Next();
  return text;
}

bool TDataQuery::IsTableExtension() const {
  static const char* const kWords[] = {"TEXT", "DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER", "LAST",
                                       "NOBACKUP"};
  for (const char* word : kWords)
    if (Is(word)) return true;
  return false;
}

void TDataQuery::ParseTableExtensions(bool alter) {
  TTableDefinition& d = Definition;
  if (Is("TEXT")) {
    Next();
    if (!Is("INDEX")) InsteadFound("INDEX keyword expected after TEXT keyword, instead found '");
    Next();
    d.TextIndexGiven = true;
    ParseIndexFields(d.TextIndex, "Left parentheses expected after TEXTINDEX keyword, instead found '",
                     "Right parentheses expected after TEXT INDEX clause, instead found '");
    if (Is("STOP")) {
      Next();
      if (!Is("WORDS")) InsteadFound("WORDS keyword expected after STOP keyword, instead found '");
      Next();
      d.StopWords = SplitWords(ParseConstantText("stop words"));
      d.StopWordsGiven = true;
    }
    if (Is("SPACE")) {
      Next();
      if (!Is("CHARS")) InsteadFound("CHARS keyword expected after SPACE keyword, instead found '");
      Next();
      d.SpaceChars = CharacterSet(ParseConstantText("character set"));
      d.SpaceCharsGiven = true;
    }
    if (Is("INCLUDE")) {
      Next();
      if (!Is("CHARS")) InsteadFound("CHARS keyword expected after INCLUDE keyword, instead found '");
      Next();
      d.IncludeChars = CharacterSet(ParseConstantText("character set"));
      d.IncludeCharsGiven = true;
    }
  }
  if (Is("DESCRIPTION")) {
    d.Description = ParseAttributeValue("DESCRIPTION");
    d.DescriptionGiven = true;
  }
  if (Is("BLOB")) {
    Next();
    if (!Is("BLOCK")) InsteadFound("BLOCK keyword expected after BLOB keyword, instead found '");
    Next();
    if (!Is("SIZE")) InsteadFound("SIZE keyword expected after BLOCK keyword, instead found '");
    Next();
    d.BlobBlockSize = ExpectInteger("Integer value expected after SIZE keyword, instead found '");
    d.BlobBlockSizeGiven = true;
  }
  if (Is("LANGUAGE")) ParseLanguage();
  if (Is("ENCRYPTED")) ParseEncrypted();
  for (int i = 0; i < 2 && Is("USER"); ++i) {
    Next();
    const bool major = Is("MAJOR");
    if (!major && !Is("MINOR")) InsteadFound("MAJOR or MINOR keyword expected after USER keyword, instead found '");
    Next();
    if (!Is("VERSION")) {
      InsteadFound(major ? "VERSION keyword expected after MAJOR keyword, instead found '"
                         : "VERSION keyword expected after MINOR keyword, instead found '");
    }
    Next();
    const std::int32_t version = ExpectInteger("Integer value expected after VERSION keyword, instead found '");
    if (major) {
      d.UserMajorVersion = version;
      d.UserMajorVersionGiven = true;
    } else {
      d.UserMinorVersion = version;
      d.UserMinorVersionGiven = true;
    }
  }
  if (Is("LAST")) {
    Next();
    if (!Is("AUTOINC")) InsteadFound("AUTOINC keyword expected after LAST keyword, instead found '");
    Next();
    d.LastAutoIncValue = ParseSignedInteger("next auto-increment number");
    d.LastAutoIncGiven = true;
  }
  if (alter && Is("NOBACKUP")) {
    d.NoBackup = true;
    Next();
  }
}

std::int32_t TDataQuery::ParseSignedInteger(const char* context) {
  bool negative = false;
  if (Kind('-') || Kind('+')) {
    negative = Kind('-');
    Next();
  }
  std::int64_t value = 0;
  const std::string text = Parser().TokenAsString();
  bool valid = Kind(tkInteger) && text.size() <= 10;
  if (valid) {
    for (char c : text) value = value * 10 + (c - '0');
    if (negative) value = -value;
    valid = value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max();
  }
  if (!valid) {
    Parser().ContextDescription = context;
    Parser().RaiseFoundIn("Unknown or unexpected symbol '");
  }
  Next();
  return static_cast<std::int32_t>(value);
}

void TDataQuery::ParseCreateIndex() {
  auto index = std::make_unique<TCreateIndex>();
  ParseIndexAttributes(*index);
  if (!Is("INDEX")) InsteadFound("INDEX keyword expected, instead found '");
  Next();
  ParseIfExists(true);
  if (!IsColumnNameToken()) InsteadFound("Index name expected after INDEX keyword, instead found '");
  index->Name = NameText();
  Next();
  if (!Is("ON")) InsteadFound("ON keyword expected after index name, instead found '");
  Next();
  ParseDefinitionTable("Table name expected after ON keyword, instead found '");
  ParseIndexFields(*index, kLeftParenthesisExpected, kRightParenthesisExpected);
  ParseCompression(*index);
  CreateIndexes.push_back(std::move(index));
  ParseTerminator();
}

void TDataQuery::ParseAlterTable() {
  Next();  // TABLE
  ParseDefinitionTable("Table name expected after ALTER TABLE keywords, instead found '");
  // Items may be left out when only table settings change.
  if (!IsTableExtension()) {
    for (;;) {
      ParseAlterItem();
      if (!Kind(',')) break;
      Next();
    }
  }
  ParseTableExtensions(true);
  ParseTerminator();
}

void TDataQuery::ParseAlterItem() {
  if (Is("ADD") || Is("REDEFINE")) {
    const bool add = Is("ADD");
    Next();
    if (Is("CONSTRAINT") || Is("PRIMARY") || IsIndexAttribute()) {
      auto key = std::make_unique<TCreateIndex>();
      key->Add = add;
      key->Redefine = !add;
      ParsePrimaryKey(*key);
      CreateIndexes.push_back(std::move(key));
      return;
    }
    if (Is("COLUMN")) Next();
    auto field = std::make_unique<TCreateField>();
    field->Add = add;
    field->Redefine = !add;
    ParseColumnDefinition(*field, add, true);
    CreateFields.push_back(std::move(field));
    return;
  }
  if (!Is("DROP")) InsteadFound("ADD, DROP, or REDEFINE keyword expected, instead found '");
  Next();
  if (Is("CONSTRAINT") || Is("PRIMARY")) {
    SkipConstraintName();
    if (!Is("PRIMARY")) InsteadFound("PRIMARY keyword expected, instead found '");
    Next();
    if (!Is("KEY")) InsteadFound("KEY keyword expected after PRIMARY keyword, instead found '");
    Next();
    auto key = std::make_unique<TCreateIndex>();
    key->Drop = true;
    CreateIndexes.push_back(std::move(key));
    return;
  }
  if (Is("COLUMN")) Next();
  if (!IsColumnNameToken()) {
    Parser().ContextDescription = kTableColumnContext;
    Parser().RaiseFoundIn("Unknown or unexpected symbol '");
  }
  auto field = std::make_unique<TCreateField>();
  field->Drop = true;
  field->Name = NameText();
  Next();
  CreateFields.push_back(std::move(field));
}

void TDataQuery::ParseDrop() {
  Next();  // DROP
  if (Is("TABLE")) {
    StatementKind = skDropTable;
    Next();
    ParseIfExists(false);
    ParseDefinitionTable("Table name expected after DROP TABLE keywords, instead found '");
  } else if (Is("INDEX")) {
    StatementKind = skDropIndex;
    Next();
    ParseIfExists(false);
    ParseDropIndexName();
  } else {
    InsteadFound("TABLE or INDEX keyword expected, instead found '");
  }
  ParseTerminator();
}

// [MEMORY] [database \] table.index, the qualified name read as a primary term.
void TDataQuery::ParseDropIndexName() {
  const std::string missing = "Table name expected after DROP INDEX keywords, instead found '";
  auto table = std::make_unique<TSourceTable>(this);
  if (Is("MEMORY")) {
    table->InMemory = true;
    Next();
  }
  auto readName = [&]() {
    if (!Kind(tkEnd) && !Kind(';') && !IsColumnNameToken()) InsteadFound(missing);
    return ParseClause(0, "index name expression", "Index name expression is empty", nullptr, true);
  };
  TExpTokenPtr name = readName();
  std::string database;
  if (Kind('\\') && name->NodeClass == enFIELD && name->TableName.empty()) {
    database = name->Name;
    Next();
    name = readName();
  }
  if (name->NodeClass != enFIELD || name->TableName.empty()) Fail(missing + name->Text + "'");
  // The qualified reference's text is the table as written, a point and the index name.
  std::string tableText = name->Text.substr(0, name->Text.size() - name->Name.size() - 1);
  if (!database.empty()) tableText = database + "\\" + tableText;
  SetTableName(*table, tableText);
  AddSourceTable(std::move(table), false);
  auto index = std::make_unique<TCreateIndex>();
  index->Name = name->Name;
  index->Drop = true;
  CreateIndexes.push_back(std::move(index));
}

}  // namespace korvel
