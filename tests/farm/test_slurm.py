"""`glomora submit --slurm` against a real Slurm: a one-node cluster of the
test's own (slurm_cluster.py) runs the plan of several shots; every file the
jobs wrote must be the same bytes as `glomora run` writes, and a task that
fails is reported with its shot and frames."""

import filecmp
import os

import pytest

from farm_scenes import files_under, run_tool, scene, write_scenes
from slurm_cluster import SlurmCluster, missing_programs

MISSING = missing_programs()
pytestmark = pytest.mark.skipif(bool(MISSING), reason="Slurm is not installed (missing: " + ", ".join(MISSING) +
                                "); GLOMORA_CLUSTER_DEPS=1 scripts/setup.sh installs it")


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    slurm = SlurmCluster(tmp_path_factory.mktemp("slurm"))
    try:
        slurm.start()
        yield slurm
    finally:
        slurm.stop()


def glomora(cluster, *args):
    return run_tool(*args, env=cluster.env)


def test_jobs_write_the_bytes_of_glomora_run(cluster, tmp_path):
    shots = [scene("splash", [1, 10], {"Space": 0, "Mode": 2, "Cache_filename": "cache/splash.grd"}),
             scene("tracked", [1, 7], {"Space": 1})]
    reference = write_scenes(tmp_path / "reference", shots)
    for path in reference:
        run = glomora(cluster, "run", path, "--output", str(tmp_path / "reference" / "out" / "{name}.####.obj"))
        assert run.returncode == 0, run.stderr

    farm = write_scenes(tmp_path / "farm", shots)
    # Every core of the node for each task: the tool's threads follow.
    submit = glomora(cluster, "submit", *farm, "--slurm", "--wait", "--chunk", "3", "--logs", str(tmp_path / "logs"),
                     "--cpus-per-task", str(os.cpu_count() or 1),
                     "--output", str(tmp_path / "farm" / "out" / "{name}.####.obj"))
    assert submit.returncode == 0, submit.stdout + submit.stderr
    # A simulation job, and per shot an array of its independent frames (the
    # playback of splash's cache after its simulation).
    assert "splash: job " in submit.stdout and ", after job " in submit.stdout, submit.stdout
    assert "tracked: job array " in submit.stdout, submit.stdout
    assert "splash: wrote 10 of 10 mesh files and 10 cache files" in submit.stdout, submit.stdout

    written = files_under(tmp_path / "farm")
    assert written == files_under(tmp_path / "reference") and len(written) == 2 + 10 + 7 + 10
    for name in sorted(written):
        assert filecmp.cmp(tmp_path / "reference" / name, tmp_path / "farm" / name, shallow=False), name


def test_failed_tasks_are_reported_with_their_shot_and_frames(cluster, tmp_path):
    # broken: its points come from one file per frame, and frames 4 to 6 have
    # none, so the task of frames 4 to 6 fails on bad input.
    points = tmp_path / "points"
    os.makedirs(points)
    for frame in (1, 2, 3, 7):
        with open(points / f"p.{frame}.obj", "w") as out:
            out.write("v 0 0 0\nv 0.3 0 0\n")
    broken = scene("broken", [1, 7], {"Space": 1},
                   [{"type": "cloud", "name": "points", "file": str(points / "p.%d.obj")}])
    # stuck: its cache folder is a file, so its simulation fails and the
    # playback of its cache never runs.
    with open(tmp_path / "blocker", "w") as out:
        out.write("not a folder")
    stuck = scene("stuck", [1, 4], {"Space": 0, "Mode": 2, "Cache_filename": str(tmp_path / "blocker" / "stuck.grd")})
    # replay: plays back a cache folder that is not there (another machine's),
    # so each of its tasks fails, whatever --allow-empty lets through.
    replay = scene("replay", [1, 4], {"Space": 0, "Mode": 3, "Cache_filename": str(tmp_path / "elsewhere" / "r.grd")})
    paths = write_scenes(tmp_path / "scenes", [broken, stuck, replay])
    submit = glomora(cluster, "submit", *paths, "--slurm", "--wait", "--chunk", "3", "--logs", str(tmp_path / "logs"),
                     "--output", str(tmp_path / "out" / "{name}.####.obj"))

    assert submit.returncode == 2, submit.stdout + submit.stderr
    lines = submit.stderr.splitlines()
    failed = [line for line in lines if line.startswith("glomora: error: broken: frames 4 to 6 (task broken:4-6, job ")]
    assert len(failed) == 1 and "failed with exit status 2" in failed[0] and "p.4.obj" in failed[0], submit.stderr
    assert any(line.startswith("glomora: error: stuck: frame 4 (task stuck:simulation, job ") and
               "failed with exit status 1" in line for line in lines), submit.stderr
    assert any(line.startswith("glomora: error: stuck: frames 1 to 3 (task stuck:1-3, job ") and
               "not run: stuck:simulation did not succeed" in line for line in lines), submit.stderr
    assert "broken: wrote 4 of 7 mesh files; frames not written: 4 to 6" in submit.stdout, submit.stdout
    assert "stuck: wrote 0 of 4 mesh files; frames not written: 1 to 4" in submit.stdout, submit.stdout
    missing = str(tmp_path / "elsewhere" / "r.1.grd") + ": the cache file is missing"
    assert any(line.startswith("glomora: error: replay: frames 1 to 3 (task replay:1-3, job ") and
               "failed with exit status 1" in line and missing in line for line in lines), submit.stderr
    assert "replay: wrote 0 of 4 mesh files; frames not written: 1 to 4" in submit.stdout, submit.stdout
    written = sorted(name for name in os.listdir(tmp_path / "out") if name.startswith("broken"))
    assert written == [f"broken.000{frame}.obj" for frame in (1, 2, 3, 7)]
