// The engine's part in a child the host forks.
#include <pthread.h>

#include "platform/system_services.h"

namespace httpmedia::sys {

void OnForkedChild(void (*forget)()) { pthread_atfork(nullptr, nullptr, forget); }

}  // namespace httpmedia::sys
