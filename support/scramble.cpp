#include "support/scramble.h"

namespace korvel {

void EncryptBuffer(void* buffer, std::size_t length, std::uint8_t seedA, std::uint8_t seedB) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  std::uint8_t a = seedA, b = seedB;
  for (std::size_t k = 0; k < length; ++k) {
    p[k] ^= static_cast<std::uint8_t>(a ^ b);
    ++a;
    --b;
  }
}

void DecryptBuffer(void* buffer, std::size_t length, std::uint8_t seedA, std::uint8_t seedB) {
  EncryptBuffer(buffer, length, seedA, seedB);
}

}  // namespace korvel
