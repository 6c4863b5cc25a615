#pragma once
// Field data types and subtypes: one byte each, stored in table headers and sent to servers,
// so the codes never change.
//
//   code type              native value in a record buffer (little-endian)
//      1 string            zero-terminated 8-bit text; the field size counts the terminator
//      2 date              signed 32-bit day number, day 1 = 1 January of year 1
//      3 BLOB              reference into the BLOB file
//      4 boolean           16-bit word, 0 false, anything else true
//      5 small integer     signed 16-bit
//      6 integer           signed 32-bit
//      7 float             IEEE double
//      8 BCD               the 34-byte packed decimal record (framework/currency_bcd.h)
//      9 bytes             fixed-length raw bytes
//     10 time              signed 32-bit milliseconds since midnight
//     11 timestamp         double: day number x 86,400,000 + milliseconds of the day
//     12 word              unsigned 16-bit
//     13 unsigned integer  unsigned 32-bit
//     14 extended float    80-bit floating point (10 bytes)
//     15 variable bytes    raw bytes
//     18 large integer     signed 64-bit

#include <cstdint>

namespace korvel {

inline constexpr std::uint8_t dtString = 1;
inline constexpr std::uint8_t dtDate = 2;
inline constexpr std::uint8_t dtBlob = 3;
inline constexpr std::uint8_t dtBoolean = 4;
inline constexpr std::uint8_t dtSmallInt = 5;
inline constexpr std::uint8_t dtInteger = 6;
inline constexpr std::uint8_t dtFloat = 7;
inline constexpr std::uint8_t dtBCD = 8;
inline constexpr std::uint8_t dtBytes = 9;
inline constexpr std::uint8_t dtTime = 10;
inline constexpr std::uint8_t dtTimeStamp = 11;
inline constexpr std::uint8_t dtWord = 12;
inline constexpr std::uint8_t dtUnsignedInt = 13;
inline constexpr std::uint8_t dtExtended = 14;
inline constexpr std::uint8_t dtVarBytes = 15;
inline constexpr std::uint8_t dtLargeInt = 18;

inline constexpr std::uint8_t stNone = 0;
inline constexpr std::uint8_t stMoney = 21;    // with float
inline constexpr std::uint8_t stMemo = 22;     // with BLOB
inline constexpr std::uint8_t stBinary = 23;   // with BLOB
inline constexpr std::uint8_t stGraphic = 26;  // with BLOB
inline constexpr std::uint8_t stAutoInc = 29;  // with integer

}  // namespace korvel
