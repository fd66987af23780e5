#!/usr/bin/env bash
# Kernel tier: each case boots Debian's stock kernel under QEMU, attaches the
# simulated controller (fwu-simusb) to the guest's vhci-hcd as a real USB
# device and runs the real FirmwareUpgrade against it through usbhid, hidraw
# and udev, as an ordinary user with the shipped rules.
#
#   tests/kernel/run.sh [--build DIR] [--win-build WINDIR] [CASE...]
# (default: every case but "guest", which only proves the guest without a device)
#
# Builds nothing: DIR (or FWU_BUILD_DIR) must hold frontends/FirmwareUpgrade
# and tools/simusb/fwu-simusb; the Wine cases need WINDIR (or FWU_WIN_BUILD_DIR,
# default build-ci/windows), the Windows build with frontends/FirmwareUpgrade.exe,
# and the wine packages. Other settings:
#   FWU_KERNEL_CACHE  guest kernel and initramfs (default build-ci/kernel-cache)
#   FWU_KERNEL_OUT    per-case results (default DIR/kernel-tier)
#   FWU_UDEV_RULES    rules file (default DIR/70-firmwareupgrade.rules, else a stand-in)
#   FWU_QEMU_ACCEL    QEMU accelerator (default tcg), FWU_QEMU_SMP (default 2)
#   FWU_CASE_TIMEOUT  seconds one tool run may take in the guest (default 240;
#                     180 more for a Wine case)
#   FWU_WINEDEBUG     WINEDEBUG for the Wine cases (default -all; e.g. +hid puts
#                     Wine's HID trace into tool.log)
#   FWU_TOOL_LOG=1    switch on the tool's diagnostic log (Log_*.txt in the results;
#                     it changes the tool's timing)
# Prints one PASS/FAIL line per case and ends with "N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FWU_BUILD_DIR:-}
win_build=${FWU_WIN_BUILD_DIR:-$root/build-ci/windows}
selected=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --build=*) build=${1#--build=}; shift ;;
        --win-build) win_build=$2; shift 2 ;;
        --win-build=*) win_build=${1#--win-build=}; shift ;;
        -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) selected+=("$1"); shift ;;
    esac
