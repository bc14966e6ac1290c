// The voxel-grid step against the sampling and relaxation written out plainly,
// point by point with the host's rotations, on random element sets: all three
// models, the three shapes and an unknown one, rotated, scaled, mirrored,
// subtractive and degenerate elements (zero scale, NaN or huge data), boxes
// wider than a splat chunk, boxes at the lattice faces, normals on and off,
// both update rules, at 1, 2, 3 and 8 threads. All four lattices must agree
// bit for bit after every step, and a whole frame through the host must give the same mesh bytes as
// an extraction of the plainly computed lattices.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "base/allocation.h"
#include "glomora_rig.h"
#include "grid_fixture.h"
#include "host/host_scene.h"
#include "scene/gather_elements.h"
#include "splat_oracle.h"
#include "support/fresh_scene.h"
#include "support/thread_counts.h"

using grid_test::SetBox;
using splat_oracle::PlainLattices;
using splat_oracle::PlainStep;
using splat_oracle::Reset;
using grid_test::SetNormals;
using XSI::CValue;
using XSI::LONG;
using XSI::MATH::CTransformation;
using XSI::MATH::CVector3;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();


// Bit for bit, except that any NaN matches any NaN: where two NaNs meet in
// an operation, which one it passes on (and so its sign) is left to the
// compiler, even between two inlined copies of the same host function.
::testing::AssertionResult SameBits(const float* fast, const std::vector<float>& plain, const char* what) {
  for (size_t p = 0; p < plain.size(); ++p) {
    if (std::memcmp(&fast[p], &plain[p], sizeof(float)) != 0 && !(std::isnan(fast[p]) && std::isnan(plain[p]))) {
      return ::testing::AssertionFailure() << what << " differs at " << p << ": " << fast[p] << " instead of "
                                           << plain[p];
    }
  }
  return ::testing::AssertionSuccess();
}

// Tiled lattices keep no sampled lattice: their simulated ones, made dense.
void ExpectSameLattices(const GridPolygonizer& grid, const PlainLattices& plain) {
  if (grid.storage == LatticeStorage::kSparse) {
    std::vector<float> field(plain.accumulated.size()), normals(plain.accumulatedNormals.size());
    grid.tiledLattice.ToDense(field.data(), normals.data());
    EXPECT_TRUE(SameBits(field.data(), plain.accumulated, "tiled accumulated field"));
    EXPECT_TRUE(SameBits(normals.data(), plain.accumulatedNormals, "tiled accumulated normals"));
    return;
  }
  EXPECT_TRUE(SameBits(grid.sampledField.Data(), plain.sampled, "sampled field"));
  EXPECT_TRUE(SameBits(grid.sampledNormals.Data(), plain.sampledNormals, "sampled normals"));
  EXPECT_TRUE(SameBits(grid.accumulatedField.Data(), plain.accumulated, "accumulated field"));
  EXPECT_TRUE(SameBits(grid.accumulatedNormals.Data(), plain.accumulatedNormals, "accumulated normals"));
}

