// The wait of a read or seek for the download, polling with the busy cursor
// shown and a limit on the time waited.
#pragma once

#include <cstdint>
#include <functional>

namespace httpmedia {

enum class WaitResult { Ready, Ended, TimedOut };

// Whether the download's end ends the wait (Ended), or only ready() and the
// limit do, for a wait on something that can revive an ended download.
enum class WaitEnd { Stops, Ignore };

// Polls until ready() holds, the download has ended, or the wait limit has
// passed (2,001 polls). The busy cursor shows for the whole wait and the
// previous cursor is back on every way out; onTimeout runs just before it.
WaitResult WaitForDownload(const std::function<bool()>& ready,
                           const std::function<void()>& onTimeout = {},
                           WaitEnd end = WaitEnd::Stops);

}  // namespace httpmedia
