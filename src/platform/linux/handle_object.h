// Handles of the system-services layer: every handle points at an object
// that starts with this header, so that waits and closes can tell a thread
// from a mutex and refuse a handle that is stale or not ours.
#pragma once

#include <time.h>

#include <cstdint>

#include "core_services.h"

enum class HandleKind : std::uint32_t { Thread = 1, NamedMutex = 2 };

inline constexpr std::uint32_t LiveHandleMagic = 0x48444C45;  // "HDLE"

struct HandleObject {
  explicit HandleObject(HandleKind k) : kind(k) {}
  std::uint32_t magic = LiveHandleMagic;
  HandleKind kind;
};

inline bool IsLiveHandle(const HandleObject* object) {
  return object != nullptr && object->magic == LiveHandleMagic;
}

// The moment a wait of the given length ends, on the clock that the
// pthread timed waits measure.
inline timespec DeadlineAfter(DWORD milliseconds) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000L;
  if (deadline.tv_nsec >= 1'000'000'000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000L;
  }
  return deadline;
}

DWORD WaitForNamedMutex(HandleObject* object, DWORD milliseconds);
void CloseNamedMutex(HandleObject* object);
