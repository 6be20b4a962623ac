#!/usr/bin/env bash
# Installs what is missing, builds, and starts the viewer on the built-in
# virtual camera. Arguments go to the viewer (e.g. a recording: walk.twv).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
export VANTARO_VIRTUAL_CAMERA="${VANTARO_VIRTUAL_CAMERA:-1}"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found; starting the viewer on a virtual X display (xvfb-run)." >&2
  exec xvfb-run -a -s "-screen 0 1920x1080x24" "$build/vantaro" "$@"
fi
exec "$build/vantaro" "$@"
