#include "engine_fixture.h"

#include <unistd.h>

#include <cstdio>
#include <thread>

#include "httpmedia/httpmedia_host.h"
#include "platform/linux/test_hooks.h"
#include "process.h"
#include "stream/stream_ops.h"

namespace httpmedia::testing {

namespace {

std::atomic<int> sleepDivisor{1};
thread_local bool onHostThread = false;
int ownerWindow = 0;

void ScaledSleep(std::uint32_t milliseconds) {
  if (onHostThread && milliseconds == PollMs) ++EngineTest::hostPolls;
  if (!onHostThread && milliseconds > PollMs) ++EngineTest::downloadPauses;
  if (!onHostThread) EngineTest::downloadSleptMs += milliseconds;
  std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 1000 / sleepDivisor.load()));
}

HttpMediaHostHooks RecordingHooks() {
  HttpMediaHostHooks hooks{};
  hooks.cursor_changed = [](void*, int busy) {
    EngineTest::hostEvents.push_back(busy ? "busy" : "normal");
  };
  hooks.owner_window = [](void*) -> void* { return &ownerWindow; };
  hooks.timeout_window_call = [](void*, void* window) {
    EngineTest::hostEvents.push_back(window == &ownerWindow ? "timeout" : "timeout(no owner)");
  };
  hooks.message_box = [](void*, void*, const char* text, const char*, unsigned) {
    EngineTest::hostEvents.push_back(std::string("message:") + text);
  };
  return hooks;
}

}  // namespace

std::atomic<int> EngineTest::hostPolls{0};
std::atomic<int> EngineTest::downloadPauses{0};
std::atomic<std::int64_t> EngineTest::downloadSleptMs{0};
std::vector<std::string> EngineTest::hostEvents;

void EngineTest::SetUp() {
  onHostThread = true;
  hostPolls = 0;
  hostEvents.clear();
  SetSleepDivisor(1);
  HttpMediaSetSleep(ScaledSleep);
  HttpMediaHostHooks hooks = RecordingHooks();
  HttpMediaSetHostHooks(&hooks);
}

void EngineTest::TearDown() {
  CloseStream();
  HttpMediaSetSleep(nullptr);
  HttpMediaSetHostHooks(nullptr);
  if (!logPath.empty()) {
    HttpMediaSetLog(nullptr, nullptr);
    std::remove(logPath.c_str());
  }
}

void EngineTest::StartLog() {
  logPath = "/tmp/httpmedia-log-" + std::to_string(::getpid()) + ".txt";
  std::remove(logPath.c_str());
  HttpMediaSetLog(logPath.c_str(), "info");
}

std::string EngineTest::LogText() const { return ReadWholeFile(logPath); }

void EngineTest::SetSleepDivisor(int divisor) { sleepDivisor = divisor < 1 ? 1 : divisor; }

std::int32_t EngineTest::Open(const std::string& target) {
  return OpenStream(server.Url16(target).c_str());
}

std::int32_t EngineTest::ReadChecked(std::int32_t count) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count) + 16, 0xEE);
  const std::int32_t start = Position();
  const std::int32_t delivered = ReadStream(buffer.data(), count);
  EXPECT_GE(delivered, 0);
  EXPECT_LE(delivered, count);
  EXPECT_EQ(Position(), start + delivered);
  const std::size_t mismatch = FirstBodyMismatch(static_cast<std::uint64_t>(start), buffer.data(),
                                                 static_cast<std::size_t>(delivered));
  EXPECT_EQ(mismatch, static_cast<std::size_t>(delivered))
      << "wrong byte at stream position " << start + static_cast<std::int64_t>(mismatch);
  for (std::size_t i = static_cast<std::size_t>(delivered); i < buffer.size(); ++i) {
    if (buffer[i] != 0xEE) {
      ADD_FAILURE() << "read wrote past the bytes it delivered";
      break;
    }
  }
  return delivered;
}

std::int64_t EngineTest::ReadToEnd(std::int32_t step) {
  std::int64_t total = 0;
  for (;;) {
    const std::int32_t delivered = ReadChecked(step);
    if (delivered == 0 || ::testing::Test::HasFailure()) break;
    total += delivered;
  }
  return total;
}

bool EngineTest::WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void EngineTest::WaitUntilDownloadSettles() {
  std::int64_t last = -1;
  int unchanged = 0;
  WaitUntil([&] {
    const std::int64_t end = DownloadEnd();
    unchanged = end == last ? unchanged + 1 : 0;
    last = end;
    // 100 ms without a byte, once bytes came: a loaded machine may take
    // longer than that for the first.
    return (unchanged >= 50 && end > Stream.DownloadStart.load()) || Stream.Finished.load() != 0;
  });
}

}  // namespace httpmedia::testing
