#include "misuse_driver.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "body.h"
#include "httpmedia/httpmedia.h"
#include "plugin_host.h"

namespace httpmedia::hardening {

namespace {

using httpmedia::testing::FirstBodyMismatch;

constexpr std::int32_t Int32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t Int32Max = std::numeric_limits<std::int32_t>::max();
// No body is larger, so a buffer of this size holds whatever any read can
// deliver, whatever count the host claims.
constexpr std::int64_t LargestBody = 3'500'000;
constexpr std::uint8_t Untouched = 0xA5;

// What an open of a url must return, and what its bytes are.
struct Expected {
  std::int32_t length = 0;   // 0: the open fails
  std::int64_t bodyEnd = 0;  // bytes [0, bodyEnd) are the body's, none beyond
};

struct Target {
  std::u16string url;
  bool null = false;
  Expected expected;
  std::string what;
};

std::u16string Widen(const std::string& text) { return {text.begin(), text.end()}; }

class Driver {
 public:
  Driver(Choices& choices, const std::string& server, std::uint16_t refusedPort)
      : choices_(choices), server_(server), refusedPort_(refusedPort), host_(100) {
    buffer_.resize(static_cast<std::size_t>(LargestBody) + 65'536);
  }

  std::string Run(int calls) {
    std::thread watchdog([this] { Watch(); });
    // An earlier run may have left the position anywhere.
    position_ = host_.Seek(0, 1);
    for (int i = 0; i < calls && failure_.empty() && !choices_.Exhausted(); ++i) Step();
    if (failure_.empty()) Close();
    if (failure_.empty()) StreamsExactlyAfterwards();
    if (failure_.empty() && host_.Messages() != 0) Fail("a message box was shown");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    wake_.notify_all();
    watchdog.join();
    return failure_;
  }

 private:
  // A call that has not returned long after every limit has passed is a
  // hang: say which, rather than sit until the test runner gives up.
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const std::size_t seen = calls_;
      if (wake_.wait_for(lock, std::chrono::seconds(60), [&] { return finished_; })) return;
      if (calls_ == seen && inCall_) {
        std::fprintf(stderr, "a call has not returned for a minute:\n%s\n", Trail().c_str());
        std::abort();
      }
    }
  }

  void Begin(std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    trail_.push_back(std::move(what));
    if (trail_.size() > 40) trail_.pop_front();
    ++calls_;
    inCall_ = true;
  }

  void End(const std::string& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    trail_.back() += " -> " + result;
    inCall_ = false;
  }

  std::string Trail() const {
    std::string text;
    for (const std::string& call : trail_) text += "  " + call + "\n";
    return text;
  }

