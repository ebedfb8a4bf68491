#include "stock_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "body.h"
#include "certificates.h"

extern char** environ;

namespace httpmedia::testing {

namespace {

constexpr const char* NginxPath = "/usr/sbin/nginx";
constexpr const char* SystemBundle = "/etc/ssl/certs/ca-certificates.crt";

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

void StockServer::WriteBody(const std::string& path, bool inverted) const {
  std::ofstream body(path, std::ios::binary);
  std::vector<std::uint8_t> block(1 << 20);
  for (std::uint64_t at = 0; at < size_; at += block.size()) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size_ - at));
    FillBody(at, block.data(), count);
    if (inverted) {
      for (std::size_t i = 0; i < count; ++i) block[i] = static_cast<std::uint8_t>(~block[i]);
    }
    body.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
  }
}

StockServer::StockServer(std::uint64_t size, bool https, Validators validators,
                         std::uint16_t backend)
    : https_(https) {
  if (access(NginxPath, X_OK) != 0) return;
  char pattern[] = "/tmp/httpmedia-nginx-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  directory_ = pattern;
  if (https && !MakeCertificates(directory_)) return;
  const std::string www = directory_ + "/www";
  mkdir(www.c_str(), 0755);
  size_ = size;
  WriteBody(www + "/body.bin", false);
  port_ = FreeLoopbackPort();
  marker_port_ = FreeLoopbackPort();
  const std::string& d = directory_;
  std::ofstream(d + "/nginx.conf")
      << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << d << "/nginx.pid;\n"
      << "error_log " << d << "/error.log;\nevents { worker_connections 64; }\n"
      << "http {\n  log_format requests '$connection $connection_requests $server_protocol "
      << "$http_range';\n  access_log " << d << "/access.log requests;\n"
      << "  client_body_temp_path " << d << "/tmp;\n  proxy_temp_path " << d << "/tmp;\n"
      << "  server { listen 127.0.0.1:" << port_ << (https ? " ssl http2" : "")
      << "; listen 127.0.0.1:" << marker_port_ << "; root " << www << ";"
      << (validators == Validators::kDateOnly ? " etag off;" : "")
      // Paced, so that a test can act while a request has brought little.
      << (https ? " ssl_certificate cert.pem; ssl_certificate_key key.pem; limit_rate 8m;" : "")
      << (backend == 0 ? ""
                       : " location / { proxy_pass http://127.0.0.1:" + std::to_string(backend) +
                             "; proxy_http_version 1.1; proxy_redirect off; proxy_buffering off; }")
      << " }\n}\n";
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
  if (trusted_) umount2(SystemBundle, MNT_DETACH);
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (!directory_.empty()) std::system(("rm -rf '" + directory_ + "'").c_str());
}

std::string StockServer::Url(const std::string& target) const {
  return (https_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_) +
         target;
}

std::u16string StockServer::Url16() const {
  const std::string url = Url("/body.bin");
  return std::u16string(url.begin(), url.end());
}

void StockServer::Date(std::time_t seconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  utimensat(AT_FDCWD, (directory_ + "/www/body.bin").c_str(), times, 0);
}

void StockServer::Replace() {
  const std::string path = directory_ + "/www/body.bin";
  struct stat old {};
  stat(path.c_str(), &old);
  WriteBody(path + ".new", true);
  const timespec times[2] = {{0, UTIME_OMIT}, old.st_mtim};
  utimensat(AT_FDCWD, (path + ".new").c_str(), times, 0);
  // Whole, as a request already being answered keeps the old file.
  rename((path + ".new").c_str(), path.c_str());
}

std::vector<std::string> StockServer::RangesRequested() const {
  std::vector<std::string> ranges;
  for (const Request& request : Requests()) ranges.push_back(request.range);
  return ranges;
}

std::vector<StockServer::Request> StockServer::Requests() const {
  std::vector<Request> requests;
  std::ifstream log(directory_ + "/access.log");
  for (std::string line; std::getline(log, line);) {
    Request& request = requests.emplace_back();
    std::istringstream(line) >> request.connection >> request.sent >> request.protocol >>
        request.range;
    if (request.range == "-") request.range.clear();
  }
  std::sort(requests.begin(), requests.end(), [](const Request& a, const Request& b) {
    return std::tie(a.connection, a.sent) < std::tie(b.connection, b.sent);
  });
  return requests;
}

int StockServer::Mark() {
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(marker_port_);
  constexpr char Line[] = "GET /marker HTTP/1.0\r\n\r\n";
  char answer[4096];
  if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      send(client, Line, sizeof Line - 1, MSG_NOSIGNAL) == sizeof Line - 1) {
    // nginx logs the request before it closes the connection.
    while (recv(client, answer, sizeof answer, 0) > 0) {
    }
  }
  close(client);
  for (const Request& request : Requests()) {
    if (request.protocol == "HTTP/1.0") return request.connection;
  }
  return 0;
}

bool StockServer::Trust() {
  // Private propagation first, so that the bundle's mount stays in here.
  trusted_ =
      https_ && unshare(CLONE_NEWNS) == 0 &&
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount((directory_ + "/bundle.pem").c_str(), SystemBundle, nullptr, MS_BIND, nullptr) == 0;
  return trusted_;
}

}  // namespace httpmedia::testing
