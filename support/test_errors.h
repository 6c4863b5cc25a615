#pragma once
// For tests: the engine error code an action raises.

#include <functional>

#include "support/errors.h"

namespace korvel::testing {

// The code of the engine error `action` raises, 0 when it raises none.
inline TErrorCode CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EKORVELEngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

}  // namespace korvel::testing
