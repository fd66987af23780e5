# Kernel-tier cases, sourced by run.sh. One line per case:
#   define NAME UDEVD "SERVER OPTIONS" "TOOL OPTIONS" EXIT "TEXT" CHECK [wine]
# UDEVD 1 starts systemd-udevd with the rules and runs the tool as an ordinary
# user in group plugdev; 2 the same with only the rules' hidraw lines (the
# user may not open the USB device node); 0 leaves udev out and runs the tool as root, since
# nothing would set the nodes' permissions. An empty SERVER OPTIONS "-" runs no
# device server. EXIT is the tool's expected exit status and TEXT a line its
# console output must hold. CHECK is "flash" (the server's result must show
# every IC's flash equal to the package, the final page written last and the
# controller back in normal mode), "untouched" (still in normal mode, never
# restarted), "locations" (two controllers served, see that case), "station"
# (see that case) or "none".
# Every case first checks the guest's
# own set-up (vhci-hcd present, udevd listening, the user in plugdev); "guest",
# run only when named, checks nothing else. A last word "wine" runs the Windows
# build (FirmwareUpgrade.exe) under Wine in the same guest instead of the Linux
# build; see the Wine cases at the end.
ok="[Update OK]"
define guest          1 "-" "--update --wait 3" 3 "No controller was found" none
define p2-normal      1 "--simulate=normal --simulate-protocol=2.0 --report-id=1" "--update --wait 30" 0 "$ok" flash
define p1-normal      1 "--simulate=normal --simulate-protocol=1.0 --report-id=1" "--update --wait 30" 0 "$ok" flash
define p2-bootloader  1 "--simulate=bootloader --simulate-protocol=2.0 --report-id=1" "--update --wait 30" 0 "$ok" flash
define p1-bootloader  1 "--simulate=bootloader --simulate-protocol=1.0 --report-id=1" "--update --wait 30" 0 "$ok" flash
define unnumbered     1 "--simulate=normal --simulate-protocol=2.0 --report-id=0" "--update --wait 30" 0 "$ok" flash
define no-int-out     1 "--simulate=normal --simulate-protocol=2.0 --report-id=1 --no-interrupt-out" "--update --wait 30" 0 "$ok" flash
define entry-strings  1 "--simulate=normal --simulate-protocol=2.0 --report-id=1 --entry=strings" "--update --wait 30" 0 "$ok" flash
define entry-switch   1 "--simulate=normal --simulate-protocol=2.0 --report-id=1 --entry=switch" "--update --wait 30" 0 "$ok" flash
# The switch report travels on the control pipe by each of the tool's routes:
# HIDIOCSOUTPUT where there is no interrupt OUT endpoint (above: usbhid taken
# off the interface for the request); without access to the USB device node
# the only route left is HIDIOCSOUTPUT on the interrupt OUT endpoint, which
# this controller does not take as a switch request: the run waits for the
# controller in vain and says so.
define switch-no-int-out 1 "--simulate=normal --simulate-protocol=1.0 --report-id=0 --no-interrupt-out --entry=switch" "--update --wait 30" 0 "$ok" flash
define switch-no-usb-access 2 "--simulate=normal --simulate-protocol=2.0 --report-id=1 --entry=switch" "--update --wait 30" 1 "The device does not exist and has been removed!" none
define no-udevd       0 "--simulate=normal --simulate-protocol=2.0 --report-id=1" "--update --wait 30" 0 "$ok" flash
define bad-checksum   1 "--simulate=bootloader --simulate-protocol=2.0 --report-id=1 --simulate-fault=bad-checksum@3" "--update --wait 30" 1 "Checksum error!" none
# Report transfer 2 comes after the switch to upgrade mode and before the first
# image job: the controller goes away there, so the run waits for it and gives up.
define remove         1 "--simulate=normal --simulate-protocol=2.0 --report-id=1 --simulate-fault=remove@2" "--update --wait 30" 1 "The device does not exist and has been removed!" none
# Two identical controllers at once, each on a vhci port of its own, and the
# tool (one controller per run) recording its run: it updates one of them,
# and its trace shows that controller at one USB port through every
# re-enumeration (every arrival, removal and open of it carries the same
# location, the port its result names), the other at another port, its flash
# untouched. The server writes result.txt.0 and result.txt.1.
define two-controllers 1 "--simulate-count=2 --simulate=normal --simulate-protocol=2.0 --report-id=1" "--update --wait 30 --record tool-trace.jsonl" 0 "$ok" locations
# The station: three controllers served at once, each on its own vhci port,
# updated by one --station run at the same time: protocol 2.0 from normal
# mode, protocol 1.0 from normal mode, and one in its bootloader unplugged in
# the middle of its first image. Each run's outcome is checked on the lines
# prefixed with its port, each updated flash byte for byte. The unplug comes
# while the others download, not while they re-enumerate: a hidraw write to
# the unplugged device stays pending in vhci-hcd until its 5 s time-out and
# holds the hidraw driver's table lock, so no other hidraw node can appear meanwhile
# (under TCG that pushes a re-enumerating controller past the tool's 6.4 s
# wait for it).
define station 1 "--simulate-count=3 --simulate=normal --simulate-protocol=2.0 --report-id=1 --simulate-unit=1:protocol=1.0 --simulate-unit=2:bootloader --simulate-unit=2:remove@1500" "--station --count 3 --wait 30" 1 "2 updated, 0 already current, 1 failed" station

