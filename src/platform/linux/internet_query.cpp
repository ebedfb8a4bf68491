// Status and header queries of the Internet-client layer's requests.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "internet_handles.h"

using httpmedia::inet::Lookup;
using httpmedia::inet::Request;

namespace {

// The headers a query level names; null for a level this layer does not
// answer.
const char* HeaderOfLevel(DWORD level) {
  static constexpr struct {
    DWORD level;
    const char* name;
  } kHeaders[] = {
      {HTTP_QUERY_CONTENT_TYPE, "Content-Type"},
      {HTTP_QUERY_CONTENT_LENGTH, "Content-Length"},
      {HTTP_QUERY_CONTENT_ENCODING, "Content-Encoding"},
      {HTTP_QUERY_ACCEPT_RANGES, "Accept-Ranges"},
      {HTTP_QUERY_CONTENT_RANGE, "Content-Range"},
      {HTTP_QUERY_ETAG, "ETag"},
      {HTTP_QUERY_LAST_MODIFIED, "Last-Modified"},
      {HTTP_QUERY_RETRY_AFTER, "Retry-After"},
      {HTTP_QUERY_DATE, "Date"},
      {HTTP_QUERY_LOCATION, "Location"},
      {HTTP_QUERY_TRANSFER_ENCODING, "Transfer-Encoding"},
  };
  for (const auto& header : kHeaders) {
    if (header.level == level) return header.name;
  }
  return nullptr;
}

}  // namespace

INET_API BOOL WINAPI HttpQueryInfoW(HINTERNET handle, DWORD infoLevel, LPVOID buffer,
                                    LPDWORD bufferLength, LPDWORD index) {
  std::shared_ptr<Request> request = Lookup<Request>(handle);
  if (!request) return FALSE;
  auto fail = [](DWORD error) {
    SetLastError(error);
    return FALSE;
  };
  constexpr DWORD kLevelMask = 0xFFFF;
  if (!bufferLength || (infoLevel & ~kLevelMask & ~HTTP_QUERY_FLAG_NUMBER) != 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (!request->transfer.HeadersReady()) return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (index && *index != 0) return fail(ERROR_HTTP_HEADER_NOT_FOUND);  // one of each at most

  const httpmedia::inet::Response& response = request->transfer.Final();
  std::string value;
  const std::string* found = nullptr;
  if ((infoLevel & kLevelMask) == HTTP_QUERY_STATUS_CODE) {
    value = std::to_string(response.status);
    found = &value;
  } else if ((infoLevel & kLevelMask) == HTTP_QUERY_STATUS_TEXT) {
    found = &response.reason;
  } else {
    const char* const name = HeaderOfLevel(infoLevel & kLevelMask);
    if (!name) return fail(ERROR_INVALID_PARAMETER);
    found = response.Find(name);
  }
  if (!found) return fail(ERROR_HTTP_HEADER_NOT_FOUND);

  if (infoLevel & HTTP_QUERY_FLAG_NUMBER) {
    // Only a clean decimal that fits: a caller must never see a wrapped size.
    std::uint64_t number = 0;
    if (found->empty() || found->size() > 10) return fail(ERROR_HTTP_INVALID_HEADER);
    for (char c : *found) {
      if (c < '0' || c > '9') return fail(ERROR_HTTP_INVALID_HEADER);
      number = number * 10 + std::uint64_t(c - '0');
    }
    if (number > 0xFFFFFFFFu) return fail(ERROR_HTTP_INVALID_HEADER);
    if (!buffer || *bufferLength < sizeof(DWORD)) {
      *bufferLength = sizeof(DWORD);
      return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DWORD result = DWORD(number);
    std::memcpy(buffer, &result, sizeof result);
    *bufferLength = sizeof result;
  } else {
    // Header bytes are taken as Latin-1, one character each, as request
    // headers are sent: a value queried here goes back out octet for octet.
    DWORD needed = DWORD((found->size() + 1) * sizeof(WCHAR));
    if (!buffer || *bufferLength < needed) {
      *bufferLength = needed;
      return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = static_cast<WCHAR*>(buffer);
    for (std::size_t i = 0; i < found->size(); ++i) {
      out[i] = WCHAR(static_cast<unsigned char>((*found)[i]));
    }
    out[found->size()] = 0;
    *bufferLength = needed - sizeof(WCHAR);
  }
  if (index) ++*index;
  return TRUE;
}
