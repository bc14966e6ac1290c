#include "mesh_data.h"

size_t MeshData::PolygonCount() const { return MeshView(*this).PolygonCount(); }
size_t MeshData::NodeCount() const { return MeshView(*this).NodeCount(); }
size_t MeshData::CountPolygonsOfSize(int32_t n) const { return MeshView(*this).CountPolygonsOfSize(n); }

void MeshData::Clear() {
  positions.clear();
  polygons.clear();
  nodeNormals.clear();
  nodeUVs.clear();
}

size_t MeshView::PolygonCount() const {
  size_t count = 0;
  for (size_t i = 0; i < polygons.size(); i += static_cast<size_t>(polygons[i]) + 1) ++count;
  return count;
}

size_t MeshView::NodeCount() const {
  size_t count = 0;
  for (size_t i = 0; i < polygons.size(); i += static_cast<size_t>(polygons[i]) + 1) {
    count += static_cast<size_t>(polygons[i]);
  }
  return count;
}

size_t MeshView::CountPolygonsOfSize(int32_t n) const {
  size_t count = 0;
  for (size_t i = 0; i < polygons.size(); i += static_cast<size_t>(polygons[i]) + 1) {
    if (polygons[i] == n) ++count;
  }
  return count;
}
