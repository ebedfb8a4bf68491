#include "cat_options.h"

#include <limits>

namespace httpmedia::tools {

namespace {

enum class Option { ReadSize, Output, Seek, Range, Quiet, Verbose, Plugin, Help, Version };

struct KnownOption {
  Option option;
  char short_name;  // 0: long only
  std::string_view long_name;
  bool takes_value;
};

constexpr KnownOption kOptions[] = {
    {Option::ReadSize, 'b', "read-size", true},
    {Option::Output, 'o', "output", true},
    {Option::Seek, 0, "seek", true},
    {Option::Range, 0, "range", true},
    {Option::Quiet, 'q', "quiet", false},
    {Option::Verbose, 'v', "verbose", false},
    {Option::Plugin, 0, "plugin", true},
    {Option::Help, 'h', "help", false},
    {Option::Version, 'V', "version", false},
};

const KnownOption* FindShort(char name) {
  for (const KnownOption& known : kOptions) {
    if (known.short_name == name) return &known;
  }
  return nullptr;
}

const KnownOption* FindLong(std::string_view name) {
  for (const KnownOption& known : kOptions) {
    if (known.long_name == name) return &known;
  }
  return nullptr;
}

std::optional<ByteRange> ParseRange(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<std::int32_t> start = ParseByteCount(text.substr(0, colon));
  const std::optional<std::int32_t> length = ParseByteCount(text.substr(colon + 1));
  if (!start || !length || *length == 0) return std::nullopt;
  // The range's end is a stream position too.
  if (static_cast<std::int64_t>(*start) + *length > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return ByteRange{*start, *length};
}

// Applies one option; returns a usage error or "".
std::string Apply(const KnownOption& known, std::string_view value, CatOptions* options) {
  switch (known.option) {
    case Option::ReadSize: {
      const std::optional<std::int32_t> size = ParseByteCount(value);
      if (!size || *size == 0) return "invalid read size '" + std::string(value) + "'";
      options->read_size = *size;
      return "";
    }
    case Option::Output:
      if (value.empty()) return "empty output file name";
      options->output = std::string(value);
      return "";
    case Option::Seek: {
      const std::optional<std::int32_t> offset = ParseByteCount(value);
      if (!offset) return "invalid seek offset '" + std::string(value) + "'";
      options->seek = *offset;
      return "";
    }
    case Option::Range: {
      const std::optional<ByteRange> range = ParseRange(value);
      if (!range) return "invalid range '" + std::string(value) + "' (want START:LENGTH)";
      options->range = *range;
      return "";
    }
    case Option::Quiet:
      options->quiet = true;
      return "";
    case Option::Verbose:
      ++options->verbosity;
      return "";
    case Option::Plugin:
      if (value.empty()) return "empty plug-in path";
      options->plugin = std::string(value);
      return "";
    case Option::Help:
      options->help = true;
      return "";
    case Option::Version:
      options->version = true;
      return "";
  }
  return "";
}

}  // namespace

std::optional<std::int32_t> ParseByteCount(std::string_view text) {
  std::int64_t multiplier = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k':
      case 'K':
        multiplier = 1024;
        break;
      case 'M':
        multiplier = 1024 * 1024;
        break;
      case 'G':
        multiplier = 1024 * 1024 * 1024;
        break;
      default:
        break;
    }
    if (multiplier != 1) text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  value *= multiplier;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

ParsedOptions ParseCatOptions(const std::vector<std::string_view>& arguments) {
  ParsedOptions parsed;
  CatOptions& options = parsed.options;
  std::vector<std::string_view> operands;
  bool options_ended = false;

  for (std::size_t i = 0; i < arguments.size() && parsed.error.empty(); ++i) {
    const std::string_view argument = arguments[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      operands.push_back(argument);  // "-" alone is an operand too
      continue;
    }
    if (argument == "--") {
      options_ended = true;
      continue;
    }
    if (argument.starts_with("--")) {
      std::string_view name = argument.substr(2);
      std::optional<std::string_view> value;
      if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
      }
      const KnownOption* known = FindLong(name);
      if (known == nullptr) {
        parsed.error = "unknown option '--" + std::string(name) + "'";
      } else if (known->takes_value && !value) {
        if (i + 1 == arguments.size()) {
          parsed.error = "option '--" + std::string(name) + "' needs a value";
        } else {
          parsed.error = Apply(*known, arguments[++i], &options);
        }
      } else if (!known->takes_value && value) {
        parsed.error = "option '--" + std::string(name) + "' takes no value";
      } else {
        parsed.error = Apply(*known, value.value_or(""), &options);
      }
      continue;
    }
    // A bundle of short options; one that takes a value ends it, taking the
    // rest of the bundle or else the next argument.
    for (std::size_t j = 1; j < argument.size() && parsed.error.empty(); ++j) {
      const KnownOption* known = FindShort(argument[j]);
      if (known == nullptr) {
        parsed.error = "unknown option '-" + std::string(1, argument[j]) + "'";
      } else if (!known->takes_value) {
        parsed.error = Apply(*known, "", &options);
      } else if (j + 1 < argument.size()) {
        parsed.error = Apply(*known, argument.substr(j + 1), &options);
        break;
      } else if (i + 1 == arguments.size()) {
        parsed.error = "option '-" + std::string(1, argument[j]) + "' needs a value";
      } else {
        parsed.error = Apply(*known, arguments[++i], &options);
      }
    }
  }
  if (!parsed.error.empty() || options.help || options.version) return parsed;

