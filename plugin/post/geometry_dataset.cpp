#include "post/geometry_dataset.h"

#include <algorithm>
#include <cstdint>

#include "base/parallel.h"
#include "xsi_application.h"

namespace {

// Every usable triangle puts two entries into each of its three vertices' lists.
constexpr int64_t kSlotsPerTriangle = 6;

// Group of four (n, a, b, c) that is a triangle over existing vertices.
bool IsUsableTriangle(const XSI::LONG* group, int32_t vertexCount) {
  return group[0] == 3 && group[1] >= 0 && group[1] < vertexCount && group[2] >= 0 && group[2] < vertexCount &&
         group[3] >= 0 && group[3] < vertexCount;
}

void LogOutOfMemory(const Settings& settings) {
  XSI::Application().LogMessage(settings.fullName + L" (geometry dataset) -> not enough memory.", XSI::siInfoMsg);
}

}  // namespace

void ResetDataset(GeometryDataset& dataset) { dataset = GeometryDataset(); }

void BuildDataset(GeometryDataset& dataset, const Settings& settings, const XSI::MATH::CVector3Array& vertices,
                  const XSI::CLongArray& polygons) {
  dataset = GeometryDataset();
  dataset.vertexCount = vertices.GetCount();
  dataset.polygonCount = polygons.GetCount() / 4;
  const int32_t vertexCount = dataset.vertexCount;
  const int32_t polygonCount = dataset.polygonCount;
  const XSI::LONG* description = polygons.GetArray();

  const auto fail = [&]() {
    dataset.vertexRecords.reset();
    dataset.polygonRecords.reset();
    dataset.neighbourEntries.reset();
    dataset.valid = false;
    LogOutOfMemory(settings);
  };

  // 1) vertex records; firstNeighbour counts list slots until step 3
  dataset.vertexRecords = TryAllocateArray<DatasetVertex>(static_cast<size_t>(vertexCount));
  if (!dataset.vertexRecords) return fail();
  DatasetVertex* records = dataset.vertexRecords.get();
  parallel::ForEachRange(vertexCount, kDatasetVertexGrain, [&](int64_t first, int64_t end) {
    for (auto i = static_cast<int32_t>(first); i < end; ++i) {
      const XSI::MATH::CVector3& v = vertices[i];
      const Float3 position{static_cast<float>(v.GetX()), static_cast<float>(v.GetY()), static_cast<float>(v.GetZ())};
      records[i] = DatasetVertex{0, 0, 0.0f, position, position, false, -1};
    }
  });

  // Steps 2, 4 and 5 stay on one thread: 2 and 4 scatter triangle after
  // triangle into the vertices' counts and lists (a list's order is the order
  // of its additions), and 5 shares one table of last owners between all
  // vertices.
  // 2) usable triangles and slots per vertex
  int32_t triangleCount = 0;
  for (int32_t p = 0; p < polygonCount; ++p) {
    const XSI::LONG* group = description + 4 * static_cast<size_t>(p);
    if (!IsUsableTriangle(group, vertexCount)) continue;
    ++triangleCount;
    records[group[1]].firstNeighbour += 2;
    records[group[2]].firstNeighbour += 2;
    records[group[3]].firstNeighbour += 2;
  }
  const int64_t slotCount = kSlotsPerTriangle * triangleCount;
  if (slotCount > INT32_MAX) return fail();
  dataset.triangleCount = triangleCount;

  // 3) polygon records, the list pool and the scratch
  if (settings.degenerateActive) {
    dataset.polygonRecords = TryAllocateArray<DatasetPolygon>(static_cast<size_t>(triangleCount));
    if (!dataset.polygonRecords) return fail();
  }
  dataset.neighbourEntries = TryAllocateArray<NeighbourEntry>(static_cast<size_t>(slotCount));
  if (!dataset.neighbourEntries) return fail();
  // lastOwner[w]: the latest vertex whose list received w; entryOf[w]: where.
  const auto scratch = TryAllocateArray<int32_t>(2 * static_cast<size_t>(vertexCount));
  if (!scratch) return fail();
  int32_t* const lastOwner = scratch.get();
  int32_t* const entryOf = scratch.get() + vertexCount;
  NeighbourEntry* const pool = dataset.neighbourEntries.get();

  int32_t offset = 0;
  for (int32_t i = 0; i < vertexCount; ++i) {
    const int32_t slots = records[i].firstNeighbour;
    records[i].firstNeighbour = offset;
    offset += slots;
    lastOwner[i] = -1;
  }

  // 4) every addition in order into its vertex's slots (neighbourCount is the
  // fill cursor here); each vertex's slots then hold its additions in time order.
  DatasetPolygon* const polygonRecords = dataset.polygonRecords.get();
  int32_t t = 0;
  const auto add = [&](int32_t u, int32_t w) {
    DatasetVertex& r = records[u];
    pool[r.firstNeighbour + r.neighbourCount++] = NeighbourEntry{w, false};
  };
  for (int32_t p = 0; p < polygonCount; ++p) {
    const XSI::LONG* group = description + 4 * static_cast<size_t>(p);
    if (!IsUsableTriangle(group, vertexCount)) continue;
    const int32_t a = group[1], b = group[2], c = group[3];
    add(a, b);
    add(a, c);
    add(b, a);
    add(b, c);
    add(c, a);
    add(c, b);
    if (polygonRecords) polygonRecords[t++] = DatasetPolygon{a, b, c};
  }

  // 5) the lists: keep the first addition of each neighbour, flag repeats as
  // shared, then reverse so the most recently added neighbour comes first.
  // Same lists as front insertion into a linked list with a lookup walk, but
  // linear whatever the valence.
  for (int32_t u = 0; u < vertexCount; ++u) {
    DatasetVertex& r = records[u];
    NeighbourEntry* const list = pool + r.firstNeighbour;
    const int32_t additions = r.neighbourCount;
    int32_t distinct = 0;
    for (int32_t k = 0; k < additions; ++k) {
      const int32_t w = list[k].vertex;
      if (lastOwner[w] == u) {
        list[entryOf[w]].shared = true;
      } else {
        lastOwner[w] = u;
        entryOf[w] = distinct;
        list[distinct++] = NeighbourEntry{w, false};
      }
    }
    std::reverse(list, list + distinct);
    r.neighbourCount = distinct;
    // 6) +infinity for an isolated vertex; the passes leave such a vertex alone.
    r.inverseNeighbourCount = 1.0f / static_cast<float>(distinct);
  }

  // 7) boundary: an edge met only once
  if (settings.preserveBoundary) {
    parallel::ForEachRange(vertexCount, kDatasetVertexGrain, [&](int64_t first, int64_t end) {
      for (auto u = static_cast<int32_t>(first); u < end; ++u) {
        DatasetVertex& r = records[u];
        const NeighbourEntry* const list = pool + r.firstNeighbour;
        r.boundary = std::any_of(list, list + r.neighbourCount, [](const NeighbourEntry& e) { return !e.shared; });
      }
    });
  }
  dataset.valid = true;
}

void WriteBackPositions(const GeometryDataset& dataset, XSI::MATH::CVector3Array& vertices) {
  if (!dataset.valid || !dataset.vertexRecords) return;
  const int32_t count = std::min<int32_t>(dataset.vertexCount, vertices.GetCount());
  if (count <= 0) return;
  // One element access before the threads: the array is then the plug-in's
  // own (a host array may share its storage until written).
  XSI::MATH::CVector3* const out = &vertices[0];
  parallel::ForEachRange(count, kDatasetVertexGrain, [&](int64_t first, int64_t end) {
    for (auto i = static_cast<int32_t>(first); i < end; ++i) {
      const Float3& p = dataset.vertexRecords[i].position;
      out[i].Set(static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z));
    }
  });
}

void ApplyNewPositions(DatasetVertex* records, int32_t vertexCount) {
  parallel::ForEachRange(vertexCount, kDatasetVertexGrain, [&](int64_t first, int64_t end) {
    for (auto i = static_cast<int32_t>(first); i < end; ++i) {
      if (!records[i].boundary) records[i].position = records[i].newPosition;
    }
  });
}

void ReleaseDataset(GeometryDataset& dataset) { dataset = GeometryDataset(); }
