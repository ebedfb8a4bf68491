// A stock HTTP server for tests: Debian's nginx, serving a file of the test
// body on a loopback port, with its own configuration in a temporary folder;
// or serving it over https and HTTP/2 under a CA made for the server; or
// fronting another loopback server over https likewise.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace httpmedia::testing {

class StockServer {
 public:
  // What tells the body's version: an ETag and the file's date, or (with
  // etag off) the date alone.
  enum class Validators { kETagAndDate, kDateOnly };

  // Writes a body file of `size` bytes and starts nginx on it.
  explicit StockServer(std::uint64_t size, bool https = false,
                       Validators validators = Validators::kETagAndDate)
      : StockServer(size, https, validators, 0) {}
  // An https front for the server on the loopback port `backend`, passing
  // every request and answer through as they are, redirects included.
  static StockServer Front(std::uint16_t backend) {
    return StockServer(0, true, Validators::kETagAndDate, backend);
  }
  ~StockServer();

  StockServer(const StockServer&) = delete;
  StockServer& operator=(const StockServer&) = delete;

  // False when nginx is not installed or did not start.
  bool Running() const { return running_; }
  // The URL of `target` on the server; Url16: of the body file.
  std::string Url(const std::string& target) const;
  std::u16string Url16() const;
  // Dates the body file `seconds` after the epoch.
  void Date(std::time_t seconds);
  // Replaces the body file whole by a new version of the same size, every
  // byte inverted, keeping its date as a version written within the same
  // second does.
  void Replace();
  // The CA the https server's certificate comes from, as a PEM file.
  std::string CaFile() const { return directory_ + "/ca.pem"; }
  // The Range header of every request so far ("" for a request without).
  std::vector<std::string> RangesRequested() const;
  // A request as logged once its answer ended, or its stream or connection
  // was closed: on which of nginx's connections (by serial number), and
  // which request on that connection it was.
  struct Request {
    int connection = 0, sent = 0;
    std::string protocol, range;
  };
  // In the order they were sent: by connection, and on each in turn.
  std::vector<Request> Requests() const;

  // Makes one plain HTTP/1.0 request on a connection of its own to a second
  // port of the server (so the only HTTP/1.0 request in Requests()), and
  // returns the serial number nginx gave its connection: connections
  // accepted before it have lower ones, those after it higher. 0 on failure.
  int Mark();

  // Makes the calling thread, and the threads it starts from now on, trust
  // the https server's CA: the system's CA bundle with the CA added is
  // mounted over the system's in a mount namespace of the thread's own.
  // False where that is not permitted (it needs root).
  bool Trust();

 private:
  StockServer(std::uint64_t size, bool https, Validators validators, std::uint16_t backend);
  // Writes the body's bytes (inverted: the replacement's) to `path`.
  void WriteBody(const std::string& path, bool inverted) const;

  std::string directory_;
  std::uint64_t size_ = 0;
  std::uint16_t port_ = 0, marker_port_ = 0;
  pid_t pid_ = -1;
  bool running_ = false;
  bool https_ = false, trusted_ = false;
};

}  // namespace httpmedia::testing
