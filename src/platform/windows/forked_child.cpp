// The engine's part in a child the host forks: Windows makes no such child.
#include "platform/system_services.h"

namespace httpmedia::sys {

void OnForkedChild(void (*)()) {}

}  // namespace httpmedia::sys
