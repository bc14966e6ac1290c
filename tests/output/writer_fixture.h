#pragma once
// Shared set-up of the output tests: a wired rig in a fresh scene, a record
// whose MeshArrays are filled by hand, and calls of the writers through the
// rig's transfer-operator ports.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "output/mesh_writer.h"
#include "output/normal_uv_writers.h"
#include "xsi_arrays.h"
#include "xsi_math.h"
#include "xsi_operator.h"
#include "xsi_status.h"

namespace output_test {

inline XSI::MATH::CVector3Array Points(const std::vector<XSI::MATH::CVector3>& points) {
  XSI::MATH::CVector3Array array;
  for (const XSI::MATH::CVector3& p : points) array.Add(p);
  return array;
}

inline XSI::CLongArray Longs(const std::vector<XSI::LONG>& values) {
  XSI::CLongArray array;
  for (XSI::LONG v : values) array.Add(v);
  return array;
}

inline XSI::CDoubleArray Doubles(const std::vector<double>& values) {
  XSI::CDoubleArray array;
  for (double v : values) array.Add(v);
  return array;
}

// Fills the MeshArrays as an evaluation leaves them: counts taken from the
// arrays, polygons counted as entries / 4, the result marked valid.
inline void SetResult(OperatorInstance& instance, const XSI::MATH::CVector3Array& vertices,
                      const XSI::CLongArray& polygons, const XSI::CDoubleArray& nodeValues = XSI::CDoubleArray()) {
  instance.mesh.vertices = vertices;
  instance.mesh.polygons = polygons;
  instance.mesh.nodeValues = nodeValues;
  instance.mesh.vertexCount = vertices.GetCount();
  instance.mesh.polygonCount = polygons.GetCount() / 4;
  instance.mesh.nodeValueCount = nodeValues.GetCount();
  instance.mesh.valid = true;
}

// `count` distinct vertices on the x axis.
inline XSI::MATH::CVector3Array Row(int count) {
  XSI::MATH::CVector3Array array;
  for (int i = 0; i < count; ++i) array.Add(XSI::MATH::CVector3(i, 0.0, 0.0));
  return array;
}

inline std::vector<std::wstring> LogTexts() {
  std::vector<std::wstring> texts;
  for (const XSI::Host::LogLine& line : XSI::Host::Scene::Get().GetLog()) texts.push_back(line.text);
  return texts;
}

// True when `text` is prefix + an integer in decimal + " msec.".
inline bool IsTimingLine(const std::wstring& text, const std::wstring& prefix) {
  const std::wstring suffix = L" msec.";
  if (text.size() <= prefix.size() + suffix.size()) return false;
  if (text.compare(0, prefix.size(), prefix) != 0) return false;
  if (text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  const std::wstring number = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  size_t first = number[0] == L'-' ? 1 : 0;
  if (first == number.size()) return false;
  for (size_t i = first; i < number.size(); ++i) {
    if (number[i] < L'0' || number[i] > L'9') return false;
  }
  return true;
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XSI::Host::Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    instance.settings.fullName = L"blob.polymsh.GlomoraGeometry.Glomora";
  }

  // Calls a writer the way its transfer operator does: the transfer
  // operator's context and the named output port.
  template <class Writer>
  XSI::CStatus Call(Writer writer, const XSI::CRef& op, const wchar_t* portName) {
    XSI::Host::Scene& scene = XSI::Host::Scene::Get();
    XSI::UpdateContext context = scene.MakeContext(op);
    XSI::OutputPort output = scene.GetOutputPort(op, portName);
    return writer(instance.settings, instance.mesh, instance.clock, context, output);
  }
  XSI::CStatus CallMesh() { return Call(WriteMesh, rig->geometrySet, L"Outpolymsh"); }
  XSI::CStatus CallNormals() { return Call(WriteNormals, rig->normalsSet, L"OutUser_Normal_Property"); }
  XSI::CStatus CallUVs() { return Call(WriteUVs, rig->uvSet, L"OutTexture_Projection"); }

  XSI::CDoubleArray NormalValues() const { return XSI::Host::Scene::Get().GetClusterValues(rig->normalsProperty); }
  XSI::CDoubleArray UVValues() const { return XSI::Host::Scene::Get().GetClusterValues(rig->uvProperty); }

  std::unique_ptr<GlomoraRig> rig;
  OperatorInstance instance;
};

}  // namespace output_test
