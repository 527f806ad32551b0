#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-19 in build/fuzz and runs each one
# for SECONDS (default 60) on its seed corpus in fuzz/corpus/<target>/.
# Inputs the fuzzer finds go to build/fuzz/work/<target>/, never into the
# repository; a crash, a failed check or a leak leaves its input in
# build/fuzz/artifacts/ and fails the run.
#
#   scripts/run_fuzz.sh [SECONDS [TARGET...]]
#
# LUMVEX_FUZZ_JOBS=N runs N targets at a time (default 1); LUMVEX_JOBS sets
# the build parallelism (default 2).
#
# To replay one input: build/fuzz/fuzz/<target>_fuzzer FILE; for the
# filesystem target, LUMVEX_FUZZ_TRACE=1 also prints the operations it runs.
# A found input that shows a fault goes into fuzz/corpus/<target>/ with the
# fix, so every later run replays it first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(word_split_fuzzer rm_args_fuzzer utf8_fuzzer fs_ops_fuzzer snapshot_fuzzer fork_fuzzer)
build="$root/build/fuzz"

need_apt=()
for pkg in clang-19 libclang-rt-19-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if ((${#need_apt[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install -q cmake ninja

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMVEX_BUILD_FUZZ=ON -DLUMVEX_BUILD_PYTHON=OFF \
  -DLUMVEX_WERROR=ON >/dev/null
cmake --build "$build" -j "${LUMVEX_JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

run_one() {  # target
  local rc=0 name=${1%_fuzzer} work="$build/work/${1%_fuzzer}" art="$build/artifacts/${1%_fuzzer}"
  mkdir -p "$work" "$art"
  # The first corpus directory takes new inputs; the seeds are only read.
  "$build/fuzz/$1" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$art/" "$work" "$root/fuzz/corpus/$name" \
    >"$build/$name.log" 2>&1 || rc=$?
  local done_line execs
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$build/$name.log" | tail -1 || true)
  execs=$(grep -E '^stat::number_of_executed_units' "$build/$name.log" | awk '{print $2}' || true)
  if ((rc == 0)); then
    echo "$1: ok, ${execs:-?} executions in ${seconds}s; ${done_line:-no summary}"
  else
    echo "$1: FAILED (exit $rc); log: $build/$name.log, inputs: $art/"
    tail -n 40 "$build/$name.log"
  fi
  return $rc
}

status=0
pids=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=($!)
  if ((${#pids[@]} >= ${LUMVEX_FUZZ_JOBS:-1})); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
