#include "cubes/box_emitter.h"

#include <cmath>

namespace {

void PutCorners(XSI::MATH::CVector3* corners, const Float3& o, const Float3& size) {
  const Float3 h{size.x * 0.5f, size.y * 0.5f, size.z * 0.5f};
  // Sign of each corner's offset per axis, corners 0..7.
  constexpr int kSignX[8] = {+1, -1, -1, +1, +1, -1, -1, +1};
  constexpr int kSignY[8] = {+1, +1, +1, +1, -1, -1, -1, -1};
  constexpr int kSignZ[8] = {+1, +1, -1, -1, +1, +1, -1, -1};
  for (int m = 0; m < 8; ++m) {
    const float x = kSignX[m] > 0 ? o.x + h.x : o.x - h.x;
    const float y = kSignY[m] > 0 ? o.y + h.y : o.y - h.y;
    const float z = kSignZ[m] > 0 ? o.z + h.z : o.z - h.z;
    corners[m] = XSI::MATH::CVector3(x, y, z);
  }
}

void AppendCorners(XSI::MATH::CVector3Array& vertices, const Float3& o, const Float3& size) {
  const XSI::LONG first = vertices.GetCount();
  vertices.Resize(first + 8);
  PutCorners(&vertices[first], o, size);
}

XSI::LONG* PutQuads(XSI::LONG* entries, XSI::LONG base, const int (*quads)[4], int count) {
  for (int q = 0; q < count; ++q) {
    *entries++ = 4;
    for (int k = 0; k < 4; ++k) *entries++ = base + quads[q][k];
  }
  return entries;
}

void AppendQuads(XSI::CLongArray& polygons, XSI::LONG base, const int (*quads)[4], int count) {
  const XSI::LONG first = polygons.GetCount();
  polygons.Resize(first + 5 * count);
  PutQuads(&polygons[first], base, quads, count);
}

}  // namespace

void WriteBox(XSI::MATH::CVector3* corners, XSI::LONG* entries, XSI::LONG base, const Float3& centre,
              const Float3& size) {
  // Faces +y, -x, -z, +x, +z, -y; each runs counter-clockwise seen from outside.
  constexpr int kFaces[6][4] = {{3, 2, 1, 0}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}, {0, 1, 5, 4}, {4, 5, 6, 7}};
  PutCorners(corners, centre, size);
  PutQuads(entries, base, kFaces, 6);
}

void EmitBox(XSI::MATH::CVector3Array& vertices, XSI::CLongArray& polygons, const Float3& centre,
             const Float3& size) {
  const XSI::LONG base = vertices.GetCount();
  const XSI::LONG entries = polygons.GetCount();
  vertices.Resize(base + 8);
  polygons.Resize(entries + kBoxEntries);
  WriteBox(&vertices[base], &polygons[entries], base, centre, size);
}

void EmitContainerOutline(XSI::MATH::CVector3Array& vertices, XSI::CLongArray& polygons, const Float3& centre,
                          const Float3& size) {
  // Vertex 8n + m is corner m of copy n. Each edge a-b takes its four corners
  // from four different copies, so every vertex is used exactly once.
  constexpr int kEdges[12][4] = {
      {0, 9, 17, 24},  {1, 10, 18, 25}, {2, 11, 19, 26}, {3, 8, 16, 27},   // top: 0-1, 1-2, 2-3, 3-0
      {4, 13, 21, 28}, {5, 14, 22, 29}, {6, 15, 23, 30}, {7, 12, 20, 31},  // bottom: 4-5, 5-6, 6-7, 7-4
      {32, 36, 44, 40}, {33, 37, 45, 41}, {34, 38, 46, 42}, {35, 39, 47, 43},  // vertical: 0-4 .. 3-7
  };
  // A box with an infinite or NaN extent has no corners to draw.
  if (!std::isfinite(size.x) || !std::isfinite(size.y) || !std::isfinite(size.z)) return;
  const XSI::LONG base = vertices.GetCount();
  for (int copy = 0; copy < 6; ++copy) AppendCorners(vertices, centre, size);
  AppendQuads(polygons, base, kEdges, 12);
}
