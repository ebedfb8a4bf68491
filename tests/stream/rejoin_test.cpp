// Drops where no byte range can resume the stream: the URL asked for again,
// a file read forward to the cut, a live broadcast joined where it stands.
#include "stream/rejoin.h"

#include <cstring>

#include "engine_fixture.h"
#include "httpmedia/httpmedia_host.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {
namespace {

class Rejoin : public EngineTest {
 protected:
  // Reads `total` bytes of a broadcast in 8 KiB reads and checks every word:
  // a head word follows the head word before it or starts a head, and every
  // broadcast word lies beyond the one before it, by one within an answer.
  // Returns how many times the broadcast words jumped (joins), -1 at a read
  // that came back short.
  int ReadBroadcast(std::int64_t total) {
    std::vector<std::uint8_t> buffer(8192);
    std::uint64_t lastWord = 0;
    std::uint64_t nextHead = 0;
    int jumps = 0;
    for (std::int64_t read = 0; read < total; read += 8192) {
      const std::int32_t got = ReadStream(buffer.data(), 8192);
      if (got != 8192) {
        ADD_FAILURE() << "a read of the broadcast gave " << got << " at " << read;
        return -1;
      }
      for (std::size_t i = 0; i < buffer.size(); i += 8) {
        std::uint64_t word = 0;
        for (int b = 7; b >= 0; --b) word = word << 8 | buffer[i + b];
        if ((word & 0xFFFF000000000000ull) == LiveHeadFlag) {
          const std::uint64_t index = word & 0xFFFFFFFFull;
          EXPECT_TRUE(index == nextHead || index == 0) << "head word " << index << " at " << read;
          nextHead = index + 1;
          continue;
        }
        nextHead = 0;
        if (word <= lastWord) {
          ADD_FAILURE() << "word " << word << " after " << lastWord << " at " << read + i;
          return -1;
        }
        if (lastWord != 0 && word != lastWord + 1) ++jumps;
        lastWord = word;
      }
    }
    return jumps;
  }

  std::size_t PlainRequests() {
    std::size_t plain = 0;
    for (const RecordedRequest& request : server.Requests()) {
      EXPECT_FALSE(request.HasHeader("Range")) << "a range request";
      plain += request.HasHeader("Range") ? 0 : 1;
    }
    return plain;
  }
};

// A broadcast at 400 KB/s, no length and no validator, read in 8 KiB reads:
// every way of cutting it costs the host a join, never the stream, and no
// read waits out its deadline.
TEST_F(Rejoin, ABroadcastCutAnyWayIsJoinedWhereItStands) {
  StartLog();
  struct Cut {
    std::string query;
    int joins;  // at least
    std::int64_t read = 450'000;
  };
  const Cut cuts[] = {
      // FIN every 1,000,000 bytes, read past one ring to seek below it.
      {"drop_after=1000000&rate=4000000", 3, 3'400'000},
      {"drop_after=100000", 3},                  // FIN every 100,000 bytes
      {"drop_after=100000&drop=rst", 3},         // RST
      {"drop_after=100000&framing=chunked", 3},  // a chunked body cut short
      {"stall_after=60000&faults=2", 1},         // silent: the stall limit
      {"drop_after=100000&faults=2&busy=503&busy_count=4&busy_after=2", 1},  // an outage
      {"drop_after=100000&live_head=4096", 3},  // an Ogg or WebM head on every answer
      {"drop_after=100000&icy=1", 3},           // a legacy radio server
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.query);
    server.ClearRequests();
    ASSERT_EQ(Open("/live?live=1&rate=400000&size=100000000&" + cut.query), FallbackLength);
    hostEvents.clear();
    EXPECT_GE(ReadBroadcast(cut.read), cut.joins);
    EXPECT_TRUE(StreamIsBroadcast());
    EXPECT_FALSE(StreamWasCut());
    for (const std::string& event : hostEvents) EXPECT_NE(event, "timeout");
    if (cut.read > RingSize) {
      // A broadcast has no past: below the ring is refused at once, and no
      // request goes out for it.
      const std::size_t requests = PlainRequests();
      EXPECT_EQ(SeekStream(0, 0), -1);
      EXPECT_EQ(PlainRequests(), requests);
    }
    CloseStream();
  }
  EXPECT_NE(LogText().find("joined: a live broadcast"), std::string::npos) << LogText();
}

