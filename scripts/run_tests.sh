#!/usr/bin/env bash
# Runs every test suite and check of lumvex:
#   1. the layout of every C++ source, checked by clang-format, and the core,
#      the C++ tests and the module compiled by clang with its thread-safety
#      analysis;
#   2. the wheel: `pip wheel .` must give one cp311-abi3 wheel, which
#      auditwheel must find manylinux and repair; it is then installed into
#      the active virtual environment at once;
#   3. the C++ suite (GoogleTest) run plain, under ThreadSanitizer, and under
#      AddressSanitizer + UndefinedBehaviorSanitizer;
#   4. the libFuzzer targets, 60 seconds each (scripts/run_fuzz.sh);
#   5. the Python suite (pytest, with the model-based test of the filesystem
#      and terminal) with that one wheel, in a fresh virtual
#      environment of each of CPython 3.11, 3.12 and 3.13 (pyenv's, or
#      python3.X on PATH); a missing interpreter is a failure;
#   6. the type stubs: stubtest, mypy and pyright (basedpyright).
#
#   scripts/run_tests.sh [--quick]
#
# With --quick, for everyday work, it runs in a few minutes: the layout
# check, one build (the module, installed into the active virtual
# environment, and the C++ tests, in build/quick), the C++ suite without
# sanitizers and the Python suite on the active environment's CPython.
#
# It works in the active virtual environment (it makes build/venv when none
# is active) and installs what it needs there (tests/requirements.txt). Root
# is needed for two things only, and the script says when it asks:
# installing Debian's packages (GoogleTest, clang 19) when they are missing,
# and the tests that make real host accounts and sessions. Not root, it uses
# sudo for those where sudo exists, and otherwise leaves the session tests
# skipped.
#
# The suites run under a host-wide lock (the file named by
# LUMVEX_NAME_SEQUENCE_LOCK, /run/lock/lumvex-name-sequence.lock unless set),
# which the script says it takes and exports: the tests of the fixed
# sequence of account names rely on no other run of this command making
# accounts meanwhile. A second run waits for the first.
#
# Every step runs, whatever failed before it (a step that needs a failed one,
# such as the Python suite without a wheel, counts as failed too); the run
# ends with the list of failed steps and exits non-zero if there is any.
# Output: one line per step, each runner's summary and, during a long step,
# a line at least every 30 seconds; the log of a step that fails (all logs
# are kept in build/logs).
#
# With LUMVEX_NO_SKIPS set (CI sets it), a skipped test fails the run.
# LUMVEX_JOBS sets the build parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *)
    printf 'usage: %s [--quick]\n' "$0" >&2
    exit 2
    ;;
esac
jobs=${LUMVEX_JOBS:-2}
logs=$root/build/logs
mkdir -p "$logs"
python_versions=(3.11 3.12 3.13)
failures=()

say() { printf '%s\n' "$*"; }
# fail MESSAGE: stops the run (for what no later step can do without).
fail() {
  say "error: $*" >&2
  exit 1
}
# failed STEP: records STEP as failed; the run goes on.
failed() { failures+=("$1"); }

# tick NAME / untick: while a step runs, a line every 30 seconds with its
# name and the time it has taken so far.
ticker=
tick() {
  local name=$1 start
  start=$(date +%s)
  (
    while sleep 30 </dev/null >/dev/null 2>&1; do
      say "  ... $name: $(($(date +%s) - start)) s"
    done
  ) &
  ticker=$!
}
untick() {
  if [[ -n "$ticker" ]]; then
    kill "$ticker" 2>/dev/null || true
    wait "$ticker" 2>/dev/null || true
    ticker=
  fi
}
trap 'untick; release_name_sequence_lock' EXIT

# run [--summary] STEP LOG COMMAND...: runs COMMAND with its output in
# build/logs/LOG and progress lines meanwhile. If it fails: shows the log's
# end, records STEP as failed and returns 1. With --summary (for a test
# runner), a failure shows the whole log and a success its last line.
run() {
  local summary=
  if [[ "$1" == --summary ]]; then
    summary=1
    shift
  fi
  local step=$1 log=$logs/$2 status=0
  shift 2
  tick "$step"
  "$@" >"$log" 2>&1 || status=$?
  untick
  if ((status == 0)); then
    [[ -z "$summary" ]] || tail -n 1 "$log"
    return 0
  fi
  if [[ -n "$summary" ]]; then
    cat "$log" >&2
  else
    say "FAILED ($step): $*" >&2
    tail -n 150 "$log" >&2
  fi
  say "FAILED: $step (whole log: $log)" >&2
  failed "$step"
  return 1
}

