#include "stream/download_task.h"

#include <algorithm>
#include <string>

#include "platform/system_services.h"
#include "stream/chunk_lock.h"
#include "stream/http_request.h"
#include "stream/invariants.h"
#include "stream/outcome.h"
#include "stream/range_request.h"
#include "stream/rejoin.h"
#include "stream/ring.h"
#include "stream/stream_log.h"
#include "stream/stream_state.h"

namespace httpmedia {

namespace {

constexpr char16_t ChunkMutexName[] = u"ReadDone";

enum class RoundResult { Continue, Ended };

// Stores what the transfer brought: the write offset, the end of the
// transfer in flight lowered to what arrived, and the wrap after a full lap.
void BookTransfer(std::int32_t base, std::int32_t offset, std::int32_t wanted,
                  std::int32_t received) {
  const std::int32_t newOffset = offset + received;
  Stream.WriteOffset.store(newOffset);
  CheckLaps();
  Stream.TransferEnd.store(base + newOffset);
  const bool full = received == wanted;
  if (full && newOffset == RingSize && Stream.ReaderLapBase.load() == base) WrapWriter();
}

// The download ends, not resumed: at the body's end when the transfer ended
// cleanly where no length was given, or at the length; cut otherwise.
void TellDownloadEnd(std::int64_t end, bool ok, std::uint32_t error) {
  const bool whole =
      !StreamWasCut() && ok && (Stream.ServerLength.load() < 0 || end >= PositionLimit());
  if (whole) {
    outcome::DownloadEnds(outcome::Kind::Ended,
                          "the end of the stream: the body ended at byte " + std::to_string(end));
    return;
  }
  std::string why = "the stream was cut at byte " + std::to_string(end);
  if (Stream.LengthKnown.load() != 0) why += " of " + std::to_string(Stream.Length.load());
  why += ok ? " (the server ended the body)" : std::string(" (") + outcome::ErrorWords(error) + ")";
  outcome::DownloadEnds(outcome::Kind::Cut, why + " and not rejoined");
}

// The budget counts the time spent reconnecting since the last byte
// arrived: a server that answers every range and then breaks off before a
// byte must not keep the download reconnecting for as long as the stream
// is open.
RoundResult TransferChunk(ChunkLock& lock, RetryBudget& budget) {
  if (void (*const hook)() = BeforeAnnouncement.load()) hook();
  const std::int32_t offset = Stream.WriteOffset.load();
  const std::int32_t base = Stream.WriterLapBase.load();
  // Never past the ring's end, nor past the position limit: positions stay
  // within what a signed 32-bit stream position holds, whatever the length.
  const std::int64_t left = PositionLimit() - base - offset;
  const std::int32_t wanted = static_cast<std::int32_t>(
      std::min<std::int64_t>({Stream.ChunkSize.load(), RingSize - offset, left}));
  HTTPMEDIA_ASSERT(wanted > 0 && offset + wanted <= RingSize, "a transfer stays inside the ring");
  HTTPMEDIA_ASSERT(static_cast<std::int64_t>(base) + offset + wanted <= PositionLimit(),
                   "a transfer ends within the stream's limit");

  // Announce the bytes about to be overwritten before looking at the host's
  // position once more: either the host's read sees the announcement, or
  // this round sees where the host has just moved and holds back. The
  // round's own admission came before the announcement: a host seeking back
  // meanwhile to just above the write offset, a lap ahead, found those bytes
  // in the window and was let through, and only this second look keeps the
  // transfer off them.
  Stream.TransferEnd.store(base + offset + wanted);
  if (AdmitNow() != Admission::Transfer) {
    Stream.TransferEnd.store(base + offset);
    sys::Sleep(PollMs);
    return RoundResult::Continue;
  }

  // The mutex is held for the store only, never across the network's wait:
  // the ring is this process's own, with this thread its one writer, and the
  // reader never takes the mutex, so every rule of the ring rests on the
  // order of this thread's stores (announcement, admission, bytes, offset),
  // not on the mutex, and another process's slow server holds up no one.
  const InternetHandle request = Stream.Request.load();
  std::int32_t received = 0;
  const bool ok = ReadNextChunk(request, Stream.Ring.load() + offset, wanted, received);
  const std::uint32_t error = ok ? 0 : RequestError();
  streamlog::Chunk(static_cast<std::int64_t>(base) + offset, wanted, received, ok);
  // The bytes read have left the request: they are booked whether or not
  // the mutex could be had, for unbooked they would shift every later byte
  // of a request the download goes on with. A failing transfer may still
  // have stored what came before the failure; those bytes are the body's
  // and are kept too.
  const bool held = lock.Take();
  BookTransfer(base, offset, wanted, received);
  if (held) lock.GiveBack();
  KeepStart(static_cast<std::int64_t>(base) + offset, Stream.Ring.load() + offset, received);

  if (received > 0) budget.Reset();
  if (!ok || received == 0) {
    // Ended short of a known length: the connection dropped (or stalled
    // past the stall limit), and the server may give the rest.
    if (base + offset + received < PositionLimit() && ResumeAfterDrop(request, budget)) {
      return RoundResult::Continue;
    }
    TellDownloadEnd(static_cast<std::int64_t>(base) + offset + received, ok, error);
    Stream.StreamEnded.store(1);
    return RoundResult::Ended;
  }
  if (received < wanted) sys::Sleep(PollMs);  // the network is slower than we read: let data gather
  return RoundResult::Continue;
}

}  // namespace

bool StartDownload() {
  if (Stream.Ring.load() == nullptr) {
    Stream.Ring.store(static_cast<std::uint8_t*>(sys::Allocate(RingSize)));
    if (Stream.Ring.load() == nullptr) return false;
  }
  ResetLaps(0);
  Stream.ChunkSize.store(DefaultChunkSize);
  Stream.ChunkMutex.store(sys::CreateNamedMutex(ChunkMutexName));
  if (Stream.ChunkMutex.load() == nullptr || !StartDownloadTask()) {
    ReleaseDownload();
    return false;
  }
  return true;
}

bool StartDownloadTask() {
  Stream.Finished.store(0);
  Stream.DownloadThread.store(sys::StartThread(DownloadThreadProc));
  return Stream.DownloadThread.load() != nullptr;
}

void JoinEndedDownloadTask() {
  const sys::ThreadHandle thread = Stream.DownloadThread.exchange(nullptr);
  if (thread != nullptr) sys::JoinThread(thread);
}

void StopDownloadTask() {
  CloseInternetHandle(Stream.Request.exchange(nullptr));
  if (Stream.DownloadThread.load() == nullptr) return;
  while (Stream.Finished.load() == 0) sys::Sleep(PollMs);
  sys::JoinThread(Stream.DownloadThread.exchange(nullptr));
}

std::uint32_t DownloadThreadProc() {
  MarkDownloadThread();
  streamlog::DownloadStarts();
  if (Stream.Request.load() == nullptr) {
    Stream.Finished.store(1);
    return 1;
  }
  ChunkLock lock(Stream.ChunkMutex.load());
  RetryBudget budget;
  for (;;) {
    // A restart the host asked for comes before anything else, and may
    // revive a download that ended.
    if (Stream.RestartTarget.load() >= 0) {
      TakeUpRestart();
      budget.Reset();
    }
    if (Stream.StreamEnded.load() != 0 || Stream.Request.load() == nullptr) {
      Stream.Finished.store(1);
      return 1;
    }
    switch (AdmitNow()) {
      case Admission::Transfer:
        // An end is taken at the top of the loop, after a restart asked
        // for meanwhile.
        TransferChunk(lock, budget);
        break;
      case Admission::Wrap: {
        const bool held = lock.Take();
        WrapWriter();
        if (held) lock.GiveBack();
        break;
      }
      case Admission::Idle:
        sys::Sleep(PollMs);
        break;
    }
    if (Stream.Request.load() == nullptr) {
      Stream.Finished.store(1);
      return 1;
    }
  }
}

void StopDownload() {
  if (Stream.DownloadThread.load() != nullptr) {
    while (Stream.Finished.load() == 0) sys::Sleep(ClosePollMs);
    sys::JoinThread(Stream.DownloadThread.exchange(nullptr));
  }
  ReleaseDownload();
}

void ReleaseDownload() {
  sys::CloseMutex(Stream.ChunkMutex.exchange(nullptr));
  sys::Free(Stream.Ring.exchange(nullptr));
  // With no ring there is no window: a seek or read before the next open
  // must not be judged by the laps of the stream just closed.
  ResetLaps(0);
}

}  // namespace httpmedia
