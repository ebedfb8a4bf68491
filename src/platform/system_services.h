// Everything the engine asks of the operating system, apart from the
// network. On Windows these are the platform's own functions; on Linux they
// come from our system-services layer. The engine calls nothing else of the
// operating system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace httpmedia::sys {

using ThreadHandle = void*;
using MutexHandle = void*;
using WindowHandle = void*;
using CursorHandle = void*;
using ThreadRoutine = std::uint32_t (*)();

// Starts routine on a new thread at once; null on failure.
ThreadHandle StartThread(ThreadRoutine routine);
// Waits until the thread has returned, then releases its handle.
void JoinThread(ThreadHandle thread);
// Waits at most milliseconds for the thread to return; true, with its handle
// released, once it has. A test's sleep stands in for the wait's time.
bool JoinThreadWithin(ThreadHandle thread, std::uint32_t milliseconds);

void Sleep(std::uint32_t milliseconds);
// Milliseconds on the monotonic clock, from an arbitrary start: every limit
// of a host call is measured on it, so that a wait ends on time however
// long its polls take on a loaded machine. A test's sleep paces it instead
// (see the Linux layer's test hooks).
std::uint64_t Milliseconds();

// The mutex of the given name shared by the user's processes, not initially owned; null on failure.
MutexHandle CreateNamedMutex(const char16_t* name);
// Waits without limit until the mutex is owned (a mutex whose owner died is
// handed on rather than waited for forever).
void TakeMutex(MutexHandle mutex);
// Waits at most milliseconds; false only if the mutex stayed owned elsewhere
// all that time.
bool TakeMutexWithin(MutexHandle mutex, std::uint32_t milliseconds);
void GiveMutexBack(MutexHandle mutex);
void CloseMutex(MutexHandle mutex);

// Shows the busy cursor and returns the cursor it replaced.
CursorHandle ShowBusyCursor();
void RestoreCursor(CursorHandle kept);

WindowHandle OwnerWindow();
void TimeoutWindowCall(WindowHandle window);

// A modal message with an OK button, brought to the foreground.
void ShowMessage(WindowHandle owner, const char16_t* text, const char16_t* caption);

// Has `forget` run in every child forked from now on, as the child's
// first step: a child has only the thread that forked, and must not take
// what it inherited for its own.
void OnForkedChild(void (*forget)());

void* Allocate(std::size_t bytes);
void Free(void* block);

}  // namespace httpmedia::sys