// An outage that outlasts the retry budget ends the stream where its bytes
// end, as a cut, not an end.
TEST_F(Rejoin, ABroadcastDownForLongerThanTheBudgetIsCutNotEnded) {
  SetSleepDivisor(20);
  StartLog();
  ASSERT_EQ(Open("/live?live=1&rate=400000&size=100000000&drop_after=100000&faults=2&busy=503"
                 "&busy_count=999&busy_after=2"),
            FallbackLength);
  EXPECT_TRUE(WaitUntil([] { return Stream.Finished.load() != 0; }));
  std::vector<std::uint8_t> buffer(8192);
  std::int64_t total = 0;
  while (const std::int32_t got = ReadStream(buffer.data(), 8192)) total += got;
  EXPECT_EQ(total, 100'000);
  EXPECT_EQ(HttpMediaLastOutcome(nullptr), HTTPMEDIA_OUTCOME_CUT);
  EXPECT_TRUE(StreamWasCut());
  EXPECT_NE(LogText().find("the stream was cut there, not ended"), std::string::npos) << LogText();
  // The budget's tries (at once, then after 0.25, 0.5, 1, 2, 4 and 4 s) and
  // none past it.
  EXPECT_NE(LogText().find(" and 7 tries: "), std::string::npos) << LogText();
}

// Files on servers without ranges, cut once: asked for again, read forward
// to the cut and on to the end, every byte right; a file whose new answer
// differs beyond its start ends where the ring found it, never spliced.
TEST_F(Rejoin, AFileWithoutRangesCutIsFetchedAgainAndReadOnToItsEnd) {
  struct File {
    std::string query;
    std::int32_t length;  // the length Open reports
    std::int64_t delivered;
    std::size_t requests;
    bool cut = false;
  };
  const File files[] = {
      {"", 8'000'000, 8'000'000, 3},                                      // length and validators
      {"&validator=none", 8'000'000, 8'000'000, 3},                       // a length alone
      {"&framing=chunked", FallbackLength, 8'000'000, 3},                 // a validator alone
      {"&framing=chunked&validator=none", FallbackLength, 8'000'000, 3},  // the bytes decide
      // Close-delimited: its end looks like a cut, and is fetched again once
      // to see the body end there too.
      {"&framing=close&validator=none", FallbackLength, 8'000'000, 4},
      // Replaced before the fetch again, from 4,000,000 on: the ring still
      // holds those bytes and shows the difference.
      {"&framing=chunked&validator=none&replaced_after=2&replaced_from=4000000", FallbackLength,
       5'000'000, 3, true},
      // Replaced whole, validators kept: a file is never joined.
      {"&framing=chunked&replaced_after=2", FallbackLength, 5'000'000, 3, true},
  };
  for (const File& file : files) {
    SCOPED_TRACE(file.query);
    server.ClearRequests();
    ASSERT_EQ(Open("/f?size=8000000&drop_after=5000000&faults=2" + file.query), file.length);
    EXPECT_EQ(ReadToEnd(65'536), file.delivered);
    EXPECT_EQ(PlainRequests(), file.requests);
    EXPECT_FALSE(StreamIsBroadcast());
    EXPECT_EQ(StreamWasCut(), file.cut);
    EXPECT_EQ(HttpMediaLastOutcome(nullptr),
              file.cut ? HTTPMEDIA_OUTCOME_CUT : HTTPMEDIA_OUTCOME_ENDED);
    CloseStream();
  }
}

// A seek below the ring with neither a length nor a validator: the body
// asked for again is the stream's when it begins with the stream's first
// 64 KiB, and is read forward to the target; one that begins otherwise is a
// broadcast going on (or a file replaced), which has no past: the seek fails,
// the stream reads on where it was, and no later seek asks again.
TEST_F(Rejoin, ASeekBelowTheRingWithoutLengthOrValidatorGoesByTheStart) {
  StartLog();
  struct Case {
    std::string query;
    bool served;
  };
  const Case cases[] = {
      {"size=8000000&framing=chunked&validator=none", true},
      {"size=8000000&framing=chunked&validator=none&replaced_after=2", false},
      {"size=100000000&live=1&rate=4000000", false},
  };
  constexpr std::int32_t past = 416 * 8192;  // a ring and more, in whole 8 KiB reads
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    server.ClearRequests();
    const bool live = c.query.find("live=1") != std::string::npos;
    ASSERT_EQ(Open("/s?" + c.query), FallbackLength);
    if (live) {
      ASSERT_EQ(ReadBroadcast(past), 0);
    } else {
      ASSERT_EQ(ReadChecked(past), past);
    }
    ASSERT_TRUE(WaitUntil([] { return WindowFloor() > 100; }));
    EXPECT_EQ(SeekStream(100, 0), c.served ? 0 : -1);
    EXPECT_EQ(PlainRequests(), 3u);
    if (c.served) {
      EXPECT_EQ(Position(), 100);
      EXPECT_EQ(ReadToEnd(65'536), 8'000'000 - 100);
      EXPECT_EQ(HttpMediaLastOutcome(nullptr), HTTPMEDIA_OUTCOME_ENDED);
      CloseStream();
      continue;
    }
    EXPECT_TRUE(StreamIsBroadcast());
    EXPECT_EQ(Position(), past);
    EXPECT_EQ(SeekStream(100, 0), -1);
    EXPECT_EQ(PlainRequests(), 3u);
    if (live) {
      EXPECT_EQ(ReadBroadcast(100'000), 0);
    } else {
      EXPECT_EQ(ReadChecked(100'000), 100'000);
    }
    CloseStream();
  }
  EXPECT_NE(LogText().find("the answer begins with other bytes than the stream: a live broadcast"),
            std::string::npos)
      << LogText();
}

// A file seen to change by a seek's fetch again is not asked for again when
// it drops: the drop is told as a cut, not as its end.
TEST_F(Rejoin, AFileSeenToChangeIsNotFetchedAgainAndItsDropIsACut) {
  ASSERT_EQ(
      Open("/f?size=8000000&drop_after=5000000&faults=2&framing=chunked&etag=x&replaced_after=2"),
      FallbackLength);
  ASSERT_EQ(ReadChecked(2'500'000), 2'500'000);
  ASSERT_TRUE(WaitUntil([] { return WindowFloor() > 0; }));
  EXPECT_EQ(SeekStream(0, 0), -1);
  EXPECT_EQ(ReadToEnd(65'536), 2'500'000);
  EXPECT_EQ(PlainRequests(), 3u);
  EXPECT_EQ(HttpMediaLastOutcome(nullptr), HTTPMEDIA_OUTCOME_CUT);
}

}  // namespace
}  // namespace httpmedia::testing
