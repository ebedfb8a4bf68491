// The response header values the engine interprets itself, parsed from
// their text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace httpmedia {

// A Content-Length header value as a whole length: nothing when it is not a
// plain decimal number (of at most 2^59, as Content-Range's numbers). It may
// be more than a signed 32-bit stream position reaches.
std::optional<std::int64_t> ParseContentLength(std::u16string_view value);

// What a Content-Encoding header value leaves a reader to undo: nothing
// (none, or identity only), codings the Internet client decodes (gzip,
// x-gzip, deflate, in any order), or a coding it cannot.
enum class ContentCoding { Identity, Decodable, Undecodable };
ContentCoding ClassifyContentEncoding(std::u16string_view value);

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
  // The date is at least a second older than the answer's Date, so that it
  // names one version: a file written again within its second keeps its
  // date. A date younger than that proves nothing.
  bool dateVouches = false;

  bool WeakETag() const { return etag.rfind(u"W/", 0) == 0; }
  // Whether they can tell this version from another at all: a strong ETag,
  // or a date (a weak ETag alone promises equivalent content, not the same
  // bytes).
  bool Identify() const { return (!etag.empty() && !WeakETag()) || !lastModified.empty(); }
  // Whether an answer with equal validators is surely the same bytes, so
  // that its part may be spliced onto the stream's: a strong ETag, or a date
  // that vouches. Without any validator only the length can tell.
  bool Vouch() const {
    return (!etag.empty() && !WeakETag()) || dateVouches || (etag.empty() && lastModified.empty());
  }
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

// Whether lastModified tells versions apart at all: it is at least a second
// older than the answer's Date, or, for an answer without a Date (or with
// one that is no date), than its arrival at nowSeconds. A lastModified that
// is no date is compared as it is, as any validator: true.
bool DateVouches(std::u16string_view lastModified, std::u16string_view date,
                 std::int64_t nowSeconds);

}  // namespace httpmedia
