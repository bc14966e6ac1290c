#include "post/smoothing.h"

#include <cassert>

#include "base/parallel.h"

namespace {

// One pass: all smoothed positions from the positions before the pass, then
// applied to the free vertices. A full pass stores smoothed; the last pass
// blends it into newPosition with weight t. For every vertex whose result is
// applied, the newPosition blended is its position at the start of the pass.
// Each vertex's result depends only on positions no vertex changes before
// the pass ends, so the vertices are worked on side by side.
void SmoothVertices(const GeometryDataset& dataset, DatasetVertex* records, bool last, float t, int32_t first,
                    int32_t end) {
  const float keep = 1.0f - t;
  for (int32_t i = first; i < end; ++i) {
    DatasetVertex& r = records[i];
    if (r.neighbourCount == 0) {
      // An empty sum times an infinite inverse count would be NaN: an isolated
      // vertex has nothing to move toward and stays.
      r.newPosition = r.position;
      continue;
    }
    Float3 m{0.0f, 0.0f, 0.0f};
    const NeighbourEntry* const list = NeighboursOf(dataset, i);
    for (int32_t k = 0; k < r.neighbourCount; ++k) {
      const Float3& q = records[list[k].vertex].position;
      m.x = m.x + q.x;
      m.y = m.y + q.y;
      m.z = m.z + q.z;
    }
    const float inverse = r.inverseNeighbourCount;
    const Float3 smoothed{(m.x * inverse + r.position.x) * 0.5f, (m.y * inverse + r.position.y) * 0.5f,
                          (m.z * inverse + r.position.z) * 0.5f};
    if (!last) {
      r.newPosition = smoothed;
    } else {
      r.newPosition.x = keep * r.newPosition.x + smoothed.x * t;
      r.newPosition.y = keep * r.newPosition.y + smoothed.y * t;
      r.newPosition.z = keep * r.newPosition.z + smoothed.z * t;
    }
  }
}

void SmoothPass(const GeometryDataset& dataset, DatasetVertex* records, bool last, float t) {
  parallel::ForEachRange(dataset.vertexCount, kDatasetVertexGrain, [&](int64_t first, int64_t end) {
    SmoothVertices(dataset, records, last, t, static_cast<int32_t>(first), static_cast<int32_t>(end));
  });
  ApplyNewPositions(records, dataset.vertexCount);
}

}  // namespace

void SmoothGeometry(const Settings& settings, [[maybe_unused]] const XSI::MATH::CVector3Array& vertices,
                    GeometryDataset& dataset) {
  if (!dataset.valid || !dataset.vertexRecords) return;
  assert(vertices.GetCount() == dataset.vertexCount);

  // n and t from the strength. Only strengths whose integer part fits the
  // pass counter are counted (NaN fails both comparisons), so the
  // float-to-int conversion is defined; 2^31 is exact in float.
  const float strength = settings.smoothStrength;
  if (!(strength > -1.0f && strength < 2147483648.0f)) return;
  const int32_t n = static_cast<int32_t>(strength);
  const float t = strength - static_cast<float>(n);

  DatasetVertex* const records = dataset.vertexRecords.get();
  for (int64_t pass = 0; pass <= n; ++pass) SmoothPass(dataset, records, pass == n, t);
}
