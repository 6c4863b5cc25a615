// Calculated (expression) fields of a cursor's field list.
//
// A cursor's record buffer is the stored record followed by one slot per expression field:
//
//   OFFSET              SIZE                 DESCRIPTION
//   0                   stored record size   the record as the table stores it
//   stored size + ...   1 + PhysicalSize     per expression field, in list order: null flag
//                                            and value in the field's type
//
// The slots are filled from the stored part whenever it changes (a record read, a field put,
// InitRecord) and never reach the table: every copy to or from the table's record cache covers
// the stored part only. Expressions are checked against the table's stored fields (an
// expression cannot name another expression field) and evaluated by the expression engine,
// their results converted to the field's type as CAST converts.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/table_maintenance.h"
#include "expr/expression_evaluator.h"
#include "support/byte_order.h"

namespace korvel {

void TakeFieldType(TExpToken& token, const TFieldDefinition& field) {
  token.DataType = field.DataType;
  token.SubType = field.SubType;
  token.Decimals = field.Decimals;
  token.SetDataSize(field.PhysicalSize);
}

namespace {

// Resolves a name among the table's stored fields; FieldNumber becomes the field's position.
bool ResolveStoredField(void* owner, TExpToken& token) {
  TDataCursor& cursor = *static_cast<TDataCursor*>(owner);
  TDataTable& table = *cursor.Table;
  const std::string wanted = Trim(token.Name);
  for (std::int32_t position = 1; position <= table.GetFieldCount(); ++position) {
    const TFieldDefinition& field = table.GetFieldDefinitionByPos(position);
    if (!SameText(Trim(field.FieldName), wanted)) continue;
    token.FieldNumber = static_cast<std::uint16_t>(position);
    token.TableName = cursor.TableName;
    TakeFieldType(token, field);
    return true;
  }
  return false;
}

void FetchCalculatedField(void* owner, const void* record, TExpToken& token) {
  static_cast<TDataCursor*>(owner)->EvaluateCalculatedFieldData(static_cast<const std::uint8_t*>(record), token);
}

bool HasLength(std::uint8_t type) { return type == dtString || type == dtBytes || type == dtVarBytes; }

}  // namespace

std::int32_t TDataCursor::GetStoredRecordSize() const { return Table != nullptr ? Table->GetRecordSize() : 0; }

void TDataCursor::SetFieldMapping(const std::vector<TFieldDefinition>& definitions) {
  CheckOpen();
  CheckLocal();
  if (definitions.empty() || definitions.size() > static_cast<std::size_t>(kMaxFieldCount))
    RaiseCursor(KORVEL_INVALIDFLDTYPE);
  std::uint16_t nextNumber = 1;
  for (std::int32_t i = 1; i <= Table->GetFieldCount(); ++i)
    nextNumber = std::max<std::uint16_t>(nextNumber, Table->GetFieldDefinitionByPos(i).FieldNumber + 1);

  std::vector<TFieldDefinition> list;
  std::vector<TExpTokenPtr> trees;
  for (const TFieldDefinition& given : definitions) {
    if (!given.IsExpression) {
      // A stored field keeps the table's layout, whatever the caller says about it.
      const TFieldDefinition* stored = nullptr;
      for (std::int32_t i = 1; i <= Table->GetFieldCount() && stored == nullptr; ++i)
        if (Table->GetFieldDefinitionByPos(i).FieldNumber == given.FieldNumber) stored = &Table->GetFieldDefinitionByPos(i);
      if (stored == nullptr) RaiseCursor(KORVEL_INVALIDFLDTYPE, given.FieldName);
      list.push_back(*stored);
      trees.emplace_back();
      continue;
    }
    if (given.Expression == nullptr) RaiseCursor(KORVEL_INVALIDFLDTYPE, given.FieldName);
    TExpTokenPtr tree(CopyExpressionTokens(static_cast<const TExpToken*>(given.Expression)));
    CheckCalculatedExpression(tree.get(), Trim(given.FieldName), TableName, Directory->GetProperDataDirectoryName(),
                              &ResolveStoredField, this);
    TFieldDefinition field = given;
    if (field.DataType == 0) {
      field.DataType = tree->DataType;
      field.SubType = tree->SubType;
      field.Decimals = tree->Decimals;
      if (HasLength(field.DataType))
        field.Length = static_cast<std::uint8_t>(std::clamp(tree->DataSize - (field.DataType == dtString ? 1 : 0), 1, 250));
    }
    // A record slot holds a value, not a BLOB.
    if (field.DataType == dtBlob || field.IsAutoInc()) RaiseCursor(KORVEL_INVALIDFLDTYPE, field.FieldName);
    if (field.FieldNumber == 0) field.FieldNumber = nextNumber++;
    field.Required = false;
    list.push_back(std::move(field));
    trees.push_back(std::move(tree));
  }
  // Names, numbers, types, lengths and value texts as for a table's fields.
  TTableMaintenance(*this).VerifyFieldInformation(true, list, false);

  std::int32_t offset = GetStoredRecordSize();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].IsExpression) continue;
    list[i].Offset = static_cast<std::uint16_t>(offset);
    list[i].Expression = trees[i].get();
    offset += 1 + list[i].PhysicalSize;
    if (offset > 0xFFFF) RaiseCursor(KORVEL_INVALIDFLDTYPE, list[i].FieldName);
  }
  fields_ = std::move(list);
  expressions_ = std::move(trees);
  HasExpressionFields = std::any_of(fields_.begin(), fields_.end(), [](const auto& f) { return f.IsExpression; });
  RecordSize = offset;
  currentRecord_.resize(static_cast<std::size_t>(RecordSize), 0);
  CalculateExpressionFields(currentRecord_.data());
}

