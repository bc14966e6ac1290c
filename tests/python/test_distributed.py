"""glomora.distributed: the plan of several shots on a local Dask cluster
writes the bytes of `glomora run`, and a task that fails is reported with its
shot and frames."""
import filecmp
import io
import os
import re
import socket
import subprocess
import sys

from glomora.distributed import plan

from conftest import GRID_PARAMETERS, cloud, run_tool, write_ply_points, write_scene


def shots(points_file):
    """A cached simulation (a simulation, then playback chunks after it) and a
    Space 1 sequence (chunks only)."""
    source = {"type": "cloud", "file": points_file,
              "transform": {"translation": {"keys": [[1, [-0.1, 0, 0]], [8, [0.1, 0, 0]]]}}}
    cached = dict(GRID_PARAMETERS, Mode=2, Cache_filename="cache/slide.grd")
    return [{"name": "slide", "frames": [1, 8], "parameters": cached, "sources": [source]},
            {"name": "tracked", "frames": [1, 5], "parameters": {"Space": 1, "JB_voxelsize": 0.03,
                                                                 "Particle_size": 0.08}, "sources": [source]}]


def distributed(*args):
    return subprocess.run([sys.executable, "-m", "glomora.distributed", *args], capture_output=True, text=True,
                          timeout=300)


def files_under(folder):
    return {os.path.relpath(os.path.join(root, name), folder) for root, _, names in os.walk(folder) for name in names}


def test_a_local_cluster_writes_the_bytes_of_glomora_run(tmp_path, tool):
    for way in ("reference", "dask"):
        os.makedirs(tmp_path / way)
        write_ply_points(tmp_path / way / "points.ply", cloud())
    scenes = [write_scene(tmp_path / "reference", shot, shot["name"] + ".json") for shot in shots("points.ply")]
    for path in scenes:
        run_tool(tool, path, str(tmp_path / "reference" / "out" / "{name}.####.obj"))

    scenes = [write_scene(tmp_path / "dask", shot, shot["name"] + ".json") for shot in shots("points.ply")]
    done = distributed(*scenes, "--workers", "2", "--chunk", "3", "--output",
                       str(tmp_path / "dask" / "out" / "{name}.####.obj"))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "slide: wrote 8 of 8 mesh files and 8 cache files" in done.stdout, done.stdout
    assert "tracked: wrote 5 of 5 mesh files" in done.stdout, done.stdout
    # One progress line per task of the plan as it ends.
    the_plan = plan(scenes, str(tmp_path / "dask" / "out" / "{name}.####.obj"), chunk=3, tool=tool)
    tasks = {task["id"] for shot in the_plan["shots"] for task in shot["tasks"]}
    progress = re.findall(r"^glomora: \w+: frames? [\d to]+ \(task (\S+)\) done, (\d+) of %d tasks" % len(tasks),
                          done.stderr, re.M)
    assert sorted(int(count) for _, count in progress) == list(range(1, len(tasks) + 1)), done.stderr
    assert {task for task, _ in progress} == tasks, done.stderr
    written = files_under(tmp_path / "dask")
    assert written == files_under(tmp_path / "reference") and len(written) == 3 + 8 + 8 + 5
    for name in sorted(written):
        assert filecmp.cmp(tmp_path / "reference" / name, tmp_path / "dask" / name, shallow=False), name


