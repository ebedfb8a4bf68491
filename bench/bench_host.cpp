// A host of the plug-in for the benchmarks: it loads the library the way
// httpmedia-cat does and drives one workload, then prints one JSON object.
//
//   bench_host PLUGIN loaded
//   bench_host PLUGIN greedy URL READ_SIZE
//   bench_host PLUGIN opens URL COUNT
//   bench_host PLUGIN idle URL SECONDS
//   bench_host PLUGIN paced URL BYTES_PER_SECOND SECONDS READ_SIZE
//   bench_host PLUGIN seeks URL COUNT STEP
//   bench_host PLUGIN resume URL
//
// Every workload reports the process's peak resident set ("maxrss_kb").
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "plugin_loader.h"

namespace {

using Clock = std::chrono::steady_clock;
using httpmedia::tools::PluginFunctions;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// User and system CPU seconds of every thread of the process so far.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process's peak resident set in kB. Not getrusage's ru_maxrss: that
// one keeps the parent's peak across fork and exec, hiding a small host.
long MaxRssKb() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
  }
  std::fclose(status);
  return kb;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

const HttpMediaChar* Url(const std::u16string& url) {
  return reinterpret_cast<const HttpMediaChar*>(url.c_str());
}

std::string List(const std::vector<double>& values) {
  std::string text = "[";
  for (double v : values) text += (text.size() > 1 ? ", " : "") + std::to_string(v);
  return text + "]";
}

// Seconds on CLOCK_MONOTONIC, the clock a benchmark's other processes (the
// delay proxy's drops) are stamped with.
double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

int Greedy(const PluginFunctions& plugin, const std::string& url, int read_size) {
  const std::u16string url16 = Wide(url);
  std::vector<char> buffer(static_cast<std::size_t>(read_size));
  const double cpu_start = CpuSeconds();
  const Clock::time_point start = Clock::now();
  const std::int32_t length = plugin.open(Url(url16));
  if (length <= 0) return 1;
  long long total = 0;
  for (;;) {
    const std::int32_t got = plugin.read(buffer.data(), read_size);
    if (got <= 0) break;
    total += got;
  }
  const double seconds = Since(start);
  plugin.close();
  std::printf(
      "{\"bytes\": %lld, \"length\": %d, \"seconds\": %.6f, \"cpu\": %.4f, "
      "\"maxrss_kb\": %ld}\n",
      total, length, seconds, CpuSeconds() - cpu_start, MaxRssKb());
  return total == length ? 0 : 1;
}

// Each open timed from the call to its return, and to the return of a first
// one-byte read; then the close timed.
int Opens(const PluginFunctions& plugin, const std::string& url, int count) {
  const std::u16string url16 = Wide(url);
  std::vector<double> open_ms, first_byte_ms, close_ms;
  char byte = 0;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    if (plugin.open(Url(url16)) <= 0) return 1;
    open_ms.push_back(Since(start) * 1e3);
    if (plugin.read(&byte, 1) != 1) return 1;
    first_byte_ms.push_back(Since(start) * 1e3);
    const Clock::time_point closing = Clock::now();
    plugin.close();
    close_ms.push_back(Since(closing) * 1e3);
  }
  std::printf("{\"open_ms\": %s, \"first_byte_ms\": %s, \"close_ms\": %s, \"maxrss_kb\": %ld}\n",
              List(open_ms).c_str(), List(first_byte_ms).c_str(), List(close_ms).c_str(),
              MaxRssKb());
  return 0;
}

// An open stream nobody reads: after a second for the read-ahead to fill,
// only the download's polling is left to cost anything.
int Idle(const PluginFunctions& plugin, const std::string& url, double seconds) {
  const std::u16string url16 = Wide(url);
  if (plugin.open(Url(url16)) <= 0) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double cpu_start = CpuSeconds();
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = CpuSeconds() - cpu_start, wall = Since(start);
  plugin.close();
  std::printf("{\"cpu\": %.4f, \"wall\": %.4f, \"maxrss_kb\": %ld}\n", cpu, wall, MaxRssKb());
  return 0;
}

