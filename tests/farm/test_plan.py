"""`glomora plan`: its tasks, run as a farm would (any order the dependencies
allow), write the same bytes as `glomora run` over each shot."""

import filecmp
import json
import os
import subprocess

from farm_scenes import TOOL, files_under, run_tool, scene, write_scenes

SHOTS = [
    # A cached simulation: split into the simulation of its last frame and
    # playback chunks; frames 1 to 3 come before "Start_frame" and are empty.
    scene("split", [1, 10], {"Space": 0, "Mode": 2, "Start_frame": 4, "Cache_filename": "cache/split.grd"}),
    # An animated operator-level parameter: one evaluation of the last frame
    # would simulate every frame at the last frame's resolution.
    scene("resized", [1, 8], {"Space": 0, "Mode": 2, "Cache_filename": "cache/resized.grd",
                              "Resolution_X": {"keys": [[1, 16], [8, 24]]}}),
    scene("tracked", [1, 7], {"Space": 1}),
    # Playback of split's cache files with other post-processing.
    scene("replay", [3, 10], {"Space": 0, "Mode": 3, "Start_frame": 4, "Cache_filename": "cache/split.grd",
                              "Geometry_smooth_active": True}),
]


def run_plan(plan):
    """Runs the tasks one at a time, each time the last one in the plan whose
    dependencies have succeeded, so that only the dependencies order them."""
    tasks = [task for shot in plan["shots"] for task in shot["tasks"]]
    done = set()
    while len(done) < len(tasks):
        ready = [task for task in tasks if task["id"] not in done and all(id in done for id in task["after"])]
        assert ready, "the dependencies form a cycle"
        task = ready[-1]
        run = subprocess.run(task["argv"], capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, task["command"] + "\n" + run.stderr
        done.add(task["id"])


def test_plan_tasks_write_the_bytes_of_glomora_run(tmp_path):
    for path in write_scenes(tmp_path / "reference", SHOTS):
        run = run_tool("run", path, "--output", str(tmp_path / "reference" / "out" / "{name}.####.obj"),
                       "--usd", str(tmp_path / "reference" / "usd" / "{name}.####.usda"))
        assert run.returncode == 0, run.stderr

    scenes = write_scenes(tmp_path / "farm", SHOTS)
    planned = run_tool("plan", *scenes, "--chunk", "3", "--output", str(tmp_path / "farm" / "out" / "{name}.####.obj"),
                       "--usd", str(tmp_path / "farm" / "usd" / "{name}.####.usda"))
    assert planned.returncode == 0, planned.stderr
    plan = json.loads(planned.stdout)
    tasks = {shot["name"]: shot["tasks"] for shot in plan["shots"]}
    assert [(t["id"], t["frames"]) for t in tasks["resized"]] == [("resized:simulation", [1, 8])]
    assert [t["after"] for t in tasks["replay"]] == [["split:simulation"]] * 3
    for task in tasks["split"] + tasks["resized"]:
        assert all(os.path.isabs(f) for f in task["files"] + [task["argv"][0], task["argv"][2]])

    run_plan(plan)
    written = files_under(tmp_path / "farm")
    assert written == files_under(tmp_path / "reference")
    for name in sorted(written):
        assert filecmp.cmp(tmp_path / "reference" / name, tmp_path / "farm" / name, shallow=False), name
    # Every file listed, and listed once.
    listed = [f for shot in plan["shots"] for task in shot["tasks"] for f in task["files"] + task["layers"]]
    assert sorted(listed) == sorted(str(tmp_path / "farm" / f) for f in written if not f.endswith(".json"))


def test_shots_that_would_write_the_same_files_are_refused(tmp_path):
    one, two = write_scenes(tmp_path, [scene("one", [1, 3], {"Space": 1}), scene("two", [1, 3], {"Space": 1})])
    shared = run_tool("plan", one, two, "--output", str(tmp_path / "out.####.obj"))
    assert shared.returncode == 2 and "written by both one:1-3 and two:1-3" in shared.stderr, shared.stderr
    assert TOOL and shared.stdout == ""
    # A farm's tasks write a USD layer per frame, never one of the whole shot.
    whole = run_tool("plan", one, "--output", str(tmp_path / "{name}.####.obj"), "--usd", str(tmp_path / "one.usda"))
    assert whole.returncode == 2 and "a farm's tasks write one USD layer per frame" in whole.stderr, whole.stderr


def test_slurm_scripts_keep_every_path_as_it_is(tmp_path):
    # A folder name that would end a comment line, a dry run's here-document
    # and a quoted word, or run a command, were it written as it is.
    odd = tmp_path / "a\nEOF\n#SBATCH --wrap=x\n$(touch ../ran) `touch ../ran` 'q\" \\ b"
    scenes = write_scenes(odd, [scene("chunks", [1, 2], {"Space": 1}), scene("sim", [1, 2], {"Space": 0, "Mode": 1})])
    # An sbatch that keeps each script, a tool that records its arguments.
    fake = tmp_path / "bin"
    os.makedirs(fake)
    for name, text in [("sbatch", 'cat > "$JOBS/job$(ls "$JOBS" | wc -l).sh"'),
                       ("glomora", 'for a in "$@"; do printf "%s\\0" "$a"; done >> "$CALLS"; printf "\\n\\0" >> "$CALLS"')]:
        (fake / name).write_text("#!/bin/sh\n" + text + "\n")
        os.chmod(fake / name, 0o755)
    submit = run_tool("submit", *scenes, "--slurm", "--dry-run", "--tool", str(fake / "glomora"),
                      "--output", str(odd / "{name}.####.obj"), "--logs", str(tmp_path / "logs"))
    assert submit.returncode == 0, submit.stderr
    jobs = tmp_path / "jobs"
    os.makedirs(jobs)
    env = dict(os.environ, PATH=str(fake) + os.pathsep + os.environ["PATH"], JOBS=str(jobs),
               CALLS=str(tmp_path / "calls"), SLURM_ARRAY_TASK_ID="0")
    run = subprocess.run(["bash", "-c", submit.stdout], cwd=jobs, env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    scripts = sorted(jobs.iterdir())
    assert len(scripts) == 2
    for script in scripts:
        assert subprocess.run(["bash", "-n", str(script)]).returncode == 0
        # sbatch reads "#SBATCH" lines up to the first command.
        lines = script.read_text().splitlines()
        header = lines[:next(i for i, line in enumerate(lines) if not line.startswith("#"))]
        assert len(header) == 2 and not any(line.startswith("#SBATCH") for line in header), header
        assert subprocess.run(["sh", str(script)], cwd=jobs, env=env, timeout=60).returncode == 0
    calls = [call.split("\0")[:-1] for call in (tmp_path / "calls").read_text().split("\n\0")[:-1]]
    assert sorted(call[1] for call in calls) == sorted(scenes) and not os.path.exists(tmp_path / "ran")
    assert all(call[3] == str(odd / "{name}.####.obj") for call in calls)
