// httpmedia-cat: a command-line host of the plug-in. It loads the library as
// a player would, opens a URL through it and copies the stream out with
// reads of a fixed size, telling by its exit status how the stream ended.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cat_options.h"
#include "console.h"
#include "httpmedia/httpmedia.h"
#include "httpmedia/httpmedia_host.h"
#include "plugin_loader.h"
#include "progress.h"
#include "sample_media.h"
#include "sample_server.h"
#include "url_credentials.h"

namespace httpmedia::tools {

namespace {

constexpr char kProgramName[] = "httpmedia-cat";
// A read that returns nothing after this long has hit the plug-in's wait
// limit, even on a platform whose hooks cannot say so.
constexpr double kReadWaitLimitSeconds = 20.0;

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    ++i;
    for (; extra > 0 && i < text.size(); --extra, ++i) {
      c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

// Listens to the plug-in: its busy cursor becomes "buffering" on the
// progress line, its message box an error line, and a read's time-out is
// remembered for the exit status.
class CatEvents final : public HostEvents {
 public:
  void Attach(ProgressLine* progress) { progress_ = progress; }

  void BusyChanged(bool busy) override {
    if (progress_ != nullptr) progress_->SetBuffering(busy);
  }
  void ReadTimedOut() override { timed_out_ = true; }
  void Message(std::string_view text, std::string_view caption) override {
    std::string line = std::string(kProgramName) + ": ";
    if (!caption.empty()) line += std::string(caption) + ": ";
    line += text;
    if (progress_ != nullptr) {
      progress_->PrintError(line);
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }

  // Whether a time-out came since the last call.
  bool TakeTimeout() {
    const bool was = timed_out_;
    timed_out_ = false;
    return was;
  }

 private:
  ProgressLine* progress_ = nullptr;
  bool timed_out_ = false;  // the hooks come on the thread of the host's call
};

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgramName, message.c_str());
  return code;
}

// The exit status of an open the plug-in refused, by why it did.
int OpenExitCode(int kind) {
  switch (kind) {
    case HTTPMEDIA_OUTCOME_HTTP_STATUS:
    case HTTPMEDIA_OUTCOME_ENCODING_REFUSED:
      return kExitRefusedByServer;
    case HTTPMEDIA_OUTCOME_NAME_NOT_RESOLVED:
    case HTTPMEDIA_OUTCOME_CONNECTION_REFUSED:
      return kExitNoConnection;
    case HTTPMEDIA_OUTCOME_TLS:
      return kExitTls;
    case HTTPMEDIA_OUTCOME_TIMED_OUT:
      return kExitTimedOut;
    default:
      return kExitOpenFailed;
  }
}

// What the plug-in says of its last call; nothing where it cannot say.
std::optional<CallOutcome> AskWhy(const LoadedPlugin& plugin) {
  CallOutcome outcome;
  if (!plugin.LastOutcome(&outcome)) return std::nullopt;
  return outcome;
}

std::unique_ptr<LoadedPlugin> Load(const CatOptions& options, std::string* error) {
  if (options.plugin) return LoadPlugin(*options.plugin, error);
  const std::vector<std::filesystem::path> candidates = DefaultPluginPaths();
  for (const std::filesystem::path& candidate : candidates) {
    std::error_code ignored;
    if (std::filesystem::exists(candidate, ignored)) return LoadPlugin(candidate, error);
  }
  *error = "no plug-in found beside the program";
  if (!candidates.empty()) *error += " (looked for " + candidates.front().string() + ")";
  *error += "; name one with --plugin";
  return nullptr;
}

struct StreamResult {
  int code = kExitSuccess;
  std::int64_t delivered = 0;
  std::uint32_t crc = 0;
  double seconds = 0;
};

// Opens url through the plug-in and copies what it delivers to out (or
// nowhere when out is null), closing the stream on every way out.
StreamResult Stream(const LoadedPlugin& loaded, CatEvents& events, const CatOptions& options,
                    const std::string& url, std::FILE* out, bool draw_progress) {
  const PluginFunctions& plugin = loaded.Functions();
  StreamResult result;
  const std::u16string url16 = Utf8ToUtf16(url);
  const std::int32_t length = plugin.open(reinterpret_cast<const HttpMediaChar*>(url16.c_str()));
  if (length <= 0) {
    const std::optional<CallOutcome> why = AskWhy(loaded);
    std::string message = "could not open " + HideCredentials(url);
    if (why && !why->text.empty()) message += ": " + why->text;
    result.code = Fail(why ? OpenExitCode(why->kind) : kExitOpenFailed, message);
    return result;
  }
  const bool length_known = length != HTTPMEDIA_UNKNOWN_LENGTH;

  std::int64_t position = 0;
  std::optional<std::int64_t> end;  // where the stream must not stop short of
  if (length_known) end = length;
  if (options.range) {
    position = options.range->start;
    end = position + options.range->length;
  } else if (options.seek) {
    position = *options.seek;
  }
  if (length_known && position > length) {
    plugin.close();
    result.code = Fail(kExitSeekFailed, "offset " + std::to_string(position) +
                                            " lies past the length " + std::to_string(length));
    return result;
  }
  if (position != 0 && plugin.seek(static_cast<std::int32_t>(position), 0) != 0) {
    plugin.close();
    result.code =
        Fail(kExitSeekFailed, "the plug-in refused to seek to " + std::to_string(position));
    return result;
  }

  std::optional<std::int64_t> to_deliver;
  if (end) to_deliver = *end - position;
  ProgressLine progress(stderr, to_deliver, draw_progress);
  events.Attach(&progress);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(options.read_size));
  std::string failure;
  while (true) {
    std::int64_t wanted = options.read_size;
    if (options.range) wanted = std::min(wanted, *end - position);
    if (wanted == 0) break;
    const double asked_at = progress.Seconds();
    // Only this read's time-out tells it from the end: one that ran out
    // after part of its count came delivered those bytes, and the stream
    // went on.
    events.TakeTimeout();
    const std::int32_t got = plugin.read(buffer.data(), static_cast<std::int32_t>(wanted));
    if (got < 0 || got > wanted) {
      result.code = kExitStreamShort;
      failure = "the plug-in returned " + std::to_string(got) + " for a read of " +
                std::to_string(wanted);
      break;
    }
    if (got == 0) {
      const std::optional<CallOutcome> why = AskWhy(loaded);
      const bool timed_out =
          events.TakeTimeout() || progress.Seconds() - asked_at >= kReadWaitLimitSeconds;
      if (why &&
          (why->kind == HTTPMEDIA_OUTCOME_CUT || why->kind == HTTPMEDIA_OUTCOME_SIZE_LIMIT)) {
        result.code = kExitStreamShort;
        failure = why->text;
      } else if (timed_out) {
        result.code = kExitTimedOut;
        failure = "a read timed out at byte " + std::to_string(position);
      } else if (end && position < *end) {
        result.code = kExitStreamShort;
        failure =
            "the stream ended at byte " + std::to_string(position) + " of " + std::to_string(*end);
      }
      break;
    }
    result.crc = Crc32(buffer.data(), static_cast<std::size_t>(got), result.crc);
    if (out != nullptr && std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), out) !=
                              static_cast<std::size_t>(got)) {
      result.code = kExitOutputFailed;
      failure = errno == EPIPE ? "cannot write the output: the pipe was closed"
                               : "cannot write the output";
      break;
    }
    position += got;
    result.delivered += got;
    progress.Add(got);
  }
  result.seconds = progress.Seconds();
  progress.Finish();  // the line stays, ended, above any error
  events.Attach(nullptr);
  plugin.close();
  if (!failure.empty()) Fail(result.code, failure);
  return result;
}

