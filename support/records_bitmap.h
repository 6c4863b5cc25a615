#pragma once
// TRecordsBitmap: one bit per physical record of a table, and the process-wide pool of idle
// bitmaps.
//
// Bit k (k = 1 ... N, the physical record number) is bit (k - 1) mod 32, counted from the least
// significant, of 32-bit word (k - 1) div 32. Bits beyond N in the last word may hold anything;
// every reader stops at N. The storage grows in steps of 256 bytes, zero-filled, and never
// shrinks.

#include <cstdint>
#include <memory>

namespace korvel {

class TRecordsBitmap {
 public:
  static constexpr std::size_t kGrowthBytes = 256;

  TRecordsBitmap() = default;
  TRecordsBitmap(const TRecordsBitmap&) = delete;
  TRecordsBitmap& operator=(const TRecordsBitmap&) = delete;

  // Keeps every bit below both the old and the new count; new bits are cleared.
  void SetNumOfBits(std::uint32_t bits);
  std::uint32_t NumOfBits() const { return numBits_; }
  std::uint32_t NumOfWords() const { return numWords_; }
  std::size_t AllocatedBytes() const { return allocatedBytes_; }

  // Bit numbers outside 1 ... N read as clear and are ignored by the setters.
  bool IsBitSet(std::uint32_t k) const;
  void SetBit(std::uint32_t k);
  void ClearBit(std::uint32_t k);
  void SetBits();
  void ClearBits();
  void NotBits();
  // Word by word over this bitmap's words; bits beyond the other bitmap's size count as zero.
  void AndBits(const TRecordsBitmap& other);
  void OrBits(const TRecordsBitmap& other);
  void XorBits(const TRecordsBitmap& other);
  // Takes the other bitmap's size and bits.
  void Assign(const TRecordsBitmap& other);

  // Number of set bits among 1 ... N.
  std::uint32_t GetTotalBitsSet() const;
  // Number of set bits among 1 ... k - 1.
  std::uint32_t GetPreviousTotalBitsSet(std::uint32_t k) const;
  // Moves `position` to the n-th set bit after it (position 0 starts before bit 1) and adds n to
  // `counter`. False, with both unchanged, when fewer than n set bits follow.
  bool GetNextBitsSet(std::uint32_t& position, std::uint32_t n, std::uint32_t& counter) const;
  // The same backwards: to the n-th set bit before `position` (N + 1 starts after bit N).
  bool GetPreviousBitsSet(std::uint32_t& position, std::uint32_t n, std::uint32_t& counter) const;

  const std::uint32_t* Words() const { return words_.get(); }

 private:
  // The last word with the bits beyond N cleared.
  std::uint32_t LastWordMask() const;
  std::uint32_t WordAt(std::uint32_t w) const;

  std::unique_ptr<std::uint32_t[]> words_;
  std::size_t allocatedBytes_ = 0;
  std::uint32_t numBits_ = 0;
  std::uint32_t roundedBits_ = 0;
  std::uint32_t numWords_ = 0;
};

// The pool of idle bitmaps: at most kRecordsBitmapPoolCapacity, shared by the process.
inline constexpr std::size_t kRecordsBitmapPoolCapacity = 64;

// An idle bitmap from the pool, cleared (no bits), or a new one.
std::unique_ptr<TRecordsBitmap> GetNewRecordsBitmapInstance();
// Pools the bitmap, or destroys it when the pool is full.
void ReturnRecordsBitmapInstance(std::unique_ptr<TRecordsBitmap> bitmap);
std::size_t IdleRecordsBitmapCount();

}  // namespace korvel
