#include "mesh_renderer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <utility>

namespace {

// Screen positions are fixed point with 4 fraction bits: edge functions are
// then exact integers, so neighbouring triangles share their edges without
// cracks or double coverage (top-left rule).
constexpr int32_t kSubpixelBits = 4;
constexpr int32_t kSubpixel = 1 << kSubpixelBits;
// Vertices projected farther than this from the picture (in pixels) drop
// their triangles: their fixed-point products would not fit.
constexpr float kGuardBand = 1048576.0f;
// Shading, in linear light: surface albedo, sky and ground, key and fill
// light (directions toward the light, normalised below).
constexpr float kAlbedo[3] = {0.70f, 0.46f, 0.28f};
constexpr float kSkyTop[3] = {0.62f, 0.67f, 0.74f};
constexpr float kSkyBottom[3] = {0.40f, 0.44f, 0.50f};
constexpr float kGround[3] = {0.80f, 0.79f, 0.76f};
constexpr float kKeyLight[3] = {-0.45f, 0.80f, 0.55f};
constexpr float kFillLight[3] = {0.70f, 0.15f, 0.45f};
// A pixel whose 1 / depth exceeds a neighbour's by this fraction is on a
// depth step and is outlined (with uncovered neighbours: the silhouette).
constexpr float kDepthStep = 0.02f;
constexpr float kOutline = 0.28f;      // outlined pixels keep this share of their colour
constexpr float kShadowDarkness = 0.55f;
// Longer side of the shadow map over the ground patch, in cells.
constexpr int32_t kShadowCells = 192;

struct Vec3f {
  float x, y, z;
};
inline Vec3f Sub(Vec3f a, Vec3f b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline float Dot(Vec3f a, Vec3f b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3f Cross(Vec3f a, Vec3f b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline Vec3f Normalized(Vec3f v) {
  const float length = std::sqrt(Dot(v, v));
  if (!(length > 0.0f)) return {0.0f, 0.0f, 0.0f};
  const float inverse = 1.0f / length;
  return {v.x * inverse, v.y * inverse, v.z * inverse};
}
inline Vec3f Of(const float v[3]) { return {v[0], v[1], v[2]}; }

// Linear light 0..1 to an 8-bit sRGB-like value (gamma 1 / 2.2), by table.
class GammaTable {
 public:
  GammaTable() {
    for (size_t i = 0; i < table_.size(); ++i) {
      const double linear = static_cast<double>(i) / static_cast<double>(table_.size() - 1);
      table_[i] = static_cast<uint8_t>(std::lround(255.0 * std::pow(linear, 1.0 / 2.2)));
    }
  }
  uint8_t operator()(float linear) const {
    const float scaled = linear * static_cast<float>(table_.size() - 1);
    if (!(scaled > 0.0f)) return table_[0];
    if (scaled >= static_cast<float>(table_.size() - 1)) return table_.back();
    return table_[static_cast<size_t>(scaled + 0.5f)];
  }

 private:
  std::array<uint8_t, 4096> table_{};
};

const GammaTable& Gamma() {
  static const GammaTable table;
  return table;
}

// Twice the signed area of (a, b, p) in fixed point.
inline int64_t Edge(int32_t ax, int32_t ay, int32_t bx, int32_t by, int64_t px, int64_t py) {
  return static_cast<int64_t>(bx - ax) * (py - ay) - static_cast<int64_t>(by - ay) * (px - ax);
}

// Edge a -> b with the interior on its positive side (y down): a top edge
// (horizontal, interior below) or a left edge owns the pixels exactly on it.
inline bool IsTopLeft(int32_t ax, int32_t ay, int32_t bx, int32_t by) {
  return (ay == by && bx > ax) || by < ay;
}

// In-place box blur of a w x h map along rows (stride 1) or columns (stride
// w), radius r, edges clamped; `line` is scratch of max(w, h) floats.
void BoxBlur(std::vector<float>& map, int32_t w, int32_t h, int32_t r, bool rows, std::vector<float>& line) {
  const int32_t count = rows ? h : w;
  const int32_t length = rows ? w : h;
  const size_t stride = rows ? 1 : static_cast<size_t>(w);
  const float scale = 1.0f / static_cast<float>(2 * r + 1);
  for (int32_t n = 0; n < count; ++n) {
    float* base = map.data() + (rows ? static_cast<size_t>(n) * static_cast<size_t>(w) : static_cast<size_t>(n));
    for (int32_t i = 0; i < length; ++i) line[static_cast<size_t>(i)] = base[static_cast<size_t>(i) * stride];
    auto at = [&](int32_t i) { return line[static_cast<size_t>(std::clamp(i, 0, length - 1))]; };
    float sum = 0.0f;
    for (int32_t i = -r; i <= r; ++i) sum += at(i);
    for (int32_t i = 0; i < length; ++i) {
      base[static_cast<size_t>(i) * stride] = sum * scale;
      sum += at(i + r + 1) - at(i - r);
    }
  }
}

}  // namespace

void MeshRenderer::Render(const MeshData& mesh, const Camera& camera, Picture& picture) {
  Transform(mesh, camera);
  Triangulate(mesh);
  Rasterize(camera);
  CastShadow(mesh, camera);
  Shade(camera, picture);
}

void MeshRenderer::Transform(const MeshData& mesh, const Camera& camera) {
  const size_t count = mesh.VertexCount();
  screen_.resize(count);
  const Vec3f eye = Of(camera.eye);
  const Vec3f right = Of(camera.right);
  const Vec3f up = Of(camera.up);
  const Vec3f forward = Of(camera.forward);
  const float cx = 0.5f * static_cast<float>(camera.width);
  const float cy = 0.5f * static_cast<float>(camera.height);
  for (size_t v = 0; v < count; ++v) {
    const Vec3f p{static_cast<float>(mesh.positions[3 * v]), static_cast<float>(mesh.positions[3 * v + 1]),
                  static_cast<float>(mesh.positions[3 * v + 2])};
    const Vec3f d = Sub(p, eye);
    const float z = Dot(d, forward);
    ScreenVertex& s = screen_[v];
    s = ScreenVertex{0.0f, 0.0f, 0.0f, 0, 0};
    if (!(z > 0.0f)) continue;  // behind the eye, or NaN
    const float invZ = 1.0f / z;
    const float x = cx + camera.focal * Dot(d, right) * invZ;
    const float y = cy - camera.focal * Dot(d, up) * invZ;
    if (!(std::fabs(x) < kGuardBand && std::fabs(y) < kGuardBand)) continue;
    s = ScreenVertex{x, y, invZ, static_cast<int32_t>(std::lrint(x * static_cast<float>(kSubpixel))),
                     static_cast<int32_t>(std::lrint(y * static_cast<float>(kSubpixel)))};
  }
}

void MeshRenderer::Triangulate(const MeshData& mesh) {
  // 1) polygons fanned from their first vertex
  triangles_.clear();
  const size_t vertexCount = mesh.VertexCount();
  const std::vector<int32_t>& polygons = mesh.polygons;
  for (size_t at = 0; at < polygons.size();) {
    const int32_t n = polygons[at];
    if (n < 3 || static_cast<size_t>(n) > polygons.size() - at - 1) break;
    const int32_t* index = &polygons[at + 1];
    bool inRange = true;
    for (int32_t k = 0; k < n; ++k) inRange = inRange && index[k] >= 0 && static_cast<size_t>(index[k]) < vertexCount;
    if (inRange) {
      for (int32_t k = 2; k < n; ++k) {
        // Stored from its lowest vertex index, winding kept: the same
        // triangle met in either winding or from another vertex is then
        // worked on in the same order, to the same bits.
        int32_t a = index[0];
        int32_t b = index[k - 1];
        int32_t c = index[k];
        if (b < a && b < c) {
          std::tie(a, b, c) = std::tuple(b, c, a);
        } else if (c < a && c < b) {
          std::tie(a, b, c) = std::tuple(c, a, b);
        }
        triangles_.push_back(a);
        triangles_.push_back(b);
        triangles_.push_back(c);
      }
    }
    at += static_cast<size_t>(n) + 1;
  }

  // 2) vertex normals: the sum of the adjacent faces' normals weighted by
  // their area (the plain cross product), made unit length
  normals_.assign(vertexCount * 3, 0.0f);
  auto position = [&](int32_t v) {
    const double* p = &mesh.positions[3 * static_cast<size_t>(v)];
    return Vec3f{static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
  };
  for (size_t t = 0; t < triangles_.size(); t += 3) {
    const Vec3f a = position(triangles_[t]);
    const Vec3f n = Cross(Sub(position(triangles_[t + 1]), a), Sub(position(triangles_[t + 2]), a));
    if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z)) continue;
    for (int corner = 0; corner < 3; ++corner) {
      float* sum = &normals_[3 * static_cast<size_t>(triangles_[t + static_cast<size_t>(corner)])];
      sum[0] += n.x;
      sum[1] += n.y;
      sum[2] += n.z;
    }
  }
  for (size_t v = 0; v < vertexCount; ++v) {
    const Vec3f n = Normalized(Vec3f{normals_[3 * v], normals_[3 * v + 1], normals_[3 * v + 2]});
    normals_[3 * v] = n.x;
    normals_[3 * v + 1] = n.y;
    normals_[3 * v + 2] = n.z;
  }
}

void MeshRenderer::Rasterize(const Camera& camera) {
  const int32_t width = camera.width;
  const int32_t height = camera.height;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  depth_.assign(pixels, 0.0f);
  owner_.assign(pixels, -1);
  const int32_t triangleCount = static_cast<int32_t>(triangles_.size() / 3);
  for (int32_t t = 0; t < triangleCount; ++t) {
    int32_t* index = &triangles_[3 * static_cast<size_t>(t)];
    const ScreenVertex* a = &screen_[static_cast<size_t>(index[0])];
    const ScreenVertex* b = &screen_[static_cast<size_t>(index[1])];
    const ScreenVertex* c = &screen_[static_cast<size_t>(index[2])];
    if (a->invZ == 0.0f || b->invZ == 0.0f || c->invZ == 0.0f) continue;

    // 1) orientation: both windings are drawn, turned to one orientation on
    // the screen (kept for the shading, so that a surface and its reverse
    // give the same bits)
    int64_t area = Edge(a->fx, a->fy, b->fx, b->fy, c->fx, c->fy);
    if (area == 0) continue;
    if (area < 0) {
      std::swap(b, c);
      std::swap(index[1], index[2]);
      area = -area;
    }

    // 2) the pixels whose centres (x + 0.5, y + 0.5) the bounding box can hold
    const int32_t minX = std::min({a->fx, b->fx, c->fx});
    const int32_t maxX = std::max({a->fx, b->fx, c->fx});
    const int32_t minY = std::min({a->fy, b->fy, c->fy});
    const int32_t maxY = std::max({a->fy, b->fy, c->fy});
    const int32_t half = kSubpixel / 2;
    const int32_t x0 = std::max(0, (minX - half + kSubpixel - 1) >> kSubpixelBits);
    const int32_t x1 = std::min(width - 1, (maxX - half) >> kSubpixelBits);
    const int32_t y0 = std::max(0, (minY - half + kSubpixel - 1) >> kSubpixelBits);
    const int32_t y1 = std::min(height - 1, (maxY - half) >> kSubpixelBits);
    if (x0 > x1 || y0 > y1) continue;

    // 3) edge functions at the first pixel centre, biased by the fill rule
    // so that "inside" is all three >= 0, and their steps per pixel
    const int64_t px = static_cast<int64_t>(x0) * kSubpixel + half;
    const int64_t py = static_cast<int64_t>(y0) * kSubpixel + half;
    int64_t row0 = Edge(b->fx, b->fy, c->fx, c->fy, px, py) - (IsTopLeft(b->fx, b->fy, c->fx, c->fy) ? 0 : 1);
    int64_t row1 = Edge(c->fx, c->fy, a->fx, a->fy, px, py) - (IsTopLeft(c->fx, c->fy, a->fx, a->fy) ? 0 : 1);
    int64_t row2 = Edge(a->fx, a->fy, b->fx, b->fy, px, py) - (IsTopLeft(a->fx, a->fy, b->fx, b->fy) ? 0 : 1);
    const int64_t stepX0 = -static_cast<int64_t>(c->fy - b->fy) * kSubpixel;
    const int64_t stepX1 = -static_cast<int64_t>(a->fy - c->fy) * kSubpixel;
    const int64_t stepX2 = -static_cast<int64_t>(b->fy - a->fy) * kSubpixel;
    const int64_t stepY0 = static_cast<int64_t>(c->fx - b->fx) * kSubpixel;
    const int64_t stepY1 = static_cast<int64_t>(a->fx - c->fx) * kSubpixel;
    const int64_t stepY2 = static_cast<int64_t>(b->fx - a->fx) * kSubpixel;

    // 4) 1 / depth is linear on the screen: its plane through the three
    // vertices, evaluated directly at each pixel (no accumulated rounding)
    const float inverseArea = 1.0f / static_cast<float>(area);
    const float dzdx = static_cast<float>(stepX0) * a->invZ * inverseArea +
                       static_cast<float>(stepX1) * b->invZ * inverseArea +
                       static_cast<float>(stepX2) * c->invZ * inverseArea;
    const float dzdy = static_cast<float>(stepY0) * a->invZ * inverseArea +
                       static_cast<float>(stepY1) * b->invZ * inverseArea +
                       static_cast<float>(stepY2) * c->invZ * inverseArea;
    const float z0 = static_cast<float>(Edge(b->fx, b->fy, c->fx, c->fy, px, py)) * inverseArea * a->invZ +
                     static_cast<float>(Edge(c->fx, c->fy, a->fx, a->fy, px, py)) * inverseArea * b->invZ +
                     static_cast<float>(Edge(a->fx, a->fy, b->fx, b->fy, px, py)) * inverseArea * c->invZ;

    // 5) the pixels inside, nearest surface kept (the earlier triangle on a tie)
    for (int32_t y = y0; y <= y1; ++y) {
      int64_t w0 = row0;
      int64_t w1 = row1;
      int64_t w2 = row2;
      const float zRow = z0 + dzdy * static_cast<float>(y - y0);
      float* depthRow = &depth_[static_cast<size_t>(y) * static_cast<size_t>(width)];
      int32_t* ownerRow = &owner_[static_cast<size_t>(y) * static_cast<size_t>(width)];
      for (int32_t x = x0; x <= x1; ++x) {
        if ((w0 | w1 | w2) >= 0) {
          const float z = zRow + dzdx * static_cast<float>(x - x0);
          if (z > depthRow[x]) {
            depthRow[x] = z;
            ownerRow[x] = t;
          }
        }
        w0 += stepX0;
        w1 += stepX1;
        w2 += stepX2;
      }
      row0 += stepY0;
      row1 += stepY1;
      row2 += stepY2;
    }
  }
}

void MeshRenderer::CastShadow(const MeshData& mesh, const Camera& camera) {
  // 1) the ground patch as a map of cells, the longer side kShadowCells
  const float spanX = camera.groundMax[0] - camera.groundMin[0];
  const float spanZ = camera.groundMax[1] - camera.groundMin[1];
  const float longer = std::max(spanX, spanZ);
  if (!(longer > 0.0f)) {
    shadowWidth_ = shadowHeight_ = 0;
    return;
  }
  shadowWidth_ = std::max(1, static_cast<int32_t>(static_cast<float>(kShadowCells) * spanX / longer));
  shadowHeight_ = std::max(1, static_cast<int32_t>(static_cast<float>(kShadowCells) * spanZ / longer));
  shadow_.assign(static_cast<size_t>(shadowWidth_) * static_cast<size_t>(shadowHeight_), 0.0f);
  const float toCellX = static_cast<float>(shadowWidth_) / spanX;
  const float toCellZ = static_cast<float>(shadowHeight_) / spanZ;

  // 2) every triangle dropped straight down: the cells whose centres it
  // covers (edges included on both sides, so a closed surface leaves no gap)
  auto cell = [&](int32_t v, float& u, float& w) {
    const double* p = &mesh.positions[3 * static_cast<size_t>(v)];
    u = (static_cast<float>(p[0]) - camera.groundMin[0]) * toCellX;
    w = (static_cast<float>(p[2]) - camera.groundMin[1]) * toCellZ;
    return std::isfinite(u) && std::isfinite(w) && std::fabs(u) < kGuardBand && std::fabs(w) < kGuardBand;
  };
  for (size_t t = 0; t < triangles_.size(); t += 3) {
    float u[3];
    float w[3];
    if (!cell(triangles_[t], u[0], w[0]) || !cell(triangles_[t + 1], u[1], w[1]) || !cell(triangles_[t + 2], u[2], w[2])) {
      continue;
    }
    float area = (u[1] - u[0]) * (w[2] - w[0]) - (w[1] - w[0]) * (u[2] - u[0]);
    if (area == 0.0f) continue;
    if (area < 0.0f) {
      std::swap(u[1], u[2]);
      std::swap(w[1], w[2]);
    }
    const int32_t i0 = std::max(0, static_cast<int32_t>(std::ceil(std::min({u[0], u[1], u[2]}) - 0.5f)));
    const int32_t i1 = std::min(shadowWidth_ - 1, static_cast<int32_t>(std::floor(std::max({u[0], u[1], u[2]}) - 0.5f)));
    const int32_t j0 = std::max(0, static_cast<int32_t>(std::ceil(std::min({w[0], w[1], w[2]}) - 0.5f)));
    const int32_t j1 = std::min(shadowHeight_ - 1, static_cast<int32_t>(std::floor(std::max({w[0], w[1], w[2]}) - 0.5f)));
    for (int32_t j = j0; j <= j1; ++j) {
      const float cw = static_cast<float>(j) + 0.5f;
      for (int32_t i = i0; i <= i1; ++i) {
        const float cu = static_cast<float>(i) + 0.5f;
        const float e0 = (u[2] - u[1]) * (cw - w[1]) - (w[2] - w[1]) * (cu - u[1]);
        const float e1 = (u[0] - u[2]) * (cw - w[2]) - (w[0] - w[2]) * (cu - u[2]);
        const float e2 = (u[1] - u[0]) * (cw - w[0]) - (w[1] - w[0]) * (cu - u[0]);
        if (e0 >= 0.0f && e1 >= 0.0f && e2 >= 0.0f) {
          shadow_[static_cast<size_t>(j) * static_cast<size_t>(shadowWidth_) + static_cast<size_t>(i)] = 1.0f;
        }
      }
    }
  }

  // 3) softened: two box blurs each way approach a Gaussian
  const int32_t radius = std::max(1, std::max(shadowWidth_, shadowHeight_) / 48);
  blurred_.resize(static_cast<size_t>(std::max(shadowWidth_, shadowHeight_)));
  for (int pass = 0; pass < 2; ++pass) {
    BoxBlur(shadow_, shadowWidth_, shadowHeight_, radius, true, blurred_);
    BoxBlur(shadow_, shadowWidth_, shadowHeight_, radius, false, blurred_);
  }
}

void MeshRenderer::Shade(const Camera& camera, Picture& picture) {
  const int32_t width = camera.width;
  const int32_t height = camera.height;
  picture.width = width;
  picture.height = height;
  picture.rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  picture.coverage.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  const GammaTable& gamma = Gamma();
  const Vec3f eye = Of(camera.eye);
  const Vec3f right = Of(camera.right);
  const Vec3f up = Of(camera.up);
  const Vec3f forward = Of(camera.forward);
  const Vec3f key = Normalized(Of(kKeyLight));
  const Vec3f fill = Normalized(Of(kFillLight));
  const float cx = 0.5f * static_cast<float>(width);
  const float cy = 0.5f * static_cast<float>(height);
  const float inverseFocal = 1.0f / camera.focal;
  const float spanX = camera.groundMax[0] - camera.groundMin[0];
  const float spanZ = camera.groundMax[1] - camera.groundMin[1];
  const float fadeX = 0.12f * spanX;
  const float fadeZ = 0.12f * spanZ;

  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const size_t p = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
      const float sx = static_cast<float>(x) + 0.5f;
      const float sy = static_cast<float>(y) + 0.5f;
      // The ray through the pixel centre (not unit length).
      const float rx = (sx - cx) * inverseFocal;
      const float ry = (cy - sy) * inverseFocal;
      const Vec3f ray{right.x * rx + up.x * ry + forward.x, right.y * rx + up.y * ry + forward.y,
                      right.z * rx + up.z * ry + forward.z};
      float colour[3];
      const int32_t t = owner_[p];
      if (t >= 0) {
        // 1) the surface: perspective-correct weights of the three vertices
        const int32_t* index = &triangles_[3 * static_cast<size_t>(t)];
        const ScreenVertex& a = screen_[static_cast<size_t>(index[0])];
        const ScreenVertex& b = screen_[static_cast<size_t>(index[1])];
        const ScreenVertex& c = screen_[static_cast<size_t>(index[2])];
        float l0 = ((c.x - b.x) * (sy - b.y) - (c.y - b.y) * (sx - b.x)) * a.invZ;
        float l1 = ((a.x - c.x) * (sy - c.y) - (a.y - c.y) * (sx - c.x)) * b.invZ;
        float l2 = ((b.x - a.x) * (sy - a.y) - (b.y - a.y) * (sx - a.x)) * c.invZ;
        // Same sign for a pixel inside, whatever the winding; a pixel centre
        // just off a sliver (float rounding) gets the nearest blend.
        const float sum = l0 + l1 + l2;
        if (sum < 0.0f) {
          l0 = -l0;
          l1 = -l1;
          l2 = -l2;
        }
        l0 = std::max(l0, 0.0f);
        l1 = std::max(l1, 0.0f);
        l2 = std::max(l2, 0.0f);
        const float total = l0 + l1 + l2;
        if (total > 0.0f) {
          l0 /= total;
          l1 /= total;
          l2 /= total;
        } else {
          l0 = l1 = l2 = 1.0f / 3.0f;
        }
        const float* na = &normals_[3 * static_cast<size_t>(index[0])];
        const float* nb = &normals_[3 * static_cast<size_t>(index[1])];
        const float* nc = &normals_[3 * static_cast<size_t>(index[2])];
        Vec3f n = Normalized(Vec3f{na[0] * l0 + nb[0] * l1 + nc[0] * l2, na[1] * l0 + nb[1] * l1 + nc[1] * l2,
                                   na[2] * l0 + nb[2] * l1 + nc[2] * l2});
        const Vec3f view = Normalized(ray);
        if (Dot(n, view) > 0.0f) n = Vec3f{-n.x, -n.y, -n.z};  // lit from the side we see

        // 2) light: sky-to-ground ambient, a key light with a highlight, a fill
        const float ambient = 0.10f + 0.06f * n.y;
        const float diffuse = std::max(Dot(n, key), 0.0f) * 0.95f + std::max(Dot(n, fill), 0.0f) * 0.30f;
        const Vec3f halfway = Normalized(Sub(key, view));
        float specular = std::max(Dot(n, halfway), 0.0f);
        for (int power = 0; power < 5; ++power) specular *= specular;  // ^32
        specular *= 0.25f;
        for (int ch = 0; ch < 3; ++ch) colour[ch] = kAlbedo[ch] * (ambient + diffuse) + specular;

        // 3) outline: an uncovered or clearly farther neighbour
        const float z = depth_[p];
        const float farther = z * (1.0f - kDepthStep);
        const bool edge = (x > 0 && depth_[p - 1] < farther) || (x + 1 < width && depth_[p + 1] < farther) ||
                          (y > 0 && depth_[p - static_cast<size_t>(width)] < farther) ||
                          (y + 1 < height && depth_[p + static_cast<size_t>(width)] < farther);
        if (edge) {
          for (float& value : colour) value *= kOutline;
        }
        picture.coverage[p] = 1;
      } else {
        // 4) the background: sky gradient, and the ground patch with the
        // shadow where the ray meets the ground plane inside it
        const float along = static_cast<float>(y) / static_cast<float>(height);
        for (int ch = 0; ch < 3; ++ch) colour[ch] = kSkyTop[ch] + (kSkyBottom[ch] - kSkyTop[ch]) * along;
        if (ray.y < 0.0f && shadowWidth_ > 0) {
          const float distance = (camera.groundY - eye.y) / ray.y;
          const float gx = eye.x + ray.x * distance;
          const float gz = eye.z + ray.z * distance;
          const float inX = std::min(gx - camera.groundMin[0], camera.groundMax[0] - gx) / fadeX;
          const float inZ = std::min(gz - camera.groundMin[1], camera.groundMax[1] - gz) / fadeZ;
          const float alpha = std::clamp(std::min(inX, inZ), 0.0f, 1.0f);
          if (distance > 0.0f && alpha > 0.0f) {
            // bilinear in the shadow map, cell centres at (i + 0.5, j + 0.5)
            const float u = (gx - camera.groundMin[0]) / spanX * static_cast<float>(shadowWidth_) - 0.5f;
            const float v = (gz - camera.groundMin[1]) / spanZ * static_cast<float>(shadowHeight_) - 0.5f;
            const float fu = std::floor(u);
            const float fv = std::floor(v);
            const int32_t i = static_cast<int32_t>(fu);
            const int32_t j = static_cast<int32_t>(fv);
            auto at = [&](int32_t ci, int32_t cj) {
              ci = std::clamp(ci, 0, shadowWidth_ - 1);
              cj = std::clamp(cj, 0, shadowHeight_ - 1);
              return shadow_[static_cast<size_t>(cj) * static_cast<size_t>(shadowWidth_) + static_cast<size_t>(ci)];
            };
            const float tu = u - fu;
            const float tv = v - fv;
            const float top = at(i, j) + (at(i + 1, j) - at(i, j)) * tu;
            const float bottom = at(i, j + 1) + (at(i + 1, j + 1) - at(i, j + 1)) * tu;
            const float shade = 1.0f - kShadowDarkness * (top + (bottom - top) * tv);
            for (int ch = 0; ch < 3; ++ch) colour[ch] += (kGround[ch] * shade - colour[ch]) * alpha;
          }
        }
      }
      uint8_t* out = &picture.rgb[3 * p];
      out[0] = gamma(colour[0]);
      out[1] = gamma(colour[1]);
      out[2] = gamma(colour[2]);
    }
  }
}
