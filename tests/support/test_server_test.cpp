// Self-tests of the loopback server, driven by raw sockets where the exact
// bytes on the wire matter and by libcurl where a real client's view does.
#include "test_server.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace httpmedia::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Body(std::uint64_t start, std::size_t count) {
  std::string out(count, '\0');
  FillBody(start, reinterpret_cast<std::uint8_t*>(out.data()), count);
  return out;
}

std::size_t Mismatch(std::uint64_t start, const std::string& data) {
  return FirstBodyMismatch(start, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

// Polls `condition` for up to two seconds.
template <typename F>
bool Eventually(F condition) {
  const auto deadline = Clock::now() + 2s;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A blocking-free TCP client whose every read has a deadline.
class RawClient {
 public:
  enum class End { kEof, kReset, kTimeout };

  explicit RawClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~RawClient() { Close(); }

  bool connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Send(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // The response head up to and including the blank line, "" on failure.
  std::string ReadHead(std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const std::size_t end = buffered_.find("\r\n\r\n");
      if (end != std::string::npos) return Take(end + 4);
      if (Fill(deadline) <= 0) return "";
    }
  }

  std::string ReadLine(std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const std::size_t end = buffered_.find("\r\n");
      if (end != std::string::npos) return Take(end + 2);
      if (Fill(deadline) <= 0) return "";
    }
  }

  // Exactly `count` bytes, or fewer if the stream ended or timed out first.
  std::string Read(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = Clock::now() + timeout;
    while (buffered_.size() < count && Fill(deadline) > 0) {
    }
    return Take(std::min(count, buffered_.size()));
  }

  // Everything until the stream ends or `timeout` passes, and how it ended.
  End ReadToEnd(std::string* out, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const int r = Fill(deadline);
      if (r > 0) continue;
      *out += Take(buffered_.size());
      if (r == 0) return End::kEof;
      return r == -2 ? End::kTimeout : End::kReset;
    }
  }

 private:
  std::string Take(std::size_t n) {
    std::string out = buffered_.substr(0, n);
    buffered_.erase(0, n);
    return out;
  }

  // 1 on data, 0 on end of stream, -1 on error, -2 on timeout.
  int Fill(Clock::time_point deadline) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return -2;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) == 0) return -2;
      char buf[65536];
      const ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
      if (n > 0) {
        buffered_.append(buf, static_cast<std::size_t>(n));
        return 1;
      }
      if (n == 0) return 0;
      if (errno != EINTR) return -1;
    }
  }

  int fd_ = -1;
  bool connected_ = false;
  std::string buffered_;
};

int StatusOf(const std::string& head) { return head.size() > 12 ? std::atoi(head.c_str() + 9) : 0; }

// Value of a header in a raw response head, "" if absent.
std::string HeaderOf(const std::string& head, std::string_view name) {
  RecordedRequest parsed;
  std::size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    const std::size_t end = head.find("\r\n", pos + 2);
    const std::string line = head.substr(pos + 2, end - pos - 2);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      parsed.headers.emplace_back(line.substr(0, colon),
                                  line.substr(line.find_first_not_of(' ', colon + 1)));
    }
    pos = end;
  }
  return parsed.Header(name);
}

std::string Get(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

struct CurlResult {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::string effective_url;
};

CurlResult CurlGet(const std::string& url, const char* range = nullptr, bool follow = false) {
  CurlResult result;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
  if (range != nullptr) curl_easy_setopt(curl, CURLOPT_RANGE, range);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t size, std::size_t n, void* out) {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
      });
  result.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  char* effective = nullptr;
  curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
  if (effective != nullptr) result.effective_url = effective;
  curl_easy_cleanup(curl);
  return result;
}

