#!/usr/bin/python3
"""glomora.surface against the tool's engine time for the same frame, in one run.

Usage: python_surface.py TOOL DATA OUT [--reps N]
       (PYTHONPATH must reach the module: build/python, or installed)

The frame: particles_100000.f32 of the peer data (DATA, gen_scenes.py),
shifted into the unit box centred on the origin, Space 0, Mode 0, container
Size 1, resolution 128, "Particle_size" 0.04, blending model 1 (the
`particles 100000 N=128 normals on` case of whole_runs.py). Each repetition
runs the tool on the scene file (binary PLY out, --stats) and then calls
glomora.surface on the same points in this process. Reported, as medians:
  tool frame      the tool's --stats "seconds" of the frame: evaluation,
                  transfer, reading the host's mesh back, writing the file
  tool process    the tool's whole process, start to exit
  surface()       the call, from the numpy array to the Mesh with its arrays
                  (and apart, the first call: memory the process has not
                  used yet costs a page fault per page on first touch)
  plug-in stages  the sum of the plug-in's timing lines ("timings_ms"), in
                  the tool and in surface()
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from whole_runs import make_scenes, particles_scene  # noqa: E402

import glomora  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("data")
    parser.add_argument("out")
    parser.add_argument("--reps", type=int, default=7)
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    make_scenes(args.data, out)
    scene_file = particles_scene(out, 100000, 128)
    scene = json.load(open(scene_file))
    rows = np.fromfile(os.path.join(args.data, "particles_100000.f32"), dtype="<f4").reshape(-1, 4)
    points = rows[:, :3] - np.float32(0.5)
    stats_file = os.path.join(out, "python_surface_stats.json")

    tool_frame, tool_process, tool_stages, call, call_stages = [], [], [], [], []
    for _ in range(args.reps):
        start = time.perf_counter()
        subprocess.run([args.tool, "run", scene_file, "-o", os.path.join(out, "tool.ply"), "-q", "--jobs", "1",
                        "--stats", stats_file], check=True)
        tool_process.append(time.perf_counter() - start)
        frame = json.load(open(stats_file))["runs"][0]["frames"][0]
        tool_frame.append(frame["seconds"])
        tool_stages.append(sum(frame["timings_ms"].values()) / 1000.0)

        start = time.perf_counter()
        mesh = glomora.surface(points, **scene["parameters"])
        call.append(time.perf_counter() - start)
        call_stages.append(sum(mesh.stats["timings_ms"].values()) / 1000.0)
        assert mesh.stats["vertices"] == frame["vertices"]

    def ms(values):
        return statistics.median(values) * 1000.0

    print("100,000 particles, resolution 128, %d vertices; medians of %d, interleaved" % (len(mesh.vertices),
                                                                                         args.reps))
    print("  tool frame (--stats seconds)  %8.1f ms   plug-in stages %8.1f ms" % (ms(tool_frame), ms(tool_stages)))
    print("  tool process                  %8.1f ms" % ms(tool_process))
    print("  glomora.surface()             %8.1f ms   plug-in stages %8.1f ms" % (ms(call), ms(call_stages)))
    print("  its first call in the process %8.1f ms   plug-in stages %8.1f ms" % (call[0] * 1000.0,
                                                                                 call_stages[0] * 1000.0))
    print("  surface() / tool frame        %8.2f" % (ms(call) / ms(tool_frame)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
