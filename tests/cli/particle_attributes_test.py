"""Particle attributes end to end: files written by numpy (PLY), the tool
run on them, the meshes' per-vertex values read back."""

import json
import os
import subprocess

import numpy as np
import pytest

TOOL = os.environ["GLOMORA_CLI"]


def write_ply(path, positions, **attributes):
    """A binary PLY of float vertex properties x, y, z and one per attribute
    column (a name ending in x, y, z for a vector), written by numpy."""
    columns = [("x", positions[:, 0]), ("y", positions[:, 1]), ("z", positions[:, 2])]
    for name, values in attributes.items():
        values = np.asarray(values, dtype=np.float64)
        if values.ndim == 2:
            columns += [(name + "xyz"[c], values[:, c]) for c in range(values.shape[1])]
        else:
            columns.append((name, values))
    record = np.zeros(len(positions), dtype=[(name, "<f4") for name, _ in columns])
    for name, values in columns:
        record[name] = values
    header = "ply\nformat binary_little_endian 1.0\nelement vertex %d\n" % len(positions)
    header += "".join("property float %s\n" % name for name, _ in columns) + "end_header\n"
    path.write_bytes(header.encode() + record.tobytes())


def read_ply(path):
    """The vertex properties of a binary PLY the tool wrote, by name."""
    data = path.read_bytes()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    lines = data[:end].decode().splitlines()
    count = int(next(line for line in lines if line.startswith("element vertex")).split()[2])
    names = []
    for line in lines:
        if line.startswith("element face"):
            break
        if line.startswith("property float"):
            names.append(line.split()[2])
    table = np.frombuffer(data, dtype="<f4", count=count * len(names), offset=end).reshape(count, len(names))
    return {name: table[:, i] for i, name in enumerate(names)}


def cloud(count=400, seed=3, centre=(0.0, 0.0, 0.0), spread=0.5):
    rng = np.random.default_rng(seed)
    return rng.uniform(-spread, spread, size=(count, 3)) + np.asarray(centre)


def scene(sources, space=0, **parameters):
    return {"name": "p", "frames": [1, 3], "parameters": {"Space": space, "Particle_size": 0.3, **parameters},
            "sources": sources}


