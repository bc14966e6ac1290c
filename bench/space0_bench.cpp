// Space 0 surfacing of a particle cloud through the host (see bench/README.md).
//
// The cloud is particles_P.f32 of the peer data (rows x, y, z, r; r = 0.02),
// shifted by -0.5 so that the unit box is centred on the origin, connected to
// a GlomoraRig with Particle_size 2r. The operator runs Space 0, Mode 0,
// container Size 1 with N cells per axis, Blending_model 1, iso value 1,
// viscosity 0, no post-processing; normals ("User_normals") off or on.
//
//   BM_Frame/P/N/normals     rig.Update(frame), one direct step per frame, as
//                            the host runs it (frames 2, 3, ... after a first
//                            evaluation at the start frame that allocates)
//   BM_Gather/P/N            GatherElements alone
//   BM_Simulate/P/N/normals  SimulateStep alone, on the gathered elements
//   BM_Extract/P/N/normals   ExtractAndCache alone, of the simulated field
//   BM_FrameVolume/P/N       the frame's field as an OpenVDB file (glomora
//                            --volume's EncodeFieldVolume: the bytes, not
//                            the disk)
//   BM_FrameVelocity/P/N     BM_Frame with every particle carrying a velocity
//                            ("v") gathered beside its element, then the
//                            velocity carried onto the frame's vertices
//                            (Glomora_TransferAttribute): the frame as
//                            glomora run writes one with "velocity_attribute"
//   BM_VelocityTransfer/P/N  the transfer alone, on the latest frame's mesh
//   BM_FramePreview/P/N/png  the frame's 768 x 768 picture (glomora
//                            --preview): drawn, and with png:1 also encoded
//                            as PNG (not written)
//
// The data folder comes from --data=DIR or the environment variable
// GLOMORA_PEER_DATA.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/allocation.h"
#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "front/operator_instance.h"
#include "camera.h"
#include "field_volume.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "mesh_renderer.h"
#include "png_image.h"
#include "scene/gather_elements.h"
#include "xsi_operator.h"
#include "peer_data.h"

