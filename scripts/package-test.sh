#!/usr/bin/env bash
# Builds the packages with CPack, installs them, checks the installed programs
# and files, and removes them again:
#   deb:     the Debian packages, checked with lintian and appstreamcli, then
#            installed with dpkg -i / dpkg -r into /usr (meant for a disposable
#            CI machine; needs root or sudo); the installed tool run as an
#            ordinary user, as root with that user's home, and with --log-dir;
#   windows: the NSIS installer (cross-built), installed silently into a
#            private Wine prefix over an older version, run and uninstalled.
# Both are Release builds with warnings as errors (CI's Release build).
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
  if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DFWU_WERROR=ON -DFWU_BUILD_TESTS=OFF \
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
# Its update history and settings stay there too, out of the real user's folders.
run_tool() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$runtime" \
    XDG_STATE_HOME="$runtime/state" XDG_CONFIG_HOME="$runtime/config" "$@"
}

# The installed tool keeps its settings and log in the user's folders: run as
# an ordinary user (nobody, with a home of its own), as root with that user's
# home (sudo), and with --log-dir; never writing into /usr/bin.
user_files_test() {
  local user=65534 home userrun logs admin=/usr/bin/LogConfig.ini state bin_before
  home=$(mktemp -d) userrun=$(mktemp -d) logs=$(mktemp -d)
  state=$home/.local/state/FirmwareUpgrade
  mkdir -p "$home/.config/FirmwareUpgrade"
  printf '[Settings]\nIsLogPrint=true\n' >"$home/.config/FirmwareUpgrade/LogConfig.ini"
  chown -R "$user:$user" "$home" "$userrun"
  chmod 700 "$userrun"
  as_user() {
    setpriv --reuid="$user" --regid="$user" --clear-groups env -i PATH=/usr/bin:/bin HOME="$home" \
      XDG_RUNTIME_DIR="$userrun" "$@"
  }
  update() {  # update RUNNER...: a simulated update; its standard error in $err
    local out status
    out=$("$@" /usr/bin/FirmwareUpgrade-cli --console --simulate-fast --update 2>"$logs.err")
    status=$?
    err=$(cat "$logs.err")
    [ "$status" -eq 0 ] || { echo "  status $status"; tail -n 5 <<<"$out$err"; return 1; }
  }
  user_log() {  # the log of a run as the user: in its state folder, its own
    local log
    update as_user || return 1
    log=$(ls "$state"/Log_*.txt 2>/dev/null | head -n 1)
    [ -s "$log" ] && grep -q ' Line:' "$log" || { echo "  no log in $state"; return 1; }
    [ "$(stat -c %u "$log")" = "$user" ] || { echo "  $log not the user's"; return 1; }
    [ "$(ls -A /usr/bin | sort)" = "$bin_before" ] || { echo "  /usr/bin changed"; return 1; }
  }
  bin_before=$(ls -A /usr/bin | sort)
  check "as a user: logging on in ~/.config, the log in ~/.local/state" user_log
  # An administrator's LogConfig.ini beside the programs, none of the user's.
  rm -rf "$state" "$home/.config/FirmwareUpgrade"
  printf '[Settings]\nIsLogPrint=true\n' >"$admin"
  bin_before=$(ls -A /usr/bin | sort)
  check "as a user: logging on beside the programs, the log in ~/.local/state" user_log
  foreign_home() {  # root with the user's home: no file there or in /usr/bin, one line said
    rm -rf "$state"
    update env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$runtime" || return 1
    [ "$(grep -c 'cannot write the diagnostic log' <<<"$err")" -eq 1 ] || { echo "  said: $err"; return 1; }
    [ -z "$(find "$home" -user 0)" ] || { find "$home" -user 0 | sed 's/^/  written: /'; return 1; }
    [ "$(ls -A /usr/bin | sort)" = "$bin_before" ] || { echo "  /usr/bin changed"; return 1; }
  }
  check "as root with the user's home (sudo): no log there, said once" foreign_home
  log_dir() {  # as root with the user's home, the log where --log-dir says
    env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$runtime" /usr/bin/FirmwareUpgrade-cli \
      --console --simulate-fast --update --log-dir "$logs/new" >/dev/null 2>&1 || return 1
    ls "$logs"/new/Log_*.txt >/dev/null 2>&1 || { echo "  no log in $logs/new"; return 1; }
  }
  check "--log-dir DIR: the log in DIR, created" log_dir
  rm -f "$admin" "$logs.err"
  rm -rf "$home" "$userrun" "$logs"
}

