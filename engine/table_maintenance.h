#pragma once
// Table maintenance on a cursor: the structure checks, creating, deleting, renaming and
// emptying tables, adding and deleting indexes, and the rebuilds (optimise, copy, restructure)
// that write a whole new table.
//
// A TTableMaintenance works on one TDataCursor and carries the callbacks of the long
// operations. The open state each operation needs:
//
//   operation                       cursor      exclusive  writable
//   CreateTable                     closed      yes        yes      (the requested open mode)
//   DeleteTable, RenameTable        closed      -          -
//   EmptyTable, index changes       open        yes        yes
//   OptimizeTable, RestructureTable closed      yes        yes
//   CopyTable                       open        -          -        (reads under the read lock)
//
// Every structure check runs before any file is touched. The rebuilds (optimise, copy,
// restructure) write a work table under a temporary name next to the table (or in the in-memory
// database for an in-memory table) and only move it into place once it is complete: first the
// old files go to their backup names (or are deleted), then the work table takes the table's
// name. A failure before that point leaves the old table untouched. A journal kept beside the
// table during the rebuild (maintenance_journal.h) lets the next opener finish or undo a run
// that was killed at any point, so the table's name always leads to the old table or the new.
//
// Progress: percent = trunc(done x 100 / total); a report is made whenever percent has grown by
// the session's progress step (100 div its progress steps) since the last report, and 100 is
// reported at the end if it was not reported already.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"

namespace korvel {

// TDataLossCause is declared with the cursor, whose DataLostCallback reports it too.

using TProgressCallback = std::function<void(int percent)>;
// Asked once per lost value or record while stopAsking stays false. Clearing continueWork
// abandons the operation, leaving the table as it was.
using TDataLostCallback =
    std::function<void(TDataLossCause cause, const std::string& context, bool& stopAsking, bool& continueWork)>;

// Turns a running count into the progress reports of one operation.
class TProgressReporter {
 public:
  TProgressReporter(const TProgressCallback& callback, std::int64_t total, std::uint16_t step);
  void Report(std::int64_t done);
  // Reports 100 unless already reported.
  void Finish();
  int LastReported() const { return last_; }

 private:
  const TProgressCallback& callback_;
  std::int64_t total_;
  int step_;
  int last_ = 0;
};

class TTableMaintenance {
 public:
  explicit TTableMaintenance(TDataCursor& cursor);

  TProgressCallback IndexProgress;
  TProgressCallback CopyProgress;
  TProgressCallback OptimizeProgress;
  TProgressCallback RestructureProgress;
  TDataLostCallback DataLost;
  // An index is filled by sorting the keys of this many bytes of records at a time and adding
  // them in key order (fewer page reads and writes than record order).
  std::size_t FillBatchBytes = 32u << 20;

  // ---- Structure checks (table_structure_checks.cpp). They normalise the structure in place
  // (trimmed names, derived sizes, key sizes and field counts) and raise the first fault. ----
  void VerifyStructureInformation(TTableStructure& structure, bool allowNoPrimaryIndex = true,
                                  bool allowExpressions = false) const;
  void VerifyFieldInformation(bool allowExpressions, std::vector<TFieldDefinition>& fields, bool assignOffsets) const;
  void VerifyIndexInformation(TTableStructure& structure, bool allowNoPrimaryIndex) const;
  // Key size and field count of one index over `fields` (KORVEL_INVALIDIDXDESC,
  // KORVEL_SEARCHCOLREQD, KORVEL_INVALIDKEY naming `errorName`).
  void VerifyIndexDefinition(TIndexDefinition& definition, const std::vector<TFieldDefinition>& fields,
                             bool allowEmpty, const std::string& errorName) const;

  // ---- Tables (table_maintenance.cpp) ----
  void CreateTable(TTableStructure structure, bool overwrite = false);
  void DeleteTable();
  void RenameTable(const std::string& newName);
  // Renames the table's files to the backup extensions, replacing older backups.
  void InternalBackupTable();
  void EmptyTable();

  // ---- Indexes (table_indexes.cpp) ----
  void AddPrimaryIndex(TIndexDefinition definition);
  // A unique index over duplicate values fails with KORVEL_KEYVIOL and leaves the table as it
  // was, unless DataLost answers continue for every record in the way; those records are then
  // removed from the table.
  void AddSecondaryIndex(TIndexDefinition definition);
  void DeleteIndex(const std::string& name);
  void DeleteIndexByPos(int slot);
  void DeleteAllIndexes();

