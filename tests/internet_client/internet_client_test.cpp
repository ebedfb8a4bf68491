// The Internet-client layer against the loopback test server: what goes on
// the wire, what comes back through the handles, and how closing a handle
// stops work on other threads.
#include "internet_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "stock_server.h"
#include "test_hooks.h"
#include "test_server.h"

namespace {

using httpmedia::testing::FirstBodyMismatch;
using httpmedia::testing::StockServer;
using httpmedia::testing::TestServer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char16_t kAgent[] = u"httpmedia-test/1.0";

std::optional<DWORD> QueryNumber(HINTERNET request, DWORD level) {
  DWORD value = 0, length = sizeof value;
  if (!HttpQueryInfoW(request, level | HTTP_QUERY_FLAG_NUMBER, &value, &length, nullptr)) {
    return std::nullopt;
  }
  EXPECT_EQ(length, sizeof value);
  return value;
}

std::optional<std::u16string> QueryText(HINTERNET request, DWORD level) {
  char16_t text[128];
  DWORD length = sizeof text;
  if (!HttpQueryInfoW(request, level, text, &length, nullptr)) return std::nullopt;
  return std::u16string(text, length / sizeof(char16_t));
}

struct ReadResult {
  std::vector<std::uint8_t> data;
  std::vector<DWORD> sizes;  // of each successful read, the final 0 included
  DWORD error = 0;           // of the failed read that ended it, if one did
};

ReadResult ReadToEnd(HINTERNET request, DWORD chunk) {
  ReadResult result;
  std::vector<std::uint8_t> buffer(chunk);
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer.data(), chunk, &got)) {
      result.error = GetLastError();
      return result;
    }
    result.sizes.push_back(got);
    result.data.insert(result.data.end(), buffer.begin(), buffer.begin() + got);
    if (got == 0) return result;
  }
}

// A loopback port that refuses connections: bound, so that nobody else takes
// it while the test runs, but not listening.
class RefusingPort {
 public:
  RefusingPort() : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size), 0);
    for (char c : "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x") {
      url_ += char16_t(c);
    }
  }
  ~RefusingPort() { close(socket_); }
  const char16_t* Url() const { return url_.c_str(); }

 private:
  int socket_;
  std::u16string url_;
};

// Waits up to five seconds for `done`.
template <typename Done>
bool Eventually(Done done) {
  for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(5ms)) {
    if (done()) return true;
  }
  return done();
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c)) {
      out += char(c);
    } else {
      out += '%';
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    }
  }
  return out;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class InternetClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override {
    if (session_) {
      EXPECT_TRUE(InternetCloseHandle(session_));
    }
  }

  HINTERNET Open(const std::string& target, const char16_t* headers = nullptr) {
    return InternetOpenUrlW(session_, server_.Url16(target).c_str(), headers, DWORD(-1),
                            INTERNET_FLAG_NO_CACHE_WRITE, 0);
  }

  TestServer server_;
  HINTERNET session_ = nullptr;
};

TEST_F(InternetClientTest, SendsOnlyHostAgentAndCallerHeadersAndIgnoresEnvironmentProxy) {
  TestServer proxy;
  const char* names[] = {"http_proxy", "HTTP_PROXY", "all_proxy",
                         "ALL_PROXY",  "no_proxy",   "NO_PROXY"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* value = std::getenv(name);
    saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    unsetenv(name);
  }
  setenv("http_proxy", proxy.Url("").c_str(), 1);
  setenv("ALL_PROXY", proxy.Url("").c_str(), 1);

  HINTERNET request = Open("/a.bin?size=100&ranges=1", u"Range: bytes=10-\r\nX-Probe: 1\r\n");
  for (std::size_t i = 0; i < std::size(names); ++i) {
    if (saved[i]) {
      setenv(names[i], saved[i]->c_str(), 1);
    } else {
      unsetenv(names[i]);
    }
  }
  ASSERT_NE(request, nullptr) << GetLastError();
  EXPECT_TRUE(InternetCloseHandle(request));

  EXPECT_TRUE(proxy.Requests().empty());
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/a.bin?size=100&ranges=1");
  std::vector<std::string> sent;
  for (const auto& header : requests[0].headers) sent.push_back(header.first);
  EXPECT_EQ(sent, (std::vector<std::string>{"Host", "User-Agent", "Range", "X-Probe"}));
  EXPECT_EQ(requests[0].Header("User-Agent"), "httpmedia-test/1.0");
  EXPECT_EQ(requests[0].Header("Range"), "bytes=10-");
}

