// The Internet-client layer alone, as the download task drives it: one
// synchronous request, its body pulled in 20,000-byte reads and dropped.
//
//   bench_inet URL
//
// Prints {"bytes": N, "seconds": S}.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "internet_client.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_inet URL\n");
    return 64;
  }
  const std::string url = argv[1];
  const std::u16string url16(url.begin(), url.end());
  constexpr DWORD kReadSize = 20'000;  // the engine's chunk
  std::vector<unsigned char> buffer(kReadSize);

  const auto start = std::chrono::steady_clock::now();
  HINTERNET session = InternetOpenW(u"bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (session == nullptr) return 1;
  HINTERNET request = InternetOpenUrlW(session, reinterpret_cast<LPCWSTR>(url16.c_str()), nullptr,
                                       0, INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (request == nullptr) return 1;
  long long total = 0;
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer.data(), kReadSize, &got) || got == 0) break;
    total += got;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  InternetCloseHandle(request);
  InternetCloseHandle(session);
  std::printf("{\"bytes\": %lld, \"seconds\": %.6f}\n", total, seconds);
  return 0;
}
