// Adding and deleting the indexes of an open, exclusive table.
//
// A new index is registered, then filled by one scan of the physical records. Records whose
// key would break a unique index are only collected during the scan; if any exist, the
// data-loss callback decides: without one, or when it asks to stop, the new index is taken out
// again (its pages freed) and KORVEL_KEYVIOL is raised with the table as it was. When every
// loss is accepted, the index is taken out, the offending records are deleted like any other
// record (so every other index, the record index and the BLOBs stay consistent) and the index
// is filled again.

#include <algorithm>
#include <exception>

#include "engine/cursor_internal.h"
#include "engine/index_page.h"
#include "engine/table_maintenance.h"
#include "support/path_helpers.h"

namespace korvel {

void TTableMaintenance::FreeIndexPages(int slot) {
  TBTreeCursor tree;
  cursor_.ConfigureTree(tree, slot);
  tree.LockCursor = &cursor_;
  std::vector<std::int32_t> pending;
  if (tree.GetRootPageNumber() != 0) pending.push_back(tree.GetRootPageNumber());
  while (!pending.empty()) {
    std::int32_t number = pending.back();
    pending.pop_back();
    TPinnedPage page = tree.FetchPage(number);
    if (page->IsNode())
      for (int pos = 1; pos <= page->KeyEntryCount; ++pos) pending.push_back(page->GetRecordNumber(pos));
    tree.FreePage(*page);
  }
  tree.SetRootPageNumber(0);
  if (cursor_.Table->IndexFile->GetDataRootPageNumber(slot) != 0) tree.FreeDataPages();
}

void TTableMaintenance::DropIndex(int slot) {
  TDataTable& table = *cursor_.Table;
  FreeIndexPages(slot);
  // Dropping the primary index drops its cached pages unwritten: the freed pages are written
  // first, or the free chain would lead to pages that still hold keys on disk.
  if (slot == kPrimaryIndexSlot) table.FlushBuffers(false, false, false, false, true);
  table.DeleteIndex(slot, true);
}

std::vector<std::int32_t> TTableMaintenance::FillIndex(int slot) {
  TDataTable& table = *cursor_.Table;
  TBTreeCursor tree;
  cursor_.ConfigureTree(tree, slot);
  tree.LockCursor = &cursor_;
  const TIndexDefinition& definition = table.IndexFile->IndexDefinition(slot);
  const bool unique = definition.Unique;
  const std::size_t size = definition.KeySize;
  const std::size_t batch = std::max<std::size_t>(1, FillBatchBytes / std::max<std::size_t>(size, 1));
  std::vector<std::uint8_t> keys;
  std::vector<std::int32_t> numbers;
  std::vector<std::uint32_t> order;
  keys.reserve(std::min<std::size_t>(batch, static_cast<std::size_t>(table.GetPhysicalRecordsUsed()) + 1) * size);
  std::vector<std::int32_t> violations;
  const std::int32_t used = table.GetPhysicalRecordsUsed();
  // Each record counts twice: once read, once inserted.
  TProgressReporter progress(IndexProgress, 2 * static_cast<std::int64_t>(used), table.Directory->Session->GetProgressPercent());
  std::int64_t done = 0;
  bool firstBatch = true;  // the tree starts empty: only keys of the batch can clash
  auto key = [&](std::uint32_t i) { return keys.data() + static_cast<std::size_t>(i) * size; };
  // Inserts the batch in key order. Equal keys keep record order (stable sort), so of equal
  // keys in a unique index the first record stays and the later ones are the violations; a key
  // equal to one of an earlier batch is refused by the tree.
  auto flush = [&] {
    order.resize(numbers.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return tree.CompareKeys(key(a), key(b), size) < 0; });
    const std::uint8_t* last = nullptr;
    for (std::uint32_t i : order) {
      if (unique && last != nullptr && tree.CompareKeys(last, key(i), size) == 0) {
        violations.push_back(numbers[i]);
      } else if (unique && !firstBatch && tree.CheckForKeyViolation(key(i))) {
        violations.push_back(numbers[i]);
      } else {
        tree.AddIndexKey(key(i), numbers[i]);
        last = key(i);
      }
      progress.Report(++done);
    }
    keys.clear();
    numbers.clear();
    firstBatch = false;
  };
  for (std::int32_t n = 1; n <= used; ++n) {
    TRecord* record = nullptr;
    if (!table.GetRecord(&cursor_, n, true, false, true, record)) Raise(KORVEL_LOCKTIMEOUT);
    TRecordPin pin(table, record);
    if (!record->GetIsDeleted()) {
      keys.resize(keys.size() + size);
      cursor_.BuildKey(slot, record->Buffer(), keys.data() + keys.size() - size);
      numbers.push_back(n);
    } else {
      ++done;  // nothing to insert for it
    }
    progress.Report(++done);
    if (numbers.size() == batch) flush();
  }
  flush();
  progress.Finish();
  std::sort(violations.begin(), violations.end());
  return violations;
}

