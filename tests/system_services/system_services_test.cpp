// Threads, the replaceable sleep, and the host hooks of the system services.
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "httpmedia/httpmedia_host.h"
#include "platform/linux/core_services.h"
#include "platform/linux/test_hooks.h"

namespace {

std::atomic<int> threadRuns{0};

DWORD WINAPI CountRun(LPVOID parameter) {
  threadRuns += *static_cast<int*>(parameter);
  return 1;
}

TEST(Threads, RunConcurrentlyAndAreJoinedByWaiting) {
  int step = 5;
  HANDLE thread = CreateThread(nullptr, 0, CountRun, &step, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(threadRuns.load(), 5);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // already joined
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

std::vector<DWORD> sleeps;
void RecordSleep(uint32_t milliseconds) { sleeps.push_back(milliseconds); }

TEST(Sleep, CanBeReplacedAndRestored) {
  HttpMediaSetSleep(RecordSleep);
  auto start = std::chrono::steady_clock::now();
  Sleep(20'000);
  Sleep(10);
  HttpMediaSetSleep(nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(sleeps, (std::vector<DWORD>{20'000, 10}));
  start = std::chrono::steady_clock::now();
  Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_EQ(sleeps.size(), 2u);
}

struct HookLog {
  std::vector<std::string> events;
  int window = 7;
};

HttpMediaHostHooks LoggingHooks(HookLog* log) {
  HttpMediaHostHooks hooks{};
  hooks.context = log;
  hooks.cursor_changed = [](void* c, int busy) {
    static_cast<HookLog*>(c)->events.push_back(busy ? "busy" : "normal");
  };
  hooks.owner_window = [](void* c) -> void* { return &static_cast<HookLog*>(c)->window; };
  hooks.timeout_window_call = [](void* c, void* window) {
    auto* log = static_cast<HookLog*>(c);
    log->events.push_back(window == &log->window ? "timeout(owner)" : "timeout(other)");
  };
  hooks.message_box = [](void* c, void*, const char* text, const char* caption, unsigned flags) {
    static_cast<HookLog*>(c)->events.push_back(std::string("message:") + text + "|" + caption +
                                               "|" + std::to_string(flags));
  };
  return hooks;
}

TEST(HostHooks, SeeCursorWindowTimeoutAndMessage) {
  HookLog log;
  HttpMediaHostHooks hooks = LoggingHooks(&log);
  HttpMediaSetHostHooks(&hooks);
  HCURSOR kept = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  SetCursor(kept);
  HWND owner = OwnerWindow();
  TimeoutWindowCall(owner);
  MessageBoxW(owner, u"Could not open an Internet connection", u"", MB_OK | MB_SETFOREGROUND);
  HttpMediaSetHostHooks(nullptr);
  EXPECT_EQ(log.events,
            (std::vector<std::string>{"busy", "normal", "timeout(owner)",
                                      "message:Could not open an Internet connection||65536"}));
}

TEST(HostHooks, WithoutHooksTheMessageGoesToStderrAndTheRestDoesNothing) {
  HttpMediaSetHostHooks(nullptr);
  EXPECT_EQ(OwnerWindow(), nullptr);
  TimeoutWindowCall(nullptr);
  testing::internal::CaptureStderr();
  MessageBoxW(nullptr, u"Caf\u00e9 \U0001F3B5 \xD800!", u"", MB_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Caf\xC3\xA9 \xF0\x9F\x8E\xB5 \xEF\xBF\xBD!\n");
}

}  // namespace
