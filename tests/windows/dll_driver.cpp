// Drives the Windows build of the plug-in as the host does: the DLL loaded
// with LoadLibraryW, its four functions found by ordinal, and every byte it
// delivers checked against the test server's body.
//
//   httpmedia-dll-driver.exe DLL BASE-URL [CASE...]
//
// BASE-URL is the loopback test server, e.g. http://127.0.0.1:PORT. With no
// CASE every case runs; --list names them all. Prints one "PASS name" or
// "FAIL name: why" line per case and a closing "N passed, N failed" line;
// exits nonzero on a failure.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "body.h"
#include "httpmedia/httpmedia.h"

namespace {

using httpmedia::testing::FirstBodyMismatch;

using ReadFunction = std::int32_t(WINAPI*)(void*, std::int32_t);
using SeekFunction = std::int32_t(WINAPI*)(std::int32_t, std::int32_t);
using OpenFunction = std::int32_t(WINAPI*)(const wchar_t*);
using CloseFunction = std::int32_t(WINAPI*)();

struct Plugin {
  HMODULE module = nullptr;
  ReadFunction read = nullptr;
  SeekFunction seek = nullptr;
  OpenFunction open = nullptr;
  CloseFunction close = nullptr;
};

// A case's first failed check, with enough of the state to find the fault.
struct Failure {
  std::string text;
};

std::string Describe(const char* what, long long got, long long expected) {
  return std::string(what) + ": got " + std::to_string(got) + ", expected " +
         std::to_string(expected);
}

void Expect(bool ok, const std::string& text) {
  if (!ok) throw Failure{text};
}

void ExpectEqual(long long got, long long expected, const char* what) {
  if (got != expected) throw Failure{Describe(what, got, expected)};
}

template <typename Function>
Function Ordinal(HMODULE module, WORD ordinal) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(::GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

Plugin Load(const std::wstring& path) {
  Plugin plugin;
  plugin.module = ::LoadLibraryW(path.c_str());
  if (plugin.module == nullptr) return plugin;
  plugin.read = Ordinal<ReadFunction>(plugin.module, 1);
  plugin.seek = Ordinal<SeekFunction>(plugin.module, 2);
  plugin.open = Ordinal<OpenFunction>(plugin.module, 3);
  plugin.close = Ordinal<CloseFunction>(plugin.module, 4);
  return plugin;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Below the furthest position the host reached, the span the ring is sure
// to hold still: the download runs at most 2,000,000 bytes (and a chunk)
// ahead of the host in a 3,000,000-byte ring.
constexpr std::int64_t HeldBehind = 500'000;

class Cases {
 public:
  Cases(const Plugin& plugin, std::string base) : p_(plugin), base_(std::move(base)) {}

  std::int32_t Open(const std::string& target) {
    const std::wstring url = Widen(base_ + target);
    return p_.open(url.c_str());
  }

  std::int32_t Position() { return p_.seek(0, 1); }

  // One read of count bytes at the current position, checked byte for byte
  // against the body; returns what it delivered.
  std::int32_t CheckedRead(std::int32_t count) {
    const std::int32_t position = Position();
    buffer_.assign(static_cast<std::size_t>(std::max(count, 1)), 0);
    const std::int32_t got = p_.read(buffer_.data(), count);
    Expect(got >= 0 && got <= count, Describe("read size out of range", got, count));
    const std::size_t bad = FirstBodyMismatch(static_cast<std::uint64_t>(position), buffer_.data(),
                                              static_cast<std::size_t>(got));
    Expect(bad == static_cast<std::size_t>(got),
           "wrong byte at stream position " + std::to_string(position + bad));
    ExpectEqual(Position(), static_cast<long long>(position) + got, "position after read");
    return got;
  }

  // Reads in chunks of changing sizes until a read delivers nothing; returns
  // the bytes delivered in all.
  std::int64_t ReadToEnd(std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int32_t> size(1, 300'000);
    std::int64_t total = 0;
    for (;;) {
      const std::int32_t got = CheckedRead(size(random));
      if (got == 0) return total;
      total += got;
    }
  }

  void Exports() {
    Expect(p_.read && p_.seek && p_.open && p_.close, "ordinals 1-4 are not all exported");
    Expect(::GetProcAddress(p_.module, MAKEINTRESOURCEA(5)) != nullptr, "ordinal 5 missing");
    Expect(::GetProcAddress(p_.module, MAKEINTRESOURCEA(6)) != nullptr, "ordinal 6 missing");
    const char* names[] = {"InputMediaRead", "InputMediaSeek", "InputMediaOpen", "InputMediaClose"};
    for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
      Expect(::GetProcAddress(p_.module, names[ordinal - 1]) ==
                 ::GetProcAddress(p_.module, MAKEINTRESOURCEA(ordinal)),
             std::string(names[ordinal - 1]) + " is not ordinal " + std::to_string(ordinal));
    }
    char buffer[16];
    ExpectEqual(p_.open(nullptr), 0, "length query with nothing open");
    ExpectEqual(p_.read(buffer, sizeof buffer), 0, "read with nothing open");
    ExpectEqual(p_.seek(0, 1), 0, "position with nothing open");
    ExpectEqual(p_.close(), 0, "close with nothing open");
  }

  void Whole() {
    constexpr std::int32_t size = 5'000'000;
    ExpectEqual(Open("/whole.bin?size=5000000"), size, "open");
    ExpectEqual(p_.open(nullptr), size, "length query while open");
    ExpectEqual(ReadToEnd(1), size, "bytes delivered");
    ExpectEqual(Position(), size, "position at the end");
    ExpectEqual(p_.close(), 0, "close");
  }

  void ErrorStatus() {
    for (const char* status : {"404", "500", "403"}) {
      ExpectEqual(Open(std::string("/missing.bin?status=") + status), 0,
                  (std::string("open with status ") + status).c_str());
      ExpectEqual(p_.close(), 0, "close after a failed open");
    }
    // A failed open leaves nothing behind that spoils the next one.
    ExpectEqual(Open("/after-error.bin?size=70000"), 70'000, "open after failures");
    ExpectEqual(ReadToEnd(2), 70'000, "bytes delivered");
    p_.close();
  }

  void ZeroLength() {
    ExpectEqual(Open("/empty.bin?size=0"), 0, "open of an empty body");
    p_.close();
  }

  // Without a length the stream claims the fallback length and ends where
  // the body does.
  void NoLength() {
    for (const char* framing : {"close", "chunked"}) {
      ExpectEqual(Open(std::string("/nolength.bin?size=3500000&framing=") + framing),
                  HTTPMEDIA_UNKNOWN_LENGTH, (std::string("open, framing=") + framing).c_str());
      ExpectEqual(ReadToEnd(3), 3'500'000, (std::string("delivered, framing=") + framing).c_str());
      ExpectEqual(p_.close(), 0, "close");
    }
  }

  // A Content-Length that a signed 32-bit stream cannot hold counts as no
  // length at all; the body is still delivered whole.
  void OversizedLength() {
    for (const char* value : {"99999999999", "2147483648", "4294967296"}) {
      ExpectEqual(Open(std::string("/oversized.bin?size=300000&content_length=") + value),
                  HTTPMEDIA_UNKNOWN_LENGTH, (std::string("open, Content-Length ") + value).c_str());
      ExpectEqual(ReadToEnd(4), 300'000,
                  (std::string("delivered, Content-Length ") + value).c_str());
      p_.close();
    }
  }

  // A connection that ends early still hands over every byte it brought,
  // then nothing.
  void Tail() {
    ExpectEqual(Open("/tail.bin?size=2000000&drop_after=1234567&drop=fin"), 2'000'000, "open");
    ExpectEqual(ReadToEnd(5), 1'234'567, "delivered up to a closed connection");
    char byte;
    ExpectEqual(p_.read(&byte, 1), 0, "read past the tail");
    p_.close();
    // After a reset, what the server wrote last may never arrive, and the
    // read that meets the reset fails whole under some clients: fewer bytes
    // are fine, a wrong one or a hang is not.
    ExpectEqual(Open("/tail.bin?size=2000000&drop_after=1234567&drop=rst"), 2'000'000, "open");
    const std::int64_t delivered = ReadToEnd(5);
    Expect(delivered <= 1'234'567, Describe("delivered up to a reset", delivered, 1'234'567));
    ExpectEqual(p_.read(&byte, 1), 0, "read past the tail");
    p_.close();
  }

  void SeekThenRange() {
    ExpectEqual(Open("/seek.bin?size=6000000"), 6'000'000, "open");
    ExpectEqual(p_.seek(2'500'000, 0), 0, "absolute seek");
    ExpectEqual(CheckedRead(100'000), 100'000, "read after the seek");
    ExpectEqual(p_.seek(-300'000, 1), 0, "relative seek back");
    ExpectEqual(Position(), 2'300'000, "position after the relative seek");
    ExpectEqual(CheckedRead(400'000), 400'000, "read after the relative seek");
    ExpectEqual(p_.seek(5'990'000, 0), 0, "seek near the end");
    ExpectEqual(CheckedRead(50'000), 10'000, "read over the end");
    p_.close();
  }

  // Opening again without a close replaces the stream.
  void Reopen() {
    ExpectEqual(Open("/first.bin?size=4000000"), 4'000'000, "first open");
    ExpectEqual(CheckedRead(123'456), 123'456, "first read");
    ExpectEqual(Open("/second.bin?size=900000"), 900'000, "second open");
    ExpectEqual(Position(), 0, "position of the new stream");
    ExpectEqual(ReadToEnd(6), 900'000, "bytes of the new stream");
    p_.close();
  }

  // A seek far beyond what the ring holds, then back near the start, each
  // read from.
  void FarAheadAndBack(std::int32_t ahead) {
    ExpectEqual(p_.seek(ahead, 0), 0, "seek far ahead");
    ExpectEqual(CheckedRead(100'000), 100'000, "read far ahead");
    ExpectEqual(p_.seek(1'000, 0), 0, "seek back to the start");
    ExpectEqual(CheckedRead(50'000), 50'000, "read back at the start");
  }

  // Where the server serves ranges, a position the ring does not hold is
  // fetched from there: far ahead, and back where the ring was written over.
  void RangeRequests() {
    ExpectEqual(Open("/ranges.bin?size=20000000&ranges=1"), 20'000'000, "open");
    FarAheadAndBack(15'000'000);
    ExpectEqual(p_.seek(19'990'000, 0), 0, "seek near the end");
    ExpectEqual(CheckedRead(50'000), 10'000, "read over the end");
    p_.close();
  }

  // Where the server serves no ranges but gives the length, a position the
  // ring no longer holds is fetched by reading the body again from its start,
  // only while the answer is the same version (length and ETag, or without
  // either the stream's first 64 KiB); with a weak validator alone, or once
  // the body has changed, the seek fails and stays put.
  void FetchAgain() {
    ExpectEqual(Open("/again.bin?size=8000000&etag=a1"), 8'000'000, "open");
    FarAheadAndBack(6'000'000);
    ExpectEqual(p_.seek(6'000'000, 1), 0, "relative seek far ahead");
    ExpectEqual(CheckedRead(10'000), 10'000, "read far ahead again");
    ExpectEqual(p_.seek(-6'000'000, 1), 0, "relative seek back to the start");
    ExpectEqual(CheckedRead(50'000), 50'000, "read back at the start again");
    p_.close();
    ExpectEqual(Open("/bytes.bin?size=8000000&framing=chunked&validator=none"),
                HTTPMEDIA_UNKNOWN_LENGTH, "open without length or validator");
    FarAheadAndBack(6'000'000);
    p_.close();
    for (const char* query :
         {"/changed.bin?size=8000000&etag=a1&replaced_after=2",
          "/weak.bin?size=8000000&framing=chunked&validator=weak",
          "/replaced.bin?size=8000000&framing=chunked&validator=none&replaced_after=2"}) {
      Open(query);
      ExpectEqual(p_.seek(6'000'000, 0), 0, "seek far ahead");
      ExpectEqual(CheckedRead(100'000), 100'000, "read far ahead");
      ExpectEqual(p_.seek(1'000, 0), -1, (std::string("seek back, ") + query).c_str());
      ExpectEqual(Position(), 6'100'000, "position after the failed seek");
      ExpectEqual(CheckedRead(100'000), 100'000, "read on from there");
      p_.close();
    }
  }

  // A legacy radio server's status line "ICY 200 OK": Wine's WinINet takes
  // the answer for one without a status line (an HTTP/1.0 200 with no
  // headers, of unknown length) and hands its header lines over as the first
  // bytes of the body; the body follows them whole. Pinned as it is, so that
  // a change on either side shows.
  void Icy() {
    ExpectEqual(Open("/icy.bin?size=300000&icy=1&framing=close"), HTTPMEDIA_UNKNOWN_LENGTH, "open");
    std::string head;
    char byte = 0;
    while (head.size() < 1'000 && head.find("\r\n\r\n") == std::string::npos &&
           p_.read(&byte, 1) == 1) {
      head += byte;
    }
    Expect(head.rfind("Content-Type: application/octet-stream\r\n", 0) == 0,
           "the body does not begin with the answer's header lines: " + head.substr(0, 60));
    buffer_.assign(300'000, 0);
    std::int32_t got = 0;
    for (std::int32_t n = 1; got < 300'000 && n > 0; got += n) {
      n = p_.read(buffer_.data() + got, 300'000 - got);
    }
    ExpectEqual(got, 300'000, "body bytes after the header lines");
    ExpectEqual(static_cast<long long>(FirstBodyMismatch(0, buffer_.data(), 300'000)), 300'000,
                "body bytes right after the header lines");
    ExpectEqual(p_.read(&byte, 1), 0, "read at the end");
    p_.close();
  }

  // A connection that drops is taken up again from where it broke off.
  void ResumeAfterDrop() {
    ExpectEqual(Open("/resume.bin?size=3000000&drop_after=1234567&ranges=1"), 3'000'000, "open");
    ExpectEqual(ReadToEnd(7), 3'000'000, "delivered across the drops");
    p_.close();
  }

  // Random reads and seeks to the body's end: forward skips, jumps ahead
  // within a ring size or so, steps back within the half-million bytes below
  // the furthest position reached, which the ring always still holds, and
  // deeper steps back to where the bytes may be gone. A read in the held
  // span delivers all that was asked for up to the body's end; deeper, it
  // may deliver less or nothing, but never a wrong byte. A deep step back in
  // a stream without a length may be refused.
  void Randomised(const std::string& query, std::int32_t size, std::int32_t expectedLength,
                  std::uint32_t seed) {
    ExpectEqual(Open("/random.bin?" + query), expectedLength, "open");
    std::mt19937 random(seed);
    std::int64_t furthest = 0;
    int step = 0;
    for (std::int32_t position = 0; position < size; position = Position(), ++step) {
      Expect(step < 5000, "no end after 5000 steps");
      const std::string where =
          " (step " + std::to_string(step) + ", seed " + std::to_string(seed) + ")";
      const int action = std::uniform_int_distribution<int>(0, 99)(random);
      if (action < 60) {
        const std::int32_t count = std::uniform_int_distribution<std::int32_t>(1, 120'000)(random);
        const std::int32_t got = CheckedRead(count);
        if (position >= furthest - HeldBehind) {
          const std::int64_t expected = std::min<std::int64_t>(size - position, count);
          ExpectEqual(got, expected, ("read" + where).c_str());
        }
      } else if (action < 78) {
        const std::int32_t skip = std::uniform_int_distribution<std::int32_t>(1, 100'000)(random);
        if (position + skip >= size) continue;
        ExpectEqual(p_.seek(skip, 1), 0, ("relative skip" + where).c_str());
      } else if (action < 83) {
        // From past the furthest position: a seek into bytes written over
        // waits for a download that never comes back for them.
        const std::int64_t target =
            std::max<std::int64_t>(position, furthest) +
            std::uniform_int_distribution<std::int32_t>(300'000, 3'500'000)(random);
        if (target >= size) continue;
        ExpectEqual(p_.seek(static_cast<std::int32_t>(target), 0), 0,
                    ("jump ahead" + where).c_str());
      } else {
        const bool deep = action >= 95;
        // A pause lets the download run ahead to its limit, so that a deep
        // step lands where the ring has been written over.
        if (deep) ::Sleep(50);
        const std::int64_t floor =
            std::max<std::int64_t>(0, furthest - (deep ? 3 * HeldBehind : HeldBehind));
        if (floor >= position) continue;
        const auto target = static_cast<std::int32_t>(
            std::uniform_int_distribution<std::int64_t>(floor, position - 1)(random));
        const std::int32_t result =
            action < 90 ? p_.seek(target, 0) : p_.seek(target - position, 1);
        // Below the ring, a stream without a length cannot be fetched again:
        // the seek fails and stays where it was.
        if (deep && expectedLength == HTTPMEDIA_UNKNOWN_LENGTH && result == -1) {
          ExpectEqual(Position(), position, ("position after a failed step back" + where).c_str());
          continue;
        }
        ExpectEqual(result, 0,
                    ((action < 90 ? "step back" : "relative step back") + where).c_str());
        ExpectEqual(Position(), target, ("position after stepping back" + where).c_str());
      }
      furthest = std::max<std::int64_t>(furthest, Position());
    }
    char byte;
    ExpectEqual(p_.read(&byte, 1), 0, "read at the end");
    std::printf("  %s: %d steps\n", query.c_str(), step);
    p_.close();
  }

 private:
  const Plugin& p_;
  std::string base_;
  std::vector<std::uint8_t> buffer_;
};

using CaseTable = std::vector<std::pair<std::string, std::function<void()>>>;

CaseTable AllCases(Cases& cases) {
  return {
      {"exports", [&] { cases.Exports(); }},
      {"whole", [&] { cases.Whole(); }},
      {"error-status", [&] { cases.ErrorStatus(); }},
      {"zero-length", [&] { cases.ZeroLength(); }},
      {"no-length", [&] { cases.NoLength(); }},
      {"oversized-length", [&] { cases.OversizedLength(); }},
      {"tail", [&] { cases.Tail(); }},
      {"seek-then-range", [&] { cases.SeekThenRange(); }},
      {"reopen", [&] { cases.Reopen(); }},
      {"randomised-length",
       [&] {
         for (std::uint32_t seed : {20240611u, 7u, 99991u})
           cases.Randomised("size=24000000", 24'000'000, 24'000'000, seed);
       }},
      {"range-requests", [&] { cases.RangeRequests(); }},
      {"fetch-again", [&] { cases.FetchAgain(); }},
      {"resume-after-drop", [&] { cases.ResumeAfterDrop(); }},
      {"icy", [&] { cases.Icy(); }},
      {"randomised-ranges",
       [&] {
         for (std::uint32_t seed : {5u, 424242u})
           cases.Randomised("size=24000000&ranges=1", 24'000'000, 24'000'000, seed);
       }},
      {"randomised-chunked",
       [&] {
         for (std::uint32_t seed : {77u, 31337u})
           cases.Randomised("size=10000000&framing=chunked", 10'000'000, HTTPMEDIA_UNKNOWN_LENGTH,
                            seed);
       }},
  };
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"--list") {
    const Plugin none;
    Cases cases(none, "");
    for (const auto& entry : AllCases(cases)) std::printf("%s\n", entry.first.c_str());
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: httpmedia-dll-driver DLL BASE-URL [CASE...]\n"
                 "       httpmedia-dll-driver --list\n");
    return 2;
  }
  const Plugin plugin = Load(argv[1]);
  if (plugin.module == nullptr) {
    std::fprintf(stderr, "cannot load the plug-in (error %lu)\n", ::GetLastError());
    return 2;
  }
  std::wstring wideBase = argv[2];
  Cases cases(plugin, std::string(wideBase.begin(), wideBase.end()));
  const CaseTable all = AllCases(cases);

  std::vector<std::string> chosen;
  for (int i = 3; i < argc; ++i) {
    const std::wstring name = argv[i];
    chosen.emplace_back(name.begin(), name.end());
  }
  int passed = 0, failed = 0;
  for (const auto& [name, run] : all) {
    if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), name) == chosen.end()) continue;
    try {
      run();
      std::printf("PASS %s\n", name.c_str());
      ++passed;
    } catch (const Failure& failure) {
      std::printf("FAIL %s: %s\n", name.c_str(), failure.text.c_str());
      plugin.close();
      ++failed;
    }
    std::fflush(stdout);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
