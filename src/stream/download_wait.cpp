#include "stream/download_wait.h"

#include "platform/system_services.h"
#include "stream/outcome.h"
#include "stream/stream_log.h"
#include "stream/stream_state.h"

namespace httpmedia {

std::uint32_t CallDeadline::LeftMs() const {
  const std::uint32_t allowed = WaitLimitMs + PollMs;
  return spentMs_ < allowed ? allowed - spentMs_ : 0;
}

bool CallDeadline::Expired() const { return spentMs_ > WaitLimitMs; }

void CallDeadline::CallTimeout() {
  if (timeoutCalled_) return;
  timeoutCalled_ = true;
  sys::TimeoutWindowCall(window_);
}

WaitResult WaitForDownload(const std::function<bool()>& ready, CallDeadline& deadline,
                           WaitEnd end) {
  if (ready()) return WaitResult::Ready;
  const sys::CursorHandle kept = sys::ShowBusyCursor();
  WaitResult result = WaitResult::Ready;
  std::uint32_t waited = 0;  // by this wait alone, for the log
  while (!ready()) {
    if (end == WaitEnd::Stops && Stream.StreamEnded.load() != 0) {
      result = WaitResult::Ended;
      break;
    }
    if (deadline.Expired()) {
      result = WaitResult::TimedOut;
      outcome::Record(outcome::Kind::TimedOut, "the wait for the download ran out after 20 s");
      deadline.CallTimeout();
      break;
    }
    sys::Sleep(PollMs);
    deadline.Spend(PollMs);
    waited += PollMs;
  }
  streamlog::WaitEnded(result, waited);
  sys::RestoreCursor(kept);
  return result;
}

}  // namespace httpmedia
