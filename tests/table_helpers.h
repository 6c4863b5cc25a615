#pragma once
// A small counter table for the shared-table tests, and sessions that open it.
//
// The table: field 1 "Counter" (integer), field 2 "Name" (string of 20), and with BLOBs field 3
// "Notes" (memo). Records are read and rewritten the way a cursor would: under the table's read
// lock, and under its write lock with the change flushed before the lock goes.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "engine/data_table.h"
#include "engine/session.h"
#include "support/byte_order.h"

namespace korvel::testing {

inline TTableStructure CounterTableStructure(bool withBlob) {
  TTableStructure s;
  s.Fields = {MakeField("Counter", dtInteger), MakeField("Name", dtString, 20)};
  if (withBlob) s.Fields.push_back(MakeField("Notes", dtBlob, 0, stMemo));
  s.Description = "counters";
  return s;
}

// One engine session with one directory; short lock retries so refusals come quickly.
class TTableSession {
 public:
  explicit TTableSession(const std::string& folder, std::uint8_t retries = 2, std::uint16_t wait = 1)
      : Session(std::make_unique<TDataSession>(false)) {
    Session->SetLockRetries(retries);
    Session->SetLockWait(wait);
    Directory = Session->OpenDataDirectory("test", folder);
  }
  ~TTableSession() {
    // The directory (and with it every table) goes with the session.
    Session.reset();
  }
  TTableSession(const TTableSession&) = delete;
  TTableSession& operator=(const TTableSession&) = delete;

  // Opens the table like an ordinary cursor would; the directory's code, 0 on success.
  int Open(const std::string& name, bool exclusive = false, bool overrideExclusive = false) {
    TDataTable* table = nullptr;
    int code = Directory->OpenDataTable(name, table, true, exclusive, overrideExclusive, false, false, false, false);
    if (code == 0) Table = table;
    return code;
  }
  int Close() {
    std::string name = Table->TableName;
    bool inMemory = Table->InMemory;
    int code = Directory->CloseDataTable(Table, true, false, false);
    if (Directory->FindDataTable(name, inMemory) == nullptr) Table = nullptr;
    return code;
  }

  std::unique_ptr<TDataSession> Session;
  TDataDirectory* Directory = nullptr;
  TDataTable* Table = nullptr;
};

inline std::size_t CounterOffset(const TDataTable& table) {
  return table.GetFieldDefinitionByPos(1).Offset;
}

inline std::int32_t CounterOf(const TDataTable& table, const TRecord& record) {
  return GetI32(record.Buffer(), CounterOffset(table) + 1);
}

inline void SetCounter(const TDataTable& table, TRecord& record, std::int32_t value) {
  record.Buffer()[CounterOffset(table)] = 1;
  PutI32(record.Buffer(), CounterOffset(table) + 1, value);
  record.Modified = true;
}

// Record r as the cache holds it: no lock unless the record must come from disk, and that lock
// is given back at once, as a cursor's navigation does.
inline std::int32_t CachedCounter(TDataTable& table, std::int32_t r) {
  bool held = table.ReadLocked;
  TRecord* record = nullptr;
  if (!table.GetRecord(nullptr, r, false, false, true, record)) return -1;
  std::int32_t value = CounterOf(table, *record);
  table.PutRecord(record);
  if (!held) table.ReadUnlockTable();
  return value;
}

// Record r under the read lock (which notices other writers first).
inline std::int32_t ReadCounter(TDataTable& table, std::int32_t r) {
  table.ReadLockTable();
  std::int32_t value = CachedCounter(table, r);
  table.ReadUnlockTable();
  return value;
}

// Rewrites record r, or appends it when r is the next record number, under the write lock.
inline void WriteCounter(TDataTable& table, std::int32_t r, std::int32_t value) {
  table.WriteLockTable();
  try {
    TRecord* record = nullptr;
    if (r == table.GetPhysicalRecordsUsed() + 1) {
      table.GetNextFreeRecord(nullptr, record);
      record->Initialize(true);
      table.IncActualRecordCount();
    } else {
      table.GetRecord(nullptr, r, false, false, true, record);
    }
    SetCounter(table, *record, value);
    table.PutRecord(record);
    table.FlushBuffers(false, true, false, false, true);
  } catch (...) {
    table.WriteUnlockTable();
    throw;
  }
  table.WriteUnlockTable();
}

// Creates the table with `records` records, all counters 0.
inline void CreateCounterTable(const std::string& folder, const std::string& name, std::int32_t records,
                               bool withBlob = false) {
  TTableSession s(folder);
  TDataTable* created = nullptr;
  s.Directory->CreateDataTable(name, CounterTableStructure(withBlob), false, false, created);
  s.Open(name, true);
  for (std::int32_t r = 1; r <= records; ++r) WriteCounter(*s.Table, r, 0);
  s.Close();
}

}  // namespace korvel::testing