bool TTableMaintenance::AcceptLosses(TDataLossCause cause, const std::string& context, std::size_t count) {
  if (count == 0) return true;
  if (!DataLost) return false;
  bool stopAsking = false;
  for (std::size_t i = 0; i < count && !stopAsking; ++i) {
    bool continueWork = true;
    DataLost(cause, context, stopAsking, continueWork);
    if (!continueWork) return false;
  }
  return true;
}

void TTableMaintenance::RemoveRecords(const std::vector<std::int32_t>& numbers) {
  const int indexPos = cursor_.GetIndexPos();
  cursor_.SetIndexPos(kNoIndexPos);
  for (std::int32_t n : numbers) {
    // Physical positioning lands on a neighbour when the record is gone; only record n goes.
    cursor_.GotoPhysicalRecordNumber(n);
    if (cursor_.GetPhysicalRecordNumber() != n) continue;
    cursor_.RefreshCurrentRecord(1);
    cursor_.DeleteRecord(nullptr, false);
  }
  cursor_.SetIndexPos(indexPos);
}

namespace {

// The fields of the open table as the structure checks take them.
std::vector<TFieldDefinition> TableFields(const TDataTable& table) {
  std::vector<TFieldDefinition> fields;
  for (std::int32_t i = 1; i <= table.GetFieldCount(); ++i) fields.push_back(table.GetFieldDefinitionByPos(i));
  return fields;
}

}  // namespace

void TTableMaintenance::AddPrimaryIndex(TIndexDefinition definition) {
  CheckOpen();
  cursor_.CheckLocal();
  CheckExclusive();
  CheckNotReadOnly();
  TDataTable& table = *cursor_.Table;
  if (!table.GetNoPrimaryIndex()) Raise(KORVEL_PRIMARYKEYREDEFINE, "", "Primary");
  definition.IndexName.clear();
  definition.Unique = true;
  VerifyIndexDefinition(definition, TableFields(table), false, "Primary");
  cursor_.SetIndexPos(kNoIndexPos);
  std::vector<std::int32_t> violations;
  {
    TDataCursor::TWriteLock lock(cursor_);
    // A dropped primary index leaves its definition behind the no-primary flag; its free pages
    // stay with the slot.
    TIndexDefinition old;
    table.GetIndexDefinition(kPrimaryIndexSlot, old);
    TIndexFile::ClearIndexDefinition(old);
    table.IndexFile->SetIndexDefinition(kPrimaryIndexSlot, old);
    table.AddPrimaryIndex(definition);
    try {
      violations = FillIndex(kPrimaryIndexSlot);
      if (!violations.empty()) DropIndex(kPrimaryIndexSlot);
      cursor_.FlushEdit(true, false);
    } catch (...) {
      try {
        DropIndex(kPrimaryIndexSlot);
      } catch (...) {
      }
      throw;
    }
    lock.Release();
  }
  if (!violations.empty()) {
    if (!AcceptLosses(dlKeyViolation, "Primary", violations.size())) Raise(KORVEL_KEYVIOL, "", "Primary");
    RemoveRecords(violations);
    AddPrimaryIndex(definition);
    return;
  }
  cursor_.SetIndexPos(kPrimaryIndexSlot);
  cursor_.SetToBegin();
}

