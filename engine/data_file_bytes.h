#pragma once
// Little-endian field access and short strings for the data file's layouts.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#if __has_include("support/byte_order.h")
#include "support/byte_order.h"
#else
namespace korvel {
namespace {

inline std::uint8_t GetU8(const void* buffer, std::size_t offset) {
  return static_cast<const std::uint8_t*>(buffer)[offset];
}
inline std::uint16_t GetU16(const void* buffer, std::size_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(buffer) + offset;
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const void* buffer, std::size_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(buffer) + offset;
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t GetU64(const void* buffer, std::size_t offset) {
  return static_cast<std::uint64_t>(GetU32(buffer, offset)) |
         (static_cast<std::uint64_t>(GetU32(buffer, offset + 4)) << 32);
}
inline std::int16_t GetI16(const void* buffer, std::size_t offset) {
  return static_cast<std::int16_t>(GetU16(buffer, offset));
}
inline std::int32_t GetI32(const void* buffer, std::size_t offset) {
  return static_cast<std::int32_t>(GetU32(buffer, offset));
}
inline std::int64_t GetI64(const void* buffer, std::size_t offset) {
  return static_cast<std::int64_t>(GetU64(buffer, offset));
}
inline double GetF64(const void* buffer, std::size_t offset) {
  std::uint64_t bits = GetU64(buffer, offset);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
inline void PutU8(void* buffer, std::size_t offset, std::uint8_t value) {
  static_cast<std::uint8_t*>(buffer)[offset] = value;
}
inline void PutU16(void* buffer, std::size_t offset, std::uint16_t value) {
  auto* p = static_cast<std::uint8_t*>(buffer) + offset;
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void PutU32(void* buffer, std::size_t offset, std::uint32_t value) {
  auto* p = static_cast<std::uint8_t*>(buffer) + offset;
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}
inline void PutU64(void* buffer, std::size_t offset, std::uint64_t value) {
  PutU32(buffer, offset, static_cast<std::uint32_t>(value));
  PutU32(buffer, offset + 4, static_cast<std::uint32_t>(value >> 32));
}
inline void PutI32(void* buffer, std::size_t offset, std::int32_t value) {
  PutU32(buffer, offset, static_cast<std::uint32_t>(value));
}
inline void PutF64(void* buffer, std::size_t offset, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutU64(buffer, offset, bits);
}

}  // namespace
}  // namespace korvel
#endif

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