// A numeric field of /proc/self/status, such as "Threads" or "VmSize" (kB).
long ProcStatus(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST(TestServerBody, PatternIsPositionalWithoutRingPeriodAndMismatchesAreLocated) {
  // FillBody at unaligned starts and lengths agrees with BodyByte.
  for (const std::uint64_t start : {0ull, 3ull, 8ull, 2999997ull, (1ull << 40) + 5}) {
    const std::string got = Body(start, 301);
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(static_cast<std::uint8_t>(got[i]), BodyByte(start + i)) << start << "+" << i;
    }
  }
  // A shift by the ring size, or by small strides, does not reproduce the body.
  for (const std::uint64_t shift : {1ull, 8ull, 4096ull, 3000000ull, 6000000ull}) {
    int same = 0;
    for (std::uint64_t p = 0; p < 20000; ++p) same += BodyByte(p) == BodyByte(p + shift);
    EXPECT_LT(same, 200) << "shift " << shift;
  }
  // A zero-filled buffer is caught at once, a single flipped byte where it is.
  EXPECT_LT(Mismatch(0, std::string(64, '\0')), 8u);
  std::string data = Body(12345, 100000);
  EXPECT_EQ(Mismatch(12345, data), data.size());
  data[77777] ^= 0x10;
  EXPECT_EQ(Mismatch(12345, data), 77777u);
  EXPECT_EQ(Mismatch(12346, Body(12345, 64)), 0u);
}

TEST(TestServerFraming, LengthFramedConnectionServesSeveralRequestsAndRecordsThem) {
  TestServer server;
  RawClient client(server.Port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(Eventually([&] { return server.OpenConnections() == 1; }));

  ASSERT_TRUE(client.Send(Get("/one?size=70000", "X-First: 1\r\nx-second: two words\r\n")));
  std::string head = client.ReadHead();
  EXPECT_EQ(StatusOf(head), 200);
  EXPECT_EQ(HeaderOf(head, "content-length"), "70000");
  EXPECT_EQ(HeaderOf(head, "Connection"), "");
  EXPECT_EQ(HeaderOf(head, "Accept-Ranges"), "");
  EXPECT_EQ(Mismatch(0, client.Read(70000)), 70000u);

  // HEAD on the same connection: headers only, and the connection stays
  // usable for a third request sent right behind it.
  ASSERT_TRUE(client.Send("HEAD /two?size=5 HTTP/1.1\r\nHost: h\r\n\r\n" + Get("/three?size=9")));
  head = client.ReadHead();
  EXPECT_EQ(HeaderOf(head, "Content-Length"), "5");
  head = client.ReadHead();
  EXPECT_EQ(HeaderOf(head, "Content-Length"), "9");
  EXPECT_EQ(client.Read(9), Body(0, 9));
  EXPECT_EQ(server.OpenConnections(), 1u);
  // Counted once the write returns, which may be just after the client has
  // the bytes.
  EXPECT_TRUE(Eventually([&] { return server.BodyBytesSent() == 70009u; }));

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/one?size=70000");
  ASSERT_EQ(requests[0].headers.size(), 3u);
  EXPECT_EQ(requests[0].headers[1].first, "X-First");
  EXPECT_EQ(requests[0].Header("X-SECOND"), "two words");
  EXPECT_FALSE(requests[0].HasHeader("Range"));
  EXPECT_EQ(requests[1].method, "HEAD");
  server.ClearRequests();
  EXPECT_TRUE(server.Requests().empty());

  client.Close();
  EXPECT_TRUE(Eventually([&] { return server.OpenConnections() == 0; }));
}

TEST(TestServerFraming, ChunkedAndCloseFramedBodiesAreComplete) {
  TestServer server;
  {
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(Get("/c?size=300000&framing=chunked")));
    const std::string head = client.ReadHead();
    EXPECT_EQ(HeaderOf(head, "Transfer-Encoding"), "chunked");
    EXPECT_EQ(HeaderOf(head, "Content-Length"), "");
    std::string body;
    std::set<std::size_t> sizes;
    for (;;) {
      const std::string line = client.ReadLine();
      ASSERT_FALSE(line.empty()) << "after " << body.size();
      const std::size_t size = std::stoul(line, nullptr, 16);
      if (size == 0) break;
      sizes.insert(size);
      body += client.Read(size);
      ASSERT_EQ(client.Read(2), "\r\n");
    }
    EXPECT_EQ(client.Read(2), "\r\n");
    EXPECT_EQ(body.size(), 300000u);
    EXPECT_EQ(Mismatch(0, body), body.size());
    EXPECT_GE(sizes.size(), 4u);
    EXPECT_TRUE(sizes.count(1));
    // Still persistent after a chunked answer.
    ASSERT_TRUE(client.Send(Get("/again?size=3")));
    EXPECT_EQ(StatusOf(client.ReadHead()), 200);
  }
  {
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(Get("/k?size=100000&framing=close")));
    const std::string head = client.ReadHead();
    EXPECT_EQ(HeaderOf(head, "Content-Length"), "");
    EXPECT_EQ(HeaderOf(head, "Transfer-Encoding"), "");
    std::string body;
    EXPECT_EQ(client.ReadToEnd(&body, 5000ms), RawClient::End::kEof);
    EXPECT_EQ(body.size(), 100000u);
    EXPECT_EQ(Mismatch(0, body), body.size());
  }
  // A real client agrees about both framings.
  for (const char* framing : {"chunked", "close"}) {
    const CurlResult r = CurlGet(server.Url(std::string("/x?size=1234567&framing=") + framing));
    EXPECT_EQ(r.code, CURLE_OK) << framing;
    EXPECT_EQ(r.body.size(), 1234567u) << framing;
    EXPECT_EQ(Mismatch(0, r.body), r.body.size()) << framing;
  }
}

