// Whether the test runs under a sanitizer. The sanitizers slow every thread
// many times over, so a wait scaled down to a second of real time may run
// out before the network has answered, and they keep threads and freed
// memory of their own.
#pragma once

namespace httpmedia::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool UnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool UnderSanitizer = true;
#else
inline constexpr bool UnderSanitizer = false;
#endif
#else
inline constexpr bool UnderSanitizer = false;
#endif

// ThreadSanitizer ends a child forked from a process with threads as soon
// as the child starts a thread of its own.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool UnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool UnderThreadSanitizer = true;
#else
inline constexpr bool UnderThreadSanitizer = false;
#endif
#else
inline constexpr bool UnderThreadSanitizer = false;
#endif

}  // namespace httpmedia::testing
