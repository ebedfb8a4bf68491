// Why the host's last call ended as it did, recorded where the engine
// decides it, for the host to ask (HttpMediaLastOutcome). Every host call
// but Close begins a new outcome; until something is recorded it is Done.
// Adding a cause is one call at the place that decides it:
//
//   outcome::Record(outcome::Kind::EncodingRefused, "the body is sent gzip-encoded");
//
// on the host's thread, or, on the download thread, the way the download
// ended (outcome::DownloadEnds), which the read that meets that end
// reports. The texts never hold a URL: a URL may carry credentials.
#pragma once

#include <cstdint>
#include <string>

#include "httpmedia/httpmedia_host.h"

namespace httpmedia::outcome {

enum class Kind : int {
  Done = HTTPMEDIA_OUTCOME_DONE,
  Ended = HTTPMEDIA_OUTCOME_ENDED,
  Cut = HTTPMEDIA_OUTCOME_CUT,
  TimedOut = HTTPMEDIA_OUTCOME_TIMED_OUT,
  HttpStatus = HTTPMEDIA_OUTCOME_HTTP_STATUS,
  NameNotResolved = HTTPMEDIA_OUTCOME_NAME_NOT_RESOLVED,
  ConnectionRefused = HTTPMEDIA_OUTCOME_CONNECTION_REFUSED,
  Tls = HTTPMEDIA_OUTCOME_TLS,
  EncodingRefused = HTTPMEDIA_OUTCOME_ENCODING_REFUSED,
  SizeLimit = HTTPMEDIA_OUTCOME_SIZE_LIMIT,
  Failed = HTTPMEDIA_OUTCOME_FAILED,
};

// A host call (Open with a URL, Read, Seek) begins: nothing to say yet.
void CallBegins();

// Why the current host call ends as it does; on the host's thread. The first
// cause recorded in a call stands: it is the one that decided.
void Record(Kind kind, const std::string& why, std::uint32_t httpStatus = 0);

// Whether the current host call has recorded a cause.
bool Recorded();

// A request that brought no answer, by the Internet client's error code.
void RequestFailed(std::uint32_t error);

// An answer that is no stream: its status and reason phrase.
void AnswerRefused(std::uint32_t status, const std::string& reason);

// How the download ended (Ended or Cut), on the download thread; kept until
// the next open for the reads that meet that end.
void DownloadEnds(Kind kind, const std::string& why);

// A read got fewer bytes than it asked for and recorded nothing itself: the
// stream's end, or how the download ended.
void ReadFellShort(bool atLength);

// The Internet client's error code in plain words, and the class of failure
// it belongs to.
const char* ErrorWords(std::uint32_t error);
Kind KindOfError(std::uint32_t error);

}  // namespace httpmedia::outcome
