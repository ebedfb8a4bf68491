/* Host hooks for Linux builds of httpmedia.
 *
 * On its original device the plug-in shows a busy cursor while a read waits
 * for the download, hands a read's time-out to the owner window and shows a
 * message box when no Internet connection can be made. On Linux these go to
 * hooks that a host installs here. This API belongs to the system-services
 * library that the plug-in loads (libhttpmedia_sys.so), not to the plug-in:
 * a host that dlopen()s the plug-in reaches it with
 * dlopen("libhttpmedia_sys.so", RTLD_NOW | RTLD_NOLOAD) and dlsym().
 *
 * With no hooks installed the message box prints its text on stderr and the
 * rest does nothing. */
#ifndef HTTPMEDIA_HTTPMEDIA_HOST_H
#define HTTPMEDIA_HTTPMEDIA_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HttpMediaHostHooks {
  void* context;
  /* The cursor changed: busy is 1 when the busy cursor is shown, 0 when the
   * previous cursor is back. Called on the thread of the host's call. */
  void (*cursor_changed)(void* context, int busy);
  /* The window that owns the message box and receives a read's time-out. */
  void* (*owner_window)(void* context);
  /* A read waited longer than its limit and gave up. */
  void (*timeout_window_call)(void* context, void* window);
  /* A modal message; text and caption are UTF-8. */
  void (*message_box)(void* context, void* owner, const char* text, const char* caption,
                      unsigned flags);
} HttpMediaHostHooks;

/* Installs a copy of *hooks; a null pointer removes them. Null members are
 * treated as not installed. */
void HttpMediaSetHostHooks(const HttpMediaHostHooks* hooks);

#ifdef __cplusplus
}
#endif

#endif
