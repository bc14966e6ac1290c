#pragma once
// The previews' camera: a pinhole camera at one fixed angle (from the front
// right, a little above, Y up) that frames a box, so that every picture
// framed on the same box has the same view.

#include <cstddef>
#include <cstdint>

// An axis-aligned box of points; empty until a finite point is added.
struct Box3 {
  double min[3] = {1.0, 1.0, 1.0};
  double max[3] = {-1.0, -1.0, -1.0};

  bool IsEmpty() const { return min[0] > max[0]; }
  // Grows to hold (x, y, z); points with a NaN or infinite coordinate are left out.
  void Add(double x, double y, double z);
  void Add(const Box3& other);
};

struct Camera {
  int32_t width = 0;   // picture size in pixels
  int32_t height = 0;
  float eye[3] = {};
  // Unit axes of the view: right and up on the picture, forward into it.
  float right[3] = {};
  float up[3] = {};
  float forward[3] = {};
  float focal = 1.0f;  // pixels per unit of x / depth
  // The ground: the plane y = groundY under the framed box, and the patch of
  // it (x from groundMin[0] to groundMax[0], z from groundMin[1] to
  // groundMax[1]) that catches the surface's shadow.
  float groundY = 0.0f;
  float groundMin[2] = {};
  float groundMax[2] = {};
};

// The camera whose view holds all of `box` (every corner inside the picture,
// with a margin) for a picture of width x height pixels (both at least 1).
// An empty box frames the cube from -1 to 1; a flat or tiny one is widened
// so that the view stays defined.
Camera FrameBox(const Box3& box, int32_t width, int32_t height);

// The box of a mesh's vertices (x, y, z at positions[3v], [3v + 1], [3v + 2]).
Box3 BoundsOf(const double* positions, size_t vertexCount);
