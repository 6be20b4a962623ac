#!/usr/bin/env bash
# Installs the Debian 12 packages Vantaro needs to build, test and run.
# Does nothing when they are all present already. --fuzz adds clang and
# libFuzzer for the recording reader's fuzz target.
set -euo pipefail
packages=(
  cmake g++ make pkg-config ccache
  qtbase5-dev libqt5svg5-dev libqt5opengl5-dev
  libopencv-dev libglew-dev libzstd-dev zlib1g-dev libturbojpeg0-dev libjpeg62-turbo-dev
  libgl1-mesa-dri libglx-mesa0 xvfb xauth
  fonts-roboto-unhinted fonts-dejavu-core
  dpkg-dev file desktop-file-utils appstream shared-mime-info hicolor-icon-theme xdg-utils
  libfile-mimeinfo-perl man-db
)
[ "${1:-}" = "--fuzz" ] && packages+=(clang libfuzzer-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "Installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
