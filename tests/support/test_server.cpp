#include "test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "tls_serving.h"

namespace httpmedia::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Large writes keep multi-hundred-megabyte transfers cheap.
constexpr std::size_t kWriteSize = 256 * 1024;
// A request head larger than this is not a test client talking.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// Chunk sizes cycle through this list so that a chunked body has chunk-size
// lines of one to five hex digits and chunks that end inside a read as well as
// across several reads.
constexpr std::uint64_t kChunkSizes[] = {65536, 1, 40000, 17, 100000, 4096, 255, 65535, 3, 12345};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding only: '+' stays '+', so hostile values such as "+5" can be
// written as they are.
std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = HexValue(s[i + 1]);
      const int lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

std::optional<std::uint64_t> ParseU64(std::string_view s) {
  std::uint64_t value = 0;
  if (s.empty()) return std::nullopt;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

const char* Reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 410:
      return "Gone";
    case 413:
      return "Content Too Large";
    case 416:
      return "Range Not Satisfiable";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Status";
  }
}

// "Sun, 06 Nov 1994 08:49:37 GMT" for the given time.
std::string HttpDate(std::time_t when) {
  std::tm parts{};
  ::gmtime_r(&when, &parts);
  char text[64];
  std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

// A replaced resource's bytes: the body's, from elsewhere in it, so that
// every span differs from the original version's.
constexpr std::uint64_t kReplacedShift = 0x9E3779B1ull;

struct QueryParam {
  std::string key;    // as written
  std::string raw;    // the whole "key=value" segment as written
  std::string value;  // percent-decoded
};

std::vector<QueryParam> ParseQuery(std::string_view query) {
  std::vector<QueryParam> params;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view segment = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (segment.empty()) continue;
    const std::size_t eq = segment.find('=');
    QueryParam p;
    p.raw = std::string(segment);
    p.key = std::string(segment.substr(0, eq));
    if (eq != std::string_view::npos) p.value = PercentDecode(segment.substr(eq + 1));
    params.push_back(std::move(p));
  }
  return params;
}

enum class Framing { kLength, kChunked, kClose };
enum class Ranges { kIgnore, kHonour, kRefuse };

struct Options {
  std::uint64_t size = 1000000;
  Framing framing = Framing::kLength;
  int status = 0;  // 0: not asked for
  std::optional<std::uint64_t> redirect;
  std::optional<std::string> redirect_to;
  std::uint64_t rate = 0;  // 0: unthrottled
  std::optional<std::uint64_t> stall_after;
  std::optional<std::uint64_t> drop_after;
  bool drop_rst = false;
  bool never_answer = false;
  Ranges ranges = Ranges::kIgnore;
  bool advertise_ranges = false;
  std::optional<std::string> content_length;
  std::optional<std::string> file;
  std::optional<std::string> etag;
  std::optional<std::string> last_modified;
  std::optional<std::uint64_t> replaced_after;
  std::optional<std::uint64_t> replaced_size;
  std::uint64_t replaced_from = 0;
  // Set for the answers after replaced_after: the resource's second version.
  bool second_version = false;
  // Hostile answers.
  std::optional<std::string> content_length2;
  std::uint64_t header_line = 0;
  std::optional<std::uint64_t> endless_headers;
  bool redirect_loop = false;
  std::optional<std::string> raw;
  std::optional<std::string> content_range;
  std::string range_fault;  // "", shift, short, total or status
  // Versions and recovery.
  std::string validator = "both";
  std::optional<std::string> replaced;
  std::optional<std::uint64_t> silent_after;
  std::optional<std::string> endless_on;
  std::optional<std::uint64_t> endless_count;
  int busy = 0;
  std::uint64_t busy_count = 0;
  std::optional<std::string> retry_after;
  std::uint64_t busy_after = 0;
  // Broadcasts, legacy radio servers and faults of the first answers only.
  bool live = false;
  std::uint64_t live_head = 0;
  std::optional<std::uint64_t> faults;
  bool icy = false;
  std::optional<std::string> encoding;  // gzip, deflate or br
  bool fresh = false;
};

