// The download's chunk mutex ("ReadDone") is shared by the user's processes:
// another process can hold it. While it does, the plug-in's download waits,
// yet the stream closes; once that process is killed holding it, the
// download must carry on. The program runs itself a second time as the
// holder.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "core_services.h"
#include "gtest/gtest.h"
#include "plugin_host.h"
#include "test_server.h"

extern char** environ;

namespace httpmedia::hardening {
namespace {

using httpmedia::testing::FirstBodyMismatch;

constexpr char HoldArgument[] = "--hold-read-done";

// The holder: takes the mutex, says so on stdout, and waits to be killed.
int HoldReadDone() {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"ReadDone");
  if (mutex == nullptr) return 1;
  const DWORD taken = WaitForSingleObject(mutex, INFINITE);
  if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) return 1;
  if (write(STDOUT_FILENO, "h", 1) != 1) return 1;
  for (;;) pause();
}

class Holder {
 public:
  Holder() {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::string self = "/proc/self/exe";
    std::string hold = HoldArgument;
    char* argv[] = {self.data(), hold.data(), nullptr};
    if (posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char said = 0;
    holding_ = pid_ > 0 && read(fds[0], &said, 1) == 1 && said == 'h';
    close(fds[0]);
  }
  ~Holder() { Kill(); }

  bool Holding() const { return holding_; }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
};

// A stream opened while another process holds the chunk mutex.
class ReadDoneHolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(holder.Holding());
    const std::u16string url = server.Url16("/held?size=3000000");
    ASSERT_EQ(host.Open(url.c_str()), 3'000'000);
  }

  httpmedia::testing::TestServer server;
  Holder holder;
  PluginHost host{100};
};

TEST_F(ReadDoneHolder, TheDownloadCarriesOnOnceAHolderKilledHoldingItsMutexIsGone) {
  // Held elsewhere, the mutex lets no chunk in: the read gives up at its limit.
  std::vector<std::uint8_t> buffer(65'536);
  EXPECT_EQ(host.Read(buffer.data(), 1000), 0);
  EXPECT_EQ(host.Timeouts(), 1);

  holder.Kill();
  std::int64_t position = 0;
  for (;;) {
    const std::int32_t delivered = host.Read(buffer.data(), 65'536);
    ASSERT_TRUE(host.LastWithinLimits());
    ASSERT_EQ(FirstBodyMismatch(static_cast<std::uint64_t>(position), buffer.data(),
                                static_cast<std::size_t>(delivered)),
              static_cast<std::size_t>(delivered));
    position += delivered;
    if (delivered == 0) break;
  }
  EXPECT_EQ(position, 3'000'000);
  EXPECT_EQ(host.Timeouts(), 1);
  EXPECT_EQ(host.Close(), 0);
}

TEST_F(ReadDoneHolder, CloseIsNotHeldUpWhileAnotherProcessHoldsTheMutex) {
  std::vector<std::uint8_t> buffer(1000);
  EXPECT_EQ(host.Read(buffer.data(), 1000), 0);  // the download waits for the mutex

  // Only a close that waited for the holder to go would still be running
  // seconds later; the holder then goes, so that the test ends either way.
  std::future<std::int32_t> closed = std::async(std::launch::async, [&] { return host.Close(); });
  const bool inTime = closed.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  holder.Kill();
  EXPECT_TRUE(inTime) << "Close waited for the process holding the mutex";
  EXPECT_EQ(closed.get(), 0);
}

}  // namespace
}  // namespace httpmedia::hardening

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], httpmedia::hardening::HoldArgument) == 0) {
    return httpmedia::hardening::HoldReadDone();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
