// The chunk mutex "ReadDone", shared by name with the user's other processes,
// as the download thread takes it around the bookkeeping of each chunk.
#pragma once

#include "platform/system_services.h"

namespace httpmedia {

// Owned by the download thread, one per run of the task.
class ChunkLock {
 public:
  explicit ChunkLock(sys::MutexHandle mutex) : mutex_(mutex) {}

  // Takes the mutex, waiting at most one poll; true if it is held now and
  // must be given back. False lets the caller go on without it.
  bool Take();
  void GiveBack();

 private:
  sys::MutexHandle mutex_;
  // Another process kept the mutex past a whole poll: it may be stopped
  // (a debugger, a job stopped from its terminal, a frozen group) and keep
  // it for good. Until the mutex is taken again, rounds only try it.
  bool heldElsewhere_ = false;
};

}  // namespace httpmedia