TEST(TestServerRanges, HonouredOnlyWhenAskedForAndRefusedOnRequest) {
  TestServer server;
  const std::string url = server.Url("/r?size=5000000&ranges=1");
  CurlResult r = CurlGet(url, "3000000-3000099");
  EXPECT_EQ(r.status, 206);
  EXPECT_EQ(r.body.size(), 100u);
  EXPECT_EQ(Mismatch(3000000, r.body), 100u);
  r = CurlGet(url, "4999990-");
  EXPECT_EQ(r.status, 206);
  EXPECT_EQ(r.body, Body(4999990, 10));
  r = CurlGet(url, "4999990-9999999999");
  EXPECT_EQ(r.body, Body(4999990, 10));
  EXPECT_EQ(CurlGet(url, "5000000-").status, 416);

  RawClient client(server.Port());
  ASSERT_TRUE(client.Send(Get("/r?size=500&ranges=1", "Range: bytes=100-\r\n")));
  std::string head = client.ReadHead();
  EXPECT_EQ(HeaderOf(head, "Accept-Ranges"), "bytes");
  EXPECT_EQ(HeaderOf(head, "Content-Range"), "bytes 100-499/500");
  EXPECT_EQ(HeaderOf(head, "Content-Length"), "400");
  EXPECT_EQ(client.Read(400), Body(100, 400));
  // Without ranges=1 the header is ignored and nothing is advertised.
  ASSERT_TRUE(client.Send(Get("/r?size=500", "Range: bytes=100-\r\n")));
  head = client.ReadHead();
  EXPECT_EQ(StatusOf(head), 200);
  EXPECT_EQ(HeaderOf(head, "Accept-Ranges"), "");
  EXPECT_EQ(HeaderOf(head, "Content-Range"), "");
  EXPECT_EQ(client.Read(500), Body(0, 500));
  // ranges=refuse: a plain request is served, any Range gets 416.
  ASSERT_TRUE(client.Send(Get("/r?size=500&ranges=refuse")));
  head = client.ReadHead();
  EXPECT_EQ(StatusOf(head), 200);
  EXPECT_EQ(HeaderOf(head, "Accept-Ranges"), "");
  EXPECT_EQ(client.Read(500).size(), 500u);
  ASSERT_TRUE(client.Send(Get("/r?size=500&ranges=refuse", "Range: bytes=0-\r\n")));
  head = client.ReadHead();
  EXPECT_EQ(StatusOf(head), 416);
  client.Read(std::stoul(HeaderOf(head, "Content-Length")));
  // Range and stall_after together count from the range's first byte.
  ASSERT_TRUE(client.Send(Get("/r?size=500&ranges=1&drop_after=50", "Range: bytes=200-\r\n")));
  head = client.ReadHead();
  EXPECT_EQ(StatusOf(head), 206);
  std::string rest;
  EXPECT_EQ(client.ReadToEnd(&rest, 2000ms), RawClient::End::kEof);
  EXPECT_EQ(rest, Body(200, 50));

  // file= serves a file's bytes at its own size, ranges included; a file
  // that cannot be read gets 404.
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("httpmedia-served-" + std::to_string(::getpid()));
  const std::string content = "0123456789abcdef" + Body(0, 70000);
  std::ofstream(file, std::ios::binary) << content;
  const std::string served = server.Url("/f?ranges=1&size=5&file=" + file.string());
  r = CurlGet(served);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, content);
  r = CurlGet(served, "10-19");
  EXPECT_EQ(r.status, 206);
  EXPECT_EQ(r.body, content.substr(10, 10));
  EXPECT_EQ(CurlGet(server.Url("/f?framing=chunked&file=" + file.string())).body, content);
  std::filesystem::remove(file);
  EXPECT_EQ(CurlGet(served).status, 404);

  // Validators, and a resource replaced after two answers to its target:
  // inverted bytes, a changed ETag and date, and the new size.
  RawClient versions(server.Port());
  const std::string versioned =
      "/v?size=300&etag=t1&last_modified=Mon,%2002%20Jan%202006&replaced_after=2&replaced_size=200";
  for (int answer = 0; answer < 3; ++answer) {
    ASSERT_TRUE(versions.Send(Get(versioned)));
    head = versions.ReadHead();
    const bool replaced = answer == 2;
    EXPECT_EQ(HeaderOf(head, "ETag"), replaced ? "\"t1.2\"" : "\"t1\"");
    EXPECT_EQ(HeaderOf(head, "Last-Modified"),
              replaced ? "Fri, 01 Jan 2038 00:00:00 GMT" : "Mon, 02 Jan 2006");
    EXPECT_EQ(HeaderOf(head, "Content-Length"), replaced ? "200" : "300");
    std::string bytes = versions.Read(replaced ? 200 : 300);
    if (replaced) {
      for (char& byte : bytes) byte = static_cast<char>(~byte);
    }
    EXPECT_EQ(bytes, Body(0, replaced ? 200 : 300)) << "answer " << answer;
  }
  ASSERT_TRUE(versions.Send(Get("/w?size=10&etag=W/weak")));
  EXPECT_EQ(HeaderOf(versions.ReadHead(), "ETag"), "W/\"weak\"");
  versions.Read(10);
}

