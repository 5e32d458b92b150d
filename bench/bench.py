#!/usr/bin/env python3
"""Times `strmfix IN OUT` against `cat IN > OUT` on libraries made by gdsgen.

Each library is generated in its defective and its sound form at once, with
zero padding to 2048 bytes. Every strmfix output is checked against the sound
form before any figure is reported: the two must be equal once the trailing
zero padding is set aside (each form is padded on its own, so the padding
lengths differ), the notices must be "colrow 0 ", "colrow 1 ", ... one per
AREF, and the exit status 0.

In each round both commands run on the same file, one after the other, the
order alternating between rounds; outputs are removed before each run. The
table gives seconds per GiB (median and minimum over the rounds), the median
of the per-round ratios strmfix/cat, and the peak resident memory of strmfix
(getrusage of the child).

Run after the build, from anywhere:
    bench/bench.py                  # 64 MiB and 1 GiB, shapes at 256 MiB, one-core run
    bench/bench.py --quick          # a short run at small sizes
    bench/bench.py --sizes 64M,256M --rounds 3 --no-shapes --no-one-core
    bench/bench.py --help
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PADDING_LIMIT = 2048
CHUNK = 4 << 20
TIME = "/usr/bin/time"


def busy_cpu_seconds():
    """CPU time spent by the whole machine so far, from /proc/stat (None elsewhere)."""
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
    except OSError:
        return None
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields[:8]
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds():
    """CPU time of this script and of all it ran."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def parse_size(text):
    units = {"K": 10, "M": 20, "G": 30}
    shift = units.get(text[-1:].upper(), 0)
    number = text[:-1] if shift else text
    return int(number) << shift


def size_name(size):
    for shift, unit in ((30, "G"), (20, "M"), (10, "K")):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift}{unit}"
    return str(size)


