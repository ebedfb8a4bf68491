#include "internet_transfer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "ca_store.h"
#include "internet_client.h"
#include "text.h"
#include "transfer_log.h"

namespace httpmedia::inet {

using text::EqualsNoCase;
using text::Trim;

namespace {

// How long one wait for the network may last before the loop looks at the
// clock again; Cancel() cuts it short.
constexpr int kMaxPollMs = 1000;
// A read that has bytes returns them once no more have come for kQuiet, or
// once the first of them has waited kLongestHold, rather than waiting for
// its whole count: a slow server's bytes reach the caller as they come,
// whether it sends them in bursts or trickles them a few at a time. A
// flowing link fills the buffer well within either (loopback in
// microseconds; a 2 Mbit/s link fills 20,000 bytes in 80 ms), and a short
// read costs the engine no more than a 10 ms pause.
constexpr auto kQuiet = std::chrono::milliseconds(20);
constexpr auto kLongestHold = std::chrono::milliseconds(100);
constexpr long kMaxRedirects = 10;
// curl's receive buffer: one pass over the socket takes up to this much. At
// curl's default of 16 KiB a read of 20,000 bytes costs two receives, a pause
// and a resume. At this size most such reads are served from the bytes set
// aside without driving curl at all, and each receive takes what the socket
// holds in one call. A request that reads holds this much twice: curl's
// buffer and the block of bytes set aside.
constexpr long kReceiveBufferSize = 256 * 1024;
// Bytes a request may have received and still leave its connection, when
// closed before the end of its body, to the next request: a probe's headers
// and the first receive or two of its body.
constexpr std::uint64_t kReusableUpTo = 1024 * 1024;

// "HTTP/1.1 206 Partial Content" or "HTTP/2 200" -> the status code, or 0.
DWORD ParseStatusLine(std::string_view line) {
  std::size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() < space + 4) return 0;
  DWORD status = 0;
  for (std::size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + DWORD(line[i] - '0');
  }
  return status;
}

// "HTTP/1.1 404 Not Found" -> "Not Found"; empty when the line has none
// (HTTP/2 sends none at all).
std::string_view ReasonPhrase(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() <= space + 5) return {};
  return Trim(line.substr(space + 5));
}

}  // namespace

const std::string* Response::Find(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return &value;
  }
  return nullptr;
}

