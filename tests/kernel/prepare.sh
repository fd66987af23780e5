#!/usr/bin/env bash
# Prepares what a kernel-tier guest boots: Debian's stock kernel, busybox and
# udev, fetched as packages with apt-get download and unpacked with dpkg-deb
# (nothing is installed on this machine), and a small initramfs with busybox
# as init and the modules the guest needs, taken from the same kernel package
# and ordered through its modules.dep.
#
#   tests/kernel/prepare.sh [CACHE_DIR]      (default: build-ci/kernel-cache)
#
# A second run with the same inputs reuses the cache. Prints the cache path.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cache=${1:-${FWU_KERNEL_CACHE:-$root/build-ci/kernel-cache}}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# Modules the guest loads, by file name; their dependencies come from modules.dep.
wanted=(virtio_pci 9pnet_virtio 9p overlay usb-common usbcore usbip-core vhci-hcd
        hid usbhid hid-generic evdev)

kernel_pkg() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
pkg=$(kernel_pkg)
if [ -z "$pkg" ]; then
    apt-get update -qq
    pkg=$(kernel_pkg)
fi
[ -n "$pkg" ] || { echo "prepare: no kernel package behind linux-image-amd64" >&2; exit 1; }

key=$( (echo "$pkg" "${wanted[*]}"; cat "$here/prepare.sh" "$here/guest-init.sh") | sha256sum | cut -c1-16)
if [ -f "$cache/ready" ] && [ "$(cat "$cache/ready")" = "$key" ]; then
    echo "$cache"
    exit 0
fi
rm -f "$cache/ready"

debs="$cache/debs"
mkdir -p "$debs"
if ! ls "$debs"/"$pkg"_*.deb >/dev/null 2>&1 || ! ls "$debs"/busybox-static_*.deb >/dev/null 2>&1 ||
    ! ls "$debs"/udev_*.deb >/dev/null 2>&1; then
    (cd "$debs" && apt-get download -o APT::Sandbox::User=root -qq "$pkg" busybox-static udev)
fi

# Unpack each package into its own tree.
for name in kernel busybox udev; do rm -rf "${cache:?}/$name"; done
dpkg-deb -x "$(ls "$debs"/"$pkg"_*.deb | head -n 1)" "$cache/kernel"
dpkg-deb -x "$(ls "$debs"/busybox-static_*.deb | head -n 1)" "$cache/busybox"
dpkg-deb -x "$(ls "$debs"/udev_*.deb | head -n 1)" "$cache/udev"
busybox="$cache/busybox/bin/busybox"
kver=$(ls "$cache/kernel/lib/modules" | head -n 1)
moddir="$cache/kernel/lib/modules/$kver"
cp "$cache/kernel/boot/vmlinuz-$kver" "$cache/vmlinuz"

# The package carries no modules.dep (the installer makes it); busybox's depmod does.
"$busybox" depmod -b "$cache/kernel" "$kver"

# Load order: every module after the modules it depends on.
declare -A placed=()
order=()
place() {  # place RELATIVE_PATH
    local path=$1 line dep
    [ -n "${placed[$path]:-}" ] && return 0
    placed[$path]=1
    line=$(awk -F: -v p="$path" '$1 == p { print; exit }' "$moddir/modules.dep")
    for dep in ${line#*:}; do place "$dep"; done
    order+=("$path")
}
for name in "${wanted[@]}"; do
    path=$(grep -oE "^[^:]*/$name\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | head -n 1 | tr -d :)
    if [ -z "$path" ]; then
        # Built into the kernel: nothing to load.
        grep -qE "/$name\.ko" "$moddir/modules.builtin" && continue
        echo "prepare: module $name is neither in modules.dep nor built in" >&2
        exit 1
    fi
    place "$path"
done

# The initramfs: busybox, init, the modules in load order.
stage="$cache/initramfs.d"
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,lib/modules}
cp "$busybox" "$stage/bin/busybox"
cp "$here/guest-init.sh" "$stage/init"
chmod 755 "$stage/init"
: >"$stage/modules.list"
for path in "${order[@]}"; do
    base=$(basename "$path")
    case "$base" in
        *.ko.xz) xz -dc "$moddir/$path" >"$stage/lib/modules/${base%.xz}" ;;
        *.ko.zst) zstd -qdc "$moddir/$path" >"$stage/lib/modules/${base%.zst}" ;;
        *.ko.gz) gzip -dc "$moddir/$path" >"$stage/lib/modules/${base%.gz}" ;;
        *) cp "$moddir/$path" "$stage/lib/modules/$base" ;;
    esac
    base=${base%.xz}; base=${base%.zst}; base=${base%.gz}
    echo "$base" >>"$stage/modules.list"
done
(cd "$stage" && find . | "$busybox" cpio -o -H newc -R 0:0 2>/dev/null) | gzip -9 >"$cache/initramfs.gz.tmp"
mv "$cache/initramfs.gz.tmp" "$cache/initramfs.gz"
echo "$kver" >"$cache/kernel-version"
echo "$key" >"$cache/ready"
echo "$cache"