# in_python_tests COMMAND...: runs COMMAND in tests/python.
in_python_tests() { (cd "$root/tests/python" && "$@"); }

# as_root COMMAND...: runs COMMAND as root (directly, or through sudo);
# returns 125 when neither is possible.
as_root() {
  if ((EUID == 0)); then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    return 125
  fi
}
can_be_root() { ((EUID == 0)) || command -v sudo >/dev/null; }

# Ends the run: the failed steps, if any.
finish() {
  untick
  release_name_sequence_lock
  if ((${#failures[@]})); then
    say "=== ${#failures[@]} step(s) failed:" >&2
    printf '  %s\n' "${failures[@]}" >&2
    exit 1
  fi
  say "=== Everything passed."
  exit 0
}

# --- environment -------------------------------------------------------------

python=$(command -v python || command -v python3 || true)
if [[ -n "${VIRTUAL_ENV:-}" && -x "$VIRTUAL_ENV/bin/python" ]]; then
  python=$VIRTUAL_ENV/bin/python
elif [[ -z "$python" ]] || ! "$python" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
  say "No virtual environment is active: using build/venv."
  [[ -x build/venv/bin/python ]] || run venv venv.log python3 -m venv build/venv ||
    fail "cannot make build/venv"
  python=$root/build/venv/bin/python
fi
venv_bin=$(dirname "$python")
export PATH="$venv_bin:$PATH"
say "=== Environment: $("$python" -c 'import sys; print(sys.prefix)')"

# Debian packages: GoogleTest for the C++ suite; clang-format for the layout
# check; clang 19 and its runtime for the thread-safety analysis and the
# fuzz targets (not needed by --quick); pasta and nft for the sessions'
# private networks and their allow-lists.
debian_packages=(libgtest-dev clang-format-19 passt nftables)
[[ -n "$quick" ]] || debian_packages+=(clang-19 libclang-rt-19-dev)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  can_be_root || fail "missing Debian packages: ${missing[*]} (as root: apt-get install ${missing[*]})"
  ((EUID == 0)) || say "Installing Debian's ${missing[*]} with sudo (it needs root)."
  run "Debian packages" apt.log as_root env DEBIAN_FRONTEND=noninteractive \
    sh -c "apt-get update -qq && apt-get install -y -qq ${missing[*]}" ||
    fail "cannot install Debian's ${missing[*]}"
fi

# --quick builds the module in place (no isolated build environment), so that
# its build directory stays the same from run to run.
if [[ -n "$quick" ]]; then
  tools=(-r tests/python/requirements.txt "scikit-build-core>=0.11")
else
  tools=(-r tests/requirements.txt)
fi
cmake_ok() { cmake --version 2>/dev/null | awk 'NR == 1 { split($3, v, "."); exit !(v[1] > 3 || (v[1] == 3 && v[2] >= 24)) }'; }
cmake_ok || tools+=(cmake)
command -v ninja >/dev/null || tools+=(ninja)
run "test tools" pip-tools.log "$python" -m pip install --disable-pip-version-check -q "${tools[@]}" ||
  fail "cannot install the test tools into $("$python" -c 'import sys; print(sys.prefix)')"

# --- the host-wide lock ------------------------------------------------------

# Taken before the first suite and held to the end of the run by a small
# process of its own, which lets go once this script has ended. (No program
# the tests start inherits the lock, so none left running can keep it.) Every
# user must be able to take it: whoever makes the file leaves it readable to
# all, and a lock on a descriptor open for reading is as good as any.
lock_holder=
take_name_sequence_lock() {
  local path=${LUMVEX_NAME_SEQUENCE_LOCK:-} held waited=
  if [[ -z "$path" ]]; then
    path=/run/lock/lumvex-name-sequence.lock
    [[ -d /run/lock && -w /run/lock ]] || path=/tmp/lumvex-name-sequence.lock
  fi
  say "Taking the host-wide lock $path: the tests of the fixed account-name sequence run under it."
  [[ -e "$path" ]] || (umask 022 && : >>"$path") 2>/dev/null || true
  held=$(mktemp -u "$logs/lock-held.XXXXXX")
  sh -c 'exec 9<"$1" && flock 9 && : >"$2" && while kill -0 "$3" 2>/dev/null; do sleep 1 9<&-; done' \
    sh "$path" "$held" "$$" </dev/null >/dev/null 2>&1 &
  lock_holder=$!
  local tries=0
  until [[ -e "$held" ]]; do
    kill -0 "$lock_holder" 2>/dev/null || fail "cannot take the lock $path"
    if ((++tries == 10)); then
      say "Another run holds $path; waiting for it."
      waited=1
      tick "waiting for $path"
    fi
    sleep 0.2
  done
  [[ -z "$waited" ]] || untick
  rm -f "$held"
  export LUMVEX_NAME_SEQUENCE_LOCK=$path
}
release_name_sequence_lock() {
  if [[ -n "$lock_holder" ]]; then
    kill "$lock_holder" 2>/dev/null || true
    wait "$lock_holder" 2>/dev/null || true
    lock_holder=
  fi
}

# --- steps -------------------------------------------------------------------

# Every C++ source laid out as .clang-format says.
check_layout() {
  say "=== C++ layout (clang-format)"
  run "C++ layout" clang-format.log sh -c "cd '$root' && find src tests fuzz bench examples \\( -name '*.cpp' -o -name '*.hpp' \\) -print0 |
    xargs -0 clang-format-19 --dry-run -Werror" && say "clean"
  return 0
}

# cpp_tests NAME DIR: runs the C++ suite built in DIR. The host tests (label
# "host") need root; without it they run through sudo, straight from their
# executables, so that no file in the build tree becomes root's.
cpp_tests() {
  local name=$1 dir=$2 step="C++ suite $1"
  local select=() log=$logs/cpp-$name-ctest.log status=0
  ((EUID == 0)) || select=(-LE host)
  tick "$step"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${select[@]}" >"$log" 2>&1 || status=$?
  untick
  if ((status != 0)); then
    grep -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log" >&2 || true
    say "FAILED: $step (log: $log)" >&2
    failed "$step"
  else
    grep -E 'tests passed|tests failed' "$log" || true
  fi
  if [[ -n "${LUMVEX_NO_SKIPS:-}" ]] && grep -q "tests did not run" "$log"; then
    grep -A 1000 "tests did not run" "$log" >&2
    say "FAILED: tests were skipped in a run that allows no skips" >&2
    failed "$step: skipped tests"
  fi
  ((EUID == 0)) && return 0
  if ! can_be_root; then
    say "The host-session tests were left out: they need root."
    [[ -z "${LUMVEX_NO_SKIPS:-}" ]] || failed "$step: host-session tests skipped (no root)"
    return 0
  fi
  say "Running the host-session tests with sudo (they need root)."
  local test
  for test in "$dir"/tests/cpp/pool_*_test "$dir"/tests/cpp/sandbox_store_test; do
    run "$step: ${test##*/}" "cpp-$name-${test##*/}.log" as_root env \
      "TSAN_OPTIONS=${TSAN_OPTIONS:-}" "ASAN_OPTIONS=${ASAN_OPTIONS:-}" \
      "UBSAN_OPTIONS=${UBSAN_OPTIONS:-}" "LUMVEX_NAME_SEQUENCE_LOCK=${LUMVEX_NAME_SEQUENCE_LOCK:-}" \
      "$test" --gtest_brief=1 && tail -n 1 "$logs/cpp-$name-${test##*/}.log"
  done
  return 0
}

# run_cpp_suite NAME CMAKE-ARGUMENTS...: builds the C++ suite in
# build/test-NAME and runs it.
run_cpp_suite() {
  local name=$1 dir=$root/build/test-$1
  shift
  say "=== C++ suite: $name"
  run "C++ suite $name: build" "cpp-$name-build.log" sh -c "cmake -S '$root' -B '$dir' -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMVEX_BUILD_TESTS=ON -DLUMVEX_BUILD_PYTHON=OFF \
    -DLUMVEX_WERROR=ON $* && cmake --build '$dir' -j '$jobs'" || return 0
  cpp_tests "$name" "$dir"
}

# python_tests LABEL PYTHON: runs the Python suite with PYTHON, in whose
# environment lumvex is installed. Not root, the session tests run apart,
# through sudo.
python_tests() {
  local label=$1 interpreter=$2 step="Python suite: CPython $1"
  say "=== $step"
  local pytest=(-m pytest -q -p no:cacheprovider)
  local sessions_apart=
  if ((EUID != 0)) && can_be_root; then
    sessions_apart=1
    pytest+=(--ignore=test_sessions.py)
  fi
  run --summary "$step" "python-$label.log" in_python_tests env PYTHONDONTWRITEBYTECODE=1 \
    "$interpreter" "${pytest[@]}" || true
  if [[ -n "$sessions_apart" ]]; then
    say "Running the session tests with sudo (they need root)."
    run --summary "$step: session tests" "python-$label-sessions.log" in_python_tests as_root env \
      PYTHONDONTWRITEBYTECODE=1 "LUMVEX_NO_SKIPS=${LUMVEX_NO_SKIPS:-}" \
      "LUMVEX_NAME_SEQUENCE_LOCK=${LUMVEX_NAME_SEQUENCE_LOCK:-}" \
      "$interpreter" -m pytest -q -p no:cacheprovider test_sessions.py || true
  elif ((EUID != 0)); then
    say "(the session tests that need root were skipped)"
  fi
  return 0
}

find_python() {  # version -> path of that CPython, or nothing
  local prefix
  if command -v pyenv >/dev/null && prefix=$(pyenv prefix "$1" 2>/dev/null) &&
    [[ -x "$prefix/bin/python$1" ]]; then
    say "$prefix/bin/python$1"
  else
    command -v "python$1" || true
  fi
}

# run_python_suite VERSION: the Python suite with the wheel, in a fresh
# virtual environment of that CPython.
run_python_suite() {
  local version=$1 interpreter venv step="Python suite: CPython $1"
  if [[ -z "$wheel" ]]; then
    say "=== $step: not run, there is no wheel" >&2
    failed "$step (no wheel)"
    return 0
  fi
  interpreter=$(find_python "$version")
  if [[ -z "$interpreter" ]]; then
    say "=== $step: CPython $version not found (neither through pyenv nor as python$version)" >&2
    failed "$step (no interpreter)"
    return 0
  fi
  venv=$root/build/venvs/py$version
  rm -rf "$venv"
  run "$step: venv" "venv-$version.log" "$interpreter" -m venv "$venv" || return 0
  run "$step: install" "pip-$version.log" "$venv/bin/python" -m pip install \
    --disable-pip-version-check -q "$wheel" -r "$root/tests/python/requirements.txt" || return 0
  python_tests "$("$venv/bin/python" -c 'import platform; print(platform.python_version())')" \
    "$venv/bin/python"
}

# build_wheel: builds, checks and repairs the one wheel and installs it into
# the active environment; sets `wheel` (empty if any of that failed).
wheel=
build_wheel() {
  say "=== Wheel"
  local wheels=$root/build/wheelhouse built repaired tag glibc_minor
  rm -rf "$wheels"
  run "wheel: build" wheel-build.log "$python" -m pip wheel --disable-pip-version-check --no-deps \
    -w "$wheels/raw" -C build-dir=build/wheel -C cmake.define.LUMVEX_WERROR=ON "$root" || return 0
  shopt -s nullglob
  built=("$wheels"/raw/*.whl)
  shopt -u nullglob
  if ((${#built[@]} != 1)); then
    say "FAILED: pip wheel made ${#built[@]} wheels, not one: ${built[*]##*/}" >&2
    failed "wheel: one wheel"
    return 0
  fi
  if [[ ${built[0]##*/} != lumvex-*-cp311-abi3-linux_*.whl ]]; then
    say "FAILED: not a cp311-abi3 wheel: ${built[0]##*/}" >&2
    failed "wheel: cp311-abi3"
    return 0
  fi
  run "wheel: auditwheel show" auditwheel-show.log auditwheel show "${built[0]}" || return 0
  tag=$(tr -s ' \n' ' ' <"$logs/auditwheel-show.log" | grep -o '"manylinux_[0-9a-z_]*"' | head -n 1 || true)
  if [[ -z "$tag" ]]; then
    cat "$logs/auditwheel-show.log" >&2
    say "FAILED: auditwheel finds no manylinux tag" >&2
    failed "wheel: manylinux"
    return 0
  fi
  # The module needs nothing newer than glibc 2.34 (Debian 12 ships 2.36).
  glibc_minor=${tag#\"manylinux_2_}
  glibc_minor=${glibc_minor%%_*}
  if ((glibc_minor > 34)); then
    say "FAILED: the wheel needs glibc 2.$glibc_minor (auditwheel: $tag), more than 2.34" >&2
    failed "wheel: glibc 2.34"
    return 0
  fi
  run "wheel: auditwheel repair" auditwheel-repair.log auditwheel repair -w "$wheels" "${built[0]}" ||
    return 0
  shopt -s nullglob
  repaired=("$wheels"/*manylinux*.whl)
  shopt -u nullglob
  if ((${#repaired[@]} != 1)); then
    say "FAILED: auditwheel repair made ${#repaired[@]} wheels" >&2
    failed "wheel: repair"
    return 0
  fi
  say "${built[0]##*/}: consistent with $tag; repaired: ${repaired[0]##*/}"
  run "wheel: install" pip-wheel-install.log "$python" -m pip install --disable-pip-version-check -q \
    --force-reinstall --no-deps "${repaired[0]}" || return 0
  say "Installed into $("$python" -c 'import sys; print(sys.prefix)')."
  wheel=${repaired[0]}
}

# --- the quick run -----------------------------------------------------------

if [[ -n "$quick" ]]; then
  check_layout
  take_name_sequence_lock
  # One build: scikit-build-core configures build/quick with the C++ tests
  # on, builds everything there and installs the module.
  say "=== Build: the module (installed into the environment) and the C++ tests, in build/quick"
  if run "build" quick-build.log "$python" -m pip install --disable-pip-version-check -q \
    --no-build-isolation --no-deps --force-reinstall -C build-dir=build/quick \
    -C cmake.build-type=RelWithDebInfo -C cmake.define.LUMVEX_BUILD_TESTS=ON \
    -C cmake.define.LUMVEX_WERROR=ON "$root"; then
    cpp_tests quick "$root/build/quick"
    python_tests "$("$python" -c 'import platform; print(platform.python_version())')" "$python"
  else
    failed "C++ suite quick (no build)"
    failed "Python suite (no build)"
  fi
  finish
fi

# --- the full run ------------------------------------------------------------

check_layout

# The lock discipline, checked by clang: the core, the tests and the module
# compiled with -Wthread-safety and -Werror.
say "=== C++ thread-safety analysis (clang)"
run "C++ thread-safety analysis" cpp-thread-safety.log sh -c "CXX=clang++-19 cmake -S '$root' \
  -B '$root/build/thread-safety' -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMVEX_BUILD_TESTS=ON \
  -DLUMVEX_BUILD_PYTHON=ON -DLUMVEX_WERROR=ON -DLUMVEX_THREAD_SAFETY=ON &&
  cmake --build '$root/build/thread-safety' -j '$jobs'" && say "clean"

build_wheel

take_name_sequence_lock

run_cpp_suite plain
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_cpp_suite tsan -DLUMVEX_SANITIZE=thread
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  run_cpp_suite asan -DLUMVEX_SANITIZE=address

# Each libFuzzer target for LUMVEX_FUZZ_SECONDS (default 60) on its seeds.
say "=== Fuzzing: ${LUMVEX_FUZZ_SECONDS:-60} s per target"
run "fuzzing" fuzz.log "$root/scripts/run_fuzz.sh" "${LUMVEX_FUZZ_SECONDS:-60}" &&
  grep -E '_fuzzer: ' "$logs/fuzz.log"

for version in "${python_versions[@]}"; do
  run_python_suite "$version"
done

say "=== Type stubs"
if [[ -z "$wheel" ]]; then
  say "not run: there is no wheel" >&2
  failed "type stubs (no wheel)"
else
  run "type stubs" type-stubs.log "$python" tests/typing/check_types.py && cat "$logs/type-stubs.log"
fi

finish
