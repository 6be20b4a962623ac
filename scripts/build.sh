#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build). Extra arguments go
# to CMake, e.g. -DVANTARO_SANITIZE=address,undefined.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@"
cmake --build "$build" -j "$(nproc)"
