#pragma once
// A small in-memory table for the expression tests: named, typed fields, rows of native
// values, and the resolver and fetcher that checking and evaluation take.

#include <gtest/gtest.h>

#include <cstring>
#include <strings.h>
#include <map>
#include <string>
#include <vector>

#include "expr/expression_checker.h"
#include "expr/expression_evaluator.h"
#include "expr/expression_parser.h"
#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/number_helpers.h"

namespace korvel::testing {

struct TTestField {
  std::string Name;
  std::uint8_t Type;
  std::uint8_t SubType;
  std::int32_t Size;
  std::uint8_t Decimals;
};

// One value per field: bytes in native form, or NULL.
struct TTestRow {
  std::vector<std::vector<std::uint8_t>> Values;
  std::vector<bool> Nulls;
};

class TTestTable {
 public:
  TTestTable() {
    fields_ = {
        {"Name", dtString, 0, 31, 0},     {"City", dtString, 0, 21, 0},   {"Amount", dtFloat, 0, 8, 0},
        {"Code", dtInteger, 0, 4, 0},     {"Small", dtSmallInt, 0, 2, 0}, {"Qty", dtWord, 0, 2, 0},
        {"Big", dtLargeInt, 0, 8, 0},     {"Price", dtBCD, 0, 34, 2},     {"Born", dtDate, 0, 4, 0},
        {"At", dtTime, 0, 4, 0},          {"Stamp", dtTimeStamp, 0, 8, 0}, {"Flag", dtBoolean, 0, 2, 0},
        {"Notes", dtBlob, stMemo, 8, 0},  {"Pic", dtBlob, stBinary, 8, 0}, {"Raw", dtBytes, 0, 4, 0},
        {"Fee", dtFloat, stMoney, 8, 0},  {"Stamp2", dtTimeStamp, 0, 8, 0},
    };
  }

  int Index(const std::string& name) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (strcasecmp(fields_[i].Name.c_str(), name.c_str()) == 0) return static_cast<int>(i);
    }
    return -1;
  }
  const std::vector<TTestField>& Fields() const { return fields_; }

  TTestRow NewRow() const {
    TTestRow row;
    row.Values.resize(fields_.size());
    row.Nulls.assign(fields_.size(), true);
    return row;
  }

  // Setters by field name.
  void SetBytes(TTestRow& row, const std::string& name, const void* p, std::size_t n) const {
    const int i = Index(name);
    row.Values[i].assign(static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
    row.Nulls[i] = false;
  }
  void SetString(TTestRow& row, const std::string& name, const std::string& s) const {
    SetBytes(row, name, s.c_str(), s.size() + 1);
  }
  void SetInt(TTestRow& row, const std::string& name, std::int64_t v) const {
    std::uint8_t b[8];
    PutI64(b, 0, v);
    SetBytes(row, name, b, static_cast<std::size_t>(fields_[Index(name)].Size));
  }
  void SetFloat(TTestRow& row, const std::string& name, double v) const {
    std::uint8_t b[8];
    PutF64(b, 0, v);
    SetBytes(row, name, b, 8);
  }
  void SetBcd(TTestRow& row, const std::string& name, const std::string& text) const {
    std::uint8_t b[34];
    StrToBcd(text).ToBytes(b);
    SetBytes(row, name, b, 34);
  }
  void SetDate(TTestRow& row, const std::string& name, int y, int m, int d) const {
    SetInt(row, name, DateTimeToDayNumber(EncodeDate(y, m, d)));
  }
  void SetStamp(TTestRow& row, const std::string& name, int y, int m, int d, int h, int n, int s,
                int ms) const {
    SetFloat(row, name, DateTimeToTimeStampValue(ComposeDateTime(EncodeDate(y, m, d), EncodeTime(h, n, s, ms))));
  }
  void SetNull(TTestRow& row, const std::string& name) const { row.Nulls[Index(name)] = true; }

  static bool Resolve(void* owner, TExpToken& field) {
    const TTestTable& t = *static_cast<TTestTable*>(owner);
    const int i = t.Index(field.Name);
    if (i < 0) return false;
    const TTestField& f = t.fields_[i];
    field.FieldNumber = static_cast<std::uint16_t>(i + 1);
    field.DataType = f.Type;
    field.SubType = f.SubType;
    field.SetDataSize(f.Size);
    field.Decimals = f.Decimals;
    return true;
  }

  static void Fetch(void* owner, const void* record, TExpToken& field) {
    TTestTable& t = *static_cast<TTestTable*>(owner);
    const TTestRow& row = *static_cast<const TTestRow*>(record);
    const std::size_t i = field.FieldNumber - 1u;
    ++t.Fetches[t.fields_[i].Name];
    field.IsNull = row.Nulls[i] ? 1 : 0;
    const std::vector<std::uint8_t>& v = row.Values[i];
    field.ResizeValueBuffer(v.size() + 1);
    std::memset(field.ValueBuffer.get(), 0, std::max<std::size_t>(v.size() + 1, 8));
    if (!v.empty()) std::memcpy(field.ValueBuffer.get(), v.data(), v.size());
    if (t.fields_[i].Type == dtBlob) field.SetDataSize(static_cast<std::int32_t>(v.size()));
  }

  TExpressionCheckContext CheckContext() {
    TExpressionCheckContext c;
    c.TableName = "customer";
    c.StringConstantsAsFields = true;
    c.Resolver = &TTestTable::Resolve;
    c.Owner = this;
    return c;
  }

  TEvaluationContext EvalContext(const TTestRow* row, std::uint16_t languageId = 0) {
    TEvaluationContext c;
    c.RecordBuffer = row;
    c.Owner = this;
    c.LanguageID = languageId;
    c.Fetcher = &TTestTable::Fetch;
    return c;
  }

  // Parses and checks a filter text.
  TExpTokenPtr Checked(const std::string& text) {
    TExpTokenPtr tree = ParseFilterExpression(text, "customer");
    VerifyExpression(CheckContext(), tree.get());
    return tree;
  }

  // The message of the check failure of text, or "" when it checks.
  std::string CheckError(const std::string& text) {
    try {
      Checked(text);
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
      return e.ErrorMessage;
    }
    return "";
  }

  std::map<std::string, int> Fetches;

 private:
  std::vector<TTestField> fields_;
};

}  // namespace korvel::testing
