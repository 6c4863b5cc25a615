#include "support/files.h"

#include <errno.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/posix_file.h"
#include "support/compression.h"
#include "support/match_string.h"
#include "support/os_errors.h"
#include "support/path_helpers.h"

namespace korvel {

namespace {
constexpr std::size_t kCopyChunkSize = 65536;

int NegatedLastOSError() { return -static_cast<int>(OSLastNativeError()); }

// Threads of this process waiting for a lock; every release advances the generation and wakes
// them. The waiter count keeps a release cheap when nobody waits.
struct TLockReleaseSignal {
  std::mutex Mutex;
  std::condition_variable Released;
  std::atomic<std::uint64_t> Generation{0};
  std::atomic<int> Waiters{0};
};

TLockReleaseSignal& LockReleaseSignal() {
  static TLockReleaseSignal* signal = new TLockReleaseSignal();  // never freed: used at exit too
  return *signal;
}

void SignalLockRelease() {
  TLockReleaseSignal& signal = LockReleaseSignal();
  signal.Generation.fetch_add(1, std::memory_order_release);
  if (signal.Waiters.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> guard(signal.Mutex);
  signal.Released.notify_all();
}
}  // namespace

std::uint64_t LockReleaseGeneration() { return LockReleaseSignal().Generation.load(std::memory_order_acquire); }

void WaitForLockRelease(std::uint64_t generation, std::int64_t microseconds) {
  TLockReleaseSignal& signal = LockReleaseSignal();
  std::unique_lock<std::mutex> lock(signal.Mutex);
  signal.Waiters.fetch_add(1, std::memory_order_acq_rel);
  signal.Released.wait_for(lock, std::chrono::microseconds(microseconds), [&] {
    return signal.Generation.load(std::memory_order_acquire) != generation;
  });
  signal.Waiters.fetch_sub(1, std::memory_order_acq_rel);
}

std::string NormalizeFileName(const std::string& name) {
  return platform::NormalizeSeparators(TrimString(name));
}

// ---------------------------------------------------------------------------------------------
// TAbstractFile: handles, positions and the in-process lock list common to both kinds.

int TAbstractFile::GetHandlePos(std::int32_t handle) const {
  for (std::size_t i = 0; i < Handles.size(); ++i)
    if (Handles[i].Handle == handle) return static_cast<int>(i);
  return -1;
}

std::int64_t TAbstractFile::GetFileSize() {
  TCriticalSectionGuard guard(Section);
  return FileSize;
}

std::int32_t TAbstractFile::AddHandle() {
  ++OpenCount;
  ++NextHandleID;
  Handles.push_back(THandleEntry{NextHandleID, 0});
  return NextHandleID;
}

std::int64_t* TAbstractFile::HandlePosition(std::int32_t handle) {
  int pos = GetHandlePos(handle);
  return pos < 0 ? nullptr : &Handles[static_cast<std::size_t>(pos)].Position;
}

void TAbstractFile::Close(std::int32_t handle) {
  TCriticalSectionGuard guard(Section);
  int pos = GetHandlePos(handle);
  if (pos < 0) return;
  Handles.erase(Handles.begin() + pos);
  if (OpenCount > 0) --OpenCount;
}

int TAbstractFile::Rename(const std::string& newName) {
  TCriticalSectionGuard guard(Section);
  FileName = newName;
  return 0;
}

int TAbstractFile::Delete() { return 0; }

bool TAbstractFile::Flush(std::int32_t) { return true; }

std::int64_t TAbstractFile::Seek(std::int32_t handle, std::int64_t offset, std::uint16_t origin) {
  TCriticalSectionGuard guard(Section);
  std::int64_t* position = HandlePosition(handle);
  if (position == nullptr) return -1;
  switch (origin) {
    case soFromBeginning: *position = offset; break;
    case soFromCurrent: *position += offset; break;
    case soFromEnd: *position = FileSize - offset; break;
    default: break;
  }
  return *position;
}

bool TAbstractFile::LockInList(std::int64_t offset, std::int64_t length, bool shared) {
  return Locks.Add(offset, length, shared);
}

bool TAbstractFile::UnlockInList(std::int64_t offset, std::int64_t length) { return Locks.Remove(offset, length); }

bool TAbstractFile::Lock(std::int64_t offset, std::int64_t length, bool shared) {
  TCriticalSectionGuard guard(Section);
  return LockInList(offset, length, shared);
}

bool TAbstractFile::Unlock(std::int64_t offset, std::int64_t length) {
  bool released;
  {
    TCriticalSectionGuard guard(Section);
    released = UnlockInList(offset, length);
  }
  if (released) SignalLockRelease();
  return released;
}

bool TAbstractFile::ReserveSize(std::int64_t) { return true; }  // memory grows as it is written

// ---------------------------------------------------------------------------------------------
// TPhysicalFile

TPhysicalFile::~TPhysicalFile() { CloseDescriptor(); }

void TPhysicalFile::CloseDescriptor() {
  if (descriptor_ < 0) return;
  platform::CloseDescriptor(descriptor_);
  descriptor_ = -1;
  Locks.clear();  // every lock of the descriptor went with it
  if (Temporary) platform::DeletePath(FileName);
}

std::int64_t TPhysicalFile::GetFileSize() {
  TCriticalSectionGuard guard(Section);
  if (descriptor_ < 0) return 0;
  std::int64_t size = platform::DescriptorSize(descriptor_);
  if (size >= 0) FileSize = size;
  return size;
}

std::int32_t TPhysicalFile::CreateNew() {
  TCriticalSectionGuard guard(Section);
  CloseDescriptor();
  int fd = platform::CreateDescriptor(FileName);
  if (fd < 0) return NegatedLastOSError();
  descriptor_ = fd;
  ReadOnly = false;
  ReadOnlyAttribute = false;
  FileSize = 0;
  return AddHandle();
}

std::int32_t TPhysicalFile::Open() {
  TCriticalSectionGuard guard(Section);
  if (OpenCount == 0) {
    ReadOnlyAttribute = false;
    ReadOnly = false;
    platform::TFileStatus status;
    if (!platform::StatPath(FileName, status)) return NegatedLastOSError();
    if (status.IsDirectory) return -static_cast<int>(KORVEL_OSEACCES);
    if (status.ReadOnlyAttribute) ReadOnly = ReadOnlyAttribute = true;
    platform::TFileAccess access = ReadOnly ? platform::faRead : platform::faReadWrite;
    int fd = platform::OpenDescriptor(FileName, access, Exclusive);
    if (fd < 0 && !ReadOnly) {
      int error = platform::LastOSError();
      if (error == EACCES || error == EPERM || error == EROFS) {
        fd = platform::OpenDescriptor(FileName, platform::faRead, Exclusive);
        if (fd >= 0) ReadOnly = true;
      }
    }
    if (fd < 0) return NegatedLastOSError();
    descriptor_ = fd;
  }
  return AddHandle();
}

void TPhysicalFile::Close(std::int32_t handle) {
  TCriticalSectionGuard guard(Section);
  TAbstractFile::Close(handle);
  if (OpenCount == 0) CloseDescriptor();
}

// Both refuse (11013) while the file is open anywhere, and a rename never replaces another file.
int TPhysicalFile::Rename(const std::string& newName) {
  TCriticalSectionGuard guard(Section);
  if (!platform::RenameUnlessInUse(FileName, newName)) return NegatedLastOSError();
  FileName = newName;
  ResolvedName = platform::CanonicalPath(newName);
  return 0;
}

int TPhysicalFile::Delete() {
  TCriticalSectionGuard guard(Section);
  if (!platform::DeleteUnlessInUse(FileName)) return NegatedLastOSError();
  return 0;
}

std::int64_t TPhysicalFile::Read(std::int32_t handle, void* buffer, std::int64_t count) {
  TCriticalSectionGuard guard(Section);
  std::int64_t* position = HandlePosition(handle);
  if (position == nullptr || descriptor_ < 0 || count < 0) {
    platform::SetLastOSError(EBADF);
    return -1;
  }
  std::int64_t n = platform::ReadAt(descriptor_, buffer, static_cast<std::size_t>(count), *position);
  if (n > 0) *position += n;
  return n;
}

std::int64_t TPhysicalFile::Write(std::int32_t handle, const void* buffer, std::int64_t count) {
  TCriticalSectionGuard guard(Section);
  std::int64_t* position = HandlePosition(handle);
  if (position == nullptr || descriptor_ < 0 || count < 0) {
    platform::SetLastOSError(EBADF);
    return -1;
  }
  if (count == 0) return platform::TruncateDescriptor(descriptor_, *position) ? 0 : -1;
  std::int64_t n = platform::WriteAt(descriptor_, buffer, static_cast<std::size_t>(count), *position);
  if (n > 0) *position += n;
  return n;
}

bool TPhysicalFile::Flush(std::int32_t) {
  TCriticalSectionGuard guard(Section);
  return descriptor_ >= 0 && platform::SyncDescriptor(descriptor_);
}

std::int64_t TPhysicalFile::Seek(std::int32_t handle, std::int64_t offset, std::uint16_t origin) {
  TCriticalSectionGuard guard(Section);
  std::int64_t* position = HandlePosition(handle);
  if (position == nullptr) return -1;
  switch (origin) {
    case soFromBeginning: *position = offset; break;
    case soFromCurrent: *position += offset; break;
    case soFromEnd: {
      std::int64_t size = GetFileSize();
      if (size < 0) return -1;
      *position = size + offset;
      break;
    }
    default: break;
  }
  return *position;
}

bool TPhysicalFile::Lock(std::int64_t offset, std::int64_t length, bool shared) {
  TCriticalSectionGuard guard(Section);
  if (descriptor_ < 0 || length <= 0 || Locks.Overlaps(offset, length)) return false;
  bool locked = shared ? platform::TryLockRangeShared(descriptor_, offset, length)
                       : platform::TryLockRange(descriptor_, offset, length);
  if (!locked) return false;
  Locks.Add(offset, length, shared);
  return true;
}

bool TPhysicalFile::Unlock(std::int64_t offset, std::int64_t length) {
  bool released;
  {
    TCriticalSectionGuard guard(Section);
    const TLockEntry* entry = Locks.Find(offset, length);
    if (entry == nullptr) return false;
    bool inherited = entry->Inherited;
    Locks.Remove(offset, length);
    // An inherited lock is the parent's: this process only stops counting it as held.
    released = inherited || (descriptor_ >= 0 && platform::UnlockRange(descriptor_, offset, length));
  }
  if (released) SignalLockRelease();
  return released;
}

bool TPhysicalFile::ReserveSize(std::int64_t size) {
  TCriticalSectionGuard guard(Section);
  if (descriptor_ < 0) {
    platform::SetLastOSError(EBADF);
    return false;
  }
  return platform::ReserveSize(descriptor_, size);
}

void TPhysicalFile::DetachFromParent() {
  for (TLockEntry& e : Locks) e.Inherited = true;
  if (descriptor_ < 0) return;
  // Closing the inherited descriptor leaves the parent's open-file description, and its locks,
  // alone: the parent still refers to it.
  platform::CloseDescriptor(descriptor_);
  descriptor_ = -1;
  bool temporary = Temporary;
  Temporary = false;  // the parent deletes its temporary file, not the child
  if (Exclusive || temporary) return;
  descriptor_ = platform::OpenDescriptor(FileName, ReadOnly ? platform::faRead : platform::faReadWrite, false);
}

// ---------------------------------------------------------------------------------------------
// TMemoryFile

void TMemoryFile::ReleaseBuffer() {
  buffer_.reset();
  capacity_ = 0;
}

void TMemoryFile::Reserve(std::size_t size) {
  if (size <= capacity_) return;
  std::size_t capacity = (size + kGranularity - 1) / kGranularity * kGranularity;
  std::unique_ptr<unsigned char[]> grown(new unsigned char[capacity]);
  if (capacity_ > 0) std::memcpy(grown.get(), buffer_.get(), capacity_);
  std::memset(grown.get() + capacity_, 0, capacity - capacity_);
  buffer_ = std::move(grown);
  capacity_ = capacity;
}

std::int32_t TMemoryFile::CreateNew() {
  TCriticalSectionGuard guard(Section);
  ReleaseBuffer();
  FileSize = 0;
  ReadOnly = false;
  ReadOnlyAttribute = false;
  return AddHandle();
}

std::int32_t TMemoryFile::Open() {
  TCriticalSectionGuard guard(Section);
  return AddHandle();
}

std::int64_t TMemoryFile::Read(std::int32_t handle, void* buffer, std::int64_t count) {
  TCriticalSectionGuard guard(Section);
  std::int64_t* position = HandlePosition(handle);
  if (position == nullptr || count < 0) return -1;
  if (*position < 0 || *position >= FileSize) return 0;
  std::int64_t n = std::min(count, FileSize - *position);
  std::memcpy(buffer, buffer_.get() + *position, static_cast<std::size_t>(n));
  *position += n;
  return n;
}

std::int64_t TMemoryFile::Write(std::int32_t handle, const void* buffer, std::int64_t count) {
  TCriticalSectionGuard guard(Section);
  std::int64_t* position = HandlePosition(handle);
  if (position == nullptr || count < 0 || *position < 0) return -1;
  if (count == 0) {
    // The new end may lie past the old one: the buffer must hold the whole size, the gap
    // reading as zeros (as a disk file's does).
    FileSize = *position;
    if (FileSize == 0) {
      ReleaseBuffer();
    } else if (static_cast<std::size_t>(FileSize) > capacity_) {
      Reserve(static_cast<std::size_t>(FileSize));
    } else {
      // Bytes past the new end read back as zeros if the file grows again.
      std::memset(buffer_.get() + FileSize, 0, capacity_ - static_cast<std::size_t>(FileSize));
    }
    return 0;
  }
  std::int64_t end = *position + count;
  Reserve(static_cast<std::size_t>(end));
  std::memcpy(buffer_.get() + *position, buffer, static_cast<std::size_t>(count));
  if (end > FileSize) FileSize = end;
  *position = end;
  return count;
}

// ---------------------------------------------------------------------------------------------
// TFileList

namespace {
std::mutex& FileListGuard() {
  static std::mutex m;
  return m;
}
TFileList*& FileListInstance() {
  static TFileList* list = nullptr;
  return list;
}
}  // namespace

TFileList& GetFileList() {
  std::lock_guard<std::mutex> guard(FileListGuard());
  TFileList*& list = FileListInstance();
  if (list == nullptr) {
    list = new TFileList();
    static std::once_flag forkHandlers;
    std::call_once(forkHandlers, [] {
      // The guard is held across the fork too: no list is made or freed half-way.
      pthread_atfork(
          [] {
            FileListGuard().lock();
            if (TFileList* l = FileListInstance()) l->PrepareFork();
          },
          [] {
            if (TFileList* l = FileListInstance()) l->ParentAfterFork();
            FileListGuard().unlock();
          },
          [] {
            if (TFileList* l = FileListInstance()) l->ChildAfterFork();
            FileListGuard().unlock();
          });
    });
  }
  return *list;
}

void TFileList::PrepareFork() {
  section_.lock();
  for (auto& file : files_) file->Section.lock();
}

void TFileList::ParentAfterFork() {
  for (auto it = files_.rbegin(); it != files_.rend(); ++it) (*it)->Section.unlock();
  section_.unlock();
}

void TFileList::ChildAfterFork() {
  for (auto& file : files_)
    if (!file->InMemory()) static_cast<TPhysicalFile*>(file.get())->DetachFromParent();
  // The sections were taken by the parent's thread; the child's thread has another id and cannot
  // leave them, so they start afresh (the child has no other thread that could hold them).
  for (auto& file : files_) new (&file->Section) TCriticalSection();
  new (&section_) TCriticalSection();
}

void InitializeSupportFunctions() { GetFileList(); }

void ExitSupportFunctions() {
  std::lock_guard<std::mutex> guard(FileListGuard());
  delete FileListInstance();
  FileListInstance() = nullptr;
}

TFileList::~TFileList() {
  TCriticalSectionGuard guard(section_);
  files_.clear();
}

std::size_t TFileList::Count() {
  TCriticalSectionGuard guard(section_);
  return files_.size();
}

std::string TFileList::Identity(const std::string& name, bool inMemory) {
  return inMemory ? name : platform::CanonicalPath(name);
}

TAbstractFile* TFileList::Find(const std::string& identity, bool inMemory) const {
  const int self = static_cast<int>(getpid());
  TAbstractFile* caseless = nullptr;
  for (const auto& f : files_) {
    if (f->InMemory() != inMemory || f->OwnerProcess != self) continue;
    if (f->ResolvedName == identity) return f.get();
    // Disk names were resolved against the folder already; two disk files whose names differ
    // only in letter case are two files.
    if (inMemory && caseless == nullptr && SameName(f->ResolvedName, identity)) caseless = f.get();
  }
  return caseless;
}

int TFileList::IndexOf(const TAbstractFile* file) const {
  for (std::size_t i = 0; i < files_.size(); ++i)
    if (files_[i].get() == file) return static_cast<int>(i);
  return -1;
}

TAbstractFile* TFileList::Add(const std::string& name, const std::string& identity, bool inMemory) {
  std::unique_ptr<TAbstractFile> file;
  if (inMemory)
    file = std::make_unique<TMemoryFile>();
  else
    file = std::make_unique<TPhysicalFile>();
  file->FileName = name;
  file->ResolvedName = identity;
  file->OwnerProcess = static_cast<int>(getpid());
  files_.push_back(std::move(file));
  return files_.back().get();
}

void TFileList::Remove(TAbstractFile* file) {
  int i = IndexOf(file);
  if (i >= 0) files_.erase(files_.begin() + i);
}

void TFileList::DropIfUnused(TAbstractFile* file) {
  if (file != nullptr && !file->InMemory() && file->OpenCount == 0) Remove(file);
}

std::int32_t TFileList::CreateFile(const std::string& rawName, bool inMemory, TAbstractFile*& file,
                                   bool temporary) {
  TCriticalSectionGuard guard(section_);
  std::string name = NormalizeFileName(rawName);
  std::string identity = Identity(name, inMemory);
  file = Find(identity, inMemory);
  if (file != nullptr && file->OpenCount > 0) return -static_cast<int>(KORVEL_OSEACCES);
  if (file == nullptr) file = Add(name, identity, inMemory);
  std::int32_t result;
  {
    TCriticalSectionGuard fileGuard(file->Section);
    file->Exclusive = true;
    file->Temporary = temporary;
    result = file->CreateNew();
  }
  if (result < 0) {
    DropIfUnused(file);
    file = nullptr;
  }
  return result;
}

std::int32_t TFileList::OpenFile(const std::string& rawName, bool inMemory, TAbstractFile*& file,
                                 bool& readOnlyAttribute, bool& readOnly, bool exclusive,
                                 bool temporary) {
  TCriticalSectionGuard guard(section_);
  std::string name = NormalizeFileName(rawName);
  std::string identity = Identity(name, inMemory);
  file = Find(identity, inMemory);
  std::int32_t result;
  if (file != nullptr && file->OpenCount > 0) {
    if (file->Exclusive || exclusive) return -static_cast<int>(KORVEL_OSEACCES);
    result = file->Open();
  } else {
    if (file == nullptr) {
      if (inMemory) return -static_cast<int>(KORVEL_OSENOENT);
      file = Add(name, identity, inMemory);
    }
    TCriticalSectionGuard fileGuard(file->Section);
    file->Exclusive = exclusive;
    file->Temporary = temporary;
    result = file->Open();
  }
  if (result > 0) {
    readOnlyAttribute = file->ReadOnlyAttribute;
    readOnly = file->ReadOnly;
  } else {
    // A disk file that could not be opened is not listed: it would otherwise pass for an
    // existing file.
    DropIfUnused(file);
    file = nullptr;
  }
  return result;
}

int TFileList::CloseFile(TAbstractFile* file, bool inMemory, std::int32_t handle) {
  TCriticalSectionGuard guard(section_);
  if (file == nullptr || IndexOf(file) < 0 || file->OpenCount == 0)
    return -static_cast<int>(KORVEL_OSENOENT);
  file->Close(handle);
  if (file->OpenCount == 0) {
    // A memory file that is not temporary keeps its contents for the next opener.
    if (!inMemory || file->Temporary) Remove(file);
  }
  return 0;
}

int TFileList::DeleteFile(const std::string& rawName, bool inMemory) {
  TCriticalSectionGuard guard(section_);
  std::string name = NormalizeFileName(rawName);
  TAbstractFile* file = Find(Identity(name, inMemory), inMemory);
  if (file != nullptr) {
    if (file->OpenCount > 0) return -static_cast<int>(KORVEL_OSEACCES);
    int result = file->Delete();
    if (result == 0 || !inMemory) Remove(file);
    return result;
  }
  if (inMemory) return -static_cast<int>(KORVEL_OSENOENT);
  // Refused while any opener, here or in another process, holds the file.
  TPhysicalFile unlisted;
  unlisted.FileName = name;
  return unlisted.Delete();
}

int TFileList::RenameFile(const std::string& rawOldName, bool inMemory, const std::string& rawNewName) {
  TCriticalSectionGuard guard(section_);
  std::string oldName = NormalizeFileName(rawOldName);
  std::string newName = NormalizeFileName(rawNewName);
  TAbstractFile* file = Find(Identity(oldName, inMemory), inMemory);
  if (file != nullptr && file->OpenCount > 0) return -static_cast<int>(KORVEL_OSEACCES);
  if (inMemory) {
    if (file == nullptr) return -static_cast<int>(KORVEL_OSENOENT);
    // A rename never replaces another file; one that changes only the letter case renames.
    TAbstractFile* taken = Find(newName, true);
    if (taken != nullptr && taken != file) return -static_cast<int>(KORVEL_OSEACCES);
    file->ResolvedName = newName;
    return file->Rename(newName);
  }
  // A disk file listed here is open (objects without handles are not kept); the rename is
  // refused while anyone holds the file and never replaces another one.
  if (file != nullptr) Remove(file);
  TPhysicalFile unlisted;
  unlisted.FileName = oldName;
  return unlisted.Rename(newName);
}

bool TFileList::FileExists(const std::string& rawName, bool inMemory) {
  TCriticalSectionGuard guard(section_);
  std::string name = NormalizeFileName(rawName);
  TAbstractFile* file = Find(Identity(name, inMemory), inMemory);
  if (inMemory) return file != nullptr;
  if (file != nullptr && file->OpenCount > 0) return true;
  platform::TFileStatus status;
  return platform::StatPath(name, status) && !status.IsDirectory;
}

namespace {
std::string WithoutExtension(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}
}  // namespace

void TFileList::GetFileNames(bool inMemory, const std::string& rawPattern, bool withExtension,
                             TStringList& list) {
  TCriticalSectionGuard guard(section_);
  list.Clear();
  std::string pattern = NormalizeFileName(rawPattern);
  std::string directory, namePattern;
  platform::SplitPath(pattern, directory, namePattern);
  if (inMemory) {
    for (const auto& f : files_) {
      if (!f->InMemory()) continue;
      std::string fileDirectory, name;
      platform::SplitPath(f->FileName, fileDirectory, name);
      if (!SameName(fileDirectory, directory) || !MatchString(name, namePattern)) continue;
      list.Add(withExtension ? name : WithoutExtension(name));
    }
    return;
  }
  std::vector<platform::TDirectoryEntry> entries;
  if (!platform::ListDirectory(directory, entries)) return;
  for (const platform::TDirectoryEntry& e : entries) {
    if (!e.IsRegular || !MatchString(e.Name, namePattern)) continue;
    list.Add(withExtension ? e.Name : WithoutExtension(e.Name));
  }
}

namespace {

// Reports copy progress every `step` percent and always ends with 100.
class TCopyProgressReporter {
 public:
  TCopyProgressReporter(const TCopyProgress& progress, int step, std::int64_t size)
      : progress_(progress), step_(step), size_(size) {}
  void Add(std::int64_t bytes) {
    if (!progress_) return;
    total_ += bytes;
    int percent = size_ > 0 ? static_cast<int>(total_ * 100 / size_) : 100;
    if (percent >= last_ + step_) {
      progress_(percent);
      last_ = percent;
    }
  }
  void Finish() {
    if (progress_ && last_ < 100) progress_(100);
  }

