#include "glomora_rig.h"

#include "glomora_api.h"
#include "xsi_operator.h"

using XSI::CString;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::PortSpec;
using XSI::Host::Scene;

const std::vector<ParameterDefault>& GlomoraParameterDefaults() {
  static const std::vector<ParameterDefault> defaults = {
      {L"Mute", CValue(false)},
      {L"Log_time", CValue(false)},
      {L"Space", CValue(LONG{1})},
      {L"Polygonization", CValue(LONG{0})},
      {L"User_normals", CValue(true)},
      {L"UVspace", CValue(false)},
      {L"Grid_space", CValue(LONG{0})},
      {L"Mode", CValue(LONG{1})},
      {L"Start_frame", CValue(LONG{1})},
      {L"Blending_model", CValue(LONG{1})},
      {L"Container", CValue(false)},
      {L"Size_X", CValue(4.0)},
      {L"Size_Y", CValue(4.0)},
      {L"Size_Z", CValue(4.0)},
      {L"Resolution_X", CValue(LONG{64})},
      {L"Resolution_Y", CValue(LONG{64})},
      {L"Resolution_Z", CValue(LONG{64})},
      {L"JB_voxelsize", CValue(0.05)},
      {L"JB_accuracy", CValue(LONG{3})},
      {L"JB_simple", CValue(false)},
      {L"Geometry_smooth_active", CValue(false)},
      {L"Geometry_smooth_strength", CValue(1.0)},
      {L"Geometry_degenerate_active", CValue(false)},
      {L"Geometry_degenerate_tolerance", CValue(0.1)},
      {L"Geometry_preserve_boundary", CValue(true)},
      {L"Optimization_volume_hyperbolic", CValue(true)},
      {L"Optimization_volume_exponential", CValue(true)},
      {L"Optimization_volume_scale", CValue(1.0)},
      {L"Cache_filename", CValue(CString(L""))},
      {L"Viscosity", CValue(0.0)},
      {L"Isovalue", CValue(1.0)},
      {L"Particle_size", CValue(0.2)},
      {L"Point_size", CValue(0.1)},
      {L"Component_X", CValue(1.0)},
      {L"Component_Y", CValue(1.0)},
      {L"Component_Z", CValue(1.0)},
  };
  return defaults;
}

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
  for (const ParameterDefault& p : GlomoraParameterDefaults()) scene.SetParameter(op, p.name, p.value);

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
