#include "engine/data_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "engine/cursor_test_helpers.h"
#include "framework/date_time.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::Append;
using testing::CheckIndexes;
using testing::OpenPeople;
using testing::TTestCursor;

class CursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    session->SetLockRetries(2);
    session->SetLockWait(1);
    directory = session->OpenDataDirectory("test", folder.Path());
    testing::CreateTable(directory, "people", testing::PeopleStructure());
  }
  std::vector<std::uint8_t> Record(TDataCursor& c) { return std::vector<std::uint8_t>(static_cast<std::size_t>(c.GetRecordSize())); }

  // Names in the cursor's order, walking forwards (or backwards) from the current position.
  std::vector<std::string> Walk(TDataCursor& c, bool forward) {
    std::vector<std::string> names;
    auto r = Record(c);
    if (forward) {
      c.SetToBegin();
      while (c.GetNextRecord(r.data()) == 0) names.push_back(testing::NameOf(c, r.data()));
    } else {
      c.SetToEnd();
      while (c.GetPriorRecord(r.data()) == 0) names.push_back(testing::NameOf(c, r.data()));
    }
    return names;
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

std::string NameFor(int i) {
  static const char* first[] = {"smith", "Jones", "brown", "TAYLOR", "wilson", "Davies", "evans", "Thomas"};
  return std::string(first[i % 8]) + " " + std::to_string(i * 7919 % 1000);
}

TEST_F(CursorTest, EmptyTableHasNoCurrentRecord) {
  auto c = OpenPeople(directory);
  auto r = Record(*c);
  c->SetToBegin();
  EXPECT_TRUE(c->GetBof() && c->GetEof());
  EXPECT_EQ(c->GetNextRecord(r.data()), KORVEL_EOF);
  EXPECT_EQ(c->GetPriorRecord(r.data()), KORVEL_BOF);
  EXPECT_EQ(c->GetCurrentRecord(r.data()), KORVEL_NOCURRREC);
  EXPECT_EQ(c->GetRecordCount(), 0);
  c->SetIndexName("ByName");
  EXPECT_FALSE(c->Find(false, r.data(), 1, true, 0, nullptr));
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST_F(CursorTest, EveryIndexKindWalksInOrderBothWaysOverManyPages) {
  auto c = OpenPeople(directory);
  const int n = 1500;
  std::vector<std::pair<std::string, int>> people;
  for (int i = 0; i < n; ++i) {
    people.push_back({NameFor(i), (i * 37) % 100003});
    Append(*c, people.back().first, people.back().second);
  }
  ASSERT_EQ(CheckIndexes(*c), "");
  EXPECT_EQ(c->GetRecordCount(), n);

  // Primary: append order. By amount: ascending. By name: case-insensitive, ties by ID.
  std::vector<std::string> byId, byAmount, byName, byNameDesc;
  for (auto& p : people) byId.push_back(p.first);
  auto sortedAmount = people;
  std::sort(sortedAmount.begin(), sortedAmount.end(), [](auto& a, auto& b) { return a.second < b.second; });
  for (auto& p : sortedAmount) byAmount.push_back(p.first);
  std::vector<std::pair<std::string, int>> upper;
  for (int i = 0; i < n; ++i) {
    std::string u = people[static_cast<std::size_t>(i)].first;
    for (char& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    upper.push_back({u, i});
  }
  std::stable_sort(upper.begin(), upper.end(), [](auto& a, auto& b) { return a.first < b.first; });
  for (auto& u : upper) byName.push_back(people[static_cast<std::size_t>(u.second)].first);
  std::vector<std::pair<std::string, int>> plain;
  for (int i = 0; i < n; ++i) plain.push_back({people[static_cast<std::size_t>(i)].first, i});
  std::stable_sort(plain.begin(), plain.end(), [](auto& a, auto& b) { return a.first > b.first; });
  for (auto& p : plain) byNameDesc.push_back(p.first);

  struct Case {
    const char* index;
    std::vector<std::string>* expected;
  } cases[] = {{"", &byId}, {"ByAmount", &byAmount}, {"ByName", &byName}};
  for (auto& k : cases) {
    c->SetIndexName(k.index);
    EXPECT_EQ(Walk(*c, true), *k.expected) << k.index;
    std::vector<std::string> backwards(k.expected->rbegin(), k.expected->rend());
    EXPECT_EQ(Walk(*c, false), backwards) << k.index;
  }
  // Descending: equal names come in descending ID order, so compare the names only.
  c->SetIndexName("NameDesc");
  EXPECT_EQ(Walk(*c, true), byNameDesc);

  // Record numbers come from the key counts.
  c->SetIndexName("ByAmount");
  for (int k : {1, 2, 700, n - 1, n}) {
    ASSERT_TRUE(c->SetToRecordNumber(k));
    EXPECT_EQ(c->GetRecordNumber(), k);
    auto r = Record(*c);
    c->GetCurrentRecord(r.data());
    EXPECT_EQ(testing::AmountOf(*c, r.data()), sortedAmount[static_cast<std::size_t>(k - 1)].second);
  }
  EXPECT_FALSE(c->SetToRecordNumber(n + 1));
  EXPECT_TRUE(c->GetEof());
}

TEST_F(CursorTest, AWalkContinuesInOrderAcrossPageSplitsMadeByAnotherCursor) {
  auto a = OpenPeople(directory);
  auto b = OpenPeople(directory);
  std::set<std::int32_t> original;
  for (int i = 0; i < 300; ++i) original.insert(Append(*a, NameFor(i), i));
  int added = 0;
  for (bool forward : {true, false}) {
    a->SetIndexName("ByName");
    if (forward) a->SetToBegin(); else a->SetToEnd();
    auto r = Record(*a);
    std::vector<std::string> seen;
    std::multiset<std::int32_t> ids;
    int step = 0;
    while ((forward ? a->GetNextRecord(r.data()) : a->GetPriorRecord(r.data())) == 0) {
      std::string u = testing::NameOf(*a, r.data());
      for (char& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      seen.push_back(u);
      ids.insert(TDataCursor::GetRecordID(r.data()));
      if (++step % 60 == 0) {
        // Between two steps another cursor fills every leaf, splitting pages all over the index.
        for (int k = 0; k < 60; ++k, ++added) Append(*b, NameFor(1000 + added), 100000 + added);
      }
    }
    for (std::size_t k = 1; k < seen.size(); ++k)
      ASSERT_TRUE(forward ? seen[k - 1] <= seen[k] : seen[k - 1] >= seen[k]) << k;
    for (std::int32_t id : original) EXPECT_EQ(ids.count(id), 1u) << id;
    for (std::int32_t id : ids) EXPECT_EQ(ids.count(id), 1u);
  }
  EXPECT_EQ(CheckIndexes(*a), "");
}

TEST_F(CursorTest, RangesOnPartialKeysCountLikeBruteForce) {
  auto c = OpenPeople(directory);
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i) {
    names.push_back(NameFor(i));
    Append(*c, names.back(), i);
  }
  c->SetIndexName("ByName");
  auto low = Record(*c), high = Record(*c);
  for (const std::string& bound : {std::string("smith 1"), std::string("JONES 2"), std::string("evans 999")}) {
    // Field-count 1 of a non-unique index: every ID of that name.
    testing::SetName(*c, low.data(), bound);
    c->SetRange(false, low.data(), 1, low.data(), 1);
    std::string upperBound = bound;
    for (char& ch : upperBound) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    int expected = 0;
    for (auto& nm : names) {
      std::string u = nm;
      for (char& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      expected += u == upperBound;
    }
    EXPECT_EQ(c->GetRecordCount(), expected) << bound;
    EXPECT_EQ(static_cast<int>(Walk(*c, true).size()), expected) << bound;
  }
  // A name range.
  testing::SetName(*c, low.data(), "d");
  testing::SetName(*c, high.data(), "j");
  c->SetRange(false, low.data(), 1, high.data(), 1);
  int expected = 0;
  for (auto& nm : names) {
    std::string u = nm;
    for (char& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    expected += u >= "D" && u <= "J";
  }
  EXPECT_EQ(c->GetRecordCount(), expected);
  EXPECT_EQ(static_cast<int>(Walk(*c, true).size()), expected);
  EXPECT_EQ(static_cast<int>(Walk(*c, false).size()), expected);
  c->SetToRecordNumber(3);
  EXPECT_EQ(c->GetRecordNumber(), 3);
  // Start above end: nothing.
  c->SetRange(false, high.data(), 1, low.data(), 1);
  EXPECT_EQ(c->GetRecordCount(), 0);
  c->SetToBegin();
  EXPECT_TRUE(c->GetBof() && c->GetEof());
  c->ResetRange();
  EXPECT_EQ(c->GetRecordCount(), 600);
}

TEST_F(CursorTest, FindExactPartialAndNearestAtBothEnds) {
  auto c = OpenPeople(directory);
  for (int i = 0; i < 300; ++i) Append(*c, "name" + std::to_string(1000 + i), (i + 1) * 10);
  c->SetIndexName("ByAmount");
  auto key = Record(*c), found = Record(*c);
  testing::SetAmount(*c, key.data(), 150);
  EXPECT_TRUE(c->Find(false, key.data(), 1, false, 0, found.data()));
  EXPECT_EQ(testing::AmountOf(*c, found.data()), 150);
  testing::SetAmount(*c, key.data(), 155);
  EXPECT_FALSE(c->Find(false, key.data(), 1, false, 0, found.data()));
  EXPECT_FALSE(c->Find(false, key.data(), 1, true, 0, found.data()));
  EXPECT_EQ(testing::AmountOf(*c, found.data()), 160);
  testing::SetAmount(*c, key.data(), -5);
  EXPECT_FALSE(c->Find(false, key.data(), 1, true, 0, found.data()));
  EXPECT_EQ(testing::AmountOf(*c, found.data()), 10);
  // Past the last key: the last record, not EOF.
  testing::SetAmount(*c, key.data(), 999999);
  EXPECT_FALSE(c->Find(false, key.data(), 1, true, 0, found.data()));
  EXPECT_EQ(testing::AmountOf(*c, found.data()), 3000);
  EXPECT_FALSE(c->GetEof());

  c->SetIndexName("ByName");
  testing::SetName(*c, key.data(), "NAME12");
  EXPECT_TRUE(c->Find(false, key.data(), 0, true, 6, found.data()));
  EXPECT_EQ(testing::NameOf(*c, found.data()), "name1200");
  testing::SetName(*c, key.data(), "name1150");
  EXPECT_TRUE(c->Find(false, key.data(), 1, false, 0, found.data()));
  EXPECT_EQ(testing::NameOf(*c, found.data()), "name1150");
  testing::SetName(*c, key.data(), "zzz");
  EXPECT_FALSE(c->Find(false, key.data(), 1, true, 0, found.data()));
  EXPECT_EQ(testing::NameOf(*c, found.data()), "name1299");
}

TEST_F(CursorTest, BookmarksSurviveIndexChangesAndDeletes) {
  auto c = OpenPeople(directory);
  for (int i = 0; i < 200; ++i) Append(*c, NameFor(i), i);
  c->SetIndexName("ByAmount");
  ASSERT_TRUE(c->SetToRecordNumber(77));
  auto r = Record(*c);
  c->GetCurrentRecord(r.data());
  std::vector<std::uint8_t> mark(static_cast<std::size_t>(c->GetBookmarkSize()));
  c->GetBookmark(mark.data());
  // Changing the index keeps the record.
  c->SetIndexName("ByName");
  auto same = Record(*c);
  c->GetCurrentRecord(same.data());
  EXPECT_EQ(same, r);
  c->SetIndexName("ByAmount");
  c->SetToBegin();
  EXPECT_TRUE(c->SetToBookmark(mark.data(), false));
  c->GetCurrentRecord(same.data());
  EXPECT_EQ(same, r);
  // Deleted: not found exactly; nearest lands next door.
  c->DeleteRecord(same.data());
  EXPECT_FALSE(c->SetToBookmark(mark.data(), false));
  EXPECT_TRUE(c->SetToBookmark(mark.data(), true));
  c->GetCurrentRecord(same.data());
  EXPECT_EQ(testing::AmountOf(*c, same.data()), 77);
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST_F(CursorTest, KeyViolationsAndValidityFailuresLeaveTheTableUntouched) {
  auto c = OpenPeople(directory);
  Append(*c, "first", 1);
  Append(*c, "second", 2);
  auto r = Record(*c);
  c->InitRecord(r.data());
  testing::SetName(*c, r.data(), "third");
  testing::SetAmount(*c, r.data(), 2);
  try {
    c->AppendRecord(r.data());
    FAIL() << "duplicate amount accepted";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_KEYVIOL);
    EXPECT_EQ(e.ErrorIndexName, "ByAmount");
  }
  EXPECT_EQ(c->GetRecordCount(), 2);
  EXPECT_EQ(CheckIndexes(*c), "");
  // Modifying into a duplicate fails too, and nothing changes.
  c->SetIndexName("ByAmount");
  c->SetToBegin();
  c->GetNextRecord(r.data());
  c->GetCurrentRecord(r.data(), true);
  testing::SetAmount(*c, r.data(), 2);
  EXPECT_THROW(c->ModifyRecord(r.data()), EKORVELEngineError);
  c->CancelRecord();
  c->GetCurrentRecord(r.data());
  EXPECT_EQ(testing::AmountOf(*c, r.data()), 1);
  EXPECT_EQ(CheckIndexes(*c), "");
  // Auto-increment values supplied by the caller must be unique too.
  c->SetSuppressAutoIncValues(true);
  c->InitRecord(r.data());
  testing::SetAmount(*c, r.data(), 50);
  TDataCursor::PutRecordID(1, r.data());
  EXPECT_THROW(c->AppendRecord(r.data()), EKORVELEngineError);
  TDataCursor::PutRecordID(40, r.data());
  c->AppendRecord(r.data());
  c->SetSuppressAutoIncValues(false);
  EXPECT_EQ(Append(*c, "next", 60), 41);
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST_F(CursorTest, DefaultsAndValidityChecks) {
  TTableStructure s;
  s.Fields = {MakeField("Code", dtString, 10), MakeField("Qty", dtInteger),
              MakeField("Stamp", dtTimeStamp), MakeField("Day", dtDate)};
  s.Fields[0].Required = true;
  s.Fields[0].CharCase = 2;
  s.Fields[1].MinimumValue = "1";
  s.Fields[1].MaximumValue = "100";
  s.Fields[1].DefaultValue = "5";
  s.Fields[2].DefaultValue = "CURRENT_TIMESTAMP";
  s.Fields[3].DefaultValue = "2024-02-29";
  testing::CreateTable(directory, "items", s);
  TDataCursor c(directory);
  c.SetTableName("items");
  c.OpenCursor();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  c.InitRecord(r.data());
  std::int32_t qty = 0;
  EXPECT_FALSE(c.GetField(2, r.data(), &qty));
  EXPECT_EQ(qty, 5);
  double stamp = 0;
  EXPECT_FALSE(c.GetField(3, r.data(), &stamp));
  EXPECT_GT(stamp, 0);
  std::int32_t day = 0;
  c.GetField(4, r.data(), &day);
  EXPECT_EQ(day, DateTimeToDayNumber(EncodeDate(2024, 2, 29)));
  // Empty string is null, and null fails a required field.
  c.PutField(1, r.data(), "   ");
  EXPECT_TRUE(c.GetField(1, r.data(), nullptr));
  try {
    c.AppendRecord(r.data());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_REQDERR);
    EXPECT_EQ(e.ErrorFieldName, "Code");
  }
  c.PutField(1, r.data(), "abc");
  char code[11] = {};
  c.GetField(1, r.data(), code);
  EXPECT_STREQ(code, "ABC");
  qty = 0;
  c.PutField(2, r.data(), &qty);
  try {
    c.AppendRecord(r.data());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_MINVALERR);
  }
  c.PutField(2, r.data(), nullptr);  // null reads as 0: below the minimum as well
  EXPECT_THROW(c.AppendRecord(r.data()), EKORVELEngineError);
  qty = 101;
  c.PutField(2, r.data(), &qty);
  try {
    c.AppendRecord(r.data());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_MAXVALERR);
  }
  qty = 100;
  c.PutField(2, r.data(), &qty);
  c.AppendRecord(r.data());
  EXPECT_EQ(c.GetRecordCount(), 1);
}

TEST_F(CursorTest, DeletedSlotIsReusedAndPhysicalNavigationSkipsIt) {
  auto c = OpenPeople(directory);
  for (int i = 0; i < 10; ++i) Append(*c, NameFor(i), i);
  c->SetIndexName("ByAmount");
  ASSERT_TRUE(c->SetToRecordNumber(4));
  auto r = Record(*c);
  c->GetCurrentRecord(r.data());
  const std::int32_t freed = TDataCursor::GetRecordNo(r.data());
  c->DeleteRecord(r.data());
  EXPECT_EQ(c->GetRecordCount(), 9);
  c->SetIndexPos(kNoIndexPos);
  EXPECT_EQ(c->GetRecordCount(), 9);
  int seen = 0;
  c->SetToBegin();
  while (c->GetNextRecord(r.data()) == 0) {
    EXPECT_NE(TDataCursor::GetRecordNo(r.data()), freed);
    ++seen;
  }
  EXPECT_EQ(seen, 9);
  c->SetIndexPos(0);
  Append(*c, "reuse", 99);
  c->GetCurrentRecord(r.data());
  EXPECT_EQ(TDataCursor::GetRecordNo(r.data()), freed);
  EXPECT_EQ(c->Table->GetPhysicalRecordsUsed(), 10);
  EXPECT_EQ(CheckIndexes(*c), "");
}

TEST_F(CursorTest, TwoCursorsSeeEachOthersChangesAtTheNextOperation) {
  auto a = OpenPeople(directory);
  auto b = OpenPeople(directory);
  for (int i = 0; i < 100; ++i) Append(*a, NameFor(i), i);
  b->SetIndexName("ByAmount");
  EXPECT_EQ(b->GetRecordCount(), 100);
  ASSERT_TRUE(b->SetToRecordNumber(50));
  auto r = Record(*b);
  b->GetCurrentRecord(r.data());
  // a deletes records before b's; b keeps its record and its number follows.
  a->SetIndexName("ByAmount");
  a->SetToBegin();
  auto ra = Record(*a);
  for (int i = 0; i < 10; ++i) {
    a->GetNextRecord(ra.data());
    a->DeleteRecord(ra.data());
    a->SetToBegin();
  }
  auto now = Record(*b);
  EXPECT_EQ(b->GetCurrentRecord(now.data()), 0);
  EXPECT_EQ(testing::AmountOf(*b, now.data()), testing::AmountOf(*b, r.data()));
  EXPECT_EQ(b->GetRecordNumber(), 40);
  EXPECT_EQ(b->GetRecordCount(), 90);
  // A record locked by one cursor of the session cannot be deleted by another.
  b->GetCurrentRecord(now.data(), true);
  a->SetToBookmark(std::vector<std::uint8_t>(a->GetKeyEntryPtr(), a->GetKeyEntryPtr() + a->KeySize).data(), true);
  a->Find(false, now.data(), 1, false, 0, ra.data());
  try {
    a->DeleteRecord(ra.data());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_RECLOCKFAILED);
  }
  b->CancelRecord();
  a->DeleteRecord(ra.data());
  EXPECT_EQ(CheckIndexes(*a), "");
}

TEST_F(CursorTest, AnotherSessionsChangesAreSeenAndNoReadLockOutlivesAnOperation) {
  session->SetStrictChangeDetection(true);
  auto a = OpenPeople(directory);
  for (int i = 0; i < 50; ++i) Append(*a, NameFor(i), i);
  TDataSession other(false);
  other.SetLockRetries(2);
  other.SetLockWait(1);
  auto b = OpenPeople(other.OpenDataDirectory("test", folder.Path()));
  EXPECT_EQ(b->GetRecordCount(), 50);
  auto r = Record(*a);
  auto check = [&](const char* what) { EXPECT_FALSE(a->Table->ReadLocked) << what; };
  a->SetIndexName("ByName");
  check("SetIndexName");
  a->SetToBegin();
  check("SetToBegin");
  a->GetNextRecord(r.data());
  check("GetNextRecord");
  a->SetToRecordNumber(10);
  check("SetToRecordNumber");
  a->GetRecordCount();
  check("GetRecordCount");
  a->Find(false, r.data(), 1, true, 0, nullptr);
  check("Find");
  // The other session writes; with strict detection the next operation sees it.
  Append(*b, "from b", 1000);
  EXPECT_EQ(a->GetRecordCount(), 51);
  check("GetRecordCount after a change");
  // Without strict detection a refresh, or any lock, shows it.
  session->SetStrictChangeDetection(false);
  Append(*b, "again from b", 1001);
  a->Refresh();
  EXPECT_EQ(a->GetRecordCount(), 52);
  Append(*b, "third from b", 1002);
  Append(*a, "from a", 1003);
  EXPECT_EQ(a->GetRecordCount(), 54);
  EXPECT_EQ(b->GetRecordCount(), 53);
  b->Refresh();
  EXPECT_EQ(b->GetRecordCount(), 54);
  EXPECT_EQ(CheckIndexes(*a), "");
}

TEST_F(CursorTest, OptimisticModifyFailsUntilCancelWhenTheRecordChanged) {
  session->SetLockProtocol(lpOptimistic);
  auto a = OpenPeople(directory);
  auto b = OpenPeople(directory);
  Append(*a, "shared", 1);
  a->SetToBegin();
  b->SetToBegin();
  auto ra = Record(*a), rb = Record(*b);
  a->GetNextRecord(ra.data());
  b->GetNextRecord(rb.data());
  testing::SetAmount(*a, ra.data(), 2);
  a->ModifyRecord(ra.data());
  testing::SetAmount(*b, rb.data(), 3);
  EXPECT_THROW(b->ModifyRecord(rb.data()), EKORVELEngineError);
  EXPECT_TRUE(b->GetEditConflict());
  b->GetCurrentRecord(rb.data());
  testing::SetAmount(*b, rb.data(), 3);
  EXPECT_THROW(b->ModifyRecord(rb.data()), EKORVELEngineError);
  b->CancelRecord();
  b->GetCurrentRecord(rb.data());
  testing::SetAmount(*b, rb.data(), 3);
  b->ModifyRecord(rb.data());
  a->GetCurrentRecord(ra.data());
  EXPECT_EQ(testing::AmountOf(*a, ra.data()), 3);
}

int ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EKORVELEngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

// A record read here and deleted by another session since: every edit of it reports the record
// as changed or deleted (not "no current record", which means the cursor stood on none), and the
// neighbour the cursor moved to is left alone.
TEST_F(CursorTest, EditingARecordAnotherSessionDeletedReportsItChangedOrDeleted) {
  session->SetLockProtocol(lpOptimistic);
  auto a = OpenPeople(directory);
  for (int i = 0; i < 3; ++i) Append(*a, NameFor(i), i);
  TDataSession other(false);
  other.SetLockRetries(2);
  other.SetLockWait(1);
  auto b = OpenPeople(other.OpenDataDirectory("test", folder.Path()));
  auto ra = Record(*a), rb = Record(*b);
  for (int round = 0; round < 6; ++round) {
    // Even rounds: the last record (the cursor ends past the end); odd: a middle one (the
    // cursor moves to its neighbour). Then a modify, a delete with the caller's copy, and a
    // delete without one (the batch path).
    const int action = round / 2;
    a->SetToEnd();
    ASSERT_EQ(a->GetPriorRecord(ra.data()), 0);
    if (round % 2 == 1) {
      ASSERT_EQ(a->GetPriorRecord(ra.data()), 0);
    }
    b->SetToRecordBuffer(ra.data(), false);
    ASSERT_EQ(b->GetCurrentRecord(rb.data()), 0);
    ASSERT_EQ(testing::NameOf(*b, rb.data()), testing::NameOf(*a, ra.data()));
    b->DeleteRecord(rb.data());
    const std::int32_t left = b->GetRecordCount();
    testing::SetAmount(*a, ra.data(), 99);
    int code = 0;
    if (action == 0) code = ErrorOf([&] { a->ModifyRecord(ra.data()); });
    if (action == 1) code = ErrorOf([&] { a->DeleteRecord(ra.data()); });
    if (action == 2) code = ErrorOf([&] { a->DeleteRecord(nullptr); });
    EXPECT_EQ(code, KORVEL_KEYORRECDELETED) << round;
    a->CancelRecord();
    EXPECT_EQ(a->GetRecordCount(), left) << round;
    Append(*b, "refill " + std::to_string(round), 100 + round);
  }
  // A cursor that stood on no record at all still says so.
  a->SetToBegin();
  EXPECT_EQ(ErrorOf([&] { a->DeleteRecord(nullptr); }), KORVEL_NOCURRREC);
  EXPECT_EQ(CheckIndexes(*a), "");
}

TEST_F(CursorTest, MemoValuesArePostedReadBackReplacedAndFreed) {
  auto c = OpenPeople(directory);
  auto r = Record(*c);
  c->InitRecord(r.data());
  testing::SetName(*c, r.data(), "with notes");
  testing::SetAmount(*c, r.data(), 1);
  std::string notes(5000, 'x');
  for (std::size_t i = 0; i < notes.size(); ++i) notes[i] = static_cast<char>('a' + i % 26);
  std::int64_t size = 0;
  ASSERT_EQ(c->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
  ASSERT_EQ(c->PutBlob(4, r.data(), false, static_cast<std::int64_t>(notes.size()), notes.data(), 0), 0);
  c->AppendRecord(r.data());
  EXPECT_EQ(c->OpenBlobCount(), 0u);
  auto back = Record(*c);
  c->SetToBegin();
  ASSERT_EQ(c->GetNextRecord(back.data()), 0);
  ASSERT_EQ(c->OpenBlob(4, back.data(), TBlobBuffer::omRead, false, false, size), 0);
  ASSERT_EQ(size, static_cast<std::int64_t>(notes.size()));
  std::string read(notes.size(), '\0');
  std::int64_t count = 0;
  EXPECT_EQ(c->GetBlob(4, back.data(), false, count, size, read.data(), 0), 0);
  EXPECT_EQ(read, notes);
  c->FreeBlob(4, back.data(), false);
  // Replace with a short value.
  c->GetCurrentRecord(back.data(), true);
  ASSERT_EQ(c->OpenBlob(4, back.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
  c->TruncateBlob(4, back.data(), false, 0);
  c->PutBlob(4, back.data(), false, 5, "short", 0);
  c->ModifyRecord(back.data());
  c->GetCurrentRecord(back.data());
  ASSERT_EQ(c->OpenBlob(4, back.data(), TBlobBuffer::omRead, false, false, size), 0);
  EXPECT_EQ(size, 5);
  c->FreeBlob(4, back.data(), false);
  const std::int32_t blocksBefore = c->Table->GetPhysicalBlocksUsed();
  c->DeleteRecord(back.data());
  // The freed blocks are reused by the next value rather than growing the file.
  c->InitRecord(r.data());
  testing::SetAmount(*c, r.data(), 2);
  ASSERT_EQ(c->OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size), 0);
  c->PutBlob(4, r.data(), false, 5, "again", 0);
  c->AppendRecord(r.data());
  EXPECT_EQ(c->Table->GetPhysicalBlocksUsed(), blocksBefore);
  EXPECT_EQ(CheckIndexes(*c), "");
}

// A cursor whose edits fail after a chosen number of steps.
class TFailingCursor : public TTestCursor {
 public:
  using TTestCursor::TTestCursor;
  int FailAt = -1;
  int Steps = 0;

 protected:
  void AfterEditStep(TEditStep step) override {
    if (step == TEditStep::KeysChecked) return;
    if (Steps++ == FailAt) RaiseError(KORVEL_WRITEERR, "", "", "", "people");
  }
};

TEST_F(CursorTest, AFailureAtAnyStepOfAnEditIsUndone) {
  for (int kind = 0; kind < 3; ++kind) {
    for (int failAt = 0;; ++failAt) {
      testing::TTestFolder local;
      TDataSession s(false);
      TDataDirectory* d = s.OpenDataDirectory("t", local.Path());
      testing::CreateTable(d, "people", testing::PeopleStructure());
      TFailingCursor c(d);
      c.SetTableName("people");
      c.OpenCursor();
      for (int i = 0; i < 40; ++i) Append(c, NameFor(i), i);
      c.SetIndexName("ByAmount");
      c.SetToRecordNumber(20);
      std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
      c.GetCurrentRecord(r.data());
      if (kind == 1) c.GetCurrentRecord(r.data(), true);
      c.Steps = 0;
      c.FailAt = failAt;
      bool failed = false;
      try {
        if (kind == 0) {
          c.InitRecord(r.data());
          testing::SetName(c, r.data(), "new one");
          testing::SetAmount(c, r.data(), 1000);
          std::int64_t size = 0;
          c.OpenBlob(4, r.data(), TBlobBuffer::omReadWrite, false, true, size);
          c.PutBlob(4, r.data(), false, 3000, std::string(3000, 'n').data(), 0);
          c.AppendRecord(r.data());
        } else if (kind == 1) {
          testing::SetName(c, r.data(), "renamed");
          testing::SetAmount(c, r.data(), 2000);
          c.ModifyRecord(r.data());
        } else {
          c.DeleteRecord(r.data());
        }
      } catch (const EKORVELEngineError& e) {
        EXPECT_EQ(e.ErrorCode, KORVEL_WRITEERR);
        failed = true;
        c.CancelRecord();
      }
      c.FailAt = -1;
      ASSERT_EQ(CheckIndexes(c), "") << "kind " << kind << " step " << failAt;
      if (!failed) {
        EXPECT_EQ(c.GetRecordCount(), kind == 0 ? 41 : (kind == 1 ? 40 : 39));
        break;
      }
      EXPECT_EQ(c.GetRecordCount(), 40) << "kind " << kind << " step " << failAt;
      // The table still takes the same edit afterwards.
      Append(c, "after", 5000);
      EXPECT_EQ(CheckIndexes(c), "");
    }
  }
}

TEST_F(CursorTest, BlockReadsAndRefreshRecordBlock) {
  auto c = OpenPeople(directory);
  for (int i = 0; i < 50; ++i) Append(*c, NameFor(i), i);
  c->SetIndexName("ByAmount");
  const std::size_t rs = static_cast<std::size_t>(c->GetRecordSize());
  const std::size_t bs = static_cast<std::size_t>(c->GetBookmarkSize());
  std::vector<std::uint8_t> records(rs * 20), bookmarks(bs * 20);
  std::int32_t count = 20;
  EXPECT_EQ(c->ReadFirstRecordBlock(count, records.data(), bookmarks.data()), 0);
  EXPECT_EQ(count, 20);
  EXPECT_EQ(testing::AmountOf(*c, records.data() + rs * 19), 19);
  count = 20;
  EXPECT_EQ(c->ReadLastRecordBlock(count, records.data(), bookmarks.data()), 0);
  EXPECT_EQ(testing::AmountOf(*c, records.data()), 30);
  count = 20;
  EXPECT_EQ(c->ReadAbsoluteRecordBlock(45, count, records.data(), bookmarks.data()), KORVEL_EOF);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(testing::AmountOf(*c, records.data()), 44);
  // Delete one of the block's records from another cursor: its slot reports it gone.
  auto other = OpenPeople(directory);
  other->SetIndexName("ByAmount");
  other->SetToRecordNumber(46);
  auto r = Record(*other);
  other->GetCurrentRecord(r.data());
  other->DeleteRecord(r.data());
  c->RefreshRecordBlock(6, records.data(), bookmarks.data());
  EXPECT_EQ(records[rs * 1], 1);
  EXPECT_EQ(TDataCursor::GetRecordNo(records.data() + rs), KORVEL_KEYORRECDELETED);
  EXPECT_EQ(records[0], 0);
  EXPECT_EQ(testing::AmountOf(*c, records.data() + rs * 2), 46);
}

TEST_F(CursorTest, CloneStartsOnTheSameRecordWithTheSameRange) {
  auto c = OpenPeople(directory);
  for (int i = 0; i < 30; ++i) Append(*c, NameFor(i), i);
  c->SetIndexName("ByAmount");
  auto low = Record(*c), high = Record(*c);
  testing::SetAmount(*c, low.data(), 10);
  testing::SetAmount(*c, high.data(), 19);
  c->SetRange(false, low.data(), 1, high.data(), 1);
  c->SetToRecordNumber(5);
  auto clone = c->CloneCursor();
  EXPECT_EQ(clone->GetRecordCount(), 10);
  auto a = Record(*c), b = Record(*clone);
  c->GetCurrentRecord(a.data());
  clone->GetCurrentRecord(b.data());
  EXPECT_EQ(a, b);
  EXPECT_EQ(clone->GetRecordNumber(), 5);
}

TEST_F(CursorTest, UnknownIndexAndConflictingOpensRaise) {
  auto c = OpenPeople(directory);
  try {
    c->SetIndexName("Nope");
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDINDEXNAME);
  }
  TDataCursor exclusive(directory);
  exclusive.SetTableName("people");
  exclusive.SetExclusive(true);
  try {
    exclusive.OpenCursor();
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_OSEACCES);
  }
  EXPECT_THROW(c->SetTableName("other"), EKORVELEngineError);
  TDataCursor missing(directory);
  missing.SetTableName("missing");
  EXPECT_THROW(missing.OpenCursor(), EKORVELEngineError);
  TDataCursor readOnly(directory);
  readOnly.SetTableName("people");
  readOnly.SetReadOnly(true);
  readOnly.OpenCursor();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(readOnly.GetRecordSize()));
  readOnly.InitRecord(r.data());
  try {
    readOnly.AppendRecord(r.data());
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_OSEACCES);
  }
}

}  // namespace
}  // namespace korvel
