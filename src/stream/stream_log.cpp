#include "stream/stream_log.h"

#include <atomic>
#include <string>

#include "platform/platform_api.h"
#include "platform/text.h"
#include "stream/outcome.h"
#include "stream/refetch.h"
#include "stream/rejoin.h"
#include "stream/ring.h"

namespace httpmedia::streamlog {

namespace {

// The cause of the last drop, for the line of what came of it (the download
// thread's own).
std::string LastDropCause;

// UTF-8 of a UTF-16 text, by the converter every layer uses.
std::string Narrow(std::u16string_view text) { return text::Utf16ToUtf8(text); }

// A header of the answer, read through the engine's way to the network.
std::string Header(InternetHandle request, AnswerHeader header) {
  return Narrow(ResponseHeader(request, header));
}

const char* AnswerWords(RangeAnswer answer) {
  switch (answer) {
    case RangeAnswer::Served:
      return "served: a 206 of the stream's version starting exactly there";
    case RangeAnswer::Changed:
      return "changed: the answer carries another version of the resource (its validator or "
             "length differs)";
    case RangeAnswer::Retry:
      return "no usable answer (no connection, no headers in time, or 408, 429 or 5xx): worth "
             "another try";
    case RangeAnswer::Refused:
      return "refused: not a 206 of exactly the range asked for";
  }
  return "";
}

// The try of the current resume or restart, counted on the download thread
// alone; the first try of a fresh budget starts again at 1.
std::atomic<int> RangeTries{0};

// Why the download's last chunk failed (the client's error code), 0 when it
// did not; for the line of a drop, on the download thread.
std::atomic<std::uint32_t> ChunkError{0};

}  // namespace

void WriteOpenBegins(const char16_t* url) {
  diag::RestartClock();
  diag::NameThread("host");
  diag::Write("open %s", diag::PrintableUrl(Narrow(url)).c_str());
}

void WriteOpenFails(const char* why) { diag::Write("open fails: %s", why); }

void WriteProbeEnded(std::uint32_t elapsedMs) {
  if (elapsedMs < WaitLimitMs) {
    diag::Write("probe ended after %u ms", elapsedMs);
  } else {
    diag::Write("open fails: the probe did not complete within the wait limit of %u ms",
                WaitLimitMs);
  }
}

void WriteRequest(const char16_t* url, const char16_t* headers) {
  std::string added = headers ? Narrow(headers) : std::string();
  // "Range: ...\r\nIf-Range: ...\r\n" on one line.
  for (std::size_t at = added.find("\r\n"); at != std::string::npos; at = added.find("\r\n")) {
    added.replace(at, 2, at + 2 == added.size() ? "" : ", ");
  }
  diag::Write("GET %s%s%s", diag::PrintableUrl(Narrow(url)).c_str(), added.empty() ? "" : " with ",
              added.c_str());
}

void WriteAnswer(InternetHandle request, std::uint32_t deadlineMs, bool expired) {
  if (expired) {
    diag::Write("no answer: its headers were not all in within the deadline of %u ms", deadlineMs);
    return;
  }
  if (request == nullptr) {
    const std::uint32_t error = RequestError();
    diag::Write("no answer: %s (error %u)", outcome::ErrorWords(error),
                static_cast<unsigned>(error));
    return;
  }
  // Content-Type and Content-Encoding tell an error page or a compressed
  // body served as 200 from the media asked for.
  static constexpr struct {
    AnswerHeader header;
    const char* name;
  } Shown[] = {
      {AnswerHeader::ContentType, "Content-Type"},
      {AnswerHeader::ContentLength, "Content-Length"},
      {AnswerHeader::ContentRange, "Content-Range"},
      {AnswerHeader::ContentEncoding, "Content-Encoding"},
      {AnswerHeader::TransferEncoding, "Transfer-Encoding"},
      {AnswerHeader::AcceptRanges, "Accept-Ranges"},
      {AnswerHeader::ETag, "ETag"},
      {AnswerHeader::LastModified, "Last-Modified"},
      {AnswerHeader::RetryAfter, "Retry-After"},
      {AnswerHeader::Location, "Location"},
  };
  std::string headers;
  for (const auto& shown : Shown) {
    std::string value = Header(request, shown.header);
    // A redirect's target may carry credentials, which never reach the log.
    if (shown.header == AnswerHeader::Location) value = diag::PrintableUrl(value);
    if (!value.empty()) headers += std::string(", ") + shown.name + ": " + value;
  }
  diag::Write("answer %u%s", static_cast<unsigned>(ResponseStatus(request)), headers.c_str());
}

void WriteStreamTaken(InternetHandle request) {
  const std::int32_t length = Stream.Length.load();
  const bool lengthKnown = Stream.LengthKnown.load() != 0;
  if (lengthKnown) {
    diag::Write("length %d taken from Content-Length", length);
  } else {
    const std::string given = Header(request, AnswerHeader::ContentLength);
    const std::string coding = Header(request, AnswerHeader::TransferEncoding);
    const std::string encoding = Header(request, AnswerHeader::ContentEncoding);
    // Transfer-Encoding frames the body whatever Content-Length says, and
    // Content-Length counts the encoded bytes.
    const std::string why =
        !coding.empty()     ? "the body is sent with Transfer-Encoding: " + coding
        : !encoding.empty() ? "the body is sent with Content-Encoding: " + encoding +
                                  ", decoded as it arrives, though the request asked for it as "
                                  "it is"
        : Stream.ServerLength.load() >= 0
            ? "Content-Length " + given +
                  " is longer than positions can reach (a signed 32-bit position); the read "
                  "at the last one ends the stream"
        : !given.empty() ? "Content-Length \"" + given + "\" is not a length"
                         : std::string("no Content-Length");
    diag::Write(
        "length unknown: %s; the stand-in %d is reported and the stream ends where the "
        "body ends",
        why.c_str(), length);
  }
  if (Stream.RangesAccepted.load() != 0) {
    diag::Write(
        "ranges usable: Accept-Ranges: bytes and the validator %s; a drop is resumed, "
        "a transfer silent for %u ms counts as one",
        Narrow(Stream.Version.etag.empty() ? Stream.Version.lastModified : Stream.Version.etag)
            .c_str(),
        StallLimitMs);
    return;
  }
  std::string why;
  if (Stream.ServerLength.load() < 0) why += ", the length is unknown";
  const std::string ranges = Header(request, AnswerHeader::AcceptRanges);
  if (!NamesByteRanges(std::u16string(ranges.begin(), ranges.end()))) {
    why += ", no Accept-Ranges: bytes";
  }
  if (!Stream.Version.Identify()) {
    why += ", no validator (no strong ETag, no Last-Modified) to tell a new version by";
  }
  diag::Write("ranges not usable: %s; a drop ends the download, %s", why.c_str() + 2,
              Stream.Refetchable.load() != 0
                  ? "a seek below the ring fetches the body again from the start"
                  : "a seek below the ring is refused (a second GET of a stream without a "
                    "length gives other bytes)");
}

void WriteCloses() {
  diag::Write("close at position %d; the download holds up to %lld of %d", Stream.Position.load(),
              static_cast<long long>(DownloadEnd()), Stream.Length.load());
}

void WriteChunk(std::int64_t at, std::int32_t wanted, std::int32_t received, bool ok) {
  ChunkError.store(ok ? ERROR_SUCCESS : RequestError());
  if (!Enabled(Level::Debug)) return;
  diag::Write("chunk at %lld: %d of %d bytes%s", static_cast<long long>(at), received, wanted,
              ok ? "" : ", the transfer failed");
}

void WriteWaitEnded(WaitResult result, std::uint32_t waitedMs) {
  if (result == WaitResult::TimedOut) {
    diag::Write(
        "time-out: the wait for the download ran out after %u ms (limit %u ms) at "
        "position %d, the download at %lld",
        waitedMs, WaitLimitMs, Stream.Position.load(), static_cast<long long>(DownloadEnd()));
  } else {
    diag::Write("waited %u ms for the download: %s", waitedMs,
                result == WaitResult::Ready ? "ready" : "the download ended");
  }
}

void WriteRangeTry(std::int64_t position, const RetryBudget& budget, std::uint32_t pauseMs) {
  const int tries = budget.nextPauseMs == 0 ? 1 : RangeTries.load() + 1;
  RangeTries.store(tries);
  diag::Write(
      "range request, try %d, from %lld after a pause of %u ms; %u ms of the retry "
      "budget left",
      tries, static_cast<long long>(position), pauseMs, RetryBudgetMs - budget.spentMs);
}

void WriteRangeReplied(const RangeReply& reply, const RetryBudget& budget) {
  if (reply.answer != RangeAnswer::Retry) {
    diag::Write("range answer: %s", AnswerWords(reply.answer));
    return;
  }
  const std::uint32_t pause = reply.retryAfterMs > 0 ? reply.retryAfterMs : budget.nextPauseMs;
  diag::Write("range answer: %s; next try after %u ms%s, %u ms of the budget left",
              AnswerWords(reply.answer), pause, reply.retryAfterMs > 0 ? " (Retry-After)" : "",
              RetryBudgetMs - budget.spentMs);
}

void WriteBudgetSpent() {
  diag::Write("the retry budget of %u ms is spent: no more tries", RetryBudgetMs);
}

void WriteRangesDropped(RangeAnswer answer) {
  if (answer == RangeAnswer::Changed) {
    diag::Write(
        "the resource changed: no byte of the new version enters the ring, no more "
        "ranges and no fetch again from the start on this stream");
  } else if (answer == RangeAnswer::Refused) {
    diag::Write("no more range requests on this stream: the server refused one");
  }
}

void WriteDropped() {
  const std::int64_t end = DownloadEnd();
  const std::uint32_t error = ChunkError.exchange(ERROR_SUCCESS);
  // Every stream has the stall limit as its receive limit.
  const std::string cause = error == ERROR_SUCCESS ? std::string("the server ended the body")
                            : error == ERROR_INTERNET_TIMEOUT
                                ? "a stall: no byte for " + std::to_string(StallLimitMs) + " ms"
                                : std::string(outcome::ErrorWords(error));
  LastDropCause = cause;
  if (Stream.RangesAccepted.load() == 0) {
    diag::Write("the transfer ended at %lld (%s); ranges cannot resume it",
                static_cast<long long>(end), cause.c_str());
  } else {
    diag::Write(
        "drop: the transfer ended at %lld of %lld (%s); resuming from %lld within a retry "
        "budget of %u ms",
        static_cast<long long>(end), static_cast<long long>(Stream.ServerLength.load()),
        cause.c_str(), static_cast<long long>(end), RetryBudgetMs);
  }
}

void WriteRestartAsked(std::int64_t position) {
  diag::Write(
      "read at %lld lies outside the ring (it serves %lld up to %lld): asking for the "
      "range from there",
      static_cast<long long>(position), static_cast<long long>(WindowFloor()),
      static_cast<long long>(DownloadEnd()));
}

void WriteRestarted(std::int32_t target) {
  diag::Write("the download restarts at %d on the range's answer", target);
}

void WriteServerAskedAgain(std::int64_t end) {
  diag::Write("the download stopped at %lld of %d with the server away: asking it again from there",
              static_cast<long long>(end), Stream.Length.load());
}

void WriteSeekBelowWindow(std::int64_t target) {
  const long long floor = static_cast<long long>(WindowFloor());
  if (target < 0) {
    diag::Write("seek to %lld refused: a negative position", static_cast<long long>(target));
  } else if (RefetchServes(target)) {
    diag::Write(
        "seek to %lld lies below the ring (lowest byte held %lld): fetching the body again "
        "from the start",
        static_cast<long long>(target), floor);
  } else {
    const char* why = StreamIsBroadcast() ? "the stream is a live broadcast, which has no past"
                      : Stream.LengthKnown.load() == 0
                          ? "the stream has no length, and a second GET would give other bytes"
                          : "the resource was seen to change";
    diag::Write("seek to %lld refused: below the ring (lowest byte held %lld), and %s",
                static_cast<long long>(target), floor, why);
  }
}

void WriteEncodingRefused(InternetHandle request) {
  diag::Write(
      "open fails: the body is sent with Content-Encoding: %s, which cannot be decoded (gzip "
      "and deflate can), and encoded bytes are not the media",
      Header(request, AnswerHeader::ContentEncoding).c_str());
}

void WritePositionsEnd(std::int64_t position) {
  diag::Write(
      "read at %lld: the stream is longer than positions can reach (the server's length is "
      "%lld); it ends here",
      static_cast<long long>(position), static_cast<long long>(Stream.ServerLength.load()));
}

void WriteSeekRefused(std::int64_t target, const char* why) {
  diag::Write("seek to %lld refused: %s", static_cast<long long>(target), why);
}

void WriteRejoined(RejoinOutcome outcome, std::int64_t cut, std::uint32_t tookMs,
                   std::uint32_t tries) {
  const char* what = "";
  switch (outcome) {
    case RejoinOutcome::FetchedAgain:
      what = "fetched again: the same body, read forward to the cut; the download goes on";
      break;
    case RejoinOutcome::Joined:
      what =
          "joined: a live broadcast (its new answer begins with other bytes), appended at the "
          "write position; what passed meanwhile is not in the stream";
      break;
    case RejoinOutcome::EndsThere:
      what = "the body fetched again ends there too: that is the stream's end";
      break;
    case RejoinOutcome::Differs:
      what = "the body fetched again differs from the stream's bytes: the stream ends there";
      break;
    case RejoinOutcome::Changed:
      what = "another version answered: the stream ends there";
      break;
    case RejoinOutcome::Cut:
      what = "no answer served within the retry budget: the stream was cut there, not ended";
      break;
  }
  diag::Write("after the drop at %lld (%s), in %u ms and %u tries: %s", static_cast<long long>(cut),
              LastDropCause.c_str(), tookMs, tries, what);
}

void WriteRefetchReplied(RangeAnswer answer, std::int64_t position) {
  if (answer == RangeAnswer::Served) {
    diag::Write("fetch again from the start: the same version; the download reads on to %lld",
                static_cast<long long>(position));
  } else if (answer == RangeAnswer::Changed) {
    diag::Write(
        "fetch again from the start: the resource changed (another validator or length): "
        "the seek fails, and the URL is not asked for again on this stream");
  } else if (StreamIsBroadcast()) {
    diag::Write(
        "fetch again from the start: the answer begins with other bytes than the stream: a live "
        "broadcast, which has no past; the seek fails, and the URL is not asked for again for "
        "one");
  } else {
    diag::Write(
        "fetch again from the start: no whole body of the stream in answer; the seek "
        "fails");
  }
}

}  // namespace httpmedia::streamlog
