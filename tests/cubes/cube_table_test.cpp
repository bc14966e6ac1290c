#include <gtest/gtest.h>

#include <vector>

#include "cubes/cube_table.h"

namespace {

std::vector<int> Edges(const CubeTable& table, int index, int polygon) {
  const CubePolygon& p = table.cases[index].polygons[polygon];
  return std::vector<int>(p.edges, p.edges + p.edgeCount);
}

class CubeTableTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildCubeTable(table); }
  CubeTable table;
};

}  // namespace

TEST_F(CubeTableTest, SingleCornerCasesAndTheirComplements) {
  ASSERT_EQ(table.cases[1].polygonCount, 1);
  EXPECT_EQ(Edges(table, 1, 0), (std::vector<int>{0, 8, 2}));
  ASSERT_EQ(table.cases[254].polygonCount, 1);
  EXPECT_EQ(Edges(table, 254, 0), (std::vector<int>{0, 2, 8}));
}

TEST_F(CubeTableTest, QuadrilateralHexagonAndTwoTriangleCases) {
  ASSERT_EQ(table.cases[3].polygonCount, 1);
  EXPECT_EQ(Edges(table, 3, 0), (std::vector<int>{2, 3, 9, 8}));
  ASSERT_EQ(table.cases[6].polygonCount, 1);
  EXPECT_EQ(Edges(table, 6, 0), (std::vector<int>{0, 2, 10, 1, 3, 9}));
  ASSERT_EQ(table.cases[249].polygonCount, 2);
  EXPECT_EQ(Edges(table, 249, 0), (std::vector<int>{1, 10, 2}));
  EXPECT_EQ(Edges(table, 249, 1), (std::vector<int>{0, 9, 3}));
  ASSERT_EQ(table.cases[129].polygonCount, 2);
  EXPECT_EQ(Edges(table, 129, 0), (std::vector<int>{5, 7, 11}));
  EXPECT_EQ(Edges(table, 129, 1), (std::vector<int>{0, 8, 2}));
}

TEST_F(CubeTableTest, EmptyAndFullCubesHaveNoPolygons) {
  EXPECT_EQ(table.cases[0].polygonCount, 0);
  EXPECT_EQ(table.cases[255].polygonCount, 0);
}

TEST_F(CubeTableTest, EverySignChangingEdgeIsUsedExactlyOnce) {
  for (int index = 0; index < 256; ++index) {
    SCOPED_TRACE(index);
    int uses[12] = {};
    for (int p = 0; p < table.cases[index].polygonCount; ++p) {
      EXPECT_GE(table.cases[index].polygons[p].edgeCount, 3);
      for (int e : Edges(table, index, p)) ++uses[e];
    }
    for (int e = 0; e < 12; ++e) {
      const bool crossed = ((index >> edgeCorner1[e]) & 1) != ((index >> edgeCorner2[e]) & 1);
      EXPECT_EQ(uses[e], crossed ? 1 : 0) << "edge " << e;
    }
  }
}

TEST_F(CubeTableTest, ConsecutiveEdgesOfAPolygonShareACubeFace) {
  for (int index = 1; index < 255; ++index) {
    for (int p = 0; p < table.cases[index].polygonCount; ++p) {
      const std::vector<int> edges = Edges(table, index, p);
      for (size_t k = 0; k < edges.size(); ++k) {
        const int a = edges[k], b = edges[(k + 1) % edges.size()];
        const bool share = edgeLeftFace[a] == edgeLeftFace[b] || edgeLeftFace[a] == edgeRightFace[b] ||
                           edgeRightFace[a] == edgeLeftFace[b] || edgeRightFace[a] == edgeRightFace[b];
        EXPECT_TRUE(share) << "case " << index << " edges " << a << " and " << b;
      }
    }
  }
}

TEST_F(CubeTableTest, ReleaseEmptiesEveryCase) {
  ReleaseCubeTable(table);
  for (const CubeCase& c : table.cases) EXPECT_EQ(c.polygonCount, 0);
}
