// The word index through the cursor: keys kept by every edit (string and memo fields), the
// keys of a failed edit taken back, modifies that touch only the words that changed, the
// parameters kept by maintenance, and indexed TEXTSEARCH filters against record-by-record
// evaluation and against a simple reference.

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "engine/cursor_test_helpers.h"
#include "engine/data_cursor.h"
#include "engine/table_maintenance.h"
#include "support/language.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::CursorIndex;
using testing::TTestCursor;

// Fields: 1 ID (auto-increment), 2 Title (string of 80), 3 Body (memo), 4 Amount (integer).
TTableStructure DocsStructure(bool textIndexed, std::uint16_t language = 0) {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Title", dtString, 80),
              MakeField("Body", dtBlob, 0, stMemo), MakeField("Amount", dtInteger)};
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  s.LanguageID = language;
  if (textIndexed) {
    s.TextIndex.KeyFields[0] = 2;
    s.TextIndex.KeyFields[1] = 3;
    s.TextIndex.KeyFieldCount = 2;
  }
  return s;
}

struct TDoc {
  std::optional<std::string> Title, Body;
  std::int32_t Amount = 0;
};

// ---------------------------------------------------------------------------------------------
// The reference: default character sets and stop words, ASCII texts.

const std::set<std::string>& StopWords() {
  static const std::set<std::string> words = [] {
    std::vector<std::string> v = GetDefaultTextIndexStopWords();
    return std::set<std::string>(v.begin(), v.end());
  }();
  return words;
}

