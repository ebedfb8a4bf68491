#include "stream/refetch.h"

#include "platform/system_services.h"
#include "stream/download_task.h"
#include "stream/download_wait.h"
#include "stream/http_request.h"
#include "stream/outcome.h"
#include "stream/rejoin.h"
#include "stream/ring.h"
#include "stream/stream_log.h"
#include "stream/stream_state.h"

namespace httpmedia {

bool RefetchServes(std::int64_t position) {
  if (Stream.RangesAccepted.load() != 0) return false;
  if (Stream.Refetchable.load() == 0 && !StartRecognisesBody()) return false;
  if (Stream.Ring.load() == nullptr) return false;
  if (position < 0 || position >= PositionLimit()) return false;
  return position < WindowFloor();
}

bool RefetchFromStart(std::int64_t position, CallDeadline& deadline) {
  // A request of the host's thread: bounded by what the call has left of
  // its deadline, with the busy cursor shown as for any wait. No range
  // request runs meanwhile (the stream has none), so the request's deadline
  // watch is free.
  const sys::CursorHandle kept = sys::ShowBusyCursor();
  RangeReply reply = OpenWholeBodyAgain(deadline.LeftMs());
  // Neither a length nor a validator vouches for the answer: its first
  // bytes must be the stream's, or it is a broadcast going on.
  const bool byBytes = Stream.Refetchable.load() == 0;
  if (reply.answer == RangeAnswer::Served && byBytes && !BeginsAsKept(reply.request, deadline)) {
    CloseReply(reply);
    reply.answer = RangeAnswer::Refused;
  }
  if (deadline.Expired()) deadline.CallTimeout();
  sys::RestoreCursor(kept);
  streamlog::RefetchReplied(reply.answer, position);
  if (reply.answer != RangeAnswer::Served) {
    // Another version's bytes must never be mixed into this stream's. An
    // error answer may pass; another version stays.
    if (reply.answer == RangeAnswer::Changed) Stream.Refetchable.store(0);
    return false;
  }
  // The old download is withdrawn as Close withdraws it, and ends as
  // promptly (within a poll or two, whatever it waits for).
  StopDownloadTask();
  // No download runs now: the ring starts afresh at the body's start, and
  // the download reads forward to the host's target. The target is in place
  // before the download starts, so that the writer keeps its bytes.
  const std::int32_t before = Stream.Position.exchange(static_cast<std::int32_t>(position));
  ResetLaps(0);
  Stream.ServerAway.store(0);
  Stream.StreamEnded.store(0);
  CloseInternetHandle(Stream.Session.exchange(reply.session));
  if (byBytes) {
    LimitStall(reply.request);
    HandKeptStart(reply.request);
  }
  Stream.Request.store(reply.request);
  if (!StartDownloadTask()) {
    CloseInternetHandle(Stream.Request.exchange(nullptr));
    outcome::DownloadEnds(outcome::Kind::Failed, "no thread for the download");
    Stream.StreamEnded.store(1);
    Stream.Position.store(before);
    return false;
  }
  return true;
}

}  // namespace httpmedia
