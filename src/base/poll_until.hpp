// poll_until: waits for a condition that nothing can be blocked on (a
// process that was signalled, a control group that empties), polling with
// a few yields first (such things usually happen within microseconds) and
// then short sleeps (at most 0.2 ms), until it holds or a deadline passes.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace lumvex {

inline void pause_for_attempt(int attempt) {
  if (attempt < 16) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::microseconds(50) * (1 << std::min(attempt - 16, 2)));
  }
}

// Whether `done()` held before `deadline` (it is asked once more then).
template <typename F>
bool poll_until(F&& done, std::chrono::steady_clock::time_point deadline) {
  for (int attempt = 0; !done(); ++attempt) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    pause_for_attempt(attempt);
  }
  return true;
}

}  // namespace lumvex
