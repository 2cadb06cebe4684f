#!/usr/bin/env bash
# Checks the two releases that tools/package.sh left in dist/: the zip and the exe's version,
# the .deb's files and fields, lintian, the desktop entry, AppStream file and manual page.
# Ends with "package: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-debian.sh test
exec python3 tests/package/package_test.py dist "$@"
