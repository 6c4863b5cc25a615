// Fields of record buffers: reading and writing values, defaults, validity checks.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/cursor_internal.h"
#include "framework/currency_bcd.h"
#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/language.h"
#include "support/text_forms.h"

namespace korvel {

namespace {

// Whole text as a decimal integer within [low, high]; false otherwise.
bool ParseInteger(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& value) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  std::size_t i = 0;
  bool negative = false;
  if (t[0] == '-' || t[0] == '+') {
    negative = t[0] == '-';
    i = 1;
  }
  if (i >= t.size()) return false;
  __int128 v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    v = v * 10 + (t[i] - '0');
    if (v > (static_cast<__int128>(1) << 64)) return false;
  }
  if (negative) v = -v;
  if (v < low || v > high) return false;
  value = static_cast<std::int64_t>(v);
  return true;
}

}  // namespace

void TDataCursor::BuildFieldList() {
  fields_.clear();
  expressions_.clear();
  HasValidityChecks = HasDefaults = HasExpressionFields = HasAutoInc = false;
  for (std::int32_t i = 1; i <= Table->GetFieldCount(); ++i) {
    const TFieldDefinition& field = Table->GetFieldDefinitionByPos(i);
    fields_.push_back(field);
    if (field.Required || !field.MinimumValue.empty() || !field.MaximumValue.empty()) HasValidityChecks = true;
    if (!field.DefaultValue.empty()) HasDefaults = true;
    if (field.IsExpression) HasExpressionFields = true;
    if (field.IsAutoInc()) HasAutoInc = true;
  }
}

const TFieldDefinition& TDataCursor::GetFieldDefinition(std::int32_t fieldNo) const {
  CheckOpen();
  if (fieldNo < 1 || fieldNo > GetFieldCount()) RaiseCursor(KORVEL_OUTOFRANGE, std::to_string(fieldNo));
  return fields_[static_cast<std::size_t>(fieldNo - 1)];
}

std::int32_t TDataCursor::GetFieldNumber(const std::string& name) const {
  const std::string wanted = Trim(name);
  for (std::size_t i = 0; i < fields_.size(); ++i)
    if (SameText(Trim(fields_[i].FieldName), wanted)) return static_cast<std::int32_t>(i + 1);
  return 0;
}

const TFieldDefinition* TDataCursor::FieldOf(std::int32_t fieldNo, bool physical) const {
  if (physical) {
    if (Table == nullptr || fieldNo < 1 || fieldNo > Table->GetFieldCount()) return nullptr;
    return &Table->GetFieldDefinitionByPos(fieldNo);
  }
  if (fieldNo < 1 || fieldNo > GetFieldCount()) return nullptr;
  return &fields_[static_cast<std::size_t>(fieldNo - 1)];
}

// ---------------------------------------------------------------------------------------------
// Record headers

std::int32_t TDataCursor::GetRecordID(const std::uint8_t* record) { return GetI32(record, kRecordIDOffset); }
void TDataCursor::PutRecordID(std::int32_t id, std::uint8_t* record) { PutI32(record, kRecordIDOffset, id); }
std::int32_t TDataCursor::GetRecordNo(const std::uint8_t* record) { return GetI32(record, kRecordNumberOffset); }
void TDataCursor::PutRecordNo(std::uint8_t* record, std::int32_t n) { PutI32(record, kRecordNumberOffset, n); }

void TDataCursor::ClearRecord(std::uint8_t* record) const {
  std::memset(record, 0, static_cast<std::size_t>(RecordSize));
}

// ---------------------------------------------------------------------------------------------
// Values

void TDataCursor::InternalGetField(const TFieldDefinition& field, const std::uint8_t* record, bool& isBlank,
                                   void* value) const {
  if (field.IsAutoInc()) {
    isBlank = false;
    if (value != nullptr) {
      std::memset(value, 0, field.PhysicalSize);
      std::memcpy(value, record + kRecordIDOffset, 4);
    }
    return;
  }
  isBlank = record[field.Offset] == 0;
  if (value == nullptr) return;
  std::memset(value, 0, field.PhysicalSize);
  if (field.DataType == dtBlob)
    std::memcpy(value, record + field.Offset + 1, 4);
  else
    std::memcpy(value, record + field.Offset + 1, field.PhysicalSize);
}

