#pragma once
// B-tree pages of the index file: TPage decodes and encodes one 4,096-byte page, holds its key
// entries in a fixed-width form in memory, and carries out the page-level steps of inserting
// (with splitting), deleting (with balancing, merging and freeing), searching, range
// positioning and counting. The cursor (TBTreeCursor) drives the descent and keeps the path.
//
// Page on disk (all integers little-endian; the whole 4,096 bytes are scrambled with the
// table-data seed pair when the table is encrypted, which the index file does around Read and
// Write):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       1     PageType: 0 root node, 1 node, 2 leaf, 3 root leaf, 4 data page
//   1       2     KeyEntryCount: entries on the page; 0 for a free page
//   3       4     LeftPageNumber: previous page of the same level, 0 if none
//   7       4     RightPageNumber: next page of the same level, 0 if none; of a free page the
//                 next free page of the index
//   11      2     CompressedSize: body bytes used by a compressed leaf, 0 otherwise
//   13      4083  body: the entries one after another from offset 13, zero-filled after them
//
//   +--------+-------------+-------------+-----+-------------+------------------+
//   | header | entry 1     | entry 2     | ... | entry n     | zeros            |
//   +--------+-------------+-------------+-----+-------------+------------------+
//
// Entries in the body (K = KeySize of the index):
//   node              key (K), child page number (4), lower key count (4, absent when the
//                     index keeps no key counts)
//   leaf, mode 0      key (K), record number (4)
//   leaf, mode 1      dup (1), key[dup .. K), record number (4)
//   leaf, mode 2      trail (1), key[0 .. L - trail), [key[K-4 .. K) if not unique], record (4)
//                     where L = K for a unique index and K - 4 otherwise
//   leaf, mode 3      dup (1), trail (1), then for a unique index or when fewer than 5 bytes
//                     remain after the duplicate ones key[dup .. K - trail), otherwise
//                     key[dup .. K - trail - 4) and key[K-4 .. K); record number (4)
//   data page         4,083 raw bytes
// dup = leading bytes shared with the previous key (at most 254, 0 for the first entry);
// trail = trailing zero bytes dropped (at most 254; the record ID of a non-unique key is never
// dropped). Decoding restores the leading bytes from the previous entry and the trailing ones
// as zeros.
//
// Entry in memory (fixed width, K + 10 bytes, so that pages binary-search and block-move):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       K     key
//   K       4     leaf: record number; node: child page number
//   K + 4   4     node: keys in the child's subtree; unused in a leaf (a leaf entry counts 1)
//   K + 8   1     dup count, as it is encoded (compressed leaves)
//   K + 9   1     trail count, as it is encoded (compressed leaves)
//
// Invariants, one sentence each:
//   - the keys on a page ascend strictly under the index's key comparison;
//   - the key of a node entry equals the first key of the subtree its child page heads;
//   - the lower key count of a node entry equals the number of leaf keys below it;
//   - the pages of one level are chained left to right in key order through their links;
//   - a node or uncompressed leaf holds at most GetMaximumKeyEntries entries, a compressed
//     leaf at most 4,083 encoded bytes;
//   - a node or uncompressed leaf that is not the root holds at least half of its maximum,
//     except while a deletion is working on it; compressed leaves are only freed when empty;
//   - a root node holds at least two entries;
//   - a free page is on its own index's free chain, which runs through right links.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/index_file.h"

namespace korvel {

class TBTreeCursor;
class TRecordsBitmap;
struct TSplitReserve;

// Page types.
inline constexpr std::uint8_t ptRootNode = 0;
inline constexpr std::uint8_t ptNode = 1;
inline constexpr std::uint8_t ptLeaf = 2;
inline constexpr std::uint8_t ptRootLeaf = 3;
inline constexpr std::uint8_t ptDataPage = 4;

// One B-tree page of an index, decoded.
class TPage : public TPageBuffer {
 public:
  static constexpr std::size_t kEntryExtraBytes = 10;  // record/child, count, dup, trail
  static constexpr std::size_t kMaxKeySize = kMaxIndexedKeyBytes + 4;  // with the record ID
  static constexpr int kMaxCompressionCount = 254;
  static constexpr std::size_t kBalanceBufferSize = 3 * kPageBodySize;  // 12,249