 private:
  const TCopyProgress& progress_;
  int step_;
  std::int64_t size_;
  std::int64_t total_ = 0;
  int last_ = 0;
};

// A compressed copy is a sequence of frames, one per 65,536-byte chunk of the original: the
// compressed length (4 bytes, little-endian) followed by the chunk as CompressBuffer gives it.
constexpr std::size_t kFrameHeaderSize = 4;

bool WriteAll(TAbstractFile* file, std::int32_t handle, const void* data, std::size_t n) {
  return file->Write(handle, data, static_cast<std::int64_t>(n)) == static_cast<std::int64_t>(n);
}

}  // namespace

int TFileList::CopyChunks(TAbstractFile* source, std::int32_t sourceHandle, TAbstractFile* dest,
                          std::int32_t destHandle, TCopyMode mode, const TCopyProgress& progress, int step) {
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kCopyChunkSize]);
  std::int64_t size = source->Seek(sourceHandle, 0, soFromEnd);
  source->Seek(sourceHandle, 0, soFromBeginning);
  TCopyProgressReporter reporter(progress, step, size);
  try {
    for (;;) {
      if (mode == cmDecompress) {
        unsigned char frame[kFrameHeaderSize];
        std::int64_t n = source->Read(sourceHandle, frame, kFrameHeaderSize);
        if (n == 0) break;
        if (n != static_cast<std::int64_t>(kFrameHeaderSize)) return -static_cast<int>(KORVEL_UNCOMPRESS);
        std::uint32_t length = static_cast<std::uint32_t>(frame[0]) | (static_cast<std::uint32_t>(frame[1]) << 8) |
                               (static_cast<std::uint32_t>(frame[2]) << 16) | (static_cast<std::uint32_t>(frame[3]) << 24);
        if (length == 0 || static_cast<std::int64_t>(length) > size) return -static_cast<int>(KORVEL_UNCOMPRESS);
        std::vector<unsigned char> packed(length);
        if (source->Read(sourceHandle, packed.data(), length) != static_cast<std::int64_t>(length))
          return -static_cast<int>(KORVEL_UNCOMPRESS);
        std::vector<unsigned char> chunk = DecompressBuffer(packed.data(), packed.size());
        if (!WriteAll(dest, destHandle, chunk.data(), chunk.size())) return -static_cast<int>(KORVEL_WRITEERR);
        reporter.Add(static_cast<std::int64_t>(kFrameHeaderSize + length));
        continue;
      }
      std::int64_t n = source->Read(sourceHandle, buffer.get(), kCopyChunkSize);
      if (n < 0) return -static_cast<int>(KORVEL_READERR);
      if (n > 0) {
        if (mode == cmCompress) {
          std::vector<unsigned char> packed = CompressBuffer(buffer.get(), static_cast<std::size_t>(n));
          std::uint32_t length = static_cast<std::uint32_t>(packed.size());
          unsigned char frame[kFrameHeaderSize] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                                   static_cast<unsigned char>(length >> 16),
                                                   static_cast<unsigned char>(length >> 24)};
          if (!WriteAll(dest, destHandle, frame, kFrameHeaderSize) ||
              !WriteAll(dest, destHandle, packed.data(), packed.size()))
            return -static_cast<int>(KORVEL_WRITEERR);
        } else if (!WriteAll(dest, destHandle, buffer.get(), static_cast<std::size_t>(n))) {
          return -static_cast<int>(KORVEL_WRITEERR);
        }
        reporter.Add(n);
      }
      if (n < static_cast<std::int64_t>(kCopyChunkSize)) break;
    }
  } catch (const EKORVELEngineError& e) {
    return -static_cast<int>(e.ErrorCode);  // the list reports failures, it does not raise
  }
  reporter.Finish();
  return 0;
}

