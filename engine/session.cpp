#include "engine/session.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string_view>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/maintenance_journal.h"
#include "platform/posix_file.h"
#include "platform/system_info.h"
#include "support/files.h"
#include "support/os_files.h"
#include "support/path_helpers.h"

namespace korvel {

namespace {

struct TEngineState {
  std::recursive_mutex Section;
  bool Initialized = false;
  TDataSession* CurrentSession = nullptr;  // the default session until changed
  TDataSession* DefaultSession = nullptr;  // owned
  std::vector<TDataSession*> LiveSessions;  // every session not yet freed, however made
};

TEngineState& Engine() {
  // Never destroyed: sessions that outlive static destruction still unregister themselves.
  static TEngineState* state = new TEngineState;
  return *state;
}

// A folder as the engine keeps it: trimmed, '\' read as '/', with a trailing '/'.
std::string AsFolder(const std::string& path) { return AddBS(ConvertSlashes(TrimString(path))); }

// Database names and folders are short strings. A longer one is refused, never cut: a cut
// folder can be another folder (the parent), a cut name another database.
void CheckShortString(const std::string& value, const std::string& refused) {
  if (value.size() > kMaxShortString) RaiseError(KORVEL_REMOTEINVDB, "", "", TrimString(refused));
}

constexpr int kAccessDenied = -static_cast<int>(KORVEL_OSEACCES);

}  // namespace

bool IsValidTableName(const std::string& name) {
  std::string trimmed = TrimString(name);
  if (trimmed.empty() || trimmed.size() > kMaxShortString || trimmed == "." || trimmed == "..") return false;
  return trimmed.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// Engine level

void InitializeKORVEL() {
  TEngineState& e = Engine();
  std::lock_guard<std::recursive_mutex> guard(e.Section);
  if (e.Initialized) return;
  // The random read-lock slots of the locking protocol depend on the generator being seeded.
  std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(platform::CurrentProcessId()));
  InitializeSupportFunctions();
  e.DefaultSession = new TDataSession(false);
  e.CurrentSession = e.DefaultSession;
  e.Initialized = true;
}

void ExitKORVEL() {
  TEngineState& e = Engine();
  std::lock_guard<std::recursive_mutex> guard(e.Section);
  if (!e.Initialized) return;
  // The file list goes below, and with it every file object. So every session gives up its
  // tables first: exclusive tables write their cached changes, open transactions roll back,
  // locks are released. The default session, which the engine made, is freed; every other
  // session stays its starter's to free with CloseDataSession, holding nothing.
  std::vector<TDataSession*> sessions = e.LiveSessions;
  for (TDataSession* session : sessions)
    if (session != e.DefaultSession) session->FreeDataDirectories();
  delete e.DefaultSession;
  e.DefaultSession = nullptr;
  e.CurrentSession = nullptr;
  ExitSupportFunctions();
  e.Initialized = false;
}

bool KORVELInitialized() {
  TEngineState& e = Engine();
  std::lock_guard<std::recursive_mutex> guard(e.Section);
  return e.Initialized;
}

TDataSession* GetCurrentDataSession() {
  TEngineState& e = Engine();
  std::lock_guard<std::recursive_mutex> guard(e.Section);
  if (!e.Initialized || e.CurrentSession == nullptr) RaiseError(KORVEL_NOTINITIALIZED);
  return e.CurrentSession;
}

void SetCurrentDataSession(TDataSession* session) {
  TEngineState& e = Engine();
  std::lock_guard<std::recursive_mutex> guard(e.Section);
  e.CurrentSession = session;
}

void StartDataSession(TDataSession*& session, bool hosted) { session = new TDataSession(hosted); }

void CloseDataSession(TDataSession*& session) {
  if (session == nullptr) return;
  TEngineState& e = Engine();
  {
    std::lock_guard<std::recursive_mutex> guard(e.Section);
    if (e.CurrentSession == session) e.CurrentSession = e.DefaultSession == session ? nullptr : e.DefaultSession;
    if (e.DefaultSession == session) e.DefaultSession = nullptr;
  }
  delete session;
  session = nullptr;
}

// ---------------------------------------------------------------------------------------------
// TDataSession

TDataSession::TDataSession(bool hosted) : Hosted(hosted) {
  CurrentDirectory = AsFolder(OSGetCurrentDirectory());
  PrivateDirectory = OSGetTempDirectory();
  TEngineState& e = Engine();
  std::lock_guard<std::recursive_mutex> guard(e.Section);
  e.LiveSessions.push_back(this);
}

TDataSession::~TDataSession() {
  DeleteAllPasswords();
  FreeDataDirectories();
  TEngineState& e = Engine();
  std::lock_guard<std::recursive_mutex> guard(e.Section);
  e.LiveSessions.erase(std::find(e.LiveSessions.begin(), e.LiveSessions.end(), this));
  if (e.CurrentSession == this) e.CurrentSession = e.DefaultSession == this ? nullptr : e.DefaultSession;
}

void TDataSession::SetPrivateDirectory(const std::string& directory) {
  std::string trimmed = TrimString(directory);
  std::string folder = trimmed.empty() ? "" : AsFolder(trimmed);
  CheckShortString(folder, directory);
  PrivateDirectory = folder;
}

std::string TDataSession::GetPrivateDirectory() const {
  return PrivateDirectory.empty() ? CurrentDirectory : PrivateDirectory;
}

void TDataSession::SetProgress(std::uint16_t steps) { ProgressSteps = steps; }
void TDataSession::SetForceBufferFlush(bool value) { ForceBufferFlush = value; }
void TDataSession::SetStrictChangeDetection(bool value) { StrictChangeDetection = value; }
void TDataSession::SetLockRetries(std::uint8_t value) { LockRetries = value; }
void TDataSession::SetLockWait(std::uint16_t value) { LockWait = value; }
void TDataSession::SetLockProtocol(TLockProtocol value) { LockProtocol = value; }

bool TDataSession::SetIsRemote(bool value) {
  if (Connected) return false;
  IsRemote = value;
  return true;
}

bool TDataSession::SetIsLAN(bool value) {
  if (Connected) return false;
  IsLAN = value;
  return true;
}

void TDataSession::AddPassword(const std::string& password) {
  // Kept whole: a cut copy would neither match the password nor be found again to delete.
  if (password.empty() || CheckForPassword(password)) return;
  Passwords.push_back(password);
}

void TDataSession::DeletePassword(const std::string& password) {
  auto it = std::find(Passwords.begin(), Passwords.end(), password);
  if (it != Passwords.end()) Passwords.erase(it);
}

void TDataSession::DeleteAllPasswords() {
  while (!Passwords.empty()) Passwords.pop_back();
}

bool TDataSession::CheckForPassword(const std::string& password) const {
  return std::find(Passwords.begin(), Passwords.end(), password) != Passwords.end();
}

TDataDirectory* TDataSession::FindDirectory(const std::string& folder, bool memory) const {
  // A folder on disk is the folder it resolves to; one that does not exist (yet) matches without
  // regard to case. The in-memory database's folder is only a name.
  bool onDisk = false;
  if (!memory) {
    platform::TFileStatus status;
    onDisk = platform::StatPath(folder, status) && status.IsDirectory;
  }
  for (const auto& d : DataDirectories) {
    if (d->IsMemoryDatabase() != memory) continue;
    if (onDisk ? d->Path == folder : SameName(d->Path, folder)) return d.get();
  }
  return nullptr;
}

TDataDirectory* TDataSession::OpenDataDirectory(const std::string& name, const std::string& path, bool) {
  bool memory = SameName(name, kMemoryDatabaseName);
  CheckShortString(name, name);
  std::string trimmedPath = TrimString(path);
  std::string folder;
  if (!trimmedPath.empty()) {
    folder = AsFolder(trimmedPath);
    CheckShortString(folder, path);
  } else if (!memory) {
    folder = CurrentDirectory;
  }
  if (!memory) folder = platform::ResolvePath(folder);
  // The in-memory database and a disk folder of the same path are different databases.
  if (TDataDirectory* d = FindDirectory(folder, memory)) {
    // A count that wrapped to 0 would let one close free what every other opener holds.
    if (d->UseCount == kMaxUseCount) RaiseError(KORVEL_OSEMFILE, "", "", d->Path, d->Path);
    d->IncUseCount();
    return d;
  }
  auto directory = std::make_unique<TDataDirectory>(this);
  directory->Name = name;
  directory->Path = folder;
  directory->IncUseCount();
  DataDirectories.push_back(std::move(directory));
  return DataDirectories.back().get();
}

void TDataSession::CloseDataDirectory(TDataDirectory* directory, bool) {
  for (auto it = DataDirectories.begin(); it != DataDirectories.end(); ++it) {
    if (it->get() != directory) continue;
    if (directory->UseCount == 0) return;
    directory->DecUseCount();
    if (directory->UseCount == 0) DataDirectories.erase(it);
    return;
  }
}

void TDataSession::FreeDataDirectories() {
  // First to last, as they were opened.
  while (!DataDirectories.empty()) DataDirectories.erase(DataDirectories.begin());
}

bool TDataSession::DoLogin(std::string& user, std::string& password) {
  return LoginCallback.IsSet() ? LoginCallback.Function(LoginCallback.UserData, user, password) : false;
}

void TDataSession::DoTrace(const std::string& message) {
  if (!TraceCallback.IsSet()) return;
  try {
    TraceCallback.Function(TraceCallback.UserData, message);
  } catch (...) {
    // Tracing is advisory: a failing trace handler must not break the traced operation.
  }
}

bool TDataSession::DoGetProcessID(std::string& processID) {
  return GetProcessIDCallback.IsSet() ? GetProcessIDCallback.Function(GetProcessIDCallback.UserData, processID)
                                      : false;
}

bool TDataSession::DoGetPath(const std::string& database, std::string& path) {
  return GetPathCallback.IsSet() ? GetPathCallback.Function(GetPathCallback.UserData, database, path) : false;
}

bool TDataSession::DoGetRights(const std::string& database, std::uint8_t& rights) {
  return GetRightsCallback.IsSet() ? GetRightsCallback.Function(GetRightsCallback.UserData, database, rights)
                                   : false;
}

bool TDataSession::DoCheckRights(TDataDirectory* directory, TKORVELDatabaseRight right) {
  return CheckRightsCallback.IsSet()
             ? CheckRightsCallback.Function(CheckRightsCallback.UserData, directory, right)
             : false;
}

void TDataSession::CheckCallbacks(std::int32_t data) {
  if (LoginCallback.IsSet()) LoginCallback.UserData = data;
  if (TraceCallback.IsSet()) TraceCallback.UserData = data;
  if (GetProcessIDCallback.IsSet()) GetProcessIDCallback.UserData = data;
  if (GetPathCallback.IsSet()) GetPathCallback.UserData = data;
  if (GetRightsCallback.IsSet()) GetRightsCallback.UserData = data;
  if (CheckRightsCallback.IsSet()) CheckRightsCallback.UserData = data;
  for (const auto& directory : DataDirectories) directory->CheckCallbacks(data);
}

// ---------------------------------------------------------------------------------------------
// TDataDirectory

TDataDirectory::TDataDirectory(TDataSession* session) : Session(session) {}

TDataDirectory::~TDataDirectory() {
  if (InTransaction) {
    try {
      RollbackTransaction(true);
    } catch (...) {
      // Nothing of the transaction reached the files; the tables are closed below regardless.
    }
  }
  // A hosted client's cursors that are still there go before the tables they hold; each one
  // takes itself off the list as it goes.
  while (!DataCursors.empty()) delete DataCursors.back();
  // Each table closes itself (releasing its locks) as it is freed, first to last.
  while (!DataTables.empty()) DataTables.erase(DataTables.begin());
}

bool TDataDirectory::AddDataCursor(TDataCursor* cursor) {
  if (!Session->Hosted) return false;
  DataCursors.push_back(cursor);
  return true;
}

void TDataDirectory::RemoveDataCursor(TDataCursor* cursor) {
  auto at = std::find(DataCursors.begin(), DataCursors.end(), cursor);
  if (at != DataCursors.end()) DataCursors.erase(at);
}

void TDataDirectory::CheckCallbacks(std::int32_t data) {
  for (TDataCursor* cursor : DataCursors) cursor->CheckCallbacks(data);
}

bool TDataDirectory::GetHasOpenTables() const {
  for (const auto& table : DataTables)
    if (table->UseCount > 0) return true;
  return false;
}

TDataTable* TDataDirectory::FindDataTable(const std::string& name, bool inMemory) const {
  // Names compare as the files they give: customer, CUSTOMER.DAT and " customer " are one table,
  // unless on disk they are two files.
  std::string file = GetTableFileName(TrimString(name), kDataFileExt);
  for (const auto& table : DataTables) {
    if (table->InMemory != inMemory) continue;
    std::string listed = GetTableFileName(TrimString(table->TableName), kDataFileExt);
    if (listed == file || (SameName(listed, file) && IsSameFile(listed, file, inMemory))) return table.get();
  }
  return nullptr;
}

std::size_t TDataDirectory::PositionOf(const TDataTable* table) const {
  for (std::size_t i = 0; i < DataTables.size(); ++i)
    if (DataTables[i].get() == table) return i;
  return DataTables.size();
}

void TDataDirectory::FreeTableIfUnused(std::size_t position) {
  TDataTable* table = DataTables[position].get();
  if (table->UseCount == 0 && !table->TransactionInProgress)
    DataTables.erase(DataTables.begin() + static_cast<std::ptrdiff_t>(position));
}

int TDataDirectory::OpenDataTable(const std::string& name, TDataTable*& table, bool, bool exclusive,
                                  bool overrideExclusive, bool inMemory, bool isTemporary, bool isResultSet,
                                  bool isSourceTable) {
  table = nullptr;
  if (Session->IsRemote) return -static_cast<int>(KORVEL_REMOTECONNECT);
  if (!IsValidTableName(name)) return kAccessDenied;
  TDataTable* found = FindDataTable(name, inMemory);
  // A rebuild of this table that died (optimise, copy, restructure) is finished or undone
  // before the files are opened.
  if (found == nullptr || (found->UseCount == 0 && !found->TransactionInProgress))
    TMaintenanceJournal::Recover(this, TrimString(name), inMemory);
  if (found != nullptr && found->UseCount == kMaxUseCount) return -static_cast<int>(KORVEL_OSEMFILE);
  if (found != nullptr && (found->UseCount > 0 || found->TransactionInProgress)) {
    // Its files are open in the mode of the first open: a shared table cannot be handed out as
    // exclusive (other processes can open it), whether a cursor or a transaction holds it and
    // whatever OverrideExclusive says. A table kept open only by a transaction (no opener left)
    // may otherwise be opened in any mode again.
    if (exclusive && !found->Exclusive) return kAccessDenied;
    bool conflict = (found->Exclusive || exclusive) && (found->UseCount > 0 || !found->TransactionInProgress);
    if (conflict && !overrideExclusive) return kAccessDenied;
    found->OpenTable();
  } else if (found != nullptr) {
    found->SetExclusive(exclusive);
    found->SetInMemory(inMemory);
    found->SetIsTemporary(isTemporary);
    found->OpenTable();
    if (InTransaction) {
      try {
        found->StartTransaction();
      } catch (...) {
        found->CloseTable(true);
        throw;
      }
    }
  } else {
    auto created = std::make_unique<TDataTable>(this);
    created->SetTableName(TrimString(name));
    created->SetExclusive(exclusive);
    created->SetInMemory(inMemory);
    created->SetIsTemporary(isTemporary);
    created->OpenTable();
    if (InTransaction) created->StartTransaction();  // a failure frees the object, closing it
    DataTables.push_back(std::move(created));
    found = DataTables.back().get();
  }
  if (isResultSet == isSourceTable) found->IncClientUseCount();
  table = found;
  return 0;
}

int TDataDirectory::CloseDataTable(TDataTable* table, bool freeTemporary, bool isResultSet, bool isSourceTable) {
  std::size_t position = PositionOf(table);
  if (position == DataTables.size()) return -static_cast<int>(KORVEL_OSENOENT);
  std::exception_ptr failure;
  try {
    if (table->UseCount > 0) table->CloseTable(freeTemporary);
  } catch (...) {
    failure = std::current_exception();
  }
  if (table->UseCount == 0 && !table->TransactionInProgress)
    DataTables.erase(DataTables.begin() + static_cast<std::ptrdiff_t>(position));
  else if (isResultSet == isSourceTable)
    table->DecClientUseCount();
  if (failure) std::rethrow_exception(failure);
  return 0;
}

int TDataDirectory::CreateDataTable(const std::string& name, const TTableStructure& structure, bool isTemporary,
                                    bool inMemory, TDataTable*& table) {
  table = nullptr;
  if (Session->IsRemote) return -static_cast<int>(KORVEL_REMOTECONNECT);
  if (!IsValidTableName(name)) return kAccessDenied;
  TDataTable* found = FindDataTable(name, inMemory);
  bool made = found == nullptr;
  if (found != nullptr && (found->UseCount > 0 || found->TransactionInProgress))
    return -static_cast<int>(KORVEL_OSEACCES);
  if (made) {
    DataTables.push_back(std::make_unique<TDataTable>(this));
    found = DataTables.back().get();
    found->SetTableName(TrimString(name));
  }
  found->SetExclusive(true);
  found->SetInMemory(inMemory);
  found->SetIsTemporary(isTemporary);
  try {
    found->CreateTable(structure);
  } catch (...) {
    if (made) DataTables.erase(DataTables.begin() + static_cast<std::ptrdiff_t>(PositionOf(found)));
    throw;
  }
  table = found;
  return 0;
}

bool TDataDirectory::IsMemoryDatabase() const { return SameName(Name, kMemoryDatabaseName); }

std::string TDataDirectory::GetProperDataDirectoryName() const {
  if (Session != nullptr && (Session->IsRemote || Session->Hosted)) return Name;
  return Path;
}

std::string TDataDirectory::GetTableFileName(const std::string& name, const std::string& ext) const {
  return Path + EnsureFileExt(ConvertSlashes(name), kDataFileExt, ext);
}

bool TDataDirectory::DataTableExists(const std::string& name, bool inMemory) const {
  if (!IsValidTableName(name)) return false;
  if (FindDataTable(name, inMemory) != nullptr) return true;
  std::string file = GetTableFileName(name, kDataFileExt);
  // A disk table exists when its data file is on disk: the file list can still hold an object
  // of a name whose open failed, after the file itself is gone.
  return inMemory ? FileNameExists(file, true) : OSFileExists(file);
}

void TDataDirectory::ListTableNames(TStringList& names) const {
  names.Clear();
  ListFiles(names, Path + "*" + kDataFileExt, IsMemoryDatabase(), false);
}

std::string TDataDirectory::GetTempDataTableName(bool inMemory) const {
  std::string base =
      std::to_string(std::abs(static_cast<long long>(platform::CurrentThreadId()))).substr(0, 5);
  for (std::uint32_t i = 0; i <= 0xFFFF; ++i) {
    std::string name = base + std::to_string(i) + kDataFileExt;
    if (!DataTableExists(name, inMemory)) return name;
  }
  return "";
}

int TDataDirectory::RenameDataTable(const std::string& name, const std::string& newName, bool toBackup,
                                    bool inMemory) {
  if (!IsValidTableName(name) || (!toBackup && !IsValidTableName(newName))) return kAccessDenied;
  TDataTable* found = FindDataTable(name, inMemory);
  if (found == nullptr) return RenameTableFiles(name, newName, toBackup, inMemory);
  if (found->UseCount > 0 || found->TransactionInProgress) return -static_cast<int>(KORVEL_OSEACCES);
  int result = found->RenameTable(newName, toBackup);
  // The object stood for the old files; a later open under either name starts afresh.
  if (result == 0) DataTables.erase(DataTables.begin() + static_cast<std::ptrdiff_t>(PositionOf(found)));
  return result;
}

int TDataDirectory::DeleteDataTable(const std::string& name, bool inMemory) {
  if (!IsValidTableName(name)) return kAccessDenied;
  TDataTable* found = FindDataTable(name, inMemory);
  if (found == nullptr) return DeleteTableFiles(name, inMemory);
  if (found->UseCount > 0 || found->TransactionInProgress) return -static_cast<int>(KORVEL_OSEACCES);
  int result = found->DeleteTable();
  if (result == 0) DataTables.erase(DataTables.begin() + static_cast<std::ptrdiff_t>(PositionOf(found)));
  return result;
}

// ---------------------------------------------------------------------------------------------
// Transactions over the directory's tables

void TDataDirectory::StartTransaction(bool) {
  if (InTransaction) return;
  try {
    for (auto& table : DataTables) table->StartTransaction();
  } catch (...) {
    for (auto it = DataTables.rbegin(); it != DataTables.rend(); ++it) {
      try {
        (*it)->RollbackTransaction();
      } catch (...) {
        // The start's own failure is the one reported.
      }
    }
    throw;
  }
  InTransaction = true;
}

void TDataDirectory::CommitTransaction(bool final, bool forceFlush, bool) {
  std::exception_ptr failure;
  try {
    // Every table's write lock is held before any of them writes, so that no reader sees one
    // table committed and another not.
    for (auto it = DataTables.rbegin(); it != DataTables.rend(); ++it) (*it)->BeginCommitTransaction();
    // Every file grows to its final size before any of them is written in place: a full disk
    // fails the commit while all of them are as they were. Tables outside the transaction (one
    // created and not opened has no open files) have nothing to commit.
    for (auto it = DataTables.rbegin(); it != DataTables.rend(); ++it)
      if ((*it)->TransactionInProgress) (*it)->ReserveFileSpace();
    for (auto it = DataTables.rbegin(); it != DataTables.rend(); ++it) (*it)->CommitTransaction(final, forceFlush);
  } catch (...) {
    failure = std::current_exception();
    // What the commit did not write must not stay in the caches: with the transaction over, an
    // eviction would write it later without a lock and without a stamp. The transaction ends.
    for (auto& table : DataTables) {
      try {
        table->DiscardTransactionChanges();
      } catch (...) {
        // The commit's own failure is the one reported.
      }
    }
    final = true;
  }
  for (std::size_t i = DataTables.size(); i-- > 0;) {
    TDataTable* table = DataTables[i].get();
    try {
      table->EndCommitTransaction(final);
      if (table->UseCount == 0 && table->IsOpen && !table->TransactionInProgress) {
        // Kept open only for the transaction: closed now, as its last cursor asked.
        table->UseCount = 1;
        table->CloseTable(true);
      }
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    FreeTableIfUnused(i);
  }
  // A commit that is not final keeps the tables in their transaction.
  if (final) InTransaction = false;
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::RollbackTransaction(bool) {
  std::exception_ptr failure;
  for (std::size_t i = DataTables.size(); i-- > 0;) {
    TDataTable* table = DataTables[i].get();
    try {
      table->RollbackTransaction();
      if (table->UseCount == 0 && table->IsOpen) {
        table->UseCount = 1;
        table->CloseTable(true);
      }
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    FreeTableIfUnused(i);
  }
  InTransaction = false;
  if (failure) std::rethrow_exception(failure);
}

int TDataDirectory::RenameTableFiles(const std::string& name, const std::string& newName, bool toBackup,
                                     bool inMemory) {
  static const char* const kTableExts[] = {kDataFileExt, kIndexFileExt, kBlobFileExt};
  static const char* const kBackupExts[] = {kDataBackupExt, kIndexBackupExt, kBlobBackupExt};
  if (!IsValidTableName(name)) return kAccessDenied;
  std::string target = ConvertSlashes(TrimString(toBackup ? name : newName));
  if (toBackup || (!inMemory && !ContainsDirectory(target))) target = Path + target;
  TFileList& files = GetFileList();
  if (!files.FileExists(GetTableFileName(name, kDataFileExt), inMemory)) return -static_cast<int>(KORVEL_OSENOENT);
  std::string from[3], to[3];
  for (int i = 0; i < 3; ++i) {
    from[i] = GetTableFileName(name, kTableExts[i]);
    to[i] = EnsureFileExt(target, kDataFileExt, toBackup ? kBackupExts[i] : kTableExts[i]);
  }
  // A rename never replaces another table: each of the three new names must be free (a stray
  // index or BLOB file would join the renamed table), unless it is this table's own file under
  // another letter case. A backup is the exception: it replaces the previous backup whole.
  for (int i = 0; i < 3; ++i) {
    if (IsSameFile(from[i], to[i], inMemory) || !files.FileExists(to[i], inMemory)) continue;
    if (!toBackup) return -static_cast<int>(KORVEL_TABLEEXISTS);
    int result = files.DeleteFile(to[i], inMemory);
    if (result < 0) return result;
  }
  bool renamed[3] = {false, false, false};
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && !files.FileExists(from[i], inMemory)) continue;
    int result = files.RenameFile(from[i], inMemory, to[i]);
    if (result < 0) {
      // Half a table under each name is no table: what was renamed goes back.
      for (int j = i - 1; j >= 0; --j)
        if (renamed[j]) files.RenameFile(to[j], inMemory, from[j]);
      return result;
    }
    renamed[i] = true;
  }
  return 0;
}

bool TDataDirectory::IsSameFile(const std::string& a, const std::string& b, bool inMemory) {
  if (inMemory) return SameName(NormalizeFileName(a), NormalizeFileName(b));
  return platform::CanonicalPath(NormalizeFileName(a)) == platform::CanonicalPath(NormalizeFileName(b));
}

int TDataDirectory::DeleteTableFiles(const std::string& name, bool inMemory) {
  if (!IsValidTableName(name)) return kAccessDenied;
  TFileList& files = GetFileList();
  std::string dataFile = GetTableFileName(name, kDataFileExt);
  if (!files.FileExists(dataFile, inMemory)) return -static_cast<int>(KORVEL_OSENOENT);
  int result = files.DeleteFile(dataFile, inMemory);
  if (result < 0) return result;
  for (const char* ext : {kIndexFileExt, kBlobFileExt}) {
    std::string file = GetTableFileName(name, ext);
    if (!files.FileExists(file, inMemory)) continue;
    result = files.DeleteFile(file, inMemory);
    if (result < 0) return result;
  }
  return 0;
}

}  // namespace korvel
