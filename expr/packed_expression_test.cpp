#include "expr/packed_expression.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "expr/expression_parser.h"

namespace korvel {
namespace {

std::uint32_t LE32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// The items of the record at `at`, as (offset of the bytes, length) pairs.
std::vector<std::pair<std::size_t, std::size_t>> Items(const std::vector<std::uint8_t>& b,
                                                       std::size_t at, std::size_t count) {
  std::vector<std::pair<std::size_t, std::size_t>> items;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t length = LE32(b, at);
    items.emplace_back(at + 4, length);
    at += 4 + length;
  }
  return items;
}

TEST(PackedExpression, TheConstantOneIsOneRecordOfEighteenItems) {
  TExpTokenPtr one = ParseFilterExpression("1");
  std::vector<std::uint8_t> buffer;
  std::size_t size = PackExpressionTokens(one.get(), buffer);
  ASSERT_EQ(size, buffer.size());
  // 18 lengths + text "1" + 1 + 1 + 1 + name "" + 2 + 4 + value 4 + 1 + 4 + 1 + 1 + 1 + 1 + 4 x 4
  EXPECT_EQ(size, 18u * 4 + 1 + 3 + 0 + 2 + 4 + 4 + 1 + 4 + 4 + 16);
  EXPECT_EQ(size, GetPackSize(*one));
  auto items = Items(buffer, 0, 18);
  EXPECT_EQ(items.back().first + items.back().second, size);
  const std::size_t lengths[18] = {1, 1, 1, 1, 0, 2, 4, 4, 1, 4, 1, 1, 1, 1, 4, 4, 4, 4};
  for (int i = 0; i < 18; ++i) EXPECT_EQ(items[i].second, lengths[i]) << "item " << i + 1;
  EXPECT_EQ(buffer[items[0].first], '1');
  EXPECT_EQ(buffer[items[1].first], enCONST);
  EXPECT_EQ(buffer[items[2].first], eoCONST);
  EXPECT_EQ(LE32(buffer, items[6].first), 4u) << "DataSize";
  EXPECT_EQ(LE32(buffer, items[7].first), 1u) << "the value, little-endian";
  EXPECT_EQ(buffer[items[11].first], 6) << "DataType integer";
  for (int i = 14; i < 18; ++i) EXPECT_EQ(LE32(buffer, items[i].first), 0u) << "no links";

  TExpTokenPtr back = UnpackExpressionTokens(buffer.data(), buffer.size());
  EXPECT_TRUE(CompareExpressionTokens(one.get(), back.get()));
  EXPECT_EQ(back->Text, "1");
}

TEST(PackedExpression, OffsetsFollowThePreOrderLayout) {
  // Root with two operands; its right operand a function with three arguments.
  TExpTokenPtr tree = ParseFilterExpression("[a b] = SUBSTRING(x FROM 2 FOR 3)");
  std::vector<std::uint8_t> buffer;
  std::size_t size = PackExpressionTokens(tree.get(), buffer);
  EXPECT_EQ(size, GetTotalPackSize(tree.get()));
  const TExpToken* right = tree->Right;
  EXPECT_EQ(tree->LeftOffset, GetPackSize(*tree));
  EXPECT_EQ(tree->RightOffset, tree->LeftOffset + GetPackSize(*tree->Left));
  EXPECT_EQ(right->ArgumentsOffset, tree->RightOffset + GetPackSize(*right));
  auto rootItems = Items(buffer, 0, 18);
  EXPECT_EQ(LE32(buffer, rootItems[14].first), tree->LeftOffset);
  EXPECT_EQ(LE32(buffer, rootItems[15].first), tree->RightOffset);
  auto rightItems = Items(buffer, tree->RightOffset, 18);
  EXPECT_EQ(LE32(buffer, rightItems[16].first), 3u) << "argument count";
  EXPECT_EQ(LE32(buffer, rightItems[17].first), right->ArgumentsOffset);

  TExpTokenPtr back = UnpackExpressionTokens(buffer.data(), buffer.size());
  EXPECT_TRUE(CompareExpressionTokens(tree.get(), back.get()));
  ASSERT_EQ(back->Right->ArgumentCount(), 3u);
  EXPECT_EQ(back->Left->Name, "a b");
  EXPECT_EQ(back->Right->Arguments[2]->Text, "3");
}

// Random trees of every node shape the parser makes, with random texts, names and values.
class TTreeMaker {
 public:
  explicit TTreeMaker(unsigned seed) : rng_(seed) {}

