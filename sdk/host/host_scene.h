#pragma once
// Host side of the SDK stand-in: builds the scene a plug-in sees (objects,
// parameters, poses, points, operators and their ports), drives time, and reads
// back what the plug-in wrote and logged. Tests and the command-line host use
// it; the plug-in never includes it.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "xsi_application.h"
#include "xsi_arrays.h"
#include "xsi_geometry.h"
#include "xsi_math.h"
#include "xsi_operator.h"
#include "xsi_ref.h"
#include "xsi_value.h"

namespace XSI::Host {

struct Node;
struct SceneData;

// One key of an animated value: the value at a frame.
struct Key {
  double frame = 0.0;
  double value = 0.0;
};

// Type a parameter reports its value in.
enum class ValueKind { Bool, Long, Float, Double, String };

// A value that is constant or varies with time by linear interpolation between
// keys (held before the first key and after the last). The keyed value is
// converted to the kind at read: Long rounds half away from zero (clamped to the
// long range), Bool is "not zero", Float and Double report the interpolated double.
class AnimatedValue {
 public:
  AnimatedValue() = default;
  AnimatedValue(const CValue& constant);  // NOLINT: kind from the value's type
  AnimatedValue(double constant) : AnimatedValue(CValue(constant)) {}  // NOLINT
  static AnimatedValue Keys(std::vector<Key> keys, ValueKind kind = ValueKind::Double);

  CValue At(double frame) const;
  bool IsAnimated() const { return !keys_.empty(); }
  ValueKind Kind() const { return kind_; }

 private:
  CValue constant_;
  std::vector<Key> keys_;
  ValueKind kind_ = ValueKind::Double;
};

struct AnimatedVector {
  AnimatedValue x, y, z;
  AnimatedVector() = default;
  AnimatedVector(double vx, double vy, double vz) : x(vx), y(vy), z(vz) {}
  MATH::CVector3 At(double frame) const;
};

// A pose: scaling, then rotation by X, Y, Z angles in degrees (order XYZ), then
// translation.
struct AnimatedPose {
  AnimatedVector translation{0.0, 0.0, 0.0};
  AnimatedVector rotationDegrees{0.0, 0.0, 0.0};
  AnimatedVector scaling{1.0, 1.0, 1.0};
  MATH::CTransformation At(double frame) const;
};

// Fills `points` with the object-space points at `frame`; false when it cannot
// (the object then has no points at that frame).
using PointsProvider = std::function<bool(double frame, MATH::CVector3Array& points)>;

// A per-point float attribute of a cloud or mesh (Geometry::GetPointAttribute).
struct PointAttribute {
  std::wstring name;
  LONG components = 1;
  CFloatArray values;  // components per point, in the points' order
};

// Fills `attributes` with the point attributes at `frame`, for the points
// the points provider gives at that frame; false when it cannot.
using PointAttributesProvider = std::function<bool(double frame, std::vector<PointAttribute>& attributes)>;

struct PortSpec {
  CString name;
  siPortType type = siPortInput;
};

struct LogLine {
  std::wstring text;
  siSeverityType severity = siInfoMsg;
};

// The host's progress bar as the plug-in left it.
struct ProgressState {
  LONG value = 0;
  LONG maximum = 100;
  LONG step = 1;
  std::wstring caption;
  std::wstring statusText;
  bool visible = false;
  int barsCreated = 0;   // GetProgressBar calls so far
  int increments = 0;    // Increment calls so far
};

enum class ProgressEvent { Created, Maximum, Step, Caption, StatusText, Visible, Increment };

// The process-wide scene, never destroyed. All SDK calls of the plug-in read
// and write it.
class Scene {
 public:
  static Scene& Get();

  // Destroys every object and clears the log, the progress bar, the cancel
  // request and the failure switches; the frame returns to 1.
  void Reset();

  void SetCurrentFrame(double frame);
  double GetCurrentFrame() const;