TEST(TestServerAnswers, RedirectsAndStatusesReachARealClient) {
  TestServer server;
  CurlResult r = CurlGet(server.Url("/r.bin?size=10&redirect=3"), nullptr, true);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, Body(0, 10));
  EXPECT_EQ(r.effective_url, server.Url("/r.bin?size=10&redirect=0"));
  ASSERT_EQ(server.Requests().size(), 4u);
  EXPECT_EQ(server.Requests()[1].target, "/r.bin?size=10&redirect=2");

  TestServer other;
  const std::string there = other.Url("/there?size=20");
  std::string encoded;
  for (const char c : there) {
    encoded += (c == ':' || c == '/' || c == '?' || c == '=' || c == '&')
                   ? "%" + std::string(1, "0123456789ABCDEF"[c >> 4]) + "0123456789ABCDEF"[c & 15]
                   : std::string(1, c);
  }
  r = CurlGet(server.Url("/here?redirect_to=" + encoded), nullptr, true);
  EXPECT_EQ(r.body, Body(0, 20));
  EXPECT_EQ(r.effective_url, there);

  r = CurlGet(server.Url("/missing?status=404"));
  EXPECT_EQ(r.code, CURLE_OK);
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("404"), std::string::npos);
  r = CurlGet(server.Url("/odd?status=203&size=30"));
  EXPECT_EQ(r.status, 203);
  EXPECT_EQ(r.body, Body(0, 30));
  EXPECT_EQ(CurlGet(server.Url("/typo?size=ten")).status, 400);
}

