#!/usr/bin/env bash
# Installs what building and testing strmfix needs, from Debian's packages.
# Run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# gzip and zcat check the compressed streams; man and groff render the man
# page; KLayout and gdspy are the independent readers; clang builds the fuzzer.
apt-get install -y -qq --no-install-recommends \
    cmake make g++ libgtest-dev zlib1g-dev \
    gzip man-db groff-base \
    python3 python3-gdspy klayout \
    clang libclang-rt-14-dev >/dev/null
# The benchmark (bench/bench.py) reads peak memory from /usr/bin/time.
apt-get install -y -qq --no-install-recommends time >/dev/null