DWORD ErrorFromCurl(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return ERROR_SUCCESS;
    case CURLE_UNSUPPORTED_PROTOCOL:  // the URL's own scheme is checked before the
    case CURLE_TOO_MANY_REDIRECTS:    // start, so this is a redirect's
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return ERROR_INTERNET_SEC_CERT_ERRORS;
    case CURLE_SSL_CONNECT_ERROR:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_RECV_ERROR:
      return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

namespace {
char kIcyStatus[] = "ICY 200 OK";
curl_slist kLegacyRadioStatus{kIcyStatus, nullptr};
}  // namespace

Transfer::~Transfer() { Release(); }

DWORD Transfer::Start(const TransferOptions& options) {
  receive_timeout_ms_ = options.receive_timeout_ms;
  easy_ = curl_easy_init();
  if (!easy_) return ERROR_NOT_ENOUGH_MEMORY;

  // curl sends "Accept: */*" unless told not to; a bare "Name:" removes it.
  bool caller_accept = false;
  for (const std::string& line : options.headers) {
    std::string_view name = std::string_view(line).substr(0, line.find(':'));
    caller_accept = caller_accept || EqualsNoCase(Trim(name), "Accept");
  }
  std::vector<std::string> lines;
  if (!caller_accept) lines.emplace_back("Accept:");
  lines.insert(lines.end(), options.headers.begin(), options.headers.end());
  for (const std::string& line : lines) {
    curl_slist* grown = curl_slist_append(header_list_, line.c_str());
    if (!grown) return ERROR_NOT_ENOUGH_MEMORY;
    header_list_ = grown;
  }

  bool ok = true;
  auto set = [&](CURLoption option, auto value) {
    ok = ok && curl_easy_setopt(easy_, option, value) == CURLE_OK;
  };
  set(CURLOPT_URL, options.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  // Each redirect from https to http is refused as its headers end (see
  // HeaderLine); from an https URL, curl itself follows no http one either.
  const bool secure = EqualsNoCase(std::string_view(options.url).substr(0, 6), "https:");
  set(CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
  set(CURLOPT_HTTPHEADER, header_list_);
  if (!options.user_agent.empty()) set(CURLOPT_USERAGENT, options.user_agent.c_str());
  if (!options.use_environment_proxy) {
    // An empty proxy also overrides http_proxy and friends in the environment.
    set(CURLOPT_PROXY, options.proxy.c_str());
    if (!options.proxy_bypass.empty()) set(CURLOPT_NOPROXY, options.proxy_bypass.c_str());
  }
  // A proxy's answer to CONNECT must not pass for the server's response.
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // Legacy radio servers answer "ICY 200 OK": an HTTP/1.0 200 in all but
  // name, whose station could not be played otherwise.
  set(CURLOPT_HTTP200ALIASES, &kLegacyRadioStatus);
  if (options.connect_timeout_ms != kNoTimeout) {
    set(CURLOPT_CONNECTTIMEOUT_MS, long(options.connect_timeout_ms));
  }
  // curl decodes only with an Accept-Encoding of its own set; an
  // Accept-Encoding line among the caller's headers is sent instead of it.
  if (options.decoding) set(CURLOPT_ACCEPT_ENCODING, "");
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  // Closing a request whose name lookup is still in progress waits for the
  // lookup to end, within the resolver's own time limits (resolv.conf's
  // timeout and attempts). Left running on its own, curl's lookup thread
  // could outlive the library: a host that unloads the plug-in after a
  // failed open would have that thread return into unmapped code.
  set(CURLOPT_QUICK_EXIT, 0L);
  set(CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  set(CURLOPT_HEADERDATA, this);
  set(CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  set(CURLOPT_WRITEDATA, this);
  set(CURLOPT_PRIVATE, static_cast<PoolMember*>(this));
  set(CURLOPT_ERRORBUFFER, error_text_);
  TrustUserCaStore(easy_);
  // The pool's accounting of connections, and its spares: only straight to
  // the server, where a body left unread costs the connection (over HTTPS
  // too, once the stream has gone far: see Release) and the request that
  // follows starts with the TCP handshake, which a spare has done already.
  opener_.spares = !options.use_environment_proxy && options.proxy.empty();
  set(CURLOPT_OPENSOCKETFUNCTION, &Pool::OpenSocket);
  set(CURLOPT_OPENSOCKETDATA, &opener_);
  set(CURLOPT_SOCKOPTFUNCTION, &Pool::SocketOptions);
  set(CURLOPT_SOCKOPTDATA, &Pool::Get());
  set(CURLOPT_CLOSESOCKETFUNCTION, &Pool::CloseSocket);
  set(CURLOPT_CLOSESOCKETDATA, &Pool::Get());
  set(CURLOPT_PREREQFUNCTION, &Transfer::OnConnected);
  set(CURLOPT_PREREQDATA, this);
  if (!ok) return ERROR_INTERNET_INTERNAL_ERROR;
  Pool& pool = Pool::Get();
  Pool::Lock lock = pool.Hold();
  if (pool.Add(lock, easy_) != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
  in_pool_ = true;
  return ERROR_SUCCESS;
}

void Transfer::Release() {
  if (easy_) {
    Pool& pool = Pool::Get();
    Pool::Lock lock = pool.Hold();
    // A stream closed after a while of streaming leaves its server with as
    // much on the way as the flow control allowed (for HTTP/2, libcurl's
    // fixed 32 MiB window): a request after it on the same connection would
    // wait for all of it. Such a connection is closed; one whose stream is
    // closed early, as a probe's is once its headers are in, serves on.
    if (!done_ && progress_ > kReusableUpTo) {
      pool.Exclusively(lock, [this] { curl_easy_setopt(easy_, CURLOPT_FORBID_REUSE, 1L); });
    }
    // The easy handle shares the pool's caches: it goes while nothing else
    // runs curl.
    if (in_pool_) pool.Remove(lock, easy_);
    in_pool_ = false;
    pool.Exclusively(lock, [this] { curl_easy_cleanup(easy_); });
    easy_ = nullptr;
  }
  curl_slist_free_all(header_list_);
  header_list_ = nullptr;
}

void Transfer::Cancel() {
  cancelled_.store(true);
  Pool::Get().Wake();
}

void Transfer::Ended(CURLcode result) {
  done_ = true;
  result_ = result;
  if (!insecure_redirect_) LogTransferEnded(result, error_text_);  // already said why
}

std::size_t Transfer::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
  return static_cast<Transfer*>(self)->HeaderLine(std::string_view(data, size * count))
             ? size * count
             : 0;
}

int Transfer::OnConnected(void* self, char*, char*, int, int) {
  Pool::Get().Connected(static_cast<Transfer*>(self)->opener_);
  return CURL_PREREQFUNC_OK;
}

std::size_t Transfer::OnBody(char* data, std::size_t size, std::size_t count, void* self) {
  static_cast<Transfer*>(self)->Body(data, size * count);
  return size * count;
}

bool Transfer::HeaderLine(std::string_view line) {
  ++progress_;
  if (HeadersReady()) return true;  // the final response's trailers
  // libcurl reads a status line of its 200-aliases as HTTP/1.0's.
  if (line.substr(0, 5) == "HTTP/" || Trim(line) == kIcyStatus) {
    current_ = Response{};
    current_.status = ParseStatusLine(Trim(line));
    current_.reason = std::string(ReasonPhrase(Trim(line)));
    return true;
  }
  line = Trim(line);
  if (line.empty()) {
    // The end of one response's headers. Interim (1xx) responses and the
    // redirects curl is about to follow are not the answer.
    LogResponseEnded(easy_, current_);
    const std::string* location = current_.Find("Location");
    bool redirect =
        current_.status >= 300 && current_.status < 400 && location && !location->empty();
    // A response that came over https never sends the request on in the
    // clear; a relative Location keeps the scheme.
    const char* from = nullptr;
    if (redirect && EqualsNoCase(std::string_view(*location).substr(0, 5), "http:") &&
        curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &from) == CURLE_OK && from &&
        EqualsNoCase(std::string_view(from).substr(0, 6), "https:")) {
      LogRedirectRefused(from, *location);
      insecure_redirect_ = true;
      return false;
    }
    if (current_.status >= 200 && !redirect) {
      final_ = std::move(current_);
      headers_ready_.store(true, std::memory_order_release);
    }
    current_ = Response{};
    return true;
  }
  if ((line.front() == ' ' || line.front() == '\t') && !current_.headers.empty()) {
    current_.headers.back().second += ' ';
    current_.headers.back().second += Trim(line);  // a folded continuation line
    return true;
  }
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return true;
  current_.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                std::string(Trim(line.substr(colon + 1))));
  return true;
}

void Transfer::Body(const char* data, std::size_t size) {
  progress_ += size;
  if (!HeadersReady()) return;  // the body of a redirect curl is following
  std::size_t direct = std::min(size, room_);
  if (direct != 0) {
    std::memcpy(dest_, data, direct);
    dest_ += direct;
    room_ -= direct;
  }
  if (direct < size) PutAside(data + direct, size - direct);
  // Stop curl from reading further once bytes find no room; the next Read
  // resumes it. What curl already received is kept aside: the rest of this
  // piece and the pieces of the same receive that follow it. A buffer filled
  // exactly does not pause yet: when that was the body's last byte, curl
  // finishes the transfer and its connection serves the next request.
  if (direct < size && !paused_) {
    paused_ = curl_easy_pause(easy_, CURLPAUSE_ALL) == CURLE_OK;
  }
}

void Transfer::PutAside(const char* data, std::size_t size) {
  if (aside_pos_ == aside_end_) aside_pos_ = aside_end_ = 0;
  if (aside_capacity_ - aside_end_ < size) {
    // Once, as a rule: curl hands over at most one receive buffer per pass,
    // and the block is empty whenever curl is driven for a read.
    std::size_t kept = aside_end_ - aside_pos_;
    std::size_t capacity =
        std::max({aside_capacity_ * 2, kept + size, std::size_t(kReceiveBufferSize)});
    auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (kept != 0) std::memcpy(grown.get(), aside_.get() + aside_pos_, kept);
    aside_ = std::move(grown);
    aside_capacity_ = capacity;
    aside_pos_ = 0;
    aside_end_ = kept;
  }
  std::memcpy(aside_.get() + aside_end_, data, size);
  aside_end_ += size;
}

std::size_t Transfer::TakeAside(std::uint8_t* out, std::size_t size) {
  std::size_t n = std::min(size, aside_end_ - aside_pos_);
  if (n == 0) return 0;
  std::memcpy(out, aside_.get() + aside_pos_, n);
  aside_pos_ += n;
  if (aside_pos_ == aside_end_) aside_pos_ = aside_end_ = 0;
  return n;
}

DWORD Transfer::Drive(Pool::Lock& lock, const std::function<bool()>& enough,
                      const std::function<bool()>& some) {
  using Clock = std::chrono::steady_clock;
  Pool& pool = Pool::Get();
  auto last_progress = Clock::now();
  std::optional<Clock::time_point> first_held;
  std::uint64_t seen = progress_;
  auto finished = [&] { return done_ || cancelled_.load() || enough(); };
  for (;;) {
    if (cancelled_.load()) return ERROR_INTERNET_OPERATION_CANCELLED;
    if (done_ || enough()) return ERROR_SUCCESS;

    int wait_ms = kMaxPollMs;
    auto now = Clock::now();
    if (progress_ != seen) {
      seen = progress_;
      last_progress = now;
    }
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_progress);
    if (some()) {
      if (!first_held) first_held = now;
      auto held = std::chrono::duration_cast<std::chrono::milliseconds>(now - *first_held);
      if (idle >= kQuiet || held >= kLongestHold) return ERROR_SUCCESS;
      wait_ms = int(std::min<std::int64_t>(
          {wait_ms, (kQuiet - idle).count(), (kLongestHold - held).count()}));
    }
    if (receive_timeout_ms_ != kNoTimeout) {
      auto left = std::chrono::milliseconds(receive_timeout_ms_) - idle;
      if (left.count() <= 0) return ERROR_INTERNET_TIMEOUT;
      wait_ms = int(std::min<std::int64_t>(wait_ms, left.count()));
    }
    if (pool.Step(lock, wait_ms, finished) != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

DWORD Transfer::AwaitHeaders() {
  if (!in_pool_) return ERROR_INTERNET_OPERATION_CANCELLED;
  Pool::Lock lock = Pool::Get().Hold();
  DWORD error = Drive(
      lock, [this] { return HeadersReady(); }, [] { return false; });
  if (error != ERROR_SUCCESS) return error;
  if (HeadersReady()) return ERROR_SUCCESS;
  // The transfer ended without a final response.
  if (insecure_redirect_) return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
  return result_ != CURLE_OK ? ErrorFromCurl(result_) : ERROR_HTTP_INVALID_SERVER_RESPONSE;
}

DWORD Transfer::Unpause(Pool::Lock& lock) {
  paused_ = false;
  DWORD error = ERROR_SUCCESS;
  // Unpausing may hand over what curl held back: into the buffer of a Read
  // in progress, or aside.
  Pool::Get().Exclusively(lock, [&] {
    if (curl_easy_pause(easy_, CURLPAUSE_CONT) != CURLE_OK) error = ERROR_INTERNET_INTERNAL_ERROR;
  });
  return error;
}

DWORD Transfer::Read(std::uint8_t* buffer, DWORD size, DWORD* got) {
  *got = 0;
  if (!in_pool_ || cancelled_.load()) return ERROR_INTERNET_OPERATION_CANCELLED;
  Pool& pool = Pool::Get();
  Pool::Lock lock = pool.Hold();
  std::size_t filled = TakeAside(buffer, size);
  DWORD error = ERROR_SUCCESS;
  if (filled < size && !done_) {
    dest_ = buffer + filled;
    room_ = size - filled;
    if (paused_) error = Unpause(lock);
    if (error == ERROR_SUCCESS) {
      error = Drive(
          lock, [this] { return room_ == 0; }, [this, size] { return room_ < size; });
    }
    filled = size - room_;
    dest_ = nullptr;
    room_ = 0;
  }
  if (error == ERROR_SUCCESS && paused_ && aside_pos_ == aside_end_ && !done_ &&
      !cancelled_.load()) {
    // Everything set aside is handed out: curl goes on now rather than at
    // the next Read, so that a body whose last bytes these were is finished,
    // and its connection is free for the next request, even if no Read
    // comes. One pass, without waiting; what arrives is set aside again.
    error = Unpause(lock);
    if (error == ERROR_SUCCESS) pool.Step(lock, 0, [] { return true; });
  }
  if (error == ERROR_INTERNET_OPERATION_CANCELLED) return error;
  if (filled != 0) {
    *got = DWORD(filled);
    return ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS) return error;
  return done_ ? ErrorFromCurl(result_) : ERROR_SUCCESS;
}

}  // namespace httpmedia::inet
