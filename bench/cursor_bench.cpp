// The table cursor against SQLite, same machine, same run, same data: a table of N records
// (default 1,000,000) with an auto-increment primary key, a 30-character name under a
// non-unique secondary index, an integer and a float.
//
//   load, shared        KORVEL: appends through the cursor on a shared table, every append
//                       flushed to the OS (no fsync); SQLite: prepared INSERT in autocommit,
//                       journal_mode=WAL, synchronous=OFF
//   load, transaction   the same inside one transaction
//   lookups             100,000 random point lookups by primary key (Find / WHERE id=?)
//   range scans         1,000 scans of 1,000 records on the name index from a random name
//                       (Find nearest + 1,000 steps / WHERE name >= ? ORDER BY name LIMIT 1000)
//   modifies            100,000 random changes of the integer field, each its own commit
//   deletes             100,000 random deletes, each its own commit
//
// Both engines get a 64 MB cache and files in a fresh temporary folder.
//
//   cursor_bench [records] [korvel]      (korvel: KORVEL's figures only, for profiling)

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "support/key_encoding.h"
#include "bench/bench_support.h"

using namespace korvel;
using namespace korvel::bench;

namespace {


constexpr int kLookups = 100000;
constexpr int kScans = 1000;
constexpr int kScanLength = 1000;
constexpr int kEdits = 100000;
constexpr std::int32_t kCacheBytes = 64 << 20;

struct TFigures {
  double LoadShared = 0, LoadTransaction = 0, Lookups = 0, Scans = 0, Modifies = 0, Deletes = 0;
  long long Check = 0;  // results summed, so that no work is optimised away
};

struct TData {
  std::vector<std::string> Names;  // per record
  std::vector<std::int32_t> Ints;
  std::vector<double> Floats;
  std::vector<std::string> ScanStarts;
  std::vector<std::int32_t> LookupIds, ModifyIds, DeleteIds;
};

TData MakeData(int n) {
  TData d;
  std::mt19937 random(42);
  std::vector<std::string> distinct(static_cast<std::size_t>(std::max(1, n / 4)));
  for (std::string& s : distinct) {
    s.resize(30);
    for (char& c : s) c = static_cast<char>('a' + random() % 26);
  }
  for (int i = 0; i < n; ++i) {
    d.Names.push_back(distinct[random() % distinct.size()]);
    d.Ints.push_back(static_cast<std::int32_t>(random() % 1000000));
    d.Floats.push_back(static_cast<double>(random() % 100000) / 7.0);
  }
  for (int i = 0; i < kScans; ++i) d.ScanStarts.push_back(distinct[random() % distinct.size()].substr(0, 3));
  for (int i = 0; i < kLookups; ++i) d.LookupIds.push_back(static_cast<std::int32_t>(1 + random() % n));
  for (int i = 0; i < kEdits; ++i) d.ModifyIds.push_back(static_cast<std::int32_t>(1 + random() % n));
  std::vector<std::int32_t> all(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) all[static_cast<std::size_t>(i)] = i + 1;
  std::shuffle(all.begin(), all.end(), random);
  all.resize(std::min<std::size_t>(all.size(), kEdits));
  d.DeleteIds = all;
  return d;
}

// ---------------------------------------------------------------------------------------------
// KORVEL

TTableStructure Structure() {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 30), MakeField("Int", dtInteger),
              MakeField("Float", dtFloat)};
  s.PrimaryIndex.KeyFieldCount = 1;
  s.PrimaryIndex.KeyFields[0] = 1;
  s.PrimaryIndex.KeySize = 5;
  s.PrimaryIndex.Unique = true;
  TIndexDefinition byName;
  byName.IndexName = "ByName";
  byName.KeyFieldCount = 1;
  byName.KeyFields[0] = 2;
  byName.KeySize = 1 + 31 + 4;
  s.SecondaryIndexes.push_back(byName);
  return s;
}

void Load(TDataCursor& c, const TData& d) {
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  for (std::size_t i = 0; i < d.Names.size(); ++i) {
    c.InitRecord(r.data());
    c.PutField(2, r.data(), d.Names[i].c_str());
    c.PutField(3, r.data(), &d.Ints[i]);
    c.PutField(4, r.data(), &d.Floats[i]);
    c.AppendRecord(r.data(), false);
  }
}

