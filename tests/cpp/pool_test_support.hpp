// Helpers for the pool and session tests: stand-in host programs placed first
// on PATH, capture of file descriptor 2, a cross-process lock for tests that
// work under /tmp/tmp_user_home, and reads that give up after a timeout.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>

#include "base/unique_fd.hpp"
#include "pool/terminal_session.hpp"

namespace lumvex::testing {

// A temporary directory made the whole PATH (by default, so that no real host
// program is ever run by mistake) or put first on it, for the lifetime of the
// object. Stand-in scripts use only shell built-ins and absolute paths.
class StandInPath {
 public:
  explicit StandInPath(bool exclusive = true) {
    char pattern[] = "/tmp/lumvex_standin_XXXXXX";
    dir_ = ::mkdtemp(pattern);
    const char* old = std::getenv("PATH");
    had_path_ = old != nullptr;
    if (old) old_path_ = old;
    std::string path = dir_;
    if (!exclusive && had_path_) path += ":" + old_path_;
    ::setenv("PATH", path.c_str(), 1);
  }
  ~StandInPath() {
    if (had_path_) {
      ::setenv("PATH", old_path_.c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  StandInPath(const StandInPath&) = delete;
  StandInPath& operator=(const StandInPath&) = delete;

  const std::string& dir() const { return dir_; }

  // Writes an executable /bin/sh script `name`; "$DIR" in the body is the
  // stand-in directory.
  void script(const std::string& name, const std::string& body) const {
    std::string path = dir_ + "/" + name;
    {
      std::ofstream out(path, std::ios::trunc);
      out << "#!/bin/sh\nDIR='" << dir_ << "'\n" << body << "\n";
    }
    ::chmod(path.c_str(), 0755);
  }

  // An `id` that knows the accounts listed in $DIR/accounts (uid 1000 + line
  // number) and a `useradd` that appends to that list; both log their calls
  // to $DIR/log.
  void fake_accounts() const {
    script("id",
           "echo \"id $*\" >> \"$DIR/log\"\n"
           "[ \"$1\" = -u ] || exit 2\n"
           "n=1000\n"
           "if [ -f \"$DIR/accounts\" ]; then\n"
           "  while IFS= read -r line; do\n"
           "    n=$((n + 1))\n"
           "    if [ \"$line\" = \"$2\" ]; then echo $n; exit 0; fi\n"
           "  done < \"$DIR/accounts\"\n"
           "fi\n"
           "echo \"id: '$2': no such user\" >&2\n"
           "exit 1");
    script("useradd",
           "echo \"useradd $*\" >> \"$DIR/log\"\n"
           "echo \"$1\" >> \"$DIR/accounts\"");
  }

  std::string read_file(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string dir_;
  std::string old_path_;
  bool had_path_ = false;
};

// A temporary directory for the lifetime of the object.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/lumvex_scratch_XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Redirects file descriptor 2 into a temporary file until take() is called.
class StderrCapture {
 public:
  StderrCapture() {
    char pattern[] = "/tmp/lumvex_stderr_XXXXXX";
    file_ = UniqueFd(::mkstemp(pattern));
    ::unlink(pattern);
    saved_ = UniqueFd(::dup(STDERR_FILENO));
    ::dup2(file_.get(), STDERR_FILENO);
  }
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string take() {
    restore();
    std::string text;
    char chunk[512];
    ::lseek(file_.get(), 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file_.get(), chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    return text;
  }

 private:
  void restore() {
    if (saved_) ::dup2(saved_.get(), STDERR_FILENO);
    saved_.reset();
  }
  UniqueFd file_;
  UniqueFd saved_;
};

// Serialises tests (also across test processes) that work under
// /tmp/tmp_user_home or with the real accounts.
class HostLock {
 public:
  HostLock() : fd_(::open("/tmp/lumvex_pool_tests.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666)) {
    if (fd_) ::flock(fd_.get(), LOCK_EX);
  }

 private:
  UniqueFd fd_;
};

inline bool is_root() {
  return ::geteuid() == 0;
}

// Reads from the session's output (or error stream) until `needle` appears in
// what was read, the stream ends or `timeout` passes. A read that does not
// return in time kills `su`, so the test fails instead of hanging. Returns
// everything read.
inline std::string read_until(TerminalSession& session, const std::string& needle,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10),
                              bool from_stderr = false) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  std::string text;
  while (text.find(needle) == std::string::npos) {
    auto pending = std::async(std::launch::async, [&session, from_stderr] {
      std::string chunk(4096, '\0');
      StreamResult n = from_stderr ? session.read_stderr(chunk) : session.read_stdout(chunk);
      chunk.resize(n.value_or(0));
      return chunk;
    });
    if (pending.wait_until(deadline) != std::future_status::ready) {
      ::kill(session.pid(), SIGKILL);
      pending.wait();
      break;
    }
    std::string chunk = pending.get();
    if (chunk.empty()) break;  // end of stream or failure
    text += chunk;
  }
  return text;
}

// Reads the session's output until end of stream; nullopt when it does not
// end within `timeout` (`su` is killed then).
inline std::optional<std::string> read_to_end(
    TerminalSession& session, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  std::string text;
  for (;;) {
    auto pending = std::async(std::launch::async, [&session] {
      std::string chunk(4096, '\0');
      StreamResult n = session.read_stdout(chunk);
      if (!n) return std::optional<std::string>();
      chunk.resize(*n);
      return std::optional<std::string>(chunk);
    });
    if (pending.wait_until(deadline) != std::future_status::ready) {
      ::kill(session.pid(), SIGKILL);
      pending.wait();
      return std::nullopt;
    }
    std::optional<std::string> chunk = pending.get();
    if (!chunk) return std::nullopt;
    if (chunk->empty()) return text;
    text += *chunk;
  }
}

}  // namespace lumvex::testing
