// Optimise and restructure killed at any moment: afterwards the next opener finds the table
// whole under its name with every record and every index consistent (the old table or the new
// one), no work table is left behind, and the next maintenance run works.

#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <filesystem>
#include <random>

#include "engine/cursor_test_helpers.h"
#include "engine/table_maintenance.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"

namespace korvel {
namespace {

using testing::TTestCursor;

constexpr int kRecords = 1500;

void Fill(TDataDirectory* directory) {
  testing::CreateTable(directory, "people", testing::PeopleStructure());
  auto c = testing::OpenPeople(directory);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  for (int i = 0; i < kRecords; ++i) {
    c->InitRecord(r.data());
    testing::SetName(*c, r.data(), "name " + std::to_string((i * 7919) % kRecords));
    testing::SetAmount(*c, r.data(), i);
    if (i % 10 == 0) {
      std::string memo(300 + i % 700, 'm');
      std::int64_t size = 0;
      c->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size);
      c->PutBlob(4, r.data(), false, static_cast<std::int64_t>(memo.size()), memo.data(), 0);
    }
    c->AppendRecord(r.data());
  }
}

// Every record there once, every index consistent; an empty string or what is wrong.
std::string CheckTable(const std::string& folder) {
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory("check", folder);
  auto c = testing::OpenPeople(directory);
  if (c->GetRecordCount() != kRecords) return "records: " + std::to_string(c->GetRecordCount());
  std::string indexes = testing::CheckIndexes(*c);
  if (!indexes.empty()) return indexes;
  std::vector<bool> seen(kRecords, false);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->SetToBegin();
  while (c->GetNextRecord(r.data()) == 0) {
    // Amount is an integer or, after a restructure, a large integer (never negative here).
    std::int64_t amount = 0;
    c->GetField(3, r.data(), &amount);
    if (amount < 0 || amount >= kRecords || seen[static_cast<std::size_t>(amount)]) return "amount twice or wrong";
    seen[static_cast<std::size_t>(amount)] = true;
    if (TDataCursor::GetRecordID(r.data()) != amount + 1) return "record ID changed";
  }
  return "";
}

// Files in the folder that belong to no table of the test: work tables or a journal.
std::string LeftOver(const std::string& folder) {
  std::string left;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename();
    if (name.rfind("people.", 0) == 0 && name != "people.WRK") continue;
    left += name + " ";
  }
  return left;
}

