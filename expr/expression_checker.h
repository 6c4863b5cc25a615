#pragma once
// Checking of parsed expression trees: names are resolved to fields through the caller's
// resolver, string constants next to dates and times become dates and times, every operator's
// operand types are checked against the tables of expr/expression_types.h and every node gets
// its result type, subtype, size and decimals. A checked tree is what the evaluator
// (expr/expression_evaluator.h) runs, once per record.
//
// A failed check raises the caller's error code (10051 for filters, 11949 for SQL) with the
// table and database names as contexts and a message that ends with the context description.
// The tree is then left as it is for the caller to free.

#include <cstdint>
#include <string>
#include <vector>

#include "expr/exp_token.h"
#include "expr/expression_parser.h"
#include "support/errors.h"

namespace korvel {

// Resolves a field reference: true when a field of the token's Name (and TableName, when
// qualified) exists; it then fills FieldNumber, TableName, DataType, SubType, DataSize (through
// SetDataSize) and Decimals from the field's definition.
using TExpFieldResolver = bool (*)(void* owner, TExpToken& field);

// Describes the single column an IN sub-select yields: its number of columns, and the first
// column's DataType, SubType, DataSize and Decimals written into column. Given by the SQL
// engine, which owns sub-selects.
using TExpSubSelectColumns = int (*)(void* owner, TExpToken& subSelect, TExpToken& column);

struct TExpressionCheckContext {
  TErrorCode ErrorCode = KORVEL_INVALIDFILTER;
  std::string DatabaseName;
  std::string TableName;
  std::string ContextDescription = kFilterContextDescription;  // ends every message
  bool StringConstantsAsFields = false;  // a string constant may name a field
  bool AllowAggregates = false;
  TExpFieldResolver Resolver = nullptr;
  TExpSubSelectColumns SubSelectColumns = nullptr;
  void* Owner = nullptr;  // passed to the callbacks
};

// The largest declared length of a string or bytes field, and so of CAST(... AS CHAR(n)).
inline constexpr int kMaxFieldLength = 250;

// Checks the subtree at node in place, depth first (parent is the node above, or null).
void VerifyExpressionToken(const TExpressionCheckContext& context, TExpToken* parent,
                           TExpToken* node);
// One whole expression (a field's default, limit or computed value, a filter).
void VerifyExpression(const TExpressionCheckContext& context, TExpToken* root);
void VerifyMultipleExpressions(const TExpressionCheckContext& context,
                               const std::vector<TExpToken*>& roots);

// Rewrites node X in place into X = True, so that a bare boolean field or expression can be
// treated like any comparison: an enBINARY eoEQ of type boolean whose left is X (moved into a
// new token) and whose right is the boolean constant "True".
void TransformBooleanExpression(TExpToken* node);

// A field reference in the node or anywhere below it.
bool ContainsFields(const TExpToken* node);
// The node is an OR, or a NOT over one.
bool ContainsOrs(const TExpToken* node);
// A NOT (eoNOT, NOT LIKE, NOT IN, NOT BETWEEN) in the node or anywhere below it.
bool ContainsNots(const TExpToken* node);
// An aggregate function in the node or anywhere below it.
bool ContainsAggregates(const TExpToken* node);

bool IsAggregateOperator(TExpOperator op);

}  // namespace korvel
