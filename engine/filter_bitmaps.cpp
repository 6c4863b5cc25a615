// Filter bitmaps: TFilter, the cursor's filter list, the evaluation of a prepared tree into a
// bitmap (index walks for the parts an index answers, record reads for the rest) and the range
// and live bitmaps of the cursor.

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/filter_internal.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// TCursorFilters

TCursorFilters::TCursorFilters()
    : RangeRecords(GetNewRecordsBitmapInstance()), LiveRecords(GetNewRecordsBitmapInstance()) {}

TCursorFilters::~TCursorFilters() {
  List.clear();
  ReturnRecordsBitmapInstance(std::move(RangeRecords));
  ReturnRecordsBitmapInstance(std::move(LiveRecords));
}

TFilter* TCursorFilters::Find(int handle) const {
  for (const auto& filter : List)
    if (filter->Handle == handle) return filter.get();
  return nullptr;
}

bool TCursorFilters::AnyActive() const {
  return std::any_of(List.begin(), List.end(), [](const auto& f) { return f->Active; });
}

TOptimizeLevel EvaluateOptimizeLevels(TOptimizeLevel a, TOptimizeLevel b) {
  if (a == olNone && b == olNone) return olNone;
  if (a == olFull && b == olFull) return olFull;
  return olPartial;
}

// ---------------------------------------------------------------------------------------------
// Field access for the evaluator

bool ResolveFilterField(void* owner, TExpToken& field) {
  TDataCursor& cursor = *static_cast<TDataCursor*>(owner);
  const std::int32_t position = cursor.GetFieldNumber(field.Name);
  if (position == 0) return false;
  const TFieldDefinition& definition = cursor.GetFieldDefinition(position);
  // Filters read stored records: a calculated field of the cursor's list is no field here.
  if (definition.IsExpression) return false;
  field.FieldNumber = definition.FieldNumber;
  field.TableName = cursor.TableName;
  TakeFieldType(field, definition);
  return true;
}

void FetchFilterField(void* owner, const void* recordBuffer, TExpToken& field) {
  TFilter& filter = *static_cast<TFilter*>(owner);
  TDataCursor& cursor = filter.Cursor;
  const std::uint8_t* record = static_cast<const std::uint8_t*>(recordBuffer);
  const TFieldDefinition& definition = cursor.Table->GetFieldDefinitionByPos(field.FieldNumber);
  if (definition.DataType == dtBlob) {
    field.IsNull = record[definition.Offset] == 0 ? 1 : 0;
    const bool memo = definition.SubType == stMemo;
    std::int64_t size = 0;
    if (!field.IsNull) {
      // The value is read through a copy of the record, whose BLOB slot takes the handle.
      filter.blobScratch_.assign(record, record + cursor.GetStoredRecordSize());
      const int code = cursor.ReadWholeBlob(field.FieldNumber, filter.blobScratch_.data(), true, [&](std::size_t n) {
        size = static_cast<std::int64_t>(n);
        field.ResizeValueBuffer(n + 1);
        return field.ValueBuffer.get();
      });
      if (code != 0) {  // a value that cannot be read matches as NULL
        field.IsNull = 1;
        size = 0;
      }
    }
    field.ResizeValueBuffer(static_cast<std::size_t>(size) + 1);
    field.ValueBuffer[static_cast<std::size_t>(size)] = 0;
    field.SetDataSize(static_cast<std::int32_t>(size + (memo ? 1 : 0)));
    return;
  }
  // Runs once per field and record of a scan: the stored bytes are copied straight out.
  const std::size_t size = definition.PhysicalSize;
  field.ResizeValueBuffer(size + 1);
  std::uint8_t* value = field.ValueBuffer.get();
  if (definition.IsAutoInc()) {
    std::memset(value, 0, size);
    std::memcpy(value, record + kRecordIDOffset, 4);
    field.IsNull = 0;
  } else {
    std::memcpy(value, record + definition.Offset + 1, size);
    field.IsNull = record[definition.Offset] == 0 ? 1 : 0;
  }
  value[size] = 0;
}

// ---------------------------------------------------------------------------------------------
// TFilter

TFilter::TFilter(TDataCursor& cursor, int handle)
    : Cursor(cursor), Handle(handle), Bitmap(GetNewRecordsBitmapInstance()) {}

TFilter::~TFilter() {
  if (OwnsExpression) FreeExpressionTokens(Expression);
  ReturnRecordsBitmapInstance(std::move(Bitmap));
}

