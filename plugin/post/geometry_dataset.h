#pragma once
// GeometryDataset: the working copy of a triangle mesh that post-processing
// edits: per vertex its position (single precision), a second position slot
// filled by a pass before positions are replaced, its neighbour list and a
// boundary mark; per triangle its three vertex indices (only when degenerate
// removal is on).

#include <cstdint>
#include <memory>

#include "base/allocation.h"
#include "base/numeric.h"
#include "base/settings.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

struct NeighbourEntry {
  int32_t vertex;  // the neighbour's index
  bool shared;     // the edge to this neighbour was met more than once (in more than one triangle)
};

struct DatasetVertex {
  // The neighbour list: the distinct vertices sharing a triangle edge with this
  // one, most recently added first, stored contiguously as
  // neighbourEntries[firstNeighbour .. firstNeighbour + neighbourCount).
  int32_t firstNeighbour;
  int32_t neighbourCount;
  float inverseNeighbourCount;  // 1.0f / neighbourCount (+infinity with no neighbour)
  Float3 position;
  Float3 newPosition;  // filled by a pass before positions are replaced; starts equal to position
  bool boundary;       // held fixed by the passes (only ever set with preserveBoundary)
  int32_t shortEdgePartner;  // relaxation scratch: the other end of the last short edge met, -1 for none
};

struct DatasetPolygon {
  int32_t a, b, c;
};

struct GeometryDataset {
  // vertexCount records; null when not built.
  std::unique_ptr<DatasetVertex[], FreeDeleter> vertexRecords;
  // triangleCount records, one per usable triangle in description order; null
  // unless built with degenerate removal on.
  std::unique_ptr<DatasetPolygon[], FreeDeleter> polygonRecords;
  // Pool holding every vertex's neighbour list (see DatasetVertex); the lists
  // leave unused gaps between them. null when not built.
  std::unique_ptr<NeighbourEntry[], FreeDeleter> neighbourEntries;
  int32_t vertexCount = 0;    // entries of the vertex array
  int32_t polygonCount = 0;   // entries of the polygon description / 4 (whole groups of four)
  int32_t triangleCount = 0;  // groups of four that are usable triangles (count entry 3, indices in range)
  bool valid = false;         // the build succeeded; gates write-back and both passes
};

// Both arrays absent, valid false.
void ResetDataset(GeometryDataset& dataset);

// Builds the records from the mesh, or logs
// "<fullName> (geometry dataset) -> not enough memory." (severity 8) and leaves
// valid false with nothing allocated.
//
// The description is read as polygonCount = GetCount() / 4 groups of four
// (n, a, b, c). A group is a usable triangle only when n is 3 and a, b and c
// lie in [0, vertexCount); any other group (a quad's head, a misaligned group,
// an index out of range) is skipped whole and contributes nothing. A triangle
// adds, in this order, b then c to a's list, a then c to b's list, a then b to
// c's list; adding a vertex already present sets its shared flag, otherwise it
// goes to the front. With settings.preserveBoundary a vertex is a boundary vertex
// when one of its entries is not shared. Polygon records are built only with
// settings.degenerateActive.
//
// Linear in vertices plus triangles whatever the valence. Memory: 8 bytes per
// list slot, six slots per usable triangle, and two int32 of scratch per vertex
// while building. A mesh whose slot count does not fit in int32 is refused like
// a failed allocation.
void BuildDataset(GeometryDataset& dataset, const Settings& settings, const XSI::MATH::CVector3Array& vertices,
                  const XSI::CLongArray& polygons);

// When valid, stores every position, widened to double, into vertices (the
// first min(vertexCount, vertices.GetCount()) elements). When not valid, does nothing.
void WriteBackPositions(const GeometryDataset& dataset, XSI::MATH::CVector3Array& vertices);

// Frees everything; the dataset is left empty.
void ReleaseDataset(GeometryDataset& dataset);

// Vertices per part of the post-processing work spread over threads.
constexpr int64_t kDatasetVertexGrain = 4096;

// Every vertex not on the boundary takes its newPosition (spread over
// threads: each vertex is its own).
void ApplyNewPositions(DatasetVertex* records, int32_t vertexCount);

// First entry of vertex v's neighbour list (neighbourCount entries follow).
inline const NeighbourEntry* NeighboursOf(const GeometryDataset& dataset, int32_t v) {
  return dataset.neighbourEntries.get() + dataset.vertexRecords[v].firstNeighbour;
}
