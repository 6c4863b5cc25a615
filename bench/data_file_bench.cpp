// The data file's record cache against plain pwrite/pread of the same bytes in the same run.
//
//   append      1,000,000 records of 98 bytes through the cache, one flush at the end
//   sequential  the records read back in order from a cold cache (read-ahead on)
//   random      100,000 random record numbers (no read-ahead)
//
// The peer does the same I/O with the same request sizes the cache issues under the session's
// default limits (runs of 16,384 bytes written, 8,192 bytes read ahead, one record at random),
// touching the same bytes; a second peer line uses 1 MiB requests for reference. Both read from
// the operating system's page cache (the engine's own cache is what starts cold).
//
// Usage: data_file_bench [folder]   (default: a fresh folder under /tmp)

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/data_file.h"

using namespace korvel;

namespace {

// KORVEL_BENCH_RECORDS sets a smaller size for quick runs.
const std::int32_t kRecords = [] {
  const char* v = std::getenv("KORVEL_BENCH_RECORDS");
  return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : 1000000;
}();
constexpr std::int32_t kRandomReads = 100000;
constexpr int kRepeats = 7;

double Elapsed(const std::function<void()>& body) {
  auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Runs the bodies one after the other, kRepeats rounds, and returns each body's median time: the
// engine and its peers share every moment of the run, so a busy neighbour slows all of them.
std::vector<double> Interleaved(const std::vector<std::function<void()>>& bodies) {
  std::vector<std::vector<double>> times(bodies.size());
  for (int round = 0; round < kRepeats; ++round)
    for (std::size_t i = 0; i < bodies.size(); ++i) times[i].push_back(Elapsed(bodies[i]));
  std::vector<double> medians;
  for (auto& t : times) medians.push_back(Median(t));
  return medians;
}

std::vector<TFieldDefinition> Fields() {
  // 9 + 42 + 5 + 9 + 33 = 98 bytes per record.
  return {MakeField("Name", dtString, 40), MakeField("Count", dtInteger), MakeField("Amount", dtFloat),
          MakeField("Code", dtBytes, 32)};
}

void FillRecord(std::uint8_t* b, std::int32_t n) {
  b[9] = 1;
  std::snprintf(reinterpret_cast<char*>(b + 10), 41, "customer number %d", n);
  b[51] = 1;
  std::memcpy(b + 52, &n, 4);
  b[56] = 1;
  double amount = n * 0.5;
  std::memcpy(b + 57, &amount, 8);
  b[65] = 1;
  std::memset(b + 66, static_cast<int>(n & 0xFF), 32);
}

void Report(const char* what, double engine, double peer, double peerLarge, std::int64_t bytes) {
  double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%-11s korvel %8.1f ms (%7.0f MB/s)   pwrite/pread %8.1f ms   ratio %.2f   [1 MiB requests %8.1f ms, ratio %.2f]\n",
              what, engine * 1e3, mb / engine, peer * 1e3, engine / peer, peerLarge * 1e3, engine / peerLarge);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  bool made = false;
  if (argc > 1) {
    dir = argv[1];
  } else {
    char pattern[] = "/tmp/korvel-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    dir = pattern;
    made = true;
  }
  const std::string tablePath = dir + "/bench.DAT";
  const std::string peerPath = dir + "/peer.bin";
  TPlainDataFileOwner owner;
  owner.TableName = "bench";
  owner.Exclusive = true;

  const std::int32_t recordSize = 98;
  const std::int64_t area = 127 + 4 * 768;
  std::uint64_t sink = 0;
  const std::int64_t bytes = static_cast<std::int64_t>(kRecords) * recordSize;
  // The records' bytes, made once: both sides store the same prepared records.
  std::vector<std::uint8_t> image(static_cast<std::size_t>(bytes));
  for (std::int32_t n = 1; n <= kRecords; ++n) {
    std::uint8_t* b = image.data() + static_cast<std::size_t>(n - 1) * recordSize;
    std::memcpy(b + 1, &n, 4);
    std::memcpy(b + 5, &n, 4);
    FillRecord(b, n);
  }

  // --- append ---
  auto append = [&] {
    TDataFile file(&owner);
    file.FileName = tablePath;
    file.CreateDataFile(0, 0, 0, 0, false, "", "", 512, Fields());
    file.WriteHeader(false);
    file.WriteFields();
    for (std::int32_t n = 1; n <= kRecords; ++n) {
      TRecord* r = nullptr;
      file.GetRecord(nullptr, n, false, false, true, r);  // an appended record comes cleared
      r->SetRecordID(file.GetNextFreeRecordID());  // as the cursor's append: the ID, then the fields
      r->CopyRecordBuffer(image.data() + static_cast<std::size_t>(n - 1) * recordSize);
      file.PutRecord(r);
    }
    file.FlushRecordBuffers();
    file.WriteHeader(false);
    if (file.GetRecordSize() != recordSize || file.RecordAreaOffset() != area) std::abort();
  };
  const std::int32_t cached = 16384 / recordSize;          // records per flushed run
  const std::int32_t readAhead = 8192 / recordSize;        // records per read-ahead run
  auto peerWrite = [&](std::size_t chunk) {
    return [&, chunk] {
      int fd = open(peerPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      std::vector<std::uint8_t> staging(chunk);
      for (std::int64_t at = 0; at < bytes; at += static_cast<std::int64_t>(chunk)) {
        std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(chunk), bytes - at));
        std::memcpy(staging.data(), image.data() + at, n);  // the bytes are assembled, as the cache does
        if (pwrite(fd, staging.data(), n, area + at) != static_cast<ssize_t>(n)) std::abort();
      }
      close(fd);
    };
  };
  auto appendTimes = Interleaved({append, peerWrite(static_cast<std::size_t>(cached) * recordSize), peerWrite(1 << 20)});
  Report("append", appendTimes[0], appendTimes[1], appendTimes[2], bytes);