done
[ -n "$build" ] || { echo "run.sh: give the build directory (--build DIR or FWU_BUILD_DIR)" >&2; exit 2; }
build=$(cd "$build" && pwd) || exit 2
tool="$build/frontends/FirmwareUpgrade"
simusb="$build/tools/simusb/fwu-simusb"
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
declare -A udevd=() server=() options=() want_exit=() want_text=() check=() runner=() script=()
define() {
    names+=("$1")
    udevd[$1]=$2 server[$1]=$3 options[$1]=$4 want_exit[$1]=$5 want_text[$1]=$6 check[$1]=$7
    runner[$1]=${8:-linux}
}
steps() {  # steps NAME UDEVD "SERVER OPTIONS" SCRIPT CHECK (cases.sh)
    names+=("$1")
    udevd[$1]=$2 server[$1]=$3 options[$1]="" want_exit[$1]="" want_text[$1]="" check[$1]=$5
    runner[$1]=linux script[$1]=$here/steps/$4
}
# shellcheck source=cases.sh
. "$here/cases.sh"
if [ ${#selected[@]} -eq 0 ]; then
    for name in "${names[@]}"; do [ "$name" = guest ] || selected+=("$name"); done
fi

# Checks the server's RESULT of a controller the tool updated; prints the reason
# of a failure, nothing on success.
updated_reason() {  # updated_reason RESULT
    local result=$1
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
}

# Two controllers served (result.txt.0, result.txt.1) and the tool's recorded
# run (tool-trace.jsonl): one updated, the other untouched, and each seen at
# its own USB port throughout. Prints the reason of a failure, nothing on success.
locations_reason() {  # locations_reason DIR
    local dir=$1 trace=$1/tool-trace.jsonl result updated="" other="" mine theirs reason
    for result in "$dir"/result.txt.0 "$dir"/result.txt.1; do
        if [ ! -s "$result" ]; then echo "fwu-simusb wrote no ${result##*/}"; return; fi
        if grep -qx "reenumerations=0" "$result"; then other=$result; else updated=$result; fi
    done
    if [ -z "$updated" ] || [ -z "$other" ]; then
        echo "not one controller updated and one left alone: $(grep -h '^reenumerations=' "$dir"/result.txt.? | tr '\n' ' ')"
        return
    fi
    reason=$(updated_reason "$updated")
    if [ -n "$reason" ]; then echo "${updated##*/}: $reason"; return; fi
    if ! grep -qx "mode=normal" "$other" || grep -qE '^ic[0-9]+_(flash=match|final_page_last=)' "$other"; then
        echo "the other controller was touched: $(tr '\n' ' ' <"$other")"
        return
    fi
    [ -s "$trace" ] || { echo "the tool recorded no trace"; return; }
    # The USB port each stayed on: its sysfs name ends in -(vhci port + 1).
    mine=-$(($(sed -n 's/^vhci_port=//p' "$updated") + 1))
    theirs=-$(($(sed -n 's/^vhci_port=//p' "$other") + 1))
    # Every arrival, removal and open line names a location.
    if grep -E '"op":"(arrival|removal|open)"' "$trace" | grep -vq '"location":"[^"]'; then
        echo "a line without a location: $(grep -E '"op":"(arrival|removal|open)"' "$trace" | grep -v '"location":"[^"]' | head -n 1)"
        return
    fi
    # Only the updated controller re-enumerates: its arrivals and removals,
    # and every open of a path they name (in either mode), are at one
    # location, the port of its result.
    local own
    own=$( {
        grep -E '"op":"(arrival|removal)"' "$trace"
        grep -E '"op":"open"' "$trace" |
            grep -F -f <(grep -E '"op":"(arrival|removal)"' "$trace" | grep -o '"path":"[^"]*"')
    } | grep -o '"location":"[^"]*"' | sort -u)
    if [ "$(grep -c . <<<"$own")" != 1 ] || [[ "$own" != *"$mine\"" ]]; then
        echo "the updated controller (port $mine) was seen at: $(tr '\n' ' ' <<<"$own")"
        return
    fi
    if [ "$(grep -c '"op":"removal"' "$trace")" = 0 ] || [ "$(grep -c '"op":"arrival"' "$trace")" = 0 ]; then
        echo "no re-enumeration in the trace"
        return
    fi
    # The other was opened too (start-up scans), at its own port.
    if [ "$mine" = "$theirs" ]; then
        echo "both controllers stayed on port $mine"
    elif ! grep -E '"op":"open"' "$trace" | grep -q "\"location\":\"[^\"]*$theirs\""; then
        echo "the other controller (port $theirs) was not seen at a location of its own"
    fi
}

# Three controllers served to one --station run (result.txt.0 to .2): the
# first two updated, the third unplugged during its run; the tool's line of
# each outcome names the controller's own USB port, and so does each run's
# record in the update history, with the controller's serial number and the
# run's status. Prints the reason of a failure, nothing on success.
station_reason() {  # station_reason DIR
    local dir=$1 unit result port want reason status records
    records=$(grep -c . "$dir/history.jsonl" 2>/dev/null)
    if [ "${records:-0}" != 3 ]; then
        echo "the update history holds ${records:-no} records, not 3"
        return
    fi
    for unit in 0 1 2; do
        result=$dir/result.txt.$unit
        if [ ! -s "$result" ]; then echo "fwu-simusb wrote no ${result##*/}"; return; fi
        if [ "$unit" = 2 ]; then
            want=failed status=1
            if ! grep -qx "mode=absent" "$result"; then
                echo "controller 2 was not unplugged: $(tr '\n' ' ' <"$result")"
                return
            fi
        else
            want=updated status=0
            reason=$(updated_reason "$result")
            if [ -n "$reason" ]; then echo "${result##*/}: $reason"; return; fi
        fi
        # Its port: the sysfs name ends in -(vhci port + 1).
        port=-$(($(sed -n 's/^vhci_port=//p' "$result") + 1))
        if ! grep -qE "^\[[0-9.-]*$port\] Outcome: $want" "$dir/tool.log"; then
            echo "no \"Outcome: $want\" line for controller $unit at port *$port: $(grep 'Outcome:' "$dir/tool.log" | tr '\n' ' ')"
            return
        fi
        if ! grep "\"serial\":\"FWUSIM000$unit\"" "$dir/history.jsonl" |
            grep "\"location\":\"[0-9.-]*$port\"" | grep -q "\"status\":$status,"; then
            echo "no history record of controller $unit at port *$port with status $status: $(tr '\n' ' ' <"$dir/history.jsonl")"
            return
        fi
    done
}

# The update history the tool wrote in the guest: no record without a
# controller to press Update for; otherwise one, with the run's exit status
# and the served device's USB serial number (the Linux build reads it through
# udev from sysfs, the Windows build from Wine's HID class driver).
history_verdict() {  # history_verdict NAME DIR STATUS
    local name=$1 history="$2/history.jsonl" status=$3 records
    # A station writes one record per run, and a case of several steps checks
    # its own runs: their own checks read the records.
    [ "${check[$name]}" != station ] && [ -z "${script[$name]:-}" ] || return
    if [ "${server[$name]}" = "-" ]; then
        if [ -e "$history" ]; then echo "a history record without a press: $(head -c 400 "$history")"; fi
        return
    fi
    records=$(grep -c . "$history" 2>/dev/null)
    if [ "${records:-0}" != 1 ]; then
        echo "the update history holds ${records:-no} records, not 1"
    elif ! grep -q "\"status\":$status," "$history"; then
        echo "the history's record has another status than $status: $(cat "$history")"
    elif ! grep -q '"serial":"FWUSIM0000"' "$history"; then
        echo "the history's serial number is not the device's FWUSIM0000: $(cat "$history")"
    fi
}

# Checks a finished case in DIR; prints the reason of a failure, nothing on success.
verdict() {  # verdict NAME DIR
    local name=$1 dir=$2 status="" result
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
    if [ -n "${script[$name]:-}" ]; then
        # Each step checked its own runs.
        if ! grep -qx "steps done" "$dir/steps.txt" 2>/dev/null; then
            echo "the steps did not all run: $(tail -n 1 "$dir/steps.txt" 2>/dev/null)"
            return
        fi
        if grep -q '^FAIL' "$dir/steps.txt"; then
            grep '^FAIL' "$dir/steps.txt" | tr '\n' ';'
            return
        fi
    else
        if [ ! -f "$dir/tool.status" ]; then
            echo "the tool did not run: $(tail -n 1 "$dir/guest.log" 2>/dev/null)"
            return
        fi
        status=$(cat "$dir/tool.status")
        if [ "$status" = 124 ] || [ "$status" = 137 ]; then
            echo "the tool did not end within $(sed -n "s/^FWU_TOOL_TIMEOUT=//p" "$dir/case.env") s: $(grep -v '^Progress' "$dir/tool.log" | tail -n 1)"
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
    fi
    local why
    why=$(history_verdict "$name" "$dir" "$status")
    if [ -n "$why" ]; then
        echo "$why"
        return
    fi
    case "${check[$name]}" in
        flash) updated_reason "$dir/result.txt" ;;
        locations) locations_reason "$dir" ;;
        station) station_reason "$dir" ;;
        untouched)
            result="$dir/result.txt"
            if [ ! -s "$result" ]; then
                echo "fwu-simusb wrote no result"
            elif ! grep -qx "mode=normal" "$result" || ! grep -qx "reenumerations=0" "$result"; then
                echo "the controller did not stay in normal mode: $(grep -E '^(mode|reenumerations)=' "$result" | tr '\n' ' ')"
            fi
            ;;
    esac
}