  explicit TPage(TIndexFile* owner);

  // Decodes the page (KORVEL_INDEXCORRUPT for a body that does not decode within its 4,083
  // bytes, a count beyond the page's capacity, or an unknown page type; the page is then left
  // empty). With `reuse` the page has no entries.
  void Read(const std::uint8_t* buffer, bool reuse) override;
  // Encodes the page into 4,096 bytes and clears Modified. KORVEL_INDEXCORRUPT when the
  // entries do not fit.
  void Write(std::uint8_t* buffer) override;
  void Initialize() override;

  bool IsLeaf() const { return PageType == ptLeaf || PageType == ptRootLeaf; }
  bool IsNode() const { return PageType == ptRootNode || PageType == ptNode; }
  bool IsRoot() const { return PageType == ptRootNode || PageType == ptRootLeaf; }
  bool IsCompressedLeaf() const { return IsLeaf() && Compression != 0; }
  // Node entries carry lower key counts unless the index keeps none (and never in the full-text
  // index).
  bool KeepsKeyCounts() const { return !NoKeyCounts && IndexSlot != kSysTextSlot; }

  // --- encoding ---
  // Encodes the entries into the 4,083-byte body `body`; returns the bytes used.
  std::size_t CompressPageData(std::uint8_t* body) const;
  // Decodes KeyEntryCount entries from the body; false when they do not decode soundly.
  bool UnCompressPageData(const std::uint8_t* body, std::size_t bodySize);
  // Recounts the dup and trail bytes of every entry and the encoded size of a compressed leaf.
  void CalculateCompressedSize();
  // Encoded body bytes of the entries (any page kind).
  std::size_t GetEncodedSize() const;
  bool PageDataOverflowed() const;
  // Entries a node or uncompressed leaf holds; compressed leaves are limited by bytes only.
  int GetMaximumKeyEntries() const;

  // --- entries, positions 1 ... KeyEntryCount ---
  std::size_t EntrySize() const { return static_cast<std::size_t>(KeySize) + kEntryExtraBytes; }
  std::uint8_t* GetKeyEntryPtr(int pos) { return entries_.data() + static_cast<std::size_t>(pos - 1) * EntrySize(); }
  const std::uint8_t* GetKeyEntryPtr(int pos) const {
    return entries_.data() + static_cast<std::size_t>(pos - 1) * EntrySize();
  }
  std::int32_t GetRecordNumber(int pos) const;
  void SetRecordNumber(int pos, std::int32_t number);
  // 1 in a leaf.
  std::int32_t GetLowerKeyEntryCount(int pos) const;
  // Ignored in leaves and in indexes without key counts.
  void SetLowerKeyEntryCount(int pos, std::int32_t count);
  // Leaf: its entry count; node: the sum of its counts.
  std::int32_t GetTotalLowerKeyEntryCount() const;
  // Keys before entry pos: leaf pos - 1; node: the counts of entries 1 ... pos - 1.
  std::int32_t GetPageKeyCount(int pos) const;
  int GetDuplicateCount(int pos) const { return GetKeyEntryPtr(pos)[KeySize + 8]; }
  int GetTrailingCount(int pos) const { return GetKeyEntryPtr(pos)[KeySize + 9]; }
  // Sets the entry count, growing the buffer as needed and zeroing everything after the last
  // entry.
  void SetNumberOfKeyEntries(int count);
  // Inserts a copy of `key` after position pos (0: first); pos becomes the new entry's. Its
  // record number and count are 0.
  void InsertKeyEntry(const std::uint8_t* key, int& pos);
  void UpdateKeyEntry(const std::uint8_t* key, int pos);
  // Removes entry pos; pos is clamped to the new last entry.
  void DeleteKeyEntry(int& pos);
  // Makes this page a private copy of `source` (entries, header, attributes).
  void Copy(const TPage& source);

