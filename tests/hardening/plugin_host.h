// A host of the plug-in for hardening tests: it calls the four exported
// functions as a player does, with the plug-in's sleeps scaled down (its
// 20-second limits pass in a fraction of that while the number of polls
// stays exact), and measures what each call waited.
#pragma once

#include <chrono>
#include <cstdint>

namespace httpmedia::hardening {

// A read or seek waits at most 2,001 polls of 10 ms, the open's probe at
// most 2,000. Stopping a download (an open closing the stream before it, a
// read restarting at a range) adds polls until the download thread has
// ended: its own pauses before it retries a dropped connection, and the
// moments it needs to notice, which the scaled sleep makes many polls (a
// third of a second of real time under ThreadSanitizer is over 30,000 ms of
// 100 ms polls at a hundredth of their length).
inline constexpr std::uint64_t WaitLimitMs = 20'010;
inline constexpr std::uint64_t StopAllowanceMs = 200'000;
// No call may take longer than the wait limit in real time: with the sleeps
// scaled down, only a wait that the scaling does not reach can come near it.
inline constexpr std::chrono::seconds RealTimeLimit{20};

struct CallCost {
  // The plug-in's sleeps on the host's thread during the call, unscaled.
  std::uint64_t sleptMs = 0;
  std::chrono::steady_clock::duration took{};
};

class PluginHost {
 public:
  // Only one host at a time: the sleep and the hooks are process-wide.
  explicit PluginHost(int sleepDivisor);
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  std::int32_t Open(const char16_t* url);
  std::int32_t Read(void* buffer, std::int32_t count);
  std::int32_t Seek(std::int32_t offset, std::int32_t origin);
  std::int32_t Close();

  // Read, but a read that gave up at its limit (with what came of its
  // count) reads on for the rest, up to `attempts` times: the download's
  // chunk mutex is shared by the user's processes, and another process
  // streaming (another test) may hold it up for a while. A result short of
  // count is then the end of the data.
  std::int32_t ReadThroughTimeouts(void* buffer, std::int32_t count, int attempts = 20);

  const CallCost& Last() const { return last_; }
  // The read or seek that slept longest on the host's thread, since the host
  // was made: one call holds the host one wait at most, whatever it chains.
  const CallCost& LongestReadOrSeek() const { return longest_; }
  // The last call stayed within the limits of its kind.
  bool LastWithinLimits() const;

  // What the host saw, since the host was made.
  int Timeouts() const;
  int Messages() const;
  // The busy cursor is showing now (it must not be between calls).
  bool Busy() const;

 private:
  template <typename Call>
  std::int32_t Measure(Call call);

  CallCost last_;
  CallCost longest_;
};

}  // namespace httpmedia::hardening
