// A loopback port that refuses connections: bound, so that nobody else takes
// it meanwhile, but not listening.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace httpmedia::hardening {

class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  // 0 when no port could be bound.
  std::uint16_t Port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

}  // namespace httpmedia::hardening
