// Keys of records, ranges of keys and key searches.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "support/byte_order.h"
#include "support/key_encoding.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// Keys

void TDataCursor::BuildDeletedKey(std::uint8_t deletedFlag, std::int32_t id, std::uint8_t* key) {
  key[0] = deletedFlag;
  FlipIntegerBits(id, key + 1);
}

void TDataCursor::BuildKey(int slot, const std::uint8_t* record, std::uint8_t* key) const {
  if (slot == kSysDeletedSlot) {
    BuildDeletedKey(record[kRecordDeletedOffset], GetRecordID(record), key);
    return;
  }
  const TIndexDefinition& definition = Table->IndexFile->IndexDefinition(slot);
  std::memset(key, 0, definition.KeySize);
  const std::uint16_t language = Table->GetLanguageID();
  const std::uint16_t sort = Table->GetSortID();
  std::uint8_t value[256];
  std::size_t at = 0;
  for (int i = 0; i < definition.KeyFieldCount; ++i) {
    const TFieldDefinition& field = Table->GetFieldDefinitionByPos(definition.KeyFields[i]);
    bool blank = true;
    InternalGetField(field, record, blank, value);
    key[at] = blank ? 0 : 1;
    PrepareDataForIndex(field.DataType, field.PhysicalSize, value, key + at, definition.CaseInsensitive,
                        definition.DescendingKeyFields[i] && !definition.Descending, language, sort);
    at += 1 + IndexedSize(field.DataType, field.PhysicalSize);
  }
  if (!definition.Unique && at + 4 <= definition.KeySize) FlipIntegerBits(GetRecordID(record), key + at);
}

void TDataCursor::GetKeyValues(const std::uint8_t* record, std::uint8_t* key) const {
  CheckOpen();
  if (GetIsPhysicalNavigation()) return;
  BuildKey(IndexPos, record, key);
}

// Bytes of the first `fields` key fields (indexed size + 1 each).
static std::size_t KeyPrefixLength(const std::vector<TFieldDefinition>& keyFields, int fields) {
  std::size_t length = 0;
  for (int i = 0; i < fields && i < static_cast<int>(keyFields.size()); ++i)
    length += 1 + IndexedSize(keyFields[static_cast<std::size_t>(i)].DataType,
                              keyFields[static_cast<std::size_t>(i)].PhysicalSize);
  return length;
}

TBTreeCursor& TDataCursor::EditTree(int slot) {
  if (editTreeSlot_ != slot) {
    ConfigureTree(editTree_, slot);
    editTreeSlot_ = slot;
  }
  return editTree_;
}

bool TDataCursor::KeyExistsInIndex(int slot, const std::uint8_t* key) {
  return EditTree(slot).SearchIndexKeys(key);
}

// ---------------------------------------------------------------------------------------------
// Ranges

void TDataCursor::SetRange(bool keysGiven, const std::uint8_t* start, int startFieldCount, const std::uint8_t* end,
                           int endFieldCount) {
  CheckOpen();
  if (GetIsPhysicalNavigation()) return;
  TOperation operation(*this);
  std::vector<std::uint8_t> low(KeySize, 0), high(KeySize, 0);
  // The lowest and the highest bytes in this index's order.
  const std::uint8_t lowest = Descending ? 0xFF : 0x00;
  const std::uint8_t highest = Descending ? 0x00 : 0xFF;
  auto build = [&](const std::uint8_t* source, int fieldCount, std::vector<std::uint8_t>& key, std::uint8_t pad) {
    if (source == nullptr) {
      // An open end: every key lies on this side of it.
      std::fill(key.begin(), key.end(), pad);
      return;
    }
    if (keysGiven)
      std::memcpy(key.data(), source, KeySize);
    else
      BuildKey(IndexPos, source, key.data());
    const bool partial = (fieldCount > 0 && fieldCount < KeyFieldCount) || !Unique;
    if (!partial) return;
    const int fields = fieldCount == 0 ? KeyFieldCount : fieldCount;
    const std::size_t length = std::min<std::size_t>(KeyPrefixLength(keyFields_, fields), KeySize);
    std::fill(key.begin() + static_cast<std::ptrdiff_t>(length), key.end(), pad);
  };
  build(start, startFieldCount, low, lowest);
  build(end, endFieldCount, high, highest);
  SetBeginIndexRange(low.data());
  SetEndIndexRange(high.data());
  RangeActive = true;
  const bool hadRecord = !Bof && !Eof;
  std::vector<std::uint8_t> record = currentRecord_;
  RefreshRangeAndFilter();
  if (hadRecord) {
    SetToRecordBuffer(record.data(), true);
    if (Bof || Eof) {
      FirstPosition();
      Skip(-1);
    }
  } else {
    FirstPosition();
    Skip(-1);
  }
  RefreshCurrentRecord(1);
}

void TDataCursor::CancelRange() {
  if (KeySize > 0) {
    RangeStartKey.assign(KeySize, 0x00);
    RangeEndKey.assign(KeySize, 0xFF);
  }
  RangeActive = false;
  RangeStartPosition = 1;
  RangeEndPosition = Table != nullptr ? Table->GetActualRecordCount() : 0;
}

void TDataCursor::ResetRange() {
  CheckOpen();
  TOperation operation(*this);
  CancelRange();
  RefreshRangeAndFilter();
  RepositionCurrentRecord();
}

