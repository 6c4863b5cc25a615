// The word index shared by processes: two processes append, modify and delete records with
// texts in a string and a memo field at the same time; afterwards the word index holds exactly
// the keys of the live records' words, and an indexed search finds what evaluation finds.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <tuple>

#include "engine/cursor_test_helpers.h"
#include "engine/table_maintenance.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"

namespace korvel {
namespace {

const char* kWords[] = {"alpha", "beta", "gamma", "delta", "the", "of", "omega", "sigma", "tau", "phi"};

TTableStructure Docs() {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Title", dtString, 40),
              MakeField("Body", dtBlob, 0, stMemo)};
  s.PrimaryIndex = testing::CursorIndex("", s.Fields, {1}, true);
  s.TextIndex.KeyFields[0] = 2;
  s.TextIndex.KeyFields[1] = 3;
  s.TextIndex.KeyFieldCount = 2;
  return s;
}

std::string Text(std::mt19937& random, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) text += std::string(i ? " " : "") + kWords[random() % 10];
  return text;
}

void Fill(TDataCursor& c, std::uint8_t* r, std::mt19937& random) {
  const std::string title = Text(random, 3);
  c.PutField(2, r, title.c_str());
  const std::string body = Text(random, 12);
  std::int64_t size = 0;
  // The memo may have been rewritten by the other process since the record was read: its code
  // is raised like any other and taken as contention by the caller.
  if (int code = c.OpenBlob(3, r, TBlobBuffer::omReadWrite, false, true, size); code != 0)
    RaiseError(static_cast<TErrorCode>(code), "", "", "", "docs");
  c.TruncateBlob(3, r, false, 0);
  c.PutBlob(3, r, false, static_cast<std::int64_t>(body.size()), body.data(), 0);
}

// Edits at random for `seconds`; 0 when nothing but lock contention got in the way.
int EditFor(const std::string& folder, unsigned seed, double seconds) {
  TDataSession session(false);
  session.SetLockRetries(200);
  session.SetLockWait(2);
  testing::TTestCursor c(session.OpenDataDirectory("p", testing::AnotherSpelling(folder)));
  c.SetTableName("docs");
  c.OpenCursor();
  c.SetIndexPos(kNoIndexPos);
  std::mt19937 random(seed);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    try {
      const unsigned kind = random() % 4;
      const std::int32_t count = c.GetRecordCount();
      if (kind <= 1 || count < 5) {
        c.InitRecord(r.data());
        Fill(c, r.data(), random);
        c.AppendRecord(r.data());
      } else if (c.SetToRecordNumber(1 + static_cast<std::int32_t>(random() % static_cast<unsigned>(count)))) {
        c.GetCurrentRecord(r.data());
        if (kind == 2) {
          Fill(c, r.data(), random);
          c.ModifyRecord(r.data());
        } else {
          c.DeleteRecord(r.data());
        }
      }
    } catch (const EKORVELEngineError& e) {
      c.CancelRecord();
      if (e.ErrorCode != KORVEL_LOCKTIMEOUT && e.ErrorCode != KORVEL_RECLOCKFAILED &&
          e.ErrorCode != KORVEL_KEYORRECDELETED && e.ErrorCode != KORVEL_NOCURRREC) {
        std::fprintf(stderr, "editor %u: %s\n", seed, e.what());
        return 2;
      }
    }
  }
  return 0;
}

TEST(TextIndexProcesses, TwoEditingProcessesLeaveExactlyTheWordsOfTheLiveRecords) {
  testing::TTestFolder folder;
  {
    TDataSession session(false);
    TDataCursor maker(session.OpenDataDirectory("m", folder.Path()));
    maker.SetTableName("docs");
    maker.SetExclusive(true);
    TTableMaintenance(maker).CreateTable(Docs());
  }
  const double seconds = std::getenv("KORVEL_LARGE_TESTS") != nullptr ? 20.0 : 1.5;
  pid_t other = fork();
  if (other == 0) _exit(EditFor(folder.Path(), 2, seconds));
  const int mine = EditFor(folder.Path(), 1, seconds);
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(mine, 0);

  TDataSession session(false);
  testing::TTestCursor c(session.OpenDataDirectory("v", folder.Path()));
  c.SetTableName("docs");
  c.OpenCursor();
  ASSERT_GT(c.GetRecordCount(), 0);
  std::multiset<std::tuple<std::uint16_t, std::string, std::int32_t, std::int32_t>> expected, found;
  const TTextIndex& index = c.GetTextIndex();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  std::map<std::string, std::set<std::int32_t>> titlesWith;
  c.SetIndexPos(kNoIndexPos);
  c.SetToBegin();
  while (c.GetNextRecord(r.data()) == 0) {
    const std::int32_t id = TDataCursor::GetRecordID(r.data());
    for (std::uint16_t field : {std::uint16_t{2}, std::uint16_t{3}}) {
      std::string text;
      TWordList words;
      if (!c.ReadFieldText(field, r.data(), text)) continue;
      index.CreateWordsList(text.data(), text.size(), false, words);
      for (const TWord& w : words) {
        if (field == 2) titlesWith[w.Upper].insert(id);
        if (!index.IsStopWord(w.Upper)) expected.insert({field, w.Upper, id, TDataCursor::GetRecordNo(r.data())});
      }
    }
  }
  TBTreeCursor tree;
  c.ConfigureTree(tree, kSysTextSlot);
  tree.GotoFirstIndexPosition();
  while (!tree.Bof && !tree.Eof) {
    const std::uint8_t* k = tree.GetKeyEntryPtr();
    const char* word = reinterpret_cast<const char*>(k + 3);
    found.insert({static_cast<std::uint16_t>(k[1] * 256 + k[2]), std::string(word, strnlen(word, 61)),
                  UnflipIntegerBits(k + 64), tree.GetPhysicalRecordNumber()});
    tree.SkipIndexKeys(1);
  }
  EXPECT_EQ(found.size(), expected.size());
  EXPECT_TRUE(found == expected);
  // An indexed search finds the records whose titles hold the word.
  const int h = c.AddFilter(nullptr, "TEXTSEARCH('gamma' IN Title)", nullptr, {});
  c.ActivateFilter(h);
  EXPECT_EQ(c.GetFilterLevel(h), olFull);
  std::set<std::int32_t> ids;
  c.SetToBegin();
  while (c.GetNextRecord(r.data()) == 0) ids.insert(TDataCursor::GetRecordID(r.data()));
  EXPECT_EQ(ids, titlesWith["GAMMA"]);
}

}  // namespace
}  // namespace korvel
