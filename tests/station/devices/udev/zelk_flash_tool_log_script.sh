#!/bin/bash
# Starts the real ZelkFlashTool with USB devices mocked by umockdev, plays session steps against it
# (mock_usb_session's steps, after waiting for its window) and checks the log file that the program
# writes on closing.
#
# usage: zelk_flash_tool_log_script.sh ZELKFLASHTOOL MOCK_USB_SESSION FAKE_ADB STEP... -- EXPECTED...
#   EXPECTED  a log record text that the log holds after the one expected before it; "!TEXT": no
#             record holds TEXT
# Without a display the program runs under Xvfb.
set -eu
[ $# -ge 4 ] || { sed -n '2,8p' "$0"; exit 2; }
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1600x1000x24" "$0" "$@"
fi
tool=$(realpath "$1")
session=$(realpath "$2")
fake_adb=$(realpath "$3")
shift 3
steps=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    steps+=("$1")
    shift
done
[ $# -gt 0 ] && shift
expected=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-log-script-XXXXXX")
trap 'rm -rf "$work"' EXIT
# A program directory of its own, so that the program finds the fake adb (which starts no server).
mkdir -p "$work/program/Google" "$work/run"
cp "$tool" "$work/program/ZelkFlashTool"
cp "$fake_adb" "$work/program/Google/adb"
chmod +x "$work/program/Google/adb"
printf '* daemon not running; starting now at tcp:5037\n* daemon started successfully\n' >"$work/program/Google/reply-2"

cd "$work/run"
"$session" wait-monitor "wait-window:Zelk Flash Tool v" "${steps[@]}" -- "$work/program/ZelkFlashTool"

logs=(log/*.log)
[ -f "${logs[0]}" ] || { echo "FAIL: the program wrote no log file"; exit 1; }
# The record texts, one a line, in the order of the files and of their records.
texts=$(cat "${logs[@]}" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' | cut -f 2-)
line=0
for want in "${expected[@]}"; do
    if [ "${want#!}" != "$want" ]; then
        if printf '%s\n' "$texts" | grep -qF -- "${want#!}"; then
            echo "FAIL: in the log: ${want#!}"
            printf '%s\n' "$texts"
            exit 1
        fi
        continue
    fi
    found=$(printf '%s\n' "$texts" | tail -n +$((line + 1)) | grep -nxF -- "$want" | head -n 1 | cut -d: -f1)
    if [ -z "$found" ]; then
        echo "FAIL: not in the log after record $line: $want"
        printf '%s\n' "$texts"
        exit 1
    fi
    line=$((line + found))
done
echo "PASS: the log holds the records expected"
