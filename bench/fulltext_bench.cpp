// The word index against SQLite's FTS5, same machine, same run, same data: N records (default
// 100,000) with a memo of about 100 words drawn from a vocabulary of 20,000 words with a Zipf
// distribution (exponent 1), under KORVEL's text index and in an FTS5 table.
//
//   load              appending every record with its memo (KORVEL: table opened exclusively;
//                     SQLite: one transaction of INSERTs into the FTS5 table)
//   rare word         1,000 searches of one word of rank 10,000 to 20,000
//   two common words  1,000 searches of two words among the 20 most frequent
//   prefix            1,000 searches of "abc*", the first three letters of a random word
//
// A KORVEL search is adding and activating a TEXTSEARCH filter, reading its record count and
// dropping it; an SQLite search is preparing, stepping and finalising SELECT count(*) ... MATCH.
// The two engines must find the same number of records for every search. Both get a 64 MB cache
// and files in a fresh temporary folder. Sizes: KORVEL's index file (which holds the word index,
// the primary and the record index) against the FTS5 index's blocks, and the whole of each.
//
//   fulltext_bench [records]

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "engine/table_maintenance.h"

using namespace korvel;

namespace {

using TClock = std::chrono::steady_clock;
constexpr std::int32_t kCacheBytes = 64 << 20;
constexpr int kVocabulary = 20000;
constexpr int kWordsPerRecord = 100;
constexpr int kSearches = 1000;

double Seconds(TClock::time_point start) { return std::chrono::duration<double>(TClock::now() - start).count(); }

// Distinct lower-case words of 3 to 9 letters, none of them a default stop word.
std::vector<std::string> MakeVocabulary(std::mt19937& random) {
  std::set<std::string> seen;
  for (const std::string& stop : GetDefaultTextIndexStopWords()) {
    std::string lower = stop;
    for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
    seen.insert(lower);
  }
  std::vector<std::string> words;
  while (static_cast<int>(words.size()) < kVocabulary) {
    std::string w(3 + random() % 7, 'a');
    for (char& c : w) c = static_cast<char>('a' + random() % 26);
    if (seen.insert(w).second) words.push_back(w);
  }
  return words;
}

std::vector<std::string> MakeTexts(int n, const std::vector<std::string>& vocabulary, std::mt19937& random) {
  // Zipf: rank r (from 1) has weight 1 / r.
  std::vector<double> weights(vocabulary.size());
  for (std::size_t r = 0; r < weights.size(); ++r) weights[r] = 1.0 / static_cast<double>(r + 1);
  std::discrete_distribution<int> zipf(weights.begin(), weights.end());
  std::vector<std::string> texts(static_cast<std::size_t>(n));
  for (std::string& text : texts) {
    const int words = kWordsPerRecord - 10 + static_cast<int>(random() % 21);
    for (int i = 0; i < words; ++i) {
      if (i > 0) text += ' ';
      text += vocabulary[static_cast<std::size_t>(zipf(random))];
    }
  }
  return texts;
}

struct TSearchSet {
  const char* Label;
  std::vector<std::string> Searches;
};

std::vector<TSearchSet> MakeSearches(const std::vector<std::string>& vocabulary, std::mt19937& random) {
  std::vector<TSearchSet> sets = {{"rare word", {}}, {"two common words", {}}, {"prefix", {}}};
  for (int i = 0; i < kSearches; ++i) {
    sets[0].Searches.push_back(vocabulary[10000 + random() % 10000]);
    sets[1].Searches.push_back(vocabulary[random() % 20] + " " + vocabulary[random() % 20]);
    sets[2].Searches.push_back(vocabulary[random() % vocabulary.size()].substr(0, 3) + "*");
  }
  return sets;
}

struct TFigures {
  double Load = 0;
  std::vector<double> Searches;
  std::vector<long long> Found;
  long long IndexBytes = 0;
  long long TotalBytes = 0;
};

long long FileSize(const std::filesystem::path& p) {
  std::error_code e;
  const auto n = std::filesystem::file_size(p, e);
  return e ? 0 : static_cast<long long>(n);
}

// ---------------------------------------------------------------------------------------------
// KORVEL

TFigures RunKorvel(const std::filesystem::path& folder, const std::vector<std::string>& texts,
                   const std::vector<TSearchSet>& sets) {
  TFigures f;
  TDataSession session(false);
  session.MaxTableDataBufferSize = kCacheBytes;
  session.MaxTableDataBufferCount = kCacheBytes / 64;
  session.MaxTableIndexBufferSize = kCacheBytes;
  TDataDirectory* directory = session.OpenDataDirectory("bench", folder.string());
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Body", dtBlob, 0, stMemo)};
  s.PrimaryIndex.KeyFieldCount = 1;
  s.PrimaryIndex.KeyFields[0] = 1;
  s.PrimaryIndex.KeySize = 5;
  s.PrimaryIndex.Unique = true;
  s.TextIndex.KeyFieldCount = 1;
  s.TextIndex.KeyFields[0] = 2;
  TDataCursor c(directory);
  c.SetTableName("docs");
  c.SetExclusive(true);
  TTableMaintenance(c).CreateTable(s);
  c.OpenCursor();
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  auto start = TClock::now();
  for (const std::string& text : texts) {
    c.InitRecord(r.data());
    std::int64_t size = 0;
    if (c.OpenBlob(2, r.data(), TBlobBuffer::omWrite, false, true, size) != 0 ||
        c.PutBlob(2, r.data(), false, static_cast<std::int64_t>(text.size()), text.data(), 0) != 0)
      std::abort();
    c.AppendRecord(r.data(), false);
  }
  c.CloseCursor();  // everything on disk, as a committed transaction is
  f.Load = Seconds(start);
  c.SetExclusive(false);
  c.OpenCursor();
  TFilterOptions options;
  for (const TSearchSet& set : sets) {
    long long found = 0;
    start = TClock::now();
    for (const std::string& words : set.Searches) {
      int h = c.AddFilter(nullptr, "TEXTSEARCH('" + words + "' IN Body)", nullptr, options);
      c.ActivateFilter(h);
      found += c.GetRecordCount();
      c.DropFilter(h);
    }
    f.Searches.push_back(Seconds(start));
    f.Found.push_back(found);
  }
  c.CloseCursor();
  f.IndexBytes = FileSize(folder / "docs.IDX");
  f.TotalBytes = f.IndexBytes + FileSize(folder / "docs.DAT") + FileSize(folder / "docs.BLB");
  return f;
}

// ---------------------------------------------------------------------------------------------
// SQLite FTS5

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    std::exit(1);
  }
}