  // --- tree steps at the cursor's path position on this page ---
  // Inserts the key at the leaf and splits upwards as needed. Every page a split needs is had
  // before anything is split: when one cannot be had, the key and the counts the descent added
  // are taken out again and the error passes on with the tree as it was.
  void InsertIndexKey(TBTreeCursor& cursor, const std::uint8_t* key, std::int32_t lowerCount, std::int32_t number);
  void UpdateUpperIndexKeys(TBTreeCursor& cursor, const std::uint8_t* key);
  // Removes the entry at the path's position. A compressed leaf can grow by a delete (the next
  // key loses the prefix it shared with the removed one); one that no longer fits is split,
  // or, when no page can be had for that, the entry is put back and the error passes on.
  void DeleteIndexKey(TBTreeCursor& cursor);
  void SplitIntoPage(TBTreeCursor& cursor, TPage& newPage);
  // Pools the entries of this page and its left (right) neighbour and splits them so that the
  // neighbour holds n - n div 2 of them, the left page of the pair the lower keys.
  void BalanceWithLeftPage(TPage& left);
  void BalanceWithRightPage(TPage& right);
  // Moves every entry of this page into its neighbour, which takes over this page's outer link.
  void MergeWithLeftPage(TBTreeCursor& cursor, TPage& left);
  void MergeWithRightPage(TBTreeCursor& cursor, TPage& right);

  // --- scans (binary searches under the cursor's key comparison over KeySize bytes; an empty
  // page raises KORVEL_INDEXCORRUPT). The counting scans add GetPageKeyCount of the position
  // they return to `count`. ---
  // Entry equal to the key, else the last below it, else 1; true only for an equal leaf key.
  bool SearchScan(const TBTreeCursor& cursor, const std::uint8_t* key, int& pos) const;
  // As SearchScan, but 0 when the key is below every entry.
  void InsertScan(const TBTreeCursor& cursor, const std::uint8_t* key, int& pos) const;
  void DeleteScan(const TBTreeCursor& cursor, const std::uint8_t* key, int& pos) const;
  // Equal key: that entry (true). Otherwise on a leaf with `nearest` the first entry above the
  // key if there is one, else the last entry below it (at least 1).
  bool FindScan(const TBTreeCursor& cursor, const std::uint8_t* key, bool nearest, int& pos, std::int32_t& count) const;
  // Leaf: the first entry not below `low` (the last entry when all are below); node: the last
  // entry not above `low` (at least 1).
  void FirstRangeScan(const TBTreeCursor& cursor, const std::uint8_t* low, int& pos, std::int32_t& count) const;
  void BeginRangeScan(const TBTreeCursor& cursor, const std::uint8_t* low, int& pos, std::int32_t& count) const {
    FirstRangeScan(cursor, low, pos, count);
  }
  // The last entry not above `high` (at least 1).
  void LastRangeScan(const TBTreeCursor& cursor, const std::uint8_t* high, int& pos, std::int32_t& count) const;
  void EndRangeScan(const TBTreeCursor& cursor, const std::uint8_t* high, int& pos, std::int32_t& count) const {
    LastRangeScan(cursor, high, pos, count);
  }
  void FirstScan(int& pos) const;
  void LastScan(int& pos, std::int32_t& count) const;
  // Node: the last entry not above `low` (the subtree that may hold it); false. Leaf: the first
  // entry not below `low`: true when it equals `low`, or (unless `strict`) when it lies within
  // `high`; false otherwise.
  bool FindRangeScan(const TBTreeCursor& cursor, const std::uint8_t* low, const std::uint8_t* high, bool strict,
                     int& pos, std::int32_t& count) const;
  // How many consecutive entries from `position` (rightwards when `forward`, at most `count`)
  // have record numbers stepping by exactly +1 (-1 backwards); the last record number.
  int CountSequentialRecords(int count, bool forward, int position, std::int32_t& lastRecord) const;
  // From entry pos onwards (backwards), the first entry whose record is set in the bitmap: true
  // with pos on it; `steps` counts the entries passed over. False at the end of the page, pos
  // on the last entry examined.
  bool FilterScanForward(const TRecordsBitmap& bitmap, int& pos, std::int32_t& steps) const;
  bool FilterScanBackward(const TRecordsBitmap& bitmap, int& pos, std::int32_t& steps) const;
  // The same, also stopping (false) at an entry beyond the range key (above it forwards, below
  // it backwards).
  bool FilterRangeScanForward(const TBTreeCursor& cursor, const TRecordsBitmap& bitmap, const std::uint8_t* high,
                              int& pos, std::int32_t& steps) const;
  bool FilterRangeScanBackward(const TBTreeCursor& cursor, const TRecordsBitmap& bitmap, const std::uint8_t* low,
                               int& pos, std::int32_t& steps) const;
  // Sets the bit of every entry's record number from pos up to the last entry not above `high`;
  // true when the page's last entry was reached (the caller continues on the right page).
  bool FilterSetIndexedBits(TRecordsBitmap& bitmap, int pos, const TBTreeCursor& cursor, const std::uint8_t* high) const;

