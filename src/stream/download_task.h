// The background download: one thread moving the response body into the
// ring, chunk by chunk, as far as the admission rule lets it.
#pragma once

#include <atomic>
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
// Releases the thread of a task that has ended by itself (Finished).
void JoinEndedDownloadTask();
// Withdraws the request (closing it returns a transfer blocked on it) and
// waits for the task to end; the ring and the mutex stay.
void StopDownloadTask();
std::uint32_t DownloadThreadProc();

// Called, where set, on the download thread between a round's admission of a
// transfer and the transfer's announcement: a test moves the host there to
// show what the admission made again after the announcement guards against.
inline std::atomic<void (*)()> BeforeAnnouncement{nullptr};

}  // namespace httpmedia
