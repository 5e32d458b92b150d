#!/usr/bin/env bash
# Builds strmfix and runs the whole test suite: a short fuzzing campaign, the
# input over 4 GiB, then every other test twice, under AddressSanitizer and
# UndefinedBehaviorSanitizer and in the optimised build (whose summary is last).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSTRMFIX_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"

# A short fuzzing campaign: the copier against the model of the walk.
fuzz/run.sh 60

# The input over 4 GiB (label `large`, about 30 s): it streams through FIFOs,
# so the disk holds only its notices (some MB); run where the temporary
# folder has 1 GiB free.
tmp=${TMPDIR:-/tmp}
if [ "$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')" -ge $((1024 * 1024)) ]; then
    ctest --test-dir build --output-on-failure -L large
else
    echo "test.sh: less than 1 GiB free in $tmp: the large input test is not run" >&2
fi

ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs" -LE large
ctest --test-dir build --output-on-failure -j "$jobs" -LE large
