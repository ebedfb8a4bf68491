// The record behind HttpMediaLastOutcome: written by the engine on the
// thread of the host's call, read by the host, under one lock.
#include "platform/host_outcome.h"

#include <cstring>
#include <mutex>

#include "httpmedia/httpmedia_host.h"

namespace httpmedia::sys {

namespace {

std::mutex RecordLock;
HttpMediaOutcome Record{};  // guarded by RecordLock

// The longest prefix of text that fits in `room` bytes and ends on a whole
// UTF-8 character.
std::size_t FittingLength(std::string_view text, std::size_t room) {
  if (text.size() <= room) return text.size();
  std::size_t length = room;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return length;
}

}  // namespace

void TellOutcome(int kind, int httpStatus, std::string_view text) {
  std::lock_guard<std::mutex> lock(RecordLock);
  Record.kind = kind;
  Record.http_status = httpStatus;
  const std::size_t length = FittingLength(text, sizeof Record.text - 1);
  std::memcpy(Record.text, text.data(), length);
  Record.text[length] = '\0';
}

}  // namespace httpmedia::sys

extern "C" HTTPMEDIA_OUTCOME_API int HttpMediaLastOutcome(HttpMediaOutcome* outcome) {
  std::lock_guard<std::mutex> lock(httpmedia::sys::RecordLock);
  if (outcome != nullptr) *outcome = httpmedia::sys::Record;
  return httpmedia::sys::Record.kind;
}
