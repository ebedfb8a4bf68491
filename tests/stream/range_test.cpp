// Positions outside the ring fetched with byte-range requests, transfers
// resumed after a drop, and the old behaviour where ranges are not served.
#include <algorithm>

#include "engine_fixture.h"
#include "stock_server.h"
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

  std::vector<std::string> RangesRequested() {
    std::vector<std::string> ranges;
    for (const RecordedRequest& request : server.Requests())
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

TEST_F(Ranges, NotOfferedLeaveTheDownloadFrontToBack) {
  ASSERT_EQ(Open("/movie.mp4?size=20000000"), Size);
  SetSleepDivisor(100);
  // The end is reached by downloading through; the start is gone by then.
  EXPECT_EQ(ReadHeadTailThenBack(), (std::vector<std::int64_t>{65'536, 1'000'000, 0}));
  EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", ""}));
}

TEST_F(Ranges, ClaimedButNotServedAreTriedOnceThenLeftAlone) {
  SetSleepDivisor(100);
  // Not served at all, refused, or answered with other bytes than asked for:
  // starting one byte later, ending one byte early, of a body one byte
  // longer, or as a whole body (200) that carries a Content-Range.
  for (const char* mode :
       {"ranges=0", "ranges=refuse", "ranges=1&range_fault=shift", "ranges=1&range_fault=short",
        "ranges=1&range_fault=total", "ranges=1&range_fault=status"}) {
    SCOPED_TRACE(mode);
    server.ClearRequests();
    ASSERT_EQ(Open(std::string("/m?size=20000000&advertise_ranges=1&") + mode), Size);
    EXPECT_EQ(ReadHeadTailThenBack(), (std::vector<std::int64_t>{65'536, 1'000'000, 0}));
    EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", "", "bytes=19000000-"}));
    CloseStream();
  }
}

TEST_F(Ranges, ResumeADroppedTransferWithoutAGapOrARepeat) {
  SetSleepDivisor(10);
  const std::string drops[] = {
      "drop_after=1000000",             // several drops, one a megabyte
      "drop_after=2999999",             // just short of a lap
      "drop_after=7995000",             // inside the last chunk
      "drop_after=700000&rate=8000000"  // while the host waits for data
  };
  for (const std::string& drop : drops) {
    SCOPED_TRACE(drop);
    ASSERT_EQ(Open("/m?size=8000000&ranges=1&" + drop), 8'000'000);
    EXPECT_EQ(ReadToEnd(1'000'000), 8'000'000);
    CloseStream();
  }
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

TEST_F(Ranges, AStreamOfUnknownLengthIsNotResumed) {
  ASSERT_EQ(Open("/m?size=3000000&ranges=1&framing=chunked&drop_after=1000000"), FallbackLength);
  EXPECT_EQ(ReadToEnd(100'000), 1'000'000);
  EXPECT_EQ(RangesRequested(), (std::vector<std::string>{"", ""}));
}

}  // namespace
}  // namespace httpmedia::testing
