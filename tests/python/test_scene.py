"""glomora.Scene: frames evaluated one after another as the host plays them,
run() against `glomora run`, parameters, cancel."""
import glob
import os
import pickle
import re
import signal

import pytest

import glomora
from conftest import cloud, moving_grid_scene, read, run_tool, write_ply_points, write_scene


@pytest.fixture
def slide(tmp_path, tool):
    """The sliding grid scene as a file, and the tool's frames 1-4 of it."""
    write_ply_points(tmp_path / "points.ply", cloud())
    path = write_scene(tmp_path, moving_grid_scene("points.ply"))
    run_tool(tool, path, str(tmp_path / "tool" / "f.####.obj"))
    return path, [read(tmp_path / "tool" / ("f.%04d.obj" % frame)) for frame in range(1, 5)]


def evaluated(scene, frame, folder):
    path = os.path.join(folder, "m.%04d.obj" % frame)
    mesh = scene.evaluate(frame)
    assert mesh.frame == frame
    mesh.write(path)
    return read(path)


def test_frames_in_turn_carry_the_simulation_over(slide, tmp_path):
    path, expected = slide
    scene = glomora.Scene(path)
    assert [evaluated(scene, frame, tmp_path) for frame in (1, 2, 3, 4)] == expected
    assert expected[2] != expected[3]


def test_another_scene_in_between_and_a_jump_ahead_recompute(slide, tmp_path):
    path, expected = slide
    scene, other = glomora.Scene(path), glomora.Scene(path)
    assert evaluated(scene, 1, tmp_path) == expected[0]
    assert evaluated(other, 3, tmp_path) == expected[2]  # from the start, the recompute loop
    assert evaluated(scene, 2, tmp_path) == expected[1]  # its instance was ended: recomputed
    glomora.surface(cloud())
    assert evaluated(scene, 4, tmp_path) == expected[3]


def test_a_parameter_changed_between_frames_reaches_the_live_instance(tmp_path, tool):
    write_ply_points(tmp_path / "points.ply", cloud())
    keyed = moving_grid_scene("points.ply", frames=(1, 2))
    keyed["parameters"]["Isovalue"] = {"keys": [[1, 1.0], [2, 0.6]]}
    run_tool(tool, write_scene(tmp_path, keyed, "keyed.json"), str(tmp_path / "tool.####.obj"))
    scene = glomora.Scene(moving_grid_scene("points.ply", frames=(1, 2)), base_dir=tmp_path)
    assert evaluated(scene, 1, tmp_path) == read(tmp_path / "tool.0001.obj")
    scene.parameters["Isovalue"] = 0.6
    assert scene.parameters["Isovalue"] == 0.6 and scene.to_dict()["parameters"]["Isovalue"] == 0.6
    assert evaluated(scene, 2, tmp_path) == read(tmp_path / "tool.0002.obj")


def test_parameters_are_checked_and_a_refused_value_changes_nothing(slide):
    scene = glomora.Scene(slide[0])
    assert scene.parameters["Isovalue"] == glomora.parameter_defaults()["Isovalue"]
    for name, value in (("Space", 5), ("Resolution_X", 0), ("Isovalue", "high")):
        with pytest.raises(ValueError, match=name):
            scene.parameters[name] = value
    assert scene.to_dict() == glomora.Scene(slide[0]).to_dict()
    del scene.parameters["Viscosity"]
    assert "Viscosity" not in scene.parameters.set() and scene.parameters["Viscosity"] == 0.0


