// Random work on B-trees shaped like real indexes, against an ordered reference: keys of several
// fields with NULLs, long shared prefixes and zero runs, every compression mode, collated and
// case-insensitive strings, descending fields, sequential loads and range deletions, work inside
// a transaction, and failures injected where a page is allocated and where the cache flushes.
// A change that fails must leave the tree exactly as the reference says it was.
//
// The quick run below is part of the suite. A longer run is selected with environment variables:
//   KORVEL_BTREE_STRESS_ROUNDS   how many times the configuration matrix runs (default 1)
//   KORVEL_BTREE_STRESS_OPS      operations per configuration (default 250)
//   KORVEL_BTREE_STRESS_SEED     first seed (default 20261209); round r uses seed + r

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/btree_cursor.h"
#include "engine/index_page.h"
#include "support/byte_order.h"
#include "support/errors.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::TTestFolder;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == 0) return fallback;
  return std::strtoull(text, nullptr, 10);
}

// An index file whose writes fail while `FailWrites` is set, as on a full disk.
class TFailingIndexFile : public TBTreeIndexFile {
 public:
  using TBTreeIndexFile::TBTreeIndexFile;
  void Write(const void* buffer, std::int64_t count) override {
    if (FailWrites) Raise(KORVEL_WRITEERR);
    TBTreeIndexFile::Write(buffer, count);
  }
  bool FailWrites = false;
};

struct TFieldShape {
  std::uint16_t Width = 0;  // value bytes after the null-flag byte
  bool Descending = false;
};

struct TShape {
  std::vector<TFieldShape> Fields;
  bool Unique = true;
  std::uint8_t Compression = 0;
  bool Descending = false;
  bool Collated = false;
  bool CaseInsensitive = false;
  bool NoKeyCounts = false;
  bool SmallCache = false;
  bool Transaction = false;

  std::uint16_t KeySize() const {
    std::size_t n = Unique ? 0 : 4;
    for (const TFieldShape& f : Fields) n += f.Width + 1u;
    return static_cast<std::uint16_t>(n);
  }
};

std::string Describe(const TShape& s, std::uint32_t seed) {
  std::ostringstream out;
  out << (s.Unique ? "unique" : "non-unique") << " compression " << int(s.Compression) << " fields";
  for (const TFieldShape& f : s.Fields) out << " " << f.Width << (f.Descending ? "d" : "");
  out << (s.Descending ? " descending" : "") << (s.Collated ? " collated" : "")
      << (s.CaseInsensitive ? " case-insensitive" : "") << (s.NoKeyCounts ? " no key counts" : "")
      << (s.SmallCache ? " small cache" : "") << (s.Transaction ? " transaction" : "") << " seed " << seed;
  return out.str();
}

class TStressTree {
 public:
  TStressTree(const TShape& shape, std::uint32_t seed)
      : shape_(shape), random_(seed), reference_(TOrder{&comparator_}) {
    owner_.TableName = "stress";
    owner_.DirectoryName = folder_.Path();
    owner_.MaxTableIndexBufferSize = shape.SmallCache ? 2 * 8192 : 64 * 8192;
    owner_.TransactionInProgress = shape.Transaction;
    for (const TFieldShape& f : shape.Fields) segments_.push_back({true, f.Width, f.Descending});
    SetUpCursor(comparator_);
    Open(true);
  }

  // --- keys ---

  std::string NewKey() {
    std::string key(shape_.KeySize(), '\0');
    std::size_t at = 0;
    for (const TFieldShape& f : shape_.Fields) {
      const bool null = random_() % 4 == 0;
      key[at] = null ? 0 : 1;
      if (!null) FillValue(&key[at + 1], f.Width);
      at += f.Width + 1u;
    }
    if (!shape_.Unique) AppendId(key);
    return key;
  }

  // Ascending keys of one stem: the first field's stem and an increasing counter.
  std::string SequentialKey(int stem, int counter) {
    std::string key(shape_.KeySize(), '\0');
    // The counter goes into the widest field; the fields before it are NULL.
    std::size_t at = 0;
    std::size_t widest = 0;
    for (std::size_t i = 1; i < shape_.Fields.size(); ++i)
      if (shape_.Fields[i].Width > shape_.Fields[widest].Width) widest = i;
    for (std::size_t i = 0; i < widest; ++i) at += shape_.Fields[i].Width + 1u;
    const TFieldShape& f = shape_.Fields[widest];
    key[at] = 1;
    std::string text = Stem(stem).substr(0, f.Width > 8 ? f.Width - 8u : 0);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07d", counter);
    text += digits;
    std::memcpy(&key[at + 1], text.data(), std::min<std::size_t>(text.size(), f.Width));
    if (!shape_.Unique) AppendId(key);
    return key;
  }

