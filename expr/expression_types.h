#pragma once
// The type rules of expressions: which operand types each operator accepts, which CAST
// conversions exist, and the type, subtype and size of every operator's result.
//
// Type 0 is an untyped NULL constant; it is accepted as the right operand of every binary
// operator. "Numeric" is small integer, integer, float, BCD, word and large integer. A memo (a
// BLOB of subtype 22) behaves like a string everywhere; other BLOBs accept only a NULL constant.

#include <cstdint>

#include "expr/exp_token.h"

namespace korvel {

inline bool IsMemoType(std::uint8_t type, std::uint8_t subType) { return type == 3 && subType == 22; }
// string or memo
inline bool IsStringType(std::uint8_t type, std::uint8_t subType) {
  return type == 1 || IsMemoType(type, subType);
}
// 5, 6, 7, 8, 12, 18
inline bool IsNumericType(std::uint8_t t) {
  return t == 5 || t == 6 || t == 7 || t == 8 || t == 12 || t == 18;
}
// 5, 6, 12, 18
inline bool IsIntegerType(std::uint8_t t) { return t == 5 || t == 6 || t == 12 || t == 18; }
// 2, 10, 11
inline bool IsDateTimeType(std::uint8_t t) { return t == 2 || t == 10 || t == 11; }

// Whether a unary operator accepts an operand of the type.
bool CheckUnaryTypes(TExpOperator op, std::uint8_t type);
// Whether a binary operator accepts the two operand types.
bool CheckBinaryTypes(TExpOperator op, std::uint8_t leftType, std::uint8_t leftSubType,
                      std::uint8_t rightType, std::uint8_t rightSubType);
// Whether CAST converts a value of the source type into the target type.
bool CheckCastTypes(std::uint8_t targetType, std::uint8_t sourceType);

// The one type that holds the values of two value types of one family without loss, for
// COALESCE, IFNULL and IF: numbers widen as arithmetic does (a float gives float, else BCD,
// else large integer, else integer; equal types stay), a date with a timestamp gives
// timestamp, a string with a memo gives memo. False when the two are no family ("="
// refuses them).
bool GetCommonValueType(std::uint8_t aType, std::uint8_t aSubType, std::uint8_t bType,
                        std::uint8_t bSubType, std::uint8_t& type, std::uint8_t& subType);

std::uint8_t GetUnaryResultDataType(TExpOperator op, std::uint8_t operandType);
std::uint8_t GetUnaryResultSubType(TExpOperator op, std::uint8_t operandSubType);
std::uint8_t GetBinaryResultDataType(TExpOperator op, std::uint8_t leftType,
                                     std::uint8_t leftSubType, std::uint8_t rightType,
                                     std::uint8_t rightSubType);
std::uint8_t GetBinaryResultSubType(TExpOperator op, std::uint8_t leftType,
                                    std::uint8_t leftSubType, std::uint8_t rightType,
                                    std::uint8_t rightSubType);
// The native size of a fixed-size type (date 4, float 8, BCD 34, ...); 0 for strings, bytes,
// variable bytes and untyped values, whose size is the value's own.
std::int32_t FixedTypeSize(std::uint8_t type);

// Sets a checked binary node's DataType, SubType, DataSize and Decimals from its operands.
void UpdateBinaryToken(TExpToken& node);

}  // namespace korvel
