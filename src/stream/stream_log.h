// The engine's lines in the diagnostic log (platform/diag_log.h): one
// function per event, called where the engine decides, each saying in plain
// words what it decided and why. Every one is an inline check of the log's
// level first, so that a log turned off costs a load and a branch; the
// writing is out of line.
#pragma once

#include <cstdint>

#include "platform/diag_log.h"
#include "stream/download_wait.h"
#include "stream/http_request.h"
#include "stream/range_request.h"
#include "stream/stream_state.h"

namespace httpmedia::streamlog {

using diag::Enabled;
using diag::Level;

void WriteOpenBegins(const char16_t* url);
void WriteOpenFails(const char* why);
void WriteProbeEnded(std::uint32_t elapsedMs);
void WriteRequest(const char16_t* url, const char16_t* headers);
void WriteAnswer(InternetHandle request, std::uint32_t deadlineMs, bool expired);
void WriteStreamTaken(InternetHandle request);
void WriteCloses();
void WriteChunk(std::int64_t at, std::int32_t wanted, std::int32_t received, bool ok);
void WriteWaitEnded(WaitResult result, std::uint32_t waitedMs);
void WriteRangeTry(std::int64_t position, const RetryBudget& budget, std::uint32_t pauseMs);
void WriteRangeReplied(const RangeReply& reply, const RetryBudget& budget);
void WriteBudgetSpent();
void WriteRangesDropped(RangeAnswer answer);
void WriteDropped();
void WriteRestartAsked(std::int64_t position);
void WriteRestarted(std::int32_t target);
void WriteServerAskedAgain(std::int64_t end);
void WriteSeekBelowWindow(std::int64_t target);
void WriteSeekRefused(std::int64_t target, const char* why);
void WritePositionsEnd(std::int64_t position);
void WriteEncodingRefused(InternetHandle request);
void WriteRefetchReplied(RangeAnswer answer, std::int64_t position);

// How a drop without ranges came out (RejoinAfterDrop).
enum class RejoinOutcome {
  FetchedAgain,  // the same body, read forward to the cut
  Joined,        // a broadcast, joined at the write position
  EndsThere,     // the body fetched again ends at the cut too: its end
  Differs,       // a body that differs: the stream ends, never spliced
  Changed,       // another version answered
  Cut,           // the budget ran out, or the server refused: cut, not ended
};
void WriteRejoined(RejoinOutcome outcome, std::int64_t cut, std::uint32_t tookMs,
                   std::uint32_t tries);

// Open: the clock of the log's lines starts again here.
inline void OpenBegins(const char16_t* url) {
  if (Enabled(Level::Info)) WriteOpenBegins(url);
}
inline void OpenFails(const char* why) {
  if (Enabled(Level::Info)) WriteOpenFails(why);
}
inline void ProbeEnded(std::uint32_t elapsedMs) {
  if (Enabled(Level::Info)) WriteProbeEnded(elapsedMs);
}
// Every request: its URL (without credentials) and the headers we add.
inline void Request(const char16_t* url, const char16_t* headers) {
  if (Enabled(Level::Info)) WriteRequest(url, headers);
}
// A request's outcome: its status and the headers the engine decides by, or
// why there is none.
inline void Answer(InternetHandle request, std::uint32_t deadlineMs, bool expired) {
  if (Enabled(Level::Info)) WriteAnswer(request, deadlineMs, expired);
}
// The length taken, whether ranges serve the stream, and what a seek below
// the ring will do, each with its reason.
inline void StreamTaken(InternetHandle request) {
  if (Enabled(Level::Info)) WriteStreamTaken(request);
}
inline void Closes() {
  if (Enabled(Level::Info)) WriteCloses();
}
// The download task names its thread. Each chunk's outcome is kept for the
// line of a drop; debug level tells each chunk.
inline void DownloadStarts() {
  if (Enabled(Level::Info)) diag::NameThread("download");
}
inline void Chunk(std::int64_t at, std::int32_t wanted, std::int32_t received, bool ok) {
  if (Enabled(Level::Info)) WriteChunk(at, wanted, received, ok);
}
// A wait's end: a time-out at info level, any other at debug level.
inline void WaitEnded(WaitResult result, std::uint32_t waitedMs) {
  if (Enabled(result == WaitResult::TimedOut ? Level::Info : Level::Debug)) {
    WriteWaitEnded(result, waitedMs);
  }
}
inline void RangeTry(std::int64_t position, const RetryBudget& budget, std::uint32_t pauseMs) {
  if (Enabled(Level::Info)) WriteRangeTry(position, budget, pauseMs);
}
inline void RangeReplied(const RangeReply& reply, const RetryBudget& budget) {
  if (Enabled(Level::Info)) WriteRangeReplied(reply, budget);
}
inline void BudgetSpent(const RetryBudget& budget) {
  if (budget.spentMs >= RetryBudgetMs && Enabled(Level::Info)) WriteBudgetSpent();
}
inline void RangesDropped(RangeAnswer answer) {
  if (Enabled(Level::Info)) WriteRangesDropped(answer);
}
// A transfer failed or ended short of the length: what broke and the plan.
inline void Dropped() {
  if (Enabled(Level::Info)) WriteDropped();
}
inline void RestartAsked(std::int64_t position) {
  if (Enabled(Level::Info)) WriteRestartAsked(position);
}
inline void Restarted(std::int32_t target) {
  if (Enabled(Level::Info)) WriteRestarted(target);
}
// A read meets a download that ended with the server away.
inline void ServerAskedAgain(std::int64_t end) {
  if (Enabled(Level::Info)) WriteServerAskedAgain(end);
}
inline void SeekBelowWindow(std::int64_t target) {
  if (Enabled(Level::Info)) WriteSeekBelowWindow(target);
}
inline void SeekRefused(std::int64_t target, const char* why) {
  if (Enabled(Level::Info)) WriteSeekRefused(target, why);
}
// An open ends on a body in a Content-Encoding no one here can undo.
inline void EncodingRefused(InternetHandle request) {
  if (Enabled(Level::Info)) WriteEncodingRefused(request);
}
// A read at the last position of a body the server says is longer.
inline void PositionsEnd(std::int64_t position) {
  if (Enabled(Level::Info)) WritePositionsEnd(position);
}
inline void RefetchReplied(RangeAnswer answer, std::int64_t position) {
  if (Enabled(Level::Info)) WriteRefetchReplied(answer, position);
}
// One line per fetch again or join after a drop: the cause, the time it
// took, the tries, and which it was.
inline void Rejoined(RejoinOutcome outcome, std::int64_t cut, std::uint32_t tookMs,
                     std::uint32_t tries) {
  if (Enabled(Level::Info)) WriteRejoined(outcome, cut, tookMs, tries);
}

}  // namespace httpmedia::streamlog
