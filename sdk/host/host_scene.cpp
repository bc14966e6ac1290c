#include "host/host_scene.h"

#include <algorithm>
#include <cmath>

#include "host/host_nodes.h"

namespace XSI::Host {

namespace {

constexpr double kDegreesToRadians = 3.14159265358979323846 / 180.0;

ValueKind KindOf(const CValue& value) {
  switch (value.GetType()) {
    case CValue::siBool: return ValueKind::Bool;
    case CValue::siInt4: return ValueKind::Long;
    case CValue::siFloat: return ValueKind::Float;
    case CValue::siString: return ValueKind::String;
    default: return ValueKind::Double;
  }
}

LONG RoundToLong(double value) {
  if (std::isnan(value)) return 0;
  const double rounded = value < 0.0 ? std::ceil(value - 0.5) : std::floor(value + 0.5);
  if (rounded >= 2147483647.0) return 2147483647;
  if (rounded <= -2147483648.0) return static_cast<LONG>(-2147483647 - 1);
  return static_cast<LONG>(rounded);
}

}  // namespace

// --- animated values -------------------------------------------------------

AnimatedValue::AnimatedValue(const CValue& constant) : constant_(constant), kind_(KindOf(constant)) {}

AnimatedValue AnimatedValue::Keys(std::vector<Key> keys, ValueKind kind) {
  AnimatedValue value;
  std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.frame < b.frame; });
  value.keys_ = std::move(keys);
  value.kind_ = kind;
  if (value.keys_.empty()) value.constant_ = CValue(0.0);
  return value;
}

CValue AnimatedValue::At(double frame) const {
  if (keys_.empty()) return constant_;
  double v;
  if (frame <= keys_.front().frame) {
    v = keys_.front().value;
  } else if (frame >= keys_.back().frame) {
    v = keys_.back().value;
  } else {
    size_t k = 1;
    while (keys_[k].frame < frame) ++k;
    const Key& a = keys_[k - 1];
    const Key& b = keys_[k];
    const double t = (frame - a.frame) / (b.frame - a.frame);
    v = a.value + (b.value - a.value) * t;
  }
  switch (kind_) {
    case ValueKind::Bool: return CValue(v != 0.0);
    case ValueKind::Long: return CValue(RoundToLong(v));
    case ValueKind::Float: return CValue(static_cast<float>(v));
    case ValueKind::String: return CValue(CValue(v).GetAsText());
    default: return CValue(v);
  }
}

MATH::CVector3 AnimatedVector::At(double frame) const {
  return MATH::CVector3(static_cast<double>(x.At(frame)), static_cast<double>(y.At(frame)),
                        static_cast<double>(z.At(frame)));
}

MATH::CTransformation AnimatedPose::At(double frame) const {
  MATH::CTransformation pose;
  pose.SetScaling(scaling.At(frame));
  const MATH::CVector3 degrees = rotationDegrees.At(frame);
  pose.PutRotationOrder(siXYZ);
  pose.SetRotationFromXYZAnglesValues(degrees.GetX() * kDegreesToRadians, degrees.GetY() * kDegreesToRadians,
                                      degrees.GetZ() * kDegreesToRadians);
  pose.SetTranslation(translation.At(frame));
  return pose;
}

// --- nodes -----------------------------------------------------------------

ParameterNode* Node::FindParameter(const std::wstring& parameterName) const {
  for (ParameterNode* p : parameters) {
    if (p->name == parameterName) return p;
  }
  return nullptr;
}

std::vector<PointAttribute> PrimitiveNode::AttributesAt(double frame) const {
  if (!attributesProvider) return staticAttributes;
  std::vector<PointAttribute> attributes;
  if (!attributesProvider(frame, attributes)) attributes.clear();
  return attributes;
}

MATH::CVector3Array PrimitiveNode::PointsAt(double frame) const {
  if (provider) {
    MATH::CVector3Array points;
    if (!provider(frame, points)) points.Clear();
    return points;
  }
  if (!keyedPoints.empty()) {
    auto it = keyedPoints.upper_bound(frame);
    if (it == keyedPoints.begin()) return it->second;
    return std::prev(it)->second;
  }
  if (staticPoints.GetCount() > 0 || meshSetCount == 0) return staticPoints;
  return meshVertices;
}

LONG PrimitiveNode::NodeCount() const {
  LONG nodes = 0;
  for (LONG i = 0; i < meshPolygons.GetCount();) {
    const LONG n = meshPolygons[i];
    nodes += n;
    i += n + 1;
  }
  return nodes;
}

CValue SceneData::ReadParameter(const ParameterNode& param, double time) const {
  const double frame = ResolveTime(time);
  if (parameterReadObserver) parameterReadObserver(param.fullName, frame);
  return param.value.At(frame);
}

// --- scene -----------------------------------------------------------------

