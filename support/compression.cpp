#include "support/compression.h"

#include <algorithm>
#include <climits>

#include <zlib.h>

#include "support/errors.h"

namespace korvel {

namespace {

// zlib counts in 32-bit units; hand it at most this much at a time.
constexpr std::size_t kMaxChunk = UINT_MAX;

}  // namespace

std::vector<unsigned char> CompressBuffer(const void* input, std::size_t inputLength) {
  std::size_t size = (inputLength + inputLength / 10 + 267) / 256 * 256;
  std::vector<unsigned char> out;
  z_stream z{};
  if (deflateInit(&z, 9) != Z_OK) RaiseError(KORVEL_COMPRESS);
  z.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(input));
  std::size_t inLeft = inputLength;
  std::size_t produced = 0;
  try {
    out.resize(size);
    for (;;) {
      if (z.avail_in == 0 && inLeft > 0) {
        std::size_t chunk = std::min(inLeft, kMaxChunk);
        z.avail_in = static_cast<uInt>(chunk);
        inLeft -= chunk;
      }
      if (produced == out.size()) out.resize(out.size() + 256);
      z.next_out = out.data() + produced;
      z.avail_out = static_cast<uInt>(std::min(out.size() - produced, kMaxChunk));
      std::size_t before = z.avail_out;
      int rc = deflate(&z, inLeft == 0 ? Z_FINISH : Z_NO_FLUSH);
      produced += before - z.avail_out;
      if (rc == Z_STREAM_END) break;
      if (rc != Z_OK && rc != Z_BUF_ERROR) RaiseError(KORVEL_COMPRESS);
    }
  } catch (...) {
    deflateEnd(&z);
    throw;
  }
  deflateEnd(&z);
  out.resize(produced);
  out.shrink_to_fit();
  return out;
}

std::vector<unsigned char> DecompressBuffer(const void* input, std::size_t inputLength) {
  // The growth step is the starting size; at least 256 so that an empty input cannot stall,
  // and never less than half of what is held, so that highly compressed data does not turn
  // into a quadratic run of reallocations.
  const std::size_t step = std::max<std::size_t>((inputLength + 255) / 256 * 256, 256);
  std::vector<unsigned char> out;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) RaiseError(KORVEL_UNCOMPRESS);
  z.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(input));
  std::size_t inLeft = inputLength;
  std::size_t produced = 0;
  try {
    out.resize(step);
    for (;;) {
      if (z.avail_in == 0 && inLeft > 0) {
        std::size_t chunk = std::min(inLeft, kMaxChunk);
        z.avail_in = static_cast<uInt>(chunk);
        inLeft -= chunk;
      }
      if (produced == out.size()) out.resize(out.size() + std::max(step, out.size() / 2));
      z.next_out = out.data() + produced;
      z.avail_out = static_cast<uInt>(std::min(out.size() - produced, kMaxChunk));
      std::size_t before = z.avail_out;
      std::size_t inBefore = z.avail_in + inLeft;
      int rc = inflate(&z, Z_NO_FLUSH);
      produced += before - z.avail_out;
      if (rc == Z_STREAM_END) break;
      bool progress = before != z.avail_out || inBefore != z.avail_in + inLeft;
      // Out of input before the end of the stream, or a damaged stream.
      if ((rc != Z_OK && rc != Z_BUF_ERROR) || !progress) RaiseError(KORVEL_UNCOMPRESS);
    }
  } catch (...) {
    inflateEnd(&z);
    throw;
  }
  inflateEnd(&z);
  out.resize(produced);
  out.shrink_to_fit();
  return out;
}

}  // namespace korvel
