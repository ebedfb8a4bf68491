// The plug-in as a host sees it: exactly six exported symbols, found by
// name after dlopen, calls that are safe before anything is open, and a
// stream's whole life between dlopen and dlclose that leaves no thread of
// the plug-in behind, whichever compiler built it: nor does an open that
// gave up while the server's name was still being looked up, nor its log
// file. The program runs itself a second time as that host, so that nothing
// of the plug-in is loaded before.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
constexpr char LookupArgument[] = "--unload-during-a-lookup";
constexpr char LogArgument[] = "--load-unload-with-a-log";
// The host could not make its namespace: the test is skipped.
constexpr int NoNamespace = 77;

int EntriesOf(const char* directory) {
  int entries = 0;
  if (DIR* listed = opendir(directory)) {
    while (const dirent* entry = readdir(listed)) entries += entry->d_name[0] != '.';
    closedir(listed);
  }
  return entries;
}

int ThreadsOfThisProcess() { return EntriesOf("/proc/self/task"); }

struct Plugin {
  explicit Plugin(const char* path) : library(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (library == nullptr) return;
    open = reinterpret_cast<decltype(&InputMediaOpen)>(dlsym(library, "InputMediaOpen"));
    read = reinterpret_cast<decltype(&InputMediaRead)>(dlsym(library, "InputMediaRead"));
    close = reinterpret_cast<decltype(&InputMediaClose)>(dlsym(library, "InputMediaClose"));
  }
  bool Loaded() const { return open && read && close; }
  std::int32_t Open(const char* url) const {
    const std::string narrow = url;
    const std::u16string wide(narrow.begin(), narrow.end());
    return open(wide.c_str());
  }

  void* library;
  decltype(&InputMediaOpen) open = nullptr;
  decltype(&InputMediaRead) read = nullptr;
  decltype(&InputMediaClose) close = nullptr;
};

// After the unload, the host lives on for three seconds: 0 when no thread
// of the plug-in is left by then, or it crashed.
int NoThreadLeftAfterUnload(void* library, int before) {
  if (dlclose(library) != 0) return 5;
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const int after = ThreadsOfThisProcess();
  if (after != before) std::fprintf(stderr, "%d threads before, %d after\n", before, after);
  return after == before ? 0 : 6;
}

// The host: loads the plug-in, streams a little, closes, unloads.
int LoadStreamUnload(const char* path, const char* url) {
  std::thread([] {}).join();  // ThreadSanitizer starts a thread of its own with the first one
  const int before = ThreadsOfThisProcess();
  Plugin plugin(path);
  if (plugin.library == nullptr) return 2;
  char buffer[1000];
  if (!plugin.Loaded() || plugin.Open(url) <= 0) return 3;
  if (plugin.read(buffer, sizeof buffer) != sizeof buffer) return 4;
  plugin.close();
  return NoThreadLeftAfterUnload(plugin.library, before);
}

bool WriteFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

// A network of its own with loopback only, where the name server is a
// socket on 127.0.0.1 port 53 that never answers: each lookup waits out the
// resolver's time-out of three seconds. Returns that socket, or -1.
int SilentNameServer() {
  const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0) return -1;
  if (!WriteFile("/proc/self/setgroups", "deny") ||
      !WriteFile("/proc/self/uid_map", "0 " + uid + " 1") ||
      !WriteFile("/proc/self/gid_map", "0 " + gid + " 1")) {
    return -1;
  }
  char resolver[] = "/tmp/httpmedia-resolv-XXXXXX";
  const int file = mkstemp(resolver);
  if (file < 0) return -1;
  ::close(file);
  const bool mounted =
      WriteFile(resolver, "nameserver 127.0.0.1\noptions timeout:3 attempts:1\n") &&
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount(resolver, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
  unlink(resolver);
  if (!mounted) return -1;
  const int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq loopback{};
  std::strcpy(loopback.ifr_name, "lo");
  if (server < 0 || ioctl(server, SIOCGIFFLAGS, &loopback) != 0) return -1;
  loopback.ifr_flags |= IFF_UP;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (ioctl(server, SIOCSIFFLAGS, &loopback) != 0 ||
      bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return -1;
  }
  return server;
}

