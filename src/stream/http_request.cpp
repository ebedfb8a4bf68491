#include "stream/http_request.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <limits>
#include <string>

#include "platform/platform_api.h"
#include "platform/system_services.h"
#include "platform/text.h"
#include "stream/header_values.h"
#include "stream/outcome.h"
#include "stream/stream_log.h"

namespace httpmedia {

namespace {

constexpr char16_t AgentName[] = u"Vellacord";
constexpr DWORD RequestFlags = INTERNET_FLAG_NO_CACHE_WRITE;
constexpr DWORD_PTR RequestContext = 1;
// Headers passed as a NUL-terminated string (or none at all).
constexpr DWORD HeadersUpToNul = static_cast<DWORD>(-1);
constexpr std::uint32_t Ok = 200;
constexpr std::uint32_t NonAuthoritative = 203;
constexpr std::uint32_t PartialContent = 206;
constexpr std::uint32_t RequestTimeout = 408;
constexpr std::uint32_t TooManyRequests = 429;
constexpr std::uint32_t FirstServerError = 500;

LPCWSTR Wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

HINTERNET Handle(InternetHandle handle) { return static_cast<HINTERNET>(handle); }

// Every request of the plug-in, the probe's, the stream's and a range's
// alike, goes out with the same flags and context, and asks for the body as
// it is: a server that encodes it all the same is decoded by the client
// (OpenSession), and its length and ranges are then of no use.
HINTERNET OpenUrl(InternetHandle session, const char16_t* url, const char16_t* headers) {
  std::u16string lines = u"Accept-Encoding: identity\r\n";
  if (headers != nullptr) lines += headers;
  streamlog::Request(url, lines.c_str());
  return ::InternetOpenUrlW(Handle(session), Wide(url), Wide(lines.c_str()), HeadersUpToNul,
                            RequestFlags, RequestContext);
}

void CALLBACK InternetStatusProc(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD) {
  if (status == INTERNET_STATUS_HANDLE_CREATED && info != nullptr) {
    auto* result = static_cast<INTERNET_ASYNC_RESULT*>(info);
    Stream.Request.store(reinterpret_cast<InternetHandle>(result->dwResult));
  } else if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
    Stream.Finished.store(1);
  }
}

// The deadline for a request's headers. The client's own receive limit
// restarts with every byte, so a server trickling header lines would hold a
// synchronous open for ever. The open is made on a thread of its own while
// the caller watches it, waking the moment it returns; once the deadline
// passes the caller closes the session the open is made on, which makes the
// blocked open return (Internet clients end a synchronous call on a handle
// closed from another thread). It does the same once the request is no
// longer wanted (Close withdrew the stream, the host gave up a restart), so
// that a withdrawn request is not waited for. Each side makes one request
// at a time this way, with a slot of its own: the host's thread (the
// stream's request in Open, a seek's fetch again) and the download thread
// (range requests, a restart's or a drop's fetch again), whose requests may
// be under way at the same moment.
struct PendingOpen {
  std::atomic<InternetHandle> session{nullptr};
  std::atomic<const char16_t*> url{nullptr};
  std::atomic<const char16_t*> headers{nullptr};
  std::atomic<HINTERNET> request{nullptr};
  std::atomic<DWORD> error{ERROR_SUCCESS};
};

PendingOpen PendingOpens[2];
thread_local bool OnDownloadThread = false;

template <int Slot>
std::uint32_t MakePendingOpen() {
  PendingOpen& pending = PendingOpens[Slot];
  pending.request.store(
      OpenUrl(pending.session.load(), pending.url.load(), pending.headers.load()));
  pending.error.store(::GetLastError());
  return 0;
}

struct Watched {
  HINTERNET request = nullptr;
  std::uint32_t elapsedMs = 0;
  bool expired = false;
  DWORD error = ERROR_SUCCESS;  // why there is no request, when not expired
};

// Opens url on the session held in `session`, abandoning it (the session
// closed, `session` null) when its headers are not in within deadlineMs or
// stillWanted (when given) turns false first.
Watched OpenWithin(std::atomic<InternetHandle>& session, const char16_t* url,
                   const char16_t* headers, std::uint32_t deadlineMs,
                   const std::function<bool()>* stillWanted = nullptr) {
  PendingOpen& pending = PendingOpens[OnDownloadThread ? 1 : 0];
  pending.session.store(session.load());
  pending.url.store(url);
  pending.headers.store(headers);
  pending.request.store(nullptr);
  const sys::ThreadHandle opener =
      sys::StartThread(OnDownloadThread ? MakePendingOpen<1> : MakePendingOpen<0>);
  // Without its watch the request could not be bounded: it is not made.
  if (opener == nullptr) return {};
  const std::uint64_t since = sys::Milliseconds();
  std::uint32_t waitedMs = 0;
  bool expired = false;
  while (!sys::JoinThreadWithin(opener, PollMs)) {
    waitedMs = static_cast<std::uint32_t>(sys::Milliseconds() - since);
    const bool withdrawn = stillWanted != nullptr && !(*stillWanted)();
    if (withdrawn || waitedMs >= deadlineMs) {
      expired = true;
      CloseInternetHandle(session.exchange(nullptr));
      sys::JoinThread(opener);
      break;
    }
  }
  HINTERNET request = pending.request.load();
  ::SetLastError(pending.error.load());
  if (expired) {
    // Answered just as the deadline passed: too late all the same.
    CloseInternetHandle(request);
    request = nullptr;
  }
  streamlog::Answer(request, deadlineMs, expired);
  return {request, waitedMs, expired, pending.error.load()};
}

// A header's value as text; empty when the response has none, or one too
// long to be any value we interpret.
std::u16string QueryText(InternetHandle request, DWORD level) {
  constexpr DWORD LongestValue = 8'192;  // characters
  std::u16string text(512, u'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>((text.size() - 1) * sizeof(char16_t));
    if (::HttpQueryInfoW(Handle(request), level, text.data(), &size, nullptr)) {
      text.resize(std::min<std::size_t>(size / sizeof(char16_t), text.size() - 1));
      return text;
    }
    // A validator is sent back whole or not at all: a longer value is asked
    // for again with the room it needs.
    const DWORD needed = size / sizeof(char16_t) + 1;
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= text.size() ||
        needed > LongestValue) {
      return {};
    }
    text.assign(needed, u'\0');
  }
}

