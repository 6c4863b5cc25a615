// Filters against SQLite, same machine, same run, same data: N records (default 1,000,000)
// with a 10-character name under an index (100 distinct names, about 1% each), an integer
// 0 ... 999 under an index, and a float without one.
//
//   equality 1%        Name = 'name042'            / SELECT count(*) ... WHERE name = 'name042'
//   range 10%          Int BETWEEN 100 AND 199     / ... WHERE i BETWEEN 100 AND 199
//   complement 90%     Int >= 101 (89.9%)          / ... WHERE i >= 101
//   indexed AND not    Name = 'name042' AND Float < 5000
//   not indexed        Float < 5000 (about 35%)
//   first 1,000        navigating the first 1,000 visible records of the 1% filter, reading
//                      every field / SELECT * ... WHERE name = 'name042' LIMIT 1000
//
// KORVEL's time is adding and activating the filter (which builds its bitmap) and reading the
// count; SQLite's is preparing, stepping and finalising the statement. Each figure is the best
// of three runs. Both engines get a 64 MB cache and files in a fresh temporary folder.
//
//   filter_bench [records]

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "bench/bench_support.h"

using namespace korvel;
using namespace korvel::bench;

namespace {

constexpr std::int32_t kCacheBytes = 64 << 20;
constexpr int kRuns = 3;
constexpr std::size_t kLoadBatch = 10000;

struct TQuery {
  const char* Label;
  const char* Filter;  // KORVEL filter text
  const char* Sql;     // SQLite statement
};

const TQuery kQueries[] = {
    {"equality 1%", "Name = 'name042'", "SELECT count(*) FROM t WHERE name = 'name042'"},
    {"range 10%", "Int BETWEEN 100 AND 199", "SELECT count(*) FROM t WHERE i BETWEEN 100 AND 199"},
    {"complement 90%", "Int >= 101", "SELECT count(*) FROM t WHERE i >= 101"},
    {"indexed AND not", "Name = 'name042' AND Float < 5000", "SELECT count(*) FROM t WHERE name = 'name042' AND f < 5000"},
    {"not indexed", "Float < 5000", "SELECT count(*) FROM t WHERE f < 5000"},
};

struct TRow {
  std::string Name;
  std::int32_t Int;
  double Float;
};

std::vector<TRow> MakeRows(int n) {
  std::mt19937 random(7);
  std::vector<TRow> rows(static_cast<std::size_t>(n));
  char name[16];
  for (TRow& r : rows) {
    std::snprintf(name, sizeof(name), "name%03u", static_cast<unsigned>(random() % 100));
    r.Name = name;
    r.Int = static_cast<std::int32_t>(random() % 1000);
    r.Float = static_cast<double>(random() % 100000) / 7.0;
  }
  return rows;
}

double Best(const std::function<long long()>& run, long long& result) {
  double best = 1e30;
  for (int i = 0; i < kRuns; ++i) {
    auto start = TClock::now();
    result = run();
    best = std::min(best, std::chrono::duration<double>(TClock::now() - start).count());
  }
  return best;
}

// ---------------------------------------------------------------------------------------------
// KORVEL

TIndexDefinition Index(const char* name, std::uint16_t field, std::uint16_t keySize) {
  TIndexDefinition d;
  d.IndexName = name;
  d.KeyFieldCount = 1;
  d.KeyFields[0] = field;
  d.KeySize = keySize;
  return d;
}

TTableStructure Structure() {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 10), MakeField("Int", dtInteger),
              MakeField("Float", dtFloat)};
  s.PrimaryIndex = Index("", 1, 5);
  s.PrimaryIndex.Unique = true;
  s.SecondaryIndexes = {Index("ByName", 2, 1 + 11 + 4), Index("ByInt", 3, 1 + 4 + 4)};
  return s;
}

struct TFigures {
  std::vector<double> Counts;
  std::vector<long long> Results;
  double First = 0;
  long long Check = 0;
};

