// System-services layer for Linux, on POSIX threads: the subset of the
// platform's core library that the engine calls, under the same names.
#pragma once

#include "win_types.h"

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID parameter);

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

inline constexpr std::uintptr_t IDC_WAIT_ID = 32514;
#define IDC_WAIT (reinterpret_cast<LPCWSTR>(IDC_WAIT_ID))

inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_SETFOREGROUND = 0x10000;

// Threads: the handle is waited on (joined) with WaitForSingleObject and
// released with CloseHandle.
HANDLE WINAPI CreateThread(void* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
void WINAPI Sleep(DWORD milliseconds);
// Milliseconds on the monotonic clock, which no change of the date moves.
// With a test's sleep in place (test_hooks.h), each thread's clock is
// instead the time that thread has asked the test's sleep for, so that a
// limit measured on it passes at the test's pace, after exactly as many
// polls as it takes in real time.
ULONGLONG WINAPI GetTickCount64();

// A mutex shared by its name among the user's processes. A mutex whose owner
// died, or whose owning thread ended, is handed to the next taker, who is
// told so by WAIT_ABANDONED.
HANDLE WINAPI CreateMutexW(void* security, BOOL initialOwner, LPCWSTR name);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
BOOL WINAPI CloseHandle(HANDLE handle);

HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name);
HCURSOR WINAPI SetCursor(HCURSOR cursor);
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, unsigned type);

// The device's two window functions known only by ordinal.
HWND WINAPI OwnerWindow();
void WINAPI TimeoutWindowCall(HWND window);
