#pragma once
// Verification and repair of a table's three files.
//
// TTableRepair works on a closed cursor that asks for an exclusive open. RepairTable either
// verifies (every finding is logged, no byte of any file changes) or repairs (each finding is
// fixed where that can be done without losing what the files still hold, and logged with
// ", error fixed"; what cannot be fixed is logged as such and left). The run has four parts:
//
//   1. The header steps, on the raw bytes of each file before the table is opened (a header
//      that the normal open would refuse can still be looked at): the table header and field
//      definitions, the index header with every index definition, the BLOB header.
//   2. The record pass: record IDs, the free-record chain, every BLOB chain, and, while the
//      indexes are still believed valid, the keys of every record in every index.
//   3. The index rebuild, when the indexes were found invalid (or a rebuild is asked for).
//   4. The counters: the next record ID and the next BLOB signature.
//
// A verification of a table whose headers hold findings cannot read its records through those
// headers; it runs the record pass on a scratch copy of the files (in the session's private
// folder) whose headers were fixed, and deletes the copy again. The table's own files are only
// read.
//
// A repair never makes a table worse:
//   - the record layout is changed only where the file itself backs the new layout (records
//     that would otherwise be read through a wrong layout stay as they are, and the finding is
//     reported as one that cannot be fixed);
//   - a record is never dropped for a duplicate or missing record ID: it gets a new one;
//   - BLOB chains that cross into another value's blocks are cut at the crossing, and blocks no
//     value uses are given back to the free-block chain, so that no later write can overwrite
//     a live value.
//
// Log lines and progress step texts are the engine's own (fixed English texts); the callbacks
// receive one line, or one step text and a percentage, per call.

#include <cstdint>
#include <functional>
#include <string>

#include "engine/data_cursor.h"

namespace korvel {

using TRepairLogCallback = std::function<void(const std::string& line)>;
using TRepairProgressCallback = std::function<void(const std::string& step, int percent)>;

class TTableRepair {
 public:
  explicit TTableRepair(TDataCursor& cursor);

  // Receives the log lines of a run (when logWanted).
  TRepairLogCallback RepairLog;
  // Receives the step text and percentage (when progressWanted).
  TRepairProgressCallback RepairProgress;

  // True when no problem was found (a repair: when nothing was found that it could not fix).
  // The cursor must be closed and ask for an exclusive open; a repair needs a writable table.
  // A table of an older format version raises KORVEL_OLDVERSION: it needs UpgradeTable.
  bool RepairTable(bool verifyOnly, bool fixSignatures, bool forceIndexRebuild, bool logWanted = true,
                   bool progressWanted = true);

  // Findings of the last run, for callers that want more than the result flag.
  std::int32_t ProblemCount() const { return problems_; }
  std::int32_t UnfixedCount() const { return unfixed_; }

 private:
  TDataCursor& cursor_;
  std::int32_t problems_ = 0;
  std::int32_t unfixed_ = 0;
};

// "yyyy-mm-dd hh:nn:ss" of the local time now, as the started and completed lines show it.
std::string RepairTimeText();

}  // namespace korvel
