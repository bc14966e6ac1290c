#include "mesh_renderer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <tuple>
#include <utility>

#include "raster.h"

namespace {

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

}  // namespace

using namespace raster;

void MeshRenderer::Render(const MeshView& mesh, const Camera& camera, Picture& picture) {
  // 1) buffers sized first: the halves below allocate nothing
  const size_t vertexCount = mesh.VertexCount();
  const size_t pixels = static_cast<size_t>(camera.width) * static_cast<size_t>(camera.height);
  points_.resize(vertexCount);
  screen_.resize(vertexCount);
  cells_.resize(vertexCount);
  normals_.resize(3 * vertexCount);
  otherNormals_.resize(3 * vertexCount);
  nearest_.resize(pixels);
  otherNearest_.resize(pixels);
  picture.width = camera.width;
  picture.height = camera.height;
  picture.rgb.resize(pixels * 3);
  picture.coverage.assign(pixels, 0);
  PrepareShadow(camera);

  // 2) vertices (in space, on the screen, on the shadow map), triangles
  // (in order), vertex normals; then each half of the triangles drawn into
  // a depth buffer and a shadow map of its own (each triangle set up once),
  // the two maps joined, and the pixels shaded from the nearer of the two
  // buffers' surfaces
  BothHalves([&](int half) {
    const auto [first, end] = HalfOf(vertexCount, half);
    Transform(mesh, camera, first, end);
  });
  Triangulate(mesh);
  BothHalves([&](int half) { SumNormals(half); });
  BothHalves([&](int half) {
    const auto [first, end] = HalfOf(vertexCount, half);
    JoinNormals(first, end);
  });
  BothHalves([&](int half) {
    const auto [first, end] = HalfOf(triangles_.size() / 3, half);
    Rasterize(camera, first, end, half == 0 ? nearest_ : otherNearest_);
    CastShadow(first, end, half == 0 ? shadow_ : otherShadow_);
  });
  JoinShadow();
  BlurShadow();
  BothHalves([&](int half) {
    const auto [first, end] = HalfOf(static_cast<size_t>(camera.height), half);
    Shade(camera, static_cast<int32_t>(first), static_cast<int32_t>(end), picture);
  });
}

void MeshRenderer::Transform(const MeshView& mesh, const Camera& camera, size_t first, size_t end) {
  const Vec3f eye = Of(camera.eye);
  const Vec3f right = Of(camera.right);
  const Vec3f up = Of(camera.up);
  const Vec3f forward = Of(camera.forward);
  const float cx = 0.5f * static_cast<float>(camera.width);
  const float cy = 0.5f * static_cast<float>(camera.height);
  for (size_t v = first; v < end; ++v) {
    const Vec3f p{static_cast<float>(mesh.positions[3 * v]), static_cast<float>(mesh.positions[3 * v + 1]),
                  static_cast<float>(mesh.positions[3 * v + 2])};
    points_[v] = Point{p.x, p.y, p.z};
    const float u = (p.x - groundMinX_) * toCellX_;
    const float w = (p.z - groundMinZ_) * toCellZ_;
    const bool onMap = std::fabs(u) < kGuardBand && std::fabs(w) < kGuardBand;  // false for NaN too
    cells_[v] = onMap ? Cell{u, w, FirstCentreAtOrAfter(u, shadowWidth_), LastCentreAtOrBefore(u, shadowWidth_),
                             FirstCentreAtOrAfter(w, shadowHeight_), LastCentreAtOrBefore(w, shadowHeight_)}
                      : Cell{kNoCell, kNoCell, 0, -1, 0, -1};
    const Vec3f d = Sub(p, eye);
    const float z = Dot(d, forward);
    ScreenVertex& s = screen_[v];
    s = ScreenVertex{0.0f, 0.0f, 0.0f, 0, 0};
    if (!(z > 0.0f)) continue;  // behind the eye, or NaN
    const float invZ = 1.0f / z;
    const float x = cx + camera.focal * Dot(d, right) * invZ;
    const float y = cy - camera.focal * Dot(d, up) * invZ;
    if (!(std::fabs(x) < kGuardBand && std::fabs(y) < kGuardBand)) continue;
    s = ScreenVertex{x, y, invZ, RoundToFixed(x), RoundToFixed(y)};
  }
}

