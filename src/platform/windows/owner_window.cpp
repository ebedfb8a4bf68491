// The engine's owner window and a read's time-out on Windows.
#include "platform/platform_api.h"
#include "platform/system_services.h"

namespace httpmedia::sys {

// The device offers its owner window and time-out call only by ordinal; the
// desktop has neither. Its nearest owner for the message box is the calling
// thread's active window (the host's own, or none, which makes the box
// top-level). A read's time-out is the device's own business; the desktop's
// only sign of the wait is the busy cursor, which the wait restores itself,
// so the call does nothing here: anything that reached into the host's
// window (a repaint, say) would run the host's code in the middle of its
// read.
WindowHandle OwnerWindow() { return ::GetActiveWindow(); }

void TimeoutWindowCall(WindowHandle) {}

}  // namespace httpmedia::sys
