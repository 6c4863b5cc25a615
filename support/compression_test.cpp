#include "support/compression.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "support/errors.h"
#include "support/scramble.h"

namespace korvel {
namespace {

std::uint32_t Adler32(const std::vector<unsigned char>& data) {
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

TEST(Compression, RoundTripsAndIsAZlibStream) {
  std::mt19937 rng(3);
  for (std::size_t size : {0u, 1u, 255u, 256u, 4096u, 100000u}) {
    std::vector<unsigned char> in(size);
    for (std::size_t i = 0; i < size; ++i)
      in[i] = static_cast<unsigned char>(i % 7 == 0 ? rng() : i / 13);
    std::vector<unsigned char> packed = CompressBuffer(in.data(), in.size());
    ASSERT_GE(packed.size(), 6u);
    EXPECT_EQ(packed[0], 0x78);
    EXPECT_EQ(packed[1], 0xDA);  // level 9
    // The stream ends with the big-endian Adler-32 of the input.
    std::size_t e = packed.size();
    std::uint32_t trailer = (std::uint32_t{packed[e - 4]} << 24) | (std::uint32_t{packed[e - 3]} << 16) |
                            (std::uint32_t{packed[e - 2]} << 8) | packed[e - 1];
    EXPECT_EQ(trailer, Adler32(in));
    EXPECT_EQ(DecompressBuffer(packed.data(), packed.size()), in);
  }
}

TEST(Compression, IncompressibleInputGrowsTheBuffer) {
  std::mt19937 rng(9);
  std::vector<unsigned char> in(3000);
  for (auto& b : in) b = static_cast<unsigned char>(rng());
  auto packed = CompressBuffer(in.data(), in.size());
  EXPECT_GT(packed.size(), in.size());
  EXPECT_EQ(DecompressBuffer(packed.data(), packed.size()), in);
}

TEST(Compression, HighRatioInflatesQuickly) {
  std::vector<unsigned char> in(20 * 1024 * 1024, 'x');
  auto packed = CompressBuffer(in.data(), in.size());
  EXPECT_LT(packed.size(), 30000u);
  EXPECT_EQ(DecompressBuffer(packed.data(), packed.size()).size(), in.size());
}

TEST(Compression, DamagedStreamsRaise15002) {
  std::string text(1000, 'k');
  auto packed = CompressBuffer(text.data(), text.size());
  auto code = [](const std::vector<unsigned char>& v) {
    try {
      DecompressBuffer(v.data(), v.size());
    } catch (const EKORVELEngineError& e) {
      return static_cast<int>(e.ErrorCode);
    }
    return 0;
  };
  std::vector<unsigned char> truncated(packed.begin(), packed.end() - 5);
  EXPECT_EQ(code(truncated), KORVEL_UNCOMPRESS);
  std::vector<unsigned char> garbage{1, 2, 3, 4, 5};
  EXPECT_EQ(code(garbage), KORVEL_UNCOMPRESS);
  EXPECT_EQ(code({}), KORVEL_UNCOMPRESS);
  std::vector<unsigned char> flipped = packed;
  flipped[flipped.size() - 1] ^= 0xFF;  // Adler-32 mismatch
  EXPECT_EQ(code(flipped), KORVEL_UNCOMPRESS);
}

TEST(Scrambling, KnownBytesSelfInverseAndPeriod) {
  std::vector<unsigned char> zeros(600, 0);
  EncryptBuffer(zeros.data(), zeros.size(), kTableDataSeedA, kTableDataSeedB);
  EXPECT_EQ(zeros[0], 0x5B ^ 0xC4);
  EXPECT_EQ(zeros[1], 0x5C ^ 0xC3);
  EXPECT_EQ(zeros[200], static_cast<unsigned char>((0x5B + 200) ^ (0xC4 - 200)));
  EXPECT_EQ(zeros[256], zeros[0]);  // the 257th byte uses the first byte's key
  EXPECT_EQ(zeros[511], zeros[255]);

  std::vector<unsigned char> data(777);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31);
  auto copy = data;
  EncryptBuffer(data.data(), data.size(), kTextSeedA, kTextSeedB);
  EXPECT_NE(data, copy);
  DecryptBuffer(data.data(), data.size(), kTextSeedA, kTextSeedB);
  EXPECT_EQ(data, copy);
  EncryptBuffer(data.data(), 0, kTextSeedA, kTextSeedB);
  EXPECT_EQ(data, copy);
}

}  // namespace
}  // namespace korvel
