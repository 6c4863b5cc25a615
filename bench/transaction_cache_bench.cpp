// The caches inside a transaction, where nothing may be flushed and every miss must grow the
// cache, against the same work outside one (where the cache flushes and recycles).
//
//   append   25,000 / 50,000 / 100,000 / 200,000 records of 98 bytes appended to the data file's cache
//   btree    100,000 keys of 8 bytes inserted into an index in random order
//
// Outside a transaction the record cache keeps its session limit and flushes as it fills, which
// is the peer line: a miss should cost the same whether or not a transaction holds the changes,
// so the two figures should grow alike with the size.
//
// Usage: transaction_cache_bench [folder]   (default: a fresh folder under /tmp)

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/btree_cursor.h"
#include "engine/data_file.h"
#include "engine/index_page.h"

using namespace korvel;

namespace {

constexpr int kRepeats = 3;

double Seconds(const std::function<void()>& prepare, const std::function<void()>& body) {
  double best = 1e300;
  for (int i = 0; i < kRepeats; ++i) {
    prepare();
    auto start = std::chrono::steady_clock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

std::vector<TFieldDefinition> Fields() {
  return {MakeField("Name", dtString, 40), MakeField("Count", dtInteger), MakeField("Amount", dtFloat),
          MakeField("Code", dtBytes, 32)};
}

double AppendSeconds(const std::string& folder, std::int32_t records, bool transaction) {
  TPlainDataFileOwner owner;
  owner.TableName = "bench";
  owner.DirectoryName = folder;
  owner.Exclusive = true;
  std::unique_ptr<TDataFile> file;
  return Seconds(
      [&] {
        file.reset();
        owner.TransactionInProgress = false;
        file = std::make_unique<TDataFile>(&owner);
        file->FileName = folder + "/bench.DAT";
        file->CreateDataFile(0, 0, 0, 0, false, "", "", 512, Fields());
        file->WriteHeader(true);
        file->WriteFields();
        owner.TransactionInProgress = transaction;
      },
      [&] {
        for (std::int32_t i = 0; i < records; ++i) {
          TRecord* r = nullptr;
          file->GetNextFreeRecord(nullptr, r);
          r->Initialize(true);
          r->Buffer()[9] = 1;
          r->Modified = true;
          file->PutRecord(r);
        }
      });
}

double BTreeSeconds(const std::string& folder, std::int32_t keys, bool transaction) {
  TPlainIndexFileOwner owner;
  owner.TableName = "bench";
  owner.DirectoryName = folder;
  std::unique_ptr<TBTreeIndexFile> file;
  std::unique_ptr<TBTreeCursor> cursor;
  std::vector<std::uint64_t> order(static_cast<std::size_t>(keys));
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  return Seconds(
      [&] {
        cursor.reset();
        file.reset();
        owner.TransactionInProgress = false;
        file = std::make_unique<TBTreeIndexFile>(&owner);
        file->FileName = folder + "/bench.IDX";
        file->CreateFile();
        TIndexDefinition d;
        d.IndexName = "Bench";
        d.KeySize = 8;
        d.Unique = true;
        file->SetIndexCount(1);
        file->SetIndexDefinition(1, d);
        file->WriteHeader(true);
        cursor = std::make_unique<TBTreeCursor>();
        cursor->SetIndex(file.get(), 1);
        owner.TransactionInProgress = transaction;
      },
      [&] {
        std::uint8_t key[8];
        for (std::uint64_t v : order) {
          for (int b = 0; b < 8; ++b) key[b] = static_cast<std::uint8_t>(v >> (56 - 8 * b));
          cursor->AddIndexKey(key, static_cast<std::int32_t>(v + 1));
        }
      });
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  if (argc > 1) {
    folder = argv[1];
  } else {
    char pattern[] = "/tmp/korvel-txbench-XXXXXX";
    folder = mkdtemp(pattern);
  }
  std::printf("%-34s %12s %12s %8s\n", "work", "transaction", "outside", "ratio");
  for (std::int32_t n : {25000, 50000, 100000, 200000}) {
    double inside = AppendSeconds(folder, n, true);
    double outside = AppendSeconds(folder, n, false);
    std::printf("append %-27d %10.4f s %10.4f s %8.2f\n", n, inside, outside, inside / outside);
  }
  double inside = BTreeSeconds(folder, 100000, true);
  double outside = BTreeSeconds(folder, 100000, false);
  std::printf("btree inserts %-20d %10.4f s %10.4f s %8.2f\n", 100000, inside, outside, inside / outside);
  if (argc <= 1) std::filesystem::remove_all(folder);
  return 0;
}
