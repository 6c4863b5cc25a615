#pragma once
// The journal of a rebuild (optimise, copy, restructure): a small file next to the table being
// replaced, "<table>.WRK", that names the work table while one is being written and swapped in,
// so that a run killed at any point can be finished or undone by the next opener.
//
// Format (text, one item per line):
//   line 1  the work table's name
//   line 2  "build" while the work table is written, "swap" once it is complete
//   line 3  "1" when the old files are not to be kept as backups, else "0"
//   line 4  the extensions the work table has, without the dot (e.g. "DAT IDX BLB")
//
// The running operation holds an exclusive lock on the journal (flock) from its creation to
// its removal; a journal whose lock can be taken belongs to a run that died. Recovery then:
//   build  (or any phase but "swap": a journal the kill cut short) deletes the work table's
//          files; the table was never touched;
//   swap   moves every file still under the work name into place, after moving the table's
//          file of that extension (or one the new table lacks) to the backup extension;
//          without backups wanted, deletes the backups.
// Each step looks at the files as they are, so recovery may itself be killed and run again.
// In-memory tables die with their process and keep no journal.

#include <string>

namespace korvel {

class TDataDirectory;

class TMaintenanceJournal {
 public:
  // Nothing is written until Begin.
  TMaintenanceJournal(TDataDirectory* directory, const std::string& table, bool inMemory);
  // Removes the journal when the table's data file is in place (the run either finished or
  // never touched the table); otherwise leaves it for recovery.
  ~TMaintenanceJournal();
  TMaintenanceJournal(const TMaintenanceJournal&) = delete;
  TMaintenanceJournal& operator=(const TMaintenanceJournal&) = delete;

  // Before the work table's first file is created (a journal a dead run left is recovered
  // first). Raises the OS error when the journal cannot be written.
  void Begin(const std::string& workName, bool noBackup);
  // The work table is complete and closed; the swap may start.
  void BeginSwap();
  // The swap is complete: the journal goes.
  void Finish();

  // Finishes or undoes a rebuild of `table` that died, if its journal is there and no live
  // run holds it. Quiet: a failure leaves the files as they are for the next try.
  static void Recover(TDataDirectory* directory, const std::string& table, bool inMemory);

 private:
  void Write(const char* phase);

  TDataDirectory* directory_;
  std::string table_;
  std::string path_;
  std::string workName_;
  bool noBackup_ = false;
  bool active_ = false;
  int descriptor_ = -1;
};

}  // namespace korvel