std::vector<std::string> RefWords(const std::string& text, bool wildcards) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (unsigned char c : text) {
    const bool star = wildcards && c == '*';
    const bool space = (c >= 1 && c <= 32) || (c >= '*' && c <= '/') || (c >= ':' && c <= '>') || c == '\\' || c == '`';
    if (space && !star) {
      if (inWord && !word.empty()) words.push_back(word);
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if ((std::isalnum(c) || c == '_' || star) && word.size() < 61) word.push_back(static_cast<char>(std::toupper(c)));
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool RefSearch(const std::string& search, const std::optional<std::string>& text) {
  std::vector<std::string> words = text ? RefWords(*text, false) : std::vector<std::string>{};
  for (const std::string& s : RefWords(search, true)) {
    bool matched = false;
    if (s.back() == '*') {
      const std::string prefix = s.substr(0, s.size() - 1);
      for (const std::string& w : words) matched = matched || w.compare(0, prefix.size(), prefix) == 0;
    } else {
      matched = StopWords().count(s) > 0 || std::find(words.begin(), words.end(), s) != words.end();
    }
    if (!matched) return false;
  }
  return true;
}

// (field, word, record ID) of every key the documents should have.
using TKeySet = std::multiset<std::tuple<int, std::string, std::int32_t, std::int32_t>>;

class TextIndexCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<TDataSession>(false);
    directory = session->OpenDataDirectory("test", folder.Path());
  }

  std::unique_ptr<TTestCursor> Create(const std::string& name, const TTableStructure& s) {
    auto c = std::make_unique<TTestCursor>(directory);
    c->SetTableName(name);
    c->SetExclusive(true);
    TTableMaintenance(*c).CreateTable(s);
    c->SetExclusive(false);
    c->OpenCursor();
    return c;
  }

  static void PutDoc(TDataCursor& c, std::uint8_t* r, const TDoc& doc, bool modifying) {
    if (doc.Title)
      c.PutField(2, r, doc.Title->c_str());
    else
      c.PutField(2, r, nullptr);
    c.PutField(4, r, &doc.Amount);
    std::int64_t size = 0;
    ASSERT_EQ(c.OpenBlob(3, r, TBlobBuffer::omReadWrite, false, true, size), 0);
    if (modifying) {
      ASSERT_EQ(c.TruncateBlob(3, r, false, 0), 0);
    }
    if (doc.Body) {
      ASSERT_EQ(c.PutBlob(3, r, false, static_cast<std::int64_t>(doc.Body->size()), doc.Body->data(), 0), 0);
    }
  }

  std::int32_t Append(TDataCursor& c, const TDoc& doc) {
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
    c.InitRecord(r.data());
    PutDoc(c, r.data(), doc, false);
    c.AppendRecord(r.data());
    return TDataCursor::GetRecordID(r.data());
  }

  // Positions on the record of ID `id` and reads it.
  static void Seek(TDataCursor& c, std::int32_t id, std::vector<std::uint8_t>& r) {
    r.assign(static_cast<std::size_t>(c.GetRecordSize()), 0);
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0)
      if (TDataCursor::GetRecordID(r.data()) == id) return;
    FAIL() << "no record " << id;
  }

  void Modify(TDataCursor& c, std::int32_t id, const TDoc& doc) {
    std::vector<std::uint8_t> r;
    Seek(c, id, r);
    PutDoc(c, r.data(), doc, true);
    c.ModifyRecord(r.data());
  }

  void Delete(TDataCursor& c, std::int32_t id) {
    std::vector<std::uint8_t> r;
    Seek(c, id, r);
    c.DeleteRecord(r.data());
  }

  // The keys of the word index as (field, word, ID, record number).
  static TKeySet Keys(TTestCursor& c) {
    TKeySet keys;
    TBTreeCursor tree;
    c.ConfigureTree(tree, kSysTextSlot);
    tree.GotoFirstIndexPosition();
    while (!tree.Bof && !tree.Eof) {
      const std::uint8_t* k = tree.GetKeyEntryPtr();
      EXPECT_EQ(k[0], 1);
      const char* word = reinterpret_cast<const char*>(k + 3);
      keys.insert({k[1] * 256 + k[2], std::string(word, strnlen(word, 61)), UnflipIntegerBits(k + 64),
                   tree.GetPhysicalRecordNumber()});
      tree.SkipIndexKeys(1);
    }
    return keys;
  }

  // What the documents should give: one key per distinct non-stop word per field, with the
  // record number taken from the table.
  static TKeySet Expected(TTestCursor& c, const std::map<std::int32_t, TDoc>& docs,
                          const std::set<std::string>& stop = StopWords()) {
    std::map<std::int32_t, std::int32_t> numbers;
    for (std::int32_t n = 1; n <= c.Table->GetPhysicalRecordsUsed(); ++n) {
      TRecord* r = nullptr;
      c.Table->GetRecord(nullptr, n, false, false, true, r);
      if (!r->GetIsDeleted()) numbers[r->GetRecordID()] = n;
      c.Table->PutRecord(r);
    }
    TKeySet keys;
    for (const auto& [id, doc] : docs) {
      int field = 2;
      for (const std::optional<std::string>& text : {doc.Title, doc.Body}) {
        std::set<std::string> words;
        if (text)
          for (const std::string& w : RefWords(*text, false))
            if (!stop.count(w)) words.insert(w);
        for (const std::string& w : words) keys.insert({field, w, id, numbers.at(id)});
        ++field;
      }
    }
    return keys;
  }

  std::vector<std::int32_t> Search(TDataCursor& c, const std::string& filter, TOptimizeLevel* level = nullptr) {
    int h = c.AddFilter(nullptr, filter, nullptr, {});
    c.ActivateFilter(h);
    if (level != nullptr) *level = c.GetFilterLevel(h);
    std::vector<std::int32_t> ids;
    std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) ids.push_back(TDataCursor::GetRecordID(r.data()));
    c.DropFilter(h);
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  testing::TTestFolder folder;
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

const std::vector<std::string> kVocabulary = {
    "red", "blue", "green", "Quick", "quiet", "quill", "brown", "fox", "foxes", "den", "the", "The", "a", "of",
    "this", "that", "those", "thimble", "x1", "x_2", "don't", "dog", "dogma", std::string(70, 'L'),
    std::string(61, 'L') + "m"};

std::string RandomText(std::mt19937& random, int maxWords) {
  static const char* separators[] = {" ", "  ", ", ", "-", "\t", ".", "\n"};
  std::string text;
  const int n = static_cast<int>(random() % static_cast<unsigned>(maxWords + 1));
  for (int i = 0; i < n; ++i) {
    if (i > 0) text += separators[random() % 7];
    text += kVocabulary[random() % kVocabulary.size()];
  }
  return text;
}

