// Requests of the Internet-client layer: a URL and extra headers made ready
// for curl, synchronous and asynchronous opens, and ending a request.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "internet_handles.h"
#include "platform/diag_log.h"

namespace httpmedia::inet {

namespace {

using text::EqualsNoCase;

std::size_t Length(const char16_t* text, DWORD length) {
  std::size_t n = 0;
  if (length == DWORD(-1)) return std::char_traits<char16_t>::length(text);
  while (n < length && text[n] != 0) ++n;
  return n;
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

// CRLF-separated "Name: value" lines; empty lines are skipped. Header text is
// octets: each character up to U+00FF goes out as that one byte (Latin-1,
// the mirror of the header queries), so a value the server sent comes back
// unchanged; a character beyond has no byte and refuses the headers.
DWORD ParseHeaders(const char16_t* headers, DWORD length, std::vector<std::string>* lines) {
  if (!headers || length == 0) return ERROR_SUCCESS;
  std::string text;
  for (const char16_t c : std::u16string_view(headers, Length(headers, length))) {
    if (c > 0xFF) return ERROR_INVALID_PARAMETER;
    text += static_cast<char>(c);
  }
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
  diag::NameThread("probe");
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

void Forget(Session& session, const Request& request) {
  std::erase_if(session.work, [&](const std::weak_ptr<Request>& weak) {
    std::shared_ptr<Request> held = weak.lock();
    return !held || held.get() == &request;
  });
}

}  // namespace

// The gate shuts before the transfer is cancelled, so that the
// cancellation itself is never reported.
bool EndRequest(Request& request) {
  bool handed_out = request.async ? CloseGate(request) : true;
  request.transfer.Cancel();
  if (request.async) JoinWorker(request);
  std::lock_guard<std::mutex> lock(request.io);
  request.transfer.Release();
  return handed_out;
}

}  // namespace httpmedia::inet

using httpmedia::inet::AwaitResponse;
using httpmedia::inet::Forget;
using httpmedia::inet::Handles;
using httpmedia::inet::Lookup;
using httpmedia::inet::ParseHeaders;
using httpmedia::inet::PrepareUrl;
using httpmedia::inet::Request;
using httpmedia::inet::RunAsyncOpen;
using httpmedia::inet::Session;
using httpmedia::inet::TransferOptions;

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
  options.decoding = session->decoding;

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
