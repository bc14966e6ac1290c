#include "grid/lattice_storage.h"

#include <atomic>
#include <cmath>

namespace {
std::atomic<int32_t> requested{LatticeStorage::kAuto};
}  // namespace

int32_t SetLatticeStorage(int32_t storage) {
  if (storage >= LatticeStorage::kAuto && storage <= LatticeStorage::kSparse) requested.store(storage);
  return requested.load();
}

int32_t RequestedLatticeStorage() { return requested.load(); }

bool ElementsReachOnlyTheirBoxes(const Settings& settings) {
  const int32_t model = settings.blendingModel;
  return model == BlendingModel::kPolynomial     ? true
         : model == BlendingModel::kInverseSquare ? settings.volumeHyperbolic
         : model == BlendingModel::kExponential   ? settings.volumeExponential
                                                  : false;
}

bool UseTiledLattice(const Settings& settings) {
  const int32_t storage = requested.load();
  if (storage == LatticeStorage::kDense) return false;
  if (settings.gridSpace == GridSpace::kBothWays && !std::isfinite(1.0f / settings.viscosityFactor)) return false;
  if (storage == LatticeStorage::kSparse) return true;
  if (!ElementsReachOnlyTheirBoxes(settings)) return false;
  const Int3& r = settings.resolution;
  if (r.x <= 0 || r.y <= 0 || r.z <= 0) return false;
  const uint64_t points = (static_cast<uint64_t>(r.x) + 1) * (static_cast<uint64_t>(r.y) + 1) * (static_cast<uint64_t>(r.z) + 1);
  return points >= kSparseLatticePoints;
}