int TFileList::CopyToFile(TAbstractFile* source, std::int32_t handle, bool compress,
                          const std::string& destName, bool destInMemory,
                          const TCopyProgress& progress, int step) {
  TCriticalSectionGuard guard(section_);
  TAbstractFile* dest = nullptr;
  std::int32_t destHandle = CreateFile(destName, destInMemory, dest, false);
  if (destHandle < 0) return destHandle;
  int result = CopyChunks(source, handle, dest, destHandle, compress ? cmCompress : cmPlain, progress, step);
  CloseFile(dest, destInMemory, destHandle);
  return result;
}

int TFileList::CopyFromFile(TAbstractFile* destination, std::int32_t handle, bool compress,
                            const std::string& sourceName, bool sourceInMemory,
                            const TCopyProgress& progress, int step) {
  TCriticalSectionGuard guard(section_);
  TAbstractFile* source = nullptr;
  bool readOnlyAttribute = false, readOnly = false;
  std::int32_t sourceHandle =
      OpenFile(sourceName, sourceInMemory, source, readOnlyAttribute, readOnly, false, false);
  if (sourceHandle < 0) return sourceHandle;
  // The destination becomes an exact copy: written from its start and cut at the copy's end,
  // so no tail of its old contents survives.
  destination->Seek(handle, 0, soFromBeginning);
  int result = CopyChunks(source, sourceHandle, destination, handle, compress ? cmDecompress : cmPlain, progress, step);
  if (result == 0 && destination->Write(handle, nullptr, 0) != 0) result = -static_cast<int>(KORVEL_WRITEERR);
  CloseFile(source, sourceInMemory, sourceHandle);
  return result;
}

