#include "body.h"

#include <bit>
#include <cstring>

namespace httpmedia::testing {

namespace {

// The eight body bytes of a word in stream order, as a native 64-bit value,
// so whole words are stored and compared with plain memcpy.
inline std::uint64_t NativeWord(std::uint64_t word_index) {
  const std::uint64_t w = body_detail::Word(word_index);
  if constexpr (std::endian::native == std::endian::little) {
    return w;
  } else {
    return __builtin_bswap64(w);
  }
}

}  // namespace

void FillBody(std::uint64_t start, std::uint8_t* out, std::size_t count) {
  std::size_t i = 0;
  for (; i < count && ((start + i) & 7) != 0; ++i) out[i] = BodyByte(start + i);
  std::uint64_t word = (start + i) >> 3;
  for (; i + 8 <= count; i += 8, ++word) {
    const std::uint64_t w = NativeWord(word);
    std::memcpy(out + i, &w, 8);
  }
  for (; i < count; ++i) out[i] = BodyByte(start + i);
}

std::size_t FirstBodyMismatch(std::uint64_t start, const std::uint8_t* data, std::size_t count) {
  std::size_t i = 0;
  for (; i < count && ((start + i) & 7) != 0; ++i) {
    if (data[i] != BodyByte(start + i)) return i;
  }
  std::uint64_t word = (start + i) >> 3;
  for (; i + 8 <= count; i += 8, ++word) {
    std::uint64_t got;
    std::memcpy(&got, data + i, 8);
    if (got != NativeWord(word)) break;  // the byte loop below finds which one
  }
  for (; i < count; ++i) {
    if (data[i] != BodyByte(start + i)) return i;
  }
  return count;
}

void FillLive(std::uint64_t first_word, std::uint64_t head, std::uint64_t offset, std::uint8_t* out,
              std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t at = offset + i;
    const std::uint64_t word =
        at < head ? (LiveHeadFlag | (at / 8)) : first_word + (at - head) / 8 + 1;
    out[i] = static_cast<std::uint8_t>(word >> ((at % 8) * 8));
  }
}

}  // namespace httpmedia::testing
