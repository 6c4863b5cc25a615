#pragma once
// The file layer: one shared file object per file name and process, on disk or in memory, and
// one handle per opener.
//
//   TAbstractFile      one shared file (TPhysicalFile on disk, TMemoryFile in memory); keeps the
//                      handles of its openers, each with its own position, and the byte ranges
//                      locked through it
//   TFileList          the process-wide registry of file objects (GetFileList())
//   TFileHandler       one opener's view of a file; the table file classes derive from it
//
// Invariants:
//   - at most one listed object per file and kind: a disk file is identified by the path its
//     name resolves to (CanonicalPath: exact names first, then names that differ in letter
//     case; "." and ".." and symbolic links resolved), a memory file by its trimmed name,
//     exact first, then without regard to case;
//   - objects belong to the process that listed them: a forked child opens its own;
//   - a disk file object is listed only while it has handles (a failed open unlists it);
//   - a disk file object is freed when its last handle closes; a memory file that is not
//     temporary keeps its bytes until it is deleted or the library unloads;
//   - lock order is list before file: nothing takes the list's section while holding a file's.
//
// TFileList and TAbstractFile never throw: they return 0 or a handle number on success and a
// negated engine error code on failure. TFileHandler raises the engine error instead.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/string_list.h"
#include "platform/critical_section.h"
#include "support/errors.h"
#include "support/lock_list.h"

namespace korvel {

// Progress of a copy: called with the percentage copied so far.
using TCopyProgress = std::function<void(int percent)>;

// One open handle and its own position.
struct THandleEntry {
  std::int32_t Handle;
  std::int64_t Position;
};

// Seek origins.
enum : std::uint16_t { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// One shared file, on disk or in memory.
class TAbstractFile {
 public:
  TAbstractFile() = default;
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;
  virtual ~TAbstractFile() = default;

  // Index of the handle entry with that number, or -1.
  int GetHandlePos(std::int32_t handle) const;
  virtual std::int64_t GetFileSize();
  // Creates or truncates the file and opens a first handle: the handle number or -code.
  virtual std::int32_t CreateNew() = 0;
  // Opens one more handle: the handle number or -code.
  virtual std::int32_t Open() = 0;
  virtual void Close(std::int32_t handle);
  virtual int Rename(const std::string& newName);
  virtual int Delete();
  // Bytes read (fewer at the end of the file), -1 on failure.
  virtual std::int64_t Read(std::int32_t handle, void* buffer, std::int64_t count) = 0;
  // Bytes written, -1 on failure. A write of zero bytes truncates the file at the position.
  virtual std::int64_t Write(std::int32_t handle, const void* buffer, std::int64_t count) = 0;
  virtual bool Flush(std::int32_t handle);
  // The new position of the handle.
  virtual std::int64_t Seek(std::int32_t handle, std::int64_t offset, std::uint16_t origin);
  // Non-blocking: false when any byte of the range is locked by another opener in this process,
  // or by another process (a shared lock: exclusively by another process).
  virtual bool Lock(std::int64_t offset, std::int64_t length, bool shared = false);
  // Removes the lock with exactly this start and length; false if there is none. Wakes the
  // threads of this process that wait for a lock (WaitForLockRelease).
  virtual bool Unlock(std::int64_t offset, std::int64_t length);
  // Allocates the file up to `size` bytes; false when the disk cannot hold them.
  virtual bool ReserveSize(std::int64_t size);
  virtual bool InMemory() const = 0;

  TCriticalSection Section;
  bool Exclusive = false;
  bool ReadOnly = false;
  bool ReadOnlyAttribute = false;
  bool Temporary = false;
  std::string FileName;
  std::string ResolvedName;  // the identity the file list finds the object by
  int OwnerProcess = 0;      // the process that listed it
  std::int64_t FileSize = 0;
  TLockList Locks;
  std::uint16_t OpenCount = 0;
  std::vector<THandleEntry> Handles;
  std::int32_t NextHandleID = 0;

