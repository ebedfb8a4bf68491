#include "console.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>

#include <csignal>
#endif

namespace httpmedia::tools {

#if defined(_WIN32)
bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void UseBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

// Windows has no SIGPIPE: a closed pipe fails the write already.
void IgnoreBrokenPipe() {}
#else
bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

// POSIX streams never translate line endings.
void UseBinaryStdout() {}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }
#endif

}  // namespace httpmedia::tools
