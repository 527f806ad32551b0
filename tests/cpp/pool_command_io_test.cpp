// Captured, the capped capture of a command's stream, against a model: the
// whole stream while it fits the cap, else its first half and its last half.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "pool/command_io.hpp"

namespace lumvex {
namespace {

TEST(Captured, KeepsHeadAndTailOfAnyStreamWithinTheCap) {
  std::mt19937_64 random(20261211);
  for (int round = 0; round < 20000; ++round) {
    const std::size_t max = random() % 4 == 0 ? random() % 4 : random() % 80;
    Captured captured;
    std::string stream;
    const int chunks = static_cast<int>(random() % 12);
    for (int c = 0; c < chunks; ++c) {
      std::string chunk(random() % (3 * max + 6), '\0');
      for (char& byte : chunk) byte = static_cast<char>('a' + stream.size() % 26 + random() % 2);
      stream += chunk;
      captured.add(chunk, max);
      if (random() % 5 == 0) captured.finish();  // adding goes on after a finish
      ASSERT_LE(captured.data.size(), max);
      ASSERT_LE(captured.data.capacity(), std::max<std::size_t>(max, 30));
    }
    captured.finish();
    const std::size_t head = Captured::head(max);
    const std::string expected =
        stream.size() <= max ? stream
                             : stream.substr(0, head) + stream.substr(stream.size() - (max - head));
    ASSERT_EQ(captured.data, expected) << "round " << round << ", cap " << max;
    ASSERT_EQ(captured.truncated, stream.size() > max);
    ASSERT_EQ(captured.size, stream.size());
  }
}

}  // namespace
}  // namespace lumvex