// Runs `operation` in a child killed when it reports `killAt` percent (0: at a random time).
void RunKilled(const std::string& folder, int killAt, int delayMicros,
               const std::function<void(TTableMaintenance&, TDataCursor&)>& operation) {
  pid_t pid = fork();
  if (pid == 0) {
    TDataSession session(false);
    TDataDirectory* directory = session.OpenDataDirectory("child", testing::AnotherSpelling(folder));
    TDataCursor c(directory);
    c.SetTableName("people");
    c.SetExclusive(true);
    TTableMaintenance m(c);
    auto progress = [killAt](int percent) {
      if (killAt > 0 && percent >= killAt) kill(getpid(), SIGKILL);
    };
    m.OptimizeProgress = progress;
    m.CopyProgress = progress;
    m.RestructureProgress = progress;
    try {
      operation(m, c);
    } catch (...) {
      _exit(3);
    }
    _exit(0);
  }
  if (killAt == 0) {
    timespec pause{0, static_cast<long>(delayMicros) * 1000};
    nanosleep(&pause, nullptr);
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

TEST(MaintenanceFaults, OptimizeKilledAtAnyMomentLeavesAWholeTable) {
  testing::TTestFolder folder;
  {
    TDataSession session(false);
    Fill(session.OpenDataDirectory("fill", folder.Path()));
  }
  std::mt19937 random(18);
  auto optimize = [](TTableMaintenance& m, TDataCursor&) { m.OptimizeTable("ByName", false); };
  for (int killAt : {5, 40, 95, 100}) {
    RunKilled(folder.Path(), killAt, 0, optimize);
    EXPECT_EQ(CheckTable(folder.Path()), "") << "killed at " << killAt << "%";
  }
  for (int round = 0; round < 12; ++round) {
    RunKilled(folder.Path(), 0, static_cast<int>(random() % 400000), optimize);
    EXPECT_EQ(CheckTable(folder.Path()), "") << "round " << round;
    EXPECT_EQ(LeftOver(folder.Path()), "") << "round " << round;
  }
  // A run that is not killed still works after all that.
  RunKilled(folder.Path(), 101, 0, optimize);
  EXPECT_EQ(CheckTable(folder.Path()), "");
}

// The people table with Amount as a large integer and one more field: a rewrite through a
// work table. Both structures keep Name and Amount where CheckTable reads them.
TTableStructure Widened() {
  TTableStructure s = testing::PeopleStructure();
  s.Fields[2].DataType = dtLargeInt;
  s.Fields.push_back(MakeField("Extra", dtString, 20));
  s.Fields.back().FieldNumber = 5;
  s.Fields.back().DefaultValue = "x";
  for (std::uint16_t i = 0; i < 4; ++i) s.Fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  s.SecondaryIndexes[1] = testing::CursorIndex("ByAmount", s.Fields, {3}, true);
  return s;
}

TTableStructure WithAnotherIndex() {
  TTableStructure s = testing::PeopleStructure();
  s.SecondaryIndexes.push_back(testing::CursorIndex("AmountDesc", s.Fields, {3}, true, true));
  return s;
}

TEST(MaintenanceFaults, RestructureKilledAtAnyMomentLeavesAWholeTable) {
  testing::TTestFolder folder;
  {
    TDataSession session(false);
    Fill(session.OpenDataDirectory("fill", folder.Path()));
  }
  std::mt19937 random(1818);
  // Back and forth between the two structures, through a work table and in place.
  const std::vector<std::function<TTableStructure()>> structures = {Widened, testing::PeopleStructure,
                                                                    WithAnotherIndex, testing::PeopleStructure};
  int round = 0;
  for (const auto& structure : structures) {
    auto restructure = [&](TTableMaintenance& m, TDataCursor&) {
      m.DataLost = [](TDataLossCause, const std::string&, bool& stop, bool& go) {
        stop = true;
        go = true;
      };
      m.RestructureTable(structure(), round % 2 == 0);
    };
    for (int killAt : {50, 100}) {
      RunKilled(folder.Path(), killAt, 0, restructure);
      EXPECT_EQ(CheckTable(folder.Path()), "") << "killed at " << killAt << "%";
      EXPECT_EQ(LeftOver(folder.Path()), "");
    }
    for (int i = 0; i < 2; ++i, ++round) {
      RunKilled(folder.Path(), 0, static_cast<int>(random() % 300000), restructure);
      EXPECT_EQ(CheckTable(folder.Path()), "") << "round " << round;
      EXPECT_EQ(LeftOver(folder.Path()), "") << "round " << round;
    }
    RunKilled(folder.Path(), 101, 0, restructure);
    EXPECT_EQ(CheckTable(folder.Path()), "");
    TDataSession session(false);
    auto c = testing::OpenPeople(session.OpenDataDirectory("check", folder.Path()));
    EXPECT_EQ(c->GetFieldCount(), static_cast<std::int32_t>(structure().Fields.size()));
    EXPECT_EQ(c->Table->GetIndexCount(), static_cast<int>(structure().SecondaryIndexes.size()));
  }
}

TEST(MaintenanceFaults, CopyIsASnapshotWhileAnotherProcessWrites) {
  testing::TTestFolder folder;
  {
    TDataSession session(false);
    Fill(session.OpenDataDirectory("fill", folder.Path()));
  }
  testing::TStepChild writer([&](testing::TStepChild& step) {
    TDataSession session(false);
    session.SetLockRetries(200);
    session.SetLockWait(20);
    TDataDirectory* directory = session.OpenDataDirectory("writer", testing::AnotherSpelling(folder.Path()));
    auto c = testing::OpenPeople(directory);
    step.Ready();
    for (int i = 0; i < 200; ++i) testing::Append(*c, "late", kRecords + i);
    return 0;
  });
  ASSERT_TRUE(writer.WaitReady());
  TDataSession session(false);
  session.SetLockRetries(200);
  session.SetLockWait(20);
  TDataDirectory* directory = session.OpenDataDirectory("copier", folder.Path());
  auto c = testing::OpenPeople(directory);
  TTableMaintenance m(*c);
  writer.Go();
  m.CopyTable(folder.Path(), "snapshot", true);
  EXPECT_EQ(writer.Join(), 0);
  auto copy = testing::OpenPeople(directory, "snapshot");
  const std::int32_t copied = copy->GetRecordCount();
  EXPECT_GE(copied, kRecords);
  EXPECT_LE(copied, kRecords + 200);
  EXPECT_EQ(testing::CheckIndexes(*copy), "");
  // The copy holds a prefix of the appends, never a record without the ones before it.
  std::vector<std::uint8_t> r(static_cast<std::size_t>(copy->GetRecordSize()));
  std::int32_t highest = -1;
  copy->SetToBegin();
  while (copy->GetNextRecord(r.data()) == 0) highest = std::max(highest, testing::AmountOf(*copy, r.data()));
  EXPECT_EQ(highest, copied - 1);
}

TEST(MaintenanceFaults, AMissingIndexFileIsRebuiltByTheFirstOpener) {
  testing::TTestFolder folder;
  {
    TDataSession session(false);
    Fill(session.OpenDataDirectory("fill", folder.Path()));
  }
  std::filesystem::remove(folder.File("people.IDX"));
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory("open", folder.Path());
  auto c = testing::OpenPeople(directory);
  EXPECT_EQ(c->GetRecordCount(), kRecords);
  EXPECT_TRUE(std::filesystem::exists(folder.File("people.IDX")));
  // Physical navigation walks every record; the record index takes new ones.
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  int walked = 0;
  c->SetToBegin();
  while (c->GetNextRecord(r.data()) == 0) ++walked;
  EXPECT_EQ(walked, kRecords);
  testing::Append(*c, "new", kRecords);
  EXPECT_EQ(c->GetRecordCount(), kRecords + 1);
}

}  // namespace
}  // namespace korvel
