#!/usr/bin/env bash
# Builds the Linux program and starts it on the current X display.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-debian.sh run
cmake --preset release >/dev/null
cmake --build --preset release -j2
exec ./build/release/platform/qt/wigwag "$@"
