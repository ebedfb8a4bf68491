#include "internet_pool.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace httpmedia::inet {

namespace {

// An idle pool keeps its connections this long after its last request went,
// for the request that follows: the stream after a probe, a stream opened
// again. Then it closes them, so that a process done with the network holds
// no connection to a server.
constexpr auto kIdleLife = std::chrono::seconds(2);

// Over HTTP/1.1 a request whose body is left unread takes its connection
// with it: a probe's does, and so does a stream's when a seek or a drop
// replaces it; over HTTP/2 a stream's does once it has gone far. A spare
// connection, opened to the same endpoint beside the one in use, lets the
// request that follows skip the TCP handshake's round trip (over HTTPS the
// TLS handshake, which needs the request's own settings, is still to come).
// It carries no request unless one comes: it is closed after this long, well
// within the time servers give a connection to send a request (nginx: 60 s),
// or kIdleLife after the last other connection to the endpoint went. A spare
// taken is replaced while a connection remains.
//
// A spare is opened only once every connection of curl's to the endpoint is
// made, its request about to go out. A server that serves one connection at
// a time (a script's server, a small device; over TLS the handshake done in
// its accept loop) takes connections in the order they were made: a spare
// made beside a connection still being made could be taken first, and the
// server would wait on it for a request that never comes while the real one
// waits unread. Made after, it waits its turn behind that connection, which
// the next request leaves (a body left unread closes it) for the spare; and
// it is still made a round trip before the answer comes, so that the
// request after that answer finds its handshake done or nearly so.
constexpr auto kSpareLife = std::chrono::seconds(30);

// Never more connections than this to one endpoint on account of a spare:
// the one streaming and the spare.
constexpr int kMaxPerEndpoint = 2;

std::string Key(const curl_sockaddr* address) {
  std::string key(reinterpret_cast<const char*>(&address->family), sizeof address->family);
  key.append(reinterpret_cast<const char*>(&address->addr),
             std::min<std::size_t>(address->addrlen, sizeof(sockaddr_storage)));
  return key;
}

// A spare the server has neither written to nor closed: as good as a
// connection made now. One still connecting is too: its handshake is the one
// curl would start now, begun earlier (the next request follows the answer
// that opened it within a round trip), and what curl sends on it waits for
// the handshake as on any connection of its own.
bool Usable(int socket) {
  pollfd watched{socket, POLLOUT | POLLIN | POLLRDHUP, 0};
  const int ready = poll(&watched, 1, 0);
  if (ready == 0) return true;  // still connecting
  if (ready != 1) return false;
  if ((watched.revents & (POLLIN | POLLRDHUP | POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
  if ((watched.revents & POLLOUT) == 0) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* locks) {
  static_cast<std::mutex*>(locks)[data].lock();
}

void UnlockShare(CURL*, curl_lock_data data, void* locks) {
  static_cast<std::mutex*>(locks)[data].unlock();
}

// The process's pool once made; a forked child's own after the fork.
std::atomic<Pool*> thePool{nullptr};

// Runs when the library is unloaded (or the process exits).
struct ReaperStopAtUnload {
  ~ReaperStopAtUnload() {
    if (thePool.load() != nullptr) Pool::StopReaperForUnload();
  }
} reaperStopAtUnload;

}  // namespace

Pool& Pool::Get() {
  [[maybe_unused]] static const bool made = [] {
    thePool.store(new Pool);
    return pthread_atfork(LockForFork, UnlockAfterFork, StartAfreshInChild) == 0;
  }();
  return *thePool.load();
}

void Pool::LockForFork() { thePool.load()->mutex_.lock(); }

void Pool::UnlockAfterFork() { thePool.load()->mutex_.unlock(); }

void Pool::StartAfreshInChild() {
  // The parent's reaper and drivers are not in the child: its pool stays
  // as the fork left it, locked, and is never touched again.
  const Pool* parents = thePool.load();
  for (const auto& entry : parents->sockets_) close(entry.first);
  for (const auto& entry : parents->endpoints_) {
    if (entry.second.spare >= 0) close(entry.second.spare);
  }
  thePool.store(new Pool);
}

Pool::Pool() {
  // DNS answers and TLS sessions outlive the multi handle of an idle pool:
  // they hold no connection, and a session resumed saves the server work.
  share_ = curl_share_init();
  if (share_ != nullptr) {
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, LockShare);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, UnlockShare);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, share_locks_);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
}

CURLMcode Pool::Add(Lock& lock, CURL* easy) {
  CURLMcode code = CURLM_OK;
  Exclusively(lock, [&] {
    if (multi_ == nullptr) {
      multi_ = curl_multi_init();
      if (multi_ == nullptr) {
        code = CURLM_OUT_OF_MEMORY;
        return;
      }
      // One request at a time on a connection, HTTP/2's too: it serves the
      // next request once its own is done or closed (a closed HTTP/2 stream
      // is reset, its connection kept). Streams side by side on one
      // connection would cost more than they save with this libcurl: a
      // stream left paused keeps receiving, up to its 32 MiB window, into
      // memory whenever the connection is read for another, and the other's
      // answer waits behind those bytes.
      curl_multi_setopt(multi_, CURLMOPT_PIPELINING, long(CURLPIPE_NOTHING));
    }
    if (share_ != nullptr) curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    code = curl_multi_add_handle(multi_, easy);
    if (code == CURLM_OK) ++requests_;
  });
  return code;
}

void Pool::Remove(Lock& lock, CURL* easy) {
  Exclusively(lock, [&] {
    if (multi_ == nullptr || curl_multi_remove_handle(multi_, easy) != CURLM_OK) return;
    if (--requests_ == 0) {
      idle_since_ = Clock::now();
      StartReaper();
    }
  });
}

void Pool::Exclusively(Lock& lock, const std::function<void()>& action) {
  ++exclusive_waiters_;
  while (driving_) {
    curl_multi_wakeup(multi_);  // the driver waits in curl_multi_poll
    changed_.wait(lock);
  }
  --exclusive_waiters_;
  action();
  changed_.notify_all();  // a driver held back by this may go on
}

CURLMcode Pool::Step(Lock& lock, int wait_ms, const std::function<bool()>& enough) {
  if (driving_ || exclusive_waiters_ > 0 || multi_ == nullptr) {
    changed_.wait_for(lock, std::chrono::milliseconds(wait_ms));
    return CURLM_OK;
  }
  driving_ = true;
  int running = 0;
  CURLMcode code = curl_multi_perform(multi_, &running);
  NoteConnectionsMade();
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    char* member = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &member);
    if (member != nullptr) reinterpret_cast<PoolMember*>(member)->Ended(message->data.result);
    if (message->data.result == CURLE_OK) DropNeedlessSpare(message->easy_handle);
  }
  changed_.notify_all();  // what arrived may be what another thread waits for
  if (code == CURLM_OK && !enough()) {
    CURLM* multi = multi_;
    lock.unlock();
    code = curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
    lock.lock();
  }
  driving_ = false;
  changed_.notify_all();
  return code;
}

