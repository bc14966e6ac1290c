#!/usr/bin/python3
"""The pool: a fluid's particles in a unit box, dense against sparse lattices.

Usage: pool.py TOOL OUT [--particles N] [--reps R] [--cases CASES] [--alternate] [--vdb VDB_POOL]

Makes OUT/pool.ply once: N particles (default 1,000,000) filling the lower
fifth of the box centred on the origin (z from -0.5 to -0.3), a tenth of
them in a thin splash sheet above it, from a fixed seed. Each case runs
`glomora run` as a whole process on a scene of Space 0, "Blending_model" 1,
"Particle_size" 5/512 (five cells at resolution 512, the same surface at
every resolution), "User_normals" on, binary PLY out, with --lattice dense
or sparse, and prints the median wall time, the wall time of its first run
(the one that finds no memory a run of the same case has just freed), the
median user and system CPU seconds, the median minor faults, the largest
peak resident memory (wait4) and the tiles of the last frame (--stats).
A case's runs follow each other; with --alternate the cases take turns,
one run of each per round. The mesh files of dense and sparse runs at one
resolution are compared byte for byte.

CASES is a comma-separated list of STORAGE:RESOLUTION[:FRAMES], default
dense:256,sparse:256,dense:512,sparse:512,sparse:1024 (FRAMES 1; 10 runs a
10-frame sequence of the same particles). STORAGE "vdb" runs VDB_POOL
(bench/vdb_pool.cpp, the OpenVDB reference) on the same particles at the
same voxel size and particle radius (one frame). The case "splash2048"
runs a lattice beyond 2^31 points: 100,000 particles of a small splash
(OUT/splash.ply: a crown and its droplets around the box's centre) in the
same unit box at resolution 2048 (2049^3 = 8.6 billion points, sparse),
the same "Particle_size" in world units, "User_normals" off, one frame.
"""
import argparse
import filecmp
import json
import math
import os
import random
import statistics
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from whole_runs import run_once  # noqa: E402


def write_points(path, points):
    """A binary PLY file of the points, written whole under a temporary name first."""
    header = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\n"
              "property float x\nproperty float y\nproperty float z\nend_header\n" % len(points))
    with open(path + ".part", "wb") as f:
        f.write(header.encode())
        for p in points:
            f.write(struct.pack("<3f", *p))
    os.replace(path + ".part", path)


def make_pool(path, count):
    if os.path.exists(path):
        return
    rng = random.Random(24)
    sheet = count // 10
    points = []
    for _ in range(count - sheet):
        points.append((rng.uniform(-0.49, 0.49), rng.uniform(-0.49, 0.49), rng.uniform(-0.49, -0.3)))
    for _ in range(sheet):
        # a thin sheet rising from the surface, curling over
        u = rng.uniform(0.0, 1.0)
        x = rng.uniform(-0.3, 0.3)
        points.append((x, -0.2 + 0.3 * u + rng.gauss(0, 0.004), -0.3 + 0.5 * u * (1.0 - u) * 2.0 + rng.gauss(0, 0.004)))
    write_points(path, points)


def pool_scene(out, resolution, frames):
    path = os.path.join(out, "pool_%d_%d.json" % (resolution, frames))
    scene = {"name": "pool", "frames": [1, frames],
             "parameters": {"Space": 0, "Mode": 0, "Blending_model": 1, "Size_X": 1, "Size_Y": 1, "Size_Z": 1,
                            "Resolution_X": resolution, "Resolution_Y": resolution, "Resolution_Z": resolution,
                            "Particle_size": 5.0 / 512.0, "User_normals": True},
             "sources": [{"type": "cloud", "name": "water", "file": "pool.ply"}]}
    with open(path, "w") as f:
        json.dump(scene, f)
    return path


