#include "sample_media.h"

#include <array>
#include <cmath>
#include <numbers>

namespace httpmedia::tools {

namespace {

constexpr std::uint32_t kSampleRate = 44'100;
constexpr std::uint16_t kChannels = 2;
constexpr std::uint16_t kBitsPerSample = 16;
constexpr std::uint32_t kSeconds = 45;

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutTag(std::vector<std::uint8_t>& out, const char (&tag)[5]) {
  out.insert(out.end(), tag, tag + 4);
}

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

}  // namespace

std::vector<std::uint8_t> MakeSampleWave() {
  const std::uint32_t frames = kSampleRate * kSeconds;
  const std::uint32_t block = kChannels * kBitsPerSample / 8;
  const std::uint32_t data_bytes = frames * block;

  std::vector<std::uint8_t> out;
  out.reserve(44 + data_bytes);
  PutTag(out, "RIFF");
  PutLe(out, 36 + data_bytes, 4);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  PutLe(out, 16, 4);  // size of the PCM format chunk
  PutLe(out, 1, 2);   // PCM
  PutLe(out, kChannels, 2);
  PutLe(out, kSampleRate, 4);
  PutLe(out, kSampleRate * block, 4);
  PutLe(out, block, 2);
  PutLe(out, kBitsPerSample, 2);
  PutTag(out, "data");
  PutLe(out, data_bytes, 4);

  // A slow arpeggio, one note a second, left and right a fifth apart, each
  // note fading out: audibly a test signal, and no two seconds alike.
  constexpr double kNotes[] = {220.0, 261.63, 329.63, 392.0, 440.0, 392.0, 329.63, 261.63};
  const double two_pi = 2 * std::numbers::pi;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const std::uint32_t second = i / kSampleRate;
    const double t = static_cast<double>(i % kSampleRate) / kSampleRate;
    const double note = kNotes[second % std::size(kNotes)] * (1 + (second / 8) * 0.125);
    const double envelope = 0.4 * std::exp(-3.0 * t);
    const double left = envelope * std::sin(two_pi * note * t);
    const double right = envelope * std::sin(two_pi * note * 1.5 * t);
    PutLe(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(left * 32767)), 2);
    PutLe(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(right * 32767)), 2);
  }
  return out;
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = MakeCrcTable();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace httpmedia::tools
