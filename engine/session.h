#pragma once
// The engine session and its data directories.
//
// A TDataSession is the root of the engine state one application session owns: its locking,
// change-detection and buffering settings, the table passwords it knows, the host callbacks and
// the data directories it opened. A TDataDirectory stands for one database: a folder on disk,
// or the process-wide in-memory database "Memory". It maps table names to file names:
//
//   table T in folder P  ->  P + EnsureFileExt(T, ".DAT", X) for X in ".DAT", ".IDX", ".BLB"
//                            (backups: ".DBK", ".IBK", ".BBK")
//
// so customer, customer.dat and CUSTOMER.DAT all name customer.DAT / .IDX / .BLB.
//
// Directory operations return 0 or a negated engine code (-KORVEL_OSEACCES, -KORVEL_OSENOENT);
// their callers raise the positive code with the table and database names.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/string_list.h"
#include "support/errors.h"

namespace korvel {

class TDataSession;
class TDataDirectory;
class TDataTable;
class TDataCursor;
struct TTableStructure;

enum TLockProtocol : std::uint8_t { lpPessimistic = 0, lpOptimistic = 1 };

enum TKORVELDatabaseRight : std::uint8_t {
  drRead = 0,
  drInsert = 1,
  drUpdate = 2,
  drDelete = 3,
  drCreate = 4,
  drAlter = 5,
  drDrop = 6
};

// A host callback: a 32-bit user value and a function that receives it first.
template <typename... Args>
struct THostCallback {
  using TFunction = bool (*)(std::int32_t userData, Args...);
  std::int32_t UserData = 0;
  TFunction Function = nullptr;
  bool IsSet() const { return Function != nullptr; }
};

using TLoginCallback = THostCallback<std::string& /*user*/, std::string& /*password*/>;
using TTraceCallback = THostCallback<const std::string& /*message*/>;
using TGetProcessIDCallback = THostCallback<std::string& /*process id*/>;
using TGetPathCallback = THostCallback<const std::string& /*database*/, std::string& /*path*/>;
using TGetRightsCallback = THostCallback<const std::string& /*database*/, std::uint8_t& /*rights*/>;
using TCheckRightsCallback = THostCallback<TDataDirectory* /*directory*/, TKORVELDatabaseRight>;

// Extension of every table file and of its backup.
inline constexpr const char* kDataFileExt = ".DAT";
inline constexpr const char* kIndexFileExt = ".IDX";
inline constexpr const char* kBlobFileExt = ".BLB";
inline constexpr const char* kDataBackupExt = ".DBK";
inline constexpr const char* kIndexBackupExt = ".IBK";
inline constexpr const char* kBlobBackupExt = ".BBK";
inline constexpr const char* kMemoryDatabaseName = "Memory";

// Longest name or folder the session and its directories accept.
inline constexpr std::size_t kMaxShortString = 255;
// Most openers a directory or a table counts; one more open is refused with KORVEL_OSEMFILE.
inline constexpr std::uint16_t kMaxUseCount = 0xFFFF;

// Whether `name` can name a table: one file inside its database's folder. Refused: a blank
// name, one longer than kMaxShortString, one holding a folder separator ('/' or '\\') or a
// NUL, and the names "." and "..". The directory's table operations answer a refused name with
// -KORVEL_OSEACCES (DataTableExists with false), so that no name reaches a file outside the
// folder or another table's files.
bool IsValidTableName(const std::string& name);

// One database: a folder, or the in-memory database.
class TDataDirectory {
 public:
  explicit TDataDirectory(TDataSession* session);
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;
  ~TDataDirectory();

  void IncUseCount() { ++UseCount; }
  void DecUseCount() {
    if (UseCount > 0) --UseCount;
  }
  // Whether any listed table is open.
  bool GetHasOpenTables() const;
  // The cursors made on this directory, listed only when the session is hosted: the host
  // serves many clients through one session and relies on the directory to free what a client
  // left behind. The list does not own a cursor while it lives; each cursor adds itself when
  // made and removes itself when freed, and the directory frees every cursor still listed when
  // it goes (so a hosted session's cursors are made with new and never owned elsewhere).
  // True when listed (hosted sessions only).
  bool AddDataCursor(TDataCursor* cursor);
  void RemoveDataCursor(TDataCursor* cursor);
  const std::vector<TDataCursor*>& GetDataCursors() const { return DataCursors; }
  // Gives every listed cursor's callbacks the user value `data`.
  void CheckCallbacks(std::int32_t data);

