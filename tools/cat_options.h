// The command line of httpmedia-cat and its exit codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace httpmedia::tools {

// One per class of failure, so that a script can tell a 404 from a name
// that does not resolve.
enum ExitCode : int {
  kExitSuccess = 0,
  kExitOpenFailed = 1,       // the plug-in could not open the URL, for a reason not below
  kExitStreamShort = 2,      // the stream was cut, or ended before its length or the range's end
  kExitSeekFailed = 3,       // the plug-in refused the seek, or it lies past the end
  kExitOutputFailed = 4,     // the output could not be written (a closed pipe included)
  kExitSetupFailed = 5,      // no plug-in could be loaded, or the sample server did not start
  kExitSampleMismatch = 6,   // the built-in sample came back with other bytes
  kExitRefusedByServer = 7,  // the server's answer is no stream (an error status, say)
  kExitNoConnection = 8,     // the name did not resolve, or the connection was refused
  kExitTls = 9,              // the TLS handshake or the server's certificate failed
  kExitTimedOut = 10,        // the server did not answer, or a read waited 20 s in vain
  kExitUsage = 64,           // the command line is wrong, or the body would go to a terminal
};

inline constexpr std::int32_t kDefaultReadSize = 64 * 1024;

struct ByteRange {
  std::int32_t start = 0;
  std::int32_t length = 0;
};

struct CatOptions {
  std::optional<std::string> url;     // none: stream the built-in sample
  std::optional<std::string> output;  // none: stdout, or nowhere for the sample
  std::int32_t read_size = kDefaultReadSize;
  std::optional<std::int32_t> seek;
  std::optional<ByteRange> range;
  bool quiet = false;
  int verbosity = 0;  // -v: the plug-in's log at info level on stderr; -vv: debug
  std::optional<std::string> plugin;
  bool help = false;
  bool version = false;
};

struct ParsedOptions {
  CatOptions options;
  std::string error;  // non-empty: a usage error, said in one line
};

// Parses argv[1..] GNU-style: short options may be bundled (-qo FILE), long
// options take their value as --name=VALUE or --name VALUE, "--" ends the
// options.
ParsedOptions ParseCatOptions(const std::vector<std::string_view>& arguments);

// A count of bytes: decimal digits with an optional binary suffix (k, M, G
// for 1024, 1024^2, 1024^3); none for anything else or past what a signed
// 32-bit stream offset holds.
std::optional<std::int32_t> ParseByteCount(std::string_view text);

std::string UsageText();

}  // namespace httpmedia::tools