deb_test() {
  local dir=$base/linux
  echo "== Debian packages: build =="
  build_packages "$dir" DEB || return
  mapfile -t debs < <(ls "$dir"/packages/*.deb 2>/dev/null)
  check "cpack built the console package" test -f "$dir/packages/firmwareupgrade-cli_"*.deb
  printf '  %s\n' "${debs[@]}"
  lintian_clean() {  # no error; whatever else lintian says is listed
    local out
    out=$(lintian --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v '^running with root privileges')
    [ -z "$out" ] || sed 's/^/  /' <<<"$out"
    ! grep -q '^E: ' <<<"$out"
  }
  check "lintian: no error in either package" lintian_clean

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
    for page in FirmwareUpgrade FirmwareUpgrade-cli fwpkg; do
      zcat "/usr/share/man/man1/$page.1.gz" | grep -q '^\.TH' || { echo "  $page.1"; return 1; }
    done
  }
  check "manual pages FirmwareUpgrade(1), FirmwareUpgrade-cli(1), fwpkg(1)" man_ok
  if command -v man >/dev/null 2>&1; then
    man_renders() { MANPAGER=cat man FirmwareUpgrade-cli 2>/dev/null | grep -q 'EXIT STATUS'; }
    check "man FirmwareUpgrade-cli renders" man_renders
  fi
  check "usage documentation installed" grep -q 'Using the tool' /usr/share/doc/firmwareupgrade-cli/usage.md
  package_docs() {
    local n
    for n in "${names[@]}"; do
      grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
        "/usr/share/doc/$n/copyright" && zcat "/usr/share/doc/$n/changelog.gz" | grep -q "^$n\|^firmwareupgrade " ||
        { echo "  $n"; return 1; }
    done
  }
  check "copyright and changelog in every package" package_docs
  check "installed-copy marker installed" test -f /usr/share/firmwareupgrade/installed
  metainfo=$(printf '%s\n' "${files[@]}" | grep '^/usr/share/metainfo/.*\.metainfo\.xml$' || true)
  if [ -n "$desktop" ]; then
    check "AppStream metadata valid (appstreamcli validate --no-net)" appstreamcli validate --no-net $metainfo
    metainfo_ok() {  # named after the desktop entry; a modalias per identity of the udev rules
      local id identities aliases
      id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$metainfo")
      [ "$(basename "$desktop")" = "$id.desktop" ] || { echo "  id $id, desktop entry $desktop"; return 1; }
      identities=$(grep -ho 'SUBSYSTEM=="usb".*ATTR{idVendor}=="[0-9a-f]*", ATTR{idProduct}=="[0-9a-f]*"' $rules |
        sed 's/.*idVendor}=="\(....\)", ATTR{idProduct}=="\(....\)"/usb:v\1p\2d*/' | tr a-f A-F | sort)
      aliases=$(sed -n 's:.*<modalias>\(.*\)</modalias>.*:\1:p' "$metainfo" | tr a-f A-F | sort)
      [ -n "$aliases" ] && [ "$identities" = "$aliases" ] || { echo "  rules: $identities; metainfo: $aliases"; return 1; }
    }
    check "AppStream metadata names the desktop entry and every USB identity" metainfo_ok
  fi

  echo "== Debian packages: settings and log of the installed tool =="
  user_files_test

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
  local installer old_installer
  installer=$(ls "$dir"/packages/*.exe 2>/dev/null | head -n 1)
  check "cpack built the installer" test -n "$installer"
  [ -n "$installer" ] || return
  # The same programs as an older version's installer: what a user has
  # installed when the new one arrives.
  rm -rf "$dir/old-packages"
  (cd "$dir" && cpack -G NSIS -B "$dir/old-packages" -D CPACK_PACKAGE_VERSION=0.9.0 \
    -D "CPACK_NSIS_DISPLAY_NAME=Firmware Upgrade 0.9.0") >"$dir.cpack-old.log" 2>&1
  old_installer=$(ls "$dir"/old-packages/*.exe 2>/dev/null | head -n 1)
  check "cpack built an older version's installer" test -n "$old_installer"
  [ -n "$old_installer" ] || return

  echo "== Windows installer: install =="
  # A fresh prefix, and what its drive holds before the installer runs.
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver -w
  local before after
  before=$(cd "$WINEPREFIX" && find drive_c -mindepth 1 | sort)
  local uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\FirmwareUpgrade'
  reg_value() {  # reg_value NAME: the Add/Remove Programs entry's value
    wine reg query "$uninstall_key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
  }
  check "silent install of the older version (/S)" wine "$old_installer" /S
  wineserver -w
  check "older version listed" test "$(reg_value DisplayVersion)" = 0.9.0
  check "silent install over it (/S)" wine "$installer" /S
  wineserver -w
  local app="$WINEPREFIX/drive_c/Program Files/FirmwareUpgrade"
  local menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Firmware Upgrade"
  files_ok() {
    local f
    for f in FirmwareUpgrade.exe FirmwareUpgrade-cli.exe fwpkg.exe Uninstall.exe doc/usage.md \
        doc/LICENSE.txt FirmwareUpgrade.installed; do
      [ -s "$app/$f" ] || { echo "  missing: $f"; return 1; }
    done
  }
  check "programs, documentation, marker and uninstaller installed" files_ok
  check "start menu entry" test -f "$menu/Firmware Upgrade.lnk"
  add_remove_entry() {  # one entry, upgraded in place, as Add/Remove Programs shows it
    local version publisher uninstall size
    version=$(reg_value DisplayVersion) publisher=$(reg_value Publisher)
    uninstall=$(reg_value UninstallString) size=$(reg_value EstimatedSize)
    echo "  version $version, publisher $publisher, size $size, uninstaller $uninstall"
    [ "$version" = "$(sed -n 's/^project(FirmwareUpgrade VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")" ] &&
      [ -n "$publisher" ] && [ "$uninstall" = '"C:\Program Files\FirmwareUpgrade\Uninstall.exe"' ] &&
      [ $((size)) -gt 1000 ] || return 1
    [ "$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null |
      tr -d '\r' | grep -ci 'FirmwareUpgrade')" -eq 1 ] || { echo "  not a single entry"; return 1; }
  }
  check "Add/Remove Programs: this version, publisher, size, uninstaller" add_remove_entry

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
  # An installed copy reads %APPDATA%\FirmwareUpgrade\LogConfig.ini and logs
  # into %LOCALAPPDATA%\FirmwareUpgrade, never into Program Files.
  local appdata localappdata
  appdata=$(winepath -u "$(wine cmd /c echo %APPDATA% | tr -d '\r')" 2>/dev/null)
  localappdata=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\r')" 2>/dev/null)
  win_user_log() {
    [ -d "$appdata" ] && [ -d "$localappdata" ] || { echo "  no user folders ($appdata, $localappdata)"; return 1; }
    mkdir -p "$appdata/FirmwareUpgrade"
    printf '[Settings]\r\nIsLogPrint=true\r\n' >"$appdata/FirmwareUpgrade/LogConfig.ini"
    wine 'C:\Program Files\FirmwareUpgrade\FirmwareUpgrade-cli.exe' --console --simulate-fast --update \
      >/dev/null 2>&1 || { echo "  run failed"; return 1; }
    ls "$localappdata"/FirmwareUpgrade/Log_*.txt >/dev/null 2>&1 || { echo "  no log in $localappdata/FirmwareUpgrade"; return 1; }
    ! ls "$app"/Log_*.txt >/dev/null 2>&1 || { echo "  a log in Program Files"; return 1; }
  }
  check "installed: logging on in %APPDATA%, the log in %LOCALAPPDATA%" win_user_log
  # The user's own files are not the product's: gone before the leftovers check.
  rm -rf "$appdata/FirmwareUpgrade" "$localappdata/FirmwareUpgrade"

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
