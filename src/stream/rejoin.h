// Surviving a drop where no byte range can resume it: the URL is asked for
// again with a plain GET and, when the answer is the same body, it is read
// forward to the cut and the download goes on from there; a live broadcast,
// which has no past to come back to, is joined where it stands now. Never a
// byte of another version or of another place in the stream: a body that
// turns out different ends the stream.
//
// Everything here runs on the download thread, but RememberFraming (Open,
// before the download starts) and the queries marked for the host.
#pragma once

#include <cstdint>

#include "stream/range_request.h"
#include "stream/stream_state.h"

namespace httpmedia {

class CallDeadline;

// How much of the stream's start is kept to recognise the body in a new
// answer: a body that begins with these bytes is the same file from its
// start; one that does not is a broadcast going on.
inline constexpr std::int32_t KeptStartSize = 64 * 1024;

// On the host's thread in Open, before the download starts: whether the
// answer's framing marks where the body ends. Where it does, a clean end is
// the end; where it does not, a clean end may be a cut connection.
void RememberFraming(InternetHandle request);

// After each transfer is booked: keeps what of its bytes falls within the
// stream's first KeptStartSize bytes.
void KeepStart(std::int64_t position, const std::uint8_t* bytes, std::int32_t count);

// The download's read of its next chunk from `request`: the bytes a rejoin
// read past the cut from that same request first, then the network. Tells
// whether the network's transfer ended cleanly (no error, no byte), which
// a rejoin needs to tell an end from a cut.
bool ReadNextChunk(InternetHandle request, std::uint8_t* destination, std::int32_t wanted,
                   std::int32_t& received);

// After the transfer on `broken` failed or ended short of the length, where
// no byte range can resume it: asks for the URL again within the retry
// budget (its pauses and Retry-After as a range resume's) until an answer
// serves, and then either reads it forward to the cut (the same body; every
// byte the ring still holds compared on the way) or, for a stream with
// neither a length nor a validator whose new answer begins otherwise, joins
// it at the write position. True when the download goes on with the new
// request; false when the stream ends here: a clean end where the framing
// marks it, a withdrawal (Close, a restart), or, recorded as a cut
// (StreamWasCut), a body that differs or the budget spent. A resource a
// seek's fetch again already saw change is not asked for again, and nothing
// is recorded: how its transfer ended tells how the stream did.
bool RejoinAfterDrop(InternetHandle broken, RetryBudget& budget);

// For the host's thread: whether a stream with neither a length nor a
// validator can be fetched again from its start for a seek below the ring,
// its kept start being what recognises the body in a new answer: the whole
// kept start is there, and the stream is neither a broadcast nor seen to
// differ.
bool StartRecognisesBody();

// On the host's thread, within what is left of `deadline`: reads the start
// of `request`'s body and compares it with the kept start. True when they
// match: the same body from its start. An answer that begins with other
// bytes shows the stream a broadcast, which has no past to fetch again: no
// later seek below the ring asks for it.
bool BeginsAsKept(InternetHandle request, CallDeadline& deadline);

// With the download stopped and about to start on `request`, whose body
// BeginsAsKept matched: those bytes, read off it already, are the first the
// download takes from it.
void HandKeptStart(InternetHandle request);

// The download ended short of the body's end: a drop could not be survived
// within the budget, or the body asked for again differed. How the download
// ended, as the host's outcome query tells it, reads this.
bool StreamWasCut();

// For the host: the stream showed itself a live broadcast (a new answer
// began with other bytes) and was joined at least once.
bool StreamIsBroadcast();

}  // namespace httpmedia
