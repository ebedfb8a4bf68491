#include "stream/outcome.h"

#include <atomic>
#include <mutex>

#include "platform/host_outcome.h"
#include "platform/platform_api.h"
#include "stream/stream_state.h"

namespace httpmedia::outcome {

namespace {

// Set by the first cause of a host call, on the host's thread; atomic only
// because a test may ask from another thread.
std::atomic<bool> RecordedInCall{false};

// How the download ended, written by the download thread and read by the
// host's read that meets that end.
std::mutex DownloadEndLock;
Kind DownloadEndKind = Kind::Done;  // guarded by DownloadEndLock; Done: not ended
std::string DownloadEndWhy;         // guarded by DownloadEndLock

void Tell(Kind kind, const std::string& why, std::uint32_t httpStatus) {
  sys::TellOutcome(static_cast<int>(kind), static_cast<int>(httpStatus), why);
}

}  // namespace

void CallBegins() {
  RecordedInCall.store(false);
  Tell(Kind::Done, "", 0);
}

void Record(Kind kind, const std::string& why, std::uint32_t httpStatus) {
  if (RecordedInCall.exchange(true)) return;
  Tell(kind, why, httpStatus);
}

bool Recorded() { return RecordedInCall.load(); }

void RequestFailed(std::uint32_t error) { Record(KindOfError(error), ErrorWords(error)); }

void AnswerRefused(std::uint32_t status, const std::string& reason) {
  std::string why = "the server answered " + std::to_string(status);
  if (!reason.empty()) why += " " + reason;
  if (status < 400) why += ", which is not the whole body";
  Record(Kind::HttpStatus, why, status);
}

void DownloadEnds(Kind kind, const std::string& why) {
  std::lock_guard<std::mutex> lock(DownloadEndLock);
  DownloadEndKind = kind;
  DownloadEndWhy = why;
}

void ReadFellShort(bool atLength) {
  if (Recorded()) return;
  if (atLength) {
    Record(Kind::Ended, "the end of the stream: every byte was delivered");
    return;
  }
  Kind kind = Kind::Done;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(DownloadEndLock);
    if (Stream.StreamEnded.load() != 0) {
      kind = DownloadEndKind;
      why = DownloadEndWhy;
    }
  }
  if (kind == Kind::Done) {
    Record(Kind::Failed,
           "the bytes at position " + std::to_string(Stream.Position.load()) + " cannot be served");
  } else {
    Record(kind, why);
  }
}

const char* ErrorWords(std::uint32_t error) {
  switch (error) {
    case ERROR_INTERNET_TIMEOUT:
      return "nothing arrived within the receive limit";
    case ERROR_INTERNET_INVALID_URL:
      return "the URL is malformed";
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      return "the URL is not http or https";
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return "the server's name could not be resolved";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return "the server refused the connection or could not be reached";
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
      return "the connection broke";
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
      return "a redirect from https to http was refused: the request is never sent on in the clear";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
      return "TLS: the server's certificate is not trusted";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return "TLS: the handshake failed";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      return "the server's answer is not a valid HTTP response";
    case ERROR_HTTP_REDIRECT_FAILED:
      return "a redirect could not be followed (too many, or not to http or https)";
    case ERROR_INTERNET_OPERATION_CANCELLED:
      return "the request was withdrawn (the stream was closed, or its deadline passed)";
    default:
      return "the Internet client failed";
  }
}

Kind KindOfError(std::uint32_t error) {
  switch (error) {
    case ERROR_INTERNET_TIMEOUT:
      return Kind::TimedOut;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return Kind::NameNotResolved;
    case ERROR_INTERNET_CANNOT_CONNECT:
      return Kind::ConnectionRefused;
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return Kind::Tls;
    default:
      return Kind::Failed;
  }
}

}  // namespace httpmedia::outcome
