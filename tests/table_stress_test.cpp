// Several processes increment counters of one shared table at random: each operation locks a
// record, rewrites it under the write lock and unlocks it; some run inside transactions, some
// of which roll back. At the end every counter must equal the increments that were committed,
// no lock may remain, and the whole run must end within its time bound.
//
// Scaled by the environment: KORVEL_STRESS_PROCESSES (default 4), KORVEL_STRESS_OPERATIONS per
// process (default 2000), KORVEL_STRESS_RECORDS (default 16), KORVEL_STRESS_SECONDS (the time
// bound, default 300).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "support/test_folder.h"
#include "tests/table_helpers.h"

namespace korvel {
namespace {

using testing::CounterOf;
using testing::CreateCounterTable;
using testing::ReadCounter;
using testing::SetCounter;
using testing::TTableSession;
using testing::TTestFolder;

long EnvironmentNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  long value = std::strtol(text, nullptr, 10);
  return value > 0 ? value : fallback;
}

// One increment of record r as a cursor's locked edit does it; false when the record lock was
// refused (another process holds it).
bool Increment(TDataTable& table, std::int32_t r) {
  try {
    table.UserWriteLockRecord(r);
  } catch (const EKORVELEngineError& e) {
    if (e.ErrorCode != KORVEL_RECLOCKFAILED) throw;
    return false;
  }
  table.ReadUnlockTable();  // the edit's locking call ends here
  table.WriteLockTable();
  TRecord* record = nullptr;
  table.GetRecord(nullptr, r, false, false, true, record);
  SetCounter(table, *record, CounterOf(table, *record) + 1);
  table.PutRecord(record);
  table.FlushBuffers(false, true, false, false, false);
  table.WriteUnlockTable();
  table.UserWriteUnlockRecord(r);
  return true;
}

struct TWorkerResult {
  std::vector<std::int64_t> Committed;  // per record, index 0 unused
  std::int64_t Refused = 0;
  std::int64_t RolledBack = 0;
};

// The body of one worker process; its exit status.
int RunWorker(const std::string& folder, int worker, long operations, int records, TWorkerResult& result) {
  // Short user-lock retries: a transaction that waits for a record held by a process that waits
  // for the transaction's data byte gives up quickly and rolls back.
  TTableSession s(folder, 20, 1);
  if (s.Open("stress") != 0) return 2;
  TDataTable& table = *s.Table;
  std::mt19937 random(static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(worker));
  std::uniform_int_distribution<int> pickRecord(1, records);
  std::uniform_int_distribution<int> pickMode(0, 9);
  result.Committed.assign(static_cast<std::size_t>(records) + 1, 0);
  for (long op = 0; op < operations;) {
    int mode = pickMode(random);
    if (mode < 7) {
      std::int32_t r = pickRecord(random);
      if (Increment(table, r))
        ++result.Committed[static_cast<std::size_t>(r)];
      else
        ++result.Refused;
      ++op;
      continue;
    }
    // A transaction of one to three increments; mode 9 rolls it back.
    std::vector<std::int32_t> pending;
    bool refused = false;
    s.Directory->StartTransaction();
    int steps = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < steps && op < operations; ++i, ++op) {
      std::int32_t r = pickRecord(random);
      if (!Increment(table, r)) {
        refused = true;
        ++result.Refused;
        break;
      }
      pending.push_back(r);
    }
    if (refused || mode == 9) {
      s.Directory->RollbackTransaction();
      ++result.RolledBack;
      continue;
    }
    s.Directory->CommitTransaction(true, false);
    for (std::int32_t r : pending) ++result.Committed[static_cast<std::size_t>(r)];
  }
  // Nothing of the protocol may be left behind by the run itself.
  if (table.GetRecordLockCount() != 0 || table.ReadLocked || table.WriteLocked || table.TransactionLocked ||
      table.UserTableLocked || !table.DataFile->File->Locks.empty() || !table.IndexFile->File->Locks.empty())
    return 5;
  return 0;
}

void SaveResult(const std::string& path, const TWorkerResult& result) {
  std::ofstream out(path);
  out << result.Refused << ' ' << result.RolledBack;
  for (std::size_t r = 1; r < result.Committed.size(); ++r) out << ' ' << result.Committed[r];
}

