#include "stream/stream_state.h"

namespace httpmedia {

StreamState Stream;

std::int64_t DownloadEnd() {
  std::int64_t base = Stream.WriterLapBase.load();
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

std::int64_t WindowFloor() {
  // The oldest byte goes too: a lap ahead, the writer treats a host exactly
  // at its write offset as behind it and writes on over that position.
  const std::int64_t floor = static_cast<std::int64_t>(Stream.TransferEnd.load()) - RingSize + 1;
  const std::int64_t start = Stream.DownloadStart.load();
  return floor > start ? floor : start;
}

void FollowWriterLap(std::int64_t position) {
  std::int64_t reader = Stream.ReaderLapBase.load();
  std::int32_t writer = Stream.WriterLapBase.load();
  if (writer > reader && position >= reader + RingSize) Stream.ReaderLapBase.store(writer);
}

}  // namespace httpmedia
