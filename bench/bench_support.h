// What the benchmarks share: their clock, a field definition in one line, and a fresh temporary
// folder that goes away with its owner.

#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/data_file.h"

namespace korvel::bench {

using TClock = std::chrono::steady_clock;

inline double Seconds(TClock::time_point since) {
  return std::chrono::duration<double>(TClock::now() - since).count();
}

// A folder made by mkdtemp under /tmp (Path ends with a slash), removed with everything in it
// when the object goes. Path is empty when the folder could not be made.
class TTempFolder {
 public:
  explicit TTempFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) Path = pattern + "/";
  }
  ~TTempFolder() {
    std::error_code ignored;
    if (!Path.empty()) std::filesystem::remove_all(Path, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  std::string Path;
};

}  // namespace korvel::bench
