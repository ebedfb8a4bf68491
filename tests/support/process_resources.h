// What a test counts to tell that a process left nothing behind: entries of
// /proc/self/task (threads) and /proc/self/fd (open descriptors).
#pragma once

#include <dirent.h>

#include <cstddef>

namespace httpmedia::testing {

inline std::size_t DirectoryEntries(const char* directory) {
  std::size_t count = 0;
  if (DIR* dir = opendir(directory)) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace httpmedia::testing
