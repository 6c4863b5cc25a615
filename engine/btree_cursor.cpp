// The page-walking part of the cursor: descents with the kept path, key changes, navigation
// along the leaf chain and by logical record number, and the index's data page chain.

#include "engine/btree_cursor.h"

#include <algorithm>
#include <cstring>

#include "support/byte_order.h"
#include "support/errors.h"
#include "support/language.h"
#include "support/records_bitmap.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// Pinned pages

TPinnedPage& TPinnedPage::operator=(TPinnedPage&& other) noexcept {
  if (this != &other) {
    Release();
    cursor_ = other.cursor_;
    page_ = other.page_;
    other.page_ = nullptr;
  }
  return *this;
}

void TPinnedPage::Release() {
  if (page_ != nullptr && cursor_ != nullptr) cursor_->PutPage(page_);
  page_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Set-up

TBTreeCursor::TBTreeCursor() : CurrentPage(nullptr) {}

void TBTreeCursor::SetIndex(TBTreeIndexFile* file, int slot) {
  IndexFile = file;
  IndexSlot = slot;
  const TIndexDefinition& definition = file->IndexDefinition(slot);
  if (definition.KeySize == 0 || definition.KeySize > TPage::kMaxKeySize || definition.Compression > 3)
    RaiseIndexError(KORVEL_INDEXCORRUPT);
  KeySize = definition.KeySize;
  Descending = definition.Descending;
  Unique = definition.Unique;
  CaseInsensitive = definition.CaseInsensitive;
  NoKeyCounts = definition.NoKeyCounts;
  Compression = definition.Compression;
  RangeStartKey.assign(KeySize, 0x00);
  RangeEndKey.assign(KeySize, 0xFF);
  RangeActive = false;
  ClearIndexKeyCounters();
  ClearParentPageNumbers();
  curIndexLevel_ = 1;
  ResetIndexPosition();
}

void TBTreeCursor::SetKeyCollation(std::uint16_t languageId, std::uint16_t sortId,
                                   const std::vector<TKeySegment>& segments) {
  LanguageID = languageId;
  SortID = sortId;
  segments_ = segments;
  collated_ = languageId != 0;
}

void TBTreeCursor::RaiseIndexError(TErrorCode code) const {
  if (IndexFile == nullptr) RaiseError(code);
  const TIndexFileOwner* owner = IndexFile->Owner();
  RaiseError(code, "", "", owner->GetProperDataDirectoryName(), owner->GetTableName(), "",
             IndexFile->IndexDefinition(IndexSlot).IndexName);
}

void TBTreeCursor::IncCurIndexLevel() {
  if (curIndexLevel_ >= kMaxIndexLevels) RaiseIndexError(KORVEL_INDEXCORRUPT);
  ++curIndexLevel_;
}

// ---------------------------------------------------------------------------------------------
// Key comparison

int TBTreeCursor::CompareCollated(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) const {
  std::size_t at = 0;
  for (const TKeySegment& segment : segments_) {
    if (at >= length) return 0;
    const bool descending = Descending || segment.Descending;
    // The null-flag byte.
    if (a[at] != b[at]) {
      int r = a[at] < b[at] ? -1 : 1;
      return descending ? -r : r;
    }
    ++at;
    if (at >= length) return 0;
    std::size_t n = std::min<std::size_t>(segment.IndexedSize, length - at);
    int r;
    if (segment.IsString) {
      r = OSCompareStrings(LanguageID, SortID, reinterpret_cast<const char*>(a + at), CaseInsensitive, n,
                           reinterpret_cast<const char*>(b + at));
      if (descending) r = -r;
    } else {
      r = CompareBytes(a + at, b + at, n, descending);
    }
    if (r != 0) return r;
    at += segment.IndexedSize;
  }
  if (at >= length) return 0;
  // The record ID of a non-unique key.
  return CompareBytes(a + at, b + at, length - at, Descending);
}

int TBTreeCursor::CompareSpecialKeys(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) const {
  if (IndexSlot == kSysDeletedSlot) return CompareBytes(a, b, length, false);
  if (IndexSlot == kSysTextSlot) {
    // Word index: 3 bytes, a 61-character word by collation, the 4-byte record ID.
    std::size_t n = std::min<std::size_t>(3, length);
    int r = CompareBytes(a, b, n, false);
    if (r != 0 || length <= 3) return r;
    n = std::min<std::size_t>(61, length - 3);
    r = OSCompareStrings(LanguageID, SortID, reinterpret_cast<const char*>(a + 3), CaseInsensitive, n,
                         reinterpret_cast<const char*>(b + 3));
    if (r != 0 || length <= 64) return r < 0 ? -1 : (r > 0 ? 1 : 0);
    return CompareBytes(a + 64, b + 64, length - 64, false);
  }
  if (collated_) {
    int r = CompareCollated(a, b, length);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  return CompareBytes(a, b, length, Descending);
}

// ---------------------------------------------------------------------------------------------
// Page access

void TBTreeCursor::PutPage(TPage* page) {
  if (page != nullptr && IndexFile != nullptr) IndexFile->PutPage(page);
}

void TBTreeCursor::CheckTreePage(const TPage& page) const {
  if (page.IsFree || page.PageType > ptRootLeaf || page.KeyEntryCount == 0) RaiseIndexError(KORVEL_INDEXCORRUPT);
}

bool TBTreeCursor::TryFetchPage(std::int32_t number, TPinnedPage& page) {
  page.Release();
  // Pages of the tree lie inside the file: the ending page number would make the index file
  // create a page, which only NewPage may do.
  if (number <= 0 || number >= IndexFile->GetNextEndingPageNumber(IndexSlot)) RaiseIndexError(KORVEL_INDEXCORRUPT);
  TPageBuffer* buffer = nullptr;
  if (!IndexFile->GetPage(LockCursor, IndexSlot, number, buffer, true)) return false;
  // The cache of a TBTreeIndexFile makes nothing but TPage objects.
  page = TPinnedPage(this, static_cast<TPage*>(buffer));
  return true;
}

TPinnedPage TBTreeCursor::FetchPage(std::int32_t number) {
  TPinnedPage page;
  if (!TryFetchPage(number, page)) RaiseIndexError(KORVEL_LOCKTIMEOUT);
  return page;
}

TPinnedPage TBTreeCursor::NewPage() {
  TPageBuffer* buffer = nullptr;
  IndexFile->GetNextFreePage(LockCursor, IndexSlot, buffer);
  return TPinnedPage(this, static_cast<TPage*>(buffer));
}

void TBTreeCursor::FreePage(TPage& page) {
  page.SetNumberOfKeyEntries(0);
  IndexFile->SetNextFreePage(LockCursor, IndexSlot, &page);
}

std::int32_t TBTreeCursor::GetRootPageNumber() const { return IndexFile->GetRootPageNumber(IndexSlot); }

void TBTreeCursor::SetRootPageNumber(std::int32_t number) { IndexFile->SetRootPageNumber(IndexSlot, number); }

// ---------------------------------------------------------------------------------------------
// Searching and changing keys

bool TBTreeCursor::SearchIndexKeys(const std::uint8_t* key) {
  std::int32_t number = GetRootPageNumber();
  if (number == 0) return false;
  ClearParentPageNumbers();
  curIndexLevel_ = 1;
  TPinnedPage page = FetchPage(number);
  for (;;) {
    CheckTreePage(*page);
    int pos = 0;
    bool found = page->SearchScan(*this, key, pos);
    SetIndexKeyCounter(curIndexLevel_, pos);
    if (page->IsLeaf()) return found;
    SetParentPageNumber(curIndexLevel_ + 1, page->PageNumber);
    number = page->GetRecordNumber(pos);
    IncCurIndexLevel();
    page = FetchPage(number);
  }
}

bool TBTreeCursor::FindKeyRecord(const std::uint8_t* key, std::int32_t& recordNumber) {
  recordNumber = 0;
  std::int32_t number = GetRootPageNumber();
  if (number == 0) return false;
  TPinnedPage page = FetchPage(number);
  for (int level = 1;; ++level) {
    if (level > kMaxIndexLevels) RaiseIndexError(KORVEL_INDEXCORRUPT);
    CheckTreePage(*page);
    int pos = 0;
    bool found = page->SearchScan(*this, key, pos);
    if (page->IsLeaf()) {
      if (found) recordNumber = page->GetRecordNumber(pos);
      return found;
    }
    page = FetchPage(page->GetRecordNumber(pos));
  }
}

bool TBTreeCursor::VerifyIndexKey(const std::uint8_t* key, std::int32_t recordNumber) {
  std::int32_t found = 0;
  return FindKeyRecord(key, found) && found == recordNumber;
}

bool TBTreeCursor::CheckForKeyViolation(const std::uint8_t* key) {
  if (Unique || IndexSlot == kSysDeletedSlot || IndexSlot == kSysTextSlot) return SearchIndexKeys(key);
  return false;
}

void TBTreeCursor::AddIndexKey(const std::uint8_t* key, std::int32_t recordNumber) {
  BeginIndexKeyInsert(key, recordNumber);
}

void TBTreeCursor::AdjustPathCounts(int leafLevel, std::int32_t delta) {
  for (int level = 1; level < leafLevel; ++level) {
    // The page at a level is recorded as the parent of the level below it.
    std::int32_t number = GetParentPageNumber(level + 1);
    TPinnedPage page = FetchPage(number);
    int pos = GetIndexKeyCounter(level);
    page->SetLowerKeyEntryCount(pos, page->GetLowerKeyEntryCount(pos) + delta);
  }
}

int TBTreeCursor::DescendForChange(const std::uint8_t* key, std::int32_t delta, bool insert, TPathPins& path) {
  ClearIndexKeyCounters();
  ClearParentPageNumbers();
  curIndexLevel_ = 1;
  try {
    path[1] = FetchPage(GetRootPageNumber());
    for (;;) {
      TPage& page = *path[static_cast<std::size_t>(curIndexLevel_)];
      CheckTreePage(page);
      int pos = 0;
      if (insert)
        page.InsertScan(*this, key, pos);
      else
        page.DeleteScan(*this, key, pos);
      if (page.IsLeaf()) {
        SetIndexKeyCounter(curIndexLevel_, pos);
        return curIndexLevel_;
      }
      // A key below every entry goes into the first subtree, which it then starts.
      if (pos == 0) pos = 1;
      SetIndexKeyCounter(curIndexLevel_, pos);
      if (curIndexLevel_ >= kMaxIndexLevels) RaiseIndexError(KORVEL_INDEXCORRUPT);
      page.SetLowerKeyEntryCount(pos, page.GetLowerKeyEntryCount(pos) + delta);
      SetParentPageNumber(curIndexLevel_ + 1, page.PageNumber);
      std::int32_t child = page.GetRecordNumber(pos);
      ++curIndexLevel_;
      path[static_cast<std::size_t>(curIndexLevel_)] = FetchPage(child);
    }
  } catch (...) {
    // The counts of the levels passed go back (their pages are pinned: no read can fail).
    try {
      AdjustPathCounts(curIndexLevel_, -delta);
    } catch (...) {
      // The first error is the one to report.
    }
    throw;
  }
}

void TBTreeCursor::BeginIndexKeyInsert(const std::uint8_t* key, std::int32_t recordNumber) {
  if (GetRootPageNumber() == 0) {
    ClearIndexKeyCounters();
    ClearParentPageNumbers();
    curIndexLevel_ = 1;
    TPinnedPage root = NewPage();
    root->SetPageType(ptRootLeaf);
    int pos = 0;
    root->InsertKeyEntry(key, pos);
    root->SetRecordNumber(pos, recordNumber);
    SetRootPageNumber(root->PageNumber);
    SetIndexKeyCounter(1, pos);
    return;
  }
  TPathPins path;
  const int leafLevel = DescendForChange(key, 1, true, path);
  TPage& leaf = *path[static_cast<std::size_t>(leafLevel)];
  const int pos = GetIndexKeyCounter(leafLevel);
  if (pos > 0 && CompareKeys(leaf.GetKeyEntryPtr(pos), key, KeySize) == 0) {
    // The key is there already: a second copy would break the order of the tree.
    AdjustPathCounts(leafLevel, -1);
    RaiseIndexError(KORVEL_KEYVIOL);
  }
  leaf.InsertIndexKey(*this, key, 0, recordNumber);
}

void TBTreeCursor::RemoveIndexKey(const std::uint8_t* key) {
  if (!SearchIndexKeys(key)) RaiseIndexError(KORVEL_INDEXCORRUPT);
  BeginIndexKeyDelete(key);
}

void TBTreeCursor::BeginIndexKeyDelete(const std::uint8_t* key) {
  if (GetRootPageNumber() == 0) RaiseIndexError(KORVEL_INDEXCORRUPT);
  TPathPins path;
  const int leafLevel = DescendForChange(key, -1, false, path);
  path[static_cast<std::size_t>(leafLevel)]->DeleteIndexKey(*this);
}

void TBTreeCursor::UpdateIndexKey(const std::uint8_t* oldKey, const std::uint8_t* newKey, std::int32_t recordNumber) {
  std::int32_t oldRecord = 0;
  if (!FindKeyRecord(oldKey, oldRecord)) RaiseIndexError(KORVEL_INDEXCORRUPT);
  if (CompareKeys(oldKey, newKey, KeySize) == 0) {
    // The same key for another record: it goes out and straight back in where it was.
    BeginIndexKeyDelete(oldKey);
    BeginIndexKeyInsert(newKey, recordNumber);
    return;
  }
  // Check first, change after: the new key goes in before the old one goes out, so a refused
  // or failed insert (KORVEL_KEYVIOL for a key already there) leaves the old key in place.
  if (SearchIndexKeys(newKey)) RaiseIndexError(KORVEL_KEYVIOL);
  BeginIndexKeyInsert(newKey, recordNumber);
  try {
    BeginIndexKeyDelete(oldKey);
  } catch (...) {
    // The delete undid itself; so does the update.
    try {
      BeginIndexKeyDelete(newKey);
    } catch (...) {
      // The first error is the one to report.
    }
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Position

void TBTreeCursor::ResetIndexPosition() {
  CurrentPage.SetNumberOfKeyEntries(0);
  CurrentPage.PageNumber = 0;
  CurrentPage.LeftPageNumber = 0;
  CurrentPage.RightPageNumber = 0;
  KeySlot = 0;
  CursorPosition = 0;
  Bof = true;
  Eof = true;
}

const std::uint8_t* TBTreeCursor::GetKeyEntryPtr() const {
  if (KeySlot < 1 || KeySlot > CurrentPage.KeyEntryCount) return nullptr;
  return CurrentPage.GetKeyEntryPtr(KeySlot);
}

std::int32_t TBTreeCursor::GetPhysicalRecordNumber() const {
  if (KeySlot < 1 || KeySlot > CurrentPage.KeyEntryCount) return 0;
  return CurrentPage.GetRecordNumber(KeySlot);
}

void TBTreeCursor::SetBeginIndexRange(const std::uint8_t* key) {
  RangeStartKey.assign(KeySize, 0);
  if (key != nullptr) std::memcpy(RangeStartKey.data(), key, KeySize);
}

void TBTreeCursor::SetEndIndexRange(const std::uint8_t* key) {
  RangeEndKey.assign(KeySize, 0);
  if (key != nullptr) std::memcpy(RangeEndKey.data(), key, KeySize);
}

bool TBTreeCursor::IsVisible(std::int32_t recordNumber) const {
  return VisibleRecords == nullptr || VisibleRecords->IsBitSet(static_cast<std::uint32_t>(recordNumber));
}

bool TBTreeCursor::BeyondRangeEnd(const std::uint8_t* key) const {
  return RangeActive && CompareKeys(key, RangeEndKey.data(), KeySize) > 0;
}

bool TBTreeCursor::BelowRangeStart(const std::uint8_t* key) const {
  return RangeActive && CompareKeys(key, RangeStartKey.data(), KeySize) < 0;
}

std::int32_t TBTreeCursor::GetIndexKeyCount() {
  std::int32_t number = GetRootPageNumber();
  if (number == 0) return 0;
  TPinnedPage page = FetchPage(number);
  CheckTreePage(*page);
  if (!NoKeyCounts && IndexSlot != kSysTextSlot) return page->GetTotalLowerKeyEntryCount();
  // Without key counts: down to the first leaf and along the chain.
  for (int level = 1; page->IsNode(); ++level) {
    if (level > kMaxIndexLevels) RaiseIndexError(KORVEL_INDEXCORRUPT);
    page = FetchPage(page->GetRecordNumber(1));
    CheckTreePage(*page);
  }
  std::int64_t total = 0;
  const std::int32_t pageLimit = IndexFile->GetNextEndingPageNumber(IndexSlot);
  for (std::int32_t pages = 1;; ++pages) {
    total += page->KeyEntryCount;
    std::int32_t right = page->RightPageNumber;
    if (right == 0) break;
    if (pages >= pageLimit) RaiseIndexError(KORVEL_INDEXCORRUPT);  // a ring, not a chain
    page = FetchPage(right);
    CheckTreePage(*page);
  }
  return static_cast<std::int32_t>(total);
}

// ---------------------------------------------------------------------------------------------
// Navigation

bool TBTreeCursor::GotoRightPage(bool& lockFailed) {
  lockFailed = false;
  std::int32_t right = CurrentPage.RightPageNumber;
  if (right == 0) return false;
  TPinnedPage page;
  if (!TryFetchPage(right, page)) {
    lockFailed = true;
    return false;
  }
  CheckTreePage(*page);
  CurrentPage.Copy(*page);
  KeySlot = 1;
  return true;
}

bool TBTreeCursor::GotoLeftPage(bool& lockFailed) {
  lockFailed = false;
  std::int32_t left = CurrentPage.LeftPageNumber;
  if (left == 0) return false;
  TPinnedPage page;
  if (!TryFetchPage(left, page)) {
    lockFailed = true;
    return false;
  }
  CheckTreePage(*page);
  CurrentPage.Copy(*page);
  KeySlot = CurrentPage.KeyEntryCount;
  return true;
}

void TBTreeCursor::CountPageStep() {
  if (++pageSteps_ > IndexFile->GetNextEndingPageNumber(IndexSlot)) RaiseIndexError(KORVEL_INDEXCORRUPT);
}

bool TBTreeCursor::StepForward(bool& lockFailed) {
  lockFailed = false;
  if (KeySlot < CurrentPage.KeyEntryCount) {
    ++KeySlot;
  } else {
    CountPageStep();
    if (!GotoRightPage(lockFailed)) return false;
  }
  ++CursorPosition;
  return true;
}

bool TBTreeCursor::StepBackward(bool& lockFailed) {
  lockFailed = false;
  if (KeySlot > 1) {
    --KeySlot;
  } else {
    CountPageStep();
    if (!GotoLeftPage(lockFailed)) return false;
  }
  --CursorPosition;
  return true;
}

bool TBTreeCursor::SeekVisibleForward(bool& found) {
  found = false;
  for (;;) {
    const std::uint8_t* key = CurrentPage.GetKeyEntryPtr(KeySlot);
    if (BeyondRangeEnd(key)) return true;
    if (IsVisible(CurrentPage.GetRecordNumber(KeySlot))) {
      found = true;
      return true;
    }
    bool lockFailed = false;
    if (!StepForward(lockFailed)) return !lockFailed;
  }
}

bool TBTreeCursor::SeekVisibleBackward(bool& found) {
  found = false;
  for (;;) {
    const std::uint8_t* key = CurrentPage.GetKeyEntryPtr(KeySlot);
    if (BelowRangeStart(key)) return true;
    if (IsVisible(CurrentPage.GetRecordNumber(KeySlot))) {
      found = true;
      return true;
    }
    bool lockFailed = false;
    if (!StepBackward(lockFailed)) return !lockFailed;
  }
}

bool TBTreeCursor::DescendToEdge(bool first, bool& empty) {
  empty = false;
  std::int32_t number = GetRootPageNumber();
  if (number == 0) {
    ResetIndexPosition();
    empty = true;
    return true;
  }
  TPinnedPage page;
  if (!TryFetchPage(number, page)) return false;
  std::int32_t count = 0;
  int pos = 1;
  for (int level = 1;; ++level) {
    if (level > kMaxIndexLevels) RaiseIndexError(KORVEL_INDEXCORRUPT);
    CheckTreePage(*page);
    if (first && RangeActive)
      page->FirstRangeScan(*this, RangeStartKey.data(), pos, count);
    else if (first)
      page->FirstScan(pos);
    else if (RangeActive)
      page->LastRangeScan(*this, RangeEndKey.data(), pos, count);
    else
      page->LastScan(pos, count);
    if (page->IsLeaf()) break;
    if (!TryFetchPage(page->GetRecordNumber(pos), page)) return false;
  }
  CurrentPage.Copy(*page);
  page.Release();
  KeySlot = pos;
  CursorPosition = count + 1;
  Bof = false;
  Eof = false;
  return true;
}

bool TBTreeCursor::GotoFirstIndexPosition() {
  pageSteps_ = 0;
  bool empty = false;
  if (!DescendToEdge(true, empty)) return false;
  if (empty) return true;
  if (BelowRangeStart(CurrentPage.GetKeyEntryPtr(KeySlot))) {
    // Every key of that leaf lies below the range: the first in range starts the next leaf.
    bool lockFailed = false;
    if (!StepForward(lockFailed)) {
      if (lockFailed) return false;
      ResetIndexPosition();
      return true;
    }
  }
  bool found = false;
  if (!SeekVisibleForward(found)) return false;
  if (!found) ResetIndexPosition();
  return true;
}

bool TBTreeCursor::GotoLastIndexPosition() {
  pageSteps_ = 0;
  bool empty = false;
  if (!DescendToEdge(false, empty)) return false;
  if (empty) return true;
  if (BeyondRangeEnd(CurrentPage.GetKeyEntryPtr(KeySlot))) {
    ResetIndexPosition();  // the first key of the index already lies beyond the range
    return true;
  }
  bool found = false;
  if (!SeekVisibleBackward(found)) return false;
  if (!found) ResetIndexPosition();
  return true;
}

bool TBTreeCursor::SkipIndexKeys(std::int32_t n) {
  pageSteps_ = 0;
  if (n == 0 || (Bof && Eof)) return true;
  if (n > 0) {
    if (Bof) {
      // Re-entering from before the first key: the first visible key is the first step.
      if (!GotoFirstIndexPosition()) return false;
      if (--n == 0 || (Bof && Eof)) return true;
    }
    while (n > 0) {
      bool lockFailed = false;
      if (!StepForward(lockFailed)) {
        if (lockFailed) return false;
        Eof = true;
        if (VisibleRecords != nullptr && !IsVisible(GetPhysicalRecordNumber())) {
          // Ran off the end on a hidden key: hold the nearest visible one instead.
          bool found = false;
          pageSteps_ = 0;  // a walk of its own, back over what the skip passed
          if (!SeekVisibleBackward(found)) return false;
          if (!found) ResetIndexPosition();
        }
        return true;
      }
      if (BeyondRangeEnd(CurrentPage.GetKeyEntryPtr(KeySlot))) {
        Eof = true;
        return true;
      }
      if (IsVisible(GetPhysicalRecordNumber())) --n;
    }
    Bof = false;
    return true;
  }
  if (Eof) {
    if (!GotoLastIndexPosition()) return false;
    if (++n == 0 || (Bof && Eof)) return true;
  }
  while (n < 0) {
    bool lockFailed = false;
    if (!StepBackward(lockFailed)) {
      if (lockFailed) return false;
      Bof = true;
      if (VisibleRecords != nullptr && !IsVisible(GetPhysicalRecordNumber())) {
        bool found = false;
        pageSteps_ = 0;
        if (!SeekVisibleForward(found)) return false;
        if (!found) ResetIndexPosition();
      }
      return true;
    }
    if (BelowRangeStart(CurrentPage.GetKeyEntryPtr(KeySlot))) {
      Bof = true;
      return true;
    }
    if (IsVisible(GetPhysicalRecordNumber())) ++n;
  }
  Eof = false;
  return true;
}

bool TBTreeCursor::GotoLogicalRecordNumber(std::int32_t n, bool* exact) {
  if (exact != nullptr) *exact = false;
  std::int32_t total = GetIndexKeyCount();
  if (total <= 0) {
    ResetIndexPosition();
    return true;
  }
  if (n < 1) n = 1;
  if (n > total) n = total;
  TPinnedPage page;
  if (!TryFetchPage(GetRootPageNumber(), page)) return false;
  const bool counted = !NoKeyCounts && IndexSlot != kSysTextSlot;
  std::int32_t before = 0;  // keys before the first key of the current entry's subtree
  for (int level = 1;; ++level) {
    if (level > kMaxIndexLevels) RaiseIndexError(KORVEL_INDEXCORRUPT);
    CheckTreePage(*page);
    if (page->IsLeaf()) break;
    int pos = 1;
    if (counted) {
      while (pos < page->KeyEntryCount && before + page->GetLowerKeyEntryCount(pos) < n) {
        before += page->GetLowerKeyEntryCount(pos);
        ++pos;
      }
    }
    if (!TryFetchPage(page->GetRecordNumber(pos), page)) return false;
  }
  CurrentPage.Copy(*page);
  page.Release();
  // On the leaf: the entry of ordinal n, moving right when the leaf ends first.
  std::int32_t slot = n - before;
  pageSteps_ = 0;
  while (slot > CurrentPage.KeyEntryCount) {
    slot -= CurrentPage.KeyEntryCount;
    bool lockFailed = false;
    if (!GotoRightPage(lockFailed)) {
      if (lockFailed) return false;
      RaiseIndexError(KORVEL_INDEXCORRUPT);  // the counts promised more keys than the leaves hold
    }
  }
  KeySlot = slot;
  CursorPosition = n;
  Bof = false;
  Eof = false;
  bool found = true;
  if (!IsVisible(GetPhysicalRecordNumber())) {
    if (!SeekVisibleForward(found)) return false;
    if (!found) {
      if (!GotoLastIndexPosition()) return false;
      found = !(Bof && Eof);
    }
    if (exact != nullptr) *exact = false;
    return true;
  }
  if (exact != nullptr) *exact = found && CursorPosition == n;
  return true;
}

// ---------------------------------------------------------------------------------------------
// The data page chain

std::vector<std::int32_t> TBTreeCursor::GetDataPageNumbers() {
  std::vector<std::int32_t> numbers;
  std::int32_t number = IndexFile->GetDataRootPageNumber(IndexSlot);
  std::int32_t limit = IndexFile->GetNextEndingPageNumber(IndexSlot);
  while (number != 0) {
    // A chain longer than the file has pages is a loop.
    if (static_cast<std::int32_t>(numbers.size()) >= limit) RaiseIndexError(KORVEL_INDEXCORRUPT);
    TPinnedPage page = FetchPage(number);
    if (page->PageType != ptDataPage || page->IsFree) RaiseIndexError(KORVEL_INDEXCORRUPT);
    numbers.push_back(number);
    number = page->RightPageNumber;
  }
  return numbers;
}

TPinnedPage TBTreeCursor::AddDataPage() {
  std::vector<std::int32_t> numbers = GetDataPageNumbers();
  TPinnedPage page = NewPage();
  page->SetPageType(ptDataPage);
  if (numbers.empty()) {
    IndexFile->SetDataRootPageNumber(IndexSlot, page->PageNumber);
  } else {
    TPinnedPage last = FetchPage(numbers.back());
    last->SetRightPageNumber(page->PageNumber);
    page->SetLeftPageNumber(last->PageNumber);
  }
  return page;
}

void TBTreeCursor::FreeDataPages() {
  std::vector<std::int32_t> numbers = GetDataPageNumbers();
  for (std::int32_t number : numbers) {
    TPinnedPage page = FetchPage(number);
    FreePage(*page);
  }
  IndexFile->SetDataRootPageNumber(IndexSlot, 0);
}

}  // namespace korvel
