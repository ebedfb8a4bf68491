// Recovery from an outage in the middle of a body, as a host sees it: reads
// of 64 KiB to the end of a URL whose server goes silent (or drops) part-way
// and then serves a range again. Prints one JSON line: the longest single
// read, and the time from the last byte before the outage to the first
// after it (the longest gap between two reads that brought bytes), both in
// milliseconds.
//
// With RATE, the URL is a live broadcast of numbered eight-byte words at
// RATE bytes per second (bench/broadcast_server.py), cut and joined again:
// the largest jump between two words that follow each other in the stream
// is the broadcast's time the join left out, from the cut to the first byte
// after it ("joined_gap_ms"), and the read ends at the broadcast's end.
//
//   bench_outage URL [RATE]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stream/stream_ops.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: bench_outage URL [RATE]\n");
    return 2;
  }
  const double rate = argc == 3 ? std::atof(argv[2]) : 0;
  const std::string url8 = argv[1];
  const std::u16string url(url8.begin(), url8.end());
  using Clock = std::chrono::steady_clock;
  const std::int32_t length = httpmedia::OpenStream(url.c_str());
  if (length <= 0) return 1;
  std::vector<char> buffer(65'536);
  double longestReadMs = 0;
  double longestGapMs = 0;
  std::int64_t total = 0;
  std::uint64_t lastWord = 0;
  std::uint64_t largestJump = 0;
  std::uint8_t partial[8];
  int partialBytes = 0;
  auto lastBytes = Clock::now();
  for (;;) {
    const auto start = Clock::now();
    const std::int32_t got = httpmedia::ReadStream(buffer.data(), 65'536);
    const auto end = Clock::now();
    longestReadMs =
        std::max(longestReadMs, std::chrono::duration<double, std::milli>(end - start).count());
    if (got <= 0) break;
    longestGapMs =
        std::max(longestGapMs, std::chrono::duration<double, std::milli>(end - lastBytes).count());
    lastBytes = end;
    // Words at their stream positions, a read's tail carried to the next.
    for (std::int32_t i = 0; rate > 0 && i < got; ++i) {
      partial[partialBytes++] = static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)]);
      if (partialBytes < 8) continue;
      partialBytes = 0;
      std::uint64_t word = 0;
      std::memcpy(&word, partial, 8);
      if (lastWord != 0 && word > lastWord + 1)
        largestJump = std::max(largestJump, word - lastWord);
      lastWord = word;
    }
    total += got;
  }
  httpmedia::CloseStream();
  if (rate > 0) {
    const double joinedGapMs =
        largestJump == 0 ? 0 : static_cast<double>(largestJump - 1) * 8 / rate * 1000;
    std::printf(
        "{\"bytes\": %lld, \"longest_read_ms\": %.1f, \"gap_ms\": %.1f, \"joined_gap_ms\": "
        "%.2f}\n",
        static_cast<long long>(total), longestReadMs, longestGapMs, joinedGapMs);
    return largestJump != 0 ? 0 : 1;
  }
  std::printf("{\"bytes\": %lld, \"length\": %d, \"longest_read_ms\": %.1f, \"gap_ms\": %.1f}\n",
              static_cast<long long>(total), length, longestReadMs, longestGapMs);
  return total == length ? 0 : 1;
}
