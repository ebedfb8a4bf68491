#include "stream/response_info.h"

#include <limits>

#include "platform/platform_api.h"

namespace httpmedia {

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
  while (!value.empty() && (value.front() == u' ' || value.front() == u'\t'))
    value.remove_prefix(1);
  while (!value.empty() && (value.back() == u' ' || value.back() == u'\t')) value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  std::int64_t result = 0;
  for (char16_t c : value) {
    if (c < u'0' || c > u'9') return std::nullopt;
    result = result * 10 + (c - u'0');
    if (result > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  }
  return static_cast<std::int32_t>(result);
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
  char16_t text[32] = {};
  DWORD textSize = sizeof(text) - sizeof(char16_t);
  if (!::HttpQueryInfoW(static_cast<HINTERNET>(request), HTTP_QUERY_CONTENT_LENGTH, text, &textSize,
                        nullptr)) {
    return std::nullopt;
  }
  std::optional<std::int32_t> parsed =
      ParseContentLength(std::u16string_view(text, textSize / sizeof(char16_t)));
  if (!parsed || static_cast<DWORD>(*parsed) != number) return std::nullopt;
  return parsed;
}

}  // namespace httpmedia