TEST_F(InternetClientTest, FollowsRedirectsAndReportsTheFinalResponse) {
  HINTERNET request = Open("/r.bin?redirect=3&size=5000&ranges=1");
  ASSERT_NE(request, nullptr) << GetLastError();
  EXPECT_EQ(server_.Requests().size(), 4u);
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_STATUS_CODE), 200u);
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH), 5000u);
  EXPECT_EQ(QueryText(request, HTTP_QUERY_ACCEPT_RANGES), u"bytes");
  ReadResult body = ReadToEnd(request, 20000);
  ASSERT_EQ(body.data.size(), 5000u);
  EXPECT_EQ(FirstBodyMismatch(0, body.data.data(), body.data.size()), 5000u);
  EXPECT_TRUE(InternetCloseHandle(request));

  EXPECT_EQ(Open("/r.bin?redirect=11"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_HTTP_REDIRECT_FAILED);
  EXPECT_EQ(Open("/r.bin?redirect_to=ftp%3A%2F%2F127.0.0.1%2Fx"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_HTTP_REDIRECT_FAILED);
}

// As the device's own client does: a redirect from https to http is refused,
// at any hop; https to https and http to https are followed.
TEST_F(InternetClientTest, RedirectsFromHttpsToHttpAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to trust a certificate made for the test";
  StockServer front = StockServer::Front(server_.Port());
  ASSERT_TRUE(front.Running());
  // This thread drives the pool for its own requests, so curl checks the
  // front's certificate here; the test's other threads stay out.
  ASSERT_TRUE(front.Trust()) << "could not trust the test's certificate";
  const std::string plain = "http://127.0.0.1:" + std::to_string(server_.Port());
  const std::string body = "/r.bin?size=5000";
  struct Case {
    std::string url;
    DWORD error;  // 0: the body follows
  };
  const Case cases[] = {
      {front.Url(body), 0},
      {front.Url("/r.bin?redirect_to=" + Escaped(front.Url(body))), 0},
      {plain + "/r.bin?redirect_to=" + Escaped(front.Url(body)), 0},
      {front.Url("/r.bin?redirect_to=" + Escaped(plain + body)),
       ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR},
      {front.Url("/r.bin?redirect_to=" +
                 Escaped("HTTP://127.0.0.1:" + std::to_string(server_.Port()) + body)),
       ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR},
      {plain + "/r.bin?redirect_to=" +
           Escaped(front.Url("/r.bin?redirect_to=" + Escaped(plain + body))),
       ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR},
  };
  // The diagnostic log names each refusal and its reason.
  char log[] = "/tmp/httpmedia-redirect-log-XXXXXX";
  ASSERT_GE(mkstemp(log), 0);
  HttpMediaSetLog(log, "info");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    HINTERNET request = InternetOpenUrlW(session_, Wide(c.url).c_str(), nullptr, 0,
                                         INTERNET_FLAG_NO_CACHE_WRITE, 0);
    EXPECT_EQ(request == nullptr ? GetLastError() : 0, c.error);
    if (request != nullptr) {
      const ReadResult read = ReadToEnd(request, 20000);
      EXPECT_EQ(FirstBodyMismatch(0, read.data.data(), read.data.size()), 5000u);
      EXPECT_EQ(read.data.size(), 5000u);
      EXPECT_TRUE(InternetCloseHandle(request));
    }
  }
  HttpMediaSetLog(nullptr, nullptr);
  const std::string logged = httpmedia::testing::ReadWholeFile(log);
  unlink(log);
  EXPECT_NE(
      logged.find("redirect from " + front.Url("/r.bin?redirect_to=" + Escaped(plain + body)) +
                  " to " + plain + body + " refused"),
      std::string::npos)
      << logged;
  std::size_t refusals = 0;
  for (std::size_t at = 0; (at = logged.find("refused: an answer that came over https is never "
                                             "followed in the clear",
                                             at + 1)) != std::string::npos;) {
    ++refusals;
  }
  EXPECT_EQ(refusals, 3u) << logged;
}