  // Implementation details follow.
 private:
  [[noreturn]] void RaiseCorrupt() const;
  void CheckNotEmpty() const;
  // Pins every page the split of this overflowing page will touch (the parents that overflow in
  // turn, each splitting page's right neighbour) and takes the new pages, so that nothing can
  // fail once the split has begun.
  void ReserveSplitPages(TBTreeCursor& cursor, TSplitReserve& reserve);
  // Splits this overflowing page at the cursor's level and inserts the new page into the
  // parent, recursively, with pages from the reserve.
  void SplitUpwards(TBTreeCursor& cursor, TSplitReserve& reserve);
  // After a delete from a compressed leaf: splits the leaf when it no longer fits; true when it
  // did. `removed` is the entry taken out at `removedPos`, put back when no page can be had.
  bool SplitAfterDelete(TBTreeCursor& cursor, const std::uint8_t* removed, int removedPos);
  void InsertEntry(TBTreeCursor& cursor, const std::uint8_t* key, std::int32_t lowerCount, std::int32_t number,
                   TSplitReserve& reserve);
  // Largest position whose key is <= key (0 if none); `equal` when it is equal.
  int ScanNotAbove(const TBTreeCursor& cursor, const std::uint8_t* key, bool& equal) const;
  // Largest position whose key is < key (0 if none).
  int ScanBelow(const TBTreeCursor& cursor, const std::uint8_t* key) const;
  void EnsureCapacity(int count);
  // Dup and trail counts of entry pos against its predecessor, and its encoded size.
  void ComputeCounts(int pos, int& dup, int& trail) const;
  std::size_t EncodedEntrySize(int dup, int trail) const;
  // Re-derives the counts of entry pos, adjusting the encoded size.
  void RecountEntry(int pos);
  // Opens `count` entries before position pos (1 ... KeyEntryCount + 1), uncounted.
  void OpenEntries(int pos, int count);
  void CloseEntries(int pos, int count);
  // Moves entries between pages (whole entries, counts included).
  static void MoveEntries(TPage& from, int fromPos, int count, TPage& to, int toPos);
  void SetDataSize(std::size_t size);

  std::vector<std::uint8_t> entries_;  // fixed-width entries; capacity a multiple of 4,096
  std::size_t dataSize_ = 0;           // encoded bytes of a compressed leaf
};

// An index file whose cache holds B-tree pages: the form every table opens.
class TBTreeIndexFile : public TIndexFile {
 public:
  using TIndexFile::TIndexFile;

 protected:
  std::unique_ptr<TPageBuffer> CreatePageObject() override { return std::make_unique<TPage>(this); }
};

}  // namespace korvel
