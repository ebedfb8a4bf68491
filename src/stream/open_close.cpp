// Opening a stream (a probe request that must complete within the wait
// limit, then the stream request whose body is downloaded) and closing it.
#include <cstdint>

#include "platform/platform_api.h"
#include "platform/system_services.h"
#include "stream/download_task.h"
#include "stream/range_request.h"
#include "stream/request_flags.h"
#include "stream/response_info.h"
#include "stream/stream_ops.h"
#include "stream/stream_state.h"

namespace httpmedia {

namespace {

constexpr char16_t OpenFailureText[] = u"Could not open an Internet connection";
constexpr char16_t OpenFailureCaption[] = u"";

// A transfer that receives nothing for this long fails. Without a limit, a
// client library whose close does not end a read blocked on the same
// request would hold Close for as long as a stalled server stays silent.
constexpr DWORD ReceiveTimeoutMs = 30'000;

HINTERNET OpenSession(DWORD flags) {
  HINTERNET session =
      ::InternetOpenW(Wide(AgentName), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, flags);
  if (session != nullptr) {
    DWORD timeout = ReceiveTimeoutMs;
    ::InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
  }
  return session;
}

std::int32_t ShowOpenFailure() {
  sys::ShowMessage(sys::OwnerWindow(), OpenFailureText, OpenFailureCaption);
  return 0;
}

void CALLBACK InternetStatusProc(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD) {
  if (status == INTERNET_STATUS_HANDLE_CREATED && info != nullptr) {
    auto* result = static_cast<INTERNET_ASYNC_RESULT*>(info);
    Stream.Request.store(reinterpret_cast<InternetHandle>(result->dwResult));
  } else if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
    Stream.Finished.store(1);
  }
}

// The probe: an asynchronous request for the URL that must complete within
// the wait limit. Its response is thrown away.
bool ProbeCompletes(const char16_t* url) {
  ::InternetSetStatusCallback(static_cast<HINTERNET>(Stream.Session.load()), InternetStatusProc);
  const HINTERNET started =
      ::InternetOpenUrlW(static_cast<HINTERNET>(Stream.Session.load()), Wide(url), nullptr,
                         HeadersUpToNul, RequestFlags, RequestContext);
  // A request refused outright (a malformed URL, say) will never report its
  // completion: it has failed already, and the open goes on to find that out
  // instead of waiting out the limit.
  if (started == nullptr && ::GetLastError() != ERROR_IO_PENDING) Stream.Finished.store(1);
  std::uint32_t elapsed = 0;
  while (Stream.Finished.load() == 0) {
    if (elapsed >= WaitLimitMs) break;
    sys::Sleep(PollMs);
    elapsed += PollMs;
  }
  // Closing the session first stops its callbacks; only then is the request
  // handle they delivered final, and closed in turn.
  CloseInternetHandle(Stream.Session.exchange(nullptr));
  CloseInternetHandle(Stream.Request.exchange(nullptr));
  Stream.Finished.store(0);
  // Completion within the last interval still counts as too late.
  return elapsed < WaitLimitMs;
}

void CloseStreamRequest() {
  CloseInternetHandle(Stream.Request.exchange(nullptr));
  CloseInternetHandle(Stream.Session.exchange(nullptr));
}

}  // namespace

std::int32_t OpenStream(const char16_t* url) {
  // A null url only asks for the length of the stream still open.
  if (url == nullptr) return Stream.Length.load();

  // A stream still open is closed first: its download must not go on
  // writing into the ring of the new one.
  if (Stream.Ring.load() != nullptr) CloseStream();
  const std::int32_t lengthBefore = Stream.Length.load();

  Stream.Request.store(nullptr);
  Stream.StreamEnded.store(0);
  Stream.Session.store(nullptr);
  Stream.Finished.store(0);
  Stream.Position.store(0);

  Stream.Session.store(OpenSession(INTERNET_FLAG_ASYNC));
  if (Stream.Session.load() == nullptr) return ShowOpenFailure();
  if (!ProbeCompletes(url)) return 0;

  Stream.Session.store(OpenSession(0));
  if (Stream.Session.load() == nullptr) return ShowOpenFailure();
  Stream.Request.store(::InternetOpenUrlW(static_cast<HINTERNET>(Stream.Session.load()), Wide(url),
                                          nullptr, HeadersUpToNul, RequestFlags, RequestContext));
  if (Stream.Request.load() == nullptr) {
    CloseInternetHandle(Stream.Session.exchange(nullptr));
    return 0;
  }
  // An error page is not the stream the host asked for.
  if (ResponseStatus(Stream.Request.load()) >= 400) {
    CloseStreamRequest();
    return 0;
  }

  const std::optional<std::int32_t> contentLength = ResponseContentLength(Stream.Request.load());
  if (contentLength && *contentLength == 0) {
    CloseStreamRequest();
    Stream.Length.store(0);
    return 0;
  }
  Stream.Length.store(contentLength ? *contentLength : FallbackLength);
  RememberStream(url, contentLength.has_value(), AcceptsByteRanges(Stream.Request.load()));

  if (!StartDownload()) {
    CloseStreamRequest();
    Stream.Length.store(lengthBefore);
    return 0;
  }
  return Stream.Length.load();
}

std::int32_t CloseStream() {
  // With no stream (a failed open, a query, or nothing opened) there is
  // nothing to stop and nothing to wait for.
  if (Stream.DownloadThread.load() == nullptr && Stream.Ring.load() == nullptr) return 0;
  if (Stream.Length.load() != 0) {
    // Withdrawing the request is the task's stop signal; closing it returns
    // a transfer blocked on it.
    CloseInternetHandle(Stream.Request.exchange(nullptr));
    CloseInternetHandle(Stream.Session.exchange(nullptr));
  }
  StopDownload();
  Stream.Length.store(0);
  return 0;
}

}  // namespace httpmedia
