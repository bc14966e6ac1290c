#include <gtest/gtest.h>

#include <cmath>

#include "front/glomora_api.h"
#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "support/fresh_scene.h"
#include "support/mesh_checks.h"

using XSI::CValue;
using XSI::LONG;
using XSI::Host::Scene;
using XSI::MATH::CVector3Array;

namespace {

// The whole host chain: Init, Update of "OutParameter", the three transfer
// operators, Term; then the host's mesh and cluster properties are read back.
class Chain : public ::testing::TestWithParam<LONG> {
 protected:
  Chain() {
    rig.AddSource(L"ball", L"sphere");  // radius 1 at the origin
    rig.SetParameter(L"Space", CValue(GetParam()));
    rig.SetParameter(L"User_normals", CValue(true));
    rig.SetParameter(L"UVspace", CValue(true));
    rig.SetParameter(L"Mode", CValue(LONG{0}));
    rig.SetParameter(L"Resolution_X", CValue(LONG{32}));
    rig.SetParameter(L"Resolution_Y", CValue(LONG{32}));
    rig.SetParameter(L"Resolution_Z", CValue(LONG{32}));
    rig.SetParameter(L"JB_voxelsize", CValue(0.125));
  }

  FreshScene fresh;
  GlomoraRig rig;
};

}  // namespace

TEST_P(Chain, HostMeshNormalsAndUvsHoldTheResult) {
  ASSERT_EQ(rig.Init(), XSI::CStatus::OK);
  ASSERT_EQ(rig.Update(1), XSI::CStatus::OK);
  rig.Transfer();

  CVector3Array vertices;
  XSI::CLongArray polygons;
  Scene::Get().GetMesh(rig.mesh, vertices, polygons);
  ASSERT_GT(vertices.GetCount(), 100);
  EXPECT_TRUE(HasValidIndices(vertices.GetCount(), polygons));
  EXPECT_TRUE(IsClosedManifold(polygons, /*allowCoincidentOppositePairs=*/true));
  // Model 1 with iso 1 puts the surface of a sphere element at its radius.
  for (LONG i = 0; i < vertices.GetCount(); ++i) {
    const double r = std::sqrt(vertices[i].Dot(vertices[i]));
    ASSERT_NEAR(r, 1.0, 0.02) << "vertex " << i;
  }

  const LONG triangles = polygons.GetCount() / 4;
  EXPECT_EQ(static_cast<LONG>(Scene::Get().GetPortValue(Scene::Get().GetOutputPort(rig.op, L"OutParameter"))),
            triangles);
  const XSI::CDoubleArray normals = Scene::Get().GetClusterValues(rig.normalsProperty);
  const XSI::CDoubleArray uvs = Scene::Get().GetClusterValues(rig.uvProperty);
  ASSERT_EQ(normals.GetCount(), triangles * 9);
  ASSERT_EQ(uvs.GetCount(), triangles * 9);
  for (LONG node = 0; node < triangles * 3; ++node) {
    // Each node's normal points outward from the sphere: along its vertex.
    const XSI::MATH::CVector3& p = vertices[polygons[(node / 3) * 4 + 1 + node % 3]];
    const double along = normals[node * 3] * p.GetX() + normals[node * 3 + 1] * p.GetY() + normals[node * 3 + 2] * p.GetZ();
    ASSERT_GT(along, 0.0) << "node " << node;
    // The projection: V in [0, 1], the third value 1.
    ASSERT_GE(uvs[node * 3 + 1], 0.0);
    ASSERT_LE(uvs[node * 3 + 1], 1.0);
    ASSERT_EQ(uvs[node * 3 + 2], 1.0);
  }
  ASSERT_EQ(rig.Term(), XSI::CStatus::OK);
}

INSTANTIATE_TEST_SUITE_P(BothSpaces, Chain, ::testing::Values(LONG{0}, LONG{1}));