void TTableMaintenance::AddSecondaryIndex(TIndexDefinition definition) {
  CheckOpen();
  cursor_.CheckLocal();
  if (!definition.Temporary) {
    CheckExclusive();
    CheckNotReadOnly();
  }
  TDataTable& table = *cursor_.Table;
  definition.IndexName = TrimString(definition.IndexName);
  VerifyIndexDefinition(definition, TableFields(table), false, definition.IndexName);
  const std::string name = definition.IndexName;
  std::vector<std::int32_t> violations;
  int slot = 0;
  {
    TDataCursor::TWriteLock lock(cursor_);
    table.AddSecondaryIndex(definition);
    slot = table.GetIndexCount();
    auto takeOut = [&] { DropIndex(slot); };
    try {
      violations = FillIndex(slot);
      if (!violations.empty()) takeOut();
      cursor_.FlushEdit(true, false);
    } catch (...) {
      try {
        if (table.GetIndexCount() == slot) takeOut();
      } catch (...) {
      }
      throw;
    }
    lock.Release();
  }
  if (!violations.empty()) {
    if (!AcceptLosses(dlKeyViolation, name, violations.size())) Raise(KORVEL_KEYVIOL, "", name);
    RemoveRecords(violations);
    AddSecondaryIndex(definition);
    return;
  }
  cursor_.SetToBegin();
}

void TTableMaintenance::DeleteIndex(const std::string& name) {
  CheckOpen();
  TDataTable& table = *cursor_.Table;
  const std::string wanted = TrimString(name);
  int found = -1;
  for (int slot = table.GetNoPrimaryIndex() ? 1 : 0; slot <= table.GetIndexCount() && found < 0; ++slot) {
    TIndexDefinition d;
    table.GetIndexDefinition(slot, d);
    if (SameName(TrimString(d.IndexName), wanted)) found = slot;
  }
  if (found < 0) Raise(KORVEL_INVALIDINDEXNAME, "", wanted);
  DeleteIndexByPos(found);
}

void TTableMaintenance::DeleteIndexByPos(int slot) {
  CheckOpen();
  cursor_.CheckLocal();
  TDataTable& table = *cursor_.Table;
  bool temporary = slot > 0 && slot <= table.GetIndexCount() && table.IndexFile->IndexDefinition(slot).Temporary;
  if (!temporary) {
    CheckExclusive();
    CheckNotReadOnly();
  }
  if (slot < 0 || slot > table.GetIndexCount() || (slot == kPrimaryIndexSlot && table.GetNoPrimaryIndex()))
    Raise(KORVEL_INVALIDINDEXNAME);
  // Off the index first: the cursor must not stand on pages about to be freed.
  cursor_.SetIndexPos(kNoIndexPos);
  {
    TDataCursor::TWriteLock lock(cursor_);
    DropIndex(slot);
    cursor_.FlushEdit(true, false);
    lock.Release();
  }
  cursor_.SetIndexPos(table.GetNoPrimaryIndex() ? kNoIndexPos : kPrimaryIndexSlot);
  cursor_.SetToBegin();
}

void TTableMaintenance::DeleteAllIndexes() {
  CheckOpen();
  TDataTable& table = *cursor_.Table;
  for (int slot = table.GetIndexCount(); slot >= 1; --slot) DeleteIndexByPos(slot);
  if (!table.GetNoPrimaryIndex()) DeleteIndexByPos(kPrimaryIndexSlot);
}

}  // namespace korvel
