#!/usr/bin/env python3
"""A batch of shots through a one-node Slurm cluster beside the same shots run
one after another with `glomora run`, in the same session.

Makes SHOTS scenes (half Space 0 Mode 2 simulations with cache files, half
Space 1 sequences, FRAMES frames each, a cloud of particles falling past a
sphere), then per repetition: every scene with `glomora run` in turn
(default --jobs: worker processes for independent frames), and the whole
batch with `glomora submit --slurm --wait` on a cluster of this machine's
cores (tests/farm/slurm_cluster.py, started and stopped here). Prints the
wall time of each, start to end, their ratio, the load average before and
after, and checks that both wrote the same bytes.

    bench/farm_batch.py [--tool build/cli/glomora] [--shots 16] [--frames 48] [--chunk 12] [--reps 1]
"""

import argparse
import filecmp
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "farm"))
from farm_scenes import files_under, write_scenes  # noqa: E402
from slurm_cluster import SlurmCluster  # noqa: E402


def shot(index, frames):
    """Even shots: a Space 0 simulation of 20000 particles at resolution 128,
    cached (Mode 2); odd shots: a Space 1 sequence of 1000 particles, cell
    0.03. On these machines each takes about 10 s of processor time for 48
    frames."""
    grid = index % 2 == 0
    rng = random.Random(index)
    particles = 20000 if grid else 1000
    points = [[rng.uniform(-0.8, 0.8), rng.uniform(-0.4, 0.4), rng.uniform(-0.8, 0.8)] for _ in range(particles)]
    parameters = {"Space": 0 if grid else 1, "Blending_model": 1, "Isovalue": 1.0, "Particle_size": 0.35,
                  "User_normals": True, "Geometry_smooth_active": True, "Geometry_smooth_strength": 1.0}
    if grid:
        parameters.update({"Mode": 2, "Cache_filename": f"cache/shot{index:02d}.grd", "Viscosity": 1.5,
                           "Size_X": 4, "Size_Y": 4, "Size_Z": 4,
                           "Resolution_X": 128, "Resolution_Y": 128, "Resolution_Z": 128})
    else:
        parameters["JB_voxelsize"] = 0.03
    return {"name": f"shot{index:02d}", "frames": [1, frames], "parameters": parameters,
            "sources": [{"type": "cloud", "name": "rain", "points": points,
                         "transform": {"translation": {"keys": [[1, [0, 1.2, 0]], [frames, [0, -1.2, 0]]]}}},
                        {"type": "sphere", "name": "ball", "radius": 0.6}]}


def load():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default=os.path.join(HERE, "..", "build", "cli", "glomora"))
    parser.add_argument("--shots", type=int, default=16)
    parser.add_argument("--frames", type=int, default=48)
    parser.add_argument("--chunk", type=int, default=12)
    parser.add_argument("--reps", type=int, default=1)
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)
    scenes = [shot(i, args.frames) for i in range(args.shots)]

    with tempfile.TemporaryDirectory(prefix="glomora_farm_batch_") as work:
        cluster = SlurmCluster(os.path.join(work, "slurm"))
        os.mkdir(cluster.folder)
        try:
            cluster.start()
            print(f"{args.shots} shots of {args.frames} frames; Slurm node of {os.cpu_count()} CPUs; "
                  f"load before: {load()}")
            for rep in range(args.reps):
                sequential = os.path.join(work, f"sequential{rep}")
                farm = os.path.join(work, f"farm{rep}")
                # Every other repetition starts with Slurm, so that a change of
                # load weighs on both alike.
                order = ("sequential", "slurm") if rep % 2 == 0 else ("slurm", "sequential")
                seconds = {}
                for way in order:
                    start = time.monotonic()
                    if way == "sequential":
                        for path in write_scenes(sequential, scenes):
                            subprocess.run([tool, "run", path, "--quiet", "--output",
                                            os.path.join(sequential, "out", "{name}.####.obj")], check=True)
                    else:
                        paths = write_scenes(farm, scenes)
                        submit = subprocess.run([tool, "submit", *paths, "--slurm", "--wait", "--chunk",
                                                 str(args.chunk), "--logs", os.path.join(work, f"logs{rep}"),
                                                 "--output", os.path.join(farm, "out", "{name}.####.obj")],
                                                env=cluster.env, capture_output=True, text=True)
                        if submit.returncode != 0:
                            sys.exit("submit failed:\n" + submit.stdout + submit.stderr)
                    seconds[way] = time.monotonic() - start
                sequential_seconds, slurm_seconds = seconds["sequential"], seconds["slurm"]

                names = files_under(sequential)
                same = names == files_under(farm) and all(
                    filecmp.cmp(os.path.join(sequential, n), os.path.join(farm, n), shallow=False) for n in names)
                print(f"run {rep + 1}: glomora run one after another {sequential_seconds:.1f} s, "
                      f"glomora submit --slurm --wait {slurm_seconds:.1f} s "
                      f"({sequential_seconds / slurm_seconds:.2f}x), {len(names)} files, "
                      f"{'the same bytes' if same else 'DIFFERENT BYTES'}; load after: {load()}")
        finally:
            cluster.stop()


if __name__ == "__main__":
    main()