  // --- objects -----------------------------------------------------------
  // An object named NAME with a primitive NAME.TYPE ("cloud", "polymsh",
  // "sphere", "cube", "cylinder" or any other text) and a kinematic state
  // NAME.kine.global. Returns the primitive.
  CRef AddPrimitive(const CString& objectName, const CString& type);
  // An object that has only a kinematic state NAME.kine.global (a null); returns it.
  CRef AddNull(const CString& objectName);
  // The kinematic state of the object that owns a primitive.
  CRef GetKinematics(const CRef& primitive) const;
  void SetPose(const CRef& kinematics, const AnimatedPose& pose);
  // Points of a cloud or mesh: the same at every frame, keyed by frame (the
  // latest key at or before the frame, else the first), or produced on demand.
  void SetPoints(const CRef& primitive, const MATH::CVector3Array& points);
  void SetPointsAtFrame(const CRef& primitive, double frame, const MATH::CVector3Array& points);
  void SetPointsProvider(const CRef& primitive, PointsProvider provider);
  // Per-point attributes of a cloud or mesh: the same at every frame, or
  // produced on demand (beside a points provider).
  void SetPointAttributes(const CRef& primitive, std::vector<PointAttribute> attributes);
  void SetPointAttributesProvider(const CRef& primitive, PointAttributesProvider provider);

  // Adds the named parameter to an object, primitive or operator, or replaces
  // its value; its full name is OWNER.NAME. Returns the parameter.
  CRef SetParameter(const CRef& owner, const CString& name, const AnimatedValue& value);

  // --- operators ---------------------------------------------------------
  CRef AddOperator(const CString& fullName, const CString& type);
  // Adds a port group; returns its index.
  LONG AddPortGroup(const CRef& op, const CString& groupName, const std::vector<PortSpec>& ports);
  // Adds an instance of a group: port k connects to targets[k] (an invalid
  // reference leaves it unconnected). Returns the instance index.
  LONG AddGroupInstance(const CRef& op, LONG groupIndex, const std::vector<CRef>& targets);
  // A per-node cluster property on a mesh primitive (user normals, UVs).
  CRef AddClusterProperty(const CRef& meshPrimitive, const CString& name);

  UpdateContext MakeContext(const CRef& op) const;
  OutputPort GetOutputPort(const CRef& op, const CString& portName, const CString& groupName = CString(),
                           LONG instance = 0) const;

  // --- what the plug-in wrote --------------------------------------------
  const std::vector<LogLine>& GetLog() const;
  void ClearLog();
  // Called for every logged line, after it is stored (the command-line host prints).
  void SetLogSink(std::function<void(const LogLine&)> sink);

  const ProgressState& GetProgress() const;
  // Called after every change of the progress bar; may press Cancel.
  void SetProgressObserver(std::function<void(const ProgressState&, ProgressEvent)> observer);
  // The progress bar's Cancel button; safe to call from a signal handler.
  void SetCancelPressed(bool pressed);
  bool IsCancelPressed() const;

  // Called with the full name of every parameter the plug-in reads, and the
  // frame it reads it at.
  void SetParameterReadObserver(std::function<void(const std::wstring& fullName, double frame)> observer);

  // Failure switches: make OutputPort::PutValue or PolygonMesh::Set refuse.
  void SetFailPutValue(bool fail);
  void SetFailMeshSet(bool fail);

  // The mesh last stored by PolygonMesh::Set (empty before).
  void GetMesh(const CRef& primitive, MATH::CVector3Array& vertices, CLongArray& polygons) const;
  int GetMeshSetCount(const CRef& primitive) const;
  CDoubleArray GetClusterValues(const CRef& property) const;
  // Drops a cluster property's values (its operator is about to rewrite them).
  void ClearClusterValues(const CRef& property);
  // The value last stored on an output port.
  CValue GetPortValue(const OutputPort& port) const;

  // Stand-in internals used by the SDK classes.
  SceneData& Data() { return *data_; }
  const SceneData& Data() const { return *data_; }

 private:
  Scene();
  std::unique_ptr<SceneData> data_;
};

// Where a polygon description (per polygon: n, then n vertex indices) stops
// being one the host accepts: the entry of a polygon with fewer than three
// vertices or running past the end, or of an index outside [0, vertexCount);
// -1 when the whole description is well formed.
LONG FirstMalformedEntry(LONG vertexCount, const CLongArray& polygons);

}  // namespace XSI::Host
