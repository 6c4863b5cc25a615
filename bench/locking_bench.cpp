// Lock hand-over between processes: 1, 2, 4 and 8 processes each make 5,000 locked increments
// of random counters of one shared table (1 counter, then 16), and the same increments in
// SQLite from the same number of processes in the same run. A KORVEL increment takes the
// table's write lock (data byte and index region, with change detection), rewrites the record
// and flushes it; a SQLite increment is BEGIN IMMEDIATE, UPDATE, COMMIT on a WAL database with
// synchronous=OFF and a busy timeout. Both check the counters' sum at the end.
//
//   locking_bench [increments per process]

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/table_helpers.h"

using namespace korvel;

namespace {

using TClock = std::chrono::steady_clock;

// Runs `body(worker)` in `processes` children released together; the seconds from release to
// the last exit, or -1 when a child failed.
double RunProcesses(int processes, const std::function<int(int)>& body) {
  int go[2];
  if (pipe(go) != 0) return -1;
  std::vector<pid_t> children;
  for (int w = 0; w < processes; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 1) _exit(3);
      int code = 1;
      try {
        code = body(w);
      } catch (...) {
        code = 2;
      }
      _exit(code);
    }
    children.push_back(pid);
  }
  close(go[0]);
  TClock::time_point start = TClock::now();
  std::string bytes(static_cast<std::size_t>(processes), 'g');
  if (write(go[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
  close(go[1]);
  bool ok = true;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  return ok ? seconds : -1;
}

double RunKorvel(const std::string& folder, int processes, int records, int increments) {
  testing::CreateCounterTable(folder, "bench", records);
  double seconds = RunProcesses(processes, [&](int worker) {
    testing::TTableSession s(folder);
    if (s.Open("bench") != 0) return 4;
    TDataTable& table = *s.Table;
    std::mt19937 random(static_cast<unsigned>(worker) * 7919u + 1u);
    std::uniform_int_distribution<int> pick(1, records);
    for (int i = 0; i < increments; ++i) {
      std::int32_t r = pick(random);
      table.WriteLockTable();
      TRecord* record = nullptr;
      table.GetRecord(nullptr, r, false, false, true, record);
      testing::SetCounter(table, *record, testing::CounterOf(table, *record) + 1);
      table.PutRecord(record);
      table.FlushBuffers(false, true, false, false, false);
      table.WriteUnlockTable();
    }
    return 0;
  });
  testing::TTableSession s(folder);
  s.Open("bench");
  long long sum = 0;
  for (int r = 1; r <= records; ++r) sum += testing::ReadCounter(*s.Table, r);
  if (sum != static_cast<long long>(processes) * increments) {
    std::fprintf(stderr, "KORVEL: counters sum to %lld\n", sum);
    return -1;
  }
  return seconds;
}

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

double RunSQLite(const std::string& folder, int processes, int records, int increments) {
  std::string path = folder + "bench.db";
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, "CREATE TABLE c(id INTEGER PRIMARY KEY, v INTEGER NOT NULL)");
    for (int r = 1; r <= records; ++r) Exec(db, ("INSERT INTO c VALUES(" + std::to_string(r) + ", 0)").c_str());
    sqlite3_close(db);
  }
  double seconds = RunProcesses(processes, [&](int worker) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 4;
    sqlite3_busy_timeout(db, 60000);
    Exec(db, "PRAGMA synchronous=OFF");
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
    sqlite3_prepare_v2(db, "UPDATE c SET v = v + 1 WHERE id = ?", -1, &update, nullptr);
    sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
    std::mt19937 random(static_cast<unsigned>(worker) * 7919u + 1u);
    std::uniform_int_distribution<int> pick(1, records);
    int failures = 0;
    for (int i = 0; i < increments; ++i) {
      if (sqlite3_step(begin) != SQLITE_DONE) ++failures;
      sqlite3_reset(begin);
      sqlite3_bind_int(update, 1, pick(random));
      if (sqlite3_step(update) != SQLITE_DONE) ++failures;
      sqlite3_reset(update);
      if (sqlite3_step(commit) != SQLITE_DONE) ++failures;
      sqlite3_reset(commit);
    }
    sqlite3_finalize(begin);
    sqlite3_finalize(update);
    sqlite3_finalize(commit);
    sqlite3_close(db);
    return failures == 0 ? 0 : 5;
  });
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* sum = nullptr;
  sqlite3_prepare_v2(db, "SELECT sum(v) FROM c", -1, &sum, nullptr);
  long long total = sqlite3_step(sum) == SQLITE_ROW ? sqlite3_column_int64(sum, 0) : -1;
  sqlite3_finalize(sum);
  sqlite3_close(db);
  if (total != static_cast<long long>(processes) * increments) {
    std::fprintf(stderr, "SQLite: counters sum to %lld\n", total);
    return -1;
  }
  return seconds;
}

std::string FreshFolder() {
  char pattern[] = "/tmp/korvel-bench-XXXXXX";
  char* made = mkdtemp(pattern);
  return made ? std::string(made) + "/" : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  const int increments = argc > 1 ? std::atoi(argv[1]) : 5000;
  std::printf("locked increments, %d per process; total increments per second\n", increments);
  std::printf("%-9s %-7s %12s %12s %8s %14s\n", "processes", "records", "KORVEL", "SQLite", "ratio", "KORVEL vs 1");
  for (int records : {1, 16}) {
    double single = 0;
    for (int processes : {1, 2, 4, 8}) {
      std::string folder = FreshFolder();
      double korvel = RunKorvel(folder, processes, records, increments);
      double sqlite = RunSQLite(folder, processes, records, increments);
      std::filesystem::remove_all(folder);
      if (korvel <= 0 || sqlite <= 0) {
        std::printf("%-9d %-7d failed\n", processes, records);
        return 1;
      }
      double total = static_cast<double>(processes) * increments;
      double korvelRate = total / korvel;
      double sqliteRate = total / sqlite;
      if (processes == 1) single = korvelRate;
      std::printf("%-9d %-7d %12.0f %12.0f %7.2fx %13.2fx\n", processes, records, korvelRate, sqliteRate,
                  korvelRate / sqliteRate, korvelRate / single);
      std::fflush(stdout);
    }
  }
  return 0;
}
