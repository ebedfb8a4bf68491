// The diagnostic log a user turns on to see why a URL does not play: off
// unless HTTPMEDIA_LOG names where its lines go, read once when the library
// is loaded. Each line tells the milliseconds since the stream's open began,
// the thread (host, download, probe) and what happened.
//
//   HTTPMEDIA_LOG        stderr, a file path (appended to; created 0600), or
//                        debug (the debugger's output on Windows, standard
//                        error elsewhere); stderr and debug in any case
//   HTTPMEDIA_LOG_LEVEL  info (the default: requests, answers and each
//                        decision) or debug (also every wait and chunk), in
//                        any case
//
// A file that cannot be opened, or a level that is neither, is said once on
// standard error.
//
// One copy serves the whole process: on Linux it lives in the system
// services' library, which the engine and the Internet client both use; on
// Windows it is part of the plug-in. Off, a log call costs one relaxed load
// and a branch: its arguments are not even evaluated.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#if defined(_WIN32)
#define HTTPMEDIA_DIAG_API
#define HTTPMEDIA_DIAG_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define HTTPMEDIA_DIAG_API __attribute__((visibility("default")))
#define HTTPMEDIA_DIAG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

namespace httpmedia::diag {

enum class Level : int { Off = 0, Info = 1, Debug = 2 };

// Written when the log is configured, read before every line.
HTTPMEDIA_DIAG_API extern std::atomic<int> ActiveLevel;

inline bool Enabled(Level level) {
  return ActiveLevel.load(std::memory_order_relaxed) >= static_cast<int>(level);
}

// Writes one line, the time and the thread's name put before it. Only
// behind Enabled (HTTPMEDIA_LOG does that).
HTTPMEDIA_DIAG_API void Write(const char* format, ...) HTTPMEDIA_DIAG_PRINTF(1, 2);

// A stream's open begins: the lines' times count from here.
HTTPMEDIA_DIAG_API void RestartClock();

// The calling thread's name in its lines; a thread not named is the host's.
HTTPMEDIA_DIAG_API void NameThread(const char* name);

// A URL fit to be logged: any user name and password taken out.
HTTPMEDIA_DIAG_API std::string PrintableUrl(std::string_view url);

// Points the log at destination (as HTTPMEDIA_LOG; null or empty: off) at
// level (as HTTPMEDIA_LOG_LEVEL). Loading the library does this with the
// environment; tests call it through their hook.
HTTPMEDIA_DIAG_API void Configure(const char* destination, const char* level);

}  // namespace httpmedia::diag

#define HTTPMEDIA_LOG(level, ...)                              \
  (::httpmedia::diag::Enabled(::httpmedia::diag::Level::level) \
       ? ::httpmedia::diag::Write(__VA_ARGS__)                 \
       : static_cast<void>(0))