TFigures RunKorvel(const std::string& folder, const TData& d) {
  TFigures f;
  TDataSession session(false);
  session.MaxTableDataBufferSize = kCacheBytes;
  session.MaxTableDataBufferCount = kCacheBytes / 64;
  session.MaxTableIndexBufferSize = kCacheBytes;
  TDataDirectory* directory = session.OpenDataDirectory("bench", folder);
  for (const char* name : {"shared", "batch"}) {
    TDataTable* created = nullptr;
    if (directory->CreateDataTable(name, Structure(), false, false, created) < 0) std::abort();
  }
  {
    TDataCursor c(directory);
    c.SetTableName("shared");
    c.OpenCursor();
    auto start = TClock::now();
    Load(c, d);
    f.LoadShared = Seconds(start);
    f.Check += c.GetRecordCount();
  }
  TDataCursor c(directory);
  c.SetTableName("batch");
  c.OpenCursor();
  auto start = TClock::now();
  directory->StartTransaction();
  Load(c, d);
  directory->CommitTransaction(true, false);
  f.LoadTransaction = Seconds(start);

  std::vector<std::uint8_t> key(static_cast<std::size_t>(c.GetRecordSize()));
  std::vector<std::uint8_t> r(key.size());
  start = TClock::now();
  for (std::int32_t id : d.LookupIds) {
    TDataCursor::PutRecordID(id, key.data());
    if (c.Find(false, key.data(), 1, false, 0, r.data())) {
      std::int32_t v = 0;
      c.GetField(3, r.data(), &v);
      f.Check += v;
    }
  }
  f.Lookups = Seconds(start);

  c.SetIndexName("ByName");
  start = TClock::now();
  for (const std::string& from : d.ScanStarts) {
    c.PutField(2, key.data(), from.c_str());
    c.Find(false, key.data(), 1, true, 0, r.data());
    c.GetCurrentRecord(r.data());
    for (int i = 1; i < kScanLength; ++i) {
      if (c.GetNextRecord(r.data()) != 0) break;
      f.Check += r[9];
    }
  }
  f.Scans = Seconds(start);

  c.SetIndexName("");
  start = TClock::now();
  for (std::size_t i = 0; i < d.ModifyIds.size(); ++i) {
    TDataCursor::PutRecordID(d.ModifyIds[i], key.data());
    if (!c.Find(false, key.data(), 1, false, 0, r.data())) continue;
    c.GetCurrentRecord(r.data(), true);
    std::int32_t v = static_cast<std::int32_t>(i);
    c.PutField(3, r.data(), &v);
    c.ModifyRecord(r.data(), true, false);
  }
  f.Modifies = Seconds(start);

  start = TClock::now();
  for (std::int32_t id : d.DeleteIds) {
    TDataCursor::PutRecordID(id, key.data());
    if (!c.Find(false, key.data(), 1, false, 0, r.data())) continue;
    c.DeleteRecord(r.data(), false);
  }
  f.Deletes = Seconds(start);
  f.Check += c.GetRecordCount();
  return f;
}

// ---------------------------------------------------------------------------------------------
// SQLite

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    std::abort();
  }
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) std::abort();
  return s;
}

sqlite3* OpenSqlite(const std::string& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
  Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536;");
  Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, i INTEGER, f REAL);"
           "CREATE INDEX t_name ON t(name);");
  return db;
}

