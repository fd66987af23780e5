#!/usr/bin/env bash
# Kernel tier: each case boots Debian's stock kernel under QEMU, attaches the
# simulated controller (fwu-simusb) to the guest's vhci-hcd as a real USB
# device and runs the real FirmwareUpgrade against it through usbhid, hidraw
# and udev, as an ordinary user with the shipped rules.
#
#   tests/kernel/run.sh [--build DIR] [CASE...]
# (default: every case but "guest", which only proves the guest without a device)
#
# Builds nothing: DIR (or FWU_BUILD_DIR) must hold frontends/FirmwareUpgrade
# and sim/usbip/fwu-simusb. Other settings:
#   FWU_KERNEL_CACHE  guest kernel and initramfs (default build-ci/kernel-cache)
#   FWU_KERNEL_OUT    per-case results (default DIR/kernel-tier)
#   FWU_UDEV_RULES    rules file (default DIR/70-firmwareupgrade.rules, else a stand-in)
#   FWU_QEMU_ACCEL    QEMU accelerator (default tcg), FWU_QEMU_SMP (default 2)
#   FWU_CASE_TIMEOUT  seconds one tool run may take in the guest (default 240)
#   FWU_TOOL_LOG=1    switch on the tool's diagnostic log (Log_*.txt in the results;
#                     it changes the tool's timing)
# Prints one PASS/FAIL line per case and ends with "N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FWU_BUILD_DIR:-}
selected=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --build=*) build=${1#--build=}; shift ;;
        -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) selected+=("$1"); shift ;;
    esac
done
[ -n "$build" ] || { echo "run.sh: give the build directory (--build DIR or FWU_BUILD_DIR)" >&2; exit 2; }
build=$(cd "$build" && pwd) || exit 2
tool="$build/frontends/FirmwareUpgrade"
simusb="$build/sim/usbip/fwu-simusb"
[ -x "$tool" ] || { echo "run.sh: no $tool (build target FirmwareUpgrade)" >&2; exit 2; }
rules=${FWU_UDEV_RULES:-}
if [ -z "$rules" ]; then
    rules="$build/70-firmwareupgrade.rules"
    [ -f "$rules" ] || rules="$here/stand-in.rules"
fi
out=${FWU_KERNEL_OUT:-$build/kernel-tier}
case_timeout=${FWU_CASE_TIMEOUT:-240}

cache=$("$here/prepare.sh" "${FWU_KERNEL_CACHE:-$root/build-ci/kernel-cache}" | tail -n 1) || {
    echo "run.sh: preparing the guest failed" >&2
    exit 2
}

