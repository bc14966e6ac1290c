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
  if (in->space != 0 || in->mute || in->mode < 0 || in->mode > 2 || !in->resultValid || !in->gridReady) return false;
  const VoxelGrid& lattice = in->gridPolygonizer.accumulatedField;
  const Int3& r = in->resolution;
  if (r.x >= INT32_MAX || r.y >= INT32_MAX || r.z >= INT32_MAX || !lattice.HasDimensions(r.x + 1, r.y + 1, r.z + 1)) {
    return false;
  }
  field.values = lattice.Data();
  field.nx = lattice.Nx();
  field.ny = lattice.Ny();
  field.nz = lattice.Nz();
  field.cellSize[0] = in->cellSize.x;
  field.cellSize[1] = in->cellSize.y;
  field.cellSize[2] = in->cellSize.z;
  field.origin[0] = -in->halfSize.x;
  field.origin[1] = -in->halfSize.y;
  field.origin[2] = -in->halfSize.z;
  field.isovalue = in->isovalue;
  field.frame = in->evalFrame;
  return true;
}
