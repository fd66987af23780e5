#!/usr/bin/env bash
# Sets up a Debian 12 machine and runs every test suite:
#   1. native build and tests;
#   2. the same tests built with AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the same tests built with ThreadSanitizer;
#   4. the Windows build (mingw-w64) and its tests under Wine.
# Ends with one summary line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || { echo "setup failed"; exit 1; }

jobs=${JOBS:-2}
passed=0
failed=0
summary=()

suite() {  # suite NAME BUILD_DIR [cmake args...]
  local name=$1 dir=$2
  shift 2
  echo "== $name =="
  if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; failed=$((failed + 1)); summary+=("$name: configure failed"); return
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; failed=$((failed + 1)); summary+=("$name: build failed"); return
  fi
  local out
  out=$(cd "$dir" && ctest --output-on-failure --timeout 900 2>&1)
  echo "$out" | tail -n 40
  local line total nfail
  line=$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); summary+=("$name: no test result"); return
  fi
  total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  nfail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
  summary+=("$name: $((total - nfail)) of $total passed")
}

mkdir -p build-ci
suite native build-ci/native
suite asan-ubsan build-ci/asan -DFWU_SANITIZE=ON -DFWU_BUILD_BENCH=OFF -DFWU_BUILD_QT=OFF
suite tsan build-ci/tsan -DFWU_TSAN=ON -DFWU_BUILD_BENCH=OFF -DFWU_BUILD_QT=OFF
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$root/build-ci/wineprefix}
wineboot --init >/dev/null 2>&1 || true
suite windows-wine build-ci/windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
wineserver -k >/dev/null 2>&1 || true

echo "== summary =="
for s in "${summary[@]}"; do echo "$s"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
