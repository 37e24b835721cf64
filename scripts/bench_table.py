#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Gathers the Google Benchmark JSON files of one `make bench` run into one
table (each figure, its peer, the ratio and the SIMD path) and writes the same
rows as JSON, so that runs can be compared.

How a figure names its peer (see HACKING.md, "Benchmarks"):
  - label "peer=BM_Name": the peer is the benchmark of the same program whose
    name is the figure's with its first part replaced by BM_Name (so
    BM_UnitCompress/640/480 with peer=BM_TurboJpegCompress pairs with
    BM_TurboJpegCompress/640/480); ratio = figure time / peer time;
  - counter "x_<peer>": the figure measured its ratio to <peer> itself, in
    alternating rounds; the counter is the ratio ("<peer>_us", if present, is
    the peer's time in microseconds). A figure may have both: it is listed
    once for each.
Figures with neither are listed with their time alone. Times are CPU times
(medians when the run has repetitions).

usage: bench_table.py OUTPUT.json RESULT.json...
"""
import json
import os
import sys

UNIT_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def load_runs(path):
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    simd = doc.get("context", {}).get("kov_simd", os.environ.get("KOV_SIMD", ""))
    runs = {}
    for b in doc.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        # With repetitions, keep the median aggregate only.
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") != "median":
                continue
            name = b.get("run_name", b["name"])
        elif b.get("repetitions", 1) > 1:
            continue
        else:
            name = b.get("run_name", b["name"])
        runs[name] = b
    return runs, simd


def time_us(run):
    return run["cpu_time"] * UNIT_US.get(run.get("time_unit", "ns"), 1e-3)


def rows_of(program, runs, simd):
    rows = []
    for name, run in runs.items():
        row = {"program": program, "figure": name, "time_us": round(time_us(run), 3),
               "peer": None, "peer_time_us": None, "ratio": None, "simd": simd}
        peer = None
        for token in run.get("label", "").split():
            if token.startswith("peer="):
                peer = token[len("peer="):]
        if peer is not None:
            parts = name.split("/")
            peer_name = "/".join([peer] + parts[1:])
            row["peer"] = peer_name
            if peer_name in runs and time_us(runs[peer_name]) > 0:
                row["peer_time_us"] = round(time_us(runs[peer_name]), 3)
                row["ratio"] = round(time_us(run) / time_us(runs[peer_name]), 3)
            rows.append(row)
        ratios = sorted(k for k in run if k.startswith("x_"))
        for key in ratios:
            r = dict(row)
            r["peer"] = key[2:] + " (same run, alternating)"
            peer_us = run.get(key[2:] + "_us")
            r["peer_time_us"] = round(peer_us, 3) if isinstance(peer_us, float) else None
            r["ratio"] = round(run[key], 3)
            rows.append(r)
        if peer is None and not ratios:
            rows.append(row)
    return rows


def fmt(v, digits=3):
    return "-" if v is None else f"{v:.{digits}f}" if isinstance(v, float) else str(v)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    rows = []
    for path in argv[1:]:
        program = os.path.basename(path).removesuffix(".json")
        try:
            runs, simd = load_runs(path)
        except (OSError, ValueError) as e:
            print(f"{path}: {e}", file=sys.stderr)
            continue
        rows += rows_of(program, runs, simd)
    # Figures with a peer first, peers themselves are not repeated.
    peers = {r["peer"] for r in rows if r["peer"]}
    rows = [r for r in rows if r["peer"] or r["figure"] not in peers]
    header = ("figure", "time µs", "peer", "peer µs", "ratio", "simd")
    table = [header] + [(f"{r['program']}: {r['figure']}", fmt(r["time_us"], 2),
                         r["peer"] or "-", fmt(r["peer_time_us"], 2), fmt(r["ratio"]),
                         r["simd"] or "-") for r in rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for n, row in enumerate(table):
        print("  ".join(c.ljust(w) if i in (0, 2, 5) else c.rjust(w)
                        for i, (c, w) in enumerate(zip(row, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))
    tmp = argv[0] + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump({"figures": rows}, f, indent=1)
    os.replace(tmp, argv[0])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
