// Long random sequences of key inserts, deletes and updates against an ordered reference, with
// every structural property of the tree checked every few hundred operations.
//
// The quick run below is part of the suite. A longer run is selected with environment variables:
//   KORVEL_BTREE_ROUNDS   how many times the whole configuration matrix runs (default 1)
//   KORVEL_BTREE_OPS      operations per configuration (default 2,000)
//   KORVEL_BTREE_SEED     first seed (default 20261208); round r uses seed + r

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

struct TConfig {
  bool Unique = true;
  std::uint8_t Compression = 0;
  bool Descending = false;
  std::uint16_t KeySize = 8;
  bool Encrypted = false;
  bool SmallCache = false;  // two pages per index: every step goes through the disk format
  bool NoKeyCounts = false;  // nodes without lower key counts
};

std::string Describe(const TConfig& c, std::uint32_t seed) {
  std::ostringstream out;
  out << (c.Unique ? "unique" : "non-unique") << " compression " << int(c.Compression)
      << (c.Descending ? " descending" : " ascending") << " key size " << c.KeySize
      << (c.Encrypted ? " encrypted" : "") << (c.SmallCache ? " small cache" : "")
      << (c.NoKeyCounts ? " no key counts" : "") << " seed " << seed;
  return out.str();
}

// Byte order of the index, reversed for a descending one.
struct TKeyOrder {
  bool Descending = false;
  bool operator()(const std::string& a, const std::string& b) const { return Descending ? b < a : a < b; }
};

class TTreeUnderTest {
 public:
  TTreeUnderTest(const TConfig& config, std::uint32_t seed) : config_(config), random_(seed) {
    owner_.TableName = "random";
    owner_.DirectoryName = folder_.Path();
    owner_.Encrypted = config.Encrypted;
    owner_.MaxTableIndexBufferSize = config.SmallCache ? 16384 : 16384 * 64;
    Open(true);
  }

  void Open(bool create) {
    file_ = std::make_unique<TBTreeIndexFile>(&owner_);
    file_->FileName = folder_.File("random.IDX");
    if (create) {
      file_->CreateFile();
      TIndexDefinition d;
      d.IndexName = "Random";
      d.KeySize = config_.KeySize;
      d.Unique = config_.Unique;
      d.Descending = config_.Descending;
      d.Compression = config_.Compression;
      d.NoKeyCounts = config_.NoKeyCounts;
      file_->SetIndexCount(1);
      file_->SetIndexDefinition(1, d);
      file_->WriteHeader(true);
    } else {
      file_->OpenFile();
    }
    cursor_ = std::make_unique<TBTreeCursor>();
    cursor_->SetIndex(file_.get(), 1);
  }

  // Writes everything, closes, and opens the file afresh: the tree is then read from disk.
  void Reopen() {
    cursor_.reset();
    file_->FlushPageBuffers(false);
    file_->WriteHeader(true);
    file_->CloseFile();
    Open(false);
  }

  std::string NewKey() {
    const std::size_t k = config_.KeySize;
    const std::size_t body = config_.Unique ? k : k - 4;
    std::string key(k, '\0');
    // Keys share prefixes of random lengths (from a few families) and end in zero runs, so
    // that both compressions find something to drop.
    std::uint32_t family = random_() % 4;
    std::size_t prefix = random_() % (body + 1);
    std::mt19937 familyBytes(family * 7919 + 1);
    for (std::size_t i = 0; i < prefix; ++i) key[i] = static_cast<char>(familyBytes() % 3);
    std::size_t zeros = random_() % 3 == 0 ? random_() % (body + 1) : 0;
    std::size_t end = body - std::min(zeros, body - std::min(prefix, body));
    for (std::size_t i = prefix; i < end; ++i) key[i] = static_cast<char>(random_() % (i % 2 ? 4 : 256));
    if (!config_.Unique) PutU32(key.data(), k - 4, 0x80000000u + nextId_++);  // record ID, integer key form
    return key;
  }

  const std::uint8_t* Bytes(const std::string& key) const { return reinterpret_cast<const std::uint8_t*>(key.data()); }

