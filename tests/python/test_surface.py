"""glomora.surface and Mesh: the arrays, the bytes the tool writes, bad input."""
import gc
import os

import numpy as np
import pytest

import glomora
from glomora import distributed
from conftest import GRID_PARAMETERS, cloud, read, run_tool, write_ply_points, write_scene

CASES = {
    "space0": dict(GRID_PARAMETERS, Viscosity=0.0),
    "space1": {"Space": 1, "JB_voxelsize": 0.04, "Particle_size": 0.08, "UVspace": True},
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_arrays_describe_the_polygons(case):
    mesh = glomora.surface(cloud(), **CASES[case])
    vertices, counts, indices = mesh.vertices, mesh.face_counts, mesh.face_indices
    assert vertices.dtype == np.float32 and vertices.ndim == 2 and vertices.shape[1] == 3 and len(vertices) > 0
    assert counts.dtype == np.int32 and indices.dtype == np.int32
    assert counts.min() >= 3 and counts.sum() == len(indices)
    assert indices.min() >= 0 and indices.max() < len(vertices)
    assert mesh.normals.shape == (len(indices), 3) and mesh.normals.dtype == np.float64
    if CASES[case].get("UVspace"):
        assert mesh.uvs.shape == (len(indices), 2)
    else:
        assert mesh.uvs is None
    stats = mesh.stats
    assert stats["vertices"] == len(vertices) and stats["polygons"] == len(counts)



@pytest.mark.parametrize("case", sorted(CASES))
def test_thread_counts_give_the_same_arrays(case):
    one = glomora.surface(cloud(), threads=1, **CASES[case])
    for threads in (2, 3):
        other = glomora.surface(cloud(), threads=threads, **CASES[case])
        for name in ("vertices", "face_counts", "face_indices", "normals", "uvs"):
            a, b = getattr(one, name), getattr(other, name)
            assert (a is None and b is None) or a.tobytes() == b.tobytes(), (name, threads)

def test_field_is_indexed_x_y_z_and_crosses_the_isovalue_at_the_vertices():
    mesh = glomora.surface(cloud(), **CASES["space0"])
    field, origin, cell = mesh.field, np.array(mesh.field_origin), np.array(mesh.field_cell_size)
    resolution = CASES["space0"]["Resolution_X"]
    assert field.shape == (resolution + 1,) * 3 and field.dtype == np.float32
    # Each vertex lies on a lattice edge, where the field interpolated
    # trilinearly along x, y, z takes the iso-value.
    at = (mesh.vertices - origin) / cell
    inside = np.all((at > 0) & (at < resolution), axis=1)
    i, t = np.floor(at[inside]).astype(int), at[inside] - np.floor(at[inside])
    value = 0.0
    for corner in np.ndindex(2, 2, 2):
        weight = np.prod(np.where(corner, t, 1.0 - t), axis=1)
        value = value + weight * field[i[:, 0] + corner[0], i[:, 1] + corner[1], i[:, 2] + corner[2]]
    assert inside.sum() > 100 and np.allclose(value, mesh.field_isovalue, atol=1e-3)
    assert glomora.surface(cloud(), **CASES["space1"]).field is None


def test_field_tiles_densified_are_the_field():
    mesh = glomora.surface(cloud(), **dict(CASES["space0"], Resolution_X=37))
    origins, values = mesh.field_tiles
    assert origins.dtype == np.int32 and values.dtype == np.float32 and values.shape == (len(origins), 8, 8, 8)
    assert not origins.flags.writeable and not values.flags.writeable
    assert len(origins) > 1 and (origins % 8 == 0).all()
    assert [tuple(o) for o in origins] == sorted(tuple(o) for o in origins)
    shape = mesh.field_shape
    padded = np.zeros([n + 8 for n in shape], np.float32)
    for (i, j, k), tile in zip(origins, values):
        padded[i:i + 8, j:j + 8, k:k + 8] = tile
    assert not padded[shape[0]:].any() and not padded[:, shape[1]:].any() and not padded[:, :, shape[2]:].any()
    assert padded[:shape[0], :shape[1], :shape[2]].tobytes() == mesh.field.tobytes()
    space1 = glomora.surface(cloud(), **CASES["space1"])
    assert space1.field_tiles is None and space1.field_shape is None


def test_any_float_dtype_and_order_gives_the_same_mesh():
    points = cloud()
    reference = glomora.surface(points, **CASES["space1"])
    for variant in (np.asfortranarray(points, dtype=np.float64), points.astype(">f4"),
                    np.hstack([points, points])[:, 3:]):
        mesh = glomora.surface(variant, **CASES["space1"])
        assert np.array_equal(mesh.vertices, reference.vertices)
        assert np.array_equal(mesh.face_indices, reference.face_indices)


def test_views_keep_their_memory_and_cannot_be_written():
    grid = glomora.surface(cloud(), **GRID_PARAMETERS)
    assert repr(grid) == "Mesh(name='blob', frame=1, vertices=%d, faces=%d)" % (len(grid.vertices),
                                                                              len(grid.face_counts))
    for name in ("vertices", "face_counts", "face_indices", "field"):
        with pytest.raises(ValueError):
            getattr(grid, name)[...] = 7
    mesh = glomora.surface(cloud(), **CASES["space1"])
    normals, uvs = mesh.normals, mesh.uvs
    expected = normals.copy(), uvs.copy()
    for array in (normals, uvs):
        with pytest.raises(ValueError):
            array[0, 0] = 2.0
    del mesh
    gc.collect()
    glomora.surface(cloud(seed=8), **CASES["space1"])  # the engine's next frame overwrites nothing of ours
    assert np.array_equal(normals, expected[0]) and np.array_equal(uvs, expected[1])


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("extension", [".obj", ".ply"])
def test_written_file_is_the_tools(tool, tmp_path, case, extension):
    points = cloud()
    write_ply_points(tmp_path / "points.ply", points)
    scene = write_scene(tmp_path, {"parameters": CASES[case], "sources": [{"type": "cloud", "file": "points.ply"}]})
    run_tool(tool, scene, str(tmp_path / ("tool" + extension)))
    glomora.surface(points, **CASES[case]).write(tmp_path / ("module" + extension))
    assert read(tmp_path / ("module" + extension)) == read(tmp_path / ("tool" + extension))


@pytest.mark.parametrize("call, error, words", [
    (lambda: glomora.surface(np.zeros((4, 2))), ValueError, ["(n, 3)", "(4, 2)"]),
    (lambda: glomora.surface(np.array([[0, 0, 0], [0, np.nan, 0.1]], np.float32)), ValueError,
     ["points[1]", "[0, nan, 0.1]"]),
    (lambda: glomora.surface(np.array([[1e39, 0, 0]])), ValueError, ["points[0]", "float range", "[1e+39, 0, 0]"]),
    (lambda: glomora.surface(np.array([["a", "b", "c"]])), TypeError, ["dtype"]),
    (lambda: glomora.surface(cloud(), Isovalue=-1), ValueError, ["Isovalue", "-1"]),
    (lambda: glomora.surface(cloud(), Space=2), ValueError, ["Space", "2"]),
    (lambda: glomora.surface(cloud(), Isovalue="high"), ValueError, ["Isovalue", "high"]),
    (lambda: glomora.surface(cloud(), Radius=1), ValueError, ["Radius", "unknown parameter"]),
    # Model 0 without its volume optimisation reaches every point: dense lattices.
    (lambda: glomora.surface(cloud(), Space=0, Resolution_X=2000, Resolution_Y=2000, Resolution_Z=2000,
                             Blending_model=0, Optimization_volume_hyperbolic=False),
     MemoryError, ["Resolution 2000 x 2000 x 2000", "memory limit"]),
    (lambda: glomora.surface(cloud(), Space=0, max_memory="1M"), MemoryError, ["1.00 MiB", "(max_memory=)"]),
    (lambda: glomora.surface(cloud(), max_memory="lots"), ValueError, ["max_memory", "lots"]),
    (lambda: glomora.surface(cloud(), max_memory=1e300), ValueError, ["max_memory 1e+300", "18446744073709551615"]),
    (lambda: glomora.surface(cloud(), max_memory=2**64), ValueError, ["max_memory 18446744073709551616"]),
    (lambda: glomora.surface(cloud(), Isovalue=float("nan")), ValueError, ["parameters.Isovalue", "above 0", "nan"]),
    (lambda: glomora.Scene({"sources": [{"type": "sphere", "radius": float("inf")}]}), ValueError,
     ["sources[0].radius", "inf"]),
    (lambda: glomora.Scene({}).evaluate(2**63), ValueError, ["frame 9223372036854775808", "100000000"]),
    (lambda: glomora.Scene({}).run(frames=(1, 2**63)), ValueError, ["frame 9223372036854775808"]),
    (lambda: glomora.surface(cloud(), threads=2**63), ValueError, ["threads", "1024"]),
    (lambda: glomora.surface(cloud()).write("mesh.stl"), ValueError, ["mesh.stl", ".obj or .ply"]),
    (lambda: glomora.surface(cloud()).write("/proc/no/such/folder/mesh.obj"), OSError, ["mesh.obj"]),
    # A name with a NUL inside names another file to the system.
    (lambda: glomora.surface(cloud()).write("a\0b.ply"), ValueError, ["Mesh.write", "NUL character"]),
    (lambda: glomora.read_points("a.ply\0.obj"), ValueError, ["read_points", "NUL character"]),
    (lambda: glomora.Scene("a.json\0"), ValueError, ["Scene", "NUL character"]),
    (lambda: glomora.Scene({}, base_dir="a\0"), ValueError, ["folder", "NUL character"]),
    (lambda: glomora.Scene({"sources": [{"type": "cloud", "file": "good\0.ply"}]}), ValueError,
     ["sources[0].file", "NUL character"]),
    (lambda: glomora.Scene({"parameters": {"Cache_filename": "c\0.grd"}}), ValueError,
     ["parameters.Cache_filename", "NUL character"]),
    (lambda: glomora.Scene({}).run("o\0/f.####.obj", jobs=1), ValueError, ["--output", "NUL character"]),
    (lambda: glomora.Scene({}).run("f.####.obj", usd="u\0.usda", jobs=1), ValueError, ["--usd", "NUL character"]),
    (lambda: glomora.Scene({"frames": [1, 2]}).run("f.####.obj", tool="g\0"), ValueError, ["tool", "NUL character"]),
    (lambda: distributed.plan(["a.json", "b\0.json"], "f.####.obj", tool="g"), ValueError,
     ["scenes[1]", "NUL character"]),
])
def test_bad_input_is_a_python_error_with_the_tools_message(call, error, words):
    with pytest.raises(error) as raised:
        call()
    for word in words:
        assert word in str(raised.value)
    for internal in ("JSON", "cast", "C++", "--max-memory"):
        assert internal not in str(raised.value)


def test_no_points_give_an_empty_mesh():
    mesh = glomora.surface(np.empty((0, 3), np.float32))
    assert mesh.vertices.shape == (0, 3) and len(mesh.face_counts) == 0 and len(mesh.face_indices) == 0
