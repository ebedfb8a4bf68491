// Where the engine leaves why the host's last call ended as it did, for the
// host to ask (HttpMediaLastOutcome in httpmedia_host.h). On Linux the record
// lives in the system services' library, which the host reaches as it
// reaches the hooks; Windows has no host-side library, and the plug-in keeps
// the record to itself.
#pragma once

#include <string_view>

#if defined(_WIN32)
#define HTTPMEDIA_OUTCOME_API
#else
#define HTTPMEDIA_OUTCOME_API __attribute__((visibility("default")))
#endif

namespace httpmedia::sys {

// Replaces the record: kind is an HttpMediaOutcomeKind, text one line of
// UTF-8 (cut to what the record holds, never in the middle of a character).
HTTPMEDIA_OUTCOME_API void TellOutcome(int kind, int httpStatus, std::string_view text);

}  // namespace httpmedia::sys
