// The engine's one way to the network. Every call it makes to the
// platform's Internet client is made here: sessions, the probe, the stream
// request and range requests, chunk reads, the header queries and the
// closing of handles; so a rule that every request must follow has one
// place to live.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "stream/header_values.h"
#include "stream/stream_state.h"

namespace httpmedia {

// A transfer that receives nothing for this long fails, so that a silent
// server cannot hold up Close on any platform.
inline constexpr std::uint32_t ReceiveLimitMs = 30'000;
// With ranges usable and the length known, a transfer that brings no byte
// for this long is a drop, resumed where it broke off: well inside the
// host's 20-second wait, so that the resume still has time to bring bytes
// before that wait runs out, and long enough that a slow but live network
// is not cut off.
inline constexpr std::uint32_t StallLimitMs = 5'000;

// A session for the plug-in's requests (agent "Vellacord", direct, with the
// given receive limit); asynchronous for the probe. Null when none can be
// made.
InternetHandle OpenSession(bool asynchronous, std::uint32_t receiveLimitMs = ReceiveLimitMs);

void CloseInternetHandle(InternetHandle handle);

// Called first thing on the download thread: its requests wait for their
// headers beside the host's own.
void MarkDownloadThread();

// The probe on the asynchronous Stream.Session: a request for the URL that
// must complete within the wait limit. Its response is thrown away, and the
// session and its request are closed whatever the outcome. elapsedMs tells
// how much of the limit it took.
bool ProbeCompletes(const char16_t* url, std::uint32_t& elapsedMs);

// The request for the whole body of url on Stream.Session; null when it
// fails or its headers are not all in within deadlineMs (the session is
// then closed, and Stream.Session null).
InternetHandle OpenBodyRequest(const char16_t* url, std::uint32_t deadlineMs);

// Lowers the receive limit of the stream's request to StallLimitMs: a stall
// then ends the transfer early enough to be resumed. A read on the host's
// thread passes what is left of the call's deadline instead.
void LimitStall(InternetHandle request, std::uint32_t limitMs = StallLimitMs);

enum class RangeAnswer {
  Served,   // exactly the range asked for, of the stream's version
  Changed,  // the resource is not the stream's version any more
  Retry,    // no answer in time, no connection, or a status worth a retry
  Refused,  // any other answer: the server does not serve this range
};

struct RangeReply {
  RangeAnswer answer = RangeAnswer::Retry;
  // When Served, and when Refused by a whole body of the stream's version
  // (the server ignored Range): the request and the session of its own it
  // was made on, both the caller's to close (CloseReply).
  InternetHandle session = nullptr;
  InternetHandle request = nullptr;
  // How long the server asked to be left alone (Retry-After), 0 if it did
  // not say or named a time already past; at most capMs.
  std::uint32_t retryAfterMs = 0;
  // Of the deadline, how much the request took.
  std::uint32_t elapsedMs = 0;
};

// Closes what a reply holds.
void CloseReply(const RangeReply& reply);

// Asks for the body of Stream.Url from `first` on, on a session of its own
// with the stall limit, with If-Range carrying the stream's validator where
// one may be sent (Validators::IfRange), and waits at most deadlineMs for
// the response's headers: a trickle of header lines cannot extend that, and
// the wait is abandoned (Retry) once stillWanted() turns false. Served only
// for a 206 that starts exactly at `first`, runs to the end of the stream
// and is SameVersion.
RangeReply OpenRangeRequest(std::int64_t first, std::uint32_t deadlineMs, std::uint32_t capMs,
                            const std::function<bool()>& stillWanted);

// Asks for the whole body of Stream.Url again, on a session of its own, and
// waits at most deadlineMs for the response's headers. Served only for a
// whole body (WholeBodyOf) that is SameVersion; Changed for a whole body of
// another version; for a caller that retries (capMs not 0), Retry for no
// answer in time (or none at all: the wait is abandoned once *stillWanted,
// where given, turns false) and for a status worth another try, with its
// Retry-After up to capMs; Refused for anything else.
RangeReply OpenWholeBodyAgain(std::uint32_t deadlineMs,
                              const std::function<bool()>* stillWanted = nullptr,
                              std::uint32_t capMs = 0);

// Moves at most `wanted` bytes of the body into destination and tells how
// many arrived; false when the transfer failed (received may still count
// bytes stored before the failure).
bool ReadChunk(InternetHandle request, std::uint8_t* destination, std::int32_t wanted,
               std::int32_t& received);

// The answer's headers that the engine's log shows.
enum class AnswerHeader {
  ContentType,
  ContentLength,
  ContentRange,
  ContentEncoding,
  TransferEncoding,
  AcceptRanges,
  ETag,
  LastModified,
  RetryAfter,
  Location,
};

// A header of the answer as it came (one character a byte); empty when the
// answer has none.
std::u16string ResponseHeader(InternetHandle request, AnswerHeader header);

// The Internet client's error code of this thread's last failed call.
std::uint32_t RequestError();

// The response's status code, 0 when it cannot be told.
std::uint32_t ResponseStatus(InternetHandle request);
// The status line's reason phrase ("Not Found"), as UTF-8; empty when the
// answer has none.
std::string ResponseReason(InternetHandle request);

// The Content-Length: nothing when the response has none or when it is not
// a plain decimal number. It may be past what a stream position reaches.
std::optional<std::int64_t> ResponseContentLength(InternetHandle request);

// What the answer's Content-Encoding leaves to undo (the client decodes
// gzip and deflate, the session being set up for it).
ContentCoding ResponseCoding(InternetHandle request);

// What an answer to a request that asked for no range holds: the whole
// body only for a 200 or 203, or a 206 whose Content-Range spans the whole
// resource from byte 0; anything else (204, 205, 304, a 3xx not followed,
// another 206, an error) is no stream. The length is the Content-Length
// (the Content-Range total of a 206), and unknown whenever the body is sent
// with a Transfer-Encoding (that framing, not Content-Length, ends it) or a
// Content-Encoding (decoded, it is longer).
struct WholeBody {
  bool whole = false;
  std::optional<std::int64_t> length;
};
WholeBody WholeBodyOf(InternetHandle request);

// Whether the body's framing marks where it ends (a Content-Length, or a
// Transfer-Encoding such as chunked): where neither does, the connection's
// end is the body's end, and a connection cut early looks no different.
bool FramingMarksEnd(InternetHandle request);

// Whether the response says the server serves byte ranges of it.
bool AcceptsByteRanges(InternetHandle request);

// What tells this version of the resource from any other, exactly as the
// response gave it.
Validators ResponseValidators(InternetHandle request);

// The response's Content-Range, when it has a well-formed one.
std::optional<ContentRange> ResponseContentRange(InternetHandle request);

// Whether a later response for the stream's URL carries the same version of
// the resource as the stream's own response: the same validators, a weak
// ETag included (a weak ETag that changed is a change, whatever the date and
// size say), and, when the stream's length came from the server, the same
// whole length (a 206's Content-Range total, a whole body's length). Where
// neither response gives a validator only the length can tell: ranges are
// never used then (RememberStream), but a whole body fetched again from its
// start is checked by its length alone.
bool SameVersion(InternetHandle request);

}  // namespace httpmedia
