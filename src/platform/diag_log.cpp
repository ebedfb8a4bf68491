#include "platform/diag_log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

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

// The environment is read once, as the library is loaded, and a file the
// log opened is closed as it is unloaded: a host that loads and unloads the
// plug-in for each stream must not gather a descriptor each time.
struct LoadedConfiguration {
  LoadedConfiguration() {
    Configure(std::getenv("HTTPMEDIA_LOG"), std::getenv("HTTPMEDIA_LOG_LEVEL"));
  }
  ~LoadedConfiguration() { Configure(nullptr, nullptr); }
} loadedConfiguration;

#if !defined(_WIN32)
// A child forked while another thread writes a line would find the lock
// held for ever: it is held across the fork, so that both sides find it free.
void LockSinkForFork() { SinkLock.lock(); }
void UnlockSinkAfterFork() { SinkLock.unlock(); }
[[maybe_unused]] const int forkHandlers =
    pthread_atfork(LockSinkForFork, UnlockSinkAfterFork, UnlockSinkAfterFork);
#endif

// A log file for appending. It holds every URL the player opens, query
// tokens included: a new one is the user's alone (0600).
std::FILE* OpenLogFile(const char* path) {
#if defined(_WIN32)
  return std::fopen(path, "a");
#else
  const int descriptor = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (descriptor < 0) return nullptr;
  std::FILE* file = ::fdopen(descriptor, "a");
  if (file == nullptr) ::close(descriptor);
  return file;
#endif
}

}  // namespace

void Configure(const char* destination, const char* level) {
  std::lock_guard<std::mutex> lock(SinkLock);
  ActiveLevel.store(static_cast<int>(Level::Off), std::memory_order_relaxed);
  CloseSink();
  if (destination == nullptr || *destination == '\0') return;
  // Written by hand in an environment: STDERR and Debug mean what stderr and
  // debug do.
  if (text::EqualsNoCase(destination, "stderr")) {
    Sink = stderr;
  } else if (text::EqualsNoCase(destination, "debug")) {
#if defined(_WIN32)
    ToDebugger = true;
#else
    Sink = stderr;
#endif
  } else {
    Sink = OpenLogFile(destination);
    OwnSink = Sink != nullptr;
    if (Sink == nullptr) {
      // Nowhere to write: the log stays off, and the user who asked for it
      // is told once why there is none.
      std::fprintf(stderr, "httpmedia: HTTPMEDIA_LOG: cannot open %s (%s); no log is kept\n",
                   destination, std::strerror(errno));
      return;
    }
  }
  const bool debug = level != nullptr && text::EqualsNoCase(level, "debug");
  if (!debug && level != nullptr && *level != '\0' && !text::EqualsNoCase(level, "info")) {
    std::fprintf(stderr,
                 "httpmedia: HTTPMEDIA_LOG_LEVEL: \"%s\" is not a level (info or debug); "
                 "logging at info\n",
                 level);
  }
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
