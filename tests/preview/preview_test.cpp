// The previews' camera and rasteriser, against geometry worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <string>

#include "camera.h"
#include "contact_sheet.h"
#include "mesh_renderer.h"

namespace {

// A closed UV sphere: every vertex on the sphere, so the surface lies
// between the sphere and a concentric one of radius radius * cos(step).
MeshData Sphere(double cx, double cy, double cz, double radius, int rings, int segments) {
  MeshData mesh;
  auto add = [&](double theta, double phi) {
    mesh.positions.insert(mesh.positions.end(), {cx + radius * std::sin(theta) * std::cos(phi),
                                                 cy + radius * std::cos(theta),
                                                 cz + radius * std::sin(theta) * std::sin(phi)});
  };
  add(0.0, 0.0);
  for (int r = 1; r < rings; ++r) {
    for (int s = 0; s < segments; ++s) add(std::numbers::pi * r / rings, 2.0 * std::numbers::pi * s / segments);
  }
  add(std::numbers::pi, 0.0);
  const int south = 1 + (rings - 1) * segments;
  auto ring = [&](int r, int s) { return 1 + (r - 1) * segments + (s % segments); };
  for (int s = 0; s < segments; ++s) {
    mesh.polygons.insert(mesh.polygons.end(), {3, 0, ring(1, s + 1), ring(1, s)});
    mesh.polygons.insert(mesh.polygons.end(), {3, south, ring(rings - 1, s), ring(rings - 1, s + 1)});
    for (int r = 1; r + 1 < rings; ++r) {
      mesh.polygons.insert(mesh.polygons.end(), {4, ring(r, s), ring(r, s + 1), ring(r + 1, s + 1), ring(r + 1, s)});
    }
  }
  return mesh;
}

// Screen position and depth of a point, as the camera defines them.
bool Project(const Camera& camera, const double p[3], double& x, double& y) {
  double d[3];
  for (int a = 0; a < 3; ++a) d[a] = p[a] - camera.eye[a];
  const double depth = d[0] * camera.forward[0] + d[1] * camera.forward[1] + d[2] * camera.forward[2];
  if (!(depth > 0.0)) return false;
  x = 0.5 * camera.width + camera.focal * (d[0] * camera.right[0] + d[1] * camera.right[1] + d[2] * camera.right[2]) / depth;
  y = 0.5 * camera.height - camera.focal * (d[0] * camera.up[0] + d[1] * camera.up[1] + d[2] * camera.up[2]) / depth;
  return true;
}

// Distance from `centre` to the ray through the centre of pixel (px, py).
double RayDistance(const Camera& camera, int px, int py, const double centre[3]) {
  const double rx = (px + 0.5 - 0.5 * camera.width) / camera.focal;
  const double ry = (0.5 * camera.height - py - 0.5) / camera.focal;
  double ray[3];
  double length = 0.0;
  for (int a = 0; a < 3; ++a) {
    ray[a] = camera.right[a] * rx + camera.up[a] * ry + camera.forward[a];
    length += ray[a] * ray[a];
  }
  length = std::sqrt(length);
  double toCentre[3];
  double along = 0.0;
  for (int a = 0; a < 3; ++a) {
    toCentre[a] = centre[a] - camera.eye[a];
    along += toCentre[a] * ray[a] / length;
  }
  double squared = 0.0;
  for (int a = 0; a < 3; ++a) {
    const double off = toCentre[a] - along * ray[a] / length;
    squared += off * off;
  }
  return std::sqrt(squared);
}

Box3 BoxOf(double x0, double y0, double z0, double x1, double y1, double z1) {
  Box3 box;
  box.Add(x0, y0, z0);
  box.Add(x1, y1, z1);
  return box;
}

}  // namespace

