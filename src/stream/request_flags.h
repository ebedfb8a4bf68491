// How the plug-in asks for its URL: the agent name, the flags and the
// context of every request, the probe's, the stream's and a range's alike.
#pragma once

#include "platform/platform_api.h"

namespace httpmedia {

inline constexpr char16_t AgentName[] = u"Vellacord";
inline constexpr DWORD RequestFlags = INTERNET_FLAG_NO_CACHE_WRITE;
inline constexpr DWORD_PTR RequestContext = 1;
// Headers passed as a NUL-terminated string (or none at all).
inline constexpr DWORD HeadersUpToNul = static_cast<DWORD>(-1);

inline LPCWSTR Wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

inline void CloseInternetHandle(void* handle) {
  if (handle != nullptr) ::InternetCloseHandle(static_cast<HINTERNET>(handle));
}

}  // namespace httpmedia
