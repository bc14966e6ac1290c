#!/usr/bin/python3
"""Times `glomora run` as users run it: whole processes, one scene each.

Usage: whole_runs.py TOOL DATA OUT [--reps N] [--scaling] [--unit-ms MS]

TOOL is the glomora executable, DATA the peer data folder (gen_scenes.py),
OUT a folder for the scenes made from it, the files written and the results
(whole_runs.json). Each case
runs --reps times; the table gives the median wall time, the median minor
page faults and the largest peak resident memory of the process and its
workers (wait4), and, with --unit-ms, the time in units of flying edges.
bench/perf.sh runs it between two flying-edges timings.

Cases (see bench/README.md):
  particles P N normals   Space 0, Mode 0, particles_P.f32 as a cloud (binary
                          PLY, shifted into the unit box centred on the
                          origin), container Size 1, resolution N,
                          "Particle_size" 0.04, model 1, binary PLY out
  elements K              Space 1, elements_K.f32 as sphere sources,
                          "JB_voxelsize" 1/128, "JB_accuracy" 3, OBJ out
  turning jobs J          16 frames of elements_1000 at "JB_voxelsize" 1/96,
                          the space turning about Y, OBJ out, --jobs J; the
                          files of --jobs 2 are compared with --jobs 1
  threads T               Space 0 frame of particles_100000 at resolution 256,
                          "User_normals" and "UVspace" on, "Mode" 2 writing
                          its cache file, OBJ out, --threads T; the runs of 1
                          and 2 threads alternate (same load), and their mesh
                          and cache files are compared
"""
import argparse
import filecmp
import json
import os
import statistics
import struct
import subprocess
import sys
import time


