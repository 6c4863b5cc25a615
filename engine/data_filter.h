#pragma once
// Filters of a cursor. A filter is an expression (parsed text or a ready token tree) or a
// callback; each keeps a bitmap with one bit per physical record of the records that pass.
// The cursor ANDs the bitmaps of its active filters with the records of its key range and the
// live (not deleted) records into the visible set that navigation reads, so navigation never
// evaluates a filter record by record.
//
// Expression filters are optimised: each node of the prepared tree carries an optimisation
// level. A node that an index answers (a comparison, IN, BETWEEN, IS NULL of a field or
// UPPER(field) against constants) is olFull and is built by walking the key range of that index
// and setting bits from the key pages, without reading records; AND evaluates its right side
// only on the survivors of its left; what no index answers is evaluated record by record on the
// candidates left. Whatever the level, a filter selects exactly the records for which the
// expression evaluates to true: the index answer is a shortcut, never a different answer, and a
// node whose index answer could differ (ranges over raw-byte keys of unsigned integers and
// extended floats) is never answered from the index.
//
// Bitmap sizes: every bitmap has N = physical records used bits.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "expr/exp_token.h"
#include "expr/expression_evaluator.h"
#include "support/records_bitmap.h"

namespace korvel {

class TDataCursor;

// The maximum number of filters one cursor carries.
inline constexpr std::size_t kMaxFilters = 64;

struct TFilterOptions {
  bool NoPartialCompare = false;  // "abc*" is a literal, not a prefix
  bool CaseInsensitive = false;   // "=" and "<>" on strings ignore case
  bool Cost = false;              // demote costly index parts; count and invert when most match
  bool Count = false;             // count the keys of index-answerable parts
  bool Chained = false;           // kept after the unchained filters; starts from those before it
};

// A callback filter: true when the record passes. Called with the dataset given to AddFilter,
// the cursor, the record image and its physical record number.
using TFilterCallback =
    std::function<bool(void* dataset, TDataCursor& cursor, const std::uint8_t* record, std::int32_t recordNumber)>;

class TFilter {
 public:
  TFilter(TDataCursor& cursor, int handle);
  ~TFilter();
  TFilter(const TFilter&) = delete;
  TFilter& operator=(const TFilter&) = delete;

  // The bitmap of the records that pass, built from `candidates` (the filter's starting set).
  // False when an index walk or record read met a change made by another session: the whole
  // visible set must then be rebuilt.
  bool Update(const TRecordsBitmap& candidates);
  // After the cursor wrote record n: set its bit, clear it again if the record fails.
  void UpdateRecord(std::int32_t n, const std::uint8_t* record);
  void DeleteRecord(std::int32_t n);
  // Replaces the expression (the filter then owns `tree`) and recomputes the levels.
  void ResetFilterExpression(TExpToken* tree, bool ownsTree);
  // Computes the optimisation levels, counts and costs of the tree.
  void GetCostOptimizeLevel();
  // Whether the record passes, evaluated on the record itself.
  bool EvaluateRecord(const std::uint8_t* record, std::int32_t n);

  TDataCursor& Cursor;
  const int Handle;
  bool OwnsExpression = false;
  TExpToken* Expression = nullptr;
  void* Dataset = nullptr;
  TFilterCallback Callback;
  std::unique_ptr<TRecordsBitmap> Bitmap;
  bool Active = false;
  bool IsCallback = false;
  TOptimizeLevel Level = olNone;
  TFilterOptions Options;

 private:
  friend class TFilterBuilder;
  friend void FetchFilterField(void* owner, const void* recordBuffer, TExpToken& field);
  TExpressionEvaluator evaluator_;
  std::vector<std::uint8_t> blobScratch_;  // a copy of the record while a BLOB value is read
  std::vector<std::uint8_t> scanBuffer_;   // records copied out for record-by-record evaluation
};

// The filter list of one cursor and the bitmaps it combines.
class TCursorFilters {
 public:
  TCursorFilters();
  ~TCursorFilters();
  TCursorFilters(const TCursorFilters&) = delete;
  TCursorFilters& operator=(const TCursorFilters&) = delete;

  TFilter* Find(int handle) const;
  bool AnyActive() const;

  std::vector<std::unique_ptr<TFilter>> List;  // unchained first, then chained
  std::unique_ptr<TRecordsBitmap> RangeRecords;
  std::unique_ptr<TRecordsBitmap> LiveRecords;
  int NextHandle = 1;
  bool Rebuilding = false;  // re-entry guard of the visible-set rebuild
  // Times the rebuild started again because an index walk met a concurrent change.
  std::uint32_t Restarts = 0;
};

// The combined level of two filters: both none → none, both full → full, else partial.
TOptimizeLevel EvaluateOptimizeLevels(TOptimizeLevel a, TOptimizeLevel b);

// Mirrors a top-level comparison whose field stands on the right (under top-level NOTs too),
// so that the field is on the left: 5 < x becomes x > 5.
void NormalizeFilter(TExpToken* root);

// Parses, checks (fields through resolver), normalises and prepares a filter text; the caller
// owns the tree returned. 10051 when the text does not parse or check, or is not boolean.
TExpToken* PrepareFilterExpression(const std::string& text, const std::string& tableName,
                                   const std::string& databaseName, bool (*resolver)(void*, TExpToken&),
                                   void* owner, const TFilterOptions& options, std::uint16_t sortId,
                                   std::uint16_t languageId);

}  // namespace korvel