TEST(TestServerFaults, StallDropAndSilenceBehaveOnTheWire) {
  TestServer server;
  {
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(Get("/s?size=100000&stall_after=1000")));
    EXPECT_EQ(HeaderOf(client.ReadHead(), "Content-Length"), "100000");
    std::string got;
    EXPECT_EQ(client.ReadToEnd(&got, 300ms), RawClient::End::kTimeout);
    EXPECT_EQ(got, Body(0, 1000));
    EXPECT_EQ(server.OpenConnections(), 1u);
    client.Close();
    EXPECT_TRUE(Eventually([&] { return server.OpenConnections() == 0; }));
  }
  for (const char* how : {"fin", "rst"}) {
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(Get(std::string("/d?size=2000000&drop_after=1500000&drop=") + how)));
    EXPECT_EQ(HeaderOf(client.ReadHead(), "Content-Length"), "2000000");
    std::string got;
    const RawClient::End end = client.ReadToEnd(&got, 5000ms);
    EXPECT_EQ(end, std::string(how) == "fin" ? RawClient::End::kEof : RawClient::End::kReset)
        << how;
    EXPECT_EQ(got.size(), 1500000u) << how;
    EXPECT_EQ(Mismatch(0, got), got.size()) << how;
  }
  {
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(Get("/n?never_answer=1")));
    std::string got;
    EXPECT_EQ(client.ReadToEnd(&got, 300ms), RawClient::End::kTimeout);
    EXPECT_EQ(got, "");
    EXPECT_EQ(server.Requests().back().target, "/n?never_answer=1");
  }
  {
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(Get("/h?size=1000&content_length=%2D1%20x")));
    const std::string head = client.ReadHead();
    EXPECT_EQ(HeaderOf(head, "Content-Length"), "-1 x");
    std::string got;
    EXPECT_EQ(client.ReadToEnd(&got, 2000ms), RawClient::End::kEof);
    EXPECT_EQ(got, Body(0, 1000));
  }
}

TEST(TestServerFaults, RateIsSmoothAndHeldForTheWholeBody) {
  TestServer server;
  RawClient client(server.Port());
  ASSERT_TRUE(client.Send(Get("/t?size=60000&rate=100000")));
  ASSERT_FALSE(client.ReadHead().empty());
  const auto start = Clock::now();
  // After 0.25 s about 25000 bytes should be through: not a burst, not a crawl.
  std::string got = client.Read(60000, 250ms);
  EXPECT_GT(got.size(), 10000u);
  EXPECT_LT(got.size(), 40000u);
  got += client.Read(60000 - got.size(), 3000ms);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(Mismatch(0, got), 60000u);
  EXPECT_GT(seconds, 0.45);
  EXPECT_LT(seconds, 1.5);
}

