// Random filters over random tables: a table with the indexes that make the filters answerable
// from keys and the same table without them (where every filter is evaluated record by record)
// must show exactly the same records, whatever the options. KORVEL_FILTER_ROUNDS raises the
// number of filters tried.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "engine/filter_test_helpers.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::AppendRow;
using testing::TFilterRow;
using testing::VisibleIDs;

class TFilterGenerator {
 public:
  explicit TFilterGenerator(std::uint32_t seed) : random_(seed) {}

  std::string Expression(int depth) {
    if (depth <= 0 || Pick(10) < 4) return Atom();
    std::string text;
    const std::uint32_t kind = Pick(3);
    if (kind == 2) {
      text.append("NOT (").append(Expression(depth - 1)).append(")");
      return text;
    }
    text.append("(").append(Expression(depth - 1)).append(kind == 0 ? ") AND (" : ") OR (");
    text.append(Expression(depth - 1)).append(")");
    return text;
  }

  std::string Name() {
    static const char* names[] = {"", "a", "ab", "abc", "b", "B", "Ab", "ba", "AB", "abcdef", "zz"};
    return names[Pick(11)];
  }
  int Amount() { return Pick(14) - 2; }
  std::uint32_t Pick(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }

 private:
  std::string Op() {
    static const char* ops[] = {"=", "<>", ">", ">=", "<", "<="};
    return ops[Pick(6)];
  }
  std::string Quoted(const std::string& s) { return "'" + s + "'"; }

  std::string Atom() {
    switch (Pick(16)) {
      case 0: return "Amount " + Op() + " " + std::to_string(Amount());
      case 1: return std::to_string(Amount()) + " " + Op() + " Amount";
      case 2: return Pick(2) ? "Amount IS NULL" : "Amount IS NOT NULL";
      case 3: {
        std::string list = std::to_string(Amount()) + ", " + std::to_string(Amount());
        if (Pick(3) == 0) list += ", NULL";
        return std::string(Pick(2) ? "Amount IN (" : "Amount NOT IN (") + list + ")";
      }
      case 4:
        return std::string(Pick(2) ? "Amount BETWEEN " : "Amount NOT BETWEEN ") + std::to_string(Amount()) + " AND " +
               std::to_string(Amount());
      case 5: return "Name " + Op() + " " + Quoted(Name());
      case 6: return "Name = " + Quoted(Name() + "*");
      case 7: return "Name <> " + Quoted(Name() + "*");
      case 8: return std::string(Pick(2) ? "Name LIKE " : "Name NOT LIKE ") + Quoted(Name() + "%");
      case 9: return "UPPER(Name) " + Op() + " " + Quoted(Name());
      case 10: return Pick(2) ? "Name IS NULL" : "Name IS NOT NULL";
      case 11: return std::string("Name IN (") + Quoted(Name()) + ", " + Quoted(Name()) + ")";
      case 12: return "Name BETWEEN " + Quoted(Name()) + " AND " + Quoted(Name());
      case 13: return "Price " + Op() + " " + std::to_string(Amount()) + ".5";
      case 14: return std::string("Flag = ") + (Pick(2) ? "TRUE" : "FALSE");
      default: return "Amount + 1 " + Op() + " " + std::to_string(Amount());
    }
  }

  std::mt19937 random_;
};

class FilterEquivalenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    directory = session->OpenDataDirectory("test", folder.Path());
    testing::CreateTable(directory, "indexed", testing::FilterStructure(true));
    testing::CreateTable(directory, "plain", testing::FilterStructure(false));
    indexed = testing::OpenPeople(directory, "indexed");
    plain = testing::OpenPeople(directory, "plain");
  }

  // The same random rows in both tables, some of them deleted again.
  void Fill(TFilterGenerator& g, int rows) {
    std::vector<std::int32_t> ids;
    for (int i = 0; i < rows; ++i) {
      TFilterRow row;
      if (g.Pick(8) != 0) row.Name = g.Name();
      if (g.Pick(8) != 0) row.Amount = g.Amount();
      if (g.Pick(8) != 0) row.Price = g.Amount() + 0.5 * g.Pick(3);
      if (g.Pick(8) != 0) row.Flag = g.Pick(2) == 0;
      AppendRow(*indexed, row);
      ids.push_back(AppendRow(*plain, row));
    }
    std::vector<std::uint8_t> r(static_cast<std::size_t>(indexed->GetRecordSize()));
    for (std::int32_t id : ids) {
      if (g.Pick(6) != 0) continue;
      for (TDataCursor* c : {static_cast<TDataCursor*>(indexed.get()), static_cast<TDataCursor*>(plain.get())}) {
        std::int32_t key = id;
        c->SetIndexPos(0);
        ASSERT_TRUE(c->Find(false, [&] {
          c->InitRecord(r.data());
          TDataCursor::PutRecordID(key, r.data());
          return r.data();
        }(), 1, false, 0, r.data()));
        c->DeleteRecord(r.data());
      }
    }
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
  std::unique_ptr<testing::TTestCursor> indexed, plain;
};

TEST_F(FilterEquivalenceTest, IndexAnswersEqualRecordByRecordAnswers) {
  const char* env = std::getenv("KORVEL_FILTER_ROUNDS");
  const int rounds = env != nullptr ? std::max(1, std::atoi(env)) : 300;
  TFilterGenerator g(20261208);
  Fill(g, 400);
  int optimised = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string text = g.Expression(3);
    TFilterOptions options;
    options.CaseInsensitive = g.Pick(3) == 0;
    options.NoPartialCompare = g.Pick(4) == 0;
    options.Cost = g.Pick(2) == 0;
    options.Count = g.Pick(2) == 0;
    SCOPED_TRACE(text + (options.CaseInsensitive ? " [case-insensitive]" : "") + (options.Cost ? " [cost]" : ""));
    // Physical navigation on the indexed table, index order on the plain one.
    indexed->SetIndexPos(round % 2 == 0 ? kNoIndexPos : 3);
    plain->SetIndexPos(0);
    int a = indexed->AddFilter(nullptr, text, nullptr, options);
    int b = plain->AddFilter(nullptr, text, nullptr, options);
    EXPECT_EQ(plain->GetFilterLevel(b), olNone);
    if (indexed->GetFilterLevel(a) != olNone) ++optimised;
    indexed->ActivateFilter(a);
    plain->ActivateFilter(b);
    std::vector<std::int32_t> x = VisibleIDs(*indexed), y = VisibleIDs(*plain);
    EXPECT_EQ(indexed->GetRecordCount(), static_cast<std::int32_t>(x.size()));
    EXPECT_EQ(plain->GetRecordCount(), static_cast<std::int32_t>(y.size()));
    std::sort(x.begin(), x.end());
    ASSERT_EQ(x, y);
    indexed->DropFilter(a);
    plain->DropFilter(b);
  }
  // The generator must reach the index paths, or the comparison proves nothing.
  EXPECT_GT(optimised, rounds / 4);
}

}  // namespace
}  // namespace korvel
