"""The sources of a Glomora object at the current frame, read from Blender:
the objects of its source collection, each by its "Glomora source" kind.

- Automatic: each particle system's living particles, a mesh object's
  vertices (of a mesh without particle systems: an emitter gives its
  particles only) and a point cloud's points become point clouds.
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


def _particles(psys):
    count = len(psys.particles)
    locations = np.empty(count * 3, np.float32)
    psys.particles.foreach_get("location", locations)
    # alive_state is an enum, which foreach_get does not read.
    alive = np.array([p.alive_state == "ALIVE" for p in psys.particles], bool)
    return locations.reshape(-1, 3)[alive]


def _vertices(obj_eval):
    mesh = obj_eval.data
    points = np.empty(len(mesh.vertices) * 3, np.float32)
    mesh.vertices.foreach_get("co", points)
    return points.reshape(-1, 3)


def gather(glomora_obj, depsgraph):
    """{"clouds": [(name, points (n, 3) float32)], "primitives": [dict of the scene file's keys]}."""
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
        for psys in systems:
            # Particles are in world space already.
            clouds.append((scene_name(obj.name + "_" + psys.name, taken), _points_in(to_local, _particles(psys))))
        if obj.type == "MESH" and not systems:
            clouds.append((scene_name(obj.name, taken), _points_in(to_glomora, _vertices(obj_eval))))
        elif obj.type == "POINTCLOUD":
            position = obj_eval.data.attributes["position"]
            points = np.empty(len(position.data) * 3, np.float32)
            position.data.foreach_get("vector", points)
            clouds.append((scene_name(obj.name, taken), _points_in(to_glomora, points.reshape(-1, 3))))
    return {"clouds": clouds, "primitives": primitives}


def write_points(path, points):
    """A binary PLY file of the points, as a cloud source's "file" reads it."""
    header = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
              "property float z\nend_header\n" % len(points))
    with open(path, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(np.ascontiguousarray(points, dtype="<f4").tobytes())
