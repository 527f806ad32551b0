// InternalError: a failed invariant inside a call (a poisoned lock, a broken
// assertion, a host program that cannot be started). It is the only error
// that travels as a C++ exception; the Python layer turns it into the
// module's internal-error exception type.
#pragma once

#include <stdexcept>
#include <string>

namespace lumvex {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

// Throws InternalError("assertion failed: <text>") when `condition` is false.
inline void check_invariant(bool condition, const char* text) {
  if (!condition) throw InternalError(std::string("assertion failed: ") + text);
}

}  // namespace lumvex
