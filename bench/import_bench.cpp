// Import and export of delimited text against SQLite, same machine, same run, same file: a CSV
// file of N lines (default 1,000,000) of five columns: an integer key, a 20-character string,
// a float, a date and a second integer.
//
//   import, shared        KORVEL: ImportTable into a table with a primary index on the key,
//                         every append under its own locks and flushed to the OS (no fsync)
//   import, transaction   the same inside one transaction of the database
//   SQLite, parsed rows   the same file parsed by the same tokenizer, the rows inserted with a
//                         prepared INSERT in one transaction (journal_mode=WAL, synchronous=OFF)
//   SQLite .import        the sqlite3 program's .import of the file, where it is installed
//   export                KORVEL: ExportTable of the whole table; SQLite: SELECT * written as
//                         CSV through the same 64 KiB buffered writes
//
//   import_bench [lines] [--no-transaction]
//
// --no-transaction leaves out the import inside one transaction (whose record locks, all held
// to the commit, make it the slowest of the runs at large sizes).

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "engine/table_transfer.h"
#include "expr/import_parser.h"
#include "framework/date_time.h"
#include "support/key_encoding.h"
#include "bench/bench_support.h"

using namespace korvel;
using namespace korvel::bench;

namespace {

constexpr std::int32_t kCacheBytes = 64 << 20;

TTableStructure Structure() {
  TTableStructure s;
  s.Fields = {MakeField("K", dtInteger), MakeField("Name", dtString, 20), MakeField("Amount", dtFloat), MakeField("Day", dtDate),
              MakeField("Qty", dtInteger)};
  TIndexDefinition d;
  d.Unique = true;
  d.KeyFieldCount = 1;
  d.KeyFields[0] = 1;
  d.KeySize = 5;
  s.PrimaryIndex = d;
  return s;
}

void WriteCsv(const std::string& path, int n) {
  std::mt19937 random(7);
  std::string out;
  for (int i = 0; i < n; ++i) {
    std::string name(20, 'a');
    for (char& c : name) c = static_cast<char>('a' + random() % 26);
    int y = 1950 + static_cast<int>(random() % 70), m = 1 + static_cast<int>(random() % 12),
        d = 1 + static_cast<int>(random() % 28);
    char line[160];
    std::snprintf(line, sizeof line, "%d,\"%s\",%g,%04d-%02d-%02d,%u\r\n", i + 1, name.c_str(),
                  static_cast<double>(random() % 1000000) / 100.0, y, m, d, static_cast<unsigned>(random() % 100000));
    out += line;
  }
  std::ofstream(path, std::ios::binary) << out;
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

struct TFigures {
  double ImportShared = 0, ImportTransaction = 0, Export = 0;
  double SqliteInsert = 0, SqliteImport = -1, SqliteExport = 0;
};

void RunKorvel(const std::string& folder, const std::string& csv, TFigures& f, int n, bool transaction) {
  TDataSession session(false);
  session.MaxTableDataBufferSize = kCacheBytes;
  session.MaxTableDataBufferCount = kCacheBytes / 64;
  session.MaxTableIndexBufferSize = kCacheBytes;
  TDataDirectory* directory = session.OpenDataDirectory("bench", folder);
  for (const char* name : {"shared", "batch"}) {
    TDataTable* created = nullptr;
    if (directory->CreateDataTable(name, Structure(), false, false, created) < 0) std::abort();
  }
  const std::vector<std::int32_t> fields = {1, 2, 3, 4, 5};
  {
    TDataCursor c(directory);
    c.SetTableName("shared");
    c.OpenCursor();
    auto start = TClock::now();
    if (ImportTable(c, csv, {}, fields) != n) std::abort();
    f.ImportShared = Seconds(start);
  }
  TDataCursor c(directory);
  c.SetTableName(transaction ? "batch" : "shared");
  c.OpenCursor();
  auto start = TClock::now();
  if (transaction) {
    directory->StartTransaction();
    if (ImportTable(c, csv, {}, fields) != n) std::abort();
    directory->CommitTransaction(true, false);
    f.ImportTransaction = Seconds(start);
  }
  start = TClock::now();
  if (ExportTable(c, folder + "/korvel_out.csv", {}, fields) != n) std::abort();
  f.Export = Seconds(start);
}

void RunSqlite(const std::string& folder, const std::string& csv, TFigures& f, int n) {
  sqlite3* db = nullptr;
  Check(sqlite3_open((folder + "/bench.db").c_str(), &db), db);
  Check(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536;"
                         "CREATE TABLE t(k INTEGER PRIMARY KEY, name TEXT, amount REAL, day TEXT, qty INTEGER);",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?,?,?)", -1, &insert, nullptr), db);
  auto start = TClock::now();
  // The same 64 KiB reads and the same tokenizer as the engine's import, so that only the
  // storing differs.
  std::FILE* in = std::fopen(csv.c_str(), "rb");
  std::vector<char> window(1 << 16);
  std::size_t carried = 0;
  std::vector<std::string> values;
  std::string text;
  int rows = 0;
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  for (;;) {
    std::size_t got = std::fread(window.data() + carried, 1, window.size() - carried, in);
    std::size_t length = carried + got;
    if (length == 0) break;
    std::size_t end = length;
    if (got > 0 && length == window.size())
      while (end > 0 && window[end - 1] != '\n') --end;
    TImportParser p;
    p.SetExpression(window.data(), end);
    values.clear();
    for (int kind = p.NextToken(); kind != itEnd; kind = p.NextToken()) {
      if (kind == itValue || kind == itQuoted) {
        p.TokenToString(text);
        values.push_back(text);
      } else if (kind == itLineFeed && !values.empty()) {
        sqlite3_bind_int(insert, 1, std::atoi(values[0].c_str()));
        sqlite3_bind_text(insert, 2, values[1].c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 3, std::atof(values[2].c_str()));
        sqlite3_bind_text(insert, 4, values[3].c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 5, std::atoi(values[4].c_str()));
        Check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
        values.clear();
        ++rows;
      }
    }
    carried = length - end;
    std::memmove(window.data(), window.data() + end, carried);
    if (got == 0) break;
  }
  std::fclose(in);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  f.SqliteInsert = Seconds(start);
  if (rows != n) std::abort();
  sqlite3_finalize(insert);

  // SELECT * as CSV.
  start = TClock::now();
  sqlite3_stmt* select = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT * FROM t", -1, &select, nullptr), db);
  std::FILE* out = std::fopen((folder + "/sqlite_out.csv").c_str(), "wb");
  std::string buffer;
  buffer.reserve(1 << 16);
  while (sqlite3_step(select) == SQLITE_ROW) {
    char line[160];
    int len = std::snprintf(line, sizeof line, "%d,\"%s\",%.17g,%s,%d\r\n", sqlite3_column_int(select, 0),
                            reinterpret_cast<const char*>(sqlite3_column_text(select, 1)),
                            sqlite3_column_double(select, 2),
                            reinterpret_cast<const char*>(sqlite3_column_text(select, 3)),
                            sqlite3_column_int(select, 4));
    if (buffer.size() + static_cast<std::size_t>(len) > (1 << 16)) {
      std::fwrite(buffer.data(), 1, buffer.size(), out);
      buffer.clear();
    }
    buffer.append(line, static_cast<std::size_t>(len));
  }
  std::fwrite(buffer.data(), 1, buffer.size(), out);
  std::fclose(out);
  sqlite3_finalize(select);
  f.SqliteExport = Seconds(start);
  sqlite3_close(db);

  if (std::system("command -v sqlite3 >/dev/null 2>&1") == 0) {
    std::string script = folder + "/import.sql";
    std::ofstream(script) << "PRAGMA journal_mode=WAL;\nPRAGMA synchronous=OFF;\n"
                             "CREATE TABLE t(k INTEGER PRIMARY KEY, name TEXT, amount REAL, day TEXT, qty INTEGER);\n"
                             ".mode csv\n.import " << csv << " t\n";
    start = TClock::now();
    std::string command = "sqlite3 " + folder + "/dot.db < " + script + " > /dev/null";
    if (std::system(command.c_str()) == 0) f.SqliteImport = Seconds(start);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const bool transaction = !(argc > 2 && std::strcmp(argv[2], "--no-transaction") == 0);
  std::string folder = (std::filesystem::temp_directory_path() / ("korvel_import_bench_" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(folder);
  const std::string csv = folder + "/input.csv";
  WriteCsv(csv, n);
  TFigures f;
  RunKorvel(folder, csv, f, n, transaction);
  RunSqlite(folder, csv, f, n);
  std::printf("%d lines, %.1f MB\n", n, static_cast<double>(std::filesystem::file_size(csv)) / 1e6);
  std::printf("%-40s %10s %10s %8s\n", "operation", "KORVEL s", "SQLite s", "ratio");
  auto row = [](const char* name, double k, double s) {
    std::printf("%-40s %10.3f %10.3f %8.2f\n", name, k, s, s > 0 ? k / s : 0.0);
  };
  row("import, shared vs parsed rows in 1 txn", f.ImportShared, f.SqliteInsert);
  if (transaction) row("import, transaction vs parsed rows", f.ImportTransaction, f.SqliteInsert);
  if (f.SqliteImport >= 0) {
    row("import, shared vs sqlite3 .import", f.ImportShared, f.SqliteImport);
    if (transaction) row("import, transaction vs sqlite3 .import", f.ImportTransaction, f.SqliteImport);
  }
  row("export vs SELECT * as CSV", f.Export, f.SqliteExport);
  std::filesystem::remove_all(folder);
  return 0;
}
