#!/usr/bin/env bash
# Runs one kernel-tier case inside the guest, in the chroot over the host's
# file tree. Everything it needs comes from /fwu-results/case.env, written by
# run.sh; everything it learns goes back to /fwu-results:
#   tool.log, tool.status   the tool's console output and exit status
#   steps.txt, NAME.log     a multi-step case: its checks, each run's output
#   server.log, result.txt  the device server's output and its final result
#   trace.txt               the device server's trace
#   *.jsonl                 traces the tool recorded in its working directory (--record)
#   Log_*.txt               the tool's diagnostic log (FWU_TOOL_LOG=1)
#   history.jsonl           the update history the tool wrote
#   guest.log               what this script did; dmesg.txt, nodes.txt
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
out=/fwu-results
# shellcheck source=/dev/null
. "$out/case.env"
exec > >(tee -a "$out/guest.log") 2>&1
note() { echo "fwu-case: $*"; }
user=fwuser

if [ "${FWU_UDEVD:-1}" != 0 ]; then
    # The unpacked udev package goes into the throw-away root, then the
    # rules that grant access to the controller (with UDEVD 2 only their
    # hidraw lines: the USB device node stays root's).
    cp -a "$FWU_UDEV_ROOT/bin/udevadm" /usr/bin/
    cp -a "$FWU_UDEV_ROOT/lib/systemd/systemd-udevd" /usr/lib/systemd/
    cp -a "$FWU_UDEV_ROOT/lib/udev" /usr/lib/
    mkdir -p /etc/udev/rules.d
    cp -a "$FWU_UDEV_ROOT/etc/udev/." /etc/udev/
    if [ "${FWU_UDEVD:-1}" = 2 ]; then
        grep -v 'SUBSYSTEM=="usb"' "$FWU_RULES" >/etc/udev/rules.d/70-firmwareupgrade.rules
    else
        install -m 644 "$FWU_RULES" /etc/udev/rules.d/70-firmwareupgrade.rules
    fi
    /usr/lib/systemd/systemd-udevd --daemon || note "systemd-udevd did not start"
    for _ in $(seq 50); do [ -S /run/udev/control ] && break; sleep 0.1; done
    [ -S /run/udev/control ] && note "udevd running"
else
    note "no udev daemon in this case"
fi

# A Wine case names the user ID its prefix belongs to.
useradd -m ${FWU_USER_UID:+-u "$FWU_USER_UID"} -G plugdev "$user" || note "useradd failed"

