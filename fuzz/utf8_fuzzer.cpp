// Fuzzes the UTF-8 check and the lossy decoding of the terminal against the
// reference in utf8_reference.hpp.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/utf8.hpp"
#include "utf8_reference.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "utf8_fuzzer: %s (input of %zu bytes)\n", what, input.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool valid = lumvex::is_valid_utf8(input);
  if (valid != lumvex::fuzz::reference_is_valid(input)) fail("is_valid_utf8 disagrees", input);

  const std::string replaced = lumvex::utf8_replace_invalid(std::string(input));
  if (valid && replaced != input) fail("valid input was changed", input);
  if (!lumvex::is_valid_utf8(replaced) || !lumvex::fuzz::reference_is_valid(replaced))
    fail("replacement output is not valid UTF-8", input);
  if (replaced != lumvex::fuzz::reference_replace(input))
    fail("replacement differs from maximal-subpart decoding", input);

  // Decoding is local: the longest valid prefix comes through as it is, and
  // the rest is decoded on its own.
  std::size_t prefix = 0;
  while (auto d = lumvex::fuzz::decode_one(input.substr(prefix))) prefix += d->len;
  const std::string rest = lumvex::utf8_replace_invalid(std::string(input.substr(prefix)));
  if (std::string(input.substr(0, prefix)) + rest != replaced)
    fail("replacement is not local", input);
  return 0;
}
