#include "expr/expression_types.h"

#include <algorithm>

#include "support/data_types.h"

namespace korvel {

namespace {

// small integer, integer or word: the "int" of the result tables.
bool IsShortInt(std::uint8_t t) { return t == dtSmallInt || t == dtInteger || t == dtWord; }

bool IsComparison(TExpOperator op) { return op >= eoEQ && op <= eoLE; }

}  // namespace


bool CheckUnaryTypes(TExpOperator op, std::uint8_t type) {
  switch (op) {
    case eoNOT:
    case eoISBLANK:
    case eoNOTBLANK:
      return type == dtBoolean;
    case eoPLUS:
      if (type == dtWord) return true;
      [[fallthrough]];
    case eoMINUS:
      return type == 0 || type == dtDate || type == dtSmallInt || type == dtInteger || type == dtFloat ||
             type == dtBCD || type == dtTime || type == dtTimeStamp || type == dtLargeInt;
    default:
      return false;
  }
}

bool CheckBinaryTypes(TExpOperator op, std::uint8_t lt, std::uint8_t lst, std::uint8_t rt,
                      std::uint8_t rst) {
  if (rt == 0) return true;
  const bool lstr = IsStringType(lt, lst), rstr = IsStringType(rt, rst);
  if (lt == dtBlob && !lstr) return false;  // other BLOBs: only against NULL
  const bool ldate = lt == dtDate || lt == dtTimeStamp, rdate = rt == dtDate || rt == dtTimeStamp;
  switch (op) {
    case eoEQ:
    case eoNE:
      if ((lt == dtBoolean && rt == dtBoolean) || (lt == dtBytes && rt == dtBytes)) return true;
      [[fallthrough]];
    case eoGT:
    case eoLT:
    case eoGE:
    case eoLE:
      return (lstr && rstr) || (ldate && rdate) || (IsNumericType(lt) && IsNumericType(rt)) ||
             (lt == dtTime && rt == dtTime);
    case eoAND:
    case eoOR:
      return lt == dtBoolean && rt == dtBoolean;
    case eoADD:
      if (IsDateTimeType(lt)) return IsIntegerType(rt);
      if (lstr) return rstr;
      if (IsIntegerType(lt)) return IsNumericType(rt) || IsDateTimeType(rt);
      if (lt == dtFloat || lt == dtBCD) return IsNumericType(rt);
      return false;
    case eoSUB:
      if (lt == dtDate) return rt == dtDate || IsIntegerType(rt);
      if (lt == dtTime) return rt == dtTime || IsIntegerType(rt);
      if (lt == dtTimeStamp) return IsDateTimeType(rt) || IsIntegerType(rt);
      return IsNumericType(lt) && IsNumericType(rt);
    case eoMUL:
    case eoDIV:
      return IsNumericType(lt) && IsNumericType(rt);
    default:
      return false;
  }
}

bool GetCommonValueType(std::uint8_t at, std::uint8_t ast, std::uint8_t bt, std::uint8_t bst,
                        std::uint8_t& type, std::uint8_t& subType) {
  if (at == 0 || bt == 0 || !CheckBinaryTypes(eoEQ, at, ast, bt, bst)) return false;
  subType = ast == bst ? ast : stNone;
  if (at == bt) {
    type = at;
  } else if (IsStringType(at, ast)) {
    type = dtBlob;  // a string next to a memo
    subType = stMemo;
  } else if (IsDateTimeType(at)) {
    type = dtTimeStamp;  // a date next to a timestamp
  } else if (at == dtFloat || bt == dtFloat) {
    type = dtFloat;
  } else if (at == dtBCD || bt == dtBCD) {
    type = dtBCD;
  } else if (at == dtLargeInt || bt == dtLargeInt) {
    type = dtLargeInt;
  } else {
    type = dtInteger;  // small integer, word and integer
  }
  if (type != at && type != bt) subType = stNone;
  if (type == dtBlob) subType = stMemo;
  return true;
}

bool CheckCastTypes(std::uint8_t target, std::uint8_t source) {
  if (source == dtString || source == dtBlob || source == dtBytes || source == dtVarBytes) return true;
  switch (target) {
    case dtString:
    case dtBlob:
    case dtBytes:
    case dtVarBytes:
      return true;
    case dtDate:
      return source == dtDate || source == dtTimeStamp;
    case dtBoolean:
      return source == dtBoolean || source == dtSmallInt || source == dtInteger || source == dtBCD ||
             source == dtWord || source == dtLargeInt;
    case dtSmallInt:
    case dtWord:
      return source == dtBoolean || IsNumericType(source);
    case dtInteger:
    case dtFloat:
    case dtBCD:
    case dtLargeInt:
      return IsNumericType(source);
    case dtTime:
      return source == dtTime || source == dtTimeStamp;
    case dtTimeStamp:
      return source == dtDate || source == dtTime || source == dtTimeStamp;
    default:
      return false;
  }
}

std::uint8_t GetUnaryResultDataType(TExpOperator op, std::uint8_t operandType) {
  return (op == eoMINUS || op == eoPLUS) ? operandType : dtBoolean;
}

std::uint8_t GetUnaryResultSubType(TExpOperator op, std::uint8_t operandSubType) {
  return (op == eoMINUS || op == eoPLUS) ? operandSubType : stNone;
}

std::uint8_t GetBinaryResultDataType(TExpOperator op, std::uint8_t lt, std::uint8_t lst,
                                     std::uint8_t rt, std::uint8_t rst) {
  if (IsComparison(op) || op == eoAND || op == eoOR) return dtBoolean;
  if (rt == 0) return lt;  // against a NULL constant the result is NULL of the left's type
  if (op == eoADD && IsStringType(lt, lst)) {
    return (IsMemoType(lt, lst) || IsMemoType(rt, rst)) ? dtBlob : dtString;
  }
  if (op == eoADD || op == eoSUB) {
    switch (lt) {
      case dtDate:
        return rt == dtDate ? dtInteger : dtDate;
      case dtTime:
        return rt == dtTime ? dtInteger : dtTime;
      case dtTimeStamp:
        if (rt == dtDate || rt == dtTime) return dtInteger;
        return rt == dtTimeStamp ? dtFloat : dtTimeStamp;
      default:
        break;
    }
    if (IsIntegerType(lt) && IsDateTimeType(rt)) return rt;
  }
  if (op == eoDIV && IsIntegerType(lt)) return rt == dtBCD ? dtBCD : dtFloat;
  // The numeric rows, shared by ADD, SUB, MUL and the rest of DIV.
  if (lt == dtFloat || rt == dtFloat) return dtFloat;
  if (lt == dtBCD || rt == dtBCD) return dtBCD;
  if (lt == dtLargeInt || rt == dtLargeInt) return dtLargeInt;
  if (IsShortInt(lt) && IsShortInt(rt)) return dtInteger;
  return lt;
}

std::uint8_t GetBinaryResultSubType(TExpOperator op, std::uint8_t lt, std::uint8_t lst,
                                    std::uint8_t rt, std::uint8_t rst) {
  if (op == eoADD && IsStringType(lt, lst) && (IsMemoType(lt, lst) || IsMemoType(rt, rst))) return stMemo;
  if ((op == eoADD || op == eoSUB) && lt == dtFloat && lst == stMoney && IsNumericType(rt)) return stMoney;
  if (op == eoMUL && rt == dtFloat && rst == stMoney) return stMoney;
  return stNone;
}

std::int32_t FixedTypeSize(std::uint8_t type) {
  switch (type) {
    case dtDate:
    case dtInteger:
    case dtTime:
    case dtUnsignedInt:
      return 4;
    case dtBlob:
    case dtFloat:
    case dtTimeStamp:
    case dtLargeInt:
      return 8;
    case dtBoolean:
    case dtSmallInt:
    case dtWord:
      return 2;
    case dtBCD:
      return 34;
    case dtExtended:
      return 10;
    default:
      return 0;
  }
}

void UpdateBinaryToken(TExpToken& node) {
  const TExpToken& l = *node.Left;
  const TExpToken& r = *node.Right;
  node.DataType = GetBinaryResultDataType(node.Operator, l.DataType, l.SubType, r.DataType, r.SubType);
  node.SubType = GetBinaryResultSubType(node.Operator, l.DataType, l.SubType, r.DataType, r.SubType);
  node.Decimals = 0;
  std::int32_t size = 0;
  if (node.Operator == eoADD && IsStringType(l.DataType, l.SubType)) {
    // Both sizes count a terminator; the result has one.
    size = std::max<std::int32_t>(l.DataSize, 1) + std::max<std::int32_t>(r.DataSize, 1) - 1;
  } else if (node.DataType == dtString) {
    size = std::max(l.DataSize, r.DataSize);
  } else {
    size = FixedTypeSize(node.DataType);
    if (node.DataType == dtBCD) node.Decimals = std::max(l.Decimals, r.Decimals);
  }
  node.SetDataSize(size);
}

}  // namespace korvel
