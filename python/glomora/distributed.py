"""The work of several shots on a Dask cluster: the plan `glomora plan` makes
(tasks, each a `glomora run` command line, and which wait for which), run by
the cluster's workers.

    python3 -m glomora.distributed SCENE.json... --output PATTERN [--frames A-B] [--chunk N]
                                   [--scheduler ADDRESS | --workers N] [--retries N]

or from Python:

    from glomora import distributed
    status = distributed.run(["shots/a.json", "shots/b.json"], "out/{name}.####.obj", workers=4)

Without a scheduler's address, a local cluster of `workers` worker processes
(default: one per core) is started for the run and stopped after it. Every
task runs its command line as a child process of a worker, once the tasks it
waits for have succeeded; a task whose command exits with status 1 (a failure
another try may mend) is run again up to `retries` times; 2 (bad input) is
final. The files are those `glomora run` writes, byte for byte. The workers'
machines must reach the tool, the scene files and what they read, the cache
folders and the output folder at the same paths as this one.
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import time
import uuid

from . import _glomora, tool_path

__all__ = ["plan", "run", "main", "TaskFailed", "SchedulerUnreachable"]

# How long run() tries to reach a scheduler before it gives up.
CONNECT_TIMEOUT = 10


class TaskFailed(Exception):
    """A task's command failed: its exit status and its last error line."""

    def __init__(self, status, error):
        super().__init__(status, error)
        self.status = status
        self.error = error

    def __str__(self):
        return "exit status %d%s" % (self.status, ": " + self.error if self.error else "")


class SchedulerUnreachable(ConnectionError):
    """The Dask scheduler named cannot be reached: its address and why."""

    def __init__(self, address, why):
        super().__init__("the Dask scheduler at %s cannot be reached: %s" % (address, why))
        self.address = address


def _tool(tool):
    found = tool or tool_path()
    if not found:
        raise FileNotFoundError("the glomora executable is needed: set GLOMORA_TOOL or pass tool=")
    return found


def plan(scenes, output, frames=None, chunk=10, tool=None):
    """The plan of `glomora plan` for these scene files (one shot each), as a
    dict (the README's "glomora plan" describes it). `frames`: (first, last)
    or the text "A-B" for every shot, else each scene's own. ValueError with
    the tool's message when the scenes, frames or pattern do not fit."""
    scenes = [os.fspath(scene) for scene in scenes]
    tool, output = _tool(tool), os.fspath(output)
    for what, name in [("tool", tool), ("output", output)] + [("scenes[%d]" % i, s) for i, s in enumerate(scenes)]:
        _glomora.check_file_name(what, name)
    argv = [tool, "plan", *scenes, "--output", output, "--chunk", str(chunk)]
    if frames is not None:
        argv.append("--frames=" + (frames if isinstance(frames, str) else "%d-%d" % tuple(frames)))
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        raise ValueError(done.stderr.strip())
    return json.loads(done.stdout)


def _last_error(text):
    prefix = "glomora: error: "
    lines = [line[len(prefix):] for line in text.splitlines() if line.startswith(prefix)]
    return lines[-1] if lines else ""


def _run_task(argv, retries, *after):
    """A task on a worker: its command line, run again while it exits with 1
    and tries are left. `after`: the results of the tasks it waits for (Dask
    starts it once they exist)."""
    for _ in range(retries + 1):
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if done.returncode == 0:
            return done.returncode
        if done.returncode != 1:
            break
    raise TaskFailed(done.returncode, _last_error(done.stderr))


def _ranges(ranges):
    """'1 to 4, 9': the frame ranges in order, those that touch merged."""
    merged = []
    for first, last in sorted(ranges):
        if merged and first <= merged[-1][1] + 1:
            merged[-1][1] = max(merged[-1][1], last)
        else:
            merged.append([first, last])
    return ", ".join(str(a) if a == b else "%d to %d" % (a, b) for a, b in merged)


def _report(the_plan, outcomes, out, err):
    """Per shot: each task that did not succeed (on `err`), then what was
    written (on `out`). Returns the exit status."""
    status = 0
    for shot in the_plan["shots"]:
        meshes = written = caches = 0
        missing = []
        for task in shot["tasks"]:
            first, last = task["frames"]
            frames = last - first + 1
            meshes += frames
            outcome = outcomes[task["id"]]
            where = "frame %d" % first if first == last else "frames %d to %d" % (first, last)
            if outcome is not None:
                failed_before = [id for id in task["after"] if outcomes[id] is not None]
                if failed_before:
                    why = "not run: %s did not succeed" % ", ".join(failed_before)
                    status = max(status, 1)
                elif isinstance(outcome, TaskFailed):
                    hint = {1: " (running it again may help)", 2: " (bad input: running it again cannot help)"}
                    why = "failed with exit status %d%s%s" % (outcome.status, hint.get(outcome.status, ""),
                                                             ": " + outcome.error if outcome.error else "")
                    status = max(status, 2 if outcome.status == 2 else 1)
                else:
                    why = "failed: %r" % (outcome,)
                    status = max(status, 1)
                print("glomora: error: %s: %s (task %s): %s" % (shot["name"], where, task["id"], why), file=err)
                missing.append((first, last))
                continue
            for index, path in enumerate(task["files"]):
                if os.path.exists(path):
                    if index < frames:
                        written += 1
                    else:
                        caches += 1
                else:
                    print("glomora: error: %s: %s is missing although task %s succeeded: the workers must write "
                          "to the same storage as this machine" % (shot["name"], path, task["id"]), file=err)
                    status = max(status, 1)
        print("glomora: %s: wrote %d of %d mesh files%s%s" % (
            shot["name"], written, meshes, " and %d cache files" % caches if caches else "",
            "; frames not written: " + _ranges(missing) if missing else ""), file=out)
    return status


