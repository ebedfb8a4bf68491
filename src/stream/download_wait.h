// The wait of a read or seek for the download, polling with the busy cursor
// shown, and the one deadline that every wait of a host call shares.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/system_services.h"

namespace httpmedia {

// How long one read or seek may hold the host: the wait limit on the
// monotonic clock from its entry, whatever chain of waits the call runs (a
// range restart with its busy retries, a fetch again, then the wait for the
// bytes). It runs out once more than the limit has passed: after 2,001 polls
// of 10 ms, or sooner by the clock when the polls take longer than they
// should. A call that has handed the host bytes by then ends with them, a
// short count, and no time-out call: the host is told of a time-out only
// when nothing moved for the whole limit.
class CallDeadline {
 public:
  explicit CallDeadline(sys::WindowHandle window)
      : window_(window), startMs_(sys::Milliseconds()) {}

  // Time left before the call has waited past the limit; a request given
  // this long for its headers runs the deadline out if it takes all of it.
  std::uint32_t LeftMs() const;
  bool Expired() const;
  // Bytes moved to the host: the limit still ends the call, but not as a
  // time-out.
  void Progressed() { progressed_ = true; }
  bool HasProgressed() const { return progressed_; }
  // The owner window's time-out, as the host's signal that the call gave up
  // waiting rather than met the end; made once per call, and never by a
  // call that handed over bytes.
  void CallTimeout();

 private:
  std::uint64_t ElapsedMs() const { return sys::Milliseconds() - startMs_; }

  sys::WindowHandle window_;
  std::uint64_t startMs_;
  bool timeoutCalled_ = false;
  bool progressed_ = false;
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
