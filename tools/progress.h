// The progress line the command-line host draws on a terminal: redrawn in
// place a few times a second from a thread of its own, so that the elapsed
// time moves on while a read waits in the plug-in.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace httpmedia::tools {

struct ProgressSnapshot {
  std::int64_t bytes = 0;
  std::optional<std::int64_t> total;  // none: the length is unknown
  double seconds = 0;
  bool buffering = false;
};

// "12.3 MB of 45.0 MB (27%)  8.1 MB/s  0:03  buffering"; decimal megabytes,
// as the plug-in's sizes are decimal.
std::string FormatProgress(const ProgressSnapshot& snapshot);

class ProgressLine {
 public:
  // Draws on out only when enabled; otherwise every call but PrintError does
  // nothing, and PrintError just prints.
  ProgressLine(std::FILE* out, std::optional<std::int64_t> total, bool enabled);
  ~ProgressLine();

  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Add(std::int64_t bytes) { bytes_.fetch_add(bytes, std::memory_order_relaxed); }
  void SetBuffering(bool buffering);
  std::int64_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }
  double Seconds() const;
  // The last redraw, ended with a newline; the line is not drawn again.
  void Finish();
  // A line of its own, above the progress line.
  void PrintError(std::string_view text);

 private:
  void Tick();
  void DrawLocked();  // with mutex_ held
  void ClearLocked();

  std::FILE* const out_;
  const std::optional<std::int64_t> total_;
  const bool enabled_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<std::int64_t> bytes_{0};
  std::atomic<bool> buffering_{false};

  std::mutex mutex_;  // guards the members below and every write to out_
  std::condition_variable wake_;
  bool finished_ = false;
  std::size_t drawn_width_ = 0;
  std::thread ticker_;
};

}  // namespace httpmedia::tools