  // Keys of a two-field index where the second field is NULL in one key of each pair: the first
  // field is a short text padded with zeros that both keys share, so the NULL key, mostly zeros,
  // encodes in a few bytes and its partner shares a long prefix with it.
  std::string PairedKey(int group, bool secondNull) {
    std::string key(shape_.KeySize(), '\0');
    const std::size_t width = shape_.Fields[0].Width;
    std::uint32_t scrambled = static_cast<std::uint32_t>(group) * 2654435761u;
    key[0] = 1;
    for (std::size_t i = 0; i < std::min<std::size_t>(3, width); ++i) key[1 + i] = static_cast<char>('A' + (scrambled >> (8 * i)) % 26);
    const std::size_t second = width + 1;
    if (!secondNull) {
      key[second] = 1;
      for (std::size_t i = 0; i < shape_.Fields[1].Width; ++i) key[second + 1 + i] = static_cast<char>('k' + i % 7);
    }
    if (!shape_.Unique) AppendId(key);
    return key;
  }

  bool SecondFieldNull(const std::string& key) const {
    return shape_.Fields.size() < 2 || key[shape_.Fields[0].Width + 1u] == 0;
  }

  // --- operations; each returns the engine error (0 for success) ---

  TErrorCode Insert(const std::string& key) {
    std::int32_t record = ++nextRecord_;
    TErrorCode code = Attempt([&] { cursor_->AddIndexKey(Bytes(key), record); });
    if (code == 0) reference_.emplace(key, record);
    return code;
  }

  TErrorCode Remove(const std::string& key) {
    TErrorCode code = Attempt([&] { cursor_->RemoveIndexKey(Bytes(key)); });
    if (code == 0) reference_.erase(key);
    return code;
  }

  TErrorCode Update(const std::string& oldKey, const std::string& newKey) {
    std::int32_t record = reference_.at(oldKey);
    TErrorCode code = Attempt([&] { cursor_->UpdateIndexKey(Bytes(oldKey), Bytes(newKey), record); });
    if (code == 0) {
      reference_.erase(oldKey);
      reference_.emplace(newKey, record);
    }
    return code;
  }

  void Step() {
    std::uint32_t dice = random_() % 100;
    // With a fault armed (Arm) a change may fail, and must then change nothing.
    Fault fault = armed_;
    if (reference_.empty() || dice < 45) {
      std::string key = NewKey();
      bool present = reference_.count(key) != 0;
      Expect(Insert(key), present ? KORVEL_KEYVIOL : 0, fault, "insert");
    } else if (dice < 62) {
      if (fault == Fault::Flush) fault = Disarm();  // a delete's merges are not made failure-proof
      Expect(Remove(Pick()->first), 0, fault, "delete");
    } else if (dice < 72) {
      if (fault == Fault::Flush) fault = Disarm();
      std::string oldKey = Pick()->first;
      std::string newKey = NewKey();
      bool present = reference_.count(newKey) != 0 && comparator_.CompareKeys(Bytes(oldKey), Bytes(newKey), shape_.KeySize()) != 0;
      Expect(Update(oldKey, newKey), present ? KORVEL_KEYVIOL : 0, fault, "update");
    } else if (dice < 78) {
      // A sequential load: a run of ascending keys of a new stem, or pairs of keys with and
      // without a second field.
      Disarm();
      int stem = static_cast<int>(random_() % 64);
      int count = 40 + static_cast<int>(random_() % 360);
      int base = static_cast<int>(random_() % 1000000);
      const bool paired = shape_.Fields.size() >= 2 && random_() % 2 == 0;
      for (int i = 0; i < count; ++i) {
        for (int half = 0; half < (paired ? 2 : 1); ++half) {
          std::string key = paired ? PairedKey(base + i, half == 0) : SequentialKey(stem, base + i);
          Expect(Insert(key), reference_.count(key) != 0 ? KORVEL_KEYVIOL : 0, Fault::None, "load");
        }
      }
    } else if (dice < 84) {
      // A range deletion: a run of neighbouring keys, or only those of the run whose second
      // field is NULL (every other key with one field), so that the keys left lose the
      // prefixes they shared with the deleted ones.
      Disarm();
      auto it = Pick();
      int count = 20 + static_cast<int>(random_() % 300);
      const bool sparse = random_() % 2 == 0;
      std::vector<std::string> doomed;
      for (int i = 0; it != reference_.end() && i < count; ++it, ++i)
        if (!sparse || (shape_.Fields.size() >= 2 ? SecondFieldNull(it->first) : i % 2 == 0)) doomed.push_back(it->first);
      // Under an allocation fault: a delete that makes a compressed leaf outgrow its page needs
      // a page for the split.
      if (fault == Fault::Allocation) Arm(1);
      for (const std::string& key : doomed) {
        TErrorCode code = Remove(key);
        Expect(code, 0, fault, "range delete");
        if (fault == Fault::Allocation) Arm(1);
      }
      Disarm();
    } else if (dice < 92) {
      std::string key = NewKey();
      Expect(Insert(key), reference_.count(key) != 0 ? KORVEL_KEYVIOL : 0, fault, "insert");
    } else {
      // A key already present (unique) or a fresh one.
      std::string key = shape_.Unique ? Pick()->first : NewKey();
      Expect(Insert(key), shape_.Unique ? KORVEL_KEYVIOL : 0, fault, "insert present");
    }
  }

