// The background download: one thread moving the response body into the
// ring, chunk by chunk, as far as the admission rule lets it.
#pragma once

#include <cstdint>

namespace httpmedia {

// Allocates the ring, creates the chunk mutex and starts the task. On any
// failure it releases what it took and returns false.
bool StartDownload();
// Waits for the task to end (the request must have been withdrawn), then
// releases the thread, the mutex and the ring. Does nothing with no task.
void StopDownload();
std::uint32_t DownloadThreadProc();

enum class Admission { Transfer, Idle, Wrap };

// Whether the next round may fetch a chunk, from the reader's and writer's
// lap bases, the write offset, the host's position and the stream length.
Admission Admit(std::int64_t readerLapBase, std::int64_t writerLapBase, std::int64_t writeOffset,
                std::int64_t position, std::int64_t length);

}  // namespace httpmedia