// A random element as the gatherer would build it for `model` (axis factors
// from the scale and size), then bent: anisotropic or mirrored scale,
// rotation, negative weight, and now and then a degenerate value.
MetaElement RandomElement(std::mt19937& random, const OperatorInstance& in, int model) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  const float span = std::max(std::max(in.settings.size.x, in.settings.size.y), in.settings.size.z);
  MetaElement e{};
  e.centre = Float3{(1.4f * unit(random) - 0.7f) * in.settings.size.x, (1.4f * unit(random) - 0.7f) * in.settings.size.y,
                    (1.4f * unit(random) - 0.7f) * in.settings.size.z};
  e.radius = span * (0.02f + 0.2f * unit(random));
  e.height = e.radius * (0.5f + 2.0f * unit(random));
  const int shape = pick(10);
  e.shape = shape < 4 ? ElementShape::Sphere : shape < 6 ? ElementShape::Cube : shape < 9 ? ElementShape::Cylinder
                                                                                         : ElementShape::Inert;
  e.scale = Float3{0.6f + unit(random), 0.6f + unit(random), 0.6f + unit(random)};
  if (pick(6) == 0) e.scale.y = -e.scale.y;
  e.radialFactor = 1.0f / (e.radius * 2.0f);
  e.axialFactor = 1.0f / (1.41421356f * e.height * 0.25f);
  const float factorY = e.shape == ElementShape::Cylinder ? e.axialFactor : e.radialFactor;
  e.axisFactor = Float3{1.0f / e.scale.x, 1.0f / e.scale.y, 1.0f / e.scale.z};
  if (model != 0) e.axisFactor = Float3{e.axisFactor.x * e.radialFactor, e.axisFactor.y * factorY, e.axisFactor.z * e.radialFactor};
  e.weight = e.scale.y < 0.0f || pick(5) == 0 ? -1.0f : 1.0f;
  switch (pick(8)) {
    case 0:
    case 1: e.inverseAngles = Float3{6.0f * unit(random) - 3.0f, 3.0f * unit(random) - 1.5f, 6.0f * unit(random) - 3.0f}; break;
    case 2: e.inverseAngles = Float3{0.0f, 0.0f, 0.00001f}; break;   // just rotated
    case 3: e.inverseAngles = Float3{0.000009f, -0.000009f, 0.0f}; break;  // nearly zero: not rotated
    default: break;
  }
  if (pick(12) == 0) {
    switch (pick(7)) {
      case 0: e.axisFactor.x = kInf; break;                       // zero scale
      case 1: e.centre.y = kNaN; break;
      case 2: e.centre.z = 1e30f; break;
      case 3: e.axisFactor.z = 3e38f; break;                      // finite, but its products overflow
      case 4: e.radius = 0.0f; break;
      case 5: e.weight = 0.0f; break;
      default: e.inverseAngles.x = kNaN; break;
    }
  }
  return e;
}

struct LatticeShape {
  Int3 cells;
  Float3 size;
};

TEST(SplatDifferential, RandomElementSetsMatchThePlainRecipeBitForBit) {
  // Lattices with odd sizes; one long enough in k that a box is wider than
  // a splat chunk, one so short that boxes meet the faces.
  const LatticeShape shapes[] = {{{13, 11, 17}, {2.0f, 1.6f, 2.4f}},
                                 {{6, 5, 300}, {1.0f, 0.8f, 3.0f}},
                                 {{9, 30, 6}, {1.5f, 3.0f, 1.0f}},
                                 {{2, 3, 2}, {1.0f, 1.0f, 1.0f}}};
  std::mt19937 random(20240611);
  int sets = 0;
  // Model 1 rows eight and four points at a time (where the processor has
  // eight): the same bits.
  for (const bool wide : {true, false})
  for (const int32_t storage : test_support::kLatticeStorages)
  for (const LatticeShape& shape : shapes) {
    SetWideSplatRows(wide);
    for (int model = 0; model <= 2; ++model) {
      for (int normals = 0; normals <= 1; ++normals) {
        SCOPED_TRACE(testing::Message() << shape.cells.x << "x" << shape.cells.y << "x" << shape.cells.z << " model "
                                        << model << " normals " << normals << " storage " << storage << " wide "
                                        << wide);
        const test_support::ScopedLatticeStorage scopedStorage(storage);
        OperatorInstance in;
        SetBox(in, shape.cells, shape.size);
        in.settings.blendingModel = model;
        SetNormals(in, normals != 0, false);
        in.settings.viscosityFactor = 0.396f * 0.7f + 1.0f;
        in.settings.evalFrame = in.settings.startFrame;
        PlainLattices plain;
        Reset(plain, in);
        for (int step = 0; step < 5; ++step, ++sets) {
          SCOPED_TRACE(step);
          // Steps vary the update rule (4: none), the iso value (a lower one
          // widens the boxes; at or below 0, zero lies inside), the bounding
          // switches and the box scale of models 0 and 2.
          in.settings.gridSpace = step == 4 ? 2 : step % 2;
          in.settings.isovalue = step == 2 ? 0.4f : step == 3 ? -0.3f : step == 1 ? 0.0f : 1.0f;
          in.settings.inverseIsovalue = 1.0f / in.settings.isovalue;
          in.settings.volumeHyperbolic = step != 1;
          in.settings.volumeExponential = step != 3;
          in.settings.volumeScale = step == 3 ? 0.6f : 1.0f;
          std::vector<MetaElement> elements;
          const int count = 1 + static_cast<int>(random() % 24);
          for (int n = 0; n < count; ++n) elements.push_back(RandomElement(random, in, model));
          const int32_t elementCount = count;
          {
            // Each step at another thread count.
            const test_support::ScopedThreadCount threads(test_support::kThreadCounts[step % 4]);
            in.gridPolygonizer.SimulateStep(in.settings, elements.data(), elementCount);
          }
          ASSERT_EQ(in.gridPolygonizer.storage, storage);
          PlainStep(in, elements, plain);
          ExpectSameLattices(in.gridPolygonizer, plain);
          if (HasFailure()) {
            SetWideSplatRows(true);
            return;
          }
          in.settings.evalFrame = in.settings.startFrame + step + 1;
        }
      }
    }
  }
  SetWideSplatRows(true);
  EXPECT_EQ(sets, 2 * 2 * 4 * 3 * 2 * 5);
}

