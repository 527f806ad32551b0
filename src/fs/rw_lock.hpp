// RwLock<T>: a value behind a reader/writer lock, reached only through RAII
// guards. A writer that leaves its guard through an exception marks the lock
// poisoned (the value may be half-updated); every later attempt to take a
// poisoned lock throws InternalError.
//
// Every inode carries one, so the lock itself is a single 32-bit word (see
// SharedMutex) rather than a 56-byte pthread lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "error/internal_error.hpp"

namespace lumvex {

// A reader/writer mutex in one atomic word: the top bit marks a writer, the
// next bit says that some thread sleeps waiting for the word to change, the
// rest counts readers. Sleeping uses the word's own futex (atomic wait and
// notify). Readers are preferred; every hold in this code base is short.
class SharedMutex {
 public:
  void lock_shared() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & kWriter) == 0) {
        if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
          return;
        continue;
      }
      sleep_on(s);
      s = state_.load(std::memory_order_relaxed);
    }
  }

  bool try_lock_shared() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while ((s & kWriter) == 0)
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return true;
    return false;
  }

  void unlock_shared() {
    std::uint32_t previous = state_.fetch_sub(1, std::memory_order_release);
    if ((previous & kWaiters) != 0 && (previous & kReaders) == 1) wake();
  }

  void lock() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & ~kWaiters) == 0) {
        if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed))
          return;
        continue;
      }
      sleep_on(s);
      s = state_.load(std::memory_order_relaxed);
    }
  }

  void unlock() {
    std::uint32_t previous = state_.exchange(0, std::memory_order_release);
    if ((previous & kWaiters) != 0) state_.notify_all();
  }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWaiters = 1u << 30;
  static constexpr std::uint32_t kReaders = kWaiters - 1;

  // Announces a sleeper and sleeps until the word changes from `s`.
  void sleep_on(std::uint32_t s) {
    if ((s & kWaiters) == 0 &&
        !state_.compare_exchange_strong(s, s | kWaiters, std::memory_order_relaxed))
      return;  // the word changed meanwhile: look again
    state_.wait(s | kWaiters, std::memory_order_relaxed);
  }

  // Clears the sleeper mark and wakes every sleeper; those that still cannot
  // proceed mark the word again before sleeping.
  void wake() {
    state_.fetch_and(~kWaiters, std::memory_order_relaxed);
    state_.notify_all();
  }

  std::atomic<std::uint32_t> state_{0};
};

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
