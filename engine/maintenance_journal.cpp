// The rebuild journal: see maintenance_journal.h for the format and the recovery rules.

#include "engine/maintenance_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <sstream>

#include "engine/session.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/path_helpers.h"

namespace korvel {

namespace {

constexpr const char* kJournalExt = ".WRK";

struct TExtPair {
  const char* Name;    // as listed in the journal
  const char* Table;   // the table's extension
  const char* Backup;  // its backup extension
};
constexpr std::array<TExtPair, 3> kExts{{{"DAT", kDataFileExt, kDataBackupExt},
                                         {"IDX", kIndexFileExt, kIndexBackupExt},
                                         {"BLB", kBlobFileExt, kBlobBackupExt}}};

// Writes over the old contents from the start, then cuts the rest: a kill half way leaves the
// work name whole and a phase that reads as neither, never an empty journal after a full one.
bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  if (lseek(fd, 0, SEEK_SET) != 0) return text;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > 4096) break;
  }
  return text;
}

// Moves file `from` to `to`; a file already at `to` is deleted first. False on failure.
bool MoveOver(TFileList& files, const std::string& from, const std::string& to) {
  if (files.FileExists(to, false) && files.DeleteFile(to, false) < 0) return false;
  return files.RenameFile(from, false, to) >= 0;
}

}  // namespace

TMaintenanceJournal::TMaintenanceJournal(TDataDirectory* directory, const std::string& table, bool inMemory)
    : directory_(directory), table_(table) {
  if (!inMemory) path_ = directory->GetTableFileName(table, kJournalExt);
}

TMaintenanceJournal::~TMaintenanceJournal() {
  if (descriptor_ < 0) return;
  // A table whose data file is in place is whole (old or new): the journal has nothing left
  // to do. Otherwise the swap stopped half way and the next opener finishes it.
  if (GetFileList().FileExists(directory_->GetTableFileName(table_, kDataFileExt), false)) unlink(path_.c_str());
  close(descriptor_);
}

void TMaintenanceJournal::Begin(const std::string& workName, bool noBackup) {
  if (path_.empty()) return;
  Recover(directory_, table_, false);
  workName_ = workName;
  noBackup_ = noBackup;
  descriptor_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor_ < 0 || flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = -1;
    // Another run of a rebuild of this table is alive.
    RaiseError(error == EWOULDBLOCK ? KORVEL_OSEACCES : KORVEL_WRITEERR, "", "",
               directory_->GetProperDataDirectoryName(), table_);
  }
  Write("build");
}

void TMaintenanceJournal::BeginSwap() {
  if (descriptor_ < 0) return;
  Write("swap");
}

void TMaintenanceJournal::Finish() {
  if (descriptor_ < 0) return;
  unlink(path_.c_str());
  close(descriptor_);
  descriptor_ = -1;
}

void TMaintenanceJournal::Write(const char* phase) {
  std::string exts;
  TFileList& files = GetFileList();
  for (const TExtPair& e : kExts) {
    if (!files.FileExists(directory_->GetTableFileName(workName_, e.Table), false)) continue;
    if (!exts.empty()) exts += ' ';
    exts += e.Name;
  }
  if (!WriteAll(descriptor_, workName_ + "\n" + phase + "\n" + (noBackup_ ? "1" : "0") + "\n" + exts + "\n"))
    RaiseError(KORVEL_WRITEERR, "", "", directory_->GetProperDataDirectoryName(), table_);
}

void TMaintenanceJournal::Recover(TDataDirectory* directory, const std::string& table, bool inMemory) {
  if (inMemory) return;
  const std::string path = directory->GetTableFileName(table, kJournalExt);
  TFileList& files = GetFileList();
  if (!files.FileExists(path, false)) return;
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info {};
  // A live run holds the lock; a journal unlinked between our look and our lock is done with.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &info) != 0 || info.st_nlink == 0) {
    close(fd);
    return;
  }
  const std::string text = ReadAll(fd);
  std::istringstream in(text);
  std::string workName, phase, noBackup, extLine;
  // A name without its line end may be cut short: it names no file of this run.
  if (text.find('\n') != std::string::npos) std::getline(in, workName);
  std::getline(in, phase);
  std::getline(in, noBackup);
  std::getline(in, extLine);
  bool done = true;
  // "swap" is written only over a whole "build" journal, once the work table is complete and
  // before the table's files move; anything else (a journal cut short by the kill, even an
  // empty one) is a build: the table was not touched yet.
  if (workName.empty() || SameName(workName, table)) {
    // The work table's name never made it to the file: nothing was created under it.
  } else if (phase != "swap") {
    for (const TExtPair& e : kExts) {
      const std::string work = directory->GetTableFileName(workName, e.Table);
      if (files.FileExists(work, false) && files.DeleteFile(work, false) < 0) done = false;
    }
  } else if (!files.FileExists(directory->GetTableFileName(workName, kDataFileExt), false) &&
             !files.FileExists(directory->GetTableFileName(table, kDataFileExt), false)) {
    // The work table is gone before taking the table's place: the backups are the table.
    for (const TExtPair& e : kExts) {
      const std::string own = directory->GetTableFileName(table, e.Table);
      const std::string backup = directory->GetTableFileName(table, e.Backup);
      if (files.FileExists(backup, false) && !files.FileExists(own, false) &&
          files.RenameFile(backup, false, own) < 0)
        done = false;
    }
  } else {
    for (const TExtPair& e : kExts) {
      const std::string work = directory->GetTableFileName(workName, e.Table);
      const std::string own = directory->GetTableFileName(table, e.Table);
      const std::string backup = directory->GetTableFileName(table, e.Backup);
      const bool workHas = (" " + extLine + " ").find(std::string(" ") + e.Name + " ") != std::string::npos;
      const bool pending = workHas && files.FileExists(work, false);
      // The table's file is the old one while the work file has not moved, or when the new
      // table has no file of this extension.
      if ((pending || !workHas) && files.FileExists(own, false) && !MoveOver(files, own, backup)) done = false;
      if (done && pending && files.RenameFile(work, false, own) < 0) done = false;
    }
    if (done && noBackup == "1" && files.FileExists(directory->GetTableFileName(table, kDataFileExt), false)) {
      for (const TExtPair& e : kExts) {
        const std::string backup = directory->GetTableFileName(table, e.Backup);
        if (files.FileExists(backup, false) && files.DeleteFile(backup, false) < 0) done = false;
      }
    }
  }
  if (done) unlink(path.c_str());
  close(fd);
}

}  // namespace korvel
