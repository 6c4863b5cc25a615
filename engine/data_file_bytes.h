#pragma once
// Short strings of the data file's layouts: a length byte and a fixed width.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/byte_order.h"

namespace korvel {

// A short string of `width`: a length byte and `width` bytes, unused bytes zero. Longer text is
// cut at the width.
inline void PutShortString(std::uint8_t* buffer, std::size_t offset, std::size_t width, const std::string& text) {
  std::size_t n = text.size() < width ? text.size() : width;
  buffer[offset] = static_cast<std::uint8_t>(n);
  std::memcpy(buffer + offset + 1, text.data(), n);
  std::memset(buffer + offset + 1 + n, 0, width - n);
}

// False when the length byte exceeds the width (a damaged layout).
inline bool GetShortString(const std::uint8_t* buffer, std::size_t offset, std::size_t width, std::string& text) {
  std::size_t n = buffer[offset];
  if (n > width) return false;
  text.assign(reinterpret_cast<const char*>(buffer + offset + 1), n);
  return true;
}

}  // namespace korvel