# The Wine cases' user: the guest creates it with this user ID, and its Wine
# prefix is made here, natively, owned by the same ID (Wine runs only in a
# prefix its user owns). Making a prefix inside the guest would take minutes.
wine_uid=4711
wine_prefix="$out/wine-prefix"
wine_ready=""
# Makes the Wine prefix once per run (again when Wine changed); prints the
# reason of a failure, nothing on success.
make_wine_prefix() {
    local want as_user
    command -v wine >/dev/null || { echo "no wine (apt-get install wine wine64)"; return; }
    want="$(wine --version 2>/dev/null) uid $wine_uid, SDL off"
    if [ -f "$wine_prefix.ready" ] && [ "$(cat "$wine_prefix.ready")" = "$want" ]; then return; fi
    rm -rf "$wine_prefix" "$wine_prefix.ready" "$wine_prefix.home"
    mkdir -p "$wine_prefix" "$wine_prefix.home"
    chown "$wine_uid:$wine_uid" "$wine_prefix" "$wine_prefix.home"
    as_user=(setpriv --reuid="$wine_uid" --regid="$wine_uid" --clear-groups
             env -i PATH=/usr/bin:/bin HOME="$wine_prefix.home" USER=fwuser
             WINEPREFIX="$wine_prefix" WINEDEBUG=-all
             WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
    {
        "${as_user[@]}" wineboot --init &&
            "${as_user[@]}" wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
                /v "Enable SDL" /t REG_DWORD /d 0 /f
        "${as_user[@]}" wineserver -w
    } >"$wine_prefix.log" 2>&1
    if ! grep -qi '"Enable SDL"=dword:00000000' "$wine_prefix/system.reg" 2>/dev/null; then
        echo "making the Wine prefix failed (see $wine_prefix.log)"
        return
    fi
    echo "$want" >"$wine_prefix.ready"
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
    case_tool=$tool
    memory=1024
    tool_timeout=$case_timeout
    # A multi-step case runs the tool several times in its boot.
    guest_timeout=$((case_timeout + 90))
    [ -n "${script[$name]:-}" ] && guest_timeout=$((2 * case_timeout + 90))
    if [ "${runner[$name]}" = wine ]; then
        case_tool="$win_build/frontends/FirmwareUpgrade.exe"
        memory=3072
        # Wine's own start-up and its longer path per report, under TCG.
        tool_timeout=$((case_timeout + 180))
        reason=""
        if [ ! -f "$case_tool" ]; then
            reason="no $case_tool (the Windows build, target FirmwareUpgrade; --win-build DIR)"
        elif [ -z "$wine_ready" ]; then
            reason=$(make_wine_prefix)
            [ -n "$reason" ] || wine_ready=1
        fi
        if [ -n "$reason" ]; then
            echo "FAIL $name: $reason"
            failed=$((failed + 1))
            continue
        fi
    fi
    {
        printf 'FWU_GUEST_SCRIPT=%q\n' "$here/guest-case.sh"
        printf 'FWU_UDEV_ROOT=%q\n' "$cache/udev"
        printf 'FWU_RULES=%q\n' "$rules"
        printf 'FWU_UDEVD=%q\n' "${udevd[$name]}"
        if [ "${server[$name]}" != "-" ]; then printf 'FWU_SIMUSB=%q\n' "$simusb"; fi
        printf 'FWU_SERVER_OPTS=%q\n' "${server[$name]}"
        printf 'FWU_TOOL=%q\n' "$case_tool"
        if [ "${runner[$name]}" = wine ]; then
            printf 'FWU_WINE_PREFIX=%q\n' "$wine_prefix"
            printf 'FWU_USER_UID=%q\n' "$wine_uid"
        fi
        printf 'FWU_TOOL_OPTS=%q\n' "${options[$name]}"
        if [ -n "${script[$name]:-}" ]; then printf 'FWU_STEPS=%q\n' "${script[$name]}"; fi
        printf 'FWU_TOOL_TIMEOUT=%q\n' "$tool_timeout"
        printf 'FWU_TOOL_LOG=%q\n' "${FWU_TOOL_LOG:-0}"
        printf 'FWU_WINEDEBUG=%q\n' "${FWU_WINEDEBUG:--all}"
    } >"$dir/case.env"
    start=$(date +%s)
    [ "${runner[$name]}" = wine ] && guest_timeout=$((tool_timeout + 90))
    timeout -k 10 "$guest_timeout" qemu-system-x86_64 \
        -accel "${FWU_QEMU_ACCEL:-tcg}" -cpu qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt \
        -m "$memory" -smp "${FWU_QEMU_SMP:-2}" -nographic -no-reboot -monitor none \
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
