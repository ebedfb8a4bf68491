#include "certificates.h"

#include <cstdlib>

namespace httpmedia::testing {

bool MakeCertificates(const std::string& directory) {
  const std::string ec =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1";
  return std::system(("cd '" + directory + "' && (" + ec +
                      " -subj /CN=test-ca -keyout ca.key -out ca.pem && " + ec +
                      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                      " -addext basicConstraints=CA:FALSE -CA ca.pem -CAkey ca.key"
                      " -keyout key.pem -out cert.pem && cat /etc/ssl/certs/ca-certificates.crt"
                      " ca.pem > bundle.pem) >/dev/null 2>&1")
                         .c_str()) == 0;
}

}  // namespace httpmedia::testing
