#!/usr/bin/env bash
# Mutation testing of the Python companions (python/lumvex_protocol and
# python/_lumvex_session_files) with mutmut, against the tests that exercise
# them:
#
#   scripts/mutate_python.sh [MUTMUT-RUN-ARGUMENTS...]
#
# It runs in the active virtual environment, whose lumvex module is the one
# the tests use (install it first, as for the test command), and installs
# mutmut there when it is missing. The sources and the tests are staged in
# build/mutmut (mutmut mutates copies of them in build/mutmut/mutants, never
# the tree itself). At the end it prints every mutant that survived, the
# mutants that scripts/mutants_python.txt lists as equivalent (with the
# reason), and the score: killed / (killed + survived - equivalent).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
stage=$root/build/mutmut
tests=(conftest.py test_protocol.py test_protocol_refusals.py test_open_file.py
  test_session_files.py)

python=${VIRTUAL_ENV:+$VIRTUAL_ENV/bin/}python3
"$python" -c 'import lumvex' || {
  echo "error: lumvex is not installed in this environment" >&2
  exit 1
}
"$python" -m mutmut --help >/dev/null 2>&1 || "$python" -m pip install -q "mutmut>=3.3"

rm -rf "$stage"
mkdir -p "$stage/src" "$stage/tests"
cp -r python/lumvex_protocol python/_lumvex_session_files "$stage/src/"
for test in "${tests[@]}"; do cp "tests/python/$test" "$stage/tests/"; done
cat >"$stage/pyproject.toml" <<'EOF'
[tool.mutmut]
source_paths = ["src/lumvex_protocol", "src/_lumvex_session_files"]
pytest_add_cli_args = ["-p", "no:cacheprovider", "-q"]
pytest_add_cli_args_test_selection = ["tests"]
EOF

start=$(date +%s)
cd "$stage"
# Sessions of the lumvex module are not used by these tests; fsspec finds
# the protocol by its module name, which mutmut's copy answers first.
PYTHONDONTWRITEBYTECODE=1 "$python" -m mutmut run --max-children "${LUMVEX_JOBS:-2}" "$@" || true
"$python" -m mutmut results --all true >"$stage/results.txt" 2>&1 || true
"$python" - "$stage/results.txt" "$root/scripts/mutants_python.txt" "$(($(date +%s) - start))" <<'EOF'
import re
import sys

results, equivalent_file, seconds = sys.argv[1], sys.argv[2], sys.argv[3]
status = {}
for line in open(results):
    match = re.match(r"\s*(\S+): (\S.*)$", line)
    if match:
        status[match.group(1)] = match.group(2).strip()
equivalent = {}
for line in open(equivalent_file):
    line = line.strip()
    if line and not line.startswith("#"):
        name, _, why = line.partition(" ")
        equivalent[name] = why.strip()
survived = [n for n, s in status.items() if s == "survived" and n not in equivalent]
for name in survived:
    print(f"MISSED {name}")
for name, why in equivalent.items():
    print(f"EQUIVALENT {name}: {why} ({status.get(name, 'not found')})")
killed = sum(1 for n, s in status.items() if s in ("killed", "timeout") and n not in equivalent)
by_module = {}
for name, s in status.items():
    module = name.split(".")[0]
    row = by_module.setdefault(module, [0, 0])
    if name in equivalent:
        continue
    if s in ("killed", "timeout"):
        row[0] += 1
    elif s == "survived":
        row[1] += 1
for module, (k, m) in sorted(by_module.items()):
    print(f"{module}: {k} caught, {m} missed: score {100 * k / max(1, k + m):.0f} %")
others = {s for s in status.values()} - {"killed", "survived", "timeout"}
if others:
    print("other outcomes:", ", ".join(sorted(others)))
print(f"Time: {seconds} s (results: {results})")
EOF
