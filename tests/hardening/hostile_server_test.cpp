// Hostile servers: every row is one way a server can misbehave, with what the
// plug-in must make of it (a clean failed open, a stream that ends where the
// good bytes end, the full body, or a read that gives up at its limit) and
// what the Internet-client layer beneath it reports. Nothing may crash, wait
// past its limit or deliver a wrong byte.
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "httpmedia/httpmedia.h"
#include "internet_client.h"
#include "plugin_host.h"
#include "refusing_port.h"
#include "sanitizer.h"
#include "test_server.h"

namespace httpmedia::hardening {
namespace {

using httpmedia::testing::FirstBodyMismatch;
using httpmedia::testing::Serving;
using httpmedia::testing::TestServer;

enum class Outcome {
  FailedOpen,  // Open returns 0, and nothing is delivered
  Body,        // Open returns `length`; the bytes up to `dataEnd` come, then the end
  TimesOut,    // Open returns `length`; a read gives up after the wait limit with
               // what trickled in
  ServerAway,  // Open returns `length`; the bytes up to `dataEnd` come, then reads
               // give up after the wait limit: the server is away, the body not over
};

// What the layer makes of the same answer: an open that fails with
// `openError`, or `bytes` body bytes followed by `endError` (0: a clean end).
// Rows whose layer outcome takes long to come (a trickle) leave it out.
struct LayerOutcome {
  std::optional<DWORD> openError;
  std::int64_t bytes = 0;
  DWORD endError = 0;
};

struct Row {
  const char* name;
  std::string query;  // "{refused}" stands for a port that refuses connections
  Outcome outcome;
  std::int32_t length;
  std::int64_t dataEnd;
  std::optional<LayerOutcome> layer;
  // The host's waits last their real time: the row's fault is timed by the
  // network (a stall limit), which a scaled wait would outrun.
  bool realWaits = false;
  httpmedia::testing::Serving serving = httpmedia::testing::Serving::kConcurrently;
};

// Rows print as their names.
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

LayerOutcome OpenFails(DWORD error) { return {error, 0, 0}; }
LayerOutcome Reads(std::int64_t bytes, DWORD endError) { return {std::nullopt, bytes, endError}; }

constexpr std::int64_t Size = 300'000;
constexpr std::int64_t Half = 150'000;

const Row Rows[] = {
    {"HeadersThatNeverEnd", "endless_headers=0", Outcome::FailedOpen, 0, 0,
     OpenFails(ERROR_INTERNET_CONNECTION_RESET)},
    {"HeadersThatTrickleForEver", "endless_headers=1", Outcome::FailedOpen, 0, 0, std::nullopt},
    {"AHeaderLineOfOneMegabyte", "size=300000&header_line=1048576", Outcome::FailedOpen, 0, 0,
     OpenFails(ERROR_NOT_ENOUGH_MEMORY)},
    {"ContentLengthMinusOne", "size=300000&content_length=-1", Outcome::FailedOpen, 0, 0,
     OpenFails(ERROR_HTTP_INVALID_SERVER_RESPONSE)},
    {"ContentLengthNotANumber", "size=300000&content_length=abc", Outcome::FailedOpen, 0, 0,
     OpenFails(ERROR_HTTP_INVALID_SERVER_RESPONSE)},
    {"ContentLengthBeyond32Bits", "size=300000&content_length=99999999999", Outcome::Body,
     HTTPMEDIA_UNKNOWN_LENGTH, Size, Reads(Size, ERROR_INTERNET_CONNECTION_ABORTED)},
    {"TwoDifferentContentLengths", "size=300000&content_length=300000&content_length2=150000",
     Outcome::FailedOpen, 0, 0, OpenFails(ERROR_HTTP_INVALID_SERVER_RESPONSE)},
    {"TwoEqualContentLengths", "size=300000&content_length=300000&content_length2=300000",
     Outcome::Body, Size, Size, Reads(Size, 0)},
    {"BodyLongerThanItsContentLength", "size=300000&content_length=150000", Outcome::Body, Half,
     Half, Reads(Half, 0)},
    {"BodyShorterThanItsContentLength", "size=300000&drop_after=150000", Outcome::Body, Size, Half,
     Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    {"RedirectLoop", "redirect_loop=1", Outcome::FailedOpen, 0, 0,
     OpenFails(ERROR_HTTP_REDIRECT_FAILED)},
    // A 3xx without a Location to follow is the final answer, and empty.
    {"RedirectWithAnEmptyLocation", "redirect_to=", Outcome::FailedOpen, 0, 0, Reads(0, 0)},
    {"RedirectToARefusedPort", "redirect_to=http%3A%2F%2F127.0.0.1%3A{refused}%2Fa",
     Outcome::FailedOpen, 0, 0, OpenFails(ERROR_INTERNET_CANNOT_CONNECT)},
    {"OneByteASecond", "size=300000&rate=1", Outcome::TimesOut, Size, 0, std::nullopt},
    {"ResetMidBody", "size=300000&drop_after=150000&drop=rst", Outcome::Body, Size, Half,
     Reads(Half, ERROR_INTERNET_CONNECTION_RESET)},
    // A server that serves ranges gets asked for the rest.
    {"ResetMidBodyOfARangeServer", "size=300000&drop_after=150000&drop=rst&ranges=1", Outcome::Body,
     Size, Size, Reads(Half, ERROR_INTERNET_CONNECTION_RESET)},
    // ... but one that breaks every connection before a byte is given up on
    // for as long as no read waits.
    {"RangeServerDroppingEveryConnectionAtOnce", "size=300000&drop_after=0&ranges=1",
     Outcome::ServerAway, Size, 0, Reads(0, ERROR_INTERNET_CONNECTION_ABORTED)},
    // A resource replaced before the resume: nothing of the new version is
    // delivered, whether the server honours If-Range (the whole new body)
    // or ignores it (a range of the new body with its new ETag).
    {"ReplacedBeforeAResumeHonouringIfRange",
     "size=300000&drop_after=150000&ranges=1&replaced=honour", Outcome::Body, Size, Half,
     Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    {"ReplacedBeforeAResumeIgnoringIfRange",
     "size=300000&drop_after=150000&ranges=1&replaced=ignore", Outcome::Body, Size, Half,
     Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    // Without a validator no range could be told from a new version's: not
    // resumed. A date alone, or a weak ETag beside the date, is enough.
    {"RangeServerWithoutAValidator", "size=300000&drop_after=150000&ranges=1&validator=none",
     Outcome::Body, Size, Half, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    {"RangeServerWithOnlyADate", "size=300000&drop_after=150000&ranges=1&validator=weak",
     Outcome::Body, Size, Size, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    // Silent mid-body without closing: a stall, resumed as a drop.
    {"RangeServerSilentMidBody", "size=300000&silent_after=150000&ranges=1", Outcome::Body, Size,
     Size, Reads(Half, ERROR_INTERNET_TIMEOUT), true},
    // Busy before serving again: waited out as the server asks, in seconds
    // or as a date; busy for good, given up on within the budget.
    {"RangeServerBusyWithRetryAfterSeconds",
     "size=300000&drop_after=150000&ranges=1&busy=503&busy_count=2&retry_after=2", Outcome::Body,
     Size, Size, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    {"RangeServerTooManyRequestsWithRetryAfterADate",
     "size=300000&drop_after=150000&ranges=1&busy=429&busy_count=1&retry_after=in%3A3",
     Outcome::Body, Size, Size, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    {"RangeServerBusyForGood", "size=300000&drop_after=150000&ranges=1&busy=503&busy_count=999",
     Outcome::ServerAway, Size, Half, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    // Header lines trickled on every range request, or on the stream's own
    // request after the probe: each is abandoned at its deadline.
    {"RangeServerTricklingHeadersOnRanges",
     "size=300000&drop_after=150000&ranges=1&endless_headers=1000&endless_on=ranges",
     Outcome::ServerAway, Size, Half, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    {"StreamRequestTricklingHeaders", "size=300000&endless_headers=1000&endless_on=2",
     Outcome::FailedOpen, 0, 0, std::nullopt},
    // Answers that are no whole body: a part of it to a plain GET (a cache
    // or proxy may send one), none at all, or a 3xx there is nowhere to
    // follow. A 206 that holds every byte from the first is the body.
    {"APartOfTheBodyToAPlainGet", "size=300000&status=206&content_range=bytes%204-9%2F10",
     Outcome::FailedOpen, 0, 0, Reads(Size, 0)},
    {"TheWholeBodyAsA206", "size=300000&status=206&content_range=bytes%200-299999%2F300000",
     Outcome::Body, Size, Size, Reads(Size, 0)},
    {"NoContent", "status=204", Outcome::FailedOpen, 0, 0, Reads(0, 0)},
    {"ResetContent", "size=300000&status=205", Outcome::FailedOpen, 0, 0, Reads(Size, 0)},
    {"NotModifiedWithAContentLength",
     "raw=HTTP%2F1.1%20304%20Not%20Modified%0D%0AContent-Length%3A%205000%0D%0A%0D%0A",
     Outcome::FailedOpen, 0, 0, Reads(0, 0)},
    {"MultipleChoicesWithoutALocation", "status=300", Outcome::FailedOpen, 0, 0, std::nullopt},
    // Transfer-Encoding, not Content-Length, ends the body: its length is
    // unknown, and all of it is read.
    {"ChunkedWithAContentLength", "size=300000&framing=chunked&content_length=5000", Outcome::Body,
     HTTPMEDIA_UNKNOWN_LENGTH, Size, Reads(Size, 0)},
    // A validator goes back octet for octet, a byte above 0x7F included.
    {"AStrongETagWithBytesAbove0x7F", "size=300000&drop_after=150000&ranges=1&etag=%E9t%FFg",
     Outcome::Body, Size, Size, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    // A weak ETag that changed is a change, though the date was kept and the
    // size is the same; If-Range could not have told (it may not carry a
    // weak ETag, nor a date beside one), so the 206's own validators do.
    {"ReplacedBehindAWeakETagWithItsDateKept",
     "size=300000&drop_after=150000&ranges=1&validator=weak&replaced=keep-date", Outcome::Body,
     Size, Half, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    // A date no older than the answer's Date cannot tell a version written
    // again within its second: a range that only it vouches for is not
    // spliced in.
    {"ReplacedWithinTheSecondOfItsDate",
     "size=300000&drop_after=150000&ranges=1&validator=date&fresh=1&replaced=keep-date",
     Outcome::Body, Size, Half, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED)},
    // A server that takes one connection at a time, the next once the last
    // has closed: no connection made ahead stands in front of a request.
    {"OneConnectionAtATime", "size=300000&ranges=1", Outcome::Body, Size, Size, Reads(Size, 0),
     false, Serving::kOneAtATime},
    {"OneConnectionAtATimeResumingADrop", "size=300000&drop_after=150000&ranges=1", Outcome::Body,
     Size, Size, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED), false, Serving::kOneAtATime},
    // The same over https, the handshake made before the server serves; its
    // verifying takes real time that a scaled open would outrun on a loaded
    // machine or under a sanitizer.
    {"OneConnectionAtATimeOverTls", "size=300000&ranges=1", Outcome::Body, Size, Size,
     Reads(Size, 0), true, Serving::kOneAtATimeOverTls},
    {"OneConnectionAtATimeOverTlsResumingADrop", "size=300000&drop_after=150000&ranges=1",
     Outcome::Body, Size, Size, Reads(Half, ERROR_INTERNET_CONNECTION_ABORTED), true,
     Serving::kOneAtATimeOverTls},
    // A body encoded whatever was asked: decoded, of unknown length; in a
    // coding that cannot be undone, no stream. The layer alone hands out the
    // bytes as sent.
    {"GzipWhateverWasAsked", "size=300000&encoding=gzip", Outcome::Body, HTTPMEDIA_UNKNOWN_LENGTH,
     Size, std::nullopt},
    {"DeflateWhateverWasAsked", "size=300000&encoding=deflate", Outcome::Body,
     HTTPMEDIA_UNKNOWN_LENGTH, Size, std::nullopt},
    {"BrotliWhateverWasAsked", "size=300000&encoding=br", Outcome::FailedOpen, 0, 0, std::nullopt},
};

std::string Target(const Row& row, const RefusingPort& refused) {
  std::string query = row.query;
  const std::size_t at = query.find("{refused}");
  if (at != std::string::npos) query.replace(at, 9, std::to_string(refused.Port()));
  return "/hostile?" + query;
}

void CheckPlugin(const Row& row, const std::u16string& url) {
  PluginHost host(row.realWaits ? 1 : 100);
  const std::int32_t length = host.Open(url.c_str());
  EXPECT_TRUE(host.LastWithinLimits()) << "open slept " << host.Last().sleptMs << " ms";
  ASSERT_EQ(length, row.length);

  std::vector<std::uint8_t> buffer(65'536);
  std::int64_t position = 0;
  if (row.outcome == Outcome::TimesOut) {
    // What trickled in within the wait is delivered, and nothing else.
    const std::int32_t delivered = host.Read(buffer.data(), 1000);
    EXPECT_LT(delivered, 1000);
    EXPECT_EQ(FirstBodyMismatch(0, buffer.data(), static_cast<std::size_t>(delivered)),
              static_cast<std::size_t>(delivered));
    position = delivered;
    // One wait holds the host, however the bytes trickle; the time-out call
    // comes only if none came while it waited.
    EXPECT_GE(host.Last().sleptMs, WaitLimitMs);
    EXPECT_LE(host.Last().sleptMs, WaitLimitMs + 10);
    EXPECT_LE(host.Timeouts(), 1);
  } else {
    // Reads of varying sizes to the end; every byte must be the body's.
    for (std::int32_t step = 1; !::testing::Test::HasFailure(); step = step * 7 % 65'521 + 1) {
      const std::int32_t delivered = host.ReadThroughTimeouts(buffer.data(), step);
      ASSERT_TRUE(host.LastWithinLimits()) << "a read slept " << host.Last().sleptMs << " ms";
      ASSERT_GE(delivered, 0);
      ASSERT_LE(delivered, step);
      ASSERT_EQ(FirstBodyMismatch(static_cast<std::uint64_t>(position), buffer.data(),
                                  static_cast<std::size_t>(delivered)),
                static_cast<std::size_t>(delivered))
          << "wrong byte after position " << position;
      position += delivered;
      if (delivered < step) break;
    }
    EXPECT_EQ(position, row.dataEnd);
    const int timeouts = host.Timeouts();
    // A fault the stall limit answers is resumed before any read times out.
    if (row.realWaits) {
      EXPECT_EQ(timeouts, 0) << "a time-out mid-body";
    }
    EXPECT_EQ(host.Read(buffer.data(), 1000), 0);
    if (row.outcome == Outcome::ServerAway) {
      EXPECT_EQ(host.Timeouts(), timeouts + 1) << "a server away read as the end";
    } else if (!httpmedia::testing::UnderSanitizer) {
      // (Under a sanitizer the download's reconnecting may outlast the
      // shortened wait.)
      EXPECT_EQ(host.Timeouts(), timeouts) << "the end was a wait, not the end";
    }
  }
  EXPECT_EQ(host.Seek(0, 1), static_cast<std::int32_t>(position));
  // A read's limit counts afresh from the last bytes it took: where bytes
  // come during a read that then waits, it holds the host longer.
  if (row.outcome == Outcome::Body) {
    EXPECT_LE(host.LongestReadOrSeek().sleptMs, WaitLimitMs)
        << "one call held the host past a wait";
  }
  EXPECT_LE(host.LongestReadOrSeek().took, RealTimeLimit);
  EXPECT_EQ(host.Close(), 0);
  EXPECT_TRUE(host.LastWithinLimits()) << "close slept " << host.Last().sleptMs << " ms";
  EXPECT_FALSE(host.Busy());
  EXPECT_EQ(host.Messages(), 0);
}

void CheckLayer(const LayerOutcome& expected, const std::u16string& url) {
  HINTERNET session =
      InternetOpenW(u"httpmedia-hardening", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  // A stall then costs two seconds, not thirty.
  DWORD timeout = 2000;
  ASSERT_TRUE(
      InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout));
  ASSERT_TRUE(
      InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout));
  HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0, 0, 0);
  if (expected.openError) {
    EXPECT_EQ(request, nullptr);
    EXPECT_EQ(GetLastError(), *expected.openError);
  } else {
    ASSERT_NE(request, nullptr) << "error " << GetLastError();
    std::vector<std::uint8_t> buffer(20'000);
    std::int64_t total = 0;
    DWORD endError = 0;
    for (;;) {
      DWORD got = 0;
      if (!InternetReadFile(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
        endError = GetLastError();
        break;
      }
      ASSERT_EQ(FirstBodyMismatch(static_cast<std::uint64_t>(total), buffer.data(), got), got)
          << "wrong byte after position " << total;
      total += got;
      if (got == 0) break;
    }
    EXPECT_EQ(total, expected.bytes);
    EXPECT_EQ(endError, expected.endError);
    EXPECT_TRUE(InternetCloseHandle(request));
  }
  EXPECT_TRUE(InternetCloseHandle(session));
}

class HostileServer : public ::testing::TestWithParam<Row> {};

TEST_P(HostileServer, NeitherCrashesNorHangsNorDeliversAWrongByte) {
  const Row& row = GetParam();
  TestServer server(row.serving);
  // Over https the server's CA is trusted as a user would trust it.
  struct Trust {
    explicit Trust(const std::string& ca) : set(!ca.empty()) {
      if (set) setenv("SSL_CERT_FILE", ca.c_str(), 1);
    }
    ~Trust() {
      if (set) unsetenv("SSL_CERT_FILE");
    }
    bool set;
  } trust(server.CaFile());
  RefusingPort refused;
  ASSERT_NE(refused.Port(), 0);
  const std::u16string url = server.Url16(Target(row, refused));
  {
    SCOPED_TRACE("through the plug-in's exported functions");
    CheckPlugin(row, url);
  }
  if (row.layer) {
    SCOPED_TRACE("through the Internet-client layer");
    CheckLayer(*row.layer, url);
  }
}

// A body of unknown length is read to its real end, well past the stand-in
// length the open reports (generated as it goes out, at loopback speed).
// Where it would pass the last position a stream can hold it is cut, and
// the host hears of that as of a wait that timed out, at once.
TEST(HostileServerEndless, ABodyOfUnknownLengthIsCutOnlyWhereAPositionEnds) {
  constexpr std::int32_t Limit = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t Start = Limit - 483'647;
  static_assert(Start > HTTPMEDIA_UNKNOWN_LENGTH);
  TestServer server;
  PluginHost host(1);
  ASSERT_EQ(host.Open(server.Url16("/endless?size=2200000000&framing=close").c_str()),
            HTTPMEDIA_UNKNOWN_LENGTH);
  ASSERT_EQ(host.Seek(Start, 0), 0);
  std::vector<std::uint8_t> buffer(600'000);
  const std::int32_t delivered = host.ReadThroughTimeouts(buffer.data(), 600'000);
  ASSERT_EQ(delivered, Limit - Start);
  EXPECT_EQ(FirstBodyMismatch(Start, buffer.data(), static_cast<std::size_t>(delivered)),
            static_cast<std::size_t>(delivered));
  const int timeouts = host.Timeouts();
  EXPECT_EQ(host.Read(buffer.data(), 1000), 0);
  EXPECT_EQ(host.Timeouts(), timeouts + 1) << "a cut stream read as its end";
  EXPECT_EQ(host.Last().sleptMs, 0u);
  EXPECT_EQ(host.Close(), 0);
  EXPECT_FALSE(host.Busy());
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileServer, ::testing::ValuesIn(Rows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace httpmedia::hardening
