#include "platform/posix_file.h"

#include <dirent.h>
#include <stdio.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

namespace korvel::platform {

namespace {

thread_local int lastOSError = 0;
std::atomic<TWriteHook> writeHook{nullptr};
std::atomic<TLockHook> lockHook{nullptr};

// The test seam's verdict on a write; false (errno set) when it is to fail.
bool WriteAllowed(int fd, std::int64_t offset, std::size_t count) {
  TWriteHook hook = writeHook.load(std::memory_order_relaxed);
  if (hook == nullptr) return true;
  int error = hook(fd, offset, count);
  if (error == 0) return true;
  errno = error;
  return false;
}

template <typename T>
T Failed(T result) {
  lastOSError = errno;
  return result;
}

bool SetOFDLock(int fd, short type, std::int64_t start, std::int64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return Failed(false);
  }
}

// Whether a lock held through another descriptor would refuse a write lock of the range.
bool HeldByOthers(int fd, std::int64_t start, std::int64_t length) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;  // cannot tell: assume the worst
  return fl.l_type != F_UNLCK;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Finds an entry of `directory` named `name` without regard to ASCII letter case.
bool FindCaseInsensitive(const std::string& directory, const std::string& name, std::string& found) {
  DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return false;
  bool ok = false;
  while (dirent* e = readdir(dir)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      ok = true;
      break;
    }
  }
  closedir(dir);
  return ok;
}

}  // namespace

int LastOSError() { return lastOSError; }
void SetLastOSError(int error) { lastOSError = error; }

std::string NormalizeSeparators(std::string_view path) {
  std::string result(path);
  std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

std::string ResolvePath(const std::string& path) {
  if (path.empty() || Exists(path)) return path;
  // Walk the components from the start, keeping exact matches and looking up the others; from
  // the first component that matches nothing on, the rest is kept as given.
  std::string resolved;
  std::size_t pos = 0;
  if (path[0] == '/') {
    resolved = "/";
    pos = 1;
  }
  bool matching = true;
  while (pos <= path.size()) {
    std::size_t slash = path.find('/', pos);
    std::string component = path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    if (!component.empty()) {
      std::string candidate = resolved + component;
      if (matching && component != "." && component != ".." && !Exists(candidate)) {
        std::string found;
        if (FindCaseInsensitive(resolved, component, found))
          candidate = resolved + found;
        else
          matching = false;
      }
      resolved = candidate;
    }
    if (slash == std::string::npos) break;
    if (!resolved.empty() && resolved.back() != '/') resolved += '/';
    pos = slash + 1;
  }
  return resolved;
}

std::string ResolveFolderOf(const std::string& path) {
  std::string directory, name;
  SplitPath(path, directory, name);
  if (directory.empty()) return path;
  std::string folder = ResolvePath(directory);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + name;
}

std::string CanonicalPath(const std::string& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::absolute(ResolvePath(path), error);
  if (error) return path;
  // Symbolic links, "." and ".." of the part that exists are resolved; the rest is normalised.
  std::filesystem::path canonical = std::filesystem::weakly_canonical(resolved, error);
  return error ? resolved.lexically_normal().string() : canonical.string();
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the path still names the file open on fd. An opener checks this after taking its
// sharing lock: a delete or rename that got the lock first has moved the name away.
bool StillNamed(int fd, const std::string& path) {
  struct stat byName {}, byDescriptor {};
  return stat(path.c_str(), &byName) == 0 && fstat(fd, &byDescriptor) == 0 && SameFile(byName, byDescriptor);
}

}  // namespace

int OpenDescriptor(const std::string& path, TFileAccess access, bool exclusive) {
  int flags = O_CLOEXEC;
  switch (access) {
    case faRead: flags |= O_RDONLY; break;
    case faWrite: flags |= O_WRONLY; break;
    default: flags |= O_RDWR; break;
  }
  std::string target = ResolvePath(path);
  int fd = open(target.c_str(), flags);
  if (fd < 0) return Failed(-1);
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return Failed(-1);
  }
  if (!AcquireSharingLock(fd, exclusive)) {
    int saved = lastOSError;
    close(fd);
    lastOSError = saved;
    return -1;
  }
  if (!StillNamed(fd, target)) {
    close(fd);
    errno = ENOENT;
    return Failed(-1);
  }
  return fd;
}

int CreateDescriptor(const std::string& path) {
  std::string target = ResolvePath(path);
  // Take the exclusive sharing lock before truncating, so that an open by someone else is
  // refused without destroying the file it is using. A file deleted or renamed between our open
  // and our lock is left alone and the name made afresh.
  for (int attempt = 0;; ++attempt) {
    int fd = open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Failed(-1);
    if (!AcquireSharingLock(fd, true)) {
      int saved = lastOSError;
      close(fd);
      lastOSError = saved;
      return -1;
    }
    if (!StillNamed(fd, target)) {
      close(fd);
      if (attempt < 3) continue;
      errno = EACCES;
      return Failed(-1);
    }
    if (ftruncate(fd, 0) != 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return Failed(-1);
    }
    return fd;
  }
}

