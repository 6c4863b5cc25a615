#pragma once
// TStringList: an ordered list of strings, optionally kept sorted, with a duplicates rule and a
// case rule for comparison. Enough of the framework's string list for the engine's name lists.

#include <cstddef>
#include <string>
#include <vector>

namespace korvel {

enum TDuplicates : unsigned char { dupIgnore, dupAccept, dupError };

class TStringList {
 public:
  TStringList() = default;

  std::size_t Count() const { return items_.size(); }
  const std::string& operator[](std::size_t i) const { return items_[i]; }
  const std::vector<std::string>& Items() const { return items_; }

  // Appends (or inserts in order when Sorted); returns the index. The duplicates rule holds
  // only for sorted lists: dupIgnore returns the existing index, dupError throws
  // Exception("String list does not allow duplicates").
  int Add(const std::string& s);
  void Insert(std::size_t index, const std::string& s);
  void Delete(std::size_t index);
  void Clear() { items_.clear(); }
  // Index of the first string equal to s under the case rule, or -1.
  int IndexOf(const std::string& s) const;
  // Binary search of a sorted list: true and the index when found, else the insertion index.
  bool Find(const std::string& s, int& index) const;
  void Sort();

  bool Sorted() const { return sorted_; }
  void SetSorted(bool value);
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool value);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates value) { duplicates_ = value; }

  // The comparison the list uses: byte order, or byte order of the ASCII-lower-cased texts.
  int Compare(const std::string& a, const std::string& b) const;

 private:
  std::vector<std::string> items_;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  TDuplicates duplicates_ = dupIgnore;
};

}  // namespace korvel
