// The structure checks of new and changed tables. Each raises the first fault it meets, with
// the table and database names, before anything is written.

#include <cctype>
#include <set>

#include "engine/table_maintenance.h"
#include "support/key_encoding.h"
#include "support/language.h"
#include "support/path_helpers.h"

namespace korvel {

namespace {

bool StartsWithLetter(const std::string& name) {
  return !name.empty() && std::isalpha(static_cast<unsigned char>(name[0])) != 0;
}

std::string Upper(const std::string& text) {
  std::string u = text;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

bool HasLength(std::uint8_t type) { return type == dtString || type == dtBytes || type == dtVarBytes; }

}  // namespace

void TTableMaintenance::VerifyStructureInformation(TTableStructure& structure, bool allowNoPrimaryIndex,
                                                   bool allowExpressions) const {
  if (structure.Encrypted) {
    structure.Password = TrimString(structure.Password);
    if (structure.Password.empty() || structure.Password.size() > kMaxPasswordLength) Raise(KORVEL_INVALIDPASSWORD);
  }
  if (structure.LanguageID != 0 && !OSValidLocale(OSLocaleID(structure.LanguageID, structure.SortID)))
    Raise(KORVEL_CANNOTLOADLDDRV);
  if (structure.Fields.size() > static_cast<std::size_t>(kMaxFieldCount)) Raise(KORVEL_FLDLIMIT);
  if (structure.SecondaryIndexes.size() > static_cast<std::size_t>(kMaxSecondaryIndexes))
    Raise(KORVEL_INDEXLIMIT);
  if (structure.BlobBlockSize < 64) Raise(KORVEL_BLOBLIMIT);
  VerifyFieldInformation(allowExpressions, structure.Fields, true);
  VerifyIndexInformation(structure, allowNoPrimaryIndex);
}

void TTableMaintenance::VerifyFieldInformation(bool allowExpressions, std::vector<TFieldDefinition>& fields,
                                               bool assignOffsets) const {
  std::set<std::string> names;
  std::set<std::uint16_t> numbers;
  std::size_t offset = kRecordFieldsOffset;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    TFieldDefinition& field = fields[i];
    // A name longer than the format holds is refused rather than cut: cutting could make two
    // names one, or hand back a name the caller never gave.
    field.FieldName = TrimString(field.FieldName);
    if (field.FieldName.size() > 30 || !StartsWithLetter(field.FieldName) ||
        !names.insert(Upper(field.FieldName)).second)
      Raise(KORVEL_INVALIDFIELDNAME, field.FieldName);
    if (field.FieldNumber == 0) field.FieldNumber = static_cast<std::uint16_t>(i + 1);
    if (!numbers.insert(field.FieldNumber).second) Raise(KORVEL_INVALIDFLDTYPE, field.FieldName);
    if (field.DataType == 0 || !IsValidDataType(field.DataType)) Raise(KORVEL_INVALIDFLDTYPE, field.FieldName);
    if (HasLength(field.DataType)) {
      if (field.Length == 0 || field.Length > kMaxFieldLength) Raise(KORVEL_INVALIDFLDTYPE, field.FieldName);
    } else {
      field.Length = 0;
    }
    if (field.IsExpression && !allowExpressions) Raise(KORVEL_INVALIDFLDTYPE, field.FieldName);
    if (field.DataType != dtBCD) field.Decimals = 0;
    if (field.DataType == dtBCD && field.Decimals > 32) Raise(KORVEL_INVALIDFLDTYPE, field.FieldName);
    UpdateFieldSize(field);
    std::uint8_t value[256];
    for (const std::string* text : {&field.DefaultValue, &field.MinimumValue, &field.MaximumValue})
      if (!text->empty() && !cursor_.ConvertValueText(*text, field, value))
        Raise(KORVEL_INVALIDVCHKSTRUCT, field.FieldName);
    if (!assignOffsets) continue;
    if (field.IsAutoInc()) {
      field.Offset = static_cast<std::uint16_t>(kRecordIDOffset);
    } else if (field.IsExpression) {
      field.Offset = 0;
    } else {
      field.Offset = static_cast<std::uint16_t>(offset);
      offset += 1u + field.PhysicalSize;
    }
  }
}

void TTableMaintenance::VerifyIndexDefinition(TIndexDefinition& definition, const std::vector<TFieldDefinition>& fields,
                                              bool allowEmpty, const std::string& errorName) const {
  int count = 0;
  std::size_t size = 0;
  for (int i = 0; i < kMaxKeyFields; ++i) {
    std::uint16_t number = definition.KeyFields[static_cast<std::size_t>(i)];
    if (number == 0) continue;
    // A field after the list's end: the list has a hole.
    if (count != i) Raise(KORVEL_INVALIDIDXDESC, "", errorName);
    const TFieldDefinition* field = nullptr;
    for (const TFieldDefinition& f : fields)
      if (f.FieldNumber == number) field = &f;
    if (field == nullptr) Raise(KORVEL_INVALIDIDXDESC, "", errorName);
    if (field->DataType == dtBlob) Raise(KORVEL_SEARCHCOLREQD, field->FieldName, errorName);
    size += 1 + IndexedSize(field->DataType, PhysicalSizeOf(field->DataType, field->Length));
    ++count;
  }
  definition.KeyFieldCount = static_cast<std::uint8_t>(count);
  if (count == 0) {
    if (!allowEmpty) Raise(KORVEL_INVALIDKEY, "", errorName);
    definition.KeySize = 0;
    return;
  }
  if (!definition.Unique) size += 4;
  if (size > static_cast<std::size_t>(kMaxIndexedKeyBytes)) Raise(KORVEL_INVALIDKEY, "", errorName);
  definition.KeySize = static_cast<std::uint16_t>(size);
  if (definition.Descending) definition.DescendingKeyFields.fill(true);
}

void TTableMaintenance::VerifyIndexInformation(TTableStructure& structure, bool allowNoPrimaryIndex) const {
  if (structure.SecondaryIndexes.size() > static_cast<std::size_t>(kMaxSecondaryIndexes)) Raise(KORVEL_INDEXLIMIT);
  TIndexDefinition& primary = structure.PrimaryIndex;
  primary.IndexName.clear();
  primary.Unique = true;
  VerifyIndexDefinition(primary, structure.Fields, allowNoPrimaryIndex, "Primary");
  std::set<std::string> names;
  for (TIndexDefinition& index : structure.SecondaryIndexes) {
    index.IndexName = TrimString(index.IndexName);
    if (index.IndexName.size() > kMaxIndexNameLength || !StartsWithLetter(index.IndexName))
      Raise(KORVEL_INVALIDINDEXNAME, "", index.IndexName);
    if (!names.insert(Upper(index.IndexName)).second) Raise(KORVEL_INDEXEXISTS, "", index.IndexName);
    VerifyIndexDefinition(index, structure.Fields, false, index.IndexName);
  }
  // The full-text index: string and memo fields only; its keys are words of fixed size.
  TIndexDefinition& text = structure.TextIndex;
  int count = 0;
  for (int i = 0; i < kMaxKeyFields; ++i) {
    std::uint16_t number = text.KeyFields[static_cast<std::size_t>(i)];
    if (number == 0) continue;
    if (count != i) Raise(KORVEL_INVALIDIDXDESC, "", kSysTextIndexName);
    const TFieldDefinition* field = nullptr;
    for (const TFieldDefinition& f : structure.Fields)
      if (f.FieldNumber == number) field = &f;
    if (field == nullptr) Raise(KORVEL_INVALIDIDXDESC, "", kSysTextIndexName);
    // A field listed twice would give each of its words two equal keys.
    for (int k = 0; k < i; ++k)
      if (text.KeyFields[static_cast<std::size_t>(k)] == number) Raise(KORVEL_INVALIDIDXDESC, field->FieldName, kSysTextIndexName);
    if (field->DataType != dtString && !(field->DataType == dtBlob && field->SubType == stMemo))
      Raise(KORVEL_SEARCHCOLREQD, field->FieldName, kSysTextIndexName);
    ++count;
  }
  text.KeyFieldCount = static_cast<std::uint8_t>(count);
  text.KeySize = kSysTextKeySize;
}

}  // namespace korvel
