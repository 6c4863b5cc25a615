#include "tools/tool_table.h"

namespace korvel::tool {

TToolTable::TToolTable(const std::string& folder, const std::string& table, const std::string& password,
                       const TToolTableOptions& options)
    : session_(false) {
  if (!password.empty()) session_.AddPassword(password);
  if (!options.PrivateDirectory.empty()) session_.SetPrivateDirectory(options.PrivateDirectory);
  if (options.ShortLockWait) {
    session_.SetLockRetries(3);
    session_.SetLockWait(50);
  }
  directory_ = session_.OpenDataDirectory("tool", folder);
  cursor_ = std::make_unique<TDataCursor>(directory_);
  cursor_->SetTableName(table);
  cursor_->SetReadOnly(options.ReadOnly);
  cursor_->SetExclusive(options.Exclusive);
  if (options.Open) cursor_->OpenCursor();
}

}  // namespace korvel::tool