  // Writes everything, closes, and opens the file afresh: the tree is then read from disk.
  void Reopen() {
    owner_.TransactionInProgress = false;
    cursor_.reset();
    file_->FlushPageBuffers(false);
    file_->WriteHeader(true);
    file_->CloseFile();
    Open(false);
    owner_.TransactionInProgress = shape_.Transaction;
  }

  void DeleteAll() {
    while (!reference_.empty()) Expect(Remove(reference_.begin()->first), 0, Fault::None, "delete all");
  }

  // --- the invariants ---

  std::string Check() {
    std::vector<std::pair<std::string, std::int32_t>> keys;
    std::set<std::int32_t> pages;
    std::vector<std::vector<std::int32_t>> levels;
    std::string error;
    std::int32_t root = file_->GetRootPageNumber(1);
    if (root != 0) Walk(root, 1, nullptr, keys, pages, levels, error);
    if (!error.empty()) return error;
    if (keys.size() != reference_.size())
      return "tree holds " + std::to_string(keys.size()) + " keys, reference " + std::to_string(reference_.size());
    std::size_t i = 0;
    for (auto& [key, record] : reference_) {
      if (keys[i].first != key || keys[i].second != record) return "key " + std::to_string(i + 1) + " differs";
      ++i;
    }
    for (auto& level : levels)
      for (std::size_t j = 0; j < level.size(); ++j) {
        TPinnedPage page = cursor_->FetchPage(level[j]);
        std::int32_t left = j == 0 ? 0 : level[j - 1];
        std::int32_t right = j + 1 == level.size() ? 0 : level[j + 1];
        if (page->LeftPageNumber != left || page->RightPageNumber != right)
          return "page " + std::to_string(level[j]) + " badly linked";
      }
    // Every page of the file is in the tree or on the free chain, once.
    std::set<std::int32_t> free;
    std::int32_t ending = file_->GetNextEndingPageNumber(1);
    for (std::int32_t n = file_->GetNextFreePageNumber(1); n != ending && n != 0;) {
      if (!free.insert(n).second || pages.count(n) != 0) return "free chain crosses itself or the tree";
      TPinnedPage page = cursor_->FetchPage(n);
      if (!page->IsFree && page->KeyEntryCount != 0) return "free page with entries";
      n = page->RightPageNumber;
    }
    if (pages.size() + free.size() != static_cast<std::size_t>(file_->GetPhysicalPagesUsed())) return "pages lost";
    if (cursor_->GetIndexKeyCount() != static_cast<std::int32_t>(reference_.size())) return "key count differs";
    return "";
  }

  std::size_t Size() const { return reference_.size(); }
  int Depth() const { return depth_; }
  int Failures() const { return failures_; }

 private:
  enum class Fault { None, Allocation, Flush };