// Hand-built element sets against the same recipe: four elements of every
// shape over 18 steps (both update rules, the three models, bounded and
// whole-lattice splats, a subtractive element), then 300 elements, a third of
// them rotated, over a lattice long enough in k for several tiles of rows,
// stepped again in reverse order.
TEST(SplatDifferential, StorageChangesCarryTheFieldOverAndResolutionChangesReset) {
  // One simulation whose lattice storage changes from step to step (the
  // field carried into the other storage), with a resolution change and a
  // return to the start frame on the way: against the plain recipe.
  std::mt19937 random(31);
  OperatorInstance in;
  SetBox(in, Int3{17, 12, 21}, Float3{2.0f, 1.5f, 2.5f});
  SetNormals(in, true, false);
  in.settings.viscosityFactor = 0.396f * 1.2f + 1.0f;
  in.settings.evalFrame = in.settings.startFrame;
  PlainLattices plain;
  Reset(plain, in);
  const int32_t storages[] = {LatticeStorage::kSparse, LatticeStorage::kDense, LatticeStorage::kSparse,
                              LatticeStorage::kSparse, LatticeStorage::kDense, LatticeStorage::kSparse};
  for (int step = 0; step < 6; ++step) {
    SCOPED_TRACE(step);
    const test_support::ScopedLatticeStorage storage(storages[step]);
    const test_support::ScopedThreadCount threads(test_support::kThreadCounts[step % 4]);
    if (step == 3) SetBox(in, Int3{9, 14, 10}, Float3{2.0f, 1.5f, 2.5f});  // frame 5: no start, but a new lattice
    if (step == 5) in.settings.evalFrame = in.settings.startFrame;
    in.settings.viscosityFactor = 0.396f * 1.2f + 1.0f;
    SetNormals(in, true, false);
    in.settings.gridSpace = step % 2;
    if (step == 3 || step == 5) Reset(plain, in);
    std::vector<MetaElement> elements;
    for (int n = 0; n < 12; ++n) elements.push_back(RandomElement(random, in, 1));
    in.gridPolygonizer.SimulateStep(in.settings, elements.data(), static_cast<int32_t>(elements.size()));
    ASSERT_TRUE(in.gridPolygonizer.ready);
    ASSERT_EQ(in.gridPolygonizer.storage, storages[step]);
    PlainStep(in, elements, plain);
    ExpectSameLattices(in.gridPolygonizer, plain);
    in.settings.evalFrame += 1;
  }
}

