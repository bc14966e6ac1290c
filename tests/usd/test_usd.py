"""USD layers of `glomora run --usd`, read back by a reader nobody here wrote
(TinyUSDZ's WebAssembly build under Node, tests/usd/usd_reader.mjs), and
compared with the OBJ files of the same run."""
import glob
import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.environ.get("GLOMORA_TEST_TOOL", "")
TINYUSDZ = os.environ.get("GLOMORA_TINYUSDZ", "")


def reader_missing():
    """Why the reader cannot run here, or None."""
    if not shutil.which("node"):
        return "node is not installed"
    if not os.path.isfile(os.path.join(TINYUSDZ, "tinyusdz.wasm")):
        return "tinyusdz is not installed in %s (scripts/setup.sh installs it)" % TINYUSDZ
    return None


@pytest.fixture(scope="module", autouse=True)
def usd_reader():
    missing = reader_missing()
    if missing:
        # CI sets GLOMORA_USD_DEPS: there the reader must be there.
        if os.environ.get("GLOMORA_USD_DEPS"):
            pytest.fail("GLOMORA_USD_DEPS is set but " + missing)
        pytest.skip("USD layers not read back: " + missing)


def read_usd(path):
    done = subprocess.run(["node", os.path.join(HERE, "usd_reader.mjs"), TINYUSDZ, path],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def time_samples(layer, attribute):
    """{frame: text of the sample's values} of `attribute` in a layer's text."""
    block = re.search(r"\S+ %s\.timeSamples = \{\n(.*?)\n\s*\}" % re.escape(attribute), layer, re.S)
    assert block, "no time samples of " + attribute
    return {int(m.group(1)): m.group(2) for m in re.finditer(r"^\s*(-?\d+): \[(.*)\],$", block.group(1), re.M)}


def numbers(text, dtype):
    return np.array(re.findall(r"[-+0-9.eE]+|nan|inf", text), dtype=np.float64).astype(dtype)


def read_obj(path):
    """Vertices (float32), faces, and per vertex its normal and UV (float32) as the nodes carry them."""
    v, vt, vn, faces, nodes = [], [], [], [], []
    for line in open(path):
        p = line.split()
        if not p:
            continue
        if p[0] in ("v", "vt", "vn"):
            {"v": v, "vt": vt, "vn": vn}[p[0]].append([float(x) for x in p[1:]])
        elif p[0] == "f":
            corners = [c.split("/") for c in p[1:]]
            faces.append([int(c[0]) - 1 for c in corners])
            nodes += corners
    normals = np.zeros((len(v), 3), np.float32)
    uvs = np.zeros((len(v), 2), np.float32)
    for c in nodes:
        if len(c) == 3 and c[2]:
            normals[int(c[0]) - 1] = vn[int(c[2]) - 1]
        if len(c) >= 2 and c[1]:
            uvs[int(c[0]) - 1] = vt[int(c[1]) - 1][:2]
    return np.array(v, np.float32).reshape(-1, 3), faces, normals, uvs


def run(*arguments, expect=0):
    done = subprocess.run([TOOL, "run", *arguments, "--quiet"], capture_output=True, text=True, timeout=600)
    assert done.returncode == expect, done.stderr
    return done


def write_scene(folder, scene):
    path = os.path.join(folder, scene["name"] + ".json")
    with open(path, "w") as f:
        json.dump(scene, f)
    return path


# A sphere sliding past a cube in Space 1, normals and UVs on; at frame 3 the
# isovalue is out of reach, so that frame is empty.
SHOT = {
    "name": "slide",
    "frames": [1, 4],
    "fps": 30,
    "up_axis": "Z",
    "meters_per_unit": 0.01,
    "parameters": {"Space": 1, "User_normals": True, "UVspace": True,
                   "Isovalue": {"keys": [[2, 1.0], [3, 1000000.0], [4, 1.0]]}},
    "sources": [
        {"type": "cube", "name": "box", "length": 1.0},
        {"type": "sphere", "name": "ball", "radius": 0.6,
         "transform": {"translation": {"keys": [[1, [-1.0, 0, 0]], [4, [0.8, 0.1, 0]]]}}},
    ],
}


@pytest.fixture(scope="module")
def shot(tmp_path_factory):
    """The shot run once with one layer and the OBJ files, once with a layer per frame (3 worker processes)."""
    folder = str(tmp_path_factory.mktemp("shot"))
    scene = write_scene(folder, SHOT)
    run(scene, "--output", folder + "/obj/{name}.####.obj", "--usd", folder + "/{name}.usda", "--jobs", "1")
    run(scene, "--output", folder + "/ply/{name}.####.ply", "--usd", folder + "/frames/{name}.####.usda",
        "--jobs", "3", "--threads", "1")
    return folder


def test_every_frame_is_a_time_sample_equal_to_the_obj_of_that_frame(shot):
    usd = read_usd(shot + "/slide.usda")
    assert usd["parsed"], usd.get("error")
    layer = usd["layer"]
    for metadata in ("startTimeCode = 1", "endTimeCode = 4", "timeCodesPerSecond = 30", 'upAxis = "Z"',
                     "metersPerUnit = 0.01", 'defaultPrim = "root"'):
        assert metadata in layer
    assert re.search(r'def Xform "root"\s*\{\s*def Mesh "slide"', layer)
    assert 'orientation = "rightHanded"' in layer and 'subdivisionScheme = "none"' in layer
    samples = {a: time_samples(layer, a) for a in ("points", "faceVertexCounts", "faceVertexIndices", "normals",
                                                   "primvars:st", "extent")}
    for frame in range(1, 5):
        vertices, faces, normals, uvs = read_obj(shot + "/obj/slide.%04d.obj" % frame)
        points = numbers(samples["points"][frame], np.float32).reshape(-1, 3)
        counts = numbers(samples["faceVertexCounts"][frame], np.int64)
        indices = numbers(samples["faceVertexIndices"][frame], np.int64)
        np.testing.assert_array_equal(points, vertices)
        assert counts.tolist() == [len(f) for f in faces]
        assert indices.tolist() == [i for f in faces for i in f]
        assert ((indices >= 0) & (indices < len(points))).all()
        np.testing.assert_array_equal(numbers(samples["normals"][frame], np.float32).reshape(-1, 3), normals)
        np.testing.assert_array_equal(numbers(samples["primvars:st"][frame], np.float32).reshape(-1, 2), uvs)
        box = numbers(samples["extent"][frame], np.float32).reshape(2, 3)
        if frame == 3:
            assert len(points) == 0 and len(counts) == 0 and (box == 0).all()
        else:
            np.testing.assert_array_equal(box, [vertices.min(0), vertices.max(0)])
    # The reader's own mesh (its first sample) is frame 1's.
    [mesh] = usd["meshes"]
    vertices, faces, _, _ = read_obj(shot + "/obj/slide.0001.obj")
    assert mesh["path"] == "/root/slide"
    np.testing.assert_array_equal(np.array(mesh["points"], np.float32).reshape(-1, 3), vertices)
    assert mesh["faceVertexIndices"] == [i for f in faces for i in f]


def test_polygons_wind_as_the_orientation_says(shot):
    # rightHanded: counter-clockwise seen from outside, so a closed surface
    # has a positive signed volume.
    vertices, faces, _, _ = read_obj(shot + "/obj/slide.0001.obj")
    v = vertices.astype(np.float64)
    a, b, c = (np.array([f[k] for f in faces]) for k in range(3))
    assert np.einsum("ij,ij->i", v[a], np.cross(v[b], v[c])).sum() > 0


def test_a_layer_per_frame_from_worker_processes_holds_the_same_samples(shot):
    whole = open(shot + "/slide.usda").read()
    assert sorted(os.listdir(shot + "/frames")) == ["slide.%04d.usda" % f for f in range(1, 5)]
    for frame in range(1, 5):
        path = shot + "/frames/slide.%04d.usda" % frame
        text = open(path).read()
        assert "startTimeCode = %d" % frame in text and "endTimeCode = %d" % frame in text
        # An empty frame's layer has no normals to declare.
        for attribute in ("points", "faceVertexIndices", "extent") + (("normals",) if frame != 3 else ()):
            assert time_samples(text, attribute) == {frame: time_samples(whole, attribute)[frame]}
        usd = read_usd(path)
        assert usd["parsed"], usd.get("error")
        vertices, faces, _, _ = read_obj(shot + "/obj/slide.%04d.obj" % frame)
        if frame == 3:
            assert usd["meshes"] == []  # the reader makes no mesh of an empty one
            continue
        [mesh] = usd["meshes"]
        np.testing.assert_array_equal(np.array(mesh["points"], np.float32).reshape(-1, 3), vertices)
        assert mesh["faceVertexCounts"] == [len(f) for f in faces]
        assert mesh["faceVertexIndices"] == [i for f in faces for i in f]
    # No packed frame or temporary file is left.
    assert [n for n in os.listdir(shot) + os.listdir(shot + "/frames") if n.startswith(".")] == []


def test_the_same_bytes_at_any_jobs_threads_and_from_python(shot, tmp_path):
    scene = write_scene(str(tmp_path), SHOT)
    reference = open(shot + "/slide.usda", "rb").read()
    for jobs, threads, ext in (("2", "2", "ply"), ("3", "1", "obj")):
        out = str(tmp_path / ("j" + jobs))
        run(scene, "--output", out + "/{name}.####." + ext, "--usd", out + "/{name}.usda", "--jobs", jobs,
            "--threads", threads)
        assert open(out + "/slide.usda", "rb").read() == reference
    glomora = pytest.importorskip("glomora")
    stats = glomora.Scene(scene).run(str(tmp_path / "py/{name}.####.obj"), usd=str(tmp_path / "py/{name}.usda"),
                                     jobs=1)
    assert stats["usd"] == [str(tmp_path / "py/slide.usda")]
    assert open(stats["usd"][0], "rb").read() == reference


def test_bad_names_and_failed_runs_leave_no_layer(tmp_path):
    scene = write_scene(str(tmp_path), SHOT)
    done = run(scene, "--output", str(tmp_path / "o/{name}.####.obj"), "--usd", str(tmp_path / "shot.usd"), expect=2)
    assert "--usd %s: the file name must end in .usda" % (tmp_path / "shot.usd") in done.stderr
    bad = dict(SHOT, name="bad", fps=0)
    done = run(write_scene(str(tmp_path), bad), "--usd", str(tmp_path / "bad.usda"), expect=2)
    assert "fps: expected a number above 0, got 0" in done.stderr
    # A source file missing at frame 3: the run fails there, in workers too.
    points = tmp_path / "pts"
    points.mkdir()
    for frame in (1, 2, 4):
        (points / ("p.%04d.ply" % frame)).write_text(
            "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\nproperty float z\n"
            "end_header\n0 0 0\n0.2 0 0\n")
    broken = dict(SHOT, name="broken", sources=[{"type": "cloud", "name": "p", "file": str(points / "p.####.ply")}])
    scene = write_scene(str(tmp_path), broken)
    for jobs in ("1", "2"):
        out = tmp_path / ("broken" + jobs)
        done = run(scene, "--output", str(out / "{name}.####.obj"), "--usd", str(out / "{name}.usda"),
                   "--jobs", jobs, expect=2)
        assert "not written" in done.stderr
        assert not glob.glob(str(out / "*.usda")) and not glob.glob(str(out / ".*"))


def read_ply_properties(path):
    """The float vertex properties of a binary PLY the tool wrote, by name."""
    data = open(path, "rb").read()
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


def test_velocities_are_the_meshes_v_times_fps_in_one_process_and_in_workers(shot, tmp_path):
    # Particles each with its own velocity (a spin about z plus a drift), in
    # a scene at 25 frames per second; the layer's velocities are the PLY's
    # vx, vy, vz (units per frame) times 25, rounded once to float.
    rng = np.random.default_rng(7)
    points = rng.uniform(-0.5, 0.5, size=(300, 3)).astype(np.float32)
    velocity = np.stack([-points[:, 1], points[:, 0], np.full(len(points), 0.1, np.float32)], 1).astype(np.float32)
    record = np.zeros(len(points), dtype=[(n, "<f4") for n in ("x", "y", "z", "vx", "vy", "vz")])
    for i, n in enumerate("xyz"):
        record[n] = points[:, i]
        record["v" + n] = velocity[:, i]
    header = "ply\nformat binary_little_endian 1.0\nelement vertex %d\n" % len(points)
    header += "".join("property float %s\n" % n for n in record.dtype.names) + "end_header\n"
    (tmp_path / "parts.ply").write_bytes(header.encode() + record.tobytes())
    moving = {"name": "moving", "frames": [1, 3], "fps": 25, "parameters": {"Space": 0, "Particle_size": 0.3},
              "sources": [{"type": "cloud", "file": str(tmp_path / "parts.ply"), "velocity_attribute": "v"}]}
    scene = write_scene(str(tmp_path), moving)
    run(scene, "--output", str(tmp_path / "one/{name}.####.ply"), "--usd", str(tmp_path / "one/{name}.usda"))
    run(scene, "--output", str(tmp_path / "two/{name}.####.ply"), "--usd", str(tmp_path / "two/{name}.usda"),
        "--jobs", "2", "--threads", "1")
    assert open(tmp_path / "one/moving.usda", "rb").read() == open(tmp_path / "two/moving.usda", "rb").read()
    usd = read_usd(str(tmp_path / "one/moving.usda"))
    assert usd["parsed"], usd.get("error")
    samples = time_samples(usd["layer"], "velocities")
    assert sorted(samples) == [1, 2, 3]
    for frame in (1, 2, 3):
        mesh = read_ply_properties(tmp_path / ("one/moving.%04d.ply" % frame))
        assert len(mesh["x"]) > 100
        expected = (np.stack([mesh["vx"], mesh["vy"], mesh["vz"]], 1).astype(np.float64) * 25).astype(np.float32)
        np.testing.assert_array_equal(numbers(samples[frame], np.float32).reshape(-1, 3), expected)
    # A scene whose meshes carry no velocity declares none.
    assert "velocities" not in open(shot + "/slide.usda").read()
