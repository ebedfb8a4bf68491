#include "tls_serving.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "certificates.h"

namespace httpmedia::testing {

namespace {

// Waits until `fd` has `events` or `stop_fd` is readable (then false).
bool Await(int fd, short events, int stop_fd) {
  pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return fds[1].revents == 0;
}

// Retries a nonblocking TLS call until it is done (true) or fails.
template <typename Call>
bool Complete(SSL* ssl, int fd, int stop_fd, Call call) {
  for (;;) {
    const int result = call();
    if (result > 0) return true;
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ) {
      if (!Await(fd, POLLIN, stop_fd)) return false;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      if (!Await(fd, POLLOUT, stop_fd)) return false;
    } else {
      return false;
    }
  }
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Carries bytes between the TLS connection and the plain end of the pair
// until the plain side closes or the connection fails: what the client
// sends goes to the server, and the server's answers go back encrypted.
void Pump(SSL* ssl, int fd, int plain, int stop_fd) {
  char buffer[16 * 1024];
  bool client_open = true;
  for (;;) {
    pollfd fds[3] = {{fd, static_cast<short>(client_open ? POLLIN : 0), 0},
                     {plain, POLLIN, 0},
                     {stop_fd, POLLIN, 0}};
    if (!(client_open && SSL_pending(ssl) > 0)) {
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[2].revents != 0) return;
    }
    if (client_open && (SSL_pending(ssl) > 0 || fds[0].revents != 0)) {
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n > 0) {
        if (!WriteAll(plain, buffer, static_cast<std::size_t>(n))) return;
      } else if (const int error = SSL_get_error(ssl, n);
                 error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        // The client is done: the server sees its hang-up, as on a plain
        // connection.
        client_open = false;
        ::shutdown(plain, SHUT_WR);
      }
    }
    if (fds[1].revents != 0) {
      const ssize_t n = ::recv(plain, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        SSL_shutdown(ssl);
        return;
      }
      if (!Complete(ssl, fd, stop_fd, [&] { return SSL_write(ssl, buffer, static_cast<int>(n)); }))
        return;
    }
  }
}

}  // namespace

TlsServing::TlsServing() {
  char pattern[] = "/tmp/httpmedia-tls-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("tls serving: mkdtemp");
  directory_ = pattern;
  context_ = SSL_CTX_new(TLS_server_method());
  if (context_ == nullptr || !MakeCertificates(directory_) ||
      SSL_CTX_use_certificate_chain_file(context_, (directory_ + "/cert.pem").c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context_, (directory_ + "/key.pem").c_str(), SSL_FILETYPE_PEM) !=
          1) {
    Discard();
    throw std::runtime_error("tls serving: no certificate (is openssl installed?)");
  }
  SSL_CTX_set_mode(context_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

TlsServing::~TlsServing() { Discard(); }

void TlsServing::Discard() {
  SSL_CTX_free(context_);
  context_ = nullptr;
  std::system(("rm -rf '" + directory_ + "'").c_str());
}

bool TlsServing::Serve(int fd, int stop_fd, const std::function<void(int)>& serve) {
  // OpenSSL writes without MSG_NOSIGNAL: a client that went away must fail
  // the write, not end the process. Blocked on the serving thread, and on
  // the pump that inherits its mask, SIGPIPE is never delivered.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  SSL* ssl = SSL_new(context_);
  int pair[2] = {-1, -1};
  const bool served = ssl != nullptr && SSL_set_fd(ssl, fd) == 1 &&
                      Complete(ssl, fd, stop_fd, [&] { return SSL_accept(ssl); }) &&
                      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0;
  if (served) {
    ::fcntl(pair[0], F_SETFL, ::fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    std::thread pump([&] {
      Pump(ssl, fd, pair[1], stop_fd);
      // A server still writing to a client that went away fails, as it
      // would on a plain connection.
      ::shutdown(pair[1], SHUT_RDWR);
    });
    serve(pair[0]);
    pump.join();
    ::close(pair[1]);
  }
  ERR_clear_error();
  SSL_free(ssl);
  ::close(fd);
  return served;
}

}  // namespace httpmedia::testing