// Fills `options` from the query; on a malformed value returns the offending
// parameter's name so the test that wrote it gets told rather than silently
// served something else.
std::optional<std::string> ParseOptions(const std::vector<QueryParam>& params, Options* options) {
  for (const QueryParam& p : params) {
    const std::string& v = p.value;
    auto number = [&](std::optional<std::uint64_t>* out) {
      *out = ParseU64(v);
      return out->has_value();
    };
    std::optional<std::uint64_t> n;
    bool ok = true;
    if (p.key == "size") {
      ok = number(&n);
      if (ok) options->size = *n;
    } else if (p.key == "framing") {
      if (v == "length") {
        options->framing = Framing::kLength;
      } else if (v == "chunked") {
        options->framing = Framing::kChunked;
      } else if (v == "close") {
        options->framing = Framing::kClose;
      } else {
        ok = false;
      }
    } else if (p.key == "status") {
      ok = number(&n) && *n >= 100 && *n <= 999;
      if (ok) options->status = static_cast<int>(*n);
    } else if (p.key == "redirect") {
      ok = number(&options->redirect);
    } else if (p.key == "redirect_to") {
      options->redirect_to = v;
    } else if (p.key == "rate") {
      ok = number(&n);
      if (ok) options->rate = *n;
    } else if (p.key == "stall_after") {
      ok = number(&options->stall_after);
    } else if (p.key == "drop_after") {
      ok = number(&options->drop_after);
    } else if (p.key == "drop") {
      ok = v == "rst" || v == "fin";
      options->drop_rst = v == "rst";
    } else if (p.key == "never_answer") {
      options->never_answer = v != "0";
    } else if (p.key == "ranges") {
      if (v == "1") {
        options->ranges = Ranges::kHonour;
      } else if (v == "refuse") {
        options->ranges = Ranges::kRefuse;
      } else if (v == "0") {
        options->ranges = Ranges::kIgnore;
      } else {
        ok = false;
      }
    } else if (p.key == "advertise_ranges") {
      options->advertise_ranges = v != "0";
    } else if (p.key == "content_length") {
      options->content_length = v;
    } else if (p.key == "file") {
      options->file = v;
    } else if (p.key == "etag") {
      options->etag = v;
    } else if (p.key == "last_modified") {
      options->last_modified = v;
    } else if (p.key == "replaced_after") {
      ok = number(&options->replaced_after);
    } else if (p.key == "replaced_size") {
      ok = number(&options->replaced_size);
    } else if (p.key == "replaced_from") {
      ok = number(&n);
      if (ok) options->replaced_from = *n;
    } else if (p.key == "content_length2") {
      options->content_length2 = v;
    } else if (p.key == "header_line") {
      ok = number(&n);
      if (ok) options->header_line = *n;
    } else if (p.key == "endless_headers") {
      ok = number(&options->endless_headers);
    } else if (p.key == "redirect_loop") {
      options->redirect_loop = v != "0";
    } else if (p.key == "content_range") {
      options->content_range = v;
    } else if (p.key == "raw") {
      options->raw = v;
    } else if (p.key == "range_fault") {
      ok = v == "shift" || v == "short" || v == "total" || v == "status";
      options->range_fault = v;
    } else if (p.key == "validator") {
      ok = v == "both" || v == "etag" || v == "date" || v == "weak" || v == "none";
      options->validator = v;
    } else if (p.key == "replaced") {
      ok = v == "honour" || v == "ignore" || v == "keep-date";
      options->replaced = v;
    } else if (p.key == "silent_after") {
      ok = number(&options->silent_after);
    } else if (p.key == "endless_count") {
      ok = number(&options->endless_count);
    } else if (p.key == "endless_on") {
      ok = v == "ranges" || ParseU64(v).has_value();
      options->endless_on = v;
    } else if (p.key == "busy") {
      ok = number(&n) && *n >= 400 && *n <= 599;
      if (ok) options->busy = static_cast<int>(*n);
    } else if (p.key == "busy_count") {
      ok = number(&n);
      if (ok) options->busy_count = *n;
    } else if (p.key == "retry_after") {
      options->retry_after = v;
    } else if (p.key == "busy_after") {
      ok = number(&n);
      if (ok) options->busy_after = *n;
    } else if (p.key == "live") {
      options->live = v != "0";
    } else if (p.key == "live_head") {
      ok = number(&n) && *n % 8 == 0;
      if (ok) options->live_head = *n;
    } else if (p.key == "faults") {
      ok = number(&options->faults);
    } else if (p.key == "icy") {
      options->icy = v != "0";
    } else if (p.key == "encoding") {
      ok = v == "gzip" || v == "deflate" || v == "br";
      options->encoding = v;
    } else if (p.key == "fresh") {
      ok = v == "1";
      options->fresh = ok;
    }
    if (!ok) return p.key;
  }
  return std::nullopt;
}

