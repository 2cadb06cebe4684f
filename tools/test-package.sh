#!/usr/bin/env bash
# Checks the two releases that tools/package.sh left in dist/: the zip and the exe's version,
# the .deb's files and fields, lintian, the desktop entry, AppStream file and manual page, and
# the packaged program run from an unpacked copy (on a private Xvfb for the menu entry).
# Ends with "package: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-debian.sh test
# The receiver window of the end-to-end tests closes windows as a window manager does.
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target x11_receiver >/dev/null
exec python3 tests/package/package_test.py dist build/linux/tests/x11/x11_receiver "$@"
