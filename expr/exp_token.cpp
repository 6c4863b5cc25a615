#include "expr/exp_token.h"

#include <cstring>
#include <utility>

#include "platform/critical_section.h"
#include "support/buffer.h"

namespace korvel {

namespace {

// Case-insensitive (ASCII) equality of two names, as names are compared everywhere.
bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::unique_ptr<std::uint8_t[]> ZeroedBuffer(std::size_t size) {
  return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]());
}

}  // namespace

TExpToken::TExpToken()
    : ValueBufferSize(kDefaultValueBufferSize), ValueBuffer(ZeroedBuffer(kDefaultValueBufferSize)) {}

void TExpToken::Initialize() {
  if (ValueBufferSize > kDefaultValueBufferSize || !ValueBuffer) {
    ValueBuffer = ZeroedBuffer(kDefaultValueBufferSize);
    ValueBufferSize = kDefaultValueBufferSize;
  } else {
    std::memset(ValueBuffer.get(), 0, ValueBufferSize);
  }
  Text.clear();
  NodeClass = enNULL;
  Operator = eoNOTDEFINED;
  OptimizeLevel = olNone;
  OptimizeWork1 = OptimizeWork2 = 0;
  OptimizeCount = -1;
  OptimizeCost = -1;
  SQLWork1 = SQLWork2 = 0;
  Name.clear();
  FieldNumber = 0;
  TableName.clear();
  SourceTable = nullptr;
  Query = nullptr;
  IsNull = IsParameter = 0;
  PartialLength = 0;
  CaseInsensitive = 0;
  DataType = SubType = 0;
  DataSize = 0;
  Decimals = 0;
  FromStringConstant = 0;
  ConstantDataType = ConstantSubType = 0;
  ConstantDataSize = 0;
  ConstantDecimals = 0;
  Left = Right = Third = nullptr;
  Arguments.clear();
  LeftOffset = RightOffset = ThirdOffset = ArgumentsOffset = 0;
  PackPosition = UnpackPosition = 0;
}

void TExpToken::Copy(const TExpToken& source) {
  if (this == &source) return;
  if (ValueBufferSize < source.ValueBufferSize) {
    ValueBuffer = ZeroedBuffer(source.ValueBufferSize);
    ValueBufferSize = source.ValueBufferSize;
  }
  std::memcpy(ValueBuffer.get(), source.ValueBuffer.get(), source.ValueBufferSize);
  if (ValueBufferSize > source.ValueBufferSize) {
    std::memset(ValueBuffer.get() + source.ValueBufferSize, 0,
                ValueBufferSize - source.ValueBufferSize);
  }
  Text = source.Text;
  NodeClass = source.NodeClass;
  Operator = source.Operator;
  OptimizeLevel = source.OptimizeLevel;
  OptimizeWork1 = source.OptimizeWork1;
  OptimizeWork2 = source.OptimizeWork2;
  OptimizeCount = source.OptimizeCount;
  OptimizeCost = source.OptimizeCost;
  SQLWork1 = source.SQLWork1;
  SQLWork2 = source.SQLWork2;
  Name = source.Name;
  FieldNumber = source.FieldNumber;
  TableName = source.TableName;
  SourceTable = source.SourceTable;
  Query = source.Query;
  IsNull = source.IsNull;
  IsParameter = source.IsParameter;
  PartialLength = source.PartialLength;
  CaseInsensitive = source.CaseInsensitive;
  DataType = source.DataType;
  SubType = source.SubType;
  DataSize = source.DataSize;
  Decimals = source.Decimals;
  FromStringConstant = source.FromStringConstant;
  ConstantDataType = source.ConstantDataType;
  ConstantSubType = source.ConstantSubType;
  ConstantDataSize = source.ConstantDataSize;
  ConstantDecimals = source.ConstantDecimals;
  Left = source.Left;
  Right = source.Right;
  Third = source.Third;
  Arguments = source.Arguments;
  LeftOffset = source.LeftOffset;
  RightOffset = source.RightOffset;
  ThirdOffset = source.ThirdOffset;
  ArgumentsOffset = source.ArgumentsOffset;
  PackPosition = source.PackPosition;
  UnpackPosition = source.UnpackPosition;
}

