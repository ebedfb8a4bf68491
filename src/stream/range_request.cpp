#include "stream/range_request.h"

#include <algorithm>
#include <functional>

#include "platform/system_services.h"
#include "stream/download_task.h"
#include "stream/download_wait.h"
#include "stream/http_request.h"
#include "stream/outcome.h"
#include "stream/rejoin.h"
#include "stream/ring.h"
#include "stream/stream_log.h"

namespace httpmedia {

RangeReply AskWithinBudget(RetryBudget& budget, const std::function<bool()>& stillWanted,
                           const std::function<RangeReply(std::uint32_t, std::uint32_t)>& ask,
                           const std::function<void(const RangeReply&)>& replied) {
  for (;;) {
    const std::uint32_t pause = std::min(budget.nextPauseMs, RetryBudgetMs - budget.spentMs);
    for (std::uint32_t slept = 0; slept < pause; slept += PollMs) {
      if (!stillWanted()) return {};
      sys::Sleep(PollMs);
    }
    budget.spentMs += pause;
    streamlog::BudgetSpent(budget);
    if (!stillWanted() || budget.spentMs >= RetryBudgetMs) return {};
    RangeReply reply = ask(pause, RetryBudgetMs - budget.spentMs);
    budget.spentMs = std::min(RetryBudgetMs, budget.spentMs + reply.elapsedMs);
    const std::uint32_t grown =
        budget.nextPauseMs == 0 ? FirstRetryPauseMs : budget.nextPauseMs * 2;
    budget.nextPauseMs = std::min(grown, LongestRetryPauseMs);
    if (replied) replied(reply);
    if (reply.answer != RangeAnswer::Retry) return reply;
    // The server's own word on when to come back, within the budget.
    if (reply.retryAfterMs > 0) budget.nextPauseMs = reply.retryAfterMs;
  }
}

namespace {

// Asks for the body from position on until it is served, the server
// refuses or has changed it, the budget runs out (Retry), or stillWanted()
// turns false (Retry, with nothing open). A request waiting for its headers
// is abandoned as soon as stillWanted() turns false, so that a withdrawn
// request holds up neither Close nor the next request.
RangeReply AskForRange(std::int64_t position, RetryBudget& budget,
                       const std::function<bool()>& stillWanted) {
  return AskWithinBudget(
      budget, stillWanted,
      [&](std::uint32_t pause, std::uint32_t left) {
        streamlog::RangeTry(position, budget, pause);
        return OpenRangeRequest(position, std::min(RangeHeaderDeadlineMs, left), left, stillWanted);
      },
      [&](const RangeReply& reply) { streamlog::RangeReplied(reply, budget); });
}

}  // namespace

bool TakeOver(InternetHandle current, const RangeReply& reply) {
  InternetHandle expected = current;
  if (current == nullptr || !Stream.Request.compare_exchange_strong(expected, reply.request)) {
    CloseReply(reply);
    return false;
  }
  const InternetHandle oldSession = Stream.Session.exchange(reply.session);
  // Close withdrew the new request between the two exchanges: it may have
  // taken the old session rather than this one, which is then closed here.
  if (Stream.Request.load() == nullptr) CloseInternetHandle(Stream.Session.exchange(nullptr));
  CloseInternetHandle(current);
  CloseInternetHandle(oldSession);
  return true;
}

namespace {

void StopUsingRanges(const RangeReply& reply) {
  streamlog::RangesDropped(reply.answer);
  if (reply.answer == RangeAnswer::Changed || reply.answer == RangeAnswer::Refused) {
    Stream.RangesAccepted.store(0);
  }
  // A resource seen to change is not fetched again from its start either.
  if (reply.answer == RangeAnswer::Changed) Stream.Refetchable.store(0);
}

}  // namespace

void RememberStream(const char16_t* url, bool lengthKnown, bool rangesAccepted,
                    bool validatorKnown) {
  Stream.Url = url;
  Stream.LengthKnown.store(lengthKnown ? 1 : 0);
  // The server's length, not the one the host is told, bounds the ranges: a
  // body past the last position is served by ranges below it all the same.
  const bool serverLength = Stream.ServerLength.load() >= 0;
  Stream.RangesAccepted.store(serverLength && rangesAccepted && validatorKnown ? 1 : 0);
  Stream.RestartTarget.store(NoRestart);
}

bool RangeServes(std::int64_t position) {
  if (Stream.RangesAccepted.load() == 0) return false;
  if (position < 0 || position >= PositionLimit()) return false;
  return position < WindowFloor() || position > DownloadEnd() + RestartDistance;
}

namespace {

// Hands the restart at target to the download task and waits for it to be
// taken up; see RestartAt.
RestartResult AwaitRestart(std::int32_t target, CallDeadline& deadline) {
  Stream.RestartTarget.store(target);
  auto takenUp = [] {
    if (Stream.RestartTarget.load() == NoRestart) return true;
    // The task ended (the download had ended) before it saw the request: a
    // new task takes it up first thing.
    if (Stream.Finished.load() != 0 && Stream.RestartTarget.load() >= 0) {
      JoinEndedDownloadTask();
      if (!StartDownloadTask()) {
        Stream.RestartTarget.store(NoRestart);
        return true;
      }
    }
    return false;
  };
  const WaitResult waited = WaitForDownload(takenUp, deadline, WaitEnd::Ignore);
  if (waited == WaitResult::TimedOut) {
    // Withdrawn, unless the task is putting it in place this moment: then
    // that is let finish, so that the ring does not move under a later read.
    // Putting it in place takes no network wait (the answer is in), so this
    // poll outlasts the deadline by moments at most.
    std::int32_t expected = target;
    if (!Stream.RestartTarget.compare_exchange_strong(expected, NoRestart)) {
      while (Stream.RestartTarget.load() != NoRestart) sys::Sleep(PollMs);
    }
    return RestartResult::TimedOut;
  }
  // The server stayed away: the host is told as of a wait that timed out,
  // never as of the end.
  if (ServerWasAway()) {
    outcome::Record(outcome::Kind::TimedOut,
                    "the server did not answer within the retry budget; the next read asks again");
    deadline.CallTimeout();
    return RestartResult::TimedOut;
  }
  return Stream.StreamEnded.load() == 0 ? RestartResult::Restarted : RestartResult::NotRestarted;
}

}  // namespace

RestartResult RestartAt(std::int64_t position, CallDeadline& deadline) {
  streamlog::RestartAsked(position);
  return AwaitRestart(static_cast<std::int32_t>(position), deadline);
}

bool ServerWasAway() { return Stream.StreamEnded.load() != 0 && Stream.ServerAway.load() != 0; }

RestartResult AskServerAgain(std::int64_t position, CallDeadline& deadline) {
  if (RangeServes(position)) return RestartAt(position, deadline);
  const std::int64_t end = DownloadEnd();
  streamlog::ServerAskedAgain(end);
  return AwaitRestart(static_cast<std::int32_t>(end), deadline);
}

void TakeUpRestart() {
  const std::int32_t target = Stream.RestartTarget.load();
  if (target < 0) return;
  // A restart where the download stopped goes on in the ring as it is, as a
  // resume does: what the ring holds stays for backward seeks.
  const bool goesOn = target == DownloadEnd();
  // The host has moved outside what the running transfer would bring, and
  // waits: its bytes are not wanted. It is withdrawn before the range is
  // asked for, so that its connection serves the range request (an HTTP/2
  // stream is reset and the connection carries the next one; an HTTP/1.1
  // connection left mid-body is replaced by the spare beside it) rather than
  // a new one made beside it while it still runs.
  InternetHandle running = Stream.Request.load();
  if (running == nullptr || !Stream.Request.compare_exchange_strong(running, WithdrawnRequest)) {
    return;  // Close withdrew it first
  }
  CloseInternetHandle(running);
  const std::function<bool()> stillWanted = [target] {
    return Stream.Request.load() == WithdrawnRequest && Stream.RestartTarget.load() == target;
  };
  RetryBudget budget;
  RangeReply reply = AskForRange(target, budget, stillWanted);
  std::int32_t startsAt = target;
  if (reply.answer != RangeAnswer::Served) {
    StopUsingRanges(reply);
    // A server that pays Range no heed still gives the body from its start
    // (its answer to the range may be that body already), read forward to
    // the target, where its version can be told; otherwise (a changed
    // resource, a server that stays down) the stream ends with what the
    // ring holds, for nothing of another request may be spliced into it.
    if (reply.answer == RangeAnswer::Refused && Stream.Refetchable.load() != 0) {
      if (reply.request == nullptr && stillWanted()) {
        reply = OpenWholeBodyAgain(RangeHeaderDeadlineMs, &stillWanted);
        if (reply.answer == RangeAnswer::Changed) Stream.Refetchable.store(0);
      }
      if (reply.request != nullptr) reply.answer = RangeAnswer::Served;
      streamlog::RefetchReplied(reply.answer, target);
      startsAt = 0;
    }
  }
  // From here on no network wait: the host, should its wait run out now,
  // waits for what follows rather than reading a ring being re-based.
  std::int32_t expected = target;
  const bool inPlace = Stream.RestartTarget.compare_exchange_strong(expected, RestartInPlace);
  bool taken = false;
  if (inPlace && reply.answer == RangeAnswer::Served) {
    taken = TakeOver(WithdrawnRequest, reply);
  } else {
    CloseReply(reply);
  }
  if (!taken) {
    // No request to go on with. A server that stayed away (or a restart the
    // host gave up waiting for) ends the download but not the stream: a
    // later read asks again, outside the ring or where the download stopped.
    outcome::DownloadEnds(outcome::Kind::Cut, "no answer served the stream from byte " +
                                                  std::to_string(target) + " on");
    Stream.ServerAway.store(reply.answer == RangeAnswer::Retry ? 1 : 0);
    Stream.StreamEnded.store(1);
    if (inPlace) Stream.RestartTarget.store(NoRestart);
    return;
  }
  // The host waits for this restart and reads nothing meanwhile: the ring
  // starts afresh where the new request's body starts, or goes on.
  if (!goesOn || startsAt != target) ResetLaps(startsAt);
  Stream.ServerAway.store(0);
  Stream.StreamEnded.store(0);
  streamlog::Restarted(startsAt);
  Stream.RestartTarget.store(NoRestart);
}

bool ResumeAfterDrop(InternetHandle broken, RetryBudget& budget) {
  // A transfer on no request at all failed because the request had already
  // been withdrawn: that is the stop signal, not a drop.
  if (broken == nullptr) return false;
  // Close withdrew the request under the transfer, which failed for it:
  // the stop signal too, and nothing is resumed.
  if (Stream.Request.load() != broken) return false;
  streamlog::Dropped();
  // Without ranges, the body asked for again brings the rest.
  if (Stream.RangesAccepted.load() == 0) return RejoinAfterDrop(broken, budget);
  // Close withdrew the request, or the host asked for a restart elsewhere,
  // which replaces the resume.
  const RangeReply reply = AskForRange(DownloadEnd(), budget, [broken] {
    return Stream.Request.load() == broken && Stream.RestartTarget.load() == NoRestart;
  });
  if (reply.answer != RangeAnswer::Served) {
    // What arrived is still delivered; a changed resource gives no more.
    // A server away for the whole budget has not ended the body: a read
    // there asks it again.
    CloseReply(reply);
    StopUsingRanges(reply);
    if (reply.answer == RangeAnswer::Retry) Stream.ServerAway.store(1);
    return false;
  }
  return TakeOver(broken, reply);
}

}  // namespace httpmedia
