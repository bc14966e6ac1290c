"""Shared pieces of the module's tests: the tool, small clouds, scenes written as files."""
import json
import os
import subprocess

import numpy as np
import pytest

import glomora


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("GLOMORA_TEST_TOOL") or glomora.tool_path()
    assert path and os.access(path, os.X_OK), "the glomora executable is needed (GLOMORA_TEST_TOOL)"
    return path


def cloud(count=400, seed=7):
    """`count` points in three loose clusters inside [-0.4, 0.4]^3, as float32."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-0.2, 0.2, (3, 3))
    points = centres[rng.integers(0, 3, count)] + rng.normal(0.0, 0.07, (count, 3))
    return np.clip(points, -0.4, 0.4).astype(np.float32)


def write_ply_points(path, points):
    header = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
              "property float z\nend_header\n" % len(points))
    with open(path, "wb") as f:
        f.write(header.encode())
        f.write(np.ascontiguousarray(points, dtype="<f4").tobytes())


def write_scene(folder, scene, name="scene.json"):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        json.dump(scene, f)
    return path


def run_tool(tool, scene_path, output, *options):
    done = subprocess.run([tool, "run", scene_path, "--output", output, "--quiet", *options],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done


def read(path):
    with open(path, "rb") as f:
        return f.read()


# A small voxel-grid scene (Space 0) that simulates from frame to frame: the
# viscosity carries the field over, so a frame depends on those before it;
# Mode 1 steps through the frames before one asked out of turn.
GRID_PARAMETERS = {"Space": 0, "Mode": 1, "Size_X": 1, "Size_Y": 1, "Size_Z": 1, "Resolution_X": 20,
                   "Resolution_Y": 20, "Resolution_Z": 20, "Particle_size": 0.08, "Viscosity": 0.5}


def moving_grid_scene(points_file, frames=(1, 4)):
    """GRID_PARAMETERS on a cloud that slides along X, frames first..last."""
    return {"name": "slide", "frames": list(frames), "parameters": dict(GRID_PARAMETERS),
            "sources": [{"type": "cloud", "file": points_file,
                         "transform": {"translation": {"keys": [[1, [-0.1, 0, 0]], [8, [0.1, 0, 0]]]}}}]}
