"""Glomora from Python: metaball sources in, one polygon mesh per frame out.

The module drives the Glomora plug-in through the same stand-in host and the
same run loop as the command-line tool `glomora`, so a frame made here and by
`glomora run` is the same mesh, written as the same bytes.

    import numpy as np, glomora
    points = np.random.default_rng(1).normal(0.0, 0.1, (5000, 3)).astype(np.float32)
    mesh = glomora.surface(points, Space=0, Size_X=1, Size_Y=1, Size_Z=1, Resolution_X=96,
                           Resolution_Y=96, Resolution_Z=96, Particle_size=0.05)
    mesh.write("blob.obj")

See the README's "Python" section for the whole API.
"""

import atexit
import collections.abc
import json
import math
import os
import shutil

from . import _glomora
from ._glomora import Mesh

__all__ = ["Mesh", "Scene", "surface", "read_points", "tool_path", "parameter_defaults", "parameter_catalogue",
           "DEFAULT_OUTPUT", "__version__"]
__version__ = _glomora.version()

_DEFAULTS = dict(_glomora.parameter_defaults())
_CATALOGUE = _glomora.parameter_catalogue()
_EXPECTATIONS = {entry["name"]: entry["expectation"] for entry in _CATALOGUE}

# Where Scene.run writes its meshes when no output is named, as the tool does.
DEFAULT_OUTPUT = _glomora.default_output_pattern()


def parameter_defaults():
    """The operator's parameters and their default values, in reading order."""
    return dict(_DEFAULTS)


def parameter_catalogue():
    """The operator's parameters in reading order, each a dict: "name", "kind"
    ("bool", "int", "float" or "text"), "default", "accepted" (the intervals
    a scene may give it, (low, high, low_open) each; none: any value of its
    kind), "expectation" (what an error says is expected),
    "element_setting" (one of the seven element settings), "meaning" (what it
    does, as docs/parameters.md says) and "codes" (a selector's codes, such as
    Space's 0 and 1, each to its meaning; empty for the others)."""
    return [dict(entry) for entry in _CATALOGUE]


def _plain_json(value):
    """numpy scalars and arrays as numbers and lists, paths as text (json.dumps' default)."""
    if hasattr(value, "tolist"):
        return value.tolist()
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    raise TypeError("%r is not a value a scene file can hold" % (value,))


def _non_finite(value, path):
    """The path to the first number in `value` that JSON cannot hold (nan,
    inf), with that number; None when there is none."""
    if hasattr(value, "tolist") and not isinstance(value, (str, bytes)):
        value = value.tolist()
    if isinstance(value, float) and not math.isfinite(value):
        return path, value
    if isinstance(value, collections.abc.Mapping):
        items = ((".%s" % key if path else str(key), item) for key, item in value.items())
    elif isinstance(value, (list, tuple)):
        items = (("[%d]" % index, item) for index, item in enumerate(value))
    else:
        return None
    for step, item in items:
        found = _non_finite(item, path + step)
        if found:
            return found
    return None


def _json_text(value, path):
    """`value` as JSON; ValueError naming `path` and the number for a nan or
    an infinity, which JSON (and so a scene file) cannot hold."""
    found = _non_finite(value, path)
    if found:
        where, number = found
        expectation = _EXPECTATIONS.get(where.split(".")[-1].split("[")[0]) or "a finite number"
        raise ValueError("%s: expected %s, got %r" % (where, expectation, number))
    return json.dumps(value, default=_plain_json, allow_nan=False)


def _json_value(value, name):
    return _json_text(value, "parameters." + name)


def _check_threads(threads):
    """The plug-in's thread count asked for (0: one per core, the default); the
    meshes and files are the same bytes at any count."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, int) or not 0 <= threads <= 1024:
        raise ValueError("threads %r: expected a count from 0 (one per core) to 1024" % (threads,))
    return threads


def tool_path():
    """The `glomora` executable that Scene.run(jobs=...) starts as its worker processes.

    In order: the GLOMORA_TOOL environment variable; the tool built or
    installed with this package (the build tree's cli/glomora, or the install
    prefix's bin/glomora); `glomora` on PATH. None when there is none."""
    named = os.environ.get("GLOMORA_TOOL")
    if named:
        return named
    try:
        from ._tool_path import TOOL
        beside = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), TOOL))
        if os.access(beside, os.X_OK):
            return beside
    except ImportError:
        pass
    return shutil.which("glomora")


def read_points(path):
    """The points of a particle or mesh file as the scene's sources read it
    (any format of the tool's table of formats): (positions, attributes),
    positions an (n, 3) float64 array, attributes a dict of name to an
    (n, components) float32 array. ValueError naming the file when it
    cannot be read."""
    return _glomora.read_points(os.fspath(path))


def surface(points, *, max_memory=None, threads=None, **parameters):
    """The mesh of one frame made from `points`, an (n, 3) array of any float
    dtype (C- or F-ordered): a point cloud in a scene of frame 1 whose
    operator parameters are `parameters`, named as scene files and --set name
    them (Space=0, Particle_size=0.04, Isovalue=1.0, ...). Parameters left out
    keep their defaults."""
    import numpy

    threads = _check_threads(threads)
    points = numpy.asarray(points)
    text = "{" + ", ".join("%s: %s" % (json.dumps(name), _json_value(value, name))
                           for name, value in parameters.items()) + "}"
    return _glomora.surface(points, text, os.getcwd(), max_memory, threads)


