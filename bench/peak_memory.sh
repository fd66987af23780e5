#!/usr/bin/env bash
# Peak memory (maximum resident set size) of one whole simulated update, run
# by each executable with the console front end and the latency of a real
# controller:
#   bash bench/peak_memory.sh [BUILD_DIR]     (default: build)
# A measurement, not a test: it prints the figures and fails only when a run
# fails.
set -euo pipefail
dir=${1:-build}
exes=("$dir/frontends/FirmwareUpgrade-cli" "$dir/frontends/FirmwareUpgrade")
for exe in "${exes[@]}"; do
  if [ ! -x "$exe" ]; then echo "missing: $exe (build it first)" >&2; exit 1; fi
done
for exe in "${exes[@]}"; do
  out=$(mktemp)
  # The Qt executable also takes --console; without a display it would pick it anyway.
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    /usr/bin/time -f '%M' -o "$out" "$exe" --console --simulate --update >/dev/null
  printf '%-22s %6d KB peak resident\n' "$(basename "$exe")" "$(tail -n 1 "$out")"
  rm -f "$out"
done
