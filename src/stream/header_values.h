// The response header values the engine interprets itself, parsed from
// their text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

// An HTTP date as seconds since 1970 (UTC), in any of the three forms a
// recipient must accept: "Sun, 06 Nov 1994 08:49:37 GMT", the obsolete
// "Sunday, 06-Nov-94 08:49:37 GMT" (whose two-digit year is the latest one
// not more than 50 years after nowSeconds) and "Sun Nov  6 08:49:37 1994".
std::optional<std::int64_t> ParseHttpDate(std::u16string_view value, std::int64_t nowSeconds);

// A Retry-After header value as the milliseconds to wait from now: a number
// of seconds, or an HTTP date against nowSeconds (seconds since 1970, UTC),
// 0 for a date already past. At most capMs; nothing when the value is
// neither.
std::optional<std::uint32_t> ParseRetryAfter(std::u16string_view value, std::int64_t nowSeconds,
                                             std::uint32_t capMs);

// The validators of one answer, each exactly as the server sent it (empty
// when absent): the ETag, W/ included when weak, and the Last-Modified date.
// They are compared and sent back unchanged: a server compares them octet
// for octet.
struct Validators {
  std::u16string etag;
  std::u16string lastModified;
  // The date is at least 60 seconds older than the answer's own Date: a
  // change within the same second cannot then hide behind it.
  bool dateStrong = false;

  bool WeakETag() const { return etag.rfind(u"W/", 0) == 0; }
  // Whether they can tell this version from another at all: a strong ETag,
  // or a date (a weak ETag alone promises equivalent content, not the same
  // bytes).
  bool Identify() const { return (!etag.empty() && !WeakETag()) || !lastModified.empty(); }
  // What If-Range may carry: a strong ETag, or the date when there is no
  // ETag at all and the date is strong; empty when neither may be sent.
  std::u16string IfRange() const;
  // The same version: every validator equal, a weak ETag included.
  bool operator==(const Validators& other) const {
    return etag == other.etag && lastModified == other.lastModified;
  }
};

// Whether lastModified is a strong validator beside the answer's Date
// (both as sent; false when either is missing or not a date).
bool DateIsStrong(std::u16string_view lastModified, std::u16string_view date,
                  std::int64_t nowSeconds);

}  // namespace httpmedia
