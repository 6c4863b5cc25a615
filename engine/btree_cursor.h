#pragma once
// The page-walking part of a table cursor: the position in one index's B-tree (a private copy
// of the current leaf, the slot in it and the key's ordinal), the path of the last descent
// (per level the parent page and the entry taken), the key comparison of the index, and the
// operations that walk pages: searching, adding, removing and updating keys, going to the first
// and last keys, stepping along the leaf chain, and positioning by logical record number (the
// 1-based ordinal of a key in index order, which the lower key counts of node entries give in
// one descent). The full table cursor derives from this class and adds records, ranges as
// record values, filters, bookmarks and change detection on top.
//
// Ordinals: CursorPosition is always the ordinal of the key held (KeySlot on CurrentPage). A
// step past either end leaves the last (first) key held and sets Eof (Bof); both flags set
// mean there is no key at all.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/index_page.h"
#include "support/language.h"

namespace korvel {

class TDataCursor;
class TRecordsBitmap;

inline constexpr int kMaxIndexLevels = 64;

// How one key field compares when the table has a language (collated strings).
struct TKeySegment {
  bool IsString = false;          // collated text; anything else compares as bytes
  std::uint16_t IndexedSize = 0;  // value bytes after the null-flag byte
  bool Descending = false;        // this field descends
};

class TBTreeCursor;

// A page pinned in the cache for as long as this object lives.
class TPinnedPage {
 public:
  TPinnedPage() = default;
  TPinnedPage(TBTreeCursor* cursor, TPage* page) : cursor_(cursor), page_(page) {}
  TPinnedPage(TPinnedPage&& other) noexcept : cursor_(other.cursor_), page_(other.page_) { other.page_ = nullptr; }
  TPinnedPage& operator=(TPinnedPage&& other) noexcept;
  TPinnedPage(const TPinnedPage&) = delete;
  TPinnedPage& operator=(const TPinnedPage&) = delete;
  ~TPinnedPage() { Release(); }

  void Release();
  TPage* get() const { return page_; }
  TPage* operator->() const { return page_; }
  TPage& operator*() const { return *page_; }
  explicit operator bool() const { return page_ != nullptr; }

 private:
  TBTreeCursor* cursor_ = nullptr;
  TPage* page_ = nullptr;
};

class TBTreeCursor {
 public:
  TBTreeCursor();
  virtual ~TBTreeCursor() = default;
  TBTreeCursor(const TBTreeCursor&) = delete;
  TBTreeCursor& operator=(const TBTreeCursor&) = delete;

  // Selects index `slot` of the file and loads its attributes; clears path and position.
  void SetIndex(TBTreeIndexFile* file, int slot);
  // The table's collation and, for a table with a language, how each key field compares.
  void SetKeyCollation(std::uint16_t languageId, std::uint16_t sortId, const std::vector<TKeySegment>& segments);

  // --- key comparison: -1, 0 or 1 over `length` bytes ---
  int CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) const {
    // The common case, plain byte order, stays inline: page scans compare keys in a loop.
    // Without a language the word index's zero-padded words order as plain bytes too.
    if (!collated_ && IndexSlot != kSysDeletedSlot && (IndexSlot != kSysTextSlot || (!CaseInsensitive && !Descending))) {
      int r = CompareKeyBytes(a, b, length);
      return Descending ? -r : r;
    }
    return CompareSpecialKeys(a, b, length);
  }

