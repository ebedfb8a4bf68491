// A fixture that drives the engine directly against the loopback test
// server, with the engine's sleep scaled down so that its 20-second limits
// pass in a fraction of that while the number of polls stays exact.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sanitizer.h"
#include "stream/ring.h"
#include "stream/stream_state.h"
#include "test_server.h"

namespace httpmedia::testing {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Every engine sleep lasts its time divided by this (at least 1).
  static void SetSleepDivisor(int divisor);

  std::int32_t Open(const std::string& target);
  // Reads count bytes at the current position and checks every byte
  // delivered against the body; returns the number delivered.
  std::int32_t ReadChecked(std::int32_t count);
  // Reads to the end of the data in reads of `step` bytes; returns the total.
  std::int64_t ReadToEnd(std::int32_t step);
  // Polls the engine's state in real time until done() holds or the limit
  // passes; returns done().
  static bool WaitUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Waits until the download has stopped moving (idle or ended).
  static void WaitUntilDownloadSettles();

  static std::int32_t Position() { return Stream.Position.load(); }

  // Turns the diagnostic log on at info level into a file of the test's own,
  // off again after the test; LogText() is what it holds so far.
  void StartLog();
  std::string LogText() const;

  TestServer server;
  std::string logPath;

 public:
  // What the host's thread saw: polls of 10 ms, cursor changes, time-out
  // calls and messages.
  static std::atomic<int> hostPolls;
  // Pauses longer than a poll on the download's thread (a resume's pauses).
  static std::atomic<int> downloadPauses;
  // What the threads other than the host's slept, in the engine's time.
  static std::atomic<std::int64_t> downloadSleptMs;
  static std::vector<std::string> hostEvents;
};

}  // namespace httpmedia::testing
