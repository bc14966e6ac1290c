// Every parameter of the main operator set to hostile values (zero, negative,
// NaN, infinities, very large and very small), one at a time and in random
// combinations, in both spaces, every mode and polygonization, over small,
// empty, coincident, far-away and non-finite sources. Each evaluation must
// succeed and leave a valid (possibly empty) mesh; what the plug-in refuses it
// says in the log. Memory is bounded by the suite's budget (memory_budget.h).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "hostile_rig.h"
#include "memory_budget.h"
#include "support/fresh_scene.h"
#include "support/thread_counts.h"

using XSI::CValue;
using XSI::LONG;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Parameters read as integers, and their hostile values. 2 * 10^8 cells on one
// axis makes lattices of tens of gigabytes (refused by the budget) even with
// 2 cells on the others; on two or more axes more lattice points than an
// int32 holds (refused outright).
const wchar_t* const kLongParameters[] = {L"Space",        L"Polygonization", L"Grid_space",   L"Mode",
                                          L"Start_frame",  L"Blending_model", L"Resolution_X", L"Resolution_Y",
                                          L"Resolution_Z", L"JB_accuracy"};
const LONG kHostileLongs[] = {0, -1, INT32_MIN, INT32_MAX, 200000000, 2};

// Parameters read as floating point, and their hostile values.
const wchar_t* const kDoubleParameters[] = {
    L"Size_X",      L"Size_Y",         L"Size_Z",
    L"JB_voxelsize", L"Geometry_smooth_strength", L"Geometry_degenerate_tolerance",
    L"Optimization_volume_scale", L"Viscosity", L"Isovalue",
    L"Particle_size", L"Point_size", L"Component_X",
    L"Component_Y", L"Component_Z"};
const double kHostileDoubles[] = {0.0, -1.0, -1e30, kNaN, kInf, -kInf, 1e30, 1e-30, 3e38};

const wchar_t* const kBoolParameters[] = {L"Mute",
                                          L"Log_time",
                                          L"User_normals",
                                          L"UVspace",
                                          L"Container",
                                          L"JB_simple",
                                          L"Geometry_smooth_active",
                                          L"Geometry_degenerate_active",
                                          L"Geometry_preserve_boundary",
                                          L"Optimization_volume_hyperbolic",
                                          L"Optimization_volume_exponential"};

// A JB_voxelsize whose lattice a tracked surface crosses in a few thousand
// cubes: the random combinations must stay quick, and tiny cells (which track
// up to the cube ceiling) have their own test.
constexpr double kQuickVoxelSize = 0.2;

// A scene every case starts from: both spaces get small lattices, normals and
// UVs on, post-processing on, over a sphere, a cube and a cloud.
HostileCase BaseCase(LONG space) {
  HostileCase c;
  c.parameters = {{L"Space", CValue(space)},
                  {L"Mode", CValue(LONG{0})},
                  {L"Resolution_X", CValue(LONG{12})},
                  {L"Resolution_Y", CValue(LONG{12})},
                  {L"Resolution_Z", CValue(LONG{12})},
                  {L"JB_voxelsize", CValue(kQuickVoxelSize)},
                  {L"User_normals", CValue(true)},
                  {L"UVspace", CValue(true)},
                  {L"Geometry_smooth_active", CValue(true)},
                  {L"Geometry_degenerate_active", CValue(true)},
                  {L"Container", CValue(true)}};
  c.sources = {SourceKind::Sphere, SourceKind::Cube, SourceKind::Cloud};
  return c;
}

void Set(HostileCase& c, const wchar_t* name, const CValue& value) {
  for (auto& entry : c.parameters) {
    if (entry.first == name) {
      entry.second = value;
      return;
    }
  }
  c.parameters.emplace_back(name, value);
}

// Values that make Space 1 track a surface up to the cube ceiling (seconds of
// work and up to 2 GB): a tiny voxel size, or point elements stretched without
// bound along an axis. The random combinations leave them out to stay quick;
// HostileTracker runs one.
bool CeilingBound(LONG space, const wchar_t* name, double value) {
  const std::wstring n(name);
  if (n == L"JB_voxelsize") return std::isfinite(value) && value > 0.0 && value < 0.01;
  const bool component = n == L"Component_X" || n == L"Component_Y" || n == L"Component_Z";
  return space == 1 && component && value >= 1e30;
}

}  // namespace

