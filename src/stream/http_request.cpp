#include "stream/http_request.h"

#include <algorithm>
#include <string>

#include "platform/platform_api.h"
#include "platform/system_services.h"

namespace httpmedia {

namespace {

constexpr char16_t AgentName[] = u"Vellacord";
constexpr DWORD RequestFlags = INTERNET_FLAG_NO_CACHE_WRITE;
constexpr DWORD_PTR RequestContext = 1;
// Headers passed as a NUL-terminated string (or none at all).
constexpr DWORD HeadersUpToNul = static_cast<DWORD>(-1);
constexpr std::uint32_t PartialContent = 206;

// A transfer that receives nothing for this long fails. Without a limit, a
// client library whose close does not end a read blocked on the same
// request would hold Close for as long as a stalled server stays silent.
constexpr DWORD ReceiveTimeoutMs = 30'000;

LPCWSTR Wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

HINTERNET Handle(InternetHandle handle) { return static_cast<HINTERNET>(handle); }

// Every request of the plug-in, the probe's, the stream's and a range's
// alike, goes out with the same flags and context.
HINTERNET OpenUrl(InternetHandle session, const char16_t* url, const char16_t* headers) {
  return ::InternetOpenUrlW(Handle(session), Wide(url), headers ? Wide(headers) : nullptr,
                            HeadersUpToNul, RequestFlags, RequestContext);
}

void CALLBACK InternetStatusProc(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD) {
  if (status == INTERNET_STATUS_HANDLE_CREATED && info != nullptr) {
    auto* result = static_cast<INTERNET_ASYNC_RESULT*>(info);
    Stream.Request.store(reinterpret_cast<InternetHandle>(result->dwResult));
  } else if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
    Stream.Finished.store(1);
  }
}

// A header's value as text; empty when the response has none (or one too
// long to be any value we interpret).
std::u16string QueryText(InternetHandle request, DWORD level) {
  char16_t text[512] = {};
  DWORD size = sizeof(text) - sizeof(char16_t);
  if (!::HttpQueryInfoW(Handle(request), level, text, &size, nullptr)) return {};
  return std::u16string(text, std::min<std::size_t>(size / sizeof(char16_t), 511));
}

}  // namespace

InternetHandle OpenSession(bool asynchronous) {
  HINTERNET session = ::InternetOpenW(Wide(AgentName), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr,
                                      asynchronous ? INTERNET_FLAG_ASYNC : 0);
  if (session != nullptr) {
    DWORD timeout = ReceiveTimeoutMs;
    ::InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
  }
  return session;
}

void CloseInternetHandle(InternetHandle handle) {
  if (handle != nullptr) ::InternetCloseHandle(Handle(handle));
}

bool ProbeCompletes(const char16_t* url) {
  ::InternetSetStatusCallback(Handle(Stream.Session.load()), InternetStatusProc);
  const HINTERNET started = OpenUrl(Stream.Session.load(), url, nullptr);
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

InternetHandle OpenBodyRequest(InternetHandle session, const char16_t* url) {
  return OpenUrl(session, url, nullptr);
}

InternetHandle OpenRangeRequest(InternetHandle session, const char16_t* url, std::int64_t first,
                                std::int64_t length) {
  const std::string header = "Range: bytes=" + std::to_string(first) + "-\r\n";
  const std::u16string wideHeader(header.begin(), header.end());
  HINTERNET request = OpenUrl(session, url, wideHeader.c_str());
  if (request == nullptr) return nullptr;
  const std::optional<ContentRange> range = ResponseContentRange(request);
  const bool exact = ResponseStatus(request) == PartialContent && range && range->first == first &&
                     range->last == length - 1 && (!range->total || *range->total == length);
  if (!exact) {
    CloseInternetHandle(request);
    return nullptr;
  }
  return request;
}

bool ReadChunk(InternetHandle request, std::uint8_t* destination, std::int32_t wanted,
               std::int32_t& received) {
  DWORD count = 0;
  const BOOL ok =
      ::InternetReadFile(Handle(request), destination, static_cast<DWORD>(wanted), &count);
  // A count larger than asked is not to be believed: nothing of it is kept.
  received = count > static_cast<DWORD>(wanted) ? 0 : static_cast<std::int32_t>(count);
  return ok != FALSE;
}

std::uint32_t ResponseStatus(InternetHandle request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!::HttpQueryInfoW(Handle(request), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, nullptr)) {
    return 0;
  }
  return status;
}

std::optional<std::int32_t> ResponseContentLength(InternetHandle request) {
  DWORD number = 0;
  DWORD size = sizeof(number);
  if (!::HttpQueryInfoW(Handle(request), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                        &number, &size, nullptr)) {
    return std::nullopt;
  }
  // The number alone cannot show a value that overflowed or a header that is
  // not a number at all; the header's text can.
  const std::optional<std::int32_t> parsed =
      ParseContentLength(QueryText(request, HTTP_QUERY_CONTENT_LENGTH));
  if (!parsed || static_cast<DWORD>(*parsed) != number) return std::nullopt;
  return parsed;
}

bool AcceptsByteRanges(InternetHandle request) {
  return NamesByteRanges(QueryText(request, HTTP_QUERY_ACCEPT_RANGES));
}

std::u16string ResponseValidator(InternetHandle request) {
  const std::u16string etag = QueryText(request, HTTP_QUERY_ETAG);
  if (!etag.empty() && etag.rfind(u"W/", 0) != 0) return etag;
  return QueryText(request, HTTP_QUERY_LAST_MODIFIED);
}

std::optional<ContentRange> ResponseContentRange(InternetHandle request) {
  return ParseContentRange(QueryText(request, HTTP_QUERY_CONTENT_RANGE));
}

bool SameVersion(InternetHandle request) {
  if (Stream.Validator.empty() || ResponseValidator(request) != Stream.Validator) return false;
  if (Stream.LengthKnown.load() == 0) return true;
  std::optional<std::int64_t> whole;
  if (ResponseStatus(request) == PartialContent) {
    const std::optional<ContentRange> range = ResponseContentRange(request);
    if (range) whole = range->total;
  } else {
    whole = ResponseContentLength(request);
  }
  return whole && *whole == Stream.Length.load();
}

}  // namespace httpmedia
