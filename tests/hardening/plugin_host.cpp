#include "plugin_host.h"

#include <atomic>
#include <thread>

#include "httpmedia/httpmedia.h"
#include "httpmedia/httpmedia_host.h"
#include "platform/linux/test_hooks.h"

namespace httpmedia::hardening {

namespace {

std::atomic<int> divisor{1};
std::atomic<std::uint64_t> hostSleptMs{0};
thread_local bool onHostThread = false;
std::atomic<bool> busy{false};
std::atomic<int> timeouts{0};
std::atomic<int> messages{0};
int ownerWindow = 0;

void ScaledSleep(std::uint32_t milliseconds) {
  if (onHostThread) hostSleptMs += milliseconds;
  std::this_thread::sleep_for(
      std::chrono::microseconds(std::uint64_t{milliseconds} * 1000 / divisor.load()));
}

}  // namespace

PluginHost::PluginHost(int sleepDivisor) {
  divisor = sleepDivisor < 1 ? 1 : sleepDivisor;
  busy = false;
  timeouts = 0;
  messages = 0;
  HttpMediaSetSleep(ScaledSleep);
  HttpMediaHostHooks hooks{};
  hooks.cursor_changed = [](void*, int isBusy) { busy = isBusy != 0; };
  hooks.owner_window = [](void*) -> void* { return &ownerWindow; };
  hooks.timeout_window_call = [](void*, void*) { ++timeouts; };
  hooks.message_box = [](void*, void*, const char*, const char*, unsigned) { ++messages; };
  HttpMediaSetHostHooks(&hooks);
}

PluginHost::~PluginHost() {
  InputMediaClose();
  HttpMediaSetSleep(nullptr);
  HttpMediaSetHostHooks(nullptr);
}

template <typename Call>
std::int32_t PluginHost::Measure(Call call) {
  onHostThread = true;
  hostSleptMs = 0;
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t result = call();
  last_.took = std::chrono::steady_clock::now() - start;
  last_.sleptMs = hostSleptMs.load();
  onHostThread = false;
  return result;
}

std::int32_t PluginHost::Open(const char16_t* url) {
  return Measure([&] { return InputMediaOpen(url); });
}

std::int32_t PluginHost::Read(void* buffer, std::int32_t count) {
  const std::int32_t result = Measure([&] { return InputMediaRead(buffer, count); });
  if (last_.sleptMs > longest_.sleptMs) longest_ = last_;
  return result;
}

std::int32_t PluginHost::ReadThroughTimeouts(void* buffer, std::int32_t count, int attempts) {
  std::int32_t delivered = 0;
  for (;;) {
    const int timeoutsBefore = Timeouts();
    delivered += Read(static_cast<std::uint8_t*>(buffer) + delivered, count - delivered);
    if (delivered == count || Timeouts() == timeoutsBefore || --attempts <= 0) return delivered;
  }
}

std::int32_t PluginHost::Seek(std::int32_t offset, std::int32_t origin) {
  const std::int32_t result = Measure([&] { return InputMediaSeek(offset, origin); });
  if (last_.sleptMs > longest_.sleptMs) longest_ = last_;
  return result;
}

std::int32_t PluginHost::Close() {
  return Measure([] { return InputMediaClose(); });
}

bool PluginHost::LastWithinLimits() const {
  return last_.sleptMs <= WaitLimitMs + StopAllowanceMs && last_.took <= RealTimeLimit;
}

int PluginHost::Timeouts() const { return timeouts.load(); }
int PluginHost::Messages() const { return messages.load(); }
bool PluginHost::Busy() const { return busy.load(); }

}  // namespace httpmedia::hardening
