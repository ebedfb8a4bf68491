// Turning a fuzzer's bytes into the text our code reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace httpmedia::fuzzing {

// A leading zero byte makes the rest UTF-16 in little-endian pairs, lone
// surrogates and all; otherwise every byte is one code unit, so that plain
// text seeds read as themselves.
inline std::u16string Utf16(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  if (size > 0 && data[0] == 0) {
    for (std::size_t i = 1; i + 1 < size; i += 2) {
      text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
  } else {
    text.assign(data, data + size);
  }
  return text;
}

}  // namespace httpmedia::fuzzing
