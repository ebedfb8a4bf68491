// The named mutex across processes: exclusion by name, and a holder that
// dies handing the mutex on.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

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
  // The plug-in's own name: a process killed while downloading must not
  // stall every other user of the plug-in on the machine.
  const std::u16string name = u"ReadDone";
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
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  // Handed on once, it is an ordinary mutex again.
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
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
