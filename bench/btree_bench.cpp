// B-tree index: 1,000,000 distinct 8-byte integer keys inserted in random order into a unique
// index, each looked up once (same order), then half of them deleted; and the same work in
// SQLite in the same run: a WITHOUT ROWID table whose primary key is the same 8 bytes as a BLOB
// (with the record number beside it, as an index leaf holds it), one transaction, prepared
// statements, the same key order. Both work on files in a fresh temporary folder with a page
// cache large enough for the whole index, no journal on disk and no syncing.
//
//   btree_bench [keys]

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/btree_cursor.h"
#include "engine/index_page.h"
#include "support/key_encoding.h"
#include "bench/bench_support.h"

using namespace korvel;
using namespace korvel::bench;

namespace {


struct TFigures {
  double Insert = 0;
  double Lookup = 0;
  double Delete = 0;
  double Commit = 0;
  long long PagesAfterInsert = 0;
  long long PagesAtEnd = 0;
  long long FreePagesAtEnd = 0;
};

constexpr int kCachePages = 16384;  // both engines: 16,384 pages of 4,096 bytes

TFigures RunKorvel(const std::string& folder, const std::vector<std::array<unsigned char, 8>>& keys) {
  TFigures f;
  TPlainIndexFileOwner owner;
  owner.TableName = "bench";
  owner.DirectoryName = folder;
  owner.MaxTableIndexBufferSize = kCachePages * kIndexCacheBytesPerPage;
  TBTreeIndexFile file(&owner);
  file.FileName = folder + "bench.IDX";
  file.CreateFile();
  TIndexDefinition d;
  d.IndexName = "Key";
  d.KeySize = 8;
  d.Unique = true;
  file.SetIndexCount(1);
  file.SetIndexDefinition(1, d);
  TBTreeCursor cursor;
  cursor.SetIndex(&file, 1);

  auto start = TClock::now();
  for (std::size_t i = 0; i < keys.size(); ++i) cursor.AddIndexKey(keys[i].data(), static_cast<std::int32_t>(i + 1));
  f.Insert = Seconds(start);
  f.PagesAfterInsert = file.GetPhysicalPagesUsed();

  start = TClock::now();
  std::size_t found = 0;
  for (const auto& key : keys) found += cursor.SearchIndexKeys(key.data()) ? 1 : 0;
  f.Lookup = Seconds(start);
  if (found != keys.size()) std::fprintf(stderr, "KORVEL found %zu of %zu keys\n", found, keys.size());

  start = TClock::now();
  for (std::size_t i = 0; i < keys.size() / 2; ++i) cursor.RemoveIndexKey(keys[i].data());
  f.Delete = Seconds(start);

  start = TClock::now();
  file.FlushPageBuffers(false);
  file.WriteHeader(true);
  file.CloseFile();
  f.Commit = Seconds(start);
  f.PagesAtEnd = file.GetPhysicalPagesUsed();
  // Free pages: walk the chain in a reopened file.
  TBTreeIndexFile reopened(&owner);
  reopened.FileName = file.FileName;
  reopened.OpenFile();
  std::int32_t ending = reopened.GetNextEndingPageNumber(1);
  for (std::int32_t n = reopened.GetNextFreePageNumber(1); n != 0 && n != ending;) {
    TPageBuffer* page = nullptr;
    reopened.GetPage(nullptr, 1, n, page);
    ++f.FreePagesAtEnd;
    n = page->RightPageNumber;
    reopened.PutPage(page);
  }
  TBTreeCursor check;
  check.SetIndex(&reopened, 1);
  long long left = check.GetIndexKeyCount();
  if (left != static_cast<long long>(keys.size() - keys.size() / 2))
    std::fprintf(stderr, "KORVEL holds %lld keys after the deletions\n", left);
  reopened.CloseFile();
  return f;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "SQLite %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

long long Pragma(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  Check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), db, sql);
  long long value = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  return value;
}

