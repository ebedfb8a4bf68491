// What the engine reads from a response's headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "stream/stream_state.h"

namespace httpmedia {

// The response's status code, 0 when it cannot be told.
std::uint32_t ResponseStatus(InternetHandle request);

// The Content-Length as a stream length: nothing when the response has none
// or when it is not a decimal number that a signed 32-bit length can hold.
std::optional<std::int32_t> ResponseContentLength(InternetHandle request);

// A Content-Length header value as a stream length, by the same rule.
std::optional<std::int32_t> ParseContentLength(std::u16string_view value);

}  // namespace httpmedia
