// Byte-range requests: fetching a position the ring does not hold by asking
// the server for the body from there, and resuming a transfer that broke
// off before the end.
#pragma once

#include <cstdint>
#include <functional>

#include "stream/http_request.h"
#include "stream/stream_state.h"

namespace httpmedia {

class CallDeadline;

// A position further ahead of the download than this is fetched by a range
// request rather than downloaded through: within one ring, downloading
// through costs no more than a new request would, and keeps the bytes on
// the way for backward seeks.
inline constexpr std::int64_t RestartDistance = RingSize;

// Reconnecting after a drop (or for a restart) goes on with growing pauses
// for at most this long, all of it inside one 20-second wait of the host,
// so that a network away for a few seconds (a hand-over between access
// points) costs the player a wait rather than the stream. The first try
// goes out at once; the pauses then grow from the first pause to the
// longest.
inline constexpr std::uint32_t RetryBudgetMs = 15'000;
inline constexpr std::uint32_t FirstRetryPauseMs = 250;
inline constexpr std::uint32_t LongestRetryPauseMs = 4'000;
// The longest wait for one range request's headers.
inline constexpr std::uint32_t RangeHeaderDeadlineMs = 5'000;

// RestartTarget when no restart is asked for, and while the download task
// is putting one in place.
inline constexpr std::int32_t NoRestart = -1;
inline constexpr std::int32_t RestartInPlace = -2;

// The time spent reconnecting since bytes last arrived, and the pause due
// before the next try.
struct RetryBudget {
  std::uint32_t spentMs = 0;
  std::uint32_t nextPauseMs = 0;
  void Reset() { *this = RetryBudget{}; }
};

// Asks with ask(pauseMs, leftMs) until an answer other than Retry comes, the
// budget runs out (Retry) or stillWanted() turns false (Retry, with nothing
// open). A pause is sat out before every try but the first since bytes last
// flowed, in PollMs slices watching stillWanted(); pauses grow from the
// first to the longest, or are as the server's Retry-After says; every try
// counts its wait for headers against the budget. replied(reply), if given,
// sees each reply once the budget has counted it.
RangeReply AskWithinBudget(RetryBudget& budget, const std::function<bool()>& stillWanted,
                           const std::function<RangeReply(std::uint32_t, std::uint32_t)>& ask,
                           const std::function<void(const RangeReply&)>& replied = nullptr);

// Keeps the URL of the stream just opened, whether Length is the server's,
// and whether ranges can serve it: only with a length from the server
// (Stream.ServerLength, set first), Accept-Ranges and a validator, since
// without a validator no range request could tell the stream's version from
// a new one.
void RememberStream(const char16_t* url, bool lengthKnown, bool rangesAccepted,
                    bool validatorKnown);

// Whether a read at this position should restart the download there: it is
// inside the stream but outside what the ring holds or will soon hold, and
// the server serves ranges.
bool RangeServes(std::int64_t position);

enum class RestartResult { Restarted, NotRestarted, TimedOut };

// On the host's thread: hands the restart at position to the download task
// and waits for it with the usual wait, within the host call's deadline. The
// task withdraws the running request, then asks for the body from there and,
// only on a 206 of the stream's version starting exactly there, re-bases the
// ring at position. A server that ignores the range gives the body again
// from its start, where the stream's version can still be told (the ring
// then starts afresh at 0 and the read waits for the download to reach
// position); a changed or refusing server ends the stream with what the
// ring holds, and is not asked for ranges again. A server away for the
// whole retry budget ends the download too, but not the stream: the call
// ends as a wait that timed out (TimedOut, with the time-out call), and the
// next read asks again.
RestartResult RestartAt(std::int64_t position, CallDeadline& deadline);

// The download ended because the server was away (Stream.ServerAway): its
// end is not the body's.
bool ServerWasAway();

// On the host's thread, for a read that needs bytes of a download that
// ended with the server away: asks the server again, from position where a
// range serves it, otherwise from where the download stopped, where the
// download goes on in the ring as it is, its bytes kept for backward seeks.
// TimedOut (with the time-out call) when the deadline runs out or the
// server is still away.
RestartResult AskServerAgain(std::int64_t position, CallDeadline& deadline);

// On the download task, between chunks: puts in place a restart the host
// asked for.
void TakeUpRestart();

// Makes the served reply the stream's request in place of `current`; false
// (and the reply closed) when Close withdrew `current` meanwhile.
bool TakeOver(InternetHandle current, const RangeReply& reply);

// On the download thread, after the transfer on `broken` failed or ended
// short of the length: reconnects from the end of the download within the
// retry budget (without ranges, by RejoinAfterDrop). True when the download can go on with the new
// request; false when the download ends here: the server refused or changed the resource, the
// transfer was withdrawn meanwhile, or the budget ran out (then with Stream.ServerAway set: a later
// read asks again).
bool ResumeAfterDrop(InternetHandle broken, RetryBudget& budget);

}  // namespace httpmedia