void ListFiles(TStringList& list, const std::string& pattern, bool inMemory, bool withExtension) {
  GetFileList().GetFileNames(inMemory, pattern, withExtension, list);
}

bool FileNameExists(const std::string& name, bool inMemory) {
  return GetFileList().FileExists(name, inMemory);
}

// ---------------------------------------------------------------------------------------------
// TFileHandler

TFileHandler::~TFileHandler() {
  if (IsOpen) {
    try {
      CloseFile();
    } catch (...) {
      // A destructor cannot report; the file list has released the handle regardless.
    }
  }
}

void TFileHandler::Raise(TErrorCode code) const { RaiseError(code, "", "", "", FileName); }

void TFileHandler::OpenFile() {
  if (IsOpen) return;
  if (!GetFileList().FileExists(FileName, InMemory)) Raise(KORVEL_OSENOENT);
  ReadOnlyAttribute = false;
  bool readOnly = false;
  std::int32_t result =
      GetFileList().OpenFile(FileName, InMemory, File, ReadOnlyAttribute, readOnly, Exclusive, Temporary);
  if (result < 0) {
    File = nullptr;
    Handle = 0;
    Raise(static_cast<TErrorCode>(-result));
  }
  Handle = result;
  ReadOnly = readOnly;
  IsOpen = true;
}

