#!/usr/bin/env bash
# Installs the libraries the pipeline benchmark compares against (libyuv and
# FFmpeg's libswscale, and libavfilter for its de-interlacers) when they are
# missing. Debian package names.
set -euo pipefail
missing=()
for pkg in libyuv-dev libswscale-dev libavfilter-dev pkg-config; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
echo "pipeline benchmark libraries present: libyuv-dev libswscale-dev libavfilter-dev"
