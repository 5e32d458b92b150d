#!/usr/bin/python3
"""strmfix checked by GDSII readers that no one here wrote: KLayout and gdspy.

Layouts written by gdspy and by the project's generator are put into the
12-byte COLROW form; then KLayout must fail on the defective file and read
the repaired one exactly as the original, gdspy must see the same cells,
shapes and AREFs, and the repaired file must equal the original byte for
byte. Sound files, and the tool's own output, must pass unchanged.

Usage: readers_test.py --strmfix BIN --gdsgen BIN [unittest arguments]
A missing reader is a failure, never a skip.
"""
import argparse
import datetime
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

parser = argparse.ArgumentParser()
parser.add_argument("--strmfix", required=True)
parser.add_argument("--gdsgen", required=True)
ARGS, UNITTEST_ARGS = parser.parse_known_args()

try:
    import gdspy
except ImportError as error:
    sys.exit(f"FAIL: gdspy cannot be imported by {sys.executable} ({error}); "
             "install python3-gdspy (scripts/install-deps.sh)")
KLAYOUT = shutil.which("klayout")
if KLAYOUT is None:
    sys.exit("FAIL: klayout is not on PATH; install klayout (scripts/install-deps.sh)")
SUMMARY_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "klayout_summary.py")

COLROW_TYPE = 0x1302


def widen_colrow(data):
    """The faulty writers' form: each COLROW's counts as 4-byte integers under
    a length word that still says 8. Returns the bytes and the AREF count."""
    out = bytearray()
    pos = 0
    widened = 0
    while pos + 4 <= len(data):
        length, record_type = struct.unpack_from(">HH", data, pos)
        if length < 4:  # zero padding after ENDLIB
            break
        if length == 8 and record_type == COLROW_TYPE:
            columns, rows = struct.unpack_from(">HH", data, pos + 4)
            out += struct.pack(">HHII", 8, COLROW_TYPE, columns, rows)
            widened += 1
        else:
            out += data[pos:pos + length]
        pos += length
    out += data[pos:]
    return bytes(out), widened


def pad(data, block):
    return data + bytes(-len(data) % block) if block else data


def notices(count):
    return "".join(f"colrow {i} \n" for i in range(count))


def run_strmfix(source, target):
    return subprocess.run([ARGS.strmfix, source, target], capture_output=True, text=True, timeout=600)


