"""What the farm tests share: the built tool, small scenes, file listings."""

import json
import os
import subprocess

TOOL = os.environ.get("GLOMORA_TOOL", "")
LIMIT = 300  # seconds for one glomora command, a submission followed to its end included


def run_tool(*args, env=None):
    return subprocess.run([TOOL, *args], env=env, capture_output=True, text=True, timeout=LIMIT)


def scene(name, frames, parameters, sources=None):
    """A small scene: two spheres passing each other and a cloud, unless
    `sources` says otherwise."""
    return {
        "name": name, "frames": frames,
        "parameters": dict({"Resolution_X": 20, "Resolution_Y": 20, "Resolution_Z": 20, "Viscosity": 1.5,
                            "JB_voxelsize": 0.12, "Particle_size": 0.5}, **parameters),
        "sources": sources or [
            {"type": "sphere", "name": "left", "radius": 0.6,
             "transform": {"translation": {"keys": [[1, [-1, 0, 0]], [12, [0.6, 0, 0]]]}}},
            {"type": "sphere", "name": "right", "radius": 0.5,
             "transform": {"translation": {"keys": [[1, [1, 0.2, 0]], [12, [-0.5, 0, 0]]]}}},
            {"type": "cloud", "name": "drops", "points": [[0, 1, 0], [0.2, 1.1, 0.1], [-0.1, 0.9, 0]]},
        ]}


def write_scenes(folder, scenes):
    """Scene files NAME.json in `folder` (relative cache names are taken from
    there); returns their paths."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for description in scenes:
        path = os.path.join(folder, description["name"] + ".json")
        with open(path, "w") as out:
            json.dump(description, out)
        paths.append(path)
    return paths


def files_under(folder):
    """Every file below `folder`, by its path relative to it."""
    found = set()
    for root, _, names in os.walk(folder):
        found.update(os.path.relpath(os.path.join(root, name), folder) for name in names)
    return found