// Dense lattices throughout: the base case's lattice is dense under auto
// anyway, and a hostile resolution such as 200,000,000 x 12 x 12 is then
// refused at once, where tiles would take it (34 G points: 4 GB for the tile
// table and the per-plane counts, and a minute under the sanitizers).
// HostileLattice covers what tiled lattices refuse.
class HostileParameters : public ::testing::TestWithParam<LONG> {
 protected:
  FreshScene fresh;
  const test_support::ScopedLatticeStorage dense{LatticeStorage::kDense};
};

INSTANTIATE_TEST_SUITE_P(Space, HostileParameters, ::testing::Values(LONG{0}, LONG{1}),
                         [](const ::testing::TestParamInfo<LONG>& space) { return "Space" + std::to_string(space.param); });

TEST_P(HostileParameters, EachIntegerParameterAlone) {
  for (const wchar_t* name : kLongParameters) {
    for (const LONG value : kHostileLongs) {
      HostileCase c = BaseCase(GetParam());
      Set(c, name, CValue(value));
      RunHostileCase(c);
    }
  }
}

TEST_P(HostileParameters, EachFloatParameterAlone) {
  for (const wchar_t* name : kDoubleParameters) {
    for (const double value : kHostileDoubles) {
      if (CeilingBound(GetParam(), name, value)) continue;
      HostileCase c = BaseCase(GetParam());
      Set(c, name, CValue(value));
      RunHostileCase(c);
    }
  }
}

TEST_P(HostileParameters, EveryModeAndPolygonizationOverHostileSources) {
  const SourceKind kinds[] = {SourceKind::None,          SourceKind::EmptyCloud,    SourceKind::Coincident,
                              SourceKind::FarAway,       SourceKind::NaNCloud,      SourceKind::InfiniteCloud,
                              SourceKind::HugePrimitive, SourceKind::TinyPrimitive, SourceKind::ZeroScaled,
                              SourceKind::Cylinder};
  for (const LONG mode : {0, 1, 2, 3}) {
    for (const LONG polygonization : {0, 1, 10}) {
      for (const SourceKind kind : kinds) {
        HostileCase c = BaseCase(GetParam());
        Set(c, L"Mode", CValue(mode));
        Set(c, L"Polygonization", CValue(polygonization));
        c.sources = {kind};
        c.frame = 3.0;  // Modes 1 and 2 step from the start frame
        RunHostileCase(c, 2);
      }
    }
  }
}

// A few hundred random combinations of hostile values, with a fixed seed so a
// failure repeats; the trace names the combination.
TEST_P(HostileParameters, RandomCombinations) {
  std::mt19937 random(20261208u + static_cast<unsigned>(GetParam()));
  const SourceKind kinds[] = {SourceKind::Sphere,        SourceKind::Cube,          SourceKind::Cylinder,
                              SourceKind::Cloud,         SourceKind::EmptyCloud,    SourceKind::Coincident,
                              SourceKind::FarAway,       SourceKind::NaNCloud,      SourceKind::InfiniteCloud,
                              SourceKind::HugePrimitive, SourceKind::TinyPrimitive, SourceKind::ZeroScaled};
  const auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 150; ++round) {
    HostileCase c = BaseCase(GetParam());
    const int changes = 1 + static_cast<int>(pick(6));
    for (int k = 0; k < changes; ++k) {
      switch (pick(3)) {
        case 0: {
          const wchar_t* name = kLongParameters[pick(std::size(kLongParameters))];
          if (std::wstring(name) == L"Space") break;  // the space is the suite's parameter
          Set(c, name, CValue(kHostileLongs[pick(std::size(kHostileLongs))]));
          break;
        }
        case 1: {
          const wchar_t* name = kDoubleParameters[pick(std::size(kDoubleParameters))];
          const double value = kHostileDoubles[pick(std::size(kHostileDoubles))];
          if (!CeilingBound(GetParam(), name, value)) Set(c, name, CValue(value));
          break;
        }
        default: Set(c, kBoolParameters[pick(std::size(kBoolParameters))], CValue(pick(2) == 1)); break;
      }
    }
    c.sources.clear();
    const size_t sourceCount = pick(4);
    for (size_t s = 0; s < sourceCount; ++s) c.sources.push_back(kinds[pick(std::size(kinds))]);
    c.frame = static_cast<double>(static_cast<int>(pick(5)) - 1);
    SCOPED_TRACE("round " + std::to_string(round));
    RunHostileCase(c, 1 + static_cast<int>(pick(2)));
    if (::testing::Test::HasFailure()) break;
  }
}

