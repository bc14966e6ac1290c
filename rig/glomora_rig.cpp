#include "glomora_rig.h"

#include "front/glomora_api.h"
#include "parameter_catalogue.h"
#include "xsi_operator.h"

using XSI::CString;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::PortSpec;
using XSI::Host::Scene;

GlomoraRig::GlomoraRig(const CString& name) {
  Scene& scene = Scene::Get();
  mesh = scene.AddPrimitive(name, L"polymsh");
  space = scene.AddNull(name + L"_space");
  const CString meshName = mesh.GetAsText();

  op = scene.AddOperator(meshName + L".GlomoraGeometry.Glomora", L"Glomora");
  scene.AddPortGroup(op, L"GroupMetaballsGeometry",
                     {PortSpec{L"InMetaballGeometry", XSI::siPortInput}, PortSpec{L"InMetaballTransform", XSI::siPortInput}});
  const LONG transformGroup = scene.AddPortGroup(op, L"GroupTransform", {PortSpec{L"InTransform", XSI::siPortInput}});
  scene.AddGroupInstance(op, transformGroup, {space});
  const LONG outputGroup = scene.AddPortGroup(op, L"GroupOutput", {PortSpec{L"OutParameter", XSI::siPortOutput}});
  scene.AddGroupInstance(op, outputGroup, {XSI::CRef()});
  for (const ParameterSpec& p : OperatorParameters()) scene.SetParameter(op, p.hostName, p.defaultValue);

  normalsProperty = scene.AddClusterProperty(mesh, L"UserNormals");
  uvProperty = scene.AddClusterProperty(mesh, L"Texture_Projection");
  struct Transfer {
    XSI::CRef* op;
    const wchar_t* suffix;
    const wchar_t* output;
    XSI::CRef target;
  };
  const Transfer transfers[] = {
      {&geometrySet, L".GlomoraGeometrySet", L"Outpolymsh", mesh},
      {&normalsSet, L".GlomoraNormalsSet", L"OutUser_Normal_Property", normalsProperty},
      {&uvSet, L".GlomoraUVspaceSet", L"OutTexture_Projection", uvProperty},
  };
  for (const Transfer& t : transfers) {
    *t.op = scene.AddOperator(meshName + t.suffix, L"GlomoraTransfer");
    const LONG input = scene.AddPortGroup(*t.op, L"GroupPolymsh", {PortSpec{L"Inpolymsh", XSI::siPortInput}});
    scene.AddGroupInstance(*t.op, input, {mesh});
    const LONG output = scene.AddPortGroup(*t.op, L"GroupOutput", {PortSpec{t.output, XSI::siPortOutput}});
    scene.AddGroupInstance(*t.op, output, {t.target});
  }
}

void GlomoraRig::SetParameter(const CString& name, const XSI::Host::AnimatedValue& value) {
  Scene::Get().SetParameter(op, name, value);
}

XSI::CRef GlomoraRig::AddSource(const CString& objectName, const CString& type) {
  Scene& scene = Scene::Get();
  const XSI::CRef primitive = scene.AddPrimitive(objectName, type);
  if (type == L"sphere") {
    scene.SetParameter(primitive, L"radius", CValue(1.0));
  } else if (type == L"cube") {
    scene.SetParameter(primitive, L"length", CValue(2.0));
  } else if (type == L"cylinder") {
    scene.SetParameter(primitive, L"radius", CValue(1.0));
    scene.SetParameter(primitive, L"height", CValue(2.0));
  }
  const LONG group = XSI::PortGroup(XSI::Operator(op).GetPortGroups().GetItem(L"GroupMetaballsGeometry")).GetIndex();
  scene.AddGroupInstance(op, group, {primitive, scene.GetKinematics(primitive)});
  return primitive;
}

XSI::CStatus GlomoraRig::Init() {
  XSI::UpdateContext context = Scene::Get().MakeContext(op);
  return Glomora_Init(context);
}

XSI::CStatus GlomoraRig::Update(double frame) {
  Scene& scene = Scene::Get();
  scene.SetCurrentFrame(frame);
  // The normals and UV operators depend on this evaluation and rewrite their
  // properties from it: the previous frame's values go now, so that a large
  // mesh's per-node values are not held twice while the next are made.
  scene.ClearClusterValues(normalsProperty);
  scene.ClearClusterValues(uvProperty);
  XSI::UpdateContext context = scene.MakeContext(op);
  XSI::OutputPort output = scene.GetOutputPort(op, L"OutParameter");
  return Glomora_Update(context, output);
}

void GlomoraRig::Transfer() {
  Scene& scene = Scene::Get();
  struct Call {
    XSI::CRef op;
    const wchar_t* output;
    XSI::CStatus (*update)(XSI::UpdateContext&, XSI::OutputPort&);
  };
  const Call calls[] = {{geometrySet, L"Outpolymsh", GlomoraGeometrySet_Update},
                        {normalsSet, L"OutUser_Normal_Property", GlomoraNormalsSet_Update},
                        {uvSet, L"OutTexture_Projection", GlomoraUVspaceSet_Update}};
  for (const Call& call : calls) {
    XSI::UpdateContext context = scene.MakeContext(call.op);
    XSI::OutputPort output = scene.GetOutputPort(call.op, call.output);
    call.update(context, output);
  }
}

XSI::CStatus GlomoraRig::Term() {
  XSI::UpdateContext context = Scene::Get().MakeContext(op);
  return Glomora_Term(context);
}
