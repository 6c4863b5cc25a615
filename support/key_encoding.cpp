#include "support/key_encoding.h"

#include <bit>
#include <cstring>

#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/language.h"

namespace korvel {

namespace {

void PutBigEndian(std::uint64_t value, unsigned char* out, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = static_cast<unsigned char>(value);
    value >>= 8;
  }
}

std::uint64_t GetBigEndian(const unsigned char* in, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | in[i];
  return v;
}

}  // namespace

void FlipIntegerBits(std::int32_t value, unsigned char* out) {
  PutBigEndian(static_cast<std::uint32_t>(value), out, 4);
  out[0] ^= 0x80;
}

void FlipSmallIntBits(std::int16_t value, unsigned char* out) {
  PutBigEndian(static_cast<std::uint16_t>(value), out, 2);
  out[0] ^= 0x80;
}

void FlipLargeIntBits(std::int64_t value, unsigned char* out) {
  PutBigEndian(static_cast<std::uint64_t>(value), out, 8);
  out[0] ^= 0x80;
}

void FlipCurrencyBits(Currency value, unsigned char* out) { FlipLargeIntBits(value.Raw, out); }

void FlipWordBits(std::uint16_t value, unsigned char* out) { PutBigEndian(value, out, 2); }

void FlipFloatBits(double value, unsigned char* out) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  if (value >= 0.0) {
    PutBigEndian(bits, out, 8);
    out[0] |= 0x80;  // for -0.0 the sign bit is already set: it encodes as +0.0 does
  } else {
    PutBigEndian(~bits, out, 8);
  }
}

void FlipBuffer(unsigned char* buffer, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) buffer[i] = static_cast<unsigned char>(255 - buffer[i]);
}

std::int32_t FlipIntegerSign(std::int32_t value) {
  return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(value));
}

Currency FlipCurrencySign(Currency value) {
  return Currency::FromRaw(static_cast<std::int64_t>(0ull - static_cast<std::uint64_t>(value.Raw)));
}

std::int32_t UnflipIntegerBits(const unsigned char* in) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(GetBigEndian(in, 4)) ^ 0x80000000u);
}

std::int64_t UnflipLargeIntBits(const unsigned char* in) {
  return static_cast<std::int64_t>(GetBigEndian(in, 8) ^ 0x8000000000000000ull);
}

double UnflipFloatBits(const unsigned char* in) {
  std::uint64_t v = GetBigEndian(in, 8);
  if (v & 0x8000000000000000ull) return std::bit_cast<double>(v & 0x7FFFFFFFFFFFFFFFull);
  return std::bit_cast<double>(~v);
}

std::size_t IndexedSize(std::uint8_t dataType, std::size_t fieldSize) {
  return dataType == dtBCD ? 8 : fieldSize;
}

void PrepareDataForIndex(std::uint8_t dataType, std::size_t fieldSize, const void* value,
                         unsigned char* segment, bool caseInsensitive, bool descending,
                         std::uint16_t languageId, std::uint16_t /*sortId: case mapping is per language*/) {
  unsigned char* out = segment + 1;
  const std::size_t size = IndexedSize(dataType, fieldSize);
  switch (dataType) {
    case dtString: {
      if (fieldSize == 0) break;
      const char* text = static_cast<const char*>(value);
      const std::size_t n = strnlen(text, fieldSize - 1);
      if (caseInsensitive) {
        const unsigned char* upper = UpperCaseTable(languageId);
        const auto* in = reinterpret_cast<const unsigned char*>(text);
        for (std::size_t i = 0; i < n; ++i) out[i] = upper[in[i]];
      } else {
        std::memcpy(out, text, n);
      }
      // Zero-filled to the field size: equal texts give equal segments whatever follows the
      // terminator in the record, and short texts sort before longer ones when inverted.
      std::memset(out + n, 0, fieldSize - n);
      break;
    }
    case dtDate:
    case dtInteger:
    case dtTime:
      FlipIntegerBits(GetI32(value, 0), out);
      break;
    case dtBoolean:
    case dtWord:
      FlipWordBits(GetU16(value, 0), out);
      break;
    case dtSmallInt:
      FlipSmallIntBits(GetI16(value, 0), out);
      break;
    case dtFloat:
    case dtTimeStamp:
      FlipFloatBits(GetF64(value, 0), out);
      break;
    case dtBCD: {
      TBcd bcd = TBcd::FromBytes(value);
      Currency c;
      if (!BCDToCurr(bcd, c)) c = bcd.Negative() ? kMinCurrency : kMaxCurrency;
      FlipCurrencyBits(c, out);
      break;
    }
    case dtLargeInt:
      FlipLargeIntBits(GetI64(value, 0), out);
      break;
    default:
      std::memcpy(out, value, fieldSize);
      break;
  }
  if (descending && languageId == 0) {
    if (dataType == dtString)
      FlipBuffer(segment, size);  // the null flag and every text byte but the last
    else
      FlipBuffer(segment, size + 1);
  }
}

bool KeyOrderIsValueOrder(std::uint8_t dataType) {
  return dataType != dtUnsignedInt && dataType != dtExtended;
}

bool AlternateEqualValue(std::uint8_t dataType, std::size_t fieldSize, const void* value, void* alternate) {
  // An x87 extended value: 8 bytes of mantissa, then 15 bits of exponent and the sign bit
  // (bit 7 of byte 9). Zero is a zero mantissa and exponent, with either sign.
  constexpr std::size_t kExtendedSize = 10;
  if (dataType != dtExtended || fieldSize != kExtendedSize) return false;
  const auto* in = static_cast<const unsigned char*>(value);
  for (std::size_t i = 0; i < 9; ++i)
    if (in[i] != 0) return false;
  if ((in[9] & 0x7F) != 0) return false;
  auto* out = static_cast<unsigned char*>(alternate);
  std::memset(out, 0, kExtendedSize);
  out[9] = static_cast<unsigned char>(in[9] ^ 0x80);
  return true;
}

int GetDuplicateCount(const unsigned char* previous, const unsigned char* current, int length) {
  int limit = length < 254 ? length : 254;
  int n = 0;
  while (n < limit && previous[n] == current[n]) ++n;
  return n;
}

int GetTrailingCount(const unsigned char* lastByte, int length) {
  int limit = length < 254 ? length : 254;
  int n = 0;
  while (n < limit && *(lastByte - n) == 0) ++n;
  return n;
}

void FillTrail(unsigned char* buffer, int count) {
  if (count > 0) std::memset(buffer, 0, static_cast<std::size_t>(count));
}

}  // namespace korvel
