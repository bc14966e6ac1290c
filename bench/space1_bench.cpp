// Space 1 benchmark on the peer element scenes (see bench/README.md):
//   BM_Space1/K   the field built as the driver builds it, then the whole
//                 Polygonize, for the K spherical elements of elements_K.f32
//                 (rows x, y, z, r in the unit box) as blending model 1
//                 spheres: Isovalue 1, cell 1/128, RES 5 ("JB_accuracy" 3),
//                 cube table, vertex normals on (the host's default).
//   BM_Space1Evaluate/K   the field alone: the query points of one run,
//                 recorded once, evaluated again in the tracker's order
//                 (items per second = evaluations per second).
//   BM_Space1Field/K   the field's construction alone (its element table and
//                 bucket grid), the part of a run that does not depend on
//                 the tracker's order of visits.
//   BM_Space1Counts/K   one run through a counting wrapper, for its counters
//                 only (its time means nothing): evaluations (calls of
//                 Evaluate), boxHits and adds, the mean number of elements
//                 whose cull box holds an evaluated point and of those that
//                 add to the sum there (d < 0.5), counted by brute force.
// Counters of BM_Space1: vertices and triangles of one run.
// The data folder comes from --data=DIR or the environment variable
// GLOMORA_PEER_DATA.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "field/field_function.h"
#include "front/operator_instance.h"
#include "tracker/continuation_polygonizer.h"
#include "peer_data.h"
#include "tracker_run.h"

namespace {

// The rows as the gatherer makes model 1 sphere primitives of them: unit
// scale, no rotation, the offset divided by the diameter.
std::vector<MetaElement> LoadElements(int count) {
  std::vector<float> rows;
  std::vector<MetaElement> elements;
  if (!ReadPeerFloats("elements_" + std::to_string(count) + ".f32", rows, static_cast<size_t>(count) * 4)) return elements;
  for (int n = 0; n < count; ++n) {
    const float r = rows[4 * n + 3];
    const float f = 1.0f / (r * 2.0f);
    MetaElement e{};
    e.centre = Float3{rows[4 * n], rows[4 * n + 1], rows[4 * n + 2]};
    e.scale = Float3{1, 1, 1};
    e.axisFactor = Float3{1.0f * f, 1.0f * f, 1.0f * f};
    e.radius = r;
    e.height = 1.0f;
    e.radialFactor = f;
    e.weight = 1.0f;
    e.shape = ElementShape::Sphere;
    elements.push_back(e);
  }
  return elements;
}

void Configure(OperatorInstance& in) {
  const float cell = 1.0f / 128.0f;
  in.settings.cellSize = Float3{cell, cell, cell};
  in.settings.inverseCellSize = Float3{1.0f / cell, 1.0f / cell, 1.0f / cell};
  in.settings.isovalue = 1.0f;
  in.settings.inverseIsovalue = 1.0f;
  in.settings.blendingModel = 1;
  in.settings.bisectionHalvings = 3 + 2;
  in.settings.jbSimple = false;
  in.settings.polygonization = 0;
  in.settings.userNormals = true;
  in.settings.uvSpace = false;
  in.settings.normalsOrUv = true;
}

// Forwards to a field and counts the calls, the cull boxes holding each query
// point and the elements adding there (unrotated spheres, as loaded here).
class CountingField final : public FieldFunction {
 public:
  explicit CountingField(const FieldFunction& inner)
      : FieldFunction(inner.elements, inner.isoThreshold, inner.elementCount), inner_(inner) {}
  float Evaluate(const float& x, const float& y, const float& z) const override {
    ++calls;
    for (int32_t k = 0; k < elementCount; ++k) {
      const MetaElement& e = elements[k];
      const float m = std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
      const float h = 2.0f * m * std::fabs(e.radius);
      if (e.centre.x - h <= x && x <= e.centre.x + h && e.centre.y - h <= y && y <= e.centre.y + h &&
          e.centre.z - h <= z && z <= e.centre.z + h) {
        ++boxHits;
        const float lx = (e.centre.x - x) * e.axisFactor.x;
        const float ly = (e.centre.y - y) * e.axisFactor.y;
        const float lz = (e.centre.z - z) * e.axisFactor.z;
        if (ly * ly + lx * lx + lz * lz < 0.5f) ++adds;
      }
    }
    return inner_.Evaluate(x, y, z);
  }
  mutable int64_t calls = 0;
  mutable int64_t boxHits = 0;
  mutable int64_t adds = 0;

