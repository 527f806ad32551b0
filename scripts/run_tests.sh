#!/usr/bin/env bash
# Runs every test suite and check of lumvex:
#   1. the C++ suite (GoogleTest): its layout checked by clang-format;
#      compiled by clang with its thread-safety analysis, then run plain,
#      under ThreadSanitizer, and under AddressSanitizer +
#      UndefinedBehaviorSanitizer;
#   2. the libFuzzer targets, 60 seconds each (scripts/run_fuzz.sh);
#   3. the wheel: `pip wheel .` must give one cp311-abi3 wheel, which
#      auditwheel must find manylinux and repair;
#   4. the Python suite (pytest, with the model-based test of the filesystem
#      and terminal) with that one wheel, in a fresh virtual
#      environment of each of CPython 3.11, 3.12 and 3.13 (pyenv's, or
#      python3.X on PATH); a missing interpreter is a failure;
#   5. the type stubs: stubtest, mypy and pyright (basedpyright).
#
# It works in the active virtual environment (it makes build/venv when none
# is active) and installs what it needs there (tests/requirements.txt); the
# wheel ends up installed there too. Root is needed for two things only, and
# the script says when it asks: installing Debian's packages (GoogleTest,
# clang 19) when they are missing, and the tests that make real host
# accounts and sessions. Not root, it uses sudo for those where sudo exists,
# and otherwise leaves the session tests skipped.
#
# Output: one line per step and each runner's summary; the log of a step that
# fails (all logs are kept in build/logs).
#
# With LUMVEX_NO_SKIPS set (CI sets it), a skipped test fails the run.
# LUMVEX_JOBS sets the build parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${LUMVEX_JOBS:-2}
logs=$root/build/logs
mkdir -p "$logs"
python_versions=(3.11 3.12 3.13)

say() { printf '%s\n' "$*"; }
fail() {
  say "error: $*" >&2
  exit 1
}

# run LOG COMMAND...: runs COMMAND with its output in build/logs/LOG; shows
# the log's end and stops if it fails.
run() {
  local log=$logs/$1
  shift
  if ! "$@" >"$log" 2>&1; then
    say "FAILED: $*" >&2
    tail -n 150 "$log" >&2
    say "(whole log: $log)" >&2
    exit 1
  fi
}

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

# --- environment -------------------------------------------------------------

python=$(command -v python || command -v python3 || true)
if [[ -n "${VIRTUAL_ENV:-}" && -x "$VIRTUAL_ENV/bin/python" ]]; then
  python=$VIRTUAL_ENV/bin/python
elif [[ -z "$python" ]] || ! "$python" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
  say "No virtual environment is active: using build/venv."
  [[ -x build/venv/bin/python ]] || run venv.log python3 -m venv build/venv
  python=$root/build/venv/bin/python
fi
venv_bin=$(dirname "$python")
export PATH="$venv_bin:$PATH"
say "=== Environment: $("$python" -c 'import sys; print(sys.prefix)')"

# Debian packages: GoogleTest for the C++ suite; clang 19 and its runtime for
# the thread-safety analysis and the fuzz targets; clang-format for the
# layout check.
debian_packages=(libgtest-dev clang-19 libclang-rt-19-dev clang-format-19)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  can_be_root || fail "missing Debian packages: ${missing[*]} (as root: apt-get install ${missing[*]})"
  ((EUID == 0)) || say "Installing Debian's ${missing[*]} with sudo (it needs root)."
  run apt.log as_root env DEBIAN_FRONTEND=noninteractive \
    sh -c "apt-get update -qq && apt-get install -y -qq ${missing[*]}"
fi

tools=(-r tests/requirements.txt)
cmake_ok() { cmake --version 2>/dev/null | awk 'NR == 1 { split($3, v, "."); exit !(v[1] > 3 || (v[1] == 3 && v[2] >= 24)) }'; }
cmake_ok || tools+=(cmake)
command -v ninja >/dev/null || tools+=(ninja)
run pip-tools.log "$python" -m pip install --disable-pip-version-check -q "${tools[@]}"

