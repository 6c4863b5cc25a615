#include "platform/system_info.h"

#include <pwd.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace korvel::platform {

std::uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void SleepMilliseconds(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

std::int32_t CurrentThreadId() { return static_cast<std::int32_t>(syscall(SYS_gettid)); }

std::int32_t CurrentProcessId() { return static_cast<std::int32_t>(getpid()); }

std::string ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return "";
  std::string result(name);
  return result.substr(0, 15);
}

std::string UserName() {
  uid_t uid = geteuid();
  passwd pw{};
  passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &pw, buffer, sizeof(buffer), &found) == 0 && found != nullptr && found->pw_name)
    return found->pw_name;
  return std::to_string(uid);
}

namespace {
std::string WithTrailingSlash(std::string s) {
  if (!s.empty() && s.back() != '/') s += '/';
  return s;
}
}  // namespace

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  return WithTrailingSlash(dir);
}

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof(buffer)) == nullptr) return "";
  return WithTrailingSlash(buffer);
}

double KernelVersion() {
  utsname u{};
  if (uname(&u) != 0) return 0;
  int major = 0, minor = 0;
  if (std::sscanf(u.release, "%d.%d", &major, &minor) < 1) return 0;
  double fraction = minor;
  while (fraction >= 1) fraction /= 10;
  return major + fraction;
}

}  // namespace korvel::platform
