#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under a virtual X
# display with Mesa's software OpenGL.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$@"
build="${BUILD_DIR:-$root/build}"
export LIBGL_ALWAYS_SOFTWARE=1
xvfb-run -a -s "-screen 0 1920x1080x24" ctest --test-dir "$build" --output-on-failure -j 2
