#include "support/lock_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace korvel {
namespace {

// The plain list the ordered one replaces: a linear scan per question.
class TReferenceLocks {
 public:
  bool Overlaps(std::int64_t offset, std::int64_t length) const {
    if (length <= 0) return false;
    std::int64_t end = offset + length - 1;
    for (const TLockEntry& e : entries_)
      if (offset <= e.End && e.Start <= end) return true;
    return false;
  }
  bool Add(std::int64_t offset, std::int64_t length, bool shared) {
    if (length <= 0 || Overlaps(offset, length)) return false;
    entries_.push_back(TLockEntry{offset, offset + length - 1, length, shared, false});
    return true;
  }
  bool Has(std::int64_t offset, std::int64_t length) const {
    for (const TLockEntry& e : entries_)
      if (e.Start == offset && e.Length == length) return true;
    return false;
  }
  bool Remove(std::int64_t offset, std::int64_t length) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const TLockEntry& e) { return e.Start == offset && e.Length == length; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
  }
  std::vector<TLockEntry> Sorted() const {
    std::vector<TLockEntry> sorted = entries_;
    std::sort(sorted.begin(), sorted.end(), [](const TLockEntry& a, const TLockEntry& b) { return a.Start < b.Start; });
    return sorted;
  }

 private:
  std::vector<TLockEntry> entries_;
};

void ExpectSameEntries(const TLockList& list, const TReferenceLocks& reference) {
  std::vector<TLockEntry> expected = reference.Sorted();
  ASSERT_EQ(list.size(), expected.size());
  std::size_t i = 0;
  for (const TLockEntry& e : list) {
    EXPECT_EQ(e.Start, expected[i].Start);
    EXPECT_EQ(e.End, expected[i].End);
    EXPECT_EQ(e.Length, expected[i].Length);
    EXPECT_EQ(e.Shared, expected[i].Shared);
    ++i;
  }
}

TEST(LockListTest, RandomLocksAndUnlocksAgreeWithALinearList) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    TLockList list;
    TReferenceLocks reference;
    // A small space makes overlaps, neighbours and exact repeats frequent; the far offsets
    // stand for the lock bytes near the top of the 64-bit range.
    const std::int64_t space = round % 2 == 0 ? 64 : 4096;
    const std::int64_t base = round % 3 == 0 ? 0x7FFFFFFF00000000LL : 0;
    for (int step = 0; step < 3000; ++step) {
      std::int64_t offset = base + static_cast<std::int64_t>(random() % space);
      std::int64_t length = static_cast<std::int64_t>(random() % 9) - 1;  // -1 and 0 are refused
      bool shared = random() % 4 == 0;
      switch (random() % 3) {
        case 0:
          ASSERT_EQ(list.Add(offset, length, shared), reference.Add(offset, length, shared))
              << "add " << offset << "+" << length << " at step " << step;
          break;
        case 1:
          ASSERT_EQ(list.Remove(offset, length), reference.Remove(offset, length))
              << "remove " << offset << "+" << length << " at step " << step;
          break;
        default:
          ASSERT_EQ(list.Overlaps(offset, length), reference.Overlaps(offset, length))
              << "overlap " << offset << "+" << length << " at step " << step;
          ASSERT_EQ(list.Find(offset, length) != nullptr, reference.Has(offset, length));
          break;
      }
    }
    ExpectSameEntries(list, reference);
  }
}

TEST(LockListTest, OnlyAnExactStartAndLengthUnlocksAndEntriesStayMutable) {
  TLockList list;
  ASSERT_TRUE(list.Add(100, 10, false));
  ASSERT_TRUE(list.Add(110, 1, true));  // adjacent, not overlapping
  EXPECT_FALSE(list.Add(109, 1, false));
  EXPECT_FALSE(list.Add(90, 11, false));
  EXPECT_TRUE(list.Add(90, 10, false));
  EXPECT_FALSE(list.Remove(100, 9));
  EXPECT_FALSE(list.Remove(101, 9));
  for (TLockEntry& e : list) e.Inherited = true;
  ASSERT_NE(list.Find(110, 1), nullptr);
  EXPECT_TRUE(list.Find(110, 1)->Inherited);
  EXPECT_TRUE(list.Find(110, 1)->Shared);
  EXPECT_TRUE(list.Remove(100, 10));
  EXPECT_FALSE(list.Overlaps(100, 10));
  EXPECT_TRUE(list.Overlaps(99, 2));
  EXPECT_TRUE(list.Overlaps(105, 6));
  // A reused node carries nothing of the entry it held before.
  ASSERT_TRUE(list.Add(200, 5, false));
  EXPECT_FALSE(list.Find(200, 5)->Inherited);
  EXPECT_EQ(list.Find(200, 5)->End, 204);
  EXPECT_EQ(list.size(), 3u);
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(list.Overlaps(0, 1000));
}

}  // namespace
}  // namespace korvel
