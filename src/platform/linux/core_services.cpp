// System services on POSIX: threads, sleep, cursor and window calls routed to
// the host's hooks, the message box, and the thread's last error. The named
// mutex is in named_mutex.cpp.
#include "core_services.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "handle_object.h"
#include "httpmedia/httpmedia_host.h"
#include "text.h"

#define HTTPMEDIA_SYS_API __attribute__((visibility("default")))

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

std::atomic<HttpMediaSleepFunction> sleepHook{nullptr};

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
  pthread_t thread{};
  LPTHREAD_START_ROUTINE routine = nullptr;
  LPVOID parameter = nullptr;
  bool joined = false;
};

void* RunThread(void* object) {
  auto* thread = static_cast<ThreadObject*>(object);
  thread->routine(thread->parameter);
  return nullptr;
}

}  // namespace

HTTPMEDIA_SYS_API DWORD GetLastError() { return lastError; }
HTTPMEDIA_SYS_API void SetLastError(DWORD error) { lastError = error; }

HTTPMEDIA_SYS_API HANDLE WINAPI CreateThread(void*, SIZE_T, LPTHREAD_START_ROUTINE routine,
                                             LPVOID parameter, DWORD, LPDWORD threadId) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* thread = new (std::nothrow) ThreadObject;
  if (thread == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->routine = routine;
  thread->parameter = parameter;
  if (pthread_create(&thread->thread, nullptr, RunThread, thread) != 0) {
    delete thread;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = static_cast<DWORD>(thread->thread);
  return thread;
}

DWORD WaitForThread(HandleObject* object, DWORD milliseconds) {
  auto* thread = static_cast<ThreadObject*>(object);
  if (thread->joined) return WAIT_OBJECT_0;
  if (milliseconds == INFINITE) {
    if (pthread_join(thread->thread, nullptr) != 0) return WAIT_FAILED;
  } else {
    const timespec deadline = DeadlineAfter(milliseconds);
    int rc = pthread_timedjoin_np(thread->thread, nullptr, &deadline);
    if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
    if (rc != 0) return WAIT_FAILED;
  }
  thread->joined = true;
  return WAIT_OBJECT_0;
}

void CloseThread(HandleObject* object) {
  auto* thread = static_cast<ThreadObject*>(object);
  // A thread still running when its handle goes keeps running, as it would
  // on Windows; it just can no longer be waited for.
  if (!thread->joined) pthread_detach(thread->thread);
  delete thread;
}

HTTPMEDIA_SYS_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto* object = static_cast<HandleObject*>(handle);
  if (!IsLiveHandle(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->kind == HandleKind::Thread ? WaitForThread(object, milliseconds)
                                            : WaitForNamedMutex(object, milliseconds);
}

HTTPMEDIA_SYS_API BOOL WINAPI CloseHandle(HANDLE handle) {
  auto* object = static_cast<HandleObject*>(handle);
  if (!IsLiveHandle(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->magic = 0;
  if (object->kind == HandleKind::Thread) {
    CloseThread(object);
  } else {
    CloseNamedMutex(object);
  }
  return TRUE;
}

HTTPMEDIA_SYS_API void WINAPI Sleep(DWORD milliseconds) {
  if (HttpMediaSleepFunction hook = sleepHook.load()) {
    hook(milliseconds);
    return;
  }
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1'000'000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
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
