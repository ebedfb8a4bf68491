// The named mutex across processes: exclusion by name, a holder that dies
// handing the mutex on, and the user's own scope that no other user reaches.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/linux/core_services.h"

namespace {

std::u16string UniqueName(const char* what) {
  std::string name = std::string("httpmedia-test-") + what + "-" + std::to_string(getpid());
  return std::u16string(name.begin(), name.end());
}

// Runs body in a child process that reports on a pipe; returns its pid and
// the read end of the pipe.
template <typename Body>
pid_t RunChild(int* readEnd, Body body) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    body(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  *readEnd = fds[0];
  return pid;
}

char ReadByte(int fd) {
  char c = 0;
  EXPECT_EQ(read(fd, &c, 1), 1);
  return c;
}

// Runs body in a child process and returns its exit status: 0 for success,
// else the number of the check that failed.
int InChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A user id no account of the machine uses, distinct per test process so that
// suites running at once do not share its directory; fixed before any child
// of the test process is forked.
const uid_t otherUser = 60000 + static_cast<uid_t>(getpid() % 5000);

bool BecomeOtherUser() { return setgid(otherUser) == 0 && setuid(otherUser) == 0; }

std::string FallbackDirectory(uid_t user) { return "/tmp/httpmedia-" + std::to_string(user); }

// A private runtime directory of this test's own, removed with everything in
// it; the lock file of a name sits directly inside it.
class RuntimeDirectory {
 public:
  RuntimeDirectory() {
    char pattern[] = "/tmp/httpmedia-runtime-XXXXXX";
    path_ = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~RuntimeDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    std::filesystem::remove_all(FallbackDirectory(otherUser), ignored);
  }
  const std::string& Path() const { return path_; }
  std::string LockFile(const std::u16string& name) const {
    return path_ + "/httpmedia-mutex-" + std::string(name.begin(), name.end());
  }

 private:
  std::string path_;
};

// The next taker of an abandoned mutex is told so once; handed on, it is an
// ordinary mutex again.
void ExpectHandedOnOnce(HANDLE mutex) {
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST(NamedMutex, ProcessesSharingTheNameExcludeEachOther) {
  const std::u16string name = UniqueName("exclusion");
  int fromChild = -1;
  pid_t child = RunChild(&fromChild, [&](int toParent) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) _exit(1);
    write(toParent, "h", 1);  // holding
    Sleep(300);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  });
  ASSERT_EQ(ReadByte(fromChild), 'h');
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(fromChild);
  CloseHandle(mutex);
}

TEST(NamedMutex, HolderKilledHandsTheMutexToTheNextTaker) {
  // A process killed while downloading must not stall the user's other
  // processes using the plug-in.
  const std::u16string name = UniqueName("killed");
  int fromChild = -1;
  pid_t child = RunChild(&fromChild, [&](int toParent) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) _exit(1);
    WaitForSingleObject(mutex, INFINITE);
    write(toParent, "h", 1);
    pause();
  });
  ASSERT_EQ(ReadByte(fromChild), 'h');
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(fromChild);

  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  ExpectHandedOnOnce(mutex);
  CloseHandle(mutex);
}

TEST(NamedMutex, AThreadThatEndsOwningTheMutexAbandonsIt) {
  for (const std::u16string& name : {UniqueName("ended"), std::u16string()}) {
    SCOPED_TRACE(name.empty() ? "unnamed" : "named");
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); }).join();
    ExpectHandedOnOnce(mutex);
    CloseHandle(mutex);
  }
}

TEST(NamedMutex, TwoHandlesOfOneProcessNameOneMutex) {
  const std::u16string name = UniqueName("handles");
  HANDLE first = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(first, nullptr);
  HANDLE second = CreateMutexW(nullptr, FALSE, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  // The owning thread takes it again through either handle...
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  // ...and another thread through neither.
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(second, 20), WAIT_TIMEOUT); }).join();
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_TRUE(ReleaseMutex(first));
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(second, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(second));
  }).join();
  CloseHandle(first);
  CloseHandle(second);
}