void TDataCursor::InternalPutField(const TFieldDefinition& field, std::uint8_t* record, bool nullIfNegative,
                                   bool override, const void* value) const {
  if (field.IsExpression && !override) return;
  std::uint8_t* at = record + field.Offset;
  if (value == nullptr) {
    if (field.IsAutoInc()) return;
    at[0] = 0;
    std::memset(at + 1, 0, field.DataType == dtBlob ? 4 : field.PhysicalSize);
    return;
  }
  switch (field.DataType) {
    case dtString: {
      char work[251] = {};
      const char* text = static_cast<const char*>(value);
      std::size_t n = strnlen(text, std::min<std::size_t>(field.PhysicalSize, sizeof(work) - 1));
      std::memcpy(work, text, n);
      while (n > 0 && work[n - 1] == ' ') --n;
      work[n] = '\0';
      if (field.CharCase == 1) OSLowerString(Table->GetLanguageID(), Table->GetSortID(), work);
      if (field.CharCase == 2) OSUpperString(Table->GetLanguageID(), Table->GetSortID(), work);
      if (field.PhysicalSize > 0 && n > static_cast<std::size_t>(field.PhysicalSize - 1)) n = field.PhysicalSize - 1;
      std::memset(at + 1, 0, field.PhysicalSize);
      std::memcpy(at + 1, work, n);
      at[0] = n > 0 ? 1 : 0;
      return;
    }
    case dtBlob: {
      std::int32_t reference;
      std::memcpy(&reference, value, 4);
      std::memcpy(at + 1, value, 4);
      at[0] = (reference > 0 || (reference < 0 && !nullIfNegative)) ? 1 : 0;
      return;
    }
    case dtBoolean: {
      std::uint16_t flag;
      std::memcpy(&flag, value, 2);
      PutU16(at, 1, flag != 0 ? 1 : 0);
      at[0] = 1;
      return;
    }
    default:
      if (field.IsAutoInc()) {
        std::memcpy(record + kRecordIDOffset, value, 4);
        return;
      }
      std::memcpy(at + 1, value, field.PhysicalSize);
      at[0] = 1;
  }
}

bool TDataCursor::GetField(std::int32_t fieldNo, const std::uint8_t* record, void* value) const {
  bool blank = true;
  InternalGetField(GetFieldDefinition(fieldNo), record, blank, value);
  return blank;
}

void TDataCursor::PutField(std::int32_t fieldNo, std::uint8_t* record, const void* value, bool nullIfNegative,
                           bool override) {
  const TFieldDefinition& field = GetFieldDefinition(fieldNo);
  InternalPutField(field, record, nullIfNegative, override, value);
  if (!field.IsExpression) CalculateExpressionFields(record);
}

bool TDataCursor::GetPhysicalField(std::int32_t fieldNo, const std::uint8_t* record, void* value) const {
  const TFieldDefinition* field = FieldOf(fieldNo, true);
  if (field == nullptr) RaiseCursor(KORVEL_OUTOFRANGE, std::to_string(fieldNo));
  bool blank = true;
  InternalGetField(*field, record, blank, value);
  return blank;
}

void TDataCursor::PutPhysicalField(std::int32_t fieldNo, std::uint8_t* record, const void* value) {
  const TFieldDefinition* field = FieldOf(fieldNo, true);
  if (field == nullptr) RaiseCursor(KORVEL_OUTOFRANGE, std::to_string(fieldNo));
  InternalPutField(*field, record, false, false, value);
  CalculateExpressionFields(record);
}

// ---------------------------------------------------------------------------------------------
// Defaults and validity

bool TDataCursor::ConvertValueText(const std::string& text, const TFieldDefinition& field, std::uint8_t* value) const {
  std::memset(value, 0, std::max<std::size_t>(field.PhysicalSize, 8));
  const std::string upper = [&] {
    std::string u = Trim(text);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
  }();
  try {
    switch (field.DataType) {
      case dtString: {
        std::size_t n = std::min<std::size_t>(text.size(), field.PhysicalSize > 0 ? field.PhysicalSize - 1u : 0u);
        std::memcpy(value, text.data(), n);
        return true;
      }
      case dtDate: {
        TDateTime d = upper == "CURRENT_DATE" ? Date() : StrToAnsiDate(text);
        PutI32(value, 0, DateTimeToDayNumber(d));
        return true;
      }
      case dtBoolean:
        PutU16(value, 0, StrToAnsiBoolean(text) ? 1 : 0);
        return true;
      case dtSmallInt:
      case dtInteger:
      case dtWord:
      case dtUnsignedInt:
      case dtLargeInt: {
        std::int64_t v = 0;
        std::int64_t low = field.DataType == dtSmallInt ? -32768
                           : field.DataType == dtInteger ? INT32_MIN
                           : field.DataType == dtLargeInt ? INT64_MIN
                                                          : 0;
        std::int64_t high = field.DataType == dtSmallInt ? 32767
                            : field.DataType == dtInteger ? INT32_MAX
                            : field.DataType == dtWord ? 65535
                            : field.DataType == dtUnsignedInt ? static_cast<std::int64_t>(UINT32_MAX)
                                                              : INT64_MAX;
        if (!ParseInteger(text, low, high, v)) return false;
        if (field.DataType == dtSmallInt || field.DataType == dtWord)
          PutU16(value, 0, static_cast<std::uint16_t>(v));
        else if (field.DataType == dtLargeInt)
          PutI64(value, 0, v);
        else
          PutI32(value, 0, static_cast<std::int32_t>(v));
        return true;
      }
      case dtFloat: {
        double v = StrToAnsiFloat(text);
        std::memcpy(value, &v, 8);
        return true;
      }
      case dtBCD: {
        TBcd bcd;
        if (!CurrToBCD(StrToAnsiCurr(text), bcd, 32, field.Decimals)) return false;
        bcd.ToBytes(value);
        return true;
      }
      case dtTime: {
        TDateTime t = upper == "CURRENT_TIME" ? Now() : StrToAnsiTime(text);
        PutI32(value, 0, DateTimeToTimeMSecs(t));
        return true;
      }
      case dtTimeStamp: {
        TDateTime t;
        if (upper == "CURRENT_TIMESTAMP")
          t = Now();
        else if (upper == "CURRENT_DATE")
          t = Date();
        else if (upper == "CURRENT_TIME")
          t = Now() - std::floor(Now());
        else
          t = StrToAnsiDateTime(text);
        double v = DateTimeToTimeStampValue(t);
        std::memcpy(value, &v, 8);
        return true;
      }
      default:
        return false;
    }
  } catch (const std::exception&) {
    return false;
  }
}