  // --- sequential read from a cold cache ---
  auto sequential = [&] {
    TDataFile file(&owner);
    file.FileName = tablePath;
    file.OpenFile();
    for (std::int32_t n = 1; n <= kRecords; ++n) {
      TRecord* r = nullptr;
      file.GetRecord(nullptr, n, true, false, true, r);
      sink += r->Buffer()[52];
      file.PutRecord(r);
    }
  };
  auto peerRead = [&](std::size_t chunk) {
    return [&, chunk] {
      int fd = open(tablePath.c_str(), O_RDONLY);
      std::vector<std::uint8_t> buffer(chunk);
      for (std::int64_t at = 0; at < bytes; at += static_cast<std::int64_t>(chunk)) {
        std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(chunk), bytes - at));
        if (pread(fd, buffer.data(), n, area + at) != static_cast<ssize_t>(n)) std::abort();
        for (std::size_t k = 52; k < n; k += recordSize) sink += buffer[k];
      }
      close(fd);
    };
  };
  auto sequentialTimes =
      Interleaved({sequential, peerRead(static_cast<std::size_t>(readAhead) * recordSize), peerRead(1 << 20)});
  Report("sequential", sequentialTimes[0], sequentialTimes[1], sequentialTimes[2], bytes);

  // --- random reads ---
  std::vector<std::int32_t> numbers(kRandomReads);
  std::mt19937 random(42);
  for (auto& n : numbers) n = static_cast<std::int32_t>(random() % kRecords) + 1;
  auto randomEngine = [&] {
    TDataFile file(&owner);
    file.FileName = tablePath;
    file.OpenFile();
    for (std::int32_t n : numbers) {
      TRecord* r = nullptr;
      file.GetRecord(nullptr, n, false, false, true, r);
      sink += r->Buffer()[52];
      file.PutRecord(r);
    }
  };
  auto randomPeer = [&] {
    int fd = open(tablePath.c_str(), O_RDONLY);
    std::vector<std::uint8_t> buffer(recordSize);
    for (std::int32_t n : numbers) {
      if (pread(fd, buffer.data(), recordSize, area + static_cast<std::int64_t>(n - 1) * recordSize) != recordSize)
        std::abort();
      sink += buffer[52];
    }
    close(fd);
  };
  auto randomTimes = Interleaved({randomEngine, randomPeer});
  std::int64_t randomBytes = static_cast<std::int64_t>(kRandomReads) * recordSize;
  Report("random", randomTimes[0], randomTimes[1], randomTimes[1], randomBytes);
  std::printf("(%d records of %d bytes; each time the median of %d interleaved rounds; checksum %llu)\n", kRecords, recordSize, kRepeats,
              static_cast<unsigned long long>(sink % 1000));

  std::filesystem::remove(tablePath);
  std::filesystem::remove(peerPath);
  if (made) std::filesystem::remove(dir);
  return 0;
}
