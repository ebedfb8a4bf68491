// The body every test server response carries: byte p of a stream is a fixed
// function of p alone, so a reader can check any span it got without knowing
// how it was cut up, re-requested or resumed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace httpmedia::testing {

namespace body_detail {

// One 64-bit word feeds eight consecutive positions. The mix is a bijection of
// the word index, so the body has no period at all: in particular no shift by a
// ring size (3,000,000, a multiple of 8) maps the body onto itself, and a
// stale ring slot read in place of a fresh one shows up as a mismatch. The
// added constant keeps the first word from being all zero bytes, which a
// zero-filled buffer would otherwise match.
constexpr std::uint64_t Word(std::uint64_t word_index) {
  std::uint64_t z = word_index * 0x9E3779B97F4A7C15ull + 0x6A09E667F3BCC909ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace body_detail

// Body byte at stream position `position`.
constexpr std::uint8_t BodyByte(std::uint64_t position) {
  return static_cast<std::uint8_t>(body_detail::Word(position >> 3) >> ((position & 7) * 8));
}

// Writes BodyByte(start + i) to out[i] for i in [0, count).
void FillBody(std::uint64_t start, std::uint8_t* out, std::size_t count);

// Index of the first byte of data that differs from the body at start, or
// count if all match.
std::size_t FirstBodyMismatch(std::uint64_t start, const std::uint8_t* data, std::size_t count);

// A broadcast (the test server's live mode) in words of eight bytes, little
// endian: each answer sends head bytes of head words (LiveHeadFlag | i, i
// from 0), then the broadcast's words from the one its clock stands at;
// broadcast word k is k + 1, so a word tells where in the broadcast it lies.
inline constexpr std::uint64_t LiveHeadFlag = 0xFEED000000000000ull;

// Bytes [offset, offset + count) of an answer whose broadcast part starts at
// word first_word after head bytes of head words (head a multiple of 8).
void FillLive(std::uint64_t first_word, std::uint64_t head, std::uint64_t offset, std::uint8_t* out,
              std::size_t count);

}  // namespace httpmedia::testing
