// What the engine reads from a response's headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "stream/stream_state.h"

namespace httpmedia {

// The response's status code, 0 when it cannot be told.
std::uint32_t ResponseStatus(InternetHandle request);

// The Content-Length as a stream length: nothing when the response has none
// or when it is not a decimal number that a signed 32-bit length can hold.
std::optional<std::int32_t> ResponseContentLength(InternetHandle request);

// A Content-Length header value as a stream length, by the same rule.
std::optional<std::int32_t> ParseContentLength(std::u16string_view value);

// Whether the response says the server serves byte ranges of it.
bool AcceptsByteRanges(InternetHandle request);

struct ContentRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::optional<std::int64_t> total;  // "*" when the server does not say
};

// A Content-Range header value of the form "bytes FIRST-LAST/TOTAL".
std::optional<ContentRange> ParseContentRange(std::u16string_view value);

// The response's Content-Range, when it has a well-formed one.
std::optional<ContentRange> ResponseContentRange(InternetHandle request);

}  // namespace httpmedia