// `text` as a gzip member or a zlib stream (HTTP's deflate).
std::string Compress(const std::string& text, bool gzip) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return {};
  }
  std::string out(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// A "bytes=..." header with a single range; nullopt for anything else,
// which is then ignored as a server without range support would.
struct ByteRange {
  std::optional<std::uint64_t> first;  // absent: suffix range
  std::optional<std::uint64_t> last;   // absent: to the end
};

std::optional<ByteRange> ParseRange(std::string_view header) {
  header = Trim(header);
  constexpr std::string_view kPrefix = "bytes=";
  if (header.size() < kPrefix.size() || !EqualsNoCase(header.substr(0, kPrefix.size()), kPrefix)) {
    return std::nullopt;
  }
  header = Trim(header.substr(kPrefix.size()));
  if (header.find(',') != std::string_view::npos) return std::nullopt;
  const std::size_t dash = header.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view a = Trim(header.substr(0, dash));
  const std::string_view b = Trim(header.substr(dash + 1));
  ByteRange range;
  if (!a.empty()) {
    range.first = ParseU64(a);
    if (!range.first) return std::nullopt;
  }
  if (!b.empty()) {
    range.last = ParseU64(b);
    if (!range.last) return std::nullopt;
  }
  if (!range.first && !range.last) return std::nullopt;
  if (range.first && range.last && *range.last < *range.first) return std::nullopt;
  return range;
}

bool HeaderHasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    if (EqualsNoCase(Trim(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

std::string Hex(std::uint64_t n) {
  char buf[17];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), n, 16);
  return std::string(buf, end);
}

// The file a file= answer reads from, closed with the answer.
struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Socket I/O for one connection. Every wait also watches the stop pipe, so a
// stopping server ends stalls, throttles and writes blocked on a client that
// does not read, without touching the descriptor from another thread.
class Socket {
 public:
  Socket(int fd, int stop_fd, std::atomic<std::uint64_t>& body_counter)
      : fd_(fd), stop_fd_(stop_fd), body_counter_(body_counter) {}

  // Next request head (up to and including the blank line) into `head`.
  // False when the client closed, the server stops or the head is too big.
  bool ReadHead(std::string* head) {
    for (;;) {
      const std::size_t end = in_.find("\r\n\r\n");
      if (end != std::string::npos) {
        head->assign(in_, 0, end + 4);
        in_.erase(0, end + 4);
        return true;
      }
      if (in_.size() > kMaxHeadBytes) return false;
      if (!ReadMore()) return false;
    }
  }

  // Reads and drops `count` bytes of request body.
  bool Discard(std::uint64_t count) {
    for (;;) {
      const std::uint64_t n = std::min<std::uint64_t>(count, in_.size());
      in_.erase(0, static_cast<std::size_t>(n));
      count -= n;
      if (count == 0) return true;
      if (!ReadMore()) return false;
    }
  }

  bool Send(std::string_view data) { return Send(data, {}, {}); }

  // Sends prefix, body and suffix in order; only `body` counts as body bytes.
  bool Send(std::string_view prefix, std::string_view body, std::string_view suffix) {
    iovec iov[3] = {{const_cast<char*>(prefix.data()), prefix.size()},
                    {const_cast<char*>(body.data()), body.size()},
                    {const_cast<char*>(suffix.data()), suffix.size()}};
    std::size_t first = 0;
    for (;;) {
      while (first < 3 && iov[first].iov_len == 0) ++first;
      if (first == 3) return true;
      msghdr msg{};
      msg.msg_iov = iov + first;
      msg.msg_iovlen = 3 - first;
      const ssize_t sent = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (!WaitFor(POLLOUT, -1)) return false;
        continue;
      }
      std::size_t left = static_cast<std::size_t>(sent);
      for (std::size_t i = first; i < 3 && left > 0; ++i) {
        const std::size_t n = std::min(left, iov[i].iov_len);
        if (i == 1) body_counter_.fetch_add(n, std::memory_order_relaxed);
        iov[i].iov_base = static_cast<char*>(iov[i].iov_base) + n;
        iov[i].iov_len -= n;
        left -= n;
      }
    }
  }

  // Waits until `deadline`; false if the client hung up or the server stops
  // first. Pipelined input does not end the wait.
  bool SleepUntil(Clock::time_point deadline) {
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline) return true;
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      if (!WaitFor(POLLRDHUP, static_cast<int>(std::min<long long>(ms, 1000)))) return false;
      if (hung_up_) return false;
    }
  }

  // Holds the connection until the client hangs up or the server stops.
  void HoldOpen() {
    while (WaitFor(POLLRDHUP, -1) && !hung_up_) {
    }
  }

  // Lets the bytes already written reach the client before a reset, since a
  // reset makes the client's side drop whatever it still had in flight.
  void DrainBeforeReset() {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    for (;;) {
      int queued = 0;
      if (::ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued == 0) return;
      if (Clock::now() >= deadline) return;
      if (!SleepUntil(Clock::now() + std::chrono::milliseconds(1))) return;
    }
  }

 private:
  bool ReadMore() {
    char buf[16 * 1024];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
      if (n > 0) {
        in_.append(buf, static_cast<std::size_t>(n));
        return true;
      }
      if (n == 0) return false;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (!WaitFor(POLLIN, -1)) return false;
    }
  }

  // Waits for `events` on the socket (or a timeout: then true). False when
  // the server stops or the socket failed; a hang-up sets hung_up_.
  bool WaitFor(short events, int timeout_ms) {
    pollfd fds[2] = {{fd_, events, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
      const int r = ::poll(fds, 2, timeout_ms);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (fds[1].revents != 0) return false;
      if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
      if (fds[0].revents & (POLLHUP | POLLRDHUP)) hung_up_ = true;
      return true;
    }
  }

  int fd_;
  int stop_fd_;
  std::atomic<std::uint64_t>& body_counter_;
  std::string in_;
  bool hung_up_ = false;
};