void TFilter::ResetFilterExpression(TExpToken* tree, bool ownsTree) {
  if (OwnsExpression) FreeExpressionTokens(Expression);
  Expression = tree;
  OwnsExpression = ownsTree;
  GetCostOptimizeLevel();
}

void TFilter::GetCostOptimizeLevel() {
  if (IsCallback || Expression == nullptr) {
    Level = olNone;
    return;
  }
  TFilterBuilder builder(Cursor, this);
  Level = builder.GetExpressionOptimizeLevel(Expression);
}

bool TFilter::EvaluateRecord(const std::uint8_t* record, std::int32_t n) {
  if (IsCallback) return Callback(Dataset, Cursor, record, n);
  TEvaluationContext context;
  context.RecordBuffer = record;
  context.Owner = this;
  context.SortID = Cursor.Table->GetSortID();
  context.LanguageID = Cursor.Table->GetLanguageID();
  context.Fetcher = &FetchFilterField;
  context.Hooks = FilterExpressionHooks();
  return evaluator_.EvaluateBoolean(*Expression, context);
}

bool TFilter::Update(const TRecordsBitmap& candidates) {
  Bitmap->Assign(candidates);
  TFilterBuilder builder(Cursor, this);
  if (IsCallback) return builder.BuildNonIndexedBitmap(*Bitmap, nullptr);
  return builder.EvaluateFilter(*Bitmap, Expression);
}

void TFilter::UpdateRecord(std::int32_t n, const std::uint8_t* record) {
  const std::uint32_t used = static_cast<std::uint32_t>(Cursor.Table->GetPhysicalRecordsUsed());
  if (Bitmap->NumOfBits() < used) Bitmap->SetNumOfBits(used);
  Bitmap->SetBit(static_cast<std::uint32_t>(n));
  if (!EvaluateRecord(record, n)) Bitmap->ClearBit(static_cast<std::uint32_t>(n));
}

void TFilter::DeleteRecord(std::int32_t n) { Bitmap->ClearBit(static_cast<std::uint32_t>(n)); }

// ---------------------------------------------------------------------------------------------
// Evaluating a tree into a bitmap

namespace {

// A bitmap from the pool for the length of a scope.
class TScratchBitmap {
 public:
  TScratchBitmap() : bitmap_(GetNewRecordsBitmapInstance()) {}
  ~TScratchBitmap() { ReturnRecordsBitmapInstance(std::move(bitmap_)); }
  TScratchBitmap(const TScratchBitmap&) = delete;
  TScratchBitmap& operator=(const TScratchBitmap&) = delete;
  TRecordsBitmap& operator*() { return *bitmap_; }
  TRecordsBitmap* operator->() { return bitmap_.get(); }

 private:
  std::unique_ptr<TRecordsBitmap> bitmap_;
};

}  // namespace

bool TFilterBuilder::EvaluateFilter(TRecordsBitmap& bitmap, TExpToken* node) {
  if (node->OptimizeLevel == olNone) return BuildNonIndexedBitmap(bitmap, node);
  if (TTextSearchNode text; AnalyzeTextSearchNode(node, &text)) return BuildTextSearchNodeBitmap(bitmap, text);
  TIndexAnswer answer;
  if (AnalyzeIndexedNode(node, &answer)) return BuildIndexedBitmap(bitmap, answer, node->OptimizeCount);
  if (node->NodeClass == enUNARY && node->Operator == eoNOT) {
    TScratchBitmap operand;
    operand->Assign(bitmap);
    if (!EvaluateFilter(*operand, node->Left)) return false;
    operand->NotBits();
    bitmap.AndBits(*operand);
    return true;
  }
  if (node->NodeClass == enBINARY && node->Operator == eoAND) {
    // The right side runs only on the survivors of the left, the more selective one.
    if (!EvaluateFilter(bitmap, node->Left)) return false;
    return EvaluateFilter(bitmap, node->Right);
  }
  if (node->NodeClass == enBINARY && node->Operator == eoOR) {
    TScratchBitmap right;
    right->Assign(bitmap);
    if (!EvaluateFilter(*right, node->Right)) return false;
    if (!EvaluateFilter(bitmap, node->Left)) return false;
    bitmap.OrBits(*right);
    return true;
  }
  // A level this builder cannot answer otherwise: record by record.
  return BuildNonIndexedBitmap(bitmap, node);
}

