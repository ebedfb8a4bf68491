// The plug-in's exported functions, handed straight to the engine.
#include "httpmedia/httpmedia.h"
#include "stream/stream_ops.h"

extern "C" {

int32_t HTTPMEDIA_CALL InputMediaRead(void* buffer, int32_t count) {
  return httpmedia::ReadStream(buffer, count);
}

int32_t HTTPMEDIA_CALL InputMediaSeek(int32_t offset, int32_t origin) {
  return httpmedia::SeekStream(offset, origin);
}

int32_t HTTPMEDIA_CALL InputMediaOpen(const HttpMediaChar* url) {
  return httpmedia::OpenStream(reinterpret_cast<const char16_t*>(url));
}

int32_t HTTPMEDIA_CALL InputMediaClose(void) { return httpmedia::CloseStream(); }

}  // extern "C"