namespace {

using XSI::CValue;
using XSI::LONG;

bool ReadParticles(int count, std::vector<float>& rows) {
  return ReadPeerFloats("particles_" + std::to_string(count) + ".f32", rows, static_cast<size_t>(count) * 4);
}

// The rig with the cloud connected and the operator evaluated once at the
// start frame (which allocates the lattices).
struct Setup {
  std::unique_ptr<GlomoraRig> rig;
  OperatorInstance* instance = nullptr;
  double nextFrame = 2.0;
};

bool MakeSetup(benchmark::State& state, int particles, int n, bool normals, Setup& setup, bool velocity = false) {
  std::vector<float> rows;
  if (!ReadParticles(particles, rows)) {
    state.SkipWithError("particle file missing: run gen_scenes.py and pass --data=DIR");
    return false;
  }
  XSI::Host::Scene& scene = XSI::Host::Scene::Get();
  scene.Reset();
  setup.rig = std::make_unique<GlomoraRig>(L"surf");
  GlomoraRig& rig = *setup.rig;
  XSI::MATH::CVector3Array points;
  for (int p = 0; p < particles; ++p) {
    const float* row = &rows[static_cast<size_t>(p) * 4];
    points.Add(XSI::MATH::CVector3(static_cast<double>(row[0]) - 0.5, static_cast<double>(row[1]) - 0.5,
                                   static_cast<double>(row[2]) - 0.5));
  }
  const XSI::CRef cloud = rig.AddSource(L"spray", L"cloud");
  scene.SetPoints(cloud, points);
  // A swirl: each particle's velocity depends on where it is.
  XSI::Host::PointAttribute v{L"v", 3, {}};
  if (velocity) {
    for (int p = 0; p < particles; ++p) {
      const XSI::MATH::CVector3& at = points[p];
      v.values.Add(static_cast<float>(-at.GetZ()));
      v.values.Add(0.25f);
      v.values.Add(static_cast<float>(at.GetX()));
    }
    scene.SetPointAttributes(cloud, {v});
  }
  const char* transfer[] = {"v"};
  Glomora_SetTransferAttributes(transfer, velocity ? 1 : 0);
  rig.SetParameter(L"Space", CValue(LONG{0}));
  rig.SetParameter(L"Mode", CValue(LONG{0}));
  rig.SetParameter(L"Blending_model", CValue(LONG{1}));
  rig.SetParameter(L"User_normals", CValue(normals));
  rig.SetParameter(L"UVspace", CValue(false));
  for (const wchar_t* axis : {L"Size_X", L"Size_Y", L"Size_Z"}) rig.SetParameter(axis, CValue(1.0));
  for (const wchar_t* axis : {L"Resolution_X", L"Resolution_Y", L"Resolution_Z"}) {
    rig.SetParameter(axis, CValue(static_cast<LONG>(n)));
  }
  rig.SetParameter(L"Particle_size", CValue(2.0 * static_cast<double>(rows[3])));
  rig.SetParameter(L"Viscosity", CValue(0.0));
  rig.SetParameter(L"Isovalue", CValue(1.0));
  if (rig.Init() != XSI::CStatus::OK || rig.Update(1.0) != XSI::CStatus::OK) {
    state.SkipWithError("the first evaluation failed");
    return false;
  }
  setup.instance = FindInstance(L"surf.polymsh.GlomoraGeometry.Glomora");
  if (setup.instance == nullptr || !setup.instance->gridPolygonizer.ready || setup.instance->mesh.polygons.GetCount() == 0) {
    state.SkipWithError("no surface after the first evaluation");
    return false;
  }
  return true;
}

void Counters(benchmark::State& state, const OperatorInstance& in, int n) {
  state.counters["triangles"] = static_cast<double>(in.mesh.polygons.GetCount() / 4);
  state.counters["points_per_s"] = benchmark::Counter(static_cast<double>(n + 1) * (n + 1) * (n + 1),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Frame(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, state.range(2) != 0, setup)) return;
  for (auto _ : state) {
    setup.rig->Update(setup.nextFrame);
    setup.nextFrame += 1.0;
    benchmark::DoNotOptimize(setup.instance->mesh.polygons.GetArray());
  }
  Counters(state, *setup.instance, n);
  setup.rig->Term();
}

void BM_FrameVelocity(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, false, setup, true)) return;
  std::vector<float> velocities;
  for (auto _ : state) {
    setup.rig->Update(setup.nextFrame);
    setup.nextFrame += 1.0;
    const auto vertices = static_cast<size_t>(setup.instance->mesh.vertices.GetCount());
    velocities.resize(3 * vertices);
    if (!Glomora_TransferAttribute(L"surf.polymsh.GlomoraGeometry.Glomora", "v", 3, velocities.data(), vertices)) {
      state.SkipWithError("the transfer failed");
      break;
    }
    benchmark::DoNotOptimize(velocities.data());
  }
  state.counters["vertices"] = static_cast<double>(setup.instance->mesh.vertices.GetCount());
  Glomora_SetTransferAttributes(nullptr, 0);
  setup.rig->Term();
}

void BM_VelocityTransfer(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, false, setup, true)) return;
  setup.rig->Update(setup.nextFrame);
  const auto vertices = static_cast<size_t>(setup.instance->mesh.vertices.GetCount());
  std::vector<float> velocities(3 * vertices);
  for (auto _ : state) {
    if (!Glomora_TransferAttribute(L"surf.polymsh.GlomoraGeometry.Glomora", "v", 3, velocities.data(), vertices)) {
      state.SkipWithError("the transfer failed");
      break;
    }
    benchmark::DoNotOptimize(velocities.data());
  }
  state.counters["vertices"] = static_cast<double>(vertices);
  Glomora_SetTransferAttributes(nullptr, 0);
  setup.rig->Term();
}

void BM_Gather(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, false, setup)) return;
  const XSI::Operator op(setup.rig->op);
  for (auto _ : state) {
    int32_t count = 0;
    std::unique_ptr<MetaElement, FreeDeleter> elements(GatherElements(count, setup.instance->settings, op, true));
    benchmark::DoNotOptimize(elements.get());
  }
  state.counters["elements_per_s"] =
      benchmark::Counter(static_cast<double>(particles), benchmark::Counter::kIsIterationInvariantRate);
  setup.rig->Term();
}

