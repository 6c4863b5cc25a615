#pragma once
// Sortable key bytes. Each encoding writes big-endian bytes (byte 0 most significant) such that
// an unsigned bytewise comparison of two encodings gives the order of the values:
//
//   FlipIntegerBits    int32     4 bytes  big-endian, bit 7 of byte 0 inverted
//   FlipSmallIntBits   int16     2 bytes  the same
//   FlipLargeIntBits   int64     8 bytes  the same
//   FlipCurrencyBits   currency  8 bytes  FlipLargeIntBits of the 1/10,000 count
//   FlipWordBits       uint16    2 bytes  big-endian, nothing inverted
//   FlipFloatBits      double    8 bytes  value >= 0.0: big-endian with bit 7 of byte 0 set;
//                                         otherwise (negative or NaN) every byte inverted.
//                                         -0.0 compares equal to 0.0 and encodes as 80 00 .. 00.
//
// A key segment of one field is 1 + indexed size bytes: the null flag (written by the caller)
// and the encoded value. Index keys are the segments of the index's fields, one after another.

#include <cstddef>
#include <cstdint>

#include "framework/currency_bcd.h"

namespace korvel {

void FlipIntegerBits(std::int32_t value, unsigned char* out);
void FlipSmallIntBits(std::int16_t value, unsigned char* out);
void FlipLargeIntBits(std::int64_t value, unsigned char* out);
void FlipCurrencyBits(Currency value, unsigned char* out);
void FlipWordBits(std::uint16_t value, unsigned char* out);
void FlipFloatBits(double value, unsigned char* out);
// Every byte b of the first count bytes becomes 255 - b.
void FlipBuffer(unsigned char* buffer, std::size_t count);
// Arithmetic negation (the most negative value stays itself).
std::int32_t FlipIntegerSign(std::int32_t value);
Currency FlipCurrencySign(Currency value);

// The decodings, for tools and tests that read keys back.
std::int32_t UnflipIntegerBits(const unsigned char* in);
std::int64_t UnflipLargeIntBits(const unsigned char* in);
double UnflipFloatBits(const unsigned char* in);

// Bytes of a field's value in its key segment: 8 for BCD, the field size for every other type.
std::size_t IndexedSize(std::uint8_t dataType, std::size_t fieldSize);

// Builds the value part of a key segment: segment[1 .. IndexedSize] from the native value of a
// field of the given type and size (segment[0], the null flag, is the caller's; it must be
// written before the call when descending, since it is inverted with the value).
//   string                 the text up to its terminator, cut to fieldSize - 1 characters,
//                          zero-filled to fieldSize; upper-cased first when caseInsensitive
//   date, integer, time    FlipIntegerBits       boolean, word   FlipWordBits
//   small integer          FlipSmallIntBits      float, timestamp FlipFloatBits
//   BCD                    as currency, FlipCurrencyBits (values beyond the currency range
//                          are clamped to its ends, so order is kept)
//   large integer          FlipLargeIntBits      anything else    the fieldSize bytes as they are
// Descending with language 0: the segment is inverted, the null flag included; for a string
// all but its last byte (so a full-length text keeps its terminator). With another language
// nothing is inverted: the key comparison reverses descending segments.
// Allocates nothing.
void PrepareDataForIndex(std::uint8_t dataType, std::size_t fieldSize, const void* value,
                         unsigned char* segment, bool caseInsensitive, bool descending,
                         std::uint16_t languageId, std::uint16_t sortId);

// Whether the key bytes of a field of this type order as its values do. Unsigned integers
// (type 13) and extended floats (type 14) are indexed as their raw little-endian bytes, which the
// file format fixes (other writers' files hold them): the key of 1 sorts after the key of 256,
// -1.0 after 1.0. An index on such a field may answer equality (see AlternateEqualValue), never
// a range or an order.
bool KeyOrderIsValueOrder(std::uint8_t dataType);

// The other native value whose key bytes differ from those of `value` although the values are
// equal, written to `alternate` (fieldSize bytes): the extended float zero of the other sign.
// False when every equal value has the same key bytes. An equality looked up in an index must
// also look up the alternate.
bool AlternateEqualValue(std::uint8_t dataType, std::size_t fieldSize, const void* value, void* alternate);

// Index-compression helpers.
// Leading bytes the two keys share, at most length and at most 254.
int GetDuplicateCount(const unsigned char* previous, const unsigned char* current, int length);
// Zero bytes at the end of a key, scanning back from its last byte, at most length and 254.
int GetTrailingCount(const unsigned char* lastByte, int length);
void FillTrail(unsigned char* buffer, int count);

}  // namespace korvel
