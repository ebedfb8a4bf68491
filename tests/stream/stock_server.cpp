#include "stock_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "body.h"

extern char** environ;

namespace httpmedia::testing {

namespace {

constexpr const char* NginxPath = "/usr/sbin/nginx";

std::uint16_t FreeLoopbackPort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  std::uint16_t port = 0;
  if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(probe);
  return port;
}

bool Accepts(std::uint16_t port) {
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(client);
  return ok;
}

}  // namespace

StockServer::StockServer(std::uint64_t size) {
  if (access(NginxPath, X_OK) != 0) return;
  char pattern[] = "/tmp/httpmedia-nginx-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  directory_ = pattern;
  const std::string www = directory_ + "/www";
  mkdir(www.c_str(), 0755);
  {
    std::ofstream body(www + "/body.bin", std::ios::binary);
    std::vector<std::uint8_t> block(1 << 20);
    for (std::uint64_t at = 0; at < size; at += block.size()) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - at));
      FillBody(at, block.data(), count);
      body.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
    }
  }
  port_ = FreeLoopbackPort();
  const std::string& d = directory_;
  std::ofstream(d + "/nginx.conf")
      << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << d << "/nginx.pid;\n"
      << "error_log " << d << "/error.log;\nevents { worker_connections 64; }\n"
      << "http {\n  log_format ranges '$request|$http_range';\n"
      << "  access_log " << d << "/access.log ranges;\n"
      << "  client_body_temp_path " << d << "/tmp;\n"
      << "  server { listen 127.0.0.1:" << port_ << "; root " << www << "; }\n}\n";
  const std::string config = d + "/nginx.conf";
  const char* argv[] = {NginxPath, "-p", d.c_str(), "-c", config.c_str(), nullptr};
  if (posix_spawn(&pid_, NginxPath, nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
      0) {
    pid_ = -1;
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(running_ = Accepts(port_)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

StockServer::~StockServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (!directory_.empty()) std::system(("rm -rf '" + directory_ + "'").c_str());
}

std::u16string StockServer::Url16() const {
  const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/body.bin";
  return std::u16string(url.begin(), url.end());
}

std::vector<std::string> StockServer::RangesRequested() const {
  std::vector<std::string> ranges;
  std::ifstream log(directory_ + "/access.log");
  for (std::string line; std::getline(log, line);) {
    const std::string range = line.substr(line.find('|') + 1);
    ranges.push_back(range == "-" ? "" : range);
  }
  return ranges;
}

}  // namespace httpmedia::testing
