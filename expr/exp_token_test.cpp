#include "expr/exp_token.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korvel {
namespace {

TExpTokenPtr Field(const std::string& name) {
  TExpTokenPtr t = NewExpToken();
  t->NodeClass = enFIELD;
  t->Operator = eoFIELD;
  t->Name = name;
  return t;
}

TExpTokenPtr IntConst(std::int32_t v) {
  TExpTokenPtr t = NewExpToken();
  t->NodeClass = enCONST;
  t->Operator = eoCONST;
  t->DataType = 6;
  t->SetDataSize(4);
  std::memcpy(t->ValueBuffer.get(), &v, 4);
  return t;
}

TExpTokenPtr Binary(TExpOperator op, TExpTokenPtr l, TExpTokenPtr r) {
  TExpTokenPtr t = NewExpToken();
  t->NodeClass = enBINARY;
  t->Operator = op;
  t->Left = l.release();
  t->Right = r.release();
  return t;
}

TEST(ExpToken, NewAndInitializedTokensHaveTheDefaultState) {
  TExpTokenPtr t = NewExpToken();
  EXPECT_EQ(t->ValueBufferSize, 251u);
  EXPECT_EQ(t->OptimizeCount, -1);
  EXPECT_EQ(t->OptimizeCost, -1);
  EXPECT_EQ(t->DataSize, 0);
  t->Text = "x";
  t->SQLWork1 = 7;
  t->SetDataSize(1000);
  t->ValueBuffer[0] = 9;
  t->Initialize();
  EXPECT_EQ(t->ValueBufferSize, 251u) << "a grown buffer goes back to 251 bytes";
  EXPECT_EQ(t->ValueBuffer[0], 0);
  EXPECT_EQ(t->SQLWork1, 0);
  EXPECT_TRUE(t->Text.empty());
  EXPECT_EQ(t->DataSize, 0);
}

TEST(ExpToken, ValueBufferGrowsInStepsOf256AndKeepsItsBytes) {
  TExpTokenPtr t = NewExpToken();
  t->ValueBuffer[250] = 0x5A;
  t->ResizeValueBuffer(252);
  EXPECT_EQ(t->ValueBufferSize, 256u);
  t->ResizeValueBuffer(300);
  EXPECT_EQ(t->ValueBufferSize, 512u);
  EXPECT_EQ(t->ValueBuffer[250], 0x5A);
  EXPECT_EQ(t->ValueBuffer[511], 0);
  t->ResizeValueBuffer(10);
  EXPECT_EQ(t->ValueBufferSize, 512u) << "never shrinks";
  t->SetDataSize(600);
  EXPECT_EQ(t->DataSize, 600);
  EXPECT_EQ(t->ValueBufferSize, 768u);
}

TEST(ExpToken, ArgumentsBeyondTheCountAreAbsentAndSettingExtendsTheList) {
  TExpTokenPtr t = NewExpToken();
  EXPECT_EQ(t->GetArgumentExpToken(0), nullptr);
  TExpToken* a = GetNewExpTokenInstance();
  t->SetArgumentExpToken(2, a);
  EXPECT_EQ(t->ArgumentCount(), 3u);
  EXPECT_EQ(t->GetArgumentExpToken(0), nullptr);
  EXPECT_EQ(t->GetArgumentExpToken(2), a);
  EXPECT_EQ(t->GetArgumentExpToken(3), nullptr);
}

TEST(ExpToken, CopySharesLinksWhileTheTreeCopyDuplicatesThem) {
  TExpTokenPtr tree = Binary(eoEQ, Field("a"), IntConst(1));
  TExpTokenPtr shallow = NewExpToken();
  shallow->Copy(*tree);
  EXPECT_EQ(shallow->Left, tree->Left);
  shallow->Left = shallow->Right = nullptr;  // not ours

  TExpTokenPtr deep(CopyExpressionTokens(tree.get()));
  ASSERT_NE(deep->Left, nullptr);
  EXPECT_NE(deep->Left, tree->Left);
  EXPECT_TRUE(CompareExpressionTokens(deep.get(), tree.get()));
  deep->Right->ValueBuffer[0] = 2;
  EXPECT_FALSE(CompareExpressionTokens(deep.get(), tree.get()));
  EXPECT_EQ(tree->Right->ValueBuffer[0], 1);
  EXPECT_EQ(CopyExpressionTokens(nullptr), nullptr);
}

TEST(ExpToken, TreeComparisonLooksAtValuesNamesWithoutCaseAndShape) {
  TExpTokenPtr a1 = Binary(eoEQ, Field("a"), IntConst(1));
  TExpTokenPtr a2 = Binary(eoEQ, Field("a"), IntConst(2));
  TExpTokenPtr upperA1 = Binary(eoEQ, Field("A"), IntConst(1));
  EXPECT_FALSE(CompareExpressionTokens(a1.get(), a2.get()));
  EXPECT_TRUE(CompareExpressionTokens(a1.get(), upperA1.get()));
  EXPECT_TRUE(CompareExpressionTokens(nullptr, nullptr));
  EXPECT_FALSE(CompareExpressionTokens(a1.get(), nullptr));

  // Bytes past DataSize do not count; the null flag does, for constants.
  TExpTokenPtr c1 = IntConst(5), c2 = IntConst(5);
  c2->ValueBuffer[10] = 1;
  EXPECT_TRUE(CompareExpressionTokens(c1.get(), c2.get()));
  c2->IsNull = 1;
  EXPECT_FALSE(CompareExpressionTokens(c1.get(), c2.get()));

  // One more argument makes the trees differ.
  TExpTokenPtr f1 = NewExpToken(), f2 = NewExpToken();
  f1->NodeClass = f2->NodeClass = enFUNC;
  f1->SetArgumentExpToken(0, Field("x").release());
  f2->SetArgumentExpToken(0, Field("x").release());
  EXPECT_TRUE(CompareExpressionTokens(f1.get(), f2.get()));
  f2->SetArgumentExpToken(1, nullptr);
  EXPECT_FALSE(CompareExpressionTokens(f1.get(), f2.get()));
}

TEST(ExpToken, PoolKeepsAtMost256AndCreatesWhenEmpty) {
  std::vector<TExpToken*> taken;
  while (IdleExpTokenCount() > 0) taken.push_back(GetNewExpTokenInstance());
  EXPECT_EQ(IdleExpTokenCount(), 0u);
  taken.push_back(GetNewExpTokenInstance());  // from an empty pool: a new one
  for (int i = 0; taken.size() < kExpTokenPoolCapacity + 5; ++i) taken.push_back(GetNewExpTokenInstance());
  for (TExpToken*& t : taken) {
    ReturnExpTokenInstance(t);
    EXPECT_EQ(t, nullptr);
  }
  EXPECT_EQ(IdleExpTokenCount(), kExpTokenPoolCapacity);
  // A pooled token comes back initialised.
  TExpToken* t = GetNewExpTokenInstance();
  t->Name = "dirty";
  ReturnExpTokenInstance(t);
  t = GetNewExpTokenInstance();
  EXPECT_TRUE(t->Name.empty());
  ReturnExpTokenInstance(t);
}

TEST(ExpToken, FreeingAVeryDeepTreeDoesNotRecurse) {
  TExpToken* root = nullptr;
  for (int i = 0; i < 200000; ++i) {
    TExpToken* n = GetNewExpTokenInstance();
    n->NodeClass = enUNARY;
    n->Left = root;
    root = n;
  }
  EXPECT_EQ(ExpressionTreeDepth(root), 200000);
  FreeExpressionTokens(root);
  EXPECT_EQ(root, nullptr);
}

TEST(ExpToken, FieldLookupAndFunctionPredicates) {
  // -(1 + x): the field is found through unary and binary operands.
  TExpTokenPtr minus = NewExpToken();
  minus->NodeClass = enUNARY;
  minus->Left = Binary(eoADD, IntConst(1), Field("x")).release();
  ASSERT_NE(GetFieldToken(minus.get()), nullptr);
  EXPECT_EQ(GetFieldToken(minus.get())->Name, "x");

  TExpTokenPtr upper = NewExpToken();
  upper->NodeClass = enFUNC;
  upper->Operator = eoUPPER;
  upper->SetArgumentExpToken(0, IntConst(3).release());
  EXPECT_FALSE(IsUpperField(upper.get()));
  EXPECT_EQ(GetFieldToken(upper.get()), nullptr);
  FreeExpressionTokens(upper->Arguments[0]);
  upper->Arguments[0] = Field("name").release();
  EXPECT_TRUE(IsUpperField(upper.get()));
  EXPECT_EQ(GetFieldToken(upper.get())->Name, "name");
  upper->SetArgumentExpToken(1, IntConst(1).release());
  EXPECT_FALSE(IsUpperField(upper.get())) << "exactly one argument";

  // A comparison node is not searched.
  TExpTokenPtr cmp = Binary(eoEQ, Field("a"), IntConst(1));
  cmp->NodeClass = enCOMPARE;
  EXPECT_EQ(GetFieldToken(cmp.get()), nullptr);

  TExpTokenPtr ts = NewExpToken();
  ts->NodeClass = enFUNC;
  ts->Operator = eoTEXTSEARCH;
  EXPECT_TRUE(IsTextSearchFunc(ts.get()));
  ts->NodeClass = enEXTBINARY;
  EXPECT_FALSE(IsTextSearchFunc(ts.get()));

  EXPECT_EQ(GetOperatorForAggregate("sum"), eoSUM);
  EXPECT_EQ(GetOperatorForAggregate("RunSum"), eoRUNSUM);
  EXPECT_EQ(GetOperatorForAggregate("COUNT"), eoCOUNT);
  EXPECT_EQ(GetOperatorForAggregate("avg"), eoAVG);
  EXPECT_EQ(GetOperatorForAggregate("min"), eoMIN);
  EXPECT_EQ(GetOperatorForAggregate("Max"), eoMAX);
  EXPECT_EQ(GetOperatorForAggregate("SUMS"), eoNOTDEFINED);
}

}  // namespace
}  // namespace korvel
