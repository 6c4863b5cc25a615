#include "support/records_bitmap.h"

#include <bit>
#include <cstring>
#include <mutex>
#include <vector>

namespace korvel {

namespace {
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;
}

std::uint32_t TRecordsBitmap::LastWordMask() const {
  std::uint32_t used = numBits_ % 32;
  return used == 0 ? kAllOnes : (1u << used) - 1u;
}

std::uint32_t TRecordsBitmap::WordAt(std::uint32_t w) const {
  std::uint32_t word = words_[w];
  return w + 1 == numWords_ ? word & LastWordMask() : word;
}

void TRecordsBitmap::SetNumOfBits(std::uint32_t bits) {
  std::uint32_t words = static_cast<std::uint32_t>((static_cast<std::uint64_t>(bits) + 31) / 32);
  std::size_t bytes = static_cast<std::size_t>(words) * 4;
  if (bytes > allocatedBytes_) {
    std::size_t grown = (bytes + kGrowthBytes - 1) / kGrowthBytes * kGrowthBytes;
    std::unique_ptr<std::uint32_t[]> storage(new std::uint32_t[grown / 4]);
    std::memset(storage.get(), 0, grown);
    if (allocatedBytes_ > 0) std::memcpy(storage.get(), words_.get(), allocatedBytes_);
    words_ = std::move(storage);
    allocatedBytes_ = grown;
  }
  // Bits that become part of the bitmap again start cleared, whatever they held before.
  if (bits > numBits_) {
    if (numWords_ > 0) words_[numWords_ - 1] &= LastWordMask();
    if (words > numWords_) std::memset(words_.get() + numWords_, 0, (words - numWords_) * 4);
  }
  numBits_ = bits;
  numWords_ = words;
  roundedBits_ = words * 32;
}

bool TRecordsBitmap::IsBitSet(std::uint32_t k) const {
  if (k == 0 || k > numBits_) return false;
  return (words_[(k - 1) / 32] >> ((k - 1) % 32)) & 1u;
}

void TRecordsBitmap::SetBit(std::uint32_t k) {
  if (k == 0 || k > numBits_) return;
  words_[(k - 1) / 32] |= 1u << ((k - 1) % 32);
}

void TRecordsBitmap::ClearBit(std::uint32_t k) {
  if (k == 0 || k > numBits_) return;
  words_[(k - 1) / 32] &= ~(1u << ((k - 1) % 32));
}

void TRecordsBitmap::SetBits() {
  if (numWords_ > 0) std::memset(words_.get(), 0xFF, numWords_ * 4u);
}

void TRecordsBitmap::ClearBits() {
  if (numWords_ > 0) std::memset(words_.get(), 0, numWords_ * 4u);
}

void TRecordsBitmap::NotBits() {
  for (std::uint32_t w = 0; w < numWords_; ++w) words_[w] = ~words_[w];
}

// The other bitmap's words are read through WordAt, so the spare bits of its last word (which may
// hold anything) never reach this one; words it lacks count as zero.
void TRecordsBitmap::AndBits(const TRecordsBitmap& other) {
  for (std::uint32_t w = 0; w < numWords_; ++w) words_[w] &= w < other.numWords_ ? other.WordAt(w) : 0u;
}

void TRecordsBitmap::OrBits(const TRecordsBitmap& other) {
  std::uint32_t n = numWords_ < other.numWords_ ? numWords_ : other.numWords_;
  for (std::uint32_t w = 0; w < n; ++w) words_[w] |= other.WordAt(w);
}

void TRecordsBitmap::XorBits(const TRecordsBitmap& other) {
  std::uint32_t n = numWords_ < other.numWords_ ? numWords_ : other.numWords_;
  for (std::uint32_t w = 0; w < n; ++w) words_[w] ^= other.WordAt(w);
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other) {
  if (this == &other) return;
  SetNumOfBits(0);
  SetNumOfBits(other.numBits_);
  if (numWords_ > 0) std::memcpy(words_.get(), other.words_.get(), numWords_ * 4u);
}

std::uint32_t TRecordsBitmap::GetTotalBitsSet() const {
  std::uint32_t total = 0;
  for (std::uint32_t w = 0; w < numWords_; ++w) {
    std::uint32_t word = WordAt(w);
    total += word == kAllOnes ? 32u : static_cast<std::uint32_t>(std::popcount(word));
  }
  return total;
}

std::uint32_t TRecordsBitmap::GetPreviousTotalBitsSet(std::uint32_t k) const {
  if (k <= 1) return 0;
  std::uint32_t last = (k - 1 < numBits_ ? k - 1 : numBits_);  // count bits 1 ... last
  std::uint32_t fullWords = last / 32;
  std::uint32_t total = 0;
  for (std::uint32_t w = 0; w < fullWords; ++w) total += static_cast<std::uint32_t>(std::popcount(words_[w]));
  std::uint32_t rest = last % 32;
  if (rest > 0) total += static_cast<std::uint32_t>(std::popcount(words_[fullWords] & ((1u << rest) - 1u)));
  return total;
}

bool TRecordsBitmap::GetNextBitsSet(std::uint32_t& position, std::uint32_t n, std::uint32_t& counter) const {
  if (n == 0) return true;
  std::uint32_t wanted = n;
  std::uint32_t k = position;  // the search starts at bit k + 1
  while (k < numBits_) {
    std::uint32_t w = k / 32;       // word of bit k + 1
    std::uint32_t offset = k % 32;  // its place in the word
    std::uint32_t word = WordAt(w) >> offset;
    if (offset == 0 && word == kAllOnes && wanted > 32) {
      wanted -= 32;  // a whole word of ones in one step
      k += 32;
      continue;
    }
    if (offset == 0 && word == 0) {
      k += 32;
      continue;
    }
    std::uint32_t ones = static_cast<std::uint32_t>(std::popcount(word));
    if (ones < wanted) {
      wanted -= ones;
      k = (w + 1) * 32;
      continue;
    }
    // The wanted bit lies in this word.
    while (true) {
      if (word & 1u) {
        if (--wanted == 0) {
          position = k + 1;
          counter += n;
          return true;
        }
      }
      word >>= 1;
      ++k;
    }
  }
  return false;
}

bool TRecordsBitmap::GetPreviousBitsSet(std::uint32_t& position, std::uint32_t n, std::uint32_t& counter) const {
  if (n == 0) return true;
  std::uint32_t wanted = n;
  // Bits 1 ... k are the candidates, from k downwards.
  std::uint32_t k = position == 0 ? 0 : (position - 1 < numBits_ ? position - 1 : numBits_);
  while (k > 0) {
    std::uint32_t w = (k - 1) / 32;
    std::uint32_t top = (k - 1) % 32;  // place of bit k in its word
    std::uint32_t mask = top == 31 ? kAllOnes : (1u << (top + 1)) - 1u;
    std::uint32_t word = WordAt(w) & mask;
    if (top == 31 && word == kAllOnes && wanted > 32) {
      wanted -= 32;
      k -= 32;
      continue;
    }
    std::uint32_t ones = static_cast<std::uint32_t>(std::popcount(word));
    if (ones < wanted) {
      wanted -= ones;
      k = w * 32;
      continue;
    }
    while (true) {
      if ((word >> ((k - 1) % 32)) & 1u) {
        if (--wanted == 0) {
          position = k;
          counter += n;
          return true;
        }
      }
      --k;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// The pool

namespace {
struct TRecordsBitmapStack {
  std::mutex Section;
  std::vector<std::unique_ptr<TRecordsBitmap>> Idle;
};

TRecordsBitmapStack& Pool() {
  static TRecordsBitmapStack pool;
  return pool;
}
}  // namespace

std::unique_ptr<TRecordsBitmap> GetNewRecordsBitmapInstance() {
  TRecordsBitmapStack& pool = Pool();
  {
    std::lock_guard<std::mutex> guard(pool.Section);
    if (!pool.Idle.empty()) {
      std::unique_ptr<TRecordsBitmap> bitmap = std::move(pool.Idle.back());
      pool.Idle.pop_back();
      bitmap->SetNumOfBits(0);
      return bitmap;
    }
  }
  return std::make_unique<TRecordsBitmap>();
}

void ReturnRecordsBitmapInstance(std::unique_ptr<TRecordsBitmap> bitmap) {
  if (!bitmap) return;
  TRecordsBitmapStack& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.Section);
  if (pool.Idle.size() < kRecordsBitmapPoolCapacity) pool.Idle.push_back(std::move(bitmap));
  // else: the bitmap is destroyed as it goes out of scope
}

std::size_t IdleRecordsBitmapCount() {
  TRecordsBitmapStack& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.Section);
  return pool.Idle.size();
}

}  // namespace korvel