 protected:
  // Gives out the next handle number with position 0.
  std::int32_t AddHandle();
  // Position of a handle, or null for an unknown handle.
  std::int64_t* HandlePosition(std::int32_t handle);
  bool LockInList(std::int64_t offset, std::int64_t length, bool shared);
  bool UnlockInList(std::int64_t offset, std::int64_t length);
};

// A file on disk. All handles share one descriptor; each reads and writes at its own position.
// Locks are held on the descriptor (other processes) and in Locks (other openers in this
// process).
class TPhysicalFile : public TAbstractFile {
 public:
  ~TPhysicalFile() override;
  std::int64_t GetFileSize() override;
  std::int32_t CreateNew() override;
  std::int32_t Open() override;
  void Close(std::int32_t handle) override;
  int Rename(const std::string& newName) override;
  int Delete() override;
  std::int64_t Read(std::int32_t handle, void* buffer, std::int64_t count) override;
  std::int64_t Write(std::int32_t handle, const void* buffer, std::int64_t count) override;
  bool Flush(std::int32_t handle) override;
  std::int64_t Seek(std::int32_t handle, std::int64_t offset, std::uint16_t origin) override;
  bool Lock(std::int64_t offset, std::int64_t length, bool shared = false) override;
  bool Unlock(std::int64_t offset, std::int64_t length) override;
  bool ReserveSize(std::int64_t size) override;
  bool InMemory() const override { return false; }

  int Descriptor() const { return descriptor_; }
  // In a child just forked: the inherited descriptor shares its open-file description, and with
  // it every lock, with the parent. The child gets a descriptor of its own (none for an exclusive
  // file, which the parent keeps to itself); the parent's locks stay listed as Inherited, its
  // temporary file is left to it. Called with the file's section held.
  void DetachFromParent();

 private:
  void CloseDescriptor();
  int descriptor_ = -1;
};

// A file that lives only in this process's memory. The buffer grows in steps of 4,096
// zero-filled bytes and only shrinks to nothing.
class TMemoryFile : public TAbstractFile {
 public:
  std::int32_t CreateNew() override;
  std::int32_t Open() override;
  std::int64_t Read(std::int32_t handle, void* buffer, std::int64_t count) override;
  std::int64_t Write(std::int32_t handle, const void* buffer, std::int64_t count) override;
  bool InMemory() const override { return true; }

  const unsigned char* GetFileBufferPtr() const { return buffer_.get(); }
  std::size_t Capacity() const { return capacity_; }

 private:
  static constexpr std::size_t kGranularity = 4096;
  void Reserve(std::size_t size);
  void ReleaseBuffer();
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t capacity_ = 0;
};

// The process-wide registry of shared file objects.
class TFileList {
 public:
  TFileList() = default;
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;
  ~TFileList();

  std::int32_t CreateFile(const std::string& name, bool inMemory, TAbstractFile*& file, bool temporary);
  std::int32_t OpenFile(const std::string& name, bool inMemory, TAbstractFile*& file,
                        bool& readOnlyAttribute, bool& readOnly, bool exclusive, bool temporary);
  int CloseFile(TAbstractFile* file, bool inMemory, std::int32_t handle);
  int DeleteFile(const std::string& name, bool inMemory);
  int RenameFile(const std::string& oldName, bool inMemory, const std::string& newName);
  bool FileExists(const std::string& name, bool inMemory);
  // Bare names of the files matching the pattern ("dir/*.DAT"), ordinary files only.
  void GetFileNames(bool inMemory, const std::string& pattern, bool withExtension, TStringList& list);
  // A compressed copy (compress set) is written as frames of compressed 65,536-byte chunks;
  // CopyFromFile with compress set reads such a copy back.
  int CopyToFile(TAbstractFile* source, std::int32_t handle, bool compress, const std::string& destName,
                 bool destInMemory, const TCopyProgress& progress, int step);
  int CopyFromFile(TAbstractFile* destination, std::int32_t handle, bool compress,
                   const std::string& sourceName, bool sourceInMemory, const TCopyProgress& progress,
                   int step);
  // Number of listed file objects (for tests and statistics).
  std::size_t Count();
  // Fork handlers: the list and every file are held across the fork, so that the child starts
  // with consistent objects; the child's disk files then detach from the parent's descriptors.
  void PrepareFork();
  void ParentAfterFork();
  void ChildAfterFork();

