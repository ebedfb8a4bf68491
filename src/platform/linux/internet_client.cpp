// Sessions and request handles of the Internet-client layer. Every request
// owns a Transfer (one curl multi handle) that is driven on the thread that
// calls in: the opener and the readers of a synchronous request, or a thread
// of the request's own for an asynchronous open.
#include "internet_client.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "handle_table.h"
#include "internet_transfer.h"
#include "text.h"

// The library is built with hidden visibility; these are its interface.
#define INET_API __attribute__((visibility("default")))

namespace {

using httpmedia::inet::kNoTimeout;
using httpmedia::inet::Transfer;
using httpmedia::inet::TransferOptions;
using httpmedia::text::EqualsNoCase;

// ---------------------------------------------------------------------------
// Handles

struct Handle {
  virtual ~Handle() = default;
  HINTERNET self = nullptr;  // set before the handle is published
};

struct Request;

struct Session final : Handle {
  std::string agent;
  bool use_environment_proxy = false;
  std::string proxy;
  std::string proxy_bypass;
  bool async = false;
  std::atomic<INTERNET_STATUS_CALLBACK> callback{nullptr};
  std::atomic<DWORD> connect_timeout_ms{20000};
  std::atomic<DWORD> receive_timeout_ms{30000};

  std::mutex mutex;
  bool closed = false;  // guarded by mutex
  // Asynchronous requests and synchronous opens still in progress: closing
  // the session stops them. Guarded by mutex.
  std::vector<std::weak_ptr<Request>> work;
};

struct Request final : Handle {
  ~Request() override {
    // The last reference can be dropped by the worker itself.
    if (worker.joinable()) {
      if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();
      } else {
        worker.join();
      }
    }
  }

  bool async = false;
  DWORD_PTR context = 0;
  INTERNET_STATUS_CALLBACK callback = nullptr;  // the session's when opened
  HINTERNET session = nullptr;

  // Serialises everything that drives or releases the transfer.
  std::mutex io;
  Transfer transfer;

  // Callback gate of an asynchronous request: once `stopped`, no callback
  // starts, and whoever stopped it waits for one in progress to end.
  std::mutex gate;
  std::condition_variable gate_cv;
  bool stopped = false;
  bool in_callback = false;
  std::thread::id callback_thread;
  bool handed_out = false;  // the caller was told the handle

  std::mutex worker_mutex;
  std::thread worker;
};

using HandleTable = httpmedia::platform::HandleTable<Handle>;

HandleTable& Handles() {
  // Never destroyed: callers' threads may still be closing handles while the
  // process exits. Values are 0 modulo 8; the system services' are 4.
  static HandleTable* table = new HandleTable(0x10008);
  return *table;
}

template <typename T>
std::shared_ptr<T> Lookup(HINTERNET handle) {
  std::shared_ptr<Handle> found = Handles().Find(handle);
  if (!found) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(found);
  if (!typed) SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  return typed;
}

bool CurlReady() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

// ---------------------------------------------------------------------------
// Text

std::size_t Length(const char16_t* text, DWORD length) {
  std::size_t n = 0;
  if (length == DWORD(-1)) return std::char_traits<char16_t>::length(text);
  while (n < length && text[n] != 0) ++n;
  return n;
}

// UTF-8 for text that must reach the network as given: false on a lone
// surrogate, which no URL, header or proxy name has.
bool ToUtf8(std::u16string_view text, std::string* out) {
  bool replaced = false;
  *out = httpmedia::text::Utf16ToUtf8(text, &replaced);
  return !replaced;
}

// An http or https URL as curl wants it: spaces and non-ASCII characters
// after the host percent-encoded, as a browser would send them.
DWORD PrepareUrl(const char16_t* url16, std::string* url) {
  std::string raw;
  if (!ToUtf8(url16, &raw)) return ERROR_INTERNET_INVALID_URL;
  std::size_t colon = raw.find(':');
  if (colon == std::string::npos || colon == 0) return ERROR_INTERNET_INVALID_URL;
  const std::string_view scheme = std::string_view(raw).substr(0, colon);
  if (!EqualsNoCase(scheme, "http") && !EqualsNoCase(scheme, "https")) {
    return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  }
  if (raw.compare(colon + 1, 2, "//") != 0) return ERROR_INTERNET_INVALID_URL;

  std::size_t host_end = raw.find_first_of("/?#", colon + 3);
  if (host_end == std::string::npos) host_end = raw.size();
  url->clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    auto byte = static_cast<unsigned char>(raw[i]);
    if (byte < 0x20 || byte == 0x7F) return ERROR_INTERNET_INVALID_URL;
    if (i >= host_end && (byte == ' ' || byte >= 0x80)) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      *url += '%';
      *url += kHex[byte >> 4];
      *url += kHex[byte & 0xF];
    } else if (byte == ' ') {
      return ERROR_INTERNET_INVALID_URL;
    } else {
      *url += char(byte);
    }
  }
  CURLU* parsed = curl_url();
  if (!parsed) return ERROR_NOT_ENOUGH_MEMORY;
  CURLUcode code = curl_url_set(parsed, CURLUPART_URL, url->c_str(), 0);
  curl_url_cleanup(parsed);
  return code == CURLUE_OK ? ERROR_SUCCESS : ERROR_INTERNET_INVALID_URL;
}