// A private CA that the user trusts as OpenSSL programs are told to, in
// SSL_CERT_FILE or in a directory of SSL_CERT_DIR: trusted beside the
// system's store, never in place of verification.
TEST_F(InternetClientTest, TrustsTheCaStoreTheUserSetsBesideTheSystemOne) {
  // Two servers under CAs of their own: the directory's row must make a
  // handshake of its own, not ride the connection the file's row left.
  StockServer nginx(5000, true), other(5000, true);
  if (!nginx.Running() || !other.Running()) GTEST_SKIP() << "nginx or openssl is not installed";
  char directory[] = "/tmp/httpmedia-ca-dir-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  ASSERT_EQ(std::system(("cp '" + other.CaFile() + "' " + directory + "/ && openssl rehash " +
                         directory + " >/dev/null 2>&1")
                            .c_str()),
            0);
  struct Case {
    const char* variable;
    std::string value;
    DWORD error;  // 0: the body follows
    const StockServer* server;
  };
  // Failures first: a TLS session resumed later would not be verified again.
  const Case cases[] = {
      {nullptr, "", ERROR_INTERNET_SEC_CERT_ERRORS, &nginx},
      {"SSL_CERT_FILE", "/dev/null", ERROR_INTERNET_SEC_CERT_ERRORS, &nginx},
      {"SSL_CERT_DIR", "/nonexistent:/tmp", ERROR_INTERNET_SEC_CERT_ERRORS, &other},
      {"SSL_CERT_FILE", nginx.CaFile(), 0, &nginx},
      {"SSL_CERT_DIR", std::string("/nonexistent:") + directory, 0, &other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable ? std::string(c.variable) + "=" + c.value : "neither");
    if (c.variable) setenv(c.variable, c.value.c_str(), 1);
    HINTERNET request = InternetOpenUrlW(session_, c.server->Url16().c_str(), nullptr, 0,
                                         INTERNET_FLAG_NO_CACHE_WRITE, 0);
    EXPECT_EQ(request == nullptr ? GetLastError() : 0, c.error);
    if (request != nullptr) {
      const ReadResult read = ReadToEnd(request, 20000);
      EXPECT_EQ(read.data.size(), 5000u);
      EXPECT_EQ(FirstBodyMismatch(0, read.data.data(), read.data.size()), 5000u);
      EXPECT_TRUE(InternetCloseHandle(request));
    }
    if (c.variable) unsetenv(c.variable);
  }
  std::system((std::string("rm -rf ") + directory).c_str());
  // Beside, not instead of, the system's store: a server whose CA only the
  // system trusts is still trusted with SSL_CERT_FILE set.
  StockServer system(5000, true);
  if (!system.Trust()) return;
  setenv("SSL_CERT_FILE", "/dev/null", 1);
  HINTERNET request = InternetOpenUrlW(session_, system.Url16().c_str(), nullptr, 0,
                                       INTERNET_FLAG_NO_CACHE_WRITE, 0);
  EXPECT_NE(request, nullptr) << GetLastError();
  unsetenv("SSL_CERT_FILE");
  if (request != nullptr) {
    EXPECT_TRUE(InternetCloseHandle(request));
  }
}

TEST_F(InternetClientTest, QueriesHeadersOfTheResponse) {
  HINTERNET request = Open("/q.bin?size=5000&ranges=1", u"Range: bytes=1000-");
  ASSERT_NE(request, nullptr) << GetLastError();
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_STATUS_CODE), 206u);
  EXPECT_EQ(QueryText(request, HTTP_QUERY_STATUS_CODE), u"206");
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH), 4000u);
  EXPECT_EQ(QueryText(request, HTTP_QUERY_CONTENT_RANGE), u"bytes 1000-4999/5000");

  // Too small a buffer: the bytes needed, the terminating NUL included.
  char16_t small[4];
  DWORD length = sizeof small;
  EXPECT_FALSE(HttpQueryInfoW(request, HTTP_QUERY_CONTENT_RANGE, small, &length, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 21u * sizeof(char16_t));
  ReadResult body = ReadToEnd(request, 20000);
  EXPECT_EQ(FirstBodyMismatch(1000, body.data.data(), body.data.size()), 4000u);
  EXPECT_TRUE(InternetCloseHandle(request));

  request = Open("/q.bin?status=404");
  ASSERT_NE(request, nullptr) << GetLastError();
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_STATUS_CODE), 404u);
  EXPECT_EQ(QueryText(request, HTTP_QUERY_ACCEPT_RANGES), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
  EXPECT_TRUE(InternetCloseHandle(request));
}

