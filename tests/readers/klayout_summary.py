# Run by `klayout -b -r klayout_summary.py -rd files=A,B,... -rd out=JSON`:
# reads each GDSII file with KLayout and writes, per file, either the error
# KLayout raised or a canonical summary: per cell, the shape count per layer,
# and every instance with its array vectors and counts. KLayout may report an
# AREF's columns and rows in either order, so the two (vector, count) pairs
# are sorted.
import json
import pya


def summarize(path):
    layout = pya.Layout()
    try:
        layout.read(path)
    except Exception as error:  # a stream KLayout cannot read
        return {"error": str(error)}
    cells = {}
    for cell in layout.each_cell():
        shapes = {}
        for layer_index in layout.layer_indexes():
            count = cell.shapes(layer_index).size()
            if count:
                shapes[str(layout.get_info(layer_index))] = count
        instances = []
        for inst in cell.each_inst():
            entry = [inst.cell.name, str(inst.cplx_trans)]
            if inst.is_regular_array():
                entry.append(sorted([[inst.a.x, inst.a.y, inst.na], [inst.b.x, inst.b.y, inst.nb]]))
            instances.append(entry)
        instances.sort(key=json.dumps)
        cells[cell.name] = {"shapes": shapes, "instances": instances}
    return {"dbu": layout.dbu, "cells": cells}


with open(out, "w") as handle:  # noqa: F821 - `out` and `files` come from -rd
    json.dump({path: summarize(path) for path in files.split(",")}, handle, sort_keys=True)  # noqa: F821
