#include "support/records_bitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace korvel {
namespace {

TEST(RecordsBitmap, CountingIgnoresTheLastWordsSpareBits) {
  TRecordsBitmap b;
  b.SetNumOfBits(33);
  EXPECT_EQ(b.NumOfWords(), 2u);
  b.SetBits();  // also sets the 31 spare bits of the last word
  EXPECT_EQ(b.GetTotalBitsSet(), 33u);
  EXPECT_FALSE(b.IsBitSet(34));
  b.ClearBit(5);
  b.NotBits();
  EXPECT_EQ(b.GetTotalBitsSet(), 1u);
  EXPECT_TRUE(b.IsBitSet(5));
}

TEST(RecordsBitmap, GrowingKeepsOldBitsAndClearsNewOnes) {
  TRecordsBitmap b;
  b.SetNumOfBits(8192);
  EXPECT_EQ(b.AllocatedBytes(), 1024u);
  b.SetBits();
  b.SetNumOfBits(8193);
  EXPECT_EQ(b.AllocatedBytes(), 1280u);  // steps of 256 bytes
  EXPECT_EQ(b.GetTotalBitsSet(), 8192u);
  EXPECT_FALSE(b.IsBitSet(8193));
  // Shrinking and growing again inside one word must not resurrect old bits.
  b.SetNumOfBits(10);
  b.SetNumOfBits(40);
  EXPECT_EQ(b.GetTotalBitsSet(), 10u);
  EXPECT_EQ(b.AllocatedBytes(), 1280u);  // never shrinks
}

TEST(RecordsBitmap, WordOperationsAndAssign) {
  TRecordsBitmap a, b;
  a.SetNumOfBits(100);
  b.SetNumOfBits(40);
  for (std::uint32_t k = 1; k <= 100; k += 2) a.SetBit(k);
  for (std::uint32_t k = 1; k <= 40; k += 3) b.SetBit(k);
  TRecordsBitmap c;
  c.Assign(a);
  c.AndBits(b);  // words beyond b's are cleared
  for (std::uint32_t k = 1; k <= 100; ++k)
    EXPECT_EQ(c.IsBitSet(k), a.IsBitSet(k) && b.IsBitSet(k)) << k;
  c.Assign(a);
  c.OrBits(b);
  for (std::uint32_t k = 1; k <= 100; ++k) EXPECT_EQ(c.IsBitSet(k), a.IsBitSet(k) || b.IsBitSet(k)) << k;
  c.Assign(a);
  c.XorBits(b);
  for (std::uint32_t k = 1; k <= 100; ++k) EXPECT_EQ(c.IsBitSet(k), a.IsBitSet(k) != b.IsBitSet(k)) << k;
}

// Counting and stepping against a plain vector of bools, on bitmaps dense, sparse and full.
TEST(RecordsBitmap, SteppingAndCountingMatchAReference) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 60; ++round) {
    std::uint32_t n = 1 + rng() % 300;
    int density = round % 4;  // 0 empty-ish, 1 sparse, 2 half, 3 full runs
    TRecordsBitmap b;
    b.SetNumOfBits(n);
    std::vector<bool> ref(n + 1, false);
    for (std::uint32_t k = 1; k <= n; ++k) {
      bool set = density == 0 ? rng() % 50 == 0 : density == 1 ? rng() % 7 == 0 : density == 2 ? rng() % 2 == 0
                                                                                                : (k / 40) % 2 == 0;
      if (set) {
        b.SetBit(k);
        ref[k] = true;
      }
    }
    std::vector<std::uint32_t> setBits;
    for (std::uint32_t k = 1; k <= n; ++k)
      if (ref[k]) setBits.push_back(k);
    ASSERT_EQ(b.GetTotalBitsSet(), setBits.size());
    for (std::uint32_t k = 0; k <= n + 1; ++k) {
      std::uint32_t below = 0;
      for (std::uint32_t j = 1; j < k && j <= n; ++j) below += ref[j];
      ASSERT_EQ(b.GetPreviousTotalBitsSet(k), below) << n << " " << k;
    }
    for (std::uint32_t step : {1u, 2u, 33u, 70u}) {
      std::uint32_t position = 0, counter = 0;
      std::size_t index = step - 1;
      while (b.GetNextBitsSet(position, step, counter)) {
        ASSERT_LT(index, setBits.size());
        ASSERT_EQ(position, setBits[index]);
        index += step;
      }
      ASSERT_GE(index, setBits.size());
      ASSERT_EQ(counter, (index - (step - 1)));
      std::uint32_t back = n + 1;
      std::size_t fromEnd = step;
      std::uint32_t c2 = 0;
      while (b.GetPreviousBitsSet(back, step, c2)) {
        ASSERT_LE(fromEnd, setBits.size());
        ASSERT_EQ(back, setBits[setBits.size() - fromEnd]);
        fromEnd += step;
      }
      ASSERT_GT(fromEnd, setBits.size());
    }
  }
}

