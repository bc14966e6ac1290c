#pragma once
// Hand-built inputs for the voxel grid tests: an OperatorInstance with the
// fields the grid reads, and MetaElement records.

#include <cstdint>
#include <string>
#include <vector>

#include "front/operator_instance.h"
#include "host/host_scene.h"
#include "scene/meta_element.h"

namespace grid_test {

// A box of edge lengths `size` centred on the origin with `cells` cells per
// axis, iso value 1, viscosity 0 (relax rate 1), grid space 0, model 1,
// cube-table polygonization, no normals, mode 0, frame 5 of a simulation
// starting at 1.
inline void SetBox(OperatorInstance& in, Int3 cells, Float3 size) {
  in.settings.fullName = L"blob.polymsh.GlomoraGeometry.Glomora";
  in.settings.resolution = cells;
  in.settings.size = size;
  in.settings.cellSize = Float3{size.x / static_cast<float>(cells.x), size.y / static_cast<float>(cells.y),
                       size.z / static_cast<float>(cells.z)};
  in.settings.inverseCellSize = Float3{1.0f / in.settings.cellSize.x, 1.0f / in.settings.cellSize.y, 1.0f / in.settings.cellSize.z};
  in.settings.halfSize = Float3{size.x * 0.5f, size.y * 0.5f, size.z * 0.5f};
  in.settings.isovalue = 1.0f;
  in.settings.inverseIsovalue = 1.0f;
  in.settings.viscosity = 0.0f;
  in.settings.viscosityFactor = 1.0f;
  in.settings.gridSpace = 0;
  in.settings.blendingModel = 1;
  in.settings.polygonization = 0;
  in.settings.userNormals = false;
  in.settings.uvSpace = false;
  in.settings.normalsOrUv = false;
  in.settings.volumeHyperbolic = false;
  in.settings.volumeExponential = false;
  in.settings.volumeScale = 1.0f;
  in.settings.mode = 0;
  in.settings.startFrame = 1;
  in.settings.evalFrame = 5;
}

inline void SetNormals(OperatorInstance& in, bool userNormals, bool uvSpace) {
  in.settings.userNormals = userNormals;
  in.settings.uvSpace = uvSpace;
  in.settings.normalsOrUv = userNormals || uvSpace;
}

// A sphere element of radius r as the gatherer builds it for `model`: the
// local offset is divided by the diameter for models 1 and 2, and left
// unscaled (1 / scale, scale 1) for model 0.
inline MetaElement Sphere(Float3 centre, float radius, int model = 1, float weight = 1.0f) {
  const float f = model == 0 ? 1.0f : 1.0f / (2.0f * radius);
  MetaElement e{};
  e.centre = centre;
  e.inverseAngles = Float3{0.0f, 0.0f, 0.0f};
  e.scale = Float3{1.0f, 1.0f, 1.0f};
  e.axisFactor = Float3{f, f, f};
  e.radius = radius;
  e.height = 1.0f;
  e.radialFactor = f;
  e.axialFactor = f;
  e.weight = weight;
  e.shape = ElementShape::Sphere;
  return e;
}

inline std::vector<std::wstring> LogTexts() {
  std::vector<std::wstring> texts;
  for (const auto& line : XSI::Host::Scene::Get().GetLog()) texts.push_back(line.text);
  return texts;
}

}  // namespace grid_test