  TExpTokenPtr Make(int depth) {
    int pick = depth <= 0 ? Pick(2) : Pick(8);
    TExpTokenPtr t = NewExpToken();
    t->Text = RandomText(Pick(6));
    t->OptimizeLevel = static_cast<TOptimizeLevel>(Pick(3));
    t->DataType = static_cast<std::uint8_t>(Pick(19));
    t->Decimals = static_cast<std::uint8_t>(Pick(5));
    switch (pick) {
      case 0:
        t->NodeClass = enFIELD;
        t->Name = RandomText(1 + Pick(20));
        t->FieldNumber = static_cast<std::uint16_t>(Pick(70000));
        if (Pick(2)) t->TableName = RandomText(3);  // not packed: dropped on the way back
        break;
      case 1: {
        t->NodeClass = enCONST;
        t->IsNull = static_cast<std::uint8_t>(Pick(2));
        std::int32_t size = Pick(4) == 0 ? 300 + Pick(400) : Pick(12);
        t->SetDataSize(size);
        for (std::int32_t i = 0; i < size; ++i) t->ValueBuffer[i] = static_cast<std::uint8_t>(Pick(256));
        break;
      }
      case 2:
      case 3:
        t->NodeClass = pick == 2 ? enBINARY : enCOMPARE;
        t->Operator = static_cast<TExpOperator>(eoEQ + Pick(6));
        t->PartialLength = Pick(10) - 2;
        t->CaseInsensitive = static_cast<std::uint8_t>(Pick(2));
        t->Left = Make(depth - 1).release();
        t->Right = Make(depth - 1).release();
        break;
      case 4:
        t->NodeClass = enUNARY;
        t->Operator = Pick(2) ? eoNOT : eoMINUS;
        t->Left = Make(depth - 1).release();
        break;
      default: {
        static const std::pair<TExpOperator, int> kShapes[] = {
            {eoUPPER, 1}, {eoSUM, 1}, {eoEXTRACTWEEK, 1}, {eoSUBSTRING, 3}, {eoSUBSTRING, 2},
            {eoBETWEEN, 3}, {eoREPLACE, 3}, {eoPOS, 2}, {eoTRIMLEADING, 2}, {eoCAST, 1},
            {eoCAST, 3}, {eoIF, 3}, {eoLIKE, 2}, {eoROUND, 1}, {eoIN, 1 + 4}, {eoNOTIN, 2},
            {eoCOALESCE, 3},
        };
        const auto& [op, count] = kShapes[Pick(sizeof kShapes / sizeof kShapes[0])];
        t->NodeClass = (op == eoLIKE || op == eoBETWEEN || op == eoIN || op == eoNOTIN) ? enEXTBINARY : enFUNC;
        t->Operator = op;
        t->Name = RandomText(Pick(5));
        for (int i = 0; i < count; ++i) {
          // Arguments after the first are leaves, as the old form needs for its chains.
          t->Arguments.push_back(Make(i == 0 ? depth - 1 : 0).release());
        }
        break;
      }
    }
    return t;
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string RandomText(int length) {
    std::string s;
    for (int i = 0; i < length; ++i) s.push_back(static_cast<char>(Pick(256)));
    return s;
  }
  std::mt19937 rng_;
};

// Equality with Text too, which Compare leaves out.
bool SameTexts(const TExpToken* a, const TExpToken* b) {
  if (!a || !b) return a == b;
  if (a->Text != b->Text || a->Arguments.size() != b->Arguments.size()) return false;
  for (std::size_t i = 0; i < a->Arguments.size(); ++i) {
    if (!SameTexts(a->Arguments[i], b->Arguments[i])) return false;
  }
  return SameTexts(a->Left, b->Left) && SameTexts(a->Right, b->Right);
}

void DropTableNames(TExpToken* t) {
  if (!t) return;
  t->TableName.clear();
  DropTableNames(t->Left);
  DropTableNames(t->Right);
  for (TExpToken* a : t->Arguments) DropTableNames(a);
}

TEST(PackedExpression, RandomTreesRoundTripThroughBothForms) {
  TTreeMaker maker(20240611);
  for (int round = 0; round < 300; ++round) {
    TExpTokenPtr tree = maker.Make(1 + round % 6);
    DropTableNames(tree.get());
    std::vector<std::uint8_t> buffer;
    std::size_t size = PackExpressionTokens(tree.get(), buffer);
    ASSERT_EQ(size, GetTotalPackSize(tree.get()));
    TExpTokenPtr back = UnpackExpressionTokens(buffer.data(), buffer.size());
    ASSERT_TRUE(CompareExpressionTokens(tree.get(), back.get())) << "round " << round;
    ASSERT_TRUE(SameTexts(tree.get(), back.get())) << "round " << round;

    TExpTokenPtr old(CopyExpressionTokens(tree.get()));
    if (old->Operator == eoCOALESCE || ExpressionTreeDepth(old.get()) == 0) continue;
    try {
      ConvertToOldExpressionTokens(old.get());
      std::vector<std::uint8_t> oldBuffer;
      std::size_t oldSize = OldPackExpressionTokens(old.get(), oldBuffer);
      ASSERT_EQ(oldSize, GetOldTotalPackSize(old.get()));
      TExpTokenPtr oldBack = OldUnpackExpressionTokens(oldBuffer.data(), oldBuffer.size());
      ConvertFromOldExpressionTokens(oldBack.get());
      ASSERT_TRUE(CompareExpressionTokens(tree.get(), oldBack.get())) << "round " << round;
    } catch (const EKORVELEngineError& e) {
      // Only COALESCE inside the tree cannot travel in the old form.
      EXPECT_EQ(e.ErrorCode, KORVEL_REMOTEVERSION);
    }
  }
}

TEST(PackedExpression, ParsedFiltersRoundTripThroughBothForms) {
  const char* filters[] = {
      "a = 1 or b = 2 and c = 3",
      "UPPER(name) LIKE 'AB%' AND NOT x BETWEEN 1 AND 5",
      "k IN (1, 2, 3) OR k NOT IN ('x')",
      "REPLACE('a' WITH 'b' IN s) = 'c' AND POS('x' IN s) > 0",
      "SUBSTRING(s FROM 1 FOR 2) = 'ab' AND SUBSTRING(s FROM 3) = 'c'",
      "IF(a = 1 THEN 'x' ELSE 'y') = TRIM(BOTH ' ' FROM s)",
      "CAST(a AS VARCHAR(10)) = 'x' AND ROUND(f TO 2) > 1.5 AND EXTRACT(YEAR FROM d) = 2020",
  };
  for (const char* text : filters) {
    TExpTokenPtr tree = ParseFilterExpression(text);
    std::vector<std::uint8_t> buffer;
    PackExpressionTokens(tree.get(), buffer);
    TExpTokenPtr back = UnpackExpressionTokens(buffer.data(), buffer.size());
    EXPECT_TRUE(CompareExpressionTokens(tree.get(), back.get())) << text;

    TExpTokenPtr old(CopyExpressionTokens(tree.get()));
    ConvertToOldExpressionTokens(old.get());
    std::vector<std::uint8_t> oldBuffer;
    OldPackExpressionTokens(old.get(), oldBuffer);
    TExpTokenPtr oldBack = OldUnpackExpressionTokens(oldBuffer.data(), oldBuffer.size());
    ConvertFromOldExpressionTokens(oldBack.get());
    EXPECT_TRUE(CompareExpressionTokens(tree.get(), oldBack.get())) << text;
  }
}

TEST(PackedExpression, OldFormLinksOfEachFunctionShape) {
  TExpTokenPtr replace = ParseFilterExpression("REPLACE('s' WITH 'r' IN subject)");
  ConvertToOldExpressionTokens(replace.get());
  EXPECT_TRUE(replace->Arguments.empty());
  EXPECT_EQ(replace->Left->Name, "subject");
  EXPECT_EQ(replace->Right->Text, "s");
  EXPECT_EQ(replace->Right->Right->Text, "r");

  TExpTokenPtr in = ParseFilterExpression("k IN (1, 2, 3)");
  ConvertToOldExpressionTokens(in.get());
  EXPECT_EQ(in->Left->Name, "k");
  EXPECT_EQ(in->Right->Text, "1");
  EXPECT_EQ(in->Right->Right->Text, "2");
  EXPECT_EQ(in->Right->Right->Right->Text, "3");

  TExpTokenPtr pos = ParseFilterExpression("POS('x' IN s)");
  ConvertToOldExpressionTokens(pos.get());
  EXPECT_EQ(pos->Left->Name, "s");
  EXPECT_EQ(pos->Right->Text, "x");

  TExpTokenPtr iff = ParseFilterExpression("IF(c THEN 1 ELSE 2)");
  ConvertToOldExpressionTokens(iff.get());
  EXPECT_EQ(iff->Left->Name, "c");
  EXPECT_EQ(iff->Right->Text, "1");
  EXPECT_EQ(iff->Third->Text, "2");

  // The old record has 17 items: three offsets and no argument list.
  std::vector<std::uint8_t> buffer;
  TExpTokenPtr one = ParseFilterExpression("1");
  EXPECT_EQ(OldPackExpressionTokens(one.get(), buffer), GetPackSize(*one) - 8);
}

TEST(PackedExpression, OldFormRefusesWhatItCannotCarry) {
  // A chained argument needs the right link of an operand that is itself a sum.
  TExpTokenPtr between = ParseFilterExpression("a BETWEEN b + 1 AND 5");
  EXPECT_THROW(ConvertToOldExpressionTokens(between.get()), EKORVELEngineError);
  TExpTokenPtr in = ParseFilterExpression("k IN (1, b - 1)");
  EXPECT_THROW(ConvertToOldExpressionTokens(in.get()), EKORVELEngineError);
  // COALESCE keeps its arguments, which the old record has no room for.
  TExpTokenPtr coalesce = ParseFilterExpression("COALESCE(a, 1) = 1");
  ConvertToOldExpressionTokens(coalesce.get());
  std::vector<std::uint8_t> buffer;
  try {
    OldPackExpressionTokens(coalesce.get(), buffer);
    FAIL() << "packed";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_REMOTEVERSION);
  }
}

class UnpackFailure : public ::testing::Test {
 protected:
  void ExpectRefused(const std::vector<std::uint8_t>& bytes, const std::string& what) {
    try {
      TExpTokenPtr t = UnpackExpressionTokens(bytes.data(), bytes.size(), KORVEL_REMOTEUNKNOWN, "server");
      ADD_FAILURE() << "accepted: " << what;
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_REMOTEUNKNOWN);
      EXPECT_EQ(e.ErrorRemoteName, "server");
      EXPECT_NE(e.ErrorMessage.find(what), std::string::npos) << e.ErrorMessage;
    }
  }
  std::vector<std::uint8_t> Packed(const char* filter) {
    TExpTokenPtr t = ParseFilterExpression(filter);
    std::vector<std::uint8_t> b;
    PackExpressionTokens(t.get(), b);
    return b;
  }
};

