#!/bin/sh
# Starts the real ZelkFlashTool with a USB device mocked by umockdev: the device (vendor 18D1,
# serial ZLK0001) is plugged in, pulled out again, then the window is closed as by its close box.
# The log file that the program writes on closing tells what its list showed.
#
# usage: zelk_flash_tool_mocked_device.sh ZELKFLASHTOOL MOCK_USB_SESSION FAKE_ADB [PAUSE_MS]
#   PAUSE_MS  how long each state stays on the screen (default 1500); a person watching the
#             window may want 5000. Without a display the program runs under Xvfb.
set -eu
[ $# -ge 3 ] || { sed -n '2,9p' "$0"; exit 2; }
tool=$(realpath "$1")
session=$(realpath "$2")
fake_adb=$(realpath "$3")
pause=${4:-1500}
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1600x1000x24" "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-mocked-XXXXXX")
trap 'rm -rf "$work"' EXIT
# A program directory of its own, so that the program finds the fake adb (which starts no server).
mkdir -p "$work/program/Google" "$work/run"
cp "$tool" "$work/program/ZelkFlashTool"
cp "$fake_adb" "$work/program/Google/adb"
chmod +x "$work/program/Google/adb"
printf '* daemon not running; starting now at tcp:5037\n* daemon started successfully\n' >"$work/program/Google/reply-2"

cd "$work/run"
"$session" wait-monitor "wait-window:Zelk Flash Tool v" sleep:500 \
    plug:usb1/1-1/1-1.4:18d1:4ee7:ZLK0001 wait-read sleep:"$pause" \
    unplug:usb1/1-1/1-1.4 wait-read sleep:"$pause" \
    "close:Zelk Flash Tool v" \
    -- "$work/program/ZelkFlashTool"

set -- log/*.log
[ -f "$1" ] || { echo "FAIL: the program wrote no log file"; exit 1; }
log=$(cat "$@" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r')
line_of() {
    n=$(printf '%s\n' "$log" | grep -nF -- "$1" | head -n 1 | cut -d: -f1)
    if [ -z "$n" ]; then
        echo "FAIL: not in the log: $1"
        printf '%s\n' "$log"
        exit 1
    fi
    echo "$n"
}
arrived=$(line_of "Detect: 18D1:4EE7:ZLK0001:0004:0001:1")
connected=$(line_of "[ZLK0001] Detected this device")
left=$(line_of "Detect: 18D1:4EE7:ZLK0001:0004:0001:0")
disconnected=$(line_of "[ZLK0001] Disconnect this device")
closed=$(line_of "User close tool")
if [ "$arrived" -lt "$connected" ] && [ "$connected" -lt "$left" ] && [ "$left" -lt "$disconnected" ] &&
    [ "$disconnected" -lt "$closed" ]; then
    echo "PASS: ZelkFlashTool listed ZLK0001 as Connected when it was plugged in and as Disconnected when it was pulled out"
    exit 0
fi
echo "FAIL: the log records are out of order"
printf '%s\n' "$log"
exit 1
