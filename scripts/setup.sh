#!/usr/bin/env bash
# Installs what building, testing and running FirmwareUpgrade need on Debian 12.
# fonts-wqy-microhei is a small CJK font, so that the window's Chinese texts
# (the about box) render as characters rather than boxes. lintian and appstream
# check the packages (scripts/package-test.sh).
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
packages=(
  build-essential cmake pkg-config git clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev libgl-dev libudev-dev libusb-1.0-0-dev nlohmann-json3-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
  xvfb xauth time
  desktop-file-utils fonts-wqy-microhei nsis lintian appstream
  qemu-system-x86
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
