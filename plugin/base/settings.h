#pragma once
// Settings: what one evaluation of the main operator reads from its
// parameters and derives from them, the part of the per-instance state that
// every subsystem reads. The driver fills it (ReadParameters, then
// ReadElementSettings at each frame it evaluates); the subsystems take it
// read-only.
//
// The integer parameters keep the host's value as it was read, so a value
// outside the codes below is possible: each subsystem treats it as doing
// nothing (no surface, no relaxation).

#include <cstdint>

#include "base/numeric.h"
#include "xsi_string.h"

// "Space": which polygonizer makes the surface.
struct Space {
  static constexpr int32_t kVoxelGrid = 0;    // the voxel grid, simulated over frames
  static constexpr int32_t kContinuation = 1;  // the continuation polygonizer, frame by frame
};

// "Mode" of the voxel grid.
struct Mode {
  static constexpr int32_t kDirect = 0;       // one step per evaluation, no frame history
  static constexpr int32_t kSimulate = 1;     // steps every frame since the last one computed
  static constexpr int32_t kWriteCache = 2;   // as kSimulate, and writes a cache file per frame
  static constexpr int32_t kReadCache = 3;    // plays the cache files back
};

// "Polygonization": what a crossed cube becomes.
struct Polygonization {
  static constexpr int32_t kCubeTable = 0;   // the cube table's polygons, as triangles
  static constexpr int32_t kTetrahedra = 1;  // six tetrahedra per cube
  static constexpr int32_t kBoxes = 10;      // one closed box per crossed cube
};

// "Grid_space": how the simulated lattices follow the sampled ones.
struct GridSpace {
  static constexpr int32_t kBothWays = 0;  // relax toward the sample everywhere
  static constexpr int32_t kUpward = 1;    // only where the sample is higher; clear below -isovalue
};

// "Blending_model": each element's contribution to the field.
struct BlendingModel {
  static constexpr int32_t kInverseSquare = 0;
  static constexpr int32_t kPolynomial = 1;
  static constexpr int32_t kExponential = 2;
};

struct Settings {
  XSI::CString fullName;        // full name of the owning main operator, for log lines
  XSI::CString cacheFileBase;   // "Cache_filename" reduced to directory + base name
  bool cacheUsable = false;     // the cache file name passed the name rule
  Int3 resolution{};            // cells per axis
  Float3 size{};                // container box size
  Float3 cellSize{};            // cell edge length per axis
  Float3 inverseCellSize{};     // 1 / cellSize
  Float3 halfSize{};            // size * 0.5
  Float3 inverseResolution{};   // 1 / resolution
  Float3 component{};           // per-axis scale of point elements
  float isovalue = 0.0f;        // iso threshold of the field
  float inverseIsovalue = 0.0f; // 1 / isovalue
  float viscosity = 0.0f;
  float viscosityFactor = 0.0f; // 0.396 * viscosity + 1
  float particleSize = 0.0f;    // diameter of cloud-particle elements
  float pointSize = 0.0f;       // radius of mesh-point elements
  int32_t mode = 0;             // Mode
  int32_t gridSpace = 0;        // GridSpace
  int32_t polygonization = 0;   // Polygonization
  int32_t space = 0;            // Space
  int32_t blendingModel = 0;    // BlendingModel
  int32_t evalFrame = 0;        // frame being evaluated
  int32_t startFrame = 0;       // first frame of the simulation
  int32_t bisectionHalvings = 0;  // "JB_accuracy" + 2: halvings per tracked vertex
  bool jbSimple = false;        // one seed probe per element instead of eight
  bool userNormals = false;
  bool uvSpace = false;
  bool normalsOrUv = false;     // userNormals || uvSpace: the polygonizers make normals
  bool smoothActive = false;
  bool degenerateActive = false;
  bool preserveBoundary = false;
  float smoothStrength = 0.0f;
  float degenerateTolerance = 0.0f;
  bool volumeHyperbolic = false;   // model 0 splats only an element's box
  bool volumeExponential = false;  // model 2 splats only an element's box
  float volumeScale = 0.0f;
  bool mute = false;
  bool container = false;       // draw the container box's outline (voxel grid)
  bool logTime = false;         // log the timing lines
};
