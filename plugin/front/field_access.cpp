// Glomora_GetField: the host's read-only view of the voxel field behind the
// latest mesh, found through the instance registry like the transfer
// operators find their main operator.

#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "front/operator_instance.h"

namespace {

// The instance whose latest evaluation extracted its mesh from its lattices,
// or null.
const OperatorInstance* FieldInstance(const XSI::CString& operatorFullName) {
  const OperatorInstance* in = FindInstance(operatorFullName);
  if (in == nullptr) return nullptr;
  // Mode 3 fills the mesh from a cache file and leaves the lattice as an
  // earlier evaluation left it; Space 1 never touches it.
  const Settings& settings = in->settings;
  if (settings.space != Space::kVoxelGrid || settings.mute || settings.mode < Mode::kDirect ||
      settings.mode > Mode::kWriteCache || !in->mesh.valid || !in->gridPolygonizer.ready) {
    return nullptr;
  }
  const Int3& r = settings.resolution;
  if (r.x >= INT32_MAX || r.y >= INT32_MAX || r.z >= INT32_MAX ||
      !in->gridPolygonizer.HasFieldDimensions(r.x + 1, r.y + 1, r.z + 1)) {
    return nullptr;
  }
  return in;
}

}  // namespace

int32_t Glomora_FieldInsideOnBoxFaces(const XSI::CString& operatorFullName) {
  const OperatorInstance* in = FieldInstance(operatorFullName);
  if (in == nullptr) return -1;
  const GridPolygonizer& grid = in->gridPolygonizer;
  const float iso = in->settings.isovalue;
  const int32_t nx = in->settings.resolution.x + 1, ny = in->settings.resolution.y + 1, nz = in->settings.resolution.z + 1;
  for (int32_t i = 0; i < nx; ++i) {
    const bool sideI = i == 0 || i == nx - 1;
    for (int32_t j = 0; j < ny; ++j) {
      if (sideI || j == 0 || j == ny - 1) {
        for (int32_t k = 0; k < nz; ++k) {
          if (grid.FieldAt(i, j, k) > iso) return 1;
        }
      } else if (grid.FieldAt(i, j, 0) > iso || grid.FieldAt(i, j, nz - 1) > iso) {
        return 1;
      }
    }
  }
  return 0;
}

bool Glomora_GetField(const XSI::CString& operatorFullName, GlomoraField& field) {
  const OperatorInstance* in = FieldInstance(operatorFullName);
  if (in == nullptr) return false;
  const Settings& settings = in->settings;
  const GridPolygonizer& grid = in->gridPolygonizer;
  const Int3& r = settings.resolution;
  // The dense contract indexes the copy with int32 counts: a tiled lattice
  // of more points (each axis fits, their product may not) has no copy.
  const uint64_t points = (static_cast<uint64_t>(r.x) + 1) * (static_cast<uint64_t>(r.y) + 1) * (static_cast<uint64_t>(r.z) + 1);
  if (points > static_cast<uint64_t>(INT32_MAX)) return false;
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
