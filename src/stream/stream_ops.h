// The engine's operations behind the four exported functions.
#pragma once

#include <cstdint>

namespace httpmedia {

std::int32_t OpenStream(const char16_t* url);
std::int32_t CloseStream();
std::int32_t ReadStream(void* buffer, std::int32_t count);
std::int32_t SeekStream(std::int32_t offset, std::int32_t origin);

}  // namespace httpmedia
