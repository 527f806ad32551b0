// The messages between the owning process and the session helper program
// (lumvex-session-helper): a start plan, sent once over the helper's control
// socket (descriptor 3) with the descriptors it names attached, and the
// helper's answer. Both sides are built from this header, so the format only
// has to agree with itself; it is never stored.
//
// A plan is a sequence of records: a one-byte tag, a four-byte length and
// that many bytes. Numbers are in the machine's own order. Descriptors are
// named by their index in the list sent along with the plan.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/fd_passing.hpp"

namespace lumvex::wire {

// The helper's file name, beside the extension module.
inline constexpr const char* kHelperName = "lumvex-session-helper";
// The descriptor the helper finds its control socket on.
inline constexpr int kControlFd = 3;
// At most this many descriptors travel with a plan.
inline constexpr std::size_t kMaxFds = kMaxPassedFds;
// A plan's size limit (arguments and environment included).
inline constexpr std::uint32_t kMaxPlan = 16u << 20;
inline constexpr std::uint32_t kMagic = 0x6c6d7601;

enum Tag : std::uint8_t {
  kStay = 1,      // (no data) stay as the reaper of what the program leaves
  kStdFds,        // 3 x int32: descriptor indices of the program's 0, 1, 2
  kLifeline,      // int32: index of a process descriptor of the owner
  kSetns,         // int32 index, int32 namespace flags
  kJoinDir,       // int32: index of a cgroup v2 directory to be born in
  kJoinProcs,     // int32: index of its cgroup.procs (where clone3 is refused)
  kJoinTasks,     // int32: index of a cgroup v1 `tasks` file to join
  kCleanup,       // string: the path of a session control group to end and
                  // remove when the owner dies
  kKillUid,       // int64: the account whose processes end with the owner
  kStep,          // int32 kind, uint64 flags, then source, target, fstype,
                  // data as strings (length-prefixed, -1 for none)
  kNoNewPrivs,    // (no data)
  kNewSession,    // (no data)
  kWorkdir,       // string
  kUmask,         // int32
  kUid,           // int64
  kGid,           // int64
  kProcessLimit,  // uint64: RLIMIT_NPROC, soft and hard
  kCandidate,     // string: a path to try for the program, in order
  kArg,           // string: the next argument (argv[0] first)
  kEnv,           // string: the next environment entry
  kUnshare,       // int32: CLONE_NEW* flags of the namespaces a staying helper makes
  kFilter,        // (no data) the program runs under the system-call filter
  kKeyringUid,    // int64: the account whose keyrings are cleared (see ChildPlan)
  kTransfer,      // (no data) the program is the helper's own transfer (transfer.hpp),
                  // its arguments the kArg records
  kCtty,          // (no data) the program's standard input, a terminal, becomes the
                  // controlling terminal of its new session
  kPasta,         // string: the pasta program that gives the new network namespace a
                  // way out (see main.cpp)
  kNft,           // string: the nft program, for kFirewall
  kFirewall,      // string: nftables rules applied in the new network namespace
  kClaim,         // int32: index of the account's claim (a locked file), which a staying
                  // helper holds until it ends: the account is not handed out again
                  // while the helper still ends what the session left
  kBaseMounts,    // int32: index of a mount namespace that a staying helper enters
                  // before it makes the plan's namespaces (theirs are copies of it)
  kNetwork,       // int32: index of a network namespace, already joined to the outside,
                  // that a staying helper enters in place of making one
};

// Kinds of kStep (mounts and the loopback interface, in the new namespaces).
enum StepKind : std::int32_t {
  kMount = 0,
  kOptionalMount = 1,  // a missing target is skipped
  kNosuidAll = 2,      // every mount from `target` down becomes nosuid
  kLoopbackUp = 3,
  kDetachOthers = 4,  // detach every mount below `target` but those of account `source`
  kMakeDir = 5,       // mkdir(target, flags as the mode); one that exists is fine
  kMinimalDev = 6,    // a new /dev at `target`
  kAttachTree = 7,    // attach the detached mount tree of descriptor index `flags` at `target`
  kWriteFile = 8,     // a new file at `target` (mode `flags`, no link followed) holding `data`
};

// The helper's answer to a plan. Once the program runs in place of the
// helper (no reaper, no process namespace to enter), the socket simply
// closes: end of stream without an answer means that it runs.
//
// A staying helper answers twice: the process started by the owner makes
// the namespaces and the process that stays (the first of its new process
// namespace), hands it over (an answer whose `pid` is its process id, with
// a process descriptor of it attached) and exits; the staying process then
// answers for the program.
struct Answer {
  std::int32_t error = 0;           // errno of the first failure, 0: the program runs
  std::int32_t workdir_failed = 0;  // the failure was entering the working directory
  std::int64_t pid = 0;             // the program's process id, as the helper sees it
};

class Writer {
 public:
  Writer() { put_raw(Header{kMagic, 0}); }