names=()
declare -A udevd=() server=() options=() want_exit=() want_text=() check=()
define() {
    names+=("$1")
    udevd[$1]=$2 server[$1]=$3 options[$1]=$4 want_exit[$1]=$5 want_text[$1]=$6 check[$1]=$7
}
# shellcheck source=cases.sh
. "$here/cases.sh"
if [ ${#selected[@]} -eq 0 ]; then
    for name in "${names[@]}"; do [ "$name" = guest ] || selected+=("$name"); done
fi

# Checks a finished case in DIR; prints the reason of a failure, nothing on success.
verdict() {  # verdict NAME DIR
    local name=$1 dir=$2 status result
    if [ ! -s "$dir/console.log" ]; then
        echo "QEMU did not start the guest: $(tail -n 1 "$dir/qemu.log" 2>/dev/null)"
        return
    fi
    if ! grep -q "fwu-guest: powering off" "$dir/console.log" 2>/dev/null; then
        echo "the guest did not finish (timed out or crashed; see console.log)"
        return
    fi
    if grep -q "guest set-up incomplete" "$dir/guest.log" 2>/dev/null; then
        grep -o "guest set-up incomplete.*" "$dir/guest.log"
        return
    fi
    if [ "${server[$name]}" != "-" ] && ! grep -q "device attached" "$dir/guest.log"; then
        echo "fwu-simusb did not attach: $(tail -n 1 "$dir/server.log" 2>/dev/null)"
        return
    fi
    if [ ! -f "$dir/tool.status" ]; then
        echo "the tool did not run: $(tail -n 1 "$dir/guest.log" 2>/dev/null)"
        return
    fi
    status=$(cat "$dir/tool.status")
    if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "the tool did not end within $case_timeout s: $(grep -v '^Progress' "$dir/tool.log" | tail -n 1)"
        return
    fi
    if [ "$status" != "${want_exit[$name]}" ]; then
        echo "exit status $status, expected ${want_exit[$name]}; the tool ended with: $(grep -v '^Progress' "$dir/tool.log" | tail -n 2 | tr '\n' ' ')"
        return
    fi
    if ! grep -qF -- "${want_text[$name]}" "$dir/tool.log"; then
        echo "no \"${want_text[$name]}\" in the tool's output"
        return
    fi
    case "${check[$name]}" in
        flash)
            result="$dir/result.txt"
            if [ ! -s "$result" ]; then
                echo "fwu-simusb wrote no result"
            elif ! grep -qx "mode=normal" "$result"; then
                echo "the controller did not end in normal mode: $(grep '^mode=' "$result")"
            elif ! grep -qE '^ic[0-9]+_flash=match$' "$result" ||
                grep -E '^ic[0-9]+_flash=' "$result" | grep -vqE '=match$'; then
                echo "flash differs from the package: $(grep '_flash=' "$result" | tr '\n' ' ')"
            elif [ "$(grep -cE '^ic[0-9]+_final_page_last=yes$' "$result")" != "$(grep -cE '^ic[0-9]+_flash=' "$result")" ]; then
                echo "the final page was not written last: $(grep 'final_page_last' "$result" | tr '\n' ' ')"
            elif grep -qE '^ic[0-9]+_valid=no$' "$result"; then
                echo "an image is not marked valid: $(grep '_valid=' "$result" | tr '\n' ' ')"
            fi
            ;;
    esac
}

passed=0
failed=0
for name in "${selected[@]}"; do
    if [ -z "${udevd[$name]:-}" ]; then
        echo "FAIL $name: no such case"
        failed=$((failed + 1))
        continue
    fi
    dir="$out/$name"
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "${server[$name]}" != "-" ] && [ ! -x "$simusb" ]; then
        echo "FAIL $name: no $simusb (build target fwu-simusb)"
        failed=$((failed + 1))
        continue
    fi
    {
        printf 'FWU_GUEST_SCRIPT=%q\n' "$here/guest-case.sh"
        printf 'FWU_UDEV_ROOT=%q\n' "$cache/udev"
        printf 'FWU_RULES=%q\n' "$rules"
        printf 'FWU_UDEVD=%q\n' "${udevd[$name]}"
        if [ "${server[$name]}" != "-" ]; then printf 'FWU_SIMUSB=%q\n' "$simusb"; fi
        printf 'FWU_SERVER_OPTS=%q\n' "${server[$name]}"
        printf 'FWU_TOOL=%q\n' "$tool"
        printf 'FWU_TOOL_OPTS=%q\n' "${options[$name]}"
        printf 'FWU_TOOL_TIMEOUT=%q\n' "$case_timeout"
        printf 'FWU_TOOL_LOG=%q\n' "${FWU_TOOL_LOG:-0}"
    } >"$dir/case.env"
    start=$(date +%s)
    timeout -k 10 $((case_timeout + 90)) qemu-system-x86_64 \
        -accel "${FWU_QEMU_ACCEL:-tcg}" -cpu qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt \
        -m 1024 -smp "${FWU_QEMU_SMP:-2}" -nographic -no-reboot -monitor none \
        -serial "file:$dir/console.log" \
        -kernel "$cache/vmlinuz" -initrd "$cache/initramfs.gz" \
        -append "console=ttyS0 panic=-1 quiet loglevel=4" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$dir,mount_tag=results,security_model=none" \
        </dev/null >"$dir/qemu.log" 2>&1
    seconds=$(($(date +%s) - start))
    reason=$(verdict "$name" "$dir")
    if [ -z "$reason" ]; then
        echo "PASS $name (${seconds} s)"
        passed=$((passed + 1))
    else
        echo "FAIL $name (${seconds} s): $reason [$dir]"
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