TEST_F(InternetClientTest, ContentLengthIsGivenOnlyWhenItIsACleanThirtyTwoBitNumber) {
  HINTERNET request = Open("/c.bin?size=100&framing=chunked");
  ASSERT_NE(request, nullptr) << GetLastError();
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
  EXPECT_TRUE(InternetCloseHandle(request));

  // Wrapped, too long, or not plain decimal; curl lets each of these through.
  for (const char* raw : {"4294967296", "99999999999999999999", "12abc", "0x10", "%2B5"}) {
    SCOPED_TRACE(raw);
    request = Open(std::string("/c.bin?size=100&content_length=") + raw);
    ASSERT_NE(request, nullptr) << GetLastError();
    EXPECT_EQ(QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH), std::nullopt);
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
    EXPECT_TRUE(InternetCloseHandle(request));
  }
  request = Open("/c.bin?size=100&content_length=4294967295");
  ASSERT_NE(request, nullptr) << GetLastError();
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH), 4294967295u);
  EXPECT_TRUE(InternetCloseHandle(request));
}

TEST_F(InternetClientTest, ReadsFillTheBufferAndEndWithZeroWhateverTheFraming) {
  constexpr std::size_t kSize = 1000003;
  for (const char* framing : {"length", "chunked", "close"}) {
    SCOPED_TRACE(framing);
    HINTERNET request = Open("/b.bin?size=" + std::to_string(kSize) + "&framing=" + framing);
    ASSERT_NE(request, nullptr) << GetLastError();
    ReadResult body = ReadToEnd(request, 20000);
    EXPECT_EQ(body.error, 0u);
    ASSERT_EQ(body.data.size(), kSize);
    EXPECT_EQ(FirstBodyMismatch(0, body.data.data(), kSize), kSize);
    ASSERT_EQ(body.sizes.size(), 52u);
    for (std::size_t i = 0; i < 50; ++i) EXPECT_EQ(body.sizes[i], 20000u) << i;
    EXPECT_EQ(body.sizes[50], 3u);
    DWORD got = 1;
    std::uint8_t byte;
    EXPECT_TRUE(InternetReadFile(request, &byte, 1, &got));  // still the end
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(InternetCloseHandle(request));
  }
}

// The process's connections are shared by its sessions: a connection whose
// response was read to the end serves the next request, and goes once the
// pool has been idle a while; one left mid-body never serves another
// request, whose body must be its own from the first byte.
TEST_F(InternetClientTest, SessionsShareWholeConnectionsButNeverOneLeftMidBody) {
  HINTERNET abandoned = Open("/m.bin?size=1000000");
  ASSERT_NE(abandoned, nullptr) << GetLastError();
  std::vector<std::uint8_t> buffer(1000);
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(abandoned, buffer.data(), 1000, &got));
  EXPECT_TRUE(InternetCloseHandle(abandoned));

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    HINTERNET other = InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_NE(other, nullptr);
    HINTERNET request = InternetOpenUrlW(other, server_.Url16("/w.bin?size=300000").c_str(),
                                         nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE, 0);
    ASSERT_NE(request, nullptr) << GetLastError();
    ReadResult body = ReadToEnd(request, 20000);
    EXPECT_EQ(body.error, 0u);
    ASSERT_EQ(body.data.size(), 300000u);
    EXPECT_EQ(FirstBodyMismatch(0, body.data.data(), 300000), 300000u);
    EXPECT_TRUE(InternetCloseHandle(request));
    EXPECT_TRUE(InternetCloseHandle(other));
    // The abandoned connection is gone; the whole one stays for the next.
    EXPECT_TRUE(Eventually([&] { return server_.OpenConnections() == 1; }));
  }
  EXPECT_EQ(server_.Requests().size(), 3u);
  EXPECT_TRUE(Eventually([&] { return server_.OpenConnections() == 0; }));
}

// A spare connection is opened beside the one streaming, never as a third:
// two requests mid-body keep two connections to the server, not three.
TEST_F(InternetClientTest, NoThirdConnectionToOneServerBesideTwoRequests) {
  HINTERNET first = Open("/a.bin?stall_after=1000");
  ASSERT_NE(first, nullptr) << GetLastError();
  HINTERNET second = Open("/b.bin?stall_after=1000");
  ASSERT_NE(second, nullptr) << GetLastError();
  std::this_thread::sleep_for(300ms);  // time for a spare to connect
  EXPECT_EQ(server_.OpenConnections(), 2u);
  EXPECT_TRUE(InternetCloseHandle(first));
  EXPECT_TRUE(InternetCloseHandle(second));
}

