#pragma once
// MeshRenderer: draws a polygon mesh into a Picture through a Camera with a
// depth buffer: smooth shading from per-vertex normals (area-weighted from
// the faces, lit from both sides, since open and inconsistently wound
// meshes occur), a dark outline along silhouettes and depth steps, and a
// soft shadow cast straight down onto the camera's ground patch. Each stage
// is split in two fixed halves (of the vertices, of the triangles, each half
// with a depth buffer and shadow map of its own, or of the rows), run on two
// threads where the machine has two cores: the same mesh and camera give the
// same bytes on any machine.
//
// Measured with callgrind on the 400,000 triangles of bench/space0_bench's
// BM_FramePreview/P:100000 at 768 x 768: about 490 million instructions,
// 60 million of them in the stages that run on one thread (Triangulate, the
// shadow's blur).

#include <cstdint>
#include <vector>

#include "camera.h"
#include "mesh_data.h"
#include "picture.h"

class MeshRenderer {
 public:
  // Draws `mesh` (polygons fanned into triangles; quads included) into
  // `picture`, which becomes camera.width x camera.height. Vertices with a
  // NaN or infinite coordinate, or behind the eye, drop their triangles. The
  // scratch buffers are kept for the next call.
  void Render(const MeshView& mesh, const Camera& camera, Picture& picture);

 private:
  struct ScreenVertex {
    float x;      // pixels from the left edge
    float y;      // pixels from the top edge
    float invZ;   // 1 / depth; 0 marks a vertex that cannot be drawn
    int32_t fx;   // x and y in 1/16 pixel
    int32_t fy;
  };
  // The stages of Render; the ranges (of vertices, triangles or rows) are
  // those of one of two halves.
  void Transform(const MeshView& mesh, const Camera& camera, size_t first, size_t end);
  void Triangulate(const MeshView& mesh);
  void SumNormals(int half);
  void JoinNormals(size_t first, size_t end);
  void Rasterize(const Camera& camera, size_t first, size_t end, std::vector<uint64_t>& nearestOf) const;
  void PrepareShadow(const Camera& camera);
  void CastShadow(size_t first, size_t end, std::vector<float>& shadow) const;
  void JoinShadow();
  void BlurShadow();
  void Shade(const Camera& camera, int32_t rowFirst, int32_t rowEnd, Picture& picture) const;

  struct Point {
    float x, y, z;
  };
  struct Cell {
    float u, w;  // position on the shadow map, in cells; kNoCell when off the usable range
    // The first and last column and row of the map whose cell centres are
    // at or after u, w (first) and at or before them (last); a triangle's
    // range is the least first and the greatest last of its corners.
    int16_t firstColumn, lastColumn, firstRow, lastRow;
  };
  static constexpr float kNoCell = -3.0e38f;

  std::vector<Point> points_;      // the mesh's vertices in single precision
  std::vector<ScreenVertex> screen_;
  std::vector<Cell> cells_;
  std::vector<float> normals_;     // unit normal of vertex v at [3v] (first the sums of one half of the triangles)
  std::vector<float> otherNormals_;  // the sums of the other half
  std::vector<int32_t> triangles_; // vertex indices of triangle t at [3t]
  std::vector<uint64_t> nearest_;  // per pixel: 1 / depth and triangle of the nearest surface (mesh_renderer.cpp)
  std::vector<uint64_t> otherNearest_;  // the same for the other half of the triangles
  std::vector<float> shadow_;      // shadow darkness on the ground patch, 0 to 1
  std::vector<float> otherShadow_;  // the cells the other half of the triangles covers
  std::vector<float> blurred_;
  int32_t shadowWidth_ = 0;
  int32_t shadowHeight_ = 0;
  float toCellX_ = 0.0f;           // ground x, z to shadow cells
  float toCellZ_ = 0.0f;
  float groundMinX_ = 0.0f;
  float groundMinZ_ = 0.0f;
};