  // ---- Rebuilds (table_rebuild.cpp) ----
  // Rewrites the table in the order of index `indexName`: no free slots, every index rebuilt,
  // record IDs kept. Without noBackup the old files stay under the backup extensions.
  void OptimizeTable(const std::string& indexName, bool noBackup);
  // Writes the records the cursor sees, in its order, into table `destTable` of folder
  // `destDatabase` ("Memory": the in-memory database), replacing a table of that name.
  void CopyTable(const std::string& destDatabase, const std::string& destTable, bool copyIndexes);

  // ---- Restructuring (table_restructure.cpp) ----
  // Gives the closed table `structure`, keeping its records. The old fields pass their values
  // to the new fields of the same FieldNumber (a field of a number not in the old table starts
  // from its default), converted to the new types. When the stored record layout stays, the
  // records are not rewritten: only the changed indexes are rebuilt and the definitions and
  // header updated; otherwise every record is converted into a work table. Either way the work
  // is done on a copy that replaces the table only once complete.
  //
  // Data loss is offered to DataLost (cause and field or index name) until it asks to stop
  // being asked; clearing continue abandons the restructure with the table untouched, and
  // false is returned. Without a DataLost callback, values lost by deleted fields or by
  // conversions are accepted, but a record that would be dropped (key violation, validity
  // check) fails the restructure with that error (KORVEL_KEYVIOL naming the index,
  // KORVEL_MINVALERR / KORVEL_MAXVALERR / KORVEL_REQDERR naming the field) and the table
  // untouched.
  bool RestructureTable(TTableStructure structure, bool keepBackup);
  // Whether the stored form of a field differs: type, size, scale or whether it takes bytes in
  // the record. Names, descriptions, checks and defaults are properties, not layout.
  static bool FieldDefinitionHasChanged(const TFieldDefinition& oldField, const TFieldDefinition& newField);
  // Whether an index must be rebuilt: its name, fields, order, case, uniqueness or compression
  // differ.
  static bool IndexDefinitionHasChanged(const TIndexDefinition& oldIndex, const TIndexDefinition& newIndex);

 private:
  [[noreturn]] void Raise(TErrorCode code, const std::string& field = "", const std::string& index = "") const;
  void CheckExclusive() const;
  void CheckNotReadOnly() const;
  void CheckOpen() const;
  void CheckNotOpen() const;
  // Opens the table exclusively and closes it again: the header is readable and the password
  // known, and no one else holds it.
  void ProbeTable();
  // The structure of the open table, as CreateTable would take it.
  TTableStructure CurrentStructure() const;
  // Frees every page of the index at `slot` onto its free chain.
  void FreeIndexPages(int slot);
  // Frees the pages of the index at `slot` and removes its definition.
  void DropIndex(int slot);
  // Adds every live record's key to the index at `slot`; the numbers of records whose key
  // broke uniqueness are returned.
  std::vector<std::int32_t> FillIndex(int slot);
  void RemoveRecords(const std::vector<std::int32_t>& numbers);
  // Whether DataLost lets `count` losses of `cause` pass.
  bool AcceptLosses(TDataLossCause cause, const std::string& context, std::size_t count);
  // Copies every record `source` walks into the open, exclusive `dest`, keeping record IDs.
  void CopyRecords(TDataCursor& source, TDataCursor& dest, const TProgressCallback& progress,
                   bool physicalOrder);
  // Puts the work table in place of the cursor's table (old files deleted or backed up).
  void ReplaceTable(TDataDirectory* workDirectory, const std::string& workName, bool noBackup);
  // The two paths of RestructureTable; `fieldMap[i]` is the new position of old field i + 1
  // (0: deleted).
  // Both return false when DataLost abandoned the work.
  bool RestructureByCopy(const TTableStructure& structure, const std::vector<int>& fieldMap, bool keepBackup);
  bool RestructureInPlace(const TTableStructure& structure, bool keepBackup);
  // Offers one loss to DataLost; false when the work must stop.
  bool ReportLoss(TDataLossCause cause, const std::string& context);
  // Rebuilds the full-text index of the work table with the structure's text parameters, after
  // an in-place restructure changed its definition or parameters.
  void RebuildTextIndex(TDataCursor& work, const TTableStructure& structure);

  TDataCursor& cursor_;
  // Set once DataLost asked not to be asked again during the current operation.
  bool lossesAccepted_ = false;
};

// How a value survived a move into a field of another type.
enum class TValueFit : std::uint8_t {
  Kept,     // the same value
  Changed,  // cut, rounded or partly dropped (a date from a timestamp); the new value is kept
  Lost,     // unreadable, out of range or not convertible: the new field stays NULL
};
// Converts the native value of field `from` (its PhysicalSize bytes at `value`) into the
// native form of field `to` at `out` (at least 251 bytes). BLOB fields are not handled here.
TValueFit ConvertFieldValue(const TFieldDefinition& from, const std::uint8_t* value, const TFieldDefinition& to,
                            std::uint8_t* out);

}  // namespace korvel
