#!/usr/bin/python3
"""The USD layer of a shot beside its OBJ sequence: bytes on disk and the
time spent writing each, measured in one process, one after the other.

Usage: PYTHONPATH=build/python bench/usd_sizes.py OUT [--frames N] [--particles P] [--resolution R]

Two shots:
  demo       the built-in demo scene (`glomora demo --print-scene`), Space 0
             with viscosity, 24 frames
  particles  P particles (default 100,000) falling through the unit box,
             one binary PLY file per frame, Space 0 Mode 0, resolution R
             (default 128), "Particle_size" 0.04, N frames (default 48),
             user normals on (the default)

Per shot: Scene.run(output=OBJ pattern, usd=LAYER) writes both in one run;
the layer's time is the run's "usd_seconds" (formatting, keeping and writing
its samples). The OBJ time is that of writing the same frames' meshes again
with Mesh.write (the tool's writer), after evaluating them once more in the
same process. Times are medians of --reps repetitions of the writes; the
figures are printed as a table and saved as OUT/usd_sizes.json.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import glomora


def write_points(path, points):
    header = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
              "property float z\nend_header\n" % len(points))
    with open(path, "wb") as f:
        f.write(header.encode())
        f.write(points.astype("<f4").tobytes())


def particles_scene(out, count, resolution, frames):
    folder = os.path.join(out, "particles")
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(5)
    start = rng.normal(0.0, 0.12, (count, 3)) + [0.0, 0.25, 0.0]
    speed = rng.normal(0.0, 0.02, (count, 3)) + [0.0, -0.01, 0.0]
    for frame in range(1, frames + 1):
        path = os.path.join(folder, "p.%04d.ply" % frame)
        if not os.path.exists(path):
            write_points(path, np.clip(start + speed * frame, -0.45, 0.45))
    return {"name": "particles", "frames": [1, frames],
            "parameters": {"Space": 0, "Mode": 0, "Size_X": 1.0, "Size_Y": 1.0, "Size_Z": 1.0,
                           "Resolution_X": resolution, "Resolution_Y": resolution, "Resolution_Z": resolution,
                           "Particle_size": 0.04},
            "sources": [{"type": "cloud", "name": "p", "file": os.path.join(folder, "p.####.ply")}]}


def measure(name, scene_dict, out, reps):
    folder = os.path.join(out, name)
    scene = glomora.Scene(scene_dict, base_dir=out)
    layer = os.path.join(folder, name + ".usda")
    usd_seconds = []
    for _ in range(reps):
        stats = scene.run(os.path.join(folder, "obj", "{name}.####.obj"), usd=layer, jobs=1)
        usd_seconds.append(stats["usd_seconds"])
    first, last = scene.frames
    objs = [os.path.join(folder, "obj", "%s.%04d.obj" % (scene.name, f)) for f in range(first, last + 1)]
    # The same meshes again, kept, then written to OBJ files as the run writes them.
    meshes = [scene.evaluate(f) for f in range(first, last + 1)]
    scene.close()
    obj_seconds = []
    for _ in range(reps):
        start = time.perf_counter()
        for mesh, path in zip(meshes, objs):
            mesh.write(path + ".again.obj")
        obj_seconds.append(time.perf_counter() - start)
    for path in objs:
        os.remove(path + ".again.obj")
    return {"shot": name, "frames": last - first + 1,
            "vertices": int(sum(len(m.vertices) for m in meshes)),
            "obj_bytes": sum(os.path.getsize(p) for p in objs), "usd_bytes": os.path.getsize(layer),
            "obj_seconds": statistics.median(obj_seconds), "usd_seconds": statistics.median(usd_seconds)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--frames", type=int, default=48)
    parser.add_argument("--particles", type=int, default=100000)
    parser.add_argument("--resolution", type=int, default=128)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    tool = glomora.tool_path()
    demo = json.loads(subprocess.run([tool, "demo", "--print-scene"], capture_output=True, text=True,
                                     check=True).stdout)
    rows = [measure("demo", demo, args.out, args.reps),
            measure("particles", particles_scene(args.out, args.particles, args.resolution, args.frames),
                    args.out, args.reps)]
    print("%-10s %6s %11s %12s %12s %9s %9s" % ("shot", "frames", "vertices", "OBJ bytes", "USD bytes", "OBJ s",
                                                "USD s"))
    for r in rows:
        print("%-10s %6d %11d %12d %12d %9.3f %9.3f" % (r["shot"], r["frames"], r["vertices"], r["obj_bytes"],
                                                       r["usd_bytes"], r["obj_seconds"], r["usd_seconds"]))
    with open(os.path.join(args.out, "usd_sizes.json"), "w") as f:
        json.dump(rows, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
