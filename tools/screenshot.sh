#!/usr/bin/env bash
# Takes a picture of the main window under Xvfb with a window manager (so that its title bar
# shows) and prints where it is.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build=${ZELK_SCREENSHOT_BUILD:-$top/build/dev}
cmake -S "$top" -B "$build" -DZELK_TESTS=ON >/dev/null
cmake --build "$build" -j4 --target station_gui_tests >/dev/null
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$wm" "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
DISPLAY=":$display" openbox >/dev/null 2>&1 &
wm=$!
sleep 1
DISPLAY=":$display" "$build/tests/station/app/station_gui_tests" --gtest_filter='MainWindowPicture.*' >/dev/null
echo "$build/screenshots/main-window.png"
echo "$build/screenshots/main-window-rows.png"
echo "$build/screenshots/main-window-worker-boxes.png"