# Multi-step cases: one boot, one served controller, a script in steps/ that
# runs the tool several times (helpers in guest-steps.sh) and checks each run:
#   steps NAME UDEVD "SERVER OPTIONS" SCRIPT CHECK
# The switch-report window killed (SIGKILL: the next start gives usbhid
# back) and stopped (SIGTERM: the window completes, status 1), then root and
# the ordinary user on one controller at once (the second finds it locked,
# status 3; the first's update completes and is checked).
steps stop-and-lock   1 "--simulate=normal --simulate-protocol=2.0 --report-id=1 --entry=switch" stop-and-lock.sh flash

# The Windows build under Wine, in the same guest against the same served
# controller: Wine's HID bus (winebus.sys with its udev backend) finds the
# controller's hidraw node and presents it through hid.dll, setupapi and device
# notifications as a HID device; the tool runs as the same ordinary user (so a
# Wine case needs UDEVD 1; Wine opens only the hidraw node). Its
# prefix is made on the host before the boot, with winebus's SDL backend off
# ("Enable SDL" = 0): with SDL on, only the SDL bus runs and no HID device
# appears.
# What Wine cannot do: its HID class driver does not pass indexed string
# requests on (HidD_GetIndexedString fails), so in normal mode the tool shows
# "----" for the versions and the string form of bootloader entry fails; entry
# goes by the switch report. Wine sends HidD_SetOutputReport the way usbhid
# sends a hidraw write, on the interrupt OUT endpoint where there is one, so
# the switch reaches the control pipe only on a controller without one: the
# case from normal mode has none. On a busy machine Wine can present the
# controller that came back in upgrade mode later than the tool's 6.4 s wait
# for it (about 1.5 s on an otherwise idle one). After the update the tool
# cannot read the new version ("----") and ends with status 4, the update not
# confirmed; the flash is checked byte for byte, the final page written last
# and the controller back in normal mode.
define wine-p2-numbered    1 "--simulate=normal --simulate-protocol=2.0 --report-id=1 --no-interrupt-out" "--update --wait 30" 4 "$ok" flash wine
define wine-p1-unnumbered  1 "--simulate=bootloader --simulate-protocol=1.0 --report-id=0 --no-interrupt-out" "--update --wait 30" 4 "$ok" flash wine
define wine-bad-checksum   1 "--simulate=bootloader --simulate-protocol=2.0 --report-id=1 --simulate-fault=bad-checksum@3" "--update --wait 30" 1 "Checksum error!" none wine
