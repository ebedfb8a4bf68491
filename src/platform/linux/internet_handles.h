// The handles of the Internet-client layer and what its parts share. A
// session keeps the settings its requests are made with; every request owns a
// Transfer (an easy handle in the process's one pool of connections) that is
// driven on the thread that calls in: the opener and the readers of a
// synchronous request, or a thread of the request's own for an asynchronous
// open.
//
//   internet_session.cpp  sessions, their settings, the handle table, closing
//   internet_request.cpp  opening a URL, asynchronous opens, ending a request
//   internet_query.cpp    status and header queries
//   internet_read.cpp     reading the body
//   internet_transfer.cpp one GET on libcurl
//   internet_pool.cpp     the process's connections, shared by every request
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "handle_table.h"
#include "internet_client.h"
#include "internet_transfer.h"
#include "text.h"

// The library is built with hidden visibility; these are its interface.
#define INET_API __attribute__((visibility("default")))

namespace httpmedia::inet {

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
  std::atomic<bool> decoding{false};

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

using HandleTable = platform::HandleTable<Handle>;

HandleTable& Handles();

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

// UTF-8 for text that must reach the network as given: false on a lone
// surrogate, which no URL, header or proxy name has.
inline bool ToUtf8(std::u16string_view text, std::string* out) {
  bool replaced = false;
  *out = httpmedia::text::Utf16ToUtf8(text, &replaced);
  return !replaced;
}

// Stops the transfer of `request` and closes its connection; a call blocked
// on it returns. Tells whether the caller had been given the handle.
bool EndRequest(Request& request);

}  // namespace httpmedia::inet