TEST(SplatDifferential, HandBuiltElementSetsMatchThePlainRecipeBitForBit) {
  {
    SCOPED_TRACE("four elements, every rule and model");
    OperatorInstance in;
    SetBox(in, Int3{12, 9, 70}, Float3{2.0f, 1.5f, 6.0f});
    SetNormals(in, true, false);
    in.settings.viscosityFactor = 0.396f * 2.0f + 1.0f;
    in.settings.isovalue = 0.5f;
    in.settings.inverseIsovalue = 2.0f;
    in.settings.volumeScale = 0.8f;
    PlainLattices plain;
    Reset(plain, in);
    const ElementShape shapes[3] = {ElementShape::Sphere, ElementShape::Cube, ElementShape::Cylinder};
    int step = 0;
    for (int gridSpace = 0; gridSpace <= 1; ++gridSpace) {
      for (int model = 0; model <= 2; ++model) {
        for (int frame = 0; frame < 3; ++frame, ++step) {
          SCOPED_TRACE(testing::Message() << "grid space " << gridSpace << " model " << model << " frame " << frame);
          in.settings.gridSpace = gridSpace;
          in.settings.blendingModel = model;
          in.settings.volumeHyperbolic = frame != 1;  // frame 1 splats models 0 and 2 over the whole lattice
          in.settings.volumeExponential = frame != 1;
          std::vector<MetaElement> elements;
          for (int n = 0; n < 4; ++n) {
            const float shift = 0.37f * static_cast<float>(step + n);
            MetaElement e = grid_test::Sphere(
                Float3{std::fmod(shift, 1.8f) - 0.9f, 0.3f - 0.2f * n, std::fmod(3.1f * shift, 5.0f) - 2.5f},
                0.2f + 0.05f * n, model, n == 3 ? -1.0f : 1.0f);
            e.shape = shapes[(step + n) % 3];
            e.axisFactor.y *= 1.5f;
            e.height = 0.9f;
            elements.push_back(e);
          }
          in.gridPolygonizer.SimulateStep(in.settings, elements.data(), static_cast<int32_t>(elements.size()));
          PlainStep(in, elements, plain);
          ExpectSameLattices(in.gridPolygonizer, plain);
        }
      }
    }
  }
  {
    SCOPED_TRACE("300 elements over a long lattice");
    OperatorInstance in;
    SetBox(in, Int3{6, 9, 2048}, Float3{1.2f, 1.8f, 40.0f});
    SetNormals(in, true, false);
    in.settings.viscosityFactor = 0.396f * 1.0f + 1.0f;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<MetaElement> elements;
    for (int n = 0; n < 300; ++n) {
      MetaElement e = grid_test::Sphere(
          Float3{1.4f * unit(random) - 0.7f, 2.0f * unit(random) - 1.0f, 42.0f * unit(random) - 21.0f},
          0.15f + 0.2f * unit(random), 1, n % 5 == 4 ? -1.0f : 1.0f);
      if (n % 3 == 0) e.inverseAngles = Float3{unit(random) - 0.5f, 2.0f * unit(random), -unit(random)};
      e.shape = n % 7 == 0 ? ElementShape::Cylinder : ElementShape::Sphere;
      elements.push_back(e);
    }
    PlainLattices plain;
    Reset(plain, in);
    for (int frame = 0; frame < 2; ++frame) {
      SCOPED_TRACE(frame);
      if (frame == 1) std::reverse(elements.begin(), elements.end());
      in.gridPolygonizer.SimulateStep(in.settings, elements.data(), static_cast<int32_t>(elements.size()));
      PlainStep(in, elements, plain);
      ExpectSameLattices(in.gridPolygonizer, plain);
    }
  }
}

TEST(SplatDifferential, MeasuresAtTheModelOneCutOffsMatch) {
  // Spheres whose axis factors step through a narrow window so that lattice
  // points land within a few units in the last place of the kernel's cut-off
  // (0.5) and of the normal factor's (d^1.5 = 0.5, d near 0.63). Points at
  // or past a cut-off must add exactly nothing, points before it their value.
  OperatorInstance in;
  SetBox(in, Int3{16, 16, 16}, Float3{2.0f, 2.0f, 2.0f});  // cell 0.125
  SetNormals(in, true, false);
  PlainLattices plain;
  Reset(plain, in);
  for (float level : {0.5f, 0.62996f}) {
    SCOPED_TRACE(level);
    std::vector<MetaElement> elements;
    // A point three cells from the centre along k has d = (0.375 af)^2.
    const float base = std::sqrt(level) / 0.375f;
    float af = base;
    for (int n = 0; n < 600; ++n) af = std::nextafter(af, 0.0f);
    for (int n = 0; n < 1200; ++n, af = std::nextafter(af, kInf)) {
      MetaElement e = grid_test::Sphere(Float3{0.0f, 0.0f, 0.0f}, 0.5f);
      e.axisFactor = Float3{af, af, af};
      e.weight = n % 2 == 0 ? 1.0f : -1.0f;
      elements.push_back(e);
    }
    const int32_t count = static_cast<int32_t>(elements.size());
    in.gridPolygonizer.SimulateStep(in.settings, elements.data(), count);
    PlainStep(in, elements, plain);
    ExpectSameLattices(in.gridPolygonizer, plain);
  }
}