bool TFilterBuilder::BuildIndexedBitmap(TRecordsBitmap& bitmap, const TIndexAnswer& answer, std::int32_t count) {
  TScratchBitmap keys;
  keys->SetNumOfBits(bitmap.NumOfBits());
  keys->ClearBits();
  bool invert = answer.Invert;
  const std::int32_t actual = cursor_.Table->GetActualRecordCount();
  const bool complement = filter_ != nullptr && filter_->Options.Cost && answer.Ranges.size() == 1 &&
                          cursor_.Table->GetLanguageID() == 0 && count >= 0 && actual - count < count;
  if (complement) {
    // Most records match: the keys outside the range are fewer to walk, and their inversion
    // is the answer.
    const TKeyRange& range = answer.Ranges.front();
    if (range.Low.Length > 0) {
      TKeyRange below;
      below.High = range.Low;
      below.High.Inclusive = !range.Low.Inclusive;
      if (!NavigateIndexedRecords(answer.Slot, below, *keys)) return false;
    }
    if (range.High.Length > 0) {
      TKeyRange above;
      above.Low = range.High;
      above.Low.Inclusive = !range.High.Inclusive;
      if (!NavigateIndexedRecords(answer.Slot, above, *keys)) return false;
    }
    invert = !invert;
  } else {
    for (const TKeyRange& range : answer.Ranges)
      if (!NavigateIndexedRecords(answer.Slot, range, *keys)) return false;
  }
  if (invert) keys->NotBits();
  bitmap.AndBits(*keys);
  return true;
}

bool TFilterBuilder::BuildNonIndexedBitmap(TRecordsBitmap& bitmap, TExpToken* node) {
  TDataTable& table = *cursor_.Table;
  TEvaluationContext context;
  context.Owner = filter_;
  context.SortID = table.GetSortID();
  context.LanguageID = table.GetLanguageID();
  context.Fetcher = &FetchFilterField;
  context.Hooks = FilterExpressionHooks();
  const std::size_t recordSize = static_cast<std::size_t>(table.GetRecordSize());
  // Records are copied out in runs of up to kScanBytes and evaluated in the copy: no cache
  // traffic and no allocation per record, and a callback that moves the cursor cannot pull a
  // record out from under the scan.
  const std::uint32_t span = static_cast<std::uint32_t>(std::max<std::size_t>(1, kScanBytes / recordSize));
  std::vector<std::uint8_t>& buffer = filter_->scanBuffer_;
  if (buffer.size() < span * recordSize) buffer.resize(span * recordSize);
  const std::uint32_t total = bitmap.NumOfBits();
  std::uint32_t next = NextCandidate(bitmap, 1, total);
  while (next != 0) {
    // The run: from this candidate to the last one whose gap to the one before it is short
    // enough that reading the records between costs less than another read.
    const std::uint32_t first = next;
    std::uint32_t last = first;
    for (;;) {
      next = NextCandidate(bitmap, last + 1, total);
      if (next == 0 || next - last > kScanGap || next - first >= span) break;
      last = next;
    }
    const std::int32_t count = static_cast<std::int32_t>(last - first + 1);
    if (!table.CopyRecords(&cursor_, static_cast<std::int32_t>(first), count, buffer.data())) return false;
    for (std::uint32_t n = first; n <= last; ++n) {
      if (!bitmap.IsBitSet(n)) continue;
      const std::uint8_t* record = buffer.data() + static_cast<std::size_t>(n - first) * recordSize;
      bool passes;
      if (node == nullptr) {
        passes = filter_->Callback(filter_->Dataset, cursor_, record, static_cast<std::int32_t>(n));
      } else {
        context.RecordBuffer = record;
        passes = filter_->evaluator_.EvaluateBoolean(*node, context);
      }
      if (!passes) bitmap.ClearBit(n);
    }
  }
  return true;
}

std::uint32_t TFilterBuilder::NextCandidate(const TRecordsBitmap& bitmap, std::uint32_t from, std::uint32_t total) {
  if (from == 0 || from > total) return 0;
  const std::uint32_t* words = bitmap.Words();
  std::uint32_t w = (from - 1) / 32;
  std::uint32_t bits = words[w] & (~0u << ((from - 1) % 32));
  const std::uint32_t lastWord = (total - 1) / 32;
  while (bits == 0) {
    if (++w > lastWord) return 0;
    bits = words[w];
  }
  const std::uint32_t k = w * 32 + static_cast<std::uint32_t>(std::countr_zero(bits)) + 1;
  return k <= total ? k : 0;
}

