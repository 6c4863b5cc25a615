#include "expr/expression_checker.h"

#include <algorithm>
#include <cstring>

#include "expr/expression_types.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/text_forms.h"

namespace korvel {

namespace {

// One checking pass: the caller's context plus the rule, switched off for the arguments of
// LIKE, IN and BETWEEN, that string constants may name fields.
class TChecker {
 public:
  explicit TChecker(const TExpressionCheckContext& context) : c_(context) {}

  void Check(TExpToken* parent, TExpToken* node, bool constantsAsFields);

 private:
  [[noreturn]] void Fail(const std::string& message) const {
    RaiseError(c_.ErrorCode, "", "", c_.DatabaseName, c_.TableName, "", "", message);
  }
  // A message of the function table: the text, then the context description.
  [[noreturn]] void FailIn(const std::string& message) const { Fail(message + c_.ContextDescription); }

  void CheckConstant(TExpToken* node, bool constantsAsFields);
  void CheckField(TExpToken* node);
  void CheckUnary(TExpToken* node);
  void CheckBinary(TExpToken* node, bool constantsAsFields);
  void CheckFunction(TExpToken* node, bool constantsAsFields);
  void CheckPredicate(TExpToken* node, bool constantsAsFields);
  void CheckCast(TExpToken* node);
  void CheckValueList(TExpToken* node, std::size_t first, const char* name);
  void ConvertDateTimeConstant(TExpToken& constant, const TExpToken& typed) const;
  TExpToken& Argument(TExpToken* node, std::size_t i) const;

