#include "stream/rejoin.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/system_services.h"
#include "stream/download_wait.h"
#include "stream/http_request.h"
#include "stream/invariants.h"
#include "stream/ring.h"
#include "stream/stream_log.h"

namespace httpmedia {

namespace {

// The download thread's own record; Open writes it before the download
// starts, and each download task after the first starts once the one before
// it has been joined.
struct RejoinRecord {
  bool framingMarksEnd = false;
  // Whether the stream could be fetched again by its length or validator
  // when it was opened: one that could and no longer can has changed.
  bool refetchableAtOpen = false;
  // A new answer differed from the stream: the URL is not asked for again.
  // The host's seeks read it too.
  std::atomic<bool> differs{false};
  // The network's last transfer ended with no error and no byte.
  bool lastEndClean = false;
  std::array<std::uint8_t, KeptStartSize> start{};
  // Bytes of `start` held, from position 0; the host's seeks read it too.
  std::atomic<std::int32_t> kept{0};
  // Bytes of pendingRequest's body past the cut, read while the new answer
  // was being recognised, for the download to store first.
  std::vector<std::uint8_t> pending;
  std::size_t pendingAt = 0;
  InternetHandle pendingRequest = nullptr;
};

RejoinRecord Record;
std::atomic<std::uint32_t> Cut{0};
std::atomic<std::uint32_t> Broadcast{0};

// A stream with neither a length nor a validator: nothing but its bytes
// tells a new answer from the old, and a new answer that begins otherwise is
// a broadcast going on. A stream with either is a file, and is never joined.
bool Joinable() {
  return Stream.ServerLength.load() < 0 && Stream.Version.etag.empty() &&
         Stream.Version.lastModified.empty();
}

void Hand(InternetHandle request, const std::uint8_t* bytes, std::int32_t count) {
  Record.pending.assign(bytes, bytes + count);
  Record.pendingAt = 0;
  Record.pendingRequest = request;
}

// Whether bytes of positions [at, at + count), all below the download's end,
// match what the ring still holds of them. The writer is this thread and
// stands still meanwhile, so the ring's last lap is fixed: positions from one
// ring below the download's end, by the writer's lap base.
bool MatchesRing(std::int64_t at, const std::uint8_t* bytes, std::int64_t count) {
  const std::int64_t floor =
      std::max<std::int64_t>(Stream.DownloadStart.load(), DownloadEnd() - RingSize);
  const std::int64_t base = Stream.WriterLapBase.load();
  const std::uint8_t* ring = Stream.Ring.load();
  for (std::int64_t p = std::max(at, floor); p < at + count;) {
    const std::int64_t lapEnd = p < base ? base : base + RingSize;
    const std::int64_t span = std::min(at + count, lapEnd) - p;
    const std::int64_t offset = p < base ? p - base + RingSize : p - base;
    HTTPMEDIA_ASSERT(offset >= 0 && offset + span <= RingSize, "a comparison stays in the ring");
    if (std::memcmp(ring + offset, bytes + (p - at), static_cast<std::size_t>(span)) != 0) {
      return false;
    }
    p += span;
  }
  return true;
}

enum class Followed { Same, Joined, EndsThere, Differs, Dropped };

// Reads the new answer on `request` up to the cut: its start against the
// stream's kept start, then every byte the ring still holds. After a clean
// end of a body whose framing does not mark its end, the new answer's next
// read shows whether the body goes on past the cut or ends there too.
Followed Follow(InternetHandle request, std::int64_t cut, bool cleanEnd) {
  std::vector<std::uint8_t> buffer(std::max<std::int32_t>(KeptStartSize, DefaultChunkSize));
  const auto kept = static_cast<std::int32_t>(std::min<std::int64_t>(Record.kept.load(), cut));
  std::int32_t have = 0;
  while (have < kept) {
    std::int32_t got = 0;
    const bool ok = ReadChunk(request, buffer.data() + have, kept - have, got);
    if (got > 0 && std::memcmp(buffer.data() + have, Record.start.data() + have,
                               static_cast<std::size_t>(got)) != 0) {
      if (!Joinable()) return Followed::Differs;
      // A broadcast: what came of the new answer is the stream from here.
      Hand(request, buffer.data(), have + got);
      return Followed::Joined;
    }
    have += got;
    if (!ok || got == 0) return Followed::Dropped;
  }
  // The same start: the same body, read forward to the cut.
  for (std::int64_t at = kept; at < cut;) {
    const auto wanted =
        static_cast<std::int32_t>(std::min<std::int64_t>(DefaultChunkSize, cut - at));
    std::int32_t got = 0;
    const bool ok = ReadChunk(request, buffer.data(), wanted, got);
    if (got > 0 && !MatchesRing(at, buffer.data(), got)) return Followed::Differs;
    at += got;
    if (!ok || got == 0) return Followed::Dropped;
  }
  if (cleanEnd) {
    std::int32_t got = 0;
    const bool ok = ReadChunk(request, buffer.data(), DefaultChunkSize, got);
    if (ok && got == 0) return Followed::EndsThere;
    if (got == 0) return Followed::Dropped;
    Hand(request, buffer.data(), got);
  }
  return Followed::Same;
}

// Asks for the URL again until an answer serves, with the pauses and the
// budget of a range request's resume.
RangeReply AskForBody(RetryBudget& budget, const std::function<bool()>& stillWanted,
                      std::uint32_t& tries) {
  return AskWithinBudget(budget, stillWanted, [&](std::uint32_t, std::uint32_t left) {
    ++tries;
    return OpenWholeBodyAgain(std::min(RangeHeaderDeadlineMs, left), &stillWanted, left);
  });
}

}  // namespace

void RememberFraming(InternetHandle request) {
  Record.framingMarksEnd = FramingMarksEnd(request);
  Record.refetchableAtOpen = Stream.Refetchable.load() != 0;
  Record.differs.store(false);
  Record.lastEndClean = false;
  Record.kept.store(0);
  Record.pending.clear();
  Record.pendingAt = 0;
  Record.pendingRequest = nullptr;
  Cut.store(0);
  Broadcast.store(0);
}

void KeepStart(std::int64_t position, const std::uint8_t* bytes, std::int32_t count) {
  // Only a start kept without a gap: a download restarted elsewhere adds
  // nothing to it.
  if (position >= KeptStartSize || position > Record.kept.load() || count <= 0) return;
  const std::int64_t end = std::min<std::int64_t>(KeptStartSize, position + count);
  std::copy(bytes, bytes + (end - position), Record.start.begin() + position);
  Record.kept.store(std::max(Record.kept.load(), static_cast<std::int32_t>(end)));
}

bool ReadNextChunk(InternetHandle request, std::uint8_t* destination, std::int32_t wanted,
                   std::int32_t& received) {
  // A request handle is never reused: bytes handed for one request are
  // never taken for another, such as a restart's.
  if (request == Record.pendingRequest && Record.pendingAt < Record.pending.size()) {
    const std::size_t count =
        std::min(static_cast<std::size_t>(wanted), Record.pending.size() - Record.pendingAt);
    std::memcpy(destination, Record.pending.data() + Record.pendingAt, count);
    Record.pendingAt += count;
    received = static_cast<std::int32_t>(count);
    Record.lastEndClean = false;
    return true;
  }
  const bool ok = ReadChunk(request, destination, wanted, received);
  Record.lastEndClean = ok && received == 0;
  return ok;
}

bool RejoinAfterDrop(InternetHandle broken, RetryBudget& budget) {
  const bool cleanEnd = Record.lastEndClean;
  Record.lastEndClean = false;
  // A body whose framing marks its end and that ended cleanly has ended
  // (within a known length, a clean end short of it is still a cut).
  if (cleanEnd && Record.framingMarksEnd && Stream.ServerLength.load() < 0) return false;
  // A resource seen to change is not asked for again.
  if (Record.differs.load() || (Record.refetchableAtOpen && Stream.Refetchable.load() == 0)) {
    return false;
  }
  const std::int64_t cut = DownloadEnd();
  const auto began = std::chrono::steady_clock::now();
  auto took = [&began] {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - began)
                                          .count());
  };
  InternetHandle current = broken;
  std::uint32_t tries = 0;
  const std::function<bool()> stillWanted = [&current] {
    return Stream.Request.load() == current && Stream.RestartTarget.load() == NoRestart;
  };
  for (;;) {
    RangeReply reply = AskForBody(budget, stillWanted, tries);
    if (reply.answer != RangeAnswer::Served) {
      CloseReply(reply);
      if (reply.answer == RangeAnswer::Changed) {
        Record.differs.store(true);
        Cut.store(1);
        Stream.Refetchable.store(0);
        streamlog::Rejoined(streamlog::RejoinOutcome::Changed, cut, took(), tries);
        return false;
      }
      // Close or a restart withdrew the stream's request: a stop, not a cut.
      if (!stillWanted()) return false;
      Cut.store(1);
      streamlog::Rejoined(streamlog::RejoinOutcome::Cut, cut, took(), tries);
      return false;
    }
    if (!TakeOver(current, reply)) return false;
    current = reply.request;
    LimitStall(current);
    switch (Follow(current, cut, cleanEnd)) {
      case Followed::Same:
        streamlog::Rejoined(streamlog::RejoinOutcome::FetchedAgain, cut, took(), tries);
        return true;
      case Followed::Joined:
        Broadcast.store(1);
        streamlog::Rejoined(streamlog::RejoinOutcome::Joined, cut, took(), tries);
        return true;
      case Followed::EndsThere:
        streamlog::Rejoined(streamlog::RejoinOutcome::EndsThere, cut, took(), tries);
        return false;
      case Followed::Differs:
        Record.differs.store(true);
        Cut.store(1);
        Stream.Refetchable.store(0);
        streamlog::Rejoined(streamlog::RejoinOutcome::Differs, cut, took(), tries);
        return false;
      case Followed::Dropped:
        // Cut again before the cut: asked for again within what is left of
        // the budget, unless withdrawn.
        if (!stillWanted()) return false;
        break;
    }
  }
}

