#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds FirmwareUpgrade and runs it. Without a
# controller attached it runs against the simulated controller: the window when
# a display is available, otherwise the console front end performing an update.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWU_BUILD_TESTS=OFF -DFWU_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"${JOBS:-2}" --target FirmwareUpgrade
exe=build/frontends/FirmwareUpgrade
if [ "$#" -gt 0 ]; then exec "$exe" "$@"; fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$exe" --simulate
fi
exec "$exe" --console --simulate --update
