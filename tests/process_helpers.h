#pragma once
// Runs a piece of a test in a child process and reports its exit status.
//
// A forked child inherits the parent's descriptors and with them the parent's open-file
// descriptions and their locks; a child that must act as another process opens its files under
// a different spelling of the path (AnotherSpelling), which gives it objects of its own.

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

}  // namespace korvel::testing