TEST_F(UnpackFailure, EveryTruncationIsRefused) {
  std::vector<std::uint8_t> whole = Packed("UPPER(a) IN ('x', 'y') AND b = 1");
  for (std::size_t n = 1; n < whole.size(); ++n) {
    std::vector<std::uint8_t> part(whole.begin(), whole.begin() + n);
    EXPECT_THROW(UnpackExpressionTokens(part.data(), part.size()), EKORVELEngineError) << n;
  }
  std::size_t consumed = 0;
  whole.push_back(0);
  EXPECT_THROW(UnpackExpressionTokens(whole.data(), whole.size()), EKORVELEngineError);
  EXPECT_NE(UnpackExpressionTokens(whole.data(), whole.size(), KORVEL_REMOTEUNKNOWN, "", &consumed), nullptr);
  EXPECT_EQ(consumed, whole.size() - 1);
  EXPECT_EQ(UnpackExpressionTokens(nullptr, 0), nullptr);
}

TEST_F(UnpackFailure, DamagedItemsAreRefused) {
  const std::vector<std::uint8_t> good = Packed("a = 1");
  auto root = Items(good, 0, 18);
  auto patch32 = [&](std::size_t at, std::uint32_t v) {
    std::vector<std::uint8_t> b = good;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
  };
  ExpectRefused(patch32(0, 0xFFFFFFF0u), "item longer than the rest");
  ExpectRefused(patch32(root[1].first - 4, 2), "wrong length of node class");
  std::vector<std::uint8_t> badClass = good;
  badClass[root[1].first] = 13;
  ExpectRefused(badClass, "unknown node class");
  std::vector<std::uint8_t> badOp = good;
  badOp[root[2].first] = 73;
  ExpectRefused(badOp, "unknown operator");
  std::vector<std::uint8_t> badLevel = good;
  badLevel[root[3].first] = 3;
  ExpectRefused(badLevel, "unknown optimize level");
  ExpectRefused(patch32(root[6].first, 7), "value length differs");
  ExpectRefused(patch32(root[14].first, 0x7FFFFFFF), "left offset outside the buffer");
  ExpectRefused(patch32(root[16].first, 0x40000000), "argument count does not fit");
  ExpectRefused(patch32(root[17].first, 12), "arguments offset without arguments");
}