// A status worth another try (a time-out, too many requests, a server
// error): the reply says Retry, with how long the server asked to be left
// alone, at most capMs.
bool AskAgainLater(HINTERNET request, std::uint32_t capMs, RangeReply& reply) {
  const std::uint32_t status = ResponseStatus(request);
  if (status != RequestTimeout && status != TooManyRequests && status < FirstServerError) {
    return false;
  }
  reply.answer = RangeAnswer::Retry;
  reply.retryAfterMs = ParseRetryAfter(QueryText(request, HTTP_QUERY_RETRY_AFTER),
                                       static_cast<std::int64_t>(std::time(nullptr)), capMs)
                           .value_or(0);
  return true;
}

}  // namespace

void MarkDownloadThread() { OnDownloadThread = true; }

InternetHandle OpenSession(bool asynchronous, std::uint32_t receiveLimitMs) {
  HINTERNET session = ::InternetOpenW(Wide(AgentName), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr,
                                      asynchronous ? INTERNET_FLAG_ASYNC : 0);
  if (session != nullptr) {
    DWORD timeout = receiveLimitMs;
    ::InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    // Encoded bytes are never the media: gzip and deflate are undone as they
    // arrive; an answer in another coding is refused (ResponseCoding).
    BOOL decoding = TRUE;
    ::InternetSetOptionW(session, INTERNET_OPTION_HTTP_DECODING, &decoding, sizeof(decoding));
  }
  return session;
}

void CloseInternetHandle(InternetHandle handle) {
  if (handle != nullptr && handle != WithdrawnRequest) ::InternetCloseHandle(Handle(handle));
}

bool ProbeCompletes(const char16_t* url, std::uint32_t& elapsedMs) {
  ::InternetSetStatusCallback(Handle(Stream.Session.load()), InternetStatusProc);
  const HINTERNET started = OpenUrl(Stream.Session.load(), url, nullptr);
  // A request refused outright (a malformed URL, say) will never report its
  // completion: it has failed already, and the open goes on to find that out
  // instead of waiting out the limit.
  if (started == nullptr && ::GetLastError() != ERROR_IO_PENDING) Stream.Finished.store(1);
  const std::uint64_t since = sys::Milliseconds();
  std::uint32_t elapsed = 0;
  while (Stream.Finished.load() == 0) {
    if (elapsed >= WaitLimitMs) break;
    sys::Sleep(PollMs);
    elapsed = static_cast<std::uint32_t>(sys::Milliseconds() - since);
  }
  // Closing the session first stops its callbacks; only then is the request
  // handle they delivered final, and closed in turn.
  CloseInternetHandle(Stream.Session.exchange(nullptr));
  CloseInternetHandle(Stream.Request.exchange(nullptr));
  Stream.Finished.store(0);
  streamlog::ProbeEnded(elapsed);
  elapsedMs = elapsed;
  // Completion within the last interval still counts as too late.
  return elapsed < WaitLimitMs;
}

InternetHandle OpenBodyRequest(const char16_t* url, std::uint32_t deadlineMs) {
  const Watched watched = OpenWithin(Stream.Session, url, nullptr, deadlineMs);
  if (watched.expired) {
    outcome::Record(outcome::Kind::TimedOut,
                    "the server's answer was not all in within the wait limit of 20 s");
  } else if (watched.request == nullptr) {
    outcome::RequestFailed(watched.error);
  }
  return watched.request;
}