  void Insert(const std::string& key, std::int32_t record) {
    std::int32_t endingBefore = file_->GetNextEndingPageNumber(1);
    bool freeBefore = file_->GetNextFreePageNumber(1) != endingBefore;
    cursor_->AddIndexKey(Bytes(key), record);
    reference_.emplace(key, record);
    std::int32_t endingAfter = file_->GetNextEndingPageNumber(1);
    // The file grows only once the free chain is used up.
    if (freeBefore && endingAfter > endingBefore && file_->GetNextFreePageNumber(1) != endingAfter)
      ADD_FAILURE() << "file grew while free pages were left: " << endingBefore << " -> " << endingAfter
                    << ", head now " << file_->GetNextFreePageNumber(1);
  }

  void Step(int op) {
    std::uint32_t dice = random_() % 100;
    bool grow = (op / 500) % 3 != 2;  // two phases of growth, one of shrinking
    if (reference_.empty() || dice < (grow ? 78u : 22u)) {
      std::string key = NewKey();
      if (reference_.count(key) != 0) {
        ExpectKeyViolation(key);
        return;
      }
      Insert(key, ++nextRecord_);
    } else if (dice < 90) {
      auto it = Pick();
      cursor_->RemoveIndexKey(Bytes(it->first));
      reference_.erase(it);
    } else if (dice < 96) {
      auto it = Pick();
      std::string replacement = NewKey();
      if (reference_.count(replacement) != 0) return;
      std::int32_t record = it->second;
      cursor_->UpdateIndexKey(Bytes(it->first), Bytes(replacement), record);
      reference_.erase(it);
      reference_.emplace(replacement, record);
    } else {
      ExpectKeyViolation(Pick()->first);
    }
  }

  void ExpectKeyViolation(const std::string& key) {
    if (config_.Unique) {
      EXPECT_TRUE(cursor_->CheckForKeyViolation(Bytes(key)));
    }
    TErrorCode code = 0;
    try {
      cursor_->AddIndexKey(Bytes(key), 1);
    } catch (const EKORVELEngineError& e) {
      code = e.ErrorCode;
    }
    EXPECT_EQ(code, KORVEL_KEYVIOL);
  }

  void DeleteAll() {
    while (!reference_.empty()) {
      auto it = Pick();
      cursor_->RemoveIndexKey(Bytes(it->first));
      reference_.erase(it);
    }
  }

  std::multimap<std::string, std::int32_t, TKeyOrder>::iterator Pick() {
    auto it = reference_.begin();
    std::advance(it, static_cast<long>(random_() % reference_.size()));
    return it;
  }

  // --- the invariants ---

  struct TWalk {
    std::vector<std::vector<std::int32_t>> Levels;  // page numbers per level, left to right
    std::vector<std::pair<std::string, std::int32_t>> Keys;
    std::set<std::int32_t> Pages;
    int LeafDepth = 0;
  };

