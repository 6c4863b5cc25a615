#pragma once
// Clocks, sleeping, process and thread ids, machine and user names, and the process's folders.

#include <cstdint>
#include <string>

namespace korvel::platform {

// Milliseconds of a monotonic clock; wraps at 2^32 like the original tick count.
std::uint32_t TickCount();
void SleepMilliseconds(std::uint32_t ms);
std::int32_t CurrentThreadId();
std::int32_t CurrentProcessId();
// The host name, cut at 15 characters (a computer name buffer of 16 bytes).
std::string ComputerName();
// The login name of the effective user, or its numeric id when it has no name.
std::string UserName();
// The temporary folder ($TMPDIR, else /tmp), with a trailing '/'.
std::string TempDirectory();
// The process's current folder, with a trailing '/'; empty if it cannot be read.
std::string CurrentDirectory();
// Kernel release as major + minor / 10 (5.10 -> 5.1), for version reports.
double KernelVersion();

}  // namespace korvel::platform
