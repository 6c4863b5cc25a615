#include "engine/data_filter.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/filter_test_helpers.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::AppendRow;
using testing::TFilterRow;
using testing::VisibleIDs;

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    directory = session->OpenDataDirectory("test", folder.Path());
    testing::CreateTable(directory, "items", testing::FilterStructure(true));
    c = testing::OpenPeople(directory, "items");
  }
  // Rows i = 1 ... n: Name from a few, Amount i mod 10 (NULL every 7th), Price i / 2.
  void Fill(int n) {
    static const char* names[] = {"Smith", "smith", "Smyth", "Jones", "SMALL", "Brown"};
    for (int i = 1; i <= n; ++i) {
      TFilterRow row;
      row.Name = names[i % 6];
      if (i % 7 != 0) row.Amount = i % 10;
      row.Price = i / 2.0;
      row.Flag = i % 3 == 0;
      AppendRow(*c, row);
    }
  }
  // IDs of rows 1 ... n that pass, by brute force.
  template <typename Pred>
  std::vector<std::int32_t> Expected(int n, Pred pred) {
    std::vector<std::int32_t> ids;
    for (int i = 1; i <= n; ++i)
      if (pred(i)) ids.push_back(i);
    return ids;
  }
  int Activate(const std::string& text, TFilterOptions options = {}) {
    int h = c->AddFilter(nullptr, text, nullptr, options);
    c->ActivateFilter(h);
    return h;
  }
  std::vector<std::int32_t> Sorted(std::vector<std::int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
  std::unique_ptr<testing::TTestCursor> c;
};

// The edge cases of optimisation levels: which parts an index answers.
TEST_F(FilterTest, OptimisationLevels) {
  Fill(20);
  struct Case {
    const char* Text;
    bool CaseInsensitive;
    TOptimizeLevel Level;
  };
  const Case cases[] = {
      {"Price > 3", false, olNone},
      {"Amount = 5", false, olFull},
      {"5 = Amount", false, olFull},
      {"Name = 'Sm*'", false, olFull},
      {"Name = 'Sm*'", true, olFull},
      {"Name LIKE 'Sm%'", false, olFull},
      {"Name LIKE '%m'", false, olNone},
      {"UPPER(Name) = 'SMITH'", false, olFull},
      {"Amount = 5 AND Price > 3", false, olPartial},
      {"Price > 3 AND Amount = 5", false, olPartial},
      {"Amount = 5 OR Price > 3", false, olNone},
      {"Amount = 5 OR Amount = 7", false, olFull},
      {"NOT (Amount = 5)", false, olFull},
      {"Amount <> 5", false, olFull},
      {"Amount IN (1, 2, 3)", false, olFull},
      {"Amount BETWEEN 2 AND 5", false, olFull},
      {"Amount IS NULL", false, olFull},
      {"Amount + 1 = 5", false, olNone},
      {"Amount = ID", false, olNone},
      {"Flag = TRUE", false, olFull},
      {"Flag = TRUE AND Amount > 2", false, olFull},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Text);
    TFilterOptions o;
    o.CaseInsensitive = k.CaseInsensitive;
    int h = c->AddFilter(nullptr, k.Text, nullptr, o);
    EXPECT_EQ(c->GetFilterLevel(h), k.Level);
    c->DropFilter(h);
  }
  // The more answerable side of an AND goes first, so the other runs on its survivors.
  int h = c->AddFilter(nullptr, "Price > 3 AND Amount = 5", nullptr, {});
  c->ActivateFilter(h);
  EXPECT_EQ(VisibleIDs(*c), Expected(20, [](int i) { return i % 7 != 0 && i % 10 == 5 && i / 2.0 > 3; }));
}

