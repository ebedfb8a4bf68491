#include "stream/download_task.h"

#include "platform/platform_api.h"
#include "platform/system_services.h"
#include "stream/range_request.h"
#include "stream/request_flags.h"
#include "stream/stream_state.h"

namespace httpmedia {

namespace {

constexpr char16_t ChunkMutexName[] = u"ReadDone";

enum class RoundResult { Continue, Ended };

// The writer has filled its lap to the end. Starting the next lap stores the
// offset before the base, so that the reader never sees DownloadEnd too high.
void WrapWriter() {
  Stream.WriteOffset.store(0);
  Stream.WriterLapBase.store(Stream.ReaderLapBase.load() + RingSize);
}

Admission AdmitNow() {
  std::int64_t reader = Stream.ReaderLapBase.load();
  std::int64_t writer = Stream.WriterLapBase.load();
  std::int64_t offset = Stream.WriteOffset.load();
  return Admit(reader, writer, offset, Stream.Position.load(), Stream.Length.load());
}

// fruitlessResumes counts reconnections since the last byte arrived: a
// server that answers every range and then breaks off before a byte must
// not keep the download reconnecting for as long as the stream is open.
RoundResult TransferChunk(sys::MutexHandle mutex, int& fruitlessResumes) {
  sys::TakeMutex(mutex);
  const std::int32_t offset = Stream.WriteOffset.load();
  const std::int32_t base = Stream.WriterLapBase.load();
  std::int32_t wanted = Stream.ChunkSize.load();
  if (RingSize - wanted - offset < 0) wanted = RingSize - offset;  // never past the ring's end

  // Announce the bytes about to be overwritten before looking at the host's
  // position once more: either the host's read sees the announcement, or
  // this round sees where the host has just moved and holds back.
  Stream.TransferEnd.store(base + offset + wanted);
  if (AdmitNow() != Admission::Transfer) {
    Stream.TransferEnd.store(base + offset);
    sys::GiveMutexBack(mutex);
    sys::Sleep(PollMs);
    return RoundResult::Continue;
  }

  const InternetHandle request = Stream.Request.load();
  DWORD received = 0;
  const BOOL ok = ::InternetReadFile(static_cast<HINTERNET>(request), Stream.Ring.load() + offset,
                                     static_cast<DWORD>(wanted), &received);
  // A count larger than asked is not to be believed: nothing of it is kept.
  if (received > static_cast<DWORD>(wanted)) received = 0;
  // A failing transfer may still have stored what came before the failure;
  // those bytes are the body's and are kept.
  const std::int32_t newOffset = offset + static_cast<std::int32_t>(received);
  Stream.WriteOffset.store(newOffset);
  Stream.TransferEnd.store(base + newOffset);
  const bool full = received == static_cast<DWORD>(wanted);
  if (full && newOffset == RingSize && Stream.ReaderLapBase.load() == base) WrapWriter();

  if (received > 0) fruitlessResumes = 0;
  if (!ok || received == 0) {
    sys::GiveMutexBack(mutex);
    // Ended short of a known length: the connection dropped, and the server
    // may give the rest.
    if (base + newOffset < Stream.Length.load() && fruitlessResumes < ResumeAttempts &&
        ResumeAfterDrop(request)) {
      ++fruitlessResumes;
      return RoundResult::Continue;
    }
    Stream.StreamEnded.store(1);
    return RoundResult::Ended;
  }
  if (!full) sys::Sleep(PollMs);  // the network is slower than we read: let data gather
  sys::GiveMutexBack(mutex);
  return RoundResult::Continue;
}

}  // namespace

Admission Admit(std::int64_t readerLapBase, std::int64_t writerLapBase, std::int64_t writeOffset,
                std::int64_t position, std::int64_t length) {
  const std::int64_t a = readerLapBase, b = writerLapBase, w = writeOffset, p = position;
  // Everything up to the length is here.
  if (b + w >= length) return Admission::Idle;
  // A lap ahead, the writer has come within the reserve kept behind the host.
  if (p - a - w < BehindReserve && p > a + w && b > a) return Admission::Idle;
  // Far enough ahead of the host within its lap.
  if (a + w - p > AheadLimit) return Admission::Idle;
  // A full lap starts the next one only from the reader's lap: a second lap
  // ahead of the reader would be stored under the wrong base. The reader
  // moves into the writer's lap when it needs to, and the wrap follows.
  if (w >= RingSize) return b == a ? Admission::Wrap : Admission::Idle;
  return Admission::Transfer;
}

bool StartDownload() {
  if (Stream.Ring.load() == nullptr) {
    Stream.Ring.store(static_cast<std::uint8_t*>(sys::Allocate(RingSize)));
    if (Stream.Ring.load() == nullptr) return false;
  }
  Stream.DownloadStart.store(0);
  Stream.ReaderLapBase.store(0);
  Stream.WriterLapBase.store(0);
  Stream.WriteOffset.store(0);
  Stream.TransferEnd.store(0);
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

void StopDownloadTask() {
  CloseInternetHandle(Stream.Request.exchange(nullptr));
  if (Stream.DownloadThread.load() == nullptr) return;
  while (Stream.Finished.load() == 0) sys::Sleep(PollMs);
  sys::JoinThread(Stream.DownloadThread.exchange(nullptr));
}

std::uint32_t DownloadThreadProc() {
  if (Stream.Request.load() == nullptr) {
    Stream.Finished.store(1);
    return 1;
  }
  const sys::MutexHandle mutex = Stream.ChunkMutex.load();
  int fruitlessResumes = 0;
  for (;;) {
    switch (AdmitNow()) {
      case Admission::Transfer:
        if (TransferChunk(mutex, fruitlessResumes) == RoundResult::Ended) {
          Stream.Finished.store(1);
          return 1;
        }
        break;
      case Admission::Wrap:
        sys::TakeMutex(mutex);
        WrapWriter();
        sys::GiveMutexBack(mutex);
        break;
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
  Stream.DownloadStart.store(0);
  Stream.ReaderLapBase.store(0);
  Stream.WriterLapBase.store(0);
  Stream.WriteOffset.store(0);
  Stream.TransferEnd.store(0);
}

}  // namespace httpmedia