 private:
  // The identity of a name: CanonicalPath for disk files, the trimmed name for memory files.
  static std::string Identity(const std::string& name, bool inMemory);
  TAbstractFile* Find(const std::string& identity, bool inMemory) const;
  // Unlists a disk file object that was listed for an open that failed.
  void DropIfUnused(TAbstractFile* file);
  int IndexOf(const TAbstractFile* file) const;
  TAbstractFile* Add(const std::string& name, const std::string& identity, bool inMemory);
  void Remove(TAbstractFile* file);
  enum TCopyMode { cmPlain, cmCompress, cmDecompress };
  static int CopyChunks(TAbstractFile* source, std::int32_t sourceHandle, TAbstractFile* dest,
                        std::int32_t destHandle, TCopyMode mode, const TCopyProgress& progress, int step);

  TCriticalSection section_;
  std::vector<std::unique_ptr<TAbstractFile>> files_;
};

// The single file list of the process; made on first use. A forked child's disk files detach
// from the parent's descriptors (TPhysicalFile::DetachFromParent) as the child starts.
TFileList& GetFileList();

// Waiting for locks inside this process: a thread whose lock attempt was refused sleeps in
// WaitForLockRelease, which returns early when any opener of this process releases a lock.
// `generation` is LockReleaseGeneration() read before the refused attempt.
std::uint64_t LockReleaseGeneration();
void WaitForLockRelease(std::uint64_t generation, std::int64_t microseconds);
void InitializeSupportFunctions();
// Frees the file list and every file object still listed.
void ExitSupportFunctions();

void ListFiles(TStringList& list, const std::string& pattern, bool inMemory, bool withExtension);
bool FileNameExists(const std::string& name, bool inMemory);

// Names given by applications: trimmed, '\' read as '/'.
std::string NormalizeFileName(const std::string& name);

// One opener's view of a shared file. Failures raise the engine error with FileName as the
// table name.
class TFileHandler {
 public:
  TFileHandler() = default;
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;
  virtual ~TFileHandler();

  virtual void OpenFile();
  virtual void CloseFile();
  virtual void CreateFile();
  virtual void DeleteFile();
  virtual void RenameFile(const std::string& newName);
  virtual void CopyToFile(bool compress, const std::string& destName, bool destInMemory,
                          const TCopyProgress& progress = {}, int step = 0);
  virtual void CopyFromFile(bool compress, const std::string& sourceName, bool sourceInMemory,
                            const TCopyProgress& progress = {}, int step = 0);
  // Reads count bytes at the position; a short read raises KORVEL_READERR unless allowShort,
  // in which case the raw result (possibly short, or -1) is returned.
  virtual std::int64_t Read(void* buffer, std::int64_t count, bool allowShort = false);
  virtual void Write(const void* buffer, std::int64_t count);
  virtual void Flush();

  bool LockRegion(std::int64_t offset, std::int64_t length, bool lock);
  // A shared lock of the range (see TAbstractFile::Lock).
  bool LockRegionShared(std::int64_t offset, std::int64_t length);
  // Allocates the file up to `size` bytes; a full disk raises KORVEL_WRITEERR before anything
  // is written.
  void ReserveSize(std::int64_t size);
  std::int64_t Seek(std::int64_t offset, std::uint16_t origin);
  std::int64_t GetPos();
  std::int64_t GetSize();
  void SetIsOpen(bool value);
  bool Exists();
  void LockFileHandler();
  void UnlockFileHandler();

  // Seek and read or write as one step with respect to other threads.
  std::int64_t ReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool allowShort = false);
  void WriteAt(std::int64_t offset, const void* buffer, std::int64_t count);

  bool InMemory = false;
  TAbstractFile* File = nullptr;  // not owned
  std::string FileName;
  std::int32_t Handle = 0;
  bool Exclusive = false;
  bool ReadOnly = false;
  bool ReadOnlyAttribute = false;
  bool IsOpen = false;
  bool Temporary = false;

 protected:
  [[noreturn]] void Raise(TErrorCode code) const;
};

}  // namespace korvel
