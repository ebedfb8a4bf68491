// The sample the command-line host streams when given no URL: a generated
// audio file, and the checksum that tells whether it came through intact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace httpmedia::tools {

// A 45-second 16-bit stereo PCM WAVE file at 44.1 kHz (7,938,044 bytes):
// several times the plug-in's ring, so streaming it wraps the ring.
std::vector<std::uint8_t> MakeSampleWave();

// CRC-32 (IEEE 802.3, as zlib and PNG use it) of data, continued from crc.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

}  // namespace httpmedia::tools
