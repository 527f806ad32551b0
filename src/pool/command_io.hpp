// The pipes of a running command: its input fed from memory, its output and
// error read into memory with a cap on each (what passes it is read and
// dropped, so the command never stalls on a full pipe), until both streams
// end, a deadline passes, or a wake-up descriptor becomes readable.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.hpp"

namespace lumvex {

struct Captured {
  std::string data;
  bool truncated = false;  // more came than the cap kept
};

enum class PumpEnd { kEnded, kDeadline, kWoken, kFailed };

// `in` may be empty (nothing to feed); it is closed once `input` is written
// or the command stops reading. `out` and `err` are closed as they end. All
// three must be non-blocking.
PumpEnd pump(UniqueFd& in, std::string_view input, UniqueFd& out, Captured& out_data, UniqueFd& err,
             Captured& err_data, std::size_t max,
             std::optional<std::chrono::steady_clock::time_point> deadline, int wake);

}  // namespace lumvex
