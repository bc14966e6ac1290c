#pragma once
// OpenVDB files: the voxel field written as a float grid, particle positions
// read from a points grid. The only code that includes OpenVDB's headers
// (one translation unit of them costs about 24 s and 1 GiB to compile), so
// its callers see only these few plain types. That code is the module
// libglomora_vdb.so, loaded by the first call of a function below (see
// vdb_loader.cpp): a process that never writes a volume nor reads a .vdb file
// never loads OpenVDB and the libraries it needs.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A lattice of floats placed in space, as EncodeFieldVdb writes it.
struct FieldLattice {
  const float* values = nullptr;  // nx * ny * nz values, point (i, j, k) at values[(i * ny + j) * nz + k]
  int32_t nx = 0;
  int32_t ny = 0;
  int32_t nz = 0;
  double voxelSize[3] = {1.0, 1.0, 1.0};  // spacing of the points per axis, above 0
  double origin[3] = {0.0, 0.0, 0.0};     // position of point (0, 0, 0)
  // Null, or three floats per lattice point in the same order: written as a
  // second grid "v" (vec3s) beside "density", same transform and metadata,
  // active exactly where the density is.
  const float* velocity = nullptr;
};

// What the grid's metadata says about the field.
struct FieldLabels {
  float isovalue = 0.0f;  // metadata "isovalue" (float)
  std::string scene;      // metadata "scene" (string)
  int64_t frame = 0;      // metadata "frame" (int64)
  std::string creator;    // the grid's creator
};

// Loads the module now if it is not loaded yet: true when its functions can
// be called, else false with a message naming the file in `error` (the same
// message every function below then gives). A run that will write volumes
// asks first, so that a broken installation stops it before its first frame.
bool LoadVdbModule(std::string& error);

// The bytes of an OpenVDB file holding one float grid named "density"
// (and the vector grid "v" after it when the lattice has a velocity):
// lattice point (i, j, k) is voxel (i, j, k), the transform maps it to
// origin + (i, j, k) * voxelSize, the background is 0 and exactly the
// non-zero values are active. The file's identifier (a UUID, random in
// OpenVDB's own writer) is derived from the rest of the file, so the same
// field always gives the same bytes. False with a message in `error` when
// the lattice is empty, OpenVDB fails (out of memory) or the module cannot
// be loaded.
bool EncodeFieldVdb(const FieldLattice& lattice, const FieldLabels& labels, std::string& bytes, std::string& error);

// The same field kept in tiles of 8 x 8 x 8 lattice points, as
// EncodeFieldTilesVdb writes it (the lattice's own tiles: see
// Glomora_GetFieldTiles). Point (i, j, k) of the tile whose first point is
// origin (multiples of 8) is values[((i & 7) * 8 + (j & 7)) * 8 + (k & 7)];
// the points of unlisted tiles, and those of listed ones past the lattice,
// are 0.
struct FieldTile {
  int32_t origin[3] = {0, 0, 0};
  const float* values = nullptr;    // 512 values
  const float* velocity = nullptr;  // with FieldTiles::hasVelocity: 3 floats a point, point p's at 3p
};
struct FieldTiles {
  std::span<const FieldTile> tiles;  // in any order, each tile once
  int32_t nx = 0;
  int32_t ny = 0;
  int32_t nz = 0;
  double voxelSize[3] = {1.0, 1.0, 1.0};
  double origin[3] = {0.0, 0.0, 0.0};
  bool hasVelocity = false;  // write "v" beside "density", as FieldLattice::velocity does
};

// The bytes EncodeFieldVdb makes of the dense form of the same field, byte
// for byte, built a leaf per tile: the memory it takes is that of the tiles
// that hold a value other than 0, not of the lattice. False with a message
// as EncodeFieldVdb, and when a tile lies outside the lattice.
bool EncodeFieldTilesVdb(const FieldTiles& tiles, const FieldLabels& labels, std::string& bytes, std::string& error);

// One per-point attribute of a points grid: `components` floats per point
// (1 or 3), point p's at values[p * components + c].
struct VdbPointAttribute {
  std::string name;
  int32_t components = 1;
  std::vector<float> values;
};

// The points of every points grid of a file, as DecodeVdbPoints reads them.
struct VdbPoints {
  // x, y, z of point p at positions[3p], [3p + 1], [3p + 2].
  std::vector<double> positions;
  // The attributes other than "P" of scalar or three-component value type
  // (float, double, int32, int64, vec3s, vec3d, vec3i) that every points
  // grid of the file has with the same width, in the first grid's order,
  // values converted to float.
  std::vector<VdbPointAttribute> attributes;
};

// The points of every points grid in the OpenVDB file held in `bytes`:
// positions in world space (the grid's transform applied) and attributes,
// grid by grid in file order and in each grid in its own storage order.
// False with a one-line message in `error`, and `points` empty, when the
// bytes are not an OpenVDB file, are damaged (every declared length is
// checked against the bytes before OpenVDB reads them: CheckVdbStructure),
// hold a grid of a type not read or no points grid with positions ("P"), or
// the module cannot be loaded.
bool DecodeVdbPoints(std::span<const uint8_t> bytes, VdbPoints& points, std::string& error);
