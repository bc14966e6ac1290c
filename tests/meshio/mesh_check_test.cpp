#include "mesh_check.h"

#include <gtest/gtest.h>

namespace {

// Tetrahedron with outward-facing, consistently ordered triangles.
MeshData Tetrahedron(int32_t offset = 0) {
  MeshData mesh;
  mesh.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
  const int32_t faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
  for (const auto& face : faces) {
    mesh.polygons.insert(mesh.polygons.end(), {3, face[0] + offset, face[1] + offset, face[2] + offset});
  }
  return mesh;
}

TEST(MeshCheck, TetrahedronIsClosedManifoldAndOriented) {
  const MeshCheck check = CheckMesh(Tetrahedron());
  EXPECT_TRUE(check.closed);
  EXPECT_TRUE(check.manifold);
  EXPECT_TRUE(check.oriented);
  EXPECT_EQ(DescribeCheck(check), "closed, 2-manifold, consistently oriented");
}

TEST(MeshCheck, FlippedFaceMisorientsItsThreeEdges) {
  MeshData mesh = Tetrahedron();
  std::swap(mesh.polygons[2], mesh.polygons[3]);
  const MeshCheck check = CheckMesh(mesh);
  EXPECT_TRUE(check.closed);
  EXPECT_TRUE(check.manifold);
  EXPECT_FALSE(check.oriented);
  EXPECT_EQ(check.misorientedEdges, 3);
}

TEST(MeshCheck, OpenAndNonManifoldEdgesAreCounted) {
  MeshData single;
  single.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  single.polygons = {3, 0, 1, 2};
  MeshCheck check = CheckMesh(single);
  EXPECT_FALSE(check.closed);
  EXPECT_EQ(check.boundaryEdges, 3);
  EXPECT_TRUE(check.manifold);

  // Three triangles on the edge 0-1: a fin.
  MeshData fin;
  fin.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1};
  fin.polygons = {3, 0, 1, 2, 3, 1, 0, 3, 3, 0, 1, 4};
  check = CheckMesh(fin);
  EXPECT_EQ(check.nonManifoldEdges, 1);
  EXPECT_EQ(check.boundaryEdges, 6);
  EXPECT_FALSE(check.manifold);
}

TEST(MeshCheck, TwoSolidsTouchingAtAVertexAreNotManifold) {
  MeshData mesh = Tetrahedron();
  // A second tetrahedron that shares vertex 3 only.
  mesh.positions.insert(mesh.positions.end(), {1, 1, 1, 2, 1, 1, 1, 2, 1});
  const int32_t faces[4][3] = {{3, 5, 4}, {3, 4, 6}, {3, 6, 5}, {4, 5, 6}};
  for (const auto& face : faces) mesh.polygons.insert(mesh.polygons.end(), {3, face[0], face[1], face[2]});
  const MeshCheck check = CheckMesh(mesh);
  EXPECT_TRUE(check.closed);
  EXPECT_EQ(check.nonManifoldEdges, 0);
  EXPECT_EQ(check.nonManifoldVertices, 1);
  EXPECT_FALSE(check.manifold);
}

TEST(MeshCheck, QuadsAndDegeneratePolygons) {
  // A cube of six quads is closed.
  MeshData cube;
  cube.positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1};
  cube.polygons = {4, 0, 3, 2, 1, 4, 4, 5, 6, 7, 4, 0, 1, 5, 4, 4, 2, 3, 7, 6, 4, 1, 2, 6, 5, 4, 0, 4, 7, 3};
  MeshCheck check = CheckMesh(cube);
  EXPECT_TRUE(check.closed && check.manifold && check.oriented) << DescribeCheck(check);

  MeshData degenerate;
  degenerate.positions = {0, 0, 0, 1, 0, 0};
  degenerate.polygons = {3, 0, 1, 1};
  check = CheckMesh(degenerate);
  EXPECT_EQ(check.degeneratePolygons, 1);
  EXPECT_FALSE(check.manifold);
}

TEST(MeshCheck, EmptyMeshIsNotClosed) {
  const MeshCheck check = CheckMesh(MeshData());
  EXPECT_FALSE(check.closed);
  EXPECT_EQ(DescribeCheck(check), "empty");
}

}  // namespace

TEST(MeshCheck, CoincidentOppositeTrianglePairsAreNamed) {
  MeshData mesh = Tetrahedron();
  // A triangle in the plane of face (0, 1, 3) and its reverse: the shape an
  // ambiguous cube face can leave between two cubes.
  mesh.polygons.insert(mesh.polygons.end(), {3, 1, 3, 0, 3, 0, 3, 1});
  const MeshCheck check = CheckMesh(mesh);
  EXPECT_EQ(check.coincidentOppositePairs, 1);
  EXPECT_FALSE(check.manifold);
  EXPECT_NE(DescribeCheck(check).find("1 coincident opposite triangle pairs"), std::string::npos);
  EXPECT_EQ(CheckMesh(Tetrahedron()).coincidentOppositePairs, 0);
}
