// The Internet client's lines in the diagnostic log (platform/diag_log.h):
// what only the client sees of a request. Each response as its headers end
// (a redirect and where it leads; the answer's protocol and, over https, its
// TLS version), a refused redirect, and why a transfer failed in curl's own
// words. Each function checks the log's level inline first.
#pragma once

#include <curl/curl.h>

#include <string_view>

#include "internet_transfer.h"
#include "platform/diag_log.h"

namespace httpmedia::inet {

void WriteResponseEnded(CURL* easy, const Response& response);
void WriteRedirectRefused(std::string_view from, std::string_view location);
void WriteTransferEnded(CURLcode result, const char* detail);

inline void LogResponseEnded(CURL* easy, const Response& response) {
  if (diag::Enabled(diag::Level::Info)) WriteResponseEnded(easy, response);
}
inline void LogRedirectRefused(std::string_view from, std::string_view location) {
  if (diag::Enabled(diag::Level::Info)) WriteRedirectRefused(from, location);
}
// A failure at info level; a transfer that ended well at debug level.
inline void LogTransferEnded(CURLcode result, const char* detail) {
  if (diag::Enabled(result == CURLE_OK ? diag::Level::Debug : diag::Level::Info)) {
    WriteTransferEnded(result, detail);
  }
}

}  // namespace httpmedia::inet
