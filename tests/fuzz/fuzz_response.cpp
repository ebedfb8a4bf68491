// Whatever a server answers: the fuzzer's bytes are the whole response of a
// loopback server to a synchronous open. The layer's status, Content-Length,
// Content-Range and Accept-Ranges queries and the engine's reading of them
// must agree with each other, and reads must stay within what they asked.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "internet_client.h"
#include "stream/http_request.h"
#include "test_server.h"

namespace {

httpmedia::testing::TestServer* server = nullptr;
HINTERNET session = nullptr;

void Check(bool holds) {
  if (!holds) std::abort();
}

std::string PercentEncoded(const std::uint8_t* data, std::size_t size) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += '%';
    out += Hex[data[i] >> 4];
    out += Hex[data[i] & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  server = new httpmedia::testing::TestServer;
  session = InternetOpenW(u"httpmedia-fuzz", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (session == nullptr) std::abort();
  // The server closes after its answer, so nothing waits; this only bounds
  // an answer curl keeps waiting on.
  DWORD timeout = 1000;
  InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string url = server->Url16("/raw?raw=" + PercentEncoded(data, size));
  HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0, 0, 0);
  if (request == nullptr) return 0;

  DWORD status = 0;
  DWORD length = sizeof status;
  Check(HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                       nullptr));
  Check(status >= 200 && status <= 999 && httpmedia::ResponseStatus(request) == status);

  DWORD number = 0;
  length = sizeof number;
  const bool isNumber = HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                       &number, &length, nullptr);
  if (const auto contentLength = httpmedia::ResponseContentLength(request)) {
    Check(isNumber && static_cast<DWORD>(*contentLength) == number);
  }
  httpmedia::ResponseContentRange(request);
  httpmedia::AcceptsByteRanges(request);

  // A text query with too small a buffer says how much it needs.
  char16_t small[4];
  length = sizeof small;
  if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_RANGE, small, &length, nullptr) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    std::vector<char16_t> text(length / sizeof(char16_t));
    Check(HttpQueryInfoW(request, HTTP_QUERY_CONTENT_RANGE, text.data(), &length, nullptr));
  }

  std::vector<std::uint8_t> buffer(4096);
  for (int reads = 0; reads < 64; ++reads) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) break;
    Check(got <= buffer.size());
    if (got == 0) break;
  }
  InternetCloseHandle(request);
  return 0;
}