TFigures RunSqlite(const std::string& folder, const std::vector<std::array<unsigned char, 8>>& keys) {
  TFigures f;
  sqlite3* db = nullptr;
  Check(sqlite3_open((folder + "bench.sqlite").c_str(), &db), db, "open");
  std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=" + std::to_string(kCachePages) +
                      "; PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF;"
                      "CREATE TABLE t(k BLOB PRIMARY KEY, r INTEGER) WITHOUT ROWID;";
  Check(sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr), db, "setup");
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* remove = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO t(k, r) VALUES(?1, ?2)", -1, &insert, nullptr), db, "prepare");
  Check(sqlite3_prepare_v2(db, "SELECT r FROM t WHERE k = ?1", -1, &select, nullptr), db, "prepare");
  Check(sqlite3_prepare_v2(db, "DELETE FROM t WHERE k = ?1", -1, &remove, nullptr), db, "prepare");
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");

  auto start = TClock::now();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    sqlite3_bind_blob(insert, 1, keys[i].data(), 8, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(i + 1));
    Check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  f.Insert = Seconds(start);
  f.PagesAfterInsert = Pragma(db, "PRAGMA page_count");

  start = TClock::now();
  std::size_t found = 0;
  for (const auto& key : keys) {
    sqlite3_bind_blob(select, 1, key.data(), 8, SQLITE_STATIC);
    if (sqlite3_step(select) == SQLITE_ROW) ++found;
    sqlite3_reset(select);
  }
  f.Lookup = Seconds(start);
  if (found != keys.size()) std::fprintf(stderr, "SQLite found %zu of %zu keys\n", found, keys.size());

  start = TClock::now();
  for (std::size_t i = 0; i < keys.size() / 2; ++i) {
    sqlite3_bind_blob(remove, 1, keys[i].data(), 8, SQLITE_STATIC);
    Check(sqlite3_step(remove), db, "delete");
    sqlite3_reset(remove);
  }
  f.Delete = Seconds(start);

  start = TClock::now();
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  f.Commit = Seconds(start);
  f.PagesAtEnd = Pragma(db, "PRAGMA page_count");
  f.FreePagesAtEnd = Pragma(db, "PRAGMA freelist_count");
  sqlite3_finalize(insert);
  sqlite3_finalize(select);
  sqlite3_finalize(remove);
  sqlite3_close(db);
  return f;
}

void Row(const char* phase, double korvel, double sqlite, std::size_t operations) {
  std::printf("%-8s KORVEL %8.3f s (%6.0f ns/op)   SQLite %8.3f s (%6.0f ns/op)   SQLite/KORVEL %5.2f\n", phase, korvel,
              korvel * 1e9 / static_cast<double>(operations), sqlite, sqlite * 1e9 / static_cast<double>(operations),
              sqlite / korvel);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = argc > 1 ? static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10)) : 1000000;
  // Distinct 64-bit values (an odd multiplier is a bijection), in the order-preserving key form,
  // shuffled.
  std::vector<std::array<unsigned char, 8>> keys(count);
  for (std::size_t i = 0; i < count; ++i)
    FlipLargeIntBits(static_cast<std::int64_t>(i * 0x9E3779B97F4A7C15ull), keys[i].data());
  std::mt19937_64 random(20261208);
  std::shuffle(keys.begin(), keys.end(), random);

  char pattern[] = "/tmp/korvel-bench-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return 1;
  std::string folder = std::string(made) + "/";

  TFigures korvel = RunKorvel(folder, keys);
  TFigures sqlite = RunSqlite(folder, keys);
  std::filesystem::remove_all(folder);

  std::printf("B-tree, %zu distinct 8-byte keys in random order, unique index / WITHOUT ROWID primary key\n", count);
  Row("insert", korvel.Insert, sqlite.Insert, count);
  Row("lookup", korvel.Lookup, sqlite.Lookup, count);
  Row("delete", korvel.Delete, sqlite.Delete, count / 2);
  std::printf("%-8s KORVEL %8.3f s                 SQLite %8.3f s\n", "commit", korvel.Commit, sqlite.Commit);
  std::printf("pages    KORVEL %lld after inserting, %lld at the end (%lld free)   SQLite %lld after inserting, %lld at "
              "the end (%lld free)\n",
              korvel.PagesAfterInsert, korvel.PagesAtEnd, korvel.FreePagesAtEnd, sqlite.PagesAfterInsert,
              sqlite.PagesAtEnd, sqlite.FreePagesAtEnd);
  return 0;
}