bool StartRecognisesBody() {
  return Joinable() && Broadcast.load() == 0 && !Record.differs.load() &&
         Record.kept.load() == KeptStartSize;
}

bool BeginsAsKept(InternetHandle request, CallDeadline& deadline) {
  // The kept start stands still meanwhile: the download that wrote it is
  // past it, a ring beyond (which is why the host's seek fell below the
  // ring), and only a download within the start writes to it.
  std::vector<std::uint8_t> buffer(KeptStartSize);
  std::int32_t have = 0;
  while (have < KeptStartSize && !deadline.Expired()) {
    LimitStall(request, deadline.LeftMs());
    std::int32_t got = 0;
    const bool ok = ReadChunk(request, buffer.data() + have, KeptStartSize - have, got);
    if (!std::equal(buffer.data() + have, buffer.data() + have + got, Record.start.data() + have)) {
      Broadcast.store(1);
      return false;
    }
    have += got;
    if (!ok || got == 0) return false;
  }
  return have == KeptStartSize;
}

void HandKeptStart(InternetHandle request) {
  Hand(request, Record.start.data(), Record.kept.load());
}

bool StreamWasCut() { return Cut.load() != 0; }

bool StreamIsBroadcast() { return Broadcast.load() != 0; }

}  // namespace httpmedia