def test_a_pickled_scene_is_the_same_scene(slide, tmp_path):
    path, expected = slide
    scene = glomora.Scene(path)
    scene.parameters["Isovalue"] = 0.9
    copy = pickle.loads(pickle.dumps(scene))
    assert copy.to_dict() == scene.to_dict() and copy.base_dir == os.path.dirname(os.path.abspath(path))
    assert copy.evaluate(2).stats["vertices"] == scene.evaluate(2).stats["vertices"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_run_writes_the_tools_files_and_returns_its_statistics(tmp_path, tool, jobs):
    write_ply_points(tmp_path / "points.ply", cloud())
    scene = {"name": "t", "frames": [1, 3], "parameters": {"Space": 1, "JB_voxelsize": 0.05, "Particle_size": 0.08},
             "sources": [{"type": "cloud", "file": "points.ply",
                          "transform": {"rotation": [0, {"keys": [[1, 0], [3, 40]]}, 0]}}]}
    path = write_scene(tmp_path, scene)
    run_tool(tool, path, str(tmp_path / "tool.####.ply"), "--jobs", "1")
    stats = glomora.Scene(path).run(str(tmp_path / "py" / "{name}.####.ply"), jobs=jobs, tool=tool)
    assert stats["scene"] == "t" and stats["processes"] == jobs
    assert [entry["frame"] for entry in stats["frames"]] == [1, 2, 3]
    for frame in (1, 2, 3):
        assert read(tmp_path / "py" / ("t.%04d.ply" % frame)) == read(tmp_path / ("tool.%04d.ply" % frame))


def test_run_writes_the_tools_volumes_and_pictures(slide, tmp_path, tool):
    path = slide[0]
    run_tool(tool, path, str(tmp_path / "tool" / "f.####.obj"), "--volume", str(tmp_path / "tool" / "v.####.vdb"),
             "--preview", str(tmp_path / "tool" / "p.####.png"), "--preview-size", "64x48")
    glomora.Scene(path).run(str(tmp_path / "py" / "f.####.obj"), volume=str(tmp_path / "py" / "v.####.vdb"),
                            preview=str(tmp_path / "py" / "p.####.png"), preview_size=(64, 48), jobs=1)
    names = sorted(os.listdir(tmp_path / "tool"))
    assert len(names) == 12 and sorted(os.listdir(tmp_path / "py")) == names
    for name in names:
        assert read(tmp_path / "py" / name) == read(tmp_path / "tool" / name), name


@pytest.mark.parametrize("jobs", [1, 2])
def test_keyboard_interrupt_cancels_after_the_frames_in_progress(tmp_path, tool, jobs):
    write_ply_points(tmp_path / "points.ply", cloud())
    scene = {"frames": [1, 8], "parameters": {"Space": 1, "JB_voxelsize": 0.05, "Particle_size": 0.08},
             "sources": [{"type": "cloud", "file": "points.ply",
                          "transform": {"rotation": [0, {"keys": [[1, 0], [8, 70]]}, 0]}}]}
    path = write_scene(tmp_path, scene)
    reports = []

    def progress(done, total):
        reports.append((done, total))
        if done == 2:
            os.kill(os.getpid(), signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        glomora.Scene(path).run(str(tmp_path / "py" / "f.####.obj"), jobs=jobs, tool=tool, progress=progress)
    assert reports[:2] == [(1, 8), (2, 8)]
    written = sorted(os.listdir(tmp_path / "py"))
    # Each process finishes the frame it was on; no frame is begun after that.
    assert 2 <= len(written) <= 2 + jobs and all(name.endswith(".obj") for name in written)
    run_tool(tool, path, str(tmp_path / "tool" / "f.####.obj"), "--jobs", "1")
    for name in written:
        assert read(tmp_path / "py" / name) == read(tmp_path / "tool" / name)


def test_run_errors_are_python_errors(tmp_path, tool):
    with pytest.raises(FileNotFoundError, match="missing.json"):
        glomora.Scene(str(tmp_path / "missing.json"))
    with pytest.raises(FileNotFoundError, match="no such file"):
        glomora.Scene({"sources": [{"type": "cloud", "file": "gone.ply"}]}, base_dir=tmp_path)
    with pytest.raises(ValueError, match="frames"):
        glomora.Scene({"frames": [3, 1]})
    scene = glomora.Scene({"frames": [1, 2], "parameters": {"Space": 0, "Resolution_X": 3000}})
    with pytest.raises(ValueError, match="frame number"):
        scene.run(str(tmp_path / "one.obj"), jobs=1)
    with pytest.raises(MemoryError, match="Resolution 3000 x 64 x 64"):
        scene.run(str(tmp_path / "f.####.obj"), jobs=1, max_memory="100M")
    assert glob.glob(str(tmp_path / "*.obj")) == []


def test_frames_that_fail_are_python_errors(tmp_path, monkeypatch):
    # A cache file to play back that is not there; dense lattices the plug-in has no memory for.
    played = glomora.Scene({"parameters": {"Space": 0, "Mode": 3, "Cache_filename": "cache/c.grd"}},
                           base_dir=tmp_path)
    with pytest.raises(RuntimeError, match="frame 1: .*c.1.grd: the cache file is missing"):
        played.evaluate(1)
    big = glomora.Scene({"parameters": {"Space": 0, "Resolution_X": 2000, "Resolution_Y": 2000,
                                        "Resolution_Z": 2000, "Blending_model": 0,
                                        "Optimization_volume_hyperbolic": False}})
    with pytest.raises(MemoryError, match="frame 1: not enough memory"):
        big.evaluate(1, max_memory="1T")

    # Tiled lattices whose tiles would not fit: refused before the step.
    tiled = glomora.Scene({"parameters": {"Space": 0, "Blending_model": 1, "Size_X": 10, "Size_Y": 10, "Size_Z": 10,
                                          "Resolution_X": 400, "Resolution_Y": 400, "Resolution_Z": 400},
                           "sources": [{"type": "sphere", "radius": 2}]})
    with pytest.raises(MemoryError, match=r"frame 1: Resolution 400 x 400 x 400 needs .* \(\d+ tiles\), above the "
                                          r"memory limit of 150 MiB \(max_memory=\)"):
        tiled.evaluate(1, max_memory="150M")

    # A stale or wrong GLOMORA_TOOL whose workers end well without a frame.
    fake = tmp_path / "not-glomora"
    fake.write_text("#!/bin/sh\nexit 0\n")
    fake.chmod(0o755)
    monkeypatch.setenv("GLOMORA_TOOL", str(fake))
    scene = glomora.Scene({"frames": [1, 3], "parameters": {"Space": 1}, "sources": [{"type": "sphere"}]})
    with pytest.raises(RuntimeError, match=re.escape(str(fake)) + ": .*frames 1-3, which were not written"):
        scene.run(str(tmp_path / "out" / "f.####.obj"), jobs=2)
    assert not (tmp_path / "out").exists() or os.listdir(tmp_path / "out") == []
