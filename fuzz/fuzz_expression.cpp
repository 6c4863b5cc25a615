// Parses arbitrary text as a filter and as an SQL expression; whatever parses must survive both
// packed forms unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "expr/expression_parser.h"
#include "expr/packed_expression.h"

namespace korvel {
namespace {

// Reads a sub-select as the statement parser would: every token up to the closing parenthesis.
class TSkippingStatement : public TExpressionParserOwner {
 public:
  void AddParameter(TExpToken*) override { ++parameters; }
  TDataQuery* ParseSubSelect(TExpressionParser& parser) override {
    while (!parser.CheckToken(')') && !parser.CheckToken(tkEnd)) parser.NextToken();
    return nullptr;
  }
  int parameters = 0;
};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The packed forms carry neither the table name (a qualified field keeps it only in its text)
// nor the parameter flag, so the trees are compared without them.
void ClearTableNames(TExpToken* t) {
  if (t == nullptr) return;
  t->TableName.clear();
  t->IsParameter = 0;
  ClearTableNames(t->Left);
  ClearTableNames(t->Right);
  for (TExpToken* a : t->Arguments) ClearTableNames(a);
}

void RoundTrip(TExpToken* tree) {
  ClearTableNames(tree);
  std::vector<std::uint8_t> buffer;
  std::size_t size = PackExpressionTokens(tree, buffer);
  Check(size == buffer.size() && size == GetTotalPackSize(tree));
  TExpTokenPtr back = UnpackExpressionTokens(buffer.data(), buffer.size());
  Check(CompareExpressionTokens(tree, back.get()));

  TExpTokenPtr old(CopyExpressionTokens(tree));
  Check(CompareExpressionTokens(tree, old.get()));
  try {
    ConvertToOldExpressionTokens(old.get());
    std::vector<std::uint8_t> oldBuffer;
    OldPackExpressionTokens(old.get(), oldBuffer);
    TExpTokenPtr oldBack = OldUnpackExpressionTokens(oldBuffer.data(), oldBuffer.size());
    ConvertFromOldExpressionTokens(oldBack.get());
    Check(CompareExpressionTokens(tree, oldBack.get()));
  } catch (const EKORVELEngineError& e) {
    Check(e.ErrorCode == KORVEL_REMOTEVERSION);  // a tree the old form cannot carry
  }
}

void ParseAndRoundTrip(const std::string& text, TParseModifiers modifiers, TErrorCode code) {
  TSkippingStatement statement;
  TExpressionParser parser(&statement);
  parser.ErrorCode = code;
  parser.ContextDescription = code == KORVEL_INVALIDFILTER ? kFilterContextDescription : "SELECT clause";
  parser.SetExpression(text);
  try {
    parser.NextToken();
    parser.MarkExpressionLiteral();
    TExpTokenPtr tree = parser.ParseExpression1(modifiers);
    (void)parser.ExpressionAsString();
    Check(tree != nullptr);
    RoundTrip(tree.get());
  } catch (const EKORVELEngineError& e) {
    Check(e.ErrorCode == code);
  }
}

}  // namespace
}  // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  std::string text(reinterpret_cast<const char*>(data), size);
  ParseAndRoundTrip(text, pmAllowExtPredicates, KORVEL_INVALIDFILTER);
  ParseAndRoundTrip(text,
                    pmAllowAggregates | pmAllowAllFields | pmAllowExtPredicates | pmAllowParameters |
                        pmAllowSubSelects,
                    KORVEL_SQLPARSE);
  return 0;
}
