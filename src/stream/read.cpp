// Reading: the host's next bytes from its position, copied out of the ring
// as the download brings them, until the whole count is there, the data
// ends, or nothing has come for the call's wait limit.
#include <algorithm>
#include <cstring>

#include "platform/system_services.h"
#include "stream/download_wait.h"
#include "stream/invariants.h"
#include "stream/outcome.h"
#include "stream/range_request.h"
#include "stream/refetch.h"
#include "stream/ring.h"
#include "stream/stream_log.h"
#include "stream/stream_ops.h"
#include "stream/stream_state.h"

namespace httpmedia {

namespace {

// Copies the ring's bytes of stream positions [position, position + count)
// by the reader's lap base; refuses anything the ring cannot hand out.
bool CopyOut(std::int64_t position, std::int64_t count, std::int64_t readerLapBase,
             std::uint8_t* destination) {
  const std::optional<std::int32_t> offset = RingOffsetOf(position, readerLapBase);
  if (!offset || position < WindowFloor()) return false;
  // The pieces of a read never span a lap boundary.
  HTTPMEDIA_ASSERT(count > 0 && *offset + count <= RingSize, "a copy stays inside the ring");
  if (*offset + count > RingSize) return false;
  std::memcpy(destination, Stream.Ring.load() + *offset, static_cast<std::size_t>(count));
  return true;
}

// One read under way: where it stands, where its next byte goes, and how
// many bytes are still due.
struct ReadInProgress {
  std::int64_t position;
  std::uint8_t* destination;
  std::int64_t due;
  // The ring can no longer hand out the bytes at the position.
  bool refused = false;

  bool Done() const { return due == 0 || refused; }

  // Copies whatever the download has brought from the position on, up to
  // what is due, and stores the host's position after every piece: the
  // writer keeps within the read-ahead limit of that position, so a count
  // larger than the limit arrives only as the read takes it. True when
  // anything was copied.
  bool CopyArrived() {
    bool moved = false;
    while (due > 0 && !refused) {
      FollowWriterLap(position);
      const std::int64_t lapBase = Stream.ReaderLapBase.load();
      std::int64_t piece = std::min(due, DownloadEnd() - position);
      if (position + piece > lapBase + RingSize) {
        // The piece runs past the reader's lap: the rest of the lap first,
        // then the reader crosses into the writer's lap.
        piece = lapBase + RingSize - position;
      } else if (position < lapBase && position + piece > lapBase) {
        // From the previous lap (top of the ring) up to the lap base first.
        piece = lapBase - position;
      }
      if (piece <= 0) break;  // nothing more has come yet
      if (!CopyOut(position, piece, lapBase, destination)) {
        refused = true;
        break;
      }
      destination += piece;
      due -= piece;
      position += piece;
      Stream.Position.store(static_cast<std::int32_t>(position));
      moved = true;
    }
    return moved;
  }
};

std::int32_t ReadBytes(void* buffer, std::int32_t count) {
  CheckOpenStream();
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    outcome::Record(outcome::Kind::Failed, "the read's count is negative, or its buffer null");
    return 0;
  }
  const std::int64_t length = PositionLimit();
  const std::int64_t position = Stream.Position.load();
  std::int64_t wanted = std::clamp<std::int64_t>(length - position, 0, count);
  // Every wait below, whatever chain of them runs, shares this one deadline.
  CallDeadline deadline(sys::OwnerWindow());
  // A body of unknown length that goes on past the last position a stream
  // can hold is cut there: the host learns of it as of a wait that timed
  // out, never as of the body's end. One the server said is longer ends
  // there: that is as far as the host can go.
  if (count > 0 && wanted == 0 && length > 0 && Stream.LengthKnown.load() == 0 &&
      position >= length && Stream.StreamEnded.load() == 0) {
    if (Stream.ServerLength.load() > length) {
      streamlog::PositionsEnd(position);
      outcome::Record(outcome::Kind::SizeLimit,
                      "the stream is longer than the largest position a signed 32-bit offset "
                      "holds");
      return 0;
    }
    outcome::Record(outcome::Kind::SizeLimit,
                    "the stream reached the largest position a signed 32-bit offset holds");
    deadline.CallTimeout();
    return 0;
  }
  // Outside what the ring holds or will soon hold, the server may give the
  // bytes from here on. The download task makes the request while this
  // read waits as for any bytes; a restart that takes the whole wait, or
  // finds the server away, ends the read as a wait that timed out does.
  if (wanted > 0 && RangeServes(position) &&
      RestartAt(position, deadline) == RestartResult::TimedOut) {
    return 0;
  }
  // Below the window of a server that serves no ranges, the body read again
  // from its start brings them.
  if (wanted > 0 && RefetchServes(position)) RefetchFromStart(position, deadline);
  // Once the download has ended, what it brought is still delivered, up to
  // its last byte; one that ended because the server was away goes on
  // (below) once the server answers again.
  if (Stream.StreamEnded.load() != 0 && !ServerWasAway()) {
    wanted = std::clamp<std::int64_t>(DownloadEnd() - position, 0, wanted);
  }
  if (wanted == 0) return 0;
  // Bytes below the window are gone, and a negative position has none.
  if (position < WindowFloor()) return 0;

  ReadInProgress read{position, static_cast<std::uint8_t*>(buffer), wanted};
  // The call's limit holds the host at most one wait. Bytes that came while
  // it waited are delivered at the limit without the time-out call: the
  // server is slower than the count, not away. The call comes only when
  // nothing came for the whole limit.
  bool waiting = false;
  auto copyArrived = [&] {
    if (read.CopyArrived() && waiting) deadline.Progressed();
    return read.Done();
  };
  while (!copyArrived()) {
    waiting = true;
    // The server was away when the download last asked it: it is asked
    // again, within this call's time. Still away, the read ends with the
    // time-out call, and the next read asks again.
    if (ServerWasAway()) {
      if (AskServerAgain(read.position, deadline) == RestartResult::TimedOut) break;
      continue;
    }
    const WaitResult waited = WaitForDownload(copyArrived, deadline);
    if (waited == WaitResult::Ready) break;
    // The download ended, or the call's time ran out (the host has had the
    // time-out call): what came of the count is delivered, no more, unless
    // the download ended for a server away, which is asked again.
    copyArrived();
    if (waited == WaitResult::TimedOut || !ServerWasAway()) break;
  }
  return static_cast<std::int32_t>(read.position - position);
}

}  // namespace

std::int32_t ReadStream(void* buffer, std::int32_t count) {
  outcome::CallBegins();
  const std::int32_t delivered = ReadBytes(buffer, count);
  // Fewer bytes than asked for, and no cause of the read's own: the
  // stream's end, or how the download ended.
  if (delivered < count) {
    outcome::ReadFellShort(Stream.LengthKnown.load() != 0 &&
                           Stream.Position.load() >= Stream.Length.load());
  }
  return delivered;
}

}  // namespace httpmedia
