#!/usr/bin/env bash
# Builds the packages with CPack, installs them, checks the installed programs
# and files, and removes them again:
#   deb:     the Debian packages, with dpkg -i / dpkg -r into /usr (meant for a
#            disposable CI machine; needs root or sudo);
#   windows: the NSIS installer (cross-built), installed silently into a
#            private Wine prefix and uninstalled.
#   bash scripts/package-test.sh [BASE_DIR]   (default: build-ci/package)
# FWU_PACKAGE_TESTS="deb windows" chooses the parts (default both). Needs what
# scripts/setup.sh installs. Ends with one summary line "N passed, N failed";
# non-zero exit on failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
base=${1:-build-ci/package}
parts=${FWU_PACKAGE_TESTS:-deb windows}
mkdir -p "$base" && base=$(cd "$base" && pwd)
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
build_packages() {  # build_packages DIR GENERATOR [cmake args...]; false on failure
  local dir=$1 generator=$2
  shift 2
  mkdir -p "$dir"
  if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWU_BUILD_TESTS=OFF \
      -DFWU_BUILD_BENCH=OFF "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; check "configure $dir" false; return 1
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; check "build $dir" false; return 1
  fi
  rm -rf "$dir/packages"
  if ! (cd "$dir" && cpack -G "$generator") >"$dir.cpack.log" 2>&1; then
    cat "$dir.cpack.log"; check "cpack -G $generator" false; return 1
  fi
}

# A private runtime directory: the tool's single-instance lock lives there,
# so other runs on the machine cannot make these runs refuse to start.
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
run_tool() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$runtime" "$@"; }

deb_test() {
  local dir=$base/linux
  echo "== Debian packages: build =="
  build_packages "$dir" DEB || return
  mapfile -t debs < <(ls "$dir"/packages/*.deb 2>/dev/null)
  check "cpack built the console package" test -f "$dir/packages/firmwareupgrade-cli_"*.deb
  printf '  %s\n' "${debs[@]}"

  echo "== Debian packages: install =="
  if ! $SUDO dpkg -i "${debs[@]}"; then
    check "dpkg -i" false; return
  fi
  check "dpkg -i" true
  mapfile -t names < <(for d in "${debs[@]}"; do dpkg-deb -f "$d" Package; done)
  mapfile -t files < <(for n in "${names[@]}"; do dpkg -L "$n"; done | sort -u)
  installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }
  for n in "${names[@]}"; do check "$n installed" installed "$n"; done

  echo "== Debian packages: run =="
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

  echo "== Debian packages: installed files =="
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

  echo "== Debian packages: remove =="
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
}

windows_test() {
  local dir=$base/windows
  echo "== Windows installer: build =="
  export WINEDEBUG=-all
  export WINEPREFIX=$base/windows-prefix
  build_packages "$dir" NSIS -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" || return
  local installer
  installer=$(ls "$dir"/packages/*.exe 2>/dev/null | head -n 1)
  check "cpack built the installer" test -n "$installer"
  [ -n "$installer" ] || return

  echo "== Windows installer: install =="
  # A fresh prefix, and what its drive holds before the installer runs.
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver -w
  local before after
  before=$(cd "$WINEPREFIX" && find drive_c -mindepth 1 | sort)
  check "silent install (/S)" wine "$installer" /S
  wineserver -w
  local app="$WINEPREFIX/drive_c/Program Files/FirmwareUpgrade"
  local menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Firmware Upgrade"
  local uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\FirmwareUpgrade'
  files_ok() {
    local f
    for f in FirmwareUpgrade.exe FirmwareUpgrade-cli.exe fwpkg.exe Uninstall.exe doc/usage.md; do
      [ -s "$app/$f" ] || { echo "  missing: $f"; return 1; }
    done
  }
  check "programs, documentation and uninstaller installed" files_ok
  check "start menu entry" test -f "$menu/Firmware Upgrade.lnk"
  listed() { wine reg query "$uninstall_key" >/dev/null 2>&1; }
  check "listed under installed programs" listed

  echo "== Windows installer: run =="
  win_package_info() {
    local cli gui
    cli=$(wine 'C:\Program Files\FirmwareUpgrade\FirmwareUpgrade-cli.exe' --package-info | tr -d '\r') || return 1
    gui=$(wine 'C:\Program Files\FirmwareUpgrade\FirmwareUpgrade.exe' --package-info | tr -d '\r') || return 1
    grep -q '^Product name: ' <<<"$cli" && [ "$cli" = "$gui" ]
  }
  check "installed --package-info (both executables)" win_package_info
  win_update() {
    local out
    out=$(wine 'C:\Program Files\FirmwareUpgrade\FirmwareUpgrade-cli.exe' --console --simulate --update 2>&1 | tr -d '\r')
    local status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] && grep -q '^\[Update OK\]$' <<<"$out" || { echo "$out" | tail -n 5; return 1; }
  }
  check "installed FirmwareUpgrade-cli --console --simulate --update" win_update

  echo "== Windows installer: uninstall =="
  check "silent uninstall (/S)" wine "$app/Uninstall.exe" /S
  wineserver -w
  after=$(cd "$WINEPREFIX" && find drive_c -mindepth 1 | sort)
  # The uninstaller runs from a copy in the temporary folder, which Windows
  # removes later; that copy is not the product's.
  nothing_left() {
    local left
    left=$(comm -13 <(echo "$before") <(echo "$after") | grep -v '/Temp/~nsu[^/]*\.tmp\(/Un\.exe\)\?$' || true)
    [ -z "$left" ] || { echo "$left" | sed 's/^/  left: /'; return 1; }
  }
  check "no file left behind" nothing_left
  no_keys() {
    ! wine reg query "$uninstall_key" >/dev/null 2>&1 &&
      ! wine reg query 'HKLM\Software\FirmwareUpgrade' >/dev/null 2>&1
  }
  check "no registry key left behind" no_keys
  wineserver -k >/dev/null 2>&1 || true
}

for part in $parts; do
  case $part in
    deb) deb_test ;;
    windows) windows_test ;;
    *) echo "unknown part: $part"; check "part $part" false ;;
  esac
done
finish