  const TExpressionCheckContext& c_;
};

bool IsStr(const TExpToken& t) { return IsStringType(t.DataType, t.SubType); }

bool IsStringConstant(const TExpToken& t) {
  return t.NodeClass == enCONST && t.DataType == dtString && !t.IsParameter;
}

// An integer constant's value, or false when the token is not one.
bool IntegerConstant(const TExpToken* t, std::int64_t& value) {
  if (t == nullptr || t->NodeClass != enCONST || t->IsNull || t->IsParameter) return false;
  switch (t->DataType) {
    case dtSmallInt: value = GetI16(t->ValueBuffer.get(), 0); return true;
    case dtInteger: value = GetI32(t->ValueBuffer.get(), 0); return true;
    case dtWord: value = GetU16(t->ValueBuffer.get(), 0); return true;
    case dtLargeInt: value = GetI64(t->ValueBuffer.get(), 0); return true;
    default: return false;
  }
}

const char* OperandKind(const TExpToken& t) {
  switch (t.NodeClass) {
    case enFIELD: return "column";
    case enCONST: return "constant";
    case enFUNC: return "function";
    default: return "expression";
  }
}

const char* PredicateName(TExpOperator op) {
  switch (op) {
    case eoLIKE: return "LIKE";
    case eoNOTLIKE: return "NOT LIKE";
    case eoBETWEEN: return "BETWEEN";
    case eoNOTBETWEEN: return "NOT BETWEEN";
    case eoIN: case eoSUBIN: return "IN";
    default: return "NOT IN";
  }
}

std::string ConstantText(const TExpToken& t) {
  const char* p = reinterpret_cast<const char*>(t.ValueBuffer.get());
  return std::string(p, strnlen(p, t.ValueBufferSize));
}

void SetType(TExpToken& node, std::uint8_t type, std::uint8_t subType, std::int32_t size,
             std::uint8_t decimals = 0) {
  node.DataType = type;
  node.SubType = subType;
  node.Decimals = decimals;
  node.SetDataSize(size);
}

void TakeType(TExpToken& node, const TExpToken& from) {
  SetType(node, from.DataType, from.SubType, from.DataSize, from.Decimals);
}

}  // namespace

TExpToken& TChecker::Argument(TExpToken* node, std::size_t i) const {
  TExpToken* a = node->GetArgumentExpToken(i);
  if (a == nullptr) {
    FailIn("Missing argument of the " + (node->Name.empty() ? node->Text : node->Name) + " function in ");
  }
  return *a;
}

void TChecker::Check(TExpToken* parent, TExpToken* node, bool constantsAsFields) {
  if (node == nullptr) FailIn("Missing operand in ");
  switch (node->NodeClass) {
    case enCONST: CheckConstant(node, constantsAsFields); break;
    case enFIELD: CheckField(node); break;
    case enUNARY: CheckUnary(node); break;
    case enBINARY:
    case enCOMPARE: CheckBinary(node, constantsAsFields); break;
    case enFUNC: CheckFunction(node, constantsAsFields); break;
    case enEXTBINARY: CheckPredicate(node, constantsAsFields); break;
    case enTUPLE: break;  // a sub-select: its own statement checks it
    default: FailIn("Unknown or unexpected expression '" + node->Text + "' in ");
  }
  (void)parent;
}

void TChecker::CheckConstant(TExpToken* node, bool constantsAsFields) {
  if (!constantsAsFields || !c_.StringConstantsAsFields || c_.Resolver == nullptr) return;
  if (node->DataType != dtString || node->IsParameter || node->IsNull || node->Text.empty()) return;
  // Offer the text as a field name; the constant's own type is kept for evaluation without a
  // record.
  const std::uint8_t type = node->DataType, subType = node->SubType, decimals = node->Decimals;
  const std::int32_t size = node->DataSize;
  node->NodeClass = enFIELD;
  node->Operator = eoFIELD;
  node->Name = node->Text;
  if (c_.Resolver(c_.Owner, *node)) {
    node->ResizeValueBuffer(static_cast<std::size_t>(std::max(node->DataSize, 0)));
    node->FromStringConstant = 1;
    node->ConstantDataType = type;
    node->ConstantSubType = subType;
    node->ConstantDataSize = size;
    node->ConstantDecimals = decimals;
    return;
  }
  node->NodeClass = enCONST;
  node->Operator = eoCONST;
  node->Name.clear();
  node->FieldNumber = 0;
  node->DataType = type;
  node->SubType = subType;
  node->Decimals = decimals;
  node->SetDataSize(size);
}

void TChecker::CheckField(TExpToken* node) {
  if (c_.Resolver != nullptr && c_.Resolver(c_.Owner, *node)) {
    node->ResizeValueBuffer(static_cast<std::size_t>(std::max(node->DataSize, 0)));
    return;
  }
  Fail("Invalid column name '" + node->Name + "'" + " or table correlation name " + "'" + node->TableName +
       "'" + " specified in " + c_.ContextDescription);
}

void TChecker::CheckUnary(TExpToken* node) {
  Check(node, node->Left, true);
  const TExpToken& operand = *node->Left;
  if (!CheckUnaryTypes(node->Operator, operand.DataType)) {
    Fail("Type mismatch between '" + node->Text + "'" + " operator and " + "'" + operand.Text + "'" + " in " +
         c_.ContextDescription);
  }
  if (node->Operator == eoMINUS || node->Operator == eoPLUS) {
    TakeType(*node, operand);
  } else {
    SetType(*node, dtBoolean, stNone, 2);
  }
}

void TChecker::ConvertDateTimeConstant(TExpToken& constant, const TExpToken& typed) const {
  const std::string text = ConstantText(constant);
  TDateTime value = 0;
  bool ok = false;
  switch (typed.DataType) {
    case dtDate: ok = TryStrToAnsiDate(text, value); break;
    case dtTime: ok = TryStrToAnsiTime(text, value); break;
    default: ok = TryStrToAnsiDateTime(text, value); break;
  }
  if (!ok) {
    Fail("Date, time, or timestamp expression expected, instead found '" + text + "'" + " in " +
         c_.ContextDescription);
  }
  SetType(constant, typed.DataType, typed.SubType, FixedTypeSize(typed.DataType), typed.Decimals);
  std::memset(constant.ValueBuffer.get(), 0, constant.ValueBufferSize);
  switch (typed.DataType) {
    case dtDate: PutI32(constant.ValueBuffer.get(), 0, DateTimeToDayNumber(value)); break;
    case dtTime: PutI32(constant.ValueBuffer.get(), 0, DateTimeToTimeMSecs(value)); break;
    default: PutF64(constant.ValueBuffer.get(), 0, DateTimeToTimeStampValue(value)); break;
  }
}

void TChecker::CheckBinary(TExpToken* node, bool constantsAsFields) {
  Check(node, node->Left, constantsAsFields);
  Check(node, node->Right, constantsAsFields);
  TExpToken& l = *node->Left;
  TExpToken& r = *node->Right;
  if (IsDateTimeType(l.DataType) && IsStringConstant(r) && !r.IsNull) ConvertDateTimeConstant(r, l);
  else if (IsDateTimeType(r.DataType) && IsStringConstant(l) && !l.IsNull) ConvertDateTimeConstant(l, r);
  if (!CheckBinaryTypes(node->Operator, l.DataType, l.SubType, r.DataType, r.SubType)) {
    Fail(std::string("Type mismatch between ") + OperandKind(l) + " " + "'" + l.Text + "'" + " and " +
         OperandKind(r) + " " + "'" + r.Text + "'" + " in " + c_.ContextDescription);
  }
  UpdateBinaryToken(*node);
}

void TChecker::CheckPredicate(TExpToken* node, bool constantsAsFields) {
  const TExpOperator op = node->Operator;
  TExpToken& value = Argument(node, 0);
  Check(node, &value, constantsAsFields);
  auto mismatch = [&](const TExpToken& offending) {
    Fail(std::string("Type mismatch between ") + PredicateName(op) + " operator and expression " + "'" +
         offending.Text + "'" + " in " + c_.ContextDescription);
  };
  if (op == eoLIKE || op == eoNOTLIKE) {
    TExpToken& pattern = Argument(node, 1);
    Check(node, &pattern, false);
    if (!IsStr(value)) mismatch(value);
    if (pattern.DataType != dtString && pattern.DataType != 0) mismatch(pattern);
  } else if (op == eoSUBIN || op == eoNOTSUBIN) {
    TExpToken& subSelect = Argument(node, 1);
    if (c_.SubSelectColumns == nullptr) FailIn("Sub-select queries are not allowed in ");
    TExpTokenPtr column = NewExpToken();
    if (c_.SubSelectColumns(c_.Owner, subSelect, *column) > 1) {
      FailIn("More than 1 column for sub-select  specified in ");
    }
    if (!CheckBinaryTypes(eoEQ, value.DataType, value.SubType, column->DataType, column->SubType)) {
      mismatch(subSelect);
    }
  } else {
    if (node->ArgumentCount() < 2 || ((op == eoBETWEEN || op == eoNOTBETWEEN) && node->ArgumentCount() != 3)) {
      FailIn(std::string("Missing operand of the ") + PredicateName(op) + " operator in ");
    }
    for (std::size_t i = 1; i < node->ArgumentCount(); ++i) {
      TExpToken& other = Argument(node, i);
      Check(node, &other, false);
      if (IsDateTimeType(value.DataType) && IsStringConstant(other) && !other.IsNull) {
        ConvertDateTimeConstant(other, value);
      }
      if (!CheckBinaryTypes(eoEQ, value.DataType, value.SubType, other.DataType, other.SubType)) mismatch(other);
    }
  }
  SetType(*node, dtBoolean, stNone, 2);
}

// COALESCE (every argument) and IFNULL (the two value arguments after the tested one): values
// of one family, at least one of them not a NULL constant. The result takes the type that holds
// them all (GetCommonValueType), so that no argument is cut to the first one's type.
void TChecker::CheckValueList(TExpToken* node, std::size_t first, const char* name) {
  std::uint8_t type = 0, subType = 0, decimals = 0;
  std::int32_t size = 0;
  for (std::size_t i = first; i < node->ArgumentCount(); ++i) {
    const TExpToken& a = Argument(node, i);
    if (a.DataType == 0) continue;
    if (type == 0) {
      type = a.DataType;
      subType = a.SubType;
    } else if (!GetCommonValueType(type, subType, a.DataType, a.SubType, type, subType)) {
      FailIn(std::string("Type mismatch between ") + name + " expression arguments in ");
    }
    decimals = std::max(decimals, a.Decimals);
    size = std::max(size, a.DataSize);
  }
  if (type == 0) {
    Fail(std::string("At least one of the ") + name + " expression " + "arguments in " + c_.ContextDescription +
         " must be a non-NULL value");
  }
  const std::int32_t fixed = FixedTypeSize(type);
  SetType(*node, type, subType, fixed != 0 && type != dtBlob ? fixed : size, decimals);
}

void TChecker::CheckCast(TExpToken* node) {
  TExpToken& value = Argument(node, 0);
  Check(node, &value, true);
  const std::uint8_t target = node->DataType;
  TExpToken* first = node->GetArgumentExpToken(1);
  TExpToken* second = node->GetArgumentExpToken(2);
  std::int64_t n = 0;
  switch (target) {
    case dtString:
    case dtBytes:
    case dtVarBytes: {
      if (!IntegerConstant(first, n)) FailIn("Length argument must be an integer in ");
      if (n <= 0 || n > kMaxFieldLength) {
        FailIn("Length argument must be an integer greater than 0 and less than or equal to " +
               std::to_string(kMaxFieldLength) + " in ");
      }
      node->SetDataSize(static_cast<std::int32_t>(target == dtString ? n + 1 : n));
      break;
    }
    case dtBCD: {
      node->Decimals = 0;
      if (second != nullptr) {
        if (!IntegerConstant(second, n)) FailIn("Scale argument must be an integer in ");
        if (n < 0 || n > 4) {
          FailIn("Scale argument must be an integer less than or equal to 4 but greater than or equal to 0 "
                 "for the BCD data type ");
        }
        node->Decimals = static_cast<std::uint8_t>(n);
      }
      node->SetDataSize(34);
      break;
    }
    case dtBlob: {
      if (first != nullptr || second != nullptr) {
        if (!IntegerConstant(first, n)) FailIn("First BLOB type argument must be an integer in ");
        if (!IntegerConstant(second, n)) FailIn("BLOB type argument must be an integer in ");
        if (n != 1 && n != 2 && n != 3 && n != 5 && n != 7) {
          FailIn("BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in ");
        }
        // 1 memo, 2 binary, 3 formatted memo, 5 graphic, 7 typed binary
        node->SubType = static_cast<std::uint8_t>(stMoney + n);
      }
      node->SetDataSize(std::max<std::int32_t>(value.DataSize, 1));
      break;
    }
    default:
      node->SetDataSize(FixedTypeSize(target));
      break;
  }
  if (value.DataType != 0 && !CheckCastTypes(target, value.DataType)) {
    FailIn("Type mismatch between CAST function and expression argument in ");
  }
}

void TChecker::CheckFunction(TExpToken* node, bool constantsAsFields) {
  const TExpOperator op = node->Operator;
  const std::string& name = node->Name;
  if (IsAggregateOperator(op)) {
    if (!c_.AllowAggregates) FailIn("Aggregate functions are not allowed in ");
    TExpToken& a = Argument(node, 0);
    if (op == eoCOUNT) {
      if (!(a.NodeClass == enFIELD && a.Name == "*")) Check(node, &a, constantsAsFields);
      SetType(*node, dtInteger, stNone, 4);
    } else {
      Check(node, &a, constantsAsFields);
      TakeType(*node, a);
    }
    return;
  }
  switch (op) {
    case eoCAST: CheckCast(node); return;
    case eoTEXTSEARCH:
    case eoTEXTOCCURS: {
      TExpToken& words = Argument(node, 0);
      TExpToken& field = Argument(node, 1);
      Check(node, &words, false);
      Check(node, &field, true);
      if (words.NodeClass != enCONST || words.IsParameter) {
        FailIn(name + " search text function argument must be a string constant in ");
      }
      if (words.DataType != dtString) {
        FailIn("Type mismatch between " + name + " function and search text function argument in ");
      }
      if (field.NodeClass != enFIELD) FailIn(name + " function column argument must be a valid column name in ");
      if (!IsStr(field)) FailIn("Type mismatch between " + name + " function and column function argument in ");
      if (op == eoTEXTSEARCH) SetType(*node, dtBoolean, stNone, 2);
      else SetType(*node, dtWord, stNone, 2);
      return;
    }
    case eoLASTAUTOINC:
    case eoIDENTCURRENT: {
      // The argument names a table, never a field: it is not offered to the resolver.
      const TExpToken& table = Argument(node, 0);
      if (!IsStringConstant(table) || table.IsNull) {
        FailIn(name + " table name function argument must " + "be a string constant in ");
      }
      SetType(*node, dtInteger, stNone, 4);
      return;
    }
    default:
      break;
  }
  // The trim character is a constant by rule, never a field name.
  const bool trim = op == eoTRIMLEADING || op == eoTRIMTRAILING || op == eoTRIMBOTH;
  for (std::size_t i = 0; i < node->ArgumentCount(); ++i) {
    Check(node, &Argument(node, i), constantsAsFields && !(trim && i == 0));
  }
  TExpToken& a0 = Argument(node, 0);
  switch (op) {
    case eoUPPER:
    case eoLOWER:
      if (!IsStr(a0)) FailIn("Type mismatch between " + name + " function and function argument in ");
      SetType(*node, dtString, stNone, std::max<std::int32_t>(a0.DataSize, 1));
      return;
    case eoLENGTH:
      if (!IsStr(a0)) FailIn("Type mismatch between LENGTH function and function argument in ");
      SetType(*node, dtInteger, stNone, 4);
      return;
    case eoSUBSTRING: {
      if (!IsStr(a0)) FailIn("Expression argument of SUBSTRING function must be a string or memo in ");
      if (!IsIntegerType(Argument(node, 1).DataType)) {
        FailIn("FROM argument of SUBSTRING function must be an integer value in ");
      }
      const TExpToken* count = node->GetArgumentExpToken(2);
      if (count != nullptr && !IsIntegerType(count->DataType)) {
        FailIn("FOR argument of SUBSTRING function must be an integer value in ");
      }
      SetType(*node, dtString, stNone, std::max<std::int32_t>(a0.DataSize, 1));
      return;
    }
    case eoREPLACE: {
      const TExpToken& search = a0;
      const TExpToken& replacement = Argument(node, 1);
      const TExpToken& subject = Argument(node, 2);
      // A NULL search or replacement (the empty text) is allowed: it reads as "".
      if ((search.DataType != dtString && search.DataType != 0) ||
          (replacement.DataType != dtString && replacement.DataType != 0)) {
        FailIn("Type mismatch between REPLACE function and search string argument in ");
      }
      if (!IsStr(subject)) FailIn("IN argument of REPLACE function must be a string or memo in ");
      // The evaluator sizes the value it builds; this is the size for constant texts.
      std::int32_t size = std::max<std::int32_t>(subject.DataSize, 1);
      const std::int32_t grow = replacement.DataSize - search.DataSize;
      if (grow > 0 && search.DataSize > 1) {
        size += (size - 1) / (search.DataSize - 1) * grow;
      }
      SetType(*node, IsMemoType(subject.DataType, subject.SubType) ? dtBlob : dtString, subject.SubType, size);
      return;
    }
    case eoPOS:
    case eoOCCURS:
      if (a0.DataType != dtString && a0.DataType != 0) {
        FailIn("Type mismatch between " + name + " function and search string argument in ");
      }
      if (!IsStr(Argument(node, 1))) FailIn("Type mismatch between " + name + " function and IN argument in ");
      SetType(*node, dtInteger, stNone, 4);
      return;
    case eoTRIMLEADING:
    case eoTRIMTRAILING:
    case eoTRIMBOTH: {
      if (!IsStringConstant(a0) || a0.IsNull || ConstantText(a0).size() != 1) {
        FailIn("Trim character argument of TRIM function must be a single character constant in ");
      }
      const TExpToken& subject = Argument(node, 1);
      if (!IsStr(subject)) FailIn("FROM argument of TRIM function must be a string or memo in ");
      SetType(*node, dtString, stNone, std::max<std::int32_t>(subject.DataSize, 1));
      return;
    }
    case eoEXTRACTYEAR:
    case eoEXTRACTMONTH:
    case eoEXTRACTWEEK:
    case eoEXTRACTDAY:
    case eoEXTRACTDAYOFWEEK:
    case eoEXTRACTDAYOFYEAR:
    case eoEXTRACTHOUR:
    case eoEXTRACTMINUTE:
    case eoEXTRACTSECOND:
      if (!IsDateTimeType(a0.DataType)) {
        FailIn("FROM argument of EXTRACT function must be a date, time, or timestamp in ");
      }
      SetType(*node, dtInteger, stNone, 4);
      return;
    case eoABS:
      if (!IsNumericType(a0.DataType)) {
        FailIn("Expression argument of ABS function must be an integer, floating-point, or BCD type in ");
      }
      TakeType(*node, a0);
      return;
    case eoROUND: {
      if (a0.DataType != dtFloat && a0.DataType != dtBCD) {
        FailIn("Expression argument of ROUND function must be a floating-point or BCD type in ");
      }
      const TExpToken* places = node->GetArgumentExpToken(1);
      std::int64_t d = 0;
      if (places != nullptr) {
        if (!IntegerConstant(places, d)) {
          FailIn("Decimal places argument of ROUND function must be an integer constant in ");
        }
        if (d < 0 || d > 32) {
          FailIn("Decimal places argument of ROUND function must be an integer constant between 0 and 32 in ");
        }
      }
      TakeType(*node, a0);
      return;
    }
    case eoIF: {
      if (a0.DataType != dtBoolean) FailIn("First expression argument of IF function must be a boolean type in ");
      const TExpToken& a = Argument(node, 1);
      const TExpToken& b = Argument(node, 2);
      const TExpToken& typed = a.DataType != 0 ? a : b;
      TakeType(*node, typed);
      const TExpToken& other = &typed == &a ? b : a;
      if (other.DataType != 0 && !CheckCastTypes(typed.DataType, other.DataType)) {
        FailIn("Type mismatch between IF function expression arguments in ");
      }
      // Two values of one family take the type that holds both (IF(c, Code, Amount) is a
      // float); others convert to the second argument's type.
      std::uint8_t common = 0, commonSub = 0;
      if (GetCommonValueType(a.DataType, a.SubType, b.DataType, b.SubType, common, commonSub)) {
        const std::int32_t fixed = FixedTypeSize(common);
        SetType(*node, common, commonSub, fixed != 0 && common != dtBlob ? fixed : std::max(a.DataSize, b.DataSize),
                std::max(a.Decimals, b.Decimals));
      }
      if (IsStr(typed)) node->SetDataSize(std::max(a.DataSize, b.DataSize));
      return;
    }
    case eoIFNULL:
      Argument(node, 2);
      CheckValueList(node, 1, "IFNULL");
      return;
    case eoCOALESCE:
      CheckValueList(node, 0, "COALESCE");
      return;
    default:
      FailIn("Unknown or unexpected function '" + node->Text + "' in ");
  }
}

void VerifyExpressionToken(const TExpressionCheckContext& context, TExpToken* parent, TExpToken* node) {
  TChecker(context).Check(parent, node, true);
}

void VerifyExpression(const TExpressionCheckContext& context, TExpToken* root) {
  VerifyExpressionToken(context, nullptr, root);
}

void VerifyMultipleExpressions(const TExpressionCheckContext& context, const std::vector<TExpToken*>& roots) {
  for (TExpToken* root : roots) {
    if (root != nullptr) VerifyExpressionToken(context, nullptr, root);
  }
}

void TransformBooleanExpression(TExpToken* node) {
  if (node == nullptr) return;
  TExpToken* left = GetNewExpTokenInstance();
  left->Copy(*node);  // takes over node's links
  TExpToken* right = GetNewExpTokenInstance();
  right->NodeClass = enCONST;
  right->Operator = eoCONST;
  right->Text = "True";
  right->DataType = dtBoolean;
  right->SetDataSize(2);
  PutU16(right->ValueBuffer.get(), 0, 1);
  node->Initialize();  // drops, not frees, the links now owned by left
  node->NodeClass = enBINARY;
  node->Operator = eoEQ;
  node->Text.assign(1, '=');  // (a character, not a literal: GCC 12 warns falsely on the literal)
  node->DataType = dtBoolean;
  node->SetDataSize(2);
  node->Left = left;
  node->Right = right;
}

namespace {

template <typename Pred>
bool AnyNode(const TExpToken* node, Pred&& pred) {
  if (node == nullptr) return false;
  if (pred(*node)) return true;
  if (AnyNode(node->Left, pred) || AnyNode(node->Right, pred)) return true;
  for (const TExpToken* a : node->Arguments) {
    if (AnyNode(a, pred)) return true;
  }
  return false;
}

}  // namespace

bool IsAggregateOperator(TExpOperator op) { return op >= eoSUM && op <= eoAVG; }

bool ContainsFields(const TExpToken* node) {
  return AnyNode(node, [](const TExpToken& t) { return t.NodeClass == enFIELD; });
}

bool ContainsOrs(const TExpToken* node) {
  while (node != nullptr && node->NodeClass == enUNARY && node->Operator == eoNOT) node = node->Left;
  return node != nullptr && node->NodeClass == enBINARY && node->Operator == eoOR;
}

bool ContainsNots(const TExpToken* node) {
  return AnyNode(node, [](const TExpToken& t) {
    return (t.NodeClass == enUNARY && t.Operator == eoNOT) ||
           (t.NodeClass == enEXTBINARY && (t.Operator == eoNOTLIKE || t.Operator == eoNOTIN ||
                                           t.Operator == eoNOTBETWEEN || t.Operator == eoNOTSUBIN));
  });
}

bool ContainsAggregates(const TExpToken* node) {
  return AnyNode(node, [](const TExpToken& t) { return t.NodeClass == enFUNC && IsAggregateOperator(t.Operator); });
}

}  // namespace korvel