// The plug-in's polls at a twentieth of their length: the open's 20 seconds
// pass in one, while the lookup it started waits out its three.
void BriefSleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 50));
}

// The host: opens a URL whose server's name is still being looked up when
// the open gives up, closes, unloads.
int UnloadDuringALookup(const char* path) {
  if (SilentNameServer() < 0) return NoNamespace;
  std::thread([] {}).join();
  const int before = ThreadsOfThisProcess();
  Plugin plugin(path);
  if (plugin.library == nullptr) return 2;
  using SetSleep = void (*)(void (*)(std::uint32_t));
  auto setSleep = reinterpret_cast<SetSleep>(dlsym(plugin.library, "HttpMediaSetSleep"));
  if (!plugin.Loaded() || setSleep == nullptr) return 2;
  setSleep(BriefSleep);
  if (plugin.Open("http://unanswered.test/") != 0) return 3;
  plugin.close();
  return NoThreadLeftAfterUnload(plugin.library, before);
}

// The host: loads and unloads the plug-in twenty times with its log in a
// file; 0 when the last nineteen left no descriptor open (a g++ build stays
// loaded after its first dlclose, its log file with it).
int LoadUnloadWithALog(const char* path) {
  char log[] = "/tmp/httpmedia-log-XXXXXX";
  const int file = mkstemp(log);
  if (file < 0) return 2;
  ::close(file);
  setenv("HTTPMEDIA_LOG", log, 1);
  int first = 0;
  for (int cycle = 0; cycle < 20; ++cycle) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr || dlclose(library) != 0) return 2;
    if (cycle == 0) first = EntriesOf("/proc/self/fd");
  }
  unlink(log);
  const int last = EntriesOf("/proc/self/fd");
  if (last != first)
    std::fprintf(stderr, "%d descriptors after one cycle, %d after 20\n", first, last);
  return last == first ? 0 : 7;
}

struct Build {
  const char* compiler;
  const char* plugin;  // empty: not built here
};

class UnloadedAfterClose : public ::testing::TestWithParam<Build> {
 protected:
  // Runs the host with these arguments after the plug-in's path; its status.
  int Host(const char* mode, std::vector<std::string> arguments = {}) {
    const Build& build = GetParam();
    std::vector<std::string> words{"/proc/self/exe", mode, build.plugin};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int status = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid) {
      ADD_FAILURE() << "the host did not run";
      return -1;
    }
    EXPECT_TRUE(WIFEXITED(status)) << "the host died of signal " << WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void SetUp() override {
    if (GetParam().plugin[0] == 0) GTEST_SKIP() << "no " << GetParam().compiler << " build";
  }
};

constexpr char Codes[] = "2 load, 3 open, 4 read, 5 unload, 6 a thread left, 7 a descriptor left";

TEST_P(UnloadedAfterClose, LeavesNoThreadBehind) {
  httpmedia::testing::TestServer server;
  EXPECT_EQ(Host(CycleArgument, {server.Url("/unload?size=3000000")}), 0) << Codes;
}

TEST_P(UnloadedAfterClose, LeavesNoThreadBehindWhileANameLookupIsPending) {
  const int status = Host(LookupArgument);
  if (status == NoNamespace) GTEST_SKIP() << "no network namespace of our own here";
  EXPECT_EQ(status, 0) << Codes;
}

TEST_P(UnloadedAfterClose, LeavesNoLogFileOpen) { EXPECT_EQ(Host(LogArgument), 0) << Codes; }

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
  if (argc == 3 && std::strcmp(argv[1], LookupArgument) == 0) return UnloadDuringALookup(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], LogArgument) == 0) return LoadUnloadWithALog(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
