#include "stream/response_info.h"

#include <algorithm>
#include <limits>
#include <string>

#include "platform/platform_api.h"

namespace httpmedia {

namespace {

std::u16string_view Trimmed(std::u16string_view value) {
  while (!value.empty() && (value.front() == u' ' || value.front() == u'\t'))
    value.remove_prefix(1);
  while (!value.empty() && (value.back() == u' ' || value.back() == u'\t')) value.remove_suffix(1);
  return value;
}

// A decimal number of at most `largest`; nothing for anything else.
std::optional<std::int64_t> ParseDecimal(std::u16string_view digits, std::int64_t largest) {
  if (digits.empty()) return std::nullopt;
  std::int64_t result = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return std::nullopt;
    result = result * 10 + (c - u'0');
    if (result > largest) return std::nullopt;
  }
  return result;
}

// A header's value as text; empty when the response has none (or one too
// long to be any value we interpret).
std::u16string QueryText(InternetHandle request, DWORD level) {
  char16_t text[128] = {};
  DWORD size = sizeof(text) - sizeof(char16_t);
  if (!::HttpQueryInfoW(static_cast<HINTERNET>(request), level, text, &size, nullptr)) return {};
  return std::u16string(text, std::min<std::size_t>(size / sizeof(char16_t), 127));
}

}  // namespace

std::uint32_t ResponseStatus(InternetHandle request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!::HttpQueryInfoW(static_cast<HINTERNET>(request),
                        HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
    return 0;
  }
  return status;
}

std::optional<std::int32_t> ParseContentLength(std::u16string_view value) {
  const std::optional<std::int64_t> number =
      ParseDecimal(Trimmed(value), std::numeric_limits<std::int32_t>::max());
  if (!number) return std::nullopt;
  return static_cast<std::int32_t>(*number);
}

std::optional<std::int32_t> ResponseContentLength(InternetHandle request) {
  DWORD number = 0;
  DWORD size = sizeof(number);
  if (!::HttpQueryInfoW(static_cast<HINTERNET>(request),
                        HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &number, &size,
                        nullptr)) {
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
  const std::u16string value = QueryText(request, HTTP_QUERY_ACCEPT_RANGES);
  const std::u16string_view unit = Trimmed(value);
  constexpr std::u16string_view Bytes = u"bytes";
  return std::equal(unit.begin(), unit.end(), Bytes.begin(), Bytes.end(),
                    [](char16_t a, char16_t b) { return (a | 0x20) == b; });
}

std::optional<ContentRange> ParseContentRange(std::u16string_view value) {
  constexpr std::int64_t Largest = std::numeric_limits<std::int64_t>::max() / 16;
  constexpr std::u16string_view Unit = u"bytes ";
  value = Trimmed(value);
  if (value.substr(0, Unit.size()) != Unit) return std::nullopt;
  value.remove_prefix(Unit.size());
  const std::size_t dash = value.find(u'-');
  const std::size_t slash = value.find(u'/');
  if (dash == std::u16string_view::npos || slash == std::u16string_view::npos || slash < dash) {
    return std::nullopt;
  }
  const std::optional<std::int64_t> first = ParseDecimal(value.substr(0, dash), Largest);
  const std::optional<std::int64_t> last =
      ParseDecimal(value.substr(dash + 1, slash - dash - 1), Largest);
  if (!first || !last || *last < *first) return std::nullopt;
  ContentRange range{*first, *last, std::nullopt};
  const std::u16string_view total = value.substr(slash + 1);
  if (total != u"*") {
    range.total = ParseDecimal(total, Largest);
    if (!range.total || *range.total <= *last) return std::nullopt;
  }
  return range;
}

std::optional<ContentRange> ResponseContentRange(InternetHandle request) {
  return ParseContentRange(QueryText(request, HTTP_QUERY_CONTENT_RANGE));
}

}  // namespace httpmedia
