#!/usr/bin/env bash
# Checks that the product's folders include each other one way only: a file
# may include files of its own folder and of the folders below it, never of
# a folder above. Prints every offending include and exits 1 when there is
# one. Tests and benchmarks (tests/, bench/) may include anything.
#
# The layers, lowest first (a sub-folder listed on its own is its own layer):
#   base
#   platform        the platform interfaces and their implementations
#   app             start-up and settings
#   log             the diagnostic log
#   package
#   device
#   upgrade
#   ui
#   trace           run traces
#   sim             the simulated controller
#   frontends
#   tools           programs built on the whole tool (fwpkg, fwu-simusb)
set -uo pipefail
cd "$(dirname "$0")/.."

layers='
base 0
platform 1
app 2
log 3
package 4
device 5
upgrade 6
ui 7
trace 8
sim 9
frontends 10
tools 11
'

git ls-files '*.cpp' '*.h' | grep -vE '^(tests|bench)/' |
  while IFS= read -r file; do
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' "$file" |
      sed -E "s|^([0-9]+):.*\"([^\"]+)\".*|$file \1 \2|"
  done |
  awk -v layers="$layers" '
    BEGIN {
      n = split(layers, rows, "\n")
      for (i = 1; i <= n; i++) {
        if (split(rows[i], f, " ") == 2) rank[f[1]] = f[2]
      }
    }
    # The layer of a path: its longest listed folder prefix.
    function layer(path,   best, p) {
      best = ""
      for (p in rank) {
        if (index(path, p "/") == 1 && length(p) > length(best)) best = p
      }
      return best
    }
    {
      from = layer($1); to = layer($3)
      if (from == "") { print $1 ": no layer for this folder"; bad = 1; next }
      if (to == "" || to == from) next
      if (rank[to] >= rank[from]) {
        printf "%s:%s: includes \"%s\" (%s may not include %s)\n", $1, $2, $3, from, to
        bad = 1
      }
    }
    END { exit bad }
  '
status=$?
if [ "$status" -eq 0 ]; then echo "layers: every include runs downwards"; fi
exit "$status"