TEST_F(InternetClientTest, BodyCutShortFailsAfterTheBytesThatCame) {
  for (const char* drop : {"fin", "rst"}) {
    SCOPED_TRACE(drop);
    HINTERNET request = Open(std::string("/d.bin?size=1000000&drop_after=300000&drop=") + drop);
    ASSERT_NE(request, nullptr) << GetLastError();
    ReadResult body = ReadToEnd(request, 20000);
    EXPECT_NE(body.error, 0u);
    EXPECT_LE(body.data.size(), 300000u);
    EXPECT_EQ(FirstBodyMismatch(0, body.data.data(), body.data.size()), body.data.size());
    EXPECT_TRUE(InternetCloseHandle(request));
  }
}

TEST_F(InternetClientTest, ClosingARequestUnblocksItsReader) {
  HINTERNET request = Open("/s.bin?size=1000000&stall_after=1000");
  ASSERT_NE(request, nullptr) << GetLastError();
  std::vector<std::uint8_t> buffer(1000);
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(request, buffer.data(), 1000, &got));
  ASSERT_EQ(got, 1000u);

  std::atomic<bool> returned{false};
  BOOL ok = TRUE;
  DWORD error = 0;
  std::thread reader([&] {
    ok = InternetReadFile(request, buffer.data(), 1000, &got);
    error = GetLastError();
    returned = true;
  });
  std::this_thread::sleep_for(100ms);  // let it block
  EXPECT_FALSE(returned);
  auto closed_at = Clock::now();
  EXPECT_TRUE(InternetCloseHandle(request));
  reader.join();
  // A loose bound: the reader must not wait for a time-out.
  EXPECT_LT(Clock::now() - closed_at, 2s);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ERROR_INTERNET_OPERATION_CANCELLED);
  EXPECT_FALSE(InternetReadFile(request, buffer.data(), 1000, &got));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(Eventually([&] { return server_.OpenConnections() == 0; }));
}

TEST_F(InternetClientTest, ClosingTheSessionCancelsASynchronousOpen) {
  HINTERNET request = nullptr;
  DWORD error = 0;
  std::thread opener([&] {
    request = Open("/n.bin?never_answer=1");
    error = GetLastError();
  });
  ASSERT_TRUE(Eventually([&] { return server_.Requests().size() == 1; }));
  EXPECT_TRUE(InternetCloseHandle(session_));
  session_ = nullptr;
  opener.join();
  EXPECT_EQ(request, nullptr);
  EXPECT_EQ(error, ERROR_INTERNET_OPERATION_CANCELLED);
}

