#!/usr/bin/env bash
# Runs a fuzzing campaign of SECONDS (default 60) comparing the copier with
# the model of the walk. Builds with clang in build-fuzz/, seeds from the
# saved corpus and from small generator files; new inputs go to
# build-fuzz/corpus, failures to build-fuzz/crashes. Exits non-zero on a
# difference.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSTRMFIX_FUZZ=ON -DSTRMFIX_TESTS=OFF >/dev/null
cmake --build build-fuzz -j 2 --target walk_fuzzer gdsgen >/dev/null

mkdir -p build-fuzz/corpus build-fuzz/crashes build-fuzz/seeds
# Generator seeds: one byte choosing the slicing, then a small library.
for seed in 1 2 3; do
    build-fuzz/tools/gdsgen --defective build-fuzz/seeds/lib.gds --seed "$seed" --size 2K \
        --aref-every 2 --max-count 65535 --pad
    { printf "$(printf '\\x%02x\\x%02x\\x%02x' $((seed * 9 + 1)) $((seed * 5)) 7)"; cat build-fuzz/seeds/lib.gds; } \
        > "build-fuzz/seeds/gdsgen-$seed"
done
rm -f build-fuzz/seeds/lib.gds

build-fuzz/fuzz/walk_fuzzer build-fuzz/corpus fuzz/corpus build-fuzz/seeds \
    -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/crashes/ 2>&1 | tail -25