  // --- searching and changing the tree ---
  // Descends to the key; true when the leaf holds it. The path and the leaf position are kept.
  bool SearchIndexKeys(const std::uint8_t* key);
  bool VerifyIndexKey(const std::uint8_t* key, std::int32_t recordNumber);
  // Whether adding the key would break uniqueness (unique indexes and the system indexes).
  bool CheckForKeyViolation(const std::uint8_t* key);
  // Inserts the key for the record. A key already present raises KORVEL_KEYVIOL, the tree
  // unchanged.
  void AddIndexKey(const std::uint8_t* key, std::int32_t recordNumber);
  // Removes the key; KORVEL_INDEXCORRUPT (naming the index) when it is absent.
  void RemoveIndexKey(const std::uint8_t* key);
  // Replaces the old key (KORVEL_INDEXCORRUPT when absent) by the new one. A new key that is
  // already present raises KORVEL_KEYVIOL before anything changes.
  void UpdateIndexKey(const std::uint8_t* oldKey, const std::uint8_t* newKey, std::int32_t recordNumber);
  void BeginIndexKeyInsert(const std::uint8_t* key, std::int32_t recordNumber);
  void BeginIndexKeyDelete(const std::uint8_t* key);

  // --- navigation. Each returns false when a page could not be read for want of the table's
  // read lock (the caller retries from the root); the position is then unchanged or reset. ---
  bool GotoFirstIndexPosition();
  bool GotoLastIndexPosition();
  // The right (left) neighbour of the current leaf, positioned on its first (last) key; false
  // with lockFailed false when there is none.
  bool GotoRightPage(bool& lockFailed);
  bool GotoLeftPage(bool& lockFailed);
  // Moves |n| visible keys forwards (n > 0) or backwards, stopping at either end.
  bool SkipIndexKeys(std::int32_t n);
  // Positions on the key of ordinal n (clamped to 1 ... key count), or with a filter on the
  // nearest visible key after it (else before it). `exact` tells whether ordinal n was reached.
  bool GotoLogicalRecordNumber(std::int32_t n, bool* exact = nullptr);
  // Keys in the index (the sum of the root's counts; a leaf walk without key counts).
  std::int32_t GetIndexKeyCount();
  void ResetIndexPosition();

  // The current key and its record; null / 0 without a current key.
  const std::uint8_t* GetKeyEntryPtr() const;
  std::int32_t GetPhysicalRecordNumber() const;

  // --- range and filter that navigation honours ---
  void SetBeginIndexRange(const std::uint8_t* key);
  void SetEndIndexRange(const std::uint8_t* key);
  void ActivateRange(bool active) { RangeActive = active; }
  // A bitmap of visible record numbers, or null for all.
  void SetVisibleRecords(const TRecordsBitmap* bitmap) { VisibleRecords = bitmap; }

  // --- the index's second page chain (data pages from DataRootPageNumber) ---
  // Appends a data page (type 4) to the end of the chain; pinned until the result goes.
  TPinnedPage AddDataPage();
  // Frees every page of the chain; the data root becomes 0.
  void FreeDataPages();
  // Page numbers of the chain in order.
  std::vector<std::int32_t> GetDataPageNumbers();

  // --- the path of the last descent ---
  int GetCurIndexLevel() const { return curIndexLevel_; }
  void SetCurIndexLevel(int level) { curIndexLevel_ = level; }
  void IncCurIndexLevel();
  void DecCurIndexLevel() {
    if (curIndexLevel_ > 1) --curIndexLevel_;
  }
  std::int32_t GetParentPageNumber(int level) const { return parentPageNumbers_[Index(level)]; }
  void SetParentPageNumber(int level, std::int32_t number) { parentPageNumbers_[Index(level)] = number; }
  int GetIndexKeyCounter(int level) const { return indexKeyCounters_[Index(level)]; }
  void SetIndexKeyCounter(int level, int pos) { indexKeyCounters_[Index(level)] = pos; }
  void ClearIndexKeyCounters() { indexKeyCounters_.fill(0); }
  void ClearParentPageNumbers() { parentPageNumbers_.fill(0); }

