#pragma once
// The voxel-grid step written out plainly, as a reference for the fast
// paths: every element visits its whole index box (or the whole lattice)
// point by point with the host's rotations and adds its kernel and gradient
// in array order, then every point relaxes. Dense lattices, no skipping.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "base/numeric.h"
#include "front/operator_instance.h"
#include "scene/meta_element.h"
#include "xsi_math.h"

namespace splat_oracle {

using XSI::MATH::CTransformation;
using XSI::MATH::CVector3;

// The four lattices, point (i, j, k) at (i * ny + j) * nz + k (times 3 for
// the normals), as the plain recipe leaves them.
struct PlainLattices {
  std::vector<float> sampled, sampledNormals, accumulated, accumulatedNormals;
};

inline void Reset(PlainLattices& plain, const OperatorInstance& in) {
  const size_t points = static_cast<size_t>(in.settings.resolution.x + 1) * (in.settings.resolution.y + 1) * (in.settings.resolution.z + 1);
  plain.sampled.assign(points, 0.0f);
  plain.sampledNormals.assign(points * 3, 0.0f);
  plain.accumulated.assign(points, 0.0f);
  plain.accumulatedNormals.assign(points * 3, 0.0f);
}

// One step: every element visits its index box (or the whole lattice) and
// adds its kernel and gradient at every point; then each point relaxes.
inline void PlainStep(const OperatorInstance& in, const std::vector<MetaElement>& elements, PlainLattices& plain) {
  const int nx = in.settings.resolution.x + 1, ny = in.settings.resolution.y + 1, nz = in.settings.resolution.z + 1;
  std::fill(plain.sampled.begin(), plain.sampled.end(), 0.0f);
  std::fill(plain.sampledNormals.begin(), plain.sampledNormals.end(), 0.0f);
  const int model = in.settings.blendingModel;
  const bool bounded = model == 1 || (model == 0 && in.settings.volumeHyperbolic) || (model == 2 && in.settings.volumeExponential);
  for (const MetaElement& e : elements) {
    if (model < 0 || model > 2) break;
    const bool rotated = !(NearlyEqual(e.inverseAngles.x, 0.0f) && NearlyEqual(e.inverseAngles.y, 0.0f) &&
                           NearlyEqual(e.inverseAngles.z, 0.0f));
    CTransformation rotation, inverse;
    rotation.PutRotationOrder(XSI::siZYX);
    rotation.SetRotationFromXYZAngles(CVector3(e.inverseAngles.x, e.inverseAngles.y, e.inverseAngles.z));
    inverse.PutRotationOrder(XSI::siXYZ);
    inverse.SetRotationFromXYZAngles(CVector3(-e.inverseAngles.x, -e.inverseAngles.y, -e.inverseAngles.z));
    const float rel[3] = {in.settings.halfSize.x + e.centre.x, in.settings.halfSize.y + e.centre.y, in.settings.halfSize.z + e.centre.z};
    const float cell[3] = {in.settings.cellSize.x, in.settings.cellSize.y, in.settings.cellSize.z};
    const float inverseCell[3] = {in.settings.inverseCellSize.x, in.settings.inverseCellSize.y, in.settings.inverseCellSize.z};
    const int top[3] = {in.settings.resolution.x, in.settings.resolution.y, in.settings.resolution.z};
    int lo[3] = {0, 0, 0}, hi[3] = {top[0], top[1], top[2]};
    if (bounded) {
      const float m = 1.5f * std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
      const bool round = e.shape == ElementShape::Sphere || e.shape == ElementShape::Cube;
      const float extent = round ? m * std::fabs(e.radius) : m * std::max(std::fabs(e.radius), 0.5f * std::fabs(e.height));
      for (int a = 0; a < 3; ++a) {
        float ex = extent * inverseCell[a];
        if (model == 0 || model == 2) ex *= in.settings.volumeScale;
        if (in.settings.isovalue < 1.0f) ex *= in.settings.inverseIsovalue;
        const float c = rel[a] * inverseCell[a];
        lo[a] = std::clamp(RoundToInt(c - ex), 0, top[a]);
        hi[a] = std::clamp(RoundToInt(c + ex), 0, top[a]);
      }
    }
    for (int i = lo[0]; i <= hi[0]; ++i) {
      for (int j = lo[1]; j <= hi[1]; ++j) {
        for (int k = lo[2]; k <= hi[2]; ++k) {
          float p[3] = {static_cast<float>(i) * cell[0] - rel[0], static_cast<float>(j) * cell[1] - rel[1],
                        static_cast<float>(k) * cell[2] - rel[2]};
          if (rotated) {
            CVector3 v(p[0], p[1], p[2]);
            v.MulByTransformationInPlace(rotation);
            p[0] = static_cast<float>(v.GetX());
            p[1] = static_cast<float>(v.GetY());
            p[2] = static_cast<float>(v.GetZ());
          }
          p[0] = p[0] * e.axisFactor.x;
          p[1] = p[1] * e.axisFactor.y;
          p[2] = p[2] * e.axisFactor.z;
          float d;
          switch (e.shape) {
            case ElementShape::Sphere: d = p[0] * p[0] + p[1] * p[1] + p[2] * p[2]; break;
            case ElementShape::Cube:
              d = p[0] * p[0] * p[0] * p[0] + p[1] * p[1] * p[1] * p[1] + p[2] * p[2] * p[2] * p[2];
              break;
            case ElementShape::Cylinder: d = p[0] * p[0] + p[1] * p[1] * p[1] * p[1] + p[2] * p[2]; break;
            default: continue;
          }
          float kernel = 0.0f, factor = 0.0f;
          if (model == 0) {
            if (d < 0.00001f) d = e.shape == ElementShape::Cube ? e.radius * e.radius : e.radius;
            kernel = e.shape == ElementShape::Cube ? (e.radius * e.radius) * (e.radius * e.radius) / d
                                                   : e.radius * e.radius / d;
            const float d2 = d < 0.00001f ? e.radius : d;
            factor = e.radius / (d2 * d2);
          } else if (model == 1) {
            kernel = d < 0.5f ? (d * d + (0.25f - d)) * 16.0f : 0.0f;
            const float s = d * std::sqrt(d);
            factor = s < 0.5f ? (s * s + (0.25f - s)) * 16.0f : 0.0f;
          } else if (d > 0.0f) {
            const float t = std::exp(-d);
            kernel = t < 1.0f ? t : 0.0f;
            factor = t > 0.0f && t < 1.0f ? t : 0.0f;
          }
          const size_t point = (static_cast<size_t>(i) * ny + j) * nz + k;
          plain.sampled[point] += kernel * e.weight;
          if (!in.settings.normalsOrUv) continue;
          const float g = e.weight * 2.0f * factor;
          float q[3] = {p[0] * g * e.axisFactor.x, p[1] * g * e.axisFactor.y, p[2] * g * e.axisFactor.z};
          if (rotated) {
            CVector3 v(q[0], q[1], q[2]);
            v.MulByTransformationInPlace(inverse);
            q[0] = static_cast<float>(v.GetX());
            q[1] = static_cast<float>(v.GetY());
            q[2] = static_cast<float>(v.GetZ());
          }
          for (int a = 0; a < 3; ++a) plain.sampledNormals[3 * point + a] += q[a];
        }
      }
    }
  }
  const float rate = 1.0f / in.settings.viscosityFactor;
  for (size_t p = 0; p < static_cast<size_t>(nx) * ny * nz; ++p) {
    float& a = plain.accumulated[p];
    float* n = &plain.accumulatedNormals[3 * p];
    const float b = plain.sampled[p];
    const float* nb = &plain.sampledNormals[3 * p];
    if (in.settings.gridSpace == 0 || (in.settings.gridSpace == 1 && b > a)) {
      a += (b - a) * rate;
      for (int c = 0; c < 3; ++c) n[c] += (nb[c] - n[c]) * rate;
    } else if (in.settings.gridSpace == 1 && b < -in.settings.isovalue) {
      a = 0.0f;
      n[0] = n[1] = n[2] = 0.0f;
    }
  }
}

}  // namespace splat_oracle
