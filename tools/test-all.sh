#!/usr/bin/env bash
# Builds Wigwag every way it ships and runs every test: the Linux build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, the Windows build under Wine, and
# the two release packages, and a minute of fuzzing the settings file (tools/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-debian.sh test

# The end-to-end tests need an X display; use a private one so nothing on the desktop
# receives the test's keystrokes.
display=99
while [ -e "/tmp/.X11-unix/X${display}" ] || [ -e "/tmp/.X${display}-lock" ]; do
    display=$((display + 1))
done
Xvfb ":${display}" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill "${xvfb_pid}" 2>/dev/null || true' EXIT
export DISPLAY=":${display}"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

export WINEPREFIX="${PWD}/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

passed=0
failed=0
status=0
for preset in linux asan windows; do
    echo "=== ${preset}"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j2
    log="build/ctest-${preset}.log"
    # Wine shares one keyboard and one wineserver: its tests run one at a time.
    jobs=2
    if [ "${preset}" = windows ]; then jobs=1; fi
    if ctest --preset "${preset}" -j "${jobs}" 2>&1 | tee "${log}"; then :; else status=1; fi
    summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "${log}" | tail -1 || true)
    if [ -n "${summary}" ]; then
        f=$(echo "${summary}" | awk '{print $1}')
        t=$(echo "${summary}" | awk '{print $6}')
        passed=$((passed + t - f))
        failed=$((failed + f))
    else
        status=1
    fi
done

# The two releases, built as tools/package.sh builds them and checked as a player gets them.
echo "=== packages"
log="build/package-test.log"
rm -f "${log}"
if bash tools/package.sh && bash tools/test-package.sh 2>&1 | tee "${log}"; then :; else status=1; fi
summary=""
if [ -f "${log}" ]; then
    summary=$(grep -Eo '^package: [0-9]+ passed, [0-9]+ failed' "${log}" | tail -1 || true)
fi
if [ -n "${summary}" ]; then
    passed=$((passed + $(echo "${summary}" | awk '{print $2}')))
    failed=$((failed + $(echo "${summary}" | awk '{print $4}')))
else
    failed=$((failed + 1))  # the packages were not built, or their checks did not run
    status=1
fi

# A minute of fuzzing the settings file counts as one test.
echo "=== fuzz"
if bash tools/fuzz.sh 60; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    status=1
fi

echo "total: ${passed} passed, ${failed} failed"
exit "${status}"
