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

// How the voxel grid (Space 0) keeps its lattices: 0 chooses per evaluation
// (the default: tiles where the field is for large lattices whose elements
// reach only their neighbourhood, dense arrays otherwise), 1 forces dense
// arrays, 2 tiles. Every storage gives the same bytes. Other values change
// nothing; returns the value in effect. Applies to every instance from its
// next evaluation, which carries its field over; call it between
// evaluations, never during one.
GLOMORA_CALLBACK int32_t Glomora_SetLatticeStorage(int32_t storage);

// What a main operator's voxel-grid lattices hold after its latest
// evaluation: their storage (1 dense, 2 tiled), the tiles allocated (field
// tiles of 8 x 8 x 8 points; 0 when dense) and the bytes of the lattices and
// their working buffers. False for an unknown name or lattices not ready.
struct GlomoraLatticeStats {
  int32_t storage;
  uint64_t tiles;
  uint64_t bytes;
};
// The bytes the voxel lattices of an evaluation at resolution x, y, z under
// blending model `model` and the two volume optimisations ask for when they
// are made: dense, 32 bytes a lattice point; tiled, the tile table and the
// step's buffers, the tiles then being allocated as the field reaches them.
// 0 when a resolution is below 1; saturates at UINT64_MAX.
GLOMORA_CALLBACK uint64_t Glomora_LatticeBytes(int64_t x, int64_t y, int64_t z, int32_t model, bool volumeHyperbolic,
                                               bool volumeExponential);

GLOMORA_CALLBACK bool Glomora_GetLatticeStats(const XSI::CString& operatorFullName, GlomoraLatticeStats& stats);

// The bytes the voxel lattices of each instance may take (0, the default: no
// budget). Under a budget, before each step of tiled lattices the plug-in
// bounds the tiles the step may hold (those the field holds, and those the
// index boxes of the frame's elements reach) and refuses a frame whose
// lattices would then need more: it steps nothing and allocates nothing
// (the lattices stay as they are and the frame can be evaluated again),
// leaves the result empty and logs "<fullName> Voxel grid 1 -> not enough
// memory." followed by "<fullName> Voxel grid 1 -> needs N GiB for T
// tiles, above the memory limit of L GiB.". Dense lattices are whole when
// made and are not estimated. Returns the budget in effect. Call it between
// evaluations, never during one.
GLOMORA_CALLBACK uint64_t Glomora_SetLatticeBudget(uint64_t bytes);

// The estimate a main operator's latest evaluation made under the budget:
// whether one was made (tiled lattices under a budget, a frame stepped or
// refused), whether it refused the frame, the frame, the field tiles the
// step could hold at most (never below those it allocated) and the bytes of
// the lattices and buffers with them. False for an unknown name.
struct GlomoraTileEstimate {
  int32_t made;        // 1 when an estimate was made
  int32_t overBudget;  // 1 when the frame was refused for it
  int32_t frame;
  uint64_t tiles;
  uint64_t bytes;
};
GLOMORA_CALLBACK bool Glomora_GetTileEstimate(const XSI::CString& operatorFullName, GlomoraTileEstimate& estimate);

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
  float isovalue;       // "Isovalue" of the latest evaluation, which extracted the mesh
  // The frame the field was last stepped to: the latest evaluation's, or an
  // earlier one when the latest stepped no frame (a recompute loop cancelled
  // before its first step; frames played back in Mode 3 in between leave
  // the field alone).
  int32_t frame;
  // The additive elements of that step: how many (0: none), and their box:
  // each one's centre plus and minus its radius (times its largest scale),
  // in the same space. A surface the box cuts shows where they lie.
  int32_t elementCount;
  float elementsLow[3];
  float elementsHigh[3];
};

// Fills `field` for the main operator named `operatorFullName` and returns
// true when its latest Glomora_Update extracted its mesh from the voxel
// field: Space 0, not muted, Modes 0 to 2, lattices allocated, a result. In
// Space 1 and in Mode 3 (meshes played back from cache files) there is no
// such field; then, and for an unknown name, returns false and leaves
// `field` untouched, as when the lattices are tiled and their dense copy
// (made here, once per field) cannot be had. `values` stays valid, unchanged,
// until the next Glomora_Update or Glomora_Term of that operator. Never throws.
GLOMORA_CALLBACK bool Glomora_GetField(const XSI::CString& operatorFullName, GlomoraField& field);

// The same field as Glomora_GetField, as the lattice keeps it when large:
// in tiles of tileSide x tileSide x tileSide points (tileSide is 8). Tile t
// holds the points origin[0] .. origin[0] + 7 (likewise j, k) of the tile
// whose first point is tiles[t].origin (multiples of 8), point (i, j, k) at
// values[((i & 7) * 8 + (j & 7)) * 8 + (k & 7)] (k fastest). Only the tiles
// holding a value other than +0 are listed, in ascending order of i, then j,
// then k of their origins; every point of an unlisted tile holds +0. The
// tiles on the far faces reach past the lattice (origin + 7 may be nx or
// more): their points beyond it are 0 and no lattice points. The tiles and
// their values are the same bytes whatever the lattice storage
// (Glomora_SetLatticeStorage) and the thread count: with tiled lattices they
// are the lattice's own tiles (nothing is copied), with dense ones copies of
// its non-zero tiles made here, once per field.
struct GlomoraFieldTile {
  int32_t origin[3];     // i, j, k of the tile's first point
  const float* values;   // 512 values, owned by the plug-in, read only
};
struct GlomoraFieldTiles {
  const GlomoraFieldTile* tiles;  // tileCount tiles, owned by the plug-in, read only
  size_t tileCount;
  int32_t tileSide;       // 8
  // As in GlomoraField.
  int32_t nx, ny, nz;
  float cellSize[3];
  float origin[3];
  float isovalue;
  int32_t frame;
  int32_t elementCount;
  float elementsLow[3];
  float elementsHigh[3];
};