  void flag(Tag tag) { record(tag, nullptr, 0); }
  void i32(Tag tag, std::int32_t value) { record(tag, &value, sizeof value); }
  void i64(Tag tag, std::int64_t value) { record(tag, &value, sizeof value); }
  void u64(Tag tag, std::uint64_t value) { record(tag, &value, sizeof value); }
  void pair(Tag tag, std::int32_t a, std::int32_t b) {
    std::int32_t both[2] = {a, b};
    record(tag, both, sizeof both);
  }
  void text(Tag tag, std::string_view value) { record(tag, value.data(), value.size()); }
  // A kStep record; null strings are absent.
  void step(std::int32_t kind, std::uint64_t flags, const char* source, const char* target,
            const char* fstype, const char* data) {
    std::string body(reinterpret_cast<const char*>(&kind), sizeof kind);
    body.append(reinterpret_cast<const char*>(&flags), sizeof flags);
    for (const char* s : {source, target, fstype, data}) {
      const std::int32_t length = s == nullptr ? -1 : static_cast<std::int32_t>(std::strlen(s));
      body.append(reinterpret_cast<const char*>(&length), sizeof length);
      if (s != nullptr) body.append(s);
    }
    text(kStep, body);
  }

  // The whole message: a header with the payload's length, then the payload.
  const std::string& finish() {
    Header header{kMagic, static_cast<std::uint32_t>(bytes_.size() - sizeof(Header))};
    std::memcpy(bytes_.data(), &header, sizeof header);
    return bytes_;
  }

  struct Header {
    std::uint32_t magic;
    std::uint32_t length;
  };

 private:
  template <typename T>
  void put_raw(const T& value) {
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void record(Tag tag, const void* data, std::size_t size) {
    bytes_.push_back(static_cast<char>(tag));
    put_raw(static_cast<std::uint32_t>(size));
    if (size != 0) bytes_.append(static_cast<const char*>(data), size);
  }

  std::string bytes_;
};

// Walks the records of a payload. Every accessor checks the record's size;
// a malformed plan makes ok() false.
class Reader {
 public:
  explicit Reader(std::string_view payload) : rest_(payload) {}

  // The next record, false at the end or on a malformed one.
  bool next() {
    if (rest_.empty()) return false;
    std::uint32_t length = 0;
    if (rest_.size() < 1 + sizeof length) return fail();
    tag_ = static_cast<Tag>(rest_[0]);
    std::memcpy(&length, rest_.data() + 1, sizeof length);
    rest_.remove_prefix(1 + sizeof length);
    if (rest_.size() < length) return fail();
    data_ = rest_.substr(0, length);
    rest_.remove_prefix(length);
    return true;
  }
  bool ok() const { return ok_; }
  Tag tag() const { return tag_; }
  std::string_view data() const { return data_; }

  template <typename T>
  T number(std::size_t at = 0) {
    T value{};
    if (data_.size() < at + sizeof value) {
      fail();
      return value;
    }
    std::memcpy(&value, data_.data() + at, sizeof value);
    return value;
  }
  // A length-prefixed string of a kStep record at `at` (moved past it);
  // false for an absent one.
  bool step_string(std::size_t& at, std::string& out) {
    const std::int32_t length = number<std::int32_t>(at);
    at += sizeof length;
    if (length < 0) return false;
    if (data_.size() < at + static_cast<std::size_t>(length)) {
      fail();
      return false;
    }
    out.assign(data_.substr(at, static_cast<std::size_t>(length)));
    at += static_cast<std::size_t>(length);
    return true;
  }

 private:
  bool fail() {
    ok_ = false;
    rest_ = {};
    return false;
  }

  std::string_view rest_;
  std::string_view data_;
  Tag tag_ = kStay;
  bool ok_ = true;
};

}  // namespace lumvex::wire