// Dense lattices of more points than an int32 holds, and tiled ones whose
// tile table cannot be had, are refused before any lattice is made, with the
// first lattice's memory line.
TEST(HostileLattice, ResolutionBeyondInt32PointsIsRefusedWithMemoryLine) {
  struct Case {
    int32_t storage;
    LONG resolution;
  };
  for (const Case& size : {Case{LatticeStorage::kDense, 2000}, Case{LatticeStorage::kSparse, LONG{1} << 30}}) {
    SCOPED_TRACE(size.resolution);
    FreshScene fresh;
    const test_support::ScopedLatticeStorage storage(size.storage);
    HostileCase c = BaseCase(0);
    Set(c, L"Resolution_X", CValue(size.resolution));
    Set(c, L"Resolution_Y", CValue(size.resolution));
    Set(c, L"Resolution_Z", CValue(size.resolution));
    const HostileOutcome outcome = RunHostileCase(c);
    EXPECT_EQ(outcome.vertices.GetCount(), 0);
    EXPECT_TRUE(outcome.LogContains(L"hostile.polymsh.GlomoraGeometry.Glomora Voxel grid 1 -> not enough memory."));
  }
}

// Dense lattices within the int32 range but beyond the memory budget: 100000
// x 64 x 64 cells is 4.2e8 points, 1.7 GB per field and 5 GB per gradient
// lattice.
TEST(HostileLattice, ResolutionBeyondTheBudgetIsRefusedWithMemoryLine) {
  FreshScene fresh;
  const test_support::ScopedLatticeStorage dense(LatticeStorage::kDense);
  HostileCase c = BaseCase(0);
  Set(c, L"Resolution_X", CValue(LONG{100000}));
  Set(c, L"Resolution_Y", CValue(LONG{64}));
  Set(c, L"Resolution_Z", CValue(LONG{64}));
  const HostileOutcome outcome = RunHostileCase(c);
  EXPECT_EQ(outcome.vertices.GetCount(), 0);
  EXPECT_TRUE(outcome.LogContains(L" -> not enough memory.")) << "no memory line";
}

// A start frame two billion frames back makes Modes 1 and 2 step through every
// frame since then, with the host's progress bar: the user's Cancel stops the
// loop after the frame it is on (the rig presses it after 64 frames), and the
// frame reached has a mesh.
TEST(HostileFrames, RecomputeLoopFromTheFarPastStopsOnCancel) {
  for (const LONG mode : {1, 2}) {
    SCOPED_TRACE(mode);
    FreshScene fresh;
    HostileCase c = BaseCase(0);
    Set(c, L"Mode", CValue(mode));
    Set(c, L"Start_frame", CValue(LONG{INT32_MIN}));
    c.sources = {SourceKind::Sphere};
    const HostileOutcome outcome = RunHostileCase(c);
    EXPECT_GT(outcome.vertices.GetCount(), 0);
  }
}

// Point elements stretched without bound along X make a surface with no end
// (tracked from the sphere's seeds into it): tracking stops at the cube
// ceiling, keeps what it built and says so.
// Some 10 s of tracking in a release build; minutes under the sanitizers,
// where the tracker's own tests cover the ceiling with a small one.
TEST(HostileTracker, UnboundedSurfaceStopsAtTheCubeCeiling) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "too slow under the sanitizers";
#endif
  FreshScene fresh;
  HostileCase c = BaseCase(1);
  c.sources = {SourceKind::Sphere, SourceKind::Cloud};
  Set(c, L"Component_X", CValue(kInf));
  Set(c, L"User_normals", CValue(false));
  Set(c, L"UVspace", CValue(false));
  Set(c, L"Geometry_smooth_active", CValue(false));
  Set(c, L"Geometry_degenerate_active", CValue(false));
  const HostileOutcome outcome = RunHostileCase(c);
  EXPECT_TRUE(outcome.LogContains(L"hostile.polymsh.GlomoraGeometry.Glomora (polygonizer) -> surface too large, "
                                  L"tracking stopped after 2097152 cubes."));
  EXPECT_GT(outcome.vertices.GetCount(), 0);
}