TFigures RunKorvel(const std::string& folder, const std::vector<TRow>& rows) {
  TFigures f;
  TDataSession session(false);
  session.MaxTableDataBufferSize = kCacheBytes;
  session.MaxTableDataBufferCount = kCacheBytes / 64;
  session.MaxTableIndexBufferSize = kCacheBytes;
  TDataDirectory* directory = session.OpenDataDirectory("bench", folder);
  TDataTable* created = nullptr;
  if (directory->CreateDataTable("t", Structure(), false, false, created) < 0) std::abort();
  TDataCursor c(directory);
  c.SetTableName("t");
  c.OpenCursor();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  // Loaded in transactions of kLoadBatch records, which bounds what one transaction holds.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i % kLoadBatch == 0) directory->StartTransaction();
    const TRow& row = rows[i];
    c.InitRecord(r.data());
    c.PutField(2, r.data(), row.Name.c_str());
    c.PutField(3, r.data(), &row.Int);
    c.PutField(4, r.data(), &row.Float);
    c.AppendRecord(r.data(), false);
    if ((i + 1) % kLoadBatch == 0 || i + 1 == rows.size()) directory->CommitTransaction(true, false);
  }
  TFilterOptions options;
  options.Cost = true;
  options.Count = true;
  for (const TQuery& q : kQueries) {
    long long result = 0;
    f.Counts.push_back(Best([&] {
      int h = c.AddFilter(nullptr, q.Filter, nullptr, options);
      c.ActivateFilter(h);
      long long n = c.GetRecordCount();
      c.DropFilter(h);
      return n;
    }, result));
    f.Results.push_back(result);
  }
  long long read = 0;
  f.First = Best([&] {
    int h = c.AddFilter(nullptr, kQueries[0].Filter, nullptr, options);
    c.ActivateFilter(h);
    c.SetToBegin();
    long long sum = 0;
    for (int i = 0; i < 1000 && c.GetNextRecord(r.data()) == 0; ++i) {
      std::int32_t v = 0;
      double x = 0;
      char name[16];
      c.GetField(2, r.data(), name);
      c.GetField(3, r.data(), &v);
      c.GetField(4, r.data(), &x);
      sum += v + name[4] + static_cast<long long>(x);
    }
    c.DropFilter(h);
    return sum;
  }, read);
  f.Check = read;
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

TFigures RunSqlite(const std::string& file, const std::vector<TRow>& rows) {
  TFigures f;
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
  Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536;");
  Exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, i INTEGER, f REAL);"
           "CREATE INDEX byname ON t(name); CREATE INDEX byint ON t(i);");
  Exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t(name, i, f) VALUES (?, ?, ?)", -1, &insert, nullptr);
  for (const TRow& row : rows) {
    sqlite3_bind_text(insert, 1, row.Name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 2, row.Int);
    sqlite3_bind_double(insert, 3, row.Float);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  Exec(db, "COMMIT; ANALYZE;");
  for (const TQuery& q : kQueries) {
    long long result = 0;
    f.Counts.push_back(Best([&] {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db, q.Sql, -1, &s, nullptr);
      long long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
      sqlite3_finalize(s);
      return n;
    }, result));
    f.Results.push_back(result);
  }
  long long read = 0;
  f.First = Best([&] {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM t WHERE name = 'name042' LIMIT 1000", -1, &s, nullptr);
    long long sum = 0;
    while (sqlite3_step(s) == SQLITE_ROW)
      sum += sqlite3_column_int(s, 2) + sqlite3_column_text(s, 1)[4] + static_cast<long long>(sqlite3_column_double(s, 3));
    sqlite3_finalize(s);
    return sum;
  }, read);
  f.Check = read;
  sqlite3_close(db);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1000000;
  const std::vector<TRow> rows = MakeRows(n);
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("korvel_filter_bench_" + std::to_string(getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  TFigures korvel = RunKorvel(folder.string(), rows);
  TFigures sqlite = RunSqlite((folder / "bench.db").string(), rows);
  std::filesystem::remove_all(folder);
  std::printf("filter_bench: %d records, best of %d runs, seconds\n", n, kRuns);
  std::printf("%-22s %12s %12s %8s %10s\n", "", "KORVEL", "SQLite", "ratio", "records");
  bool same = true;
  for (std::size_t i = 0; i < korvel.Counts.size(); ++i) {
    std::printf("%-22s %12.6f %12.6f %8.3f %10lld\n", kQueries[i].Label, korvel.Counts[i], sqlite.Counts[i],
                korvel.Counts[i] / sqlite.Counts[i], korvel.Results[i]);
    same = same && korvel.Results[i] == sqlite.Results[i];
  }
  std::printf("%-22s %12.6f %12.6f %8.3f\n", "first 1,000 of 1%", korvel.First, sqlite.First, korvel.First / sqlite.First);
  same = same && korvel.Check == sqlite.Check;
  if (!same) {
    std::printf("the two engines disagree on the results\n");
    return 1;
  }
  return 0;
}
