// The pipes of a running command: its input fed from memory, its output and
// error read into memory with a cap on each (what passes it is read and
// dropped, so the command never stalls on a full pipe), until both streams
// end, a deadline passes, or a wake-up descriptor becomes readable.
//
// A capped stream keeps both of its ends: the first half of the cap (rounded
// up) and the last half (rounded down), the part between them dropped, so
// the error at the end of a long build survives beside its start.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.hpp"

namespace lumvex {

// What a stream gave, within a cap `max`: all of it while it fits; past
// that its first head(max) bytes and its last max - head(max) (a ring while
// the stream goes on, put in order by finish()). Never holds more than `max`
// bytes.
struct Captured {
  std::string data;        // in order after finish()
  bool truncated = false;  // more came than the cap kept
  std::uint64_t size = 0;  // every byte the stream gave, kept or not

  static constexpr std::size_t head(std::size_t max) { return max - max / 2; }

  void add(std::string_view chunk, std::size_t max);
  // Puts the tail in order; adding may go on afterwards.
  void finish();

 private:
  std::size_t ring_head_ = 0;  // where the ring starts in `data` (head(max))
  std::size_t ring_at_ = 0;    // the ring's oldest byte, where the next one goes
};

enum class PumpEnd { kEnded, kDeadline, kWoken, kFailed };

// `in` may be empty (nothing to feed); it is closed once `input` is written
// or the command stops reading. `out` and `err` are closed as they end. All
// three must be non-blocking.
PumpEnd pump(UniqueFd& in, std::string_view input, UniqueFd& out, Captured& out_data, UniqueFd& err,
             Captured& err_data, std::size_t max,
             std::optional<std::chrono::steady_clock::time_point> deadline, int wake);

}  // namespace lumvex