  // Keys compare as the index compares them.
  struct TOrder {
    const TBTreeCursor* Cursor;
    bool operator()(const std::string& a, const std::string& b) const {
      return Cursor->CompareKeys(reinterpret_cast<const std::uint8_t*>(a.data()),
                                 reinterpret_cast<const std::uint8_t*>(b.data()), a.size()) < 0;
    }
  };

  static const std::uint8_t* Bytes(const std::string& key) { return reinterpret_cast<const std::uint8_t*>(key.data()); }

  static std::string Stem(int n) {
    // Long stems sharing long prefixes with each other.
    static const char* kRoots[] = {"International Business Consulting ", "Internationale Handelsgesellschaft ",
                                   "Northern Lights Distribution Company ", "Northern Lights Distributors "};
    std::string stem = kRoots[n % 4];
    for (int i = 0; i < n / 4 % 8; ++i) stem += static_cast<char>('a' + (n + i) % 3);
    while (stem.size() < 140) stem += stem;
    return stem;
  }

  void FillValue(char* out, std::size_t width) {
    // A prefix of a stem, a short tail, then zeros (the padding of shorter strings).
    std::string stem = Stem(static_cast<int>(random_() % 16));
    std::size_t prefix = random_() % (width + 1);
    std::size_t tail = random_() % 4;
    std::size_t length = std::min(width, prefix + tail);
    static const char kTail[] = "aAbB0z ";
    for (std::size_t i = 0; i < length; ++i)
      out[i] = i < prefix ? stem[i % stem.size()] : kTail[random_() % (sizeof kTail - 1)];
  }

  void AppendId(std::string& key) { PutU32(&key[key.size() - 4], 0, 0x80000000u + nextId_++); }

  void SetUpCursor(TBTreeCursor& cursor) {
    cursor.KeySize = shape_.KeySize();
    cursor.Descending = shape_.Descending;
    cursor.Unique = shape_.Unique;
    cursor.CaseInsensitive = shape_.CaseInsensitive;
    cursor.IndexSlot = 1;
    cursor.SetKeyCollation(shape_.Collated ? 0x0409 : 0, 0, shape_.Collated ? segments_ : std::vector<TKeySegment>{});
  }

  void Open(bool create) {
    file_ = std::make_unique<TFailingIndexFile>(&owner_);
    file_->FileName = folder_.File("stress.IDX");
    if (create) {
      file_->CreateFile();
      TIndexDefinition d;
      d.IndexName = "Stress";
      d.KeySize = shape_.KeySize();
      d.Unique = shape_.Unique;
      d.Descending = shape_.Descending;
      d.CaseInsensitive = shape_.CaseInsensitive;
      d.Compression = shape_.Compression;
      d.NoKeyCounts = shape_.NoKeyCounts;
      file_->SetIndexCount(1);
      file_->SetIndexDefinition(1, d);
      file_->WriteHeader(true);
    } else {
      file_->OpenFile();
    }
    cursor_ = std::make_unique<TBTreeCursor>();
    cursor_->SetIndex(file_.get(), 1);
    cursor_->SetKeyCollation(shape_.Collated ? 0x0409 : 0, 0, shape_.Collated ? segments_ : std::vector<TKeySegment>{});
  }

  TErrorCode Attempt(const std::function<void()>& action) {
    try {
      action();
    } catch (const EKORVELEngineError& e) {
      return e.ErrorCode;
    }
    return 0;
  }

  // Runs `code` (already run) against its expectation; with a fault armed a failure is allowed
  // (and counted), the reference being untouched by it.
  void Expect(TErrorCode code, TErrorCode expected, Fault fault, const char* what) {
    if (armed_ != Fault::None) Disarm();
    ++outcomes_[std::string(what) + " " + std::to_string(code)];
    if (code == expected) return;
    if (fault != Fault::None && (code == KORVEL_INDEXCORRUPT || code == KORVEL_WRITEERR)) {
      ++failures_;
      return;
    }
    ADD_FAILURE() << what << " gave " << code << ", expected " << expected;
  }

