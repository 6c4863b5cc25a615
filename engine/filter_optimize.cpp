// Filter optimisation: normalisation, the choice of an index for a field, the key ranges that
// answer a predicate, and the optimisation levels, counts and costs of a tree.
//
// A predicate is answered from an index only when the key order gives exactly the evaluator's
// answer. Hence:
// - the index must be ascending in its first field, and that field must be the tested one;
// - the constant must have the field's own type (the preparation already converted every
//   constant that converts without loss), and a string constant must fit the field;
// - strings compare bytewise only in tables without a language; with a language a prefix of a
//   case-sensitive text is not one stretch of keys, so string predicates are evaluated there;
// - a plain string comparison needs a case-sensitive index, UPPER(field) and case-insensitive
//   compares a case-insensitive one;
// - booleans compare by truth, so they answer only = and <>;
// - unsigned integers and extended floats are keyed by their raw bytes, which do not order as
//   the values do: they answer = and <> only, with +0 and -0 of an extended float equal;
// - for ordering, a NULL string counts as the empty string (so "s < 'a'" includes NULLs) and
//   a NULL of any other type fails; = and <> follow the NULL rules of the evaluator.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/filter_internal.h"
#include "support/key_encoding.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// Key ranges

namespace {

bool IsConstant(const TExpToken* t) { return t != nullptr && t->NodeClass == enCONST && !t->IsParameter; }

// The field a predicate tests: the field itself or the argument of UPPER(field).
const TExpToken* TestedField(const TExpToken* t, bool& upper) {
  upper = false;
  if (t == nullptr) return nullptr;
  if (t->NodeClass == enFIELD && t->FieldNumber > 0) return t;
  if (IsUpperField(t)) {
    const TExpToken* field = t->GetArgumentExpToken(0);
    if (field->FieldNumber == 0) return nullptr;
    upper = true;
    return field;
  }
  return nullptr;
}

// What the key ranges of one predicate are built against.
struct TTarget {
  const TFieldDefinition* Field = nullptr;
  bool Upper = false;      // UPPER(field): keys of a case-insensitive index, constant as written
  bool CaseFold = false;   // the constant is upper-cased like the keys
  std::size_t KeySize = 0;
  std::size_t SegmentLength = 0;  // null flag + indexed value
};

TKeyBound ValueEdge(const TTarget& t) {
  // Every key with a value (null flag 1), whatever the value.
  TKeyBound b;
  b.Key.assign(t.KeySize, 0);
  b.Key[0] = 1;
  b.Length = 1;
  return b;
}

TKeyRange NullRange(const TTarget& t) {
  TKeyRange r;
  r.Low.Key.assign(t.KeySize, 0);
  r.Low.Length = 1;
  r.High = r.Low;
  return r;
}

TKeyRange ValueRange(const TTarget& t) {
  TKeyRange r;
  r.Low = ValueEdge(t);
  r.High = ValueEdge(t);
  return r;
}

// The constant's key segment (null flag 1) into bound; false when the constant cannot be
// compared through the keys.
bool EncodeConstant(const TTarget& t, const TExpToken& c, int partialLength, TKeyBound& bound) {
  const TFieldDefinition& f = *t.Field;
  if (c.IsNull) return false;
  bound.Key.assign(t.KeySize, 0);
  bound.Key[0] = 1;
  bound.Inclusive = true;
  if (f.DataType == dtString) {
    if (c.DataType != dtString) return false;
    const char* text = reinterpret_cast<const char*>(c.ValueBuffer.get());
    const std::size_t length = strnlen(text, static_cast<std::size_t>(std::max(c.DataSize, 0)));
    if (f.PhysicalSize == 0 || length > static_cast<std::size_t>(f.PhysicalSize - 1)) return false;
    if (partialLength < 0 || static_cast<std::size_t>(partialLength) > length) return false;
    char work[256] = {};
    std::memcpy(work, text, length);
    PrepareDataForIndex(dtString, f.PhysicalSize, work, bound.Key.data(), t.CaseFold, false, 0, 0);
    bound.Length = partialLength > 0 ? 1 + static_cast<std::size_t>(partialLength) : t.SegmentLength;
    return true;
  }
  if (c.DataType != f.DataType) return false;
  switch (f.DataType) {
    case dtDate: case dtSmallInt: case dtInteger: case dtFloat: case dtTime: case dtTimeStamp: case dtWord:
    case dtLargeInt: case dtUnsignedInt: case dtExtended:
      break;
    case dtBCD:
      // Keys hold BCD values as currency: exact up to 4 decimals.
      if (c.Decimals > 4 || f.Decimals > 4) return false;
      break;
    default:
      return false;
  }
  std::uint8_t value[40] = {};
  std::memcpy(value, c.ValueBuffer.get(), std::min<std::size_t>(sizeof(value), c.ValueBufferSize));
  PrepareDataForIndex(f.DataType, f.PhysicalSize, value, bound.Key.data(), false, false, 0, 0);
  bound.Length = t.SegmentLength;
  return true;
}

bool EmptyText(const TExpToken& c) { return c.IsNull || c.ValueBuffer[0] == 0; }

// The ranges for "target op constant"; false when the keys cannot answer it.
bool RangesFor(const TTarget& t, TExpOperator op, const TExpToken& c, int partialLength, TIndexAnswer& answer) {
  const std::uint8_t type = t.Field->DataType;
  if (c.IsNull) {
    if (op == eoEQ) {
      answer.Ranges.push_back(NullRange(t));
      return true;
    }
    if (op == eoNE) {
      answer.Ranges.push_back(NullRange(t));
      answer.Invert = !answer.Invert;
      return true;
    }
    return false;
  }
  if (type == dtBoolean) {
    if ((op != eoEQ && op != eoNE) || c.DataType != dtBoolean) return false;
    const bool truth = (c.ValueBuffer[0] | c.ValueBuffer[1]) != 0;
    TKeyRange r;
    r.Low.Key.assign(t.KeySize, 0);
    r.Low.Key[0] = 1;
    r.Low.Length = t.SegmentLength;
    r.High = r.Low;
    std::uint16_t low = truth ? 1 : 0, high = truth ? 0xFFFF : 0;
    FlipWordBits(low, r.Low.Key.data() + 1);
    FlipWordBits(high, r.High.Key.data() + 1);
    answer.Ranges.push_back(r);
    if (op == eoNE) answer.Invert = !answer.Invert;
    return true;
  }
  if ((type == dtUnsignedInt || type == dtExtended) && op != eoEQ && op != eoNE) return false;
  TKeyBound value;
  if (!EncodeConstant(t, c, partialLength, value)) return false;
  TKeyRange r;
  switch (op) {
    case eoEQ:
    case eoNE:
      r.Low = r.High = value;
      answer.Ranges.push_back(r);
      if (type == dtExtended) {
        // +0 and -0 are equal values with different bytes.
        bool zero = true;
        for (int i = 0; i < 9; ++i) zero = zero && value.Key[1 + i] == 0;
        zero = zero && (value.Key[10] & 0x7F) == 0;
        if (zero) {
          TKeyRange other = r;
          other.Low.Key[10] ^= 0x80;
          other.High = other.Low;
          answer.Ranges.push_back(other);
        }
      }
      if (op == eoNE) answer.Invert = !answer.Invert;
      return true;
    case eoGT:
      r.Low = value;
      r.Low.Inclusive = false;
      r.High = ValueEdge(t);
      break;
    case eoGE:
      r.Low = value;
      r.High = ValueEdge(t);
      break;
    case eoLT:
      r.Low = ValueEdge(t);
      r.High = value;
      r.High.Inclusive = false;
      break;
    case eoLE:
      r.Low = ValueEdge(t);
      r.High = value;
      break;
    default:
      return false;
  }
  if (partialLength > 0) return false;
  answer.Ranges.push_back(r);
  if (type == dtString) {
    // In ordering a NULL text is the empty text.
    const bool empty = EmptyText(c);
    const bool nullPasses = (op == eoGE && empty) || (op == eoLT && !empty) || op == eoLE;
    if (nullPasses) answer.Ranges.push_back(NullRange(t));
  }
  return true;
}

}  // namespace

