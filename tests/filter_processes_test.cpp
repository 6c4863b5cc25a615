// A filtered cursor while another process appends and deletes: every record the cursor shows
// passes the filter and is live, whatever the other process does meanwhile, and once it stops
// the visible set is exactly the records that pass.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <set>

#include "engine/cursor_test_helpers.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"

namespace korvel {
namespace {

// Appends and deletes at random for `seconds`; 0 when every step went through.
int EditFor(const std::string& folder, double seconds) {
  TDataSession session(false);
  session.SetLockRetries(200);
  session.SetLockWait(2);
  auto c = testing::OpenPeople(session.OpenDataDirectory("p", testing::AnotherSpelling(folder)));
  c->SetIndexPos(kNoIndexPos);
  std::mt19937 random(5);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int i = 0;
  while (std::chrono::steady_clock::now() < end) {
    try {
      testing::Append(*c, "c" + std::to_string(i), 100000 + i);
      ++i;
      const std::int32_t count = c->GetRecordCount();
      if (count > 0 && c->SetToRecordNumber(1 + static_cast<std::int32_t>(random() % static_cast<unsigned>(count)))) {
        c->GetCurrentRecord(r.data());
        c->DeleteRecord(r.data());
      }
    } catch (const EKORVELEngineError& e) {
      if (e.ErrorCode != KORVEL_LOCKTIMEOUT && e.ErrorCode != KORVEL_RECLOCKFAILED &&
          e.ErrorCode != KORVEL_KEYORRECDELETED)
      {
        std::fprintf(stderr, "child: %s\n", e.what());
        return 2;
      }
    }
  }
  return 0;
}

TEST(FilterProcesses, VisibleSetIsAlwaysACompletedRebuild) {
  testing::TTestFolder folder;
  TDataSession session(false);
  session.SetLockRetries(200);
  session.SetLockWait(2);
  TDataDirectory* directory = session.OpenDataDirectory("p", folder.Path());
  testing::CreateTable(directory, "people", testing::PeopleStructure());
  auto c = testing::OpenPeople(directory);
  for (int i = 0; i < 300; ++i) testing::Append(*c, "p" + std::to_string(i), i * 5);
  // Amount is indexed (ByAmount); "Name" through the case-sensitive comparison is not.
  c->SetIndexName("ByAmount");
  TFilterOptions options;
  options.Cost = true;
  int h = c->AddFilter(nullptr, "Amount >= 500 AND Name <> 'zzz'", nullptr, options);
  c->ActivateFilter(h);
  ASSERT_EQ(c->GetFilterLevel(h), olPartial);

  pid_t child = fork();
  if (child == 0) {
    int code = 3;
    try {
      code = EditFor(folder.Path(), 1.5);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child: %s\n", e.what());
    }
    _exit(code);
  }
  ASSERT_GT(child, 0);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  int rounds = 0;
  for (;;) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      break;
    }
    c->Refresh();
    c->SetToBegin();
    while (c->GetNextRecord(r.data()) == 0) {
      ASSERT_EQ(TDataCursor::GetRecordStatus(r.data()), 0) << "a deleted record is visible";
      ASSERT_GE(testing::AmountOf(*c, r.data()), 500) << "a record that fails the filter is visible";
    }
    ++rounds;
  }
  EXPECT_GT(rounds, 0);
  // At rest: exactly the records that pass.
  c->Refresh();
  std::set<std::int32_t> shown, expected;
  c->SetToBegin();
  while (c->GetNextRecord(r.data()) == 0) shown.insert(TDataCursor::GetRecordID(r.data()));
  EXPECT_EQ(c->GetRecordCount(), static_cast<std::int32_t>(shown.size()));
  c->DeactivateFilter(h);
  c->SetToBegin();
  while (c->GetNextRecord(r.data()) == 0)
    if (testing::AmountOf(*c, r.data()) >= 500) expected.insert(TDataCursor::GetRecordID(r.data()));
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(testing::CheckIndexes(*c), "");
}

}  // namespace
}  // namespace korvel
