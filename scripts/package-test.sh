#!/usr/bin/env bash
# Builds the Debian packages with CPack, installs them with dpkg -i, checks
# the installed programs and files, and removes them with dpkg -r. Meant for
# a disposable CI machine (it installs into /usr); needs root or sudo and what
# scripts/setup.sh installs.
#   bash scripts/package-test.sh [BUILD_DIR]     (default: build-ci/package)
# Ends with one summary line "N passed, N failed"; non-zero exit on failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${1:-build-ci/package}
jobs=${JOBS:-2}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

passed=0
failed=0
check() {  # check NAME COMMAND...: one result line per check
  local name=$1
  shift
  if "$@"; then
    echo "ok: $name"; passed=$((passed + 1))
  else
    echo "FAILED: $name"; failed=$((failed + 1))
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

# A private runtime directory: the tool's single-instance lock lives there,
# so other runs on the machine cannot make these runs refuse to start.
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
run_tool() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$runtime" "$@"; }

mkdir -p "$dir"
echo "== build the packages =="
if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWU_BUILD_TESTS=OFF \
    -DFWU_BUILD_BENCH=OFF >"$dir.configure.log" 2>&1; then
  cat "$dir.configure.log"; check "configure" false; finish
fi
if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
  tail -n 60 "$dir.build.log"; check "build" false; finish
fi
rm -rf "$dir/packages"
if ! (cd "$dir" && cpack -G DEB) >"$dir.cpack.log" 2>&1; then
  cat "$dir.cpack.log"; check "cpack -G DEB" false; finish
fi
mapfile -t debs < <(ls "$dir"/packages/*.deb 2>/dev/null)
check "cpack built the console package" test -f "$dir/packages/firmwareupgrade-cli_"*.deb
printf '  %s\n' "${debs[@]}"

echo "== install =="
if ! $SUDO dpkg -i "${debs[@]}"; then
  check "dpkg -i" false; finish
fi
check "dpkg -i" true
mapfile -t names < <(for d in "${debs[@]}"; do dpkg-deb -f "$d" Package; done)
mapfile -t files < <(for n in "${names[@]}"; do dpkg -L "$n"; done | sort -u)
installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }
for n in "${names[@]}"; do check "$n installed" installed "$n"; done

echo "== run =="
package_info() {
  local expected
  expected=$(run_tool "$dir/frontends/FirmwareUpgrade-cli" --package-info) || return 1
  [ -n "$expected" ] || return 1
  for exe in /usr/bin/FirmwareUpgrade /usr/bin/FirmwareUpgrade-cli; do
    [ "$(run_tool "$exe" --package-info)" = "$expected" ] || { echo "  $exe differs"; return 1; }
  done
}
check "installed --package-info describes the built-in package" package_info
simulated_update() {
  local out
  out=$(run_tool /usr/bin/FirmwareUpgrade --console --simulate --update 2>&1) || { echo "$out" | tail -n 5; return 1; }
  grep -q '^\[Update OK\]$' <<<"$out"
}
check "installed FirmwareUpgrade --console --simulate --update" simulated_update
cli_json() {
  local last
  last=$(run_tool /usr/bin/FirmwareUpgrade-cli --simulate --simulate-fast --update --json 2>/dev/null | tail -n 1)
  [ "$last" = '{"event":"result","status":0,"outcome":"updated"}' ] || { echo "  last line: $last"; return 1; }
}
check "installed FirmwareUpgrade-cli --json update ends with the result" cli_json
no_qt() { ! ldd /usr/bin/FirmwareUpgrade-cli | grep -qi qt; }
check "FirmwareUpgrade-cli links no Qt" no_qt
no_gui_deps() { ! dpkg-query -W -f='${Depends}' firmwareupgrade-cli | grep -qiE 'qt|fonts'; }
check "firmwareupgrade-cli depends on no GUI stack" no_gui_deps

echo "== installed files =="
rules=$(printf '%s\n' "${files[@]}" | grep '/udev/rules\.d/.*\.rules$' || true)
if [ -n "$rules" ]; then
  rules_ok() { for r in $rules; do [ -s "$r" ] && grep -q 'hidraw\|usb' "$r" || return 1; done; }
  check "udev rules installed ($rules)" rules_ok
else
  echo "skipped: no udev rules in this build"
fi
desktop=$(printf '%s\n' "${files[@]}" | grep '^/usr/share/applications/.*\.desktop$' || true)
if dpkg-deb -f "$dir"/packages/firmwareupgrade_*.deb Package >/dev/null 2>&1; then
  check "desktop entry installed" test -n "$desktop"
  check "desktop entry valid (desktop-file-validate)" desktop-file-validate $desktop
  icon_ok() {
    local icon
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    ls /usr/share/icons/hicolor/*/apps/"$icon".* >/dev/null 2>&1
  }
  check "desktop entry's icon installed" icon_ok
  exec_ok() { command -v "$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" >/dev/null; }
  check "desktop entry's program on PATH" exec_ok
fi
man_ok() {
  local page
  for page in FirmwareUpgrade fwpkg; do
    zcat "/usr/share/man/man1/$page.1.gz" | grep -q '^\.TH' || { echo "  $page.1"; return 1; }
  done
  zcat /usr/share/man/man1/FirmwareUpgrade-cli.1.gz | grep -qx '\.so man1/FirmwareUpgrade\.1'
}
check "manual pages FirmwareUpgrade(1), FirmwareUpgrade-cli(1), fwpkg(1)" man_ok
if command -v man >/dev/null 2>&1; then
  man_renders() { MANPAGER=cat man FirmwareUpgrade-cli 2>/dev/null | grep -q 'EXIT STATUS'; }
  check "man FirmwareUpgrade-cli renders" man_renders
fi
check "usage documentation installed" grep -q 'Using the tool' /usr/share/doc/firmwareupgrade-cli/usage.md

echo "== remove =="
check "dpkg -r" $SUDO dpkg -r "${names[@]}"
# A package with a postrm stays known as "config-files" until purged, so
# that its purge step can still run; it owns no configuration files.
status_is() {  # status_is PACKAGE WANTED...: its dpkg status is one of WANTED
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)
  status=${status:-not-installed}
  shift
  local want
  for want in "$@"; do [ "$status" = "$want" ] && return 0; done
  echo "  status: $status"
  return 1
}
for n in "${names[@]}"; do check "$n removed" status_is "$n" not-installed config-files; done
leftovers() {
  local f left=0
  for f in "${files[@]}"; do
    if [ -e "$f" ] && [ ! -d "$f" ]; then echo "  left: $f"; left=1; fi
  done
  [ "$left" -eq 0 ]
}
check "no installed file left behind" leftovers
check "dpkg -P" $SUDO dpkg -P "${names[@]}"
for n in "${names[@]}"; do check "$n purged" status_is "$n" not-installed; done
finish