void LimitStall(InternetHandle request, std::uint32_t limitMs) {
  DWORD timeout = limitMs;
  ::InternetSetOptionW(Handle(request), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
}

void CloseReply(const RangeReply& reply) {
  CloseInternetHandle(reply.request);
  CloseInternetHandle(reply.session);
}

RangeReply OpenRangeRequest(std::int64_t first, std::uint32_t deadlineMs, std::uint32_t capMs,
                            const std::function<bool()>& stillWanted) {
  RangeReply reply;
  std::atomic<InternetHandle> session{OpenSession(false, StallLimitMs)};
  if (session.load() == nullptr) return reply;
  // If-Range makes a server that has a new version answer with all of it
  // (200) instead of splicing a part of it onto the stream's bytes. Where no
  // validator may go into it, the 206's own validators and total are checked
  // below: a new version shows itself in them as it would to If-Range.
  const std::string header = "Range: bytes=" + std::to_string(first) + "-\r\n";
  std::u16string headers(header.begin(), header.end());
  const std::u16string ifRange = Stream.Version.IfRange();
  if (!ifRange.empty()) headers += u"If-Range: " + ifRange + u"\r\n";
  const Watched watched =
      OpenWithin(session, Stream.Url.c_str(), headers.c_str(), deadlineMs, &stillWanted);
  reply.elapsedMs = watched.elapsedMs;
  const HINTERNET request = watched.request;
  if (request != nullptr) {
    const std::uint32_t status = ResponseStatus(request);
    const std::optional<ContentRange> range = ResponseContentRange(request);
    const std::int64_t length = Stream.ServerLength.load();
    bool wholeOfSameVersion = false;
    if (status == PartialContent && !SameVersion(request)) {
      reply.answer = RangeAnswer::Changed;
    } else if (status == PartialContent) {
      const bool exact = range && range->first == first && range->last == length - 1;
      reply.answer = exact ? RangeAnswer::Served : RangeAnswer::Refused;
    } else if (WholeBodyOf(request).whole) {
      // The whole body to a request with If-Range: the version changed, or,
      // where it shows the stream's own version, the server pays Range no
      // heed. Either way nothing of it is spliced into the stream.
      wholeOfSameVersion = SameVersion(request);
      reply.answer = wholeOfSameVersion ? RangeAnswer::Refused : RangeAnswer::Changed;
    } else if (!AskAgainLater(request, capMs, reply)) {
      reply.answer = RangeAnswer::Refused;
    }
    // A whole body of the stream's version is the body fetched again from
    // its start, for whoever can use that.
    if (reply.answer == RangeAnswer::Served || wholeOfSameVersion) {
      reply.request = request;
      reply.session = session.exchange(nullptr);
      return reply;
    }
    CloseInternetHandle(request);
  }
  CloseInternetHandle(session.exchange(nullptr));
  return reply;
}

RangeReply OpenWholeBodyAgain(std::uint32_t deadlineMs, const std::function<bool()>* stillWanted,
                              std::uint32_t capMs) {
  RangeReply reply;
  reply.answer = RangeAnswer::Refused;
  std::atomic<InternetHandle> session{OpenSession(false)};
  if (session.load() == nullptr) return reply;
  const Watched watched = OpenWithin(session, Stream.Url.c_str(), nullptr, deadlineMs, stillWanted);
  reply.elapsedMs = watched.elapsedMs;
  // No answer in time, or no connection: worth another try, for a caller
  // that retries (a drop's fetch again).
  if (watched.request == nullptr && capMs != 0) reply.answer = RangeAnswer::Retry;
  if (watched.request != nullptr) {
    if (WholeBodyOf(watched.request).whole) {
      reply.answer = SameVersion(watched.request) ? RangeAnswer::Served : RangeAnswer::Changed;
    } else if (capMs != 0) {
      AskAgainLater(watched.request, capMs, reply);
    }
    if (reply.answer == RangeAnswer::Served) {
      reply.request = watched.request;
      reply.session = session.exchange(nullptr);
      return reply;
    }
    CloseInternetHandle(watched.request);
  }
  CloseInternetHandle(session.exchange(nullptr));
  return reply;
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

std::u16string ResponseHeader(InternetHandle request, AnswerHeader header) {
  switch (header) {
    case AnswerHeader::ContentType:
      return QueryText(request, HTTP_QUERY_CONTENT_TYPE);
    case AnswerHeader::ContentLength:
      return QueryText(request, HTTP_QUERY_CONTENT_LENGTH);
    case AnswerHeader::ContentRange:
      return QueryText(request, HTTP_QUERY_CONTENT_RANGE);
    case AnswerHeader::ContentEncoding:
      return QueryText(request, HTTP_QUERY_CONTENT_ENCODING);
    case AnswerHeader::TransferEncoding:
      return QueryText(request, HTTP_QUERY_TRANSFER_ENCODING);
    case AnswerHeader::AcceptRanges:
      return QueryText(request, HTTP_QUERY_ACCEPT_RANGES);
    case AnswerHeader::ETag:
      return QueryText(request, HTTP_QUERY_ETAG);
    case AnswerHeader::LastModified:
      return QueryText(request, HTTP_QUERY_LAST_MODIFIED);
    case AnswerHeader::RetryAfter:
      return QueryText(request, HTTP_QUERY_RETRY_AFTER);
    case AnswerHeader::Location:
      return QueryText(request, HTTP_QUERY_LOCATION);
  }
  return {};
}

std::uint32_t RequestError() { return ::GetLastError(); }

std::uint32_t ResponseStatus(InternetHandle request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!::HttpQueryInfoW(Handle(request), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, nullptr)) {
    return 0;
  }
  return status;
}

std::string ResponseReason(InternetHandle request) {
  return text::Utf16ToUtf8(QueryText(request, HTTP_QUERY_STATUS_TEXT));
}

std::optional<std::int64_t> ResponseContentLength(InternetHandle request) {
  // The client's number cannot show a value that overflowed or a header that
  // is not a number at all; the header's text can. Where the number can
  // hold the value, the two must agree.
  const std::optional<std::int64_t> parsed =
      ParseContentLength(QueryText(request, HTTP_QUERY_CONTENT_LENGTH));
  if (!parsed || *parsed > std::numeric_limits<DWORD>::max()) return parsed;
  DWORD number = 0;
  DWORD size = sizeof(number);
  if (!::HttpQueryInfoW(Handle(request), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                        &number, &size, nullptr) ||
      number != *parsed) {
    return std::nullopt;
  }
  return parsed;
}

bool FramingMarksEnd(InternetHandle request) {
  return ResponseContentLength(request).has_value() ||
         !QueryText(request, HTTP_QUERY_TRANSFER_ENCODING).empty();
}

ContentCoding ResponseCoding(InternetHandle request) {
  return ClassifyContentEncoding(QueryText(request, HTTP_QUERY_CONTENT_ENCODING));
}

bool AcceptsByteRanges(InternetHandle request) {
  return NamesByteRanges(QueryText(request, HTTP_QUERY_ACCEPT_RANGES));
}

WholeBody WholeBodyOf(InternetHandle request) {
  const std::uint32_t status = ResponseStatus(request);
  if (status == PartialContent) {
    // A cache or proxy may answer a plain GET with a 206; only one that
    // holds every byte from the first is the body.
    const std::optional<ContentRange> range = ResponseContentRange(request);
    if (!range || range->first != 0 || !range->total || range->last != *range->total - 1) {
      return {};
    }
    if (ResponseCoding(request) != ContentCoding::Identity) return {true, std::nullopt};
    return {true, *range->total};
  }
  if (status != Ok && status != NonAuthoritative) return {};
  if (!QueryText(request, HTTP_QUERY_TRANSFER_ENCODING).empty()) return {true, std::nullopt};
  // Decoded, the body has a length of its own that no header gives.
  if (ResponseCoding(request) != ContentCoding::Identity) return {true, std::nullopt};
  return {true, ResponseContentLength(request)};
}

Validators ResponseValidators(InternetHandle request) {
  Validators validators;
  validators.etag = QueryText(request, HTTP_QUERY_ETAG);
  validators.lastModified = QueryText(request, HTTP_QUERY_LAST_MODIFIED);
  const std::u16string date = QueryText(request, HTTP_QUERY_DATE);
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  validators.dateStrong = DateIsStrong(validators.lastModified, date, now);
  validators.dateVouches = DateVouches(validators.lastModified, date, now);
  return validators;
}

std::optional<ContentRange> ResponseContentRange(InternetHandle request) {
  return ParseContentRange(QueryText(request, HTTP_QUERY_CONTENT_RANGE));
}

bool SameVersion(InternetHandle request) {
  // Equal validators prove nothing where the stream's own could not tell
  // two versions of the same second apart.
  if (!Stream.Version.Vouch()) return false;
  if (!(ResponseValidators(request) == Stream.Version)) return false;
  if (Stream.ServerLength.load() < 0) return true;
  std::optional<std::int64_t> whole;
  if (ResponseStatus(request) == PartialContent) {
    const std::optional<ContentRange> range = ResponseContentRange(request);
    if (range) whole = range->total;
  } else {
    whole = WholeBodyOf(request).length;
  }
  return whole && *whole == Stream.ServerLength.load();
}

}  // namespace httpmedia
