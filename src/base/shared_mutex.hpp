// SharedMutex: a reader/writer mutex that fits in one 32-bit word, for the
// many small structures (every inode, every shard of the inode table) that
// each need a lock of their own; ReaderLock and WriterLock hold one for a
// scope.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/thread_annotations.hpp"

namespace lumvex {

// A reader/writer mutex in one atomic word: the top bit marks a writer, the
// next bit says that some thread sleeps waiting for the word to change, the
// rest counts readers. Sleeping uses the word's own futex (atomic wait and
// notify). Readers are preferred; every hold in this code base is short.
class CAPABILITY("shared mutex") SharedMutex {
 public:
  void lock_shared() ACQUIRE_SHARED() {
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

  bool try_lock_shared() TRY_ACQUIRE_SHARED(true) {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while ((s & kWriter) == 0)
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return true;
    return false;
  }

  void unlock_shared() RELEASE_SHARED() {
    std::uint32_t previous = state_.fetch_sub(1, std::memory_order_release);
    if ((previous & kWaiters) != 0 && (previous & kReaders) == 1) wake();
  }

  void lock() ACQUIRE() {
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

  void unlock() RELEASE() {
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

// Holds a SharedMutex for reading for its scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.lock_shared();
  }
  ~ReaderLock() RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a SharedMutex for writing for its scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriterLock() RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace lumvex
