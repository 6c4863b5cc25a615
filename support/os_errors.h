#pragma once
// The operating system's error numbers as the engine sees them.

#include <cstdint>

#include "support/errors.h"

namespace korvel {

// errno of the calling thread's last failed file-layer call.
std::int32_t OSLastError();
// The engine code for that error (KORVEL_OSENOENT ... KORVEL_OSUNKNOWN).
TErrorCode OSLastNativeError();
// The engine code for an errno value.
TErrorCode MapOSError(int error);
// The last socket error of the calling thread (0 until the remote client records one).
std::int32_t OSLastSocketError();
void SetOSLastSocketError(std::int32_t error);

}  // namespace korvel
