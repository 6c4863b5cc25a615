// Flushing the index page cache: 10,000 random pages of three indexes are dirtied and flushed.
// The cache sorts the dirty pages and writes each run of consecutive page numbers with one
// write; the baseline writes the same pages, sorted, with one plain pwrite each. Both write to
// the same file in the same run; the figures are the median of five rounds.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/index_file.h"
#include "support/errors.h"

using namespace korvel;

namespace {

constexpr int kIndexes = 3;
constexpr std::int32_t kFilePages = 30000;  // 10,000 per index, interleaved
constexpr std::size_t kDirtyPages = 10000;
constexpr int kRounds = 5;

int SlotOfPage(std::int32_t page) { return 1 + (page - 1) % kIndexes; }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  char pattern[] = "/tmp/korvel-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string folder = std::string(pattern) + "/";
  const std::string path = folder + "bench.IDX";
  int status = 0;
  try {
    TPlainIndexFileOwner owner;
    owner.TableName = "bench";
    owner.Fields = {{"Key", 6, 0, 4}};
    owner.MaxTableIndexBufferSize = kFilePages * kIndexCacheBytesPerPage;  // every page fits

    TIndexFile file(&owner);
    file.FileName = path;
    file.CreateFile();
    file.AddPrimaryIndex(TIndexDefinition());
    for (int i = 1; i <= kIndexes; ++i) {
      TIndexDefinition d;
      d.IndexName = "Index" + std::to_string(i);
      d.KeyFieldCount = 1;
      d.KeyFields[0] = 1;
      d.KeySize = 9;
      file.AddSecondaryIndex(d);
    }
    for (std::int32_t n = 1; n <= kFilePages; ++n) {
      TPageBuffer* page = nullptr;
      file.GetNextFreePage(nullptr, SlotOfPage(n), page);
      if (page->PageNumber != n) throw std::runtime_error("unexpected page number");
      file.PutPage(page);
    }
    file.FlushPageBuffers(false);
    file.WriteHeader();

    int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) throw std::runtime_error("open failed");
    std::vector<std::uint8_t> plainPage(kIndexPageSize, 0x5A);

    std::vector<std::int32_t> all(kFilePages);
    for (std::int32_t n = 1; n <= kFilePages; ++n) all[static_cast<std::size_t>(n - 1)] = n;
    std::mt19937 rng(20240607);
    std::vector<double> dirtyMs, flushMs, plainMs;
    std::uint32_t cacheWrites = 0;
    std::size_t runs = 0;
    for (int round = 0; round < kRounds; ++round) {
      std::shuffle(all.begin(), all.end(), rng);
      std::vector<std::int32_t> chosen(all.begin(), all.begin() + kDirtyPages);  // random order

      auto start = std::chrono::steady_clock::now();
      for (std::int32_t n : chosen) {
        TPageBuffer* page = nullptr;
        file.GetPage(nullptr, SlotOfPage(n), n, page);
        page->GetPageDataPtr()[0] = static_cast<std::uint8_t>(round);
        page->SetModified();
        file.PutPage(page);
      }
      dirtyMs.push_back(MillisecondsSince(start));

      std::uint32_t before = file.GetWriteOperations();
      start = std::chrono::steady_clock::now();
      file.FlushPageBuffers(false);
      flushMs.push_back(MillisecondsSince(start));
      cacheWrites = file.GetWriteOperations() - before;

      std::vector<std::int32_t> sorted = chosen;
      std::sort(sorted.begin(), sorted.end());
      runs = 1;
      for (std::size_t i = 1; i < sorted.size(); ++i)
        if (sorted[i] != sorted[i - 1] + 1) ++runs;
      start = std::chrono::steady_clock::now();
      for (std::int32_t n : sorted) {
        if (::pwrite(fd, plainPage.data(), kIndexPageSize, static_cast<off_t>(n) * static_cast<off_t>(kIndexPageSize)) !=
            static_cast<ssize_t>(kIndexPageSize))
          throw std::runtime_error("pwrite failed");
      }
      plainMs.push_back(MillisecondsSince(start));
    }
    ::close(fd);
    file.CloseFile();

    double flush = Median(flushMs), plain = Median(plainMs);
    std::printf("index page cache flush: %zu random dirty pages of %d indexes in a %d-page file\n", kDirtyPages,
                kIndexes, kFilePages);
    std::printf("  dirtying (cached GetPage/PutPage)  %8.2f ms  (%.0f ns per page)\n", Median(dirtyMs),
                Median(dirtyMs) * 1e6 / kDirtyPages);
    std::printf("  KORVEL FlushPageBuffers            %8.2f ms  %6u writes (runs in the sorted set: %zu)\n", flush,
                cacheWrites, runs);
    std::printf("  plain pwrite per page, sorted      %8.2f ms  %6zu writes\n", plain, kDirtyPages);
    std::printf("  ratio plain / KORVEL: time %.2f, writes %.2f\n", plain / flush,
                static_cast<double>(kDirtyPages) / static_cast<double>(cacheWrites));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "index_cache_bench: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return status;
}
