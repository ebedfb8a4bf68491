#include "stream/invariants.h"

#include <cstdio>
#include <cstdlib>

namespace httpmedia {

void InvariantBroken(const char* condition, const char* rule, const char* file, int line) {
  std::fprintf(stderr, "httpmedia: broken rule: %s (%s) at %s:%d\n", rule, condition, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace httpmedia
