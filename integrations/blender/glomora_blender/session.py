"""What a Glomora object keeps between frames: the sources read at each
frame so far (their points in per-frame PLY files, the primitives' poses),
the module's Scene built from them, and the frame its simulation reached.

Space 1 (and Mode 3) frames stand alone: each frame is a scene of its own.
Space 0 carries its field from frame to frame as the host does: the next
frame is one step of the live Scene; any other frame is simulated again
from "Start_frame", one evaluation per frame, which needs the sources of
every frame from there (read by stepping the timeline, see ops.py)."""

import hashlib
import os

import numpy as np

from . import sources


def plain_value(entry, value):
    """A panel value as the scene file takes it: Blender keeps floats in single
    precision, so a float is the shortest decimal that reads back to it."""
    if entry["kind"] == "float":
        return float(repr(np.float32(value)))
    if entry["kind"] == "int":
        return int(value)
    if entry["kind"] == "bool":
        return bool(value)
    return str(value)


def parameters_of(settings, catalogue):
    """The parameters whose panel value is not the default, as the scene file's "parameters"."""
    values = {}
    for entry in catalogue:
        value = plain_value(entry, getattr(settings.parameters, entry["name"]))
        default = entry["default"]
        if entry["kind"] == "float":
            default = plain_value(entry, default)
        if value != default:
            values[entry["name"]] = value
    return values


def _keys(track, frames, read):
    """A scene file's value over `frames`: a constant when it never changes, else keys at every frame."""
    values = [read(track[f]) for f in frames]
    if all(v == values[0] for v in values):
        return values[0]
    return {"keys": [[f, v] for f, v in zip(frames, values)]}


class Session:
    def __init__(self, folder):
        self.folder = folder  # the per-frame point files
        self.track = {}  # frame -> {"clouds": [names], "primitives": [dicts]} as gathered
        self.scene = None  # the glomora.Scene of Space 0
        self.built = None  # what it was built from: (parameters, frames, description of the sources)
        self.reached = None  # the frame its simulation is at
        self.mesh = None  # and that frame's mesh

    # --- the sources --------------------------------------------------------

    def record(self, frame, gathered):
        """Writes the frame's clouds and keeps its primitives; True when they differ from what was recorded."""
        os.makedirs(self.folder, exist_ok=True)
        for name, points, attributes in gathered["clouds"]:
            sources.write_points(os.path.join(self.folder, "%s.%04d.ply" % (name, frame)), points, attributes)
        # A digest of each cloud's points and attributes: a change of them at
        # an earlier frame shows as one of the track.
        def digest(points, attributes):
            h = hashlib.sha1(np.ascontiguousarray(points).tobytes())
            for name in sorted(attributes):
                h.update(name.encode() + np.ascontiguousarray(attributes[name]).tobytes())
            return h.hexdigest()
        entry = {"clouds": [name for name, _, _ in gathered["clouds"]],
                 "attributes": [sorted(a) for _, _, a in gathered["clouds"]],
                 "digests": [digest(p, a) for _, p, a in gathered["clouds"]],
                 "primitives": gathered["primitives"]}
        changed = self.track.get(frame) != entry
        self.track[frame] = entry
        return changed

    def has_frames(self, first, last):
        return all(f in self.track for f in range(first, last + 1))

    def forget(self):
        self.track.clear()
        self.close()

    def close(self):
        if self.scene is not None:
            self.scene.close()
        self.scene = self.built = self.reached = self.mesh = None

    # --- scenes -------------------------------------------------------------

    def scene_dict(self, name, parameters, first, last, folder=None):
        """The scene file of frames first..last from the track (every frame recorded): clouds from their
        per-frame files, primitives with keys where they move. `folder`: where the point files are (the
        session's by default)."""
        folder = folder or self.folder
        frames = list(range(first, last + 1))
        clouds = self.track[first]["clouds"]
        carried = self.track[first]["attributes"]
        primitives = self.track[first]["primitives"]
        for f in frames:
            if self.track[f]["clouds"] != clouds or self.track[f]["attributes"] != carried or \
                    [p["name"] for p in self.track[f]["primitives"]] != [p["name"] for p in primitives]:
                raise ValueError("the sources changed between frames %d and %d: a scene keeps the same sources "
                                 "at every frame" % (first, f))
        described = []
        for n, names in zip(clouds, carried):
            cloud = {"type": "cloud", "name": n, "file": os.path.join(folder, n + ".####.ply")}
            # A particle's velocity and size (sources.py).
            if "v" in names:
                cloud["velocity_attribute"] = "v"
            if "pscale" in names:
                cloud["radius_attribute"] = "pscale"
            described.append(cloud)
        for i, primitive in enumerate(primitives):
            out = {"type": primitive["type"], "name": primitive["name"]}
            for size in ("radius", "length", "height"):
                if size in primitive:
                    out[size] = _keys(self.track, frames, lambda t: t["primitives"][i][size])
            out["transform"] = {part: _keys(self.track, frames, lambda t: t["primitives"][i]["transform"][part])
                                for part in ("translation", "rotation", "scaling")}
            described.append(out)
        return {"name": name, "frames": [first, last], "parameters": parameters, "sources": described}

    def evaluate_alone(self, glomora, name, parameters, frame):
        """A frame that stands alone (Space 1, Mode 3): its own scene."""
        self.close()
        scene = glomora.Scene(self.scene_dict(name, parameters, frame, frame))
        try:
            return scene.evaluate(frame)
        finally:
            scene.close()

    def _valid_at(self, parameters, first, frame):
        """True when the live scene describes the sources at frames first..frame as recorded now: its
        own frames unchanged, later ones equal to its last (whose values it holds)."""
        if self.scene is None or self.built[0] != parameters or self.built[1] != first:
            return False
        built = self.built[2]
        last = max(built)
        return all(self.track.get(k) == built[k] for k in range(first, min(frame, last) + 1)) and \
            all(self.track.get(k) == built[last] for k in range(last + 1, frame + 1))

    def next_step(self, parameters, first, frame):
        """True when `frame` is the live simulation's next frame (or its current one)."""
        return self.reached is not None and self.reached <= frame <= self.reached + 1 and \
            self._valid_at(parameters, first, frame)

    def simulate(self, glomora, name, parameters, first, start, frame, step=None):
        """The mesh of `frame` in a Space 0 scene whose frames start at `first`: the next step of the live
        simulation, or simulated again from `start` ("Start_frame") to `frame`, which needs the sources
        of those frames recorded. `step(done, total)` after each evaluation; a true return cancels (the
        frames so far stay simulated) and gives None."""
        if self.next_step(parameters, first, frame):
            if frame == self.reached:
                return self.mesh
            frames = [frame]
        else:
            self.close()
            self.scene = glomora.Scene(self.scene_dict(name, parameters, first, frame))
            self.built = (parameters, first, {k: self.track[k] for k in range(first, frame + 1)})
            frames = list(range(min(max(start, first), frame), frame + 1))
        for done, f in enumerate(frames, 1):
            self.mesh = self.scene.evaluate(f)
            self.reached = f
            if step is not None and step(done, len(frames)) and f != frame:
                return None
        return self.mesh
