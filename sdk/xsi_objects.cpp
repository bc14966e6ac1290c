// The SDK's object classes, reading and writing the stand-in scene.

#include <cmath>

#include "host/host_nodes.h"
#include "xsi_application.h"
#include "xsi_geometry.h"
#include "xsi_operator.h"
#include "xsi_ref.h"
#include "xsi_siobject.h"

namespace XSI {

using Host::ClusterPropertyNode;
using Host::KinematicsNode;
using Host::Node;
using Host::NodeAs;
using Host::NodeKind;
using Host::OperatorNode;
using Host::ParameterNode;
using Host::PortGroupNode;
using Host::PortNode;
using Host::PrimitiveNode;
using Host::Scene;
using Host::SceneData;

namespace {

SceneData& Data() { return Scene::Get().Data(); }

CRef Checked(const CRef& ref, NodeKind kind) {
  Node* node = ref.GetNode();
  return node && node->kind == kind ? ref : CRef();
}

// Offset of polygon `index` in the mesh's polygon description; -1 when out of range.
LONG PolygonOffset(const PrimitiveNode& mesh, LONG index) {
  if (!mesh.polygonOffsetsValid) {
    mesh.polygonOffsets.clear();
    for (LONG offset = 0; offset < mesh.meshPolygons.GetCount(); offset += mesh.meshPolygons[offset] + 1) {
      mesh.polygonOffsets.push_back(offset);
    }
    mesh.polygonOffsetsValid = true;
  }
  if (index < 0 || index >= static_cast<LONG>(mesh.polygonOffsets.size())) return -1;
  return mesh.polygonOffsets[static_cast<size_t>(index)];
}

// Smooth normal per vertex: the area-weighted sum of the fan triangles' normals
// of the polygons around it, normalised.
std::vector<MATH::CVector3> ComputeVertexNormals(const PrimitiveNode& mesh) {
  const MATH::CVector3Array& v = mesh.meshVertices;
  const CLongArray& polygons = mesh.meshPolygons;
  std::vector<double> sum(static_cast<size_t>(v.GetCount()) * 3, 0.0);
  for (LONG offset = 0; offset < polygons.GetCount();) {
    const LONG n = polygons[offset];
    for (LONG k = 2; k < n; ++k) {
      const LONG ia = polygons[offset + 1];
      const LONG ib = polygons[offset + k];
      const LONG ic = polygons[offset + k + 1];
      const MATH::CVector3& a = v[ia];
      const MATH::CVector3& b = v[ib];
      const MATH::CVector3& c = v[ic];
      const double ux = b.GetX() - a.GetX(), uy = b.GetY() - a.GetY(), uz = b.GetZ() - a.GetZ();
      const double wx = c.GetX() - a.GetX(), wy = c.GetY() - a.GetY(), wz = c.GetZ() - a.GetZ();
      const double nx = uy * wz - uz * wy, ny = uz * wx - ux * wz, nz = ux * wy - uy * wx;
      for (LONG idx : {ia, ib, ic}) {
        sum[static_cast<size_t>(idx) * 3 + 0] += nx;
        sum[static_cast<size_t>(idx) * 3 + 1] += ny;
        sum[static_cast<size_t>(idx) * 3 + 2] += nz;
      }
    }
    offset += n + 1;
  }
  std::vector<MATH::CVector3> normals(static_cast<size_t>(v.GetCount()));
  for (size_t i = 0; i < normals.size(); ++i) {
    const double x = sum[i * 3], y = sum[i * 3 + 1], z = sum[i * 3 + 2];
    const double length = std::sqrt(x * x + y * y + z * z);
    normals[i] = length > 0.0 ? MATH::CVector3(x / length, y / length, z / length) : MATH::CVector3(0.0, 1.0, 0.0);
  }
  return normals;
}

const std::vector<MATH::CVector3>& VertexNormals(const PrimitiveNode& mesh) {
  if (!mesh.vertexNormalsValid) {
    mesh.vertexNormals = ComputeVertexNormals(mesh);
    mesh.vertexNormalsValid = true;
  }
  return mesh.vertexNormals;
}

}  // namespace

// --- references ------------------------------------------------------------

CStatus CRef::Set(const CString& fullName) {
  const auto& names = Data().byFullName;
  const auto it = names.find(fullName.Native());
  if (it == names.end()) {
    *this = CRef();
    return CStatus::Fail;
  }
  *this = FromNode(it->second);
  return CStatus::OK;
}

CString CRef::GetAsText() const { return node_ ? CString(node_->fullName) : CString(); }

CRef CRefArray::GetItem(const CString& name) const {
  for (const CRef& ref : refs_) {
    if (ref.GetNode() && ref.GetNode()->name == name.Native()) return ref;
  }
  return CRef();
}

// --- names and parameters --------------------------------------------------

CString SIObject::GetName() const { return ref_.GetNode() ? CString(ref_.GetNode()->name) : CString(); }
CString SIObject::GetFullName() const { return ref_.GetAsText(); }
CString SIObject::GetType() const { return ref_.GetNode() ? CString(ref_.GetNode()->type) : CString(); }

CValue ProjectItem::GetParameterValue(const CString& name, double time) const {
  Node* node = ref_.GetNode();
  if (!node) return CValue();
  ParameterNode* param = node->FindParameter(name.Native());
  return param ? Data().ReadParameter(*param, time) : CValue();
}

Parameter ProjectItem::GetParameter(const CString& name) const {
  Node* node = ref_.GetNode();
  if (!node) return Parameter();
  ParameterNode* param = node->FindParameter(name.Native());
  return param ? Parameter(CRef::FromNode(param)) : Parameter();
}

Parameter::Parameter(const CRef& ref) : ProjectItem(Checked(ref, NodeKind::Parameter)) {}

CValue Parameter::GetValue(double time) const {
  auto* param = NodeAs<ParameterNode>(ref_, NodeKind::Parameter);
  return param ? Data().ReadParameter(*param, time) : CValue();
}

// --- operators and ports ---------------------------------------------------

Operator::Operator(const CRef& ref) : ProjectItem(Checked(ref, NodeKind::Operator)) {}

CRef Operator::GetPort(const CString& portName, const CString& groupName, LONG instance) const {
  auto* op = NodeAs<OperatorNode>(ref_, NodeKind::Operator);
  if (!op) return CRef();
  for (const auto& group : op->groups) {
    if (!groupName.IsEmpty() && group.node->name != groupName.Native()) continue;
    if (instance < 0 || instance >= static_cast<LONG>(group.instances.size())) continue;
    for (PortNode* port : group.instances[static_cast<size_t>(instance)]) {
      if (port->name == portName.Native()) return CRef::FromNode(port);
    }
  }
  return CRef();
}

CRef Operator::GetPortAt(LONG portIndex, LONG groupIndex, LONG instanceIndex) const {
  auto* op = NodeAs<OperatorNode>(ref_, NodeKind::Operator);
  if (!op || groupIndex < 0 || groupIndex >= static_cast<LONG>(op->groups.size())) return CRef();
  const auto& group = op->groups[static_cast<size_t>(groupIndex)];
  if (instanceIndex < 0 || instanceIndex >= static_cast<LONG>(group.instances.size())) return CRef();
  const auto& ports = group.instances[static_cast<size_t>(instanceIndex)];
  if (portIndex < 0 || portIndex >= static_cast<LONG>(ports.size())) return CRef();
  return CRef::FromNode(ports[static_cast<size_t>(portIndex)]);
}

CRefArray Operator::GetPortGroups() const {
  CRefArray groups;
  if (auto* op = NodeAs<OperatorNode>(ref_, NodeKind::Operator)) {
    for (const auto& group : op->groups) groups.Add(CRef::FromNode(group.node));
  }
  return groups;
}

LONG Operator::GetNumPortGroups() const {
  auto* op = NodeAs<OperatorNode>(ref_, NodeKind::Operator);
  return op ? static_cast<LONG>(op->groups.size()) : 0;
}

LONG Operator::GetNumPortsInGroup(LONG groupIndex) const {
  auto* op = NodeAs<OperatorNode>(ref_, NodeKind::Operator);
  if (!op || groupIndex < 0 || groupIndex >= static_cast<LONG>(op->groups.size())) return 0;
  return static_cast<LONG>(op->groups[static_cast<size_t>(groupIndex)].ports.size());
}

LONG Operator::GetNumInstancesInGroup(LONG groupIndex) const {
  auto* op = NodeAs<OperatorNode>(ref_, NodeKind::Operator);
  if (!op || groupIndex < 0 || groupIndex >= static_cast<LONG>(op->groups.size())) return 0;
  return static_cast<LONG>(op->groups[static_cast<size_t>(groupIndex)].instances.size());
}

PortGroup::PortGroup(const CRef& ref) : SIObject(Checked(ref, NodeKind::PortGroup)) {}

LONG PortGroup::GetIndex() const {
  auto* group = NodeAs<PortGroupNode>(ref_, NodeKind::PortGroup);
  return group ? group->index : -1;
}

Port::Port(const CRef& ref) : ProjectItem(Checked(ref, NodeKind::Port)) {}

siPortType Port::GetPortType() const {
  auto* port = NodeAs<PortNode>(ref_, NodeKind::Port);
  return port ? port->portType : siPortInput;
}

CValue InputPort::GetValue() const {
  auto* port = NodeAs<PortNode>(ref_, NodeKind::Port);
  if (!port || !port->target) return CValue();
  return CValue(CRef::FromNode(port->target));
}

CValue OutputPort::GetValue() const {
  auto* port = NodeAs<PortNode>(ref_, NodeKind::Port);
  if (!port || !port->target) return CValue();
  return CValue(CRef::FromNode(port->target));
}

CStatus OutputPort::PutValue(const CValue& value) {
  auto* port = NodeAs<PortNode>(ref_, NodeKind::Port);
  if (!port) return CStatus::InvalidArgument;
  if (Data().failPutValue) return CStatus::Fail;
  port->value = value;
  return CStatus::OK;
}

double UpdateContext::GetCurrentFrame() const { return Data().currentFrame; }

CStatus UpdateContext::PutUserData(const CValue& value) {
  auto* op = NodeAs<OperatorNode>(op_, NodeKind::Operator);
  if (!op) return CStatus::InvalidArgument;
  op->userData = value;
  return CStatus::OK;
}

CValue UpdateContext::GetUserData() const {
  auto* op = NodeAs<OperatorNode>(op_, NodeKind::Operator);
  return op ? op->userData : CValue();
}

// --- geometry --------------------------------------------------------------

Primitive::Primitive(const CRef& ref) : ProjectItem(Checked(ref, NodeKind::Primitive)) {}

Geometry Primitive::GetGeometry(double time) const {
  return ref_.IsValid() ? Geometry(ref_, Data().ResolveTime(time)) : Geometry();
}

CPointRefArray Geometry::GetPoints() const {
  auto* prim = NodeAs<PrimitiveNode>(primitive_, NodeKind::Primitive);
  return prim ? CPointRefArray(prim->PointsAt(Data().ResolveTime(time_))) : CPointRefArray();
}

bool Geometry::GetPointAttribute(const CString& name, LONG& components, CFloatArray& values) const {
  components = 0;
  values.Clear();
  auto* prim = NodeAs<PrimitiveNode>(primitive_, NodeKind::Primitive);
  if (!prim) return false;
  for (const Host::PointAttribute& attribute : prim->AttributesAt(Data().ResolveTime(time_))) {
    if (attribute.name != name.GetWideString()) continue;
    components = attribute.components;
    values = attribute.values;
    return true;
  }
  return false;
}

CStatus PolygonMesh::Set(const MATH::CVector3Array& vertices, const CLongArray& polygons) {
  auto* prim = NodeAs<PrimitiveNode>(primitive_, NodeKind::Primitive);
  if (!prim) return CStatus::InvalidArgument;
  if (Data().failMeshSet) return CStatus::Fail;
  if (Host::FirstMalformedEntry(vertices.GetCount(), polygons) >= 0) return CStatus::Fail;
  prim->meshVertices = vertices;
  prim->meshPolygons = polygons;
  prim->vertexNormalsValid = false;
  prim->polygonOffsetsValid = false;
  ++prim->meshSetCount;
  return CStatus::OK;
}

CPolygonFaceRefArray PolygonMesh::GetPolygons() const {
  CPolygonFaceRefArray faces;
  auto* prim = NodeAs<PrimitiveNode>(primitive_, NodeKind::Primitive);
  if (!prim) return faces;
  PolygonOffset(*prim, 0);  // counts the polygons
  faces.Reserve(prim->polygonOffsets.size());
  LONG index = 0;
  for (LONG offset = 0; offset < prim->meshPolygons.GetCount(); ++index) {
    faces.Add(CRef::FromNode(prim, index));
    offset += prim->meshPolygons[offset] + 1;
  }
  return faces;
}

MATH::CVector3Array CPolygonFaceRefArray::GetPolygonNodeNormalArray() const {
  MATH::CVector3Array result;
  if (GetCount() == 0) return result;
  auto* prim = NodeAs<PrimitiveNode>((*this)[0], NodeKind::Primitive);
  if (!prim) return result;
  const std::vector<MATH::CVector3>& normals = VertexNormals(*prim);
  for (LONG f = 0; f < GetCount(); ++f) {
    const LONG offset = PolygonOffset(*prim, (*this)[f].GetSub0());
    if (offset < 0) continue;
    const LONG n = prim->meshPolygons[offset];
    for (LONG k = 1; k <= n; ++k) result.Add(normals[static_cast<size_t>(prim->meshPolygons[offset + k])]);
  }
  return result;
}

CPolygonNodeRefArray PolygonFace::GetNodes() const {
  CPolygonNodeRefArray nodes;
  auto* prim = NodeAs<PrimitiveNode>(ref_, NodeKind::Primitive);
  if (!prim || ref_.GetSub0() < 0) return nodes;
  const LONG offset = PolygonOffset(*prim, ref_.GetSub0());
  if (offset < 0) return nodes;
  nodes.Reserve(static_cast<size_t>(prim->meshPolygons[offset]));
  for (LONG k = 0; k < prim->meshPolygons[offset]; ++k) nodes.Add(CRef::FromNode(prim, ref_.GetSub0(), k));
  return nodes;
}

MATH::CVector3 PolygonNode::GetNormal() const {
  auto* prim = NodeAs<PrimitiveNode>(ref_, NodeKind::Primitive);
  if (!prim || ref_.GetSub0() < 0 || ref_.GetSub1() < 0) return MATH::CVector3();
  const LONG offset = PolygonOffset(*prim, ref_.GetSub0());
  if (offset < 0 || ref_.GetSub1() >= prim->meshPolygons[offset]) return MATH::CVector3();
  const std::vector<MATH::CVector3>& normals = VertexNormals(*prim);
  return normals[static_cast<size_t>(prim->meshPolygons[offset + 1 + ref_.GetSub1()])];
}

ClusterProperty::ClusterProperty(const CRef& ref) : ProjectItem(Checked(ref, NodeKind::ClusterProperty)) {}

CClusterPropertyElementArray ClusterProperty::GetElements() const { return CClusterPropertyElementArray(ref_); }

CStatus CClusterPropertyElementArray::PutArray(const CDoubleArray& values) {
  auto* prop = NodeAs<ClusterPropertyNode>(property_, NodeKind::ClusterProperty);
  if (!prop || !prop->mesh) return CStatus::InvalidArgument;
  if (values.GetCount() != 3 * prop->mesh->NodeCount()) return CStatus::InvalidArgument;
  prop->values = values;
  return CStatus::OK;
}

CDoubleArray CClusterPropertyElementArray::GetArray() const {
  auto* prop = NodeAs<ClusterPropertyNode>(property_, NodeKind::ClusterProperty);
  return prop ? prop->values : CDoubleArray();
}

KinematicState::KinematicState(const CRef& ref) : ProjectItem(Checked(ref, NodeKind::Kinematics)) {}

MATH::CTransformation KinematicState::GetTransform(double time) const {
  auto* kine = NodeAs<KinematicsNode>(ref_, NodeKind::Kinematics);
  return kine ? kine->pose.At(Data().ResolveTime(time)) : MATH::CTransformation();
}

// --- application -----------------------------------------------------------

CStatus Application::LogMessage(const CString& message, siSeverityType severity) const {
  SceneData& data = Data();
  data.log.push_back(Host::LogLine{message.Native(), severity});
  if (data.logSink) data.logSink(data.log.back());
  return CStatus::OK;
}

ProgressBar UIToolkit::GetProgressBar() const {
  SceneData& data = Data();
  const int created = data.progress.barsCreated + 1;
  const int increments = data.progress.increments;
  data.progress = Host::ProgressState();
  data.progress.barsCreated = created;
  data.progress.increments = increments;
  data.NotifyProgress(Host::ProgressEvent::Created);
  return ProgressBar();
}

CStatus ProgressBar::PutMaximum(LONG maximum) {
  Data().progress.maximum = maximum;
  Data().NotifyProgress(Host::ProgressEvent::Maximum);
  return CStatus::OK;
}

LONG ProgressBar::GetMaximum() const { return Data().progress.maximum; }

CStatus ProgressBar::PutStep(LONG step) {
  Data().progress.step = step;
  Data().NotifyProgress(Host::ProgressEvent::Step);
  return CStatus::OK;
}

CStatus ProgressBar::PutCaption(const CString& caption) {
  Data().progress.caption = caption.Native();
  Data().NotifyProgress(Host::ProgressEvent::Caption);
  return CStatus::OK;
}

CStatus ProgressBar::PutStatusText(const CString& text) {
  Data().progress.statusText = text.Native();
  Data().NotifyProgress(Host::ProgressEvent::StatusText);
  return CStatus::OK;
}

CStatus ProgressBar::PutVisible(bool visible) {
  Data().progress.visible = visible;
  Data().NotifyProgress(Host::ProgressEvent::Visible);
  return CStatus::OK;
}

bool ProgressBar::IsCancelPressed() const { return Data().cancelPressed.load(); }

LONG ProgressBar::GetValue() const { return Data().progress.value; }

LONG ProgressBar::Increment(LONG step) {
  SceneData& data = Data();
  data.progress.value += step != 0 ? step : data.progress.step;
  ++data.progress.increments;
  data.NotifyProgress(Host::ProgressEvent::Increment);
  return data.progress.value;
}

}  // namespace XSI
