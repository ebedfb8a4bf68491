// The engine's window over time: a host reads a throttled stream at a media
// rate, pauses, then reads on, while a sampler records where the host is,
// how far the download has got, and the lowest position the ring still
// holds.
//
//   bench_trace URL BYTES_PER_SECOND
//
// Prints CSV: seconds,position,download_end,window_floor,reading
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "stream/ring.h"
#include "stream/stream_ops.h"
#include "stream/stream_state.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadSize = 64 * 1024;
// Read, pause with the stream open, read again: the pause shows the
// download stopping at the read-ahead limit.
constexpr double kReadUntil = 8.0, kPauseUntil = 12.0, kEndAt = 18.0;
constexpr auto kSampleEvery = std::chrono::milliseconds(20);

struct Sample {
  double seconds;
  std::int64_t position, download_end, window_floor;
  bool reading;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_trace URL BYTES_PER_SECOND\n");
    return 64;
  }
  const std::string url = argv[1];
  const double rate = std::atof(argv[2]);
  const std::u16string url16(url.begin(), url.end());

  const Clock::time_point start = Clock::now();
  auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  if (httpmedia::OpenStream(url16.c_str()) <= 0) return 1;

  std::atomic<bool> reading{true}, done{false};
  std::vector<Sample> samples;
  std::thread sampler([&] {
    // Every field read here is an atomic of the engine's stream record.
    while (!done.load()) {
      samples.push_back({since(), httpmedia::Stream.Position.load(), httpmedia::DownloadEnd(),
                         httpmedia::WindowFloor(), reading.load()});
      std::this_thread::sleep_for(kSampleEvery);
    }
  });

  std::vector<char> buffer(kReadSize);
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kReadSize / rate));
  Clock::time_point next = Clock::now();
  while (since() < kEndAt) {
    const double now = since();
    if (now >= kReadUntil && now < kPauseUntil) {
      reading.store(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      next = Clock::now();
      continue;
    }
    reading.store(true);
    if (httpmedia::ReadStream(buffer.data(), kReadSize) <= 0) break;
    next += interval;
    std::this_thread::sleep_until(next);
  }
  done.store(true);
  sampler.join();
  httpmedia::CloseStream();

  std::printf("seconds,position,download_end,window_floor,reading\n");
  for (const Sample& s : samples) {
    std::printf("%.3f,%lld,%lld,%lld,%d\n", s.seconds, static_cast<long long>(s.position),
                static_cast<long long>(s.download_end), static_cast<long long>(s.window_floor),
                s.reading ? 1 : 0);
  }
  return 0;
}
