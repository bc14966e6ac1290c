// Voxel grid benchmarks on the peer scenes (see bench/README.md), each at
// 1 and 2 threads (Glomora_SetThreadCount), wall-clock time:
//   BM_Extract/N/normals/threads   ExtractAndCache of field_N.f32 (iso 1, cube table)
//   BM_SimulateStep/N/normals/threads   SimulateStep of the 200 elements of
//                          elements_200.f32 as model 1 spheres in the unit box
//   BM_SimulateStepSparse/N/normals/threads   the same on tiled lattices
//                          (the steady state: the tiles made in the first step)
//   BM_LatticePass/N/threads   one pass over the four lattices' memory (a copy
//                          of the sampled lattices into the accumulated ones,
//                          32 bytes per lattice point, split between the
//                          threads): the yardstick for the step
// The data folder comes from --data=DIR or the environment variable
// GLOMORA_PEER_DATA.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/parallel.h"
#include "front/operator_instance.h"
#include "grid/lattice_storage.h"
#include "peer_data.h"

namespace {

// The thread count of a benchmark run, back to one when it ends.
class Threads {
 public:
  explicit Threads(int64_t count) { parallel::SetThreadCount(static_cast<int32_t>(count)); }
  ~Threads() { parallel::SetThreadCount(1); }
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;
};

// The 200 elements as the gatherer would make model 1 spheres of them: the
// unit box shifted to centre on the origin, the offset divided by the diameter.
std::vector<MetaElement> LoadElements() {
  std::vector<float> rows;
  std::vector<MetaElement> elements;
  if (!ReadPeerFloats("elements_200.f32", rows, 200 * 4)) return elements;
  for (int n = 0; n < 200; ++n) {
    const float r = rows[4 * n + 3];
    const float f = 1.0f / (2.0f * r);
    MetaElement e{};
    e.centre = Float3{rows[4 * n] - 0.5f, rows[4 * n + 1] - 0.5f, rows[4 * n + 2] - 0.5f};
    e.scale = Float3{1, 1, 1};
    e.axisFactor = Float3{f, f, f};
    e.radius = r;
    e.height = 1.0f;
    e.radialFactor = f;
    e.axialFactor = f;
    e.weight = 1.0f;
    e.shape = ElementShape::Sphere;
    elements.push_back(e);
  }
  return elements;
}

// An instance over the unit box [0, 1]^3 (size 1 centred on the origin) with
// N cells per axis, iso value 1, viscosity 0, grid space 0, model 1.
std::unique_ptr<OperatorInstance> MakeInstance(int n, bool normals) {
  auto in = std::make_unique<OperatorInstance>();
  in->settings.fullName = L"bench.polymsh.GlomoraGeometry.Glomora";
  in->settings.resolution = Int3{n, n, n};
  in->settings.size = Float3{1, 1, 1};
  const float cell = 1.0f / static_cast<float>(n);
  in->settings.cellSize = Float3{cell, cell, cell};
  in->settings.inverseCellSize = Float3{1.0f / cell, 1.0f / cell, 1.0f / cell};
  in->settings.halfSize = Float3{0.5f, 0.5f, 0.5f};
  in->settings.isovalue = 1.0f;
  in->settings.inverseIsovalue = 1.0f;
  in->settings.viscosityFactor = 1.0f;
  in->settings.gridSpace = 0;
  in->settings.blendingModel = 1;
  in->settings.polygonization = 0;
  in->settings.userNormals = normals;
  in->settings.normalsOrUv = normals;
  in->settings.volumeScale = 1.0f;
  in->settings.startFrame = 1;
  in->settings.evalFrame = 2;
  return in;
}

void BM_Extract(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool normals = state.range(1) != 0;
  const size_t points = static_cast<size_t>(n + 1) * (n + 1) * (n + 1);
  std::vector<float> field;
  if (!ReadPeerFloats("field_" + std::to_string(n) + ".f32", field, points)) {
    state.SkipWithError("field file missing: run gen_scenes.py and pass --data=DIR");
    return;
  }
  const Threads threads(state.range(2));
  auto in = MakeInstance(n, normals);
  GridPolygonizer& grid = in->gridPolygonizer;
  if (normals) {
    // A gradient to interpolate: the step's own, from the same elements.
    const std::vector<MetaElement> elements = LoadElements();
    const int32_t count = static_cast<int32_t>(elements.size());
    grid.SimulateStep(in->settings, elements.data(), count);
  } else if (!grid.EnsureGrids(in->settings)) {
    state.SkipWithError("lattices not allocated");
    return;
  }
  std::memcpy(grid.accumulatedField.Data(), field.data(), points * sizeof(float));
  for (auto _ : state) {
    in->mesh.vertices.Clear();
    in->mesh.polygons.Clear();
    in->mesh.nodeValues.Clear();
    grid.ExtractAndCache(in->settings, in->cubeTable, in->mesh, in->writeCache);
    benchmark::DoNotOptimize(in->mesh.polygons.GetArray());
  }
  state.counters["vertices"] = in->mesh.vertices.GetCount();
  state.counters["triangles"] = in->mesh.polygons.GetCount() / 4;
  state.counters["cubes_per_s"] = benchmark::Counter(static_cast<double>(n) * n * n, benchmark::Counter::kIsIterationInvariantRate);
}

void SimulateSteps(benchmark::State& state, int32_t storage) {
  SetLatticeStorage(storage);
  const int n = static_cast<int>(state.range(0));
  const bool normals = state.range(1) != 0;
  const std::vector<MetaElement> elements = LoadElements();
  if (elements.empty()) {
    state.SkipWithError("elements_200.f32 missing: run gen_scenes.py and pass --data=DIR");
    return;
  }
  const Threads threads(state.range(2));
  auto in = MakeInstance(n, normals);
  const int32_t count = static_cast<int32_t>(elements.size());
  in->gridPolygonizer.SimulateStep(in->settings, elements.data(), count);  // allocates
  for (auto _ : state) {
    in->gridPolygonizer.SimulateStep(in->settings, elements.data(), count);
    benchmark::DoNotOptimize(in->gridPolygonizer.accumulatedField.Data());
  }
  state.counters["points_per_s"] = benchmark::Counter(static_cast<double>(n + 1) * (n + 1) * (n + 1),
                                                      benchmark::Counter::kIsIterationInvariantRate);
  if (in->gridPolygonizer.storage == LatticeStorage::kSparse) {
    state.counters["tiles"] = static_cast<double>(in->gridPolygonizer.tiledLattice.FieldTileCount());
  }
  SetLatticeStorage(LatticeStorage::kAuto);
}

void BM_SimulateStep(benchmark::State& state) { SimulateSteps(state, LatticeStorage::kDense); }
void BM_SimulateStepSparse(benchmark::State& state) { SimulateSteps(state, LatticeStorage::kSparse); }

void BM_LatticePass(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto in = MakeInstance(n, false);
  GridPolygonizer& grid = in->gridPolygonizer;
  if (!grid.EnsureGrids(in->settings)) {
    state.SkipWithError("lattices not allocated");
    return;
  }
  const size_t points = grid.accumulatedField.PointCount();
  grid.sampledField.Fill(0.5f);
  grid.sampledNormals.Fill(Float3{0.5f, 0.5f, 0.5f});
  const Threads threads(state.range(1));
  for (auto _ : state) {
    parallel::ForEachRange(static_cast<int64_t>(points), 1 << 16, [&](int64_t begin, int64_t end) {
      const auto first = static_cast<size_t>(begin), count = static_cast<size_t>(end - begin);
      std::memcpy(grid.accumulatedField.Data() + first, grid.sampledField.Data() + first, count * sizeof(float));
      std::memcpy(grid.accumulatedNormals.Data() + 3 * first, grid.sampledNormals.Data() + 3 * first,
                  count * 3 * sizeof(float));
    });
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(points) * 32);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int n : {64, 128, 256}) {
    for (int normals : {0, 1}) {
      for (int threads : {1, 2}) b->Args({n, normals, threads});
    }
  }
}

BENCHMARK(BM_Extract)->Apply(Sizes)->ArgNames({"N", "normals", "threads"})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimulateStep)
    ->Apply(Sizes)
    ->ArgNames({"N", "normals", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimulateStepSparse)
    ->Apply(Sizes)
    ->ArgNames({"N", "normals", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LatticePass)
    ->ArgsProduct({{64, 128, 256}, {1, 2}})
    ->ArgNames({"N", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return RunPeerBenchmarks(argc, argv); }
