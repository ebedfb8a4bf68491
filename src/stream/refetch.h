// Fetching the body again from its start, for a stream whose server serves no
// byte ranges: a position below the ring's window is reached by a plain GET
// that the download reads forward to the position, at network speed.
#pragma once

#include <cstdint>

namespace httpmedia {

class CallDeadline;

// Whether a read or seek at this position should fetch the body again from
// its start: a stream is open, the position lies inside its length but below
// what the ring can hand out, the length came from the server, ranges do not
// serve it, and the body has not been seen to change. A stream without a
// length is never fetched again: a second GET of a live stream gives other
// bytes.
bool RefetchServes(std::int64_t position);

// On the host's thread, within the host call's deadline (the answer's
// headers get what is left of it): asks for the whole body again and, only
// when the
// answer is the same version of the resource (the same length and
// validator), stops the download, moves the host to position, lays the ring
// out afresh at 0 and starts the download on the new answer. An answer of
// another version means the resource changed: it is never asked for again
// on this stream. On false the host's position is as it was.
bool RefetchFromStart(std::int64_t position, CallDeadline& deadline);

}  // namespace httpmedia
