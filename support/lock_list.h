#pragma once
// The byte ranges one shared file object holds locked, for the openers of this process.
//
// Listed ranges never overlap (a lock that overlaps a listed one is refused before it is
// listed), so ordering them by start orders their ends too: the only listed range that can
// overlap [start, end] is the last one starting at or before `end`. Every operation is
// O(log n), which keeps a transaction that holds a lock per record it touched linear. Nodes of
// removed entries are kept (up to kSpareNodes) for the next lock, so that locking and unlocking
// a record per edit allocates nothing once warm.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

namespace korvel {

// A locked byte range [Start, End], End = Start + Length - 1. Shared: held as a shared lock (a
// descriptor opened for reading holds no other kind). Inherited: listed before this process was
// forked from its parent; the parent holds it, not this process's descriptor.
struct TLockEntry {
  std::int64_t Start;
  std::int64_t End;
  std::int64_t Length;
  bool Shared = false;
  bool Inherited = false;
};

class TLockList {
  using TMap = std::map<std::int64_t, TLockEntry>;

  // Walks the entries in order of their start, yielding the entries themselves.
  template <typename TBase, typename TValue>
  class TIterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = TLockEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = TValue*;
    using reference = TValue&;

    TIterator() = default;
    explicit TIterator(TBase base) : base_(base) {}
    TValue& operator*() const { return base_->second; }
    TValue* operator->() const { return &base_->second; }
    TIterator& operator++() {
      ++base_;
      return *this;
    }
    TIterator& operator--() {
      --base_;
      return *this;
    }
    bool operator==(const TIterator& other) const { return base_ == other.base_; }

   private:
    TBase base_{};
  };

 public:
  using iterator = TIterator<TMap::iterator, TLockEntry>;
  using const_iterator = TIterator<TMap::const_iterator, const TLockEntry>;

  // True when any byte of [offset, offset + length - 1] lies in a listed range.
  bool Overlaps(std::int64_t offset, std::int64_t length) const {
    if (length <= 0 || entries_.empty()) return false;
    std::int64_t end = offset + length - 1;
    auto after = entries_.upper_bound(end);  // first range starting past the end
    if (after == entries_.begin()) return false;
    return std::prev(after)->second.End >= offset;
  }

  // Lists the range unless it is empty or overlaps a listed one.
  bool Add(std::int64_t offset, std::int64_t length, bool shared) {
    if (length <= 0 || Overlaps(offset, length)) return false;
    TLockEntry entry{offset, offset + length - 1, length, shared, false};
    if (spare_.empty()) {
      entries_.emplace(offset, entry);
    } else {
      TMap::node_type node = std::move(spare_.back());
      spare_.pop_back();
      node.key() = offset;
      node.mapped() = entry;
      entries_.insert(std::move(node));
    }
    return true;
  }

  // The entry with exactly this start and length, or null.
  TLockEntry* Find(std::int64_t offset, std::int64_t length) {
    auto it = entries_.find(offset);
    return it == entries_.end() || it->second.Length != length ? nullptr : &it->second;
  }

  // Removes the entry with exactly this start and length; false if there is none.
  bool Remove(std::int64_t offset, std::int64_t length) {
    auto it = entries_.find(offset);
    if (it == entries_.end() || it->second.Length != length) return false;
    if (spare_.size() < kSpareNodes) {
      spare_.push_back(entries_.extract(it));
    } else {
      entries_.erase(it);
    }
    return true;
  }

  void clear() { entries_.clear(); }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  iterator begin() { return iterator(entries_.begin()); }
  iterator end() { return iterator(entries_.end()); }
  const_iterator begin() const { return const_iterator(entries_.begin()); }
  const_iterator end() const { return const_iterator(entries_.end()); }

 private:
  static constexpr std::size_t kSpareNodes = 16;
  TMap entries_;
  std::vector<TMap::node_type> spare_;
};

}  // namespace korvel
