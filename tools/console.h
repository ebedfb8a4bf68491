// The things the tools need of the console, kept apart from the portable
// code.
#pragma once

#include <cstdio>

namespace httpmedia::tools {

// Whether stream is a terminal, where a line may be redrawn in place.
bool IsTerminal(std::FILE* stream);

// Makes stdout carry bytes unchanged: no line-ending translation.
void UseBinaryStdout();

// A write to a pipe whose reader has gone fails (EPIPE) rather than ending
// the process by SIGPIPE.
void IgnoreBrokenPipe();

}  // namespace httpmedia::tools
