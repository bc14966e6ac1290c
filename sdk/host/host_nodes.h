#pragma once
// Internal records of the stand-in scene. Only the SDK's own sources include this.

#include <atomic>
#include <cfloat>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host_scene.h"
#include "xsi_arrays.h"
#include "xsi_math.h"
#include "xsi_value.h"

namespace XSI::Host {

enum class NodeKind { Object, Primitive, Kinematics, Parameter, Operator, PortGroup, Port, ClusterProperty };

struct ParameterNode;

struct Node {
  NodeKind kind = NodeKind::Object;
  std::wstring name;
  std::wstring fullName;
  std::wstring type;
  Node* owner = nullptr;
  std::vector<ParameterNode*> parameters;
  virtual ~Node() = default;
  ParameterNode* FindParameter(const std::wstring& parameterName) const;
};

struct ParameterNode : Node {
  AnimatedValue value;
};

struct KinematicsNode : Node {
  AnimatedPose pose;
};

struct PrimitiveNode : Node {
  KinematicsNode* kinematics = nullptr;
  // Points of a source: static, keyed by frame, or produced on demand.
  MATH::CVector3Array staticPoints;
  std::map<double, MATH::CVector3Array> keyedPoints;
  PointsProvider provider;
  std::vector<PointAttribute> staticAttributes;
  PointAttributesProvider attributesProvider;
  // Mesh stored by PolygonMesh::Set.
  MATH::CVector3Array meshVertices;
  CLongArray meshPolygons;
  int meshSetCount = 0;
  // Smooth vertex normals of the stored mesh, computed on first use after each Set.
  mutable std::vector<MATH::CVector3> vertexNormals;
  mutable bool vertexNormalsValid = false;
  // Offset of each polygon in meshPolygons, computed on first use after each Set.
  mutable std::vector<LONG> polygonOffsets;
  mutable bool polygonOffsetsValid = false;

  MATH::CVector3Array PointsAt(double frame) const;
  std::vector<PointAttribute> AttributesAt(double frame) const;
  LONG NodeCount() const;  // entries of the polygon description minus the counts
};

struct PortGroupNode : Node {
  LONG index = 0;
};

struct OperatorNode;

struct PortNode : Node {
  OperatorNode* op = nullptr;
  LONG group = 0;
  LONG portIndex = 0;
  LONG instance = 0;
  siPortType portType = siPortInput;
  Node* target = nullptr;
  CValue value;
};

struct OperatorNode : Node {
  struct Group {
    PortGroupNode* node = nullptr;
    std::vector<PortSpec> ports;
    std::vector<std::vector<PortNode*>> instances;  // [instance][port]
  };
  std::vector<Group> groups;
  CValue userData;
};

struct ClusterPropertyNode : Node {
  PrimitiveNode* mesh = nullptr;
  CDoubleArray values;
};

struct SceneData {
  std::vector<std::unique_ptr<Node>> nodes;
  std::map<std::wstring, Node*> byFullName;
  double currentFrame = 1.0;
  std::vector<LogLine> log;
  std::function<void(const LogLine&)> logSink;
  ProgressState progress;
  std::function<void(const ProgressState&, ProgressEvent)> progressObserver;
  std::function<void(const std::wstring&, double)> parameterReadObserver;
  std::atomic<bool> cancelPressed{false};
  bool failPutValue = false;
  bool failMeshSet = false;

  double ResolveTime(double time) const { return time == DBL_MAX ? currentFrame : time; }
  template <class T>
  T* Make(NodeKind kind, const std::wstring& name, const std::wstring& fullName, const std::wstring& type) {
    auto node = std::make_unique<T>();
    node->kind = kind;
    node->name = name;
    node->fullName = fullName;
    node->type = type;
    T* raw = node.get();
    nodes.push_back(std::move(node));
    byFullName[fullName] = raw;
    return raw;
  }
  CValue ReadParameter(const ParameterNode& param, double time) const;
  void NotifyProgress(ProgressEvent event) {
    if (progressObserver) progressObserver(progress, event);
  }
};

// Node behind a reference, if it is of the wanted kind.
template <class T>
T* NodeAs(const CRef& ref, NodeKind kind) {
  Node* node = ref.GetNode();
  return node && node->kind == kind ? static_cast<T*>(node) : nullptr;
}

}  // namespace XSI::Host
