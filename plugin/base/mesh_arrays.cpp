#include "base/mesh_arrays.h"

void MeshArrays::Clear() {
  vertices.Clear();
  polygons.Clear();
  nodeValues.Clear();
  vertexCount = 0;
  polygonCount = 0;
  nodeValueCount = 0;
  valid = false;
}

void MeshArrays::Count() {
  vertexCount = vertices.GetCount();
  polygonCount = polygons.GetCount() / 4;
  nodeValueCount = nodeValues.GetCount();
}
