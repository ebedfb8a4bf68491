// A mutex shared system-wide by its name, as the platform's named mutexes
// are: a robust, process-shared, recursive pthread mutex in a POSIX shared
// memory object named after it. Robustness gives the platform's "abandoned"
// rule: when the owner dies, the next taker gets the mutex instead of
// waiting forever.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "handle_object.h"
#include "text.h"

#define HTTPMEDIA_SYS_API __attribute__((visibility("default")))

namespace {

constexpr std::uint32_t SharedBlockReady = 0x52444D58;  // set once the mutex is initialised

struct SharedBlock {
  std::atomic<std::uint32_t> ready;
  pthread_mutex_t mutex;
};

struct NamedMutexObject : HandleObject {
  NamedMutexObject() : HandleObject(HandleKind::NamedMutex) {}
  // The shared object stays for other processes, as a name the system keeps.
  ~NamedMutexObject() override {
    if (block != nullptr) munmap(block, sizeof(SharedBlock));
  }
  SharedBlock* block = nullptr;
};

// Shared-memory object names are one path component; keep the name readable
// and make anything that could break that component harmless.
std::string SharedObjectName(const char16_t* name) {
  std::string result = "/httpmedia-mutex-";
  for (char c : httpmedia::text::Utf16ToUtf8(name)) result += (c == '/' || c == '\0') ? '_' : c;
  return result;
}

bool InitialiseMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutex_init(mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return ok;
}

// Maps the shared block, initialising it if this is the first user. The
// file lock serialises first users; the kernel drops it if one of them dies
// half-way, and the next one then finishes the work.
SharedBlock* MapSharedBlock(const std::string& name, bool* existed) {
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  fchmod(fd, 0666);  // other users of the machine share it, whatever our umask
  SharedBlock* block = nullptr;
  if (flock(fd, LOCK_EX) == 0) {
    struct stat info {};
    bool sized =
        fstat(fd, &info) == 0 && (info.st_size >= static_cast<off_t>(sizeof(SharedBlock)) ||
                                  ftruncate(fd, sizeof(SharedBlock)) == 0);
    if (sized) {
      void* memory = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (memory != MAP_FAILED) {
        block = static_cast<SharedBlock*>(memory);
        *existed = block->ready.load() == SharedBlockReady;
        if (!*existed) {
          if (InitialiseMutex(&block->mutex)) {
            block->ready.store(SharedBlockReady);
          } else {
            munmap(memory, sizeof(SharedBlock));
            block = nullptr;
          }
        }
      }
    }
    flock(fd, LOCK_UN);
  }
  close(fd);
  return block;
}

}  // namespace

HTTPMEDIA_SYS_API HANDLE WINAPI CreateMutexW(void*, BOOL initialOwner, LPCWSTR name) {
  std::shared_ptr<NamedMutexObject> object;
  try {
    object = std::make_shared<NamedMutexObject>();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  bool existed = false;
  if (name == nullptr || name[0] == 0) {
    // An unnamed mutex is private to its handle.
    void* memory = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    object->block = static_cast<SharedBlock*>(memory);
    if (!InitialiseMutex(&object->block->mutex)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  } else {
    object->block = MapSharedBlock(SharedObjectName(name), &existed);
    if (object->block == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
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
  pthread_mutex_t* mutex = &static_cast<NamedMutexObject*>(handle)->block->mutex;
  int rc;
  if (milliseconds == INFINITE) {
    rc = pthread_mutex_lock(mutex);
  } else {
    const timespec deadline = DeadlineAfter(milliseconds);
    rc = pthread_mutex_timedlock(mutex, &deadline);
  }
  if (rc == 0) return WAIT_OBJECT_0;
  if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
  if (rc == EOWNERDEAD) {
    // The owner died holding it: it is ours now, and usable again.
    pthread_mutex_consistent(mutex);
    return WAIT_ABANDONED;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HTTPMEDIA_SYS_API BOOL WINAPI ReleaseMutex(HANDLE handle) {
  std::shared_ptr<HandleObject> object = ServiceHandles().Find(handle);
  if (!object || object->kind != HandleKind::NamedMutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pthread_mutex_unlock(&static_cast<NamedMutexObject*>(object.get())->block->mutex) != 0) {
    SetLastError(288);  // ERROR_NOT_OWNER
    return FALSE;
  }
  return TRUE;
}
