#include "mesh_data.h"

const VertexAttribute* MeshData::FindAttribute(std::string_view name) const {
  for (const VertexAttribute& attribute : attributes) {
    if (attribute.name == name) return &attribute;
  }
  return nullptr;
}

namespace {

// The polygons alone, without copying the attribute list.
MeshView PolygonsOf(const MeshData& mesh) {
  MeshView view;
  view.polygons = mesh.polygons;
  return view;
}

}  // namespace

size_t MeshData::PolygonCount() const { return PolygonsOf(*this).PolygonCount(); }
size_t MeshData::NodeCount() const { return PolygonsOf(*this).NodeCount(); }
size_t MeshData::CountPolygonsOfSize(int32_t n) const { return PolygonsOf(*this).CountPolygonsOfSize(n); }

void MeshData::Clear() {
  positions.clear();
  polygons.clear();
  nodeNormals.clear();
  nodeUVs.clear();
  attributes.clear();
}

MeshView::MeshView(const MeshData& mesh)
    : positions(mesh.positions), polygons(mesh.polygons), nodeNormals(mesh.nodeNormals), nodeUVs(mesh.nodeUVs) {
  attributes.reserve(mesh.attributes.size());
  for (const VertexAttribute& attribute : mesh.attributes) {
    attributes.push_back(AttributeView{attribute.name, attribute.components, attribute.values});
  }
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