# --- C++ suite -----------------------------------------------------------------

# The host tests (label "host") need root; without it they run through sudo,
# straight from their executables, so that no file in the build tree becomes
# root's.
run_cpp_suite() {  # name, extra cmake arguments...
  local name=$1 dir=$root/build/test-$1
  shift
  say "=== C++ suite: $name"
  run "cpp-$name-build.log" sh -c "cmake -S '$root' -B '$dir' -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMVEX_BUILD_TESTS=ON -DLUMVEX_BUILD_PYTHON=OFF -DLUMVEX_WERROR=ON $* && cmake --build '$dir' -j '$jobs'"
  local select=() log=$logs/cpp-$name-ctest.log
  ((EUID == 0)) || select=(-LE host)
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${select[@]}" >"$log" 2>&1; then
    grep -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log" >&2
    fail "C++ suite $name failed (log: $log)"
  fi
  grep -E 'tests passed|tests failed' "$log"
  if [[ -n "${LUMVEX_NO_SKIPS:-}" ]] && grep -q "tests did not run" "$log"; then
    grep -A 1000 "tests did not run" "$log" >&2
    fail "tests were skipped in a run that allows no skips"
  fi
  ((EUID == 0)) && return
  if ! can_be_root; then
    say "The host-session tests were left out: they need root."
    [[ -z "${LUMVEX_NO_SKIPS:-}" ]] || fail "tests were skipped in a run that allows no skips"
    return
  fi
  say "Running the host-session tests with sudo (they need root)."
  local test
  for test in "$dir"/tests/cpp/pool_*_test; do
    run "cpp-$name-${test##*/}.log" as_root env "TSAN_OPTIONS=${TSAN_OPTIONS:-}" \
      "ASAN_OPTIONS=${ASAN_OPTIONS:-}" "UBSAN_OPTIONS=${UBSAN_OPTIONS:-}" "$test" --gtest_brief=1
    tail -n 1 "$logs/cpp-$name-${test##*/}.log"
  done
}

# Every C++ source laid out as .clang-format says.
say "=== C++ layout (clang-format)"
run clang-format.log sh -c "cd '$root' && find src tests fuzz bench examples \\( -name '*.cpp' -o -name '*.hpp' \\) -print0 |
  xargs -0 clang-format-19 --dry-run -Werror"
say "clean"

# The lock discipline, checked by clang: the core, the tests and the module
# compiled with -Wthread-safety and -Werror.
say "=== C++ thread-safety analysis (clang)"
run cpp-thread-safety.log sh -c "CXX=clang++-19 cmake -S '$root' -B '$root/build/thread-safety' -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DLUMVEX_BUILD_TESTS=ON -DLUMVEX_BUILD_PYTHON=ON -DLUMVEX_WERROR=ON \
  -DLUMVEX_THREAD_SAFETY=ON && cmake --build '$root/build/thread-safety' -j '$jobs'"
say "clean"

run_cpp_suite plain
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_cpp_suite tsan -DLUMVEX_SANITIZE=thread
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  run_cpp_suite asan -DLUMVEX_SANITIZE=address

# --- fuzzing -------------------------------------------------------------------

# Each libFuzzer target for LUMVEX_FUZZ_SECONDS (default 60) on its seeds.
say "=== Fuzzing: ${LUMVEX_FUZZ_SECONDS:-60} s per target"
run fuzz.log "$root/scripts/run_fuzz.sh" "${LUMVEX_FUZZ_SECONDS:-60}"
grep -E '_fuzzer: ' "$logs/fuzz.log"

# --- the wheel -----------------------------------------------------------------

say "=== Wheel"
wheels=$root/build/wheelhouse
rm -rf "$wheels"
run wheel-build.log "$python" -m pip wheel --disable-pip-version-check --no-deps -w "$wheels/raw" \
  -C build-dir=build/wheel -C cmake.define.LUMVEX_WERROR=ON "$root"
