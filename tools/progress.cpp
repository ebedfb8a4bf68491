#include "progress.h"

#include <cinttypes>

namespace httpmedia::tools {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

std::string Megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

}  // namespace

std::string FormatProgress(const ProgressSnapshot& snapshot) {
  std::string line = Megabytes(static_cast<double>(snapshot.bytes));
  if (snapshot.total && *snapshot.total > 0) {
    const std::int64_t percent = snapshot.bytes * 100 / *snapshot.total;
    line += " of " + Megabytes(static_cast<double>(*snapshot.total)) + " (" +
            std::to_string(percent) + "%)";
  }
  if (snapshot.seconds > 0) {
    line += "  " + Megabytes(static_cast<double>(snapshot.bytes) / snapshot.seconds) + "/s";
  }
  const auto whole = static_cast<std::int64_t>(snapshot.seconds);
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "  %" PRId64 ":%02d", whole / 60,
                static_cast<int>(whole % 60));
  line += elapsed;
  if (snapshot.buffering) line += "  buffering";
  return line;
}

ProgressLine::ProgressLine(std::FILE* out, std::optional<std::int64_t> total, bool enabled)
    : out_(out), total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()) {
  if (enabled_) ticker_ = std::thread([this] { Tick(); });
}

ProgressLine::~ProgressLine() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

double ProgressLine::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressLine::SetBuffering(bool buffering) {
  buffering_.store(buffering);
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!finished_) DrawLocked();  // at once: a wait may be short
}

void ProgressLine::Finish() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return;
  buffering_.store(false);
  DrawLocked();
  std::fputc('\n', out_);
  std::fflush(out_);
  finished_ = true;
  wake_.notify_all();
}

void ProgressLine::PrintError(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool redraw = enabled_ && !finished_;
  if (redraw) ClearLocked();
  std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
  if (redraw) DrawLocked();
  std::fflush(out_);
}

void ProgressLine::Tick() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!finished_) {
    DrawLocked();
    wake_.wait_for(lock, kRedrawInterval);
  }
}

void ProgressLine::DrawLocked() {
  const std::string line = FormatProgress({Bytes(), total_, Seconds(), buffering_.load()});
  // Spaces over whatever the longer line before left behind.
  const std::size_t pad = drawn_width_ > line.size() ? drawn_width_ - line.size() : 0;
  std::fprintf(out_, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
  std::fflush(out_);
  drawn_width_ = line.size();
}

void ProgressLine::ClearLocked() {
  std::fprintf(out_, "\r%*s\r", static_cast<int>(drawn_width_), "");
  drawn_width_ = 0;
}

}  // namespace httpmedia::tools
