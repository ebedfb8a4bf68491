// Opening and closing against the loopback server: the probe and the stream
// request, the length, failures, and what Close leaves behind.
#include <malloc.h>

#include <chrono>

#include "engine_fixture.h"
#include "httpmedia/httpmedia_host.h"
#include "process_resources.h"
#include "stock_server.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {
namespace {

using OpenClose = EngineTest;

TEST_F(OpenClose, TwoPlainGetsWithTheAgentAndTheContentLength) {
  EXPECT_EQ(Open("/clip.mp3?size=1234567"), 1'234'567);
  const std::vector<RecordedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const RecordedRequest& request : requests) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/clip.mp3?size=1234567");
    EXPECT_EQ(request.Header("User-Agent"), "Vellacord");
    // The body as it is, never encoded.
    EXPECT_EQ(request.Header("Accept-Encoding"), "identity");
    for (const auto& [name, value] : request.headers) {
      EXPECT_TRUE(name == "Host" || name == "User-Agent" || name == "Accept-Encoding")
          << "added header " << name;
    }
  }
  EXPECT_TRUE(hostEvents.empty());
}

TEST_F(OpenClose, LengthFallsBackWithoutAUsableContentLength) {
  EXPECT_EQ(Open("/a?size=300000&framing=close"), FallbackLength);
  CloseStream();
  EXPECT_EQ(Open("/a?size=300000&framing=chunked"), FallbackLength);
  CloseStream();
  // Too large for a signed 32-bit length: reported as missing, never wrapped.
  EXPECT_EQ(Open("/a?size=300000&content_length=4294967396"), FallbackLength);
  CloseStream();
  EXPECT_EQ(Open("/a?size=300000&content_length=2147483648"), FallbackLength);
  CloseStream();
  EXPECT_EQ(Open("/a?size=300000&content_length=2147483647"), 2'147'483'647);
  CloseStream();
  // A legacy radio server's "ICY 200 OK" is an HTTP/1.0 200.
  EXPECT_EQ(Open("/a?size=300000&framing=close&icy=1"), FallbackLength);
  EXPECT_EQ(ReadToEnd(65'536), 300'000);
}

TEST_F(OpenClose, FailuresReturnZeroWithoutAMessageAndReleaseTheConnection) {
  EXPECT_EQ(Open("/a?size=0"), 0);
  EXPECT_EQ(Open("/a?status=400"), 0);
  EXPECT_EQ(Open("/a?status=404"), 0);
  EXPECT_EQ(Open("/a?status=500"), 0);
  EXPECT_EQ(Stream.Length.load(), 0);
  EXPECT_EQ(Stream.Request.load(), nullptr);
  EXPECT_EQ(Stream.Session.load(), nullptr);
  EXPECT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0; }));
  // Nothing listens on the port of a server that has stopped.
  std::u16string refused;
  {
    TestServer gone;
    refused = gone.Url16("/a");
  }
  EXPECT_EQ(OpenStream(refused.c_str()), 0);
  EXPECT_EQ(CloseStream(), 0);
  EXPECT_TRUE(hostEvents.empty());
}

TEST_F(OpenClose, AServerThatNeverAnswersFailsTheOpenAfter2000Polls) {
  SetSleepDivisor(100);
  EXPECT_EQ(Open("/a?never_answer=1"), 0);
  EXPECT_EQ(hostPolls.load(), 2000);
  EXPECT_TRUE(hostEvents.empty());
  EXPECT_EQ(server.Requests().size(), 1u);  // the probe only
}

TEST_F(OpenClose, AUrlRefusedOutrightFailsWithoutWaitingOutTheProbe) {
  SetSleepDivisor(100);
  for (const char16_t* url : {u"", u"ftp://127.0.0.1/a", u"http://127.0.0.1/\xD800"}) {
    hostPolls = 0;
    EXPECT_EQ(OpenStream(url), 0);
    EXPECT_LT(hostPolls.load(), 100);
  }
  EXPECT_TRUE(hostEvents.empty());
}

