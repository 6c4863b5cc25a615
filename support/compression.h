#pragma once
// Buffer compression in the zlib stream format (two-byte header, deflate data at level 9,
// Adler-32 trailer). No length prefix is added: framing is the caller's.

#include <cstddef>
#include <vector>

namespace korvel {

// Compresses input[0 .. inputLength) and returns exactly the compressed bytes. The work buffer
// starts at (n + n / 10 + 267) rounded down to a multiple of 256 and grows by 256 bytes when
// deflate runs out of room. A zlib failure raises KORVEL_COMPRESS (15001).
std::vector<unsigned char> CompressBuffer(const void* input, std::size_t inputLength);

// Inflates one zlib stream and returns exactly the decompressed bytes. A damaged, truncated or
// otherwise unreadable stream raises KORVEL_UNCOMPRESS (15002).
std::vector<unsigned char> DecompressBuffer(const void* input, std::size_t inputLength);

}  // namespace korvel
