// The one stream's record, shared by the host's calls and the download
// thread, and the rules that map stream positions onto the ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "httpmedia/httpmedia.h"
#include "platform/system_services.h"

namespace httpmedia {

using InternetHandle = void*;

inline constexpr std::int32_t RingSize = 3'000'000;  // decimal, not 3 MiB
inline constexpr std::int32_t DefaultChunkSize = 20'000;
inline constexpr std::int32_t AheadLimit = 2'000'000;
inline constexpr std::int32_t BehindReserve = 1'000'000;
inline constexpr std::int32_t SeekMargin = 100'000;
inline constexpr std::uint32_t WaitLimitMs = 20'000;
inline constexpr std::uint32_t PollMs = 10;
inline constexpr std::uint32_t ClosePollMs = 100;
inline constexpr std::int32_t FallbackLength = HTTPMEDIA_UNKNOWN_LENGTH;

// Every word is read and written whole by both threads; sequentially
// consistent atomics keep the two stores of each lap transition in order for
// the other side.
struct StreamState {
  std::atomic<InternetHandle> Session{nullptr};
  // The request whose body is downloaded; null tells the download to stop.
  std::atomic<InternetHandle> Request{nullptr};
  std::atomic<std::int32_t> Length{0};
  // The host's position in the stream.
  std::atomic<std::int32_t> Position{0};
  std::atomic<std::uint8_t*> Ring{nullptr};
  // Stream positions that ring offset 0 stands for in the reader's and in
  // the writer's lap; they differ by 0 or by RingSize.
  std::atomic<std::int32_t> ReaderLapBase{0};
  std::atomic<std::int32_t> WriterLapBase{0};
  // Ring offset of the next downloaded byte, 0 to RingSize.
  std::atomic<std::int32_t> WriteOffset{0};
  std::atomic<std::int32_t> ChunkSize{0};
  // Stream position just past the bytes the download may be storing at this
  // moment: DownloadEnd while it idles, the end of the transfer in flight
  // while it transfers. Ring bytes of positions within RingSize below it are
  // never handed out, so a read never copies bytes being overwritten.
  std::atomic<std::int32_t> TransferEnd{0};
  // Stream position at which the ring's current download began: 0, or the
  // start of the last byte range the download restarted at. The ring holds
  // nothing below it.
  std::atomic<std::int32_t> DownloadStart{0};
  // The length came from the server, and the server serves byte ranges: a
  // position outside the ring can be fetched anew, and a dropped transfer
  // resumed where it broke off.
  std::atomic<std::uint32_t> LengthKnown{0};
  std::atomic<std::uint32_t> RangesAccepted{0};
  std::atomic<sys::MutexHandle> ChunkMutex{nullptr};
  std::atomic<sys::ThreadHandle> DownloadThread{nullptr};
  std::atomic<std::uint32_t> StreamEnded{0};
  // During Open: the probe request completed. Afterwards: the download ended.
  std::atomic<std::uint32_t> Finished{0};
};

extern StreamState Stream;

// Stream position just past the last downloaded byte. WriterLapBase is read
// before WriteOffset, so that against a writer wrap (offset stored before the
// base) the result is momentarily too low, never too high.
std::int64_t DownloadEnd();

// Ring offset holding stream position p, by the reader's lap (L <= p < L +
// RingSize: p - L) or the previous lap (L - RingSize <= p < L: p - L +
// RingSize), with L = ReaderLapBase; nothing for any other position, nor
// for a negative one.
std::optional<std::int32_t> RingOffsetOf(std::int64_t position, std::int64_t readerLapBase);

// Lowest stream position whose bytes the ring can hand out now: below it
// they have been overwritten, may be being overwritten by the transfer in
// flight, or are next in the writer's way.
std::int64_t WindowFloor();

// A host position past the end of the reader's lap while the writer is a lap
// ahead moves the reader into the writer's lap: the writer starts its next
// lap only from there, so a far target is reached at network speed.
void FollowWriterLap(std::int64_t position);

}  // namespace httpmedia
