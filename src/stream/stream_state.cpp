#include "stream/stream_state.h"

#include <new>

#include "stream/invariants.h"

namespace httpmedia {

StreamState Stream;

void ForgetStreamInForkedChild() {
  std::uint8_t* const ring = Stream.Ring.load();
  new (&Stream) StreamState;
  sys::Free(ring);
}

void CheckOpenStream() {
  HTTPMEDIA_ASSERT((Stream.Length.load() != 0) == (Stream.Ring.load() != nullptr),
                   "a stream has a length exactly while it holds a ring");
}

}  // namespace httpmedia
