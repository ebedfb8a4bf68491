// The plug-in as a host sees it: exactly six exported symbols, found by
// name after dlopen, calls that are safe before anything is open, and a
// stream's whole life between dlopen and dlclose that leaves no thread of
// the plug-in behind, whichever compiler built it. The program runs itself
// a second time as that host, so that nothing of the plug-in is loaded
// before.
#include <dirent.h>
#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "httpmedia/httpmedia.h"
#include "test_server.h"

extern char** environ;

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

constexpr char CycleArgument[] = "--load-stream-unload";

int ThreadsOfThisProcess() {
  int threads = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) threads += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return threads;
}

// The host: loads the plug-in, streams a little, closes, unloads, and lives
// on for three seconds. Exits 0 when no thread of the plug-in is left.
int LoadStreamUnload(const char* plugin, const char* url) {
  std::thread([] {}).join();  // ThreadSanitizer starts a thread of its own with the first one
  const int before = ThreadsOfThisProcess();
  void* library = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return 2;
  auto open = reinterpret_cast<decltype(&InputMediaOpen)>(dlsym(library, "InputMediaOpen"));
  auto read = reinterpret_cast<decltype(&InputMediaRead)>(dlsym(library, "InputMediaRead"));
  auto close = reinterpret_cast<decltype(&InputMediaClose)>(dlsym(library, "InputMediaClose"));
  const std::string narrow = url;
  const std::u16string wide(narrow.begin(), narrow.end());
  char buffer[1000];
  if (!open || !read || !close || open(wide.c_str()) <= 0) return 3;
  if (read(buffer, sizeof buffer) != sizeof buffer) return 4;
  close();
  if (dlclose(library) != 0) return 5;
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const int after = ThreadsOfThisProcess();
  if (after != before) std::fprintf(stderr, "%d threads before, %d after\n", before, after);
  return after == before ? 0 : 6;
}

struct Build {
  const char* compiler;
  const char* plugin;  // empty: not built here
};

class UnloadedAfterClose : public ::testing::TestWithParam<Build> {};

TEST_P(UnloadedAfterClose, LeavesNoThreadBehind) {
  const Build& build = GetParam();
  if (build.plugin[0] == 0) GTEST_SKIP() << "no " << build.compiler << " build of the plug-in";
  httpmedia::testing::TestServer server;
  std::string self = "/proc/self/exe";
  std::string argument = CycleArgument;
  std::string plugin = build.plugin;
  std::string url = server.Url("/unload?size=3000000");
  char* argv[] = {self.data(), argument.data(), plugin.data(), url.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the host died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2 load, 3 open, 4 read, 5 unload, 6 a thread left";
}

INSTANTIATE_TEST_SUITE_P(Builds, UnloadedAfterClose,
                         ::testing::Values(Build{HTTPMEDIA_COMPILER, HTTPMEDIA_LIBRARY},
                                           Build{"clang", HTTPMEDIA_CLANG_LIBRARY}),
                         [](const ::testing::TestParamInfo<Build>& info) {
                           return info.param.compiler;
                         });

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], CycleArgument) == 0) {
    return LoadStreamUnload(argv[2], argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
