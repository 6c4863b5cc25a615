#pragma once
// Little-endian field access at a byte offset of a buffer. Every on-disk and on-wire layout is
// read and written through these, field by field, never by copying a C++ struct; the value is
// assembled byte by byte, so neither the host's byte order nor the buffer's alignment matters.
//
//   GetU8  GetU16  GetU32  GetU64     unsigned 8/16/32/64-bit
//   GetI8  GetI16  GetI32  GetI64     signed (two's complement)
//   GetF64                            IEEE double (its 8 bytes little-endian)
//   Put... the same names with Put, (buffer, offset, value)

#include <bit>
#include <cstddef>
#include <cstdint>

namespace korvel {

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
inline std::int8_t GetI8(const void* buffer, std::size_t offset) {
  return static_cast<std::int8_t>(GetU8(buffer, offset));
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
  return std::bit_cast<double>(GetU64(buffer, offset));
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
inline void PutI8(void* buffer, std::size_t offset, std::int8_t value) {
  PutU8(buffer, offset, static_cast<std::uint8_t>(value));
}
inline void PutI16(void* buffer, std::size_t offset, std::int16_t value) {
  PutU16(buffer, offset, static_cast<std::uint16_t>(value));
}
inline void PutI32(void* buffer, std::size_t offset, std::int32_t value) {
  PutU32(buffer, offset, static_cast<std::uint32_t>(value));
}
inline void PutI64(void* buffer, std::size_t offset, std::int64_t value) {
  PutU64(buffer, offset, static_cast<std::uint64_t>(value));
}
inline void PutF64(void* buffer, std::size_t offset, double value) {
  PutU64(buffer, offset, std::bit_cast<std::uint64_t>(value));
}

}  // namespace korvel
