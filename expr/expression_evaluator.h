#pragma once
// Evaluation of checked expression trees (expr/expression_checker.h), the conversions between
// value types, and the preparation of filter trees.
//
// A checked tree is evaluated once per record. The caller's fetcher copies a field's current
// value into the field token's ValueBuffer and sets IsNull; every other value lives in scratch
// tokens that a TExpressionEvaluator takes from the token pool once and reuses, record after
// record, so evaluation allocates nothing once the scratch tokens' buffers have grown to the
// sizes the data needs.
//
// Bad data raises nothing: NULL operands, division by zero and arithmetic overflow give NULL;
// overflow includes a float result that is not a finite number, a date or timestamp outside
// years 1 to 9999 and a time outside its day. A NaN compares equal to nothing and orders
// against nothing. A text that does not read as a conversion's target gives the target's zero
// value. The only error is a field reference evaluated without a fetcher (11949).
//
// Values are in their native forms (support/data_types.h). Strings and memos are
// zero-terminated; their DataSize is the checked size, grown when a value is longer. A NULL
// string reads as the empty text.

#include <cstdint>

#include "expr/exp_token.h"

namespace korvel {

// Copies the field's current value into field.ValueBuffer (through SetDataSize or
// ResizeValueBuffer when it needs more room; strings and memos zero-terminated) and sets
// field.IsNull.
using TExpFieldFetcher = void (*)(void* owner, const void* recordBuffer, TExpToken& field);

// What a few functions need beyond the record, given by the cursor or SQL statement that owns
// those features. A missing hook gives the function's value for "no table": false for
// TEXTSEARCH, 0 for TEXTOCCURS, LASTAUTOINC and IDENT_CURRENT, false for an IN sub-select.
struct TExpressionHooks {
  // TEXTSEARCH(words IN field): whether the record's field holds the words.
  bool (*TextSearch)(void* owner, const void* recordBuffer, const TExpToken& field,
                     const char* words) = nullptr;
  // TEXTOCCURS(words IN field): how often the words occur in the record's field.
  std::uint32_t (*TextOccurs)(void* owner, const void* recordBuffer, const TExpToken& field,
                              const char* words) = nullptr;
  // LASTAUTOINC(table) and IDENT_CURRENT(table): the last auto-increment value issued.
  std::int32_t (*LastAutoInc)(void* owner, const char* tableName) = nullptr;
  // value IN (SELECT ...): whether the sub-select yields a record equal to the value.
  bool (*SubSelectMatch)(void* owner, TExpToken& subSelect, const TExpToken& value) = nullptr;
};

struct TEvaluationContext {
  const void* RecordBuffer = nullptr;
  void* Owner = nullptr;
  std::uint16_t SortID = 0;
  std::uint16_t LanguageID = 0;  // of the table: decides every string comparison
  TExpFieldFetcher Fetcher = nullptr;
  const TExpressionHooks* Hooks = nullptr;
};

// Evaluates trees with reusable scratch tokens. One evaluator serves one thread; keep it for
// as long as records are evaluated (a filter, a statement) so that its tokens are reused.
class TExpressionEvaluator {
 public:
  TExpressionEvaluator() = default;
  TExpressionEvaluator(const TExpressionEvaluator&) = delete;
  TExpressionEvaluator& operator=(const TExpressionEvaluator&) = delete;
  ~TExpressionEvaluator();

  // The value of the tree for the context's record. The token is a constant of the root's
  // type, or the root itself when it is a constant or a field; it stays valid until the next
  // Evaluate on this evaluator (or until the tree changes).
  const TExpToken& Evaluate(TExpToken& root, const TEvaluationContext& context);
  // A boolean tree's truth for the record (NULL is false).
  bool EvaluateBoolean(TExpToken& root, const TEvaluationContext& context);

  std::size_t ScratchTokenCount() const { return scratch_.size(); }

 private:
  // Implementation details follow.
  TExpToken& Slot();
  const TExpToken& Eval(TExpToken& node);
  const TExpToken& Field(TExpToken& node);
  void Function(TExpToken& node, TExpToken& out);
  void Predicate(TExpToken& node, TExpToken& out);

