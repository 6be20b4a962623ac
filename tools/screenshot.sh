#!/usr/bin/env bash
# Starts the viewer on a virtual X server with the virtual camera, lets it show
# live frames for a while and saves a PNG of its window.
#
# usage: tools/screenshot.sh [OUT.png] [seconds]
#   OUT.png   where the picture goes (default: screenshot.png)
#   seconds   how long the viewer runs before the picture is taken (default: 8)
# Environment:
#   VANTARO_BIN      the viewer to run (default: build/vantaro of this checkout)
#   VANTARO_SCREEN   the virtual screen, WIDTHxHEIGHT (default: 1600x900)
#   VANTARO_COLORMAP the depth picture's colour map (grey, turbo, viridis,
#                    inferno, plasma or jet; default: the viewer's, grey)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-screenshot.png}
seconds=${2:-8}
viewer=${VANTARO_BIN:-$root/build/vantaro}
screen=${VANTARO_SCREEN:-1600x900}
colormap=${VANTARO_COLORMAP:-}

case "$seconds" in
  '' | *[!0-9.]*) echo "screenshot.sh: seconds must be a number, not '$seconds'" >&2; exit 2 ;;
esac
if ! [[ "$screen" =~ ^([0-9]+)x([0-9]+)$ ]]; then
  echo "screenshot.sh: VANTARO_SCREEN must look like 1600x900, not '$screen'" >&2
  exit 2
fi
screen_w=${BASH_REMATCH[1]}
screen_h=${BASH_REMATCH[2]}
case "$colormap" in
  '' | grey | turbo | viridis | inferno | plasma | jet) ;;
  *) echo "screenshot.sh: unknown colour map '$colormap'" >&2; exit 2 ;;
esac
if [ ! -x "$viewer" ]; then
  echo "screenshot.sh: no viewer at $viewer (build it, or set VANTARO_BIN)" >&2
  exit 1
fi
case "$out" in
  /*) ;;
  *) out="$PWD/$out" ;;
esac
mkdir -p "$(dirname "$out")"

# ImageMagick's import grabs the screen; xvfb-run provides the X server.
need=()
command -v import >/dev/null 2>&1 || need+=(imagemagick)
command -v xvfb-run >/dev/null 2>&1 || need+=(xvfb xauth)
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "screenshot.sh: installing ${need[*]}" >&2
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# A home of its own, so that the viewer's stored settings and snapshot
# folder stay out of the user's.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
if [ -n "$colormap" ]; then
  mkdir -p "$home/.config/Tarnwell"
  printf '[view]\ncolormap=%s\n' "$colormap" > "$home/.config/Tarnwell/Vantaro.conf"
fi

# The viewer places its window at 5 % margins of the screen; without a window
# manager there is no frame around it, so that rectangle is the window.
crop="$((screen_w * 9 / 10))x$((screen_h * 9 / 10))+$((screen_w * 5 / 100))+$((screen_h * 5 / 100))"

export VIEWER="$viewer" OUT="$out" SECONDS_TO_WAIT="$seconds" CROP="$crop"
# The inner script expands its variables itself, inside the virtual display.
# shellcheck disable=SC2016
HOME="$home" XDG_CONFIG_HOME="$home/.config" VANTARO_VIRTUAL_CAMERA=1 \
  LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 ${screen_w}x${screen_h}x24" bash -c '
    set -u
    "$VIEWER" > "$HOME/viewer.log" 2>&1 &
    pid=$!
    sleep "$SECONDS_TO_WAIT"
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "screenshot.sh: the viewer ended early; its output:" >&2
      cat "$HOME/viewer.log" >&2
      exit 1
    fi
    import -window root -crop "$CROP" +repage "$OUT"
    status=$?
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    exit $status
  '
echo "$out"