// CRLF-separated "Name: value" lines; empty lines are skipped.
DWORD ParseHeaders(const char16_t* headers, DWORD length, std::vector<std::string>* lines) {
  if (!headers || length == 0) return ERROR_SUCCESS;
  std::string text;
  if (!ToUtf8({headers, Length(headers, length)}, &text)) return ERROR_INVALID_PARAMETER;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || line.find('\r') != std::string::npos) {
      return ERROR_INVALID_PARAMETER;
    }
    lines->push_back(std::move(line));
  }
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Asynchronous requests

void Notify(Request& request, HINTERNET handle, DWORD status, DWORD_PTR result, DWORD error) {
  INTERNET_STATUS_CALLBACK callback = request.callback;
  if (!callback || callback == INTERNET_INVALID_STATUS_CALLBACK) return;
  {
    std::lock_guard<std::mutex> lock(request.gate);
    if (request.stopped) return;
    request.in_callback = true;
    request.callback_thread = std::this_thread::get_id();
    if (status == INTERNET_STATUS_HANDLE_CREATED) request.handed_out = true;
  }
  INTERNET_ASYNC_RESULT info{result, error};
  callback(handle, request.context, status, &info, sizeof info);
  {
    std::lock_guard<std::mutex> lock(request.gate);
    request.in_callback = false;
    request.callback_thread = std::thread::id();
  }
  request.gate_cv.notify_all();
}

// Drives the request to its final response's headers. A response whose
// Content-Length headers disagree has no end to trust: curl frames the body
// by one of them while a caller asking for the length gets the first. It is
// refused, as browsers refuse it.
DWORD AwaitResponse(Request& request) {
  std::lock_guard<std::mutex> lock(request.io);
  DWORD error = request.transfer.AwaitHeaders();
  if (error != ERROR_SUCCESS) return error;
  const std::string* first = nullptr;
  for (const auto& [name, value] : request.transfer.Final().headers) {
    if (!EqualsNoCase(name, "Content-Length")) continue;
    if (first != nullptr && value != *first) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    first = &value;
  }
  return ERROR_SUCCESS;
}

void RunAsyncOpen(std::shared_ptr<Request> request) {
  Notify(*request, request->session, INTERNET_STATUS_HANDLE_CREATED,
         reinterpret_cast<DWORD_PTR>(request->self), ERROR_SUCCESS);
  const DWORD error = AwaitResponse(*request);
  // The transfer now sits idle: the body is not fetched until someone reads.
  Notify(*request, request->self, INTERNET_STATUS_REQUEST_COMPLETE,
         error == ERROR_SUCCESS ? TRUE : FALSE, error);
}

// Returns once no callback of `request` runs or will run, unless called from
// that callback, which then is the last. Tells whether the caller had been
// given the handle.
bool CloseGate(Request& request) {
  std::unique_lock<std::mutex> lock(request.gate);
  request.stopped = true;
  if (request.callback_thread != std::this_thread::get_id()) {
    request.gate_cv.wait(lock, [&] { return !request.in_callback; });
  }
  return request.handed_out;
}

void JoinWorker(Request& request) {
  std::lock_guard<std::mutex> lock(request.worker_mutex);
  if (request.worker.joinable()) {
    if (request.worker.get_id() == std::this_thread::get_id()) {
      request.worker.detach();  // closed from its own callback: it ends right after
    } else {
      request.worker.join();
    }
  }
}

// Stops the transfer of `request` and closes its connection; a call blocked
// on it returns. The gate shuts before the transfer is cancelled, so that the
// cancellation itself is never reported.
bool EndRequest(Request& request) {
  bool handed_out = request.async ? CloseGate(request) : true;
  request.transfer.Cancel();
  if (request.async) JoinWorker(request);
  std::lock_guard<std::mutex> lock(request.io);
  request.transfer.Release();
  return handed_out;
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

void Forget(Session& session, const Request& request) {
  std::erase_if(session.work, [&](const std::weak_ptr<Request>& weak) {
    std::shared_ptr<Request> held = weak.lock();
    return !held || held.get() == &request;
  });
}

}  // namespace

