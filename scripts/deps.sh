#!/usr/bin/env bash
# Installs the Debian packages the project needs, when some are missing and we are
# root; otherwise names them and fails.
set -u
packages=(
    cmake make g++
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    googletest
    clang lld llvm
    wine64 wine64-tools fonts-wine libunicorn-dev
    xvfb imagemagick bubblewrap
    util-linux procps tar
    x11vnc websockify novnc
    chromium chromium-driver python3-selenium
    gcab cabextract
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} = 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "deps: missing Debian packages: ${missing[*]}" >&2
    echo "deps: run as root to install them, or: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 || {
    echo "deps: apt-get could not install ${missing[*]}" >&2
    exit 1
}
