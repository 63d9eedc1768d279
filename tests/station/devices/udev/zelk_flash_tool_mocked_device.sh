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
pause=${4:-1500}
port=usb1/1-1/1-1.4
exec bash "$(dirname "$0")/zelk_flash_tool_log_script.sh" "$1" "$2" "$3" \
    sleep:500 plug:$port:18d1:4ee7:ZLK0001 wait-read sleep:"$pause" \
    unplug:$port wait-read sleep:"$pause" "close:Zelk Flash Tool v" \
    -- \
    "Detect: 18D1:4EE7:ZLK0001:0004:0001:1" "[ZLK0001] Detected this device" \
    "Detect: 18D1:4EE7:ZLK0001:0004:0001:0" "[ZLK0001] Disconnect this device" \
    "User close tool"
