// A stock HTTP server for tests: Debian's nginx, serving a file of the test
// body on a loopback port, with its own configuration in a temporary folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace httpmedia::testing {

class StockServer {
 public:
  // Writes a body file of `size` bytes and starts nginx on it.
  explicit StockServer(std::uint64_t size);
  ~StockServer();

  StockServer(const StockServer&) = delete;
  StockServer& operator=(const StockServer&) = delete;

  // False when nginx is not installed or did not start.
  bool Running() const { return running_; }
  std::u16string Url16() const;
  // The Range header of every request so far ("" for a request without).
  std::vector<std::string> RangesRequested() const;

 private:
  std::string directory_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool running_ = false;
};

}  // namespace httpmedia::testing
