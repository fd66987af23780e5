#!/usr/bin/env bash
# Records the checked-in traces against the simulated controller (with its
# 1 ms transfer latency) and keeps, beside each, what the console printed and
# its exit status: replaying a trace must give the same.
#   bash tests/trace/data/record.sh BUILD_DIR
set -uo pipefail
exe=${1:?build directory}/frontends/FirmwareUpgrade
here=$(cd "$(dirname "$0")" && pwd)
record() {  # record NAME OPTIONS...
  local name=$1
  shift
  mkdir -p "$here/.run"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$here/.run" "$exe" --console --update \
    --record "$here/$name.jsonl" "$@" >"$here/$name.out" 2>&1
  echo "$?" >"$here/$name.status"
  echo "$name: status $(cat "$here/$name.status"), $(wc -c <"$here/$name.jsonl") bytes"
}
# A data report that cannot be written early in the first image (2.0).
record v2-write-fail --simulate --simulate-fault=write-fail@60
# A page whose checksum does not match (1.0).
record v1-bad-checksum --simulate --simulate-protocol=1.0 --simulate-fault=bad-checksum@3
# The controller stops answering: every read slice times out.
record v2-no-answer --simulate --simulate-fault=no-answer@40
# The controller is unplugged in the middle of the first image.
record v2-removed --simulate --simulate-fault=remove@90
# The controller already holds the package's firmware: the update is refused.
record v2-current --simulate=current
rm -rf "$here/.run"
