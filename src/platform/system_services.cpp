// The engine's system services, on the platform's own calls: the calls that
// both platforms name alike. The owner window and the read's time-out differ
// between them and live in each platform's owner_window.cpp.
#include "platform/system_services.h"

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

bool JoinThreadWithin(ThreadHandle thread, std::uint32_t milliseconds) {
  if (::WaitForSingleObject(thread, milliseconds) != WAIT_OBJECT_0) return false;
  ::CloseHandle(thread);
  return true;
}

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint64_t Milliseconds() { return ::GetTickCount64(); }

MutexHandle CreateNamedMutex(const char16_t* name) {
  return ::CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name));
}

void TakeMutex(MutexHandle mutex) {
  // An abandoned mutex is owned all the same: its previous owner died, and
  // the ring it guarded belongs to this process alone.
  ::WaitForSingleObject(mutex, INFINITE);
}

bool TakeMutexWithin(MutexHandle mutex, std::uint32_t milliseconds) {
  // A failed wait goes on as TakeMutex's does.
  return ::WaitForSingleObject(mutex, milliseconds) != WAIT_TIMEOUT;
}

void GiveMutexBack(MutexHandle mutex) { ::ReleaseMutex(mutex); }

void CloseMutex(MutexHandle mutex) {
  if (mutex != nullptr) ::CloseHandle(mutex);
}

CursorHandle ShowBusyCursor() { return ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT)); }

void RestoreCursor(CursorHandle kept) { ::SetCursor(static_cast<HCURSOR>(kept)); }

void ShowMessage(WindowHandle owner, const char16_t* text, const char16_t* caption) {
  ::MessageBoxW(static_cast<HWND>(owner), reinterpret_cast<LPCWSTR>(text),
                reinterpret_cast<LPCWSTR>(caption), MB_OK | MB_SETFOREGROUND);
}

void* Allocate(std::size_t bytes) { return std::malloc(bytes); }

void Free(void* block) { std::free(block); }

}  // namespace httpmedia::sys
