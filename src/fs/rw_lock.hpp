// RwLock<T>: a value behind a reader/writer lock, reached only through RAII
// guards. A writer that leaves its guard through an exception marks the lock
// poisoned (the value may be half-updated); every later attempt to take a
// poisoned lock throws InternalError.
//
// Every inode carries one, so the lock itself is a single 32-bit word (see
// SharedMutex) rather than a 56-byte pthread lock.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>  // std::shared_lock

#include "error/internal_error.hpp"
#include "fs/shared_mutex.hpp"

namespace lumvex {

template <typename T>
class RwLock {
 public:
  class ReadGuard {
   public:
    explicit ReadGuard(const RwLock& lock) : lock_(lock.mutex_) {
      lock.check_poison();
      value_ = &lock.value_;
    }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return value_; }

   private:
    std::shared_lock<SharedMutex> lock_;
    const T* value_;
  };

  class WriteGuard {
   public:
    explicit WriteGuard(RwLock& lock)
        : owner_(lock), lock_(lock.mutex_), exceptions_(std::uncaught_exceptions()) {
      lock.check_poison();
    }
    ~WriteGuard() {
      if (std::uncaught_exceptions() > exceptions_) owner_.poisoned_.store(true);
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    T& operator*() const { return owner_.value_; }
    T* operator->() const { return &owner_.value_; }

   private:
    RwLock& owner_;
    std::unique_lock<SharedMutex> lock_;
    int exceptions_;
  };

  RwLock() = default;
  explicit RwLock(T value) : value_(std::move(value)) {}

  ReadGuard read() const { return ReadGuard(*this); }
  WriteGuard write() { return WriteGuard(*this); }
  bool poisoned() const { return poisoned_.load(); }

  // Calls f(const T&) if the lock can be taken for reading right now, and
  // returns false without calling it otherwise (used by debug rendering).
  template <typename F>
  bool try_read(F&& f) const {
    std::shared_lock<SharedMutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    f(value_);
    return true;
  }

 private:
  void check_poison() const {
    if (poisoned_.load()) throw InternalError("a filesystem lock is poisoned");
  }

  mutable SharedMutex mutex_;  // guards value_
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace lumvex