TEST(SplatDifferential, WithoutRoomForThePlanTheStepWorksInBatchesAndMatches) {
  // The plan's five buffers are refused one after another (the first, the
  // second, ...; the last case refuses none): the step then plans batches of
  // elements for every slab on the stack. More elements than one batch
  // holds, on a lattice of several slabs and tiles; the next step has room.
  // The thread count changes from case to case.
  std::mt19937 random(99);
  for (int refused = 0; refused <= 5; ++refused) {
    for (int model = 0; model <= 2; ++model) {
      const int threadCount = test_support::kThreadCounts[(refused + model) % 4];
      SCOPED_TRACE(testing::Message() << "refused after " << refused << " model " << model << ", " << threadCount
                                      << " threads");
      const test_support::ScopedThreadCount threads(threadCount);
      OperatorInstance in;
      SetBox(in, Int3{7, 20, 70}, Float3{1.4f, 4.0f, 9.0f});
      SetNormals(in, true, false);
      in.settings.blendingModel = model;
      in.settings.volumeHyperbolic = true;
      in.settings.volumeExponential = true;
      in.settings.viscosityFactor = 0.396f * 0.3f + 1.0f;
      in.settings.evalFrame = in.settings.startFrame;
      ASSERT_TRUE(in.gridPolygonizer.EnsureGrids(in.settings));
      PlainLattices plain;
      Reset(plain, in);
      for (int step = 0; step < 2; ++step) {
        std::vector<MetaElement> elements;
        for (int n = 0; n < 90; ++n) elements.push_back(RandomElement(random, in, model));
        elements[5].inverseAngles = Float3{0.3f, -0.2f, 0.1f};  // at least one rotation to keep
        const int32_t count = static_cast<int32_t>(elements.size());
        if (step == 0) allocation_faults::FailAfter(refused);
        in.gridPolygonizer.SimulateStep(in.settings, elements.data(), count);
        allocation_faults::Clear();
        PlainStep(in, elements, plain);
        ExpectSameLattices(in.gridPolygonizer, plain);
        if (HasFailure()) return;
        in.settings.evalFrame += 1;
      }
    }
  }
}

// A whole frame as the host runs it: a particle cloud, a rotated cube and a
// scaled cylinder gathered through the host, one step per frame, then the
// extraction; against the plain lattices, extracted by the same extraction.
class SplatFrame : public ::testing::Test {
 protected:
  SplatFrame() {
    const XSI::CRef cloud = rig.AddSource(L"spray", L"cloud");
    XSI::Host::Scene& scene = XSI::Host::Scene::Get();
    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (double frame : {1.0, 2.0, 3.0}) {
      XSI::MATH::CVector3Array points;
      for (int p = 0; p < 1500; ++p) {
        const double x = 0.6 * unit(random), y = 0.6 * unit(random);
        points.Add(CVector3(x, y, 0.5 * x * y + 0.3 * unit(random) + 0.1 * frame));
      }
      scene.SetPointsAtFrame(cloud, frame, points);
    }
    const XSI::CRef cube = rig.AddSource(L"box", L"cube");
    XSI::Host::AnimatedPose pose;
    pose.translation = XSI::Host::AnimatedVector(0.3, -0.2, 0.1);
    pose.rotationDegrees = XSI::Host::AnimatedVector(30.0, -20.0, 45.0);
    pose.scaling = XSI::Host::AnimatedVector(0.2, 0.15, 0.25);
    scene.SetPose(scene.GetKinematics(cube), pose);
    const XSI::CRef cylinder = rig.AddSource(L"tube", L"cylinder");
    XSI::Host::AnimatedPose tube;
    tube.translation = XSI::Host::AnimatedVector(-0.4, 0.3, -0.2);
    tube.scaling = XSI::Host::AnimatedVector(0.1, 0.3, -0.1);  // mirrored: subtractive
    scene.SetPose(scene.GetKinematics(cylinder), tube);
    rig.SetParameter(L"Space", CValue(LONG{0}));
    rig.SetParameter(L"Mode", CValue(LONG{0}));
    for (const wchar_t* axis : {L"Size_X", L"Size_Y", L"Size_Z"}) rig.SetParameter(axis, CValue(2.0));
    for (const wchar_t* axis : {L"Resolution_X", L"Resolution_Y", L"Resolution_Z"}) rig.SetParameter(axis, CValue(LONG{27}));
    rig.SetParameter(L"Particle_size", CValue(0.12));
    rig.SetParameter(L"Viscosity", CValue(0.5));
    rig.Init();
  }
  ~SplatFrame() override { rig.Term(); }

