// Table maintenance against SQLite, same machine, same run, same data: the table of the cursor
// benchmark (N records, default 1,000,000: auto-increment primary key, a 30-character name, an
// integer, a float), loaded in one transaction without the name index, then
//
//   add index     a non-unique secondary index on the name (AddSecondaryIndex / CREATE INDEX)
//   optimise      the table rewritten in primary-key order, every index rebuilt, after 10 % of
//                 the records were deleted (OptimizeTable without backup / VACUUM)
//   copy          every record into a new table in the same folder, with the indexes
//                 (CopyTable / CREATE TABLE + INSERT INTO copy SELECT * FROM t + CREATE INDEX)
//
// Both engines get a 64 MB cache and files in a fresh temporary folder; SQLite runs with
// journal_mode=WAL and synchronous=OFF, KORVEL on an exclusive table (no fsync either).
//
//   maintenance_bench [records]

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "engine/table_maintenance.h"
#include "bench/bench_support.h"

using namespace korvel;
using namespace korvel::bench;

namespace {


constexpr std::int32_t kCacheBytes = 64 << 20;

struct TFigures {
  double AddIndex = 0, Optimize = 0, Copy = 0;
  long long Check = 0;
};

struct TData {
  std::vector<std::string> Names;
  std::vector<std::int32_t> Ints;
  std::vector<double> Floats;
  std::vector<std::int32_t> DeleteIds;
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
  std::vector<std::int32_t> all(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) all[static_cast<std::size_t>(i)] = i + 1;
  std::shuffle(all.begin(), all.end(), random);
  all.resize(static_cast<std::size_t>(n / 10));
  d.DeleteIds = all;
  return d;
}

// ---------------------------------------------------------------------------------------------
// KORVEL

TTableStructure Structure() {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 30), MakeField("Int", dtInteger),
              MakeField("Float", dtFloat)};
  s.PrimaryIndex.KeyFields[0] = 1;
  return s;
}

TFigures RunKorvel(const std::string& folder, const TData& d) {
  TFigures f;
  TDataSession session(false);
  session.MaxTableDataBufferSize = kCacheBytes;
  session.MaxTableDataBufferCount = kCacheBytes / 64;
  session.MaxTableIndexBufferSize = kCacheBytes;
  TDataDirectory* directory = session.OpenDataDirectory("bench", folder);
  TDataCursor c(directory);
  c.SetTableName("t");
  c.SetExclusive(true);
  TTableMaintenance m(c);
  m.CreateTable(Structure());
  c.OpenCursor();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  directory->StartTransaction();
  for (std::size_t i = 0; i < d.Names.size(); ++i) {
    c.InitRecord(r.data());
    c.PutField(2, r.data(), d.Names[i].c_str());
    c.PutField(3, r.data(), &d.Ints[i]);
    c.PutField(4, r.data(), &d.Floats[i]);
    c.AppendRecord(r.data(), false);
  }
  directory->CommitTransaction(true, false);

  TIndexDefinition byName;
  byName.IndexName = "ByName";
  byName.KeyFields[0] = 2;
  auto start = TClock::now();
  m.AddSecondaryIndex(byName);
  f.AddIndex = Seconds(start);

  std::vector<std::uint8_t> key(r.size());
  c.SetIndexName("");
  for (std::int32_t id : d.DeleteIds) {
    TDataCursor::PutRecordID(id, key.data());
    if (c.Find(false, key.data(), 1, false, 0, r.data())) c.DeleteRecord(r.data(), false);
  }
  c.CloseCursor();
  start = TClock::now();
  m.OptimizeTable("", true);
  f.Optimize = Seconds(start);

  c.OpenCursor();
  start = TClock::now();
  m.CopyTable(folder, "copy", true);
  f.Copy = Seconds(start);
  f.Check += c.GetRecordCount();
  c.CloseCursor();
  TDataCursor copy(directory);
  copy.SetTableName("copy");
  copy.OpenCursor();
  f.Check += copy.GetRecordCount();
  return f;
}

// ---------------------------------------------------------------------------------------------
// SQLite

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
    std::abort();
  }
}

long long Count(sqlite3* db, const char* table) {
  sqlite3_stmt* s = nullptr;
  std::string sql = std::string("SELECT count(*) FROM ") + table;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) std::abort();
  long long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  return n;
}

TFigures RunSqlite(const std::string& folder, const TData& d) {
  TFigures f;
  sqlite3* db = nullptr;
  if (sqlite3_open((folder + "t.db").c_str(), &db) != SQLITE_OK) std::abort();
  Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536;");
  Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, i INTEGER, f REAL);");
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO t (name, i, f) VALUES (?, ?, ?)", -1, &insert, nullptr) != SQLITE_OK)
    std::abort();
  Exec(db, "BEGIN");
  for (std::size_t i = 0; i < d.Names.size(); ++i) {
    sqlite3_bind_text(insert, 1, d.Names[i].c_str(), static_cast<int>(d.Names[i].size()), SQLITE_STATIC);
    sqlite3_bind_int(insert, 2, d.Ints[i]);
    sqlite3_bind_double(insert, 3, d.Floats[i]);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
  }
  Exec(db, "COMMIT");
  sqlite3_finalize(insert);

  auto start = TClock::now();
  Exec(db, "CREATE INDEX t_name ON t(name);");
  f.AddIndex = Seconds(start);

  sqlite3_stmt* remove = nullptr;
  if (sqlite3_prepare_v2(db, "DELETE FROM t WHERE id = ?", -1, &remove, nullptr) != SQLITE_OK) std::abort();
  for (std::int32_t id : d.DeleteIds) {
    sqlite3_bind_int(remove, 1, id);
    if (sqlite3_step(remove) != SQLITE_DONE) std::abort();
    sqlite3_reset(remove);
  }
  sqlite3_finalize(remove);
  start = TClock::now();
  Exec(db, "VACUUM;");
  f.Optimize = Seconds(start);

  start = TClock::now();
  Exec(db, "BEGIN; CREATE TABLE copy (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, i INTEGER, f REAL);"
           "INSERT INTO copy SELECT * FROM t; CREATE INDEX copy_name ON copy(name); COMMIT;");
  f.Copy = Seconds(start);
  f.Check += Count(db, "t") + Count(db, "copy");
  sqlite3_close(db);
  return f;
}

void Row(const char* what, double korvel, double sqlite) {
  std::printf("%-34s %10.3f s %10.3f s %8.2fx\n", what, korvel, sqlite, sqlite > 0 ? korvel / sqlite : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1000000;
  TTempFolder temp("korvel-maintenance-bench");
  if (temp.Path.empty()) return 1;
  const std::string& folder = temp.Path;
  TData data = MakeData(n);
  TFigures k = RunKorvel(folder, data);
  TFigures s = RunSqlite(folder, data);
  std::printf("maintenance_bench: %d records (ID auto-increment, 30-character name, integer, float)\n", n);
  std::printf("%-34s %12s %12s %9s\n", "", "KORVEL", "SQLite", "ratio");
  Row("add an index on the name", k.AddIndex, s.AddIndex);
  Row("optimise after 10 % deleted", k.Optimize, s.Optimize);
  Row("copy with indexes", k.Copy, s.Copy);
  std::printf("(checks %lld %lld)\n", k.Check, s.Check);
  return 0;
}
