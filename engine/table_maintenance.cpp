// Creating, deleting, renaming and emptying tables; the preconditions and the progress rule
// shared by every maintenance operation.

#include "engine/table_maintenance.h"

#include "engine/cursor_internal.h"
#include "support/files.h"
#include "support/path_helpers.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// Progress

TProgressReporter::TProgressReporter(const TProgressCallback& callback, std::int64_t total, std::uint16_t step)
    : callback_(callback), total_(total), step_(step == 0 ? 100 : step) {}

void TProgressReporter::Report(std::int64_t done) {
  if (!callback_ || total_ <= 0) return;
  int percent = static_cast<int>(done * 100 / total_);
  if (percent > 100) percent = 100;
  if (percent < last_ + step_) return;
  last_ = percent;
  callback_(percent);
}

void TProgressReporter::Finish() {
  if (!callback_ || last_ >= 100) return;
  last_ = 100;
  callback_(100);
}

// ---------------------------------------------------------------------------------------------
// Preconditions

TTableMaintenance::TTableMaintenance(TDataCursor& cursor) : cursor_(cursor) {
  // The cursor's data-loss callback answers for the cursor's maintenance unless the caller
  // sets another one here.
  if (cursor.DataLostCallback.IsSet()) {
    DataLost = [&cursor](TDataLossCause cause, const std::string& context, bool& stopAsking, bool& continueWork) {
      cursor.DoDataLost(cause, context, stopAsking, continueWork);
    };
  }
}

void TTableMaintenance::Raise(TErrorCode code, const std::string& field, const std::string& index) const {
  cursor_.RaiseCursor(code, field, index);
}

void TTableMaintenance::CheckExclusive() const {
  if (!cursor_.Exclusive) Raise(KORVEL_NEEDEXCLACCESS);
}

void TTableMaintenance::CheckNotReadOnly() const { cursor_.CheckNotReadOnly(); }

void TTableMaintenance::CheckOpen() const {
  cursor_.CheckOpen();
}

void TTableMaintenance::CheckNotOpen() const { cursor_.CheckNotOpen(); }

void TTableMaintenance::ProbeTable() {
  bool exclusive = cursor_.Exclusive;
  bool readOnly = cursor_.ReadOnly;
  cursor_.Exclusive = true;
  cursor_.ReadOnly = true;
  try {
    cursor_.OpenCursor();
    cursor_.CloseCursor();
  } catch (...) {
    cursor_.Exclusive = exclusive;
    cursor_.ReadOnly = readOnly;
    throw;
  }
  cursor_.Exclusive = exclusive;
  cursor_.ReadOnly = readOnly;
}

// ---------------------------------------------------------------------------------------------
// Tables

void TTableMaintenance::CreateTable(TTableStructure structure, bool overwrite) {
  CheckNotOpen();
  cursor_.CheckLocal();
  CheckExclusive();
  CheckNotReadOnly();
  VerifyStructureInformation(structure);
  TDataDirectory* directory = cursor_.Directory;
  if (directory->DataTableExists(cursor_.TableName, cursor_.InMemory)) {
    if (!overwrite) Raise(KORVEL_TABLEEXISTS);
    // The old table goes first, so that a BLOB file it had cannot stay behind a new table
    // without BLOB fields.
    int result = directory->DeleteDataTable(cursor_.TableName, cursor_.InMemory);
    if (result < 0) Raise(static_cast<TErrorCode>(-result));
  }
  TDataTable* table = nullptr;
  int result = directory->CreateDataTable(cursor_.TableName, structure, cursor_.IsTemporary, cursor_.InMemory, table);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
  // The text-index parameters live in the index file: written through the new table's cursor.
  // An empty character set is no choice of characters: it keeps the default.
  TTextIndexParams params = structure.TextParams;
  if (params.SpaceChars.none()) params.SpaceChars = GetDefaultTextIndexSpaceChars();
  if (params.IncludeChars.none()) params.IncludeChars = GetDefaultTextIndexIncludeChars();
  // A table without stored parameters uses the defaults. A temporary table's files go with its
  // first close, so it keeps the defaults.
  if (params == TTextIndexParams() || cursor_.IsTemporary) return;
  try {
    cursor_.OpenCursor();
    cursor_.SetTextIndexParams(params);
    cursor_.CloseCursor();
  } catch (...) {
    try {
      if (cursor_.IsOpen) cursor_.CloseCursor();
      directory->DeleteDataTable(cursor_.TableName, cursor_.InMemory);
    } catch (...) {
    }
    throw;
  }
}

