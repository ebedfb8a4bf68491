// Sessions of the Internet-client layer: their settings, which every request
// opened on them is made with, the handle table, and closing handles.
#include <pthread.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "internet_handles.h"

namespace httpmedia::inet {

HandleTable& Handles() {
  // Never destroyed: callers' threads may still be closing handles while the
  // process exits. Values are 0 modulo 8; the system services' are 4.
  static HandleTable* table = [] {
    auto* made = new HandleTable(0x10008);
    pthread_atfork([] { Handles().LockForFork(); }, [] { Handles().UnlockAfterFork(); },
                   [] { Handles().UnlockAfterFork(); });
    return made;
  }();
  return *table;
}

namespace {

bool CurlReady() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

void CloseSession(Session& session) {
  std::vector<std::weak_ptr<Request>> work;
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    session.closed = true;
    work.swap(session.work);
  }
  for (const std::weak_ptr<Request>& weak : work) {
    std::shared_ptr<Request> request = weak.lock();
    if (!request) continue;
    if (!request->async) {
      // A synchronous open still in progress: it fails, and its opener
      // cleans up.
      request->transfer.Cancel();
    } else if (!EndRequest(*request)) {
      Handles().Take(request->self);  // nobody else knows this handle
    }
  }
}

}  // namespace

}  // namespace httpmedia::inet

using httpmedia::inet::CloseSession;
using httpmedia::inet::CurlReady;
using httpmedia::inet::EndRequest;
using httpmedia::inet::Handle;
using httpmedia::inet::Handles;
using httpmedia::inet::kNoTimeout;
using httpmedia::inet::Lookup;
using httpmedia::inet::Request;
using httpmedia::inet::Session;
using httpmedia::inet::ToUtf8;

INET_API HINTERNET WINAPI InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy,
                                        LPCWSTR proxyBypass, DWORD flags) {
  if (!CurlReady()) {
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return nullptr;
  }
  auto session = std::make_shared<Session>();
  if (agent && !ToUtf8(agent, &session->agent)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  switch (accessType) {
    case INTERNET_OPEN_TYPE_DIRECT:
      break;
    case INTERNET_OPEN_TYPE_PRECONFIG:
      session->use_environment_proxy = true;
      break;
    case INTERNET_OPEN_TYPE_PROXY:
      if (!proxy || !ToUtf8(proxy, &session->proxy) || session->proxy.empty() ||
          (proxyBypass && !ToUtf8(proxyBypass, &session->proxy_bypass))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      // curl wants the bypass list comma-separated.
      for (char& c : session->proxy_bypass) c = (c == ';' || c == ' ') ? ',' : c;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  session->async = (flags & INTERNET_FLAG_ASYNC) != 0;
  return Handles().Add(session);
}

INET_API INTERNET_STATUS_CALLBACK WINAPI
InternetSetStatusCallback(HINTERNET handle, INTERNET_STATUS_CALLBACK callback) {
  std::shared_ptr<Session> session = Lookup<Session>(handle);
  if (!session) return INTERNET_INVALID_STATUS_CALLBACK;
  return session->callback.exchange(callback);
}

INET_API BOOL WINAPI InternetSetOptionW(HINTERNET handle, DWORD option, LPVOID buffer,
                                        DWORD bufferLength) {
  if (!buffer || bufferLength < sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD value;
  std::memcpy(&value, buffer, sizeof value);
  if (option == INTERNET_OPTION_HTTP_DECODING) {
    std::shared_ptr<Session> session = Lookup<Session>(handle);
    if (!session) return FALSE;
    session->decoding = value != 0;
    return TRUE;
  }
  if (value == 0) value = kNoTimeout;
  // On a request the receive time-out applies to its transfer from now on.
  if (auto request = std::dynamic_pointer_cast<Request>(Handles().Find(handle))) {
    if (option != INTERNET_OPTION_RECEIVE_TIMEOUT) {
      SetLastError(ERROR_INTERNET_INVALID_OPTION);
      return FALSE;
    }
    std::lock_guard<std::mutex> lock(request->io);
    request->transfer.SetReceiveTimeout(value);
    return TRUE;
  }
  std::shared_ptr<Session> session = Lookup<Session>(handle);
  if (!session) return FALSE;
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      session->connect_timeout_ms = value;
      return TRUE;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      session->receive_timeout_ms = value;
      return TRUE;
    default:
      SetLastError(ERROR_INTERNET_INVALID_OPTION);
      return FALSE;
  }
}

INET_API BOOL WINAPI InternetCloseHandle(HINTERNET handle) {
  std::shared_ptr<Handle> taken = Handles().Take(handle);
  if (!taken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto session = std::dynamic_pointer_cast<Session>(taken)) {
    CloseSession(*session);
  } else if (auto request = std::dynamic_pointer_cast<Request>(taken)) {
    EndRequest(*request);
  }
  return TRUE;
}
