// The response header values the engine interprets itself, parsed from
// their text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace httpmedia {

// A Content-Length header value as a stream length: nothing when it is not
// a decimal number that a signed 32-bit length can hold.
std::optional<std::int32_t> ParseContentLength(std::u16string_view value);

// Whether an Accept-Ranges header value names byte ranges.
bool NamesByteRanges(std::u16string_view value);

struct ContentRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::optional<std::int64_t> total;  // "*" when the server does not say
};

// A Content-Range header value of the form "bytes FIRST-LAST/TOTAL".
std::optional<ContentRange> ParseContentRange(std::u16string_view value);

// A Retry-After header value as the milliseconds to wait from now: a number
// of seconds, or an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") against
// nowSeconds (seconds since 1970, UTC), 0 for a date already past. At most
// capMs; nothing when the value is neither.
std::optional<std::uint32_t> ParseRetryAfter(std::u16string_view value, std::int64_t nowSeconds,
                                             std::uint32_t capMs);

}  // namespace httpmedia