  void Fail(const std::string& what) {
    if (!failure_.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = what + "\nafter these calls (the last last):\n" + Trail();
  }

  // Every call: within its limits, and the busy cursor gone afterwards.
  void CheckCall() {
    if (!host_.LastWithinLimits()) {
      Fail("the call slept " + std::to_string(host_.Last().sleptMs) + " ms of polls and took " +
           std::to_string(
               std::chrono::duration_cast<std::chrono::milliseconds>(host_.Last().took).count()) +
           " ms");
    }
    if (host_.Busy()) Fail("the busy cursor is still showing");
  }

  std::string Body(std::int64_t size, const std::string& shape, Expected* expected) {
    *expected = {static_cast<std::int32_t>(size), size};
    if (shape.find("framing") != std::string::npos) expected->length = HTTPMEDIA_UNKNOWN_LENGTH;
    if (size == 0) *expected = {};  // an empty body is no stream
    return "/m?size=" + std::to_string(size) + shape;
  }

  Target PickTarget() {
    static const std::int64_t Sizes[] = {1, 999, 65'536, 400'000, 3'100'000, LargestBody};
    static const char* const Shapes[] = {"",
                                         "&ranges=1",
                                         "&framing=chunked",
                                         "&framing=close",
                                         "&drop_after=",
                                         "&ranges=1&drop_after=",
                                         "&ranges=1&drop_after=&drop=rst"};
    static const char* const Failing[] = {"/f?size=0",
                                          "/f?status=404",
                                          "/f?status=500",
                                          "/f?content_length=abc",
                                          "/f?redirect_loop=1",
                                          "/f?endless_headers=0",
                                          "/f?size=1000&header_line=1048576"};
    Target target;
    const std::string refused = "http://127.0.0.1:" + std::to_string(refusedPort_) + "/r";
    // Most opens are of bodies; the kinds that fail only once the probe's
    // limit has passed are the rarest, as they cost the most time.
    switch (choices_.Below(20)) {
      case 0:
      case 1:
      case 2:
        target.null = true;
        target.what = "null";
        return target;
      case 3:
      case 4:
      case 5:
      case 6:
      case 7:
      case 8:
      case 9:
      case 10:
      case 11: {
        const std::int64_t size = Sizes[choices_.Below(std::size(Sizes))];
        std::string shape = Shapes[choices_.Below(std::size(Shapes))];
        const std::size_t drop = shape.find("drop_after=");
        if (drop != std::string::npos && size < 1000) {
          shape.clear();
        } else if (drop != std::string::npos) {
          // Each range request breaks off after as many bytes as the first:
          // at least a quarter of the body, so that few are needed.
          const auto quarter = static_cast<std::uint32_t>(size / 4);
          const std::uint32_t cut = shape.find("ranges") != std::string::npos
                                        ? quarter + choices_.Below(3 * quarter)
                                        : choices_.Below(static_cast<std::uint32_t>(size));
          shape.insert(drop + 11, std::to_string(cut));
        }
        const std::string path = Body(size, shape, &target.expected);
        // The scheme's case does not matter.
        const std::string url = (choices_.Below(8) == 0 ? "HTTP" : "http") + server_.substr(4);
        target.url = Widen(url + path);
        break;
      }
      case 12:
      case 13:
        target.url = Widen(server_ + Failing[choices_.Below(std::size(Failing))]);
        break;
      case 14:
        target.url = Widen(refused);
        break;
      case 15: {
        // Lone surrogates: no URL has them.
        target.url = Widen(server_ + "/s?size=1000&x=");
        static const char16_t Lone[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF};
        target.url.insert(target.url.begin() + choices_.Below(target.url.size() + 1),
                          Lone[choices_.Below(std::size(Lone))]);
        break;
      }
      case 16: {
        static const char* const Schemes[] = {"ftp", "file", "gopher", "ws", "htt", "https"};
        // https to a plain-text server fails too.
        target.url = Widen(std::string(Schemes[choices_.Below(std::size(Schemes))]) +
                           server_.substr(4) + "/o?size=1000");
        break;
      }
      case 17: {
        // Garbage with no colon, so never a URL: nothing is looked up.
        static const char16_t Units[] = {u'h', u't', u'p',   u'/',   u'.',   u' ',   u'%',
                                         u'?', 0x7F, 0x00E9, 0xFFFF, 0xD83D, 0xDE00, u'1'};
        const std::uint32_t length = choices_.Below(40);
        for (std::uint32_t i = 0; i < length; ++i) {
          target.url += Units[choices_.Below(std::size(Units))];
        }
        break;
      }
      case 18:
        target.url = u"";
        break;
      default:
        // A request head larger than the server takes: it hangs up.
        target.url = Widen(server_ + "/l?size=1000&pad=" + std::string(200'000, 'p'));
        break;
    }
    target.what = std::string(target.url.begin(),
                              target.url.begin() + std::min<std::size_t>(target.url.size(), 90));
    return target;
  }

  void Step() {
    const std::uint32_t kind = choices_.Below(100);
    if (kind < 45) {
      Read();
    } else if (kind < 70) {
      Seek();
    } else if (kind < 88) {
      Open(PickTarget());
    } else {
      Close();
    }
  }

  void Open(const Target& target) {
    Begin("Open(" + target.what + ")");
    const std::int32_t result = host_.Open(target.null ? nullptr : target.url.c_str());
    End(std::to_string(result));
    CheckCall();
    if (target.null) {
      if (result != (open_ ? current_.length : 0)) Fail("Open(null) gave the wrong length");
      return;
    }
    if (result != target.expected.length) Fail("Open gave the wrong length");
    open_ = result != 0;
    current_ = target.expected;
    position_ = 0;
  }

  void Close() {
    Begin("Close()");
    const std::int32_t result = host_.Close();
    End(std::to_string(result));
    CheckCall();
    if (result != 0) Fail("Close did not return 0");
    open_ = false;
  }

  std::int32_t PickCount() {
    switch (choices_.Below(8)) {
      case 0:
        return -static_cast<std::int32_t>(choices_.Below(1000)) - 1;
      case 1:
        return Int32Min;
      case 2:
        return 0;
      case 3:
        return static_cast<std::int32_t>(choices_.Below(100));
      case 4:
        return static_cast<std::int32_t>(choices_.Below(2'020'002));
      case 5:
        return Int32Max;
      default:
        return static_cast<std::int32_t>(choices_.Below(70'000));
    }
  }

  void Read() {
    const std::int32_t count = PickCount();
    const bool nullBuffer = choices_.Below(8) == 0;
    const auto room = static_cast<std::size_t>(
        std::clamp<std::int64_t>(count, 0, static_cast<std::int64_t>(buffer_.size())));
    std::fill_n(buffer_.begin(), room, Untouched);
    Begin("Read(" + std::string(nullBuffer ? "null" : "buffer") + ", " + std::to_string(count) +
          ") at " + std::to_string(position_));
    const std::int32_t delivered = host_.Read(nullBuffer ? nullptr : buffer_.data(), count);
    End(std::to_string(delivered));
    CheckCall();
    if (delivered < 0 || delivered > std::max(count, 0)) return Fail("Read's result is impossible");
    if (delivered != 0 && (nullBuffer || !open_ || position_ < 0)) {
      return Fail("Read delivered with nothing to deliver into or from");
    }
    if (!open_ && host_.Last().sleptMs != 0) Fail("Read waited with no stream open");
    if (position_ + delivered > current_.bodyEnd && delivered != 0) {
      return Fail("Read delivered bytes past the end of the body");
    }
    const std::size_t mismatch = FirstBodyMismatch(
        static_cast<std::uint64_t>(position_), buffer_.data(), static_cast<std::size_t>(delivered));
    if (mismatch != static_cast<std::size_t>(delivered)) {
      return Fail("wrong byte at stream position " + std::to_string(position_ + mismatch));
    }
    if (std::any_of(buffer_.begin() + delivered, buffer_.begin() + room,
                    [](std::uint8_t byte) { return byte != Untouched; })) {
      return Fail("Read wrote past the bytes it delivered");
    }
    position_ += delivered;
  }

  std::int32_t PickOffset() {
    switch (choices_.Below(8)) {
      case 0:
        return 0;
      case 1:
        return Int32Min + static_cast<std::int32_t>(choices_.Below(3));
      case 2:
        return Int32Max - static_cast<std::int32_t>(choices_.Below(3));
      case 3:
        return -static_cast<std::int32_t>(choices_.Below(1'100'000));
      case 4:
        return static_cast<std::int32_t>(choices_.Below(static_cast<std::uint32_t>(LargestBody)));
      default:
        return static_cast<std::int32_t>(choices_.Below(4'000'000)) - 1'000'000;
    }
  }

  void Seek() {
    const std::int32_t offset = PickOffset();
    static const std::int32_t Origins[] = {0, 0, 0, 1, 1, 1, 2, -1, Int32Min};
    const std::int32_t origin = Origins[choices_.Below(std::size(Origins))];
    Begin("Seek(" + std::to_string(offset) + ", " + std::to_string(origin) + ") at " +
          std::to_string(position_));
    const std::int32_t result = host_.Seek(offset, origin);
    End(std::to_string(result));
    CheckCall();
    if (!open_ && host_.Last().sleptMs != 0) Fail("Seek waited with no stream open");
    if (origin == 1 && offset == 0) {
      if (result != position_) Fail("Seek(0, 1) is not the position");
      return;
    }
    if (origin != 0 && origin != 1) {
      if (result != 0) Fail("Seek with an unknown origin did not return 0");
      return;
    }
    if (result != 0 && result != -1) return Fail("Seek's result is neither 0 nor -1");
    const std::int64_t target = origin == 0 ? offset : position_ + offset;
    if (target < Int32Min || target > Int32Max) {
      if (result != -1) Fail("Seek to a position no 32-bit stream has did not fail");
      return;
    }
    if (result == 0) {
      if (target < 0) Fail("Seek to a negative position succeeded");
      position_ = target;
      return;
    }
    // A seek that cannot be served stays where it was; one whose wait for
    // the download ran out has moved to its target.
    const std::int32_t now = host_.Seek(0, 1);
    if (now != position_ && (now != target || target < 0)) {
      return Fail("a failed Seek left the position at " + std::to_string(now));
    }
    position_ = now;
  }

  // Whatever happened before, a fresh open streams a body exactly.
  void StreamsExactlyAfterwards() {
    Expected expected;
    const std::u16string url = Widen(server_ + Body(400'000, "&ranges=1", &expected));
    Open({url, false, expected, "the last open"});
    while (failure_.empty() && open_) {
      const std::int64_t before = position_;
      Begin("Read(buffer, 65536) at " + std::to_string(position_));
      const std::int32_t delivered = host_.ReadThroughTimeouts(buffer_.data(), 65'536);
      End(std::to_string(delivered));
      CheckCall();
      if (FirstBodyMismatch(static_cast<std::uint64_t>(before), buffer_.data(),
                            static_cast<std::size_t>(std::max(delivered, 0))) !=
          static_cast<std::size_t>(std::max(delivered, 0))) {
        Fail("wrong byte in the last stream");
      }
      position_ += delivered;
      if (delivered <= 0) break;
    }
    if (failure_.empty() && position_ != 400'000) Fail("the last stream did not come whole");
    Close();
  }

  Choices& choices_;
  const std::string server_;
  const std::uint16_t refusedPort_;
  PluginHost host_;
  std::vector<std::uint8_t> buffer_;

  // The model: what the calls so far allow.
  bool open_ = false;
  Expected current_;
  std::int64_t position_ = 0;

  std::string failure_;
  std::mutex mutex_;  // guards what the watchdog reads
  std::condition_variable wake_;
  std::deque<std::string> trail_;
  std::size_t calls_ = 0;
  bool inCall_ = false;
  bool finished_ = false;
};

}  // namespace

std::string RunMisuse(Choices& choices, const std::string& server, std::uint16_t refusedPort,
                      int calls) {
  Driver driver(choices, server, refusedPort);
  return driver.Run(calls);
}

}  // namespace httpmedia::hardening
