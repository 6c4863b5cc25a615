// The cursor's side of filters: the filter list, the rebuild of the visible set (range, live and
// filter bitmaps), its incremental maintenance after this cursor's edits, and repositioning
// after filter changes.
//
// The visible set lives in liveRecords_, which physical navigation reads directly and indexed
// navigation reads through VisibleRecords while any filter is active.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/filter_internal.h"

namespace korvel {

namespace {

// Sets a flag for the life of a scope.
class TFlagScope {
 public:
  TFlagScope(bool& flag, bool value) : flag_(flag), old_(flag) { flag = value; }
  ~TFlagScope() { flag_ = old_; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& flag_;
  bool old_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Rebuilding the visible set

void TDataCursor::RefreshRangeAndFilter() {
  if (!filters_) filters_ = std::make_unique<TCursorFilters>();
  if (filters_->Rebuilding) return;
  TFlagScope guard(filters_->Rebuilding, true);
  const bool outerRestartable = restartable_;
  for (int attempt = 0;; ++attempt) {
    UpdateRange();
    const bool physical = GetIsPhysicalNavigation();
    FiltersActive = physical || filters_->AnyActive();
    if (!FiltersActive) {
      VisibleRecords = nullptr;
      liveRecords_->SetNumOfBits(0);
      filters_->RangeRecords->SetNumOfBits(0);
      filters_->LiveRecords->SetNumOfBits(0);
      FilteredRecordCount = 0;
      restartable_ = outerRestartable;
      return;
    }
    changeDuringRead_ = false;
    restartable_ = attempt == 0;
    bool done = false;
    try {
      done = RebuildVisibleRecords();
    } catch (const EKORVELEngineError&) {
      restartable_ = outerRestartable;
      if (!changeDuringRead_ || attempt > 0) throw;
    }
    restartable_ = outerRestartable;
    if (done) break;
    if (attempt > 0) RaiseCursor(KORVEL_LOCKTIMEOUT);
    // An index walk or a record read met another session's change: everything starts over
    // under the read lock now held, so the set shown is always one completed rebuild.
    ++filters_->Restarts;
    SynchLastUpdateStamps();
  }
  VisibleRecords = liveRecords_.get();
}

bool TDataCursor::RebuildVisibleRecords() {
  TCursorFilters& f = *filters_;
  TFilterBuilder builder(*this, nullptr);
  if (!builder.UpdateDeletedBitmap(*f.LiveRecords)) return false;
  const bool range = RangeActive && !GetIsPhysicalNavigation();
  if (range) {
    if (!builder.UpdateRangeBitmap(*f.RangeRecords)) return false;
  } else {
    f.RangeRecords->SetNumOfBits(0);
  }
  std::unique_ptr<TRecordsBitmap> candidates = GetNewRecordsBitmapInstance();
  for (std::size_t i = 0; i < f.List.size(); ++i) {
    TFilter& filter = *f.List[i];
    if (!filter.Active) continue;
    candidates->Assign(*f.LiveRecords);
    if (range) candidates->AndBits(*f.RangeRecords);
    if (filter.Level != olFull && filter.Options.Chained) {
      for (std::size_t j = 0; j < i; ++j)
        if (f.List[j]->Active) candidates->AndBits(*f.List[j]->Bitmap);
    }
    if (!filter.Update(*candidates)) {
      ReturnRecordsBitmapInstance(std::move(candidates));
      return false;
    }
  }
  ReturnRecordsBitmapInstance(std::move(candidates));
  RebuildFilterBitmap();
  return true;
}

void TDataCursor::RebuildFilterBitmap() {
  TCursorFilters& f = *filters_;
  liveRecords_->Assign(*f.LiveRecords);
  if (RangeActive && !GetIsPhysicalNavigation()) liveRecords_->AndBits(*f.RangeRecords);
  for (const auto& filter : f.List)
    if (filter->Active) liveRecords_->AndBits(*filter->Bitmap);
  FilteredRecordCount = static_cast<std::int32_t>(liveRecords_->GetTotalBitsSet());
}

// ---------------------------------------------------------------------------------------------
// Incremental maintenance after this cursor's own edits

void TDataCursor::RefreshRangeAndFilterUpdate(std::int32_t recordNumber) {
  UpdateRange();
  if (!FiltersActive || !filters_) return;
  TCursorFilters& f = *filters_;
  const std::uint32_t used = static_cast<std::uint32_t>(Table->GetPhysicalRecordsUsed());
  const std::uint32_t n = static_cast<std::uint32_t>(recordNumber);
  auto grow = [used](TRecordsBitmap& b) {
    if (b.NumOfBits() < used) b.SetNumOfBits(used);
  };
  grow(*f.LiveRecords);
  grow(*liveRecords_);
  f.LiveRecords->SetBit(n);
  TRecord* stored = nullptr;
  if (!Table->GetRecord(this, recordNumber, false, false, true, stored)) {
    // Another session changed the table meanwhile: the whole set is rebuilt instead.
    SynchLastUpdateStamps();
    RefreshRangeAndFilter();
    return;
  }
  TRecordPin pin(*Table, stored);
  const std::uint8_t* record = stored->Buffer();
  if (RangeActive && !GetIsPhysicalNavigation()) {
    grow(*f.RangeRecords);
    keyBuffer_.resize(KeySize);
    BuildKey(IndexPos, record, keyBuffer_.data());
    const bool inside = CompareKeys(keyBuffer_.data(), RangeStartKey.data(), KeySize) >= 0 &&
                        CompareKeys(keyBuffer_.data(), RangeEndKey.data(), KeySize) <= 0;
    if (inside)
      f.RangeRecords->SetBit(n);
    else
      f.RangeRecords->ClearBit(n);
  }
  for (const auto& filter : f.List)
    if (filter->Active) filter->UpdateRecord(recordNumber, record);
  RebuildFilterBitmap();
}

void TDataCursor::RefreshRangeAndFilterDelete(std::int32_t recordNumber) {
  UpdateRange();
  if (!FiltersActive || !filters_) return;
  TCursorFilters& f = *filters_;
  const std::uint32_t n = static_cast<std::uint32_t>(recordNumber);
  f.RangeRecords->ClearBit(n);
  f.LiveRecords->ClearBit(n);
  for (const auto& filter : f.List)
    if (filter->Active) filter->DeleteRecord(recordNumber);
  if (liveRecords_->IsBitSet(n)) {
    liveRecords_->ClearBit(n);
    --FilteredRecordCount;
  }
}

// ---------------------------------------------------------------------------------------------
// The filter list

int TDataCursor::AddFilter(void* dataset, const std::string& text, TExpToken* tree, const TFilterOptions& options,
                           TFilterCallback callback, bool ownsTree) {
  auto release = [&] {
    if (tree != nullptr && ownsTree) FreeExpressionTokens(tree);
  };
  try {
    CheckOpen();
  } catch (...) {
    release();
    throw;
  }
  if (!filters_) filters_ = std::make_unique<TCursorFilters>();
  TCursorFilters& f = *filters_;
  if (f.List.size() >= kMaxFilters) {
    release();
    RaiseCursor(KORVEL_INTERNALLIMIT);
  }
  auto filter = std::make_unique<TFilter>(*this, f.NextHandle);
  filter->Options = options;
  filter->Dataset = dataset;
  if (!text.empty()) {
    release();
    filter->Expression =
        PrepareFilterExpression(text, TableName, Directory->GetProperDataDirectoryName(), &ResolveFilterField, this,
                                options, Table->GetSortID(), Table->GetLanguageID());
    filter->OwnsExpression = true;
  } else if (tree != nullptr) {
    filter->Expression = tree;
    filter->OwnsExpression = ownsTree;
  } else if (callback) {
    filter->IsCallback = true;
    filter->Callback = std::move(callback);
  } else {
    RaiseError(KORVEL_INVALIDFILTER, "", "", Directory->GetProperDataDirectoryName(), TableName, "", "",
               "a filter needs an expression or a callback");
  }
  filter->GetCostOptimizeLevel();
  ++f.NextHandle;
  const int handle = filter->Handle;
  auto at = f.List.end();
  if (!options.Chained)
    at = std::find_if(f.List.begin(), f.List.end(), [](const auto& x) { return x->Options.Chained; });
  f.List.insert(at, std::move(filter));
  return handle;
}

std::size_t TDataCursor::GetFilterCount() const { return filters_ ? filters_->List.size() : 0; }

std::uint32_t TDataCursor::GetFilterRestarts() const { return filters_ ? filters_->Restarts : 0; }

TOptimizeLevel TDataCursor::GetFilterLevel(int handle) const {
  TFilter* filter = filters_ ? filters_->Find(handle) : nullptr;
  if (filter == nullptr) RaiseCursor(KORVEL_NOSUCHFILTER);
  return filter->Level;
}

TOptimizeLevel TDataCursor::GetFilterOptimizeLevel() const {
  if (!filters_ || filters_->List.empty()) return olNone;
  TOptimizeLevel level = filters_->List.front()->Level;
  for (std::size_t i = 1; i < filters_->List.size(); ++i)
    level = EvaluateOptimizeLevels(level, filters_->List[i]->Level);
  return level;
}

void TDataCursor::AfterFilterChange() {
  TOperation operation(*this);
  const bool hadRecord = !Bof && !Eof;
  std::vector<std::uint8_t> record = currentRecord_;
  RefreshRangeAndFilter();
  if (hadRecord) {
    SetToRecordBuffer(record.data(), true);
  } else {
    FirstPosition();
    Skip(-1);
    RefreshCurrentRecord(1);
  }
}

void TDataCursor::CopyFiltersTo(TDataCursor& clone) const {
  if (!filters_) return;
  bool anyActive = false;
  for (const auto& filter : filters_->List) {
    TExpToken* tree = filter->IsCallback ? nullptr : CopyExpressionTokens(filter->Expression);
    int handle = clone.AddFilter(filter->Dataset, "", tree, filter->Options, filter->Callback, true);
    if (!filter->Active) continue;
    clone.filters_->Find(handle)->Active = true;
    anyActive = true;
  }
  if (anyActive) clone.RefreshRangeAndFilter();
}

void TDataCursor::DropFilter(int handle) {
  CheckOpen();
  if (!filters_) filters_ = std::make_unique<TCursorFilters>();
  auto& list = filters_->List;
  bool hadActive = false;
  if (handle == 0) {
    hadActive = filters_->AnyActive();
    list.clear();
  } else {
    auto it = std::find_if(list.begin(), list.end(), [handle](const auto& x) { return x->Handle == handle; });
    if (it == list.end()) RaiseCursor(KORVEL_NOSUCHFILTER);
    hadActive = (*it)->Active;
    list.erase(it);
  }
  if (hadActive) AfterFilterChange();
}

void TDataCursor::ActivateFilter(int handle) {
  CheckOpen();
  if (!filters_) filters_ = std::make_unique<TCursorFilters>();
  // Each activation takes the indexes as they are now: one added since makes a part answerable.
  TOperation operation(*this);
  if (handle == 0) {
    for (auto& filter : filters_->List) {
      filter->Active = true;
      filter->GetCostOptimizeLevel();
    }
  } else {
    TFilter* filter = filters_->Find(handle);
    if (filter == nullptr) RaiseCursor(KORVEL_NOSUCHFILTER);
    filter->Active = true;
    filter->GetCostOptimizeLevel();
  }
  AfterFilterChange();
}

void TDataCursor::DeactivateFilter(int handle) {
  CheckOpen();
  if (!filters_) filters_ = std::make_unique<TCursorFilters>();
  if (handle == 0) {
    for (auto& filter : filters_->List) filter->Active = false;
  } else {
    TFilter* filter = filters_->Find(handle);
    if (filter == nullptr) RaiseCursor(KORVEL_NOSUCHFILTER);
    filter->Active = false;
  }
  AfterFilterChange();
}

void TDataCursor::ResetFilter(TExpToken* tree, int handle) {
  TFilter* filter = (IsOpen && filters_) ? filters_->Find(handle) : nullptr;
  if (filter == nullptr) {
    FreeExpressionTokens(tree);
    CheckOpen();
    RaiseCursor(KORVEL_NOSUCHFILTER);
  }
  filter->ResetFilterExpression(tree, true);
  if (filter->Active) AfterFilterChange();
}

}  // namespace korvel
