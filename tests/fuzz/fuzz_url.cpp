// The Internet-client layer's URL conversion: any UTF-16 text, lone
// surrogates and all, as the URL of a synchronous open, with the text after
// a first NUL as extra request headers. The session's proxy is a loopback
// port that refuses connections, so whatever the URL names, nothing leaves
// the machine: an accepted URL fails at the proxy, a refused one at once.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "internet_client.h"
#include "refusing_port.h"

namespace {

HINTERNET session = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The environment must not route anything past the proxy.
  for (const char* name : {"no_proxy", "NO_PROXY", "http_proxy", "https_proxy", "HTTPS_PROXY",
                           "all_proxy", "ALL_PROXY"}) {
    unsetenv(name);
  }
  static httpmedia::hardening::RefusingPort refused;
  if (refused.Port() == 0) std::abort();
  const std::string proxy = "http://127.0.0.1:" + std::to_string(refused.Port());
  const std::u16string proxy16(proxy.begin(), proxy.end());
  session = InternetOpenW(u"httpmedia-fuzz", INTERNET_OPEN_TYPE_PROXY, proxy16.c_str(), nullptr, 0);
  if (session == nullptr) std::abort();
  DWORD timeout = 1000;
  InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = httpmedia::fuzzing::Utf16(data, size);
  const std::size_t nul = text.find(u'\0');
  const std::u16string url = text.substr(0, nul);
  const std::u16string headers = nul == text.npos ? u"" : text.substr(nul + 1);
  HINTERNET request =
      InternetOpenUrlW(session, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                       static_cast<DWORD>(headers.size()), 0, 0);
  // Nothing serves on the proxy's port: no open can succeed.
  if (request != nullptr) std::abort();
  return 0;
}
