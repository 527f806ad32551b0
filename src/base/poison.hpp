// Poison: the mark a lock carries once a failure escaped while it was held.
// What the lock guards may then be half-changed, so every later use fails
// with InternalError instead of working on it. A failed allocation does not
// poison: every guarded change here allocates before it changes anything.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include "error/internal_error.hpp"

namespace lumvex {

class Poison {
 public:
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }
  void poison() noexcept { poisoned_.store(true, std::memory_order_relaxed); }

  // Throws InternalError(message) when poisoned.
  void check(const char* message) const {
    if (poisoned()) throw InternalError(message);
  }

  // Runs fn(args...) and returns its result; an exception other than
  // std::bad_alloc escaping it poisons. Call it with the lock held.
  template <typename F, typename... Args>
  decltype(auto) guard(F&& fn, Args&&... args) {
    try {
      return std::forward<F>(fn)(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poison();
      throw;
    }
  }

 private:
  std::atomic<bool> poisoned_{false};
};

}  // namespace lumvex
