// The libavformat example end to end: a real demuxer reading a short media
// file through the plug-in from the loopback test server must see exactly the
// packets it sees reading the file itself. The MP4 keeps its index (the moov
// box) at the end, after about 5.6 MB of media, so opening it seeks from the
// start past the ring to the index and back to the media; with ranges the
// plug-in serves both jumps with Range requests, without them it downloads
// through to the index and fetches the file again from its start for the
// media.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "test_server.h"

namespace {

using httpmedia::testing::ProcessRun;
using httpmedia::testing::RunProcess;
using httpmedia::testing::ScratchDir;
using httpmedia::testing::TestServer;

constexpr std::uint64_t kRingSize = 3'000'000;

// How the plug-in reaches what the demuxer seeks to outside the ring.
enum class Served { kFrontToBack, kByRanges, kFromTheStartAgain };

struct DemuxCase {
  const char* name;
  const char* clip;   // "mp4" or "ts", made by SetUpTestSuite
  const char* shape;  // the test server's query, before file=
  // How the example reads the file for the reference output: "file" with
  // libavformat's file protocol (seekable, of known size), "pipe" from
  // standard input (neither), for a stream whose length the plug-in cannot
  // give either: the demuxer's timing estimates then take the same path;
  // "sizeless file" as a file, its size line being the one thing that differs;
  // "broadcast" for none: a broadcast joined after a cut is no file's bytes.
  const char* reference;
  int exit_code;
  Served served;
};

void PrintTo(const DemuxCase& c, std::ostream* out) { *out << c.name; }

class DemuxExample : public ::testing::TestWithParam<DemuxCase> {
 protected:
  // ffmpeg makes the clips once per test program: 4 s of a 1280x720 test
  // pattern (MPEG-4 part 2) and a sine (AAC), about 5.6 MB, written without
  // faststart so that the index comes last; and the same packets remuxed as
  // MPEG-TS, which a demuxer reads front to back.
  static void SetUpTestSuite() {
    scratch_ = new ScratchDir;
    made_ = RunProcess({HTTPMEDIA_FFMPEG,
                        "-nostdin",
                        "-loglevel",
                        "error",
                        "-f",
                        "lavfi",
                        "-i",
                        "testsrc2=size=1280x720:rate=25:duration=4",
                        "-f",
                        "lavfi",
                        "-i",
                        "sine=frequency=440:sample_rate=44100:duration=4",
                        "-c:v",
                        "mpeg4",
                        "-q:v",
                        "2",
                        "-c:a",
                        "aac",
                        "-shortest",
                        Clip("mp4")});
    if (made_.code != 0) return;
    made_ = RunProcess({HTTPMEDIA_FFMPEG, "-nostdin", "-loglevel", "error", "-i", Clip("mp4"), "-c",
                        "copy", "-f", "mpegts", Clip("ts")});
    if (made_.code != 0) return;
    made_ = RunProcess({HTTPMEDIA_FFMPEG, "-nostdin", "-loglevel", "error", "-i", Clip("mp4"), "-c",
                        "copy", "-movflags", "+faststart", Clip("fast.mp4")});
    if (made_.code != 0) return;
    // A minute of MP3 at 128 kb/s, about 960 KB: a radio station's stream.
    made_ = RunProcess({HTTPMEDIA_FFMPEG, "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=44100:duration=60", "-c:a", "libmp3lame",
                        "-b:a", "128k", Clip("mp3")});
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }
  static std::string Clip(const std::string& kind) { return scratch_->path() / ("clip." + kind); }