  // Returns the number of keys below; checks the page and its subtree.
  std::int64_t WalkPage(std::int32_t number, int level, const std::string* expectedFirst, TWalk& walk, std::string& error) {
    if (!error.empty()) return 0;
    if (level > kMaxIndexLevels) {
      error = "tree deeper than 64 levels";
      return 0;
    }
    if (!walk.Pages.insert(number).second) {
      error = "page " + std::to_string(number) + " reached twice";
      return 0;
    }
    TPinnedPage page = cursor_->FetchPage(number);
    const TPage& p = *page;
    std::string where = "page " + std::to_string(number) + " level " + std::to_string(level) + ": ";
    if (p.IsFree) error = where + "free page in the tree";
    if (p.KeyEntryCount == 0) error = where + "empty page in the tree";
    bool root = level == 1;
    if (root && !p.IsRoot()) error = where + "root of type " + std::to_string(p.PageType);
    if (!root && p.IsRoot()) error = where + "root type below the root";
    if (p.IsNode() && root && p.KeyEntryCount < 2) error = where + "root node with one entry";
    if (!error.empty()) return 0;
    if (p.GetEncodedSize() > TPageBuffer::kPageBodySize) error = where + "overflowing page";
    std::vector<std::uint8_t> body(TPageBuffer::kPageBodySize);
    if (p.CompressPageData(body.data()) != p.GetEncodedSize()) error = where + "encoded size disagrees with the count";
    if (!root && !p.IsCompressedLeaf() && p.KeyEntryCount < p.GetMaximumKeyEntries() / 2)
      error = where + "underfull: " + std::to_string(p.KeyEntryCount) + " of " + std::to_string(p.GetMaximumKeyEntries());
    for (int i = 2; i <= p.KeyEntryCount && error.empty(); ++i)
      if (cursor_->CompareKeys(p.GetKeyEntryPtr(i - 1), p.GetKeyEntryPtr(i), p.KeySize) >= 0)
        error = where + "keys out of order at entry " + std::to_string(i);
    if (expectedFirst != nullptr && std::memcmp(expectedFirst->data(), p.GetKeyEntryPtr(1), p.KeySize) != 0)
      error = where + "first key differs from its parent entry";
    if (!error.empty()) return 0;
    if (walk.Levels.size() < static_cast<std::size_t>(level)) walk.Levels.resize(static_cast<std::size_t>(level));
    walk.Levels[static_cast<std::size_t>(level - 1)].push_back(number);
    if (p.IsLeaf()) {
      if (walk.LeafDepth == 0) walk.LeafDepth = level;
      if (walk.LeafDepth != level) error = where + "leaves at different depths";
      for (int i = 1; i <= p.KeyEntryCount; ++i)
        walk.Keys.emplace_back(std::string(reinterpret_cast<const char*>(p.GetKeyEntryPtr(i)), p.KeySize),
                               p.GetRecordNumber(i));
      return p.KeyEntryCount;
    }
    // Copy what is needed: the walk below may recycle cached pages.
    std::vector<std::tuple<std::string, std::int32_t, std::int32_t>> entries;
    for (int i = 1; i <= p.KeyEntryCount; ++i)
      entries.emplace_back(std::string(reinterpret_cast<const char*>(p.GetKeyEntryPtr(i)), p.KeySize),
                           p.GetRecordNumber(i), p.GetLowerKeyEntryCount(i));
    page.Release();
    std::int64_t total = 0;
    for (auto& [key, child, count] : entries) {
      std::int64_t below = WalkPage(child, level + 1, &key, walk, error);
      if (!error.empty()) return 0;
      if (!config_.NoKeyCounts && below != count) {
        error = where + "lower key count " + std::to_string(count) + " but " + std::to_string(below) + " keys below";
        return 0;
      }
      total += below;
    }
    return total;
  }

  std::string CheckLinks(const TWalk& walk) {
    for (std::size_t level = 0; level < walk.Levels.size(); ++level) {
      const auto& pages = walk.Levels[level];
      for (std::size_t i = 0; i < pages.size(); ++i) {
        TPinnedPage page = cursor_->FetchPage(pages[i]);
        std::int32_t left = i == 0 ? 0 : pages[i - 1];
        std::int32_t right = i + 1 == pages.size() ? 0 : pages[i + 1];
        if (page->LeftPageNumber != left || page->RightPageNumber != right)
          return "page " + std::to_string(pages[i]) + " is linked to " + std::to_string(page->LeftPageNumber) + "/" +
                 std::to_string(page->RightPageNumber) + " instead of " + std::to_string(left) + "/" +
                 std::to_string(right);
      }
    }
    return "";
  }

  std::string CheckFreeChain(const TWalk& walk) {
    std::int32_t ending = file_->GetNextEndingPageNumber(1);
    std::set<std::int32_t> free;
    std::int32_t number = file_->GetNextFreePageNumber(1);
    while (number != ending && number != 0) {
      if (!free.insert(number).second) return "free chain loops at " + std::to_string(number);
      if (walk.Pages.count(number) != 0) return "page " + std::to_string(number) + " is both free and in the tree";
      TPageBuffer* page = nullptr;
      if (!file_->GetPage(nullptr, 1, number, page)) return "free page unreadable";
      std::int32_t next = page->RightPageNumber;
      bool empty = page->KeyEntryCount == 0;
      file_->PutPage(page);
      if (!empty) return "free page " + std::to_string(number) + " holds entries";
      number = next;
    }
    std::size_t used = static_cast<std::size_t>(file_->GetPhysicalPagesUsed());
    if (walk.Pages.size() + free.size() != used)
      return "pages lost: " + std::to_string(used) + " in the file, " + std::to_string(walk.Pages.size()) +
             " in the tree, " + std::to_string(free.size()) + " free";
    return "";
  }

