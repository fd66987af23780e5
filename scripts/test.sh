#!/usr/bin/env bash
# Sets up a Debian 12 machine and runs every test suite, each through its
# preset in CMakePresets.json:
#   1. native build and tests;
#   2. the same tests built with AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the same tests built with ThreadSanitizer;
#   4. the Windows build (mingw-w64) and its tests under Wine;
#   5. the kernel tier: the real tool (Linux build, and the Windows build under
#      Wine) against Debian's stock kernel in a QEMU guest, the simulated
#      controller served as a USB device (tests/kernel);
#   6. the packages: Debian packages and the Windows installer built, installed,
#      run and removed (scripts/package-test.sh);
# and checks that the sources are formatted with the repository's clang-format
# and that includes follow the layer order (scripts/check-layers.sh).
# Ends with one summary line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || { echo "setup failed"; exit 1; }

jobs=${JOBS:-2}
passed=0
failed=0
summary=()

# A JUnit report's count: junit_count FILE ATTRIBUTE ("tests", "failures", ...).
junit_count() {
  tr '\n\t' '  ' <"$1" | grep -o '<testsuite [^>]*>' | head -n 1 |
    sed -nE "s/.* $2=\"([0-9]+)\".*/\\1/p"
}

suite() {  # suite NAME PRESET
  local name=$1 preset=$2 dir=$root/build-ci/$2
  echo "== $name =="
  mkdir -p "$root/build-ci"
  if ! cmake --preset "$preset" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; failed=$((failed + 1)); summary+=("$name: configure failed"); return
  fi
  if ! cmake --build --preset "$preset" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; failed=$((failed + 1)); summary+=("$name: build failed"); return
  fi
  local junit=$dir/junit.xml status total nfail nskip
  rm -f "$junit"
  ctest --preset "$preset" --output-junit "$junit" >"$dir.test.log" 2>&1
  status=$?
  tail -n 40 "$dir.test.log"
  total=$( [ -f "$junit" ] && junit_count "$junit" tests)
  nfail=$( [ -f "$junit" ] && junit_count "$junit" failures)
  nskip=$( [ -f "$junit" ] && junit_count "$junit" skipped)
  if [ -z "$total" ] || [ -z "$nfail" ]; then
    failed=$((failed + 1)); summary+=("$name: no test result (ctest status $status)"); return
  fi
  nskip=${nskip:-0}
  # ctest's own status decides: a failing run counts at least one failure.
  if [ "$status" -ne 0 ] && [ "$nfail" -eq 0 ]; then nfail=1; fi
  passed=$((passed + total - nfail - nskip))
  failed=$((failed + nfail))
  summary+=("$name: $((total - nfail - nskip)) of $total passed (ctest status $status)")
}

script_suite() {  # script_suite NAME COMMAND...: a script ending with "N passed, N failed"
  local name=$1 log=$root/build-ci/$1.log line np nf status
  shift
  echo "== $name =="
  "$@" >"$log" 2>&1
  status=$?
  tail -n 40 "$log"
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); summary+=("$name: no test result (status $status)"); return
  fi
  np=${line%% passed*}
  nf=${line#*, }
  nf=${nf%% failed*}
  if [ "$status" -ne 0 ] && [ "$nf" -eq 0 ]; then nf=1; fi
  passed=$((passed + np))
  failed=$((failed + nf))
  summary+=("$name: $np passed, $nf failed (status $status)")
}

layer_check() {
  echo "== layers =="
  if bash scripts/check-layers.sh; then
    passed=$((passed + 1)); summary+=("layers: every include runs downwards")
  else
    failed=$((failed + 1)); summary+=("layers: includes against the layer order")
  fi
}

format_check() {
  echo "== format =="
  local unformatted
  unformatted=$(git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror 2>&1 |
    sed -nE 's/^([^:]+):[0-9]+:[0-9]+: (error|warning):.*/\1/p' | sort -u)
  if [ -z "$unformatted" ]; then
    passed=$((passed + 1)); summary+=("format: clean")
  else
    echo "$unformatted" | sed 's/^/needs clang-format: /'
    failed=$((failed + 1)); summary+=("format: $(echo "$unformatted" | wc -l) files need clang-format")
  fi
}

suite native native
suite asan-ubsan asan
suite tsan tsan
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$root/build-ci/wineprefix}
wineboot --init >/dev/null 2>&1 || true
suite windows-wine windows
wineserver -k >/dev/null 2>&1 || true
# After the Windows suite: its build also runs under Wine inside the guest.
script_suite kernel-tier bash tests/kernel/run.sh --build "$root/build-ci/native" \
  --win-build "$root/build-ci/windows"
script_suite packages bash scripts/package-test.sh "$root/build-ci/package"
format_check
layer_check

echo "== summary =="
for s in "${summary[@]}"; do echo "$s"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