  static ScratchDir* scratch_;
  static ProcessRun made_;
  TestServer server_;
};

ScratchDir* DemuxExample::scratch_ = nullptr;
ProcessRun DemuxExample::made_;

TEST_P(DemuxExample, SeesThePacketsOfTheFileThroughThePlugin) {
  const DemuxCase& c = GetParam();
  ASSERT_EQ(made_.code, 0) << "ffmpeg could not make the clips: " << made_.Describe();
  const std::string clip = Clip(c.clip);
  const std::uint64_t clip_size = std::filesystem::file_size(clip);
  const bool broadcast = std::string(c.reference) == "broadcast";
  ASSERT_GT(clip_size, broadcast ? 500'000 : kRingSize + 2'000'000)
      << "the clip must take seeks out of the ring, or a broadcast past its cuts";

  const std::string url = server_.Url(std::string("/clip.") + c.clip + "?" + c.shape +
                                      (*c.shape != '\0' ? "&" : "") + "file=" + clip);
  const ProcessRun streamed =
      RunProcess({HTTPMEDIA_DEMUX, "--plugin=" HTTPMEDIA_PLUGIN, "--packets", url});
  ASSERT_EQ(streamed.code, c.exit_code) << streamed.Describe();
  if (broadcast) {
    // Cut after 100,000 bytes on the stream's answer and on the first join:
    // the packets go on past both cuts to the broadcast's last chunk, read
    // as the end, and each join asked for the URL once more.
    const auto total = streamed.out.rfind("\npackets: ");
    ASSERT_NE(total, std::string::npos) << streamed.out;
    const std::string count = streamed.out.substr(total + 11);
    const std::uint64_t bytes = std::stoull(count.substr(count.find(", ") + 2));
    EXPECT_GT(bytes, 300'000u) << count;
    EXPECT_NE(streamed.out.find("\nstream 0: audio mp3"), std::string::npos) << streamed.out;
    EXPECT_GE(server_.Requests().size(), 4u);
    return;
  }
  if (c.exit_code != 0) {
    // The example asks the plug-in why, and says it without the URL.
    EXPECT_NE(streamed.err.find("could not open the URL: the server answered 404 Not Found"),
              std::string::npos)
        << streamed.err;
    return;
  }

  const bool from_pipe = std::string(c.reference) == "pipe";
  const bool sizeless = from_pipe || std::string(c.reference) == "sizeless file";
  const ProcessRun direct =
      from_pipe ? RunProcess({HTTPMEDIA_DEMUX, "--file", "--packets", "pipe:0"}, {}, clip)
                : RunProcess({HTTPMEDIA_DEMUX, "--file", "--packets", clip});
  ASSERT_EQ(direct.code, 0) << direct.Describe();
  std::string expected = direct.out;
  const std::string sized = "\nsize: " + std::to_string(clip_size) + " bytes\n";
  if (sizeless && expected.find(sized) != std::string::npos) {
    expected.replace(expected.find(sized), sized.size(), "\nsize: unknown\n");
  }
  EXPECT_EQ(streamed.out, expected);
  EXPECT_NE(streamed.out.find(sizeless ? std::string("\nsize: unknown\n") : sized),
            std::string::npos)
      << streamed.out;
  EXPECT_NE(streamed.out.find("\nstream 1: audio aac"), std::string::npos) << streamed.out;

  std::vector<std::uint64_t> range_starts;
  const auto requests = server_.Requests();
  for (const auto& request : requests) {
    const std::string range = request.Header("Range");
    if (range.rfind("bytes=", 0) == 0) range_starts.push_back(std::stoull(range.substr(6)));
  }
  if (c.served != Served::kByRanges) {
    EXPECT_TRUE(range_starts.empty());
    // The open's probe and stream, and for each seek back below the ring one
    // more request for the whole file: a few, not one per read.
    if (c.served == Served::kFromTheStartAgain) {
      EXPECT_GE(requests.size(), 3u);
      EXPECT_LE(requests.size(), 6u);
    }
    return;
  }
  // Out to the index beyond the ring, then back below it to the media.
  const auto far = std::find_if(range_starts.begin(), range_starts.end(),
                                [](std::uint64_t start) { return start > kRingSize; });
  ASSERT_NE(far, range_starts.end()) << "no Range request beyond the ring";
  EXPECT_TRUE(std::any_of(far, range_starts.end(), [](std::uint64_t start) {
    return start < 1'000'000;
  })) << "no Range request back to the media";
}

INSTANTIATE_TEST_SUITE_P(
    Clips, DemuxExample,
    ::testing::Values(
        DemuxCase{"IndexAtTheEndThroughRanges", "mp4", "ranges=1", "file", 0, Served::kByRanges},
        // The stand-in length 1,400,000,000 is no size: AVSEEK_SIZE fails,
        // and a stream larger than the ring still demuxes front to back.
        DemuxCase{"UnknownLengthIsNoSize", "ts", "framing=chunked", "pipe", 0,
                  Served::kFrontToBack},
        // Without ranges the media behind the index has left the ring by the
        // time the demuxer comes back for it: the file is fetched again.
        DemuxCase{"IndexAtTheEndWithoutRanges", "mp4", "", "file", 0, Served::kFromTheStartAgain},
        DemuxCase{"IndexAtTheEndWithoutRangesWithAnETag", "mp4", "etag=clip", "file", 0,
                  Served::kFromTheStartAgain},
        // Index first, served chunked: the demuxer skips the media to the
        // end and comes back for it, which the strong ETag lets the plug-in
        // fetch again from the start though the length is unknown.
        DemuxCase{"FaststartChunkedWithAStrongETag", "fast.mp4", "framing=chunked", "sizeless file",
                  0, Served::kFromTheStartAgain},
        // Neither a length nor a validator: the first 64 KiB the stream
        // delivered recognise the body fetched again for the media.
        DemuxCase{"IndexAtTheEndChunkedWithoutAValidator", "mp4", "framing=chunked&validator=none",
                  "sizeless file", 0, Served::kFromTheStartAgain},
        DemuxCase{"FaststartChunkedWithoutAValidator", "fast.mp4", "framing=chunked&validator=none",
                  "sizeless file", 0, Served::kFromTheStartAgain},
        // A station cut twice: joined where it stands each time.
        DemuxCase{"AnMp3BroadcastCutTwicePlaysOn", "mp3",
                  "live=1&rate=400000&framing=chunked&drop_after=100000&faults=3", "broadcast", 0,
                  Served::kFrontToBack},
        DemuxCase{"ANotFoundSaysWhy", "mp4", "status=404", "file", 1, Served::kFrontToBack}),
    [](const ::testing::TestParamInfo<DemuxCase>& info) { return std::string(info.param.name); });

}  // namespace
