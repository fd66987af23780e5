# shellcheck shell=bash disable=SC2154
# Helpers of the multi-step cases (cases.sh: "steps"), sourced by
# guest-case.sh in the guest before the case's own script, which runs the
# tool as often as it needs and writes one line per check to steps.txt:
# "PASS what" or "FAIL what: why". Set by guest-case.sh: out, run_as (the
# ordinary user), tool, tooldir, note.
steps_file="$out/steps.txt"

step_pass() { echo "PASS $1" >>"$steps_file"; note "step: PASS $1"; }
step_fail() { echo "FAIL $1: $2" >>"$steps_file"; note "step: FAIL $1: $2"; }

# wait_for SECONDS COMMAND...: COMMAND until it succeeds, every 0.1 s; fails
# when it never did.
wait_for() {
    local tenths=$(($1 * 10))
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

# running PID: the process is there and not yet a zombie.
running() {
    local key value
    while read -r key value _; do
        [ "$key" = State: ] && { [ "$value" != Z ]; return; }
    done 2>/dev/null <"/proc/$1/status"
    return 1
}

# start_tool NAME [--root] [VAR=VALUE...] -- OPTIONS...: the tool with the
# console front end in the background, as the ordinary user (--root: as
# root), with these environment variables; its output goes to NAME.log and
# its process ID to tool_pid.
start_tool() {
    local name=$1 as=("${run_as[@]}") vars=()
    shift
    if [ "${1:-}" = --root ]; then
        as=()
        shift
    fi
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        vars+=("$1")
        shift
    done
    shift
    "${as[@]}" env "${vars[@]}" "${tool[@]}" --console "$@" </dev/null >"$out/$name.log" 2>&1 &
    tool_pid=$!
    note "$name: started as process $tool_pid"
}

# end_tool NAME PID: waits for the tool (killed after FWU_TOOL_TIMEOUT
# seconds), writes NAME.status and sets tool_status.
end_tool() {
    local name=$1 pid=$2
    wait_for "${FWU_TOOL_TIMEOUT:-240}" eval "! running $pid" || kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    tool_status=$?
    echo "$tool_status" >"$out/$name.status"
    note "$name: exit status $tool_status"
}

# expect_end WHAT NAME STATUS TEXT: a check that the run NAME ended with
# STATUS and printed TEXT.
expect_end() {
    local what=$1 name=$2 status=$3 text=$4 got
    got=$(cat "$out/$name.status" 2>/dev/null)
    if [ "$got" != "$status" ]; then
        step_fail "$what" "exit status $got, expected $status: $(grep -v '^Progress' "$out/$name.log" | tail -n 2 | tr '\n' ' ')"
    elif ! grep -qF -- "$text" "$out/$name.log"; then
        step_fail "$what" "no \"$text\" in $name.log"
    else
        step_pass "$what"
    fi
}

# The driver of the served controller's HID interface (the guest has no
# other USB device) in hid_state: "usbhid"; "other" while a program has
# taken it over (usbfs); "none"; "" when there is no HID interface. Shell
# built-ins only: the checks poll it while windows of about a second open
# and close on a slow guest.
hid_state() {
    local d class
    hid_state=""
    for d in /sys/bus/usb/devices/*:*; do
        read -r class 2>/dev/null <"$d/bInterfaceClass" || continue
        [ "$class" = 03 ] || continue
        if [ -e "/sys/bus/usb/drivers/usbhid/${d##*/}" ]; then
            hid_state=usbhid
        elif [ -e "$d/driver" ]; then
            hid_state=other
        else
            hid_state=none
        fi
    done
}
hid_bound() { hid_state && [ "$hid_state" = usbhid ]; }
hid_unbound() { hid_state && [ "$hid_state" = none ]; }
# Inside the tool's window: the HID interface is off usbhid.
in_window() { hid_state && { [ "$hid_state" = other ] || [ "$hid_state" = none ]; }; }
hidraw_present() { compgen -G "/dev/hidraw*" >/dev/null; }
