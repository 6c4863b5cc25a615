#pragma once
// Shared parts of verification and repair (engine/table_repair.h): the log of one run and the
// header steps, which read and fix the raw header bytes of each file before the table opens.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "engine/data_file.h"
#include "engine/index_file.h"
#include "engine/table_repair.h"
#include "support/files.h"

namespace korvel {

// The log of one run. A finding is one line: the verify form names the problem, the repair
// form adds how it was dealt with. Silent logs count findings without writing lines (the header
// steps run once more, quietly, on a verification's scratch copy).
class TRepairLog {
 public:
  TRepairLog(const TRepairLogCallback* callback, bool verifyOnly) : callback_(callback), verifyOnly_(verifyOnly) {}

  bool VerifyOnly() const { return verifyOnly_; }
  void SetSilent(bool silent) { silent_ = silent; }
  // A line that is no finding (started, completed, upgrade steps).
  void Line(const std::string& text);
  // A finding that a repair fixes: the text, then `fixed` (", error fixed" by default).
  void Fixed(const std::string& text, const std::string& fixed = ", error fixed");
  // A finding no repair can fix: the text, then `unfixable` when repairing.
  void Unfixable(const std::string& text, const std::string& unfixable = ", error cannot be fixed");
  std::int32_t Problems() const { return problems_; }
  std::int32_t Unfixed() const { return unfixed_; }

 private:
  const TRepairLogCallback* callback_;
  bool verifyOnly_;
  bool silent_ = false;
  std::int32_t problems_ = 0;
  std::int32_t unfixed_ = 0;
};

// The table header and field definitions as the header step leaves them.
struct TDataHeaderState {
  bool Readable = false;        // header and definitions could be read at all
  bool LayoutKnown = false;     // the records can be read through the (fixed) layout
  bool IndexesInvalid = false;  // a finding that changes what keys are built from
  bool Changed = false;         // something differs from the file
  std::int64_t RecordAreaEnd = -1;  // where a repair cuts a partial record off, or -1
  TDataHeader Header;
  std::vector<TFieldDefinition> Fields;
};

// Reads the table header and field definitions of an open data file and checks them; with
// `apply`, the fixed header and definitions are written back (and a partial record cut off).
// A table of an older format version raises KORVEL_OLDVERSION.
void RepairDataHeader(TFileHandler& file, const std::string& tableName, TRepairLog& log, bool apply,
                      TDataHeaderState& state);

// Reads the index header of an open index file and checks it against the fields; `missing`: the
// file did not exist (a repair created it empty, `file`; a verification passes null). With
// `apply` the fixed header is written. True when the indexes can still be believed valid.
bool RepairIndexHeader(TFileHandler* file, bool missing, const TDataHeaderState& data, TRepairLog& log, bool apply);

// Checks the BLOB header of an open BLOB file (null: missing) against the block size of the data
// header, which may be fixed here when the file shows a different one; with `apply` the fixed
// header is written and a partial block cut off. False when the data header was changed.
bool RepairBlobHeader(TFileHandler* file, bool missing, TDataHeaderState& data, TRepairLog& log, bool apply);

// Writes the data header and definitions of `state` to the data file.
void WriteDataHeaderState(TFileHandler& file, const TDataHeaderState& state);

}  // namespace korvel
