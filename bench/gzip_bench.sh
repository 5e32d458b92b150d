#!/usr/bin/env bash
# .gds.gz to .gds.gz: `strmfix IN.gds.gz OUT.gds.gz` against the plain
# recompression `zcat IN.gds.gz | gzip > OUT.gds.gz` of the same file.
# Compression dominates both; the ratio shows what the tool adds to it.
#
#   bench/gzip_bench.sh [SIZE [ROUNDS]]      (defaults: 128M, 5)
#
# Needs a built tree (build/strmfix, build/tools/gdsgen; BUILD=dir to change).
# The two commands alternate which goes first in each round; the median of
# the per-round ratios is reported. On a shared machine the figures are noisy.
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-128M}
rounds=${2:-5}
build=${BUILD:-build}
strmfix=$build/strmfix
gdsgen=$build/tools/gdsgen
[[ -x $strmfix && -x $gdsgen ]] || { echo "build first: cmake -S . -B $build && cmake --build $build -j" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/strmfix-gzip-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

arefs=$("$gdsgen" --sound "$work/sound.gds" --defective "$work/defective.gds" --seed 1 --size "$size" \
    --aref-every 200 --max-count 65535 --count-arefs)
gzip -c "$work/defective.gds" > "$work/in.gds.gz"
echo "layout: $(stat -c %s "$work/defective.gds") bytes, $arefs AREFs; gzip: $(stat -c %s "$work/in.gds.gz") bytes"

# Wall-clock and CPU (user + system) seconds of a command line, as "wall cpu".
TIMEFORMAT='%R %U %S'
measure() {
    local times
    times=$({ time eval "$1" > /dev/null; } 2>&1)
    read -r wall user system <<< "$times"
    echo "$wall $(echo "$user + $system" | bc -l)"
}
time_tool() { measure '"$strmfix" "$work/in.gds.gz" "$work/tool.gds.gz" > "$work/notices"'; }
time_reference() { measure 'zcat "$work/in.gds.gz" | gzip > "$work/reference.gds.gz"'; }

median() { sort -g | awk '{ r[NR] = $1 } END { print (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }'; }

ratios=()
cpu_ratios=()
for ((round = 1; round <= rounds; ++round)); do
    if ((round % 2)); then
        read -r tool tool_cpu < <(time_tool); read -r reference reference_cpu < <(time_reference)
    else
        read -r reference reference_cpu < <(time_reference); read -r tool tool_cpu < <(time_tool)
    fi
    # The tool's output must decompress to the repaired layout, the sound form.
    zcat "$work/tool.gds.gz" | cmp -s - "$work/sound.gds" || { echo "round $round: wrong repair" >&2; exit 1; }
    [[ $(wc -l < "$work/notices") -eq $arefs ]] || { echo "round $round: wrong notice count" >&2; exit 1; }
    zcat "$work/reference.gds.gz" | cmp -s - "$work/defective.gds" || { echo "round $round: wrong reference" >&2; exit 1; }
    ratio=$(echo "$tool / $reference" | bc -l)
    cpu_ratio=$(echo "$tool_cpu / $reference_cpu" | bc -l)
    ratios+=("$ratio")
    cpu_ratios+=("$cpu_ratio")
    printf 'round %d: strmfix %.2f s (cpu %.2f s), zcat | gzip %.2f s (cpu %.2f s), ratio %.3f (cpu %.3f)\n' \
        "$round" "$tool" "$tool_cpu" "$reference" "$reference_cpu" "$ratio" "$cpu_ratio"
done
# zcat | gzip inflates in a second process, beside gzip, when a second core is
# free; strmfix inflates, walks and deflates in one. The CPU ratio compares work.
printf 'median ratio strmfix / (zcat | gzip): wall %.3f, cpu %.3f over %d rounds (shared machine: noisy)\n' \
    "$(printf '%s\n' "${ratios[@]}" | median)" "$(printf '%s\n' "${cpu_ratios[@]}" | median)" "$rounds"
