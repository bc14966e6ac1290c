#pragma once
// GeometryDataset: the working copy of a triangle mesh that post-processing
// edits: per vertex its position (single precision), a second position slot
// filled by a pass before positions are replaced, its neighbour list and a
// boundary mark; per triangle its three vertex indices (only when degenerate
// removal is on).

#include <cstdint>
#include <memory>
#include <vector>

#include "field/numeric.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

struct OperatorInstance;

struct NeighbourEntry {
  int32_t vertex;  // the neighbour's index
  bool shared;     // the edge to this neighbour was met in more than one triangle
};

struct DatasetVertex {
  // Distinct vertices sharing a triangle edge with this one, most recently added first.
  std::vector<NeighbourEntry> neighbours;
  int32_t neighbourCount = 0;
  float inverseNeighbourCount = 0.0f;  // 1 / neighbourCount (infinity with no neighbour)
  Float3 position{};
  Float3 newPosition{};
  bool boundary = false;  // held fixed by the passes
};

struct DatasetPolygon {
  int32_t a, b, c;
};

struct GeometryDataset {
  std::vector<DatasetVertex> vertexRecords;    // empty when not built
  std::vector<DatasetPolygon> polygonRecords;  // built only when degenerate removal is on
  OperatorInstance* owner = nullptr;
  int32_t vertexCount = 0;
  int32_t polygonCount = 0;
  bool valid = false;  // the build succeeded; gates write-back and both passes
};

// Both arrays absent, valid false.
void ResetDataset(GeometryDataset& dataset);
// Builds the records from the mesh, or logs
// "<fullName> (geometry dataset) -> not enough memory." and leaves valid false.
void BuildDataset(GeometryDataset& dataset, OperatorInstance& owner, const XSI::MATH::CVector3Array& vertices,
                  const XSI::CLongArray& polygons);
// When valid, stores every position, widened to double, into vertices.
void WriteBackPositions(const GeometryDataset& dataset, XSI::MATH::CVector3Array& vertices);
// Frees everything; the dataset is left empty.
void ReleaseDataset(GeometryDataset& dataset);
