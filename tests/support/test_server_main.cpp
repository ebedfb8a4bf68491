// Runs the test server as a process of its own, for clients that cannot share
// an address space with it (another build of the plug-in, another runtime).
//
//   httpmedia-test-server [--port N] [--until-stdin-eof]
//
// Prints "listening on PORT" once it accepts connections and serves until
// SIGTERM or SIGINT, or until stdin reaches end of file when
// --until-stdin-eof is given (so a parent that dies takes the server along).
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "test_server.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: httpmedia-test-server [--port N] [--until-stdin-eof]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned port = 0;
  bool until_stdin_eof = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      const std::string_view value = argv[++i];
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port > 65535) return Usage();
    } else if (arg == "--until-stdin-eof") {
      until_stdin_eof = true;
    } else {
      return Usage();
    }
  }

  // Blocked before any server thread starts, so that the signals are only
  // ever taken here, through the signalfd.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return 1;
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("signalfd");
    return 1;
  }

  try {
    httpmedia::testing::TestServer server(static_cast<std::uint16_t>(port));
    std::printf("listening on %u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);

    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const nfds_t count = until_stdin_eof ? 2 : 1;
    for (;;) {
      if (::poll(fds, count, -1) < 0) {
        if (errno == EINTR) continue;
        std::perror("poll");
        break;
      }
      if (fds[0].revents != 0) break;
      if (fds[1].revents != 0) {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "httpmedia-test-server: %s\n", e.what());
    ::close(signal_fd);
    return 1;
  }
  ::close(signal_fd);
  return 0;
}