TDoc RandomDoc(std::mt19937& random) {
  TDoc doc;
  if (random() % 8 != 0) {
    // Titles are cut to their field's 80 characters and trimmed, and an empty one is NULL.
    std::string title = RandomText(random, 6).substr(0, 80);
    while (!title.empty() && static_cast<unsigned char>(title.back()) <= ' ') title.pop_back();
    if (!title.empty()) doc.Title = title;
  }
  if (random() % 4 != 0) doc.Body = RandomText(random, 40);
  doc.Amount = static_cast<std::int32_t>(random() % 100);
  return doc;
}

TEST_F(TextIndexCursorTest, EditsKeepTheWordKeysOfStringAndMemoFields) {
  auto c = Create("docs", DocsStructure(true));
  EXPECT_TRUE(c->HasTextIndex());
  EXPECT_TRUE(c->IsTextIndexed(2));
  EXPECT_TRUE(c->IsTextIndexed(3));
  EXPECT_FALSE(c->IsTextIndexed(4));
  std::mt19937 random(11);
  std::map<std::int32_t, TDoc> docs;
  for (int step = 0; step < 400; ++step) {
    const unsigned kind = docs.size() < 20 ? 0 : random() % 4;
    if (kind <= 1) {
      TDoc doc = RandomDoc(random);
      docs[Append(*c, doc)] = doc;
    } else {
      auto it = docs.begin();
      std::advance(it, static_cast<long>(random() % docs.size()));
      if (kind == 2) {
        TDoc doc = RandomDoc(random);
        if (random() % 3 == 0) doc.Body = it->second.Body;  // the memo left as it was
        Modify(*c, it->first, doc);
        it->second = doc;
      } else {
        Delete(*c, it->first);
        docs.erase(it);
      }
    }
    if (step % 100 == 99) {
      ASSERT_EQ(Keys(*c), Expected(*c, docs)) << "step " << step;
    }
  }
  // A 70-letter word is indexed under its first 61 letters.
  EXPECT_TRUE(std::any_of(docs.begin(), docs.end(), [](const auto& d) {
    return d.second.Body && d.second.Body->find(std::string(70, 'L')) != std::string::npos;
  }));
  for (const auto& [field, word, id, n] : Keys(*c)) EXPECT_LE(word.size(), 61u);
  EXPECT_EQ(testing::CheckIndexes(*c), "");
  // Another session sees the same keys in the files.
  c->CloseCursor();
  TDataSession other(false);
  TTestCursor reopened(other.OpenDataDirectory("test", folder.Path()));
  reopened.SetTableName("docs");
  reopened.OpenCursor();
  EXPECT_EQ(Keys(reopened), Expected(reopened, docs));
  std::vector<std::uint8_t> r(static_cast<std::size_t>(reopened.GetRecordSize()));
  reopened.SetToBegin();
  while (reopened.GetNextRecord(r.data()) == 0)
    EXPECT_TRUE(reopened.VerifyTextIndexes(r.data(), TDataCursor::GetRecordNo(r.data())));
}

// Sees the keys each modify adds and removes.
class TWatchingCursor : public TTestCursor {
 public:
  using TTestCursor::TTestCursor;
  std::vector<std::string> Added, Removed;
  bool Changed = false;

 protected:
  bool ModifyTextIndexes(const std::uint8_t* oldRecord, const std::uint8_t* newRecord, std::int32_t n) override {
    Changed = TTestCursor::ModifyTextIndexes(oldRecord, newRecord, n);
    Added = WordsOf(textChanges_.Added);
    Removed = WordsOf(textChanges_.Removed);
    return Changed;
  }

 private:
  static std::vector<std::string> WordsOf(const std::vector<std::uint8_t>& keys) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at + kTextKeySize <= keys.size(); at += kTextKeySize) {
      const char* w = reinterpret_cast<const char*>(keys.data() + at + 3);
      words.push_back(std::to_string(keys[at + 2]) + ":" + std::string(w, strnlen(w, 61)));
    }
    std::sort(words.begin(), words.end());
    return words;
  }
};