// A status line and then header lines without end, one every `interval_ms`
// (0: as fast as the client takes them), until the client goes away.
void SendEndlessHeaders(Socket& socket, std::uint64_t interval_ms) {
  if (!socket.Send("HTTP/1.1 200 OK\r\n")) return;
  const std::string filler(64, 'x');
  for (std::uint64_t i = 0;; ++i) {
    if (!socket.Send("X-Endless-" + std::to_string(i) + ": " + filler + "\r\n")) return;
    if (interval_ms != 0 &&
        !socket.SleepUntil(Clock::now() + std::chrono::milliseconds(interval_ms))) {
      return;
    }
  }
}

void CloseQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::string RecordedRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return value;
  }
  return "";
}

bool RecordedRequest::HasHeader(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return true;
  }
  return false;
}

struct TestServer::Impl {
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  // What to do with the connection after an answer.
  enum class After { kKeepAlive, kClose, kReset, kHold };

  Impl(std::uint16_t port, Serving serving);
  ~Impl();

  void AcceptLoop();
  void Reap(bool all);
  void Serve(int fd);
  After Answer(Socket& socket, const RecordedRequest& request, bool keep_alive);
  After AnswerBody(Socket& socket, const RecordedRequest& request, const Options& options,
                   bool keep_alive);
  After AnswerText(Socket& socket, bool head, int status, const std::string& extra_headers,
                   const std::string& body, bool keep_alive);
  std::string RequestLog() const;

  int listen_fd = -1;
  int stop_pipe[2] = {-1, -1};
  std::uint16_t port = 0;
  Serving serving = Serving::kConcurrently;
  std::unique_ptr<TlsServing> tls;
  std::atomic<std::size_t> open_connections{0};
  std::atomic<std::size_t> accepted_connections{0};
  std::atomic<std::uint64_t> body_bytes_sent{0};

  mutable std::mutex requests_mutex;
  std::vector<RecordedRequest> requests;
  // Requests answered per target, for replaced_after; /_clear keeps them.
  std::map<std::string, std::uint64_t> answered;
  // The clock of every broadcast.
  const Clock::time_point started = Clock::now();

  // Touched only by the accept thread, and by the destructor once that thread
  // has been joined.
  std::list<std::unique_ptr<Connection>> connections;
  std::thread accept_thread;
};

TestServer::Impl::Impl(std::uint16_t requested_port, Serving how) : serving(how) {
  auto fail = [this](const char* what) {
    const int err = errno;
    CloseQuietly(listen_fd);
    CloseQuietly(stop_pipe[0]);
    CloseQuietly(stop_pipe[1]);
    throw std::system_error(err, std::generic_category(), what);
  };
  if (serving == Serving::kOneAtATimeOverTls) tls = std::make_unique<TlsServing>();
  if (::pipe2(stop_pipe, O_CLOEXEC) != 0) fail("test server: pipe");
  listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd < 0) fail("test server: socket");
  const int one = 1;
  ::setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(requested_port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    fail("test server: bind");
  }
  if (::listen(listen_fd, 128) != 0) fail("test server: listen");
  socklen_t len = sizeof(addr);
  if (::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    fail("test server: getsockname");
  }
  port = ntohs(addr.sin_port);
  accept_thread = std::thread([this] { AcceptLoop(); });
}

TestServer::Impl::~Impl() {
  const char byte = 1;
  while (::write(stop_pipe[1], &byte, 1) < 0 && errno == EINTR) {
  }
  accept_thread.join();
  Reap(true);
  CloseQuietly(listen_fd);
  CloseQuietly(stop_pipe[0]);
  CloseQuietly(stop_pipe[1]);
}

