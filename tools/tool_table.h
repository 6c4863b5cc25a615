#pragma once
// The table a command works on: a session of its own on one folder, the password of a
// scrambled table made known to it, and a cursor on the table.

#include <memory>
#include <string>

#include "engine/data_cursor.h"
#include "engine/session.h"

namespace korvel::tool {

struct TToolTableOptions {
  bool ReadOnly = false;
  bool Exclusive = false;
  // Another user of the table makes the command fail soon instead of waiting.
  bool ShortLockWait = false;
  // Open the cursor now (false: the caller opens it, or hands it closed to maintenance).
  bool Open = true;
  // Where the session's scratch files go (empty: the session's default).
  std::string PrivateDirectory = {};
};

class TToolTable {
 public:
  TToolTable(const std::string& folder, const std::string& table, const std::string& password,
             const TToolTableOptions& options);
  TToolTable(const TToolTable&) = delete;
  TToolTable& operator=(const TToolTable&) = delete;

  TDataCursor& operator*() { return *cursor_; }
  TDataCursor* operator->() { return cursor_.get(); }

 private:
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  std::unique_ptr<TDataCursor> cursor_;  // closed before the session goes
};

}  // namespace korvel::tool
