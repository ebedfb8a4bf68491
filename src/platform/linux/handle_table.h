// Handle values of the Linux platform layers. A handle names its object
// through a table, never by its address, and a value is never handed out
// twice: a stale, foreign or made-up handle finds nothing, instead of reaching
// freed memory or an object made since. An object a call has found stays
// alive until that call is done with it, even if the handle is closed
// meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace httpmedia::platform {

template <typename Object>
class HandleTable {
 public:
  // Values are first, first + 8, first + 16, ...: tables with different
  // values of first modulo 8 never share a value.
  explicit HandleTable(std::uintptr_t first) : next_(first) {}

  // Publishes object under a new value. An object with a `self` member learns
  // its value before anyone else can find it.
  void* Add(const std::shared_ptr<Object>& object) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uintptr_t value = next_;
    void* handle = reinterpret_cast<void*>(value);
    if constexpr (requires { object->self; }) object->self = handle;
    objects_.emplace(value, object);
    next_ += 8;
    return handle;
  }

  std::shared_ptr<Object> Find(void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

  // A child forked while another thread is in the table would find it
  // locked for ever: the table's owner holds the lock across a fork
  // (pthread_atfork), so that both sides find the table whole and free.
  void LockForFork() { mutex_.lock(); }
  void UnlockAfterFork() { mutex_.unlock(); }

  // Removes the handle; the object goes once nobody holds it any longer.
  std::shared_ptr<Object> Take(void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<Object> taken = std::move(it->second);
    objects_.erase(it);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects_;
  std::uintptr_t next_;
};

}  // namespace httpmedia::platform