  std::string CheckNavigation() {
    const std::int32_t total = static_cast<std::int32_t>(reference_.size());
    if (cursor_->GetIndexKeyCount() != total) return "key count differs from the reference";
    if (!cursor_->GotoFirstIndexPosition()) return "first position failed";
    if (total == 0) return cursor_->Bof && cursor_->Eof ? "" : "an empty index has a position";
    // Forwards through every key with single steps.
    std::int32_t ordinal = 1;
    for (auto it = reference_.begin(); it != reference_.end(); ++it, ++ordinal) {
      if (it != reference_.begin() && !cursor_->SkipIndexKeys(1)) return "step failed";
      const std::uint8_t* key = cursor_->GetKeyEntryPtr();
      if (key == nullptr || std::memcmp(key, it->first.data(), it->first.size()) != 0 ||
          cursor_->GetPhysicalRecordNumber() != it->second)
        return "forward walk differs at ordinal " + std::to_string(ordinal);
      if (cursor_->CursorPosition != ordinal) return "cursor position wrong on the forward walk";
    }
    cursor_->SkipIndexKeys(1);
    if (!cursor_->Eof) return "no end after the last key";
    // Backwards from the end in steps of three.
    // Without key counts a descent cannot know the ordinal of the key it reaches.
    const bool counted = !config_.NoKeyCounts;
    if (!cursor_->GotoLastIndexPosition() || (counted && cursor_->CursorPosition != total)) return "last position wrong";
    std::vector<const std::string*> keys;
    for (auto& [key, record] : reference_) keys.push_back(&key);
    for (std::int32_t at = total; at > 3; at -= 3) {
      cursor_->SkipIndexKeys(-3);
      if ((counted && cursor_->CursorPosition != at - 3) || std::memcmp(cursor_->GetKeyEntryPtr(), keys[static_cast<std::size_t>(at - 4)]->data(), config_.KeySize) != 0)
        return "backward skip wrong at " + std::to_string(at - 3);
    }
    // Logical record numbers: the first, the last and a sample between.
    std::vector<std::int32_t> ordinals = {1, total};
    for (int i = 0; i < 40; ++i) ordinals.push_back(1 + static_cast<std::int32_t>(random_() % static_cast<std::uint32_t>(total)));
    for (std::int32_t n : ordinals) {
      bool exact = false;
      cursor_->GotoLogicalRecordNumber(n, &exact);
      if (!exact || cursor_->CursorPosition != n ||
          std::memcmp(cursor_->GetKeyEntryPtr(), keys[static_cast<std::size_t>(n - 1)]->data(), config_.KeySize) != 0)
        return "logical record number " + std::to_string(n) + " gives another key";
    }
    // Searches: present keys are found with their records, absent ones are not.
    for (int i = 0; i < 20; ++i) {
      auto it = Pick();
      if (!cursor_->VerifyIndexKey(Bytes(it->first), it->second)) return "present key not verified";
      std::string absent = NewKey();
      if (reference_.count(absent) == 0 && cursor_->SearchIndexKeys(Bytes(absent))) return "absent key found";
    }
    return "";
  }

  std::string Check() {
    TWalk walk;
    std::string error;
    std::int32_t root = file_->GetRootPageNumber(1);
    if (root == 0) {
      if (!reference_.empty()) return "no root but keys in the reference";
    } else {
      std::int64_t total = WalkPage(root, 1, nullptr, walk, error);
      MaxDepth = std::max(MaxDepth, walk.LeafDepth);
      MaxKeys = std::max(MaxKeys, reference_.size());
      MaxPages = std::max(MaxPages, walk.Pages.size());
      if (!error.empty()) return error;
      if (total != static_cast<std::int64_t>(reference_.size())) return "tree holds another number of keys";
      std::size_t i = 0;
      for (auto& [key, record] : reference_) {
        if (walk.Keys[i].first != key || walk.Keys[i].second != record)
          return "leaf order differs from the reference at key " + std::to_string(i + 1);
        ++i;
      }
      error = CheckLinks(walk);
      if (!error.empty()) return error;
    }
    error = CheckFreeChain(walk);
    if (!error.empty()) return error;
    return CheckNavigation();
  }

