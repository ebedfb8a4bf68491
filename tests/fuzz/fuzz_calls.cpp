// The misuse driver with the fuzzer choosing: its bytes pick the calls and
// their arguments, a few calls per input, against a loopback test server.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "misuse_driver.h"
#include "refusing_port.h"
#include "test_server.h"

namespace {

httpmedia::testing::TestServer* server = nullptr;
httpmedia::hardening::RefusingPort* refused = nullptr;

class BytesChoices final : public httpmedia::hardening::Choices {
 public:
  BytesChoices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t Below(std::uint32_t bound) override {
    std::uint32_t word = 0;
    for (int i = 0; i < 4 && at_ < size_; ++i) word = word << 8 | data_[at_++];
    return word % bound;
  }
  bool Exhausted() const override { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  server = new httpmedia::testing::TestServer;
  refused = new httpmedia::hardening::RefusingPort;
  if (refused->Port() == 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  BytesChoices choices(data, size);
  const std::string failure =
      httpmedia::hardening::RunMisuse(choices, server->Url(""), refused->Port(), 16);
  if (!failure.empty()) {
    std::fprintf(stderr, "%s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
