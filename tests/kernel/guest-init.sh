#!/bin/busybox sh
# First process of a kernel-tier guest. Loads the modules, builds a root from
# the host's file tree (shared read-only over 9p) with a throw-away tmpfs layer
# on top, mounts the writable results share, runs the case script in a chroot
# there and powers the guest off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "fwu-guest: kernel $(uname -r) up"
for module in $(cat /modules.list); do
    insmod "/lib/modules/$module" || echo "fwu-guest: insmod $module failed"
done

halt_guest() {
    echo "fwu-guest: $1"
    sync
    poweroff -f
}

mkdir -p /lower /rw /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot /lower ||
    halt_guest "cannot mount the host root"
mount -t tmpfs -o size=768m,mode=755 tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
    halt_guest "cannot build the overlay root"
mkdir -p /newroot/fwu-results
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results /newroot/fwu-results ||
    halt_guest "cannot mount the results share"
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
ln -sf /proc/self/fd /newroot/dev/fd
ln -sf /proc/self/fd/0 /newroot/dev/stdin
ln -sf /proc/self/fd/1 /newroot/dev/stdout
ln -sf /proc/self/fd/2 /newroot/dev/stderr
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
mount -t tmpfs -o mode=755 tmpfs /newroot/run

script=$(sed -n 's/^FWU_GUEST_SCRIPT=//p' /newroot/fwu-results/case.env | tr -d "'\"")
[ -n "$script" ] || halt_guest "no case script named in case.env"
echo "fwu-guest: running $script"
chroot /newroot /bin/bash "$script"
echo "fwu-guest: case script ended with status $?"
umount /newroot/fwu-results
halt_guest "powering off"
