// RwLock<T>: a value behind a reader/writer lock, reached only through a
// read guard or an update function. An update that ends in an exception marks
// the lock poisoned (the value may be half-updated), except a failed
// allocation: every update here allocates before it changes anything. Every
// later attempt to take a poisoned lock throws InternalError.
//
// Every inode carries one, so the lock itself is a single 32-bit word (see
// SharedMutex) rather than a 56-byte pthread lock.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
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
    explicit WriteGuard(RwLock& lock) : owner_(lock), lock_(lock.mutex_) { lock.check_poison(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    T& operator*() const { return owner_.value_; }
    T* operator->() const { return &owner_.value_; }

   private:
    RwLock& owner_;
    std::unique_lock<SharedMutex> lock_;
  };

  RwLock() = default;
  explicit RwLock(T value) : value_(std::move(value)) {}

  ReadGuard read() const { return ReadGuard(*this); }

  // Runs f(T&) with the lock held for writing and returns its result.
  template <typename F>
  decltype(auto) update(F&& f) {
    WriteGuard guard(*this);
    try {
      return f(*guard);
    } catch (const std::bad_alloc&) {
      throw;  // nothing was changed yet
    } catch (...) {
      poisoned_.store(true);
      throw;
    }
  }
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
