// The plug-in as a host sees it: exactly six exported symbols, found by
// name after dlopen, and calls that are safe before anything is open.
#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "httpmedia/httpmedia.h"

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::set<std::string> symbols;
  std::string command = "nm -D --defined-only --format=posix '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    symbols.insert(text.substr(0, text.find(' ')));
  }
  pclose(pipe);
  return symbols;
}

TEST(ExportedInterface, ExactlyTheFourFunctionsAndTheClassMembers) {
  EXPECT_EQ(
      DefinedDynamicSymbols(HTTPMEDIA_LIBRARY),
      (std::set<std::string>{"InputMediaClose", "InputMediaOpen", "InputMediaRead",
                             "InputMediaSeek", "_ZN11CInputMediaC1Ev", "_ZN11CInputMediaaSERKS_"}));
}

TEST(ExportedInterface, LoadsAndAnswersBeforeAnyOpen) {
  void* library = dlopen(HTTPMEDIA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto open = reinterpret_cast<decltype(&InputMediaOpen)>(dlsym(library, "InputMediaOpen"));
  auto read = reinterpret_cast<decltype(&InputMediaRead)>(dlsym(library, "InputMediaRead"));
  auto seek = reinterpret_cast<decltype(&InputMediaSeek)>(dlsym(library, "InputMediaSeek"));
  auto close = reinterpret_cast<decltype(&InputMediaClose)>(dlsym(library, "InputMediaClose"));
  ASSERT_TRUE(open && read && seek && close);
  char buffer[16];
  EXPECT_EQ(open(nullptr), 0);  // a query with nothing open
  EXPECT_EQ(read(buffer, sizeof buffer), 0);
  EXPECT_EQ(seek(0, 1), 0);
  EXPECT_EQ(close(), 0);  // nothing to close returns at once
  // The class exists for its exports only: constructing and assigning work.
  auto construct = reinterpret_cast<void (*)(void*)>(dlsym(library, "_ZN11CInputMediaC1Ev"));
  ASSERT_NE(construct, nullptr);
  unsigned char object = 0;
  construct(&object);
  dlclose(library);
}

}  // namespace
