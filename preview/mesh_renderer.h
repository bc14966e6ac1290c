#pragma once
// MeshRenderer: draws a polygon mesh into a Picture through a Camera with a
// depth buffer: smooth shading from per-vertex normals (area-weighted from
// the faces, lit from both sides, since open and inconsistently wound
// meshes occur), a dark outline along silhouettes and depth steps, and a
// soft shadow cast straight down onto the camera's ground patch. Single
// threaded and deterministic: the same mesh and camera give the same bytes.

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
  void Render(const MeshData& mesh, const Camera& camera, Picture& picture);

 private:
  struct ScreenVertex {
    float x;      // pixels from the left edge
    float y;      // pixels from the top edge
    float invZ;   // 1 / depth; 0 marks a vertex that cannot be drawn
    int32_t fx;   // x and y in 1/16 pixel
    int32_t fy;
  };
  void Transform(const MeshData& mesh, const Camera& camera);
  void Triangulate(const MeshData& mesh);
  void Rasterize(const Camera& camera);
  void CastShadow(const MeshData& mesh, const Camera& camera);
  void Shade(const Camera& camera, Picture& picture);

  std::vector<ScreenVertex> screen_;
  std::vector<float> normals_;     // unit normal of vertex v at [3v]
  std::vector<int32_t> triangles_; // vertex indices of triangle t at [3t]
  std::vector<float> depth_;       // 1 / depth of the nearest surface per pixel, 0 for none
  std::vector<int32_t> owner_;     // triangle seen at each pixel, -1 for none
  std::vector<float> shadow_;      // shadow darkness on the ground patch, 0 to 1
  std::vector<float> blurred_;
  int32_t shadowWidth_ = 0;
  int32_t shadowHeight_ = 0;
};
