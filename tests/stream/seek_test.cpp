// Seeking: reporting the position, absolute and relative moves, their
// waits, and targets far ahead of the download.
#include <limits>

#include "engine_fixture.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {
namespace {

using Seek = EngineTest;

TEST_F(Seek, OriginOneWithZeroReportsAndOtherOriginsChangeNothing) {
  ASSERT_EQ(Open("/a?size=1000000"), 1'000'000);
  ASSERT_EQ(ReadChecked(1234), 1234);
  EXPECT_EQ(SeekStream(0, 1), 1234);
  EXPECT_EQ(SeekStream(500, 2), 0);
  EXPECT_EQ(SeekStream(500, -1), 0);
  EXPECT_EQ(Position(), 1234);
}

TEST_F(Seek, ReturnsAtOnceWhereNoWaitIsNeeded) {
  ASSERT_EQ(Open("/a?size=10000000"), 10'000'000);
  WaitUntilDownloadSettles();
  hostPolls = 0;
  // The writer is in the reader's lap: any absolute target.
  EXPECT_EQ(SeekStream(1'500'000, 0), 0);
  EXPECT_EQ(SeekStream(9'000'000, 0), 0);
  // Forward, relatively, up to the end of the writer's lap.
  ASSERT_EQ(SeekStream(0, 0), 0);
  EXPECT_EQ(SeekStream(2'900'000, 1), 0);
  ASSERT_EQ(SeekStream(0, 0), 0);
  EXPECT_EQ(SeekStream(3'000'000, 1), 0);
  EXPECT_EQ(hostPolls.load(), 0);
  EXPECT_TRUE(hostEvents.empty());
}

// Paused with the writer a lap ahead at the reserve it keeps behind the host,
// a seek back into the oldest bytes the ring keeps (within the seek margin
// above the write offset) is served at once: once the target is stored the
// writer keeps off it, so there is nothing to wait for. Down to the lowest
// position held, after a first lap and after a later one.
TEST_F(Seek, IntoTheOldestBytesOfTheRingWhilePausedIsServedAtOnce) {
  const std::vector<std::vector<std::int32_t>> rows = {{20'001, 70'000, 119'999},
                                                       {3'020'001, 3'035'000, 3'105'000}};
  for (const std::vector<std::int32_t>& targets : rows) {
    SetSleepDivisor(1);
    ASSERT_EQ(Open("/a?size=10000000"), 10'000'000);
    // A ring and a chunk below the first target, then pause.
    while (Position() < targets[0] - 20'001 + 1'000'000 && !HasFailure()) ReadChecked(500'000);
    ASSERT_TRUE(WaitUntil([&] { return WindowFloor() == targets[0]; }));
    ASSERT_GT(Stream.WriterLapBase.load(), Stream.ReaderLapBase.load());
    SetSleepDivisor(100);
    hostPolls = 0;
    hostEvents.clear();
    for (const std::int32_t target : targets) {
      EXPECT_EQ(SeekStream(target, 0), 0);
      EXPECT_EQ(Position(), target);
      EXPECT_EQ(ReadChecked(1000), 1000);
    }
    EXPECT_EQ(SeekStream(targets[1] - Position(), 1), 0);
    EXPECT_EQ(ReadChecked(1000), 1000);
    EXPECT_EQ(hostPolls.load(), 0);
    EXPECT_TRUE(hostEvents.empty());
    EXPECT_EQ(WindowFloor(), targets[0]) << "the writer moved onto the host's bytes";
    CloseStream();
  }
}

TEST_F(Seek, FarForwardTargetsAreReachedAtNetworkSpeed) {
  ASSERT_EQ(Open("/a?size=12000000"), 12'000'000);
  EXPECT_EQ(SeekStream(9'500'000, 0), 0);
  // Until the host's read follows, the writer a lap ahead fills that lap
  // and stops at its end, not wrapping over its own bytes.
  EXPECT_TRUE(WaitUntil([] {
    return Stream.WriteOffset.load() == RingSize &&
           Stream.WriterLapBase.load() != Stream.ReaderLapBase.load();
  }));
  EXPECT_EQ(ReadChecked(100'000), 100'000);
  EXPECT_EQ(SeekStream(1'500'000, 1), 0);
  EXPECT_EQ(ReadChecked(100'000), 100'000);
  // Long overwritten: the body is read again from its start up to there.
  EXPECT_EQ(SeekStream(2'000'000, 0), 0);
  EXPECT_EQ(ReadChecked(10), 10);
  CloseStream();

  ASSERT_EQ(Open("/a?size=12000000"), 12'000'000);
  EXPECT_EQ(SeekStream(8'000'000, 1), 0);
  EXPECT_EQ(ReadChecked(1'000'000), 1'000'000);
  EXPECT_EQ(SeekStream(-900'000, 1), 0);
  EXPECT_EQ(ReadToEnd(500'000), 12'000'000 - 8'100'000);
}

TEST_F(Seek, ARelativeTargetBeyondThe32BitRangeFailsWithoutMoving) {
  StartLog();
  ASSERT_EQ(Open("/a?size=1000000"), 1'000'000);
  ASSERT_EQ(SeekStream(2'000'000'000, 0), 0);
  EXPECT_EQ(SeekStream(500'000'000, 1), -1);
  EXPECT_EQ(Position(), 2'000'000'000);
  EXPECT_NE(LogText().find("seek to 2500000000 refused: a signed 32-bit stream position cannot"),
            std::string::npos)
      << LogText();
  // Nor is a negative position ever taken: no byte of a stream lies there.
  ASSERT_EQ(SeekStream(1000, 0), 0);
  EXPECT_EQ(SeekStream(-2'000'000'000, 0), -1);
  EXPECT_EQ(SeekStream(std::numeric_limits<std::int32_t>::min(), 1), -1);
  EXPECT_EQ(SeekStream(-1001, 1), -1);
  EXPECT_EQ(Position(), 1000);
  EXPECT_EQ(ReadChecked(10), 10);
  // The largest position itself can be reached.
  ASSERT_EQ(SeekStream(2'000'000'000, 0), 0);
  EXPECT_EQ(SeekStream(147'483'647, 1), 0);
  EXPECT_EQ(Position(), std::numeric_limits<std::int32_t>::max());
}

TEST_F(Seek, ARelativeTargetPastTheEndOfAnEndedDownloadFails) {
  ASSERT_EQ(Open("/a?size=1000000&framing=close"), FallbackLength);
  EXPECT_EQ(SeekStream(5'000'000, 1), -1);
  EXPECT_EQ(Position(), 5'000'000);
  EXPECT_EQ(ReadChecked(10), 0);
  ASSERT_EQ(SeekStream(999'990, 0), 0);
  EXPECT_EQ(ReadChecked(100), 10);
}

}  // namespace
}  // namespace httpmedia::testing
