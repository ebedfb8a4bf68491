/* Test support of the Linux system services, not installed: tests reach it
 * in libhttpmedia_sys.so, which exports it beside the host hooks. */
#ifndef HTTPMEDIA_TEST_HOOKS_H
#define HTTPMEDIA_TEST_HOOKS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the pause behind every poll of the plug-in, for tests that must
 * not sit out real 20-second limits; null restores the real sleep. */
typedef void (*HttpMediaSleepFunction)(uint32_t milliseconds);
void HttpMediaSetSleep(HttpMediaSleepFunction sleep);

#ifdef __cplusplus
}
#endif

#endif
