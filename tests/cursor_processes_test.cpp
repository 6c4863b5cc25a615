// Several processes edit one table through cursors at the same time: appends, modifies and
// deletes at random on a table with a unique secondary index. Afterwards every index holds
// exactly the live records, and the record count is what the processes' own counts add up to.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "engine/cursor_test_helpers.h"
#include "engine/data_table.h"
#include "engine/lock_primitives.h"
#include "tests/process_helpers.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::CheckIndexes;

// One process's share of the work; returns its net change of the record count, or raises.
int EditAtRandom(const std::string& folder, int seed, int operations, TLockProtocol protocol) {
  TDataSession session(false);
  session.SetLockRetries(50);
  session.SetLockWait(2);
  session.SetLockProtocol(protocol);
  TDataDirectory* directory = session.OpenDataDirectory("stress", folder);
  auto c = testing::OpenPeople(directory);
  c->SetIndexName("ByAmount");
  std::mt19937 random(static_cast<unsigned>(seed));
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  int net = 0;
  for (int i = 0; i < operations; ++i) {
    const int what = static_cast<int>(random() % 10);
    const std::int32_t amount = static_cast<std::int32_t>(random() % 400);
    try {
      if (what < 5 || c->GetRecordCount() < 5) {
        testing::Append(*c, "p" + std::to_string(seed) + "-" + std::to_string(i), amount);
        ++net;
        continue;
      }
      if (!c->SetToRecordNumber(1 + static_cast<std::int32_t>(random() % static_cast<unsigned>(c->GetRecordCount()))))
        continue;
      // Another process may delete the record between the positioning and the read: the
      // status says so, and there is nothing to edit then.
      if (c->GetCurrentRecord(r.data()) != 0) continue;
      if (what < 8) {
        if (c->GetCurrentRecord(r.data(), true) != 0) continue;
        testing::SetAmount(*c, r.data(), amount);
        testing::SetName(*c, r.data(), "m" + std::to_string(seed) + "-" + std::to_string(i));
        c->ModifyRecord(r.data());
      } else {
        c->DeleteRecord(r.data());
        --net;
      }
    } catch (const EKORVELEngineError& e) {
      // Collisions with the other processes are expected; anything else is a fault. A record
      // another process changed or deleted after this one read it is reported as such.
      if (e.ErrorCode != KORVEL_KEYVIOL && e.ErrorCode != KORVEL_RECLOCKFAILED &&
          e.ErrorCode != KORVEL_KEYORRECDELETED && e.ErrorCode != KORVEL_LOCKTIMEOUT)
        throw;
      c->CancelRecord();
    }
  }
  return net;
}

void RunStress(TLockProtocol protocol) {
  testing::TTestFolder folder;
  {
    TDataSession session(false);
    testing::CreateTable(session.OpenDataDirectory("stress", folder.Path()), "people", testing::PeopleStructure());
  }
  const int processes = 3;
  const int operations = std::getenv("KORVEL_LARGE_TESTS") ? 2000 : 150;
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      int code = 0;
      try {
        int net = EditAtRandom(folder.Path(), p + 1, operations, protocol);
        std::ofstream(folder.File("net" + std::to_string(p))) << net;
      } catch (const std::exception& e) {
        std::ofstream(folder.File("error" + std::to_string(p))) << e.what();
        code = 2;
      }
      _exit(code);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a process failed";
  }
  int total = 0;
  for (int p = 0; p < processes; ++p) {
    std::ifstream error(folder.File("error" + std::to_string(p)));
    std::string text;
    if (std::getline(error, text)) ADD_FAILURE() << text;
    int net = 0;
    std::ifstream(folder.File("net" + std::to_string(p))) >> net;
    total += net;
  }
  TDataSession session(false);
  auto c = testing::OpenPeople(session.OpenDataDirectory("stress", folder.Path()));
  EXPECT_EQ(CheckIndexes(*c), "");
  EXPECT_EQ(c->GetRecordCount(), total);
}

