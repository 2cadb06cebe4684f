#!/usr/bin/env bash
# Fuzzes the settings file for SECONDS (default 60) in one process: builds the preset
# "fuzz" (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) and runs
# build/fuzz/fuzz/settings_fuzz with the pieces of a settings file in fuzz/settings.dict. The
# corpus it grows stays in build/fuzz/corpus for the next run; an input that breaks a check is
# written to build/fuzz/crashes/ and the script exits non-zero.
#
# FUZZ_MAX_LEN sets the longest input tried (default 4096 bytes).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
max_len="${FUZZ_MAX_LEN:-4096}"

bash tools/setup-debian.sh test
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

out=build/fuzz
mkdir -p "${out}/corpus" "${out}/crashes"
log="${out}/fuzz.log"

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
if [ -x "${symbolizer}" ]; then export ASAN_SYMBOLIZER_PATH="${symbolizer}"; fi
export UBSAN_OPTIONS="print_stacktrace=1"

echo "fuzzing the settings file for ${seconds} s (inputs up to ${max_len} bytes)"
status=0
"${out}/fuzz/settings_fuzz" \
    -max_total_time="${seconds}" -max_len="${max_len}" -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/settings.dict -print_final_stats=1 -artifact_prefix="${out}/crashes/" \
    "${out}/corpus" >"${log}" 2>&1 || status=$?

if [ "${status}" -ne 0 ]; then
    # What broke, the stack and where the input was written.
    grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse)' "${log}" | tail -60
    echo "fuzz: FAILED (exit ${status}); log in ${log}"
    exit 1
fi
grep -E '^#[0-9]+\s+INITED' "${log}" | tail -1
grep -E '^#[0-9]+\s+DONE' "${log}" | tail -1
grep -E '^stat::' "${log}"
echo "corpus kept in ${out}/corpus"
echo "fuzz: passed"