def run(folder, description, output="out/{name}.####.ply", *args):
    (folder / "scene.json").write_text(json.dumps(description))
    return subprocess.run([TOOL, "run", "scene.json", "--quiet", "--output", output, *args], cwd=folder,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("space,model", [(0, 0), (0, 1), (0, 2), (1, 1)])
def test_one_velocity_everywhere_gives_it_at_every_vertex(tmp_path, space, model):
    points = cloud()
    write_ply(tmp_path / "parts.ply", points, v=np.tile([0.5, -0.25, 2.0], (len(points), 1)))
    source = {"type": "cloud", "file": "parts.ply", "velocity_attribute": "v"}
    result = run(tmp_path, scene([source], space, Blending_model=model), "out/{name}.####.ply", "--stats", "stats.json")
    assert result.returncode == 0, result.stderr
    mesh = read_ply(tmp_path / "out/p.0002.ply")
    assert len(mesh["x"]) > 100
    for name, value in (("vx", 0.5), ("vy", -0.25), ("vz", 2.0)):
        np.testing.assert_allclose(mesh[name], value, rtol=1e-6)
    stats = json.loads((tmp_path / "stats.json").read_text())["runs"][0]["frames"]
    assert all(abs(frame["largest_speed"] - np.sqrt(0.25 + 0.0625 + 4.0)) < 1e-5 for frame in stats)


def test_a_spinning_cloud_moves_tangent_to_the_spin_faster_away_from_the_axis(tmp_path):
    # Two blobs at 0.6 and 1.2 from the y axis, turning 10 degrees per frame.
    near = cloud(200, 1, (0.6, 0.0, 0.0), 0.12)
    far = cloud(200, 2, (0.0, 0.0, 1.2), 0.12)
    write_ply(tmp_path / "parts.ply", np.vstack([near, far]))
    spin = {"keys": [[1, [0, 0, 0]], [9, [0, 80, 0]]]}
    source = {"type": "cloud", "file": "parts.ply", "transform": {"rotation": spin}}
    description = scene([source], Size_X=4, Size_Y=4, Size_Z=4, Viscosity=0)
    description["frames"] = [1, 9]
    description["transfer"] = ["v"]
    assert run(tmp_path, description).returncode == 0
    for frame in (1, 5, 9):  # the first key, between, the last key
        mesh = read_ply(tmp_path / ("out/p.%04d.ply" % frame))
        x, z, vx, vy, vz = (mesh[name] for name in ("x", "z", "vx", "vy", "vz"))
        radius = np.hypot(x, z)
        speed = np.hypot(vx, vz)
        assert np.all(vy == 0.0)
        # Turning the way of the spin, tangent up to the spread of a blob seen
        # from a vertex on its side (the average of its particles' tangents).
        assert np.all(z * vx - x * vz > 0.0)
        assert np.all(np.abs(x * vx + z * vz) / radius < 0.5 * speed)
        # At the first and last key too the full speed, not half of it.
        angular = speed / radius
        assert 0.9 * np.radians(10) < np.median(angular) < 1.05 * np.radians(10)
        assert np.median(speed[radius > 0.9]) > 1.6 * np.median(speed[radius < 0.9])


def test_a_radius_attribute_of_one_changes_nothing_and_of_two_doubles_the_size(tmp_path):
    points = cloud()
    write_ply(tmp_path / "parts.ply", points, one=np.ones(len(points)), two=np.full(len(points), 2.0))
    plain = {"type": "cloud", "file": "parts.ply"}
    for model in (0, 1, 2):
        for name, source, size in (("plain", plain, 0.3), ("one", dict(plain, radius_attribute="one"), 0.3),
                                   ("two", dict(plain, radius_attribute="two"), 0.3),
                                   ("double", plain, 0.6)):
            description = scene([source], Blending_model=model, Particle_size=size)
            assert run(tmp_path, description, "%s%d/{name}.####.obj" % (name, model)).returncode == 0
        for frame in (1, 3):
            file = "p.%04d.obj" % frame
            assert (tmp_path / ("one%d" % model) / file).read_bytes() == (tmp_path / ("plain%d" % model) / file).read_bytes()
            assert (tmp_path / ("two%d" % model) / file).read_bytes() == (tmp_path / ("double%d" % model) / file).read_bytes()


@pytest.mark.parametrize("key,attribute,values,message", [
    ("velocity_attribute", "speed", None, 'no attribute "speed"'),
    ("velocity_attribute", "temperature", "scalar", 'attribute "temperature" has 1 values per point, expected 3'),
    ("radius_attribute", "v", "vector", 'attribute "v" has 3 values per point, expected 1'),
    ("radius_attribute", "temperature", "nan", 'attribute "temperature" of point 5 is nan'),
    ("radius_attribute", "temperature", "negative", 'attribute "temperature" of point 5 is -1'),
])
def test_a_bad_attribute_is_refused_naming_the_file_the_attribute_and_the_value(tmp_path, key, attribute, values,
                                                                                message):
    points = cloud(20)
    temperature = np.ones(len(points))
    if values == "nan":
        temperature[4] = np.nan
    if values == "negative":
        temperature[4] = -1.0
    write_ply(tmp_path / "parts.ply", points, v=np.zeros((len(points), 3)), temperature=temperature)
    result = run(tmp_path, scene([{"type": "cloud", "file": "parts.ply", key: attribute}]))
    assert result.returncode == 2
    assert "parts.ply" in result.stderr and message in result.stderr, result.stderr
    assert not (tmp_path / "out").exists()


def test_obj_output_says_once_that_it_has_no_place_for_the_values(tmp_path):
    points = cloud(50)
    write_ply(tmp_path / "parts.ply", points, v=np.zeros((len(points), 3)))
    description = scene([{"type": "cloud", "file": "parts.ply", "velocity_attribute": "v"}])
    (tmp_path / "scene.json").write_text(json.dumps(description))
    result = subprocess.run([TOOL, "run", "scene.json", "--output", "out/{name}.####.obj"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stderr.count("OBJ files have no place for per-vertex values") == 1