void TestServer::Impl::Reap(bool all) {
  for (auto it = connections.begin(); it != connections.end();) {
    if (all || (*it)->finished.load(std::memory_order_acquire)) {
      (*it)->thread.join();
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
}

void TestServer::Impl::AcceptLoop() {
  pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
  for (;;) {
    // The timeout only bounds how long finished connection threads wait to
    // be joined when no new connection arrives.
    const int r = ::poll(fds, 2, 100);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    Reap(false);
    if (r == 0 || (fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or similar: let finished connections go first.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    open_connections.fetch_add(1);
    accepted_connections.fetch_add(1);
    // The next waits in the backlog meanwhile.
    if (serving == Serving::kOneAtATime) {
      Serve(fd);
      continue;
    }
    if (serving == Serving::kOneAtATimeOverTls) {
      if (!tls->Serve(fd, stop_pipe[0], [this](int plain) { Serve(plain); }))
        open_connections.fetch_sub(1);
      continue;
    }
    auto connection = std::make_unique<Connection>();
    Connection* c = connection.get();
    c->fd = fd;
    try {
      c->thread = std::thread([this, c] {
        Serve(c->fd);
        c->finished.store(true, std::memory_order_release);
      });
    } catch (const std::system_error&) {
      ::close(fd);
      open_connections.fetch_sub(1);
      continue;
    }
    connections.push_back(std::move(connection));
  }
}

void TestServer::Impl::Serve(int fd) {
  Socket socket(fd, stop_pipe[0], body_bytes_sent);
  After after = After::kKeepAlive;
  std::string head;
  while (after == After::kKeepAlive && socket.ReadHead(&head)) {
    RecordedRequest request;
    std::string_view rest(head);
    const std::size_t line_end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, line_end);
    rest.remove_prefix(line_end + 2);
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) {
      AnswerText(socket, false, 400, "", "malformed request line\n", false);
      break;
    }
    request.method = std::string(line.substr(0, sp1));
    request.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    const std::string_view version = line.substr(sp2 + 1);
    bool malformed = false;
    while (!rest.empty() && rest.substr(0, 2) != "\r\n") {
      const std::size_t end = rest.find("\r\n");
      const std::string_view field = rest.substr(0, end);
      rest.remove_prefix(end + 2);
      const std::size_t colon = field.find(':');
      if (colon == std::string_view::npos || colon == 0) {
        malformed = true;
        continue;
      }
      request.headers.emplace_back(std::string(field.substr(0, colon)),
                                   std::string(Trim(field.substr(colon + 1))));
    }
    if (malformed) {
      AnswerText(socket, false, 400, "", "malformed header field\n", false);
      break;
    }

    bool keep_alive =
        version == "HTTP/1.1" && !HeaderHasToken(request.Header("Connection"), "close");
    // Only a length-delimited request body can be skipped to reach the next
    // request; anything else ends the connection after this answer.
    if (request.HasHeader("Transfer-Encoding")) {
      keep_alive = false;
    } else if (request.HasHeader("Content-Length")) {
      const auto length = ParseU64(request.Header("Content-Length"));
      if (!length) {
        AnswerText(socket, false, 400, "", "malformed Content-Length\n", false);
        break;
      }
      if (!socket.Discard(*length)) break;
    }
    after = Answer(socket, request, keep_alive);
  }
  switch (after) {
    case After::kHold:
      socket.HoldOpen();
      break;
    case After::kReset: {
      socket.DrainBeforeReset();
      const linger reset{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
      break;
    }
    case After::kClose:
    case After::kKeepAlive:
      // Our side ends first; the kernel delivers what was written.
      ::shutdown(fd, SHUT_WR);
      break;
  }
  ::close(fd);
  open_connections.fetch_sub(1);
}

TestServer::Impl::After TestServer::Impl::Answer(Socket& socket, const RecordedRequest& request,
                                                 bool keep_alive) {
  const std::size_t question = request.target.find('?');
  const std::string path = request.target.substr(0, question);
  const std::string query =
      question == std::string::npos ? std::string() : request.target.substr(question + 1);
  const bool head = request.method == "HEAD";

  if (path == "/_requests") {
    return AnswerText(socket, head, 200, "", RequestLog(), keep_alive);
  }
  if (path == "/_clear") {
    {
      std::lock_guard<std::mutex> lock(requests_mutex);
      requests.clear();
    }
    return AnswerText(socket, head, 200, "", "cleared\n", keep_alive);
  }
  std::uint64_t answered_before = 0;
  {
    std::lock_guard<std::mutex> lock(requests_mutex);
    requests.push_back(request);
    answered_before = answered[request.target]++;
  }

  const std::vector<QueryParam> params = ParseQuery(query);
  Options options;
  if (const auto bad = ParseOptions(params, &options)) {
    return AnswerText(socket, head, 400, "", "bad value for " + *bad + "\n", keep_alive);
  }
  // The second version of the resource: other bytes, other validators.
  if (options.replaced_after && answered_before >= *options.replaced_after) {
    options.second_version = true;
    if (options.replaced_size) options.size = *options.replaced_size;
    if (options.etag) *options.etag += ".2";
    if (options.last_modified) options.last_modified = "Fri, 01 Jan 2038 00:00:00 GMT";
  }
  if (options.never_answer) return After::kHold;
  if (options.raw) {
    socket.Send(*options.raw);
    return After::kClose;
  }
  // How many requests for this target, and how many with a Range header,
  // the log holds so far, this one included.
  std::uint64_t nth = 0;
  std::uint64_t nth_range = 0;
  {
    std::lock_guard<std::mutex> lock(requests_mutex);
    for (const RecordedRequest& r : requests) {
      if (r.target != request.target) continue;
      ++nth;
      if (r.HasHeader("Range")) ++nth_range;
    }
  }
  const bool ranged = request.HasHeader("Range");
  if (options.endless_headers) {
    const bool selected =
        !options.endless_on ||
        (*options.endless_on == "ranges"
             ? ranged && (!options.endless_count || nth_range <= *options.endless_count)
             : nth >= *ParseU64(*options.endless_on));
    if (selected) {
      SendEndlessHeaders(socket, *options.endless_headers);
      return After::kClose;
    }
  }
  const bool busy_now = options.busy_after != 0 ? nth > options.busy_after &&
                                                      nth <= options.busy_after + options.busy_count
                                                : ranged && nth_range <= options.busy_count;
  if (options.busy != 0 && busy_now) {
    std::string extra;
    if (options.retry_after) {
      std::string value = *options.retry_after;
      if (value.rfind("in:", 0) == 0)
        value = HttpDate(std::time(nullptr) + std::stol(value.substr(3)));
      extra = "Retry-After: " + value + "\r\n";
    }
    return AnswerText(socket, head, options.busy, extra, "busy\n", keep_alive);
  }
  if (options.redirect_loop) {
    const std::string self = "http://127.0.0.1:" + std::to_string(port) + request.target;
    return AnswerText(socket, head, 302, "Location: " + self + "\r\n", "", keep_alive);
  }
  if (options.redirect_to) {
    return AnswerText(socket, head, 302, "Location: " + *options.redirect_to + "\r\n", "",
                      keep_alive);
  }
  if (options.redirect && *options.redirect > 0) {
    std::string location = "http://127.0.0.1:" + std::to_string(port) + path + "?";
    bool first = true;
    for (const QueryParam& p : params) {
      if (!first) location += '&';
      first = false;
      location += p.key == "redirect" ? "redirect=" + std::to_string(*options.redirect - 1) : p.raw;
    }
    return AnswerText(socket, head, 302, "Location: " + location + "\r\n", "", keep_alive);
  }
  if (options.faults && nth > *options.faults) {
    options.stall_after.reset();
    options.drop_after.reset();
  }
  if (options.status != 0 && (options.status < 200 || options.status > 299)) {
    const std::string text =
        "status " + std::to_string(options.status) + " " + Reason(options.status) + "\n";
    return AnswerText(socket, head, options.status, "", text, keep_alive);
  }
  return AnswerBody(socket, request, options, keep_alive);
}

TestServer::Impl::After TestServer::Impl::AnswerText(Socket& socket, bool head, int status,
                                                     const std::string& extra_headers,
                                                     const std::string& body, bool keep_alive) {
  // 1xx, 204 and 304 answers carry no body by definition; an interim 1xx
  // answer is followed by nothing, so the connection closes after it.
  const bool bodiless = status < 200 || status == 204 || status == 304;
  if (status < 200) keep_alive = false;
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  out += extra_headers;
  if (!bodiless) {
    out += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  if (!keep_alive) out += "Connection: close\r\n";
  out += "\r\n";
  if (!head && !bodiless) out += body;
  if (!socket.Send(out)) return After::kClose;
  return keep_alive ? After::kKeepAlive : After::kClose;
}

TestServer::Impl::After TestServer::Impl::AnswerBody(Socket& socket, const RecordedRequest& request,
                                                     const Options& options, bool keep_alive) {
  const bool head = request.method == "HEAD";
  // A file served in place of the pattern: its own size, read as it goes out.
  FileDescriptor file;
  std::uint64_t total = options.size;
  if (options.file) {
    file.fd = ::open(options.file->c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      return AnswerText(socket, head, 404, "", "cannot read " + *options.file + "\n", keep_alive);
    }
    total = static_cast<std::uint64_t>(info.st_size);
  }
  std::uint64_t first = 0;
  std::uint64_t length = total;
  // A file broadcast: the answer starts at the file's byte the clock stands
  // at and runs to the file's end.
  if (options.live && options.file && options.rate != 0 && total != 0) {
    first =
        static_cast<std::uint64_t>(std::chrono::duration<double>(Clock::now() - started).count() *
                                   static_cast<double>(options.rate)) %
        total;
    length = total - first;
  }
  int status = options.status != 0 ? options.status : 200;
  std::string range_header;
  // A replaced resource: every request after the stream's own (those with
  // a Range header) meets the new version.
  const bool replaced = options.replaced && request.HasHeader("Range");
  const std::string etag =
      replaced ? "\"v2-" + std::to_string(total) + "\"" : "\"v1-" + std::to_string(total) + "\"";
  const std::string modified = replaced && options.replaced != "keep-date"
                                   ? "Mon, 07 Dec 2026 10:00:00 GMT"
                                   : "Sun, 06 Dec 2026 10:00:00 GMT";
  std::string validators;
  std::string sent_etag;  // as sent, W/ included
  std::string sent_date;
  if (options.etag || options.last_modified) {
    // Validators the query names replace the built-in ones.
    if (options.etag) {
      const bool weak = options.etag->rfind("W/", 0) == 0;
      sent_etag = std::string(weak ? "W/\"" : "\"") + options.etag->substr(weak ? 2 : 0) + "\"";
    }
    if (options.last_modified) sent_date = *options.last_modified;
  } else {
    if (options.validator == "both" || options.validator == "etag") sent_etag = etag;
    if (options.validator == "weak") sent_etag = "W/" + etag;
    if (options.validator == "both" || options.validator == "date" || options.validator == "weak") {
      sent_date = modified;
    }
  }
  // A broadcast names no version: every answer is other bytes.
  if (options.live) sent_etag.clear(), sent_date.clear();
  if (!sent_etag.empty()) validators += "ETag: " + sent_etag + "\r\n";
  if (!sent_date.empty()) validators += "Last-Modified: " + sent_date + "\r\n";
  // Answered within the second the resource was written.
  if (options.fresh && !sent_date.empty()) validators += "Date: " + sent_date + "\r\n";
  if (options.encoding && !options.file) {
    // Whatever the request asked for; br is only named, never applied.
    std::string body(options.size, '\0');
    FillBody(0, reinterpret_cast<std::uint8_t*>(body.data()), body.size());
    if (*options.encoding != "br") body = Compress(body, *options.encoding == "gzip");
    return AnswerText(
        socket, head, 200,
        "Content-Encoding: " + *options.encoding + "\r\nAccept-Ranges: bytes\r\n" + validators,
        body, keep_alive);
  }
  // If-Range naming another version than this one's (octet for octet; a
  // weak ETag never matches) asks for all of it; replaced=ignore and
  // keep-date are servers that pay it no heed.
  bool if_range_holds = true;
  if (request.HasHeader("If-Range") && options.replaced != "ignore" &&
      options.replaced != "keep-date") {
    const std::string asked = std::string(Trim(request.Header("If-Range")));
    const bool strong = !sent_etag.empty() && sent_etag.rfind("W/", 0) != 0;
    if_range_holds = (strong && asked == sent_etag) || (!sent_date.empty() && asked == sent_date);
  }

  if (request.HasHeader("Range") && options.ranges != Ranges::kIgnore && if_range_holds &&
      !options.live) {
    const std::string unsatisfiable = "Content-Range: bytes */" + std::to_string(total) + "\r\n";
    if (options.ranges == Ranges::kRefuse) {
      return AnswerText(socket, head, 416, unsatisfiable, "range refused\n", keep_alive);
    }
    if (const auto range = ParseRange(request.Header("Range"))) {
      std::uint64_t last = total == 0 ? 0 : total - 1;
      if (range->first) {
        first = *range->first;
        if (range->last) last = std::min(last, *range->last);
      } else {
        first = total - std::min(total, *range->last);
      }
      const bool empty_suffix = !range->first && *range->last == 0;
      if (first >= total || empty_suffix) {
        return AnswerText(socket, head, 416, unsatisfiable, "range not satisfiable\n", keep_alive);
      }
      if (options.range_fault == "shift" && first + 1 < total) ++first;
      if (options.range_fault == "short" && last > first) --last;
      const std::uint64_t claimed = options.range_fault == "total" ? total + 1 : total;
      length = last - first + 1;
      status = options.range_fault == "status" ? 200 : 206;
      range_header = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                     "/" + std::to_string(claimed) + "\r\n";
    }
  }

  const bool no_body = status == 204;
  // Silence after some bytes, for the stream's own request only.
  const bool silent = options.silent_after && !request.HasHeader("Range");
  const bool faulty = options.stall_after || options.drop_after || options.content_length ||
                      options.content_length2 || silent;
  // A broadcast has no length: its end is the connection's, unless chunked.
  const Framing framing =
      options.live && options.framing == Framing::kLength ? Framing::kClose : options.framing;
  const bool close_after = !keep_alive || faulty || framing == Framing::kClose || options.icy;
  const bool chunked = framing == Framing::kChunked && !no_body;

  // A legacy radio server's status line names no HTTP version at all.
  std::string out = options.icy && status == 200
                        ? std::string("ICY 200 OK\r\n")
                        : "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  out += "Content-Type: application/octet-stream\r\n";
  if (options.live) out += "Cache-Control: no-cache\r\n";
  if (options.ranges == Ranges::kHonour || options.advertise_ranges) {
    out += "Accept-Ranges: bytes\r\n";
  }
  out += range_header;
  if (options.content_range) out += "Content-Range: " + *options.content_range + "\r\n";
  out += validators;
  if (options.header_line != 0) out += "X-Long: " + std::string(options.header_line, 'a') + "\r\n";
  if (options.content_length) {
    out += "Content-Length: " + *options.content_length + "\r\n";
  } else if (framing == Framing::kLength && !no_body) {
    out += "Content-Length: " + std::to_string(length) + "\r\n";
  }
  if (options.content_length2) out += "Content-Length: " + *options.content_length2 + "\r\n";
  if (chunked) out += "Transfer-Encoding: chunked\r\n";
  if (close_after) out += "Connection: close\r\n";
  out += "\r\n";
  if (!socket.Send(out)) return After::kClose;
  if (head || no_body) return close_after ? After::kClose : After::kKeepAlive;

  std::uint64_t limit = length;
  if (options.stall_after) limit = std::min(limit, *options.stall_after);
  if (options.drop_after) limit = std::min(limit, *options.drop_after);
  if (silent) limit = std::min(limit, *options.silent_after);
  const std::uint64_t shift = replaced ? kReplacedShift : 0;
  // A broadcast's answer starts where its clock stands, on a word boundary;
  // no answer sends a word before its time, so no word goes out twice.
  const std::uint64_t live_word =
      options.rate == 0 ? 0
                        : static_cast<std::uint64_t>(
                              std::chrono::duration<double>(Clock::now() - started).count() *
                              static_cast<double>(options.rate) / 8);

  // Throttled bodies go out in slices of about 5 ms each, so the rate is
  // smooth at any time scale a test looks at.
  const std::size_t slice =
      options.rate == 0
          ? kWriteSize
          : static_cast<std::size_t>(std::clamp<std::uint64_t>(options.rate / 200, 1, kWriteSize));
  const auto start = Clock::now();
  std::vector<std::uint8_t> buffer(
      std::min<std::uint64_t>(slice, std::max<std::uint64_t>(limit, 1)));
  std::uint64_t sent = 0;
  std::uint64_t chunk_left = 0;
  std::size_t chunk_index = 0;
  while (sent < limit) {
    if (options.rate != 0) {
      // A broadcast sends no word before its time: a slice goes once its
      // last byte is due.
      const std::uint64_t due_bytes =
          options.live ? std::min<std::uint64_t>(limit, sent + buffer.size()) : sent;
      const auto due =
          start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                      static_cast<double>(due_bytes) / static_cast<double>(options.rate)));
      if (!socket.SleepUntil(due)) return After::kClose;
    }
    std::size_t span =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit - sent));
    std::string prefix;
    std::string_view suffix;
    if (chunked) {
      if (chunk_left == 0) {
        chunk_left = std::min(kChunkSizes[chunk_index++ % std::size(kChunkSizes)], length - sent);
        prefix = Hex(chunk_left) + "\r\n";
      }
      span = static_cast<std::size_t>(std::min<std::uint64_t>(span, chunk_left));
      chunk_left -= span;
      if (chunk_left == 0) suffix = "\r\n";
    }
    if (file.fd >= 0) {
      // A short read means the file shrank under the server: cut the answer.
      if (::pread(file.fd, buffer.data(), span, static_cast<off_t>(first + sent)) !=
          static_cast<ssize_t>(span)) {
        return After::kClose;
      }
    } else if (options.live) {
      FillLive(live_word, options.live_head, sent, buffer.data(), span);
    } else {
      FillBody(shift + first + sent, buffer.data(), span);
      if (options.second_version) {
        for (std::size_t i = 0; i < span; ++i) {
          if (first + sent + i >= options.replaced_from)
            buffer[i] = static_cast<std::uint8_t>(~buffer[i]);
        }
      }
    }
    if (!socket.Send(prefix, {reinterpret_cast<const char*>(buffer.data()), span}, suffix)) {
      return After::kClose;
    }
    sent += span;
  }
  if ((options.stall_after || silent) && sent < length) return After::kHold;
  if (options.drop_after && sent < length) {
    return options.drop_rst ? After::kReset : After::kClose;
  }
  if (chunked && !socket.Send("0\r\n\r\n")) return After::kClose;
  return close_after ? After::kClose : After::kKeepAlive;
}

