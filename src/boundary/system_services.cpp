// The engine's system services, on the platform's own calls.
#include "boundary/system_services.h"

#include <cstdlib>

#include "platform/platform_api.h"

namespace httpmedia::sys {

namespace {

DWORD WINAPI RunRoutine(LPVOID parameter) { return reinterpret_cast<ThreadRoutine>(parameter)(); }

}  // namespace

ThreadHandle StartThread(ThreadRoutine routine) {
  return ::CreateThread(nullptr, 0, RunRoutine, reinterpret_cast<LPVOID>(routine), 0, nullptr);
}

void JoinThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
}

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

MutexHandle CreateNamedMutex(const char16_t* name) {
  return ::CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name));
}

void TakeMutex(MutexHandle mutex) {
  // An abandoned mutex is owned all the same: its previous owner died, and
  // the ring it guarded belongs to this process alone.
  ::WaitForSingleObject(mutex, INFINITE);
}

void GiveMutexBack(MutexHandle mutex) { ::ReleaseMutex(mutex); }

void CloseMutex(MutexHandle mutex) {
  if (mutex != nullptr) ::CloseHandle(mutex);
}

CursorHandle ShowBusyCursor() { return ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT)); }

void RestoreCursor(CursorHandle kept) { ::SetCursor(static_cast<HCURSOR>(kept)); }

#if defined(_WIN32)
// The device offers its owner window and time-out call only by ordinal; the
// desktop has neither. Its nearest owner for the message box is the calling
// thread's active window (the host's own, or none, which makes the box
// top-level). A read's time-out is the device's own business; the desktop's
// only sign of the wait is the busy cursor, which the wait restores itself,
// so the call does nothing here: anything that reached into the host's
// window (a repaint, say) would run the host's code in the middle of its
// read.
WindowHandle OwnerWindow() { return ::GetActiveWindow(); }
void TimeoutWindowCall(WindowHandle) {}
#else
WindowHandle OwnerWindow() { return ::OwnerWindow(); }
void TimeoutWindowCall(WindowHandle window) { ::TimeoutWindowCall(static_cast<HWND>(window)); }
#endif

void ShowMessage(WindowHandle owner, const char16_t* text, const char16_t* caption) {
  ::MessageBoxW(static_cast<HWND>(owner), reinterpret_cast<LPCWSTR>(text),
                reinterpret_cast<LPCWSTR>(caption), MB_OK | MB_SETFOREGROUND);
}

void* Allocate(std::size_t bytes) { return std::malloc(bytes); }

void Free(void* block) { std::free(block); }

}  // namespace httpmedia::sys
