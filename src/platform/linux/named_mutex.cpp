// A mutex shared by its name among the processes of one user, as the
// platform's named mutexes are shared within the user's session. Each name is
// a lock file in a directory only the user can reach; the mutex is an
// open-file-description lock on the file's first byte. The kernel keeps that
// lock, so no other process can touch the state behind it, and the kernel
// drops it when its holder dies. The holder marks the file while it holds the
// mutex and clears the mark before letting go: a taker that finds the mark
// knows that the last holder died holding it ("abandoned").
//
// The kernel lock belongs to the process's open file; which thread owns the
// mutex, and how often it has taken it, is kept in process memory. Every
// handle of the process to one name shares that state, so that the owning
// thread can take the mutex again through any of them.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "handle_object.h"
#include "test_hooks.h"
#include "text.h"

#define HTTPMEDIA_SYS_API __attribute__((visibility("default")))

namespace {

constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_OWNER = 288;

// Byte ranges of the lock file. Ownership is an exclusive lock on the first
// byte. Every process with the name open holds a shared lock on the second,
// which tells a newcomer that the mutex already exists. The mark is the
// file's first byte of content.
constexpr off_t OwnerByte = 0;
constexpr off_t OpenByte = 1;
constexpr char HeldMark = 1;

using Clock = std::chrono::steady_clock;

struct MutexState {
  ~MutexState() {
    if (fd >= 0) close(fd);
  }
  // The lock file, or -1 for an unnamed mutex, which is this process's alone.
  int fd = -1;
  // The file's identity, and the process that opened it: a child forked
  // from this process shares the open file, and must open its own.
  dev_t device = 0;
  ino_t inode = 0;
  pid_t process = 0;

  std::mutex lock;
  std::condition_variable released;
  // The owning thread; set, with count 0, while that thread is still
  // waiting for the kernel lock.
  std::thread::id owner;
  unsigned count = 0;
  // An unnamed mutex whose owning thread ended holding it.
  bool abandoned = false;
};

// The process's named mutexes by file, so that handles to one name share one
// state. Entries of a parent process, seen by a forked child, do not count.
std::mutex registryLock;
std::vector<std::weak_ptr<MutexState>> registry;

std::shared_ptr<MutexState> FindOpen(const struct stat& file) {
  std::lock_guard<std::mutex> guard(registryLock);
  const pid_t self = getpid();
  std::shared_ptr<MutexState> found;
  std::erase_if(registry, [&](const std::weak_ptr<MutexState>& entry) {
    std::shared_ptr<MutexState> state = entry.lock();
    if (!state) return true;
    if (state->process == self && state->device == file.st_dev && state->inode == file.st_ino) {
      found = state;
    }
    return false;
  });
  return found;
}

// A child the host forks shares every open file of the parent, lock files
// included, and a kernel lock of an open file lasts while any process has
// it open: a child living on after its parent died holding the mutex would
// keep it from everyone. The child therefore closes its copies of the lock
// files at once (its handles to the names then fail; it opens its own). The
// registry's lock is held across the fork, so that the child finds the
// list whole.
void LockRegistryForFork() { registryLock.lock(); }
void UnlockRegistryAfterFork() { registryLock.unlock(); }
void ForsakeLockFilesInChild() {
  for (const std::weak_ptr<MutexState>& entry : registry) {
    // A lock file is set before its state is listed and never changed after.
    if (std::shared_ptr<MutexState> state = entry.lock(); state && state->fd >= 0) {
      close(std::exchange(state->fd, -1));
    }
  }
  registryLock.unlock();
}
[[maybe_unused]] const int forkHandlers =
    pthread_atfork(LockRegistryForFork, UnlockRegistryAfterFork, ForsakeLockFilesInChild);

struct NamedMutexObject : HandleObject {
  NamedMutexObject() : HandleObject(HandleKind::NamedMutex) {}
  std::shared_ptr<MutexState> state;
};

// The mutexes a thread owns, so that a thread that ends owning one leaves it
// abandoned for the next taker instead of held for ever.
struct OwnedByThread {
  ~OwnedByThread();
  std::vector<std::weak_ptr<MutexState>> owned;
};
thread_local OwnedByThread ownedByThread;

std::atomic<HttpMediaMutexTakenFunction> mutexTaken{nullptr};

bool LockRange(int fd, int command, short type, off_t start) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = 1;
  int rc;
  do {
    rc = fcntl(fd, command, &range);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Lets go of the kernel lock; with clearMark false the mark stays, and the
// next taker learns that this holder did not finish.
void ReleaseFile(int fd, bool clearMark) {
  if (clearMark) {
    const char clear = 0;
    (void)!pwrite(fd, &clear, 1, 0);
  }
  LockRange(fd, F_OFD_SETLK, F_UNLCK, OwnerByte);
}

OwnedByThread::~OwnedByThread() {
  const std::thread::id self = std::this_thread::get_id();
  for (const std::weak_ptr<MutexState>& entry : owned) {
    std::shared_ptr<MutexState> state = entry.lock();
    if (!state) continue;
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->owner != self || state->count == 0) continue;
    if (state->fd >= 0) {
      ReleaseFile(state->fd, false);
    } else {
      state->abandoned = true;
    }
    state->count = 0;
    state->owner = std::thread::id();
    state->released.notify_one();
  }
}

// Takes the kernel lock, waiting without limit or until the deadline.
// Returns 0, ETIMEDOUT, or the error that refused it.
int LockFile(int fd, bool forever, Clock::time_point deadline) {
  if (forever) return LockRange(fd, F_OFD_SETLKW, F_WRLCK, OwnerByte) ? 0 : errno;
  // No timed form of the lock exists: try, and pause briefly between tries.
  for (;;) {
    if (LockRange(fd, F_OFD_SETLK, F_WRLCK, OwnerByte)) return 0;
    if (errno != EAGAIN && errno != EACCES) return errno;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return ETIMEDOUT;
    const auto pause = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(2));
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(pause).count();
    timespec interval{0, static_cast<long>(nanoseconds)};
    nanosleep(&interval, nullptr);
  }
}

