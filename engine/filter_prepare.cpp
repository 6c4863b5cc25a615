// Turning a filter text into the prepared tree a filter keeps: parse, check, normalise and
// prepare. Kept apart from the cursor's headers, which declare their own field limits.

#include <utility>

#include "engine/data_filter.h"
#include "expr/expression_checker.h"
#include "expr/expression_parser.h"
#include "support/data_types.h"

namespace korvel {

namespace {

bool IsComparison(const TExpToken* node) {
  return node != nullptr && node->NodeClass == enBINARY && node->Operator >= eoEQ && node->Operator <= eoLE;
}

TExpOperator MirroredOperator(TExpOperator op) {
  switch (op) {
    case eoGT: return eoLT;
    case eoLT: return eoGT;
    case eoGE: return eoLE;
    case eoLE: return eoGE;
    default: return op;
  }
}

}  // namespace

void NormalizeFilter(TExpToken* root) {
  TExpToken* node = root;
  while (node != nullptr && node->NodeClass == enUNARY && node->Operator == eoNOT) node = node->Left;
  if (!IsComparison(node)) return;
  if (ContainsFields(node->Left) || !ContainsFields(node->Right)) return;
  std::swap(node->Left, node->Right);
  node->Operator = MirroredOperator(node->Operator);
}

TExpToken* PrepareFilterExpression(const std::string& text, const std::string& tableName,
                                   const std::string& databaseName, bool (*resolver)(void*, TExpToken&),
                                   void* owner, const TFilterOptions& options, std::uint16_t sortId,
                                   std::uint16_t languageId) {
  TExpTokenPtr parsed = ParseFilterExpression(text, tableName, databaseName);
  TExpressionCheckContext context;
  context.ErrorCode = KORVEL_INVALIDFILTER;
  context.DatabaseName = databaseName;
  context.TableName = tableName;
  context.StringConstantsAsFields = true;
  context.Resolver = resolver;
  context.Owner = owner;
  VerifyExpression(context, parsed.get());
  if (parsed->DataType != dtBoolean)
    RaiseError(KORVEL_INVALIDFILTER, "", "", databaseName, tableName, "", "",
               "filter expression must be a boolean expression");
  NormalizeFilter(parsed.get());
  return BuildNextFilterExpression(parsed.get(), nullptr, nullptr, options.NoPartialCompare,
                                   options.CaseInsensitive, sortId, languageId);
}

}  // namespace korvel