  Fault Disarm() {
    if (armed_ == Fault::Allocation) {
      std::int32_t head = file_->IndexDefinition(1).NextFreePageNumber;
      if (head == damagedHead_) {
        file_->SetNextFreePageNumber(1, savedFreeHead_);
      } else {
        // Pages freed meanwhile went onto the damaged head: the last of them links on to the
        // real chain instead.
        for (std::int32_t n = head;;) {
          TPinnedPage page = cursor_->FetchPage(n);
          if (page->RightPageNumber == damagedHead_) {
            page->SetRightPageNumber(savedFreeHead_);
            break;
          }
          n = page->RightPageNumber;
        }
      }
    }
    file_->FailWrites = false;
    armed_ = Fault::None;
    return Fault::None;
  }

 public:
  // Arms a fault for the next operation: 1 every page allocation fails (the free chain's head
  // names a page of the tree), 2 every write fails (so does any flush a cache miss needs).
  void Arm(int kind) {
    if (kind == 1 && file_->GetRootPageNumber(1) != 0) {
      // The head of the free chain names a page of the tree: every allocation fails.
      savedFreeHead_ = file_->IndexDefinition(1).NextFreePageNumber;
      damagedHead_ = file_->GetRootPageNumber(1);
      file_->SetNextFreePageNumber(1, damagedHead_);
      armed_ = Fault::Allocation;
    } else if (kind == 2) {
      file_->FailWrites = true;
      armed_ = Fault::Flush;
    }
  }

 private:
  void Walk(std::int32_t number, int level, const std::string* first, std::vector<std::pair<std::string, std::int32_t>>& keys,
            std::set<std::int32_t>& pages, std::vector<std::vector<std::int32_t>>& levels, std::string& error) {
    if (!error.empty()) return;
    std::string where = "page " + std::to_string(number) + ": ";
    if (level > kMaxIndexLevels || !pages.insert(number).second) {
      error = where + "reached twice";
      return;
    }
    depth_ = std::max(depth_, level);
    TPinnedPage page = cursor_->FetchPage(number);
    const TPage& p = *page;
    if (p.IsFree || p.KeyEntryCount == 0) error = where + "free or empty page in the tree";
    else if (p.GetEncodedSize() > TPageBuffer::kPageBodySize) error = where + "does not fit its 4,083 bytes";
    else if ((level == 1) != p.IsRoot()) error = where + "root type wrong";
    else if (first != nullptr && std::memcmp(first->data(), p.GetKeyEntryPtr(1), p.KeySize) != 0)
      error = where + "first key differs from its parent entry";
    for (int i = 2; i <= p.KeyEntryCount && error.empty(); ++i)
      if (cursor_->CompareKeys(p.GetKeyEntryPtr(i - 1), p.GetKeyEntryPtr(i), p.KeySize) >= 0) error = where + "keys out of order";
    if (!error.empty()) return;
    if (levels.size() < static_cast<std::size_t>(level)) levels.resize(static_cast<std::size_t>(level));
    levels[static_cast<std::size_t>(level - 1)].push_back(number);
    if (p.IsLeaf()) {
      for (int i = 1; i <= p.KeyEntryCount; ++i)
        keys.emplace_back(std::string(reinterpret_cast<const char*>(p.GetKeyEntryPtr(i)), p.KeySize), p.GetRecordNumber(i));
      return;
    }
    std::vector<std::tuple<std::string, std::int32_t, std::int32_t>> entries;
    for (int i = 1; i <= p.KeyEntryCount; ++i)
      entries.emplace_back(std::string(reinterpret_cast<const char*>(p.GetKeyEntryPtr(i)), p.KeySize), p.GetRecordNumber(i),
                           p.GetLowerKeyEntryCount(i));
    page.Release();
    for (auto& [key, child, count] : entries) {
      std::size_t before = keys.size();
      Walk(child, level + 1, &key, keys, pages, levels, error);
      if (!error.empty()) return;
      if (!shape_.NoKeyCounts && static_cast<std::int32_t>(keys.size() - before) != count) {
        error = where + "lower key count " + std::to_string(count) + " but " + std::to_string(keys.size() - before) + " keys below";
        return;
      }
    }
  }

  std::map<std::string, std::int32_t, TOrder>::iterator Pick() {
    auto it = reference_.begin();
    std::advance(it, static_cast<long>(random_() % reference_.size()));
    return it;
  }

