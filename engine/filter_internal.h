#pragma once
// The filter implementation's shared parts: key ranges of an index that answer one node of a
// prepared filter tree, and the builder that turns trees into bitmaps.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_filter.h"

namespace korvel {

// One end of a key range. The first Length bytes of Key are compared with the same bytes of
// index keys; Length 0 means the range is open on this side.
struct TKeyBound {
  std::vector<std::uint8_t> Key;
  std::size_t Length = 0;
  bool Inclusive = true;
};

struct TKeyRange {
  TKeyBound Low, High;
};

// How an index answers one node: the records whose keys lie in any of Ranges (inverted when
// Invert) are exactly those for which the node is true.
struct TIndexAnswer {
  int Slot = -1;
  std::vector<TKeyRange> Ranges;
  bool Invert = false;
};

// Walks the leaf keys of `tree` from the first position of its range towards higher keys, handing
// each key and its record number to `visit` until that returns false. False when a page could not
// be read (a lock timed out); a leaf chain that loops or leaves the leaf level raises.
template <typename TVisit>
bool WalkLeafKeys(TBTreeCursor& tree, TVisit&& visit) {
  if (!tree.GotoFirstIndexPosition()) return false;
  if (tree.Bof && tree.Eof) return true;
  const TPage* page = &tree.CurrentPage;
  TPinnedPage pinned;
  int slot = tree.KeySlot;
  const std::int32_t limit = tree.IndexFile->GetNextEndingPageNumber(tree.IndexSlot);
  for (std::int32_t pages = 0;; ++pages) {
    for (; slot <= page->KeyEntryCount; ++slot)
      if (!visit(page->GetKeyEntryPtr(slot), page->GetRecordNumber(slot))) return true;
    const std::int32_t right = page->RightPageNumber;
    if (right == 0) return true;
    // A leaf chain longer than the file has pages is a loop.
    if (pages > limit) tree.RaiseIndexError(KORVEL_INDEXCORRUPT);
    if (!tree.TryFetchPage(right, pinned)) return false;
    if (pinned->IsFree || !pinned->IsLeaf()) tree.RaiseIndexError(KORVEL_INDEXCORRUPT);
    page = pinned.get();
    slot = 1;
  }
}

// Record-by-record evaluation copies records out in runs of at most this many bytes, and reads
// the records between two candidates when at most kScanGap records apart.
inline constexpr std::size_t kScanBytes = 64 * 1024;
inline constexpr std::uint32_t kScanGap = 8;

// A TEXTSEARCH predicate on a text-indexed field: TEXTSEARCH(Words IN field), alone or
// compared with a boolean constant (Invert: the records for which it is false).
struct TTextSearchNode {
  std::uint16_t Field = 0;
  std::string Words;
  bool Invert = false;
  bool Exact = true;  // the word keys alone answer it (no prefix that also begins a stop word)
};

// Cost-decision flag kept in TExpToken::OptimizeWork1.
inline constexpr std::uint8_t kDemotedByCost = 1;

// Works on one filter of one cursor: levels, key ranges, bitmaps. Every walk and record read
// answers false when it met a change by another session (the rebuild then starts over).
class TFilterBuilder {
 public:
  TFilterBuilder(TDataCursor& cursor, TFilter* filter) : cursor_(cursor), filter_(filter) {}

  // Levels, counts and costs of every node (filter_optimize.cpp).
  TOptimizeLevel GetExpressionOptimizeLevel(TExpToken* node);
  // Whether an index answers the node alone, and how (filter_optimize.cpp).
  bool AnalyzeIndexedNode(const TExpToken* node, TIndexAnswer* answer) const;
  // The index to use for a field: the first (primary first) whose first key field it is and
  // whose keys can answer it (filter_optimize.cpp).
  int ChangeToIndexForField(std::uint16_t fieldNumber, bool caseInsensitive) const;

  // bitmap enters with the candidates and leaves with those for which node is true.
  bool EvaluateFilter(TRecordsBitmap& bitmap, TExpToken* node);
  bool BuildIndexedBitmap(TRecordsBitmap& bitmap, const TIndexAnswer& answer, std::int32_t count);
  bool BuildNonIndexedBitmap(TRecordsBitmap& bitmap, TExpToken* node);
  // The first set bit of 1 ... total at or after `from`, or 0.
  static std::uint32_t NextCandidate(const TRecordsBitmap& bitmap, std::uint32_t from, std::uint32_t total);
  // Sets the bit of every key of the range (ascending keys of index slot).
  bool NavigateIndexedRecords(int slot, const TKeyRange& range, TRecordsBitmap& bitmap);
  // Number of keys in the range, from the key counts of the pages (an estimate when the range
  // has exclusive ends); -1 when a walk met a change.
  std::int32_t CountIndexedRecords(int slot, const TKeyRange& range);
  // Every key of index slot from `low` (tree order) while `within` holds.
  bool WalkTree(int slot, const std::vector<std::uint8_t>* start, TRecordsBitmap& bitmap,
                const std::vector<std::uint8_t>* end);

  // TEXTSEARCH predicates (filter_text_search.cpp).
  bool AnalyzeTextSearchNode(const TExpToken* node, TTextSearchNode* answer) const;
  bool BuildTextSearchNodeBitmap(TRecordsBitmap& bitmap, const TTextSearchNode& node);
  // ANDs into bitmap the records whose field holds every word of the search text, from the
  // word keys; stop words match every record, as they do record by record.
  bool BuildTextSearchBitmap(TRecordsBitmap& bitmap, std::uint16_t field, const std::string& words);

  // The live records: every record when none is free, else the live keys of the record index.
  bool UpdateDeletedBitmap(TRecordsBitmap& live);
  // The records whose keys in the cursor's index lie in its range.
  bool UpdateRangeBitmap(TRecordsBitmap& range);

 private:
  TDataCursor& cursor_;
  TFilter* filter_;
};

// Reads field values of stored records for the evaluator (owner: the TFilter).
void FetchFilterField(void* owner, const void* recordBuffer, TExpToken& field);
// TEXTSEARCH and TEXTOCCURS for filter evaluation (owner: the TFilter).
const TExpressionHooks* FilterExpressionHooks();
// Resolves field names against the cursor's table (owner: the TDataCursor).
bool ResolveFilterField(void* owner, TExpToken& field);

}  // namespace korvel