  // --- page access for the page steps ---
  // Raises when the page cannot be had (KORVEL_LOCKTIMEOUT) or is no page of this tree.
  TPinnedPage FetchPage(std::int32_t number);
  // False when the read lock failed.
  bool TryFetchPage(std::int32_t number, TPinnedPage& page);
  TPinnedPage NewPage();
  void FreePage(TPage& page);
  void PutPage(TPage* page);
  // Adds `delta` to the counts of the entries taken on the way down to `leafLevel` (undoes what
  // a descent for insertion or deletion did there).
  void AdjustPathCounts(int leafLevel, std::int32_t delta);
  std::int32_t GetRootPageNumber() const;
  void SetRootPageNumber(std::int32_t number);
  [[noreturn]] void RaiseIndexError(TErrorCode code) const;

  // Index attributes (from the definition).
  TBTreeIndexFile* IndexFile = nullptr;  // not owned
  int IndexSlot = 0;
  std::uint16_t KeySize = 0;
  bool Descending = false;
  bool Unique = false;
  bool CaseInsensitive = false;
  bool NoKeyCounts = false;
  std::uint8_t Compression = 0;
  std::uint16_t LanguageID = 0;
  std::uint16_t SortID = 0;
  // Handed to the index file for read locks; the table cursor sets itself here.
  TDataCursor* LockCursor = nullptr;

  // Position.
  TPage CurrentPage;             // private copy of the leaf holding the current key
  int KeySlot = 0;               // the key's slot in CurrentPage, from 1; 0 without one
  std::int32_t CursorPosition = 0;  // ordinal of the key held
  bool Bof = true;
  bool Eof = true;

  // Range and filter.
  bool RangeActive = false;
  std::vector<std::uint8_t> RangeStartKey;  // KeySize bytes
  std::vector<std::uint8_t> RangeEndKey;
  const TRecordsBitmap* VisibleRecords = nullptr;  // not owned

  // Implementation details follow.
 private:
  static std::size_t Index(int level) {
    return static_cast<std::size_t>(level < 1 ? 0 : (level > kMaxIndexLevels ? kMaxIndexLevels : level));
  }
  using TPathPins = std::array<TPinnedPage, kMaxIndexLevels + 1>;
  // Descends to the leaf for `key` (insertion or deletion scans), adding `delta` to the count of
  // every entry taken and keeping each page of the path pinned in `path`, so that the page steps
  // that follow find their parents in the cache. A failure on the way takes the counts back.
  // Returns the leaf's level.
  int DescendForChange(const std::uint8_t* key, std::int32_t delta, bool insert, TPathPins& path);
  bool IsVisible(std::int32_t recordNumber) const;
  // Descends to the key; true with its leaf entry's record number when present.
  bool FindKeyRecord(const std::uint8_t* key, std::int32_t& recordNumber);
  bool BeyondRangeEnd(const std::uint8_t* key) const;
  bool BelowRangeStart(const std::uint8_t* key) const;
  // A leaf chain is never longer than the file has pages: more page steps in one navigation
  // operation mean a chain closed into a ring by a damaged link (KORVEL_INDEXCORRUPT).
  void CountPageStep();
  // Steps one key along the leaf chain; false at the end (position unchanged) or when the lock
  // failed (lockFailed set).
  bool StepForward(bool& lockFailed);
  bool StepBackward(bool& lockFailed);
  // From the held key onwards (backwards), the first visible key within the range.
  bool SeekVisibleForward(bool& found);
  bool SeekVisibleBackward(bool& found);
  void CheckTreePage(const TPage& page) const;
  int CompareCollated(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) const;
  // Descends along the first (or last) entries, or the range's start (or end), to a leaf and
  // positions there; `empty` when the index has no root. False when a read lock failed.
  bool DescendToEdge(bool first, bool& empty);
  // The system slots and tables with a language.
  int CompareSpecialKeys(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) const;

  int curIndexLevel_ = 1;
  std::array<std::int32_t, kMaxIndexLevels + 1> parentPageNumbers_{};
  std::array<int, kMaxIndexLevels + 1> indexKeyCounters_{};
  std::vector<TKeySegment> segments_;
  bool collated_ = false;  // the table has a language: field-by-field comparison
  std::int32_t pageSteps_ = 0;  // leaf pages stepped over by the navigation operation running
};

}  // namespace korvel