// Every operation, on pairs of bitmaps of different sizes around word and growth boundaries,
// against std::vector<bool>. The bitmaps' spare bits are filled on purpose (SetBits, NotBits):
// no operation may let them leak into the result.
TEST(RecordsBitmap, EveryOperationStopsAtEachBitmapsOwnSize) {
  std::mt19937 rng(2026);
  const std::uint32_t centres[] = {8, 32, 64, 8192};
  auto size = [&] {
    std::uint32_t c = centres[rng() % 4];
    std::int32_t n = static_cast<std::int32_t>(c) + static_cast<std::int32_t>(rng() % 7) - 3;
    return static_cast<std::uint32_t>(n < 1 ? 1 : n);
  };
  using TRef = std::vector<bool>;  // [k] for bit k, [0] unused
  auto fill = [&](TRecordsBitmap& b, TRef& ref, std::uint32_t n) {
    b.SetNumOfBits(n);
    ref.assign(n + 1, false);
    int mode = static_cast<int>(rng() % 3);
    if (mode == 0) {  // all ones, spare bits included, then holes
      b.SetBits();
      for (std::uint32_t k = 1; k <= n; ++k) ref[k] = true;
    } else if (mode == 1) {  // random, then inverted: spare bits become ones
      for (std::uint32_t k = 1; k <= n; ++k)
        if (rng() % 2) b.SetBit(k);
      b.NotBits();
      for (std::uint32_t k = 1; k <= n; ++k) ref[k] = b.IsBitSet(k);
      return;
    }
    for (std::uint32_t k = 1; k <= n; ++k) {
      if (rng() % 5 != 0) continue;
      if (ref[k]) b.ClearBit(k); else b.SetBit(k);
      ref[k] = !ref[k];
    }
  };
  auto same = [](const TRecordsBitmap& b, const TRef& ref) {
    std::uint32_t n = static_cast<std::uint32_t>(ref.size() - 1);
    if (b.NumOfBits() != n) return ::testing::AssertionFailure() << "size " << b.NumOfBits();
    std::uint32_t total = 0;
    for (std::uint32_t k = 1; k <= n; ++k) {
      if (b.IsBitSet(k) != ref[k]) return ::testing::AssertionFailure() << "bit " << k << " of " << n;
      total += ref[k];
    }
    if (b.GetTotalBitsSet() != total) return ::testing::AssertionFailure() << "total " << b.GetTotalBitsSet();
    if (b.GetPreviousTotalBitsSet(n + 1) != total) return ::testing::AssertionFailure() << "previous total";
    std::uint32_t position = 0, counter = 0;
    if (total > 0 && (!b.GetNextBitsSet(position, total, counter) || counter != total))
      return ::testing::AssertionFailure() << "stepping";
    return ::testing::AssertionSuccess();
  };
  for (int round = 0; round < 400; ++round) {
    TRecordsBitmap a, b;
    TRef ra, rb;
    fill(a, ra, size());
    fill(b, rb, size());
    ASSERT_TRUE(same(a, ra));
    int op = round % 6;
    TRef expected = ra;
    for (std::uint32_t k = 1; op < 4 && k < expected.size(); ++k) {
      bool other = k < rb.size() && rb[k];  // bits the other bitmap lacks are clear
      switch (op) {
        case 0: expected[k] = ra[k] && other; break;
        case 1: expected[k] = ra[k] || other; break;
        case 2: expected[k] = ra[k] != other; break;
        default: expected[k] = !ra[k]; break;
      }
    }
    switch (op) {
      case 0: a.AndBits(b); break;
      case 1: a.OrBits(b); break;
      case 2: a.XorBits(b); break;
      case 3: a.NotBits(); break;
      case 4: a.Assign(b); expected = rb; break;
      default: {  // grow or shrink, then grow back: new bits clear
        std::uint32_t n = size();
        a.SetNumOfBits(n);
        expected.resize(n + 1, false);
        std::uint32_t back = static_cast<std::uint32_t>(ra.size() - 1);
        a.SetNumOfBits(back);
        expected.resize(back + 1, false);
        break;
      }
    }
    ASSERT_TRUE(same(a, expected)) << "round " << round << " op " << op << " sizes " << ra.size() - 1
                                   << " " << rb.size() - 1;
  }
}

TEST(RecordsBitmapPool, HoldsAtMost64IdleBitmapsAndHandsThemOutCleared) {
  std::vector<std::unique_ptr<TRecordsBitmap>> taken;
  for (int i = 0; i < 70; ++i) taken.push_back(GetNewRecordsBitmapInstance());
  taken[0]->SetNumOfBits(10);
  taken[0]->SetBits();
  for (auto& b : taken) ReturnRecordsBitmapInstance(std::move(b));
  EXPECT_EQ(IdleRecordsBitmapCount(), kRecordsBitmapPoolCapacity);
  auto again = GetNewRecordsBitmapInstance();
  EXPECT_EQ(again->NumOfBits(), 0u);
  again->SetNumOfBits(10);
  EXPECT_EQ(again->GetTotalBitsSet(), 0u);
  EXPECT_EQ(IdleRecordsBitmapCount(), kRecordsBitmapPoolCapacity - 1);
  ReturnRecordsBitmapInstance(std::move(again));
}

}  // namespace
}  // namespace korvel