bool CloseDescriptor(int fd) { return close(fd) == 0 ? true : Failed(false); }

std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::int64_t offset) {
  char* p = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd, p + done, count - done, static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed<std::int64_t>(-1);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t WriteAt(int fd, const void* buffer, std::size_t count, std::int64_t offset) {
  if (!WriteAllowed(fd, offset, count)) return Failed<std::int64_t>(-1);
  const char* p = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = pwrite(fd, p + done, count - done, static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed<std::int64_t>(-1);
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

namespace {

// Moves the segments through `transfer` (preadv or pwritev) at most IOV_MAX at a time, resuming
// inside a segment after a short transfer; stops early only at end of file.
template <typename TTransfer>
std::int64_t TransferVector(const struct iovec* segments, std::size_t count, std::int64_t offset,
                            TTransfer transfer) {
  constexpr std::size_t kWindow = IOV_MAX;
  struct iovec window[kWindow];
  std::size_t next = 0;        // first segment not wholly moved
  std::size_t skipped = 0;     // bytes of it already moved
  std::int64_t done = 0;
  while (next < count) {
    std::size_t n = std::min(kWindow, count - next);
    for (std::size_t i = 0; i < n; ++i) window[i] = segments[next + i];
    window[0].iov_base = static_cast<char*>(window[0].iov_base) + skipped;
    window[0].iov_len -= skipped;
    ssize_t moved = transfer(window, static_cast<int>(n), static_cast<off_t>(offset + done));
    if (moved < 0) {
      if (errno == EINTR) continue;
      return Failed<std::int64_t>(-1);
    }
    if (moved == 0) {
      // End of file (reading), or a segment list with nothing left to move.
      bool empty = true;
      for (std::size_t i = 0; i < n && empty; ++i) empty = window[i].iov_len == 0;
      if (!empty) break;
    }
    done += moved;
    std::size_t left = static_cast<std::size_t>(moved) + skipped;
    while (next < count && left >= segments[next].iov_len) {
      left -= segments[next].iov_len;
      ++next;
    }
    skipped = left;
  }
  return done;
}

}  // namespace

std::int64_t ReadVectorAt(int fd, const struct iovec* segments, std::size_t count, std::int64_t offset) {
  return TransferVector(segments, count, offset,
                        [fd](const struct iovec* v, int n, off_t at) { return preadv(fd, v, n, at); });
}

std::int64_t WriteVectorAt(int fd, const struct iovec* segments, std::size_t count, std::int64_t offset) {
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) bytes += segments[i].iov_len;
  if (!WriteAllowed(fd, offset, bytes)) return Failed<std::int64_t>(-1);
  return TransferVector(segments, count, offset,
                        [fd](const struct iovec* v, int n, off_t at) { return pwritev(fd, v, n, at); });
}

bool TruncateDescriptor(int fd, std::int64_t size) {
  return ftruncate(fd, static_cast<off_t>(size)) == 0 ? true : Failed(false);
}

bool SyncDescriptor(int fd) { return fdatasync(fd) == 0 ? true : Failed(false); }

std::int64_t DescriptorSize(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return Failed<std::int64_t>(-1);
  return static_cast<std::int64_t>(st.st_size);
}

bool DescriptorIsWritable(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

bool TryLockRange(int fd, std::int64_t start, std::int64_t length) {
  if (length <= 0) {
    errno = EINVAL;
    return Failed(false);
  }
  if (TLockHook hook = lockHook.load(std::memory_order_relaxed)) hook(fd, start, length);
  return SetOFDLock(fd, F_WRLCK, start, length);
}

bool TryLockRangeShared(int fd, std::int64_t start, std::int64_t length) {
  if (length <= 0) {
    errno = EINVAL;
    return Failed(false);
  }
  if (TLockHook hook = lockHook.load(std::memory_order_relaxed)) hook(fd, start, length);
  return SetOFDLock(fd, F_RDLCK, start, length);
}

bool ReserveSize(int fd, std::int64_t size) {
  std::int64_t current = DescriptorSize(fd);
  if (current < 0) return false;
  if (size <= current) return true;
  if (!WriteAllowed(fd, current, static_cast<std::size_t>(size - current))) return Failed(false);
  int error = posix_fallocate(fd, static_cast<off_t>(current), static_cast<off_t>(size - current));
  if (error == 0) return true;
  errno = error;
  return Failed(false);
}

void SetWriteHook(TWriteHook hook) { writeHook.store(hook); }
void SetLockHook(TLockHook hook) { lockHook.store(hook); }

bool UnlockRange(int fd, std::int64_t start, std::int64_t length) {
  if (length <= 0) {
    errno = EINVAL;
    return Failed(false);
  }
  return SetOFDLock(fd, F_UNLCK, start, length);
}

bool AcquireSharingLock(int fd, bool exclusive) {
  auto refuse = [fd] {
    SetOFDLock(fd, F_UNLCK, kSharingLockOffset, 2);
    errno = EACCES;
    return Failed(false);
  };
  if (exclusive && DescriptorIsWritable(fd)) {
    if (!SetOFDLock(fd, F_WRLCK, kSharingLockOffset, 1)) return refuse();
    return true;
  }
  if (!SetOFDLock(fd, F_RDLCK, kSharingLockOffset, 1)) return refuse();
  if (exclusive) {
    if (!SetOFDLock(fd, F_RDLCK, kExclusiveReaderOffset, 1)) return refuse();
    if (HeldByOthers(fd, kSharingLockOffset, 1)) return refuse();
  } else if (HeldByOthers(fd, kExclusiveReaderOffset, 1)) {
    return refuse();
  }
  return true;
}

bool StatPath(const std::string& path, TFileStatus& status) {
  status = TFileStatus{};
  struct stat st {};
  if (stat(ResolvePath(path).c_str(), &st) != 0) return Failed(false);
  status.Exists = true;
  status.IsDirectory = S_ISDIR(st.st_mode);
  status.IsRegular = S_ISREG(st.st_mode);
  status.ReadOnlyAttribute = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  status.Size = static_cast<std::int64_t>(st.st_size);
  status.ModifiedSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  status.ModifiedNanoseconds = static_cast<std::int32_t>(st.st_mtim.tv_nsec);
  return true;
}

bool DeletePath(const std::string& path) {
  return unlink(ResolvePath(path).c_str()) == 0 ? true : Failed(false);
}

namespace {

// Opens the file at `target` and takes the exclusive sharing lock, so that nobody (another
// process or another opener here) can hold it open while the caller changes its name. Returns
// the descriptor, or -1 with EACCES when the file is in use.
int TakeOverForName(const std::string& target) {
  int fd = open(target.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == EISDIR))
    fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failed(-1);
  if (!AcquireSharingLock(fd, true)) {
    close(fd);
    errno = EACCES;
    return Failed(-1);
  }
  return fd;
}

// The one descriptor of a guarded name change, closed (and its locks released) on the way out.
struct TDescriptorGuard {
  int fd;
  ~TDescriptorGuard() {
    if (fd >= 0) close(fd);
  }
};

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Failed(false);
  // A file system without the flag: a hard link never replaces either.
  if (link(from.c_str(), to.c_str()) != 0) return Failed(false);
  if (unlink(from.c_str()) != 0) {
    int saved = errno;
    unlink(to.c_str());
    errno = saved;
    return Failed(false);
  }
  return true;
}

}  // namespace

bool DeleteUnlessInUse(const std::string& path) {
  std::string target = ResolvePath(path);
  TDescriptorGuard guard{TakeOverForName(target)};
  if (guard.fd < 0) return false;
  struct stat st {};
  if (fstat(guard.fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return Failed(false);
  }
  return unlink(target.c_str()) == 0 ? true : Failed(false);
}

bool RenameUnlessInUse(const std::string& oldPath, const std::string& newPath) {
  std::string from = ResolvePath(oldPath);
  std::string to = ResolveFolderOf(newPath);
  TDescriptorGuard guard{TakeOverForName(from)};
  if (guard.fd < 0) return false;
  struct stat source {}, existing {};
  if (fstat(guard.fd, &source) != 0) return Failed(false);
  std::string taken = ResolvePath(newPath);
  if (stat(taken.c_str(), &existing) == 0) {
    // The new name, in any letter case, is taken. By the file itself: a rename that changes
    // only the case (or nothing). By another file: refused, never replaced.
    if (!SameFile(source, existing)) {
      errno = EEXIST;
      return Failed(false);
    }
    if (from == to) return true;
  }
  return RenameNoReplace(from, to);
}

bool RenamePath(const std::string& oldPath, const std::string& newPath) {
  return RenameNoReplace(ResolvePath(oldPath), ResolveFolderOf(newPath));
}

bool SetReadOnlyAttribute(const std::string& path, bool readOnly) {
  std::string target = ResolvePath(path);
  struct stat st {};
  if (stat(target.c_str(), &st) != 0) return Failed(false);
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  return chmod(target.c_str(), mode) == 0 ? true : Failed(false);
}

bool ListDirectory(const std::string& directory, std::vector<TDirectoryEntry>& entries) {
  entries.clear();
  std::string dirPath = ResolvePath(directory.empty() ? "." : directory);
  DIR* dir = opendir(dirPath.c_str());
  if (dir == nullptr) return Failed(false);
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    TDirectoryEntry entry;
    entry.Name = name;
    std::string full = dirPath;
    if (!full.empty() && full.back() != '/') full += '/';
    full += name;
    struct stat st {};
    if (stat(full.c_str(), &st) == 0) {
      entry.IsRegular = S_ISREG(st.st_mode);
      entry.IsDirectory = S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  closedir(dir);
  return true;
}

void SplitPath(const std::string& path, std::string& directory, std::string& name) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    directory.clear();
    name = path;
  } else {
    directory = path.substr(0, slash + 1);
    name = path.substr(slash + 1);
  }
}

}  // namespace korvel::platform
