"""A frame's polygon mesh put into the Glomora object's Blender mesh: its
vertices and polygons as the module made them (the same numbers, in the
same order), per-node normals as the mesh's custom normals, UVs as the UV
map "UVMap", and per-vertex velocities, when the mesh has them, as the point
attribute "velocity" (the name Blender's own fluid meshes use)."""

import numpy as np


def put_arrays(mesh, vertices, counts, indices, node_normals=None, node_uvs=None, velocities=None):
    """`vertices` (n, 3), `counts` per polygon, `indices` per node; `node_normals` (nodes, 3) and
    `node_uvs` (nodes, 2) per node, or None."""
    mesh.clear_geometry()
    vertices = np.ascontiguousarray(vertices, dtype=np.float32)
    counts = np.ascontiguousarray(counts, dtype=np.int32)
    indices = np.ascontiguousarray(indices, dtype=np.int32)
    mesh.vertices.add(len(vertices))
    mesh.vertices.foreach_set("co", vertices.ravel())
    mesh.loops.add(len(indices))
    mesh.loops.foreach_set("vertex_index", indices)
    mesh.polygons.add(len(counts))
    starts = np.zeros(len(counts), np.int32)
    if len(counts) > 1:
        starts[1:] = np.cumsum(counts[:-1])
    mesh.polygons.foreach_set("loop_start", starts)
    mesh.polygons.foreach_set("loop_total", counts)
    mesh.polygons.foreach_set("use_smooth", np.ones(len(counts), bool))
    mesh.update(calc_edges=True)
    if node_uvs is not None and len(indices):
        layer = mesh.uv_layers.new(name="UVMap")
        layer.data.foreach_set("uv", np.ascontiguousarray(node_uvs, dtype=np.float32)[:, :2].ravel())
    if node_normals is not None and len(indices):
        mesh.use_auto_smooth = True
        # Unit length first: the plug-in's normals keep the field gradient's
        # magnitude (often below 0.01), which Blender takes for no normal.
        normals = np.asarray(node_normals, dtype=np.float64)
        lengths = np.linalg.norm(normals, axis=1)
        normals = np.divide(normals, lengths[:, None], out=np.zeros_like(normals), where=lengths[:, None] > 0)
        mesh.normals_split_custom_set([tuple(n) for n in normals])
    if velocities is not None and len(vertices):
        attribute = mesh.attributes.new("velocity", "FLOAT_VECTOR", "POINT")
        attribute.data.foreach_set("vector", np.ascontiguousarray(velocities, dtype=np.float32).ravel())


def put_mesh(mesh, result):
    """A glomora.Mesh into `mesh`."""
    # Velocities arrive with the module's per-vertex attributes (units per frame).
    velocities = getattr(result, "attributes", {}).get("v")
    put_arrays(mesh, result.vertices, result.face_counts, result.face_indices, result.normals, result.uvs, velocities)


def put_ply_frame(mesh, frame):
    """A baked frame (ply_frames.read_ply), whose normals and UVs are per vertex; its velocities, when
    the file has them (vx vy vz), as the live frames carry them."""
    vertices, counts, indices, normals, uvs, velocities = frame
    put_arrays(mesh, vertices, counts, indices, None if normals is None else normals[indices],
               None if uvs is None else uvs[indices], velocities)
