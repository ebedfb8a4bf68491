#include "stream/download_wait.h"

#include "platform/system_services.h"
#include "stream/stream_log.h"
#include "stream/stream_state.h"

namespace httpmedia {

WaitResult WaitForDownload(const std::function<bool()>& ready,
                           const std::function<void()>& onTimeout, WaitEnd end) {
  const sys::CursorHandle kept = sys::ShowBusyCursor();
  WaitResult result = WaitResult::Ready;
  std::uint32_t waited = 0;
  while (!ready()) {
    if (end == WaitEnd::Stops && Stream.StreamEnded.load() != 0) {
      result = WaitResult::Ended;
      break;
    }
    sys::Sleep(PollMs);
    waited += PollMs;
    if (waited > WaitLimitMs) {
      result = WaitResult::TimedOut;
      if (onTimeout) onTimeout();
      break;
    }
  }
  streamlog::WaitEnded(result, waited);
  sys::RestoreCursor(kept);
  return result;
}

}  // namespace httpmedia
