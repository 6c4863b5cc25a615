#include "support/os_files.h"

#include <errno.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/posix_file.h"
#include "platform/system_info.h"
#include "support/match_string.h"
#include "support/path_helpers.h"

namespace korvel {

namespace {

// Descriptors opened "delete on close", with the path to delete.
std::mutex temporaryGuard;
std::map<int, std::string> temporaryFiles;

void RememberTemporary(int fd, const std::string& name) {
  std::lock_guard<std::mutex> guard(temporaryGuard);
  temporaryFiles[fd] = platform::ResolvePath(name);
}

int Failed(int error) {
  platform::SetLastOSError(error);
  return -1;
}

}  // namespace

int OSFileOpen(const std::string& name, int mode, bool temporary) {
  int accessBits = mode & 3;
  if (accessBits == 3) return Failed(EINVAL);
  int sharing = (mode >> 4) & 0x0F;
  bool exclusive = sharing <= 1;
  int fd = platform::OpenDescriptor(name, static_cast<platform::TFileAccess>(accessBits), exclusive);
  if (fd >= 0 && temporary) RememberTemporary(fd, name);
  return fd;
}

int OSFileCreate(const std::string& name, bool temporary) {
  int fd = platform::CreateDescriptor(name);
  if (fd >= 0 && temporary) RememberTemporary(fd, name);
  return fd;
}

bool OSFileClose(int handle) {
  std::string toDelete;
  {
    std::lock_guard<std::mutex> guard(temporaryGuard);
    auto it = temporaryFiles.find(handle);
    if (it != temporaryFiles.end()) {
      toDelete = it->second;
      temporaryFiles.erase(it);
    }
  }
  bool ok = platform::CloseDescriptor(handle);
  if (!toDelete.empty()) platform::DeletePath(toDelete);
  return ok;
}

bool OSFileDelete(const std::string& name) { return platform::DeletePath(name); }
bool OSFileRename(const std::string& oldName, const std::string& newName) {
  return platform::RenamePath(oldName, newName);
}
bool OSFileLock(int handle, std::int64_t offset, std::int64_t length) {
  return platform::TryLockRange(handle, offset, length);
}
bool OSFileUnlock(int handle, std::int64_t offset, std::int64_t length) {
  return platform::UnlockRange(handle, offset, length);
}

std::int64_t OSFileSeek(int handle, std::int64_t offset, int origin) {
  int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
  off_t result = lseek(handle, static_cast<off_t>(offset), whence);
  if (result < 0) return Failed(errno);
  return result;
}

std::int64_t OSFileRead(int handle, void* buffer, std::int64_t count) {
  std::int64_t position = OSFileSeek(handle, 0, 1);
  if (position < 0) return -1;
  std::int64_t n = platform::ReadAt(handle, buffer, static_cast<std::size_t>(count), position);
  if (n > 0) OSFileSeek(handle, position + n, 0);
  return n;
}

std::int64_t OSFileWrite(int handle, const void* buffer, std::int64_t count) {
  std::int64_t position = OSFileSeek(handle, 0, 1);
  if (position < 0) return -1;
  std::int64_t n = platform::WriteAt(handle, buffer, static_cast<std::size_t>(count), position);
  if (n > 0) OSFileSeek(handle, position + n, 0);
  return n;
}

bool OSSetEndOfFile(int handle) {
  std::int64_t position = OSFileSeek(handle, 0, 1);
  return position >= 0 && platform::TruncateDescriptor(handle, position);
}

bool OSFileFlush(int handle) { return platform::SyncDescriptor(handle); }

int OSFileAttr(const std::string& name) {
  platform::TFileStatus status;
  if (!platform::StatPath(name, status)) return -1;
  int attributes = 0;
  if (status.ReadOnlyAttribute) attributes |= faReadOnlyAttribute;
  if (status.IsDirectory) attributes |= faDirectoryAttribute;
  return attributes == 0 ? faNormalAttribute : attributes;
}

int OSFileAge(const std::string& name) {
  platform::TFileStatus status;
  if (!platform::StatPath(name, status) || status.IsDirectory) return -1;
  time_t seconds = static_cast<time_t>(status.ModifiedSeconds);
  tm local{};
  localtime_r(&seconds, &local);
  // Packed form: bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours, 16-20 day, 21-24 month,
  // 25-31 years since 1980.
  unsigned date = static_cast<unsigned>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  unsigned time = static_cast<unsigned>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
  return static_cast<int>((date << 16) | time);
}

bool OSFileExists(const std::string& name) { return OSFileAge(name) != -1; }

std::int64_t OSSizeOfFile(const std::string& name) {
  platform::TFileStatus status;
  if (!platform::StatPath(name, status)) return 0;
  return status.Size;
}

double OSTimeStampOfFile(const std::string& name) {
  platform::TFileStatus status;
  if (!platform::StatPath(name, status)) return 0;
  time_t seconds = static_cast<time_t>(status.ModifiedSeconds);
  tm local{};
  localtime_r(&seconds, &local);
  // Days since 30 December 1899 in local time: 25,569 days lie between it and 1 January 1970.
  double localSeconds = static_cast<double>(seconds) + static_cast<double>(local.tm_gmtoff) +
                        status.ModifiedNanoseconds / 1e9;
  return 25569.0 + localSeconds / 86400.0;
}

void OSListFiles(TStringList& list, const std::string& pattern, bool withExtension) {
  list.Clear();
  std::string directory, namePattern;
  platform::SplitPath(platform::NormalizeSeparators(pattern), directory, namePattern);
  std::vector<platform::TDirectoryEntry> entries;
  if (!platform::ListDirectory(directory, entries)) return;
  for (const platform::TDirectoryEntry& e : entries) {
    if (!e.IsRegular || !MatchString(e.Name, namePattern)) continue;
    if (withExtension) {
      list.Add(e.Name);
    } else {
      std::size_t dot = e.Name.rfind('.');
      list.Add(dot == std::string::npos ? e.Name : e.Name.substr(0, dot));
    }
  }
}

std::string OSTempFileName(const std::string& directory, const std::string& suffix) {
  std::string digits = std::to_string(std::abs(static_cast<long long>(platform::CurrentThreadId()))).substr(0, 5);
  std::string base = AddBS(platform::NormalizeSeparators(directory)) + digits;
  for (unsigned long counter = 0;; ++counter) {
    std::string name = base + std::to_string(counter) + suffix;
    platform::TFileStatus status;
    if (!platform::StatPath(name, status)) return name;
  }
}

std::int64_t OSGetMaxFileSize(const std::string& path) {
  constexpr std::int64_t kLarge = 0x7FFFFFFFFFFFFFFFLL;
  constexpr std::int64_t kFat = 0xFFFFFFFFLL;
  constexpr long kMsdosMagic = 0x4d44;  // FAT file systems keep files below 4 GiB
  struct statfs info {};
  std::string target = path.empty() ? "." : platform::ResolvePath(platform::NormalizeSeparators(path));
  if (statfs(target.c_str(), &info) != 0) return kFat;
  return static_cast<long>(info.f_type) == kMsdosMagic ? kFat : kLarge;
}

std::string OSGetCurrentDirectory() { return platform::CurrentDirectory(); }
std::string OSGetTempDirectory() { return platform::TempDirectory(); }
std::string OSGetWindowsDirectory() { return "/etc/"; }
std::string OSGetSystemDirectory() { return "/usr/lib/"; }
std::string OSGetComputerName() { return platform::ComputerName(); }
std::string OSGetUserName() { return platform::UserName(); }
double OSGetVersion() { return platform::KernelVersion(); }
// The platform id of a multi-user, protected-memory kernel.
int OSGetPlatform() { return 2; }

TCriticalSection* OSAllocCriticalSection() { return new TCriticalSection(); }
void OSInitializeCriticalSection(TCriticalSection*) {}
void OSEnterCriticalSection(TCriticalSection* section) { section->lock(); }
void OSLeaveCriticalSection(TCriticalSection* section) { section->unlock(); }
void OSDeleteCriticalSection(TCriticalSection*) {}
void OSDeAllocCriticalSection(TCriticalSection* section) { delete section; }

}  // namespace korvel
