"""A one-node Slurm cluster of its own for a test, on 127.0.0.1.

SlurmCluster writes a munge key and a slurm.conf into a folder of its own,
starts munged, slurmctld and slurmd in the foreground as its child processes
(on ports that were free), and stops them by their process ids. Clients
reach it through the environment of SlurmCluster.env (SLURM_CONF). Every
wait has a time limit, and the daemons get SIGTERM should the test process
die without stopping them (PR_SET_PDEATHSIG).
"""

import ctypes
import getpass
import os
import shutil
import signal
import socket
import subprocess
import time

DAEMONS = ("munged", "slurmctld", "slurmd")
CLIENTS = ("sbatch", "squeue", "scancel", "sinfo", "scontrol")
SBIN = ("/usr/sbin", "/usr/bin", "/sbin", "/bin")


def find_program(name):
    """The program's path on PATH or in the system folders, or None."""
    return shutil.which(name) or shutil.which(name, path=os.pathsep.join(SBIN))


def missing_programs():
    """The Slurm and munge programs that are not installed."""
    return [name for name in DAEMONS + CLIENTS if find_program(name) is None]


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent():
    # PR_SET_PDEATHSIG = 1: SIGTERM when the test process ends.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)


def wait_until(condition, limit, what):
    """Calls condition() until it is true; fails after `limit` seconds."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.2)
    raise TimeoutError(f"{what}: not within {limit} s")


class SlurmCluster:
    NODE = "glomora1"
    PARTITION = "glomora"

    def __init__(self, folder):
        self.folder = str(folder)
        self.conf = os.path.join(self.folder, "slurm.conf")
        self.socket = os.path.join(self.folder, "munge.socket")
        self.processes = {}
        self.env = dict(os.environ, SLURM_CONF=self.conf)

    def _path(self, name):
        return os.path.join(self.folder, name)

    def _start(self, name, argv):
        log = open(self._path(name + ".out"), "wb")
        self.processes[name] = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=self.env,
            preexec_fn=_die_with_parent)
        log.close()

    def _check_running(self, name):
        process = self.processes[name]
        if process.poll() is not None:
            with open(self._path(name + ".out"), errors="replace") as out:
                raise RuntimeError(f"{name} ended with status {process.returncode}:\n{out.read()[-3000:]}")

    def client(self, *argv, limit=30):
        return subprocess.run(list(argv), env=self.env, capture_output=True, text=True, timeout=limit)

    def start(self):
        # The folder must be reachable by everyone: munged checks the socket's.
        os.chmod(self.folder, 0o755)
        for sub in ("state", "spool"):
            os.mkdir(self._path(sub))
        with open(self._path("munge.key"), "wb") as key:
            key.write(os.urandom(1024))
        os.chmod(self._path("munge.key"), 0o600)
        self._start("munged", [find_program("munged"), "--foreground", "--force", "--socket=" + self.socket,
                               "--key-file=" + self._path("munge.key"), "--pid-file=" + self._path("munged.pid"),
                               "--log-file=" + self._path("munged.log"), "--seed-file=" + self._path("munged.seed")])
        wait_until(lambda: self._check_running("munged") or os.path.exists(self.socket), 30, "munged")

        user = getpass.getuser()
        with open(self._path("plugstack.conf"), "w"):
            pass
        settings = {
            "ClusterName": "glomoratest",
            "SlurmctldHost": "localhost(127.0.0.1)",
            "SlurmctldPort": free_port(),
            "SlurmdPort": free_port(),
            "SlurmUser": user,
            "SlurmdUser": user,
            "AuthType": "auth/munge",
            "AuthInfo": "socket=" + self.socket,
            "CredType": "cred/munge",
            "StateSaveLocation": self._path("state"),
            "SlurmdSpoolDir": self._path("spool"),
            "SlurmctldPidFile": self._path("slurmctld.pid"),
            "SlurmdPidFile": self._path("slurmd.pid"),
            "SlurmctldLogFile": self._path("slurmctld.log"),
            "SlurmdLogFile": self._path("slurmd.log"),
            "PlugStackConfig": self._path("plugstack.conf"),
            "MailProg": shutil.which("true") or "/bin/true",
            "ProctrackType": "proctrack/linuxproc",
            "TaskPlugin": "task/none",
            "SwitchType": "switch/none",
            "MpiDefault": "none",
            "SchedulerType": "sched/backfill",
            # Batch jobs start as soon as the node has room: by default Slurm
            # may wait 3 s to gather submissions, longer than most test tasks.
            "SchedulerParameters": "batch_sched_delay=0",
            "SelectType": "select/cons_tres",
            "SelectTypeParameters": "CR_Core",
            "JobCompType": "jobcomp/none",
            "AccountingStorageType": "accounting_storage/none",
            "JobAcctGatherType": "jobacct_gather/none",
            "ReturnToService": 2,
            "SlurmdParameters": "config_overrides",
        }
        with open(self.conf, "w") as conf:
            for key, value in settings.items():
                conf.write(f"{key}={value}\n")
            conf.write(f"NodeName={self.NODE} NodeHostname=localhost NodeAddr=127.0.0.1 "
                       f"CPUs={os.cpu_count() or 1} RealMemory=1000 State=UNKNOWN\n")
            conf.write(f"PartitionName={self.PARTITION} Nodes={self.NODE} Default=YES MaxTime=INFINITE State=UP\n")

        self._start("slurmctld", [find_program("slurmctld"), "-D", "-i", "-f", self.conf])
        wait_until(lambda: self._check_running("slurmctld") or
                   "UP" in self.client("scontrol", "ping").stdout, 60, "slurmctld")
        self._start("slurmd", [find_program("slurmd"), "-D", "-f", self.conf, "-N", self.NODE])
        wait_until(lambda: self._check_running("slurmd") or
                   self.client("sinfo", "--noheader", "--format=%t").stdout.strip() == "idle", 60, "slurmd")

    def stop(self):
        """Cancels every job, lets the node end them, then stops the daemons."""
        if "slurmctld" in self.processes and self.processes["slurmctld"].poll() is None:
            try:
                self.client("scancel", "--user=" + getpass.getuser())
                wait_until(lambda: self.client("squeue", "--noheader").stdout.strip() == "", 30, "job ends")
            except (subprocess.SubprocessError, TimeoutError, OSError):
                pass
        for name in reversed(DAEMONS):
            process = self.processes.get(name)
            if process is None or process.poll() is not None:
                continue
            process.terminate()
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=15)
        self._kill_leftovers()

    def _kill_leftovers(self):
        # Job steps (slurmstepd, the jobs' processes) carry this cluster's
        # SLURM_CONF, which names a folder of this test alone.
        mark = ("SLURM_CONF=" + self.conf).encode() + b"\0"
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if mark in environ.read() + b"\0":
                        os.kill(int(entry), signal.SIGKILL)
            except (OSError, ProcessLookupError):
                pass
