#pragma once
// OperatorInstance: the per-instance state of one main operator: the parameter
// values of its latest evaluation and the settings derived from them, the
// MeshArrays holding the latest result, the cube table, the two polygonizers
// and the driver's frame bookkeeping. Created by Glomora_Init, carried as the
// operator's user data, destroyed by Glomora_Term.

#include <cstdint>

#include "field/numeric.h"
#include "grid/grid_polygonizer.h"
#include "tracker/continuation_polygonizer.h"
#include "tracker/cube_table.h"
#include "xsi_arrays.h"
#include "xsi_math.h"
#include "xsi_string.h"

// No frame evaluated yet; below any frame a scene uses.
constexpr int32_t kNeverFrame = -99999999;

struct OperatorInstance {
  OperatorInstance();
  ~OperatorInstance();
  OperatorInstance(const OperatorInstance&) = delete;
  OperatorInstance& operator=(const OperatorInstance&) = delete;

  XSI::CString fullName;        // full name of the owning main operator; the registry key
  XSI::CString cacheFileBase;   // "Cache_filename" reduced to directory + base name
  bool cacheUsable = false;     // the cache file name passed the name rule
  Int3 resolution{};            // cells per axis
  Int3 allocatedResolution{0, 0, 0};  // resolution the voxel grids were last allocated for
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
  int32_t mode = 0;             // 0..3
  int32_t gridSpace = 0;        // grid update rule
  int32_t polygonization = 0;   // 0 cube table, 1 tetrahedra, 10 boxes
  int32_t space = 0;            // 0 voxel grid, 1 continuation polygonizer
  int32_t evalFrame = 0;        // frame being evaluated
  int32_t startFrame = 0;       // first frame of the simulation
  int32_t jbAccuracy = 0;       // "JB_accuracy" + 2
  int32_t blendingModel = 0;    // 0, 1 or 2
  bool gridReady = false;       // the four voxel grids are allocated for allocatedResolution
  bool jbSimple = false;
  bool userNormals = false;
  bool uvSpace = false;
  bool normalsOrUv = false;
  bool smoothActive = false;
  bool degenerateActive = false;
  bool preserveBoundary = false;
  float smoothStrength = 0.0f;
  float degenerateTolerance = 0.0f;
  bool volumeHyperbolic = false;
  bool volumeExponential = false;
  float volumeScale = 0.0f;
  CubeTable cubeTable;          // built at construction
  // MeshArrays: the result of the latest evaluation.
  XSI::MATH::CVector3Array vertices;  // one point per vertex
  XSI::CLongArray polygons;           // per polygon: vertex count n, then n indices
  XSI::CDoubleArray nodeValues;       // three values (the normal) per vertex, when normals or UVs are on
  GridPolygonizer gridPolygonizer;
  ContinuationPolygonizer continuationPolygonizer;
  int32_t clockStart = 0;       // clock (ms) at the start of the current timed stage
  int32_t clockEnd = 0;         // clock (ms) at the end of the last timed stage
  bool mute = false;
  bool container = false;
  bool resultValid = false;     // the MeshArrays hold the result of the latest evaluation
  bool logTime = false;
  int32_t framesToRecompute = 0;
  int32_t lastComputedFrame = kNeverFrame;
  int32_t previousFrame = kNeverFrame;
  int32_t loopFrame = 0;
  bool computeNow = false;
  bool writeCache = false;
  bool readCache = false;
  int32_t vertexCount = 0;      // entries of vertices
  int32_t polygonCount = 0;     // entries of polygons / 4
  int32_t nodeValueCount = 0;   // entries of nodeValues
};