  std::size_t Size() const { return reference_.size(); }
  int MaxDepth = 0;
  std::size_t MaxKeys = 0;
  std::size_t MaxPages = 0;
  TBTreeIndexFile& File() { return *file_; }

 private:
  TConfig config_;
  std::mt19937 random_;
  TTestFolder folder_;
  TPlainIndexFileOwner owner_;
  std::unique_ptr<TBTreeIndexFile> file_;
  std::unique_ptr<TBTreeCursor> cursor_;
  std::multimap<std::string, std::int32_t, TKeyOrder> reference_{TKeyOrder{false}};
  std::uint32_t nextId_ = 1;
  std::int32_t nextRecord_ = 0;

 public:
  void SetOrder(bool descending) { reference_ = std::multimap<std::string, std::int32_t, TKeyOrder>(TKeyOrder{descending}); }
};

std::vector<TConfig> Matrix(std::mt19937& random) {
  static const std::uint16_t kSizes[] = {5, 9, 17, 40, 64, 120, 255, 300, 522};
  std::vector<TConfig> configs;
  for (int unique = 0; unique < 2; ++unique)
    for (int compression = 0; compression < 4; ++compression)
      for (int descending = 0; descending < 2; ++descending) {
        TConfig c;
        c.Unique = unique == 1;
        c.Compression = static_cast<std::uint8_t>(compression);
        c.Descending = descending == 1;
        c.KeySize = kSizes[random() % (sizeof kSizes / sizeof kSizes[0])];
        if (!c.Unique) c.KeySize = static_cast<std::uint16_t>(c.KeySize + 4);  // the record ID
        c.Encrypted = random() % 4 == 0;
        c.SmallCache = random() % 4 == 0;
        c.NoKeyCounts = random() % 6 == 0;
        configs.push_back(c);
      }
  return configs;
}

TEST(BTreeRandom, InsertsAndDeletesAgreeWithAnOrderedReference) {
  const std::uint64_t rounds = EnvNumber("KORVEL_BTREE_ROUNDS", 1);
  const bool verbose = EnvNumber("KORVEL_BTREE_VERBOSE", 0) != 0;
  const int ops = static_cast<int>(EnvNumber("KORVEL_BTREE_OPS", 2000));
  const std::uint32_t firstSeed = static_cast<std::uint32_t>(EnvNumber("KORVEL_BTREE_SEED", 20261208));
  for (std::uint64_t round = 0; round < rounds; ++round) {
    std::mt19937 matrixRandom(firstSeed + static_cast<std::uint32_t>(round));
    std::vector<TConfig> configs = Matrix(matrixRandom);
    for (std::size_t i = 0; i < configs.size(); ++i) {
      std::uint32_t seed = firstSeed + static_cast<std::uint32_t>(round * 1000 + i);
      const TConfig& config = configs[i];
      SCOPED_TRACE(Describe(config, seed));
      TTreeUnderTest tree(config, seed);
      tree.SetOrder(config.Descending);
      for (int op = 1; op <= ops; ++op) {
        tree.Step(op);
        if (op % 250 == 0) {
          std::string error = tree.Check();
          ASSERT_EQ(error, "") << "after operation " << op;
        }
        if (op % 700 == 0) tree.Reopen();
        if (::testing::Test::HasFailure()) return;
      }
      ASSERT_EQ(tree.Check(), "") << "at the end";
      tree.Reopen();
      ASSERT_EQ(tree.Check(), "") << "after reopening";
      tree.DeleteAll();
      ASSERT_EQ(tree.Check(), "") << "after deleting every key";
      EXPECT_EQ(tree.File().GetRootPageNumber(1), 0);
      if (verbose)
        std::printf("%s: %d levels, %zu keys and %zu pages at most\n", Describe(config, seed).c_str(), tree.MaxDepth,
                    tree.MaxKeys, tree.MaxPages);
    }
  }
}

}  // namespace
}  // namespace korvel