// ---------------------------------------------------------------------------------------------
// Index walks

bool TFilterBuilder::NavigateIndexedRecords(int slot, const TKeyRange& range, TRecordsBitmap& bitmap) {
  TBTreeCursor tree;
  cursor_.ConfigureTree(tree, slot);
  std::vector<std::uint8_t> start(tree.KeySize, 0x00);
  if (range.Low.Length > 0) {
    std::memcpy(start.data(), range.Low.Key.data(), range.Low.Length);
    tree.SetBeginIndexRange(start.data());
    tree.SetEndIndexRange(std::vector<std::uint8_t>(tree.KeySize, 0xFF).data());
    tree.ActivateRange(true);
  }
  return WalkLeafKeys(tree, [&](const std::uint8_t* key, std::int32_t record) {
    if (range.Low.Length > 0 && !range.Low.Inclusive && std::memcmp(key, range.Low.Key.data(), range.Low.Length) == 0)
      return true;
    if (range.High.Length > 0) {
      const int c = std::memcmp(key, range.High.Key.data(), range.High.Length);
      if (c > 0 || (c == 0 && !range.High.Inclusive)) return false;
    }
    bitmap.SetBit(static_cast<std::uint32_t>(record));
    return true;
  });
}

std::int32_t TFilterBuilder::CountIndexedRecords(int slot, const TKeyRange& range) {
  TBTreeCursor tree;
  cursor_.ConfigureTree(tree, slot);
  std::vector<std::uint8_t> low(tree.KeySize, 0x00), high(tree.KeySize, 0xFF);
  if (range.Low.Length > 0) std::memcpy(low.data(), range.Low.Key.data(), range.Low.Length);
  if (range.High.Length > 0) std::memcpy(high.data(), range.High.Key.data(), range.High.Length);
  tree.SetBeginIndexRange(low.data());
  tree.SetEndIndexRange(high.data());
  tree.ActivateRange(true);
  if (!tree.GotoFirstIndexPosition()) return -1;
  if (tree.Bof && tree.Eof) return 0;
  const std::int32_t first = tree.CursorPosition;
  if (!tree.GotoLastIndexPosition()) return -1;
  if (tree.Bof && tree.Eof) return 0;
  return std::max(0, tree.CursorPosition - first + 1);
}

bool TFilterBuilder::WalkTree(int slot, const std::vector<std::uint8_t>* start, TRecordsBitmap& bitmap,
                              const std::vector<std::uint8_t>* end) {
  TBTreeCursor tree;
  cursor_.ConfigureTree(tree, slot);
  if (start != nullptr && end != nullptr) {
    tree.SetBeginIndexRange(start->data());
    tree.SetEndIndexRange(end->data());
    tree.ActivateRange(true);
  }
  if (!tree.GotoFirstIndexPosition()) return false;
  while (!tree.Bof && !tree.Eof) {
    bitmap.SetBit(static_cast<std::uint32_t>(tree.GetPhysicalRecordNumber()));
    if (!tree.SkipIndexKeys(1)) return false;
  }
  return true;
}

bool TFilterBuilder::UpdateDeletedBitmap(TRecordsBitmap& live) {
  TDataTable& table = *cursor_.Table;
  const std::int32_t used = table.GetPhysicalRecordsUsed();
  live.SetNumOfBits(static_cast<std::uint32_t>(used));
  if (table.GetActualRecordCount() == used) {
    live.SetBits();
    return true;
  }
  live.ClearBits();
  // The live keys of the record index come first: deleted flag 0, any record ID.
  std::vector<std::uint8_t> low = {0, 0, 0, 0, 0}, high = {0, 0xFF, 0xFF, 0xFF, 0xFF};
  return WalkTree(kSysDeletedSlot, &low, live, &high);
}

bool TFilterBuilder::UpdateRangeBitmap(TRecordsBitmap& range) {
  range.SetNumOfBits(static_cast<std::uint32_t>(cursor_.Table->GetPhysicalRecordsUsed()));
  range.ClearBits();
  if (cursor_.CompareKeys(cursor_.RangeStartKey.data(), cursor_.RangeEndKey.data(), cursor_.KeySize) > 0)
    return true;
  return WalkTree(cursor_.IndexPos, &cursor_.RangeStartKey, range, &cursor_.RangeEndKey);
}

}  // namespace korvel