TEST_F(FilterTest, NavigationCountsAndRecordNumbersUnderAFilter) {
  Fill(100);
  auto pass = [](int i) { return i % 7 != 0 && i % 10 >= 3 && i % 10 <= 4; };
  const std::vector<std::int32_t> expected = Expected(100, pass);
  Activate("Amount BETWEEN 3 AND 4");
  // Physical navigation: ordinals count visible records.
  c->SetIndexPos(kNoIndexPos);
  EXPECT_EQ(VisibleIDs(*c), expected);
  std::vector<std::int32_t> backwards = VisibleIDs(*c, false);
  std::reverse(backwards.begin(), backwards.end());
  EXPECT_EQ(backwards, expected);
  EXPECT_EQ(c->GetRecordCount(), static_cast<std::int32_t>(expected.size()));
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  for (std::size_t k = 0; k < expected.size(); ++k) {
    ASSERT_TRUE(c->SetToRecordNumber(static_cast<std::int32_t>(k + 1)));
    c->GetCurrentRecord(r.data());
    EXPECT_EQ(TDataCursor::GetRecordID(r.data()), expected[k]);
  }
  // Primary index: record numbers are key ordinals, hidden records included.
  c->SetIndexPos(0);
  EXPECT_EQ(VisibleIDs(*c), expected);
  EXPECT_EQ(c->GetRecordCount(), static_cast<std::int32_t>(expected.size()));
  c->SetToBegin();
  c->GetNextRecord(r.data());
  EXPECT_EQ(c->GetRecordNumber(), expected[0]);
  // A hidden record: the next visible one, and false.
  EXPECT_FALSE(c->SetToRecordNumber(5));
  c->GetCurrentRecord(r.data());
  EXPECT_EQ(TDataCursor::GetRecordID(r.data()), 13);
  EXPECT_TRUE(c->SetToRecordNumber(13));
  // Beyond the number of visible records, still a key ordinal.
  EXPECT_TRUE(c->SetToRecordNumber(93));
  c->GetCurrentRecord(r.data());
  EXPECT_EQ(TDataCursor::GetRecordID(r.data()), 93);
  // Index order of ByAmount.
  c->SetIndexName("ByAmount");
  std::vector<std::int32_t> byAmount = VisibleIDs(*c);
  EXPECT_EQ(Sorted(byAmount), expected);
  EXPECT_EQ(c->GetRecordCount(), static_cast<std::int32_t>(expected.size()));
}

TEST_F(FilterTest, NullSemanticsOfNotEqualOnAnIndexedField) {
  Fill(30);
  Activate("Amount <> 5");
  // NULL <> 5 is true: the rows with a NULL amount are in.
  EXPECT_EQ(VisibleIDs(*c), Expected(30, [](int i) { return i % 7 == 0 || i % 10 != 5; }));
  c->DropFilter(0);
  Activate("Amount < 3");
  // A NULL number orders against nothing.
  EXPECT_EQ(VisibleIDs(*c), Expected(30, [](int i) { return i % 7 != 0 && i % 10 < 3; }));
  c->DropFilter(0);
  Activate("Amount = NULL");
  EXPECT_EQ(VisibleIDs(*c), Expected(30, [](int i) { return i % 7 == 0; }));
}

TEST_F(FilterTest, PrefixesCaseAndUpper) {
  Fill(30);
  static const char* names[] = {"Smith", "smith", "Smyth", "Jones", "SMALL", "Brown"};
  auto name = [](int i) { return std::string(names[i % 6]); };
  Activate("Name = 'Sm*'");
  EXPECT_EQ(Sorted(VisibleIDs(*c)), Expected(30, [&](int i) { return name(i).rfind("Sm", 0) == 0; }));
  c->DropFilter(0);
  TFilterOptions ci;
  ci.CaseInsensitive = true;
  Activate("Name = 'sm*'", ci);
  EXPECT_EQ(Sorted(VisibleIDs(*c)), Expected(30, [&](int i) { return name(i) != "Jones" && name(i) != "Brown"; }));
  c->DropFilter(0);
  Activate("UPPER(Name) = 'SMITH'");
  EXPECT_EQ(Sorted(VisibleIDs(*c)), Expected(30, [&](int i) { return i % 6 <= 1; }));
  c->DropFilter(0);
  TFilterOptions literal;
  literal.NoPartialCompare = true;
  Activate("Name = 'Sm*'", literal);
  EXPECT_TRUE(VisibleIDs(*c).empty());
}

