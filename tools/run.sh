#!/usr/bin/env bash
# Installs what is missing, builds ZelkFlashTool and starts it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build=${ZELK_RUN_BUILD:-$top/build/release}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ZelkFlashTool
cd "$build/station"
exec ./ZelkFlashTool "$@"
