#include "support/buffer.h"

#include <cstring>

namespace korvel {

void ResizeBuffer(long long newSize, std::size_t granularity,
                  std::unique_ptr<unsigned char[]>& buffer, std::size_t& currentSize) {
  if (newSize < 1) {
    buffer.reset();
    currentSize = 0;
    return;
  }
  if (granularity < 1) granularity = 1;
  std::size_t wanted = (static_cast<std::size_t>(newSize) + granularity - 1) / granularity * granularity;
  if (buffer && wanted <= currentSize) return;
  auto grown = std::make_unique<unsigned char[]>(wanted);  // value-initialised: zeros
  if (buffer && currentSize > 0) std::memcpy(grown.get(), buffer.get(), currentSize);
  buffer = std::move(grown);
  currentSize = wanted;
}

}  // namespace korvel
