// Continuation polygonizer benchmarks:
//   BM_TrackBall/R/P        an analytic ball of radius R cells, polygonization P
//                           (0 cube table, 1 tetrahedra, 10 boxes): the cost of
//                           the tables and the output with a field that costs
//                           next to nothing
//   BM_TrackSpheres/N       N spheres of the polynomial model (Isovalue 1) at
//                           random in a box two units wide, cell 0.01: a
//                           scene where the field and the tables share the time
//   BM_TrackToCeiling/P     an unbounded plane tracked until the cube ceiling
//                           (kMaxTrackedCubes); reports the process's peak
//                           memory so far in MB, the figure behind the
//                           ceiling's choice, so run each alone
//                           (--benchmark_filter=BM_TrackToCeiling/1/)
// Counters: cubes (crossed cubes, from a box-mode run of the same scene),
// vertices and triangles of one run.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <random>
#include <vector>

#include "field/field_function.h"
#include "front/operator_instance.h"
#include "tracker/continuation_polygonizer.h"
#include "tracker_run.h"

namespace {

class BallField : public FieldFunction {
 public:
  explicit BallField(float radius) : FieldFunction(nullptr, 0.0f, 0), radius_(radius) {}
  float Evaluate(const float& x, const float& y, const float& z) const override {
    return radius_ - std::sqrt(x * x + y * y + z * z);
  }

 private:
  float radius_;
};

class PlaneField : public FieldFunction {
 public:
  PlaneField() : FieldFunction(nullptr, 0.0f, 0) {}
  float Evaluate(const float&, const float&, const float& z) const override { return 0.25f - z; }
};

MetaElement Seed(Float3 centre, float radius) {
  MetaElement e{};
  e.centre = centre;
  e.scale = Float3{1, 1, 1};
  e.radius = radius;
  e.height = 1.0f;
  e.radialFactor = 1.0f / (2.0f * radius);
  e.axisFactor = Float3{e.radialFactor, e.radialFactor, e.radialFactor};
  e.weight = 1.0f;
  return e;
}

void Configure(OperatorInstance& in, float cell, int32_t polygonization, float isovalue) {
  in.settings.cellSize = Float3{cell, cell, cell};
  in.settings.inverseCellSize = Float3{1.0f / cell, 1.0f / cell, 1.0f / cell};
  in.settings.bisectionHalvings = 3 + 2;
  in.settings.polygonization = polygonization;
  in.settings.inverseIsovalue = 1.0f / isovalue;
  in.settings.jbSimple = false;
  in.settings.normalsOrUv = in.settings.userNormals = polygonization != 10;
}

using Output = MeshArrays;

void Track(benchmark::State& state, OperatorInstance& in, const FieldFunction& field,
           const std::vector<MetaElement>& elements, int32_t polygonization) {
  const int32_t chosen = in.settings.polygonization;
  in.settings.polygonization = 10;
  Output boxes;
  RunTracker(in, field, elements, boxes);
  in.settings.polygonization = chosen;
  Output out;
  for (auto _ : state) {
    out = Output();
    RunTracker(in, field, elements, out);
    benchmark::DoNotOptimize(out.vertices.GetCount());
  }
  state.counters["cubes"] = boxes.vertices.GetCount() / 8;
  state.counters["vertices"] = out.vertices.GetCount();
  state.counters["triangles"] = polygonization == 10 ? 0 : out.polygons.GetCount() / 4;
}

void BM_TrackBall(benchmark::State& state) {
  const auto polygonization = static_cast<int32_t>(state.range(1));
  OperatorInstance in;
  Configure(in, 1.0f, polygonization, 0.5f);
  const auto radius = static_cast<float>(state.range(0));
  const BallField field(radius);
  // A seed two cells inside the ball, whose probes (4 cells) cross its surface.
  const std::vector<MetaElement> elements = {Seed(Float3{radius - 1.9f, 0.2f, 0.3f}, 1.0f)};
  Track(state, in, field, elements, polygonization);
}
BENCHMARK(BM_TrackBall)->ArgsProduct({{50, 150}, {0, 1, 10}})->Unit(benchmark::kMillisecond);

void BM_TrackSpheres(benchmark::State& state) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> position(-1.0f, 1.0f);
  std::vector<MetaElement> elements;
  for (int64_t n = 0; n < state.range(0); ++n) {
    elements.push_back(Seed(Float3{position(random), position(random), position(random)}, 0.25f));
  }
  OperatorInstance in;
  Configure(in, 0.01f, 0, 1.0f);
  const PolynomialField field(elements.data(), 1.0f, static_cast<int32_t>(elements.size()));
  Track(state, in, field, elements, 0);
}
BENCHMARK(BM_TrackSpheres)->Arg(10)->Arg(40)->Unit(benchmark::kMillisecond);

void BM_TrackToCeiling(benchmark::State& state) {
  const auto polygonization = static_cast<int32_t>(state.range(0));
  OperatorInstance in;
  Configure(in, 1.0f, polygonization, 0.5f);
  in.settings.jbSimple = true;
  in.settings.normalsOrUv = in.settings.userNormals = false;
  const PlaneField field;
  const std::vector<MetaElement> elements = {Seed(Float3{0.1f, 0.1f, 0.0f}, 1.0f)};
  for (auto _ : state) {
    Output out;
    const PolygonizeResult result = RunTracker(in, field, elements, out);
    if (result != PolygonizeResult::CubeLimitReached) state.SkipWithError("the ceiling was not reached");
    benchmark::DoNotOptimize(out.vertices.GetCount());
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_TrackToCeiling)->Arg(0)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
