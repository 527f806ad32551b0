// Host sessions: creating a session on a pool whose account is reused, a
// short echo round trip through bash, and closing a session; and the
// control-group work of one command of `run` (its leaf, its figures). Needs
// root (it runs `su` and creates the pool's first account if it is missing).
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "pool/terminal_session.hpp"
#include "pool/user_pool.hpp"
#include "sandbox/cgroup.hpp"
#include "sandbox/policy.hpp"

namespace lumvex {
namespace {

// A pool whose first account exists and sits in the free list.
std::optional<PoolHandle> warm_pool(benchmark::State& state) {
  if (::geteuid() != 0) {
    state.SkipWithError("needs root");
    return std::nullopt;
  }
  PoolHandle pool = make_shared_pool();
  auto session = TerminalSession::make(pool);
  if (!session) {
    state.SkipWithError(session.error().c_str());
    return std::nullopt;
  }
  return pool;
}

void BM_SessionCreateReusedAccount(benchmark::State& state) {
  std::optional<PoolHandle> pool = warm_pool(state);
  if (!pool) return;
  for (auto _ : state) {
    auto session = TerminalSession::make(*pool);
    state.PauseTiming();
    if (!session) state.SkipWithError(session.error().c_str());
    session->close();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SessionCreateReusedAccount)->Unit(benchmark::kMillisecond);

void BM_EchoRoundTrip(benchmark::State& state) {
  std::optional<PoolHandle> pool = warm_pool(state);
  if (!pool) return;
  auto session = TerminalSession::make(*pool);
  if (!session) return state.SkipWithError(session.error().c_str());
  // The pseudo-terminal echoes the input; only the output holds "2z".
  const std::string command = "echo $((1+1))z\n";
  std::string buffer(4096, '\0');
  for (auto _ : state) {
    if (!session->write(command)) return state.SkipWithError("write failed");
    std::string seen;
    while (seen.find("2z") == std::string::npos) {
      StreamResult n = session->read_stdout(buffer);
      if (!n || *n == 0) return state.SkipWithError("read failed");
      seen.append(buffer, 0, *n);
    }
  }
}
BENCHMARK(BM_EchoRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_SessionClose(benchmark::State& state) {
  std::optional<PoolHandle> pool = warm_pool(state);
  if (!pool) return;
  for (auto _ : state) {
    state.PauseTiming();
    auto session = TerminalSession::make(*pool);
    if (!session) return state.SkipWithError(session.error().c_str());
    state.ResumeTiming();
    session->close();
  }
}
BENCHMARK(BM_SessionClose)->Unit(benchmark::kMicrosecond);

// Closing a session whose shell is up and has answered: bash (and su's
// handling of its end) is part of what close waits for.
void BM_SessionCloseRunningShell(benchmark::State& state) {
  std::optional<PoolHandle> pool = warm_pool(state);
  if (!pool) return;
  std::string buffer(4096, '\0');
  for (auto _ : state) {
    state.PauseTiming();
    auto session = TerminalSession::make(*pool);
    if (!session) return state.SkipWithError(session.error().c_str());
    if (!session->write("echo $((1+1))z\n")) return state.SkipWithError("write failed");
    for (std::string seen; seen.find("2z") == std::string::npos;) {
      StreamResult n = session->read_stdout(buffer);
      if (!n || *n == 0) return state.SkipWithError("read failed");
      seen.append(buffer, 0, *n);
    }
    state.ResumeTiming();
    session->close();
  }
}
BENCHMARK(BM_SessionCloseRunningShell)->Unit(benchmark::kMicrosecond);

// The control groups of a default pool's session on this host, under a name
// no account has.
std::optional<SessionCgroup> command_groups(benchmark::State& state) {
  std::expected<SandboxPolicy, std::string> policy = SandboxPolicy::make(WallRequest{});
  if (::geteuid() != 0 || !policy || !policy->walls.cgroup) {
    state.SkipWithError("needs root and control groups");
    return std::nullopt;
  }
  HostResult<SessionCgroup> group =
      SessionCgroup::create(policy->cgroups, "bench-commands", policy->limits,
                            std::chrono::steady_clock::now() + std::chrono::seconds(3));
  if (!group) {
    state.SkipWithError(group.error().message().c_str());
    return std::nullopt;
  }
  return std::move(*group);
}

// Reading one command's figures from its leaf, as run does once it ended.
void BM_CommandFigures(benchmark::State& state) {
  std::optional<SessionCgroup> group = command_groups(state);
  if (!group) return;
  if (!group->join("figures")) return state.SkipWithError("join failed");
  for (auto _ : state) benchmark::DoNotOptimize(group->leaf_usage("figures"));
  [[maybe_unused]] HostResult<void> removed = group->remove(std::chrono::steady_clock::now());
}
BENCHMARK(BM_CommandFigures)->Unit(benchmark::kMicrosecond);

// Making a command's leaf (what a process needs to join it opened) and
// removing it again, empty.
void BM_CommandLeaf(benchmark::State& state) {
  std::optional<SessionCgroup> group = command_groups(state);
  if (!group) return;
  for (auto _ : state) {
    if (!group->join("leaf")) return state.SkipWithError("join failed");
    if (!group->remove_leaf("leaf", std::chrono::steady_clock::now())) {
      return state.SkipWithError("remove failed");
    }
  }
  [[maybe_unused]] HostResult<void> removed = group->remove(std::chrono::steady_clock::now());
}
BENCHMARK(BM_CommandLeaf)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace lumvex
