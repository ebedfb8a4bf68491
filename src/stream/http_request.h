// The engine's one way to the network. Every call it makes to the
// platform's Internet client is made here: sessions, the probe, the stream
// request and range requests, chunk reads, the header queries and the
// closing of handles; so a rule that every request must follow has one
// place to live.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "stream/header_values.h"
#include "stream/stream_state.h"

namespace httpmedia {

// A session for the plug-in's requests (agent "Vellacord", direct, the
// receive limit set); asynchronous for the probe. Null when none can be made.
InternetHandle OpenSession(bool asynchronous);

void CloseInternetHandle(InternetHandle handle);

// The probe on the asynchronous Stream.Session: a request for the URL that
// must complete within the wait limit. Its response is thrown away, and the
// session and its request are closed whatever the outcome.
bool ProbeCompletes(const char16_t* url);

// The request for the whole body of url on session; null when it fails.
InternetHandle OpenBodyRequest(InternetHandle session, const char16_t* url);

// The request for the body of url from `first` on, when the server answers
// with exactly that part of a stream of `length` bytes; null otherwise.
InternetHandle OpenRangeRequest(InternetHandle session, const char16_t* url, std::int64_t first,
                                std::int64_t length);

// Moves at most `wanted` bytes of the body into destination and tells how
// many arrived; false when the transfer failed (received may still count
// bytes stored before the failure).
bool ReadChunk(InternetHandle request, std::uint8_t* destination, std::int32_t wanted,
               std::int32_t& received);

// The response's status code, 0 when it cannot be told.
std::uint32_t ResponseStatus(InternetHandle request);

// The Content-Length as a stream length: nothing when the response has none
// or when it is not a decimal number that a signed 32-bit length can hold.
std::optional<std::int32_t> ResponseContentLength(InternetHandle request);

// Whether the response says the server serves byte ranges of it.
bool AcceptsByteRanges(InternetHandle request);

// What tells this version of the resource from any other: the response's
// strong ETag, or its Last-Modified date when it has no strong ETag; empty
// when it has neither. A weak ETag does not promise the same bytes.
std::u16string ResponseValidator(InternetHandle request);

// The response's Content-Range, when it has a well-formed one.
std::optional<ContentRange> ResponseContentRange(InternetHandle request);

// Whether a later response for the stream's URL carries the same version of
// the resource as the stream's own response: the same validator (see
// ResponseValidator) and, when the stream's length came from the server, the
// same whole length (a 206's Content-Range total, another status's
// Content-Length). False when the stream had no validator: nothing then shows
// that two responses hold the same bytes.
bool SameVersion(InternetHandle request);

}  // namespace httpmedia