void BM_Simulate(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, state.range(2) != 0, setup)) return;
  OperatorInstance& in = *setup.instance;
  int32_t count = 0;
  std::unique_ptr<MetaElement, FreeDeleter> elements(GatherElements(count, in.settings, XSI::Operator(setup.rig->op), true));
  in.settings.evalFrame = in.settings.startFrame + 1;
  for (auto _ : state) {
    in.gridPolygonizer.SimulateStep(in.settings, elements.get(), count);
    benchmark::DoNotOptimize(in.gridPolygonizer.accumulatedField.Data());
  }
  Counters(state, in, n);
  setup.rig->Term();
}

void BM_Extract(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, state.range(2) != 0, setup)) return;
  OperatorInstance& in = *setup.instance;
  for (auto _ : state) {
    in.mesh.vertices.Clear();
    in.mesh.polygons.Clear();
    in.mesh.nodeValues.Clear();
    in.gridPolygonizer.ExtractAndCache(in.settings, in.cubeTable, in.mesh, in.writeCache);
    benchmark::DoNotOptimize(in.mesh.polygons.GetArray());
  }
  Counters(state, in, n);
  setup.rig->Term();
}

void BM_FrameVolume(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, false, setup)) return;
  std::string bytes;
  for (auto _ : state) {
    std::string error;
    if (EncodeFieldVolume(setup.rig->op.GetAsText(), "surf", bytes, error) != VolumeWrite::Written) {
      state.SkipWithError(("no volume: " + error).c_str());
      break;
    }
    benchmark::DoNotOptimize(bytes.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes.size());
  Counters(state, *setup.instance, n);
  setup.rig->Term();
}

void BM_FramePreview(benchmark::State& state) {
  const int particles = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  Setup setup;
  if (!MakeSetup(state, particles, n, false, setup)) return;
  const OperatorInstance& in = *setup.instance;
  MeshData mesh;
  for (XSI::LONG v = 0; v < in.mesh.vertices.GetCount(); ++v) {
    mesh.positions.insert(mesh.positions.end(), {in.mesh.vertices[v].GetX(), in.mesh.vertices[v].GetY(), in.mesh.vertices[v].GetZ()});
  }
  mesh.polygons.assign(in.mesh.polygons.GetArray(), in.mesh.polygons.GetArray() + in.mesh.polygons.GetCount());
  Box3 box;
  box.Add(-0.5, -0.5, -0.5);
  box.Add(0.5, 0.5, 0.5);
  const Camera camera = FrameBox(box, 768, 768);
  MeshRenderer renderer;
  Picture picture;
  std::string bytes;
  for (auto _ : state) {
    renderer.Render(mesh, camera, picture);
    std::string error;
    if (state.range(2) != 0 && !EncodePng(picture, bytes, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(picture.rgb.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes.size());
  Counters(state, in, n);
  setup.rig->Term();
}

void Cases(benchmark::internal::Benchmark* b) {
  for (int n : {64, 128, 256}) {
    for (int particles : {1000, 10000, 100000}) {
      for (int normals : {0, 1}) b->Args({particles, n, normals});
    }
  }
}

void GatherCases(benchmark::internal::Benchmark* b) {
  for (int particles : {1000, 10000, 100000}) b->Args({particles, 128});
}

BENCHMARK(BM_Frame)->Apply(Cases)->ArgNames({"P", "N", "normals"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameVelocity)->Apply(GatherCases)->ArgNames({"P", "N"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VelocityTransfer)->Apply(GatherCases)->ArgNames({"P", "N"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gather)->Apply(GatherCases)->ArgNames({"P", "N"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Simulate)->Apply(Cases)->ArgNames({"P", "N", "normals"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Extract)->Apply(Cases)->ArgNames({"P", "N", "normals"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameVolume)->Apply(GatherCases)->ArgNames({"P", "N"})->Unit(benchmark::kMillisecond);
// The renderer runs on two threads where there are two cores: wall-clock
// time, and the CPU time of both.
BENCHMARK(BM_FramePreview)
    ->ArgsProduct({{1000, 10000, 100000}, {128}, {0, 1}})
    ->ArgNames({"P", "N", "png"})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return RunPeerBenchmarks(argc, argv); }
