// The platform's own calls, under their own names: WinINet and the core
// services on Windows, our libcurl and POSIX layers on Linux.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <wininet.h>
#define PLATFORM_TEXT(s) L##s
#else
#include "linux/core_services.h"
#include "linux/internet_client.h"
#define PLATFORM_TEXT(s) u##s
#endif