// A directory that only this user can reach, or -1: owned by the user, with
// no access for anyone else, and not reached through a link.
int OpenPrivateDirectory(const char* path, uid_t user) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != user ||
      (info.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The user's runtime directory if it is private, else a private directory
// of the user's in /tmp. Another user who made that one first gets nothing
// from it: it is refused, and so is the mutex.
int OpenLockDirectory() {
  const uid_t user = geteuid();
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    int fd = OpenPrivateDirectory(runtime, user);
    if (fd >= 0) return fd;
  }
  const std::string fallback = "/tmp/httpmedia-" + std::to_string(user);
  if (mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  return OpenPrivateDirectory(fallback.c_str(), user);
}

// The lock file of the name, created if need be, or -1 if it is not this
// user's own regular file.
int OpenLockFile(const char16_t* name, struct stat* info) {
  std::string file = "httpmedia-mutex-";
  for (char c : httpmedia::text::Utf16ToUtf8(name)) file += (c == '/' || c == '\0') ? '_' : c;
  const int directory = OpenLockDirectory();
  if (directory < 0) return -1;
  int fd = openat(directory, file.c_str(),
                  O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  close(directory);
  if (fd < 0) return -1;
  if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode) || info->st_uid != geteuid() ||
      (info->st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The state of the named mutex in this process, shared with its other
// handles to the name, or null (with the last error set).
std::shared_ptr<MutexState> OpenNamed(const char16_t* name, bool* existed) {
  struct stat info {};
  const int fd = OpenLockFile(name, &info);
  if (fd < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (std::shared_ptr<MutexState> open = FindOpen(info)) {
    close(fd);
    *existed = true;
    return open;
  }
  // Another process has the name open if it holds the shared lock.
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = OpenByte;
  probe.l_len = 1;
  *existed = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  if (!LockRange(fd, F_OFD_SETLK, F_RDLCK, OpenByte)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  std::shared_ptr<MutexState> state = std::make_shared<MutexState>();
  state->fd = fd;
  state->device = info.st_dev;
  state->inode = info.st_ino;
  state->process = getpid();
  std::lock_guard<std::mutex> guard(registryLock);
  registry.push_back(state);
  return state;
}

}  // namespace

HTTPMEDIA_SYS_API HANDLE WINAPI CreateMutexW(void*, BOOL initialOwner, LPCWSTR name) {
  std::shared_ptr<NamedMutexObject> object;
  bool existed = false;
  try {
    object = std::make_shared<NamedMutexObject>();
    if (name == nullptr || name[0] == 0) {
      object->state = std::make_shared<MutexState>();
    } else {
      object->state = OpenNamed(reinterpret_cast<const char16_t*>(name), &existed);
      if (!object->state) return nullptr;
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle;
  try {
    handle = ServiceHandles().Add(object);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (initialOwner) WaitForNamedMutex(object.get(), INFINITE);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

DWORD WaitForNamedMutex(HandleObject* handle, DWORD milliseconds) {
  MutexState& state = *static_cast<NamedMutexObject*>(handle)->state;
  const bool forever = milliseconds == INFINITE;
  const Clock::time_point deadline =
      forever ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(milliseconds);
  const std::thread::id self = std::this_thread::get_id();

  // The parent's mutex, seen by a forked child whose lock file is closed.
  if (state.process != 0 && state.process != getpid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> guard(state.lock);
  if (state.owner == self) {
    ++state.count;
    return WAIT_OBJECT_0;
  }
  // First the other threads of this process, then the other processes.
  auto free = [&] { return state.owner == std::thread::id(); };
  if (forever) {
    state.released.wait(guard, free);
  } else if (!state.released.wait_until(guard, deadline, free)) {
    return WAIT_TIMEOUT;
  }
  state.owner = self;
  guard.unlock();

  bool abandoned = false;
  if (state.fd >= 0) {
    int rc = LockFile(state.fd, forever, deadline);
    if (rc == 0) {
      char mark = 0;
      abandoned = pread(state.fd, &mark, 1, 0) == 1 && mark != 0;
      mark = HeldMark;
      if (pwrite(state.fd, &mark, 1, 0) != 1) {
        rc = EIO;
        ReleaseFile(state.fd, false);
      }
    }
    if (rc != 0) {
      guard.lock();
      state.owner = std::thread::id();
      state.released.notify_one();
      if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  guard.lock();
  state.count = 1;
  if (state.fd < 0) abandoned = std::exchange(state.abandoned, false);
  guard.unlock();
  try {
    ownedByThread.owned.push_back(static_cast<NamedMutexObject*>(handle)->state);
  } catch (const std::bad_alloc&) {
    // Only the hand-over of a thread that ends owning the mutex is lost.
  }
  if (HttpMediaMutexTakenFunction taken = mutexTaken.load()) taken();
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

extern "C" HTTPMEDIA_SYS_API void HttpMediaSetMutexTaken(HttpMediaMutexTakenFunction taken) {
  mutexTaken.store(taken);
}

HTTPMEDIA_SYS_API BOOL WINAPI ReleaseMutex(HANDLE handle) {
  std::shared_ptr<HandleObject> object = ServiceHandles().Find(handle);
  if (!object || object->kind != HandleKind::NamedMutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const std::shared_ptr<MutexState>& shared = static_cast<NamedMutexObject*>(object.get())->state;
  MutexState& state = *shared;
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.owner != std::this_thread::get_id() || state.count == 0) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--state.count > 0) return TRUE;
  if (state.fd >= 0) ReleaseFile(state.fd, true);
  state.owner = std::thread::id();
  std::erase_if(ownedByThread.owned, [&](const std::weak_ptr<MutexState>& entry) {
    return entry.expired() || entry.lock() == shared;
  });
  state.released.notify_one();
  return TRUE;
}
