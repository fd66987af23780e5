# shellcheck shell=bash disable=SC2154
# Steps of the case "stop-and-lock" (cases.sh), against a controller in
# normal mode that honours only the switch report, which the tool sends on
# the control pipe with usbhid taken off the interface for the request. The
# test-only FWU_TEST_DETACHED_PAUSE_MS holds the tool inside that window.

# The tool's diagnostic log, for the line that says a driver was given back.
printf '[Settings]\nIsLogPrint=true\n' >"$tooldir/LogConfig.ini"
chmod 1777 "$tooldir"

# 1. SIGKILL inside the window: the controller is left without a driver (the
#    kernel's release of the interface does not give it back).
start_tool kill-window FWU_TEST_DETACHED_PAUSE_MS=10000 -- --update --wait 30
if wait_for 90 in_window; then
    kill -KILL "$tool_pid"
    end_tool kill-window "$tool_pid"
    # Still so a moment later: nobody gives it back.
    sleep 2
    if hid_unbound && ! hidraw_present; then
        step_pass "SIGKILL inside the window leaves the controller without a driver"
    else
        step_fail "SIGKILL inside the window leaves the controller without a driver" \
            "the HID interface's driver: $hid_state"
    fi
else
    step_fail "the tool enters the window" "the interface never lost its driver"
    kill -KILL "$tool_pid"
    end_tool kill-window "$tool_pid"
fi

# 2. The next start gives usbhid back (the controller arrives with a hidraw
#    node and is shown); SIGTERM inside the window of its update lets the
#    window complete: the controller gets its driver back (it restarts in
#    upgrade mode on the switch report) and the run ends with status 1.
start_tool term-window FWU_TEST_DETACHED_PAUSE_MS=4000 -- --update --wait 30
if wait_for 60 hidraw_present && hid_bound; then
    step_pass "the next start gives the controller its driver back"
else
    step_fail "the next start gives the controller its driver back" "no hidraw node"
fi
if wait_for 90 in_window; then
    kill -TERM "$tool_pid"
    end_tool term-window "$tool_pid"
    expect_end "SIGTERM inside the window ends the run with status 1" term-window 1 \
        "Stopped by SIGTERM."
    if wait_for 60 hidraw_present && hid_bound; then
        step_pass "after SIGTERM inside the window the controller has its driver"
    else
        step_fail "after SIGTERM inside the window the controller has its driver" \
            "no hidraw node"
    fi
else
    step_fail "the second start enters the window" "the interface never lost its driver"
    kill -KILL "$tool_pid"
    end_tool term-window "$tool_pid"
fi
if grep -qF "had no driver: the HID driver is attached again." "$tooldir"/Log_*.txt 2>/dev/null; then
    step_pass "the log says the driver was given back"
else
    step_fail "the log says the driver was given back" "no such line in $(ls "$tooldir"/Log_*.txt 2>&1 | tr '\n' ' ')"
fi
cp "$tooldir"/Log_*.txt "$out/" 2>/dev/null

# 3. One controller, one driver of it: while root's run updates the
#    controller, the ordinary user's run finds it locked, says so and ends
#    with status 3; root's update completes (the flash is checked after).
start_tool root-update --root -- --update --wait 30
root_pid=$tool_pid
if wait_for 120 grep -q '^Progress: ' "$out/root-update.log"; then
    start_tool user-locked -- --wait 5
    end_tool user-locked "$tool_pid"
    expect_end "a second process finds the controller locked" user-locked 3 \
        "the controller is being updated by another program"
else
    step_fail "root's run starts its download" "no progress in root-update.log"
fi
end_tool root-update "$root_pid"
expect_end "the first process's update completes" root-update 0 "[Update OK]"