def spawn(argv, stdout_path, cpus=None, rss_path=None):
    """Runs argv with stdout on stdout_path; returns (seconds, status, peak RSS in KiB or None).

    The peak RSS comes from getrusage of the child as /usr/bin/time reports
    it: a child exec'd straight from this Python process would inherit its
    high-water mark (Linux keeps it across exec)."""
    if rss_path is not None:
        argv = [TIME, "-f", "%M", "-o", rss_path] + argv
    saved = os.sched_getaffinity(0)
    if cpus is not None:
        os.sched_setaffinity(0, cpus)  # inherited by the child
    try:
        actions = [(os.POSIX_SPAWN_OPEN, 1, stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
        _, wait_status, _ = os.wait4(pid, 0)
        seconds = time.perf_counter() - start
    finally:
        os.sched_setaffinity(0, saved)
    rss = None
    if rss_path is not None:
        with open(rss_path) as f:
            rss = int(f.read().split()[-1])
    return seconds, os.waitstatus_to_exitcode(wait_status), rss


def strip_zero_padding_length(path):
    """Length of the file without its trailing zero bytes (at most PADDING_LIMIT of them)."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        f.seek(max(0, size - PADDING_LIMIT - 8))
        tail = f.read()
    return size - (len(tail) - len(tail.rstrip(b"\0")))


def same_modulo_padding(output, sound):
    """True when the files are equal once trailing zero bytes are set aside."""
    length = strip_zero_padding_length(sound)
    if strip_zero_padding_length(output) != length:
        return False
    with open(output, "rb") as a, open(sound, "rb") as b:
        remaining = length
        while remaining > 0:
            n = min(CHUNK, remaining)
            if a.read(n) != b.read(n):
                return False
            remaining -= n
    return True


def notices_are_numbered(path, expected):
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    if lines[-1] != b"" or len(lines) - 1 != expected:
        return False
    return all(line == b"colrow %d " % i for i, line in enumerate(lines[:-1]))


class Library:
    def __init__(self, directory, gdsgen, name, size, aref_every, seed):
        self.name = name
        self.defective = os.path.join(directory, f"{name}.defective.gds")
        self.sound = os.path.join(directory, f"{name}.sound.gds")
        counts = os.path.join(directory, f"{name}.arefs")
        argv = [gdsgen, "--sound", self.sound, "--defective", self.defective, "--seed", str(seed),
                "--size", str(size), "--aref-every", str(aref_every), "--max-count", "65535",
                "--pad", "--count-arefs"]
        _, status, _ = spawn(argv, counts)
        if status != 0:
            sys.exit(f"bench: gdsgen failed with status {status}")
        with open(counts) as f:
            self.arefs = int(f.read())
        os.unlink(counts)
        self.size = os.path.getsize(self.defective)

    def remove(self):
        for path in (self.defective, self.sound):
            os.unlink(path)


def measure(library, strmfix, cat, directory, rounds, cpus):
    output = os.path.join(directory, "out.gds")
    cat_output = os.path.join(directory, "cat.gds")
    notices = os.path.join(directory, "notices.txt")
    rss_file = os.path.join(directory, "rss.txt")
    gib = library.size / (1 << 30)
    runs = {"strmfix": [], "cat": []}
    peak_kib = 0

    def run_strmfix():
        nonlocal peak_kib
        if os.path.exists(output):
            os.unlink(output)
        seconds, status, rss = spawn([strmfix, library.defective, output], notices, cpus, rss_file)
        if status != 0:
            sys.exit(f"bench: strmfix exited with {status} on {library.name}")
        if not same_modulo_padding(output, library.sound):
            sys.exit(f"bench: strmfix output of {library.name} differs from the sound form")
        if not notices_are_numbered(notices, library.arefs):
            sys.exit(f"bench: notices of {library.name} are not one per AREF in order")
        peak_kib = max(peak_kib, rss)
        runs["strmfix"].append(seconds)

    def run_cat():
        if os.path.exists(cat_output):
            os.unlink(cat_output)
        seconds, status, _ = spawn([cat, library.defective], cat_output, cpus, rss_file)
        if status != 0 or os.path.getsize(cat_output) != library.size:
            sys.exit(f"bench: cat failed on {library.name}")
        runs["cat"].append(seconds)

    for i in range(rounds):
        for step in ((run_strmfix, run_cat) if i % 2 == 0 else (run_cat, run_strmfix)):
            step()
    for path in (output, cat_output, notices, rss_file):
        if os.path.exists(path):
            os.unlink(path)

    ratios = [s / c for s, c in zip(runs["strmfix"], runs["cat"])]
    return {
        "strmfix_median": statistics.median(runs["strmfix"]) / gib,
        "strmfix_min": min(runs["strmfix"]) / gib,
        "cat_median": statistics.median(runs["cat"]) / gib,
        "cat_min": min(runs["cat"]) / gib,
        "ratio": statistics.median(ratios),
        "rss_mib": peak_kib / 1024,
    }


def cmake_build_type(build):
    """The CMAKE_BUILD_TYPE of a build folder, or None."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as cache:
            for line in cache:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="64M,1G", help="sizes of the typical library (default 64M,1G)")
    parser.add_argument("--shape-size", default="256M", help="size of the no-AREF and AREF-heavy files")
    parser.add_argument("--rounds", type=int, default=5,
                        help="rounds per file of 1 GiB (default 5); smaller files run up to 4 times as many")
    parser.add_argument("--no-shapes", action="store_true", help="skip the no-AREF and AREF-heavy files")
    parser.add_argument("--no-one-core", action="store_true", help="skip the run confined to CPU 0")
    parser.add_argument("--quick", action="store_true", help="sizes 16M,64M, shapes at 64M, 3 rounds")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build folder")
    parser.add_argument("--dir", help="folder for the files (default /dev/shm, else $TMPDIR)")
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.shape_size, args.rounds = "16M,64M", "64M", 3

    strmfix = os.path.join(args.build, "strmfix")
    gdsgen = os.path.join(args.build, "tools", "gdsgen")
    cat = shutil.which("cat")
    for tool in (strmfix, gdsgen, TIME):
        if not os.access(tool, os.X_OK):
            sys.exit(f"bench: {tool} not found; build first (cmake -S . -B build && cmake --build build -j2)")
    build_type = cmake_build_type(args.build)
    if build_type != "Release":
        sys.exit(f"bench: {args.build} is a {build_type or 'unknown'} build; "
                 "configure it with -DCMAKE_BUILD_TYPE=Release to measure")
    base = args.dir or ("/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir())
    directory = tempfile.mkdtemp(prefix="strmfix-bench-", dir=base)

    sizes = [parse_size(s) for s in args.sizes.split(",")]
    shape_size = parse_size(args.shape_size)
    # (label, size, AREF in one of N elements, CPUs)
    plan = [(f"typical {size_name(s)}", s, 200, None, "typical") for s in sizes]
    if not args.no_one_core:
        largest = max(sizes)
        plan.append((f"typical {size_name(largest)}, one core", largest, 200, {0}, "one core"))
    if not args.no_shapes:
        plan.append((f"no AREF {size_name(shape_size)}", shape_size, 0, None, "no AREF"))
        plan.append((f"AREF-heavy {size_name(shape_size)}", shape_size, 10, None, "AREF-heavy"))

    load_before = os.getloadavg()
    started = time.time()
    busy_before, own_before = busy_cpu_seconds(), own_cpu_seconds()
    rows = []
    libraries = {}
    try:
        for label, size, aref_every, cpus, kind in plan:
            key = (size, aref_every)
            if key not in libraries:
                for old in libraries.values():
                    old.remove()
                libraries = {key: Library(directory, gdsgen, f"lib{len(rows)}", size, aref_every, seed=7)}
            library = libraries[key]
            # Files under 1 GiB run more rounds (up to 4 times as many): their
            # runs are short, and so more easily upset by other work.
            rounds = args.rounds * max(1, min(4, (1 << 30) // library.size))
            figures = measure(library, strmfix, cat, directory, rounds, cpus)
            rows.append((label, library, figures, kind))
            print(f"bench: {label}: {figures['ratio']:.2f}", file=sys.stderr, flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    load_after = os.getloadavg()
    elapsed = time.time() - started
    busy_after = busy_cpu_seconds()
    others = ""
    if busy_before is not None and busy_after is not None:
        other_cpu = (busy_after - busy_before) - (own_cpu_seconds() - own_before)
        others = f", other jobs kept {max(0.0, other_cpu) / elapsed:.2f} CPUs busy on average"

    print(f"{args.rounds} rounds per 1 GiB file, up to {4 * args.rounds} for smaller ones, files in {base}, {os.cpu_count()} CPUs, "
          f"load average {load_before[0]:.2f} before and {load_after[0]:.2f} after{others}, "
          f"{elapsed:.0f} s in all")
    print()
    print("| file | MiB | AREFs | strmfix s/GiB median (min) | cat s/GiB median (min) | strmfix/cat median | strmfix peak RSS MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for label, library, f, _ in rows:
        print(f"| {label} | {library.size / (1 << 20):.0f} | {library.arefs} "
              f"| {f['strmfix_median']:.3f} ({f['strmfix_min']:.3f}) | {f['cat_median']:.3f} ({f['cat_min']:.3f}) "
              f"| {f['ratio']:.2f} | {f['rss_mib']:.1f} |")
    print()
    for line in target_lines(rows):
        print(line)


def target_lines(rows):
    """The targets: each figure against its limit."""
    by_kind = {}
    for _, library, figures, kind in rows:
        by_kind.setdefault(kind, []).append((library.size, figures))
    lines = []

    def verdict(name, value, limit):
        lines.append(f"- {name}: {value:.2f} (at most {limit}: {'met' if value <= limit else 'missed'})")

    typical = sorted(by_kind.get("typical", []), key=lambda row: row[0])
    if typical:
        verdict(f"strmfix/cat at {size_name_rounded(typical[-1][0])}", typical[-1][1]["ratio"], 1.25)
        verdict("peak RSS MiB at every size", max(f["rss_mib"] for _, f in typical), 8)
    if len(typical) > 1:
        low, high = typical[0][1]["strmfix_median"], typical[-1][1]["strmfix_median"]
        verdict(f"s/GiB of {size_name_rounded(typical[-1][0])} and {size_name_rounded(typical[0][0])}, larger over smaller",
                max(high / low, low / high), 1.10)
    for _, figures in by_kind.get("one core", []):
        verdict("strmfix/cat on one core", figures["ratio"], 2.0)
    if "no AREF" in by_kind and "AREF-heavy" in by_kind:
        verdict("AREF-heavy s/GiB over no-AREF s/GiB",
                by_kind["AREF-heavy"][0][1]["strmfix_median"] / by_kind["no AREF"][0][1]["strmfix_median"], 1.5)
    return lines


def size_name_rounded(size):
    return size_name(size >> 20 << 20)


if __name__ == "__main__":
    main()