TEST_F(TextIndexCursorTest, AModifyTouchesOnlyTheWordsThatChanged) {
  Create("docs", DocsStructure(true))->CloseCursor();
  TWatchingCursor c(directory);
  c.SetTableName("docs");
  c.OpenCursor();
  const std::int32_t id = Append(c, {"red blue", "one two three", 1});
  Modify(c, id, {"blue green", "one two three", 1});
  EXPECT_TRUE(c.Changed);
  EXPECT_EQ(c.Added, (std::vector<std::string>{"2:GREEN"}));
  EXPECT_EQ(c.Removed, (std::vector<std::string>{"2:RED"}));
  // Repeated words and case changes are no change; stop words never had keys.
  Modify(c, id, {"Blue GREEN blue the", "THREE two One a", 1});
  EXPECT_FALSE(c.Changed);
  EXPECT_TRUE(c.Added.empty());
  EXPECT_TRUE(c.Removed.empty());
  // Only the memo changes.
  Modify(c, id, {"Blue GREEN blue the", "one two four", 1});
  EXPECT_EQ(c.Added, (std::vector<std::string>{"3:FOUR"}));
  EXPECT_EQ(c.Removed, (std::vector<std::string>{"3:THREE"}));
  // Neither text changes.
  Modify(c, id, {"Blue GREEN blue the", "one two four", 7});
  EXPECT_FALSE(c.Changed);
  // To NULL and back.
  Modify(c, id, {std::nullopt, std::nullopt, 7});
  EXPECT_EQ(c.Removed, (std::vector<std::string>{"2:BLUE", "2:GREEN", "3:FOUR", "3:ONE", "3:TWO"}));
  Modify(c, id, {"red", "", 7});
  EXPECT_EQ(c.Added, (std::vector<std::string>{"2:RED"}));
  std::map<std::int32_t, TDoc> docs{{id, {"red", "", 7}}};
  EXPECT_EQ(Keys(c), Expected(c, docs));
}

// Edits that fail at a chosen step after their checks.
class TFailingCursor : public TTestCursor {
 public:
  using TTestCursor::TTestCursor;
  int FailAt = -1;
  int Steps = 0;

 protected:
  void AfterEditStep(TEditStep step) override {
    if (step == TEditStep::KeysChecked) return;
    if (Steps++ == FailAt) RaiseError(KORVEL_WRITEERR, "", "", "", "docs");
  }
};

