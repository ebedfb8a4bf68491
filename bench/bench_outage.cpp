// Recovery from an outage in the middle of a body, as a host sees it: reads
// of 64 KiB to the end of a URL whose server goes silent (or drops) part-way
// and then serves a range again. Prints one JSON line: the longest single
// read, and the time from the last byte before the outage to the first
// after it (the longest gap between two reads that brought bytes), both in
// milliseconds.
//
//   bench_outage URL
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "stream/stream_ops.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_outage URL\n");
    return 2;
  }
  const std::string url8 = argv[1];
  const std::u16string url(url8.begin(), url8.end());
  using Clock = std::chrono::steady_clock;
  const std::int32_t length = httpmedia::OpenStream(url.c_str());
  if (length <= 0) return 1;
  std::vector<char> buffer(65'536);
  double longestReadMs = 0;
  double longestGapMs = 0;
  std::int64_t total = 0;
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
    total += got;
  }
  httpmedia::CloseStream();
  std::printf("{\"bytes\": %lld, \"length\": %d, \"longest_read_ms\": %.1f, \"gap_ms\": %.1f}\n",
              static_cast<long long>(total), length, longestReadMs, longestGapMs);
  return total == length ? 0 : 1;
}
