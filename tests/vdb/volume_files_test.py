"""The tool's --volume files read back with OpenVDB's own Python module."""

import json
import os
import subprocess

import pyopenvdb as vdb
import pytest

TOOL = os.environ["GLOMORA_CLI"]

# A sphere of radius 1 at (0.5, -0.25, 0) in a box of unequal sides and
# cells. Blending model 1 with viscosity 0 makes the field 4 (1 - 2d)^2,
# d = (distance / 2)^2, within the element's reach and 0 beyond it: above
# the iso-value 0.7 inside distance 2 sqrt((1 - sqrt(0.175)) / 2) = 1.07,
# below it outside.
SIZE = (4.0, 3.0, 5.0)
RESOLUTION = (16, 12, 25)
CENTRE = (0.5, -0.25, 0.0)
SCENE = {
    "name": "ball",
    "frames": [1, 2],
    "parameters": {
        "Space": 0, "Mode": 1, "Viscosity": 0, "Isovalue": 0.7, "Blending_model": 1,
        "Size_X": SIZE[0], "Size_Y": SIZE[1], "Size_Z": SIZE[2],
        "Resolution_X": RESOLUTION[0], "Resolution_Y": RESOLUTION[1], "Resolution_Z": RESOLUTION[2],
    },
    "sources": [{"type": "sphere", "radius": 1, "transform": {"translation": list(CENTRE)}}],
}


def run(folder, *args, scene=SCENE, tool=TOOL):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "scene.json").write_text(json.dumps(scene))
    return subprocess.run([str(tool), "run", "scene.json", "--quiet", "--output", "out/{name}.####.obj", *args],
                          cwd=folder, capture_output=True, text=True, timeout=120)


def distance(a, b):
    return sum((x - y) ** 2 for x, y in zip(a, b)) ** 0.5


def test_volumes_hold_the_field_in_place(tmp_path):
    result = run(tmp_path, "--volume", "vol/{name}.####.vdb")
    assert result.returncode == 0, result.stderr
    cell = tuple(s / r for s, r in zip(SIZE, RESOLUTION))
    points = tuple(r + 1 for r in RESOLUTION)
    for frame in (1, 2):
        grid = vdb.read(str(tmp_path / f"vol/ball.{frame:04d}.vdb"), "density")
        # where: voxel size Size / Resolution, voxel (0, 0, 0) at the box's lower corner
        assert grid.transform.voxelSize() == pytest.approx(cell)
        assert grid.transform.indexToWorld((0, 0, 0)) == pytest.approx(tuple(-s / 2 for s in SIZE))
        assert grid.metadata["isovalue"] == pytest.approx(0.7)
        assert grid.metadata["scene"] == "ball"
        assert grid.metadata["frame"] == frame
        # what: above the iso-value inside the sphere, below it outside
        values = grid.getConstAccessor()
        inside = outside = 0
        for i in range(points[0]):
            for j in range(points[1]):
                for k in range(points[2]):
                    r = distance(grid.transform.indexToWorld((i, j, k)), CENTRE)
                    if r < 1.0:
                        assert values.getValue((i, j, k)) > 0.7, (i, j, k)
                        inside += 1
                    elif r > 1.15:
                        assert values.getValue((i, j, k)) < 0.7, (i, j, k)
                        outside += 1
        assert inside > 100 and outside > 100
        # how: sparse, background 0, exactly the non-zero values active
        assert grid.background == 0.0
        active = 0
        for item in grid.citerOnValues():
            assert item["value"] != 0.0
            active += item["count"]
        assert active == grid.activeVoxelCount()
        assert 0 < active < points[0] * points[1] * points[2] / 4
        nonzero = sum(1 for i in range(points[0]) for j in range(points[1]) for k in range(points[2])
                      if values.getValue((i, j, k)) != 0.0)
        assert nonzero == active


@pytest.mark.parametrize("setting, message", [
    ("Space=1", "Space 1 tracks the surface without a voxel lattice"),
    ("Mode=3", "Mode 3 plays meshes back from the cache, without the field"),
])
def test_no_field_no_volume(tmp_path, setting, message):
    cached = dict(SCENE, parameters=dict(SCENE["parameters"], Mode=2, Cache_filename="cache/ball.grd"))
    (tmp_path / "cache").mkdir()
    assert run(tmp_path, scene=cached).returncode == 0  # the cache files Mode 3 plays back
    result = run(tmp_path, "--set", setting, "--volume", "vol/{name}.####.vdb", scene=cached)
    assert result.returncode == 0, result.stderr
    assert result.stderr.count(message) == 1, result.stderr
    assert not (tmp_path / "vol").exists() or not any((tmp_path / "vol").iterdir())