 private:
  const FieldFunction& inner_;
};

// Forwards to a field and records every query point (untimed runs only).
class RecordingField final : public FieldFunction {
 public:
  explicit RecordingField(const FieldFunction& inner)
      : FieldFunction(inner.elements, inner.isoThreshold, inner.elementCount), inner_(inner) {}
  float Evaluate(const float& x, const float& y, const float& z) const override {
    points.push_back(Float3{x, y, z});
    return inner_.Evaluate(x, y, z);
  }
  mutable std::vector<Float3> points;

 private:
  const FieldFunction& inner_;
};

using Output = MeshArrays;

// The elements of the benchmark's K (its argument); false, with the run
// marked skipped, when the data file is missing.
bool LoadCase(benchmark::State& state, std::vector<MetaElement>& elements) {
  elements = LoadElements(static_cast<int>(state.range(0)));
  if (elements.empty()) state.SkipWithError("no element data: pass --data=DIR or set GLOMORA_PEER_DATA");
  return !elements.empty();
}

void BM_Space1(benchmark::State& state) {
  std::vector<MetaElement> elements;
  if (!LoadCase(state, elements)) return;
  OperatorInstance in;
  Configure(in);
  const auto elementCount = static_cast<int32_t>(elements.size());
  Output out;
  for (auto _ : state) {
    out = Output();
    const PolynomialField field(elements.data(), in.settings.isovalue, elementCount);
    RunTracker(in, field, elements, out);
    benchmark::DoNotOptimize(out.vertices.GetCount());
  }
  state.counters["vertices"] = out.vertices.GetCount();
  state.counters["triangles"] = out.polygons.GetCount() / 4;
}
BENCHMARK(BM_Space1)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Space1Counts(benchmark::State& state) {
  std::vector<MetaElement> elements;
  if (!LoadCase(state, elements)) return;
  OperatorInstance in;
  Configure(in);
  const PolynomialField field(elements.data(), in.settings.isovalue, static_cast<int32_t>(elements.size()));
  const CountingField counting(field);
  for (auto _ : state) {
    Output out;
    RunTracker(in, counting, elements, out);
    state.counters["vertices"] = out.vertices.GetCount();
  }
  state.counters["evaluations"] = static_cast<double>(counting.calls);
  state.counters["boxHits"] = static_cast<double>(counting.boxHits) / static_cast<double>(counting.calls);
  state.counters["adds"] = static_cast<double>(counting.adds) / static_cast<double>(counting.calls);
}
BENCHMARK(BM_Space1Counts)->Arg(100)->Arg(1000)->Arg(5000)->Iterations(1)->Unit(benchmark::kMillisecond);

// The field alone: every query point of one run, recorded once, evaluated
// again in the tracker's order. Items per second = evaluations per second.
void BM_Space1Evaluate(benchmark::State& state) {
  std::vector<MetaElement> elements;
  if (!LoadCase(state, elements)) return;
  OperatorInstance in;
  Configure(in);
  const PolynomialField field(elements.data(), in.settings.isovalue, static_cast<int32_t>(elements.size()));
  const RecordingField recording(field);
  Output out;
  RunTracker(in, recording, elements, out);
  for (auto _ : state) {
    float total = 0.0f;
    for (const Float3& p : recording.points) total += field.Evaluate(p.x, p.y, p.z);
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(recording.points.size()));
}
void BM_Space1Field(benchmark::State& state) {
  const std::vector<MetaElement> elements = LoadElements(static_cast<int>(state.range(0)));
  OperatorInstance in;
  Configure(in);
  for (auto _ : state) {
    const PolynomialField field(elements.data(), in.settings.isovalue, static_cast<int32_t>(elements.size()));
    benchmark::DoNotOptimize(&field);
  }
}
BENCHMARK(BM_Space1Field)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_Space1Evaluate)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return RunPeerBenchmarks(argc, argv); }
