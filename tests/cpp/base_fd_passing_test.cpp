// A descriptor passed with a message arrives as the same open file, close-on-
// exec, with every byte of the message; the end of the stream and a closed
// peer are told apart from a message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/fd_passing.hpp"
#include "base/unique_fd.hpp"

namespace lumvex {
namespace {

struct Pair {
  UniqueFd a, b;
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
};

TEST(FdPassing, MessagesArriveWholeWithTheSameOpenFile) {
  UniqueFd file(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(file);
  struct stat sent_stat{};
  ASSERT_EQ(::fstat(file.get(), &sent_stat), 0);
  for (std::size_t size : {1u, 24u, 100000u}) {
    Pair pair;
    const std::string message(size, 'x');
    std::string received(size, '\0');
    int fd = -1;
    ASSERT_EQ(send_with_fd(pair.a.get(), message.data(), size, file.get()), 0) << size;
    ASSERT_EQ(receive_with_fd(pair.b.get(), received.data(), size, fd), ssize_t(size));
    UniqueFd got(fd);
    ASSERT_TRUE(got) << size;
    EXPECT_EQ(received, message);
    struct stat got_stat{};
    ASSERT_EQ(::fstat(got.get(), &got_stat), 0);
    EXPECT_EQ(got_stat.st_ino, sent_stat.st_ino);
    EXPECT_EQ(got_stat.st_rdev, sent_stat.st_rdev);
    EXPECT_NE(::fcntl(got.get(), F_GETFD) & FD_CLOEXEC, 0);
  }
}

TEST(FdPassing, EndOfStreamAndClosedPeer) {
  Pair pair;
  char byte = 0;
  int fd = 7;
  pair.a.reset();
  EXPECT_EQ(receive_with_fd(pair.b.get(), &byte, 1, fd), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(send_with_fd(pair.b.get(), &byte, 1, pair.b.get()), EPIPE);
}

}  // namespace
}  // namespace lumvex
