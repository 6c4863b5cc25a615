#pragma once
// Critical sections: re-entrant mutexes, entered and left by the thread that holds them.

#include <mutex>

namespace korvel {

using TCriticalSection = std::recursive_mutex;
using TCriticalSectionGuard = std::lock_guard<std::recursive_mutex>;

}  // namespace korvel