// Every corner of the framed box is in the picture, in front of the eye,
// and the box fills most of the picture along its tighter side.
TEST(FrameBox, HoldsTheWholeBoxAndFillsThePicture) {
  const struct {
    const char* what;
    Box3 box;
  } boxes[] = {
      {"cube", BoxOf(-1, -1, -1, 1, 1, 1)},
      {"flat", BoxOf(-3, 0.5, -2, 3, 0.5, 2)},
      {"tall and thin", BoxOf(0, -50, 0, 0.1, 50, 0.1)},
      {"small and far from the origin", BoxOf(1000, -50, 3, 1000.01, -49.99, 3.01)},
      {"empty", Box3{}},
  };
  const int sizes[][2] = {{64, 64}, {300, 100}, {100, 300}};
  for (const auto& c : boxes) {
    for (const auto& size : sizes) {
      SCOPED_TRACE(std::string(c.what) + " in " + std::to_string(size[0]) + " x " + std::to_string(size[1]));
      const Camera camera = FrameBox(c.box, size[0], size[1]);
      const Box3 framed = c.box.IsEmpty() ? BoxOf(-1, -1, -1, 1, 1, 1) : c.box;
      double low[2] = {1e300, 1e300};
      double high[2] = {-1e300, -1e300};
      for (int corner = 0; corner < 8; ++corner) {
        const double p[3] = {(corner & 4) ? framed.max[0] : framed.min[0], (corner & 2) ? framed.max[1] : framed.min[1],
                             (corner & 1) ? framed.max[2] : framed.min[2]};
        double x = 0.0;
        double y = 0.0;
        ASSERT_TRUE(Project(camera, p, x, y));
        EXPECT_GE(x, 0.0);
        EXPECT_LE(x, size[0]);
        EXPECT_GE(y, 0.0);
        EXPECT_LE(y, size[1]);
        low[0] = std::min(low[0], x);
        low[1] = std::min(low[1], y);
        high[0] = std::max(high[0], x);
        high[1] = std::max(high[1], y);
      }
      EXPECT_GT(std::max((high[0] - low[0]) / size[0], (high[1] - low[1]) / size[1]), 0.6);
    }
  }
  // A single point is framed as a small box around it.
  double x = 0.0;
  double y = 0.0;
  const double point[3] = {2, 3, 4};
  ASSERT_TRUE(Project(FrameBox(BoxOf(2, 3, 4, 2, 3, 4), 64, 32), point, x, y));
  EXPECT_NEAR(x, 32.0, 8.0);
  EXPECT_NEAR(y, 16.0, 8.0);
}

// The surface covers exactly the sphere's outline: every pixel whose ray
// passes well inside the sphere, none whose ray passes clear of it. A crack
// between triangles or a wrong projection shows as a miss.
TEST(MeshRenderer, SphereCoversItsOutline) {
  const double centre[3] = {0.3, -0.4, 0.2};
  const double radius = 0.9;
  const int rings = 48;
  const int segments = 96;
  const MeshData sphere = Sphere(centre[0], centre[1], centre[2], radius, rings, segments);
  const double inner = radius * std::cos(2.0 * std::numbers::pi / segments);
  for (const auto& size : {std::pair{200, 150}, std::pair{120, 240}}) {
    SCOPED_TRACE(std::to_string(size.first) + " x " + std::to_string(size.second));
    const Camera camera = FrameBox(BoxOf(-2, -2, -2, 2, 2, 2), size.first, size.second);
    MeshRenderer renderer;
    Picture picture;
    renderer.Render(sphere, camera, picture);
    ASSERT_EQ(picture.width, size.first);
    ASSERT_EQ(picture.height, size.second);
    double toCentre = 0.0;
    for (int a = 0; a < 3; ++a) toCentre += (centre[a] - camera.eye[a]) * (centre[a] - camera.eye[a]);
    const double pixel = std::sqrt(toCentre) / camera.focal;  // a pixel's width at the centre's distance
    int inside = 0;
    int outside = 0;
    for (int y = 0; y < picture.height; ++y) {
      for (int x = 0; x < picture.width; ++x) {
        const double d = RayDistance(camera, x, y, centre);
        const bool covered = picture.coverage[static_cast<size_t>(y * picture.width + x)] != 0;
        if (d < inner - pixel) {
          EXPECT_TRUE(covered) << x << " " << y;
          ++inside;
        } else if (d > radius + pixel) {
          EXPECT_FALSE(covered) << x << " " << y;
          ++outside;
        }
      }
    }
    EXPECT_GT(inside, 500);
    EXPECT_GT(outside, 500);
  }
}

