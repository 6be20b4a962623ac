#!/usr/bin/env bash
# Builds the Debian package from an existing build folder (argument, else
# BUILD_DIR, else build), installs it, checks the installed programs, the
# desktop entry, the AppStream data, the manual pages and the recordings'
# file type, and removes it again. Needs root (or sudo): it really installs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-${BUILD_DIR:-$root/build}}" && pwd)"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "package-smoke: $*" >&2
  exit 1
}

cmake --build "$build" -j "$(nproc)" --target vantaro twv man_pages
(cd "$build" && rm -f vantaro_*.deb && cpack -G DEB)
deb="$(ls "$build"/vantaro_*_amd64.deb)"
version="$(dpkg-deb -f "$deb" Version)"
echo "package-smoke: $deb (version $version)"
dpkg-deb -f "$deb" Depends | grep -q libqt5widgets5 || fail "no dependencies found by dpkg-shlibdeps"

work="$(mktemp -d)"
cleanup() {
  rm -rf "$work"
  if dpkg-query -W -f='${Status}' vantaro 2>/dev/null | grep -q "install ok installed"; then
    $sudo_cmd apt-get remove -y -qq vantaro >/dev/null
  fi
}
trap cleanup EXIT

$sudo_cmd apt-get install -y -qq "$deb" >/dev/null

[ "$(/usr/bin/vantaro --version)" = "vantaro $version" ] || fail "vantaro --version says: $(/usr/bin/vantaro --version)"
[ "$(/usr/bin/twv --version)" = "twv $version" ] || fail "twv --version says: $(/usr/bin/twv --version)"
/usr/bin/twv --help | grep -q "^usage: twv" || fail "twv --help prints no usage"
desktop-file-validate /usr/share/applications/vantaro.desktop
appstreamcli validate --no-net /usr/share/metainfo/*vantaro*.metainfo.xml
man -w vantaro >/dev/null && man -w twv >/dev/null || fail "manual pages not found"
for size in 16x16 48x48 256x256 scalable; do
  ls /usr/share/icons/hicolor/$size/apps/vantaro.* >/dev/null || fail "no $size icon"
done

# The file type comes from the shared MIME database, which the package's
# trigger has updated: by extension, and by the first bytes without one.
/usr/bin/twv record "$work/walk.twv" --virtual --resolution VGA --frames 2 >/dev/null
cp "$work/walk.twv" "$work/walk.twv.partial"
for file in walk.twv walk.twv.partial; do
  type="$(cd "$work" && xdg-mime query filetype "$file")"
  [ "$type" = "application/x-twv" ] || fail "xdg-mime says $file is '$type'"
done

$sudo_cmd apt-get remove -y -qq vantaro >/dev/null
for path in /usr/bin/vantaro /usr/bin/twv /usr/share/applications/vantaro.desktop /usr/share/mime/packages/vantaro.xml; do
  [ ! -e "$path" ] || fail "$path is left after removal"
done
[ "$(cd "$work" && xdg-mime query filetype walk.twv.partial)" != "application/x-twv" ] ||
  fail "the MIME type outlives the package"
echo "package-smoke: installed, checked and removed $(basename "$deb")"
