// Checking a calculated field's expression. Kept apart from the cursor's headers, which declare
// their own field limits.

#include <string>

#include "expr/expression_checker.h"

namespace korvel {

void CheckCalculatedExpression(TExpToken* tree, const std::string& fieldName, const std::string& tableName,
                               const std::string& databaseName, bool (*resolver)(void*, TExpToken&), void* owner) {
  TExpressionCheckContext context;
  context.ErrorCode = KORVEL_SQLPARSE;
  context.DatabaseName = databaseName;
  context.TableName = tableName;
  context.ContextDescription = "calculated field " + fieldName;
  context.Resolver = resolver;
  context.Owner = owner;
  VerifyExpression(context, tree);
}

}  // namespace korvel
