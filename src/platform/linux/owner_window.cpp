// The engine's owner window and a read's time-out on Linux: the device's two
// window functions, which the system-services layer hands to the host's hooks.
#include "platform/platform_api.h"
#include "platform/system_services.h"

namespace httpmedia::sys {

WindowHandle OwnerWindow() { return ::OwnerWindow(); }

void TimeoutWindowCall(WindowHandle window) { ::TimeoutWindowCall(static_cast<HWND>(window)); }

}  // namespace httpmedia::sys
