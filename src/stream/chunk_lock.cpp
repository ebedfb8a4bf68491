#include "stream/chunk_lock.h"

#include "stream/stream_state.h"

namespace httpmedia {

// The ring is this process's own, with the download thread its one writer,
// and the reader never takes the mutex: no rule of the ring rests on it. It
// is taken only for the processes that share its name, so a holder that
// never lets go costs this process's download one poll, then nothing.
bool ChunkLock::Take() {
  const bool held = sys::TakeMutexWithin(mutex_, heldElsewhere_ ? 0 : PollMs);
  heldElsewhere_ = !held;
  return held;
}

void ChunkLock::GiveBack() { sys::GiveMutexBack(mutex_); }

}  // namespace httpmedia
