// Seeking: moving the host's position, waiting only where a wait can end:
// for a transfer already under way over the target, or for the download to
// reach a target beyond the writer's lap.
#include <limits>
#include <optional>

#include "platform/system_services.h"
#include "stream/download_wait.h"
#include "stream/outcome.h"
#include "stream/range_request.h"
#include "stream/refetch.h"
#include "stream/ring.h"
#include "stream/stream_log.h"
#include "stream/stream_ops.h"
#include "stream/stream_state.h"

namespace httpmedia {

namespace {

constexpr std::int32_t FromStart = 0;
constexpr std::int32_t FromCurrent = 1;
constexpr std::int32_t SeekFailed = -1;

// A target outside what the ring holds or will hold: a range the next read
// fetches, or the body fetched again from its start where that is possible;
// otherwise the seek fails at once and the position stays where it was, so
// that the host can go on from there rather than read an end that is not
// there. Nothing for a target the ring's own rules decide.
std::optional<std::int32_t> SeekOutsideRing(std::int64_t target, CallDeadline& deadline) {
  if (RangeServes(target)) {
    Stream.Position.store(static_cast<std::int32_t>(target));
    return 0;
  }
  if (target >= 0 && target >= WindowFloor()) return std::nullopt;
  streamlog::SeekBelowWindow(target);
  // Wait: the fetch again's headers, within what is left of the call's
  // deadline, then the old download's stop, as prompt as Close's.
  if (!RefetchServes(target) || !RefetchFromStart(target, deadline)) return SeekFailed;
  return 0;
}

// Moves the host to a target the ring held a moment ago; nothing once it is
// there, a result otherwise. From the store of the position on, the writer
// keeps off the target (a lap ahead, the reserve behind the host; in the
// host's lap, the read-ahead limit), so only a transfer announced before
// the store can still take the target's bytes: the window, judged after the
// store, counts that transfer's bytes as gone.
std::optional<std::int32_t> MoveWithinRing(std::int32_t target, CallDeadline& deadline) {
  const std::int32_t before = Stream.Position.exchange(target);
  if (target >= WindowFloor()) return std::nullopt;
  // Wait: a transfer announced over the target lands (its bytes replace the
  // target's) or, having seen the target, is withdrawn (they stay): one
  // chunk from the network at most, within the call's deadline. If that
  // runs out the seek fails with the host at its target.
  const std::int64_t announced = Stream.TransferEnd.load();
  const WaitResult waited = WaitForDownload(
      [announced] { return DownloadEnd() >= announced || Stream.TransferEnd.load() < announced; },
      deadline);
  if (waited == WaitResult::TimedOut) return SeekFailed;
  if (target >= WindowFloor()) return std::nullopt;
  Stream.Position.store(before);
  return SeekOutsideRing(target, deadline).value_or(SeekFailed);
}

// No wait beyond MoveWithinRing's (and a fetch again's): a target the ring
// holds is served at once, and one ahead of the download is waited for by
// the read there.
std::int32_t SeekFromStart(std::int32_t target, CallDeadline& deadline) {
  if (const std::optional<std::int32_t> result = SeekOutsideRing(target, deadline)) return *result;
  return MoveWithinRing(target, deadline).value_or(0);
}

// A target beyond the end of the writer's lap waits for the download to
// get there.
std::int32_t SeekFromCurrent(std::int32_t offset, CallDeadline& deadline) {
  const std::int64_t target = static_cast<std::int64_t>(Stream.Position.load()) + offset;
  // A position a signed 32-bit stream cannot hold is refused, not wrapped.
  if (target < std::numeric_limits<std::int32_t>::min() ||
      target > std::numeric_limits<std::int32_t>::max()) {
    streamlog::SeekRefused(target, "a signed 32-bit stream position cannot hold it");
    return SeekFailed;
  }
  if (const std::optional<std::int32_t> result = SeekOutsideRing(target, deadline)) return *result;
  if (const std::optional<std::int32_t> result =
          MoveWithinRing(static_cast<std::int32_t>(target), deadline)) {
    return *result;
  }
  // Once everything up to the length is here the download goes no further:
  // a target beyond it is past the end, as an absolute seek there is.
  auto reachable = [target] {
    return target <= static_cast<std::int64_t>(Stream.WriterLapBase.load()) + RingSize ||
           DownloadEnd() >= PositionLimit();
  };
  if (reachable()) return 0;
  auto withinWriterLap = [&] {
    FollowWriterLap(target);
    return reachable();
  };
  // Wait: the download brings the writer's lap up to the target, at network
  // speed (a target more than a ring ahead went to a range above), within
  // the call's deadline; if that runs out the host stays at its target.
  // The download ending short of the target means the target is past the
  // stream's end: the seek failed, as an absolute one would. A download that
  // ended with the server away has not met the end: the host stays at its
  // target, and the read there asks the server again.
  const WaitResult waited = WaitForDownload(withinWriterLap, deadline);
  return waited == WaitResult::Ended && !ServerWasAway() ? SeekFailed : 0;
}

std::int32_t SeekTo(std::int32_t offset, std::int32_t origin) {
  CheckOpenStream();
  // Taken as a read takes it: a seek's time running out is told the same way.
  CallDeadline deadline(sys::OwnerWindow());
  if (origin == FromStart) return SeekFromStart(offset, deadline);
  if (origin == FromCurrent) {
    if (offset == 0) return Stream.Position.load();
    return SeekFromCurrent(offset, deadline);
  }
  return 0;
}

}  // namespace

std::int32_t SeekStream(std::int32_t offset, std::int32_t origin) {
  outcome::CallBegins();
  const std::int32_t result = SeekTo(offset, origin);
  if (result == SeekFailed && !outcome::Recorded()) {
    outcome::Record(outcome::Kind::Failed, "the seek's target cannot be reached");
  }
  return result;
}

}  // namespace httpmedia
