#include "transfer_log.h"

#include <string>

#if defined(HTTPMEDIA_HAVE_OPENSSL)
#include <openssl/ssl.h>
#endif

namespace httpmedia::inet {

namespace {

const char* ProtocolName(long version) {
  switch (version) {
    case CURL_HTTP_VERSION_1_0:
      return "HTTP/1.0";
    case CURL_HTTP_VERSION_1_1:
      return "HTTP/1.1";
    case CURL_HTTP_VERSION_2_0:
      return "HTTP/2";
    case CURL_HTTP_VERSION_3:
      return "HTTP/3";
    default:
      return "HTTP";
  }
}

// ", TLSv1.3" for an answer over https; empty otherwise, or where the TLS
// library cannot be asked.
std::string TlsVersion(CURL* easy) {
#if defined(HTTPMEDIA_HAVE_OPENSSL)
  curl_tlssessioninfo* session = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &session) == CURLE_OK && session &&
      session->backend == CURLSSLBACKEND_OPENSSL && session->internals) {
    return std::string(", ") + SSL_get_version(static_cast<SSL*>(session->internals));
  }
#else
  static_cast<void>(easy);
#endif
  return {};
}

}  // namespace

void WriteResponseEnded(CURL* easy, const Response& response) {
  long version = 0;
  curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
  if (response.status < 200) return;  // an interim answer
  const std::string* location = response.Find("Location");
  const bool redirect =
      response.status >= 300 && response.status < 400 && location && !location->empty();
  diag::Write("response %s %u%s%s%s", ProtocolName(version), static_cast<unsigned>(response.status),
              TlsVersion(easy).c_str(), redirect ? ": redirect to " : "",
              redirect ? diag::PrintableUrl(*location).c_str() : "");
}

void WriteRedirectRefused(std::string_view from, std::string_view location) {
  diag::Write(
      "redirect from %s to %s refused: an answer that came over https is never followed "
      "in the clear",
      diag::PrintableUrl(from).c_str(), diag::PrintableUrl(location).c_str());
}

void WriteTransferEnded(CURLcode result, const char* detail) {
  if (result == CURLE_OK) {
    diag::Write("transfer complete");
  } else {
    diag::Write("transfer failed: %s%s%s", curl_easy_strerror(result),
                detail && *detail ? ": " : "", detail ? detail : "");
  }
}

}  // namespace httpmedia::inet
