#include "stream/download_wait.h"

#include "platform/system_services.h"
#include "stream/outcome.h"
#include "stream/stream_log.h"
#include "stream/stream_state.h"

namespace httpmedia {

std::uint32_t CallDeadline::LeftMs() const {
  const std::uint64_t allowed = WaitLimitMs + PollMs;
  const std::uint64_t elapsed = ElapsedMs();
  return elapsed < allowed ? static_cast<std::uint32_t>(allowed - elapsed) : 0;
}

bool CallDeadline::Expired() const { return ElapsedMs() > WaitLimitMs; }

void CallDeadline::CallTimeout() {
  if (timeoutCalled_ || progressed_) return;
  timeoutCalled_ = true;
  sys::TimeoutWindowCall(window_);
}

WaitResult WaitForDownload(const std::function<bool()>& ready, CallDeadline& deadline,
                           WaitEnd end) {
  if (ready()) return WaitResult::Ready;
  const sys::CursorHandle kept = sys::ShowBusyCursor();
  WaitResult result = WaitResult::Ready;
  const std::uint64_t since = sys::Milliseconds();  // this wait alone, for the log
  while (!ready()) {
    if (end == WaitEnd::Stops && Stream.StreamEnded.load() != 0) {
      result = WaitResult::Ended;
      break;
    }
    if (deadline.Expired()) {
      result = WaitResult::TimedOut;
      outcome::Record(outcome::Kind::TimedOut,
                      deadline.HasProgressed()
                          ? "the server sent less than the read's count within its 20 s"
                          : "the wait for the download ran out after 20 s");
      deadline.CallTimeout();
      break;
    }
    sys::Sleep(PollMs);
  }
  streamlog::WaitEnded(result, static_cast<std::uint32_t>(sys::Milliseconds() - since));
  sys::RestoreCursor(kept);
  return result;
}

}  // namespace httpmedia
