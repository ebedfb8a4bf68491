#include "stream/range_request.h"

#include "platform/system_services.h"
#include "stream/download_task.h"
#include "stream/http_request.h"
#include "stream/ring.h"

namespace httpmedia {

void RememberStream(const char16_t* url, bool lengthKnown, bool rangesAccepted) {
  Stream.Url = url;
  Stream.LengthKnown.store(lengthKnown ? 1 : 0);
  Stream.RangesAccepted.store(lengthKnown && rangesAccepted ? 1 : 0);
}

bool RangeServes(std::int64_t position) {
  if (Stream.RangesAccepted.load() == 0) return false;
  if (position < 0 || position >= Stream.Length.load()) return false;
  return position < WindowFloor() || position > DownloadEnd() + RestartDistance;
}

bool RestartAt(std::int64_t position) {
  const InternetHandle request =
      OpenRangeRequest(Stream.Session.load(), Stream.Url.c_str(), position, Stream.Length.load());
  if (request == nullptr) {
    Stream.RangesAccepted.store(0);
    return false;
  }
  StopDownloadTask();
  // No download runs now: the ring starts afresh at the position.
  ResetLaps(static_cast<std::int32_t>(position));
  Stream.StreamEnded.store(0);
  Stream.Request.store(request);
  if (!StartDownloadTask()) {
    CloseInternetHandle(Stream.Request.exchange(nullptr));
    Stream.StreamEnded.store(1);
    return false;
  }
  return true;
}

bool ResumeAfterDrop(InternetHandle broken) {
  // A transfer on no request at all failed because the request had already
  // been withdrawn: that is the stop signal, not a drop.
  if (broken == nullptr) return false;
  if (Stream.LengthKnown.load() == 0 || Stream.RangesAccepted.load() == 0) return false;
  std::uint32_t pause = ResumePauseMs;
  for (int attempt = 0; attempt < ResumeAttempts; ++attempt, pause *= 2) {
    // Close or a restart withdrew the request: nothing to resume, and no
    // pause to sit out first.
    if (Stream.Request.load() != broken) return false;
    sys::Sleep(pause);
    if (Stream.Request.load() != broken) return false;
    const InternetHandle resumed = OpenRangeRequest(Stream.Session.load(), Stream.Url.c_str(),
                                                    DownloadEnd(), Stream.Length.load());
    if (resumed == nullptr) continue;
    InternetHandle expected = broken;
    if (!Stream.Request.compare_exchange_strong(expected, resumed)) {
      CloseInternetHandle(resumed);
      return false;
    }
    CloseInternetHandle(broken);
    return true;
  }
  return false;
}

}  // namespace httpmedia
