#pragma once
// The work table of a rebuild: a table written under a temporary name next to the table it
// will replace, deleted again unless kept.

#include <memory>
#include <string>

#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/data_table.h"

namespace korvel {

// A table written under a temporary name: deleted again unless Keep() was called.
class TWorkTable {
 public:
  TWorkTable(TDataDirectory* directory, bool inMemory)
      : directory_(directory), inMemory_(inMemory), name_(directory->GetTempDataTableName(inMemory)) {}
  ~TWorkTable() {
    if (cursor_) {
      try {
        cursor_->CloseCursor();
      } catch (...) {
      }
      cursor_.reset();
    }
    if (!kept_ && created_) directory_->DeleteDataTable(name_, inMemory_);
  }
  TWorkTable(const TWorkTable&) = delete;
  TWorkTable& operator=(const TWorkTable&) = delete;

  void Create(const TTableStructure& structure, const TPasswordCallback& passwordCallback) {
    TDataTable* table = nullptr;
    int result = directory_->CreateDataTable(name_, structure, false, inMemory_, table);
    if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", directory_->GetProperDataDirectoryName(), name_);
    created_ = true;
    Open(passwordCallback);
    // Before the first record: its words are split with these.
    cursor_->SetTextIndexParams(structure.TextParams);
    // The records keep the identifiers they had.
    cursor_->SuppressAutoIncValues = true;
    cursor_->SetIndexPos(kNoIndexPos);
  }
  void Open(const TPasswordCallback& passwordCallback) {
    cursor_ = std::make_unique<TDataCursor>(directory_);
    cursor_->SetTableName(name_);
    cursor_->SetExclusive(true);
    cursor_->SetInMemory(inMemory_);
    cursor_->PasswordCallback = passwordCallback;
    cursor_->OpenCursor();
  }
  // Files are about to be written under the work name by other means (a byte copy of a
  // table): from now on they are the work table's to delete.
  void MarkCreated() { created_ = true; }
  TDataCursor& Cursor() { return *cursor_; }
  void Close() {
    cursor_->CloseCursor();
    cursor_.reset();
  }
  const std::string& Name() const { return name_; }
  void Keep() { kept_ = true; }

 private:
  TDataDirectory* directory_;
  bool inMemory_;
  std::string name_;
  bool created_ = false;
  bool kept_ = false;
  std::unique_ptr<TDataCursor> cursor_;
};

}  // namespace korvel