void TDataCursor::InitRecord(std::uint8_t* record) {
  CheckOpen();
  ClearRecord(record);
  if (HasDefaults) StoreDefaults(record);
  CalculateExpressionFields(record);
}

// Defaults and checks belong to the stored fields, whether the cursor's field list shows them
// or not.
void TDataCursor::StoreDefaults(std::uint8_t* record) const {
  std::uint8_t value[256];
  for (std::int32_t position = 1; position <= Table->GetFieldCount(); ++position) {
    const TFieldDefinition& field = Table->GetFieldDefinitionByPos(position);
    if (field.DefaultValue.empty() || !field.IsStored()) continue;
    if (ConvertValueText(field.DefaultValue, field, value)) {
      InternalPutField(field, record, false, false, value);
    } else {
      // A default the type cannot take leaves the field's value all zero (a BLOB stays null).
      std::memset(record + field.Offset + 1, 0, field.DataType == dtBlob ? 4 : field.PhysicalSize);
    }
  }
}

bool TDataCursor::CheckField(const std::string& text, int kind, const TFieldDefinition& field,
                             const std::uint8_t* value) const {
  std::uint8_t bound[256];
  if (!ConvertValueText(text, field, bound)) return true;  // a bound the type cannot read checks nothing
  int order = 0;
  switch (field.DataType) {
    case dtString:
      order = OSCompareStrings(Table->GetLanguageID(), Table->GetSortID(), reinterpret_cast<const char*>(value),
                               false, 0, reinterpret_cast<const char*>(bound));
      break;
    case dtDate:
    case dtTime:
    case dtInteger: {
      std::int32_t a = GetI32(value, 0), b = GetI32(bound, 0);
      order = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case dtSmallInt: {
      std::int16_t a = static_cast<std::int16_t>(GetU16(value, 0)), b = static_cast<std::int16_t>(GetU16(bound, 0));
      order = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case dtWord:
    case dtBoolean: {
      std::uint16_t a = GetU16(value, 0), b = GetU16(bound, 0);
      order = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case dtUnsignedInt: {
      std::uint32_t a = static_cast<std::uint32_t>(GetI32(value, 0)), b = static_cast<std::uint32_t>(GetI32(bound, 0));
      order = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case dtLargeInt: {
      std::int64_t a = GetI64(value, 0), b = GetI64(bound, 0);
      order = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case dtFloat:
    case dtTimeStamp: {
      double a, b;
      std::memcpy(&a, value, 8);
      std::memcpy(&b, bound, 8);
      order = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case dtBCD: {
      Currency a, b;
      if (!BCDToCurr(TBcd::FromBytes(value), a) || !BCDToCurr(TBcd::FromBytes(bound), b)) return true;
      order = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    default:
      return true;
  }
  return kind == 0 ? order >= 0 : order <= 0;
}

void TDataCursor::CheckRecordValidity(const std::uint8_t* record) const {
  if (!HasValidityChecks) return;
  std::uint8_t value[256];
  for (std::int32_t position = 1; position <= Table->GetFieldCount(); ++position) {
    const TFieldDefinition& field = Table->GetFieldDefinitionByPos(position);
    if (!field.IsStored()) continue;
    bool blank = true;
    InternalGetField(field, record, blank, value);
    if (field.Required && blank) RaiseCursor(KORVEL_REQDERR, field.FieldName);
    if (!field.MinimumValue.empty() && !CheckField(field.MinimumValue, 0, field, value))
      RaiseCursor(KORVEL_MINVALERR, field.FieldName);
    if (!field.MaximumValue.empty() && !CheckField(field.MaximumValue, 1, field, value))
      RaiseCursor(KORVEL_MAXVALERR, field.FieldName);
  }
}

}  // namespace korvel
