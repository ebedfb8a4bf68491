// The process's one pool of connections. Every request of the
// Internet-client layer, whatever its session, runs in one curl multi handle,
// so that its connections, DNS answers and TLS sessions serve them all, as
// the platform's own library keeps one pool per process. A connection serves
// one request at a time: the next once its request is done, or closed early
// (an HTTP/2 stream is then reset and the connection kept; an HTTP/1.1
// connection left mid-body is closed).
//
// The pool has no thread driving it. A thread that wants its request to move
// on runs curl for every request in the pool, while the others wait for it to
// finish a pass (Step); whoever is done hands the driving on to the next.
#pragma once

#include <curl/curl.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace httpmedia::inet {

// A request in the pool, set as its easy handle's CURLOPT_PRIVATE: told, on
// whichever thread drives, that its transfer has ended.
class PoolMember {
 public:
  virtual void Ended(CURLcode result) = 0;

 protected:
  ~PoolMember() = default;
};

class Pool {
 public:
  using Lock = std::unique_lock<std::mutex>;
  using Clock = std::chrono::steady_clock;

  // Never destroyed: requests may still be closed while the process exits.
  static Pool& Get();

  // Every call below, and every curl call on a handle in the pool, is made
  // holding this lock.
  Lock Hold() { return Lock(mutex_); }

  // Puts `easy` into the pool, sharing its DNS answers and TLS sessions.
  CURLMcode Add(Lock& lock, CURL* easy);
  // Takes `easy` out: an HTTP/2 stream is reset and its connection stays; an
  // HTTP/1.1 connection that has not delivered its whole body is closed.
  void Remove(Lock& lock, CURL* easy);
  // Runs `action` while no other thread runs curl on the pool.
  void Exclusively(Lock& lock, const std::function<void()>& action);

  // One step for a caller waiting on its request: when no other thread drives
  // the pool, one pass of curl over every request, then, unless `enough()`,
  // a wait of up to `wait_ms` for the network with the lock released;
  // otherwise a wait of up to `wait_ms` for the driving thread's next pass.
  CURLMcode Step(Lock& lock, int wait_ms, const std::function<bool()>& enough);

  // Makes a Step in progress return soon. Takes the lock.
  void Wake();

  // Unloading the library: the reaper closes what it would have closed later
  // (the connections of an idle pool, the spares) and ends, and none starts
  // again, for its code goes with the library.
  static void StopReaperForUnload();

  // A child forked while requests run shares the parent's connections: a
  // request of the child's on one of them would take the parent's bytes,
  // and curl closing one (saying goodbye on it) would end the parent's
  // stream. The child starts with a pool of its own instead; the parent's is
  // neither used nor cleaned up there, only the child's copies of its
  // sockets are closed. The lock is held across the fork, so that the child
  // finds the parent's lists whole.
  static void LockForFork();
  static void UnlockAfterFork();
  static void StartAfreshInChild();

  // OpenSocket's data, one per request: whether a spare connection may be
  // opened to its endpoint, and the connections opened for it not yet made.
  struct Opener {
    bool spares = false;
    std::vector<curl_socket_t> connecting;
  };

  // Socket callbacks, set on every request (curl calls them holding the lock).
  static curl_socket_t OpenSocket(void* opener, curlsocktype purpose, curl_sockaddr* address);
  static int SocketOptions(void* pool, curl_socket_t socket, curlsocktype purpose);
  static int CloseSocket(void* pool, curl_socket_t socket);

  // From curl's callback before a request goes out (holding the lock):
  // `opener`'s connection is made, so a spare opened now stands behind it,
  // never in front of it.
  void Connected(Opener& opener);

 private:
  Pool();

  // Connections to one address (family, address, port), curl's and the
  // spare opened ahead of the next request.
  struct Endpoint {
    int connections = 0;  // curl's sockets
    int spare = -1;
    Clock::time_point spare_opened;
    Clock::time_point alone_since;  // when the last of curl's went
    bool wants_spare = false;       // a request to it may take one
    int connecting = 0;             // curl's connections not yet made
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = 0, socktype = 0, protocol = 0;
  };

  curl_socket_t Open(Opener& opener, curl_sockaddr* address);
  // After a pass: the connections curl made meanwhile stand in front of a
  // spare, as if their request had gone out.
  void NoteConnectionsMade();
  // `socket` of curl's is made: it no longer keeps a spare from its endpoint.
  void Made(int socket);
  void OpenSpare(Endpoint& endpoint);
  int Close(curl_socket_t socket);
  void DropNeedlessSpare(CURL* easy);
  void StartReaper();
  void Reap();

  std::mutex mutex_;
  std::condition_variable changed_;  // a pass ended, or the driving is free
  CURLM* multi_ = nullptr;           // made when needed, dissolved when idle
  CURLSH* share_ = nullptr;
  std::mutex share_locks_[CURL_LOCK_DATA_LAST];
  int requests_ = 0;  // easy handles in multi_
  bool driving_ = false;
  int exclusive_waiters_ = 0;

  std::unordered_map<std::string, Endpoint> endpoints_;
  std::unordered_map<int, std::string> sockets_;  // curl's, by endpoint
  std::unordered_set<int> handed_over_;           // spares given to curl, connected or connecting
  std::unordered_set<int> connecting_;            // curl's, before they are made
  bool dissolving_ = false;                       // the idle pool's connections go

  // Closes an idle pool's connections and the spares nobody took. It runs
  // only while there is something to close later, and is joined by the next
  // start or the library's unloading, so that no thread of the library
  // outlives what it serves.
  Clock::time_point idle_since_;
  std::condition_variable reaper_wake_;
  std::thread reaper_;
  bool reaper_running_ = false;
  bool unloading_ = false;
};

}  // namespace httpmedia::inet