TEST(CursorProcesses, EachProcessSeesTheOthersChangesAtItsNextLock) {
  testing::TTestFolder folder;
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory("p", folder.Path());
  testing::CreateTable(directory, "people", testing::PeopleStructure());
  auto c = testing::OpenPeople(directory);
  testing::Append(*c, "parent", 1);
  c->CloseCursor();
  session.CloseDataDirectory(directory);
  // The child opens the table in a process of its own and appends while nothing of the parent
  // holds the files.
  int status = testing::RunInChild([&] {
    TDataSession child(false);
    auto d = testing::OpenPeople(child.OpenDataDirectory("p", folder.Path()));
    if (d->GetRecordCount() != 1) return 3;
    for (int i = 0; i < 10; ++i) testing::Append(*d, "child", 100 + i);
    return 0;
  });
  ASSERT_EQ(status, 0);
  directory = session.OpenDataDirectory("p", folder.Path());
  c = testing::OpenPeople(directory);
  EXPECT_EQ(c->GetRecordCount(), 11);
  // Now both hold the table open: the parent's cursor notices the child's appends at its next
  // lock (here a refresh), the child sees the parent's.
  status = testing::RunInChild([&] {
    // The parent's open files came along with the fork: the child opens its own.
    TDataSession child(false);
    auto d = testing::OpenPeople(child.OpenDataDirectory("p", testing::AnotherSpelling(folder.Path())));
    testing::Append(*d, "child again", 500);
    return d->GetRecordCount() == 12 ? 0 : 4;
  });
  ASSERT_EQ(status, 0);
  c->Refresh();
  EXPECT_EQ(c->GetRecordCount(), 12);
  c->SetIndexName("ByAmount");
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->SetToEnd();
  ASSERT_EQ(c->GetPriorRecord(r.data()), 0);
  EXPECT_EQ(testing::AmountOf(*c, r.data()), 500);
  EXPECT_EQ(CheckIndexes(*c), "");
}

// Edits inside a transaction reach only the caches, so a reader of another process holding its
// read lock does not hold them up; the commit writes, so it must wait for that reader. A commit
// that gives up leaves nothing of the transaction behind.
TEST(CursorProcesses, ATransactionEditsBesideAReaderAndCommitsOnlyWithoutOne) {
  testing::TTestFolder folder;
  {
    TDataSession session(false);
    TDataDirectory* directory = session.OpenDataDirectory("p", folder.Path());
    testing::CreateTable(directory, "people", testing::PeopleStructure());
    testing::Append(*testing::OpenPeople(directory), "before", 1);
  }
  testing::TStepChild child([&](testing::TStepChild& self) {
    SetInternalLockTimeLimit(std::chrono::milliseconds(300));
    TDataSession session(false);
    TDataDirectory* directory = session.OpenDataDirectory("p", folder.Path());
    auto c = testing::OpenPeople(directory);
    self.Await();  // the parent holds its read lock from here on
    directory->StartTransaction();
    for (int i = 0; i < 20; ++i) testing::Append(*c, "inside " + std::to_string(i), 10 + i);
    int code = 0;
    try {
      directory->CommitTransaction(true, false);
      code = 3;  // committed under the reader's nose
    } catch (const EKORVELEngineError& e) {
      if (e.ErrorCode != KORVEL_LOCKTIMEOUT) code = 4;
    }
    self.Ready();
    self.Await();  // the reader has gone
    directory->StartTransaction();
    for (int i = 0; i < 5; ++i) testing::Append(*c, "again " + std::to_string(i), 50 + i);
    directory->CommitTransaction(true, false);
    return code;
  });
  TDataSession session(false);
  auto c = testing::OpenPeople(session.OpenDataDirectory("p", folder.Path()));
  c->Table->UserReadLockTable();
  child.Go();
  ASSERT_TRUE(child.WaitReady());
  EXPECT_EQ(c->GetRecordCount(), 1);
  c->Table->UserReadUnlockTable();
  child.Go();
  EXPECT_EQ(child.Join(), 0);
  c->Refresh();
  EXPECT_EQ(c->GetRecordCount(), 6);
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST(CursorProcesses, RandomEditsUnderPessimisticLocking) { RunStress(lpPessimistic); }
TEST(CursorProcesses, RandomEditsUnderOptimisticLocking) { RunStress(lpOptimistic); }

}  // namespace
}  // namespace korvel