  std::vector<TExpToken*> scratch_;  // pool tokens, owned; [0, top_) in use
  std::size_t top_ = 0;
  const TEvaluationContext* context_ = nullptr;
};

// The value of a checked tree as a new constant token from the pool (the caller returns it).
TExpToken* EvaluateExpressionToken(TExpToken* node, const void* recordBuffer, void* owner,
                                   std::uint16_t sortId, std::uint16_t languageId,
                                   TExpFieldFetcher fetcher,
                                   const TExpressionHooks* hooks = nullptr);

// One operator on evaluated operands, into result (a constant; for the arithmetic operators
// its DataType, SubType, DataSize and Decimals must already hold the result type, as
// UpdateBinaryToken gives it).
void EvaluateUnary(const TExpToken& node, const TExpToken& operand, TExpToken& result);
void EvaluateBinary(TExpOperator op, const TExpToken& left, const TExpToken& right,
                    TExpToken& result, std::uint16_t sortId, std::uint16_t languageId);
// enCOMPARE: string equality over node.PartialLength leading characters (0: all), without
// regard to case when node.CaseInsensitive.
void EvaluateCompare(const TExpToken& node, const TExpToken& left, const TExpToken& right,
                     TExpToken& result, std::uint16_t sortId, std::uint16_t languageId);
// The truth of a comparison (eoEQ ... eoLE) between two values under the NULL rules.
bool CompareTokens(TExpOperator op, const TExpToken& left, const TExpToken& right,
                   std::uint16_t sortId, std::uint16_t languageId);

// Converts value into target's type (DataType, SubType, DataSize, Decimals), as CAST, IF,
// IFNULL and COALESCE do: NULL stays NULL; BLOB sources and targets copy the bytes (cut to a
// string target's size and terminated); everything else goes through ConvertExpression, and a
// value that lies outside the target's range (or the calendar) becomes NULL.
void EvaluateExpression(TExpToken& target, const TExpToken& value);

// Converts the native value in a 251-byte buffer in place. Strings and bytes are cut to the
// target size; texts are read with the ANSI parsers and written in the ANSI forms (24-hour
// times); numbers convert among themselves, floats and BCD going to integers by
// truncation toward zero keeping the target width's low bits; BCD targets are rounded once to
// their decimals, halves away from zero. A text outside an integer target's range does not
// read. Returns false when the source could not be read, or lies outside the target's range,
// and the target's zero value was stored instead (0, false, midnight, or 30 December 1899 for
// a date or timestamp).
bool ConvertExpression(std::uint8_t sourceType, std::int32_t sourceSize,
                       std::uint8_t sourceDecimals, std::uint8_t* buffer,
                       std::uint8_t targetDecimals, std::int32_t targetSize,
                       std::uint8_t targetType);

// Converts a constant in place to the type of typedSide, when that loses nothing (1 next to a
// float stays 1; 2.5 next to an integer stays 2.5, since 2 would change the comparison).
// NULL constants, strings and BLOBs are left alone. Returns whether it converted.
bool ConvertConstant(const TExpToken& typedSide, TExpToken& constant);
// Evaluates a subtree that holds no field once and returns it as a new constant token from the
// pool, converted to typedSide's type by ConvertConstant unless it is NULL or a string.
TExpToken* EvaluateConstant(const TExpToken& typedSide, TExpToken& constantSide,
                            const TEvaluationContext& context);

// Whether the value of a subtree can change from record to record or with the state of a
// table: fields, sub-selects, parameters, full-text and auto-increment functions, aggregates.
bool DependsOnRecord(const TExpToken* node);

// Prepares a checked filter tree, returning a new tree (the caller owns both):
// subtrees that depend on no record are evaluated once into constants (the right side of a
// comparison converted to the left side's type when nothing is lost); an "=" or "<>" against a
// string constant becomes an enCOMPARE when the filter is case-insensitive or the constant
// ends in "*" (a prefix match over the characters before it, unless noPartialCompare); and
// LIKE 'abc%' becomes a prefix enCOMPARE, so that filters can answer both from an index.
TExpToken* BuildNextFilterExpression(TExpToken* node, void* owner, TExpFieldFetcher fetcher,
                                     bool noPartialCompare, bool caseInsensitive,
                                     std::uint16_t sortId, std::uint16_t languageId,
                                     const TExpressionHooks* hooks = nullptr);

}  // namespace korvel