void TDataCursor::UpdateRange() {
  if (RangeUpdatesSuspended) return;
  if (!RangeActive || GetIsPhysicalNavigation()) {
    RangeStartPosition = 1;
    RangeEndPosition = Table->GetActualRecordCount();
    return;
  }
  if (CompareKeys(RangeStartKey.data(), RangeEndKey.data(), KeySize) > 0) {
    RangeStartPosition = 0;
    RangeEndPosition = 0;
    return;
  }
  TBTreeCursor tree;
  ConfigureTree(tree, IndexPos);
  tree.SetBeginIndexRange(RangeStartKey.data());
  tree.SetEndIndexRange(RangeEndKey.data());
  tree.ActivateRange(true);
  RunWalk([&] {
    if (!tree.GotoFirstIndexPosition()) return false;
    RangeStartPosition = (tree.Bof && tree.Eof) ? 0 : tree.CursorPosition;
    if (!tree.GotoLastIndexPosition()) return false;
    RangeEndPosition = (tree.Bof && tree.Eof) ? 0 : tree.CursorPosition;
    return true;
  }, false);
  if (RangeStartPosition == 0 || RangeEndPosition == 0 || RangeEndPosition < RangeStartPosition)
    RangeStartPosition = RangeEndPosition = 0;
}

// ---------------------------------------------------------------------------------------------
// Searches

bool TDataCursor::FindIndexKey(const std::uint8_t* key, bool nearest, bool keepBoundaries) {
  CheckOpen();
  if (GetIsPhysicalNavigation()) return false;
  const bool wasBof = Bof && !Eof;
  const bool wasEof = Eof && !Bof;
  if (RangeActive && CompareKeys(key, RangeStartKey.data(), KeySize) < 0) {
    FirstPosition();
    return false;
  }
  if (RangeActive && CompareKeys(key, RangeEndKey.data(), KeySize) > 0) {
    LastPosition();
    return false;
  }
  bool found = false;
  bool moved = false;
  RunWalk([&] {
    found = false;
    moved = false;
    std::int32_t root = GetRootPageNumber();
    if (root == 0) {
      ResetIndexPosition();
      moved = true;
      return true;
    }
    TPinnedPage page;
    if (!TryFetchPage(root, page)) return false;
    std::int32_t count = 0;
    int pos = 1;
    for (int level = 1;; ++level) {
      if (level > kMaxIndexLevels || page->KeyEntryCount == 0 || page->IsFree) RaiseIndexError(KORVEL_INDEXCORRUPT);
      found = page->FindScan(*this, key, true, pos, count);
      if (page->IsLeaf()) break;
      if (!TryFetchPage(page->GetRecordNumber(pos), page)) return false;
    }
    if (!found && !nearest) return true;  // the position stays where it was
    CurrentPage.Copy(*page);
    page.Release();
    KeySlot = pos;
    CursorPosition = count + 1;
    Bof = Eof = false;
    moved = true;
    if (!found && CompareKeys(CurrentPage.GetKeyEntryPtr(KeySlot), key, KeySize) < 0) {
      // Every key of that leaf lies below the one searched: its successor opens the next leaf.
      bool lockFailed = false;
      if (GotoRightPage(lockFailed)) {
        ++CursorPosition;
      } else {
        if (lockFailed) return false;
        Eof = true;
      }
    }
    return true;
  }, false);
  if (!moved) return false;
  if (!(Bof && Eof) && !Eof && RangeActive && CompareKeys(GetKeyEntryPtr(), RangeEndKey.data(), KeySize) > 0) Eof = true;
  if (!(Bof && Eof) && !Eof && VisibleRecords != nullptr &&
      !VisibleRecords->IsBitSet(static_cast<std::uint32_t>(TBTreeCursor::GetPhysicalRecordNumber()))) {
    // A hidden record: the next visible one, else the one before.
    Skip(1);
    if (Eof) Skip(-1);
    found = false;
  }
  if (keepBoundaries && !(Bof && Eof)) {
    if (wasBof && GetRecordNumber() == 1) Bof = true;
    if (wasEof && GetRecordNumber() == RangeEndPosition - RangeStartPosition + 1) Eof = true;
  }
  return found;
}

bool TDataCursor::Find(bool isKey, const std::uint8_t* source, int fieldCount, bool nearest, int partialLength,
                       std::uint8_t* dest) {
  CheckOpen();
  if (GetIsPhysicalNavigation() || source == nullptr) return false;
  TOperation operation(*this);
  std::vector<std::uint8_t>& key = findKey_;
  key.assign(KeySize, 0);
  if (isKey)
    std::memcpy(key.data(), source, KeySize);
  else
    BuildKey(IndexPos, source, key.data());
  const bool partial =
      (fieldCount > 0 && fieldCount < KeyFieldCount) || !Unique || (fieldCount == 0 && partialLength > 0);
  bool found;
  if (partial) {
    const int fields = (fieldCount == 0 && !Unique && partialLength == 0) ? KeyFieldCount : fieldCount;
    std::size_t length = KeyPrefixLength(keyFields_, fields);
    if (partialLength > 0 && fields < KeyFieldCount) {
      const TFieldDefinition& next = keyFields_[static_cast<std::size_t>(fields)];
      length += 1 + std::min<std::size_t>(static_cast<std::size_t>(partialLength),
                                          IndexedSize(next.DataType, next.PhysicalSize));
    }
    length = std::min<std::size_t>(length, KeySize);
    std::fill(key.begin() + static_cast<std::ptrdiff_t>(length), key.end(), Descending ? 0xFF : 0x00);
    FindIndexKey(key.data(), true, false);
    found = !Bof && !Eof && CompareKeys(GetKeyEntryPtr(), key.data(), length) == 0;
  } else {
    found = FindIndexKey(key.data(), nearest, false);
  }
  if (Eof && !Bof) LastPosition();
  RefreshCurrentRecord(1);
  if (dest != nullptr) CopyCurrentRecord(dest);
  return found;
}

}  // namespace korvel
