// Collation and key-encoding costs: nanoseconds per string comparison under each kind of
// language setting, and per key segment built. The byte-order baselines (memcmp, strcasecmp)
// run in the same process for scale.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/key_encoding.h"
#include "support/language.h"

using namespace korvel;

namespace {

volatile long long gSink = 0;

// Pairs of equal-length texts that differ only in their last character: the comparison has to
// walk the whole text, the worst and the common case of keys sharing a prefix.
std::vector<std::pair<std::string, std::string>> MakePairs(std::size_t length, std::size_t count) {
  std::mt19937 rng(17);
  const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ \xE4\xF6\xFC\xE9";
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::size_t i = 0; i < count; ++i) {
    std::string a;
    for (std::size_t k = 0; k < length; ++k) a += letters[rng() % (sizeof letters - 1)];
    std::string b = a;
    b.back() = b.back() == 'x' ? 'y' : 'x';
    pairs.emplace_back(a, b);
  }
  return pairs;
}

template <typename F>
double NsPerCall(std::size_t calls, F&& f) {
  // One warm-up pass, then the median of five timed passes.
  f(calls / 10 + 1);
  std::vector<double> times;
  for (int run = 0; run < 5; ++run) {
    auto start = std::chrono::steady_clock::now();
    f(calls);
    auto end = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::nano>(end - start).count() / static_cast<double>(calls));
  }
  std::sort(times.begin(), times.end());
  return times[2];
}

void CompareRow(const char* name, std::uint16_t language, std::uint16_t sort, bool insensitive,
                std::size_t length, std::size_t calls) {
  auto pairs = MakePairs(length, 1024);
  double ns = NsPerCall(calls, [&](std::size_t n) {
    long long acc = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const auto& p = pairs[i & 1023];
      acc += OSCompareStrings(language, sort, p.first.c_str(), insensitive, 0, p.second.c_str());
    }
    gSink = gSink + acc;
  });
  std::printf("  %-34s %3zu bytes  %9.1f ns/compare\n", name, length, ns);
}

void BaselineRow(const char* name, bool insensitive, std::size_t length, std::size_t calls) {
  auto pairs = MakePairs(length, 1024);
  double ns = NsPerCall(calls, [&](std::size_t n) {
    long long acc = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const auto& p = pairs[i & 1023];
      acc += insensitive ? strcasecmp(p.first.c_str(), p.second.c_str())
                         : std::memcmp(p.first.c_str(), p.second.c_str(), length + 1);
    }
    gSink = gSink + acc;
  });
  std::printf("  %-34s %3zu bytes  %9.1f ns/compare\n", name, length, ns);
}

}  // namespace

int main() {
  const std::uint16_t english = OSLanguageID(9, 1);
  const std::uint16_t german = OSLanguageID(7, 1);
  std::printf("String comparison (OSCompareStrings, texts differing in the last byte; median of 5 passes)\n");
  for (std::size_t length : {16u, 64u}) {
    CompareRow("language 0, case-sensitive", 0, 0, false, length, 4000000);
    BaselineRow("  baseline memcmp", false, length, 4000000);
    CompareRow("language 0, case-insensitive", 0, 0, true, length, 4000000);
    BaselineRow("  baseline strcasecmp", true, length, 4000000);
    CompareRow("English (USA)", english, 0, false, length, 400000);
    CompareRow("English (USA), case-insensitive", english, 0, true, length, 400000);
    CompareRow("German (Standard), phone book", german, SRT_GERMAN_PHONE_BOOK, false, length, 400000);
  }

  std::printf("Key encoding (PrepareDataForIndex, ascending)\n");
  unsigned char segment[64];
  std::vector<std::int32_t> ints(1024);
  std::vector<double> floats(1024);
  std::mt19937 rng(5);
  for (auto& v : ints) v = static_cast<std::int32_t>(rng());
  for (auto& v : floats) v = static_cast<double>(rng()) / 3.0 - 1e9;
  auto texts = MakePairs(30, 1024);
  struct Row {
    const char* name;
    std::uint8_t type;
    std::size_t size;
    bool insensitive;
  };
  for (Row row : {Row{"integer", dtInteger, 4, false}, Row{"float", dtFloat, 8, false},
                  Row{"string, 30 characters", dtString, 31, false},
                  Row{"string, 30 characters, upper-cased", dtString, 31, true}}) {
    double ns = NsPerCall(20000000, [&](std::size_t n) {
      long long acc = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const void* value = row.type == dtInteger ? static_cast<const void*>(&ints[i & 1023])
                            : row.type == dtFloat ? static_cast<const void*>(&floats[i & 1023])
                                                  : static_cast<const void*>(texts[i & 1023].first.c_str());
        segment[0] = 1;
        PrepareDataForIndex(row.type, row.size, value, segment, row.insensitive, false, 0, 0);
        acc += segment[1 + (i & 3)];
      }
      gSink = gSink + acc;
    });
    std::printf("  %-34s            %9.1f ns/key\n", row.name, ns);
  }
  return 0;
}
