// Seeking: moving the host's position, waiting where the download is about
// to overwrite or has not yet reached the target.
#include <limits>
#include <optional>

#include "platform/system_services.h"
#include "stream/download_wait.h"
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

// A target no stream has, or one below what the ring can hand out: fetched
// again from the body's start where that is possible; otherwise the seek
// fails at once and the position stays where it was, so that the host can
// go on from there rather than read an end that is not there. Nothing for
// a target the ring's own rules decide.
std::optional<std::int32_t> SeekBelowWindow(std::int64_t target) {
  if (target >= 0 && target >= WindowFloor()) return std::nullopt;
  streamlog::SeekBelowWindow(target);
  if (!RefetchServes(target) || !RefetchFromStart(target)) return SeekFailed;
  return 0;
}

// With the writer a lap ahead, a target within the seek margin above the
// write offset is where the writer is heading: wait until the writer is back
// in the reader's lap or far enough past.
std::int32_t SeekFromStart(std::int32_t target) {
  // A target ranges can serve is fetched by the next read.
  if (RangeServes(target)) {
    Stream.Position.store(target);
    return 0;
  }
  if (const std::optional<std::int32_t> result = SeekBelowWindow(target)) return *result;
  Stream.Position.store(target);
  auto clearOfWriter = [target] {
    const std::int64_t reader = Stream.ReaderLapBase.load();
    return target - reader >= static_cast<std::int64_t>(Stream.WriteOffset.load()) + SeekMargin;
  };
  auto writerInReaderLap = [] {
    return Stream.WriterLapBase.load() == Stream.ReaderLapBase.load();
  };
  if (clearOfWriter() || writerInReaderLap()) return 0;
  // A settled download never moves away: a target the ring holds is served
  // now, and one below what it holds would be waited for in vain.
  if (DownloadSettled()) return target >= WindowFloor() ? 0 : SeekFailed;
  const WaitResult waited = WaitForDownload([&] { return clearOfWriter() || writerInReaderLap(); });
  if (waited == WaitResult::TimedOut) return SeekFailed;
  return Stream.StreamEnded.load() != 0 ? SeekFailed : 0;
}

// A target beyond the end of the writer's lap waits for the download to
// get there.
std::int32_t SeekFromCurrent(std::int32_t offset) {
  const std::int64_t target = static_cast<std::int64_t>(Stream.Position.load()) + offset;
  // A position a signed 32-bit stream cannot hold is refused, not wrapped.
  if (target < std::numeric_limits<std::int32_t>::min() ||
      target > std::numeric_limits<std::int32_t>::max()) {
    streamlog::SeekRefused(target, "a signed 32-bit stream position cannot hold it");
    return SeekFailed;
  }
  if (RangeServes(target)) {
    Stream.Position.store(static_cast<std::int32_t>(target));
    return 0;
  }
  if (const std::optional<std::int32_t> result = SeekBelowWindow(target)) return *result;
  Stream.Position.store(static_cast<std::int32_t>(target));
  // Once everything up to the length is here the download goes no further:
  // a target beyond it is past the end, as an absolute seek there is.
  auto reachable = [target] {
    return target <= static_cast<std::int64_t>(Stream.WriterLapBase.load()) + RingSize ||
           DownloadEnd() >= Stream.Length.load();
  };
  if (reachable()) return 0;
  auto withinWriterLap = [&] {
    FollowWriterLap(target);
    return reachable();
  };
  // The download ending short of the target means the target is past the
  // stream's end: the seek failed, as an absolute one would.
  const WaitResult waited = WaitForDownload(withinWriterLap);
  return waited == WaitResult::Ended ? SeekFailed : 0;
}

}  // namespace

std::int32_t SeekStream(std::int32_t offset, std::int32_t origin) {
  CheckOpenStream();
  sys::OwnerWindow();  // taken as a read takes it; a seek's time-out does not use it
  if (origin == FromStart) return SeekFromStart(offset);
  if (origin == FromCurrent) {
    if (offset == 0) return Stream.Position.load();
    return SeekFromCurrent(offset);
  }
  return 0;
}

}  // namespace httpmedia
