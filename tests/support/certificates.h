// Certificates for the tests' https servers, made with the openssl tool.
#pragma once

#include <string>

namespace httpmedia::testing {

// Writes into `directory` an EC P-256 CA (ca.pem, ca.key), a certificate
// for 127.0.0.1 signed by it (cert.pem, key.pem), and the system's CA bundle
// with the CA added (bundle.pem). False when the openssl tool failed.
bool MakeCertificates(const std::string& directory);

}  // namespace httpmedia::testing
