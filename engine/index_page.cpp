// B-tree pages: the page format, the fixed-width entries, and the page steps of the tree.

#include "engine/index_page.h"

#include <algorithm>
#include <cstring>

#include "engine/btree_cursor.h"
#include "support/byte_order.h"
#include "support/errors.h"
#include "support/key_encoding.h"
#include "support/records_bitmap.h"

namespace korvel {

namespace {
constexpr std::size_t kBufferGranule = 4096;
}  // namespace

TPage::TPage(TIndexFile* owner) : TPageBuffer(owner) {}

void TPage::RaiseCorrupt() const {
  if (Owner == nullptr) RaiseError(KORVEL_INDEXCORRUPT);
  const TIndexFileOwner* owner = Owner->Owner();
  std::string indexName;
  if (IndexSlot >= 0 && IndexSlot < kIndexSlotCount) indexName = Owner->IndexDefinition(IndexSlot).IndexName;
  RaiseError(KORVEL_INDEXCORRUPT, "", "", owner->GetProperDataDirectoryName(), owner->GetTableName(), "", indexName);
}

void TPage::CheckNotEmpty() const {
  if (KeyEntryCount == 0) RaiseCorrupt();
}

// ---------------------------------------------------------------------------------------------
// Reading and writing

void TPage::Initialize() {
  // Bytes past the last entry are kept zero, so only the used part needs clearing.
  std::size_t used = std::min(static_cast<std::size_t>(KeyEntryCount) * EntrySize(), entries_.size());
  if (used > 0) std::memset(entries_.data(), 0, used);
  TPageBuffer::Initialize();
  dataSize_ = 0;
}

void TPage::Read(const std::uint8_t* buffer, bool reuse) {
  TPageBuffer::Read(buffer, reuse);
  dataSize_ = 0;
  if (reuse || PageType == ptDataPage) return;
  std::uint16_t count = KeyEntryCount;
  KeyEntryCount = 0;
  if (PageType > ptDataPage || KeySize == 0 || KeySize > kMaxKeySize) {
    if (count == 0) return;  // a free page of any kind reads as empty
    RaiseCorrupt();
  }
  KeyEntryCount = count;
  if (!UnCompressPageData(GetPageDataPtr(), kPageBodySize)) {
    SetNumberOfKeyEntries(0);
    Modified = false;
    RaiseCorrupt();
  }
  if (IsCompressedLeaf()) CalculateCompressedSize();
  Modified = false;
}

void TPage::Write(std::uint8_t* buffer) {
  if (PageType == ptDataPage && !IsFree) {
    TPageBuffer::Write(buffer);
    return;
  }
  std::memset(buffer, 0, kIndexPageSize);
  std::uint16_t compressed = 0;
  if (!IsFree) {
    // An unknown compression mode is sized as none but would be encoded as another.
    if (Compression > 3 || GetEncodedSize() > kPageBodySize) RaiseCorrupt();
    std::size_t used = CompressPageData(buffer + kPageHeaderSize);
    if (IsCompressedLeaf()) compressed = static_cast<std::uint16_t>(used);
  }
  CompressedSize = compressed;
  PutU8(buffer, kPageType, PageType);
  PutU16(buffer, kKeyEntryCount, IsFree ? 0 : KeyEntryCount);
  PutI32(buffer, kLeftPageNumber, LeftPageNumber);
  PutI32(buffer, kRightPageNumber, RightPageNumber);
  PutU16(buffer, kCompressedSize, compressed);
  Modified = false;
}

// ---------------------------------------------------------------------------------------------
// Encoding

void TPage::ComputeCounts(int pos, int& dup, int& trail) const {
  const int k = KeySize;
  const std::uint8_t* key = GetKeyEntryPtr(pos);
  const std::uint8_t* previous = pos > 1 ? GetKeyEntryPtr(pos - 1) : nullptr;
  dup = 0;
  trail = 0;
  switch (Compression) {
    case 1:
      if (previous != nullptr) dup = korvel::GetDuplicateCount(previous, key, k);
      break;
    case 2: {
      int length = Unique ? k : k - 4;
      if (length > 0) trail = korvel::GetTrailingCount(key + length - 1, length);
      break;
    }
    case 3: {
      if (previous != nullptr) dup = korvel::GetDuplicateCount(previous, key, k);
      int rest = k - dup;
      if (Unique) {
        if (rest > 0) trail = korvel::GetTrailingCount(key + k - 1, rest);
      } else if (rest >= 5) {
        trail = korvel::GetTrailingCount(key + k - 5, rest - 4);
      }
      break;
    }
    default:
      break;
  }
}

std::size_t TPage::EncodedEntrySize(int dup, int trail) const {
  const std::size_t k = KeySize;
  switch (Compression) {
    case 1: return k - static_cast<std::size_t>(dup) + 5;
    case 2: return k - static_cast<std::size_t>(trail) + 5;
    case 3: return k - static_cast<std::size_t>(dup) - static_cast<std::size_t>(trail) + 6;
    default: return k + 4;
  }
}

void TPage::SetDataSize(std::size_t size) {
  dataSize_ = size;
  std::uint16_t stored = IsCompressedLeaf() ? static_cast<std::uint16_t>(std::min<std::size_t>(size, 65535)) : 0;
  SetCompressedSize(stored);
}

void TPage::CalculateCompressedSize() {
  if (!IsCompressedLeaf()) {
    SetDataSize(0);
    return;
  }
  std::size_t total = 0;
  for (int pos = 1; pos <= KeyEntryCount; ++pos) {
    int dup = 0;
    int trail = 0;
    ComputeCounts(pos, dup, trail);
    std::uint8_t* entry = GetKeyEntryPtr(pos);
    entry[KeySize + 8] = static_cast<std::uint8_t>(dup);
    entry[KeySize + 9] = static_cast<std::uint8_t>(trail);
    total += EncodedEntrySize(dup, trail);
  }
  SetDataSize(total);
}

void TPage::RecountEntry(int pos) {
  if (!IsCompressedLeaf() || pos < 1 || pos > KeyEntryCount) return;
  std::uint8_t* entry = GetKeyEntryPtr(pos);
  std::size_t old = EncodedEntrySize(entry[KeySize + 8], entry[KeySize + 9]);
  int dup = 0;
  int trail = 0;
  ComputeCounts(pos, dup, trail);
  entry[KeySize + 8] = static_cast<std::uint8_t>(dup);
  entry[KeySize + 9] = static_cast<std::uint8_t>(trail);
  SetDataSize(dataSize_ - old + EncodedEntrySize(dup, trail));
}

std::size_t TPage::GetEncodedSize() const {
  if (PageType == ptDataPage) return kPageBodySize;
  if (IsCompressedLeaf()) return dataSize_;
  std::size_t each = static_cast<std::size_t>(KeySize) + 4;
  if (IsNode() && KeepsKeyCounts()) each += 4;
  return each * KeyEntryCount;
}

int TPage::GetMaximumKeyEntries() const {
  std::size_t each = static_cast<std::size_t>(KeySize) + 4;
  if (IsNode() && KeepsKeyCounts()) each += 4;
  return static_cast<int>(kPageBodySize / each);
}

bool TPage::PageDataOverflowed() const {
  if (IsCompressedLeaf()) return dataSize_ > kPageBodySize;
  return KeyEntryCount > GetMaximumKeyEntries();
}

std::size_t TPage::CompressPageData(std::uint8_t* body) const {
  const std::size_t k = KeySize;
  std::size_t at = 0;
  const bool node = IsNode();
  const bool counts = KeepsKeyCounts();
  for (int pos = 1; pos <= KeyEntryCount; ++pos) {
    const std::uint8_t* key = GetKeyEntryPtr(pos);
    std::int32_t number = GetI32(key, k);
    if (node || Compression == 0) {
      std::memcpy(body + at, key, k);
      PutI32(body, at + k, number);
      at += k + 4;
      if (node && counts) {
        PutI32(body, at, GetI32(key, k + 4));
        at += 4;
      }
      continue;
    }
    int dup = 0;
    int trail = 0;
    ComputeCounts(pos, dup, trail);
    const std::size_t d = static_cast<std::size_t>(dup);
    const std::size_t t = static_cast<std::size_t>(trail);
    switch (Compression) {
      case 1:
        body[at++] = static_cast<std::uint8_t>(dup);
        std::memcpy(body + at, key + d, k - d);
        at += k - d;
        break;
      case 2: {
        body[at++] = static_cast<std::uint8_t>(trail);
        std::size_t length = Unique ? k : k - 4;
        std::memcpy(body + at, key, length - t);
        at += length - t;
        if (!Unique) {
          std::memcpy(body + at, key + k - 4, 4);
          at += 4;
        }
        break;
      }
      default: {  // 3
        body[at++] = static_cast<std::uint8_t>(dup);
        body[at++] = static_cast<std::uint8_t>(trail);
        std::size_t rest = k - d;
        if (Unique || rest < 5) {
          std::memcpy(body + at, key + d, rest - t);
          at += rest - t;
        } else {
          std::memcpy(body + at, key + d, rest - 4 - t);
          at += rest - 4 - t;
          std::memcpy(body + at, key + k - 4, 4);
          at += 4;
        }
        break;
      }
    }
    PutI32(body, at, number);
    at += 4;
  }
  return at;
}

bool TPage::UnCompressPageData(const std::uint8_t* body, std::size_t bodySize) {
  const int count = KeyEntryCount;
  const std::size_t k = KeySize;
  KeyEntryCount = 0;
  if (count == 0) {
    SetNumberOfKeyEntries(0);
    return true;
  }
  const bool node = IsNode();
  if (node || Compression == 0) {
    std::size_t each = k + 4 + ((node && KeepsKeyCounts()) ? 4 : 0);
    if (static_cast<std::size_t>(count) * each > bodySize) return false;
    SetNumberOfKeyEntries(count);
    for (int pos = 1; pos <= count; ++pos) {
      const std::uint8_t* in = body + static_cast<std::size_t>(pos - 1) * each;
      std::uint8_t* entry = GetKeyEntryPtr(pos);
      std::memcpy(entry, in, k + 4);
      PutI32(entry, k + 4, (node && KeepsKeyCounts()) ? GetI32(in, k + 4) : 0);
    }
    return true;
  }
  if (Compression > 3) return false;
  // Every compressed entry takes at least 5 bytes, which bounds the count a sound body can hold.
  if (static_cast<std::size_t>(count) > bodySize / 5) return false;
  SetNumberOfKeyEntries(count);
  std::size_t at = 0;
  auto take = [&](std::size_t n) { return at + n <= bodySize; };
  for (int pos = 1; pos <= count; ++pos) {
    std::uint8_t* entry = GetKeyEntryPtr(pos);
    const std::uint8_t* previous = pos > 1 ? GetKeyEntryPtr(pos - 1) : nullptr;
    std::size_t dup = 0;
    std::size_t trail = 0;
    if (Compression == 1 || Compression == 3) {
      if (!take(1)) return false;
      dup = body[at++];
    }
    if (Compression == 2 || Compression == 3) {
      if (!take(1)) return false;
      trail = body[at++];
    }
    if (dup > k || (previous == nullptr && dup != 0)) return false;
    if (dup > 0) std::memcpy(entry, previous, dup);
    if (Compression == 1) {
      if (!take(k - dup)) return false;
      std::memcpy(entry + dup, body + at, k - dup);
      at += k - dup;
    } else if (Compression == 2) {
      std::size_t length = Unique ? k : k - 4;
      if (k < 4 || trail > length) return false;
      if (!take(length - trail)) return false;
      std::memcpy(entry, body + at, length - trail);
      at += length - trail;
      std::memset(entry + length - trail, 0, trail);
      if (!Unique) {
        if (!take(4)) return false;
        std::memcpy(entry + k - 4, body + at, 4);
        at += 4;
      }
    } else {
      std::size_t rest = k - dup;
      if (Unique || rest < 5) {
        if (trail > rest || !take(rest - trail)) return false;
        std::memcpy(entry + dup, body + at, rest - trail);
        at += rest - trail;
        std::memset(entry + k - trail, 0, trail);
      } else {
        if (trail > rest - 4 || !take(rest - 4 - trail + 4)) return false;
        std::memcpy(entry + dup, body + at, rest - 4 - trail);
        at += rest - 4 - trail;
        std::memset(entry + k - 4 - trail, 0, trail);
        std::memcpy(entry + k - 4, body + at, 4);
        at += 4;
      }
    }
    if (!take(4)) return false;
    PutI32(entry, k, GetI32(body, at));
    at += 4;
    PutI32(entry, k + 4, 0);
    entry[k + 8] = static_cast<std::uint8_t>(dup);
    entry[k + 9] = static_cast<std::uint8_t>(trail);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Entries

void TPage::EnsureCapacity(int count) {
  std::size_t need = static_cast<std::size_t>(count) * EntrySize();
  if (need > entries_.size()) {
    std::size_t size = (need + kBufferGranule - 1) / kBufferGranule * kBufferGranule;
    entries_.resize(size, 0);
  }
}

void TPage::SetNumberOfKeyEntries(int count) {
  if (count < 0) count = 0;
  EnsureCapacity(count);
  std::size_t used = static_cast<std::size_t>(count) * EntrySize();
  if (used < entries_.size()) {
    std::size_t old = static_cast<std::size_t>(KeyEntryCount) * EntrySize();
    std::size_t end = std::max(old, used);
    if (end > entries_.size()) end = entries_.size();
    if (end > used) std::memset(entries_.data() + used, 0, end - used);
  }
  SetKeyEntryCount(static_cast<std::uint16_t>(count));
}

std::int32_t TPage::GetRecordNumber(int pos) const { return GetI32(GetKeyEntryPtr(pos), KeySize); }

void TPage::SetRecordNumber(int pos, std::int32_t number) {
  PutI32(GetKeyEntryPtr(pos), KeySize, number);
  Modified = true;
}

std::int32_t TPage::GetLowerKeyEntryCount(int pos) const {
  if (!IsNode()) return 1;
  return GetI32(GetKeyEntryPtr(pos), static_cast<std::size_t>(KeySize) + 4);
}

void TPage::SetLowerKeyEntryCount(int pos, std::int32_t count) {
  if (!IsNode() || !KeepsKeyCounts()) return;
  PutI32(GetKeyEntryPtr(pos), static_cast<std::size_t>(KeySize) + 4, count);
  Modified = true;
}

std::int32_t TPage::GetTotalLowerKeyEntryCount() const {
  if (!IsNode()) return KeyEntryCount;
  std::int64_t total = 0;
  for (int pos = 1; pos <= KeyEntryCount; ++pos) total += GetLowerKeyEntryCount(pos);
  return static_cast<std::int32_t>(total);
}

std::int32_t TPage::GetPageKeyCount(int pos) const {
  if (!IsNode()) return pos > 0 ? pos - 1 : 0;
  std::int64_t total = 0;
  for (int p = 1; p < pos && p <= KeyEntryCount; ++p) total += GetLowerKeyEntryCount(p);
  return static_cast<std::int32_t>(total);
}

void TPage::OpenEntries(int pos, int count) {
  int n = KeyEntryCount;
  EnsureCapacity(n + count);
  std::uint8_t* at = entries_.data() + static_cast<std::size_t>(pos - 1) * EntrySize();
  std::size_t tail = static_cast<std::size_t>(n - pos + 1) * EntrySize();
  std::memmove(at + static_cast<std::size_t>(count) * EntrySize(), at, tail);
  std::memset(at, 0, static_cast<std::size_t>(count) * EntrySize());
  KeyEntryCount = static_cast<std::uint16_t>(n + count);
  Modified = true;
}

void TPage::CloseEntries(int pos, int count) {
  int n = KeyEntryCount;
  std::uint8_t* at = entries_.data() + static_cast<std::size_t>(pos - 1) * EntrySize();
  std::size_t tail = static_cast<std::size_t>(n - pos - count + 1) * EntrySize();
  std::memmove(at, at + static_cast<std::size_t>(count) * EntrySize(), tail);
  std::memset(entries_.data() + static_cast<std::size_t>(n - count) * EntrySize(), 0,
              static_cast<std::size_t>(count) * EntrySize());
  KeyEntryCount = static_cast<std::uint16_t>(n - count);
  Modified = true;
}

void TPage::InsertKeyEntry(const std::uint8_t* key, int& pos) {
  if (pos < 0) pos = 0;
  if (pos > KeyEntryCount) pos = KeyEntryCount;
  ++pos;
  OpenEntries(pos, 1);
  std::memcpy(GetKeyEntryPtr(pos), key, KeySize);
  if (IsCompressedLeaf()) {
    std::uint8_t* entry = GetKeyEntryPtr(pos);
    int dup = 0;
    int trail = 0;
    ComputeCounts(pos, dup, trail);
    entry[KeySize + 8] = static_cast<std::uint8_t>(dup);
    entry[KeySize + 9] = static_cast<std::uint8_t>(trail);
    SetDataSize(dataSize_ + EncodedEntrySize(dup, trail));
    RecountEntry(pos + 1);
  }
}

void TPage::UpdateKeyEntry(const std::uint8_t* key, int pos) {
  if (pos < 1 || pos > KeyEntryCount) RaiseCorrupt();
  std::uint8_t* entry = GetKeyEntryPtr(pos);
  if (std::memcmp(entry, key, KeySize) == 0) return;
  std::memmove(entry, key, KeySize);
  Modified = true;
  RecountEntry(pos);
  RecountEntry(pos + 1);
}

void TPage::DeleteKeyEntry(int& pos) {
  if (pos < 1 || pos > KeyEntryCount) RaiseCorrupt();
  if (IsCompressedLeaf()) {
    const std::uint8_t* entry = GetKeyEntryPtr(pos);
    SetDataSize(dataSize_ - EncodedEntrySize(entry[KeySize + 8], entry[KeySize + 9]));
  }
  CloseEntries(pos, 1);
  RecountEntry(pos);
  if (pos > KeyEntryCount) pos = KeyEntryCount;
}

void TPage::Copy(const TPage& source) {
  std::size_t oldUsed = std::min(static_cast<std::size_t>(KeyEntryCount) * EntrySize(), entries_.size());
  SetIndexAttributes(source.IndexSlot, source.KeySize, source.Descending, source.Unique, source.NoKeyCounts,
                     source.Compression);
  PageNumber = source.PageNumber;
  PageType = source.PageType;
  LeftPageNumber = source.LeftPageNumber;
  RightPageNumber = source.RightPageNumber;
  CompressedSize = source.CompressedSize;
  IsFree = source.IsFree;
  std::size_t used = static_cast<std::size_t>(source.KeyEntryCount) * source.EntrySize();
  KeyEntryCount = 0;
  EnsureCapacity(source.KeyEntryCount);
  if (used > 0) std::memcpy(entries_.data(), source.entries_.data(), used);
  if (oldUsed > used) std::memset(entries_.data() + used, 0, oldUsed - used);
  KeyEntryCount = source.KeyEntryCount;
  dataSize_ = source.dataSize_;
  if (PageType == ptDataPage) image_ = source.image_;
}

void TPage::MoveEntries(TPage& from, int fromPos, int count, TPage& to, int toPos) {
  if (count <= 0) return;
  to.OpenEntries(toPos, count);
  std::memcpy(to.GetKeyEntryPtr(toPos), from.GetKeyEntryPtr(fromPos), static_cast<std::size_t>(count) * from.EntrySize());
  from.CloseEntries(fromPos, count);
}

// ---------------------------------------------------------------------------------------------
// Scans

int TPage::ScanNotAbove(const TBTreeCursor& cursor, const std::uint8_t* key, bool& equal) const {
  CheckNotEmpty();
  equal = false;
  int low = 1;
  int high = KeyEntryCount;
  int result = 0;
  while (low <= high) {
    int mid = (low + high) >> 1;
    int r = cursor.CompareKeys(GetKeyEntryPtr(mid), key, KeySize);
    if (r == 0) {
      equal = true;
      return mid;
    }
    if (r < 0) {
      result = mid;
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  return result;
}

int TPage::ScanBelow(const TBTreeCursor& cursor, const std::uint8_t* key) const {
  bool equal = false;
  int pos = ScanNotAbove(cursor, key, equal);
  return equal ? pos - 1 : pos;
}

bool TPage::SearchScan(const TBTreeCursor& cursor, const std::uint8_t* key, int& pos) const {
  bool equal = false;
  pos = ScanNotAbove(cursor, key, equal);
  if (pos == 0) pos = 1;
  return equal && IsLeaf();
}

void TPage::InsertScan(const TBTreeCursor& cursor, const std::uint8_t* key, int& pos) const {
  bool equal = false;
  pos = ScanNotAbove(cursor, key, equal);
}

void TPage::DeleteScan(const TBTreeCursor& cursor, const std::uint8_t* key, int& pos) const {
  SearchScan(cursor, key, pos);
}

bool TPage::FindScan(const TBTreeCursor& cursor, const std::uint8_t* key, bool nearest, int& pos,
                     std::int32_t& count) const {
  bool equal = false;
  pos = ScanNotAbove(cursor, key, equal);
  if (!equal) {
    if (IsLeaf() && nearest && pos < KeyEntryCount)
      ++pos;
    else if (pos == 0)
      pos = 1;
  }
  count += GetPageKeyCount(pos);
  return equal;
}

void TPage::FirstRangeScan(const TBTreeCursor& cursor, const std::uint8_t* low, int& pos, std::int32_t& count) const {
  if (IsLeaf()) {
    pos = ScanBelow(cursor, low) + 1;
    if (pos > KeyEntryCount) pos = KeyEntryCount;
  } else {
    bool equal = false;
    pos = ScanNotAbove(cursor, low, equal);
    if (pos == 0) pos = 1;
  }
  count += GetPageKeyCount(pos);
}

void TPage::LastRangeScan(const TBTreeCursor& cursor, const std::uint8_t* high, int& pos, std::int32_t& count) const {
  bool equal = false;
  pos = ScanNotAbove(cursor, high, equal);
  if (pos == 0) pos = 1;
  count += GetPageKeyCount(pos);
}

void TPage::FirstScan(int& pos) const {
  CheckNotEmpty();
  pos = 1;
}

void TPage::LastScan(int& pos, std::int32_t& count) const {
  CheckNotEmpty();
  pos = KeyEntryCount;
  count += GetPageKeyCount(pos);
}

bool TPage::FindRangeScan(const TBTreeCursor& cursor, const std::uint8_t* low, const std::uint8_t* high, bool strict,
                          int& pos, std::int32_t& count) const {
  if (IsNode()) {
    bool equal = false;
    pos = ScanNotAbove(cursor, low, equal);
    if (pos == 0) pos = 1;
    count += GetPageKeyCount(pos);
    return false;
  }
  pos = ScanBelow(cursor, low) + 1;
  bool found = false;
  if (pos > KeyEntryCount) {
    pos = KeyEntryCount;
  } else if (cursor.CompareKeys(GetKeyEntryPtr(pos), low, KeySize) == 0) {
    found = true;
  } else if (!strict && cursor.CompareKeys(GetKeyEntryPtr(pos), high, KeySize) <= 0) {
    found = true;
  }
  count += GetPageKeyCount(pos);
  return found;
}

int TPage::CountSequentialRecords(int count, bool forward, int position, std::int32_t& lastRecord) const {
  lastRecord = 0;
  if (position < 1 || position > KeyEntryCount || count <= 0) return 0;
  lastRecord = GetRecordNumber(position);
  int n = 1;
  int step = forward ? 1 : -1;
  for (int pos = position + step; n < count && pos >= 1 && pos <= KeyEntryCount; pos += step) {
    std::int32_t record = GetRecordNumber(pos);
    if (record != lastRecord + step) break;
    lastRecord = record;
    ++n;
  }
  return n;
}

bool TPage::FilterScanForward(const TRecordsBitmap& bitmap, int& pos, std::int32_t& steps) const {
  for (; pos <= KeyEntryCount; ++pos) {
    if (pos >= 1 && bitmap.IsBitSet(static_cast<std::uint32_t>(GetRecordNumber(pos)))) return true;
    ++steps;
  }
  pos = KeyEntryCount;
  return false;
}

bool TPage::FilterScanBackward(const TRecordsBitmap& bitmap, int& pos, std::int32_t& steps) const {
  if (pos > KeyEntryCount) pos = KeyEntryCount;
  for (; pos >= 1; --pos) {
    if (bitmap.IsBitSet(static_cast<std::uint32_t>(GetRecordNumber(pos)))) return true;
    ++steps;
  }
  pos = 1;
  return false;
}

bool TPage::FilterRangeScanForward(const TBTreeCursor& cursor, const TRecordsBitmap& bitmap, const std::uint8_t* high,
                                   int& pos, std::int32_t& steps) const {
  for (; pos <= KeyEntryCount; ++pos) {
    if (pos < 1) continue;
    if (cursor.CompareKeys(GetKeyEntryPtr(pos), high, KeySize) > 0) return false;
    if (bitmap.IsBitSet(static_cast<std::uint32_t>(GetRecordNumber(pos)))) return true;
    ++steps;
  }
  pos = KeyEntryCount;
  return false;
}

bool TPage::FilterRangeScanBackward(const TBTreeCursor& cursor, const TRecordsBitmap& bitmap, const std::uint8_t* low,
                                    int& pos, std::int32_t& steps) const {
  if (pos > KeyEntryCount) pos = KeyEntryCount;
  for (; pos >= 1; --pos) {
    if (cursor.CompareKeys(GetKeyEntryPtr(pos), low, KeySize) < 0) return false;
    if (bitmap.IsBitSet(static_cast<std::uint32_t>(GetRecordNumber(pos)))) return true;
    ++steps;
  }
  pos = 1;
  return false;
}

bool TPage::FilterSetIndexedBits(TRecordsBitmap& bitmap, int pos, const TBTreeCursor& cursor,
                                 const std::uint8_t* high) const {
  for (; pos <= KeyEntryCount; ++pos) {
    if (pos < 1) continue;
    if (cursor.CompareKeys(GetKeyEntryPtr(pos), high, KeySize) > 0) return false;
    bitmap.SetBit(static_cast<std::uint32_t>(GetRecordNumber(pos)));
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Insertion

void TPage::UpdateUpperIndexKeys(TBTreeCursor& cursor, const std::uint8_t* key) {
  int level = cursor.GetCurIndexLevel();
  while (level > 1 && cursor.GetIndexKeyCounter(level) == 1) {
    std::int32_t parentNumber = cursor.GetParentPageNumber(level);
    if (parentNumber == 0) RaiseCorrupt();
    TPinnedPage parent = cursor.FetchPage(parentNumber);
    parent->UpdateKeyEntry(key, cursor.GetIndexKeyCounter(level - 1));
    --level;
  }
}

// The pages one split needs, pinned before the split begins.
struct TSplitReserve {
  std::vector<TPinnedPage> Held;      // parents and right neighbours the split will change
  std::vector<TPinnedPage> NewPages;  // taken in order by the splits
  std::size_t Next = 0;

  TPage& Take(TBTreeCursor& cursor) {
    if (Next >= NewPages.size()) cursor.RaiseIndexError(KORVEL_INDEXCORRUPT);
    return *NewPages[Next++];
  }
  // Hands back the new pages not used (all of them after a failure) to the free chain.
  void GiveBack(TBTreeCursor& cursor) {
    for (std::size_t i = Next; i < NewPages.size(); ++i) cursor.FreePage(*NewPages[i]);
    Next = NewPages.size();
  }
};

void TPage::ReserveSplitPages(TBTreeCursor& cursor, TSplitReserve& reserve) {
  int level = cursor.GetCurIndexLevel();
  const TPage* page = this;
  std::size_t needed = 0;
  for (;;) {
    if (page->RightPageNumber != 0) reserve.Held.push_back(cursor.FetchPage(page->RightPageNumber));
    ++needed;
    if (page->IsRoot()) {
      if (level != 1) cursor.RaiseIndexError(KORVEL_TABLEFULL);
      ++needed;  // the new root
      break;
    }
    std::int32_t parentNumber = cursor.GetParentPageNumber(level);
    if (parentNumber == 0) RaiseCorrupt();
    TPinnedPage parent = cursor.FetchPage(parentNumber);
    const TPage* next = parent.get();
    reserve.Held.push_back(std::move(parent));
    // Node entries have a fixed size: one more entry overflows the parent or it does not.
    if (next->KeyEntryCount + 1 <= next->GetMaximumKeyEntries()) break;
    page = next;
    --level;
  }
  for (std::size_t i = 0; i < needed; ++i) reserve.NewPages.push_back(cursor.NewPage());
}

void TPage::InsertEntry(TBTreeCursor& cursor, const std::uint8_t* key, std::int32_t lowerCount, std::int32_t number,
                        TSplitReserve& reserve) {
  const int level = cursor.GetCurIndexLevel();
  int pos = cursor.GetIndexKeyCounter(level);
  InsertKeyEntry(key, pos);
  SetRecordNumber(pos, number);
  SetLowerKeyEntryCount(pos, lowerCount);
  cursor.SetIndexKeyCounter(level, pos);
  if (pos == 1) UpdateUpperIndexKeys(cursor, GetKeyEntryPtr(1));
  if (PageDataOverflowed()) SplitUpwards(cursor, reserve);
}

void TPage::SplitUpwards(TBTreeCursor& cursor, TSplitReserve& reserve) {
  const int level = cursor.GetCurIndexLevel();
  const bool wasRoot = IsRoot();
  TPage& newPage = reserve.Take(cursor);
  SplitIntoPage(cursor, newPage);
  if (wasRoot) {
    TPage& root = reserve.Take(cursor);
    root.SetPageType(ptRootNode);
    int p = 0;
    root.InsertKeyEntry(GetKeyEntryPtr(1), p);
    root.SetRecordNumber(p, PageNumber);
    root.SetLowerKeyEntryCount(p, GetTotalLowerKeyEntryCount());
    root.InsertKeyEntry(newPage.GetKeyEntryPtr(1), p);
    root.SetRecordNumber(p, newPage.PageNumber);
    root.SetLowerKeyEntryCount(p, newPage.GetTotalLowerKeyEntryCount());
    cursor.SetRootPageNumber(root.PageNumber);
    return;
  }
  std::int32_t parentNumber = cursor.GetParentPageNumber(level);
  if (parentNumber == 0) RaiseCorrupt();
  TPinnedPage parent = cursor.FetchPage(parentNumber);  // held by the reserve: no read
  cursor.DecCurIndexLevel();
  parent->SetLowerKeyEntryCount(cursor.GetIndexKeyCounter(level - 1), GetTotalLowerKeyEntryCount());
  parent->InsertEntry(cursor, newPage.GetKeyEntryPtr(1), newPage.GetTotalLowerKeyEntryCount(), newPage.PageNumber,
                      reserve);
}

void TPage::InsertIndexKey(TBTreeCursor& cursor, const std::uint8_t* key, std::int32_t lowerCount,
                           std::int32_t number) {
  const int level = cursor.GetCurIndexLevel();
  int pos = cursor.GetIndexKeyCounter(level);
  InsertKeyEntry(key, pos);
  SetRecordNumber(pos, number);
  SetLowerKeyEntryCount(pos, lowerCount);
  cursor.SetIndexKeyCounter(level, pos);
  if (pos == 1) UpdateUpperIndexKeys(cursor, GetKeyEntryPtr(1));
  if (!PageDataOverflowed()) return;

  TSplitReserve reserve;
  try {
    ReserveSplitPages(cursor, reserve);
  } catch (...) {
    // Nothing is split yet: take the key out again, with the counts the descent added.
    try {
      reserve.GiveBack(cursor);
      const int inserted = pos;
      DeleteKeyEntry(pos);
      cursor.SetIndexKeyCounter(level, 1);
      if (inserted == 1 && KeyEntryCount > 0) UpdateUpperIndexKeys(cursor, GetKeyEntryPtr(1));
      cursor.AdjustPathCounts(level, -1);
    } catch (...) {
      // The first error is the one to report.
    }
    throw;
  }
  SplitUpwards(cursor, reserve);
  reserve.GiveBack(cursor);
}

void TPage::SplitIntoPage(TBTreeCursor& cursor, TPage& newPage) {
  const int n = KeyEntryCount;
  if (n < 2) RaiseCorrupt();
  const int moved = n / 2;
  const std::uint8_t type = IsNode() ? ptNode : ptLeaf;
  SetPageType(type);
  newPage.SetPageType(type);
  newPage.SetNumberOfKeyEntries(0);
  MoveEntries(*this, n - moved + 1, moved, newPage, 1);

  newPage.SetLeftPageNumber(PageNumber);
  newPage.SetRightPageNumber(RightPageNumber);
  if (RightPageNumber != 0) {
    TPinnedPage right = cursor.FetchPage(RightPageNumber);
    right->SetLeftPageNumber(newPage.PageNumber);
  }
  SetRightPageNumber(newPage.PageNumber);

  CalculateCompressedSize();
  newPage.CalculateCompressedSize();
  if (!IsCompressedLeaf()) return;
  // Prefix compression makes the first entry of the new page dearer: shift entries until both
  // pages fit.
  while (newPage.PageDataOverflowed()) {
    if (newPage.KeyEntryCount < 2) RaiseCorrupt();
    MoveEntries(newPage, 1, 1, *this, KeyEntryCount + 1);
    CalculateCompressedSize();
    newPage.CalculateCompressedSize();
    if (PageDataOverflowed()) RaiseCorrupt();
  }
  while (PageDataOverflowed()) {
    if (KeyEntryCount < 2) RaiseCorrupt();
    MoveEntries(*this, KeyEntryCount, 1, newPage, 1);
    CalculateCompressedSize();
    newPage.CalculateCompressedSize();
    if (newPage.PageDataOverflowed()) RaiseCorrupt();
  }
}

// ---------------------------------------------------------------------------------------------
// Deletion

void TPage::BalanceWithLeftPage(TPage& left) {
  const int n = left.KeyEntryCount + KeyEntryCount;
  const int leftTarget = n - n / 2;  // the neighbour takes the larger half
  if (left.KeyEntryCount < leftTarget)
    MoveEntries(*this, 1, leftTarget - left.KeyEntryCount, left, left.KeyEntryCount + 1);
  else if (left.KeyEntryCount > leftTarget)
    MoveEntries(left, leftTarget + 1, left.KeyEntryCount - leftTarget, *this, 1);
  left.CalculateCompressedSize();
  CalculateCompressedSize();
}

void TPage::BalanceWithRightPage(TPage& right) {
  const int n = right.KeyEntryCount + KeyEntryCount;
  const int leftTarget = n / 2;  // this page, the left one, keeps the smaller half
  if (KeyEntryCount < leftTarget)
    MoveEntries(right, 1, leftTarget - KeyEntryCount, *this, KeyEntryCount + 1);
  else if (KeyEntryCount > leftTarget)
    MoveEntries(*this, leftTarget + 1, KeyEntryCount - leftTarget, right, 1);
  right.CalculateCompressedSize();
  CalculateCompressedSize();
}

void TPage::MergeWithLeftPage(TBTreeCursor& cursor, TPage& left) {
  MoveEntries(*this, 1, KeyEntryCount, left, left.KeyEntryCount + 1);
  left.SetRightPageNumber(RightPageNumber);
  if (RightPageNumber != 0) {
    TPinnedPage right = cursor.FetchPage(RightPageNumber);
    right->SetLeftPageNumber(left.PageNumber);
  }
  left.CalculateCompressedSize();
  CalculateCompressedSize();
}

void TPage::MergeWithRightPage(TBTreeCursor& cursor, TPage& right) {
  MoveEntries(*this, 1, KeyEntryCount, right, 1);
  right.SetLeftPageNumber(LeftPageNumber);
  if (LeftPageNumber != 0) {
    TPinnedPage left = cursor.FetchPage(LeftPageNumber);
    left->SetRightPageNumber(right.PageNumber);
  }
  right.CalculateCompressedSize();
  CalculateCompressedSize();
}

bool TPage::SplitAfterDelete(TBTreeCursor& cursor, const std::uint8_t* removed, int removedPos) {
  if (!IsCompressedLeaf() || KeyEntryCount == 0 || !PageDataOverflowed()) return false;
  const int level = cursor.GetCurIndexLevel();
  TSplitReserve reserve;
  try {
    ReserveSplitPages(cursor, reserve);
  } catch (...) {
    // Nothing is split yet: the entry goes back, and so do the counts the descent took.
    try {
      reserve.GiveBack(cursor);
      int pos = removedPos - 1;
      InsertKeyEntry(removed, pos);
      SetRecordNumber(pos, GetI32(removed, KeySize));
      cursor.SetIndexKeyCounter(level, pos);
      if (pos == 1) UpdateUpperIndexKeys(cursor, GetKeyEntryPtr(1));
      cursor.AdjustPathCounts(level, 1);
    } catch (...) {
      // The first error is the one to report.
    }
    throw;
  }
  SplitUpwards(cursor, reserve);
  reserve.GiveBack(cursor);
  return true;
}

void TPage::DeleteIndexKey(TBTreeCursor& cursor) {
  const int level = cursor.GetCurIndexLevel();
  int pos = cursor.GetIndexKeyCounter(level);
  const int removedPos = pos;
  // A compressed leaf may need the entry back (see SplitAfterDelete).
  std::uint8_t removed[kMaxKeySize + kEntryExtraBytes];
  if (IsCompressedLeaf() && pos >= 1 && pos <= KeyEntryCount) std::memcpy(removed, GetKeyEntryPtr(pos), EntrySize());
  DeleteKeyEntry(pos);
  cursor.SetIndexKeyCounter(level, pos);
  if (KeyEntryCount > 0 && pos == 1) UpdateUpperIndexKeys(cursor, GetKeyEntryPtr(1));
  if (SplitAfterDelete(cursor, removed, removedPos)) return;

  if (IsRoot()) {
    if (KeyEntryCount == 0) {
      cursor.FreePage(*this);
      cursor.SetRootPageNumber(0);
    } else if (IsNode() && KeyEntryCount == 1) {
      // A root with a single child hands the tree to that child.
      TPinnedPage child = cursor.FetchPage(GetRecordNumber(1));
      child->SetPageType(child->IsLeaf() ? ptRootLeaf : ptRootNode);
      child->SetLeftPageNumber(0);
      child->SetRightPageNumber(0);
      child->CalculateCompressedSize();
      cursor.SetRootPageNumber(child->PageNumber);
      SetNumberOfKeyEntries(0);
      cursor.FreePage(*this);
    }
    return;
  }
  const std::int32_t parentNumber = cursor.GetParentPageNumber(level);
  if (parentNumber == 0) RaiseCorrupt();

  if (IsCompressedLeaf()) {
    // Compressed leaves have no entry minimum: only an empty one leaves the tree.
    if (KeyEntryCount > 0) return;
    if (LeftPageNumber != 0) {
      TPinnedPage left = cursor.FetchPage(LeftPageNumber);
      left->SetRightPageNumber(RightPageNumber);
    }
    if (RightPageNumber != 0) {
      TPinnedPage right = cursor.FetchPage(RightPageNumber);
      right->SetLeftPageNumber(LeftPageNumber);
    }
    cursor.FreePage(*this);
    TPinnedPage parent = cursor.FetchPage(parentNumber);
    cursor.DecCurIndexLevel();
    parent->DeleteIndexKey(cursor);
    return;
  }
  if (KeyEntryCount >= GetMaximumKeyEntries() / 2) return;

  TPinnedPage parent = cursor.FetchPage(parentNumber);
  cursor.DecCurIndexLevel();
  const int entry = cursor.GetIndexKeyCounter(level - 1);
  const int parentCount = parent->KeyEntryCount;
  if (entry < 1 || entry > parentCount || parent->GetRecordNumber(entry) != PageNumber) RaiseCorrupt();
  // A parent with one entry has no second child to pair with (only a damaged tree gets here:
  // such a root is collapsed as soon as it forms); leave the page as it is.
  if (parentCount == 1) return;
  const bool useRight = entry == 1;
  const std::int32_t siblingNumber = useRight ? RightPageNumber : LeftPageNumber;
  const int siblingEntry = useRight ? entry + 1 : entry - 1;
  if (siblingNumber == 0 || parent->GetRecordNumber(siblingEntry) != siblingNumber) RaiseCorrupt();
  TPinnedPage sibling = cursor.FetchPage(siblingNumber);
  if (sibling->PageType != PageType || sibling->IsFree) RaiseCorrupt();

  if (KeyEntryCount + sibling->KeyEntryCount < GetMaximumKeyEntries()) {
    if (useRight) {
      MergeWithRightPage(cursor, *sibling);
      parent->UpdateKeyEntry(sibling->GetKeyEntryPtr(1), siblingEntry);
    } else {
      MergeWithLeftPage(cursor, *sibling);
    }
    parent->SetLowerKeyEntryCount(siblingEntry, sibling->GetTotalLowerKeyEntryCount());
    SetNumberOfKeyEntries(0);
    cursor.FreePage(*this);
    cursor.SetIndexKeyCounter(level - 1, entry);
    parent->DeleteIndexKey(cursor);
    return;
  }
  if (useRight) {
    BalanceWithRightPage(*sibling);
    parent->SetLowerKeyEntryCount(entry, GetTotalLowerKeyEntryCount());
    parent->SetLowerKeyEntryCount(siblingEntry, sibling->GetTotalLowerKeyEntryCount());
    parent->UpdateKeyEntry(sibling->GetKeyEntryPtr(1), siblingEntry);
  } else {
    BalanceWithLeftPage(*sibling);
    parent->SetLowerKeyEntryCount(siblingEntry, sibling->GetTotalLowerKeyEntryCount());
    parent->SetLowerKeyEntryCount(entry, GetTotalLowerKeyEntryCount());
    parent->UpdateKeyEntry(GetKeyEntryPtr(1), entry);
  }
}

}  // namespace korvel
