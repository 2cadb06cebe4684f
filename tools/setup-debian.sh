#!/usr/bin/env bash
# Installs the Debian 12 packages Wigwag needs: "run" for building and running the Linux
# program, "package" for building the two releases (tools/package.sh), "test" for every
# build and test (Linux, sanitizers, Windows under Wine, the packages' checks, the fuzzer:
# clang, its libFuzzer and sanitizer runtimes, llvm-symbolizer for its reports; and the
# Wayland desktops the tests run headless: sway, mutter, the portal and wev).
set -euo pipefail

run_packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libx11-dev libxtst-dev
              libxi-dev libwayland-dev libxkbcommon-dev libudev-dev libevdev-dev
              fonts-liberation xdg-utils)
package_packages=("${run_packages[@]}" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                  mingw-w64-tools dpkg-dev file gzip)
test_packages=("${package_packages[@]}" libgtest-dev googletest wine wine64 xvfb xauth xdotool
               x11-utils imagemagick python3 python3-pil lintian appstream
               desktop-file-utils man-db clang libclang-rt-14-dev llvm-14 umockdev
               libumockdev-dev gir1.2-umockdev-1.0 python3-gi sway xwayland wev mutter
               xdg-desktop-portal dbus-daemon)

case "${1:-test}" in
    run) wanted=("${run_packages[@]}") ;;
    package) wanted=("${package_packages[@]}") ;;
    test) wanted=("${test_packages[@]}") ;;
    *) echo "usage: $0 [run|package|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