  OperatorInstance& Instance() {
    return *static_cast<OperatorInstance*>(static_cast<void*>(XSI::Host::Scene::Get().MakeContext(rig.op).GetUserData()));
  }

  FreshScene fresh;
  GlomoraRig rig;
};

TEST_F(SplatFrame, MeshBytesMatchAnExtractionOfThePlainLattices) {
  for (int model = 0; model <= 2; ++model) {
    for (int normals = 0; normals <= 1; ++normals) {
      SCOPED_TRACE(testing::Message() << "model " << model << " normals " << normals);
      rig.SetParameter(L"Blending_model", CValue(static_cast<LONG>(model)));
      rig.SetParameter(L"User_normals", CValue(normals != 0));
      PlainLattices plain;
      for (double frame : {1.0, 2.0, 3.0}) {
        SCOPED_TRACE(frame);
        ASSERT_EQ(rig.Update(frame), XSI::CStatus::OK);
        OperatorInstance& in = Instance();
        if (frame == 1.0) Reset(plain, in);
        int32_t count = 0;
        MetaElement* gathered = GatherElements(count, in.settings, XSI::Operator(rig.op), true);
        ASSERT_NE(gathered, nullptr);
        const std::vector<MetaElement> elements(gathered, gathered + count);
        std::free(gathered);
        PlainStep(in, elements, plain);
        ExpectSameLattices(in.gridPolygonizer, plain);

        // The frame's mesh, then the mesh of the plain lattices.
        const XSI::MATH::CVector3Array vertices = in.mesh.vertices;
        const XSI::CLongArray polygons = in.mesh.polygons;
        const XSI::CDoubleArray nodeValues = in.mesh.nodeValues;
        EXPECT_GT(polygons.GetCount(), 100);
        std::memcpy(in.gridPolygonizer.accumulatedField.Data(), plain.accumulated.data(), plain.accumulated.size() * 4);
        std::memcpy(in.gridPolygonizer.accumulatedNormals.Data(), plain.accumulatedNormals.data(),
                    plain.accumulatedNormals.size() * 4);
        MeshArrays plainMesh;
        in.gridPolygonizer.ExtractAndCache(in.settings, in.cubeTable, plainMesh, false);
        const XSI::MATH::CVector3Array& plainVertices = plainMesh.vertices;
        const XSI::CLongArray& plainPolygons = plainMesh.polygons;
        const XSI::CDoubleArray& plainNodeValues = plainMesh.nodeValues;
        ASSERT_EQ(vertices.GetCount(), plainVertices.GetCount());
        ASSERT_EQ(polygons.GetCount(), plainPolygons.GetCount());
        ASSERT_EQ(nodeValues.GetCount(), plainNodeValues.GetCount());
        EXPECT_EQ(std::memcmp(vertices.GetArray(), plainVertices.GetArray(), vertices.GetCount() * sizeof(CVector3)), 0);
        EXPECT_EQ(std::memcmp(polygons.GetArray(), plainPolygons.GetArray(), polygons.GetCount() * sizeof(LONG)), 0);
        if (nodeValues.GetCount() > 0) {
          EXPECT_EQ(std::memcmp(nodeValues.GetArray(), plainNodeValues.GetArray(), nodeValues.GetCount() * sizeof(double)),
                    0);
        }
        EXPECT_EQ(nodeValues.GetCount(), normals != 0 ? vertices.GetCount() * 3 : 0);
      }
    }
  }
}

}  // namespace
