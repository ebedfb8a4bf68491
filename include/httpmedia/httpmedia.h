/* httpmedia: an input-media plug-in that streams an HTTP or HTTPS resource
 * to a media player as if it were a local file.
 *
 * Calling order: InputMediaOpen(url) once; a nonzero result is the stream's
 * length. Then any number of InputMediaRead and InputMediaSeek calls, from one
 * thread at a time. Then InputMediaClose() once. Reads and seeks may block for
 * up to about 20 seconds while the download catches up. */
#ifndef HTTPMEDIA_HTTPMEDIA_H
#define HTTPMEDIA_HTTPMEDIA_H

#include <stdint.h>

#include "httpmedia_version.h"

#if defined(_WIN32)
#define HTTPMEDIA_CALL __stdcall
#define HTTPMEDIA_EXPORT
/* UTF-16 code unit of a URL: wchar_t is 16 bits on Windows. */
typedef wchar_t HttpMediaChar;
#else
#define HTTPMEDIA_CALL
#define HTTPMEDIA_EXPORT __attribute__((visibility("default")))
#ifdef __cplusplus
typedef char16_t HttpMediaChar;
#else
typedef uint_least16_t HttpMediaChar;
#endif
#endif

/* The length InputMediaOpen returns for a stream whose server gives no
 * usable Content-Length. */
#define HTTPMEDIA_UNKNOWN_LENGTH 1400000000

#ifdef __cplusplus
extern "C" {
#endif

/* Copies up to count bytes of the stream at the current position into buffer.
 * Returns the number of bytes delivered; 0 at the end, on failure or after a
 * wait of more than 20 seconds. */
HTTPMEDIA_EXPORT int32_t HTTPMEDIA_CALL InputMediaRead(void* buffer, int32_t count);

/* origin 0: move to offset from the start (0 on success, -1 on failure).
 * origin 1: move by offset from the current position (0 on success, -1 when
 * the target cannot be reached); offset 0 returns the current position.
 * Any other origin returns 0 and changes nothing. */
HTTPMEDIA_EXPORT int32_t HTTPMEDIA_CALL InputMediaSeek(int32_t offset, int32_t origin);

/* Opens a NUL-terminated UTF-16 http:// or https:// URL. Returns the stream's
 * length in bytes (HTTPMEDIA_UNKNOWN_LENGTH when the server gives none), 0 on
 * failure.
 * A null url returns the length of a stream still open, otherwise 0. */
HTTPMEDIA_EXPORT int32_t HTTPMEDIA_CALL InputMediaOpen(const HttpMediaChar* url);

/* Ends the stream and releases everything it held. Returns 0. */
HTTPMEDIA_EXPORT int32_t HTTPMEDIA_CALL InputMediaClose(void);

#ifdef __cplusplus
}

/* Part of the exported surface only; it holds nothing and does nothing. */
class HTTPMEDIA_EXPORT CInputMedia {
 public:
  CInputMedia();
  CInputMedia& operator=(const CInputMedia& other);
};
#endif

#endif