def make_splash(path, count):
    if os.path.exists(path):
        return
    rng = random.Random(48)
    points = []
    for n in range(count):
        angle = rng.uniform(0.0, 2.0 * math.pi)
        if n % 5 != 0:
            # the crown: a thin wall of radius 0.06 to 0.08 rising to 0.06
            u = rng.uniform(0.0, 1.0)
            r = 0.06 + 0.02 * u + rng.gauss(0, 0.002)
            z = -0.1 + 0.06 * u
        else:
            # droplets thrown off its rim, in clusters of 500
            rng2 = random.Random(n // 500)
            angle = rng2.uniform(0.0, 2.0 * math.pi)
            r = rng2.uniform(0.09, 0.15) + rng.gauss(0, 0.003)
            z = rng2.uniform(-0.06, 0.0) + rng.gauss(0, 0.003)
        points.append((r * math.cos(angle), r * math.sin(angle), z))
    write_points(path, points)


def splash_case(tool, out):
    """The splash at resolution 2048: its argv and its stats file."""
    make_splash(os.path.join(out, "splash.ply"), 100000)
    scene = os.path.join(out, "splash_2048.json")
    with open(scene, "w") as f:
        json.dump({"name": "splash", "frames": [1, 1],
                   "parameters": {"Space": 0, "Mode": 0, "Blending_model": 1, "Size_X": 1, "Size_Y": 1, "Size_Z": 1,
                                  "Resolution_X": 2048, "Resolution_Y": 2048, "Resolution_Z": 2048,
                                  "Particle_size": 5.0 / 512.0, "User_normals": False},
                   "sources": [{"type": "cloud", "name": "crown", "file": "splash.ply"}]}, f)
    folder = os.path.join(out, "splash2048")
    os.makedirs(folder, exist_ok=True)
    stats = os.path.join(folder, "stats.json")
    return [tool, "run", scene, "-o", os.path.join(folder, "splash.####.ply"), "--stats", stats, "-q"], stats


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("out")
    parser.add_argument("--particles", type=int, default=1000000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--cases", default="dense:256,sparse:256,dense:512,sparse:512,sparse:1024")
    parser.add_argument("--alternate", action="store_true",
                        help="run the cases in turn, one run of each per round, rather than each case's runs in a row")
    parser.add_argument("--vdb", help="bench/vdb_pool, for the vdb cases")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    make_pool(os.path.join(args.out, "pool.ply"), args.particles)

    # Every case: its row (without the timings yet), its argv and its --stats file.
    cases = []
    for case in args.cases.split(","):
        parts = case.split(":")
        storage, resolution = parts[0], int(parts[1]) if len(parts) > 1 else 0
        frames = int(parts[2]) if len(parts) > 2 else 1
        if storage == "splash2048":
            argv, stats = splash_case(args.tool, args.out)
            cases.append(({"storage": "sparse", "resolution": 2048, "frames": 1, "case": "splash2048"}, argv, stats))
        elif storage == "vdb":
            argv = [args.vdb, os.path.join(args.out, "pool.ply"), str(resolution), str(2.5 / 512.0)]
            cases.append(({"storage": storage, "resolution": resolution, "frames": 1}, argv, None))
        else:
            scene = pool_scene(args.out, resolution, frames)
            folder = os.path.join(args.out, "%s_%d_%d" % (storage, resolution, frames))
            os.makedirs(folder, exist_ok=True)
            stats = os.path.join(folder, "stats.json")
            argv = [args.tool, "run", scene, "-o", os.path.join(folder, "pool.####.ply"), "--lattice", storage,
                    "--stats", stats, "-q"]
            cases.append(({"storage": storage, "resolution": resolution, "frames": frames}, argv, stats))

    # A case's first run finds memory that no earlier run of it has touched;
    # the later ones may reuse what the kernel has just freed.
    runs = [[] for _ in cases]
    order = ([c for _ in range(args.reps) for c in range(len(cases))] if args.alternate else
             [c for c in range(len(cases)) for _ in range(args.reps)])
    print("%-8s %6s %6s %9s %9s %8s %8s %12s %10s %10s" % (
        "storage", "res", "frames", "seconds", "first s", "user s", "sys s", "minor faults", "peak MiB", "tiles"))
    results = []
    for c in order:
        runs[c].append(run_once(cases[c][1]))
        if len(runs[c]) < args.reps:
            continue
        row, _, stats = cases[c]
        last = json.load(open(stats))["runs"][0]["frames"][-1] if stats else {}
        rs = runs[c]
        row.update({"seconds": statistics.median(r[0] for r in rs), "first_seconds": rs[0][0],
                    "user_seconds": statistics.median(r[3] for r in rs),
                    "system_seconds": statistics.median(r[4] for r in rs),
                    "minor_faults": statistics.median(r[1] for r in rs), "peak_kib": max(r[2] for r in rs),
                    "tiles": last.get("lattice", {}).get("tiles", 0)})
        if last:
            row["vertices"] = last["vertices"]
        results.append(row)
        label = "splash" if "case" in row else row["storage"]
        print("%-8s %6d %6d %9.2f %9.2f %8.2f %8.2f %12d %10.0f %10s" % (
            label, row["resolution"], row["frames"], row["seconds"], row["first_seconds"], row["user_seconds"],
            row["system_seconds"], row["minor_faults"], row["peak_kib"] / 1024,
            row["tiles"] if stats else "-"), flush=True)
    for row in results:
        if row["storage"] != "sparse" or "case" in row:
            continue
        dense = os.path.join(args.out, "dense_%d_%d" % (row["resolution"], row["frames"]))
        if os.path.isdir(dense):
            sparse = os.path.join(args.out, "sparse_%d_%d" % (row["resolution"], row["frames"]))
            names = sorted(n for n in os.listdir(dense) if n.endswith(".ply"))
            same = all(filecmp.cmp(os.path.join(dense, n), os.path.join(sparse, n), shallow=False) for n in names)
            print("resolution %d, %d frames: dense and sparse meshes %s" % (
                row["resolution"], row["frames"], "identical" if same else "DIFFER"))
    with open(os.path.join(args.out, "pool.json"), "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