  // The name error messages give the database: Name when remote or hosted, else Path.
  std::string GetProperDataDirectoryName() const;
  // Whether this is the in-memory database.
  bool IsMemoryDatabase() const;

  // The file of table `name` with extension `ext` (".DAT", ".IDX", ...).
  std::string GetTableFileName(const std::string& name, const std::string& ext) const;

  // Whether a listed table or the table's data file exists (on disk, or among the memory files).
  bool DataTableExists(const std::string& name, bool inMemory) const;
  // Names of the tables of the directory, without extension.
  void ListTableNames(TStringList& names) const;
  // A table name (with ".DAT") no table of the directory uses yet: five digits of the thread id
  // followed by a counter.
  std::string GetTempDataTableName(bool inMemory) const;
  // Both names are table names of this directory (newName is unused with toBackup); moving a
  // table's files into another folder is RenameTableFiles' work.
  int RenameDataTable(const std::string& name, const std::string& newName, bool toBackup, bool inMemory);
  int DeleteDataTable(const std::string& name, bool inMemory);

  // The shared tables of this session. All cursors of the session on one table share one
  // TDataTable; it stays listed while open, and while a transaction involves it.
  //
  // OpenDataTable returns -KORVEL_OSEACCES when an opener of this session holds the table in a
  // conflicting (exclusive) way or holds it shared and an exclusive open is asked for, and
  // -KORVEL_OSEMFILE when kMaxUseCount openers hold it; failures of the files raise their
  // engine error, and a table object made for the call is freed again. checkHeaders is for the
  // repair of damaged tables, which opens them without the full header checks; the directory
  // itself does not use it.
  int OpenDataTable(const std::string& name, TDataTable*& table, bool checkHeaders, bool exclusive,
                    bool overrideExclusive, bool inMemory, bool isTemporary, bool isResultSet,
                    bool isSourceTable);
  // Closes once; -KORVEL_OSENOENT for a table this directory does not list.
  int CloseDataTable(TDataTable* table, bool freeTemporary, bool isResultSet, bool isSourceTable);
  // Writes the files of a new table; the table object is left listed and unopened.
  int CreateDataTable(const std::string& name, const TTableStructure& structure, bool isTemporary, bool inMemory,
                      TDataTable*& table);
  // The listed table of that name and kind, or null.
  TDataTable* FindDataTable(const std::string& name, bool inMemory) const;
  std::size_t DataTableCount() const { return DataTables.size(); }

  // Transactions over every listed table: started first to last, committed and rolled back
  // last to first. A table opened later inside the transaction joins it when opened. A commit
  // that fails drops what it had not written from every table's caches and ends the transaction.
  void StartTransaction(bool noRequest = false);
  void CommitTransaction(bool final, bool forceFlush, bool noRequest = false);
  void RollbackTransaction(bool noRequest = false);

  // The file work of renaming and deleting a table that nobody holds open: `name` is a table of
  // this directory (IsValidTableName); the data file must exist; the index and BLOB files go
  // with it when they exist. A rename keeps the new name's
  // folder when it has one (or the table is in memory), else uses this directory's folder; with
  // toBackup the files get the backup extensions under their own name. A rename onto an
  // existing file of the new name is refused with -KORVEL_TABLEEXISTS, except that a backup
  // replaces the previous backup's files; a failure half-way renames the files back.
  int RenameTableFiles(const std::string& name, const std::string& newName, bool toBackup, bool inMemory);
  int DeleteTableFiles(const std::string& name, bool inMemory);

  TDataSession* Session;  // not owned
  std::int32_t RemoteHandle = 0;
  std::string Name;
  std::string Path;
  std::vector<std::unique_ptr<TDataTable>> DataTables;
  std::vector<TDataCursor*> DataCursors;  // hosted sessions only; not owned while they live
  std::uint16_t UseCount = 0;
  bool InTransaction = false;
  std::uint8_t Rights = 0;

 private:
  // Whether two names reach one file: memory files compare as names, disk files by the path
  // they resolve to.
  static bool IsSameFile(const std::string& a, const std::string& b, bool inMemory);
  // Frees the table (listed at `position`) once it is neither open nor in a transaction.
  void FreeTableIfUnused(std::size_t position);
  std::size_t PositionOf(const TDataTable* table) const;
};

// The root of one application session's engine state.
class TDataSession {
 public:
  explicit TDataSession(bool hosted);
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;
  ~TDataSession();