  TShape shape_;
  std::mt19937 random_;
  std::vector<TKeySegment> segments_;
  TBTreeCursor comparator_;  // the index's key order, for the reference
  std::map<std::string, std::int32_t, TOrder> reference_;
  TTestFolder folder_;
  TPlainIndexFileOwner owner_;
  std::unique_ptr<TFailingIndexFile> file_;
  std::unique_ptr<TBTreeCursor> cursor_;
  Fault armed_ = Fault::None;
  std::int32_t savedFreeHead_ = 0;
  std::int32_t damagedHead_ = 0;
  std::uint32_t nextId_ = 1;
  std::int32_t nextRecord_ = 0;
  int depth_ = 0;
  int failures_ = 0;

 public:
  std::map<std::string, int> outcomes_;
};

std::vector<TShape> Matrix(std::mt19937& random) {
  static const std::uint16_t kWidths[] = {3, 8, 20, 40, 60, 120, 250};
  std::vector<TShape> shapes;
  for (int compression = 0; compression < 4; ++compression)
    for (int unique = 0; unique < 2; ++unique)
      for (int collated = 0; collated < 2; ++collated) {
        TShape s;
        s.Compression = static_cast<std::uint8_t>(compression);
        s.Unique = unique == 1;
        s.Collated = collated == 1;
        s.CaseInsensitive = s.Collated && random() % 2 == 0;
        s.Descending = random() % 4 == 0;
        s.NoKeyCounts = random() % 6 == 0;
        s.SmallCache = random() % 3 == 0;
        s.Transaction = random() % 4 == 0;
        int fields = 1 + static_cast<int>(random() % 3);
        std::size_t total = 0;
        for (int f = 0; f < fields; ++f) {
          TFieldShape field{kWidths[random() % (sizeof kWidths / sizeof kWidths[0])], s.Collated && random() % 3 == 0};
          if (total + field.Width + 1 > static_cast<std::size_t>(kMaxIndexedKeyBytes)) break;
          total += field.Width + 1u;
          s.Fields.push_back(field);
        }
        shapes.push_back(s);
      }
  return shapes;
}

TEST(BTreeStress, RealisticKeysSurviveLoadsRangeDeletesAndInjectedFailures) {
  const std::uint64_t rounds = EnvNumber("KORVEL_BTREE_STRESS_ROUNDS", 1);
  const int ops = static_cast<int>(EnvNumber("KORVEL_BTREE_STRESS_OPS", 250));
  const std::uint32_t firstSeed = static_cast<std::uint32_t>(EnvNumber("KORVEL_BTREE_STRESS_SEED", 20261209));
  const bool verbose = EnvNumber("KORVEL_BTREE_VERBOSE", 0) != 0;
  int failures = 0;
  int deepest = 0;
  for (std::uint64_t round = 0; round < rounds; ++round) {
    std::mt19937 matrixRandom(firstSeed + static_cast<std::uint32_t>(round));
    std::vector<TShape> shapes = Matrix(matrixRandom);
    for (std::size_t i = 0; i < shapes.size(); ++i) {
      std::uint32_t seed = firstSeed + static_cast<std::uint32_t>(round * 1000 + i);
      SCOPED_TRACE(Describe(shapes[i], seed));
      TStressTree tree(shapes[i], seed);
      std::mt19937 faults(seed * 31u + 7u);
      for (int op = 1; op <= ops; ++op) {
        if (faults() % 8 == 0) tree.Arm(1 + static_cast<int>(faults() % 2));
        tree.Step();
        if (op % 125 == 0) {
          ASSERT_EQ(tree.Check(), "") << "after operation " << op;
        }
        if (op % 200 == 0) tree.Reopen();
        if (::testing::Test::HasFailure()) return;
      }
      ASSERT_EQ(tree.Check(), "") << "at the end";
      tree.Reopen();
      ASSERT_EQ(tree.Check(), "") << "after reopening";
      failures += tree.Failures();
      deepest = std::max(deepest, tree.Depth());
      if (verbose)
        std::printf("%s: %zu keys, %d levels, %d failed changes\n", Describe(shapes[i], seed).c_str(), tree.Size(),
                    tree.Depth(), tree.Failures());
      if (verbose)
        for (auto& [what, n] : tree.outcomes_) std::printf("  %s: %d\n", what.c_str(), n);
      tree.DeleteAll();
      ASSERT_EQ(tree.Check(), "") << "after deleting every key";
    }
  }
  // The faults did fire, and the trees grew past two levels.
  EXPECT_GT(failures, 0);
  EXPECT_GE(deepest, 3);
}

}  // namespace
}  // namespace korvel
