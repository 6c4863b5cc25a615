// BLOB values written and read back through the BLOB file, beside plain pwrite/pread of the same
// value bytes in the same run (the physical limit): 10,000 values of 1 KiB and 100 of 1 MiB.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/blob_file.h"

using namespace korvel;

namespace {

class TBenchOwner : public TBlobFileOwner {
 public:
  std::string GetTableName() const override { return "bench"; }
  std::string GetProperDataDirectoryName() const override { return ""; }
  bool GetEncrypted() const override { return false; }
  std::int32_t GetMaxTableBlobBufferSize() const override { return 32768; }
  std::int32_t GetMaxTableBlobBufferCount() const override { return 8192; }
  bool GetForceBufferFlush() const override { return false; }
  bool GetExclusive() const override { return true; }
  bool GetTransactionInProgress() const override { return false; }
  bool GetHeadersWritten() const override { return written_; }
  void SetHeadersWritten() override { written_ = true; }
  bool IsReadLocked() const override { return true; }
  bool ReadLockTable(TDataCursor*) override { return true; }
  std::int32_t GetNextFreeBlobSignature() override { return ++signature_; }

 private:
  bool written_ = false;
  std::int32_t signature_ = 0;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct TResult {
  double Write = 0;
  double Read = 0;
};

TResult RunEngine(const std::string& path, std::int32_t blockSize, std::size_t count, std::size_t size,
                  const std::vector<unsigned char>& payload) {
  TBenchOwner owner;
  TBlobFile file(&owner);
  file.FileName = path;
  file.SetBlockSize(blockSize);
  file.CreateFile();
  file.WriteHeader(true);
  std::vector<std::pair<std::int32_t, std::int32_t>> chains(count);
  TResult r;
  auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    TBlobBuffer buffer(&file, nullptr);
    buffer.WriteAt(0, payload.data() + (i % 16), size);  // as the cursor puts a value
    buffer.BlobSignature = owner.GetNextFreeBlobSignature();
    buffer.Write();
    chains[i] = {buffer.FirstBlockNumber, buffer.BlobSignature};
  }
  file.FlushBlockBuffers();
  file.WriteHeader(false);
  r.Write = Seconds(start);
  file.CloseFile();
  file.OpenFile();  // cold cache
  start = std::chrono::steady_clock::now();
  std::size_t check = 0;
  for (std::size_t i = 0; i < count; ++i) {
    TBlobBuffer buffer(&file, nullptr);
    buffer.FirstBlockNumber = chains[i].first;
    buffer.BlobSignature = chains[i].second;
    buffer.Read();
    check += buffer.GetBuffer()[i % size];
  }
  r.Read = Seconds(start);
  if (check == 0) std::printf("(checksum 0)\n");
  file.CloseFile();
  return r;
}

TResult RunPlain(const std::string& path, std::size_t count, std::size_t size, const std::vector<unsigned char>& payload) {
  TResult r;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < count; ++i)
    if (pwrite(fd, payload.data() + (i % 16), size, static_cast<off_t>(i * size)) != static_cast<ssize_t>(size))
      std::perror("pwrite");
  r.Write = Seconds(start);
  std::vector<unsigned char> back(size);
  std::size_t check = 0;
  start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    if (pread(fd, back.data(), size, static_cast<off_t>(i * size)) != static_cast<ssize_t>(size)) std::perror("pread");
    check += back[i % size];
  }
  r.Read = Seconds(start);
  if (check == 0) std::printf("(checksum 0)\n");
  close(fd);
  return r;
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

constexpr int kRounds = 5;

// Each side runs kRounds times, alternating, on a fresh file each time; the median time counts, so
// that file-system warm-up and a busy neighbour do not decide the ratio.
void Report(const char* what, std::int32_t blockSize, std::size_t count, std::size_t size, const std::string& dir,
            const std::vector<unsigned char>& payload) {
  std::vector<double> plainWrite, plainRead, engineWrite, engineRead;
  for (int round = 0; round < kRounds; ++round) {
    std::filesystem::remove(dir + "/plain.bin");
    std::filesystem::remove(dir + "/values.BLB");
    TResult p = RunPlain(dir + "/plain.bin", count, size, payload);
    TResult e = RunEngine(dir + "/values.BLB", blockSize, count, size, payload);
    plainWrite.push_back(p.Write);
    plainRead.push_back(p.Read);
    engineWrite.push_back(e.Write);
    engineRead.push_back(e.Read);
  }
  double pw = Median(plainWrite), pr = Median(plainRead), ew = Median(engineWrite), er = Median(engineRead);
  std::printf("%-22s block %5d  write: korvel %8.1f ms  pwrite %8.1f ms  ratio %.2f\n", what, blockSize, ew * 1e3,
              pw * 1e3, ew / pw);
  std::printf("%-22s block %5d  read:  korvel %8.1f ms  pread  %8.1f ms  ratio %.2f\n", what, blockSize, er * 1e3,
              pr * 1e3, er / pr);
}

}  // namespace

int main() {
  std::string dir = std::filesystem::temp_directory_path() / ("korvel-blob-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::vector<unsigned char> payload(1024 * 1024 + 16);
  std::mt19937 rng(7);
  for (auto& b : payload) b = static_cast<unsigned char>(rng());
  for (std::int32_t blockSize : {512, 4096}) {
    Report("10,000 x 1 KiB", blockSize, 10000, 1024, dir, payload);
    Report("100 x 1 MiB", blockSize, 100, 1024 * 1024, dir, payload);
  }
  std::printf("(each time the median of %d interleaved rounds)\n", kRounds);
  std::filesystem::remove_all(dir);
  return 0;
}