void LoadSqlite(sqlite3* db, const TData& d) {
  sqlite3_stmt* insert = Prepare(db, "INSERT INTO t (name, i, f) VALUES (?, ?, ?)");
  for (std::size_t i = 0; i < d.Names.size(); ++i) {
    sqlite3_bind_text(insert, 1, d.Names[i].c_str(), static_cast<int>(d.Names[i].size()), SQLITE_STATIC);
    sqlite3_bind_int(insert, 2, d.Ints[i]);
    sqlite3_bind_double(insert, 3, d.Floats[i]);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}

TFigures RunSqlite(const std::string& folder, const TData& d) {
  TFigures f;
  {
    sqlite3* db = OpenSqlite(folder + "shared.db");
    auto start = TClock::now();
    LoadSqlite(db, d);
    f.LoadShared = Seconds(start);
    sqlite3_close(db);
  }
  sqlite3* db = OpenSqlite(folder + "batch.db");
  auto start = TClock::now();
  Exec(db, "BEGIN");
  LoadSqlite(db, d);
  Exec(db, "COMMIT");
  f.LoadTransaction = Seconds(start);

  sqlite3_stmt* lookup = Prepare(db, "SELECT id, name, i, f FROM t WHERE id = ?");
  start = TClock::now();
  for (std::int32_t id : d.LookupIds) {
    sqlite3_bind_int(lookup, 1, id);
    if (sqlite3_step(lookup) == SQLITE_ROW) f.Check += sqlite3_column_int(lookup, 2);
    sqlite3_reset(lookup);
  }
  f.Lookups = Seconds(start);
  sqlite3_finalize(lookup);

  sqlite3_stmt* scan = Prepare(db, "SELECT id, name, i, f FROM t WHERE name >= ? ORDER BY name LIMIT 1000");
  start = TClock::now();
  for (const std::string& from : d.ScanStarts) {
    sqlite3_bind_text(scan, 1, from.c_str(), static_cast<int>(from.size()), SQLITE_STATIC);
    while (sqlite3_step(scan) == SQLITE_ROW) f.Check += sqlite3_column_text(scan, 1)[0];
    sqlite3_reset(scan);
  }
  f.Scans = Seconds(start);
  sqlite3_finalize(scan);

  sqlite3_stmt* modify = Prepare(db, "UPDATE t SET i = ? WHERE id = ?");
  start = TClock::now();
  for (std::size_t i = 0; i < d.ModifyIds.size(); ++i) {
    sqlite3_bind_int(modify, 1, static_cast<int>(i));
    sqlite3_bind_int(modify, 2, d.ModifyIds[i]);
    if (sqlite3_step(modify) != SQLITE_DONE) std::abort();
    sqlite3_reset(modify);
  }
  f.Modifies = Seconds(start);
  sqlite3_finalize(modify);

  sqlite3_stmt* remove = Prepare(db, "DELETE FROM t WHERE id = ?");
  start = TClock::now();
  for (std::int32_t id : d.DeleteIds) {
    sqlite3_bind_int(remove, 1, id);
    if (sqlite3_step(remove) != SQLITE_DONE) std::abort();
    sqlite3_reset(remove);
  }
  f.Deletes = Seconds(start);
  sqlite3_finalize(remove);
  sqlite3_close(db);
  return f;
}

void Row(const char* what, double korvel, double sqlite) {
  std::printf("%-34s %10.3f s %10.3f s %8.2fx\n", what, korvel, sqlite, sqlite > 0 ? korvel / sqlite : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1000000;
  TTempFolder temp("korvel-cursor-bench");
  if (temp.Path.empty()) return 1;
  const std::string& folder = temp.Path;
  TData data = MakeData(n);
  const bool korvelOnly = argc > 2 && std::strcmp(argv[2], "korvel") == 0;
  TFigures k = RunKorvel(folder, data);
  TFigures s = korvelOnly ? TFigures{} : RunSqlite(folder, data);
  std::printf("cursor_bench: %d records (ID auto-increment, 30-character name indexed, integer, float)\n", n);
  std::printf("%-34s %12s %12s %9s\n", "", "KORVEL", "SQLite", "ratio");
  Row("load, each append flushed/commit", k.LoadShared, s.LoadShared);
  Row("load, one transaction", k.LoadTransaction, s.LoadTransaction);
  Row("100,000 lookups by primary key", k.Lookups, s.Lookups);
  Row("1,000 scans of 1,000 by name", k.Scans, s.Scans);
  Row("100,000 modifies of the integer", k.Modifies, s.Modifies);
  Row("100,000 deletes", k.Deletes, s.Deletes);
  std::printf("(checks %lld %lld)\n", k.Check, s.Check);
  return 0;
}
