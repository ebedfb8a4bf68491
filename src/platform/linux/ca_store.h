// The CA certificates a user has named for OpenSSL programs, trusted beside
// the system's store: SSL_CERT_FILE (a file of PEM certificates) and
// SSL_CERT_DIR (directories of hashed certificates, separated by ':'). A
// private CA set there works as it does with curl or wget; peers are still
// verified, against more roots.
#pragma once

#include <curl/curl.h>

namespace httpmedia::inet {

// Sets `easy` up to trust them too, when either is set and curl's TLS
// library is OpenSSL; otherwise leaves it alone.
void TrustUserCaStore(CURL* easy);

}  // namespace httpmedia::inet
