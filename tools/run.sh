#!/usr/bin/env bash
# Installs what is missing, builds ZelkFlashTool and starts it (its log/ directory and settings
# file are in the build's station/ directory, where it runs).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build=${ZELK_RUN_BUILD:-$top/build/release}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ZelkFlashTool
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "ZelkFlashTool needs a graphical display (DISPLAY is not set)." >&2
  echo "Run this from a desktop session, or try it without one: xvfb-run -a bash tools/run.sh" >&2
  exit 1
fi
cd "$build/station"
exec ./ZelkFlashTool "$@"