void TFileHandler::CloseFile() {
  if (Handle > 0 && File != nullptr) {
    GetFileList().CloseFile(File, InMemory, Handle);
    File = nullptr;
    Handle = 0;
  }
  IsOpen = false;
}

void TFileHandler::CreateFile() {
  std::int32_t result = GetFileList().CreateFile(FileName, InMemory, File, Temporary);
  if (result < 0) {
    File = nullptr;
    Handle = 0;
    Raise(static_cast<TErrorCode>(-result));
  }
  Handle = result;
  ReadOnly = false;
  ReadOnlyAttribute = false;
  IsOpen = true;
}

void TFileHandler::DeleteFile() {
  int result = GetFileList().DeleteFile(FileName, InMemory);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
}

void TFileHandler::RenameFile(const std::string& newName) {
  int result = GetFileList().RenameFile(FileName, InMemory, newName);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
  FileName = newName;
}

bool TFileHandler::Exists() { return GetFileList().FileExists(FileName, InMemory); }

void TFileHandler::CopyToFile(bool compress, const std::string& destName, bool destInMemory,
                              const TCopyProgress& progress, int step) {
  if (!IsOpen || File == nullptr) return;
  int result = GetFileList().CopyToFile(File, Handle, compress, destName, destInMemory, progress, step);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
}

