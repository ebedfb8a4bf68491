// httpmedia-cat end to end: the built program, loading the built plug-in,
// against the loopback test server. What it writes must be the served bytes,
// and its exit status must tell how the stream ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "test_server.h"

extern char** environ;

namespace {

using httpmedia::testing::FirstBodyMismatch;
using httpmedia::testing::TestServer;

struct CatRun {
  int code = -1;  // the exit status, or -1 when the program did not exit
  std::string out;
  std::string err;
};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A scratch directory of the test's own, removed with it.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/httpmedia-cat-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs httpmedia-cat with arguments, stdout and stderr going to files (so
// stderr is never a terminal) and stdin closed.
CatRun RunCat(const std::vector<std::string>& arguments, bool name_the_plugin = true) {
  ScratchDir scratch;
  const std::string out_path = scratch.path() / "stdout";
  const std::string err_path = scratch.path() / "stderr";
  std::vector<std::string> all{HTTPMEDIA_CAT};
  if (name_the_plugin) all.push_back("--plugin=" HTTPMEDIA_PLUGIN);
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  CatRun run;
  if (spawned != 0) {
    run.err = "cannot start " + all[0];
    return run;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.code = WEXITSTATUS(status);
  run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  return run;
}

std::size_t Mismatch(std::uint64_t start, const std::string& data) {
  return FirstBodyMismatch(start, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

class CatTest : public ::testing::Test {
 protected:
  TestServer server_;
};

// Five megabytes wrap the plug-in's three-megabyte ring, and an odd read
// size cuts reads across chunk and ring boundaries.
TEST_F(CatTest, WritesTheWholeBodyByteExactAndNothingOnStderr) {
  ScratchDir scratch;
  const std::filesystem::path file = scratch.path() / "body";
  const CatRun run = RunCat({"-b", "12345", "-o", file.string(), server_.Url("/a?size=5000000")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "");  // no progress line where stderr is no terminal
  EXPECT_EQ(run.out, "");
  const std::string body = ReadFile(file);
  EXPECT_EQ(body.size(), 5'000'000u);
  EXPECT_EQ(Mismatch(0, body), body.size());
}

// With no Content-Length the plug-in reports a stand-in length; the stream
// ending well before it is the normal end, not a short one.
TEST_F(CatTest, StreamWithoutALengthEndsCleanlyAtItsEnd) {
  const CatRun run = RunCat({server_.Url("/a?size=2500000&framing=close")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.size(), 2'500'000u);
  EXPECT_EQ(Mismatch(0, run.out), run.out.size());
}

TEST_F(CatTest, SeekAndRangeDeliverExactlyTheirSlice) {
  const CatRun seek = RunCat({"--seek", "3500000", server_.Url("/a?size=5000000")});
  EXPECT_EQ(seek.code, 0) << seek.err;
  EXPECT_EQ(seek.out.size(), 1'500'000u);
  EXPECT_EQ(Mismatch(3'500'000, seek.out), seek.out.size());

  const CatRun range = RunCat({"-b", "64k", "--range=100000:250000", server_.Url("/a")});
  EXPECT_EQ(range.code, 0) << range.err;
  EXPECT_EQ(range.out.size(), 250'000u);
  EXPECT_EQ(Mismatch(100'000, range.out), range.out.size());
}

TEST_F(CatTest, OpenFailuresExitWithOne) {
  const CatRun missing = RunCat({server_.Url("/a?status=404")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("could not open"), std::string::npos) << missing.err;

  std::string refused_url;
  {
    TestServer gone;  // a port that was just free and now refuses
    refused_url = gone.Url("/a");
  }
  EXPECT_EQ(RunCat({refused_url}).code, 1);
}

TEST_F(CatTest, BodyCutShortExitsWithTwoAfterDeliveringWhatCame) {
  const CatRun run = RunCat({server_.Url("/a?size=4000000&drop_after=1500000")});
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.out.size(), 1'500'000u);
  EXPECT_EQ(Mismatch(0, run.out), run.out.size());
  EXPECT_NE(run.err.find("ended at byte 1500000 of 4000000"), std::string::npos) << run.err;

  // A range reaching past the end is cut short the same way.
  EXPECT_EQ(RunCat({"--range", "900000:200000", server_.Url("/a")}).code, 2);
}

TEST_F(CatTest, SeekPastTheLengthAndBadCommandLinesAreRefused) {
  EXPECT_EQ(RunCat({"--seek", "1000001", server_.Url("/a")}).code, 3);

  server_.ClearRequests();
  EXPECT_EQ(RunCat({"--seek", "1", "--range", "0:1", server_.Url("/a")}).code, 64);
  EXPECT_EQ(RunCat({"--read-size", "0", server_.Url("/a")}).code, 64);
  EXPECT_EQ(RunCat({server_.Url("/a"), server_.Url("/b")}).code, 64);
  // Usage errors stop before anything is opened.
  EXPECT_TRUE(server_.Requests().empty());
}

// The README's first command: no URL, no plug-in named (the program finds
// the one built beside it), the sample served and checked.
TEST(CatSample, StreamsTheBuiltInSampleThroughThePlugin) {
  const CatRun run = RunCat({}, /*name_the_plugin=*/false);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("streamed 7938044 bytes"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("matches the sample"), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");
}

}  // namespace