// ---------------------------------------------------------------------------
// The API

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
  std::shared_ptr<Session> session = Lookup<Session>(handle);
  if (!session) return FALSE;
  if (!buffer || bufferLength < sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD value;
  std::memcpy(&value, buffer, sizeof value);
  if (value == 0) value = kNoTimeout;
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

INET_API HINTERNET WINAPI InternetOpenUrlW(HINTERNET handle, LPCWSTR url, LPCWSTR headers,
                                           DWORD headersLength, DWORD /*flags*/,
                                           DWORD_PTR context) {
  std::shared_ptr<Session> session = Lookup<Session>(handle);
  if (!session) return nullptr;
  if (!url) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  TransferOptions options;
  DWORD error = PrepareUrl(url, &options.url);
  if (error == ERROR_SUCCESS) error = ParseHeaders(headers, headersLength, &options.headers);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }
  options.user_agent = session->agent;
  options.use_environment_proxy = session->use_environment_proxy;
  options.proxy = session->proxy;
  options.proxy_bypass = session->proxy_bypass;
  options.connect_timeout_ms = session->connect_timeout_ms;
  options.receive_timeout_ms = session->receive_timeout_ms;

  auto request = std::make_shared<Request>();
  request->async = session->async;
  request->context = context;
  request->callback = session->callback.load();
  request->session = handle;
  error = request->transfer.Start(options);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }

  {
    std::lock_guard<std::mutex> lock(session->mutex);
    if (session->closed) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    Forget(*session, *request);  // drops the entries of finished work
    session->work.push_back(request);
    if (request->async) {
      Handles().Add(request);
      std::lock_guard<std::mutex> worker_lock(request->worker_mutex);
      try {
        request->worker = std::thread(RunAsyncOpen, request);
      } catch (const std::system_error&) {
        Handles().Take(request->self);
        Forget(*session, *request);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
      }
    }
  }
  if (request->async) {
    SetLastError(ERROR_IO_PENDING);
    return nullptr;
  }

  error = AwaitResponse(*request);
  {
    std::lock_guard<std::mutex> lock(session->mutex);
    Forget(*session, *request);
    if (error == ERROR_SUCCESS && session->closed) error = ERROR_INTERNET_OPERATION_CANCELLED;
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }
  return Handles().Add(request);
}

INET_API BOOL WINAPI HttpQueryInfoW(HINTERNET handle, DWORD infoLevel, LPVOID buffer,
                                    LPDWORD bufferLength, LPDWORD index) {
  std::shared_ptr<Request> request = Lookup<Request>(handle);
  if (!request) return FALSE;
  auto fail = [](DWORD error) {
    SetLastError(error);
    return FALSE;
  };
  constexpr DWORD kLevelMask = 0xFFFF;
  if (!bufferLength || (infoLevel & ~kLevelMask & ~HTTP_QUERY_FLAG_NUMBER) != 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (!request->transfer.HeadersReady()) return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (index && *index != 0) return fail(ERROR_HTTP_HEADER_NOT_FOUND);  // one of each at most

  const httpmedia::inet::Response& response = request->transfer.Final();
  std::string value;
  const std::string* found = nullptr;
  switch (infoLevel & kLevelMask) {
    case HTTP_QUERY_STATUS_CODE:
      value = std::to_string(response.status);
      found = &value;
      break;
    case HTTP_QUERY_CONTENT_LENGTH:
      found = response.Find("Content-Length");
      break;
    case HTTP_QUERY_ACCEPT_RANGES:
      found = response.Find("Accept-Ranges");
      break;
    case HTTP_QUERY_CONTENT_RANGE:
      found = response.Find("Content-Range");
      break;
    default:
      return fail(ERROR_INVALID_PARAMETER);
  }
  if (!found) return fail(ERROR_HTTP_HEADER_NOT_FOUND);

  if (infoLevel & HTTP_QUERY_FLAG_NUMBER) {
    // Only a clean decimal that fits: a caller must never see a wrapped size.
    std::uint64_t number = 0;
    if (found->empty() || found->size() > 10) return fail(ERROR_HTTP_INVALID_HEADER);
    for (char c : *found) {
      if (c < '0' || c > '9') return fail(ERROR_HTTP_INVALID_HEADER);
      number = number * 10 + std::uint64_t(c - '0');
    }
    if (number > 0xFFFFFFFFu) return fail(ERROR_HTTP_INVALID_HEADER);
    if (!buffer || *bufferLength < sizeof(DWORD)) {
      *bufferLength = sizeof(DWORD);
      return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DWORD result = DWORD(number);
    std::memcpy(buffer, &result, sizeof result);
    *bufferLength = sizeof result;
  } else {
    // Header bytes are taken as Latin-1, one character each.
    DWORD needed = DWORD((found->size() + 1) * sizeof(WCHAR));
    if (!buffer || *bufferLength < needed) {
      *bufferLength = needed;
      return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = static_cast<WCHAR*>(buffer);
    for (std::size_t i = 0; i < found->size(); ++i) {
      out[i] = WCHAR(static_cast<unsigned char>((*found)[i]));
    }
    out[found->size()] = 0;
    *bufferLength = needed - sizeof(WCHAR);
  }
  if (index) ++*index;
  return TRUE;
}

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