void TFileHandler::CopyFromFile(bool compress, const std::string& sourceName, bool sourceInMemory,
                                const TCopyProgress& progress, int step) {
  if (!IsOpen || File == nullptr) return;
  int result =
      GetFileList().CopyFromFile(File, Handle, compress, sourceName, sourceInMemory, progress, step);
  if (result < 0) Raise(static_cast<TErrorCode>(-result));
}

std::int64_t TFileHandler::Read(void* buffer, std::int64_t count, bool allowShort) {
  if (File == nullptr) Raise(KORVEL_READERR);
  std::int64_t n = File->Read(Handle, buffer, count);
  if (n != count && !allowShort) Raise(KORVEL_READERR);
  return n;
}

void TFileHandler::Write(const void* buffer, std::int64_t count) {
  if (File == nullptr || File->Write(Handle, buffer, count) != count) Raise(KORVEL_WRITEERR);
}

void TFileHandler::Flush() {
  if (File == nullptr || !File->Flush(Handle)) Raise(KORVEL_WRITEERR);
}

bool TFileHandler::LockRegion(std::int64_t offset, std::int64_t length, bool lock) {
  if (File == nullptr) return false;
  return lock ? File->Lock(offset, length) : File->Unlock(offset, length);
}

bool TFileHandler::LockRegionShared(std::int64_t offset, std::int64_t length) {
  return File != nullptr && File->Lock(offset, length, true);
}