void MeshRenderer::Triangulate(const MeshView& mesh) {
  // Polygons fanned from their first vertex (a triangle takes 4 entries of
  // the description, a quad 5 for two).
  triangles_.clear();
  const size_t vertexCount = mesh.VertexCount();
  const std::span<const int32_t> polygons = mesh.polygons;
  triangles_.reserve(polygons.size());
  for (size_t at = 0; at < polygons.size();) {
    const int32_t n = polygons[at];
    if (n < 3 || static_cast<size_t>(n) > polygons.size() - at - 1) break;
    const int32_t* index = &polygons[at + 1];
    bool inRange = true;
    for (int32_t k = 0; k < n; ++k) inRange &= static_cast<uint32_t>(index[k]) < vertexCount;
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
        // Both windings are drawn: turned to one orientation on the screen,
        // so that a surface and its reverse give the same bits.
        const ScreenVertex& sa = screen_[static_cast<size_t>(a)];
        const ScreenVertex& sb = screen_[static_cast<size_t>(b)];
        const ScreenVertex& sc = screen_[static_cast<size_t>(c)];
        if (sa.invZ != 0.0f && sb.invZ != 0.0f && sc.invZ != 0.0f &&
            Edge(sa.fx, sa.fy, sb.fx, sb.fy, sc.fx, sc.fy) < 0) {
          std::swap(b, c);
        }
        triangles_.push_back(a);
        triangles_.push_back(b);
        triangles_.push_back(c);
      }
    }
    at += static_cast<size_t>(n) + 1;
  }

}

void MeshRenderer::SumNormals(int half) {
  // Vertex normals: the sum of the adjacent faces' normals weighted by their
  // area (the plain cross product); each half of the triangles sums into an
  // array of its own, so that the halves can run at once.
  std::vector<float>& sums = half == 0 ? normals_ : otherNormals_;
  std::fill(sums.begin(), sums.end(), 0.0f);
  const auto [first, end] = HalfOf(triangles_.size() / 3, half);
  auto position = [&](int32_t v) {
    const Point& p = points_[static_cast<size_t>(v)];
    return Vec3f{p.x, p.y, p.z};
  };
  for (size_t t = 3 * first; t < 3 * end; t += 3) {
    const Vec3f a = position(triangles_[t]);
    const Vec3f n = Cross(Sub(position(triangles_[t + 1]), a), Sub(position(triangles_[t + 2]), a));
    if (!std::isfinite(n.x + n.y + n.z)) continue;  // a NaN or infinity anywhere (or a sum too large)
    for (int corner = 0; corner < 3; ++corner) {
      float* sum = &sums[3 * static_cast<size_t>(triangles_[t + static_cast<size_t>(corner)])];
      sum[0] += n.x;
      sum[1] += n.y;
      sum[2] += n.z;
    }
  }
}

void MeshRenderer::JoinNormals(size_t first, size_t end) {
  // The two halves' sums, made unit length.
  for (size_t v = first; v < end; ++v) {
    const Vec3f n = Normalized(Vec3f{normals_[3 * v] + otherNormals_[3 * v], normals_[3 * v + 1] + otherNormals_[3 * v + 1],
                                     normals_[3 * v + 2] + otherNormals_[3 * v + 2]});
    normals_[3 * v] = n.x;
    normals_[3 * v + 1] = n.y;
    normals_[3 * v + 2] = n.z;
  }
}