TEST_F(FilterTest, SeveralFiltersCombineAndChain) {
  Fill(60);
  int a = Activate("Amount >= 5");
  TFilterOptions chained;
  chained.Chained = true;
  int b = c->AddFilter(nullptr, "Price < 20", nullptr, chained);
  c->ActivateFilter(b);
  EXPECT_EQ(VisibleIDs(*c), Expected(60, [](int i) { return i % 7 != 0 && i % 10 >= 5 && i < 40; }));
  EXPECT_EQ(c->GetFilterOptimizeLevel(), olPartial);
  c->DeactivateFilter(a);
  EXPECT_EQ(VisibleIDs(*c), Expected(60, [](int i) { return i < 40; }));
  c->DeactivateFilter(0);
  EXPECT_EQ(c->GetRecordCount(), 60);
  EXPECT_EQ(VisibleIDs(*c).size(), 60u);
  c->ActivateFilter(0);
  EXPECT_EQ(VisibleIDs(*c), Expected(60, [](int i) { return i % 7 != 0 && i % 10 >= 5 && i < 40; }));
}

TEST_F(FilterTest, CallbackFilters) {
  Fill(40);
  int calls = 0;
  int marker = 7;
  int h = c->AddFilter(&marker, "", nullptr, {},
                       [&](void* dataset, TDataCursor& cursor, const std::uint8_t* record, std::int32_t n) {
                         ++calls;
                         EXPECT_EQ(dataset, &marker);
                         EXPECT_EQ(TDataCursor::GetRecordNo(record), n);
                         std::int32_t amount = 0;
                         return !cursor.GetField(3, record, &amount) && amount % 2 == 0;
                       });
  EXPECT_EQ(c->GetFilterLevel(h), olNone);
  c->ActivateFilter(h);
  EXPECT_EQ(calls, 40);
  EXPECT_EQ(VisibleIDs(*c), Expected(40, [](int i) { return i % 7 != 0 && (i % 10) % 2 == 0; }));
  // Neither a text, nor a tree, nor a callback.
  try {
    c->AddFilter(nullptr, "", nullptr, {});
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
  }
}

TEST_F(FilterTest, LimitsAndErrors) {
  Fill(5);
  std::vector<int> handles;
  for (int i = 0; i < 64; ++i) handles.push_back(c->AddFilter(nullptr, "Amount > " + std::to_string(i % 3), nullptr, {}));
  try {
    c->AddFilter(nullptr, "Amount > 1", nullptr, {});
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INTERNALLIMIT);
    EXPECT_NE(std::string(e.what()).find("Too many filters defined for the table 'items'"), std::string::npos);
  }
  EXPECT_EQ(c->GetFilterCount(), 64u);
  c->ActivateFilter(0);
  EXPECT_EQ(VisibleIDs(*c), (std::vector<std::int32_t>{3, 4, 5}));
  try {
    c->DropFilter(9999);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_NOSUCHFILTER);
  }
  c->DropFilter(handles.back());
  try {
    c->AddFilter(nullptr, "Amount + 1", nullptr, {});
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
    EXPECT_NE(e.ErrorMessage.find("filter expression must be a boolean expression"), std::string::npos);
  }
  try {
    c->AddFilter(nullptr, "Nothing = 1", nullptr, {});
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFILTER);
  }
  EXPECT_EQ(c->GetFilterCount(), 63u);
  c->DropFilter(0);
  EXPECT_EQ(c->GetFilterCount(), 0u);
  EXPECT_EQ(VisibleIDs(*c).size(), 5u);
}

// Edits through the filtered cursor keep every bitmap right without a rebuild.
TEST_F(FilterTest, EditsUnderAFilter) {
  Fill(50);
  Activate("Amount >= 5");
  c->SetIndexPos(kNoIndexPos);
  const std::int32_t before = c->GetRecordCount();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  // Delete the current record: exactly one fewer.
  c->SetToBegin();
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  c->DeleteRecord(r.data());
  EXPECT_EQ(c->GetRecordCount(), before - 1);
  // An appended record that passes shows; one that fails does not.
  TFilterRow in, out;
  in.Amount = 9;
  out.Amount = 1;
  const std::int32_t inId = AppendRow(*c, in);
  AppendRow(*c, out);
  EXPECT_EQ(c->GetRecordCount(), before);
  std::vector<std::int32_t> ids = VisibleIDs(*c);
  EXPECT_NE(std::find(ids.begin(), ids.end(), inId), ids.end());
  // A change that makes the record fail hides it.
  c->SetToBegin();
  ASSERT_EQ(c->GetNextRecord(r.data()), 0);
  std::int32_t small = 2;
  c->PutField(3, r.data(), &small);
  c->ModifyRecord(r.data());
  EXPECT_EQ(c->GetRecordCount(), before - 1);
  // The incremental state equals a rebuild from scratch.
  std::vector<std::int32_t> incremental = VisibleIDs(*c);
  c->DeactivateFilter(0);
  c->ActivateFilter(0);
  EXPECT_EQ(VisibleIDs(*c), incremental);
}