std::string TestServer::Impl::RequestLog() const {
  std::lock_guard<std::mutex> lock(requests_mutex);
  std::string out;
  for (const RecordedRequest& r : requests) {
    out += r.method + " " + r.target;
    for (const auto& [name, value] : r.headers) out += "\t" + name + ": " + value;
    out += "\n";
  }
  return out;
}

TestServer::TestServer() : TestServer(0) {}

TestServer::TestServer(std::uint16_t port, Serving serving)
    : impl_(std::make_unique<Impl>(port, serving)) {}

TestServer::~TestServer() = default;

std::uint16_t TestServer::Port() const { return impl_->port; }

std::string TestServer::Url(const std::string& target) const {
  return (impl_->tls ? "https" : "http") + std::string("://127.0.0.1:") +
         std::to_string(impl_->port) + target;
}

std::string TestServer::CaFile() const { return impl_->tls ? impl_->tls->CaFile() : ""; }

std::u16string TestServer::Url16(const std::string& target) const {
  const std::string url = Url(target);
  // Test targets are ASCII; anything else is widened byte by byte.
  std::u16string wide;
  for (const char c : url) wide.push_back(static_cast<unsigned char>(c));
  return wide;
}

std::vector<RecordedRequest> TestServer::Requests() const {
  std::lock_guard<std::mutex> lock(impl_->requests_mutex);
  return impl_->requests;
}

void TestServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(impl_->requests_mutex);
  impl_->requests.clear();
}

std::size_t TestServer::OpenConnections() const { return impl_->open_connections.load(); }
std::size_t TestServer::AcceptedConnections() const { return impl_->accepted_connections.load(); }

std::uint64_t TestServer::BodyBytesSent() const { return impl_->body_bytes_sent.load(); }

}  // namespace httpmedia::testing
