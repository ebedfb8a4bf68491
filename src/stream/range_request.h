// Byte-range requests: fetching a position the ring does not hold by asking
// the server for the body from there, and resuming a transfer that broke
// off before the end.
#pragma once

#include <cstdint>

#include "stream/stream_state.h"

namespace httpmedia {

// A position further ahead of the download than this is fetched by a range
// request rather than downloaded through: within one ring, downloading
// through costs no more than a new request would, and keeps the bytes on
// the way for backward seeks.
inline constexpr std::int64_t RestartDistance = RingSize;

// Consecutive reconnections after a drop before the stream is ended, and
// the first pause between them (doubled each time).
inline constexpr int ResumeAttempts = 3;
inline constexpr std::uint32_t ResumePauseMs = 100;

// Keeps the URL of the stream just opened and whether ranges can serve it.
void RememberStream(const char16_t* url, bool lengthKnown, bool rangesAccepted);

// Whether a read at this position should restart the download there: it is
// inside the stream but outside what the ring holds or will soon hold, and
// the server serves ranges.
bool RangeServes(std::int64_t position);

// On the host's thread: asks for the body from position on; only if the
// server answers with exactly that range, stops the download, re-bases the
// ring at position and starts the download again. A server that does not
// answer with the range is not asked again for this stream.
bool RestartAt(std::int64_t position);

// On the download thread, after the transfer on `broken` failed or ended
// short of the length: reconnects from the end of the download, a few times
// with growing pauses. True when the download can go on with the new
// request; false when the stream ends here (or was withdrawn meanwhile).
bool ResumeAfterDrop(InternetHandle broken);

}  // namespace httpmedia