def klayout_summaries(paths):
    """KLayout's view of each file: {path: summary or {"error": ...}}."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        done = subprocess.run([KLAYOUT, "-b", "-r", SUMMARY_SCRIPT, "-rd", "files=" + ",".join(paths),
                               "-rd", "out=" + out.name], capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            raise AssertionError(f"klayout failed: {done.stdout}{done.stderr}")
        with open(out.name) as handle:
            return json.load(handle)


def gdspy_view(path):
    """gdspy's view: per cell, element counts and every reference. gdspy reads
    COLROW counts as signed 16-bit numbers, so they are taken modulo 65536."""
    library = gdspy.GdsLibrary(infile=path)
    view = {}
    for name, cell in library.cell_dict.items():
        references = []
        for ref in cell.references:
            ref_name = ref.ref_cell if isinstance(ref.ref_cell, str) else ref.ref_cell.name
            entry = [ref_name, [round(float(v), 3) for v in ref.origin], ref.rotation, bool(ref.x_reflection)]
            if isinstance(ref, gdspy.CellArray):
                entry += [int(ref.columns) % 65536, int(ref.rows) % 65536, [round(float(v), 3) for v in ref.spacing]]
            references.append(entry)
        references.sort(key=repr)
        view[name] = {"polygons": len(cell.polygons), "paths": len(cell.paths),
                      "labels": len(cell.labels), "references": references}
    return view


# Arrays of the gdspy library: (columns, rows); 1x1 up to the 16-bit limit.
ARRAYS = [(1, 1), (32767, 1), (1, 32767), (1000, 1000), (32768, 2), (65535, 3), (40000, 50000), (7, 65535)]


def step_for(count, unit):
    """gdspy packs COLROW as signed shorts; a count of 32768 or more is handed
    over as count - 65536 (the same 16 bits, written unsigned), with a step
    chosen so that the XY record it computes still places the array's last
    corner at count * true step. Returns (step given to gdspy, true step) in
    database units."""
    if count < 32768:
        return unit, unit
    g = math.gcd(count, 65536 - count)
    return -(count // g), (65536 - count) // g


def gdspy_library():
    library = gdspy.GdsLibrary(name="READERS", unit=1e-6, precision=1e-9)
    leaf = gdspy.Cell("LEAF", exclude_from_current=True)
    leaf.add(gdspy.Rectangle((0, 0), (0.2, 0.3), layer=1))
    leaf.add(gdspy.Polygon([(0, 0), (0.1, 0.4), (-0.1, 0.2)], layer=2, datatype=5))
    leaf.add(gdspy.Label("pin", (0.05, 0.05), layer=3))
    wire = gdspy.Cell("WIRE", exclude_from_current=True)
    wire.add(gdspy.FlexPath([(0, 0), (1, 0), (1, 1)], 0.1, layer=4, gdsii_path=True))
    wire.add(gdspy.CellArray(leaf, 3, 2, (0.5, 0.5)))
    top = gdspy.Cell("TOP", exclude_from_current=True)
    top.add(gdspy.CellReference(wire, (5, 5), rotation=90))
    expected = []
    for i, (columns, rows) in enumerate(ARRAYS):
        given_x, true_x = step_for(columns, 3)
        given_y, true_y = step_for(rows, 2)
        origin = (0, 100.0 * i)
        top.add(gdspy.CellArray(leaf if i % 2 else wire, columns if columns < 32768 else columns - 65536,
                                rows if rows < 32768 else rows - 65536, (given_x / 1000, given_y / 1000), origin))
        expected.append(sorted([[true_x, 0, columns], [0, true_y, rows]]))
    library.add([leaf, wire, top])
    return library, sorted(expected)


class Workspace(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="strmfix-readers-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as handle:
            handle.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as handle:
            return handle.read()

    def repair_and_compare(self, sound_name, defective_name, arefs, exact=True):
        """Repairs the defective file and checks it against the sound one with
        both readers. Returns KLayout's summary of the sound file."""
        run = run_strmfix(self.path(defective_name), self.path("repaired.gds"))
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertEqual(run.stdout, notices(arefs))
        repaired = self.read("repaired.gds")
        if exact:
            self.assertEqual(repaired, self.read(sound_name), "repaired file differs from the original")
        else:  # each file padded on its own: same records, padding may differ
            self.assertEqual(repaired.rstrip(b"\0"), self.read(sound_name).rstrip(b"\0"))

        sound, defective, fixed = (self.path(n) for n in (sound_name, defective_name, "repaired.gds"))
        seen = klayout_summaries([sound, defective, fixed])
        self.assertNotIn("error", seen[sound], "KLayout cannot read the original")
        self.assertIn("error", seen[defective], "KLayout read the defective file without complaint")
        self.assertEqual(seen[fixed], seen[sound])
        self.assertEqual(gdspy_view(fixed), gdspy_view(sound))
        return seen[sound]

    def assert_passes_unchanged(self, name):
        run = run_strmfix(self.path(name), self.path("again.gds"))
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))
        self.assertEqual(self.read("again.gds"), self.read(name))


class ReadersTest(Workspace):
    def test_gdspy_layouts(self):
        for padding in (0, 2048):
            with self.subTest(padding=padding):
                library, expected_arrays = gdspy_library()
                library.write_gds(self.path("plain.gds"), timestamp=datetime.datetime(2026, 1, 2, 3, 4, 5))
                sound = pad(self.read("plain.gds"), padding)
                self.write("sound.gds", sound)
                defective, arefs = widen_colrow(sound)
                self.assertEqual(arefs, len(ARRAYS) + 1)
                self.write("defective.gds", defective)

                summary = self.repair_and_compare("sound.gds", "defective.gds", arefs)
                # KLayout sees the arrays gdspy was asked for, 16-bit counts unsigned.
                top_arrays = sorted(inst[2] for inst in summary["cells"]["TOP"]["instances"] if len(inst) > 2)
                self.assertEqual(top_arrays, expected_arrays)
                self.assertEqual(sorted((r[4], r[5]) for r in gdspy_view(self.path("repaired.gds"))["TOP"]["references"]
                                        if len(r) > 4), sorted(ARRAYS))
                self.assert_passes_unchanged("sound.gds")
                self.assert_passes_unchanged("repaired.gds")

    def test_generator_layouts(self):
        for seed, extra in ((11, []), (12, ["--pad"])):
            with self.subTest(seed=seed, extra=extra):
                made = subprocess.run([ARGS.gdsgen, "--sound", self.path("sound.gds"), "--defective",
                                       self.path("defective.gds"), "--seed", str(seed), "--size", "256K",
                                       "--aref-every", "10", "--max-count", "65535", "--count-arefs"] + extra,
                                      capture_output=True, text=True, check=True)
                arefs = int(made.stdout)
                self.assertGreater(arefs, 10)
                widened, widened_count = widen_colrow(self.read("sound.gds"))
                self.assertEqual(widened_count, arefs)
                if not extra:  # the generator's defective form is the converter's
                    self.assertEqual(widened, self.read("defective.gds"))
                self.repair_and_compare("sound.gds", "defective.gds", arefs, exact=not extra)
                self.assert_passes_unchanged("sound.gds")
                self.assert_passes_unchanged("repaired.gds")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + UNITTEST_ARGS, verbosity=2)