TEST(TestServerLifecycle, StoppingEndsStalledSilentAndUnreadConnectionsPromptly) {
  auto server = std::make_unique<TestServer>();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const char* target : {"/a?stall_after=10", "/b?never_answer=1", "/c?size=1000000000",
                             "/d?size=100000000&rate=1000", "/e?size=1"}) {
    clients.push_back(std::make_unique<RawClient>(server->Port()));
    ASSERT_TRUE(clients.back()->Send(Get(target)));
  }
  ASSERT_TRUE(Eventually([&] { return server->Requests().size() == 5; }));
  std::this_thread::sleep_for(100ms);  // let the unread body fill the socket buffers
  EXPECT_EQ(server->OpenConnections(), 5u);
  const auto start = Clock::now();
  server.reset();
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(TestServerLifecycle, ManySequentialConnectionsLeaveNoThreadsOrSockets) {
  TestServer server;
  auto run_clients = [&](int count) {
    for (int i = 0; i < count; ++i) {
      RawClient client(server.Port());
      ASSERT_TRUE(client.Send(Get("/x?size=100")));
      // Half of the clients leave before the answer is read.
      if (i % 2 == 0) {
        ASSERT_FALSE(client.ReadHead().empty());
        ASSERT_EQ(client.Read(100).size(), 100u);
      }
    }
    EXPECT_TRUE(Eventually([&] { return server.OpenConnections() == 0; }));
  };
  // The first round settles what the process keeps once allocated (malloc
  // arenas, cached stacks); the second must add nothing lasting. A finished
  // thread that is never joined keeps its stack mapped, so the address space
  // shows threads left behind even after they exited.
  run_clients(200);
  std::this_thread::sleep_for(200ms);
  const long threads_before = ProcStatus("Threads");
  const std::size_t descriptors_before = OpenDescriptors();
  const long vm_before = ProcStatus("VmSize");
  run_clients(300);
  EXPECT_TRUE(Eventually([&] { return server.Requests().size() == 500; }));
  EXPECT_TRUE(Eventually([&] { return ProcStatus("Threads") <= threads_before; }))
      << ProcStatus("Threads") << " threads, " << threads_before << " before";
  EXPECT_TRUE(Eventually([&] { return ProcStatus("VmSize") < vm_before + 256 * 1024; }))
      << ProcStatus("VmSize") << " kB mapped, " << vm_before << " before";
  EXPECT_TRUE(Eventually([&] { return OpenDescriptors() <= descriptors_before; }))
      << OpenDescriptors() << " descriptors, " << descriptors_before << " before";
}

TEST(TestServerLifecycle, StreamsFiftyMegabytesQuickly) {
  TestServer server;
  struct Check {
    std::uint64_t position = 0;
    std::size_t mismatch_at = SIZE_MAX;
  } check;
  CURL* curl = curl_easy_init();
  const std::string url = server.Url("/big?size=50000000");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &check);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t size, std::size_t n, void* out) {
        auto* c = static_cast<Check*>(out);
        const std::size_t bytes = size * n;
        const std::size_t at =
            FirstBodyMismatch(c->position, reinterpret_cast<const std::uint8_t*>(data), bytes);
        if (at != bytes && c->mismatch_at == SIZE_MAX) c->mismatch_at = c->position + at;
        c->position += bytes;
        return bytes;
      });
  const auto start = Clock::now();
  EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
  curl_easy_cleanup(curl);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_EQ(check.position, 50000000u);
  EXPECT_EQ(check.mismatch_at, SIZE_MAX);
  EXPECT_TRUE(Eventually([&] { return server.BodyBytesSent() == 50000000u; }));
}

#ifdef HTTPMEDIA_TEST_SERVER_EXE
TEST(TestServerStandalone, ServesLogsAndExitsWhenStdinCloses) {
  int in[2];
  int out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char exe[] = HTTPMEDIA_TEST_SERVER_EXE;
  char port_flag[] = "--port";
  char zero[] = "0";
  char until[] = "--until-stdin-eof";
  char* argv[] = {exe, port_flag, zero, until, nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, exe, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);

  std::string line;
  pollfd p{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 5000) > 0) {
    char buf[256];
    const ssize_t n = ::read(out[0], buf, sizeof(buf));
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ASSERT_EQ(line.rfind("listening on ", 0), 0u) << line;
  const std::string base = "http://127.0.0.1:" + std::to_string(std::stoi(line.substr(13)));

  EXPECT_EQ(CurlGet(base + "/f?size=77").body, Body(0, 77));
  CurlResult log = CurlGet(base + "/_requests");
  EXPECT_EQ(log.status, 200);
  EXPECT_EQ(log.body.rfind("GET /f?size=77\tHost: 127.0.0.1:", 0), 0u) << log.body;
  EXPECT_EQ(std::count(log.body.begin(), log.body.end(), '\n'), 1);
  EXPECT_EQ(CurlGet(base + "/_clear").status, 200);
  EXPECT_EQ(CurlGet(base + "/_requests").body, "");

  ::close(in[1]);
  int status = -1;
  const auto deadline = Clock::now() + 5s;
  while (::waitpid(pid, &status, WNOHANG) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  if (Clock::now() >= deadline) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "server did not exit on stdin EOF";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(out[0]);
}
#endif

}  // namespace
}  // namespace httpmedia::testing