TEST_F(FilterTest, FiltersUnderRangesAndIndexChanges) {
  Fill(80);
  c->SetIndexName("ByAmount");
  std::vector<std::uint8_t> low(static_cast<std::size_t>(c->GetRecordSize())), high(low.size());
  c->InitRecord(low.data());
  c->InitRecord(high.data());
  std::int32_t a = 2, b = 6;
  c->PutField(3, low.data(), &a);
  c->PutField(3, high.data(), &b);
  c->SetRange(false, low.data(), 1, high.data(), 1);
  Activate("Price > 10");
  auto pass = [](int i) { return i % 7 != 0 && i % 10 >= 2 && i % 10 <= 6 && i > 20; };
  EXPECT_EQ(Sorted(VisibleIDs(*c)), Expected(80, pass));
  EXPECT_EQ(c->GetRecordCount(), static_cast<std::int32_t>(Expected(80, pass).size()));
  c->ResetRange();
  EXPECT_EQ(Sorted(VisibleIDs(*c)), Expected(80, [](int i) { return i > 20; }));
  c->SetIndexPos(kNoIndexPos);
  EXPECT_EQ(VisibleIDs(*c), Expected(80, [](int i) { return i > 20; }));
}

// Most records match: the keys outside the range are walked and inverted, same answer.
TEST_F(FilterTest, ComplementMethodGivesTheSameRecords) {
  Fill(200);
  TFilterOptions cost;
  cost.Cost = true;
  cost.Count = true;
  int h = Activate("Amount >= 1", cost);
  auto pass = [](int i) { return i % 7 != 0 && i % 10 >= 1; };
  EXPECT_EQ(Sorted(VisibleIDs(*c)), Expected(200, pass));
  c->DropFilter(h);
  Activate("Amount BETWEEN 1 AND 8", cost);
  EXPECT_EQ(Sorted(VisibleIDs(*c)), Expected(200, [](int i) { return i % 7 != 0 && i % 10 >= 1 && i % 10 <= 8; }));
}

TEST_F(FilterTest, MemoFieldsAreReadForTheFilter) {
  TFilterRow row;
  row.Amount = 1;
  AppendRow(*c, row);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c->GetRecordSize()));
  c->InitRecord(r.data());
  std::int64_t size = 0;
  ASSERT_EQ(c->OpenBlob(6, r.data(), TBlobBuffer::omWrite, false, true, size), 0);
  const std::string text = "a long note about the record";
  ASSERT_EQ(c->PutBlob(6, r.data(), false, static_cast<std::int64_t>(text.size()), text.data(), 0), 0);
  c->AppendRecord(r.data());
  Activate("Notes LIKE '%note%'");
  EXPECT_EQ(VisibleIDs(*c), (std::vector<std::int32_t>{2}));
}

TEST_F(FilterTest, ACloneKeepsTheFilters) {
  Fill(40);
  int h = Activate("Amount > 6");
  c->AddFilter(nullptr, "Price < 0", nullptr, {});  // inactive: stays so in the clone
  c->SetToRecordNumber(17);
  auto clone = c->CloneCursor();
  EXPECT_EQ(clone->GetFilterCount(), 2u);
  EXPECT_EQ(VisibleIDs(*clone), VisibleIDs(*c));
  c->DropFilter(h);
  EXPECT_EQ(VisibleIDs(*clone), Expected(40, [](int i) { return i % 7 != 0 && i % 10 > 6; }));
}

}  // namespace
}  // namespace korvel
