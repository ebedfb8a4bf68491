// The few platform types and constants that the engine's calls into the
// Internet-client and system-services layers are written against, so that
// the engine reads the same on Linux as on the platform it was designed for.
#pragma once

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using ULONGLONG = std::uint64_t;
using LPDWORD = DWORD*;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using LPVOID = void*;
using WCHAR = char16_t;
using LPCWSTR = const WCHAR*;
using HANDLE = void*;
using HWND = void*;
using HCURSOR = void*;
using HINSTANCE = void*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define WINAPI
#define CALLBACK

// Error codes the layers report through GetLastError.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;

DWORD GetLastError();
void SetLastError(DWORD error);
