#!/usr/bin/env bash
# Builds the Linux program and starts it on the current X display, in the current
# directory, where it keeps wigwag.cfg.
set -euo pipefail
here="${PWD}"
cd "$(dirname "$0")/.."
source_dir="${PWD}"

bash tools/setup-debian.sh run
cmake --preset release >/dev/null
cmake --build --preset release -j2
cd "${here}"
exec "${source_dir}/build/release/platform/qt/wigwag" "$@"
