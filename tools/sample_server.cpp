#include "sample_server.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

// The few socket calls used here differ between Winsock and POSIX only in
// names and types; this block is the whole difference.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
namespace {
using Socket = SOCKET;
using IoSize = int;
const Socket kNoSocket = INVALID_SOCKET;
int CloseSocket(Socket s) { return closesocket(s); }
int PollSockets(pollfd* fds, unsigned long count, int timeout_ms) {
  return WSAPoll(fds, count, timeout_ms);
}
constexpr int kShutBoth = SD_BOTH;
constexpr int kSendFlags = 0;
struct NetworkUse {
  NetworkUse() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  }
  ~NetworkUse() { WSACleanup(); }
};
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
using Socket = int;
using IoSize = ssize_t;
constexpr Socket kNoSocket = -1;
int CloseSocket(Socket s) { return ::close(s); }
int PollSockets(pollfd* fds, nfds_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}
constexpr int kShutBoth = SHUT_RDWR;
// A client that hangs up mid-body must not kill the host with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
struct NetworkUse {};
}  // namespace
#endif

namespace httpmedia::tools {

namespace {

constexpr std::size_t kMaxRequestHead = 16 * 1024;
constexpr int kAcceptPollMs = 100;

bool SendAll(Socket socket, const char* data, std::size_t size) {
  while (size > 0) {
    const int piece = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    const IoSize sent = ::send(socket, data, piece, kSendFlags);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace

struct SampleServer::Impl {
  NetworkUse network;
  std::vector<std::uint8_t> body;
  std::string content_type;
  Socket listener = kNoSocket;
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::thread acceptor;

  std::mutex mutex;  // guards the two lists below
  std::vector<Socket> open_connections;
  std::vector<std::thread> connection_threads;

  void Accept() {
    while (!stopping.load()) {
      pollfd waiting{};
      waiting.fd = listener;
      waiting.events = POLLIN;
      // Waking now and then is what lets the destructor stop this loop the
      // same way on every platform.
      if (PollSockets(&waiting, 1, kAcceptPollMs) <= 0) continue;
      const Socket connection = ::accept(listener, nullptr, nullptr);
      if (connection == kNoSocket) continue;
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping.load()) {
        CloseSocket(connection);
        break;
      }
      open_connections.push_back(connection);
      connection_threads.emplace_back([this, connection] { Serve(connection); });
    }
  }

  void Serve(Socket connection) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
      const IoSize got = ::recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      head.append(buffer, static_cast<std::size_t>(got));
    }
    if (head.find("\r\n\r\n") != std::string::npos) Answer(connection, head);
    std::lock_guard<std::mutex> lock(mutex);
    std::erase(open_connections, connection);
    CloseSocket(connection);
  }

  void Answer(Socket connection, std::string_view head) {
    const bool get = head.starts_with("GET ");
    const bool head_only = head.starts_with("HEAD ");
    std::string response;
    if (!get && !head_only) {
      response =
          "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\n"
          "Connection: close\r\n\r\n";
      SendAll(connection, response.data(), response.size());
      return;
    }
    response = "HTTP/1.1 200 OK\r\nContent-Type: " + content_type +
               "\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n\r\n";
    if (!SendAll(connection, response.data(), response.size()) || head_only) return;
    SendAll(connection, reinterpret_cast<const char*>(body.data()), body.size());
  }
};

SampleServer::SampleServer(std::vector<std::uint8_t> body, std::string content_type)
    : impl_(std::make_unique<Impl>()) {
  impl_->body = std::move(body);
  impl_->content_type = std::move(content_type);

  impl_->listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (impl_->listener == kNoSocket) throw std::runtime_error("cannot create a socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (::bind(impl_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(impl_->listener, 16) != 0 ||
      ::getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    CloseSocket(impl_->listener);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  impl_->port = ntohs(address.sin_port);
  impl_->acceptor = std::thread([impl = impl_.get()] { impl->Accept(); });
}

SampleServer::~SampleServer() {
  impl_->stopping.store(true);
  impl_->acceptor.join();
  CloseSocket(impl_->listener);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    // A connection blocked sending to a client that stopped reading returns
    // once its socket is shut down.
    for (Socket connection : impl_->open_connections) ::shutdown(connection, kShutBoth);
    threads.swap(impl_->connection_threads);
  }
  for (std::thread& thread : threads) thread.join();
}

std::uint16_t SampleServer::Port() const { return impl_->port; }

std::string SampleServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

}  // namespace httpmedia::tools
