#!/usr/bin/env bash
# Installs every Debian package listed under deps/ that is not installed yet.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
pkgs=$(cat "$top"/deps/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# Multiarch packages (name:arch) need their architecture enabled first.
for p in "${missing[@]}"; do
  case "$p" in
    *:*) arch=${p##*:}; dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch" ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
