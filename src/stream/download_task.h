// The background download: one thread moving the response body into the
// ring, chunk by chunk, as far as the admission rule lets it.
#pragma once

#include <cstdint>

namespace httpmedia {

// Allocates the ring, creates the chunk mutex and starts the task. On any
// failure it releases what it took and returns false.
bool StartDownload();
// Waits for the task to end (the request must have been withdrawn), then
// releases the thread, the mutex and the ring.
void StopDownload();
void ReleaseDownload();

// Starts the task on the ring and mutex already held, from the current
// lap bases and write offset.
bool StartDownloadTask();
// Withdraws the request (closing it returns a transfer blocked on it) and
// waits for the task to end; the ring and the mutex stay.
void StopDownloadTask();
std::uint32_t DownloadThreadProc();

enum class Admission { Transfer, Idle, Wrap };

// Whether the next round may fetch a chunk, from the reader's and writer's
// lap bases, the write offset, the host's position and the stream length.
Admission Admit(std::int64_t readerLapBase, std::int64_t writerLapBase, std::int64_t writeOffset,
                std::int64_t position, std::int64_t length);

}  // namespace httpmedia
