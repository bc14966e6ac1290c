#pragma once
// What both mesh readers promise about their result: on success the positions
// come in threes and every face is a polygon of 3 or more vertices with indices
// into the positions; on failure the mesh is empty.

#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "mesh_data.h"

inline void CheckReadMesh(bool ok, const MeshData& mesh) {
  if (!ok) {
    FUZZ_CHECK(mesh.positions.empty() && mesh.polygons.empty());
    return;
  }
  FUZZ_CHECK(mesh.positions.size() % 3 == 0);
  const size_t vertexCount = mesh.positions.size() / 3;
  size_t at = 0;
  while (at < mesh.polygons.size()) {
    const int32_t n = mesh.polygons[at];
    FUZZ_CHECK(n >= 3 && at + static_cast<size_t>(n) < mesh.polygons.size());
    for (int32_t k = 1; k <= n; ++k) {
      const int32_t index = mesh.polygons[at + static_cast<size_t>(k)];
      FUZZ_CHECK(index >= 0 && static_cast<size_t>(index) < vertexCount);
    }
    at += static_cast<size_t>(n) + 1;
  }
}
