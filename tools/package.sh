#!/usr/bin/env bash
# Builds the two releases into dist/: wigwag-<version>-windows-x64.zip (wigwag.exe
# cross-built with MinGW-w64, README.txt, LICENSE.txt) and wigwag_<version>_<arch>.deb (the
# Qt program with its menu entry, icons, metadata and manual page), both made by CPack.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-debian.sh package

rm -rf dist
mkdir -p dist

echo "=== Windows zip"
cmake -S . -B build/package-windows -G Ninja --toolchain "${PWD}/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DWIGWAG_TESTS=OFF -DWIGWAG_BENCH=OFF >/dev/null
cmake --build build/package-windows -j2
(cd build/package-windows && cpack -G ZIP -B "${PWD}/cpack")
cp build/package-windows/cpack/wigwag-*-windows-*.zip dist/

echo "=== Debian package"
# Debian's build flags: hardening, and no build paths in the program.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build/package-linux -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DWIGWAG_QT=ON -DWIGWAG_TESTS=OFF -DWIGWAG_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build/package-linux -j2
(cd build/package-linux && cpack -G DEB -B "${PWD}/cpack")
cp build/package-linux/cpack/wigwag_*.deb dist/

echo "=== dist/"
ls -l dist/