void Pool::Wake() {
  Lock lock = Hold();
  if (multi_ != nullptr && driving_) curl_multi_wakeup(multi_);
  changed_.notify_all();
}

// ---------------------------------------------------------------------------
// Sockets

curl_socket_t Pool::OpenSocket(void* opener, curlsocktype, curl_sockaddr* address) {
  return Get().Open(*static_cast<Opener*>(opener), address);
}

int Pool::SocketOptions(void* pool, curl_socket_t socket, curlsocktype) {
  // A spare is connected, or its handshake is under way: curl must not
  // connect it again.
  return static_cast<Pool*>(pool)->handed_over_.erase(socket) != 0 ? CURL_SOCKOPT_ALREADY_CONNECTED
                                                                   : CURL_SOCKOPT_OK;
}

int Pool::CloseSocket(void* pool, curl_socket_t socket) {
  return static_cast<Pool*>(pool)->Close(socket);
}

curl_socket_t Pool::Open(Opener& opener, curl_sockaddr* address) {
  Endpoint& endpoint = endpoints_[Key(address)];
  if (opener.spares && address->socktype == SOCK_STREAM &&
      address->addrlen <= sizeof endpoint.address) {
    endpoint.wants_spare = true;
    std::memcpy(&endpoint.address, &address->addr, address->addrlen);
    endpoint.length = address->addrlen;
    endpoint.family = address->family;
    endpoint.socktype = address->socktype;
    endpoint.protocol = address->protocol;
  }
  int socket = -1;
  if (endpoint.spare >= 0) {
    // A spare holds no TLS and has carried no request: it is the connection
    // curl would make to this address now, made earlier.
    const int spare = std::exchange(endpoint.spare, -1);
    if (Clock::now() - endpoint.spare_opened <= kSpareLife && Usable(spare)) {
      socket = spare;
      handed_over_.insert(socket);
    } else {
      close(spare);
    }
  }
  if (socket < 0) socket = ::socket(address->family, address->socktype, address->protocol);
  if (socket < 0) return CURL_SOCKET_BAD;
  sockets_[socket] = Key(address);
  ++endpoint.connections;
  if (endpoint.wants_spare) {
    // Its spare waits until it is made (Connected).
    ++endpoint.connecting;
    connecting_.insert(socket);
    opener.connecting.push_back(socket);
  }
  return socket;
}

void Pool::Connected(Opener& opener) {
  for (const curl_socket_t socket : std::exchange(opener.connecting, {})) Made(socket);
}

