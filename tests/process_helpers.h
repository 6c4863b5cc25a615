#pragma once
// Runs a piece of a test in a child process and reports its exit status.
//
// A forked child gets descriptors of its own for the files the parent had open (the locks the
// parent held stay the parent's and are refused to the child). A different spelling of a path
// (AnotherSpelling) gives an opener objects of its own inside one process.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace korvel::testing {

// Runs `body` in a child process; returns its result (0..255), or -1 if it crashed.
inline int RunInChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
      code = 99;
    }
    _exit(code);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// "/a/b/c.DAT" -> "/a/b/./c.DAT": the same file under a name no listed object has.
inline std::string AnotherSpelling(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return path.substr(0, slash + 1) + "./" + path.substr(slash + 1);
}

// A child process run step by step: the child calls Ready() when it reached a point and
// Await() to wait for the parent's go; the parent the reverse.
class TStepChild {
 public:
  explicit TStepChild(const std::function<int(TStepChild&)>& body) {
    if (pipe(toParent_) != 0 || pipe(toChild_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(toParent_[0]);
      close(toChild_[1]);
      int code = 1;
      try {
        code = body(*this);
      } catch (...) {
        code = 99;
      }
      _exit(code);
    }
    close(toParent_[1]);
    close(toChild_[0]);
  }
  ~TStepChild() {
    if (pid_ > 0 && !joined_) {
      kill(pid_, SIGKILL);
      Join();
    }
    close(toParent_[0]);
    close(toChild_[1]);
  }

  // In the child.
  void Ready() { Send(toParent_[1]); }
  bool Await() { return Receive(toChild_[0]); }
  // In the parent: false when the child ended instead of reaching the point.
  bool WaitReady() { return Receive(toParent_[0]); }
  void Go() { Send(toChild_[1]); }
  // The child's exit status, or -1 when it did not exit normally.
  int Join() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    joined_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static void Send(int fd) {
    char c = 1;
    if (write(fd, &c, 1) != 1) _exit(98);
  }
  static bool Receive(int fd) {
    char c = 0;
    return read(fd, &c, 1) == 1;
  }

  int toParent_[2] = {-1, -1};
  int toChild_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool joined_ = false;
};

}  // namespace korvel::testing
