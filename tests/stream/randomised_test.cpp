// A seeded, reproducible mix of reads and seeks over bodies of different
// sizes and shapes. Every byte delivered must be the body's byte at its
// position, and the position must move by exactly what was delivered.
#include <algorithm>
#include <random>
#include <sstream>

#include "engine_fixture.h"
#include "stream/ring.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {
namespace {

struct Shape {
  const char* name;
  const char* query;  // appended to size=N
  bool drops;         // the query ends in drop_after=, the position follows
  bool ranges;        // the server serves byte ranges
  bool refetchable;   // a Content-Length or a strong validator: fetched again
};

// Without ranges but with a length or a strong validator, positions the ring
// no longer holds are fetched again from the body's start; with neither (a
// live stream looks like that) they cannot be.
constexpr Shape Shapes[] = {
    {"normal", "", false, false, true},
    {"throttled", "&rate=40000000", false, false, true},
    {"chunked", "&framing=chunked", false, false, true},
    {"chunked, weak ETag", "&framing=chunked&validator=weak", false, false, false},
    // Cut once: the body is fetched again and read on past the cut.
    {"cut short", "&faults=2&drop_after=", true, false, true},
    {"ranges", "&ranges=1", false, true, true},
    {"ranges, dropping", "&ranges=1&drop_after=", true, true, true},
    {"no ranges, ETag", "&etag=r1", false, false, true},
    {"no ranges, Last-Modified", "&last_modified=Mon,%2002%20Jan%202006", false, false, true},
    // Replaced after the stream's request: ranges meet the new version and
    // are given up, and with them fetching again, so the stream reads as one
    // that can serve nothing below its window.
    {"ranges, replaced, If-Range honoured", "&ranges=1&replaced=honour", false, false, false},
    {"ranges, replaced, If-Range ignored", "&ranges=1&replaced=ignore", false, false, false},
    {"ranges, busy, dropping", "&ranges=1&busy=503&busy_count=3&retry_after=1&drop_after=", true,
     true, true},
};

class Randomised : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(Randomised, EveryDeliveredByteIsTheBodyByteAtItsPosition) {
  const std::uint32_t seed = 20261209u + static_cast<std::uint32_t>(GetParam());
  std::mt19937 random(seed);
  auto uniform = [&](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  const Shape& shape = Shapes[GetParam() % std::size(Shapes)];
  const std::int64_t size = uniform(500'000, 12'000'000);
  std::string target = "/r?size=" + std::to_string(size) + shape.query;
  std::int64_t dataEnd = size;
  if (shape.drops) {
    const std::int64_t dropAt = uniform(size / 3, size - 1);
    target += std::to_string(dropAt);
    // With ranges the rest is fetched after every drop; without, a drop of
    // the first answers only is survived by fetching the body again.
    const bool survived = std::string_view(shape.query).find("faults=") != std::string::npos;
    if (!shape.ranges && !survived) dataEnd = dropAt;
  }
  SetSleepDivisor(20);  // waits that would time out do so in a second
  const std::int32_t length = Open(target);
  ASSERT_GT(length, 0) << "seed " << seed;

  std::ostringstream trail;
  std::int64_t deliveredTotal = 0;
  int emptyReads = 0;
  // A seek that fails leaves the position; one whose wait for the writer ran
  // out has moved it to its target. A target inside the data fails only
  // that way where the body can be fetched again.
  auto checkSeek = [&](std::int32_t result, std::int64_t before, std::int64_t targetPosition) {
    if (result == 0) {
      EXPECT_EQ(Position(), targetPosition) << "seed " << seed;
      return;
    }
    EXPECT_EQ(result, -1) << "seed " << seed;
    if (targetPosition < 0) {
      EXPECT_EQ(Position(), before) << "seed " << seed;
    } else if (shape.refetchable && targetPosition < dataEnd) {
      EXPECT_EQ(Position(), targetPosition) << "seed " << seed << ": " << trail.str();
    } else {
      EXPECT_TRUE(Position() == before || Position() == targetPosition) << "seed " << seed;
    }
  };
  // The most polls one call made: one wait, whatever it chained, and the
  // moments a fetch again takes to stop the download it replaces.
  int longestCall = 0;
  for (int step = 0; step < 1500 && !HasFailure(); ++step) {
    const std::int32_t before = Position();
    const int pollsBefore = hostPolls.load();
    const std::size_t eventsBefore = hostEvents.size();
    // Past the end of the data there is nothing left to try but a jump.
    const int choice = before >= dataEnd ? 99 : static_cast<int>(uniform(0, 99));

    if (choice < 70) {
      const auto count =
          static_cast<std::int32_t>(uniform(0, 3) == 0 ? uniform(0, 600'000) : uniform(0, 70'000));
      trail << "read " << count << " at " << before << "; ";
      const std::int32_t delivered = ReadChecked(count);
      deliveredTotal += delivered;
      emptyReads += delivered == 0 ? 1 : 0;
      const bool timedOut =
          std::find(hostEvents.begin() + static_cast<std::ptrdiff_t>(eventsBefore),
                    hostEvents.end(), "timeout") != hostEvents.end();
      // A download that ended early (a range met a replaced body) ends the data there.
      const std::int64_t readsEnd =
          Stream.StreamEnded.load() != 0 ? std::min(dataEnd, DownloadEnd()) : dataEnd;
      if (before >= 0 && before < readsEnd && delivered < count && before + delivered < readsEnd) {
        // Short of the data's end only when the position left the window,
        // or with what came before the time ran out; and with ranges, a
        // read of what can be ahead never comes up empty.
        EXPECT_TRUE(delivered == 0 || timedOut) << "seed " << seed << ": " << trail.str();
        // (Under a sanitizer the shortened wait may run out first.)
        EXPECT_FALSE(shape.ranges && count <= AheadLimit && !UnderSanitizer)
            << "seed " << seed << ": " << trail.str();
      }
    } else if (choice < 85) {
      // Backward within what the ring keeps, or forward within its window.
      const std::int64_t targetPosition =
          uniform(0, 1) == 0 ? before - uniform(0, 900'000) : before + uniform(0, 2'000'000);
      trail << "seek to " << targetPosition << "; ";
      checkSeek(SeekStream(static_cast<std::int32_t>(targetPosition), 0), before, targetPosition);
    } else if (choice < 95) {
      const std::int64_t offset = uniform(-900'000, 2'500'000);
      trail << "seek by " << offset << "; ";
      checkSeek(SeekStream(static_cast<std::int32_t>(offset), 1), before, before + offset);
    } else {
      // Anywhere, even past the end: far ahead of the download or long
      // overwritten.
      const std::int64_t targetPosition = uniform(0, size + 100'000);
      trail << "jump to " << targetPosition << "; ";
      checkSeek(SeekStream(static_cast<std::int32_t>(targetPosition), 0), before, targetPosition);
    }
    longestCall = std::max(longestCall, hostPolls.load() - pollsBefore);
    if (trail.tellp() > 4000) trail.str("");
  }
  EXPECT_LE(longestCall, 2001 + (UnderSanitizer ? 20'000 : 1000)) << "seed " << seed;
  ASSERT_FALSE(HasFailure()) << "seed " << seed << ": " << trail.str();
  // Every request beyond the open's two fetched a range from a server that
  // offers them, or the whole body again where ranges are not served.
  const bool offersRanges = std::string_view(shape.query).find("ranges=1") != std::string::npos;
  const std::vector<RecordedRequest> requests = server.Requests();
  for (std::size_t i = 2; i < requests.size(); ++i) {
    const bool range = requests[i].HasHeader("Range");
    EXPECT_TRUE(range ? offersRanges : shape.refetchable && !shape.ranges)
        << "seed " << seed << ", request " << i;
  }
  if (!shape.refetchable && !offersRanges) {
    EXPECT_EQ(requests.size(), 2u) << "seed " << seed;
  }
  // The mix must exercise delivery, not only refusals; a replaced body ends
  // the stream at the first range that meets the new version.
  const bool replaced = std::string_view(shape.query).find("replaced") != std::string::npos;
  EXPECT_GT(deliveredTotal, replaced ? std::min<std::int64_t>(size, AheadLimit) : size)
      << "seed " << seed << ", " << emptyReads << " empty reads";
  // Whatever happened, a fresh open still streams the whole body exactly.
  CloseStream();
  SetSleepDivisor(1);
  ASSERT_GT(Open(target), 0);
  EXPECT_EQ(ReadToEnd(262'144), dataEnd) << "seed " << seed;
}

INSTANTIATE_TEST_SUITE_P(Seeds, Randomised, ::testing::Range(0, 33));

}  // namespace
}  // namespace httpmedia::testing
