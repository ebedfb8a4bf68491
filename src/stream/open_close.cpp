// Opening a stream (a probe request that must complete within the wait
// limit, then the stream request whose body is downloaded) and closing it.
#include <cstdint>
#include <limits>
#include <optional>

#include "platform/system_services.h"
#include "stream/download_task.h"
#include "stream/http_request.h"
#include "stream/outcome.h"
#include "stream/range_request.h"
#include "stream/rejoin.h"
#include "stream/stream_log.h"
#include "stream/stream_ops.h"
#include "stream/stream_state.h"

namespace httpmedia {

namespace {

constexpr char16_t OpenFailureText[] = u"Could not open an Internet connection";
constexpr char16_t OpenFailureCaption[] = u"";

std::int32_t ShowOpenFailure() {
  streamlog::OpenFails("no Internet session could be made");
  outcome::Record(outcome::Kind::Failed, "no Internet session could be made");
  sys::ShowMessage(sys::OwnerWindow(), OpenFailureText, OpenFailureCaption);
  return 0;
}

void CloseStreamRequest() {
  CloseInternetHandle(Stream.Request.exchange(nullptr));
  CloseInternetHandle(Stream.Session.exchange(nullptr));
}

}  // namespace

std::int32_t OpenStream(const char16_t* url) {
  // From the first open on there is a stream that a forked child must forget.
  [[maybe_unused]] static const bool forkHandled =
      (sys::OnForkedChild(ForgetStreamInForkedChild), true);
  CheckOpenStream();
  // A null url only asks for the length of the stream still open.
  if (url == nullptr) return Stream.Length.load();
  outcome::CallBegins();
  streamlog::OpenBegins(url);

  // A stream still open is closed first: its download must not go on
  // writing into the ring of the new one.
  if (Stream.Ring.load() != nullptr) CloseStream();

  Stream.Request.store(nullptr);
  Stream.StreamEnded.store(0);
  Stream.ServerAway.store(0);
  Stream.Session.store(nullptr);
  Stream.Finished.store(0);
  Stream.Position.store(0);
  outcome::DownloadEnds(outcome::Kind::Done, "");
  Stream.ServerLength.store(-1);

  Stream.Session.store(OpenSession(true));
  if (Stream.Session.load() == nullptr) return ShowOpenFailure();
  std::uint32_t probeMs = 0;
  if (!ProbeCompletes(url, probeMs)) {
    outcome::Record(outcome::Kind::TimedOut, "the server did not answer within 20 s");
    return 0;
  }

  Stream.Session.store(OpenSession(false));
  if (Stream.Session.load() == nullptr) return ShowOpenFailure();
  // The stream's request has what the probe left of the wait limit for its
  // headers, so that the whole open holds the host no longer than one wait.
  Stream.Request.store(OpenBodyRequest(url, WaitLimitMs - probeMs));
  if (Stream.Request.load() == nullptr) {
    CloseInternetHandle(Stream.Session.exchange(nullptr));
    return 0;
  }
  // An error page, an answer without a body, or a part of the body is not
  // the stream the host asked for.
  const WholeBody body = WholeBodyOf(Stream.Request.load());
  if (!body.whole) {
    const std::uint32_t status = ResponseStatus(Stream.Request.load());
    streamlog::OpenFails(status >= 400
                             ? "the answer's status is an error (400 or above), not the stream"
                             : "the answer is not the whole body (an answer without a body, a "
                               "redirect not followed, or a part of the body)");
    outcome::AnswerRefused(status, ResponseReason(Stream.Request.load()));
    CloseStreamRequest();
    return 0;
  }
  if (body.length && *body.length == 0) {
    streamlog::OpenFails("a Content-Length of 0: there is nothing to play");
    outcome::Record(outcome::Kind::Failed, "the body is empty (a Content-Length of 0)");
    CloseStreamRequest();
    return 0;
  }
  // Encoded bytes are never the media: a coding the client cannot undo ends
  // the open.
  if (ResponseCoding(Stream.Request.load()) == ContentCoding::Undecodable) {
    streamlog::EncodingRefused(Stream.Request.load());
    CloseStreamRequest();
    return 0;
  }
  // A length past the last position a stream reaches is reported as none,
  // and kept for the ranges below that position.
  const bool fits = body.length && *body.length <= std::numeric_limits<std::int32_t>::max();
  const std::optional<std::int32_t> contentLength =
      fits ? std::optional<std::int32_t>(static_cast<std::int32_t>(*body.length)) : std::nullopt;
  Stream.Length.store(contentLength ? *contentLength : FallbackLength);
  Stream.ServerLength.store(body.length.value_or(-1));
  Stream.Version = ResponseValidators(Stream.Request.load());
  RememberStream(url, contentLength.has_value(), AcceptsByteRanges(Stream.Request.load()),
                 Stream.Version.Identify());
  // A stall is a drop, ended soon enough to be resumed (by a range, or by
  // asking for the URL again) within the host's wait.
  // Without a length, only a validator fit for If-Range tells a second
  // answer of a live stream (other bytes every time) from the same body.
  const bool refetchable = body.length || !Stream.Version.IfRange().empty();
  Stream.Refetchable.store(refetchable ? 1 : 0);
  LimitStall(Stream.Request.load());
  RememberFraming(Stream.Request.load());
  streamlog::StreamTaken(Stream.Request.load());

  if (!StartDownload()) {
    outcome::Record(outcome::Kind::Failed, "no memory or no thread for the download");
    CloseStreamRequest();
    Stream.Length.store(0);
    return 0;
  }
  return Stream.Length.load();
}

std::int32_t CloseStream() {
  CheckOpenStream();
  // With no stream (a failed open, a query, or nothing opened) there is
  // nothing to stop and nothing to wait for.
  if (Stream.DownloadThread.load() == nullptr && Stream.Ring.load() == nullptr) return 0;
  streamlog::Closes();
  // Withdrawing the request is the task's stop signal; closing it returns a
  // transfer blocked on it.
  CloseInternetHandle(Stream.Request.exchange(nullptr));
  CloseInternetHandle(Stream.Session.exchange(nullptr));
  StopDownload();
  Stream.Length.store(0);
  CheckOpenStream();
  return 0;
}

}  // namespace httpmedia
