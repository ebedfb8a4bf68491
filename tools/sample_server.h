// A one-file HTTP/1.1 server on 127.0.0.1 for the command-line host's run
// without a URL: it answers every GET (and HEAD) with the same in-memory
// body and its Content-Length, one request per connection, each connection
// on a thread of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace httpmedia::tools {

class SampleServer {
 public:
  // Listens at an ephemeral loopback port at once. Throws std::runtime_error
  // when the socket cannot be set up.
  SampleServer(std::vector<std::uint8_t> body, std::string content_type);
  // Stops listening, cuts every open connection and joins every thread.
  ~SampleServer();

  SampleServer(const SampleServer&) = delete;
  SampleServer& operator=(const SampleServer&) = delete;

  std::uint16_t Port() const;
  // "http://127.0.0.1:PORT" + path.
  std::string Url(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace httpmedia::tools
