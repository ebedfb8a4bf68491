// The download task: how far it runs ahead, where it wraps, and how it ends.
#include "engine_fixture.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {
namespace {

using Download = EngineTest;

TEST_F(Download, StopsAtTheLengthWithoutEndingTheStream) {
  ASSERT_EQ(Open("/a?size=1000000"), 1'000'000);
  WaitUntilDownloadSettles();
  EXPECT_EQ(Stream.WriteOffset.load(), 1'000'000);
  EXPECT_EQ(Stream.WriterLapBase.load(), 0);
  EXPECT_EQ(Stream.StreamEnded.load(), 0u);
  EXPECT_EQ(Stream.Finished.load(), 0u);
}

TEST_F(Download, RunsExactly2020000AheadOfAHostThatNeverReads) {
  ASSERT_EQ(Open("/a?size=10000000"), 10'000'000);
  WaitUntilDownloadSettles();
  EXPECT_EQ(DownloadEnd(), 2'020'000);
  EXPECT_EQ(Stream.StreamEnded.load(), 0u);
}

TEST_F(Download, WrapsAfter150FullChunksAndKeepsTheReserveBehindTheHost) {
  ASSERT_EQ(Open("/a?size=10000000"), 10'000'000);
  ASSERT_EQ(ReadChecked(1'000'000), 1'000'000);
  WaitUntilDownloadSettles();
  // 150 chunks filled the ring; one more came within the reserve.
  EXPECT_EQ(Stream.WriterLapBase.load(), 3'000'000);
  EXPECT_EQ(Stream.ReaderLapBase.load(), 0);
  EXPECT_EQ(Stream.WriteOffset.load(), 20'000);
}

TEST_F(Download, ABodyOfUnknownLengthEndsTheStreamAtItsEnd) {
  ASSERT_EQ(Open("/a?size=500000&framing=close"), FallbackLength);
  ASSERT_TRUE(WaitUntil([] { return Stream.Finished.load() != 0; }));
  EXPECT_EQ(Stream.StreamEnded.load(), 1u);
  EXPECT_EQ(DownloadEnd(), 500'000);
}

// The last transfer of a body of unknown length comes short: the end it
// announced comes down to what arrived, so that the ring serves the whole
// ring below the real end after it.
TEST_F(Download, ABodyOfUnknownLengthLargerThanTheRingKeepsItsLastRing) {
  constexpr std::int32_t End = 3'512'345;
  ASSERT_EQ(Open("/a?size=3512345&framing=chunked&validator=none"), FallbackLength);
  EXPECT_EQ(ReadToEnd(250'000), End);
  const std::size_t requests = server.Requests().size();
  ASSERT_EQ(SeekStream(End - RingSize + 1, 0), 0);
  EXPECT_EQ(ReadChecked(1000), 1000);
  EXPECT_EQ(server.Requests().size(), requests) << "served by a fetch again, not the ring";
  ASSERT_EQ(SeekStream(End - RingSize, 0), 0);
  EXPECT_EQ(ReadChecked(10), 10);
}

TEST_F(Download, ShortTransfersOfAThrottledBodyFillTheRingWithoutGaps) {
  ASSERT_EQ(Open("/a?size=3500000&rate=20000000&framing=chunked"), FallbackLength);
  EXPECT_EQ(ReadToEnd(250'000), 3'500'000);
  EXPECT_EQ(Stream.WriterLapBase.load(), 3'000'000);
}

}  // namespace
}  // namespace httpmedia::testing
