#!/usr/bin/env bash
# Installs what building and testing strmfix needs, from Debian's packages.
# Run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    cmake make g++ libgtest-dev zlib1g-dev \
    python3 python3-gdspy klayout >/dev/null
# The benchmark (bench/bench.py) reads peak memory from /usr/bin/time.
apt-get install -y -qq --no-install-recommends time >/dev/null