shopt -s nullglob
built=("$wheels"/raw/*.whl)
((${#built[@]} == 1)) || fail "pip wheel made ${#built[@]} wheels, not one: ${built[*]##*/}"
[[ ${built[0]##*/} == lumvex-*-cp311-abi3-linux_*.whl ]] || fail "not a cp311-abi3 wheel: ${built[0]##*/}"
run auditwheel-show.log auditwheel show "${built[0]}"
tag=$(tr -s ' \n' ' ' <"$logs/auditwheel-show.log" | grep -o '"manylinux_[0-9a-z_]*"' | head -n 1 || true)
[[ -n "$tag" ]] || { cat "$logs/auditwheel-show.log" >&2; fail "auditwheel finds no manylinux tag"; }
# The module needs nothing newer than glibc 2.34 (Debian 12 ships 2.36).
glibc_minor=${tag#\"manylinux_2_}
glibc_minor=${glibc_minor%%_*}
((glibc_minor <= 34)) || fail "the wheel needs glibc 2.$glibc_minor (auditwheel: $tag), more than 2.34"
run auditwheel-repair.log auditwheel repair -w "$wheels" "${built[0]}"
repaired=("$wheels"/*manylinux*.whl)
((${#repaired[@]} == 1)) || fail "auditwheel repair made ${#repaired[@]} wheels"
wheel=${repaired[0]}
shopt -u nullglob
say "${built[0]##*/}: consistent with $tag; repaired: ${wheel##*/}"

# --- Python suite on every interpreter -----------------------------------------

find_python() {  # version -> path of that CPython, or nothing
  local prefix
  if command -v pyenv >/dev/null && prefix=$(pyenv prefix "$1" 2>/dev/null) &&
    [[ -x "$prefix/bin/python$1" ]]; then
    say "$prefix/bin/python$1"
  else
    command -v "python$1" || true
  fi
}

run_python_suite() {  # version
  local version=$1 interpreter venv log
  interpreter=$(find_python "$version")
  [[ -n "$interpreter" ]] || fail "CPython $version not found (neither through pyenv nor as python$version)"
  venv=$root/build/venvs/py$version
  rm -rf "$venv"
  run "venv-$version.log" "$interpreter" -m venv "$venv"
  run "pip-$version.log" "$venv/bin/python" -m pip install --disable-pip-version-check -q \
    "$wheel" -r "$root/tests/python/requirements.txt"
  say "=== Python suite: CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version())')"
  local pytest=(-m pytest -q -p no:cacheprovider)
  local sessions_apart=
  if ((EUID != 0)) && can_be_root; then
    sessions_apart=1
    pytest+=(--ignore=test_sessions.py)
  fi
  log=$logs/python-$version.log
  if ! (cd "$root/tests/python" && PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" "${pytest[@]}") >"$log" 2>&1; then
    cat "$log" >&2
    fail "Python suite failed on CPython $version"
  fi
  tail -n 1 "$log"
  if [[ -n "$sessions_apart" ]]; then
    say "Running the session tests with sudo (they need root)."
    log=$logs/python-$version-sessions.log
    if ! (cd "$root/tests/python" && as_root env PYTHONDONTWRITEBYTECODE=1 \
      "LUMVEX_NO_SKIPS=${LUMVEX_NO_SKIPS:-}" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
      test_sessions.py) >"$log" 2>&1; then
      cat "$log" >&2
      fail "session tests failed on CPython $version"
    fi
    tail -n 1 "$log"
  elif ((EUID != 0)); then
    say "(the session tests that need root were skipped)"
  fi
}

for version in "${python_versions[@]}"; do
  run_python_suite "$version"
done

# --- type stubs ----------------------------------------------------------------

say "=== Type stubs"
run pip-wheel-install.log "$python" -m pip install --disable-pip-version-check -q --force-reinstall \
  --no-deps "$wheel"
"$python" tests/typing/check_types.py