def needed_libraries(binary):
    dynamic = subprocess.run(["readelf", "-d", str(binary)], capture_output=True, text=True, check=True).stdout
    return [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]


def test_installed_tool_loads_openvdb_only_for_volumes(tmp_path):
    prefix = tmp_path / "prefix"
    install = subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["GLOMORA_BUILD_DIR"],
                              "--prefix", str(prefix)], capture_output=True, text=True, timeout=120)
    assert install.returncode == 0, install.stdout + install.stderr
    tool = prefix / "bin" / "glomora"
    # the tool and the Python module start without OpenVDB
    for binary in [tool, *prefix.glob("lib*/python*/dist-packages/glomora/_glomora*.so")]:
        assert not [name for name in needed_libraries(binary) if "openvdb" in name], binary
    # installed, it loads the module from beside its libraries: the same bytes as the build tree's tool
    assert run(tmp_path / "built", "--volume", "ball.####.vdb").returncode == 0
    installed = run(tmp_path / "installed", "--volume", "ball.####.vdb", tool=tool)
    assert installed.returncode == 0, installed.stderr
    for frame in (1, 2):
        name = f"ball.{frame:04d}.vdb"
        assert (tmp_path / "installed" / name).read_bytes() == (tmp_path / "built" / name).read_bytes()
    # without the module: meshes as before, and a run asking for volumes stops before its first frame,
    # naming the missing file
    [module] = prefix.glob("lib*/libglomora_vdb.so")
    module.unlink()
    assert run(tmp_path / "meshes", tool=tool).returncode == 0
    assert (tmp_path / "meshes" / "out" / "ball.0002.obj").exists()
    broken = run(tmp_path / "broken", "--volume", "ball.####.vdb", tool=tool)
    assert broken.returncode == 1
    assert f"the OpenVDB module is missing: {module}" in broken.stderr, broken.stderr
    assert sorted(path.name for path in (tmp_path / "broken").iterdir()) == ["scene.json"]


def test_volume_velocity_is_a_vector_grid_where_the_density_is(tmp_path):
    # The sphere slides 0.2 along x per frame: every active voxel of "v"
    # holds that velocity, and "v" is active exactly where "density" is.
    moving = json.loads(json.dumps(SCENE))
    moving["sources"][0]["transform"] = {"translation": {"keys": [[1, [0.3, -0.25, 0]], [2, [0.5, -0.25, 0]]]}}
    moving["transfer"] = ["v"]
    result = run(tmp_path / "plain", "--volume", "vol/{name}.####.vdb", scene=moving)
    assert result.returncode == 0, result.stderr
    assert [g.name for g in vdb.readAllGridMetadata(str(tmp_path / "plain/vol/ball.0002.vdb"))] == ["density"]
    moving["volume_velocity"] = True
    result = run(tmp_path / "v", "--volume", "vol/{name}.####.vdb", scene=moving)
    assert result.returncode == 0, result.stderr
    path = str(tmp_path / "v/vol/ball.0002.vdb")
    assert [g.name for g in vdb.readAllGridMetadata(path)] == ["density", "v"]
    density, velocity = vdb.read(path, "density"), vdb.read(path, "v")
    assert velocity.valueTypeName == "vec3s" and velocity.metadata["frame"] == 2
    assert velocity.activeVoxelCount() == density.activeVoxelCount() > 100
    vectors = velocity.getConstAccessor()
    for ijk in (item.min for item in density.iterOnValues()):
        assert vectors.isValueOn(ijk)
        assert vectors.getValue(ijk) == pytest.approx((0.2, 0.0, 0.0), abs=1e-6)
    # Asked of a scene without a velocity: refused, naming the key.
    del moving["transfer"]
    result = run(tmp_path / "bad", "--volume", "vol/{name}.####.vdb", scene=moving)
    assert result.returncode == 2 and "volume_velocity: the scene carries no velocity" in result.stderr
