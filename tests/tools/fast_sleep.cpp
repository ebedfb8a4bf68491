// Preloaded into httpmedia-cat by its tests: the plug-in's sleeps last a
// hundredth of their time, so that its 20-second limits run out in a fifth
// of a second while the number of polls stays what it is.
#include <chrono>
#include <thread>

#include "httpmedia/httpmedia_host.h"
#include "platform/linux/test_hooks.h"

namespace {

void HundredthSleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 10));
}

// Runs as the program starts: the system-services library this links is
// the very one the plug-in loads later.
[[maybe_unused]] const bool Installed = (HttpMediaSetSleep(HundredthSleep), true);

}  // namespace
