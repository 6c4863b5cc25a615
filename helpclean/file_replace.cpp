#include "file_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "errors.h"

namespace korvel::helpclean {

namespace {

// A file descriptor closed when it goes out of scope (after an error; success closes it
// explicitly so that a failing close is reported).
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (fd_ >= 0) close(fd_);
  }
  int Get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Removes the work file unless the rename has consumed it.
class TWorkFile {
 public:
  explicit TWorkFile(std::string path) : path_(std::move(path)) {}
  TWorkFile(const TWorkFile&) = delete;
  TWorkFile& operator=(const TWorkFile&) = delete;
  ~TWorkFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string& Path() const { return path_; }
  void Consumed() { path_.clear(); }

 private:
  std::string path_;
};

[[noreturn]] void Fail(const std::string& what) { throw ECleanError(SystemMessage(what, errno)); }

void WriteAll(int fd, std::string_view text, const std::string& path) {
  while (!text.empty()) {
    ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write " + path);
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (!realpath(path.c_str(), buffer)) Fail("cannot resolve " + path);
  return buffer;
}

std::string FolderOf(const std::string& realPath) {
  const std::size_t slash = realPath.rfind('/');
  return slash == 0 ? "/" : realPath.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
  TFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() < 0 || fsync(dir.Get()) != 0) Fail("cannot flush folder " + folder);
}

}  // namespace

TFileContents ReadRegularFile(const std::string& path) {
  TFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.Get() < 0) Fail("cannot open " + path);
  TFileContents contents;
  if (fstat(fd.Get(), &contents.Info) != 0) Fail("cannot examine " + path);
  if (!S_ISREG(contents.Info.st_mode)) throw ECleanError(path + ": not a regular file");
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd.Get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      Fail("cannot read " + path);
    }
    if (got == 0) break;
    contents.Text.append(buffer, static_cast<std::size_t>(got));
  }
  return contents;
}

bool IsReadOnly(const struct stat& info) {
  return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

void ReplaceFile(const std::string& path, std::string_view workStem, std::string_view text,
                 const struct stat& original) {
  const std::string target = RealPath(path);
  const std::string folder = FolderOf(target);
  std::string name = (folder == "/" ? "" : folder) + "/" + std::string(workStem) + ".new.XXXXXX";
  TFd fd(mkostemp(name.data(), O_CLOEXEC));
  if (fd.Get() < 0) Fail("cannot create a work file in " + folder);
  TWorkFile work(name);

  WriteAll(fd.Get(), text, work.Path());
  if (fchmod(fd.Get(), original.st_mode & 07777) != 0) Fail("cannot set the mode of " + name);
  // Only a privileged user may give the file away; anyone else keeps it as their own, which
  // matches who could have written the original.
  if (fchown(fd.Get(), original.st_uid, original.st_gid) != 0 && errno != EPERM) {
    Fail("cannot set the owner of " + name);
  }
  if (fsync(fd.Get()) != 0) Fail("cannot flush " + name);
  if (close(fd.Release()) != 0) Fail("cannot close " + name);

  if (rename(work.Path().c_str(), target.c_str()) != 0) Fail("cannot replace " + target);
  work.Consumed();
  SyncFolder(folder);
}

}  // namespace korvel::helpclean
