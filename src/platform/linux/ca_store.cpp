#include "ca_store.h"

#include <cstdlib>
#include <cstring>

#if defined(HTTPMEDIA_HAVE_OPENSSL)
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#endif

#include "platform/diag_log.h"

namespace httpmedia::inet {

namespace {

constexpr char kFileVariable[] = "SSL_CERT_FILE";
constexpr char kDirVariable[] = "SSL_CERT_DIR";

const char* Setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

#if defined(HTTPMEDIA_HAVE_OPENSSL)
// Runs once curl has loaded its own CA file and directory into the context:
// what is added here comes on top. A location that cannot be read is passed
// over, as OpenSSL's own default paths are, and said in the log.
CURLcode AddUserLocations(CURL*, void* context, void*) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
  if (store == nullptr) return CURLE_OK;
  if (const char* file = Setting(kFileVariable)) {
    if (X509_STORE_load_file(store, file) != 1) {
      HTTPMEDIA_LOG(Info, "%s=%s: no certificate could be read from it", kFileVariable, file);
    }
  }
  // Each directory is looked into when a certificate is needed, not now.
  if (const char* directories = Setting(kDirVariable)) X509_STORE_load_path(store, directories);
  ERR_clear_error();
  return CURLE_OK;
}
#endif

// Whether `setting` (unset, or a location) adds nothing to curl's own
// location `builtIn`.
bool AddsNothing(const char* setting, const char* builtIn) {
  if (setting == nullptr) return true;
  if (builtIn == nullptr) return false;
  char* wanted = realpath(setting, nullptr);
  char* own = realpath(builtIn, nullptr);
  const bool same = wanted != nullptr && own != nullptr && std::strcmp(wanted, own) == 0;
  std::free(wanted);
  std::free(own);
  return same;
}

}  // namespace

void TrustUserCaStore(CURL* easy) {
  // Many systems set the variables to the system's own store: curl reads
  // that already, once for the process, where a context callback would
  // make it read its whole bundle again for every TLS connection (tens of
  // milliseconds before each seek's handshake).
  char* curlFile = nullptr;
  char* curlDirectory = nullptr;
  curl_easy_getinfo(easy, CURLINFO_CAINFO, &curlFile);
  curl_easy_getinfo(easy, CURLINFO_CAPATH, &curlDirectory);
  if (AddsNothing(Setting(kFileVariable), curlFile) &&
      AddsNothing(Setting(kDirVariable), curlDirectory)) {
    return;
  }
#if defined(HTTPMEDIA_HAVE_OPENSSL)
  // A libcurl on another TLS library refuses the option: the system's store
  // alone then, as before.
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &AddUserLocations);
#else
  (void)easy;
#endif
}

}  // namespace httpmedia::inet