// The plug-in reads its log's variables once, as it is loaded: they are set
// before. Its lines and a progress line would garble each other on stderr.
void TurnOnPluginLog(int verbosity) {
  if (verbosity == 0) return;
  const char* level = verbosity > 1 ? "HTTPMEDIA_LOG_LEVEL=debug" : "HTTPMEDIA_LOG_LEVEL=info";
#if defined(_WIN32)
  _putenv("HTTPMEDIA_LOG=stderr");
  _putenv(level);
#else
  setenv("HTTPMEDIA_LOG", "stderr", 1);
  setenv("HTTPMEDIA_LOG_LEVEL", level + std::strlen("HTTPMEDIA_LOG_LEVEL="), 1);
#endif
}

int Run(const CatOptions& options) {
  const bool sample_run = !options.url;
  const bool to_stdout =
      sample_run ? options.output == "-" : !options.output || *options.output == "-";
  const bool draw_progress = !options.quiet && options.verbosity == 0 && IsTerminal(stderr);
  // As curl does: a media body would garble the terminal. Said before
  // anything is loaded or opened.
  if (!sample_run && !options.output && IsTerminal(stdout)) {
    return Fail(kExitUsage,
                "the body is not written to a terminal: name a file with -o (-o - writes it "
                "there all the same)");
  }

  TurnOnPluginLog(options.verbosity);
  std::string error;
  std::unique_ptr<LoadedPlugin> plugin = Load(options, &error);
  if (!plugin) return Fail(kExitSetupFailed, "cannot load the plug-in: " + error);
  CatEvents events;
  plugin->InstallHooks(&events);  // where there are none, only "buffering" is missed

  std::vector<std::uint8_t> sample;
  std::unique_ptr<SampleServer> server;
  std::string url;
  if (sample_run) {
    sample = MakeSampleWave();
    try {
      server = std::make_unique<SampleServer>(sample, "audio/wav");
    } catch (const std::exception& e) {
      return Fail(kExitSetupFailed, std::string("cannot serve the sample: ") + e.what());
    }
    url = server->Url("/sample.wav");
  } else {
    url = *options.url;
  }

  std::FILE* out = nullptr;
  if (to_stdout) {
    UseBinaryStdout();
    out = stdout;
  } else if (options.output) {
    out = std::fopen(options.output->c_str(), "wb");
    if (out == nullptr) return Fail(kExitOutputFailed, "cannot create " + *options.output);
  }

  StreamResult result = Stream(*plugin, events, options, url, out, draw_progress);
  if (out != nullptr && std::fflush(out) != 0 && result.code == kExitSuccess) {
    result.code =
        Fail(kExitOutputFailed, errno == EPIPE ? "cannot write the output: the pipe was closed"
                                               : "cannot write the output");
  }
  if (out != nullptr && out != stdout && std::fclose(out) != 0 && result.code == kExitSuccess) {
    result.code = Fail(kExitOutputFailed, "cannot write " + *options.output);
  }
  server.reset();
  plugin->InstallHooks(nullptr);
  if (!sample_run || result.code != kExitSuccess) return result.code;

  // What the sample run is for: the plug-in must hand back the very bytes
  // served, or exactly the slice asked for.
  std::size_t first = 0, count = sample.size();
  if (options.range) {
    first = static_cast<std::size_t>(options.range->start);
    count = static_cast<std::size_t>(options.range->length);
  } else if (options.seek) {
    first = static_cast<std::size_t>(*options.seek);
    count -= first;
  }
  const std::uint32_t expected = Crc32(sample.data() + first, count);
  const bool intact = result.crc == expected && static_cast<std::size_t>(result.delivered) == count;
  if (!options.quiet) {
    std::FILE* summary = to_stdout ? stderr : stdout;
    const double rate = result.seconds > 0 ? result.delivered / result.seconds / 1e6 : 0;
    std::fprintf(summary,
                 "streamed %" PRId64
                 " bytes of the built-in sample (%zu-byte WAVE file) through "
                 "the plug-in in %.2f s (%.1f MB/s), checksum crc32 %08" PRIx32 ", %s\n",
                 result.delivered, sample.size(), result.seconds, rate, result.crc,
                 intact ? "matches the sample" : "DIFFERS from the sample");
  }
  if (!intact) {
    char expected_text[16];
    std::snprintf(expected_text, sizeof expected_text, "%08" PRIx32, expected);
    return Fail(kExitSampleMismatch, std::string("the sample came back with other bytes (crc32 ") +
                                         expected_text + " expected)");
  }
  return kExitSuccess;
}

}  // namespace

}  // namespace httpmedia::tools

int main(int argc, char** argv) {
  using namespace httpmedia::tools;
  // A reader that closes the pipe early is an output error with its own
  // exit status, not a death by signal.
  IgnoreBrokenPipe();
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const ParsedOptions parsed = ParseCatOptions(arguments);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgramName,
                 parsed.error.c_str(), kProgramName);
    return kExitUsage;
  }
  if (parsed.options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitSuccess;
  }
  if (parsed.options.version) {
    std::printf("%s %s\n", kProgramName, HTTPMEDIA_VERSION);
    return kExitSuccess;
  }
  return Run(parsed.options);
}
