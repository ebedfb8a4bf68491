// A host of the plug-in for the benchmarks: it loads the library the way
// httpmedia-cat does and drives one workload, then prints one JSON object.
//
//   bench_host PLUGIN loaded
//   bench_host PLUGIN greedy URL READ_SIZE
//   bench_host PLUGIN opens URL COUNT
//   bench_host PLUGIN idle URL SECONDS
//   bench_host PLUGIN paced URL BYTES_PER_SECOND SECONDS READ_SIZE
//
// Every workload reports the process's peak resident set ("maxrss_kb").
#include <sys/resource.h>

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
  auto list = [](const std::vector<double>& values) {
    std::string text = "[";
    for (double v : values) text += (text.size() > 1 ? ", " : "") + std::to_string(v);
    return text + "]";
  };
  std::printf("{\"open_ms\": %s, \"first_byte_ms\": %s, \"close_ms\": %s, \"maxrss_kb\": %ld}\n",
              list(open_ms).c_str(), list(first_byte_ms).c_str(), list(close_ms).c_str(),
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
  std::fprintf(stderr, "bench_host: bad arguments for mode '%s'\n", mode.c_str());
  return 64;
}