// Fills `tiles` and returns true when Glomora_GetField would (for the same
// field), and also for a tiled field of more than 2^31 - 1 points, which
// has no dense copy; never makes a dense copy itself: false, leaving `tiles`
// untouched, when there is no such field or the list (and, for dense
// lattices, the copies) cannot be had. `tiles` and the values stay valid,
// unchanged, until the next Glomora_Update or Glomora_Term of that
// operator. Never throws.
GLOMORA_CALLBACK bool Glomora_GetFieldTiles(const XSI::CString& operatorFullName, GlomoraFieldTiles& tiles);

// 1 when the field Glomora_GetField would hand out lies above its isovalue
// at some lattice point on the container box's faces (the box cuts the
// surface open there), 0 when nowhere, -1 when there is no such field.
// Reads the lattices in their storage: no dense copy of tiled lattices.
GLOMORA_CALLBACK int32_t Glomora_FieldInsideOnBoxFaces(const XSI::CString& operatorFullName);

// Per-point values. The plug-in reads two per-point float attributes of the
// "cloud" and "polymsh" sources it gathers (Geometry::GetPointAttribute), in
// each source's object space:
//   "radius_scale" (1 value per point): multiplies the radius of the point's
//     element ("Particle_size" / 2 for a particle, "Point_size" for a mesh
//     point). A source without it, or whose count differs from its points',
//     is gathered as before, bit for bit.
//   "v" (3 values per point): the point's own velocity, in units per frame.
// Glomora_SetTransferAttributes names the values that later evaluations of
// every instance gather beside each element and keep with the result (none
// by default: nothing is gathered or kept). "v" is the velocity: a point's
// own "v" turned by its source's pose, plus the motion of the pose (the
// source's relative to the "InTransform" object) at the point: the
// difference of where the pose puts it half a frame after and half a frame
// before the frame, or, where the pose does not move on one side of the
// frame (the first key, before which it is held; the last, after which it
// is held; a pause), twice the difference on the other side. Primitives get
// the motion of their centre. Any other name is the sources' per-point
// attribute of that name, zeros for the elements of sources without it.
// Repeated and empty names are dropped; returns the count of names in
// effect. Call it between evaluations, never during one.
GLOMORA_CALLBACK int32_t Glomora_SetTransferAttributes(const char* const* names, int32_t count);

// Carries the value named `name` (one of those asked for) onto the vertices
// of the mesh of the main operator `operatorFullName`'s latest evaluation,
// after post-processing (the positions its GlomoraGeometrySet writes): fills
// values[v * components + c] for its `vertexCount` vertices with the average
// of the elements' values weighted by each element's contribution to the
// field at the vertex under the blending model in use. Elements of negative
// weight carry nothing; the inverse-square and exponential models, which
// have no cut-off, take the elements within three times the polynomial
// model's cull box; a vertex that no element adds to takes its candidates'
// values weighted by 1 / d^2 (d the element's measure), and one that has no
// candidate zeros. Runs on the
// threads of Glomora_SetThreadCount, with the same bytes at any count.
// Returns false, leaving `values` untouched, when there is no such
// operator, its latest evaluation has no result made from gathered elements
// (Mode 3 plays meshes back from cache files; a muted or failed one), the
// name was not asked for before it, `components` is not the value's width
// (3 for "v"; 1 to 4 for the others) or `vertexCount` not the mesh's. Never
// throws.
GLOMORA_CALLBACK bool Glomora_TransferAttribute(const XSI::CString& operatorFullName, const char* name,
                                                int32_t components, float* values, size_t vertexCount);

// The same average at `pointCount` points of the caller's instead of the
// mesh's vertices (x, y, z of point p at points[3p], [3p + 1], [3p + 2], in
// the space of the mesh), such as the lattice points of the voxel field
// (Glomora_GetField). False, leaving `values` untouched, as above (but for
// the vertex count). Never throws.
GLOMORA_CALLBACK bool Glomora_TransferAttributeAt(const XSI::CString& operatorFullName, const char* name,
                                                  int32_t components, const double* points, size_t pointCount,
                                                  float* values);

// Version text of the plug-in, "MAJOR.MINOR.PATCH".
GLOMORA_CALLBACK const char* Glomora_Version();

// The cache file the plug-in writes in Mode 2 and reads in Mode 3 for frame
// `frame` when "Cache_filename" holds `cacheFilename` (UTF-8), so that a host
// can find the files: copies the name (UTF-8, "/" as separator) with its
// terminating zero into `path` when `size` leaves room for both, and returns
// its length either way; returns 0 when the plug-in rejects the name (it
// then reads and writes no cache file at all) or memory ran out.
GLOMORA_CALLBACK size_t Glomora_CacheFilePath(const char* cacheFilename, int32_t frame, char* path, size_t size);
