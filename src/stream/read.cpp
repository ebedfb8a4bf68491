// Reading: the host's next bytes from its position, copied out of the ring
// once the download has brought all of them, or as many as came when the
// call's time runs out.
#include <algorithm>
#include <cstring>

#include "platform/system_services.h"
#include "stream/download_wait.h"
#include "stream/invariants.h"
#include "stream/outcome.h"
#include "stream/range_request.h"
#include "stream/refetch.h"
#include "stream/ring.h"
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

std::int32_t ReadBytes(void* buffer, std::int32_t count) {
  CheckOpenStream();
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    outcome::Record(outcome::Kind::Failed, "the read's count is negative, or its buffer null");
    return 0;
  }
  const std::int64_t length = PositionLimit();
  std::int64_t position = Stream.Position.load();
  std::int64_t wanted = std::clamp<std::int64_t>(length - position, 0, count);
  // Every wait below, whatever chain of them runs, shares this one deadline.
  CallDeadline deadline(sys::OwnerWindow());
  // A body of unknown length that goes on past the last position a stream
  // can hold is cut there: the host learns of it as of a wait that timed
  // out, never as of the body's end.
  if (count > 0 && wanted == 0 && length > 0 && Stream.LengthKnown.load() == 0 &&
      position >= length && Stream.StreamEnded.load() == 0) {
    outcome::Record(outcome::Kind::SizeLimit,
                    "the stream reached the largest position a signed 32-bit offset holds");
    deadline.CallTimeout();
    return 0;
  }
  // Outside what the ring holds or will soon hold, the server may give the
  // bytes from here on. The download task makes the request while this
  // read waits as for any bytes; a restart that takes the whole wait ends
  // the read as a wait that timed out does.
  if (wanted > 0 && RangeServes(position) &&
      RestartAt(position, deadline) == RestartResult::TimedOut) {
    return 0;
  }
  // Below the window of a server that serves no ranges, the body read again
  // from its start brings them.
  if (wanted > 0 && RefetchServes(position)) RefetchFromStart(position, deadline);
  // Once the download has ended, what it brought is still delivered, up to
  // its last byte.
  if (Stream.StreamEnded.load() != 0) {
    wanted = std::clamp<std::int64_t>(DownloadEnd() - position, 0, wanted);
  }
  if (wanted == 0) return 0;
  // Bytes below the window are gone, and a negative position has none.
  if (position < WindowFloor()) return 0;

  auto* const start = static_cast<std::uint8_t*>(buffer);
  std::uint8_t* destination = start;
  std::int64_t remaining = wanted;
  while (remaining > 0 && position < length) {
    FollowWriterLap(position);
    if (position + remaining > DownloadEnd()) {
      const WaitResult waited = WaitForDownload(
          [&] {
            FollowWriterLap(position);
            return position + remaining <= DownloadEnd();
          },
          deadline);
      // The download ended, or the call's time ran out (the host has had
      // the time-out call): what came of the count is delivered, no more.
      if (waited != WaitResult::Ready) {
        remaining = std::min(remaining, DownloadEnd() - position);
        if (remaining <= 0) break;
      }
    }
    const std::int64_t lapBase = Stream.ReaderLapBase.load();
    std::int64_t piece = remaining;
    if (position + remaining > lapBase + RingSize) {
      // The request runs past the reader's lap: the rest of the lap first,
      // then the reader crosses into the writer's lap.
      piece = lapBase + RingSize - position;
    } else if (position < lapBase && position + remaining > lapBase) {
      // From the previous lap (top of the ring) up to the lap base first.
      piece = lapBase - position;
    }
    if (piece > 0) {
      if (!CopyOut(position, piece, lapBase, destination)) break;
      destination += piece;
      remaining -= piece;
      position += piece;
      Stream.Position.store(static_cast<std::int32_t>(position));
    }
    if (remaining > 0 && position >= lapBase + RingSize && !CrossIntoWriterLap()) break;
  }
  return static_cast<std::int32_t>(destination - start);
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
