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
 * rest does nothing.
 *
 * The same library answers HttpMediaLastOutcome: why the stream's last call
 * ended as it did. */
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

/* Why the stream's last call ended as it did. A read that returned 0 (or
 * fewer bytes than asked), a seek that failed and an open that returned 0
 * look alike to the host; this tells them apart. */
typedef enum HttpMediaOutcomeKind {
  /* The call did what it was asked, or no call was made yet. */
  HTTPMEDIA_OUTCOME_DONE = 0,
  /* The stream's end: every byte of the body was delivered. */
  HTTPMEDIA_OUTCOME_ENDED = 1,
  /* The connection broke (or stalled) and was not rejoined: the stream
   * stops where the bytes that came stop. */
  HTTPMEDIA_OUTCOME_CUT = 2,
  /* The wait of the call ran out (20 seconds), or the server did not answer
   * the open within it. */
  HTTPMEDIA_OUTCOME_TIMED_OUT = 3,
  /* The server's answer is no stream: http_status holds its status code,
   * text its reason phrase. */
  HTTPMEDIA_OUTCOME_HTTP_STATUS = 4,
  /* The server's name could not be resolved. */
  HTTPMEDIA_OUTCOME_NAME_NOT_RESOLVED = 5,
  /* The server refused the connection, or could not be reached. */
  HTTPMEDIA_OUTCOME_CONNECTION_REFUSED = 6,
  /* The TLS handshake or the server's certificate failed; text says which. */
  HTTPMEDIA_OUTCOME_TLS = 7,
  /* The body came in an encoding the plug-in does not decode. */
  HTTPMEDIA_OUTCOME_ENCODING_REFUSED = 8,
  /* The stream reached the largest position a signed 32-bit offset holds. */
  HTTPMEDIA_OUTCOME_SIZE_LIMIT = 9,
  /* Anything else (a malformed URL, an empty body, no memory): see text. */
  HTTPMEDIA_OUTCOME_FAILED = 10
} HttpMediaOutcomeKind;

typedef struct HttpMediaOutcome {
  int kind;        /* an HttpMediaOutcomeKind */
  int http_status; /* the status code for HTTPMEDIA_OUTCOME_HTTP_STATUS, else 0 */
  /* One line of UTF-8, NUL-terminated, saying why in plain words, e.g.
   * "the server answered 404 Not Found". Never a URL's user name, password
   * or any other credential. */
  char text[256];
} HttpMediaOutcome;

/* Fills *outcome with the outcome of the stream's last InputMediaOpen (with a
 * URL), InputMediaRead or InputMediaSeek, and returns its kind. Call it on the
 * thread of those calls, after the one it asks about. A null pointer only
 * returns the kind. */
int HttpMediaLastOutcome(HttpMediaOutcome* outcome);

#ifdef __cplusplus
}
#endif

#endif
