#!/usr/bin/env bash
# Exports a recording with the twv tool built in BUILD_DIR (default build/)
# and reads the files back with Foxglove's own MCAP reader and ROS 2 message
# decoder, comparing pictures, camera information, depth, points and times
# with the recording. The npm packages it needs install into tests/interop
# for this check alone; nothing of the product depends on them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${BUILD_DIR:-$root/build}}"
twv="$build/twv"
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends nodejs npm
fi
npm ci --prefix "$root/tests/interop" --no-audit --no-fund --loglevel=error
work="$build/interop"
rm -rf "$work"
mkdir -p "$work"
"$twv" record "$work/rec.twv" --virtual --resolution VGA --fps 15 --frames 6 --codec lossless 2>/dev/null
"$twv" export "$work/rec.twv" "$work/all.mcap" --depth QUALITY --cloud 2>/dev/null
"$twv" depth "$work/rec.twv" --all --mode QUALITY --out "$work/depth" --format pfm 2>/dev/null
"$twv" export "$work/rec.twv" "$work/part.mcap" --from 2 --to 4 2>/dev/null
check="$root/tests/interop/check-mcap.mjs"
node "$check" "$work/all.mcap" "$work/rec.twv" 0 5 "$work/depth"
node "$check" "$work/part.mcap" "$work/rec.twv" 2 4