TEST_F(TextIndexCursorTest, AFailedEditTakesItsWordKeysBack) {
  for (int kind = 0; kind < 3; ++kind) {
    for (int failAt = 0;; ++failAt) {
      testing::TTestFolder local;
      TDataSession s(false);
      TDataDirectory* d = s.OpenDataDirectory("t", local.Path());
      {
        TDataCursor maker(d);
        maker.SetTableName("docs");
        maker.SetExclusive(true);
        TTableMaintenance(maker).CreateTable(DocsStructure(true));
      }
      TFailingCursor c(d);
      c.SetTableName("docs");
      c.OpenCursor();
      std::map<std::int32_t, TDoc> docs;
      for (int i = 0; i < 5; ++i) {
        TDoc doc{"red blue " + std::to_string(i), "quick brown fox number" + std::to_string(i), i};
        docs[Append(c, doc)] = doc;
      }
      c.Steps = 0;
      c.FailAt = failAt;
      bool failed = false;
      try {
        if (kind == 0) {
          Append(c, {"green", "entirely new words", 9});
        } else if (kind == 1) {
          Modify(c, 3, {"green blue", "slow brown dog", 9});
        } else {
          Delete(c, 3);
        }
      } catch (const EKORVELEngineError& e) {
        EXPECT_EQ(e.ErrorCode, KORVEL_WRITEERR);
        failed = true;
        c.CancelRecord();
      }
      c.FailAt = -1;
      if (!failed) break;
      ASSERT_EQ(Keys(c), Expected(c, docs)) << "kind " << kind << " step " << failAt;
      EXPECT_EQ(Search(c, "TEXTSEARCH('fox' IN Body)"), (std::vector<std::int32_t>{1, 2, 3, 4, 5}));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Indexed answers = evaluated answers = the reference

class TextSearchEquivalenceTest : public TextIndexCursorTest, public ::testing::WithParamInterface<std::uint16_t> {};

std::string RandomSearch(std::mt19937& random) {
  std::string search;
  const int n = 1 + static_cast<int>(random() % 3);
  for (int i = 0; i < n; ++i) {
    std::string word = kVocabulary[random() % kVocabulary.size()];
    switch (random() % 6) {
      case 0:  // a prefix, possibly empty
        word = word.substr(0, random() % (word.size() + 1)) + "*";
        break;
      case 1:
        word = "zebra";
        break;
      case 2:
        word = StopWords().size() > 0 ? "tHe" : word;
        break;
      default:
        break;
    }
    if (!search.empty()) search += random() % 2 ? " " : ", ";
    search += word;
  }
  return search;
}

TEST_P(TextSearchEquivalenceTest, IndexedAndEvaluatedSearchesAgreeWithTheReference) {
  const std::uint16_t language = GetParam();
  auto indexed = Create("indexed", DocsStructure(true, language));
  auto plain = Create("plain", DocsStructure(false, language));
  std::mt19937 random(language + 5);
  std::map<std::int32_t, TDoc> docs;
  for (int i = 0; i < 120; ++i) {
    TDoc doc = RandomDoc(random);
    const std::int32_t id = Append(*indexed, doc);
    ASSERT_EQ(Append(*plain, doc), id);
    docs[id] = doc;
  }
  for (int i = 0; i < 30; ++i) {  // the same edits on both
    auto it = docs.begin();
    std::advance(it, static_cast<long>(random() % docs.size()));
    const std::int32_t id = it->first;
    if (i % 3 == 0) {
      Delete(*indexed, id);
      Delete(*plain, id);
      docs.erase(it);
    } else {
      TDoc doc = RandomDoc(random);
      Modify(*indexed, id, doc);
      Modify(*plain, id, doc);
      it->second = doc;
    }
  }
  int indexedSearches = 0;
  for (int round = 0; round < 150; ++round) {
    const std::string search = RandomSearch(random);
    const bool onTitle = random() % 2 == 0;
    const std::string field = onTitle ? "Title" : "Body";
    std::vector<std::int32_t> expected;
    for (const auto& [id, doc] : docs)
      if (RefSearch(search, onTitle ? doc.Title : doc.Body)) expected.push_back(id);
    std::string quoted;
    for (char ch : search) quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
    const std::string filter = "TEXTSEARCH('" + quoted + "' IN " + field + ")";
    SCOPED_TRACE(filter);
    TOptimizeLevel level = olNone;
    EXPECT_EQ(Search(*indexed, filter, &level), expected);
    EXPECT_NE(level, olNone);
    if (level == olFull) ++indexedSearches;
    EXPECT_EQ(Search(*plain, filter, &level), expected);
    EXPECT_EQ(level, olNone);
    // The inversion and a combination with an indexed and an unindexed condition.
    std::vector<std::int32_t> rest;
    for (const auto& [id, doc] : docs)
      if (!std::binary_search(expected.begin(), expected.end(), id) && doc.Amount < 50) rest.push_back(id);
    EXPECT_EQ(Search(*indexed, filter + " = False AND Amount < 50"), rest);
    EXPECT_EQ(Search(*indexed, "NOT " + filter + " AND Amount < 50"), rest);
  }
  EXPECT_GT(indexedSearches, 50);
}

INSTANTIATE_TEST_SUITE_P(Languages, TextSearchEquivalenceTest, ::testing::Values(std::uint16_t{0}, OSLanguageID(7, 1)));

TEST_F(TextIndexCursorTest, StopWordsMatchEveryRecordAlsoThroughTheIndex) {
  auto c = Create("docs", DocsStructure(true));
  Append(*c, {"The quick-brown fox's den", std::nullopt, 1});
  Append(*c, {std::nullopt, "den den DEN", 2});
  Append(*c, {"nothing", "at all", 3});
  TOptimizeLevel level;
  EXPECT_EQ(Search(*c, "TEXTSEARCH('the' IN Title)", &level), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(level, olFull);
  EXPECT_EQ(Search(*c, "TEXTSEARCH(',' IN Title)"), (std::vector<std::int32_t>{1, 2, 3}));  // no word at all
  EXPECT_EQ(Search(*c, "TEXTSEARCH('the den' IN Title)"), (std::vector<std::int32_t>{1}));
  EXPECT_EQ(Search(*c, "TEXTSEARCH('qu* foxs' IN Title)", &level), (std::vector<std::int32_t>{1}));
  EXPECT_EQ(level, olFull);
  // "th*" also begins stop words, whose occurrences have no keys: evaluated record by record.
  EXPECT_EQ(Search(*c, "TEXTSEARCH('th*' IN Title)", &level), (std::vector<std::int32_t>{1}));
  EXPECT_EQ(level, olPartial);
  EXPECT_EQ(Search(*c, "TEXTOCCURS('den' IN Body) = 3"), (std::vector<std::int32_t>{2}));
  std::vector<std::uint8_t> r;
  Seek(*c, 2, r);
  EXPECT_EQ(c->TextOccurs(3, "den", r.data()), 3u);
  EXPECT_EQ(c->TextOccurs(3, "d*", r.data()), 3u);
  EXPECT_TRUE(c->TextSearch(2, "the", r.data()));  // NULL title: the stop word still matches
  EXPECT_FALSE(c->TextSearch(2, "den", r.data()));
  EXPECT_FALSE(c->TextSearch(4, "den", r.data()));  // no text field
}

// ---------------------------------------------------------------------------------------------
// Parameters

TTextIndexParams CustomParams() {
  TTextIndexParams p;
  p.StopWords = {"foo", "Bar"};
  p.IncludeChars = GetDefaultTextIndexIncludeChars();
  p.IncludeChars.set('-');
  p.SpaceChars = StringToCharSet(" ,.");
  return p;
}

TEST_F(TextIndexCursorTest, ParametersAreKeptByCreateEmptyOptimiseAndCopy) {
  TTableStructure s = DocsStructure(true);
  s.TextParams = CustomParams();
  auto c = Create("docs", s);
  EXPECT_EQ(c->GetTextIndexParams(), CustomParams());
  auto fill = [&](TDataCursor& cursor) {
    Append(cursor, {"quick-brown fox", "foo", 1});
    Append(cursor, {"quick brown", "bar none", 2});
  };
  auto check = [&](TTestCursor& cursor, const std::string& where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(cursor.GetTextIndexParams(), CustomParams());
    EXPECT_EQ(Search(cursor, "TEXTSEARCH('quick-brown' IN Title)"), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(Search(cursor, "TEXTSEARCH('quick' IN Title)"), (std::vector<std::int32_t>{2}));
    EXPECT_EQ(Search(cursor, "TEXTSEARCH('BAR foo' IN Body)"), (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(Search(cursor, "TEXTSEARCH('the' IN Body)"), std::vector<std::int32_t>{});
  };
  fill(*c);
  check(*c, "created");
  c->CloseCursor();
  c->SetExclusive(true);
  c->OpenCursor();
  TTableMaintenance(*c).EmptyTable();
  EXPECT_EQ(c->GetRecordCount(), 0);
  EXPECT_EQ(c->GetTextIndexParams(), CustomParams());
  fill(*c);
  check(*c, "emptied");
  c->CloseCursor();
  TTableMaintenance(*c).OptimizeTable("", true);
  c->OpenCursor();
  check(*c, "optimised");
  testing::TTestFolder other;
  TTableMaintenance(*c).CopyTable(other.Path(), "copy", true);
  c->CloseCursor();
  TTestCursor copy(session->OpenDataDirectory("other", other.Path()));
  copy.SetTableName("copy");
  copy.OpenCursor();
  check(copy, "copied");
  // A table made without parameters has the defaults.
  auto plain = Create("plain", DocsStructure(true));
  EXPECT_EQ(plain->GetTextIndexParams(), TTextIndexParams());
}

TEST_F(TextIndexCursorTest, NewParametersAndARebuildGiveTheKeysOfTheNewParameters) {
  auto c = Create("docs", DocsStructure(true));
  std::map<std::int32_t, TDoc> docs;
  std::mt19937 random(5);
  for (int i = 0; i < 60; ++i) {
    TDoc doc = RandomDoc(random);
    docs[Append(*c, doc)] = doc;
  }
  TTextIndexParams p;
  p.StopWords = {"RED", "fox"};
  c->SetTextIndexParams(p);
  c->CreateTextIndexes();
  EXPECT_EQ(Keys(*c), Expected(*c, docs, {"RED", "FOX"}));
  // "the" is an ordinary word now, "red" a stop word.
  std::vector<std::int32_t> withThe, all;
  for (const auto& [id, doc] : docs) {
    all.push_back(id);
    if (doc.Title) {
      const std::vector<std::string> words = RefWords(*doc.Title, false);
      if (std::find(words.begin(), words.end(), "THE") != words.end()) withThe.push_back(id);
    }
  }
  EXPECT_FALSE(withThe.empty());
  EXPECT_EQ(Search(*c, "TEXTSEARCH('the' IN Title)"), withThe);
  EXPECT_EQ(Search(*c, "TEXTSEARCH('red' IN Title)"), all);
  // Verification finds a missing key.
  std::vector<std::uint8_t> r;
  std::int32_t id = 0;
  for (const auto& [i, doc] : docs) {
    if (id != 0 || !doc.Title) continue;
    for (const std::string& w : RefWords(*doc.Title, false))
      if (w != "RED" && w != "FOX") id = i;
  }
  ASSERT_NE(id, 0);
  Seek(*c, id, r);
  EXPECT_TRUE(c->VerifyTextIndexes(r.data(), TDataCursor::GetRecordNo(r.data())));
  const TKeySet keys = Keys(*c);
  for (const auto& [field, word, keyId, n] : keys) {
    if (keyId != id) continue;
    std::uint8_t key[kTextKeySize];
    TTextIndex::BuildKey(static_cast<std::uint16_t>(field), word, keyId, key);
    TBTreeCursor tree;
    c->ConfigureTree(tree, kSysTextSlot);
    tree.RemoveIndexKey(key);
    break;
  }
  EXPECT_FALSE(c->VerifyTextIndexes(r.data(), TDataCursor::GetRecordNo(r.data())));
  // A rebuild mends it.
  c->CreateTextIndexes();
  EXPECT_TRUE(c->VerifyTextIndexes(r.data(), TDataCursor::GetRecordNo(r.data())));
}

TEST_F(TextIndexCursorTest, DamagedParametersAreReportedNotTrusted) {
  TTableStructure s = DocsStructure(true);
  s.TextParams = CustomParams();
  auto c = Create("docs", s);
  Append(*c, {"quick", "fox", 1});
  const std::int32_t page = c->Table->IndexFile->GetDataRootPageNumber(kSysTextSlot);
  ASSERT_GT(page, 0);
  c->CloseCursor();
  {
    // The block's length claims more bytes than the page chain holds.
    std::FILE* f = std::fopen((folder.Path() + "/docs.IDX").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(page) * 4096 + 13, SEEK_SET);
    const std::uint8_t bad[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    std::fwrite(bad, 1, 4, f);
    std::fclose(f);
  }
  TDataSession other(false);
  TTestCursor reopened(other.OpenDataDirectory("test", folder.Path()));
  reopened.SetTableName("docs");
  reopened.OpenCursor();
  try {
    reopened.GetTextIndex();
    FAIL() << "damaged parameters were read";
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INDEXCORRUPT);
  }
  EXPECT_THROW(Append(reopened, {"slow", "dog", 2}), EKORVELEngineError);
  // Nothing of the refused append stayed behind.
  EXPECT_EQ(reopened.GetRecordCount(), 1);
}

TEST_F(TextIndexCursorTest, TheDefinitionTakesOnlyStringAndMemoFieldsOnce) {
  auto codeOf = [&](TTableStructure s) {
    try {
      Create("bad", s);
    } catch (const EKORVELEngineError& e) {
      return static_cast<int>(e.ErrorCode);
    }
    return 0;
  };
  TTableStructure s = DocsStructure(true);
  s.TextIndex.KeyFields[1] = 4;  // an integer
  EXPECT_EQ(codeOf(s), KORVEL_SEARCHCOLREQD);
  s = DocsStructure(true);
  s.TextIndex.KeyFields[1] = 2;  // Title twice
  EXPECT_EQ(codeOf(s), KORVEL_INVALIDIDXDESC);
  s = DocsStructure(true);
  s.TextIndex.KeyFields[1] = 9;  // no such field
  EXPECT_EQ(codeOf(s), KORVEL_INVALIDIDXDESC);
}

}  // namespace
}  // namespace korvel
