// Checks a file against the test server's body: every byte must be the
// body's byte at the same stream position counted from START, and the file
// must hold exactly LENGTH bytes.
//
//   httpmedia-body-check FILE START LENGTH
//
// Prints what it found and exits 0 only when both hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "body.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: httpmedia-body-check FILE START LENGTH\n");
    return 2;
  }
  const std::uint64_t start = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t length = std::strtoull(argv[3], nullptr, 10);
  std::FILE* file = std::fopen(argv[1], "rb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  std::vector<std::uint8_t> block(1 << 20);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got == 0) break;
    const std::size_t bad = httpmedia::testing::FirstBodyMismatch(start + total, block.data(), got);
    if (bad != got) {
      std::printf("wrong byte at file offset %llu (stream position %llu)\n",
                  static_cast<unsigned long long>(total + bad),
                  static_cast<unsigned long long>(start + total + bad));
      std::fclose(file);
      return 1;
    }
    total += got;
  }
  std::fclose(file);
  if (total != length) {
    std::printf("%llu bytes, expected %llu\n", static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(length));
    return 1;
  }
  std::printf("%llu bytes, all correct\n", static_cast<unsigned long long>(total));
  return 0;
}
