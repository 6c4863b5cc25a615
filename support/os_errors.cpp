#include "support/os_errors.h"

#include <errno.h>

#include "platform/posix_file.h"

namespace korvel {

namespace {
thread_local std::int32_t lastSocketError = 0;
}

std::int32_t OSLastError() { return platform::LastOSError(); }

TErrorCode MapOSError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return KORVEL_OSENOENT;
    case EMFILE:
    case ENFILE: return KORVEL_OSEMFILE;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY:
    case EEXIST: return KORVEL_OSEACCES;  // EEXIST: a new name another file already has
    case EBADF: return KORVEL_OSEBADF;
    case ENOMEM: return KORVEL_OSENOMEM;
    case ENODEV:
    case ENXIO: return KORVEL_OSENODEV;
    case EXDEV: return KORVEL_OSENOTSAM;
    default: return KORVEL_OSUNKNOWN;
  }
}

TErrorCode OSLastNativeError() { return MapOSError(platform::LastOSError()); }

std::int32_t OSLastSocketError() { return lastSocketError; }
void SetOSLastSocketError(std::int32_t error) { lastSocketError = error; }

}  // namespace korvel