// The mutex is the user's alone: another user can neither open its lock nor
// take it by the same name, and the user's own mutex is refused when someone
// else has planted the file or directory it would use.
TEST(NamedMutex, AnotherUserNeitherReachesNorSharesTheLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::u16string name = UniqueName("user");
  {
    RuntimeDirectory runtime;
    ASSERT_FALSE(runtime.Path().empty());
    EXPECT_EQ(InChild([&] {
                setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
                HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
                if (mutex == nullptr || WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0) return 1;
                struct stat info {};
                if (stat(runtime.LockFile(name).c_str(), &info) != 0) return 2;
                if (info.st_uid != 0 || (info.st_mode & 0777) != 0600) return 3;
                // Held by this user, with its runtime directory in the environment.
                return InChild([&] {
                  if (!BecomeOtherUser()) return 10;
                  if (open(runtime.LockFile(name).c_str(), O_RDWR) >= 0 || errno != EACCES) {
                    return 11;
                  }
                  if (open(runtime.LockFile(name).c_str(), O_RDONLY) >= 0) return 12;
                  // The same name is another mutex for another user.
                  HANDLE theirs = CreateMutexW(nullptr, FALSE, name.c_str());
                  if (theirs == nullptr) return 13;
                  return WaitForSingleObject(theirs, 0) == WAIT_OBJECT_0 ? 0 : 14;
                });
              }),
              0);
  }

  struct Plant {
    const char* what;
    bool asOtherUser;  // else as this user, with the runtime directory set
    std::function<bool(const RuntimeDirectory& runtime)> plant;
  };
  const uid_t other = otherUser;
  const std::string fallback = FallbackDirectory(other);
  const auto createFile = [](const std::string& file) {
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    return fd >= 0 && close(fd) == 0;
  };
  const Plant plants[] = {
      {"a lock file of another owner", false,
       [&](const RuntimeDirectory& runtime) {
         const std::string file = runtime.LockFile(name);
         return createFile(file) && chown(file.c_str(), other, other) == 0;
       }},
      {"a lock file others may write", false,
       [&](const RuntimeDirectory& runtime) {
         const std::string file = runtime.LockFile(name);
         return createFile(file) && chmod(file.c_str(), 0606) == 0;
       }},
      {"a lock file its group may write", false,
       [&](const RuntimeDirectory& runtime) {
         const std::string file = runtime.LockFile(name);
         return createFile(file) && chmod(file.c_str(), 0620) == 0;
       }},
      {"a link in place of the lock file", false,
       [&](const RuntimeDirectory& runtime) {
         const std::string target = runtime.Path() + "/target";
         return createFile(target) && symlink(target.c_str(), runtime.LockFile(name).c_str()) == 0;
       }},
      {"a fallback directory of another owner", true,
       [&](const RuntimeDirectory&) { return mkdir(fallback.c_str(), 0700) == 0; }},
      {"a link in place of the fallback directory", true,
       [&](const RuntimeDirectory& runtime) {
         const std::string target = runtime.Path() + "/theirs";
         return chmod(runtime.Path().c_str(), 0755) == 0 && mkdir(target.c_str(), 0700) == 0 &&
                chown(target.c_str(), other, other) == 0 &&
                symlink(target.c_str(), fallback.c_str()) == 0;
       }},
  };
  for (const Plant& plant : plants) {
    SCOPED_TRACE(plant.what);
    RuntimeDirectory runtime;
    ASSERT_FALSE(runtime.Path().empty());
    ASSERT_TRUE(plant.plant(runtime));
    EXPECT_EQ(InChild([&] {
                if (plant.asOtherUser) {
                  unsetenv("XDG_RUNTIME_DIR");
                  if (!BecomeOtherUser()) return 10;
                } else {
                  setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
                }
                return CreateMutexW(nullptr, FALSE, name.c_str()) == nullptr ? 0 : 1;
              }),
              0);
  }
}

// The runtime directory holds the lock file only while it is the user's
// alone: one its group or others may enter is passed over for the user's
// private directory in /tmp.
TEST(NamedMutex, ARuntimeDirectoryOthersMayEnterIsPassedOver) {
  const std::u16string name = UniqueName("runtime");
  const std::string fallbackFile =
      FallbackDirectory(geteuid()) + "/httpmedia-mutex-" + std::string(name.begin(), name.end());
  const struct {
    mode_t mode;
    bool used;
  } rows[] = {{0700, true}, {0750, false}, {0770, false}, {0705, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "mode 0" << std::oct << row.mode);
    RuntimeDirectory runtime;
    ASSERT_FALSE(runtime.Path().empty());
    ASSERT_EQ(chmod(runtime.Path().c_str(), row.mode), 0);
    EXPECT_EQ(InChild([&] {
                setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
                HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
                if (mutex == nullptr || WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0) return 1;
                struct stat info {};
                const bool inRuntime = stat(runtime.LockFile(name).c_str(), &info) == 0;
                const bool inFallback = stat(fallbackFile.c_str(), &info) == 0;
                return inRuntime == row.used && inFallback == !row.used ? 0 : 2;
              }),
              0);
    unlink(fallbackFile.c_str());
  }
}

TEST(NamedMutex, OnlyTheOwnerReleasesAndStaleHandlesAreRefused) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, UniqueName("owner").c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_FALSE(ReleaseMutex(mutex));  // not owned
  // The owning thread may take it again, as the platform's mutexes allow.
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(mutex));
  EXPECT_FALSE(CloseHandle(mutex));  // closed already
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_FAILED);
  int notAHandle = 0;
  EXPECT_FALSE(CloseHandle(&notAHandle));
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

}  // namespace
