#pragma once
// The callbacks the host calls by name: the main operator Glomora and the
// transfer operators that sit on its output polygon mesh. Each returns a
// CStatus and never throws.

#include <cstddef>
#include <cstdint>

#include "xsi_operator.h"
#include "xsi_status.h"
#include "xsi_string.h"

#define GLOMORA_CALLBACK extern "C" __attribute__((visibility("default")))

// Main operator: creates, evaluates (output "OutParameter") and destroys the
// per-instance state.
GLOMORA_CALLBACK XSI::CStatus Glomora_Init(XSI::UpdateContext& context);
GLOMORA_CALLBACK XSI::CStatus Glomora_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus Glomora_Term(XSI::UpdateContext& context);

// Transfer operators: copy the main operator's latest result into the host's
// mesh ("Outpolymsh"), user normals ("OutUser_Normal_Property") and UVs
// ("OutTexture_Projection"). The dummy does nothing.
GLOMORA_CALLBACK XSI::CStatus GlomoraGeometrySet_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus GlomoraNormalsSet_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus GlomoraUVspaceSet_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus GlomoraGeometryDummy_Update(XSI::UpdateContext& context, XSI::OutputPort& output);

// Threads the plug-in may use for its work, the calling thread included.
// The default, 1, starts no thread: every callback runs on the caller's
// thread. Above 1, an evaluation spreads its work over that many threads
// (oneTBB) and returns when all are done; the results are byte-identical
// whatever the count. Counts below 1 are taken as 1, above 1024 as 1024;
// returns the count in effect. Applies to every instance; call it between
// evaluations, never during one.
GLOMORA_CALLBACK int Glomora_SetThreadCount(int count);

// The voxel field a main operator's latest evaluation extracted its mesh
// from (the simulated lattice of Space 0). Lattice point (i, j, k),
// 0 <= i < nx, 0 <= j < ny, 0 <= k < nz, holds values[(i * ny + j) * nz + k]
// (k fastest) and lies at origin + (i * cellSize[0], j * cellSize[1],
// k * cellSize[2]) in the space of the operator's "InTransform" object, the
// space of its mesh. The surface is where the field crosses isovalue: inside
// where a value is greater.
struct GlomoraField {
  const float* values;  // nx * ny * nz values, owned by the plug-in, read only
  int32_t nx, ny, nz;   // lattice points per axis: "Resolution_X" + 1, ...
  float cellSize[3];    // "Size_X" / "Resolution_X", ...
  float origin[3];      // the container box's lower corner: -"Size_X" / 2, ...
  float isovalue;       // "Isovalue" at the frame of the field
  int32_t frame;        // the frame the field was simulated to
};

// Fills `field` for the main operator named `operatorFullName` and returns
// true when its latest Glomora_Update extracted its mesh from the voxel
// field: Space 0, not muted, Modes 0 to 2, lattices allocated, a result. In
// Space 1 and in Mode 3 (meshes played back from cache files) there is no
// such field; then, and for an unknown name, returns false and leaves
// `field` untouched. `values` stays valid, unchanged, until the next
// Glomora_Update or Glomora_Term of that operator. Never throws.
GLOMORA_CALLBACK bool Glomora_GetField(const XSI::CString& operatorFullName, GlomoraField& field);

// Version text of the plug-in, "MAJOR.MINOR.PATCH".
GLOMORA_CALLBACK const char* Glomora_Version();

// The cache file the plug-in writes in Mode 2 and reads in Mode 3 for frame
// `frame` when "Cache_filename" holds `cacheFilename` (UTF-8), so that a host
// can find the files: copies the name (UTF-8, "/" as separator) with its
// terminating zero into `path` when `size` leaves room for both, and returns
// its length either way; returns 0 when the plug-in rejects the name (it
// then reads and writes no cache file at all) or memory ran out.
GLOMORA_CALLBACK size_t Glomora_CacheFilePath(const char* cacheFilename, int32_t frame, char* path, size_t size);
