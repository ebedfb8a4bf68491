// TLS for the test server's connections: the handshake made on the thread
// that calls Serve, as a server that takes one connection at a time makes it
// in its accept loop, then the connection's plain bytes handed to the
// server's own serving through a socket pair.
#pragma once

#include <functional>
#include <string>

struct ssl_ctx_st;

namespace httpmedia::testing {

class TlsServing {
 public:
  // Makes a CA and a certificate for 127.0.0.1 signed by it in a temporary
  // folder. Throws std::runtime_error when that or the TLS setup fails.
  TlsServing();
  ~TlsServing();

  TlsServing(const TlsServing&) = delete;
  TlsServing& operator=(const TlsServing&) = delete;

  // The CA the certificate comes from, as a PEM file (for SSL_CERT_FILE).
  std::string CaFile() const { return directory_ + "/ca.pem"; }

  // Makes the handshake on the connected socket `fd`, then calls `serve`
  // with the nonblocking plain end of a socket pair whose bytes travel over
  // the TLS connection, until either side is done. Returns when `stop_fd`
  // becomes readable, the handshake fails, or both sides are done; closes
  // `fd` (`serve` closes its end). False when `serve` was not called.
  bool Serve(int fd, int stop_fd, const std::function<void(int)>& serve);

 private:
  void Discard();

  std::string directory_;
  ssl_ctx_st* context_ = nullptr;
};

}  // namespace httpmedia::testing
