// The transfer operators on the output polygon mesh. Each derives the main
// operator's full name from a name it can see, finds that operator's record in
// the registry and hands it to a writer. They never start an evaluation.

#include <climits>
#include <new>

#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "front/operator_instance.h"
#include "output/mesh_writer.h"
#include "output/normal_uv_writers.h"
#include "xsi_application.h"
#include "xsi_geometry.h"

namespace {

using Writer = XSI::CStatus (*)(OperatorInstance&, XSI::UpdateContext&, XSI::OutputPort&);

XSI::CStatus MeshWriter(OperatorInstance& instance, XSI::UpdateContext& context, XSI::OutputPort& output) {
  return WriteMesh(instance.settings, instance.mesh, instance.clock, context, output);
}

XSI::CStatus NormalsWriter(OperatorInstance& instance, XSI::UpdateContext& context, XSI::OutputPort& output) {
  return WriteNormals(instance.settings, instance.mesh, instance.clock, context, output);
}

XSI::CStatus UVWriter(OperatorInstance& instance, XSI::UpdateContext& context, XSI::OutputPort& output) {
  return WriteUVs(instance.settings, instance.mesh, instance.clock, context, output);
}

// Replaces the first occurrence of `segment` in `name`; false when there is none.
bool ReplaceFirst(XSI::CString& name, const XSI::CString& segment, const XSI::CString& replacement) {
  const XSI::ULONG at = name.FindString(segment);
  if (at == UINT_MAX) return false;
  name = name.GetSubString(0, at) + replacement + name.GetSubString(at + segment.Length());
  return true;
}

// Full name of the mesh connected to the operator's "Inpolymsh" port; empty when unconnected.
XSI::CString InputMeshName(const XSI::UpdateContext& context) {
  const XSI::InputPort port(context.GetOperator().GetPort(L"Inpolymsh", L"GroupPolymsh", 0));
  const XSI::Primitive mesh(static_cast<XSI::CRef>(port.GetValue()));
  return mesh.GetFullName();
}

XSI::CStatus Transfer(XSI::UpdateContext& context, XSI::OutputPort& output, XSI::CString startName,
                      const wchar_t* segment, const wchar_t* replacement, Writer writer) {
  if (startName.IsEmpty() || !ReplaceFirst(startName, segment, replacement)) return XSI::CStatus::OK;
  OperatorInstance* instance = FindInstance(startName);
  if (!instance) return XSI::CStatus::OK;
  try {
    writer(*instance, context, output);
  } catch (const std::bad_alloc&) {
    XSI::Application().LogMessage(instance->settings.fullName + L" -> " + output.GetName() + L" -> error.", XSI::siInfoMsg);
  }
  return XSI::CStatus::OK;  // a writer's failure is logged by the writer, not returned
}

}  // namespace

XSI::CStatus GlomoraGeometrySet_Update(XSI::UpdateContext& context, XSI::OutputPort& output) {
  if (output.GetName() != L"Outpolymsh") return XSI::CStatus::OK;
  return Transfer(context, output, context.GetOperator().GetFullName(), L".GlomoraGeometrySet",
                  L".GlomoraGeometry.Glomora", MeshWriter);
}

XSI::CStatus GlomoraNormalsSet_Update(XSI::UpdateContext& context, XSI::OutputPort& output) {
  if (output.GetName() != L"OutUser_Normal_Property") return XSI::CStatus::OK;
  return Transfer(context, output, InputMeshName(context), L".polymsh", L".polymsh.GlomoraGeometry.Glomora",
                  NormalsWriter);
}

XSI::CStatus GlomoraUVspaceSet_Update(XSI::UpdateContext& context, XSI::OutputPort& output) {
  if (output.GetName() != L"OutTexture_Projection") return XSI::CStatus::OK;
  return Transfer(context, output, InputMeshName(context), L".polymsh", L".polymsh.GlomoraGeometry.Glomora",
                  UVWriter);
}

XSI::CStatus GlomoraGeometryDummy_Update(XSI::UpdateContext&, XSI::OutputPort&) { return XSI::CStatus::OK; }
