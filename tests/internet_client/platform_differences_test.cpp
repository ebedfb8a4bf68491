// Cases where Wine's WinINet, on which the Windows build runs in our tests,
// and this layer answer differently, with the answer this layer keeps:
// - A Content-Length that is not a number: WinINet streams the body as one
//   of unknown length; this layer fails the request, as HTTP requires of a
//   message whose framing cannot be known (below).
// - Request headers: WinINet adds "Accept: */*"; this layer sends nothing
//   beyond Host and User-Agent, as the plug-in asks (below).
// - A read that breaks off mid-way: WinINet fails it with the bytes that came
//   already in the buffer; this layer hands those bytes over first and fails
//   the next read (BodyCutShortFailsAfterTheBytesThatCame). The engine keeps
//   such bytes either way.
// - Close of a request another thread is blocked reading: this layer ends
//   the read at once (ClosingARequestUnblocksItsReader); Wine's only at the
//   receive time-out, which the engine therefore sets on every session.
#include "gtest/gtest.h"
#include "internet_client.h"
#include "test_server.h"

namespace {

using httpmedia::testing::TestServer;

HINTERNET OpenUrl(HINTERNET session, const std::u16string& url) {
  return InternetOpenUrlW(session, url.c_str(), nullptr, static_cast<DWORD>(-1),
                          INTERNET_FLAG_NO_CACHE_WRITE, 1);
}

TEST(PlatformDifferences, AContentLengthThatIsNotANumberFailsTheRequest) {
  TestServer server;
  HINTERNET session = InternetOpenW(u"Vellacord", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  for (const char* raw : {"abc", "-5", ""}) {
    SCOPED_TRACE(raw);
    HINTERNET request =
        OpenUrl(session, server.Url16(std::string("/x?size=1000&content_length=") + raw));
    EXPECT_EQ(request, nullptr);
    if (request != nullptr) InternetCloseHandle(request);
  }
  // The requests themselves carry nothing the plug-in did not ask for.
  HINTERNET request = OpenUrl(session, server.Url16("/x?size=1000"));
  ASSERT_NE(request, nullptr);
  InternetCloseHandle(request);
  for (const auto& recorded : server.Requests()) EXPECT_FALSE(recorded.HasHeader("Accept"));
  InternetCloseHandle(session);
}

}  // namespace
