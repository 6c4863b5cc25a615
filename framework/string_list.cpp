#include "framework/string_list.h"

#include <algorithm>

#include "framework/exceptions.h"

namespace korvel {

namespace {
unsigned char AsciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
}  // namespace

int TStringList::Compare(const std::string& a, const std::string& b) const {
  if (caseSensitive_) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = AsciiLower(static_cast<unsigned char>(a[i]));
    unsigned char y = AsciiLower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool TStringList::Find(const std::string& s, int& index) const {
  int lo = 0;
  int hi = static_cast<int>(items_.size()) - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = Compare(items_[mid], s);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        // Keep searching left so that the first of equal entries is reported.
      }
    }
  }
  index = lo;
  return found;
}

int TStringList::Add(const std::string& s) {
  if (!sorted_) {
    items_.push_back(s);
    return static_cast<int>(items_.size()) - 1;
  }
  int index = 0;
  if (Find(s, index)) {
    if (duplicates_ == dupIgnore) return index;
    if (duplicates_ == dupError) throw Exception("String list does not allow duplicates");
  }
  items_.insert(items_.begin() + index, s);
  return index;
}

void TStringList::Insert(std::size_t index, const std::string& s) {
  if (index > items_.size()) index = items_.size();
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), s);
}

void TStringList::Delete(std::size_t index) {
  if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

int TStringList::IndexOf(const std::string& s) const {
  if (sorted_) {
    int index = 0;
    return Find(s, index) ? index : -1;
  }
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (Compare(items_[i], s) == 0) return static_cast<int>(i);
  return -1;
}

void TStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [this](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
}

void TStringList::SetSorted(bool value) {
  if (value && !sorted_) Sort();
  sorted_ = value;
}

void TStringList::SetCaseSensitive(bool value) {
  caseSensitive_ = value;
  if (sorted_) Sort();
}

}  // namespace korvel