void Pool::NoteConnectionsMade() {
  // A TCP connection made is in the server's queue of connections: a spare
  // made now is queued behind it, even while its TLS handshake goes on.
  std::vector<int> made;
  for (const int socket : connecting_) {
    pollfd watched{socket, POLLOUT, 0};
    if (poll(&watched, 1, 0) == 1 && (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
      made.push_back(socket);
    }
  }
  for (const int socket : made) Made(socket);
}

void Pool::Made(int socket) {
  // A connection closed meanwhile (another address's won), or noted made
  // already, was forgotten.
  if (connecting_.erase(socket) == 0) return;
  auto found = sockets_.find(socket);
  if (found == sockets_.end()) return;
  auto endpoint = endpoints_.find(found->second);
  if (endpoint == endpoints_.end()) return;
  --endpoint->second.connecting;
  OpenSpare(endpoint->second);
}

void Pool::OpenSpare(Endpoint& endpoint) {
  if (!endpoint.wants_spare || endpoint.spare >= 0 || dissolving_) return;
  // Only beside a connection of curl's, and never a third one.
  if (endpoint.connections < 1 || endpoint.connections + 1 > kMaxPerEndpoint) return;
  // Never in front of a connection still being made.
  if (endpoint.connecting > 0) return;
  const int socket = ::socket(endpoint.family, endpoint.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              endpoint.protocol);
  if (socket < 0) return;
  if (connect(socket, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0 &&
      errno != EINPROGRESS) {
    close(socket);
    return;
  }
  endpoint.spare = socket;
  endpoint.spare_opened = Clock::now();
  StartReaper();
}

void Pool::DropNeedlessSpare(CURL* easy) {
  // A whole body has come over the endpoint's only connection, which now
  // waits for the next request: a spare beside it would not be taken.
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK) return;
  auto found = sockets_.find(socket);
  if (found == sockets_.end()) return;
  auto endpoint = endpoints_.find(found->second);
  if (endpoint == endpoints_.end()) return;
  if (endpoint->second.connections == 1 && endpoint->second.spare >= 0) {
    close(std::exchange(endpoint->second.spare, -1));
  }
}

int Pool::Close(curl_socket_t socket) {
  handed_over_.erase(socket);
  const bool connecting = connecting_.erase(socket) != 0;
  auto found = sockets_.find(socket);
  if (found != sockets_.end()) {
    auto endpoint = endpoints_.find(found->second);
    sockets_.erase(found);
    if (endpoint != endpoints_.end()) {
      if (connecting) --endpoint->second.connecting;
      if (--endpoint->second.connections == 0) {
        // When the idle pool dissolves, no request follows: its spares go now.
        endpoint->second.alone_since = dissolving_ ? Clock::now() - kIdleLife : Clock::now();
        StartReaper();
      } else {
        // A connection left mid-body, say, beside the one still streaming:
        // the next request (a seek, a resume) finds its spare.
        OpenSpare(endpoint->second);
      }
    }
  }
  return close(socket);
}

// ---------------------------------------------------------------------------
// The reaper: a thread that lives while there is something to close later.

void Pool::StartReaper() {
  reaper_wake_.notify_all();
  if (reaper_running_ || unloading_) return;
  // A reaper that ended has released the lock for good: it is joined here,
  // holding the lock, without waiting on anything it needs.
  if (reaper_.joinable()) reaper_.join();
  try {
    reaper_ = std::thread(&Pool::Reap, this);
    reaper_running_ = true;
  } catch (const std::system_error&) {
    // Without it, idle connections stay until a request comes or the
    // server closes them: nothing is lost but the tidiness.
  }
}

void Pool::StopReaperForUnload() {
  Pool& pool = Get();
  std::thread reaper;
  {
    Lock lock = pool.Hold();
    pool.unloading_ = true;
    pool.reaper_wake_.notify_all();
    reaper = std::move(pool.reaper_);
  }
  if (reaper.joinable()) reaper.join();
}

void Pool::Reap() {
  Lock lock = Hold();
  for (;;) {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    if (multi_ != nullptr && requests_ == 0) {
      if (now - idle_since_ >= kIdleLife || unloading_) {
        // Nothing drives a pool without requests: nobody else is in curl.
        dissolving_ = true;
        curl_multi_cleanup(multi_);
        dissolving_ = false;
        multi_ = nullptr;
      } else {
        next = std::min(next, idle_since_ + kIdleLife);
      }
    }
    for (auto entry = endpoints_.begin(); entry != endpoints_.end();) {
      Endpoint& endpoint = entry->second;
      if (endpoint.spare >= 0) {
        // A spare outlives its endpoint's last connection only briefly: long
        // enough for the request that follows a probe.
        Clock::time_point until = endpoint.spare_opened + kSpareLife;
        if (endpoint.connections == 0) until = std::min(until, endpoint.alone_since + kIdleLife);
        if (now >= until || unloading_) {
          close(std::exchange(endpoint.spare, -1));
        } else {
          next = std::min(next, until);
        }
      }
      if (endpoint.connections == 0 && endpoint.spare < 0) {
        entry = endpoints_.erase(entry);
      } else {
        ++entry;
      }
    }
    if (next == Clock::time_point::max() || unloading_) {
      reaper_running_ = false;
      return;
    }
    reaper_wake_.wait_until(lock, next);
  }
}

}  // namespace httpmedia::inet