int TFilterBuilder::ChangeToIndexForField(std::uint16_t fieldNumber, bool caseInsensitive) const {
  TDataTable& table = *cursor_.Table;
  const TFieldDefinition& field = table.GetFieldDefinitionByPos(fieldNumber);
  for (int slot = table.GetNoPrimaryIndex() ? 1 : 0; slot <= table.GetIndexCount(); ++slot) {
    const TIndexDefinition& d = table.IndexFile->IndexDefinition(slot);
    if (d.KeySize == 0 || d.KeyFieldCount == 0 || d.KeyFields[0] != fieldNumber) continue;
    if (d.Descending || d.DescendingKeyFields[0]) continue;
    if (field.DataType == dtString && d.CaseInsensitive != caseInsensitive) continue;
    return slot;
  }
  return -1;
}

bool TFilterBuilder::AnalyzeIndexedNode(const TExpToken* node, TIndexAnswer* answer) const {
  if (node == nullptr) return false;
  // The tested operand, the constants and the operator of the predicate.
  const TExpToken* tested = nullptr;
  TExpOperator op = node->Operator;
  int partial = 0;
  bool caseInsensitiveCompare = false;
  std::vector<const TExpToken*> constants;
  switch (node->NodeClass) {
    case enUNARY:
      if (op != eoISBLANK && op != eoNOTBLANK) return false;
      tested = node->Left;
      break;
    case enBINARY:
      if (op < eoEQ || op > eoLE || !IsConstant(node->Right)) return false;
      tested = node->Left;
      constants.push_back(node->Right);
      break;
    case enCOMPARE:
      if ((op != eoEQ && op != eoNE) || !IsConstant(node->Right)) return false;
      tested = node->Left;
      constants.push_back(node->Right);
      partial = node->PartialLength;
      caseInsensitiveCompare = node->CaseInsensitive != 0;
      break;
    case enEXTBINARY: {
      if (op != eoIN && op != eoNOTIN && op != eoBETWEEN && op != eoNOTBETWEEN) return false;
      if (node->ArgumentCount() < 2) return false;
      tested = node->GetArgumentExpToken(0);
      for (std::size_t i = 1; i < node->ArgumentCount(); ++i) {
        if (!IsConstant(node->GetArgumentExpToken(i))) return false;
        constants.push_back(node->GetArgumentExpToken(i));
      }
      if ((op == eoBETWEEN || op == eoNOTBETWEEN) && constants.size() != 2) return false;
      break;
    }
    default:
      return false;
  }
  bool upper = false;
  const TExpToken* field = TestedField(tested, upper);
  if (field == nullptr) return false;
  TDataTable& table = *cursor_.Table;
  if (field->FieldNumber > table.GetFieldCount()) return false;
  TTarget target;
  target.Field = &table.GetFieldDefinitionByPos(field->FieldNumber);
  target.Upper = upper;
  const bool isString = target.Field->DataType == dtString;
  if (upper && !isString) return false;
  if (isString && table.GetLanguageID() != 0) return false;
  const bool caseInsensitiveKeys = upper || caseInsensitiveCompare;
  target.CaseFold = caseInsensitiveCompare;
  const int slot = ChangeToIndexForField(field->FieldNumber, isString && caseInsensitiveKeys);
  if (slot < 0) return false;
  target.KeySize = table.IndexFile->IndexDefinition(slot).KeySize;
  target.SegmentLength = 1 + IndexedSize(target.Field->DataType, target.Field->PhysicalSize);
  TIndexAnswer local;
  TIndexAnswer& a = answer != nullptr ? *answer : local;
  a = TIndexAnswer();
  a.Slot = slot;
  switch (node->NodeClass) {
    case enUNARY:
      if (upper) return false;
      if (op == eoISBLANK) {
        a.Ranges.push_back(NullRange(target));
      } else {
        a.Ranges.push_back(ValueRange(target));
      }
      return true;
    case enBINARY:
    case enCOMPARE:
      return RangesFor(target, op, *constants[0], partial, a);
    default:
      break;
  }
  if (op == eoIN || op == eoNOTIN) {
    for (const TExpToken* c : constants) {
      TIndexAnswer one;
      if (!RangesFor(target, eoEQ, *c, 0, one) || one.Invert) return false;
      a.Ranges.insert(a.Ranges.end(), one.Ranges.begin(), one.Ranges.end());
    }
    a.Invert = op == eoNOTIN;
    return true;
  }
  // BETWEEN: value >= low and value <= high.
  const TExpToken& low = *constants[0];
  const TExpToken& high = *constants[1];
  const std::uint8_t type = target.Field->DataType;
  if (low.IsNull || high.IsNull || type == dtBoolean || type == dtUnsignedInt || type == dtExtended) return false;
  TKeyRange r;
  if (!EncodeConstant(target, low, 0, r.Low) || !EncodeConstant(target, high, 0, r.High)) return false;
  a.Ranges.push_back(r);
  if (isString && EmptyText(low)) a.Ranges.push_back(NullRange(target));
  a.Invert = op == eoNOTBETWEEN;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Levels, counts and costs

TOptimizeLevel TFilterBuilder::GetExpressionOptimizeLevel(TExpToken* node) {
  node->OptimizeLevel = olNone;
  node->OptimizeCount = -1;
  node->OptimizeCost = -1;
  node->OptimizeWork1 = 0;
  if (TTextSearchNode text; AnalyzeTextSearchNode(node, &text)) {
    node->OptimizeLevel = text.Exact ? olFull : olPartial;
    return node->OptimizeLevel;
  }
  TIndexAnswer answer;
  if (AnalyzeIndexedNode(node, &answer)) {
    node->OptimizeLevel = olFull;
    const bool count = filter_ != nullptr && (filter_->Options.Count || filter_->Options.Cost);
    if (count) {
      std::int64_t keys = 0;
      for (const TKeyRange& range : answer.Ranges) {
        const std::int32_t n = CountIndexedRecords(answer.Slot, range);
        if (n < 0) return node->OptimizeLevel;  // the table changed meanwhile: uncounted
        keys += n;
      }
      const std::int32_t actual = cursor_.Table->GetActualRecordCount();
      if (answer.Invert) keys = std::max<std::int64_t>(0, actual - keys);
      node->OptimizeCount = static_cast<std::int32_t>(std::min<std::int64_t>(keys, actual));
      node->OptimizeCost =
          node->OptimizeCount * static_cast<std::int32_t>(cursor_.Table->IndexFile->IndexDefinition(answer.Slot).KeySize);
      if (filter_->Options.Cost && node->OptimizeCount > static_cast<std::int32_t>(actual * 0.9)) {
        node->OptimizeLevel = olNone;
        node->OptimizeWork1 = kDemotedByCost;
      }
    }
    return node->OptimizeLevel;
  }
  if (node->NodeClass == enUNARY && node->Operator == eoNOT && node->Left != nullptr) {
    node->OptimizeLevel = GetExpressionOptimizeLevel(node->Left);
    node->OptimizeCount = node->Left->OptimizeCount;
    node->OptimizeCost = node->Left->OptimizeCost;
    node->OptimizeWork1 = node->Left->OptimizeWork1;
    return node->OptimizeLevel;
  }
  if (node->NodeClass != enBINARY || (node->Operator != eoAND && node->Operator != eoOR)) return olNone;
  TOptimizeLevel f = GetExpressionOptimizeLevel(node->Left);
  TOptimizeLevel g = GetExpressionOptimizeLevel(node->Right);
  if (node->Operator == eoAND) {
    // A side demoted for its cost is worth its index again next to a fully answered side: it
    // then only narrows what the index answer left.
    if (f == olFull && (node->Right->OptimizeWork1 & kDemotedByCost)) g = node->Right->OptimizeLevel = olFull;
    if (g == olFull && (node->Left->OptimizeWork1 & kDemotedByCost)) f = node->Left->OptimizeLevel = olFull;
    if (g > f) {
      std::swap(node->Left, node->Right);
      std::swap(f, g);
    }
    if (f == olFull && g == olFull)
      node->OptimizeLevel = olFull;
    else if (f == olNone && g == olNone)
      node->OptimizeLevel = olNone;
    else
      node->OptimizeLevel = olPartial;
  } else {
    node->OptimizeLevel = (f == olFull && g == olFull) ? olFull : olNone;
  }
  const std::int32_t a = node->Left->OptimizeCount, b = node->Right->OptimizeCount;
  if (a >= 0 && b >= 0) {
    node->OptimizeCount = node->Operator == eoAND ? std::min(a, b) : std::max(a, b);
    node->OptimizeCost = node->Left->OptimizeCost + node->Right->OptimizeCost;
  }
  return node->OptimizeLevel;
}

}  // namespace korvel