def run_plan(the_plan, client, retries=1, out=sys.stdout, err=sys.stderr):
    """Runs the tasks of `the_plan` (from plan()) on the Dask `client`, each
    after those it waits for, and reports per shot (see _report). Returns the
    exit status: 0 when every task succeeded and its files are there, 2 when
    a task failed on bad input, otherwise 1."""
    from distributed import wait

    token = uuid.uuid4().hex[:8]
    futures = {}
    # Each task is handed the futures of those it waits for, so those go first.
    pending = [task for shot in the_plan["shots"] for task in shot["tasks"]]
    while pending:
        ready = [task for task in pending if all(id in futures for id in task["after"])]
        if not ready:
            raise ValueError("the plan's tasks wait for each other in a circle, or for a task it does not hold")
        for task in ready:
            futures[task["id"]] = client.submit(_run_task, task["argv"], retries,
                                                *(futures[id] for id in task["after"]),
                                                key="glomora-%s-%s" % (task["id"], token), pure=False)
        pending = [task for task in pending if task["id"] not in futures]
    _show_progress(the_plan, futures, err)
    wait(list(futures.values()))
    outcomes = {id: (future.exception() if future.status == "error" else None) for id, future in futures.items()}
    return _report(the_plan, outcomes, out, err)


def _show_progress(the_plan, futures, err):
    """One line on `err` per task as it ends, in the order they end:
    "glomora: slide: frames 1 to 3 (task slide:1-3) done, 2 of 7 tasks (4.1 s elapsed)"."""
    from distributed import as_completed

    tasks = {task["id"]: (shot["name"], task) for shot in the_plan["shots"] for task in shot["tasks"]}
    ids = {future.key: id for id, future in futures.items()}
    failed = set()
    start = time.monotonic()
    for count, future in enumerate(as_completed(list(futures.values())), 1):
        id = ids[future.key]
        name, task = tasks[id]
        first, last = task["frames"]
        where = "frame %d" % first if first == last else "frames %d to %d" % (first, last)
        how = "done"
        if future.status == "error":
            # A task waits for its tasks; when one of them failed, it never ran.
            how = "not run" if any(before in failed for before in task["after"]) else "failed"
            failed.add(id)
        print("glomora: %s: %s (task %s) %s, %d of %d tasks (%.1f s elapsed)"
              % (name, where, id, how, count, len(futures), time.monotonic() - start), file=err, flush=True)


def _reachable(address):
    """Raises SchedulerUnreachable at once when nothing listens at a TCP
    scheduler address (the client itself would retry for its whole timeout)."""
    from distributed.comm import parse_address
    from distributed.comm.addressing import parse_host_port

    try:
        protocol, location = parse_address(address)
        if protocol != "tcp":
            return
        host, port = parse_host_port(location)
    except ValueError as problem:
        raise SchedulerUnreachable(address, str(problem)) from None
    try:
        socket.create_connection((host, port), timeout=CONNECT_TIMEOUT).close()
    except OSError as problem:
        raise SchedulerUnreachable(address, problem.strerror or str(problem) or type(problem).__name__) from None


def run(scenes, output, frames=None, chunk=10, scheduler=None, workers=None, retries=1, tool=None,
        out=sys.stdout, err=sys.stderr):
    """Plans the shots and runs the plan on the Dask scheduler at `scheduler`
    (an address, "tcp://host:8786"), or on a local cluster of `workers`
    worker processes (default: one per core) started for the run. Returns the
    exit status of run_plan()."""
    from distributed import Client, LocalCluster

    the_plan = plan(scenes, output, frames, chunk, tool)
    if scheduler:
        _reachable(scheduler)
        try:
            client = Client(scheduler, timeout=CONNECT_TIMEOUT)
        except (OSError, TimeoutError) as problem:
            raise SchedulerUnreachable(scheduler, str(problem)) from None
        with client:
            return run_plan(the_plan, client, retries, out, err)
    import logging
    with LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        return run_plan(the_plan, client, retries, out, err)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m glomora.distributed",
                                     description="Mesh several shots on a Dask cluster: the tasks of `glomora plan`, "
                                                 "each a `glomora run` command line, run by the cluster's workers.")
    parser.add_argument("scenes", nargs="+", metavar="SCENE.json", help="scene files, one shot each")
    parser.add_argument("--output", "-o", required=True, metavar="PATTERN",
                        help="output files as for `glomora run`; \"{name}\" keeps the shots apart")
    parser.add_argument("--frames", "-f", metavar="A-B", help="frames of every shot [default: each scene's]")
    parser.add_argument("--chunk", type=int, default=10, metavar="N", help="independent frames per task [default: 10]")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://farm:8786")
    where.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of a local cluster started for the run [default: one per core]")
    parser.add_argument("--retries", type=int, default=1, metavar="N",
                        help="tries more for a task that exits with 1 (a failure another try may mend) [default: 1]")
    args = parser.parse_args(argv)
    try:
        return run(args.scenes, args.output, args.frames, args.chunk, args.scheduler, args.workers, args.retries)
    except (ValueError, FileNotFoundError) as problem:
        print("glomora: error: %s" % str(problem).removeprefix("glomora: error: "), file=sys.stderr)
        return 2
    except SchedulerUnreachable as problem:
        print("glomora: error: %s" % problem, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
