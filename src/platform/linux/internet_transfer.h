// One HTTP(S) GET on libcurl, in the process's pool of connections and
// driven by whichever thread calls into it: the request handles of the
// Internet-client layer each own one.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "internet_pool.h"
#include "win_types.h"

namespace httpmedia::inet {

// A time-out of this many milliseconds means none at all.
inline constexpr DWORD kNoTimeout = 0xFFFFFFFF;

struct TransferOptions {
  std::string url;                     // UTF-8, http or https, already checked
  std::string user_agent;              // empty: no User-Agent header
  std::vector<std::string> headers;    // extra request header lines, no CRLF
  bool use_environment_proxy = false;  // else `proxy`, where empty means none
  std::string proxy;
  std::string proxy_bypass;
  DWORD connect_timeout_ms = 20000;
  // How long a call may see no bytes arrive before it gives up.
  DWORD receive_timeout_ms = 30000;
  // Undo the body's Content-Encoding (INTERNET_OPTION_HTTP_DECODING).
  bool decoding = false;
};

// The final response's status and headers, in the order received.
struct Response {
  DWORD status = 0;
  std::string reason;  // the status line's reason phrase, as sent
  std::vector<std::pair<std::string, std::string>> headers;

  // Value of the first header called `name` (case-insensitive), or null.
  const std::string* Find(std::string_view name) const;
};

// Only Cancel() may be called from any thread; the owner serialises every
// other call. The transfer runs only while a call drives the pool, its own or
// another request's, and pauses as soon as it has filled the buffer of its
// Read, or has its headers: an idle one takes nothing more off the network
// than the socket buffers and one receive buffer set aside hold.
class Transfer final : PoolMember {
 public:
  Transfer() = default;
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sets the request up without sending anything. Returns 0 or an error code.
  DWORD Start(const TransferOptions& options);

  // Drives the transfer until the final response's headers are in (redirects
  // followed). Returns 0 or an error code.
  DWORD AwaitHeaders();

  // Fills `buffer` unless the body ends, fails or stalls first, or the bytes
  // that have come have waited a short while. Returns 0 with
  // *got = 0 at the end of the body, or an error code. Bytes that arrived
  // before a failure are returned first and the failure on the next call.
  DWORD Read(std::uint8_t* buffer, DWORD size, DWORD* got);

  // Makes a call blocked in AwaitHeaders or Read return soon, and every later
  // one fail.
  void Cancel();

  // Takes the request out of the pool: its HTTP/2 stream is reset, its
  // HTTP/1.1 connection closed unless the whole body had arrived. AwaitHeaders
  // and Read fail afterwards.
  void Release();

  // How long later calls may see no bytes arrive (kNoTimeout: no limit).
  void SetReceiveTimeout(DWORD milliseconds) { receive_timeout_ms_ = milliseconds; }

  // True once the final response's headers are in; Final() is fixed from then.
  bool HeadersReady() const { return headers_ready_.load(std::memory_order_acquire); }
  const Response& Final() const { return final_; }

 private:
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self);
  // The request's connection is made (its TLS too) and the request goes out.
  static int OnConnected(void* self, char* remote, char* local, int remotePort, int localPort);
  // False ends the transfer.
  bool HeaderLine(std::string_view line);
  void Body(const char* data, std::size_t size);

  void Ended(CURLcode result) override;

  // Runs the pool until `enough()`, the end of the transfer, Cancel() or a
  // stall; once `some()`, also until the bytes have waited a short while.
  DWORD Drive(Pool::Lock& lock, const std::function<bool()>& enough,
              const std::function<bool()>& some);
  std::size_t TakeAside(std::uint8_t* out, std::size_t size);
  DWORD Unpause(Pool::Lock& lock);
  void PutAside(const char* data, std::size_t size);

  CURL* easy_ = nullptr;
  bool in_pool_ = false;
  Pool::Opener opener_;  // under the pool's lock
  curl_slist* header_list_ = nullptr;
  std::atomic<bool> cancelled_{false};
  DWORD receive_timeout_ms_ = 30000;

  // Written by the curl callbacks on the thread driving the pool, and read,
  // under the pool's lock.
  Response current_;  // headers of the response being received
  Response final_;
  std::atomic<bool> headers_ready_{false};
  bool done_ = false;
  // A redirect from https to http was refused.
  bool insecure_redirect_ = false;
  CURLcode result_ = CURLE_OK;
  char error_text_[CURL_ERROR_SIZE] = {};  // curl's words on a failure, for the log
  bool paused_ = false;
  std::uint64_t progress_ = 0;    // bumps whenever anything arrives
  std::uint8_t* dest_ = nullptr;  // the caller's buffer while a Read drives
  std::size_t room_ = 0;
  // Bytes curl handed over beyond the caller's buffer: [aside_pos_, aside_end_)
  // of a block of about one receive buffer, allocated once and reused.
  std::unique_ptr<std::uint8_t[]> aside_;
  std::size_t aside_capacity_ = 0;
  std::size_t aside_pos_ = 0;
  std::size_t aside_end_ = 0;
};

// The WinINet-style error code for a curl result.
DWORD ErrorFromCurl(CURLcode code);

}  // namespace httpmedia::inet