long long QueryNumber(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) return -1;
  long long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  return n;
}

TFigures RunSqlite(const std::filesystem::path& file, const std::vector<std::string>& texts,
                   const std::vector<TSearchSet>& sets) {
  TFigures f;
  sqlite3* db = nullptr;
  if (sqlite3_open(file.string().c_str(), &db) != SQLITE_OK) std::abort();
  Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536;");
  Exec(db, "CREATE VIRTUAL TABLE docs USING fts5(body);");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO docs(body) VALUES (?)", -1, &insert, nullptr);
  auto start = TClock::now();
  Exec(db, "BEGIN");
  for (const std::string& text : texts) {
    sqlite3_bind_text(insert, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
  }
  Exec(db, "COMMIT");
  f.Load = Seconds(start);
  sqlite3_finalize(insert);
  sqlite3_stmt* search = nullptr;
  for (const TSearchSet& set : sets) {
    long long found = 0;
    start = TClock::now();
    for (const std::string& words : set.Searches) {
      sqlite3_prepare_v2(db, "SELECT count(*) FROM docs WHERE docs MATCH ?", -1, &search, nullptr);
      sqlite3_bind_text(search, 1, words.data(), static_cast<int>(words.size()), SQLITE_STATIC);
      if (sqlite3_step(search) == SQLITE_ROW) found += sqlite3_column_int64(search, 0);
      sqlite3_finalize(search);
    }
    f.Searches.push_back(Seconds(start));
    f.Found.push_back(found);
  }
  f.IndexBytes = QueryNumber(db, "SELECT sum(length(block)) FROM docs_data");
  Exec(db, "PRAGMA wal_checkpoint(TRUNCATE);");
  sqlite3_close(db);
  f.TotalBytes = FileSize(file);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(100, std::atoi(argv[1])) : 100000;
  std::mt19937 random(17);
  const std::vector<std::string> vocabulary = MakeVocabulary(random);
  const std::vector<std::string> texts = MakeTexts(n, vocabulary, random);
  const std::vector<TSearchSet> sets = MakeSearches(vocabulary, random);
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("korvel_fulltext_bench_" + std::to_string(getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  TFigures korvel = RunKorvel(folder, texts, sets);
  TFigures sqlite = RunSqlite(folder / "fts.db", texts, sets);
  std::filesystem::remove_all(folder);
  std::printf("fulltext_bench: %d records of about %d words (vocabulary %d, Zipf), seconds\n", n, kWordsPerRecord,
              kVocabulary);
  std::printf("%-26s %12s %12s %8s %14s\n", "", "KORVEL", "SQLite FTS5", "ratio", "records found");
  std::printf("%-26s %12.3f %12.3f %8.3f\n", "load", korvel.Load, sqlite.Load, korvel.Load / sqlite.Load);
  bool same = true;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const std::string label = std::to_string(kSearches) + " x " + sets[i].Label;
    std::printf("%-26s %12.3f %12.3f %8.3f %14lld\n", label.c_str(), korvel.Searches[i], sqlite.Searches[i],
                korvel.Searches[i] / sqlite.Searches[i], korvel.Found[i]);
    if (korvel.Found[i] != sqlite.Found[i]) {
      std::printf("  SQLite found %lld\n", sqlite.Found[i]);
      same = false;
    }
  }
  std::printf("%-26s %12.1f %12.1f %8.3f\n", "index MB", korvel.IndexBytes / 1e6, sqlite.IndexBytes / 1e6,
              static_cast<double>(korvel.IndexBytes) / static_cast<double>(sqlite.IndexBytes));
  std::printf("%-26s %12.1f %12.1f %8.3f\n", "all files MB", korvel.TotalBytes / 1e6, sqlite.TotalBytes / 1e6,
              static_cast<double>(korvel.TotalBytes) / static_cast<double>(sqlite.TotalBytes));
  if (!same) {
    std::printf("the two engines disagree on the results\n");
    return 1;
  }
  return 0;
}
