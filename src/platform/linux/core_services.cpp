// System services on POSIX: threads, sleep, cursor and window calls routed to
// the host's hooks, the message box, and the thread's last error. The named
// mutex is in named_mutex.cpp.
#include "core_services.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "handle_object.h"
#include "httpmedia/httpmedia_host.h"
#include "test_hooks.h"
#include "text.h"

#define HTTPMEDIA_SYS_API __attribute__((visibility("default")))

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

std::atomic<HttpMediaSleepFunction> sleepHook{nullptr};
// The calling thread's clock while a test's sleep is in place.
thread_local ULONGLONG hookedMs = 0;

void SleepThroughHook(HttpMediaSleepFunction hook, DWORD milliseconds) {
  hookedMs += milliseconds;
  hook(milliseconds);
}

std::mutex hooksLock;
HttpMediaHostHooks hooks{};

HttpMediaHostHooks CurrentHooks() {
  std::lock_guard<std::mutex> guard(hooksLock);
  return hooks;
}

// Cursors are tokens: the arrow the host starts with and the wait cursor.
constexpr std::uintptr_t ArrowCursorId = 32512;
std::atomic<HCURSOR> currentCursor{reinterpret_cast<HCURSOR>(ArrowCursorId)};

struct ThreadObject : HandleObject {
  ThreadObject() : HandleObject(HandleKind::Thread) {}
  ~ThreadObject() override {
    // A thread still running when its handle goes keeps running, as it
    // would on Windows; it just can no longer be waited for.
    if (started && !joined) pthread_detach(thread);
  }
  pthread_t thread{};
  bool started = false;
  bool joined = false;
};

// What the new thread runs, its own to free: the handle may be closed
// before the thread gets going.
struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

void* RunThread(void* start) {
  const ThreadStart run = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  run.routine(run.parameter);
  return nullptr;
}

}  // namespace

httpmedia::platform::HandleTable<HandleObject>& ServiceHandles() {
  // Never destroyed: callers' threads may still be closing handles while the
  // process exits.
  static auto* table = [] {
    auto* made = new httpmedia::platform::HandleTable<HandleObject>(0x1000C);
    pthread_atfork([] { ServiceHandles().LockForFork(); },
                   [] { ServiceHandles().UnlockAfterFork(); },
                   [] { ServiceHandles().UnlockAfterFork(); });
    return made;
  }();
  return *table;
}

HTTPMEDIA_SYS_API DWORD GetLastError() { return lastError; }
HTTPMEDIA_SYS_API void SetLastError(DWORD error) { lastError = error; }

HTTPMEDIA_SYS_API HANDLE WINAPI CreateThread(void*, SIZE_T, LPTHREAD_START_ROUTINE routine,
                                             LPVOID parameter, DWORD, LPDWORD threadId) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<ThreadObject> thread;
  HANDLE handle = nullptr;
  try {
    thread = std::make_shared<ThreadObject>();
    handle = ServiceHandles().Add(thread);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* start = new (std::nothrow) ThreadStart{routine, parameter};
  if (start == nullptr || pthread_create(&thread->thread, nullptr, RunThread, start) != 0) {
    delete start;
    ServiceHandles().Take(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->started = true;
  if (threadId != nullptr) *threadId = static_cast<DWORD>(thread->thread);
  return handle;
}

DWORD WaitForThread(HandleObject* object, DWORD milliseconds) {
  auto* thread = static_cast<ThreadObject*>(object);
  if (thread->joined) return WAIT_OBJECT_0;
  if (milliseconds == INFINITE) {
    if (pthread_join(thread->thread, nullptr) != 0) return WAIT_FAILED;
  } else if (HttpMediaSleepFunction hook = sleepHook.load()) {
    // A test's sleep stands in for the wait, so that limits counted in
    // waits run at its pace.
    if (pthread_tryjoin_np(thread->thread, nullptr) != 0) {
      SleepThroughHook(hook, milliseconds);
      if (pthread_tryjoin_np(thread->thread, nullptr) != 0) return WAIT_TIMEOUT;
    }
  } else {
    const timespec deadline = DeadlineAfter(milliseconds);
    int rc = pthread_timedjoin_np(thread->thread, nullptr, &deadline);
    if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
    if (rc != 0) return WAIT_FAILED;
  }
  thread->joined = true;
  return WAIT_OBJECT_0;
}

HTTPMEDIA_SYS_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  std::shared_ptr<HandleObject> object = ServiceHandles().Find(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->kind == HandleKind::Thread ? WaitForThread(object.get(), milliseconds)
                                            : WaitForNamedMutex(object.get(), milliseconds);
}

HTTPMEDIA_SYS_API BOOL WINAPI CloseHandle(HANDLE handle) {
  if (!ServiceHandles().Take(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HTTPMEDIA_SYS_API void WINAPI Sleep(DWORD milliseconds) {
  if (HttpMediaSleepFunction hook = sleepHook.load()) {
    SleepThroughHook(hook, milliseconds);
    return;
  }
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1'000'000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

HTTPMEDIA_SYS_API ULONGLONG WINAPI GetTickCount64() {
  if (sleepHook.load() != nullptr) return hookedMs;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000 +
         static_cast<ULONGLONG>(now.tv_nsec) / 1'000'000;
}

HTTPMEDIA_SYS_API HCURSOR WINAPI LoadCursorW(HINSTANCE, LPCWSTR name) {
  return reinterpret_cast<HCURSOR>(const_cast<WCHAR*>(name));
}

HTTPMEDIA_SYS_API HCURSOR WINAPI SetCursor(HCURSOR cursor) {
  HCURSOR previous = currentCursor.exchange(cursor);
  if (previous != cursor) {
    HttpMediaHostHooks current = CurrentHooks();
    if (current.cursor_changed != nullptr) {
      current.cursor_changed(current.context, cursor == reinterpret_cast<HCURSOR>(IDC_WAIT_ID));
    }
  }
  return previous;
}

HTTPMEDIA_SYS_API int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, unsigned type) {
  HttpMediaHostHooks current = CurrentHooks();
  auto utf8 = [](LPCWSTR s) { return s != nullptr ? httpmedia::text::Utf16ToUtf8(s) : ""; };
  std::string text8 = utf8(text);
  std::string caption8 = utf8(caption);
  if (current.message_box != nullptr) {
    current.message_box(current.context, owner, text8.c_str(), caption8.c_str(), type);
  } else if (caption8.empty()) {
    std::fprintf(stderr, "%s\n", text8.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", caption8.c_str(), text8.c_str());
  }
  return 1;  // IDOK: the only button
}

HTTPMEDIA_SYS_API HWND WINAPI OwnerWindow() {
  HttpMediaHostHooks current = CurrentHooks();
  return current.owner_window != nullptr ? current.owner_window(current.context) : nullptr;
}

HTTPMEDIA_SYS_API void WINAPI TimeoutWindowCall(HWND window) {
  HttpMediaHostHooks current = CurrentHooks();
  if (current.timeout_window_call != nullptr) current.timeout_window_call(current.context, window);
}

extern "C" HTTPMEDIA_SYS_API void HttpMediaSetHostHooks(const HttpMediaHostHooks* newHooks) {
  std::lock_guard<std::mutex> guard(hooksLock);
  hooks = newHooks != nullptr ? *newHooks : HttpMediaHostHooks{};
}

extern "C" HTTPMEDIA_SYS_API void HttpMediaSetSleep(HttpMediaSleepFunction sleep) {
  sleepHook.store(sleep);
}
