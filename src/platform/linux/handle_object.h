// Handles of the system-services layer: each names a thread or a mutex
// object through the layer's handle table, so that waits and closes can tell
// a thread from a mutex and refuse a handle that is stale or not ours. An
// object releases what it holds when the last call using it is done.
#pragma once

#include <time.h>

#include <cstdint>
#include <memory>

#include "core_services.h"
#include "handle_table.h"

enum class HandleKind : std::uint32_t { Thread = 1, NamedMutex = 2 };

struct HandleObject {
  explicit HandleObject(HandleKind k) : kind(k) {}
  virtual ~HandleObject() = default;
  const HandleKind kind;
};

// The layer's one table. Its values are 4 modulo 8, the Internet client's 0,
// so that a handle of one layer never names an object of the other.
httpmedia::platform::HandleTable<HandleObject>& ServiceHandles();

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
