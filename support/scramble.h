#pragma once
// Scrambling of table data. Byte k of a buffer is XORed with ((A + k) mod 256) XOR
// ((B - k) mod 256): A counts up and B counts down by one per byte, both wrapping at 8 bits.
// The operation is its own inverse; the pattern repeats every 256 bytes.
//
// Table data pair (A 0x5B, B 0xC4): records of encrypted tables, index pages (4096 bytes), BLOB
// block headers (18 bytes) and data areas as two buffers, the index and BLOB file headers and
// the array of field definitions. Never the 127-byte data file header.
// Text pair (A 0x27, B 0x8E): the characters (not the length byte) of the short strings of a
// table header, the table password and the table description.

#include <cstddef>
#include <cstdint>

namespace korvel {

inline constexpr std::uint8_t kTableDataSeedA = 0x5B;
inline constexpr std::uint8_t kTableDataSeedB = 0xC4;
inline constexpr std::uint8_t kTextSeedA = 0x27;
inline constexpr std::uint8_t kTextSeedB = 0x8E;

void EncryptBuffer(void* buffer, std::size_t length, std::uint8_t seedA, std::uint8_t seedB);
void DecryptBuffer(void* buffer, std::size_t length, std::uint8_t seedA, std::uint8_t seedB);

}  // namespace korvel
