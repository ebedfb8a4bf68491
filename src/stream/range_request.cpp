#include "stream/range_request.h"

#include <string>

#include "platform/system_services.h"
#include "stream/download_task.h"
#include "stream/request_flags.h"
#include "stream/response_info.h"

namespace httpmedia {

namespace {

// Written by Open before any download starts, read by the host's calls and
// the download thread while the stream is open.
std::u16string streamUrl;

constexpr std::uint32_t PartialContent = 206;

// The request for the body from `first` on, when the server answers with
// exactly that part of the stream; null otherwise.
InternetHandle OpenRangeRequest(std::int64_t first) {
  const std::string header = "Range: bytes=" + std::to_string(first) + "-\r\n";
  const std::u16string wideHeader(header.begin(), header.end());
  HINTERNET request =
      ::InternetOpenUrlW(static_cast<HINTERNET>(Stream.Session.load()), Wide(streamUrl.c_str()),
                         Wide(wideHeader.c_str()), HeadersUpToNul, RequestFlags, RequestContext);
  if (request == nullptr) return nullptr;
  const std::optional<ContentRange> range = ResponseContentRange(request);
  const std::int64_t length = Stream.Length.load();
  const bool exact = ResponseStatus(request) == PartialContent && range && range->first == first &&
                     range->last == length - 1 && (!range->total || *range->total == length);
  if (!exact) {
    CloseInternetHandle(request);
    return nullptr;
  }
  return request;
}

}  // namespace

void RememberStream(const char16_t* url, bool lengthKnown, bool rangesAccepted) {
  streamUrl = url;
  Stream.LengthKnown.store(lengthKnown ? 1 : 0);
  Stream.RangesAccepted.store(lengthKnown && rangesAccepted ? 1 : 0);
}

bool RangeServes(std::int64_t position) {
  if (Stream.RangesAccepted.load() == 0) return false;
  if (position < 0 || position >= Stream.Length.load()) return false;
  return position < WindowFloor() || position > DownloadEnd() + RestartDistance;
}

bool RestartAt(std::int64_t position) {
  const InternetHandle request = OpenRangeRequest(position);
  if (request == nullptr) {
    Stream.RangesAccepted.store(0);
    return false;
  }
  StopDownloadTask();
  // No download runs now: the ring starts afresh at the position.
  Stream.DownloadStart.store(static_cast<std::int32_t>(position));
  Stream.ReaderLapBase.store(static_cast<std::int32_t>(position));
  Stream.WriterLapBase.store(static_cast<std::int32_t>(position));
  Stream.WriteOffset.store(0);
  Stream.TransferEnd.store(static_cast<std::int32_t>(position));
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
    sys::Sleep(pause);
    // Close or a restart withdrew the request: nothing to resume.
    if (Stream.Request.load() != broken) return false;
    const InternetHandle resumed = OpenRangeRequest(DownloadEnd());
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
