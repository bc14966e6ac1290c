#include "post/degenerate_relax.h"

#include <cassert>

#include "base/parallel.h"

namespace {

// Tolerance length before the tolerance factor: the mean cell edge of the voxel
// grid, or the continuation lattice's cube size; tetrahedral polygonization
// makes edges about half as long.
float ReferenceLength(const Settings& settings) {
  float reference = 0.0f;
  if (settings.space == Space::kVoxelGrid) {
    reference = (settings.cellSize.y + settings.cellSize.x + settings.cellSize.z) * 0.33333334f;
  } else if (settings.space == Space::kContinuation) {
    reference = settings.cellSize.x;
  }
  if (settings.polygonization != Polygonization::kCubeTable) reference = reference * 0.5f;
  return reference;
}

// newPosition of u: half-way from u to the mean of its neighbours, the sum
// starting with the partner w (always one of u's neighbours) and skipping it in
// the list, so every neighbour is counted once.
void RelaxEnd(const GeometryDataset& dataset, DatasetVertex* records, int32_t u, int32_t w) {
  DatasetVertex& r = records[u];
  Float3 sum = records[w].position;
  const NeighbourEntry* const list = NeighboursOf(dataset, u);
  for (int32_t k = 0; k < r.neighbourCount; ++k) {
    const int32_t v = list[k].vertex;
    if (v == w) continue;
    const Float3& q = records[v].position;
    sum.x = sum.x + q.x;
    sum.y = sum.y + q.y;
    sum.z = sum.z + q.z;
  }
  const float inverse = r.inverseNeighbourCount;
  r.newPosition.x = r.position.x * 0.5f + (sum.x * inverse) * 0.5f;
  r.newPosition.y = r.position.y * 0.5f + (sum.y * inverse) * 0.5f;
  r.newPosition.z = r.position.z * 0.5f + (sum.z * inverse) * 0.5f;
}

}  // namespace

void RelaxDegenerateEdges(const Settings& settings, [[maybe_unused]] const XSI::MATH::CVector3Array& vertices,
                          [[maybe_unused]] const XSI::CLongArray& polygons, GeometryDataset& dataset) {
  if (!dataset.valid || !dataset.vertexRecords || !dataset.polygonRecords) return;
  assert(vertices.GetCount() == dataset.vertexCount && polygons.GetCount() / 4 == dataset.polygonCount);

  const float tolerance = ReferenceLength(settings) * settings.degenerateTolerance;
  const float threshold = tolerance * tolerance;
  DatasetVertex* const records = dataset.vertexRecords.get();
  const DatasetPolygon* const triangles = dataset.polygonRecords.get();

  // 1) the ends of short edges. Every evaluation of an end reads positions
  // only, so evaluating u again for a later short edge differs only in the
  // partner the sum starts with; the last one met wins. Recording that partner
  // and evaluating each end once gives the same bits and keeps a vertex on many
  // short edges from walking its list once per edge.
  for (int32_t i = 0; i < dataset.vertexCount; ++i) records[i].shortEdgePartner = -1;
  for (int32_t p = 0; p < dataset.triangleCount; ++p) {
    const DatasetPolygon& t = triangles[p];
    const int32_t edges[3][2] = {{t.a, t.b}, {t.b, t.c}, {t.c, t.a}};
    for (const auto& edge : edges) {
      const int32_t u = edge[0], w = edge[1];
      const Float3& pu = records[u].position;
      const Float3& pw = records[w].position;
      const float dx = pu.x - pw.x;
      const float dy = pu.y - pw.y;
      const float dz = pu.z - pw.z;
      const float d2 = dy * dy + dx * dx + dz * dz;
      if (!(d2 < threshold)) continue;
      records[u].shortEdgePartner = w;
      records[w].shortEdgePartner = u;
    }
  }
  // The marking above stays on one thread: the partner a vertex keeps is
  // that of the last short edge met in triangle order. Each end's new
  // position reads positions only, so the ends are relaxed side by side.
  parallel::ForEachRange(dataset.vertexCount, kDatasetVertexGrain, [&](int64_t first, int64_t end) {
    for (auto i = static_cast<int32_t>(first); i < end; ++i) {
      if (records[i].shortEdgePartner >= 0) RelaxEnd(dataset, records, i, records[i].shortEdgePartner);
    }
  });

  // 2) apply to the free vertices
  ApplyNewPositions(records, dataset.vertexCount);
}