bool LoadResult(const std::string& path, int records, TWorkerResult& result) {
  std::ifstream in(path);
  result.Committed.assign(static_cast<std::size_t>(records) + 1, 0);
  in >> result.Refused >> result.RolledBack;
  for (int r = 1; r <= records; ++r) in >> result.Committed[static_cast<std::size_t>(r)];
  return static_cast<bool>(in);
}

TEST(TableStress, CountersEqualTheCommittedIncrements) {
  const int processes = static_cast<int>(EnvironmentNumber("KORVEL_STRESS_PROCESSES", 4));
  const long operations = EnvironmentNumber("KORVEL_STRESS_OPERATIONS", 2000);
  const int records = static_cast<int>(EnvironmentNumber("KORVEL_STRESS_RECORDS", 16));
  const long bound = EnvironmentNumber("KORVEL_STRESS_SECONDS", 300);
  TTestFolder folder;
  CreateCounterTable(folder.Path(), "stress", records);

  const auto start = std::chrono::steady_clock::now();
  std::vector<pid_t> children;
  for (int worker = 0; worker < processes; ++worker) {
    pid_t pid = fork();
    if (pid == 0) {
      int code = 1;
      try {
        TWorkerResult result;
        code = RunWorker(folder.Path(), worker, operations, records, result);
        if (code == 0) SaveResult(folder.File("result-" + std::to_string(worker)), result);
      } catch (...) {
        code = 99;
      }
      _exit(code);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }

  // Wait for all of them, but not past the bound: a hang fails the test instead of the suite.
  std::vector<int> codes(children.size(), -1);
  std::size_t running = children.size();
  const auto deadline = start + std::chrono::seconds(bound);
  while (running > 0 && std::chrono::steady_clock::now() < deadline) {
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (codes[i] != -1 || children[i] == 0) continue;
      int status = 0;
      pid_t done = waitpid(children[i], &status, WNOHANG);
      if (done == children[i]) {
        codes[i] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        --running;
      }
    }
    if (running > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (codes[i] != -1) continue;
    kill(children[i], SIGKILL);
    waitpid(children[i], nullptr, 0);
  }
  ASSERT_EQ(running, 0u) << "workers still running after " << bound << " s";
  for (std::size_t i = 0; i < codes.size(); ++i) ASSERT_EQ(codes[i], 0) << "worker " << i;

  std::vector<std::int64_t> expected(static_cast<std::size_t>(records) + 1, 0);
  std::int64_t refused = 0, rolledBack = 0, committed = 0;
  for (int worker = 0; worker < processes; ++worker) {
    TWorkerResult result;
    ASSERT_TRUE(LoadResult(folder.File("result-" + std::to_string(worker)), records, result));
    refused += result.Refused;
    rolledBack += result.RolledBack;
    for (int r = 1; r <= records; ++r) expected[static_cast<std::size_t>(r)] += result.Committed[static_cast<std::size_t>(r)];
  }

  TTableSession check(folder.Path());
  ASSERT_EQ(check.Open("stress"), 0);
  for (int r = 1; r <= records; ++r) {
    EXPECT_EQ(ReadCounter(*check.Table, r), expected[static_cast<std::size_t>(r)]) << "record " << r;
    committed += expected[static_cast<std::size_t>(r)];
  }
  // Every lock region is free again.
  check.Table->UserWriteLockTable();
  EXPECT_TRUE(check.Table->TableIsLocked());
  check.Table->UserWriteUnlockTable();
  check.Table->WriteLockTable();
  check.Table->WriteUnlockTable();

  const double rate = static_cast<double>(processes) * static_cast<double>(operations) / seconds;
  std::printf("table stress: %d processes x %ld operations on %d records: %.2f s, %.0f operations/s; "
              "%lld increments committed, %lld refused record locks, %lld transactions rolled back\n",
              processes, operations, records, seconds, rate, static_cast<long long>(committed),
              static_cast<long long>(refused), static_cast<long long>(rolledBack));
}

}  // namespace
}  // namespace korvel