void TFileHandler::ReserveSize(std::int64_t size) {
  if (File == nullptr || !File->ReserveSize(size)) Raise(KORVEL_WRITEERR);
}

std::int64_t TFileHandler::Seek(std::int64_t offset, std::uint16_t origin) {
  if (File == nullptr) return -1;
  return File->Seek(Handle, offset, origin);
}

std::int64_t TFileHandler::GetPos() { return Seek(0, soFromCurrent); }

std::int64_t TFileHandler::GetSize() {
  if (File == nullptr) return 0;
  TCriticalSectionGuard guard(File->Section);
  std::int64_t saved = GetPos();
  std::int64_t size = Seek(0, soFromEnd);
  Seek(saved, soFromBeginning);
  return size;
}

void TFileHandler::SetIsOpen(bool value) {
  if (value == IsOpen) return;
  if (value)
    OpenFile();
  else
    CloseFile();
}

void TFileHandler::LockFileHandler() {
  if (File != nullptr) File->Section.lock();
}

void TFileHandler::UnlockFileHandler() {
  if (File != nullptr) File->Section.unlock();
}

std::int64_t TFileHandler::ReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool allowShort) {
  if (File == nullptr) Raise(KORVEL_READERR);
  TCriticalSectionGuard guard(File->Section);
  Seek(offset, soFromBeginning);
  return Read(buffer, count, allowShort);
}

void TFileHandler::WriteAt(std::int64_t offset, const void* buffer, std::int64_t count) {
  if (File == nullptr) Raise(KORVEL_WRITEERR);
  TCriticalSectionGuard guard(File->Section);
  Seek(offset, soFromBeginning);
  Write(buffer, count);
}

}  // namespace korvel