def test_failed_tasks_are_reported_with_their_shot_and_frames(tmp_path):
    # Points for frames 1, 2 and 5 only: in Space 1 the task of frames 3 and
    # 4 fails on bad input; the cached simulation steps through them and
    # fails, and its playback never runs. The playback of a cache that was
    # never written (another machine's folder) fails in every task.
    for frame in (1, 2, 5):
        write_ply_points(tmp_path / ("p.%d.ply" % frame), cloud(seed=frame))
    replay = {"name": "replay", "frames": [1, 5], "sources": [{"type": "sphere", "radius": 0.3}],
              "parameters": dict(GRID_PARAMETERS, Mode=3, Cache_filename="elsewhere/replay.grd")}
    scenes = [write_scene(tmp_path, shot, shot["name"] + ".json") for shot in shots("p.%d.ply") + [replay]]
    done = distributed(*scenes, "--workers", "2", "--chunk", "2", "--frames", "1-5", "--output",
                       str(tmp_path / "out" / "{name}.####.obj"))
    assert done.returncode == 2, done.stdout + done.stderr
    errors = done.stderr.splitlines()
    for line in ("glomora: error: tracked: frames 3 to 4 (task tracked:3-4): failed with exit status 2",
                 "glomora: error: slide: frame 5 (task slide:simulation): failed with exit status 2"):
        assert any(error.startswith(line) and "p.3.ply" in error for error in errors), done.stderr
    assert ("glomora: error: slide: frames 1 to 2 (task slide:1-2): not run: slide:simulation did not succeed"
            in errors), done.stderr
    assert "tracked: wrote 3 of 5 mesh files; frames not written: 3 to 4" in done.stdout, done.stdout
    assert "slide: wrote 0 of 5 mesh files; frames not written: 1 to 5" in done.stdout, done.stdout
    cache = str(tmp_path / "elsewhere" / "replay")
    for first in (1, 3):
        line = ("glomora: error: replay: frames %d to %d (task replay:%d-%d): failed with exit status 1 (running it "
                "again may help): frame %d: %s.%d.grd: the cache file is missing" % (first, first + 1, first,
                                                                                      first + 1, first, cache, first))
        assert any(error.startswith(line) for error in errors), done.stderr
    assert "replay: wrote 0 of 5 mesh files; frames not written: 1 to 5" in done.stdout, done.stdout
    assert not os.path.exists(tmp_path / "out" / "replay.0001.obj")
    for line in ("glomora: tracked: frames 3 to 4 (task tracked:3-4) failed, ",
                 "glomora: slide: frames 1 to 2 (task slide:1-2) not run, "):
        assert line in done.stderr, done.stderr


def test_a_frame_without_memory_fails_its_task(tmp_path, tool):
    # Frame 2's lattices have more points than an int32 holds, dense under
    # model 0 without its volume optimisation: under a budget that lets the
    # plug-in try, it has no memory for them.
    from distributed import Client, LocalCluster

    from glomora import distributed as farm
    growing = {"keys": [[1, 16], [2, 2000]]}
    shot = {"name": "big", "frames": [1, 2], "sources": [{"type": "sphere", "radius": 0.3}],
            "parameters": dict(GRID_PARAMETERS, Resolution_X=growing, Resolution_Y=growing, Resolution_Z=growing,
                               Blending_model=0, Optimization_volume_hyperbolic=False)}
    the_plan = farm.plan([write_scene(tmp_path, shot, "big.json")], str(tmp_path / "out" / "{name}.####.obj"),
                         tool=tool)
    [task] = the_plan["shots"][0]["tasks"]
    task["argv"] += ["--max-memory", "1T"]
    out, err = io.StringIO(), io.StringIO()
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        assert farm.run_plan(the_plan, client, retries=0, out=out, err=err) == 1, err.getvalue()
    assert ("glomora: error: big: frames 1 to 2 (task big:simulation): failed with exit status 1 (running it again "
            "may help): frame 2: not enough memory") in err.getvalue(), err.getvalue()
    assert "big: wrote 0 of 2 mesh files; frames not written: 1 to 2" in out.getvalue(), out.getvalue()
    assert not os.path.exists(tmp_path / "out" / "big.0002.obj")


def test_a_scheduler_that_cannot_be_reached_is_one_error_line(tmp_path):
    with socket.socket() as s:  # a port nothing listens at once it is closed
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    scene = write_scene(tmp_path, shots("points.ply")[1], "tracked.json")
    write_ply_points(tmp_path / "points.ply", cloud())
    done = distributed(scene, "--scheduler", "tcp://127.0.0.1:%d" % port, "--output", str(tmp_path / "{name}.####.obj"))
    assert done.returncode == 1, done.stdout + done.stderr
    assert done.stderr.splitlines() == ["glomora: error: the Dask scheduler at tcp://127.0.0.1:%d cannot be reached: "
                                        "Connection refused" % port], done.stderr
