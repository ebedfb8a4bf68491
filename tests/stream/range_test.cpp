// Positions outside the ring fetched with byte-range requests, transfers
// resumed after a drop, and where ranges are not served, the body fetched
// again from its start.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "engine_fixture.h"
#include "stock_server.h"
#include "stream/range_request.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {
namespace {

constexpr std::int32_t Size = 20'000'000;

class Ranges : public EngineTest {
 protected:
  // How a player reads a file with its index at the end: the head, the
  // last megabyte, then back near the start and on from there. Returns the
  // bytes delivered by each of the three reads.
  std::vector<std::int64_t> ReadHeadTailThenBack() {
    std::vector<std::int64_t> delivered;
    delivered.push_back(ReadSpan(65'536));
    EXPECT_EQ(SeekStream(Size - 1'000'000, 0), 0);
    delivered.push_back(ReadSpan(1'000'000));
    SeekStream(102'400, 0);
    delivered.push_back(ReadSpan(5'000'000));
    return delivered;
  }

  std::int64_t ReadSpan(std::int64_t count) {
    std::int64_t total = 0;
    while (total < count && !HasFailure()) {
      const std::int32_t got =
          ReadChecked(static_cast<std::int32_t>(std::min<std::int64_t>(65'536, count - total)));
      if (got == 0) break;
      total += got;
    }
    return total;
  }

  std::vector<std::string> RangesRequested() { return RangesRequested(server); }
  static std::vector<std::string> RangesRequested(const TestServer& from) {
    std::vector<std::string> ranges;
    for (const RecordedRequest& request : from.Requests())
      ranges.push_back(request.Header("Range"));
    return ranges;
  }
};

const std::vector<std::int64_t> AllDelivered{65'536, 1'000'000, 5'000'000};

TEST_F(Ranges, FetchTheEndAndComeBackToTheStart) {
  ASSERT_EQ(Open("/movie.mp4?size=20000000&ranges=1"), Size);
  EXPECT_EQ(ReadHeadTailThenBack(), AllDelivered);
  EXPECT_EQ(RangesRequested(),
            (std::vector<std::string>{"", "", "bytes=19000000-", "bytes=102400-"}));
  // The ETag on the wire, not only the engine's own check of each 206; and
  // every request asks for the body as it is.
  EXPECT_EQ(server.Requests().back().Header("If-Range"), "\"v1-20000000\"");
  for (const RecordedRequest& request : server.Requests()) {
    EXPECT_EQ(request.Header("Accept-Encoding"), "identity");
  }
}

// A server that takes one connection at a time, the next once the last has
// closed: a connection made ahead of the stream's answer would be taken
// first and wait for a request that never comes. Over https the server
// makes the handshake before it serves, so waits on that one too.
TEST_F(Ranges, WorkWithAServerOfOneConnectionAtATime) {
  for (const Serving serving : {Serving::kOneAtATime, Serving::kOneAtATimeOverTls}) {
    TestServer single(serving);
    SCOPED_TRACE(single.Url("/"));
    if (serving == Serving::kOneAtATimeOverTls) setenv("SSL_CERT_FILE", single.CaFile().c_str(), 1);
    ASSERT_EQ(OpenStream(single.Url16("/movie.mp4?size=20000000&ranges=1").c_str()), Size);
    EXPECT_EQ(ReadHeadTailThenBack(), AllDelivered);
    CloseStream();
    if (serving == Serving::kOneAtATimeOverTls) unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(RangesRequested(single),
              (std::vector<std::string>{"", "", "bytes=19000000-", "bytes=102400-"}));
  }
}

// A body longer than a signed 32-bit position reaches: the open reports no
// length, yet ranges serve every position below the last one, and the read
// at the last one is the stream's end, not a wait that ran out.
TEST_F(Ranges, ServeABodyLongerThanPositionsReachUpToTheLastPosition) {
  constexpr std::int32_t Last = std::numeric_limits<std::int32_t>::max();
  ASSERT_EQ(Open("/big.bin?size=3000000000&ranges=1"), FallbackLength);
  ASSERT_EQ(SeekStream(1'500'000'000, 0), 0);
  EXPECT_EQ(ReadSpan(1'000'000), 1'000'000);
  ASSERT_EQ(SeekStream(Last - 100'000, 0), 0);
  EXPECT_EQ(ReadSpan(200'000), 100'000);
  EXPECT_EQ(Position(), Last);
  EXPECT_EQ(ReadSpan(1), 0);
  EXPECT_EQ(std::count(hostEvents.begin(), hostEvents.end(), "timeout"), 0);
  EXPECT_EQ(RangesRequested(),
            (std::vector<std::string>{"", "", "bytes=1500000000-",
                                      "bytes=" + std::to_string(Last - 100'000) + "-"}));
}

TEST_F(Ranges, WorkWithAStockServer) {
  StockServer nginx(Size);
  if (!nginx.Running()) GTEST_SKIP() << "nginx is not installed";
  ASSERT_EQ(OpenStream(nginx.Url16().c_str()), Size);
  EXPECT_EQ(ReadHeadTailThenBack(), AllDelivered);
  CloseStream();
  // nginx logs a request when its answer ends, so in its own order.
  std::vector<std::string> ranges;
  WaitUntil([&] { return (ranges = nginx.RangesRequested()).size() >= 4; });
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, (std::vector<std::string>{"", "", "bytes=102400-", "bytes=19000000-"}));
}

// nginx with etag off tells the version by the file's date alone. A file
// dated within the second of the open's answer (the next second: a slow
// open still falls within it) and replaced by one of the same size keeps
// that date, so a range answer bearing it proves nothing: a seek back below
// the ring splices nothing of the new version in.
TEST_F(Ranges, OnAStockServerSpliceNothingBehindADateOfTheAnswersOwnSecond) {
  StockServer nginx(Size, false, StockServer::Validators::kDateOnly);
  if (!nginx.Running()) GTEST_SKIP() << "nginx is not installed";
  nginx.Date(std::time(nullptr) + 1);
  ASSERT_EQ(OpenStream(nginx.Url16().c_str()), Size);
  EXPECT_EQ(ReadSpan(5'000'000), 5'000'000);
  nginx.Replace();
  if (SeekStream(0, 0) == 0) ReadSpan(100'000);  // every byte checked against the old body
  CloseStream();
  std::vector<std::string> ranges;
  WaitUntil([&] { return (ranges = nginx.RangesRequested()).size() >= 3; });
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "bytes=0-"), 1);
}

// Over HTTP/2 a request closed early only has its stream reset, and its
// connection serves the next request; one closed after more than a megabyte
// came takes its connection with it, for the server may still have a whole
// stream window on the way; one whose whole body came leaves it too. A seek
// outside the ring withdraws the stream's request before it asks for the
// range, so that the range request can ride the same connection.
TEST_F(Ranges, OverHttp2AConnectionLeftMidStreamServesOnlyIfLittleCame) {
  StockServer nginx(Size, true);
  if (!nginx.Running()) GTEST_SKIP() << "nginx or openssl is not installed";
  if (!nginx.Trust())
    GTEST_SKIP() << "cannot mount the test's CA bundle in a private mount namespace (needs root)";
  const std::int64_t tail = Size - 1'500'000;
  ASSERT_EQ(OpenStream(nginx.Url16().c_str()), Size);
  EXPECT_EQ(ReadSpan(1), 1);
  ASSERT_EQ(SeekStream(tail, 0), 0);  // the stream's request has brought little
  EXPECT_EQ(ReadSpan(1'500'000), 1'500'000);
  ASSERT_EQ(SeekStream(3'000'000, 0), 0);  // the range's whole body came
  EXPECT_EQ(ReadSpan(2'500'000), 2'500'000);
  ASSERT_EQ(SeekStream(tail, 0), 0);  // over a megabyte came
  EXPECT_EQ(ReadSpan(1'500'000), 1'500'000);
  CloseStream();
  ASSERT_EQ(OpenStream(nginx.Url16().c_str()), Size);
  CloseStream();
  // nginx logs a request once its stream is reset, which curl sends as it
  // next drives the connection: the last request's only when the idle pool
  // closes it.
  std::vector<StockServer::Request> requests;
  WaitUntil([&] { return (requests = nginx.Requests()).size() >= 6; });
  ASSERT_GE(requests.size(), 6u);
  std::vector<std::string> ranges;
  for (const StockServer::Request& request : requests) {
    EXPECT_EQ(request.protocol, "HTTP/2.0");
    ranges.push_back(request.range);
  }
  const std::string tailRange = "bytes=" + std::to_string(tail) + "-";
  EXPECT_EQ(ranges, (std::vector<std::string>{"", "", tailRange, "bytes=3000000-", tailRange, ""}));
  // Sorted by connection: the probe, the stream and the first two ranges on
  // one, the last range and the next open's probe on another.
  for (std::size_t i : {1, 2, 3}) EXPECT_EQ(requests[i].connection, requests[0].connection) << i;
  EXPECT_NE(requests[4].connection, requests[3].connection);
  EXPECT_EQ(requests[5].connection, requests[4].connection);
}

// Over HTTPS too a spare connection is made beside the stream's once its
// answer has begun, and a seek that leaves the stream's connection sends
// its range on it: on a connection nginx accepted before the seek.
TEST_F(Ranges, OverHttpsTheSeekRidesTheSpareMadeBeforeIt) {
  StockServer nginx(Size, true);
  if (!nginx.Running()) GTEST_SKIP() << "nginx or openssl is not installed";
  if (!nginx.Trust())
    GTEST_SKIP() << "cannot mount the test's CA bundle in a private mount namespace (needs root)";
  ASSERT_EQ(OpenStream(nginx.Url16().c_str()), Size);
  EXPECT_EQ(ReadSpan(2'000'000), 2'000'000);  // over a megabyte: the seek leaves the connection
  const int marker = nginx.Mark();
  ASSERT_GT(marker, 0);
  ASSERT_EQ(SeekStream(Size - 1'000'000, 0), 0);
  EXPECT_EQ(ReadSpan(1'000'000), 1'000'000);
  CloseStream();
  std::vector<StockServer::Request> requests;
  WaitUntil([&] { return (requests = nginx.Requests()).size() >= 4; });
  const auto range = std::find_if(requests.begin(), requests.end(),
                                  [](const StockServer::Request& r) { return !r.range.empty(); });
  ASSERT_NE(range, requests.end());
  EXPECT_EQ(range->range, "bytes=19000000-");
  EXPECT_LT(range->connection, marker) << "the seek's request waited for a connection of its own";
}

TEST_F(Ranges, OneRingAheadOfTheDownloadIsDownloadedThroughAndOneByteMoreIsFetched) {
  ASSERT_EQ(Open("/movie.mp4?size=20000000&ranges=1"), Size);
  WaitUntilDownloadSettles();
  ASSERT_EQ(SeekStream(static_cast<std::int32_t>(DownloadEnd() + RingSize), 0), 0);
  EXPECT_EQ(ReadChecked(1000), 1000);
  EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", ""}));
  WaitUntilDownloadSettles();
  const std::int64_t beyond = DownloadEnd() + RingSize + 1;
  ASSERT_EQ(SeekStream(static_cast<std::int32_t>(beyond), 0), 0);
  EXPECT_EQ(ReadChecked(1000), 1000);
  EXPECT_EQ(RangesRequested(),
            (std::vector<std::string>{"", "", "bytes=" + std::to_string(beyond) + "-"}));
  // Just below where that download began the ring holds nothing of the
  // stream: fetched anew too.
  ASSERT_EQ(SeekStream(static_cast<std::int32_t>(beyond - 1), 0), 0);
  EXPECT_EQ(ReadChecked(1000), 1000);
  EXPECT_EQ(RangesRequested().back(), "bytes=" + std::to_string(beyond - 1) + "-");
}

// Without ranges, a position below the ring is reached by reading the body
// again from its start: one plain GET per such seek, and only after the new
// answer shows the same length and validator. Seeks within the ring cost no
// request.
TEST_F(Ranges, NotOfferedFetchTheBodyAgainFromTheStart) {
  SetSleepDivisor(10);
  for (const char* validator : {"", "&etag=v1", "&last_modified=Mon,%2002%20Jan%202006"}) {
    SCOPED_TRACE(validator);
    server.ClearRequests();
    ASSERT_EQ(Open(std::string("/movie.mp4?size=20000000") + validator), Size);
    // The end is reached by downloading through, the start by a new GET.
    EXPECT_EQ(ReadHeadTailThenBack(), AllDelivered);
    // Well inside the reserve kept behind the host whatever the download's
    // lead: its last chunk may take it a chunk past two megabytes ahead,
    // and the oldest byte with it.
    ASSERT_EQ(SeekStream(-900'000, 1), 0);
    EXPECT_EQ(ReadSpan(200'000), 200'000);
    EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", "", ""}));
    CloseStream();
  }
}

// A body replaced between the stream's request and the one that would fetch
// it again: its length or validator differs, the seek fails and the host
// carries on from where it was, never handed a byte of the other version;
// a changed body is not asked for again.
TEST_F(Ranges, NotOfferedAndReplacedFailTheSeekBackWithoutAWrongByte) {
  SetSleepDivisor(10);
  // A new ETag at the same length, a new date, a new length without a
  // validator, and a new ETag with a new length.
  // Without any validator only the length can tell the new body.
  const char* replacements[] = {"&etag=v1", "&last_modified=Mon,%2002%20Jan%202006",
                                "&replaced_size=20000001", "&etag=v1&replaced_size=19999999",
                                "&validator=none&replaced_size=20000001"};
  for (const char* replacement : replacements) {
    SCOPED_TRACE(replacement);
    server.ClearRequests();
    ASSERT_EQ(Open(std::string("/m?size=20000000&replaced_after=2") + replacement), Size);
    EXPECT_EQ(ReadSpan(65'536), 65'536);
    ASSERT_EQ(SeekStream(Size - 1'000'000, 0), 0);
    EXPECT_EQ(ReadSpan(500'000), 500'000);
    EXPECT_EQ(SeekStream(102'400, 0), -1);
    EXPECT_EQ(Position(), Size - 500'000);
    EXPECT_EQ(SeekStream(-Size + 102'400 + 500'000, 1), -1);
    EXPECT_EQ(Position(), Size - 500'000);
    EXPECT_EQ(ReadSpan(1'000'000), 500'000);
    EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", "", ""}));
    CloseStream();
  }
}

// Once a range request has been answered otherwise, the stream is one
// without ranges: the body comes again from its start, by a plain GET unless
// the range's answer was that body already, and is read forward to the tail.
TEST_F(Ranges, ClaimedButNotServedAreTriedOnceThenLeftAlone) {
  SetSleepDivisor(10);
  // Not served at all, refused, or answered with other bytes than asked for:
  // starting one byte later or ending one byte early.
  for (const char* mode : {"0", "refuse", "1&range_fault=shift", "1&range_fault=short"}) {
    SCOPED_TRACE(mode);
    server.ClearRequests();
    ASSERT_EQ(Open(std::string("/m?size=20000000&advertise_ranges=1&ranges=") + mode), Size);
    EXPECT_EQ(ReadHeadTailThenBack(), AllDelivered);
    std::vector<std::string> expected{"", "", "bytes=19000000-", "", ""};
    if (mode == std::string("0")) expected.pop_back();
    EXPECT_EQ(RangesRequested(), expected);
    CloseStream();
  }
  // A replaced resource serves ranges, but of its new version: refused
  // alike, whether the server honours If-Range or not, and the resource is
  // not fetched again either, since it has changed. The stream ends with
  // what the ring held when the seek withdrew its request.
  for (const char* mode : {"1&replaced=honour", "1&replaced=ignore"}) {
    SCOPED_TRACE(mode);
    server.ClearRequests();
    ASSERT_EQ(Open(std::string("/m?size=20000000&advertise_ranges=1&ranges=") + mode), Size);
    const std::vector<std::int64_t> delivered = ReadHeadTailThenBack();
    EXPECT_EQ(delivered[1], 0);
    EXPECT_EQ(delivered[2], std::max<std::int64_t>(DownloadEnd() - 102'400, 0));
    EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", "", "bytes=19000000-"}));
    CloseStream();
  }
  // Found changed on the way back, below what the ring holds: the host is
  // left there, and a read reaching past the download returns 0 at once
  // rather than wait for a download that can never bring those bytes.
  server.ClearRequests();
  StartLog();
  ASSERT_EQ(Open("/m?size=20000000&advertise_ranges=1&ranges=1&replaced=honour"), Size);
  EXPECT_EQ(ReadSpan(4'500'000), 4'500'000);
  ASSERT_EQ(SeekStream(102'400, 0), 0);
  hostEvents.clear();
  EXPECT_EQ(ReadChecked(10'000'000), 0);
  EXPECT_EQ(hostEvents, (std::vector<std::string>{"busy", "normal"})) << "the read waited";
  EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", "", "bytes=102400-"}));
  for (const char* line : {"read at 102400 lies outside the ring", "Range: bytes=102400-",
                           "range answer: changed", "the resource changed: no byte"}) {
    EXPECT_NE(LogText().find(line), std::string::npos) << line << "\n" << LogText();
  }
}

// Every drop is resumed where it happened, on a budget of 15 s since the
// last byte: a server busy for good is asked again at once, then after
// 0.25, 0.5, 1, 2, 4 and 4 s, or as its Retry-After says, and no more. The
// download then ends where its bytes end, but not the stream: the next read
// asks again, and one that finds the server still away ends with the
// time-out call, never as the end would; one that finds it back reads on.
TEST_F(Ranges, ResumeADroppedTransferWithoutAGapOrARepeatWithinTheRetryBudget) {
  SetSleepDivisor(10);
  struct Drop {
    std::string query;
    std::int64_t delivered;  // by reads one after the other: all, or up to the drop
    std::size_t rangeRequests;
  };
  const Drop drops[] = {
      {"drop_after=1000000", 8'000'000, 7},               // a drop every megabyte
      {"drop_after=2999999", 8'000'000, 2},               // just short of a lap
      {"drop_after=7995000", 8'000'000, 1},               // inside the last chunk
      {"drop_after=700000&rate=8000000", 8'000'000, 11},  // while the host waits for data
      // Busy past the budget of the first resume; the read waiting for it
      // asks again, and the server is back on its third try.
      {"drop_after=1000000&busy=503&busy_count=9", 8'000'000, 16},
      // Away for good: the budget's tries, with no read waiting.
      {"drop_after=1000000&busy=503&busy_count=999", 1'000'000, 7},
      {"drop_after=1000000&busy=503&busy_count=999&retry_after=5", 1'000'000, 3},
      // A date 10 s ahead: a pause of 9 or 10 s, as the second turns.
      {"drop_after=1000000&busy=503&busy_count=999&retry_after=in%3A10", 1'000'000, 2},
      // Header lines without end on every try: each abandoned after 5 s.
      {"drop_after=1000000&endless_headers=50&endless_on=ranges", 1'000'000, 3},
  };
  auto rangeRequests = [&] {
    const std::vector<std::string> ranges = RangesRequested();
    return static_cast<std::size_t>(std::count_if(ranges.begin(), ranges.end(),
                                                  [](const std::string& r) { return !r.empty(); }));
  };
  for (const Drop& drop : drops) {
    SCOPED_TRACE(drop.query);
    server.ClearRequests();
    ASSERT_EQ(Open("/m?size=8000000&ranges=1&" + drop.query), 8'000'000);
    downloadSleptMs = 0;
    if (drop.delivered == 8'000'000) {
      EXPECT_EQ(ReadToEnd(1'000'000), drop.delivered);
      EXPECT_EQ(rangeRequests(), drop.rangeRequests);
    } else {
      EXPECT_EQ(ReadChecked(1'000'000), drop.delivered);
      EXPECT_TRUE(WaitUntil([] { return Stream.Finished.load() != 0; }, std::chrono::seconds(10)))
          << "still reconnecting after the budget";
      // Given up when the budget ends, not a pause later.
      EXPECT_LT(downloadSleptMs.load(), RetryBudgetMs + 300) << downloadSleptMs.load();
      EXPECT_EQ(rangeRequests(), drop.rangeRequests);
      hostEvents.clear();
      EXPECT_EQ(ReadChecked(1000), 0);
      EXPECT_EQ(std::count(hostEvents.begin(), hostEvents.end(), "timeout"), 1) << "a false end";
      EXPECT_GT(rangeRequests(), drop.rangeRequests) << "the read did not ask again";
    }
    CloseStream();
  }
}

// One read that chains a restart on a busy server (two 503s asking for 4 s
// each), a range refused and two fetches again (the download's, then the
// read's) whose headers trickle holds the host one wait from its entry, and
// ends with the time-out call, not as the end would.
TEST_F(Ranges, AReadThatChainsRequestsHoldsTheHostOneWait) {
  SetSleepDivisor(10);
  ASSERT_EQ(Open("/m?size=20000000&advertise_ranges=1&ranges=refuse&busy=503&busy_count=2"
                 "&retry_after=4&endless_headers=200&endless_on=6"),
            Size);
  EXPECT_EQ(ReadSpan(4'500'000), 4'500'000);
  ASSERT_EQ(SeekStream(0, 0), 0);
  hostEvents.clear();
  const auto start = std::chrono::steady_clock::now();
  hostPolls = 0;
  EXPECT_EQ(ReadChecked(1000), 0);
  EXPECT_LE(hostPolls.load(), 2002) << "the chain held the host past one wait";
  // One wait is 2 s at this pace; real time adds to every poll on a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4'000));
  EXPECT_EQ(hostEvents, (std::vector<std::string>{"busy", "normal", "busy", "timeout", "normal"}));
  EXPECT_EQ(RangesRequested(),
            (std::vector<std::string>{"", "", "bytes=0-", "bytes=0-", "bytes=0-", "", ""}));
}

TEST_F(Ranges, RestartWhileTheDownloadIsBusyAgainAndAgain) {
  // Each restart stops a download in full flow; a stop signal taken for a
  // drop would keep the old task alive and the restart waiting forever.
  ASSERT_EQ(Open("/m?size=20000000&ranges=1"), Size);
  for (std::int32_t i = 0; i < 200 && !HasFailure(); ++i) {
    ASSERT_EQ(SeekStream((i % 2 == 0 ? 16'000'000 : 0) + i * 7'919, 0), 0);
    ASSERT_EQ(ReadChecked(30'000), 30'000);
  }
}

// Without a length a range cannot be checked against the stream's: the
// drop is survived by asking for the URL again.
TEST_F(Ranges, AStreamOfUnknownLengthIsResumedWithoutARange) {
  ASSERT_EQ(Open("/m?size=3000000&ranges=1&framing=chunked&drop_after=1000000&faults=2"),
            FallbackLength);
  EXPECT_EQ(ReadToEnd(100'000), 3'000'000);
  EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", "", ""}));
}

}  // namespace
}  // namespace httpmedia::testing