# The guest's own set-up, checked before anything runs on it.
problems=()
[ -d /sys/devices/platform/vhci_hcd.0 ] || problems+=("no vhci_hcd.0")
id -nG "$user" 2>/dev/null | grep -qw plugdev || problems+=("$user not in plugdev")
if [ "${FWU_UDEVD:-1}" != 0 ] && [ ! -S /run/udev/control ]; then problems+=("udevd not listening"); fi
if [ ${#problems[@]} -gt 0 ]; then
    note "guest set-up incomplete: ${problems[*]}"
    sync
    exit 1
fi
note "guest ready"

server_pid=""
if [ -n "${FWU_SIMUSB:-}" ]; then
    # shellcheck disable=SC2086
    "$FWU_SIMUSB" $FWU_SERVER_OPTS --trace "$out/trace.txt" --result "$out/result.txt" \
        --ready /run/fwu-ready >"$out/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 300); do
        [ -e /run/fwu-ready ] && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -e /run/fwu-ready ]; then
        note "device attached"
        # The server is ready once the devices are plugged in; the kernel then
        # enumerates them and udev applies the rules. Start the tool once a
        # hidraw node is there for each (and, with udev, handed to plugdev), so
        # each case starts from the same point: controllers present.
        want=$(echo "$FWU_SERVER_OPTS" | sed -n 's/.*--simulate-count[= ]\([0-9]*\).*/\1/p')
        want=${want:-1}
        for _ in $(seq 150); do
            nodes=$(ls /dev/hidraw* 2>/dev/null | head -n "$want")
            if [ "$(echo "$nodes" | grep -c .)" -ge "$want" ]; then
                [ "${FWU_UDEVD:-1}" != 0 ] || break
                # shellcheck disable=SC2086
                [ "$(stat -c %G $nodes | sort -u)" = plugdev ] && break
            fi
            sleep 0.1
        done
        note "hidraw nodes: $(ls -l /dev/hidraw* 2>&1 | head -n "$want" | tr '\n' ' ')"
    else
        note "the device server did not attach"
    fi
fi

if [ -e /run/fwu-ready ] || [ -z "$server_pid" ]; then
    run_as=(env HOME=/root)
    if [ "${FWU_UDEVD:-1}" != 0 ]; then
        # An ordinary user: only the rules give it the device.
        run_as=(setpriv --reuid="$user" --regid="$user" --init-groups env HOME="/home/$user")
    fi
    tooldir=$(dirname "$FWU_TOOL")
    if [ "${FWU_TOOL_LOG:-0}" = 1 ]; then
        # The tool's diagnostic log, switched on beside the executable; the
        # overlay keeps the host's build directory untouched. Off by default:
        # writing it changes the tool's timing.
        printf '[Settings]\nIsLogPrint=true\nIsShowSubVer=true\n' >"$tooldir/LogConfig.ini"
        chmod 1777 "$tooldir"
    fi
    tool=("$FWU_TOOL")
    wine_env=()
    if [ -n "${FWU_WINE_PREFIX:-}" ]; then
        # The Windows build under Wine, in the prefix made before the boot
        # (its writes land in the throw-away layer).
        wine_env=(env WINEPREFIX="$FWU_WINE_PREFIX" WINEDEBUG="${FWU_WINEDEBUG:--all}"
                  WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        tool=("${wine_env[@]}" wine "$FWU_TOOL")
        note "$(wine --version 2>/dev/null)"
    fi
    # A working directory of its own (the guest's /tmp shows the host's), and
    # no update history of the host's runs: the guest's root is the host's
    # under a writable overlay, so what is removed here stays on the host.
    work=$(mktemp -d /tmp/fwu-tool.XXXXXX) && chmod 1777 "$work" && cd "$work" || cd /tmp || true
    rm -rf /root/.local/state/FirmwareUpgrade /home/"$user"/.local/state/FirmwareUpgrade
    if [ -n "${FWU_STEPS:-}" ]; then
        # A multi-step case: its script runs the tool as often as it needs
        # and writes its checks to steps.txt.
        # shellcheck source=guest-steps.sh
        . "$(dirname "$0")/guest-steps.sh"
        # shellcheck source=/dev/null
        . "$FWU_STEPS"
        echo "steps done" >>"$out/steps.txt"
    else
        # shellcheck disable=SC2086
        timeout -k 5 "${FWU_TOOL_TIMEOUT:-240}" "${run_as[@]}" "${tool[@]}" --console $FWU_TOOL_OPTS \
            </dev/null >"$out/tool.log" 2>&1
        status=$?
        echo "$status" >"$out/tool.status"
        note "tool exit status $status"
    fi
    if [ ${#wine_env[@]} -gt 0 ]; then
        # Wine's own processes (wineserver, the device host with winebus)
        # outlive the tool; they let go of the device before it is unplugged.
        timeout -k 5 20 "${run_as[@]}" "${wine_env[@]}" wineserver -k
        note "wineserver stopped (status $?)"
    fi
    cp "$tooldir"/Log_*.txt "$out/" 2>/dev/null
    cp "${work:-/nonexistent}"/*.jsonl "$out/" 2>/dev/null
    # The update history the run wrote in the per-user state folder (the
    # Windows build's in its user profile in the prefix).
    for history in /home/"$user"/.local/state/FirmwareUpgrade/history.jsonl \
        /root/.local/state/FirmwareUpgrade/history.jsonl \
        "${FWU_WINE_PREFIX:-/nonexistent}"/drive_c/users/*/AppData/Local/FirmwareUpgrade/history.jsonl; do
        if [ -f "$history" ]; then cp "$history" "$out/history.jsonl"; fi
    done
fi

# The device nodes as the tool saw them, before the server unplugs the device.
ls -l /dev/hidraw* /dev/bus/usb/*/* >"$out/nodes.txt" 2>&1

if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$server_pid" 2>/dev/null; then
        note "the device server ignored SIGTERM"
        kill -KILL "$server_pid" 2>/dev/null
    fi
    wait "$server_pid" 2>/dev/null
    note "device server exit status $?"
fi

dmesg >"$out/dmesg.txt" 2>&1
sync
