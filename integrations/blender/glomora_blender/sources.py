"""The sources of a Glomora object at the current frame, read from Blender:
the objects of its source collection, each by its "Glomora source" kind.

- Automatic: each particle system's living particles, a mesh object's
  vertices (of a mesh without particle systems: an emitter gives its
  particles only) and a point cloud's points become point clouds. A
  particle's velocity (Blender's is in units per second; the cloud's "v" in
  units per frame, divided by the scene's frame rate) and its size (as the
  scale "pscale" of "Particle_size": the particle's size over its system's
  "particle_size", 1 for every particle of a system without random size)
  go with it, as the cloud's "velocity_attribute" and "radius_attribute".
- Sphere, Cube, Cylinder: one primitive, with its radius, length or height
  and the object's pose (subtractive when marked so).

Everything is taken in the Glomora object's own space (its inverse world
matrix times the source's world placement), so that its mesh shows where
the sources are."""

import re

import numpy as np

PRIMITIVES = {"SPHERE": ("sphere", ("radius",)), "CUBE": ("cube", ("length",)),
              "CYLINDER": ("cylinder", ("radius", "height"))}


def scene_name(name, taken):
    """`name` as scene files take object names (letters, digits, '_', '-'), not in `taken`."""
    base = re.sub(r"[^A-Za-z0-9_-]", "_", name) or "source"
    unique, n = base, 1
    while unique in taken:
        n += 1
        unique = "%s_%d" % (base, n)
    taken.add(unique)
    return unique


def _points_in(matrix, points):
    """(n, 3) points moved by a 4x4 matrix, in double precision, as float32."""
    m = np.array(matrix, dtype=np.float64)
    return (points.astype(np.float64) @ m[:3, :3].T + m[:3, 3]).astype(np.float32)


def _particles(psys, to_local, frames_per_second):
    """The living particles' locations in the Glomora object's space, and their attributes."""
    count = len(psys.particles)
    locations = np.empty(count * 3, np.float32)
    psys.particles.foreach_get("location", locations)
    velocities = np.empty(count * 3, np.float32)
    psys.particles.foreach_get("velocity", velocities)
    sizes = np.empty(count, np.float32)
    psys.particles.foreach_get("size", sizes)
    # alive_state is an enum, which foreach_get does not read.
    alive = np.array([p.alive_state == "ALIVE" for p in psys.particles], bool)
    # A velocity is a direction: the matrix without its translation.
    m = np.array(to_local, dtype=np.float64)
    per_frame = velocities.reshape(-1, 3)[alive].astype(np.float64) / frames_per_second
    nominal = float(psys.settings.particle_size)
    scale = sizes[alive].astype(np.float64) / nominal if nominal > 0 else np.ones(int(alive.sum()))
    attributes = {"v": (per_frame @ m[:3, :3].T).astype(np.float32), "pscale": scale.astype(np.float32)}
    return _points_in(to_local, locations.reshape(-1, 3)[alive]), attributes


def _vertices(obj_eval):
    mesh = obj_eval.data
    points = np.empty(len(mesh.vertices) * 3, np.float32)
    mesh.vertices.foreach_get("co", points)
    return points.reshape(-1, 3)


def gather(glomora_obj, depsgraph):
    """{"clouds": [(name, points (n, 3) float32, {attribute name: (n, k) or (n,) float32})],
    "primitives": [dict of the scene file's keys]}."""
    clouds, primitives = [], []
    collection = glomora_obj.glomora.source_collection
    if collection is None:
        return {"clouds": clouds, "primitives": primitives}
    to_local = glomora_obj.matrix_world.inverted()
    taken = {glomora_obj.glomora.scene_name(), glomora_obj.glomora.scene_name() + "_space"}
    for obj in sorted(collection.all_objects, key=lambda o: o.name):
        settings = obj.glomora_source
        if obj == glomora_obj or settings.kind == "IGNORE":
            continue
        obj_eval = obj.evaluated_get(depsgraph)
        if settings.kind in PRIMITIVES:
            kind, sizes = PRIMITIVES[settings.kind]
            location, rotation, scale = (to_local @ obj_eval.matrix_world).decompose()
            euler = rotation.to_euler("XYZ")
            sign = -1.0 if settings.subtractive else 1.0
            primitive = {"type": kind, "name": scene_name(obj.name, taken),
                         "transform": {"translation": list(location),
                                       "rotation": [float(np.degrees(a)) for a in euler],
                                       "scaling": [sign * s for s in scale]}}
            for size in sizes:
                primitive[size] = float(getattr(settings, size))
            primitives.append(primitive)
            continue
        to_glomora = to_local @ obj_eval.matrix_world
        systems = list(obj_eval.particle_systems) if hasattr(obj_eval, "particle_systems") else []
        render = depsgraph.scene.render
        frames_per_second = render.fps / render.fps_base
        for psys in systems:
            # Particles are in world space already.
            points, attributes = _particles(psys, to_local, frames_per_second)
            clouds.append((scene_name(obj.name + "_" + psys.name, taken), points, attributes))
        if obj.type == "MESH" and not systems:
            clouds.append((scene_name(obj.name, taken), _points_in(to_glomora, _vertices(obj_eval)), {}))
        elif obj.type == "POINTCLOUD":
            position = obj_eval.data.attributes["position"]
            points = np.empty(len(position.data) * 3, np.float32)
            position.data.foreach_get("vector", points)
            clouds.append((scene_name(obj.name, taken), _points_in(to_glomora, points.reshape(-1, 3)), {}))
    return {"clouds": clouds, "primitives": primitives}


# The PLY properties of the attributes a cloud's points carry.
PLY_COLUMNS = {"v": ("vx", "vy", "vz"), "pscale": ("pscale",)}


def write_points(path, points, attributes=None):
    """A binary PLY file of the points (and their attributes, PLY_COLUMNS), as a cloud source's "file"
    reads it."""
    columns = [points.reshape(-1, 3)]
    names = ["x", "y", "z"]
    for name in sorted(attributes or {}):
        columns.append(np.asarray(attributes[name], np.float32).reshape(len(points), -1))
        names += PLY_COLUMNS[name]
    header = "ply\nformat binary_little_endian 1.0\nelement vertex %d\n" % len(points)
    header += "".join("property float %s\n" % n for n in names) + "end_header\n"
    with open(path, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(np.ascontiguousarray(np.hstack(columns), dtype="<f4").tobytes())
