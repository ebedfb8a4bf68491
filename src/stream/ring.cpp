#include "stream/ring.h"

#include <limits>

#include "stream/invariants.h"
#include "stream/stream_state.h"

namespace httpmedia {

std::int64_t DownloadEnd() {
  const std::int64_t base = Stream.WriterLapBase.load();
  return base + Stream.WriteOffset.load();
}

std::optional<std::int32_t> RingOffsetOf(std::int64_t position, std::int64_t readerLapBase) {
  if (position < 0) return std::nullopt;  // no byte of the stream lies there
  if (position >= readerLapBase && position < readerLapBase + RingSize) {
    return static_cast<std::int32_t>(position - readerLapBase);
  }
  if (position >= readerLapBase - RingSize && position < readerLapBase) {
    return static_cast<std::int32_t>(position - readerLapBase + RingSize);
  }
  return std::nullopt;
}

std::int64_t PositionLimit() {
  // With no stream open (Length 0) nothing is stored at all.
  const std::int32_t length = Stream.Length.load();
  if (length == 0 || Stream.LengthKnown.load() != 0) return length;
  return std::numeric_limits<std::int32_t>::max();
}

bool DownloadSettled() {
  return Stream.StreamEnded.load() != 0 || DownloadEnd() >= PositionLimit();
}

std::int64_t WindowFloor() {
  // While the download may still write, the oldest byte goes too: a lap
  // ahead, the writer treats a host exactly at its write offset as behind
  // it and writes on over that position. A settled download writes nothing
  // more, and every byte of its last lap stays.
  const std::int64_t oldest = static_cast<std::int64_t>(Stream.TransferEnd.load()) - RingSize;
  const std::int64_t floor = DownloadSettled() ? oldest : oldest + 1;
  const std::int64_t start = Stream.DownloadStart.load();
  return floor > start ? floor : start;
}

Admission Admit(std::int64_t readerLapBase, std::int64_t writerLapBase, std::int64_t writeOffset,
                std::int64_t position, std::int64_t length) {
  // Everything up to the length is here.
  if (writerLapBase + writeOffset >= length) return Admission::Idle;
  // A lap ahead, the writer has come within the reserve kept behind the host.
  const bool lapAhead = writerLapBase > readerLapBase;
  const std::int64_t hostAhead = position - readerLapBase - writeOffset;
  if (lapAhead && hostAhead > 0 && hostAhead < BehindReserve) return Admission::Idle;
  // Far enough ahead of the host within its lap.
  if (readerLapBase + writeOffset - position > AheadLimit) return Admission::Idle;
  // A full lap starts the next one only from the reader's lap: a second lap
  // ahead of the reader would be stored under the wrong base. The reader
  // moves into the writer's lap when it needs to, and the wrap follows.
  if (writeOffset >= RingSize) return lapAhead ? Admission::Idle : Admission::Wrap;
  return Admission::Transfer;
}

Admission AdmitNow() {
  const std::int64_t readerLapBase = Stream.ReaderLapBase.load();
  const std::int64_t writerLapBase = Stream.WriterLapBase.load();
  const std::int64_t writeOffset = Stream.WriteOffset.load();
  return Admit(readerLapBase, writerLapBase, writeOffset, Stream.Position.load(), PositionLimit());
}

void WrapWriter() {
  // The offset goes before the base, so that the reader never sees
  // DownloadEnd too high; the rules are checked between the two stores too,
  // where the other order would show DownloadEnd a ring past TransferEnd.
  Stream.WriteOffset.store(0);
  CheckLaps();
  Stream.WriterLapBase.store(Stream.ReaderLapBase.load() + RingSize);
  CheckLaps();
}

bool CrossIntoWriterLap() {
  const std::int32_t reader = Stream.ReaderLapBase.load();
  const std::int32_t writer = Stream.WriterLapBase.load();
  if (writer == reader) return false;
  Stream.ReaderLapBase.store(writer);
  CheckLaps();
  return true;
}

void FollowWriterLap(std::int64_t position) {
  if (position >= static_cast<std::int64_t>(Stream.ReaderLapBase.load()) + RingSize) {
    CrossIntoWriterLap();
  }
}

void ResetLaps(std::int32_t start) {
  Stream.DownloadStart.store(start);
  Stream.ReaderLapBase.store(start);
  Stream.WriterLapBase.store(start);
  Stream.WriteOffset.store(0);
  Stream.TransferEnd.store(start);
  CheckLaps();
}

void CheckLaps() {
  const std::int32_t writeOffset = Stream.WriteOffset.load();
  HTTPMEDIA_ASSERT(writeOffset >= 0 && writeOffset <= RingSize,
                   "the write offset lies inside the ring");
  // Each side's transition needs the other side's lap as it is, so at most
  // one transition can fall between these two loads: either order of them
  // still sees a difference of 0 or RingSize.
  const std::int64_t lapDifference =
      static_cast<std::int64_t>(Stream.WriterLapBase.load()) - Stream.ReaderLapBase.load();
  HTTPMEDIA_ASSERT(lapDifference == 0 || lapDifference == RingSize,
                   "the writer is in the reader's lap or one lap ahead");
  HTTPMEDIA_ASSERT(Stream.DownloadStart.load() <= Stream.ReaderLapBase.load(),
                   "the reader's lap starts at or above the download's start");
  // DownloadEnd only grows while a download runs, and every store keeps it
  // at or below TransferEnd at that moment; loaded first, it stays at or
  // below a TransferEnd loaded after it, whichever thread checks.
  const std::int64_t downloadEnd = DownloadEnd();
  HTTPMEDIA_ASSERT(downloadEnd <= Stream.TransferEnd.load(),
                   "the download's end never passes the end of the transfer announced");
}

}  // namespace httpmedia