// Both windings of a closed and of an open surface give the same picture:
// the surface is lit from the side the eye sees.
TEST(MeshRenderer, WindingDoesNotChangeThePicture) {
  MeshData mesh = Sphere(-0.6, 0.2, 0.0, 0.7, 12, 24);
  const int32_t base = static_cast<int32_t>(mesh.VertexCount());
  mesh.positions.insert(mesh.positions.end(), {0.2, -1, -1, 1.5, -1, -1, 1.5, 1, 0.5, 0.2, 1, 0.5});
  mesh.polygons.insert(mesh.polygons.end(), {4, base, base + 1, base + 2, base + 3});
  MeshData reversed = mesh;  // each polygon's first vertex kept, so quads keep their diagonal
  for (size_t at = 0; at < reversed.polygons.size(); at += static_cast<size_t>(reversed.polygons[at]) + 1) {
    std::reverse(reversed.polygons.begin() + static_cast<std::ptrdiff_t>(at) + 2,
                 reversed.polygons.begin() + static_cast<std::ptrdiff_t>(at) + 1 + reversed.polygons[at]);
  }
  const Camera camera = FrameBox(BoxOf(-1.5, -1.5, -1.5, 1.5, 1.5, 1.5), 160, 120);
  MeshRenderer renderer;
  Picture a;
  Picture b;
  renderer.Render(mesh, camera, a);
  renderer.Render(reversed, camera, b);
  EXPECT_EQ(a.coverage, b.coverage);
  EXPECT_EQ(a.rgb, b.rgb);
  EXPECT_GT(std::count(a.coverage.begin(), a.coverage.end(), 1), 1000);
}

// Vertices that cannot be drawn (NaN, infinite) drop their triangles only:
// a flat sheet facing up loses the pixels of those triangles, keeps the rest.
TEST(MeshRenderer, UndrawableVerticesDropOnlyTheirTriangles) {
  MeshData sheet;
  const int n = 10;
  for (int i = 0; i <= n; ++i) {
    for (int k = 0; k <= n; ++k) sheet.positions.insert(sheet.positions.end(), {i * 0.2 - 1.0, 0.0, k * 0.2 - 1.0});
  }
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < n; ++k) {
      const int v = i * (n + 1) + k;
      sheet.polygons.insert(sheet.polygons.end(), {4, v, v + 1, v + n + 2, v + n + 1});
    }
  }
  const Camera camera = FrameBox(BoxOf(-1, -1, -1, 1, 1, 1), 96, 96);
  MeshRenderer renderer;
  Picture whole;
  renderer.Render(sheet, camera, whole);
  MeshData damaged = sheet;
  damaged.positions[3 * (3 * (n + 1) + 3)] = std::nan("");      // a vertex inside: 4 quads go
  damaged.positions[3 * (7 * (n + 1) + 6) + 1] = INFINITY;       // another: 4 more
  Picture holed;
  renderer.Render(damaged, camera, holed);
  const auto covered = [](const Picture& p) { return std::count(p.coverage.begin(), p.coverage.end(), 1); };
  ASSERT_GT(covered(whole), 1000);
  EXPECT_LT(covered(holed), covered(whole) - covered(whole) / 50);
  EXPECT_GT(covered(holed), covered(whole) - covered(whole) / 5);
}

TEST(PreviewNames, FrameNumbersAndPictureSizes) {
  const struct {
    const char* name;
    std::optional<int64_t> frame;
  } names[] = {{"out/demo.0012.obj", 12},     {"drip.-003.ply", -3},    {"a-3.obj", 3},
               {"shot2_v1.0040.ply", 40},     {"noframe.obj", std::nullopt}, {"7.obj", 7},
               {"-7.obj", -7},                {"x.1234567890123456789.obj", std::nullopt}};
  for (const auto& c : names) EXPECT_EQ(FrameNumberOfFile(c.name), c.frame) << c.name;

  const struct {
    const char* text;
    bool ok;
    int32_t width;
    int32_t height;
  } sizes[] = {{"768", true, 768, 768}, {"640x480", true, 640, 480}, {"16X8192", true, 16, 8192},
               {"15", false, 0, 0},     {"8193", false, 0, 0},       {"640x", false, 0, 0},
               {"x480", false, 0, 0},   {"640x480x2", false, 0, 0},  {"-640", false, 0, 0},
               {"", false, 0, 0},       {"64 x 64", false, 0, 0}};
  for (const auto& c : sizes) {
    int32_t width = 0;
    int32_t height = 0;
    EXPECT_EQ(ParsePictureSize(c.text, width, height), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::pair(width, height), std::pair(c.width, c.height)) << c.text;
    }
  }
}
