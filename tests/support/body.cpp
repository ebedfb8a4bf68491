#include "body.h"

#include <algorithm>
#include <cstring>

namespace httpmedia::testing {

void FillBody(std::uint64_t start, std::uint8_t* out, std::size_t count) {
  std::size_t i = 0;
  // Leading bytes up to an 8-aligned position.
  for (; i < count && ((start + i) & 7) != 0; ++i) out[i] = BodyByte(start + i);
  // Whole words: the bytes of a word are its little-endian bytes, written
  // explicitly so the result does not depend on the host's byte order.
  std::uint64_t word = (start + i) >> 3;
  for (; i + 8 <= count; i += 8, ++word) {
    const std::uint64_t w = body_detail::Word(word);
    for (int b = 0; b < 8; ++b) out[i + b] = static_cast<std::uint8_t>(w >> (b * 8));
  }
  for (; i < count; ++i) out[i] = BodyByte(start + i);
}

std::size_t FirstBodyMismatch(std::uint64_t start, const std::uint8_t* data, std::size_t count) {
  constexpr std::size_t kBlock = 4096;
  std::uint8_t expected[kBlock];
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min(kBlock, count - done);
    FillBody(start + done, expected, n);
    if (std::memcmp(expected, data + done, n) != 0) {
      for (std::size_t i = 0; i < n; ++i) {
        if (expected[i] != data[done + i]) return done + i;
      }
    }
    done += n;
  }
  return count;
}

}  // namespace httpmedia::testing
