// Mutex, MutexLock and CondVar: std::mutex and std::condition_variable with
// the annotations clang's thread-safety analysis needs, so that the compiler
// checks that every guarded field is used with its lock held.
#pragma once

#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.hpp"

namespace lumvex {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

struct AdoptLock {};
inline constexpr AdoptLock kAdoptLock{};

// Holds a Mutex for its scope: takes it, or adopts one the caller has taken.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  MutexLock(Mutex& mutex, AdoptLock) REQUIRES(mutex) : mutex_(mutex) {}
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A condition variable whose waits release and retake a Mutex the caller
// holds.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mutex`, waits for a notification (or a spurious wake-up) and
  // takes `mutex` back; callers wait in a loop on their condition.
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cond_.wait(lock);
    lock.release();  // held again: the caller's scope lets it go
  }
  void notify_all() { cond_.notify_all(); }

 private:
  std::condition_variable cond_;
};

}  // namespace lumvex
