#pragma once
// A fresh temporary folder for one test, removed with everything in it at the end.

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace korvel::testing {

class TTestFolder {
 public:
  TTestFolder() {
    char pattern[] = "/tmp/korvel-test-XXXXXX";
    char* made = mkdtemp(pattern);
    path_ = made ? std::string(made) + "/" : std::string();
  }
  ~TTestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TTestFolder(const TTestFolder&) = delete;
  TTestFolder& operator=(const TTestFolder&) = delete;

  // The folder, with a trailing '/'.
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

}  // namespace korvel::testing