// Reads at a media rate on a fixed schedule, as a player's decoder pulls.
int Paced(const PluginFunctions& plugin, const std::string& url, double rate, double seconds,
          int read_size) {
  const std::u16string url16 = Wide(url);
  std::vector<char> buffer(static_cast<std::size_t>(read_size));
  const double cpu_start = CpuSeconds();
  const Clock::time_point start = Clock::now();
  if (plugin.open(Url(url16)) <= 0) return 1;
  long long total = 0;
  const auto interval = std::chrono::duration<double>(read_size / rate);
  Clock::time_point next = Clock::now();
  int late = 0;
  while (Since(start) < seconds) {
    const std::int32_t got = plugin.read(buffer.data(), read_size);
    if (got <= 0) break;
    total += got;
    next += std::chrono::duration_cast<Clock::duration>(interval);
    if (Clock::now() > next) ++late;
    std::this_thread::sleep_until(next);
  }
  const double cpu = CpuSeconds() - cpu_start, wall = Since(start);
  plugin.close();
  std::printf(
      "{\"bytes\": %lld, \"cpu\": %.4f, \"wall\": %.4f, \"late_reads\": %d, "
      "\"maxrss_kb\": %ld}\n",
      total, cpu, wall, late, MaxRssKb());
  return 0;
}

// Seeks outside the ring: after the stream is under way, COUNT absolute
// seeks each STEP bytes further on, each timed from the call to the return of
// a one-byte read there. The pause before each lets the read-ahead run, as
// a player's would between a user's jumps.
int Seeks(const PluginFunctions& plugin, const std::string& url, int count, std::int32_t step) {
  const std::u16string url16 = Wide(url);
  char byte = 0;
  if (plugin.open(Url(url16)) <= 0) return 1;
  if (plugin.read(&byte, 1) != 1) return 1;
  std::vector<double> seek_ms;
  for (int i = 1; i <= count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Clock::time_point start = Clock::now();
    if (plugin.seek(step * i, 0) != 0) return 1;
    if (plugin.read(&byte, 1) != 1) return 1;
    seek_ms.push_back(Since(start) * 1e3);
  }
  plugin.close();
  std::printf("{\"seek_ms\": %s, \"maxrss_kb\": %ld}\n", List(seek_ms).c_str(), MaxRssKb());
  return 0;
}

// Reads the whole stream greedily and reports every read that waited for the
// network: [position, start, end] with the times on CLOCK_MONOTONIC. A link
// cut under the stream shows as the longest of them.
int Resume(const PluginFunctions& plugin, const std::string& url) {
  const std::u16string url16 = Wide(url);
  constexpr int kReadSize = 64 * 1024;
  std::vector<char> buffer(kReadSize);
  const std::int32_t length = plugin.open(Url(url16));
  if (length <= 0) return 1;
  long long total = 0;
  std::string stalls = "[";
  for (;;) {
    const double start = MonotonicSeconds();
    const std::int32_t got = plugin.read(buffer.data(), kReadSize);
    const double end = MonotonicSeconds();
    if (got <= 0) break;
    if (end - start > 0.005) {
      char stall[96];
      std::snprintf(stall, sizeof stall, "%s[%lld, %.6f, %.6f]", stalls.size() > 1 ? ", " : "",
                    total, start, end);
      stalls += stall;
    }
    total += got;
  }
  plugin.close();
  std::printf("{\"bytes\": %lld, \"stalls\": %s], \"maxrss_kb\": %ld}\n", total, stalls.c_str(),
              MaxRssKb());
  return total == length ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_host PLUGIN MODE ARGS...\n");
    return 64;
  }
  std::string error;
  auto plugin = httpmedia::tools::LoadPlugin(argv[1], &error);
  if (!plugin) {
    std::fprintf(stderr, "bench_host: %s\n", error.c_str());
    return 1;
  }
  const PluginFunctions& f = plugin->Functions();
  const std::string mode = argv[2];
  if (mode == "loaded" && argc == 3) {
    std::printf("{\"maxrss_kb\": %ld}\n", MaxRssKb());
    return 0;
  }
  if (mode == "greedy" && argc == 5) return Greedy(f, argv[3], std::atoi(argv[4]));
  if (mode == "opens" && argc == 5) return Opens(f, argv[3], std::atoi(argv[4]));
  if (mode == "idle" && argc == 5) return Idle(f, argv[3], std::atof(argv[4]));
  if (mode == "paced" && argc == 7) {
    return Paced(f, argv[3], std::atof(argv[4]), std::atof(argv[5]), std::atoi(argv[6]));
  }
  if (mode == "seeks" && argc == 6)
    return Seeks(f, argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  if (mode == "resume" && argc == 4) return Resume(f, argv[3]);
  std::fprintf(stderr, "bench_host: bad arguments for mode '%s'\n", mode.c_str());
  return 64;
}