class Parameters(collections.abc.MutableMapping):
    """A scene's operator parameters: every parameter by name, the scene's
    value where it sets one, else the default. Setting a value checks it as a
    scene file's value is checked (ValueError naming the parameter and the
    value); deleting one returns it to its default."""

    def __init__(self, core):
        self._core = core

    def _set(self):
        return json.loads(self._core.text).get("parameters", {})

    def __getitem__(self, name):
        values = self._set()
        if name in values:
            return values[name]
        if name in _DEFAULTS:
            return _DEFAULTS[name]
        raise KeyError(name)

    def __setitem__(self, name, value):
        self._core.set_parameter(name, _json_value(value, name))

    def __delitem__(self, name):
        if name not in _DEFAULTS:
            raise KeyError(name)
        self._core.reset_parameter(name)

    def __iter__(self):
        return iter(_DEFAULTS)

    def __len__(self):
        return len(_DEFAULTS)

    def set(self):
        """Only the parameters the scene sets, as its file holds them."""
        return self._set()

    def __repr__(self):
        return "Parameters(%r)" % (self._set(),)


class Scene:
    """A scene as a scene file describes it: `Scene("shot.json")`, or
    `Scene({...})` with the file's keys (relative paths then start from
    `base_dir`, by default the working folder at the call)."""

    def __init__(self, path_or_dict, base_dir=None):
        if isinstance(path_or_dict, collections.abc.Mapping):
            base = os.path.abspath(base_dir if base_dir is not None else os.getcwd())
            self._core = _glomora.SceneCore.parse(_json_text(path_or_dict, ""), base)
        elif isinstance(path_or_dict, (str, bytes, os.PathLike)):
            if base_dir is not None:
                raise TypeError("base_dir goes with a dict; a scene file's paths start from its own folder")
            self._core = _glomora.SceneCore.load(os.fsdecode(path_or_dict))
        else:
            raise TypeError("Scene: expected a scene file's path or a dict, got %s" % type(path_or_dict).__name__)

    @property
    def parameters(self):
        return Parameters(self._core)

    @parameters.setter
    def parameters(self, values):
        values = dict(values)
        for name, value in values.items():
            self._core.set_parameter(name, _json_value(value, name))
        for name in list(self.parameters.set()):
            if name not in values:
                self._core.reset_parameter(name)

    @property
    def name(self):
        return self._core.name

    @property
    def frames(self):
        """(first, last): the scene's frames."""
        return self._core.frames

    @property
    def base_dir(self):
        return self._core.base_dir

    def to_dict(self):
        """The scene as a dict of the scene file's keys, parameters as set now."""
        return json.loads(self._core.text)

    def to_json(self):
        """The scene file's text, parameters as set now."""
        return self._core.text

    def __reduce__(self):
        return (Scene, (self.to_dict(), self.base_dir))

    def __repr__(self):
        return "Scene(%r, frames=%r)" % (self.name, self.frames)

    def evaluate(self, frame=None, *, max_memory=None, threads=None):
        """The mesh of `frame` (default: the scene's first frame), evaluated as
        the host evaluates it when its timeline reaches the frame: what the
        plug-in simulated at earlier evaluate() calls of this scene carries
        over, until another scene, surface() or run() uses the engine."""
        threads = _check_threads(threads)
        if frame is None:
            frame = self.frames[0]
        return self._core.evaluate(_frame_number(frame), max_memory, threads)

    def run(self, output=None, frames=None, *, jobs=0, threads=None, check=False,
            max_memory=None, progress=None, quiet=True, tool=None, volume=None, preview=None, preview_size=768,
            usd=None):
        """Writes one mesh file per frame as `glomora run` does, and returns the
        statistics --stats writes for the run: {"scene", "frames": [one dict
        per frame], "processes"}. `output`: the pattern of the mesh files, as
        --output (default: DEFAULT_OUTPUT, "glomora-out/{name}.####.obj").
        `volume` and `preview`: patterns of the frames' OpenVDB volumes and
        pictures, as --volume and --preview. `usd`: a USD text layer of the
        run's meshes, as --usd (the statistics' "usd" lists the layers
        written)."""
        if output is None:
            output = DEFAULT_OUTPUT
        threads = _check_threads(threads)
        width, height = (preview_size, preview_size) if isinstance(preview_size, int) else preview_size
        for side in (width, height):
            if isinstance(side, bool) or not isinstance(side, int) or not 16 <= side <= 8192:
                raise ValueError("preview_size %r: expected 16 to 8192 pixels a side, or (width, height)"
                                 % (preview_size,))
        first = last = None
        if frames is not None:
            if isinstance(frames, int):
                first = last = frames
            else:
                first, last = (_frame_number(f) for f in frames)
        if isinstance(jobs, bool) or not isinstance(jobs, int) or not 0 <= jobs <= 256:
            raise ValueError("jobs %r: expected 0 (one per core) to 256" % (jobs,))
        if tool is None and jobs != 1:
            tool = tool_path()
            if tool is None:
                raise FileNotFoundError("jobs=%d needs the glomora executable: set GLOMORA_TOOL, "
                                        "or pass tool=, or run with jobs=1" % jobs)
        stats = self._core.run(os.fspath(output), first, last, jobs, tool or "", check, max_memory, quiet, progress,
                               os.fspath(volume) if volume else "", os.fspath(preview) if preview else "",
                               width, height, threads, os.fspath(usd) if usd else "")
        return json.loads(stats)

    def close(self):
        """Ends this scene's plug-in instance now (its simulation is lost)."""
        self._core.close()


def _frame_number(frame):
    limit = _glomora.FRAME_LIMIT
    try:
        whole = not isinstance(frame, bool) and int(frame) == frame
    except (TypeError, ValueError, OverflowError):
        whole = False
    if not whole or not -limit <= frame <= limit:
        raise ValueError("frame %r: expected a whole frame number from %d to %d" % (frame, -limit, limit))
    return int(frame)



# The plug-in's instance ends while the interpreter still runs.
atexit.register(_glomora.shutdown)