Scene::Scene() : data_(std::make_unique<SceneData>()) {}

// The scene lives as long as the process and is never destroyed: a signal
// handler (the command-line host's Ctrl-C presses Cancel) may reach it while
// the process runs its exit handlers, after static objects are gone.
Scene& Scene::Get() {
  static Scene* const scene = new Scene;
  return *scene;
}

void Scene::Reset() {
  data_->nodes.clear();
  data_->byFullName.clear();
  data_->currentFrame = 1.0;
  data_->log.clear();
  data_->logSink = nullptr;
  data_->progress = ProgressState();
  data_->progressObserver = nullptr;
  data_->parameterReadObserver = nullptr;
  data_->cancelPressed = false;
  data_->failPutValue = false;
  data_->failMeshSet = false;
}

void Scene::SetCurrentFrame(double frame) { data_->currentFrame = frame; }
double Scene::GetCurrentFrame() const { return data_->currentFrame; }

CRef Scene::AddPrimitive(const CString& objectName, const CString& type) {
  const CRef kine = AddNull(objectName);
  const std::wstring fullName = objectName.Native() + L"." + type.Native();
  auto* prim = data_->Make<PrimitiveNode>(NodeKind::Primitive, type.Native(), fullName, type.Native());
  prim->kinematics = static_cast<KinematicsNode*>(kine.GetNode());
  return CRef::FromNode(prim);
}

CRef Scene::AddNull(const CString& objectName) {
  const std::wstring& name = objectName.Native();
  data_->Make<Node>(NodeKind::Object, name, name, L"null");
  auto* kine = data_->Make<KinematicsNode>(NodeKind::Kinematics, L"global", name + L".kine.global", L"kine");
  return CRef::FromNode(kine);
}

CRef Scene::GetKinematics(const CRef& primitive) const {
  auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive);
  return prim ? CRef::FromNode(prim->kinematics) : CRef();
}

void Scene::SetPose(const CRef& kinematics, const AnimatedPose& pose) {
  if (auto* kine = NodeAs<KinematicsNode>(kinematics, NodeKind::Kinematics)) kine->pose = pose;
}

void Scene::SetPoints(const CRef& primitive, const MATH::CVector3Array& points) {
  if (auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive)) {
    prim->staticPoints = points;
    prim->keyedPoints.clear();
    prim->provider = nullptr;
  }
}

void Scene::SetPointsAtFrame(const CRef& primitive, double frame, const MATH::CVector3Array& points) {
  if (auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive)) {
    prim->keyedPoints[frame] = points;
    prim->provider = nullptr;
  }
}

void Scene::SetPointsProvider(const CRef& primitive, PointsProvider provider) {
  if (auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive)) prim->provider = std::move(provider);
}

void Scene::SetPointAttributes(const CRef& primitive, std::vector<PointAttribute> attributes) {
  if (auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive)) {
    prim->staticAttributes = std::move(attributes);
    prim->attributesProvider = nullptr;
  }
}

void Scene::SetPointAttributesProvider(const CRef& primitive, PointAttributesProvider provider) {
  if (auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive)) prim->attributesProvider = std::move(provider);
}

CRef Scene::SetParameter(const CRef& owner, const CString& name, const AnimatedValue& value) {
  Node* node = owner.GetNode();
  if (!node) return CRef();
  if (ParameterNode* existing = node->FindParameter(name.Native())) {
    existing->value = value;
    return CRef::FromNode(existing);
  }
  auto* param =
      data_->Make<ParameterNode>(NodeKind::Parameter, name.Native(), node->fullName + L"." + name.Native(), L"Parameter");
  param->owner = node;
  param->value = value;
  node->parameters.push_back(param);
  return CRef::FromNode(param);
}

CRef Scene::AddOperator(const CString& fullName, const CString& type) {
  const std::wstring& full = fullName.Native();
  const auto dot = full.rfind(L'.');
  const std::wstring name = dot == std::wstring::npos ? full : full.substr(dot + 1);
  return CRef::FromNode(data_->Make<OperatorNode>(NodeKind::Operator, name, full, type.Native()));
}

LONG Scene::AddPortGroup(const CRef& op, const CString& groupName, const std::vector<PortSpec>& ports) {
  auto* node = NodeAs<OperatorNode>(op, NodeKind::Operator);
  if (!node) return -1;
  OperatorNode::Group group;
  group.node = data_->Make<PortGroupNode>(NodeKind::PortGroup, groupName.Native(),
                                          node->fullName + L"." + groupName.Native(), L"PortGroup");
  group.node->owner = node;
  group.node->index = static_cast<LONG>(node->groups.size());
  group.ports = ports;
  node->groups.push_back(std::move(group));
  return static_cast<LONG>(node->groups.size() - 1);
}

