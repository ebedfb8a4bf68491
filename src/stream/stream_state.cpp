#include "stream/stream_state.h"

#include "stream/invariants.h"

namespace httpmedia {

StreamState Stream;

void CheckOpenStream() {
  HTTPMEDIA_ASSERT((Stream.Length.load() != 0) == (Stream.Ring.load() != nullptr),
                   "a stream has a length exactly while it holds a ring");
}

}  // namespace httpmedia
