"""Reading back the binary PLY files `glomora run` writes (a baked range):
float x, y, z [nx, ny, nz] [s, t] [vx, vy, vz, other attributes] per vertex,
then per face a list of vertex indices (uchar or int count, int indices)."""

import numpy as np

_TYPES = {"char": "i1", "uchar": "u1", "short": "<i2", "ushort": "<u2", "int": "<i4", "uint": "<u4",
          "float": "<f4", "double": "<f8", "int8": "i1", "uint8": "u1", "int32": "<i4", "float32": "<f4"}


def read_ply(path):
    """(vertices (n, 3) float32, face_counts, face_indices, normals or None, uvs or None, velocities or
    None) of a frame's file; normals, UVs and velocities (vx vy vz, units per frame) per vertex, as the
    file holds them."""
    data = open(path, "rb").read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    header = data[:end].decode("ascii").splitlines()
    if header[0] != "ply" or header[1] != "format binary_little_endian 1.0":
        raise ValueError("%s: not a binary little-endian PLY file" % path)
    vertex_count = face_count = 0
    vertex_fields, face_list, element = [], None, None
    for line in header[2:]:
        words = line.split()
        if words[0] == "element":
            element = words[1]
            if element == "vertex":
                vertex_count = int(words[2])
            elif element == "face":
                face_count = int(words[2])
        elif words[0] == "property" and element == "vertex":
            vertex_fields.append((words[2], _TYPES[words[1]]))
        elif words[0] == "property" and element == "face":
            face_list = (_TYPES[words[2]], _TYPES[words[3]])
    vertices = np.frombuffer(data, dtype=np.dtype(vertex_fields), count=vertex_count, offset=end)
    at = end + vertices.nbytes
    names = vertices.dtype.names
    columns = lambda *keys: np.stack([vertices[k] for k in keys], axis=1).astype(np.float32)
    points = columns("x", "y", "z")
    normals = columns("nx", "ny", "nz") if "nx" in names else None
    uvs = columns("s", "t") if "s" in names else None
    velocities = columns("vx", "vy", "vz") if "vx" in names else None
    counts, indices = [], []
    if face_count:
        count_type, index_type = np.dtype(face_list[0]), np.dtype(face_list[1])
        triangles = np.dtype([("n", count_type), ("i", index_type, 3)])
        rows = np.frombuffer(data, dtype=triangles, count=face_count, offset=at) \
            if len(data) - at == face_count * triangles.itemsize else None
        if rows is not None and (rows["n"] == 3).all():
            return (points, np.full(face_count, 3, np.int32), rows["i"].astype(np.int32).ravel(), normals, uvs,
                    velocities)
        for _ in range(face_count):
            n = int(np.frombuffer(data, count_type, 1, at)[0])
            at += count_type.itemsize
            counts.append(n)
            indices.extend(np.frombuffer(data, index_type, n, at).tolist())
            at += n * index_type.itemsize
    return points, np.array(counts, np.int32), np.array(indices, np.int32), normals, uvs, velocities
