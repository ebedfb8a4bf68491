// Checks of the rules the engine's shared words keep between two steps.
// Active in Debug and in the sanitizer and fuzzing builds, where a broken
// rule stops the process at the step that broke it instead of showing up
// later as a wrong byte; compiled out of release builds.
#pragma once

namespace httpmedia {

[[noreturn]] void InvariantBroken(const char* condition, const char* rule, const char* file,
                                  int line);

}  // namespace httpmedia

#if defined(HTTPMEDIA_CHECK_INVARIANTS)
#define HTTPMEDIA_ASSERT(condition, rule) \
  ((condition) ? static_cast<void>(0)     \
               : ::httpmedia::InvariantBroken(#condition, rule, __FILE__, __LINE__))
#else
// Unevaluated, so the names it uses stay used and nothing runs.
#define HTTPMEDIA_ASSERT(condition, rule) static_cast<void>(sizeof(!(condition)))
#endif
