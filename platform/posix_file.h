#pragma once
// File services of the operating system: descriptors read and written at explicit offsets,
// byte-range locks, sharing modes, names resolved without regard to letter case, attributes,
// directory listings.
//
// Byte-range locks are open-file-description (OFD) locks: they belong to the descriptor, not to
// the process, so closing one descriptor of a file never drops another descriptor's locks.
// Locks taken through one descriptor never conflict with each other; callers that share a
// descriptor between several openers keep their own list of held ranges.
//
// Sharing modes: every open takes a lock on the byte at kSharingLockOffset, a write lock for an
// exclusive open and a read lock for a shared one, so exclusive and shared opens exclude each other
// across processes. A descriptor opened only for reading cannot hold a write lock; an exclusive
// read-only open therefore holds read locks on kSharingLockOffset and kExclusiveReaderOffset and
// then checks that nobody else holds kSharingLockOffset, while a shared open checks, after taking
// its own lock, that nobody holds kExclusiveReaderOffset. Lock first, check second: of two racing
// openers at least one sees the other.
//
// Every call that fails records errno as the calling thread's last OS error (LastOSError).

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::platform {

inline constexpr std::int64_t kSharingLockOffset = std::int64_t{1} << 40;
inline constexpr std::int64_t kExclusiveReaderOffset = kSharingLockOffset + 1;

// Access of an open: the low two bits of the original open mode.
enum TFileAccess : int { faRead = 0, faWrite = 1, faReadWrite = 2 };

// errno of the calling thread's last failed call of this layer (0 if none yet).
int LastOSError();
void SetLastOSError(int error);

// '\' becomes '/'.
std::string NormalizeSeparators(std::string_view path);
// The name under which a file is found: the path itself when it exists, else the path whose
// components match, without regard to letter case, entries of their folders. From the first
// component that matches nothing on, the rest is kept as given, so a new file's name finds its
// folder the way an existing file's does.
std::string ResolvePath(const std::string& path);
// The folder part resolved as above, the last component kept exactly as given.
std::string ResolveFolderOf(const std::string& path);
// The one name of a file for identifying it: resolved as above, absolute, with symbolic links,
// "." and ".." of its existing part resolved. Two spellings of one file give the same name.
std::string CanonicalPath(const std::string& path);

// Opens an existing file; returns the descriptor or -1. `exclusive` selects the sharing lock.
int OpenDescriptor(const std::string& path, TFileAccess access, bool exclusive);
// Creates or truncates a file for reading and writing with an exclusive sharing lock.
int CreateDescriptor(const std::string& path);
bool CloseDescriptor(int fd);

// Reads up to count bytes at offset, retrying short reads until end of file. Returns the bytes
// read (fewer only at end of file) or -1.
std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::int64_t offset);
// Writes all count bytes at offset; returns count or -1.
std::int64_t WriteAt(int fd, const void* buffer, std::size_t count, std::int64_t offset);
// The same for a list of segments that lie one after another in the file (one system call per
// IOV_MAX segments): bytes read (fewer only at end of file) or written, or -1.
std::int64_t ReadVectorAt(int fd, const struct iovec* segments, std::size_t count, std::int64_t offset);
std::int64_t WriteVectorAt(int fd, const struct iovec* segments, std::size_t count, std::int64_t offset);
bool TruncateDescriptor(int fd, std::int64_t size);
bool SyncDescriptor(int fd);
std::int64_t DescriptorSize(int fd);
bool DescriptorIsWritable(int fd);

// Non-blocking exclusive OFD lock of [start, start + length); false if any byte is held through
// another descriptor.
bool TryLockRange(int fd, std::int64_t start, std::int64_t length);
bool UnlockRange(int fd, std::int64_t start, std::int64_t length);
// Non-blocking shared OFD lock: coexists with other shared locks, conflicts with exclusive ones.
// The only kind a descriptor opened for reading can hold.
bool TryLockRangeShared(int fd, std::int64_t start, std::int64_t length);
// Allocates the file's blocks up to `size` (the file grows, never shrinks), so that a full disk
// shows here and not in the middle of a sequence of writes.
bool ReserveSize(int fd, std::int64_t size);

// Test seams: a write hook is called before every write of WriteAt and ReserveSize; a nonzero
// result is taken as the errno of a failed write. A lock hook is called before every lock attempt.
// Both are process-wide; null removes them.
using TWriteHook = int (*)(int fd, std::int64_t offset, std::size_t count);
using TLockHook = void (*)(int fd, std::int64_t start, std::int64_t length);
void SetWriteHook(TWriteHook hook);
void SetLockHook(TLockHook hook);
// Takes the sharing lock of an open; false (errno EACCES) when the sharing mode conflicts.
bool AcquireSharingLock(int fd, bool exclusive);

struct TFileStatus {
  bool Exists = false;
  bool IsDirectory = false;
  bool IsRegular = false;
  bool ReadOnlyAttribute = false;  // no write bit in the mode
  std::int64_t Size = 0;
  std::int64_t ModifiedSeconds = 0;  // seconds since 1970-01-01 UTC
  std::int32_t ModifiedNanoseconds = 0;
};
// Status of the file a path resolves to; false (errno set) when there is none.
bool StatPath(const std::string& path, TFileStatus& status);
bool DeletePath(const std::string& path);
// Never replaces an existing file (EEXIST).
bool RenamePath(const std::string& oldPath, const std::string& newPath);
// Delete and rename of a file nobody holds open: both take the exclusive sharing lock first and
// keep it while the name changes, and fail with EACCES while any opener, in this process or
// another, holds the file. An opener that comes later finds the name gone (OpenDescriptor checks
// the name still leads to the file it locked). The rename never replaces another file: a new
// name taken by another file, in any letter case, fails with EEXIST; a new name that differs
// only in letter case from the file's own renames it.
bool DeleteUnlessInUse(const std::string& path);
bool RenameUnlessInUse(const std::string& oldPath, const std::string& newPath);
// Clears or sets every write bit of the mode.
bool SetReadOnlyAttribute(const std::string& path, bool readOnly);

struct TDirectoryEntry {
  std::string Name;
  bool IsRegular = false;
  bool IsDirectory = false;
};
// The entries of a folder except "." and ".."; false when the folder cannot be read.
bool ListDirectory(const std::string& directory, std::vector<TDirectoryEntry>& entries);

// Splits "/a/b/c.DAT" into "/a/b/" and "c.DAT"; a name without '/' has an empty folder.
void SplitPath(const std::string& path, std::string& directory, std::string& name);

}  // namespace korvel::platform
