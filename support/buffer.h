#pragma once
// Growable zero-filled buffers.

#include <cstddef>
#include <memory>

namespace korvel {

// newSize < 1 frees the buffer and sets the size to 0. Otherwise newSize is rounded up to a
// multiple of granularity (values below 1 count as 1) and the buffer is grown to it when it is
// smaller, keeping its contents and zero-filling the new tail; it is never shrunk.
void ResizeBuffer(long long newSize, std::size_t granularity,
                  std::unique_ptr<unsigned char[]>& buffer, std::size_t& currentSize);

}  // namespace korvel
