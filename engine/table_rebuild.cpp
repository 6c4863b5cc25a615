// The rebuilds that write a whole new table: optimise and copy.
//
// Both write a work table under a temporary name in the destination's own folder (or the
// in-memory database), so that putting it in place is a rename within one file system, never a
// copy. Until that point the existing table is untouched, and every failure deletes the work
// table again.
//
// Putting a work table in place of an existing one:
//   1. older backups of the table are deleted (a rename never replaces a file);
//   2. the table's files get the backup extensions (.DBK, .IBK, .BBK);
//   3. the work table's files get the table's name;
//   4. without a backup wanted, the backup files are deleted.
// A failure in step 3 renames the backups back. A kill at any point is finished or undone by
// the next opener of the table, from the journal the rebuild keeps (maintenance_journal.h).

#include <cstring>
#include <exception>
#include <memory>

#include "engine/cursor_internal.h"
#include "engine/maintenance_journal.h"
#include "engine/table_maintenance.h"
#include "engine/table_work_table.h"
#include "support/files.h"
#include "support/path_helpers.h"

namespace korvel {

namespace {

bool SameLayout(const TDataCursor& a, const TDataCursor& b) {
  if (a.GetRecordSize() != b.GetRecordSize() || a.GetFieldCount() != b.GetFieldCount()) return false;
  for (std::int32_t i = 1; i <= a.GetFieldCount(); ++i) {
    const TFieldDefinition& x = a.GetFieldDefinition(i);
    const TFieldDefinition& y = b.GetFieldDefinition(i);
    if (x.DataType != y.DataType || x.PhysicalSize != y.PhysicalSize || x.Offset != y.Offset ||
        x.IsExpression != y.IsExpression)
      return false;
  }
  return true;
}

int RenameFiles(TDataDirectory* directory, const std::string& table, const char* const from[3],
                const char* const to[3], bool inMemory) {
  TFileList& files = GetFileList();
  for (int i = 0; i < 3; ++i) {
    std::string source = directory->GetTableFileName(table, from[i]);
    if (!files.FileExists(source, inMemory)) continue;
    int result = files.RenameFile(source, inMemory, directory->GetTableFileName(table, to[i]));
    if (result < 0) return result;
  }
  return 0;
}

const char* const kTableExts[3] = {kDataFileExt, kIndexFileExt, kBlobFileExt};
const char* const kBackupExts[3] = {kDataBackupExt, kIndexBackupExt, kBlobBackupExt};

int DeleteFiles(TDataDirectory* directory, const std::string& table, const char* const exts[3], bool inMemory) {
  TFileList& files = GetFileList();
  for (int i = 0; i < 3; ++i) {
    std::string name = directory->GetTableFileName(table, exts[i]);
    if (!files.FileExists(name, inMemory)) continue;
    int result = files.DeleteFile(name, inMemory);
    if (result < 0) return result;
  }
  return 0;
}

}  // namespace

void TTableMaintenance::CopyRecords(TDataCursor& source, TDataCursor& dest, const TProgressCallback& callback,
                                    bool) {
  std::vector<std::uint8_t> from(static_cast<std::size_t>(source.GetRecordSize()));
  std::vector<std::uint8_t> to(static_cast<std::size_t>(dest.GetRecordSize()));
  std::vector<std::uint8_t> value(1024);
  std::vector<std::uint8_t> blob;
  const bool sameLayout = SameLayout(source, dest);
  TProgressReporter progress(callback, source.GetRecordCount(), source.Directory->Session->GetProgressPercent());
  std::int64_t done = 0;
  source.SetToBegin();
  while (source.GetNextRecord(from.data()) == kCursorOk) {
    if (sameLayout) {
      std::memcpy(to.data(), from.data(), to.size());
    } else {
      dest.InitRecord(to.data());
    }
    for (std::int32_t i = 1; i <= source.GetFieldCount(); ++i) {
      const TFieldDefinition& field = source.GetFieldDefinition(i);
      const TFieldDefinition& target = dest.GetFieldDefinition(i);
      if (field.DataType == dtBlob) {
        // The value goes to the destination as a new BLOB; the block number copied with the
        // record image belongs to the source's BLOB file.
        std::memset(to.data() + target.Offset, 0, 5);
        std::int64_t size = 0;
        if (source.GetField(i, from.data(), nullptr)) continue;
        int code = source.ReadWholeBlob(i, from.data(), false, [&](std::size_t n) {
          blob.resize(n);
          return blob.data();
        });
        if (code != 0) source.RaiseCursor(static_cast<TErrorCode>(code), field.FieldName);
        code = dest.OpenBlob(i, to.data(), TBlobBuffer::omReadWrite, false, true, size);
        if (code == 0) code = dest.PutBlob(i, to.data(), false, static_cast<std::int64_t>(blob.size()), blob.data(), 0);
        if (code != 0) dest.RaiseCursor(static_cast<TErrorCode>(code), target.FieldName);
        continue;
      }
      if (sameLayout || field.IsAutoInc()) continue;
      if (!source.GetField(i, from.data(), value.data())) dest.PutField(i, to.data(), value.data());
    }
    TDataCursor::PutRecordID(TDataCursor::GetRecordID(from.data()), to.data());
    dest.AppendRecord(to.data(), false);
    progress.Report(++done);
  }
  progress.Finish();
}

void TTableMaintenance::ReplaceTable(TDataDirectory* directory, const std::string& workName, bool noBackup) {
  const std::string& name = cursor_.TableName;
  const bool inMemory = cursor_.InMemory;
  int result = DeleteFiles(directory, name, kBackupExts, inMemory);
  if (result == 0) result = RenameFiles(directory, name, kTableExts, kBackupExts, inMemory);
  if (result < 0) {
    // The table is whole under its own name again, or the failure is reported with both.
    RenameFiles(directory, name, kBackupExts, kTableExts, inMemory);
    Raise(static_cast<TErrorCode>(-result));
  }
  result = directory->RenameDataTable(workName, name, false, inMemory);
  if (result < 0) {
    DeleteFiles(directory, name, kTableExts, inMemory);
    RenameFiles(directory, name, kBackupExts, kTableExts, inMemory);
    Raise(static_cast<TErrorCode>(-result));
  }
  if (noBackup) DeleteFiles(directory, name, kBackupExts, inMemory);
}

void TTableMaintenance::OptimizeTable(const std::string& indexName, bool noBackup) {
  CheckNotOpen();
  cursor_.CheckLocal();
  CheckExclusive();
  CheckNotReadOnly();
  cursor_.OpenCursor();
  struct TCloseSource {
    TDataCursor& cursor;
    ~TCloseSource() {
      try {
        if (cursor.IsOpen) cursor.CloseCursor();
      } catch (...) {
      }
    }
  } closeSource{cursor_};
  cursor_.SetIndexName(indexName);
  TDataDirectory* directory = cursor_.Directory;
  TMaintenanceJournal journal(directory, cursor_.TableName, cursor_.InMemory);
  TWorkTable work(directory, cursor_.InMemory);
  journal.Begin(work.Name(), noBackup);
  TTableStructure structure = CurrentStructure();
  work.Create(structure, cursor_.PasswordCallback);
  CopyRecords(cursor_, work.Cursor(), OptimizeProgress, false);
  TDataTable& target = *work.Cursor().Table;
  TDataTable& source = *cursor_.Table;
  target.UpdateDataHeader(source.GetPassword(), source.GetDescription(), source.GetLastRecordID(),
                          source.GetUserMajorVersion(), source.GetUserMinorVersion());
  work.Close();
  cursor_.CloseCursor();
  journal.BeginSwap();
  ReplaceTable(directory, work.Name(), noBackup);
  work.Keep();
  journal.Finish();
}

void TTableMaintenance::CopyTable(const std::string& destDatabase, const std::string& destTable, bool copyIndexes) {
  CheckOpen();
  cursor_.CheckLocal();
  TDataSession* session = cursor_.Directory->Session;
  const bool toMemory = SameName(TrimString(destDatabase), kMemoryDatabaseName);
  TDataDirectory* dest = toMemory ? session->OpenDataDirectory(kMemoryDatabaseName, "")
                                  : session->OpenDataDirectory(destDatabase, destDatabase);
  struct TCloseDirectory {
    TDataSession* session;
    TDataDirectory* directory;
    ~TCloseDirectory() { session->CloseDataDirectory(directory); }
  } closeDirectory{session, dest};
  const std::string target = TrimString(destTable);
  if (target.empty()) Raise(KORVEL_OSENOENT);
  if (SameName(dest->GetTableFileName(target, kDataFileExt), cursor_.Directory->GetTableFileName(cursor_.TableName, kDataFileExt)) &&
      toMemory == cursor_.InMemory)
    Raise(KORVEL_TABLEEXISTS);

  TTableStructure structure;
  for (std::int32_t i = 1; i <= cursor_.GetFieldCount(); ++i) {
    TFieldDefinition field = cursor_.GetFieldDefinition(i);
    field.IsExpression = false;
    field.Expression = nullptr;
    structure.Fields.push_back(field);
  }
  TTableStructure current = CurrentStructure();
  structure.LanguageID = current.LanguageID;
  structure.SortID = current.SortID;
  structure.UserMajorVersion = current.UserMajorVersion;
  structure.UserMinorVersion = current.UserMinorVersion;
  structure.Encrypted = current.Encrypted;
  structure.Password = current.Password;
  structure.Description = current.Description;
  structure.BlobBlockSize = current.BlobBlockSize;
  structure.TextParams = current.TextParams;
  if (copyIndexes) {
    structure.PrimaryIndex = current.PrimaryIndex;
    structure.SecondaryIndexes = current.SecondaryIndexes;
    structure.TextIndex = current.TextIndex;
  }

  // A consistent snapshot: writers wait until the copy is done.
  TDataTable& table = *cursor_.Table;
  const bool lockedBefore = table.UserReadLocked;
  if (!table.Exclusive) table.UserReadLockTable();
  struct TUnlock {
    TDataTable& table;
    bool locked;
    ~TUnlock() {
      if (!locked) return;
      try {
        table.UserReadUnlockTable();
      } catch (...) {
      }
    }
  } unlock{table, !lockedBefore && table.UserReadLocked};

  TMaintenanceJournal journal(dest, target, toMemory);
  TWorkTable work(dest, toMemory);
  journal.Begin(work.Name(), true);
  work.Create(structure, cursor_.PasswordCallback);
  CopyRecords(cursor_, work.Cursor(), CopyProgress, false);
  work.Cursor().Table->UpdateDataHeader(table.GetPassword(), table.GetDescription(), table.GetLastRecordID(),
                                        table.GetUserMajorVersion(), table.GetUserMinorVersion());
  work.Close();
  journal.BeginSwap();
  if (dest->DataTableExists(target, toMemory)) {
    int result = dest->DeleteDataTable(target, toMemory);
    if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", dest->GetProperDataDirectoryName(), target);
  }
  int result = dest->RenameDataTable(work.Name(), target, false, toMemory);
  if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", dest->GetProperDataDirectoryName(), target);
  work.Keep();
  journal.Finish();
}

}  // namespace korvel