// What the host asks after each call: the class of the outcome, a status
// refusal's code and reason phrase, and a text that never holds the URL's
// credentials.
TEST_F(OpenClose, TheHostCanAskWhyEachCallEndedAsItDid) {
  std::string refused;
  {
    TestServer gone;  // a port that was just free and now refuses
    refused = gone.Url("/a");
  }
  StockServer tls(1000, /*https=*/true);  // its CA is not trusted here
  const std::string credentials = "http://alice:s3cr3tPW@";
  const struct {
    std::string url;
    int kind, status;
    const char* text;
  } cases[] = {
      {server.Url("/a?status=404"), HTTPMEDIA_OUTCOME_HTTP_STATUS, 404,
       "the server answered 404 Not Found"},
      {server.Url("/a?status=503"), HTTPMEDIA_OUTCOME_HTTP_STATUS, 503, "503 Service Unavailable"},
      {server.Url("/a?status=204"), HTTPMEDIA_OUTCOME_HTTP_STATUS, 204, "not the whole body"},
      {server.Url("/a?size=0"), HTTPMEDIA_OUTCOME_FAILED, 0, "the body is empty"},
      {refused, HTTPMEDIA_OUTCOME_CONNECTION_REFUSED, 0, "refused the connection"},
      {credentials + "name.invalid/a", HTTPMEDIA_OUTCOME_NAME_NOT_RESOLVED, 0,
       "name could not be resolved"},
      {credentials + "127.0.0.1:" + std::to_string(server.Port()) + "/a?never_answer=1",
       HTTPMEDIA_OUTCOME_TIMED_OUT, 0, "did not answer within 20 s"},
      {tls.Running() ? tls.Url("/a") : std::string("https://127.0.0.1:1/a"),
       tls.Running() ? HTTPMEDIA_OUTCOME_TLS : HTTPMEDIA_OUTCOME_CONNECTION_REFUSED, 0,
       tls.Running() ? "TLS: " : "refused"},
      {server.Url("/a?size=1000"), HTTPMEDIA_OUTCOME_DONE, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    // Only the wait that runs out is sped up: the others end on the
    // server's word, which a loaded machine may take more than a sped-up
    // limit to bring (a TLS handshake).
    SetSleepDivisor(c.kind == HTTPMEDIA_OUTCOME_TIMED_OUT ? 100 : 1);
    const std::u16string url(c.url.begin(), c.url.end());
    EXPECT_EQ(OpenStream(url.c_str()) != 0, c.kind == HTTPMEDIA_OUTCOME_DONE);
    HttpMediaOutcome outcome;
    EXPECT_EQ(HttpMediaLastOutcome(&outcome), c.kind);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.http_status, c.status);
    EXPECT_NE(std::string(outcome.text).find(c.text), std::string::npos) << outcome.text;
    EXPECT_EQ(std::string(outcome.text).find("s3cr3tPW"), std::string::npos) << outcome.text;
    EXPECT_EQ(std::string(outcome.text).find("alice"), std::string::npos) << outcome.text;
  }
  // A query for the length is no call of the stream's: it leaves the record.
  ASSERT_EQ(OpenStream(nullptr), 1000);
  EXPECT_EQ(HttpMediaLastOutcome(nullptr), HTTPMEDIA_OUTCOME_DONE);
}

TEST_F(OpenClose, ANullUrlAsksForTheLengthAndDisturbsNothing) {
  EXPECT_EQ(OpenStream(nullptr), 0);
  EXPECT_EQ(Position(), 0);
  ASSERT_EQ(Open("/a?size=5000000"), 5'000'000);
  EXPECT_EQ(ReadChecked(1000), 1000);
  EXPECT_EQ(OpenStream(nullptr), 5'000'000);
  EXPECT_EQ(Position(), 1000);
  EXPECT_EQ(ReadChecked(2'000'000), 2'000'000);  // the download goes on
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(OpenClose, OpeningAgainClosesTheStreamStillOpen) {
  ASSERT_EQ(Open("/first?size=9000000&rate=2000000"), 9'000'000);
  ASSERT_EQ(Open("/second?size=700000"), 700'000);
  EXPECT_EQ(ReadToEnd(65'536), 700'000);
  // The first stream's connection is gone, not still feeding the ring.
  EXPECT_TRUE(WaitUntil([&] { return server.OpenConnections() <= 1; }));
}

TEST_F(OpenClose, CloseOfAStalledDownloadReturnsPromptly) {
  ASSERT_EQ(Open("/a?size=5000000&stall_after=100000"), 5'000'000);
  ASSERT_TRUE(WaitUntil([] { return DownloadEnd() == 100'000; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CloseStream(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(Stream.Ring.load(), nullptr);
  EXPECT_EQ(Stream.Length.load(), 0);
}

TEST_F(OpenClose, AThousandCyclesLeaveNoThreadDescriptorOrMemoryBehind) {
  SetSleepDivisor(UnderSanitizer ? 2 : 20);
  auto cycle = [&] {
    ASSERT_EQ(Open("/a?size=400000"), 400'000);
    ASSERT_EQ(ReadChecked(1000), 1000);
    ASSERT_EQ(CloseStream(), 0);
  };
  for (int i = 0; i < 20; ++i) cycle();  // let caches settle first
  ASSERT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0; }));
  server.ClearRequests();  // the server's log is not ours to count
  const std::size_t threads = DirectoryEntries("/proc/self/task");
  const std::size_t descriptors = DirectoryEntries("/proc/self/fd");
  const std::size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < 1000 && !HasFatalFailure(); ++i) cycle();
  ASSERT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0; }));
  server.ClearRequests();
  EXPECT_TRUE(WaitUntil([&] { return DirectoryEntries("/proc/self/task") <= threads; }));
  // The idle pool lets its multi handle (and the handle's wake-up pair) go
  // a moment after the last request: a loaded machine may see it later.
  EXPECT_TRUE(WaitUntil([&] { return DirectoryEntries("/proc/self/fd") <= descriptors; }));
  EXPECT_LT(mallinfo2().uordblks, heap + 256 * 1024);
}

}  // namespace
}  // namespace httpmedia::testing
