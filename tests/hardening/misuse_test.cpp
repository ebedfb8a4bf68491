// A host that misuses the plug-in, in one seeded loop: nothing crashes, no
// call waits past its limit, every result is one the calls before allow and
// every byte delivered is the body's byte at its position.
#include <random>

#include "gtest/gtest.h"
#include "misuse_driver.h"
#include "refusing_port.h"
#include "test_server.h"

namespace httpmedia::hardening {
namespace {

class SeededChoices final : public Choices {
 public:
  explicit SeededChoices(std::uint32_t seed) : random_(seed) {}
  std::uint32_t Below(std::uint32_t bound) override {
    return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random_);
  }
  bool Exhausted() const override { return false; }

 private:
  std::mt19937 random_;
};

TEST(HostMisuse, NothingCrashesWaitsPastItsLimitOrDeliversAWrongByte) {
  httpmedia::testing::TestServer server;
  RefusingPort refused;
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    SeededChoices choices(seed);
    const std::string failure = RunMisuse(choices, server.Url(""), refused.Port(), 150);
    ASSERT_EQ(failure, "") << "seed " << seed;
  }
}

}  // namespace
}  // namespace httpmedia::hardening