TEST_F(InternetClientTest, TimesOutWhenNothingArrives) {
  DWORD timeout_ms = 300;
  ASSERT_TRUE(InternetSetOptionW(session_, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout_ms,
                                 sizeof timeout_ms));
  EXPECT_EQ(Open("/n.bin?never_answer=1"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);

  HINTERNET request = Open("/s.bin?size=100000&stall_after=1000");
  ASSERT_NE(request, nullptr) << GetLastError();
  ReadResult body = ReadToEnd(request, 20000);
  EXPECT_EQ(body.data.size(), 1000u);  // what came is handed over first
  EXPECT_EQ(body.error, ERROR_INTERNET_TIMEOUT);
  EXPECT_TRUE(InternetCloseHandle(request));
}

TEST_F(InternetClientTest, RejectsBadArgumentsCleanly) {
  const char16_t lone_surrogate[] = {u'h', u't', u't', u'p', u':', u'/', u'/', 0xD800, u'x', 0};
  EXPECT_EQ(InternetOpenUrlW(session_, lone_surrogate, nullptr, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_URL);
  EXPECT_EQ(InternetOpenUrlW(session_, u"ftp://127.0.0.1/x", nullptr, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  EXPECT_EQ(InternetOpenUrlW(session_, u"file:///etc/hostname", nullptr, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);

  RefusingPort refusing;
  EXPECT_EQ(InternetOpenUrlW(session_, refusing.Url(), nullptr, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);

  DWORD got;
  char byte;
  EXPECT_FALSE(InternetReadFile(session_, &byte, 1, &got));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  EXPECT_FALSE(InternetCloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(InternetCloseHandle(reinterpret_cast<HINTERNET>(0x1234)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------
// Asynchronous sessions

struct Event {
  HINTERNET handle;
  DWORD status;
  DWORD_PTR result;
  DWORD error;
};

struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> events;
  bool close_on_complete = false;  // close the request from its own callback

  bool WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return events.size() >= count; });
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return events.size();
  }

  static void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                DWORD length) {
    auto* self = reinterpret_cast<Recorder*>(context);
    EXPECT_EQ(length, sizeof(INTERNET_ASYNC_RESULT));
    auto* result = static_cast<INTERNET_ASYNC_RESULT*>(info);
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && self->close_on_complete) {
      EXPECT_TRUE(InternetCloseHandle(handle));
    }
    std::lock_guard<std::mutex> lock(self->mutex);
    self->events.push_back({handle, status, result->dwResult, result->dwError});
    self->changed.notify_all();
  }
};

class InternetAsyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ =
        InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    ASSERT_NE(session_, nullptr);
    EXPECT_EQ(InternetSetStatusCallback(session_, &Recorder::OnStatus), nullptr);
  }
  void TearDown() override {
    if (session_) {
      EXPECT_TRUE(InternetCloseHandle(session_));
    }
  }

  void Probe(const std::u16string& url) {
    EXPECT_EQ(InternetOpenUrlW(session_, url.c_str(), nullptr, 0, 0,
                               reinterpret_cast<DWORD_PTR>(&recorder_)),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  void CloseSession() {
    EXPECT_TRUE(InternetCloseHandle(session_));
    session_ = nullptr;
  }

  TestServer server_;
  Recorder recorder_;
  HINTERNET session_ = nullptr;
};

TEST_F(InternetAsyncTest, ReportsHeadersThenStopsTransferringWhenTheSessionCloses) {
  Probe(server_.Url16("/p.bin?size=100000000&rate=2000000"));
  ASSERT_TRUE(recorder_.WaitFor(2));
  auto events = recorder_.events;
  EXPECT_EQ(events[0].status, INTERNET_STATUS_HANDLE_CREATED);
  EXPECT_EQ(events[0].handle, session_);
  auto request = reinterpret_cast<HINTERNET>(events[0].result);
  EXPECT_EQ(events[1].status, INTERNET_STATUS_REQUEST_COMPLETE);
  EXPECT_EQ(events[1].handle, request);
  EXPECT_EQ(events[1].result, DWORD_PTR(TRUE));
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH), 100000000u);

  CloseSession();
  // The connection goes, and with it the body: nothing more is sent.
  EXPECT_TRUE(Eventually([&] { return server_.OpenConnections() == 0; }));
  auto sent = server_.BodyBytesSent();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server_.BodyBytesSent(), sent);
  EXPECT_LT(sent, 20000000u);
  // The handle the caller holds stays valid until closed, its headers too.
  EXPECT_EQ(QueryNumber(request, HTTP_QUERY_STATUS_CODE), 200u);
  EXPECT_TRUE(InternetCloseHandle(request));
  EXPECT_EQ(recorder_.Count(), 2u);
}

TEST_F(InternetAsyncTest, NoCallbackAfterClosingTheSessionOnASilentServer) {
  Probe(server_.Url16("/n.bin?never_answer=1"));
  ASSERT_TRUE(recorder_.WaitFor(1));
  ASSERT_TRUE(Eventually([&] { return server_.Requests().size() == 1; }));
  CloseSession();
  EXPECT_TRUE(Eventually([&] { return server_.OpenConnections() == 0; }));
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(recorder_.Count(), 1u);
  EXPECT_EQ(recorder_.events[0].status, INTERNET_STATUS_HANDLE_CREATED);
  EXPECT_TRUE(InternetCloseHandle(reinterpret_cast<HINTERNET>(recorder_.events[0].result)));
}

TEST_F(InternetAsyncTest, ReportsFailureAndSurvivesACloseFromItsOwnCallback) {
  recorder_.close_on_complete = true;
  RefusingPort refusing;
  Probe(refusing.Url());
  ASSERT_TRUE(recorder_.WaitFor(2));
  EXPECT_EQ(recorder_.events[1].status, INTERNET_STATUS_REQUEST_COMPLETE);
  EXPECT_EQ(recorder_.events[1].result, DWORD_PTR(FALSE));
  EXPECT_EQ(recorder_.events[1].error, ERROR_INTERNET_CANNOT_CONNECT);

  Probe(server_.Url16("/ok.bin?size=10"));
  ASSERT_TRUE(recorder_.WaitFor(4));
  EXPECT_EQ(recorder_.events[3].result, DWORD_PTR(TRUE));
  // Both requests closed themselves.
  EXPECT_FALSE(InternetCloseHandle(recorder_.events[3].handle));
  CloseSession();
}

}  // namespace