TEST_F(UnpackFailure, ATreeDeeperThanTheLimitIsRefusedWithoutOverflowingTheStack) {
  // A chain of NOT nodes, each marking a left operand, built by hand.
  TExpTokenPtr node = NewExpToken();
  node->NodeClass = enUNARY;
  node->Operator = eoNOT;
  TExpTokenPtr leaf = NewExpToken();
  leaf->NodeClass = enCONST;
  std::vector<std::uint8_t> one, last;
  node->Left = leaf.get();
  PackExpressionTokens(node.get(), one);
  node->Left = nullptr;
  PackExpressionTokens(leaf.get(), last);
  std::size_t record = GetPackSize(*node);
  std::vector<std::uint8_t> bomb;
  for (int i = 0; i < 100000; ++i) bomb.insert(bomb.end(), one.begin(), one.begin() + record);
  bomb.insert(bomb.end(), last.begin(), last.end());
  ExpectRefused(bomb, "tree nested too deeply");
}

TEST(PackedExpression, NamesLongerThan255AreRefusedOnTheWayIn) {
  TExpTokenPtr f = NewExpToken();
  f->NodeClass = enFIELD;
  f->Name = std::string(256, 'x');
  std::vector<std::uint8_t> b;
  PackExpressionTokens(f.get(), b);
  EXPECT_THROW(UnpackExpressionTokens(b.data(), b.size()), EKORVELEngineError);
  f->Name.pop_back();
  PackExpressionTokens(f.get(), b);
  EXPECT_EQ(UnpackExpressionTokens(b.data(), b.size())->Name.size(), 255u);
}

}  // namespace
}  // namespace korvel