void TExpToken::ResizeValueBuffer(std::size_t size) {
  if (size <= ValueBufferSize) return;  // (ResizeBuffer would free the buffer for size 0)
  std::size_t current = ValueBufferSize;
  ResizeBuffer(static_cast<long long>(size), kValueBufferGrowth, ValueBuffer, current);
  ValueBufferSize = static_cast<std::uint32_t>(current);
}

void TExpToken::SetDataSize(std::int32_t size) {
  if (size == DataSize) return;
  if (size < 0) size = 0;
  ResizeValueBuffer(static_cast<std::size_t>(size));
  DataSize = size;
}

TExpToken* TExpToken::GetArgumentExpToken(std::size_t i) const {
  return i < Arguments.size() ? Arguments[i] : nullptr;
}

void TExpToken::SetArgumentExpToken(std::size_t i, TExpToken* token) {
  if (i >= Arguments.size()) Arguments.resize(i + 1, nullptr);
  Arguments[i] = token;
}

bool TExpToken::Compare(const TExpToken& other) const {
  if (NodeClass != other.NodeClass || Operator != other.Operator) return false;
  if (!SameText(Name, other.Name) || !SameText(TableName, other.TableName)) return false;
  if (IsParameter != other.IsParameter || PartialLength != other.PartialLength ||
      CaseInsensitive != other.CaseInsensitive || DataType != other.DataType ||
      SubType != other.SubType || DataSize != other.DataSize || Decimals != other.Decimals) {
    return false;
  }
  if (NodeClass == enCONST) {
    if (IsNull != other.IsNull) return false;
    if (DataSize > 0 &&
        std::memcmp(ValueBuffer.get(), other.ValueBuffer.get(), static_cast<std::size_t>(DataSize)) != 0) {
      return false;
    }
  }
  return true;
}

// ---- pool -------------------------------------------------------------------------------

namespace {

struct TExpTokenStack {
  TCriticalSection lock;
  std::vector<TExpToken*> idle;
  ~TExpTokenStack() {
    for (TExpToken* t : idle) delete t;
  }
};

TExpTokenStack& TokenStack() {
  static TExpTokenStack stack;
  return stack;
}

}  // namespace

TExpToken* GetNewExpTokenInstance() {
  TExpToken* token = nullptr;
  {
    TExpTokenStack& stack = TokenStack();
    TCriticalSectionGuard guard(stack.lock);
    if (!stack.idle.empty()) {
      token = stack.idle.back();
      stack.idle.pop_back();
    }
  }
  if (token == nullptr) return new TExpToken();
  token->Initialize();
  return token;
}

void ReturnExpTokenInstance(TExpToken*& token) {
  if (token == nullptr) return;
  TExpToken* t = token;
  token = nullptr;
  {
    TExpTokenStack& stack = TokenStack();
    TCriticalSectionGuard guard(stack.lock);
    if (stack.idle.size() < kExpTokenPoolCapacity) {
      stack.idle.push_back(t);
      return;
    }
  }
  delete t;
}

std::size_t IdleExpTokenCount() {
  TExpTokenStack& stack = TokenStack();
  TCriticalSectionGuard guard(stack.lock);
  return stack.idle.size();
}

// ---- tree operations --------------------------------------------------------------------

