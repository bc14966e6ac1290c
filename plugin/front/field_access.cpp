// Glomora_GetField: the host's read-only view of the voxel field behind the
// latest mesh, found through the instance registry like the transfer
// operators find their main operator.

#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "front/operator_instance.h"

bool Glomora_GetField(const XSI::CString& operatorFullName, GlomoraField& field) {
  const OperatorInstance* in = FindInstance(operatorFullName);
  if (in == nullptr) return false;
  // Mode 3 fills the mesh from a cache file and leaves the lattice as an
  // earlier evaluation left it; Space 1 never touches it.
  const Settings& settings = in->settings;
  if (settings.space != Space::kVoxelGrid || settings.mute || settings.mode < Mode::kDirect ||
      settings.mode > Mode::kWriteCache || !in->mesh.valid || !in->gridPolygonizer.ready) {
    return false;
  }
  const GridPolygonizer& grid = in->gridPolygonizer;
  const Int3& r = settings.resolution;
  if (r.x >= INT32_MAX || r.y >= INT32_MAX || r.z >= INT32_MAX || !grid.HasFieldDimensions(r.x + 1, r.y + 1, r.z + 1)) {
    return false;
  }
  // Tiled lattices are made dense here, once per field.
  const float* values = grid.DenseField();
  if (values == nullptr) return false;
  field.values = values;
  field.nx = r.x + 1;
  field.ny = r.y + 1;
  field.nz = r.z + 1;
  field.cellSize[0] = settings.cellSize.x;
  field.cellSize[1] = settings.cellSize.y;
  field.cellSize[2] = settings.cellSize.z;
  field.origin[0] = -settings.halfSize.x;
  field.origin[1] = -settings.halfSize.y;
  field.origin[2] = -settings.halfSize.z;
  field.isovalue = settings.isovalue;
  field.frame = in->fieldFrame;
  field.elementCount = in->fieldElements;
  const Float3& low = in->fieldElementsLow;
  const Float3& high = in->fieldElementsHigh;
  for (int axis = 0; axis < 3; ++axis) {
    field.elementsLow[axis] = axis == 0 ? low.x : axis == 1 ? low.y : low.z;
    field.elementsHigh[axis] = axis == 0 ? high.x : axis == 1 ? high.y : high.z;
  }
  return true;
}