  if (operands.size() > 1) {
    parsed.error = "more than one URL";
  } else if (operands.size() == 1) {
    options.url = std::string(operands[0]);
  }
  if (options.seek && options.range) parsed.error = "--seek and --range cannot be combined";
  return parsed;
}

std::string UsageText() {
  return R"(Usage: httpmedia-cat [OPTION]... [URL]
Streams the body of an http:// or https:// URL to standard output through the
httpmedia plug-in, loaded and called as a media player does.

With no URL, serves a generated sample media file from a loopback server of its
own, streams it through the plug-in, discards it (or writes it to -o FILE) and
prints a summary with the bytes' checksum.

  -o, --output=FILE      write the body to FILE ('-': standard output)
  -b, --read-size=SIZE   bytes asked of the plug-in per read (default 64k)
      --seek=OFFSET      seek to OFFSET before streaming the rest
      --range=START:LENGTH
                         stream LENGTH bytes from START only
  -q, --quiet            no progress line and no summary; errors only
  -v, --verbose          the plug-in's diagnostic log on standard error: each
                         request, answer and decision (-vv: also each wait and
                         chunk); no progress line then
      --plugin=PATH      load the plug-in from PATH instead of the installed one
  -h, --help             show this help and exit
  -V, --version          show the version and exit

SIZE, OFFSET, START and LENGTH are bytes, optionally with a k, M or G suffix
(1024, 1024^2, 1024^3), and must stay below 2 GiB.

A progress line is drawn on standard error when it is a terminal: bytes, the
share of the length the server reported (when it reported one), rate, elapsed
time, and "buffering" while the plug-in waits for the download.

The body is not written to a terminal: name a file with -o (-o - writes it to
standard output all the same). Errors are one line each, with any user name and
password of the URL shown as ***.

A read or seek of the plug-in waits at most 20 seconds for the download, and
the open at most 20 seconds for the server's answer.

The plug-in's own diagnostic log (what -v turns on) is set by the environment:
  HTTPMEDIA_LOG        stderr, debug, or the path of a file (created 0600)
  HTTPMEDIA_LOG_LEVEL  info (the default) or debug

Exit status:
  0   the whole stream (or range) was delivered
  1   the plug-in could not open the URL for another reason (an empty body, a
      malformed URL)
  2   the stream was cut (the connection broke and was not rejoined), or ended
      before its reported length or the range's end
  3   the seek was refused, or its offset lies past the reported length
  4   the output could not be written (a pipe closed early included)
  5   the plug-in could not be loaded, or the sample server did not start
  6   the built-in sample came back with different bytes
  7   the server's answer is no stream: an error status such as 404 or 503
  8   the server's name did not resolve, or it refused the connection
  9   TLS failed: the handshake, or the server's certificate
  10  time-out: the server did not answer within 20 s, or a read waited 20 s
      without data
  64  the command line is wrong, or the body would go to a terminal
)";
}

}  // namespace httpmedia::tools
