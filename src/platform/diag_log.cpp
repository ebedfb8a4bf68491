#include "platform/diag_log.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include "linux/test_hooks.h"
#endif

namespace httpmedia::diag {

constinit std::atomic<int> ActiveLevel{static_cast<int>(Level::Off)};

namespace {

using Clock = std::chrono::steady_clock;

// Lines of several threads never interleave: each is written whole, under
// the lock.
std::mutex SinkLock;
std::FILE* Sink = nullptr;  // guarded by SinkLock
bool OwnSink = false;       // Sink is a file the log opened
bool ToDebugger = false;

std::atomic<Clock::rep> ClockStart{Clock::now().time_since_epoch().count()};

thread_local const char* ThreadName = "host";

void CloseSink() {
  if (OwnSink) std::fclose(Sink);
  Sink = nullptr;
  OwnSink = false;
  ToDebugger = false;
}

// The environment is read once, as the library is loaded.
const bool LoadedConfiguration =
    (Configure(std::getenv("HTTPMEDIA_LOG"), std::getenv("HTTPMEDIA_LOG_LEVEL")), true);

}  // namespace

void Configure(const char* destination, const char* level) {
  std::lock_guard<std::mutex> lock(SinkLock);
  ActiveLevel.store(static_cast<int>(Level::Off), std::memory_order_relaxed);
  CloseSink();
  if (destination == nullptr || *destination == '\0') return;
  if (std::strcmp(destination, "stderr") == 0) {
    Sink = stderr;
  } else if (std::strcmp(destination, "debug") == 0) {
#if defined(_WIN32)
    ToDebugger = true;
#else
    Sink = stderr;
#endif
  } else {
    Sink = std::fopen(destination, "a");
    OwnSink = Sink != nullptr;
    if (Sink == nullptr) return;  // nowhere to write: the log stays off
  }
  const bool debug = level != nullptr && std::strcmp(level, "debug") == 0;
  ActiveLevel.store(static_cast<int>(debug ? Level::Debug : Level::Info),
                    std::memory_order_relaxed);
}

void Write(const char* format, ...) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now().time_since_epoch() - Clock::duration(ClockStart.load()));
  char line[1024];
  int used = std::snprintf(line, sizeof line, "%7lld ms %-8s ",
                           static_cast<long long>(elapsed.count()), ThreadName);
  if (used < 0) return;
  std::va_list arguments;
  va_start(arguments, format);
  const int text = std::vsnprintf(line + used, sizeof line - used - 1, format, arguments);
  va_end(arguments);
  if (text < 0) return;
  used = static_cast<int>(std::strlen(line));
  line[used++] = '\n';
  line[used] = '\0';
  std::lock_guard<std::mutex> lock(SinkLock);
#if defined(_WIN32)
  if (ToDebugger) {
    ::OutputDebugStringA(line);
    return;
  }
#endif
  if (Sink == nullptr) return;
  std::fwrite(line, 1, static_cast<std::size_t>(used), Sink);
  std::fflush(Sink);
}

void RestartClock() { ClockStart.store(Clock::now().time_since_epoch().count()); }

void NameThread(const char* name) { ThreadName = name; }

std::string PrintableUrl(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::string(url);
  const std::size_t host = scheme + 3;
  const std::size_t authorityEnd = std::min(url.find_first_of("/?#", host), url.size());
  const std::size_t at = url.substr(host, authorityEnd - host).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, host)) + std::string(url.substr(host + at + 1));
}

}  // namespace httpmedia::diag

#if !defined(_WIN32)
extern "C" HTTPMEDIA_DIAG_API void HttpMediaSetLog(const char* destination, const char* level) {
  httpmedia::diag::Configure(destination, level);
}
#endif
