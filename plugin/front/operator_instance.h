#pragma once
// OperatorInstance: the per-instance state of one main operator: the settings
// of its latest evaluation, the MeshArrays holding the latest result, the
// stage clock, the cube table, the voxel-grid polygonizer and the driver's
// frame bookkeeping. Created by Glomora_Init, carried as the operator's user
// data, destroyed by Glomora_Term. Subsystems take the parts they read
// (Settings, MeshArrays, StageClock), never the whole record.

#include <cstdint>

#include "base/clock.h"
#include "base/mesh_arrays.h"
#include "base/settings.h"
#include "cubes/cube_table.h"
#include "front/field_tile_list.h"
#include "front/transfer_request.h"
#include "grid/grid_polygonizer.h"
#include "grid/tile_estimate.h"

// No frame evaluated yet; below any frame a scene uses.
constexpr int32_t kNeverFrame = -99999999;

struct OperatorInstance {
  OperatorInstance();
  ~OperatorInstance();
  OperatorInstance(const OperatorInstance&) = delete;
  OperatorInstance& operator=(const OperatorInstance&) = delete;

  Settings settings;            // settings.fullName is the registry key
  MeshArrays mesh;              // the result of the latest evaluation
  StageClock clock;
  CubeTable cubeTable;          // built at construction
  GridPolygonizer gridPolygonizer;
  TransferElements transfer;    // kept only while TransferRequest() names something
  TileEstimate tileEstimate;    // the latest evaluation's estimate of its tiles (under a lattice budget)
  mutable FieldTileList fieldTiles;  // made by Glomora_GetFieldTiles

  // The driver's frame bookkeeping.
  int32_t framesToRecompute = 0;  // frames between the last computed one and the current one
  int32_t lastComputedFrame = kNeverFrame;
  int32_t previousFrame = kNeverFrame;
  int32_t loopFrame = 0;          // frame of the recompute loop
  // The frame the voxel lattices were last stepped to (what Glomora_GetField
  // reports): it differs from settings.evalFrame after a frame played back
  // from the cache or a recompute loop cancelled before its first step.
  // Lattices allocated without a step hold the state before the start frame.
  int32_t fieldFrame = kNeverFrame;
  // The additive elements of the step that made the field (what
  // Glomora_GetField reports): how many, and the box of each one's centre
  // plus and minus its radius times its largest scale, in the lattice's space.
  int32_t fieldElements = 0;
  Float3 fieldElementsLow{0.0f, 0.0f, 0.0f};
  Float3 fieldElementsHigh{0.0f, 0.0f, 0.0f};
  bool computeNow = false;        // one step from whatever the lattices hold
  bool writeCache = false;
  bool readCache = false;
};