void TTableMaintenance::DeleteTable() {
  CheckNotOpen();
  cursor_.CheckLocal();
  ProbeTable();
  int result = cursor_.Directory->DeleteDataTable(cursor_.TableName, cursor_.InMemory);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
}

void TTableMaintenance::RenameTable(const std::string& newName) {
  CheckNotOpen();
  cursor_.CheckLocal();
  std::string target = TrimString(newName);
  if (target.empty()) Raise(KORVEL_OSENOENT);
  ProbeTable();
  TDataDirectory* directory = cursor_.Directory;
  // The files are renamed one by one: a name already taken must stop the rename before the
  // first file moves, or the table would end up split over two names.
  if (!SameName(directory->GetTableFileName(target, kDataFileExt),
                directory->GetTableFileName(cursor_.TableName, kDataFileExt)) &&
      directory->DataTableExists(target, cursor_.InMemory))
    Raise(KORVEL_TABLEEXISTS);
  int result = directory->RenameDataTable(cursor_.TableName, target, false, cursor_.InMemory);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
  cursor_.TableName = target;
}

void TTableMaintenance::InternalBackupTable() {
  CheckNotOpen();
  TDataDirectory* directory = cursor_.Directory;
  TFileList& files = GetFileList();
  // A rename never replaces a file: older backups go first.
  for (const char* ext : {kDataBackupExt, kIndexBackupExt, kBlobBackupExt}) {
    std::string backup = directory->GetTableFileName(cursor_.TableName, ext);
    if (!files.FileExists(backup, cursor_.InMemory)) continue;
    int result = files.DeleteFile(backup, cursor_.InMemory);
    if (result < 0) Raise(static_cast<TErrorCode>(-result));
  }
  int result = directory->RenameDataTable(cursor_.TableName, cursor_.TableName, true, cursor_.InMemory);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
}

void TTableMaintenance::EmptyTable() {
  CheckOpen();
  cursor_.CheckLocal();
  CheckExclusive();
  CheckNotReadOnly();
  const TTextIndexParams params = cursor_.GetTextIndexParams();
  {
    TDataCursor::TWriteLock lock(cursor_);
    cursor_.FreeAllBlobs(true);
    cursor_.Table->ClearHeaders();
    cursor_.FlushEdit(true, true);
    lock.Release();
  }
  // Clearing the index header dropped the parameters' pages.
  cursor_.SetTextIndexParams(params);
  cursor_.RefreshRangeAndFilter();
  cursor_.SetToBegin();
}

TTableStructure TTableMaintenance::CurrentStructure() const {
  TDataTable& t = *cursor_.Table;
  TTableStructure s;
  TDataHeader header;
  t.GetDataHeader(header);
  for (std::int32_t i = 1; i <= t.GetFieldCount(); ++i) s.Fields.push_back(t.GetFieldDefinitionByPos(i));
  if (!t.GetNoPrimaryIndex()) t.GetIndexDefinition(kPrimaryIndexSlot, s.PrimaryIndex);
  for (int slot = 1; slot <= t.GetIndexCount(); ++slot) {
    TIndexDefinition d;
    t.GetIndexDefinition(slot, d);
    if (d.Temporary) continue;
    s.SecondaryIndexes.push_back(d);
  }
  t.GetIndexDefinition(kSysTextSlot, s.TextIndex);
  s.TextParams = cursor_.GetTextIndexParams();
  s.LanguageID = t.GetLanguageID();
  s.SortID = t.GetSortID();
  s.UserMajorVersion = t.GetUserMajorVersion();
  s.UserMinorVersion = t.GetUserMinorVersion();
  s.Encrypted = t.GetEncrypted();
  s.Password = t.GetPassword();
  s.Description = t.GetDescription();
  s.BlobBlockSize = t.GetBlobBlockSize();
  // Page numbers belong to the old file.
  for (TIndexDefinition* d : {&s.PrimaryIndex, &s.TextIndex}) {
    d->RootPageNumber = d->NextFreePageNumber = d->DataRootPageNumber = 0;
  }
  for (TIndexDefinition& d : s.SecondaryIndexes) d.RootPageNumber = d.NextFreePageNumber = d.DataRootPageNumber = 0;
  return s;
}

}  // namespace korvel
