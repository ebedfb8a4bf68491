#include "stream/refetch.h"

#include "stream/download_task.h"
#include "stream/http_request.h"
#include "stream/ring.h"
#include "stream/stream_state.h"

namespace httpmedia {

namespace {

// A whole body, as the stream's own answer was: not a part of one.
bool WholeBody(std::uint32_t status) { return status >= 200 && status < 300 && status != 206; }

}  // namespace

bool RefetchServes(std::int64_t position) {
  if (Stream.Refetchable.load() == 0 || Stream.RangesAccepted.load() != 0) return false;
  if (Stream.Ring.load() == nullptr) return false;
  if (position < 0 || position >= Stream.Length.load()) return false;
  return position < WindowFloor();
}

bool RefetchFromStart(std::int64_t position) {
  const InternetHandle request = OpenBodyRequest(Stream.Session.load(), Stream.Url.c_str());
  if (request == nullptr) return false;
  const bool whole = WholeBody(ResponseStatus(request));
  if (!whole || !SameVersion(request)) {
    // Another version's bytes must never be mixed into this stream's. An
    // error answer may pass; another version stays.
    if (whole) Stream.Refetchable.store(0);
    CloseInternetHandle(request);
    return false;
  }
  StopDownloadTask();
  // No download runs now: the ring starts afresh at the body's start, and
  // the download reads forward to the host's target. The target is in place
  // before the download starts, so that the writer keeps its bytes.
  const std::int32_t before = Stream.Position.exchange(static_cast<std::int32_t>(position));
  ResetLaps(0);
  Stream.StreamEnded.store(0);
  Stream.Request.store(request);
  if (!StartDownloadTask()) {
    CloseInternetHandle(Stream.Request.exchange(nullptr));
    Stream.StreamEnded.store(1);
    Stream.Position.store(before);
    return false;
  }
  return true;
}

}  // namespace httpmedia
