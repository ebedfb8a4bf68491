/* Test support of the Linux system services, not installed: tests reach it
 * in libhttpmedia_sys.so, which exports it beside the host hooks. */
#ifndef HTTPMEDIA_TEST_HOOKS_H
#define HTTPMEDIA_TEST_HOOKS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the pause behind every poll of the plug-in, for tests that must
 * not sit out real 20-second limits; null restores the real sleep. While it
 * is in place the plug-in's clock is no longer real time: each thread's
 * clock advances by what that thread asked this sleep for, so that a limit
 * passes after as many polls as in real time. */
typedef void (*HttpMediaSleepFunction)(uint32_t milliseconds);
void HttpMediaSetSleep(HttpMediaSleepFunction sleep);

/* Called on a thread that has just taken a named mutex (a first take, not a
 * recursive one), before its wait returns: a test holds that thread there,
 * owning the mutex, to make another thread's call fall between the take
 * and what the taker does next. Null: no call. */
typedef void (*HttpMediaMutexTakenFunction)(void);
void HttpMediaSetMutexTaken(HttpMediaMutexTakenFunction taken);

/* Points the diagnostic log at destination at level, as HTTPMEDIA_LOG and
 * HTTPMEDIA_LOG_LEVEL do when the library is loaded; a null destination
 * turns it off. */
void HttpMediaSetLog(const char* destination, const char* level);

#ifdef __cplusplus
}
#endif

#endif
