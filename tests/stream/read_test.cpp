// Reading: the clamp to the length, waits, lap edges, the tail of an ended
// download, and positions the ring cannot serve.
#include <algorithm>

#include "engine_fixture.h"
#include "httpmedia/httpmedia_host.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {
namespace {

using Read = EngineTest;

TEST_F(Read, IsShortenedToTheLengthAndReturnsZeroAtOrPastIt) {
  ASSERT_EQ(Open("/a?size=100000"), 100'000);
  EXPECT_EQ(ReadChecked(0), 0);
  ASSERT_EQ(SeekStream(99'000, 0), 0);
  EXPECT_EQ(ReadChecked(5000), 1000);
  EXPECT_EQ(ReadChecked(10), 0);
  ASSERT_EQ(SeekStream(200'000, 0), 0);
  EXPECT_EQ(ReadChecked(10), 0);
  EXPECT_EQ(Position(), 200'000);
}

TEST_F(Read, RefusesANegativeCountAndANullBuffer) {
  ASSERT_EQ(Open("/a?size=100000"), 100'000);
  char byte = 0;
  EXPECT_EQ(ReadStream(nullptr, 10), 0);
  EXPECT_EQ(ReadStream(&byte, -1), 0);
  EXPECT_EQ(ReadStream(nullptr, 0), 0);
  EXPECT_EQ(Position(), 0);
}

TEST_F(Read, InsideDownloadedDataNeitherWaitsNorShowsTheCursor) {
  ASSERT_EQ(Open("/a?size=10000000"), 10'000'000);
  WaitUntilDownloadSettles();
  hostPolls = 0;
  EXPECT_EQ(ReadChecked(2'020'000), 2'020'000);
  EXPECT_EQ(hostPolls.load(), 0);
  EXPECT_TRUE(hostEvents.empty());
}

// A read copies what has come as the download brings it, moving the
// position so that the download (held 2,000,000 ahead of it) goes on: a
// count of any size completes. The limit holds the host one wait at most:
// a trickle slower than the count delivers what came by then (a short
// count, no time-out call); only a wait in which nothing moved runs out
// with the time-out call (after 2,001 polls).
TEST_F(Read, CompletesAnyCountAndHoldsTheHostOneWaitAtMost) {
  constexpr std::int32_t ShortOfTheCount = -1;
  struct Row {
    const char* target;
    std::int32_t downloadedFirst, count;
    std::int32_t delivered;  // ShortOfTheCount: more than 0, fewer than asked
    bool runsOut;
  };
  for (const Row& row :
       {Row{"/a?size=10000000", 1, 2'500'000, 2'500'000, false},
        Row{"/a?size=10000000", 1, 4'194'304, 4'194'304, false},
        Row{"/a?size=1000000&rate=4000", 1, 65'536, ShortOfTheCount, false},
        Row{"/a?size=1000000&stall_after=300000", 300'000, 400'000, 300'000, true}}) {
    SCOPED_TRACE(std::string(row.target) + " " + std::to_string(row.count));
    SetSleepDivisor(1);
    StartLog();
    ASSERT_GT(Open(row.target), 0);
    WaitUntil([&] { return DownloadEnd() >= row.downloadedFirst; });
    SetSleepDivisor(10);
    hostPolls = 0;
    hostEvents.clear();
    const std::int32_t delivered = ReadChecked(row.count);
    if (row.delivered == ShortOfTheCount) {
      EXPECT_GT(delivered, 0);
      EXPECT_LT(delivered, row.count);
      EXPECT_EQ(hostPolls.load(), 2001);
      EXPECT_EQ(HttpMediaLastOutcome(nullptr), HTTPMEDIA_OUTCOME_TIMED_OUT);
    } else {
      EXPECT_EQ(delivered, row.delivered);
    }
    if (row.runsOut) {
      EXPECT_EQ(hostPolls.load(), 2001);
      EXPECT_EQ(hostEvents, (std::vector<std::string>{"busy", "timeout", "normal"}));
      EXPECT_NE(LogText().find("time-out: the wait for the download ran out after 20010 ms"),
                std::string::npos)
          << LogText();
      EXPECT_EQ(HttpMediaLastOutcome(nullptr), HTTPMEDIA_OUTCOME_TIMED_OUT);
    } else {
      EXPECT_EQ(std::count(hostEvents.begin(), hostEvents.end(), "timeout"), 0);
      if (row.delivered != ShortOfTheCount) {
        EXPECT_EQ(HttpMediaLastOutcome(nullptr), HTTPMEDIA_OUTCOME_DONE);
      }
    }
    CloseStream();
  }
}

TEST_F(Read, CrossesTheLapEdgeAndReadsBackAcrossThePreviousLap) {
  ASSERT_EQ(Open("/a?size=10000000"), 10'000'000);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ReadChecked(999'667), 999'667);
  // 999 bytes from the top of the ring, 1,001 from offset 0.
  EXPECT_EQ(ReadChecked(2000), 2000);
  EXPECT_EQ(Stream.ReaderLapBase.load(), 3'000'000);
  EXPECT_EQ(Stream.WriterLapBase.load(), 3'000'000);
  // Back into the previous lap and across its edge again.
  ASSERT_EQ(SeekStream(2'999'500, 0), 0);
  EXPECT_EQ(ReadChecked(1000), 1000);
  ASSERT_EQ(SeekStream(2'100'000, 0), 0);
  EXPECT_EQ(ReadChecked(1'500'000), 1'500'000);
}

TEST_F(Read, TheTailOfAnEndedDownloadIsStillDelivered) {
  ASSERT_EQ(Open("/a?size=2500000&framing=close"), FallbackLength);
  EXPECT_EQ(ReadToEnd(300'000), 2'500'000);
  hostEvents.clear();
  EXPECT_EQ(ReadChecked(10), 0);
  EXPECT_TRUE(hostEvents.empty()) << "a read at the end of an ended download waited";
  CloseStream();
  // Cut short of its length at every try: everything up to the cut once the
  // retry budget is spent, the last read short.
  SetSleepDivisor(20);
  ASSERT_EQ(Open("/a?size=5000000&drop_after=3700000"), 5'000'000);
  EXPECT_EQ(ReadToEnd(70'000), 3'700'000);
  EXPECT_EQ(Position(), 3'700'000);
}

// The read that gets less than it asked for tells the host why: the
// stream's end, or a connection that broke and was not rejoined (no ranges
// here to rejoin it by).
TEST_F(Read, AShortReadSaysWhetherTheStreamEndedOrWasCut) {
  const struct {
    const char* target;
    std::int64_t delivered;
    int kind;
    const char* text;
  } cases[] = {
      {"/a?size=300000", 300'000, HTTPMEDIA_OUTCOME_ENDED, "every byte was delivered"},
      {"/a?size=300000&framing=close", 300'000, HTTPMEDIA_OUTCOME_ENDED,
       "the body ended at byte 300000"},
      {"/a?size=4000000&drop_after=1500000", 1'500'000, HTTPMEDIA_OUTCOME_CUT,
       "cut at byte 1500000 of 4000000"},
      {"/a?size=4000000&framing=close&drop_after=1500000&drop=rst", 1'500'000,
       HTTPMEDIA_OUTCOME_CUT, "cut at byte 1500000 (the connection broke) and not rejoined"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    SetSleepDivisor(1);
    ASSERT_GT(Open(c.target), 0);
    // A cut is asked for again for the whole retry budget before it is told:
    // its pauses run sped up.
    SetSleepDivisor(20);
    EXPECT_EQ(ReadToEnd(65'536), c.delivered);
    HttpMediaOutcome outcome;
    EXPECT_EQ(HttpMediaLastOutcome(&outcome), c.kind);
    EXPECT_NE(std::string(outcome.text).find(c.text), std::string::npos) << outcome.text;
    CloseStream();
  }
}

// Without a length or a strong validator the body cannot be fetched again (a
// second request for a live stream gives other bytes): a seek below the
// window fails, and the host goes on from where it was.
TEST_F(Read, PositionsTheRingCannotServeFailTheSeekAndStayPut) {
  StartLog();
  ASSERT_EQ(Open("/a?size=10000000&framing=chunked&validator=weak"), FallbackLength);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(ReadChecked(900'000), 900'000);
  WaitUntilDownloadSettles();
  SetSleepDivisor(100);
  hostPolls = 0;
  // Long overwritten: the seek cannot be served and says so at once.
  EXPECT_EQ(SeekStream(100, 0), -1);
  EXPECT_EQ(Position(), 4'500'000);
  EXPECT_EQ(SeekStream(-4'400'000, 1), -1);
  EXPECT_EQ(Position(), 4'500'000);
  EXPECT_EQ(SeekStream(-5, 0), -1);
  EXPECT_EQ(Position(), 4'500'000);
  EXPECT_EQ(hostPolls.load(), 0);
  for (const char* line : {"seek to 100 refused: below the ring", "the stream has no length",
                           "seek to -5 refused: a negative position"}) {
    EXPECT_NE(LogText().find(line), std::string::npos) << line << "\n" << LogText();
  }
  EXPECT_EQ(ReadChecked(10), 10);
  // The lowest position still held is served, one below it is not.
  const std::int32_t floor = static_cast<std::int32_t>(WindowFloor());
  ASSERT_EQ(SeekStream(floor, 0), 0);  // within the seek margin of the writer
  EXPECT_EQ(ReadChecked(10), 10);
  ASSERT_EQ(SeekStream(floor - 1, 0), -1);
  EXPECT_EQ(Position(), floor + 10);
  EXPECT_EQ(ReadChecked(10), 10);
  EXPECT_EQ(server.Requests().size(), 2u) << "a request for a body without a length";
}

TEST_F(Read, AFiftyMegabyteBodyArrivesExactlyInMixedReads) {
  ASSERT_EQ(Open("/big?size=50000000"), 50'000'000);
  const std::int32_t sizes[] = {1, 4096, 65'536, 333'333, 7, 1'048'576, 20'000, 1'999'999};
  std::int64_t total = 0;
  for (std::size_t i = 0; total < 50'000'000 && !HasFailure(); ++i) {
    const std::int32_t delivered = ReadChecked(sizes[i % std::size(sizes)]);
    ASSERT_GT(delivered, 0) << "at " << total;
    total += delivered;
  }
  EXPECT_EQ(total, 50'000'000);
  EXPECT_EQ(ReadChecked(100), 0);
}

}  // namespace
}  // namespace httpmedia::testing
