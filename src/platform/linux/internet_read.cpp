// Reading a request's body in the Internet-client layer.
#include <cstdint>
#include <memory>
#include <mutex>

#include "internet_handles.h"

using httpmedia::inet::Lookup;
using httpmedia::inet::Request;

INET_API BOOL WINAPI InternetReadFile(HINTERNET handle, LPVOID buffer, DWORD bytesToRead,
                                      LPDWORD bytesRead) {
  std::shared_ptr<Request> request = Lookup<Request>(handle);
  if (!request) return FALSE;
  if (!bytesRead || (!buffer && bytesToRead != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *bytesRead = 0;
  if (!request->transfer.HeadersReady()) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  if (bytesToRead == 0) return TRUE;
  DWORD error;
  {
    std::lock_guard<std::mutex> lock(request->io);
    error = request->transfer.Read(static_cast<std::uint8_t*>(buffer), bytesToRead, bytesRead);
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}
