#include <gtest/gtest.h>

#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"

using XSI::CRef;
using XSI::Host::Scene;

namespace {

int RegistrySize() {
  int n = 0;
  for (const RegistryEntry* e = RegistryHead(); e; e = e->next) ++n;
  return n;
}

bool IsRegistered(const OperatorInstance* instance) {
  for (const RegistryEntry* e = RegistryHead(); e; e = e->next) {
    if (e->instance == instance) return true;
  }
  return false;
}

// A bare main operator with the given full name (no ports or parameters).
CRef BareOperator(const wchar_t* fullName) { return Scene::Get().AddOperator(fullName, L"Glomora"); }

XSI::CStatus Init(const CRef& op) {
  XSI::UpdateContext context = Scene::Get().MakeContext(op);
  return Glomora_Init(context);
}

XSI::CStatus Term(const CRef& op) {
  XSI::UpdateContext context = Scene::Get().MakeContext(op);
  return Glomora_Term(context);
}

OperatorInstance* InstanceOf(const CRef& op) {
  return static_cast<OperatorInstance*>(static_cast<void*>(Scene::Get().MakeContext(op).GetUserData()));
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    Scene::Get().Reset();
    ASSERT_EQ(RegistryHead(), nullptr) << "an earlier test left a registered record";
  }
  void TearDown() override { EXPECT_EQ(RegistryHead(), nullptr) << "this test left a registered record"; }
};

}  // namespace

TEST_F(Registry, InitRegistersAndTermRemovesTheRecord) {
  const CRef op = BareOperator(L"a.polymsh.GlomoraGeometry.Glomora");
  ASSERT_EQ(Init(op), XSI::CStatus::OK);
  OperatorInstance* instance = InstanceOf(op);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(RegistrySize(), 1);
  EXPECT_TRUE(IsRegistered(instance));
  // Until its first evaluation the record's key is empty.
  EXPECT_EQ(FindInstance(L"a.polymsh.GlomoraGeometry.Glomora"), nullptr);
  ASSERT_EQ(Term(op), XSI::CStatus::OK);
  EXPECT_EQ(RegistrySize(), 0);
  EXPECT_EQ(InstanceOf(op), nullptr);
}

TEST_F(Registry, EvaluationMakesTheRecordFindableUnderItsName) {
  GlomoraRig rig;
  rig.SetParameter(L"Mute", XSI::CValue(true));
  ASSERT_EQ(rig.Init(), XSI::CStatus::OK);
  ASSERT_EQ(rig.Update(1), XSI::CStatus::OK);
  EXPECT_EQ(FindInstance(L"blob.polymsh.GlomoraGeometry.Glomora"), InstanceOf(rig.op));
  EXPECT_EQ(FindInstance(L"blob.polymsh.GlomoraGeometry.glomora"), nullptr);  // exact, case-sensitive
  rig.Term();
}

TEST_F(Registry, SecondOperatorWithARegisteredNameIsNotRegistered) {
  GlomoraRig first;
  first.SetParameter(L"Mute", XSI::CValue(true));
  first.Init();
  first.Update(1);
  OperatorInstance* firstInstance = InstanceOf(first.op);
  const CRef second = BareOperator(L"blob.polymsh.GlomoraGeometry.Glomora");
  ASSERT_EQ(Init(second), XSI::CStatus::OK);
  EXPECT_EQ(RegistrySize(), 1);
  EXPECT_FALSE(IsRegistered(InstanceOf(second)));
  EXPECT_EQ(FindInstance(L"blob.polymsh.GlomoraGeometry.Glomora"), firstInstance);

  // Terminating the unregistered record must not unlink the live record's entry.
  Term(second);
  EXPECT_EQ(RegistrySize(), 1);
  EXPECT_EQ(FindInstance(L"blob.polymsh.GlomoraGeometry.Glomora"), firstInstance);
  first.Term();
}

TEST_F(Registry, UnevaluatedRecordsAreAllRegisteredAndEachTermRemovesItsOwn) {
  const CRef a = BareOperator(L"a.Glomora");
  const CRef b = BareOperator(L"b.Glomora");
  Init(a);
  Init(b);
  OperatorInstance* instanceA = InstanceOf(a);
  OperatorInstance* instanceB = InstanceOf(b);
  EXPECT_EQ(RegistrySize(), 2);
  // Both keys are empty; terminating b must remove b's entry, not a's.
  Term(b);
  EXPECT_EQ(RegistrySize(), 1);
  EXPECT_TRUE(IsRegistered(instanceA));
  EXPECT_FALSE(IsRegistered(instanceB));
  Term(a);
}

TEST_F(Registry, CallbacksWithoutARecordDoNothing) {
  const CRef op = BareOperator(L"never.Glomora");
  Scene::Get().AddGroupInstance(op, Scene::Get().AddPortGroup(op, L"Out", {{L"OutParameter", XSI::siPortOutput}}),
                                {CRef()});
  XSI::UpdateContext context = Scene::Get().MakeContext(op);
  XSI::OutputPort output = Scene::Get().GetOutputPort(op, L"OutParameter");
  EXPECT_EQ(Glomora_Update(context, output), XSI::CStatus::OK);
  EXPECT_TRUE(Scene::Get().GetPortValue(output).IsEmpty());
  EXPECT_EQ(Glomora_Term(context), XSI::CStatus::OK);
  EXPECT_EQ(RegistrySize(), 0);
}
