// Ten thousand Open/Read/Seek/Close cycles through the exported functions:
// afterwards the process has no more threads, descriptors or heap in use
// than before them.
#include <malloc.h>

#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "plugin_host.h"
#include "process_resources.h"
#include "sanitizer.h"
#include "test_server.h"

namespace httpmedia::hardening {
namespace {

using httpmedia::testing::FirstBodyMismatch;

constexpr bool Sanitized = httpmedia::testing::UnderSanitizer;

using httpmedia::testing::DirectoryEntries;

template <typename Done>
bool Eventually(Done done) {
  for (int i = 0; i < 2000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

TEST(Soak, TenThousandCyclesLeaveNoThreadDescriptorOrMemoryBehind) {
  // The sanitizers keep freed memory and threads of their own: there the
  // numbers say nothing about the plug-in.
  if (Sanitized) GTEST_SKIP() << "counts threads and heap, which sanitizers change";
  httpmedia::testing::TestServer server;
  PluginHost host(100);
  const std::u16string url = server.Url16("/soak?size=400000");
  std::vector<std::uint8_t> buffer(1000);
  auto readChecked = [&](std::int32_t at) {
    ASSERT_EQ(host.ReadThroughTimeouts(buffer.data(), 1000), 1000);
    ASSERT_EQ(FirstBodyMismatch(static_cast<std::uint64_t>(at), buffer.data(), 1000), 1000u);
  };
  auto cycle = [&] {
    ASSERT_EQ(host.Open(url.c_str()), 400'000);
    readChecked(0);
    ASSERT_EQ(host.Seek(300'000, 0), 0);
    readChecked(300'000);
    ASSERT_EQ(host.Close(), 0);
    ASSERT_TRUE(host.LastWithinLimits());
  };
  for (int i = 0; i < 20; ++i) cycle();  // caches and pools settle first
  ASSERT_TRUE(Eventually([&] { return server.OpenConnections() == 0; }));
  server.ClearRequests();  // the server's log is not the plug-in's memory
  const std::size_t threads = DirectoryEntries("/proc/self/task");
  const std::size_t descriptors = DirectoryEntries("/proc/self/fd");
  const std::size_t heap = mallinfo2().uordblks;

  for (int i = 0; i < 10'000 && !::testing::Test::HasFatalFailure(); ++i) {
    cycle();
    // The server keeps a log of every request; it is not ours to count.
    if (i % 1000 == 999) server.ClearRequests();
  }
  ASSERT_TRUE(Eventually([&] { return server.OpenConnections() == 0; }));
  server.ClearRequests();
  EXPECT_TRUE(Eventually([&] { return DirectoryEntries("/proc/self/task") <= threads; }))
      << DirectoryEntries("/proc/self/task") << " threads, " << threads << " before";
  EXPECT_LE(DirectoryEntries("/proc/self/fd"), descriptors);
  // Ten thousand cycles leaking as little as a hundred bytes each would show.
  EXPECT_LT(mallinfo2().uordblks, heap + 512 * 1024)
      << mallinfo2().uordblks << " bytes of heap in use, " << heap << " before";
  EXPECT_EQ(host.Messages(), 0);
}

}  // namespace
}  // namespace httpmedia::hardening
