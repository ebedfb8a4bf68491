// The ring's rules: how stream positions map onto ring offsets through the
// two lap bases, which positions the ring can hand out, when the download
// may fetch, and the two lap transitions (the writer's wrap and the
// reader's crossing). Every function reads the one stream's record afresh.
//
// The rules these keep, asserted after each store that could break them:
//   0 <= WriteOffset <= RingSize;
//   WriterLapBase - ReaderLapBase is 0 or RingSize (the writer is in the
//   reader's lap or one lap ahead, never two);
//   DownloadStart <= ReaderLapBase (the reader never looks below the start
//   of the ring's download);
//   DownloadEnd <= TransferEnd (no byte counts as downloaded before the
//   transfer that stores it was announced).
#pragma once

#include <cstdint>
#include <optional>

namespace httpmedia {

// Stream position just past the last downloaded byte. WriterLapBase is read
// before WriteOffset, so that against a writer wrap (offset stored before the
// base) the result is momentarily too low, never too high.
std::int64_t DownloadEnd();

// Ring offset holding stream position p, by the reader's lap (L <= p < L +
// RingSize: p - L) or the previous lap (L - RingSize <= p < L: p - L +
// RingSize), with L = ReaderLapBase; nothing for any other position, nor
// for a negative one.
std::optional<std::int32_t> RingOffsetOf(std::int64_t position, std::int64_t readerLapBase);

// Stream position past which the download stores nothing: the length the
// server gave, or, for a body of unknown length, the last position a signed
// 32-bit stream position can reach. The stand-in length Open reports is
// never a limit: such a body is read to its real end.
std::int64_t PositionLimit();

// The download will store nothing more in this ring: it has ended, or it
// holds everything up to the length. Only a restart elsewhere changes that.
bool DownloadSettled();

// Lowest stream position whose bytes the ring can hand out now: below it
// they have been overwritten, may be being overwritten by the transfer in
// flight, or are next in the writer's way.
std::int64_t WindowFloor();

enum class Admission { Transfer, Idle, Wrap };

// Whether the next round may fetch a chunk, from the reader's and writer's
// lap bases, the write offset, the host's position and the stream length.
Admission Admit(std::int64_t readerLapBase, std::int64_t writerLapBase, std::int64_t writeOffset,
                std::int64_t position, std::int64_t length);
// The same, from the record as it stands.
Admission AdmitNow();

// The writer has filled its lap to the end and the reader is in that lap:
// the writer starts the next lap, one ahead of the reader.
void WrapWriter();

// The reader crosses into the writer's lap; false when the writer is in the
// reader's lap, so that there is nothing to cross into.
bool CrossIntoWriterLap();

// A host position past the end of the reader's lap while the writer is a lap
// ahead moves the reader into the writer's lap: the writer starts its next
// lap only from there, so a far target is reached at network speed.
void FollowWriterLap(std::int64_t position);

// Lays the ring out afresh for a download that begins at stream position
// start: both laps based there, nothing written, nothing in flight. Only
// while no download task runs.
void ResetLaps(std::int32_t start);

// Asserts the lap rules above (a no-op where invariants are not checked).
void CheckLaps();

}  // namespace httpmedia
