// Where stream positions sit in the ring, and when the download may fetch.
#include "stream/ring.h"

#include "gtest/gtest.h"
#include "stream/stream_state.h"

namespace httpmedia {
namespace {

TEST(RingOffset, ReaderLapAndPreviousLapAtTheirEdges) {
  // Writer wrapped once, reader still in the first lap.
  EXPECT_EQ(RingOffsetOf(0, 0), 0);
  EXPECT_EQ(RingOffsetOf(2'999'999, 0), 2'999'999);
  EXPECT_EQ(RingOffsetOf(3'000'000, 0), std::nullopt);
  // Reader crossed: the first lap is now the previous lap, at the top.
  EXPECT_EQ(RingOffsetOf(2'999'999, 3'000'000), 2'999'999);
  EXPECT_EQ(RingOffsetOf(3'000'000, 3'000'000), 0);
  EXPECT_EQ(RingOffsetOf(5'999'999, 3'000'000), 2'999'999);
  EXPECT_EQ(RingOffsetOf(6'000'000, 3'000'000), std::nullopt);
  // One ring below the reader's base is the last position the ring maps.
  EXPECT_EQ(RingOffsetOf(3'000'000, 6'000'000), 0);
  EXPECT_EQ(RingOffsetOf(2'999'999, 6'000'000), std::nullopt);
  // Negative positions hold no byte, whatever the base.
  EXPECT_EQ(RingOffsetOf(-1, 0), std::nullopt);
  EXPECT_EQ(RingOffsetOf(-3'000'000, 0), std::nullopt);
  EXPECT_EQ(RingOffsetOf(-1, 3'000'000), std::nullopt);
}

TEST(DownloadEndAndWindow, FollowTheWriter) {
  Stream.LengthKnown = 1;
  Stream.Length = 10'000'000;
  Stream.WriterLapBase = 3'000'000;
  Stream.WriteOffset = 20'000;
  Stream.TransferEnd = 3'040'000;  // a chunk in flight
  EXPECT_EQ(DownloadEnd(), 3'020'000);
  EXPECT_EQ(WindowFloor(), 40'001);
  // Settled (everything up to the length here, or ended): the writer will
  // not come back for the oldest byte.
  Stream.Length = 3'020'000;
  Stream.TransferEnd = 3'020'000;
  EXPECT_EQ(WindowFloor(), 20'000);
  Stream.Length = 10'000'000;
  Stream.StreamEnded = 1;
  EXPECT_EQ(WindowFloor(), 20'000);
  Stream.StreamEnded = 0;
  Stream.TransferEnd = 1'000;
  EXPECT_EQ(WindowFloor(), 0);
  Stream.Length = 0;
  Stream.WriterLapBase = 0;
  Stream.WriteOffset = 0;
  Stream.TransferEnd = 0;
}

constexpr std::int64_t Big = 1'000'000'000;

TEST(Admission, StopsAtTheLengthAndAtTheReadAheadLimit) {
  EXPECT_EQ(Admit(0, 0, 500'000, 0, 500'000), Admission::Idle);
  EXPECT_EQ(Admit(0, 0, 499'999, 0, 500'000), Admission::Transfer);
  // More than 2,000,000 ahead of the host within its lap: one chunk past.
  EXPECT_EQ(Admit(0, 0, 2'000'000, 0, Big), Admission::Transfer);
  EXPECT_EQ(Admit(0, 0, 2'020'000, 0, Big), Admission::Idle);
  EXPECT_EQ(Admit(0, 0, 2'020'000, 20'000, Big), Admission::Transfer);
}

TEST(Admission, ALapAheadKeepsTheReserveBehindTheHost) {
  // Host at 1,000,000: exactly the reserve behind is still free to fill.
  EXPECT_EQ(Admit(0, 3'000'000, 0, 1'000'000, Big), Admission::Transfer);
  EXPECT_EQ(Admit(0, 3'000'000, 20'000, 1'000'000, Big), Admission::Idle);
  // A host exactly at the write offset is a lap behind the writer, not ahead.
  EXPECT_EQ(Admit(0, 3'000'000, 500'000, 500'000, Big), Admission::Transfer);
  EXPECT_EQ(Admit(0, 3'000'000, 500'000, 500'001, Big), Admission::Idle);
  // The same distances in the reader's own lap do not hold the writer back.
  EXPECT_EQ(Admit(0, 0, 20'000, 1'000'000, Big), Admission::Transfer);
}

TEST(Admission, ASecondLapAheadWaitsForTheReader) {
  // A full lap wraps at once when the reader is in the writer's lap...
  EXPECT_EQ(Admit(3'000'000, 3'000'000, 3'000'000, 4'000'000, Big), Admission::Wrap);
  // ...but not a lap ahead of it, however far the host has seeked: the next
  // lap would be stored under the wrong base.
  EXPECT_EQ(Admit(0, 3'000'000, 3'000'000, 9'000'000, Big), Admission::Idle);
  // A far target within the writer's lap is fetched towards at once.
  EXPECT_EQ(Admit(0, 0, 40'000, 9'000'000, Big), Admission::Transfer);
}

TEST(WriterLap, AReaderPastItsLapMovesIntoTheWriterLapOnlyWhenItIsAhead) {
  Stream.ReaderLapBase = 0;
  Stream.WriterLapBase = 0;
  FollowWriterLap(9'000'000);
  EXPECT_EQ(Stream.ReaderLapBase.load(), 0);
  Stream.WriterLapBase = 3'000'000;  // wrapped at the end of the first lap
  Stream.TransferEnd = 3'000'000;
  FollowWriterLap(2'999'999);
  EXPECT_EQ(Stream.ReaderLapBase.load(), 0);
  FollowWriterLap(3'000'000);
  EXPECT_EQ(Stream.ReaderLapBase.load(), 3'000'000);
  Stream.ReaderLapBase = 0;
  Stream.WriterLapBase = 0;
  Stream.TransferEnd = 0;
}

TEST(WriterLap, AFullLapWrapsOneLapAheadOfTheReader) {
  // Where the last chunk of the lap leaves the record. Where the rules are
  // checked, a wrap that stored the base first would stop between its stores.
  Stream.Length = 10'000'000;
  Stream.WriteOffset = RingSize;
  Stream.TransferEnd = RingSize;
  WrapWriter();
  EXPECT_EQ(Stream.WriterLapBase.load(), RingSize);
  EXPECT_EQ(Stream.WriteOffset.load(), 0);
  EXPECT_EQ(DownloadEnd(), RingSize);
  EXPECT_EQ(Stream.ReaderLapBase.load(), 0);
  Stream.Length = 0;
  Stream.WriterLapBase = 0;
  Stream.TransferEnd = 0;
}

#if defined(HTTPMEDIA_CHECK_INVARIANTS)
TEST(RingRulesDeathTest, ABrokenLapRuleStopsTheProcessNamingTheRule) {
  EXPECT_DEATH(
      {
        Stream.WriterLapBase = 2 * RingSize;  // two laps ahead of the reader
        CheckLaps();
      },
      "broken rule: the writer is in the reader's lap or one lap ahead");
}
#endif

}  // namespace
}  // namespace httpmedia
