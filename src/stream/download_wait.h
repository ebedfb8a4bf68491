// The wait of a read or seek for the download, polling with the busy cursor
// shown, and the one deadline that every wait of a host call shares.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/system_services.h"

namespace httpmedia {

// How long one read or seek may hold the host: the wait limit from its
// entry, whatever chain of waits the call runs (a range restart with its
// busy retries, a fetch again, then the wait for the bytes). Time is counted
// in the polls of its waits and of its requests' header watch, so that the
// sleep behind every poll paces it as it paces each wait. Runs out after
// the limit plus one poll, as a single wait does (2,001 polls).
class CallDeadline {
 public:
  explicit CallDeadline(sys::WindowHandle window) : window_(window) {}

  // Time left before the call has waited past the limit; a request given
  // this long for its headers runs the deadline out if it takes all of it.
  std::uint32_t LeftMs() const;
  bool Expired() const;
  void Spend(std::uint32_t ms) { spentMs_ += ms; }
  // The owner window's time-out, as the host's signal that the call gave up
  // waiting rather than met the end; made once per call.
  void CallTimeout();

 private:
  sys::WindowHandle window_;
  std::uint32_t spentMs_ = 0;
  bool timeoutCalled_ = false;
};

enum class WaitResult { Ready, Ended, TimedOut };

// Whether the download's end ends the wait (Ended), or only ready() and the
// deadline do, for a wait on something that can revive an ended download.
enum class WaitEnd { Stops, Ignore };

// Polls until ready() holds, the download has ended, or the call's deadline
// has passed (then with its time-out call). Ready at once shows nothing;
// otherwise the busy cursor shows for the whole wait and the previous
// cursor is back on every way out.
WaitResult WaitForDownload(const std::function<bool()>& ready, CallDeadline& deadline,
                           WaitEnd end = WaitEnd::Stops);

}  // namespace httpmedia
