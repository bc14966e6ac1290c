// The main operator's callbacks: Init creates and registers the per-instance
// state, Update evaluates it, Term unregisters and destroys it; and the names
// of the cache files, for hosts.

#include <cstring>
#include <new>
#include <string>

#include "base/parallel.h"
#include "front/driver.h"
#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "front/operator_instance.h"
#include "front/parameters.h"
#include "grid/lattice_storage.h"
#include "grid/simulate_step.h"
#include "grid/tiled_lattice.h"
#include "grid/tile_estimate.h"
#include "grid/grid_cache.h"
#include "xsi_application.h"

namespace {

OperatorInstance* InstanceOf(const XSI::UpdateContext& context) {
  return static_cast<OperatorInstance*>(static_cast<void*>(context.GetUserData()));
}

}  // namespace

XSI::CStatus Glomora_Init(XSI::UpdateContext& context) {
  OperatorInstance* instance = nullptr;
  try {
    instance = new OperatorInstance;
  } catch (const std::bad_alloc&) {
    return XSI::CStatus::OutOfMemory;
  }
  context.PutUserData(XSI::CValue(static_cast<void*>(instance)));
  // A record that cannot be registered (its name is taken, or no memory for
  // the entry) still works; the transfer operators just cannot find it.
  RegisterInstance(instance, context.GetOperator().GetFullName());
  return XSI::CStatus::OK;
}

XSI::CStatus Glomora_Update(XSI::UpdateContext& context, XSI::OutputPort& output) {
  if (output.GetName() != L"OutParameter") return XSI::CStatus::OK;
  OperatorInstance* instance = InstanceOf(context);
  if (!instance) return XSI::CStatus::OK;
  try {
    return RunEvaluation(*instance, context, output);
  } catch (const std::bad_alloc&) {
    // A host array could not grow: drop the partial result rather than hand
    // it on, and report the frame as empty.
    instance->mesh.Clear();
    // The lattices may have advanced by frames that the frame bookkeeping
    // never recorded; stepping them again would simulate them twice.
    RestartSimulation(*instance);
    XSI::Application().LogMessage(instance->settings.fullName + L" (evaluation) -> not enough memory.", XSI::siInfoMsg);
    return output.PutValue(XSI::CValue(XSI::LONG{0}));
  }
}

XSI::CStatus Glomora_Term(XSI::UpdateContext& context) {
  OperatorInstance* instance = InstanceOf(context);
  if (!instance) return XSI::CStatus::OK;
  UnregisterInstance(instance);
  context.PutUserData(XSI::CValue());
  delete instance;
  return XSI::CStatus::OK;
}

int Glomora_SetThreadCount(int count) { return parallel::SetThreadCount(count); }

int32_t Glomora_SetLatticeStorage(int32_t storage) { return SetLatticeStorage(storage); }

uint64_t Glomora_LatticeBytes(int64_t x, int64_t y, int64_t z, int32_t model, bool volumeHyperbolic,
                              bool volumeExponential) {
  if (x < 1 || y < 1 || z < 1) return 0;
  const auto multiply = [](uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; };
  uint64_t dense = 32;
  for (const int64_t r : {x, y, z}) dense = multiply(dense, static_cast<uint64_t>(r) + 1);
  // An axis beyond a tiled lattice's reach makes no lattice: the dense figure refuses it.
  if (x >= kMaxTiledAxisPoints || y >= kMaxTiledAxisPoints || z >= kMaxTiledAxisPoints) return dense;
  Settings settings;
  settings.resolution = Int3{static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(z)};
  settings.blendingModel = model;
  settings.volumeHyperbolic = volumeHyperbolic;
  settings.volumeExponential = volumeExponential;
  settings.viscosityFactor = 1.0f;
  // Dense lattices of more than INT32_MAX points are refused by the grid:
  // their figure is the dense one all the same.
  if (!UseTiledLattice(settings)) return dense;
  const auto points = [](int64_t r) { return static_cast<uint64_t>(r) + 1; };
  const auto tiles = [](int64_t r) { return (static_cast<uint64_t>(r) + kTileSide) / kTileSide; };
  const uint64_t table = multiply(multiply(multiply(tiles(x), tiles(y)), tiles(z)), 2 * sizeof(float*));
  const uint64_t slabs = multiply(multiply(points(y), points(z)),
                                  kSampledSlabPlanes * 16 * static_cast<uint64_t>(parallel::ThreadCount()));
  const uint64_t signs = multiply(multiply(points(x), points(y)), (points(z) + 63) / 64 * 8);
  const uint64_t sum = table + slabs;
  return sum < table || sum + signs < sum ? UINT64_MAX : sum + signs;
}

bool Glomora_GetLatticeStats(const XSI::CString& operatorFullName, GlomoraLatticeStats& stats) {
  const OperatorInstance* in = FindInstance(operatorFullName);
  if (in == nullptr || !in->gridPolygonizer.ready) return false;
  const GridPolygonizer& grid = in->gridPolygonizer;
  stats.storage = grid.storage;
  stats.tiles = grid.storage == LatticeStorage::kSparse ? grid.tiledLattice.FieldTileCount() : 0;
  stats.bytes = grid.LatticeBytes();
  return true;
}

uint64_t Glomora_SetLatticeBudget(uint64_t bytes) { return SetLatticeBudget(bytes); }

bool Glomora_GetTileEstimate(const XSI::CString& operatorFullName, GlomoraTileEstimate& estimate) {
  const OperatorInstance* in = FindInstance(operatorFullName);
  if (in == nullptr) return false;
  const TileEstimate& e = in->tileEstimate;
  estimate.made = e.made ? 1 : 0;
  estimate.overBudget = e.overBudget ? 1 : 0;
  estimate.frame = e.frame;
  estimate.tiles = e.tiles;
  estimate.bytes = e.bytes;
  return true;
}

const char* Glomora_Version() { return GLOMORA_VERSION; }

size_t Glomora_CacheFilePath(const char* cacheFilename, int32_t frame, char* path, size_t size) {
  if (!cacheFilename) return 0;
  try {
    XSI::CString base(cacheFilename);
    if (!ApplyCacheFileNameRule(base)) return 0;
    const std::string name = GridCacheFileName(base, frame).GetAsciiString();
    if (path && name.size() < size) std::memcpy(path, name.c_str(), name.size() + 1);
    return name.size();
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