TExpToken* CopyExpressionTokens(const TExpToken* root) {
  if (root == nullptr) return nullptr;
  TExpTokenPtr copy = NewExpToken();
  copy->Copy(*root);
  // Detach the shared links first, so that a failure below frees only what was copied.
  copy->Left = copy->Right = copy->Third = nullptr;
  copy->Arguments.assign(root->Arguments.size(), nullptr);
  copy->Left = CopyExpressionTokens(root->Left);
  copy->Right = CopyExpressionTokens(root->Right);
  copy->Third = CopyExpressionTokens(root->Third);
  for (std::size_t i = 0; i < root->Arguments.size(); ++i) {
    copy->Arguments[i] = CopyExpressionTokens(root->Arguments[i]);
  }
  return copy.release();
}

void FreeExpressionTokens(TExpToken*& root) {
  if (root == nullptr) return;
  std::vector<TExpToken*> pending{root};
  root = nullptr;
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    if (node->Left) pending.push_back(node->Left);
    if (node->Right) pending.push_back(node->Right);
    if (node->Third) pending.push_back(node->Third);
    for (TExpToken* a : node->Arguments) {
      if (a) pending.push_back(a);
    }
    node->Left = node->Right = node->Third = nullptr;
    node->Arguments.clear();
    ReturnExpTokenInstance(node);
  }
}

bool CompareExpressionTokens(const TExpToken* a, const TExpToken* b) {
  if (a == nullptr && b == nullptr) return true;
  if (a == nullptr || b == nullptr) return false;
  if (!a->Compare(*b)) return false;
  if (a->Arguments.size() != b->Arguments.size()) return false;
  if (!CompareExpressionTokens(a->Left, b->Left)) return false;
  if (!CompareExpressionTokens(a->Right, b->Right)) return false;
  if (!CompareExpressionTokens(a->Third, b->Third)) return false;
  for (std::size_t i = 0; i < a->Arguments.size(); ++i) {
    if (!CompareExpressionTokens(a->Arguments[i], b->Arguments[i])) return false;
  }
  return true;
}

int ExpressionTreeDepth(const TExpToken* root) {
  if (root == nullptr) return 0;
  std::vector<std::pair<const TExpToken*, int>> pending{{root, 1}};
  int deepest = 0;
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > deepest) deepest = depth;
    if (node->Left) pending.emplace_back(node->Left, depth + 1);
    if (node->Right) pending.emplace_back(node->Right, depth + 1);
    if (node->Third) pending.emplace_back(node->Third, depth + 1);
    for (const TExpToken* a : node->Arguments) {
      if (a) pending.emplace_back(a, depth + 1);
    }
  }
  return deepest;
}

TExpToken* GetFieldToken(TExpToken* node) {
  if (node == nullptr) return nullptr;
  switch (node->NodeClass) {
    case enFIELD:
      return node;
    case enUNARY:
      return GetFieldToken(node->Left);
    case enBINARY:
      if (TExpToken* f = GetFieldToken(node->Left)) return f;
      return GetFieldToken(node->Right);
    case enFUNC:
    case enEXTBINARY:
      for (TExpToken* a : node->Arguments) {
        if (TExpToken* f = GetFieldToken(a)) return f;
      }
      return nullptr;
    default:
      return nullptr;
  }
}

bool IsUpperField(const TExpToken* node) {
  return node != nullptr && node->NodeClass == enFUNC && node->Operator == eoUPPER &&
         node->Arguments.size() == 1 && node->Arguments[0] != nullptr &&
         node->Arguments[0]->NodeClass == enFIELD;
}

bool IsTextSearchFunc(const TExpToken* node) {
  return node != nullptr && node->NodeClass == enFUNC && node->Operator == eoTEXTSEARCH;
}

TExpOperator GetOperatorForAggregate(const std::string& name) {
  static const std::pair<const char*, TExpOperator> kAggregates[] = {
      {"SUM", eoSUM}, {"RUNSUM", eoRUNSUM}, {"AVG", eoAVG},
      {"MIN", eoMIN}, {"MAX", eoMAX},       {"COUNT", eoCOUNT},
  };
  for (const auto& [word, op] : kAggregates) {
    if (SameText(name, word)) return op;
  }
  return eoNOTDEFINED;
}

}  // namespace korvel
