#!/usr/bin/env bash
# Peak memory (maximum resident set size) of one whole simulated update, run
# by each executable with the console front end and the latency of a real
# controller; then of loading the largest traces the tool accepts
# (--trace-summary of traces made up at the limits of trace/format.h):
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

# Traces at the limits: 1000000 operations, 1000000 enumerated paths, lines
# of up to 64 KB, 64 MB in all. The operations are the shortest lines there
# are (an arrival of an empty path); the paths are empty strings, as many to
# a line as fit.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
header='{"format":"fwu-trace","version":1}'
awk -v h="$header" 'BEGIN { print h
  for (n = 1; n <= 1000000; n++) printf "{\"n\":%d,\"t\":0,\"op\":\"arrival\",\"path\":\"\"}\n", n }' \
  >"$work/short-lines.jsonl"
awk -v h="$header" 'BEGIN { print h
  for (n = 1; n <= 1000000; n++) printf "{\"n\":%d,\"t\":0,\"us\":0,\"op\":\"enumerate\",\"paths\":[\"\"]}\n", n }' \
  >"$work/one-path-lines.jsonl"
awk -v h="$header" 'BEGIN { print h
  line = "\"\""; for (k = 1; k < 20000; k++) line = line ",\"\""
  n = 0; for (paths = 0; paths < 1000000; paths += 20000)
    printf "{\"n\":%d,\"t\":0,\"us\":0,\"op\":\"enumerate\",\"paths\":[%s]}\n", ++n, line
  while (n < 1000000) printf "{\"n\":%d,\"t\":0,\"op\":\"arrival\",\"path\":\"\"}\n", ++n }' \
  >"$work/path-lines.jsonl"
awk -v h="$header" 'BEGIN { print h
  path = "x"; while (length(path) < 65000) path = path path; path = substr(path, 1, 65000)
  for (n = 1; n <= 1030; n++) printf "{\"n\":%d,\"t\":0,\"op\":\"arrival\",\"path\":\"%s\"}\n", n, path }' \
  >"$work/long-lines.jsonl"
for trace in short-lines one-path-lines path-lines long-lines; do
  out=$(mktemp)
  status=0
  /usr/bin/time -f '%M' -o "$out" "${exes[0]}" --trace-summary "$work/$trace.jsonl" >/dev/null 2>&1 ||
    status=$?
  printf '%-22s %6d KB peak resident (%s, %d MB, status %d)\n' "--trace-summary" \
    "$(tail -n 1 "$out")" "$trace" "$(($(stat -c %s "$work/$trace.jsonl") >> 20))" "$status"
  rm -f "$out"
done