void TDataCursor::SetDefaultFieldMapping() {
  CheckOpen();
  BuildFieldList();
  RecordSize = GetStoredRecordSize();
  currentRecord_.resize(static_cast<std::size_t>(RecordSize), 0);
}

void TDataCursor::CalculateExpressionFields(std::uint8_t* record) {
  if (!HasExpressionFields || CalculatingField) return;
  CalculatingField = true;
  struct TGuard {
    bool& flag;
    ~TGuard() { flag = false; }
  } guard{CalculatingField};
  if (!evaluator_) evaluator_ = std::make_unique<TExpressionEvaluator>();
  if (!calcTarget_) calcTarget_.reset(GetNewExpTokenInstance());
  TEvaluationContext context;
  context.RecordBuffer = record;
  context.Owner = this;
  context.SortID = Table->GetSortID();
  context.LanguageID = Table->GetLanguageID();
  context.Fetcher = &FetchCalculatedField;
  for (const TFieldDefinition& field : fields_) {
    if (!field.IsExpression || field.Expression == nullptr) continue;
    const TExpToken& value = evaluator_->Evaluate(*static_cast<TExpToken*>(field.Expression), context);
    TExpToken& target = *calcTarget_;
    TakeFieldType(target, field);
    target.ResizeValueBuffer(static_cast<std::size_t>(field.PhysicalSize) + 1);
    EvaluateExpression(target, value);
    InternalPutField(field, record, false, true, target.IsNull ? nullptr : target.ValueBuffer.get());
  }
}

void TDataCursor::EvaluateCalculatedFieldData(const std::uint8_t* record, TExpToken& token) {
  if (token.FieldNumber < 1 || token.FieldNumber > Table->GetFieldCount())
    RaiseCursor(KORVEL_OUTOFRANGE, token.Name);
  const std::int32_t position = token.FieldNumber;
  const TFieldDefinition& field = Table->GetFieldDefinitionByPos(position);
  if (field.DataType == dtBlob) {
    token.IsNull = record[field.Offset] == 0 ? 1 : 0;
    std::int64_t size = 0;
    if (!token.IsNull) {
      // Read through a copy of the record: opening puts a handle into the BLOB slot. A value
      // this cursor has open (an edit in progress) is read as edited.
      calcScratch_.assign(record, record + GetStoredRecordSize());
      const int code = ReadWholeBlob(position, calcScratch_.data(), true, [&](std::size_t n) {
        size = static_cast<std::int64_t>(n);
        token.ResizeValueBuffer(n + 1);
        return token.ValueBuffer.get();
      });
      if (code != 0) RaiseCursor(static_cast<TErrorCode>(code), field.FieldName);
    }
    token.ResizeValueBuffer(static_cast<std::size_t>(size) + 1);
    token.ValueBuffer[static_cast<std::size_t>(size)] = 0;
    token.SetDataSize(static_cast<std::int32_t>(size + (field.SubType == stMemo ? 1 : 0)));
    return;
  }
  const std::size_t size = field.PhysicalSize;
  token.ResizeValueBuffer(size + 1);
  bool blank = true;
  InternalGetField(field, record, blank, token.ValueBuffer.get());
  token.ValueBuffer[size] = 0;
  token.IsNull = blank ? 1 : 0;
}

}  // namespace korvel