void MeshRenderer::Rasterize(const Camera& camera, size_t first, size_t end, std::vector<uint64_t>& nearestOf) const {
  // The nearest surface of these triangles at each pixel; the buffer of the
  // other half is joined by taking the larger key, which is the same
  // surface whichever half drew it.
  std::fill(nearestOf.begin(), nearestOf.end(), 0);
  const int32_t width = camera.width;
  const int32_t height = camera.height;
  for (auto t = static_cast<int32_t>(first); t < static_cast<int32_t>(end); ++t) {
    const int32_t* index = &triangles_[3 * static_cast<size_t>(t)];
    const ScreenVertex* a = &screen_[static_cast<size_t>(index[0])];
    const ScreenVertex* b = &screen_[static_cast<size_t>(index[1])];
    const ScreenVertex* c = &screen_[static_cast<size_t>(index[2])];
    if (a->invZ == 0.0f || b->invZ == 0.0f || c->invZ == 0.0f) continue;

    // 1) the pixels whose centres (x + 0.5, y + 0.5) the bounding box can
    // hold: none for many triangles of a fine mesh
    const int32_t half = kSubpixel / 2;
    const int32_t y0 = std::max(0, (std::min({a->fy, b->fy, c->fy}) - half + kSubpixel - 1) >> kSubpixelBits);
    const int32_t y1 = std::min(height - 1, (std::max({a->fy, b->fy, c->fy}) - half) >> kSubpixelBits);
    if (y0 > y1) continue;
    const int32_t x0 = std::max(0, (std::min({a->fx, b->fx, c->fx}) - half + kSubpixel - 1) >> kSubpixelBits);
    const int32_t x1 = std::min(width - 1, (std::max({a->fx, b->fx, c->fx}) - half) >> kSubpixelBits);
    if (x0 > x1) continue;

    // 2) Triangulate turned every drawable triangle counter-clockwise on
    // the screen; what is left has no area
    const int64_t area = Edge(a->fx, a->fy, b->fx, b->fy, c->fx, c->fy);
    if (area <= 0) continue;

    // 3) edge functions at the first pixel centre, biased by the fill rule
    // so that "inside" is all three >= 0
    const int64_t px = static_cast<int64_t>(x0) * kSubpixel + half;
    const int64_t py = static_cast<int64_t>(y0) * kSubpixel + half;
    const int64_t e0 = Edge(b->fx, b->fy, c->fx, c->fy, px, py);
    const int64_t e1 = Edge(c->fx, c->fy, a->fx, a->fy, px, py);
    const int64_t e2 = Edge(a->fx, a->fy, b->fx, b->fy, px, py);
    int64_t row0 = e0 - (IsTopLeft(b->fx, b->fy, c->fx, c->fy) ? 0 : 1);
    int64_t row1 = e1 - (IsTopLeft(c->fx, c->fy, a->fx, a->fy) ? 0 : 1);
    int64_t row2 = e2 - (IsTopLeft(a->fx, a->fy, b->fx, b->fy) ? 0 : 1);

    // 4) 1 / depth is linear on the screen: its plane through the three
    // vertices, evaluated directly at each pixel (no accumulated rounding)
    const float inverseArea = 1.0f / static_cast<float>(area);
    const float za = a->invZ * inverseArea;
    const float zb = b->invZ * inverseArea;
    const float zc = c->invZ * inverseArea;
    const float z0 = static_cast<float>(e0) * za + static_cast<float>(e1) * zb + static_cast<float>(e2) * zc;
    const uint64_t tieBreak = kNoOwner - static_cast<uint32_t>(t);
    if (x0 == x1 && y0 == y1) {
      // Most triangles of a fine mesh have one pixel centre to test.
      uint64_t& nearest = nearestOf[static_cast<size_t>(y0) * static_cast<size_t>(width) + static_cast<size_t>(x0)];
      const uint64_t key = (static_cast<uint64_t>(std::bit_cast<uint32_t>(z0)) << 32) | tieBreak;
      if ((row0 | row1 | row2) >= 0 && z0 > 0.0f && key > nearest) nearest = key;
      continue;
    }
    // Steps per pixel; differences of guard-band coordinates times 16 fit an int32.
    const int32_t stepX0 = (b->fy - c->fy) * kSubpixel;
    const int32_t stepX1 = (c->fy - a->fy) * kSubpixel;
    const int32_t stepX2 = (a->fy - b->fy) * kSubpixel;
    const int32_t stepY0 = (c->fx - b->fx) * kSubpixel;
    const int32_t stepY1 = (a->fx - c->fx) * kSubpixel;
    const int32_t stepY2 = (b->fx - a->fx) * kSubpixel;
    const float dzdx = static_cast<float>(stepX0) * za + static_cast<float>(stepX1) * zb + static_cast<float>(stepX2) * zc;
    const float dzdy = static_cast<float>(stepY0) * za + static_cast<float>(stepY1) * zb + static_cast<float>(stepY2) * zc;

    // 5) the pixels inside, nearest surface kept (the earlier triangle on a tie)
    for (int32_t y = y0; y <= y1; ++y) {
      int64_t w0 = row0;
      int64_t w1 = row1;
      int64_t w2 = row2;
      const float zRow = z0 + dzdy * static_cast<float>(y - y0);
      uint64_t* nearestRow = &nearestOf[static_cast<size_t>(y) * static_cast<size_t>(width)];
      for (int32_t x = x0; x <= x1; ++x) {
        if ((w0 | w1 | w2) >= 0) {
          const float z = zRow + dzdx * static_cast<float>(x - x0);
          const uint64_t key = (static_cast<uint64_t>(std::bit_cast<uint32_t>(z)) << 32) | tieBreak;
          if (z > 0.0f && key > nearestRow[x]) nearestRow[x] = key;
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

void MeshRenderer::PrepareShadow(const Camera& camera) {
  // The ground patch as a map of cells, the longer side kShadowCells.
  const float spanX = camera.groundMax[0] - camera.groundMin[0];
  const float spanZ = camera.groundMax[1] - camera.groundMin[1];
  const float longer = std::max(spanX, spanZ);
  if (!(longer > 0.0f)) {
    shadowWidth_ = shadowHeight_ = 0;
    shadow_.clear();
    otherShadow_.clear();
    toCellX_ = toCellZ_ = 0.0f;  // every vertex then maps to cell 0, on an empty map: no shadow
    return;
  }
  shadowWidth_ = std::max(1, static_cast<int32_t>(static_cast<float>(kShadowCells) * spanX / longer));
  shadowHeight_ = std::max(1, static_cast<int32_t>(static_cast<float>(kShadowCells) * spanZ / longer));
  shadow_.resize(static_cast<size_t>(shadowWidth_) * static_cast<size_t>(shadowHeight_));
  otherShadow_.resize(shadow_.size());
  blurred_.resize(static_cast<size_t>(std::max(shadowWidth_, shadowHeight_)));
  toCellX_ = static_cast<float>(shadowWidth_) / spanX;
  toCellZ_ = static_cast<float>(shadowHeight_) / spanZ;
  groundMinX_ = camera.groundMin[0];
  groundMinZ_ = camera.groundMin[1];
}

void MeshRenderer::CastShadow(size_t first, size_t end, std::vector<float>& shadow) const {
  // Every triangle dropped straight down: the cells whose centres it covers
  // (edges included on both sides, so a closed surface leaves no gap).
  std::fill(shadow.begin(), shadow.end(), 0.0f);
  for (size_t t = 3 * first; t < 3 * end; t += 3) {
    const Cell& ca = cells_[static_cast<size_t>(triangles_[t])];
    const Cell& cb = cells_[static_cast<size_t>(triangles_[t + 1])];
    const Cell& cc = cells_[static_cast<size_t>(triangles_[t + 2])];
    // the cell centres inside the bounding box (a tiny triangle's often none)
    const int32_t j0 = std::min({ca.firstRow, cb.firstRow, cc.firstRow});
    const int32_t j1 = std::max({ca.lastRow, cb.lastRow, cc.lastRow});
    const int32_t i0 = std::min({ca.firstColumn, cb.firstColumn, cc.firstColumn});
    const int32_t i1 = std::max({ca.lastColumn, cb.lastColumn, cc.lastColumn});
    if ((j0 > j1) | (i0 > i1)) continue;
    if (ca.u == kNoCell || cb.u == kNoCell || cc.u == kNoCell) continue;
    float u[3] = {ca.u, cb.u, cc.u};
    float w[3] = {ca.w, cb.w, cc.w};
    const float area = (u[1] - u[0]) * (w[2] - w[0]) - (w[1] - w[0]) * (u[2] - u[0]);
    if (area == 0.0f) continue;
    if (area < 0.0f) {
      std::swap(u[1], u[2]);
      std::swap(w[1], w[2]);
    }
    for (int32_t j = j0; j <= j1; ++j) {
      const float cw = static_cast<float>(j) + 0.5f;
      for (int32_t i = i0; i <= i1; ++i) {
        const float cu = static_cast<float>(i) + 0.5f;
        const float e0 = (u[2] - u[1]) * (cw - w[1]) - (w[2] - w[1]) * (cu - u[1]);
        const float e1 = (u[0] - u[2]) * (cw - w[2]) - (w[0] - w[2]) * (cu - u[2]);
        const float e2 = (u[1] - u[0]) * (cw - w[0]) - (w[1] - w[0]) * (cu - u[0]);
        if (e0 >= 0.0f && e1 >= 0.0f && e2 >= 0.0f) {
          shadow[static_cast<size_t>(j) * static_cast<size_t>(shadowWidth_) + static_cast<size_t>(i)] = 1.0f;
        }
      }
    }
  }
}

void MeshRenderer::JoinShadow() {
  // A cell is in shadow when either half's triangles cover it.
  for (size_t cell = 0; cell < shadow_.size(); ++cell) shadow_[cell] = std::max(shadow_[cell], otherShadow_[cell]);
}

void MeshRenderer::BlurShadow() {
  // Softened: two box blurs each way approach a Gaussian.
  if (shadowWidth_ == 0) return;
  const int32_t radius = std::max(1, std::max(shadowWidth_, shadowHeight_) / 48);
  for (int pass = 0; pass < 2; ++pass) {
    BoxBlur(shadow_, shadowWidth_, shadowHeight_, radius, true, blurred_);
    BoxBlur(shadow_, shadowWidth_, shadowHeight_, radius, false, blurred_);
  }
}

void MeshRenderer::Shade(const Camera& camera, int32_t rowFirst, int32_t rowEnd, Picture& picture) const {
  const int32_t width = camera.width;
  const int32_t height = camera.height;
  const GammaTable& gamma = Gamma();
  const Vec3f eye = Of(camera.eye);
  const Vec3f right = Of(camera.right);
  const Vec3f up = Of(camera.up);
  const Vec3f forward = Of(camera.forward);
  const Vec3f key = Normalized(Of(kKeyLight));
  const Vec3f fill = Normalized(Of(kFillLight));
  // The highlight's half vector for the view along the camera's axis (the
  // field of view is narrow enough for one direction to serve every pixel).
  const Vec3f halfway = Normalized(Sub(key, forward));
  const float cx = 0.5f * static_cast<float>(width);
  const float cy = 0.5f * static_cast<float>(height);
  const float inverseFocal = 1.0f / camera.focal;
  const float spanX = camera.groundMax[0] - camera.groundMin[0];
  const float spanZ = camera.groundMax[1] - camera.groundMin[1];
  const float inverseFadeX = 1.0f / (0.12f * spanX);
  const float inverseFadeZ = 1.0f / (0.12f * spanZ);
  auto nearestAt = [&](size_t p) { return std::max(nearest_[p], otherNearest_[p]); };
  auto shadowAt = [&](int32_t i, int32_t j) {
    i = std::clamp(i, 0, shadowWidth_ - 1);
    j = std::clamp(j, 0, shadowHeight_ - 1);
    return shadow_[static_cast<size_t>(j) * static_cast<size_t>(shadowWidth_) + static_cast<size_t>(i)];
  };

  for (int32_t y = rowFirst; y < rowEnd; ++y) {
    const float sy = static_cast<float>(y) + 0.5f;
    const float ry = (cy - sy) * inverseFocal;
    const Vec3f rowRay{up.x * ry + forward.x, up.y * ry + forward.y, up.z * ry + forward.z};
    const float along = static_cast<float>(y) / static_cast<float>(height);
    float sky[3];
    for (int ch = 0; ch < 3; ++ch) sky[ch] = kSkyTop[ch] + (kSkyBottom[ch] - kSkyTop[ch]) * along;
    for (int32_t x = 0; x < width; ++x) {
      const size_t p = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
      const float sx = static_cast<float>(x) + 0.5f;
      // The ray through the pixel centre (not unit length).
      const float rx = (sx - cx) * inverseFocal;
      const Vec3f ray{rowRay.x + right.x * rx, rowRay.y + right.y * rx, rowRay.z + right.z * rx};
      float colour[3] = {sky[0], sky[1], sky[2]};
      const uint64_t nearest = nearestAt(p);
      if (nearest != 0) {
        const auto t = static_cast<int32_t>(kNoOwner - static_cast<uint32_t>(nearest));
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
        if (l0 + l1 + l2 < 0.0f) {
          l0 = -l0;
          l1 = -l1;
          l2 = -l2;
        }
        l0 = std::max(l0, 0.0f);
        l1 = std::max(l1, 0.0f);
        l2 = std::max(l2, 0.0f);
        const float total = l0 + l1 + l2;
        if (total > 0.0f) {
          const float inverse = 1.0f / total;
          l0 *= inverse;
          l1 *= inverse;
          l2 *= inverse;
        } else {
          l0 = l1 = l2 = 1.0f / 3.0f;
        }
        const float* na = &normals_[3 * static_cast<size_t>(index[0])];
        const float* nb = &normals_[3 * static_cast<size_t>(index[1])];
        const float* nc = &normals_[3 * static_cast<size_t>(index[2])];
        Vec3f n = Normalized(Vec3f{na[0] * l0 + nb[0] * l1 + nc[0] * l2, na[1] * l0 + nb[1] * l1 + nc[1] * l2,
                                   na[2] * l0 + nb[2] * l1 + nc[2] * l2});
        if (Dot(n, ray) > 0.0f) n = Vec3f{-n.x, -n.y, -n.z};  // lit from the side we see

        // 2) light: sky-to-ground ambient, a key light with a highlight, a fill
        const float ambient = 0.10f + 0.06f * n.y;
        const float diffuse = std::max(Dot(n, key), 0.0f) * 0.95f + std::max(Dot(n, fill), 0.0f) * 0.30f;
        float specular = std::max(Dot(n, halfway), 0.0f);
        for (int power = 0; power < 5; ++power) specular *= specular;  // ^32
        specular *= 0.25f;
        for (int ch = 0; ch < 3; ++ch) colour[ch] = kAlbedo[ch] * (ambient + diffuse) + specular;

        // 3) outline: an uncovered or clearly farther neighbour
        const float farther = DepthOf(nearest) * (1.0f - kDepthStep);
        const size_t row = static_cast<size_t>(width);
        const bool edge = (x > 0 && DepthOf(nearestAt(p - 1)) < farther) ||
                          (x + 1 < width && DepthOf(nearestAt(p + 1)) < farther) ||
                          (y > 0 && DepthOf(nearestAt(p - row)) < farther) ||
                          (y + 1 < height && DepthOf(nearestAt(p + row)) < farther);
        if (edge) {
          for (float& value : colour) value *= kOutline;
        }
        picture.coverage[p] = 1;
      } else if (ray.y < 0.0f && shadowWidth_ > 0) {
        // 4) the background: the sky, and the ground patch with the shadow
        // where the ray meets the ground plane inside it, faded at its edges
        const float distance = (camera.groundY - eye.y) / ray.y;
        const float gx = eye.x + ray.x * distance;
        const float gz = eye.z + ray.z * distance;
        const float inX = std::min(gx - camera.groundMin[0], camera.groundMax[0] - gx) * inverseFadeX;
        const float inZ = std::min(gz - camera.groundMin[1], camera.groundMax[1] - gz) * inverseFadeZ;
        const float alpha = std::min(std::min(inX, inZ), 1.0f);
        if (distance > 0.0f && alpha > 0.0f) {
          // bilinear in the shadow map, cell centres at (i + 0.5, j + 0.5)
          const float u = (gx - groundMinX_) * toCellX_ - 0.5f;
          const float v = (gz - groundMinZ_) * toCellZ_ - 0.5f;
          const int32_t i = FloorToInt(u);
          const int32_t j = FloorToInt(v);
          const float tu = u - static_cast<float>(i);
          const float tv = v - static_cast<float>(j);
          const float top = shadowAt(i, j) + (shadowAt(i + 1, j) - shadowAt(i, j)) * tu;
          const float bottom = shadowAt(i, j + 1) + (shadowAt(i + 1, j + 1) - shadowAt(i, j + 1)) * tu;
          const float shade = 1.0f - kShadowDarkness * (top + (bottom - top) * tv);
          for (int ch = 0; ch < 3; ++ch) colour[ch] += (kGround[ch] * shade - colour[ch]) * alpha;
        }
      }
      uint8_t* out = &picture.rgb[3 * p];
      out[0] = gamma(colour[0]);
      out[1] = gamma(colour[1]);
      out[2] = gamma(colour[2]);
    }
  }
}