LONG Scene::AddGroupInstance(const CRef& op, LONG groupIndex, const std::vector<CRef>& targets) {
  auto* node = NodeAs<OperatorNode>(op, NodeKind::Operator);
  if (!node || groupIndex < 0 || groupIndex >= static_cast<LONG>(node->groups.size())) return -1;
  OperatorNode::Group& group = node->groups[static_cast<size_t>(groupIndex)];
  const LONG instance = static_cast<LONG>(group.instances.size());
  std::vector<PortNode*> ports;
  for (size_t k = 0; k < group.ports.size(); ++k) {
    const std::wstring portName = group.ports[k].name.Native();
    const std::wstring suffix = instance == 0 ? std::wstring() : L"[" + std::to_wstring(instance) + L"]";
    auto* port = data_->Make<PortNode>(NodeKind::Port, portName, node->fullName + L"." + portName + suffix, L"Port");
    port->owner = node;
    port->op = node;
    port->group = groupIndex;
    port->portIndex = static_cast<LONG>(k);
    port->instance = instance;
    port->portType = group.ports[k].type;
    port->target = k < targets.size() ? targets[k].GetNode() : nullptr;
    ports.push_back(port);
  }
  group.instances.push_back(std::move(ports));
  return instance;
}

CRef Scene::AddClusterProperty(const CRef& meshPrimitive, const CString& name) {
  auto* mesh = NodeAs<PrimitiveNode>(meshPrimitive, NodeKind::Primitive);
  if (!mesh) return CRef();
  auto* prop = data_->Make<ClusterPropertyNode>(NodeKind::ClusterProperty, name.Native(),
                                                mesh->fullName + L".cls.Point." + name.Native(), L"ClusterProperty");
  prop->owner = mesh;
  prop->mesh = mesh;
  return CRef::FromNode(prop);
}

UpdateContext Scene::MakeContext(const CRef& op) const { return UpdateContext(op); }

OutputPort Scene::GetOutputPort(const CRef& op, const CString& portName, const CString& groupName,
                                LONG instance) const {
  return OutputPort(Operator(op).GetPort(portName, groupName, instance));
}

const std::vector<LogLine>& Scene::GetLog() const { return data_->log; }
void Scene::ClearLog() { data_->log.clear(); }
void Scene::SetLogSink(std::function<void(const LogLine&)> sink) { data_->logSink = std::move(sink); }

const ProgressState& Scene::GetProgress() const { return data_->progress; }
void Scene::SetProgressObserver(std::function<void(const ProgressState&, ProgressEvent)> observer) {
  data_->progressObserver = std::move(observer);
}
void Scene::SetCancelPressed(bool pressed) { data_->cancelPressed.store(pressed); }
bool Scene::IsCancelPressed() const { return data_->cancelPressed.load(); }

void Scene::SetParameterReadObserver(std::function<void(const std::wstring&, double)> observer) {
  data_->parameterReadObserver = std::move(observer);
}

void Scene::SetFailPutValue(bool fail) { data_->failPutValue = fail; }
void Scene::SetFailMeshSet(bool fail) { data_->failMeshSet = fail; }

void Scene::GetMesh(const CRef& primitive, MATH::CVector3Array& vertices, CLongArray& polygons) const {
  if (auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive)) {
    vertices = prim->meshVertices;
    polygons = prim->meshPolygons;
  } else {
    vertices.Clear();
    polygons.Clear();
  }
}

int Scene::GetMeshSetCount(const CRef& primitive) const {
  auto* prim = NodeAs<PrimitiveNode>(primitive, NodeKind::Primitive);
  return prim ? prim->meshSetCount : 0;
}

CDoubleArray Scene::GetClusterValues(const CRef& property) const {
  auto* prop = NodeAs<ClusterPropertyNode>(property, NodeKind::ClusterProperty);
  return prop ? prop->values : CDoubleArray();
}

void Scene::ClearClusterValues(const CRef& property) {
  if (auto* prop = NodeAs<ClusterPropertyNode>(property, NodeKind::ClusterProperty)) prop->values = CDoubleArray();
}

CValue Scene::GetPortValue(const OutputPort& port) const {
  auto* node = NodeAs<PortNode>(port.GetRef(), NodeKind::Port);
  return node ? node->value : CValue();
}

LONG FirstMalformedEntry(LONG vertexCount, const CLongArray& polygons) {
  for (LONG offset = 0; offset < polygons.GetCount();) {
    const LONG n = polygons[offset];
    if (n < 3 || n > polygons.GetCount() - offset - 1) return offset;
    for (LONG k = 1; k <= n; ++k) {
      const LONG index = polygons[offset + k];
      if (index < 0 || index >= vertexCount) return offset + k;
    }
    offset += n + 1;
  }
  return -1;
}

}  // namespace XSI::Host