def read_rows(path):
    data = open(path, "rb").read()
    values = struct.unpack("<%df" % (len(data) // 4), data)
    return [values[i:i + 4] for i in range(0, len(values), 4)]


def make_scenes(data, out):
    """The scene files and the particle PLY files, made once."""
    os.makedirs(out, exist_ok=True)
    for count in (10000, 100000):
        ply = os.path.join(out, "particles_%d.ply" % count)
        if not os.path.exists(ply):
            rows = read_rows(os.path.join(data, "particles_%d.f32" % count))
            header = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\n"
                      "property float x\nproperty float y\nproperty float z\nend_header\n" % len(rows))
            with open(ply, "wb") as f:
                f.write(header.encode())
                for x, y, z, _ in rows:
                    f.write(struct.pack("<3f", x - 0.5, y - 0.5, z - 0.5))
    for count in (100, 1000, 5000):
        rows = read_rows(os.path.join(data, "elements_%d.f32" % count))
        sources = [{"type": "sphere", "name": "e%d" % i, "radius": float(r),
                    "transform": {"translation": [float(x), float(y), float(z)]}}
                   for i, (x, y, z, r) in enumerate(rows)]
        scene = {"name": "elements", "frames": [1, 1],
                 "parameters": {"Space": 1, "Blending_model": 1, "JB_voxelsize": 1 / 128, "JB_accuracy": 3},
                 "sources": sources}
        with open(os.path.join(out, "elements_%d.json" % count), "w") as f:
            json.dump(scene, f)
        if count == 1000:
            scene = dict(scene, name="turning", frames=[1, 16],
                         transform={"rotation": [0, {"keys": [[1, 0], [17, 360]]}, 0]})
            scene["parameters"] = dict(scene["parameters"], JB_voxelsize=1 / 96)
            with open(os.path.join(out, "turning.json"), "w") as f:
                json.dump(scene, f)


def particles_scene(out, count, resolution):
    path = os.path.join(out, "particles_%d_%d.json" % (count, resolution))
    scene = {"name": "particles", "frames": [1, 1],
             "parameters": {"Space": 0, "Mode": 0, "Blending_model": 1, "Size_X": 1, "Size_Y": 1, "Size_Z": 1,
                            "Resolution_X": resolution, "Resolution_Y": resolution, "Resolution_Z": resolution,
                            "Particle_size": 0.04},
             "sources": [{"type": "cloud", "name": "spray", "file": "particles_%d.ply" % count}]}
    with open(path, "w") as f:
        json.dump(scene, f)
    return path


def threads_scene(out):
    path = os.path.join(out, "threads.json")
    scene = {"name": "threads", "frames": [1, 1],
             "parameters": {"Space": 0, "Mode": 2, "Blending_model": 1, "Size_X": 1, "Size_Y": 1, "Size_Z": 1,
                            "Resolution_X": 256, "Resolution_Y": 256, "Resolution_Z": 256,
                            "Particle_size": 0.04, "User_normals": True, "UVspace": True,
                            "Cache_filename": "cache/threads.grd"},
             "sources": [{"type": "cloud", "name": "spray", "file": "particles_100000.ply"}]}
    with open(path, "w") as f:
        json.dump(scene, f)
    return path


def same_files(a, b):
    names = sorted(os.listdir(a))
    return names == sorted(os.listdir(b)) and all(
        filecmp.cmp(os.path.join(a, n), os.path.join(b, n), shallow=False) for n in names)


def run_once(argv):
    """Wall seconds, minor faults, peak resident KiB, user and system CPU seconds of one run (with its workers)."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    err = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if process.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (process.returncode, " ".join(argv), err))
    return seconds, usage.ru_minflt, usage.ru_maxrss, usage.ru_utime, usage.ru_stime


def vertices_of(stats_file):
    runs = json.load(open(stats_file))["runs"]
    return sum(frame["vertices"] for run in runs for frame in run["frames"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("data")
    parser.add_argument("out")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--scaling", action="store_true", help="also the cases for the growth with size")
    parser.add_argument("--unit-ms", type=float, default=0.0)
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    make_scenes(args.data, out)

    cases = []  # (label, scene, output, extra arguments)
    def particles(count, resolution, normals):
        scene = particles_scene(out, count, resolution)
        label = "particles %d N=%d normals %s" % (count, resolution, "on" if normals else "off")
        cases.append((label, scene, "p.ply", [] if normals else ["--set", "User_normals=false"]))
    particles(100000, 128, True)
    particles(100000, 128, False)
    cases.append(("elements 1000", os.path.join(out, "elements_1000.json"), "e.obj", []))
    cases.append(("turning 16 frames --jobs 1", os.path.join(out, "turning.json"), "t1/t.####.obj", ["--jobs", "1"]))
    cases.append(("turning 16 frames --jobs 2", os.path.join(out, "turning.json"), "t2/t.####.obj", ["--jobs", "2"]))
    if args.scaling:
        particles(10000, 128, True)
        particles(100000, 64, True)
        particles(100000, 256, True)
        cases.append(("elements 100", os.path.join(out, "elements_100.json"), "e.obj", []))
        cases.append(("elements 5000", os.path.join(out, "elements_5000.json"), "e.obj", []))

    unit = args.unit_ms
    print("%-34s %10s %7s %12s %10s %10s" % ("whole process", "median ms", "units", "minor faults", "peak MB",
                                           "vertices"))
    medians = {}
    results = []
    for label, scene, output, extra in cases:
        stats = os.path.join(out, "stats.json")
        argv = [args.tool, "run", scene, "-o", os.path.join(out, "files", output), "-q", "--stats", stats] + extra
        runs = [run_once(argv) for _ in range(args.reps)]
        ms = statistics.median(r[0] for r in runs) * 1000.0
        faults = statistics.median(r[1] for r in runs)
        peak = max(r[2] for r in runs) / 1024.0
        medians[label] = ms
        results.append({"case": label, "median_ms": ms, "minor_faults": faults, "peak_mb": peak,
                        "vertices": vertices_of(stats)})
        units = "%7.2f" % (ms / unit) if unit > 0 else "%7s" % "-"
        print("%-34s %10.1f %s %12d %10.1f %10d" % (label, ms, units, faults, peak, vertices_of(stats)), flush=True)
    # The thread counts, runs alternating so that both see the same load.
    scene = threads_scene(out)
    timed = {1: [], 2: []}
    for _ in range(args.reps):
        for threads in (1, 2):
            folder = os.path.join(out, "files", "th%d" % threads)
            stats = os.path.join(out, "stats.json")
            argv = [args.tool, "run", scene, "-o", os.path.join(folder, "p.obj"), "-q", "--stats", stats,
                    "--threads", str(threads)]
            timed[threads].append(run_once(argv))
            os.replace(os.path.join(out, "cache", "threads.1.grd"), os.path.join(folder, "threads.1.grd"))
    for threads in (1, 2):
        label = "particles 100000 N=256 Mode 2 --threads %d" % threads
        ms = statistics.median(r[0] for r in timed[threads]) * 1000.0
        medians[label] = ms
        results.append({"case": label, "median_ms": ms, "minor_faults": statistics.median(r[1] for r in timed[threads]),
                        "peak_mb": max(r[2] for r in timed[threads]) / 1024.0, "vertices": vertices_of(stats)})
        units = "%7.2f" % (ms / unit) if unit > 0 else "%7s" % "-"
        print("%-34s %10.1f %s %12d %10.1f %10d" % (label, ms, units, results[-1]["minor_faults"],
                                                   results[-1]["peak_mb"], results[-1]["vertices"]), flush=True)
    same_threads = same_files(os.path.join(out, "files", "th1"), os.path.join(out, "files", "th2"))
    threads_verdict = "--threads 2 against --threads 1: %.2f times as fast; the mesh and cache files are %s" % (
        medians["particles 100000 N=256 Mode 2 --threads 1"] / medians["particles 100000 N=256 Mode 2 --threads 2"],
        "byte-identical" if same_threads else "DIFFERENT")
    print(threads_verdict)

    one, two = medians["turning 16 frames --jobs 1"], medians["turning 16 frames --jobs 2"]
    same = not filecmp.dircmp(os.path.join(out, "files", "t1"), os.path.join(out, "files", "t2")).diff_files
    names = sorted(os.listdir(os.path.join(out, "files", "t1")))
    same = same and names == sorted(os.listdir(os.path.join(out, "files", "t2"))) and all(
        filecmp.cmp(os.path.join(out, "files", "t1", n), os.path.join(out, "files", "t2", n), shallow=False)
        for n in names)
    verdict = "--jobs 2 against --jobs 1: %.2f times as fast; the %d files are %s" % (
        one / two, len(names), "byte-identical" if same else "DIFFERENT")
    print(verdict)
    with open(os.path.join(out, "whole_runs.json"), "w") as f:
        json.dump({"cases": results, "jobs": verdict, "threads": threads_verdict}, f, indent=1)
    return 0 if same and same_threads else 1


if __name__ == "__main__":
    sys.exit(main())
