// The one stream's record, shared by the host's calls and the download
// thread. The rules that map its positions onto the ring are in ring.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "httpmedia/httpmedia.h"
#include "platform/system_services.h"
#include "stream/header_values.h"

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
  // Non-zero exactly while a ring is held (see CheckOpenStream).
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
  // The whole length the server gave, -1 when it gave none. Past the last
  // position a stream reaches, Length is the stand-in and LengthKnown 0,
  // while ranges still serve every position below that last one.
  std::atomic<std::int64_t> ServerLength{-1};
  // The length came from the server, or a validator that may go into
  // If-Range identifies the body, and no answer since has shown another
  // version of it: a position below the ring's window can be fetched again
  // from the start.
  std::atomic<std::uint32_t> Refetchable{0};
  // A position the host's read asked the download task to restart at
  // (NoRestart when none; see range_request.h).
  std::atomic<std::int32_t> RestartTarget{-1};
  std::atomic<sys::MutexHandle> ChunkMutex{nullptr};
  std::atomic<sys::ThreadHandle> DownloadThread{nullptr};
  std::atomic<std::uint32_t> StreamEnded{0};
  // Set before StreamEnded when the download ended because the server could
  // not be reached (no answer, or busy, for the whole retry budget) or the
  // read waiting for it gave up first: the end is not the body's, and a read
  // there asks the server again (see range_request.h).
  std::atomic<std::uint32_t> ServerAway{0};
  // Two meanings over the stream's life: during Open, the probe request
  // completed; afterwards, the download task ended.
  std::atomic<std::uint32_t> Finished{0};
  // The URL the host opened, which range requests ask for again. Written by
  // Open before any download starts; only read while the stream is open.
  std::u16string Url;
  // The stream response's validators, as the server sent them; written and
  // read as Url is.
  Validators Version;
};

extern StreamState Stream;

// Stream.Request while the download task has withdrawn the stream's request
// for a restart and has none in its place yet: not null, for the download is
// not to stop, and never a handle, so closing it does nothing.
inline char WithdrawnRequestTag;
inline const InternetHandle WithdrawnRequest = &WithdrawnRequestTag;

// In a child the host forked: the parent's stream is not the child's. Its
// download thread is not there to stop, and its requests share the
// parent's connections, so closing them would stop the parent's stream.
// The child starts with no stream; the parent's handles are let go
// unclosed, and only the child's copy of the ring is freed.
void ForgetStreamInForkedChild();

// Asserts the rule by which the host's calls tell an open stream from none:
// Length is non-zero exactly while a ring is held. It holds between any two
// of the host's calls.
void CheckOpenStream();

}  // namespace httpmedia
