#include <gtest/gtest.h>

#include <vector>

#include "cubes/box_emitter.h"
#include "support/mesh_checks.h"

using XSI::CLongArray;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;

namespace {

std::vector<XSI::LONG> Entries(const CLongArray& a) { return std::vector<XSI::LONG>(a.GetArray(), a.GetArray() + a.GetCount()); }

// Outward normal (unnormalised) of quad q of a polygon description of quads.
CVector3 QuadNormal(const CVector3Array& v, const CLongArray& p, int q) {
  const CVector3& a = v[p[q * 5 + 1]];
  const CVector3& b = v[p[q * 5 + 2]];
  const CVector3& c = v[p[q * 5 + 3]];
  const double ux = b.GetX() - a.GetX(), uy = b.GetY() - a.GetY(), uz = b.GetZ() - a.GetZ();
  const double wx = c.GetX() - a.GetX(), wy = c.GetY() - a.GetY(), wz = c.GetZ() - a.GetZ();
  return CVector3(uy * wz - uz * wy, uz * wx - ux * wz, ux * wy - uy * wx);
}

}  // namespace

TEST(BoxEmitter, BoxOnEmptyArraysHasTheFixedFaceList) {
  CVector3Array v;
  CLongArray p;
  EmitBox(v, p, Float3{0, 0, 0}, Float3{2, 2, 2});
  ASSERT_EQ(v.GetCount(), 8);
  EXPECT_EQ(Entries(p), (std::vector<XSI::LONG>{4, 3, 2, 1, 0, 4, 1, 2, 6, 5, 4, 2, 3, 7, 6,
                                                4, 3, 0, 4, 7, 4, 0, 1, 5, 4, 4, 4, 5, 6, 7}));
  EXPECT_EQ(v[0], CVector3(1, 1, 1));
  EXPECT_EQ(v[6], CVector3(-1, -1, -1));
}

TEST(BoxEmitter, BoxFacesPointOutward) {
  CVector3Array v;
  CLongArray p;
  v.Add(CVector3(9, 9, 9));  // an earlier vertex: the box indices start after it
  const Float3 centre{1.0f, -2.0f, 0.5f};
  EmitBox(v, p, centre, Float3{0.5f, 1.0f, 2.0f});
  ASSERT_EQ(v.GetCount(), 9);
  for (int q = 0; q < 6; ++q) {
    const CVector3 n = QuadNormal(v, p, q);
    const CVector3& a = v[p[q * 5 + 1]];
    const double outward = n.GetX() * (a.GetX() - centre.x) + n.GetY() * (a.GetY() - centre.y) +
                           n.GetZ() * (a.GetZ() - centre.z);
    EXPECT_GT(outward, 0.0) << "face " << q;
  }
  const MeshCounts counts = CountMesh(p);
  EXPECT_EQ(counts.quads, 6);
  EXPECT_EQ(counts.boundaryEdges, 0);
  EXPECT_EQ(counts.nonManifoldEdges, 0);
}

TEST(BoxEmitter, OutlineUsesEachOfItsVerticesOnceAlongTheBoxEdges) {
  CVector3Array v;
  CLongArray p;
  for (int i = 0; i < 5; ++i) v.Add(CVector3(i, 0, 0));
  EmitContainerOutline(v, p, Float3{0, 0, 0}, Float3{2, 4, 6});
  ASSERT_EQ(v.GetCount(), 5 + 48);
  ASSERT_EQ(p.GetCount(), 60);
  std::vector<int> uses(48, 0);
  for (int q = 0; q < 12; ++q) {
    ASSERT_EQ(p[q * 5], 4);
    for (int k = 1; k <= 4; ++k) ++uses[p[q * 5 + k] - 5];
    // (a, b, b, a): the quad runs along one box edge and has zero area.
    EXPECT_EQ(v[p[q * 5 + 1]], v[p[q * 5 + 4]]);
    EXPECT_EQ(v[p[q * 5 + 2]], v[p[q * 5 + 3]]);
    const CVector3 a = v[p[q * 5 + 1]], b = v[p[q * 5 + 2]];
    const int differing = (a.GetX() != b.GetX()) + (a.GetY() != b.GetY()) + (a.GetZ() != b.GetZ());
    EXPECT_EQ(differing, 1) << "quad " << q << " is not along a box edge";
  }
  for (int u : uses) EXPECT_EQ(u, 1);
}

TEST(BoxEmitter, ZeroSizeOutlineCollapsesOntoTheCentre) {
  CVector3Array v;
  CLongArray p;
  EmitContainerOutline(v, p, Float3{0.5f, 0.5f, 0.5f}, Float3{0, 0, 0});
  for (XSI::LONG i = 0; i < v.GetCount(); ++i) EXPECT_EQ(v[i], CVector3(0.5, 0.5, 0.5));
}