  const bool Hosted;

  void SetPrivateDirectory(const std::string& directory);
  // The private folder, or the current folder when none was set.
  std::string GetPrivateDirectory() const;
  std::uint16_t GetProgressPercent() const { return ProgressSteps == 0 ? 100 : 100 / ProgressSteps; }

  void SetProgress(std::uint16_t steps);
  void SetForceBufferFlush(bool value);
  void SetStrictChangeDetection(bool value);
  void SetLockRetries(std::uint8_t value);
  void SetLockWait(std::uint16_t value);
  void SetLockProtocol(TLockProtocol value);
  // Remote settings change only while not connected; false when refused.
  bool SetIsRemote(bool value);
  bool SetIsLAN(bool value);

  void AddPassword(const std::string& password);
  void DeletePassword(const std::string& password);
  void DeleteAllPasswords();
  bool CheckForPassword(const std::string& password) const;
  const std::vector<std::string>& GetPasswords() const { return Passwords; }

  TDataDirectory* OpenDataDirectory(const std::string& name, const std::string& path, bool noRequest = false);
  void CloseDataDirectory(TDataDirectory* directory, bool noRequest = false);
  bool GetHasOpenDirectories() const { return !DataDirectories.empty(); }
  void FreeDataDirectories();
  std::size_t DirectoryCount() const { return DataDirectories.size(); }

  bool DoLogin(std::string& user, std::string& password);
  void DoTrace(const std::string& message);
  bool DoGetProcessID(std::string& processID);
  bool DoGetPath(const std::string& database, std::string& path);
  bool DoGetRights(const std::string& database, std::uint8_t& rights);
  bool DoCheckRights(TDataDirectory* directory, TKORVELDatabaseRight right);
  // Gives every set callback the user value `data`, then hands it to every directory, which
  // gives it to the callbacks of its cursors.
  void CheckCallbacks(std::int32_t data);

  std::vector<std::unique_ptr<TDataDirectory>> DataDirectories;
  std::string CurrentDirectory;
  std::string PrivateDirectory;
  std::uint16_t ProgressSteps = 20;
  std::vector<std::string> Passwords;
  bool ForceBufferFlush = false;
  bool StrictChangeDetection = false;
  std::uint8_t LockRetries = 15;
  std::uint16_t LockWait = 100;
  TLockProtocol LockProtocol = lpPessimistic;
  bool IsRemote = false;
  bool IsLAN = true;
  bool Connected = false;
  std::string RemoteUser;
  std::string RemotePassword;

  TLoginCallback LoginCallback;
  TTraceCallback TraceCallback;
  TGetProcessIDCallback GetProcessIDCallback;
  TGetPathCallback GetPathCallback;
  TGetRightsCallback GetRightsCallback;
  TCheckRightsCallback CheckRightsCallback;

  // Buffer limits handed to every table the session opens.
  std::int32_t MaxTableDataBufferSize = 16384;
  std::int32_t MaxTableDataBufferCount = 8192;
  std::int32_t MaxTableIndexBufferSize = 16384;
  std::int32_t MaxTableBlobBufferSize = 32768;
  std::int32_t MaxTableBlobBufferCount = 8192;

 private:
  TDataDirectory* FindDirectory(const std::string& folder, bool memory) const;
};

// Engine level. InitializeKORVEL runs once per process (later calls do nothing): it starts the
// support library and makes the default session, which becomes the current one.
void InitializeKORVEL();
// Closes every session still alive (its tables write their cached changes, transactions roll
// back, locks go), frees the default session and shuts the support library down. Sessions
// other than the default one stay allocated, empty, for their starters' CloseDataSession.
void ExitKORVEL();
bool KORVELInitialized();
// The current session; raises KORVEL_NOTINITIALIZED when the engine is not initialised.
TDataSession* GetCurrentDataSession();
void SetCurrentDataSession(TDataSession* session);
void StartDataSession(TDataSession*& session, bool hosted);
// Frees the session and clears the pointer. A freed session that was current (however it was
// freed) hands that role back to the default session.
void CloseDataSession(TDataSession*& session);

}  // namespace korvel
