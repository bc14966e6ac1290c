#include "scene/gather_elements.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <vector>

#include "base/allocation.h"
#include "xsi_application.h"
#include "xsi_geometry.h"
#include "xsi_math.h"
#include "xsi_ref.h"
#include "xsi_siobject.h"

const float kSqrt2 = std::sqrt(2.0f);

namespace {

using XSI::CRef;
using XSI::CString;
using XSI::LONG;
using XSI::MATH::CTransformation;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;

constexpr float kMinCylinderHeight = 0.00001f;
constexpr float kClampedCylinderHeight = 0.001f;

// Reads host values either at the host's current time, directly on the
// connected object, or at the frame being evaluated, on the object found again
// through its full name (how the host answers for a frame other than the
// current one).
class HostReader {
 public:
  HostReader(bool atCurrentTime, int32_t evalFrame) : atCurrentTime_(atCurrentTime), evalFrame_(evalFrame) {}

  // Number of points of a "cloud" or "polymsh" source.
  LONG PointCount(const CRef& source, bool cloud) const { return Points(source, cloud).GetCount(); }

  // Object-space positions of the points of a "cloud" or "polymsh" source.
  CVector3Array Positions(const CRef& source, bool cloud) const { return Points(source, cloud).GetPositionArray(); }

  // Pose of a kinematic state; identity for an unconnected one.
  CTransformation Transform(const CRef& kinematics) const {
    if (atCurrentTime_) return XSI::KinematicState(kinematics).GetTransform();
    return XSI::KinematicState(Resolve(kinematics)).GetTransform(Frame());
  }

  // Pose of a kinematic state at `frame`, read through the full name.
  CTransformation TransformAt(const CRef& kinematics, double frame) const {
    return XSI::KinematicState(Resolve(kinematics)).GetTransform(frame);
  }

  // The per-point attribute `name` of a "cloud" or "polymsh" source; false
  // when it has none.
  bool PointAttribute(const CRef& source, bool cloud, const CString& name, LONG& components,
                      XSI::CFloatArray& values) const {
    return Geometry(source, cloud).GetPointAttribute(name, components, values);
  }

  // A parameter of a primitive ("radius", "length", "height") as a float.
  float Parameter(const CRef& primitive, const wchar_t* name) const {
    const XSI::Parameter parameter = XSI::Primitive(primitive).GetParameter(name);
    if (atCurrentTime_) return static_cast<float>(parameter.GetValue());
    return static_cast<float>(XSI::Parameter(Resolve(parameter)).GetValue(Frame()));
  }

 private:
  double Frame() const { return static_cast<double>(evalFrame_); }

  static CRef Resolve(const CRef& ref) {
    CRef resolved;
    resolved.Set(XSI::SIObject(ref).GetFullName());
    return resolved;
  }

  XSI::Geometry Geometry(const CRef& source, bool cloud) const {
    if (cloud) {
      if (atCurrentTime_) return XSI::ParticleCloudPrimitive(source).GetGeometry();
      return XSI::ParticleCloudPrimitive(Resolve(source)).GetGeometry(Frame());
    }
    if (atCurrentTime_) return XSI::Primitive(source).GetGeometry();
    return XSI::Primitive(Resolve(source)).GetGeometry(Frame());
  }

  XSI::CPointRefArray Points(const CRef& source, bool cloud) const { return Geometry(source, cloud).GetPoints(); }

  bool atCurrentTime_;
  int32_t evalFrame_;
};

enum class SourceKind { Mesh, Cloud, Sphere, Cube, Cylinder, Other };

SourceKind KindOf(const CString& type) {
  if (type == L"polymsh") return SourceKind::Mesh;
  if (type == L"cloud") return SourceKind::Cloud;
  if (type == L"sphere") return SourceKind::Sphere;
  if (type == L"cube") return SourceKind::Cube;
  if (type == L"cylinder") return SourceKind::Cylinder;
  return SourceKind::Other;
}

bool UsesSizeNormalisedOffsets(int32_t blendingModel) { return blendingModel == 1 || blendingModel == 2; }

// A record that adds nothing to any field: every field 0, weight 0, a shape
// outside the three distance measures.
MetaElement InertElement() {
  MetaElement element{};
  element.weight = 0.0f;
  element.shape = ElementShape::Inert;
  return element;
}

// axisFactor = 1 / scale per axis; for the polynomial and exponential models
// the offset is also normalised to the element's size: (1 / scale) * factor.
void SetAxisFactors(MetaElement& e, int32_t blendingModel, float factorY) {
  e.axisFactor.x = 1.0f / e.scale.x;
  e.axisFactor.y = 1.0f / e.scale.y;
  e.axisFactor.z = 1.0f / e.scale.z;
  if (UsesSizeNormalisedOffsets(blendingModel)) {
    e.axisFactor.x = e.axisFactor.x * e.radialFactor;
    e.axisFactor.y = e.axisFactor.y * factorY;
    e.axisFactor.z = e.axisFactor.z * e.radialFactor;
  }
}

// A zero (or NaN) scale or size on some axis leaves the element flat: it has
// no volume, and its infinite factors would make 0 * inf = NaN in the field
// and gradient on its own plane. Such an element contributes nothing.
void MakeInertIfFlat(MetaElement& e) {
  if (!std::isfinite(e.axisFactor.x) || !std::isfinite(e.axisFactor.y) || !std::isfinite(e.axisFactor.z)) {
    e.weight = 0.0f;
    e.shape = ElementShape::Inert;
  }
}

// Everything of a mesh point or cloud particle except its centre; the same
// for every point of the frame but for a per-point radius scale. A mesh
// point's radius is Point_size, a particle's half of Particle_size (a
// diameter), each times `radiusScale` (1 leaves every bit as it is; 2 gives
// the element of a size twice as large: both products are exact).
MetaElement PointElement(const Settings& settings, bool cloud, float radiusScale = 1.0f) {
  const bool negativeComponent = settings.component.x < 0.0f || settings.component.y < 0.0f || settings.component.z < 0.0f;
  MetaElement e = InertElement();
  e.scale = settings.component;
  e.radius = cloud ? settings.particleSize * radiusScale * 0.5f : settings.pointSize * radiusScale;
  e.height = 1.0f;
  e.radialFactor = 1.0f / (e.radius * 2.0f);
  e.axialFactor = 0.0f;
  SetAxisFactors(e, settings.blendingModel, e.radialFactor);
  const bool negative = settings.pointSize < 0.0f || (cloud && settings.particleSize < 0.0f) || negativeComponent;
  e.weight = negative ? -1.0f : 1.0f;
  e.shape = ElementShape::Sphere;
  MakeInertIfFlat(e);
  return e;
}

// A sphere, cube or cylinder primitive with relative pose `pose`.
MetaElement PrimitiveElement(const HostReader& read, const CRef& source, SourceKind kind,
                             const CTransformation& pose, int32_t blendingModel) {
  MetaElement e = InertElement();
  e.height = 1.0f;
  switch (kind) {
    case SourceKind::Sphere:
      e.radius = read.Parameter(source, L"radius");
      e.radialFactor = 1.0f / (e.radius * 2.0f);
      e.shape = ElementShape::Sphere;
      break;
    case SourceKind::Cube:
      e.radius = read.Parameter(source, L"length") * 0.5f;
      e.radialFactor = 1.0f / (e.radius * kSqrt2);
      e.shape = ElementShape::Cube;
      break;
    default:  // cylinder
      e.radius = read.Parameter(source, L"radius");
      e.radialFactor = 1.0f / (e.radius * 2.0f);
      e.height = read.Parameter(source, L"height");
      if (e.height < kMinCylinderHeight) e.height = kClampedCylinderHeight;
      e.axialFactor = 1.0f / (kSqrt2 * e.height * 0.25f);
      e.shape = ElementShape::Cylinder;
      break;
  }

  const CVector3 translation = pose.GetTranslation();
  e.centre = Float3{static_cast<float>(translation.GetX()), static_cast<float>(translation.GetY()),
                    static_cast<float>(translation.GetZ())};
  // Negating the pose's X, Y, Z angles gives the inverse rotation when the
  // field applies them in the order Z, Y, X.
  const CVector3 angles = pose.GetRotation().GetXYZAngles();
  e.inverseAngles = Float3{static_cast<float>(-angles.GetX()), static_cast<float>(-angles.GetY()),
                           static_cast<float>(-angles.GetZ())};
  const CVector3 scaling = pose.GetScaling();
  e.scale = Float3{static_cast<float>(scaling.GetX()), static_cast<float>(scaling.GetY()),
                   static_cast<float>(scaling.GetZ())};
  // A cylinder's Y scale carries its half height, so the axial measure runs
  // over the full length.
  if (kind == SourceKind::Cylinder) e.scale.y = e.height * 0.5f * e.scale.y;
  const bool negative = e.scale.x < 0.0f || e.scale.y < 0.0f || e.scale.z < 0.0f;
  e.weight = negative ? -1.0f : 1.0f;
  SetAxisFactors(e, blendingModel, kind == SourceKind::Cylinder ? e.axialFactor : e.radialFactor);
  MakeInertIfFlat(e);
  return e;
}

// Where a point of object space lies in the output space at the three times
// of a motion: half a frame before the frame, at it, half a frame after.
struct PoseMotion {
  CTransformation before, at, after;
};

// The velocity, in output-space units per frame, of the point at `local`
// (object space) carried by the pose: the difference over the frame centred
// on it, (after - before). Where the pose does not move on one side (the
// frame of the first key, where the pose is held before, of the last key,
// held after, or next to a pause), twice the other side's difference: the
// motion that starts or ends there, not half of it.
CVector3 MotionVelocity(const PoseMotion& motion, const CVector3& local) {
  const CVector3 before = XSI::MATH::MapObjectPositionToWorldSpace(motion.before, local);
  const CVector3 at = XSI::MATH::MapObjectPositionToWorldSpace(motion.at, local);
  const CVector3 after = XSI::MATH::MapObjectPositionToWorldSpace(motion.after, local);
  auto same = [](const CVector3& a, const CVector3& b) {
    return a.GetX() == b.GetX() && a.GetY() == b.GetY() && a.GetZ() == b.GetZ();
  };
  auto difference = [](const CVector3& a, const CVector3& b, double factor) {
    return CVector3((a.GetX() - b.GetX()) * factor, (a.GetY() - b.GetY()) * factor, (a.GetZ() - b.GetZ()) * factor);
  };
  if (same(before, at)) return difference(after, at, 2.0);
  if (same(after, at)) return difference(at, before, 2.0);
  return difference(after, before, 1.0);
}

// A vector of object space in the output space: the pose's rotation and
// scaling, no translation.
CVector3 MapObjectVector(const CTransformation& pose, const CVector3& vector) {
  const CVector3 origin = XSI::MATH::MapObjectPositionToWorldSpace(pose, CVector3(0.0, 0.0, 0.0));
  const CVector3 tip = XSI::MATH::MapObjectPositionToWorldSpace(pose, vector);
  return CVector3(tip.GetX() - origin.GetX(), tip.GetY() - origin.GetY(), tip.GetZ() - origin.GetZ());
}

// The channels of `values` filled for the elements [first, first + n) of one
// source: its per-point attributes of those names (the velocity channel:
// attribute "v" carried by the pose plus the pose's motion), zeros where
// the source has none. The first source that gives a channel sets its width;
// a source that gives another width adds zeros.
class ChannelFiller {
 public:
  ChannelFiller(ElementValues* values, int32_t count) : values_(values), count_(count) {}

  bool Active() const { return values_ != nullptr && !values_->channels.empty(); }

  void Set(ElementChannel& channel, int32_t element, const float* from, int32_t components) {
    if (channel.components == 0) {
      channel.components = components;
      channel.values.assign(static_cast<size_t>(count_) * static_cast<size_t>(components), 0.0f);
    }
    if (channel.components != components) return;
    float* to = channel.values.data() + static_cast<size_t>(element) * static_cast<size_t>(components);
    for (int32_t c = 0; c < components; ++c) to[c] = from[c];
  }

  // Channels never given keep width 0 and no values; the velocity is 3 wide
  // whatever the sources.
  void Finish() {
    if (!Active()) return;
    for (ElementChannel& channel : values_->channels) {
      if (channel.components == 0 && channel.name == kVelocityChannel) {
        channel.components = 3;
        channel.values.assign(static_cast<size_t>(count_) * 3, 0.0f);
      }
    }
  }

  ElementValues* values_;
  int32_t count_;
};

int32_t SaturateToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

MetaElement* GatherElements(int32_t& count, const Settings& settings, const XSI::Operator& op, bool atCurrentTime,
                            ElementValues* values) {
  const HostReader read(atCurrentTime, settings.evalFrame);

  // 1) Walk the ports: count the elements, collect the contributing sources
  //    and, in the same order, their transforms. A cloud or mesh without
  //    points contributes nothing and its transform is left out, so the two
  //    lists stay paired. The flags say which instance of the current group
  //    contributes; they are indexed by instance within the group.
  count = 0;
  int64_t total = 0;
  std::vector<CRef> sources;
  std::vector<CRef> transforms;
  std::vector<bool> contributes;
  const XSI::PortGroup metaballGroup(op.GetPortGroups().GetItem(L"GroupMetaballsGeometry"));
  if (metaballGroup.IsValid()) {
    for (LONG g = metaballGroup.GetIndex(); g < op.GetNumPortGroups(); ++g) {
      const LONG instances = op.GetNumInstancesInGroup(g);
      const LONG ports = op.GetNumPortsInGroup(g);
      contributes.assign(static_cast<size_t>(instances > 0 ? instances : 0), false);
      for (LONG j = 0; j < instances; ++j) {
        for (LONG i = 0; i < ports; ++i) {
          const XSI::InputPort port(op.GetPortAt(i, g, j));
          if (port.GetPortType() != XSI::siPortInput) continue;
          const CRef object = port.GetValue();
          const CString portName = port.GetName();
          if (portName == L"InMetaballGeometry") {
            contributes[static_cast<size_t>(j)] = false;
            const SourceKind kind = KindOf(XSI::SIObject(object).GetType());
            if (kind == SourceKind::Cloud || kind == SourceKind::Mesh) {
              const LONG points = read.PointCount(object, kind == SourceKind::Cloud);
              if (points > 0) {
                sources.push_back(object);
                contributes[static_cast<size_t>(j)] = true;
                total += points;
              }
            } else {
              sources.push_back(object);
              contributes[static_cast<size_t>(j)] = true;
              total += 1;
            }
          } else if (portName == L"InMetaballTransform" && contributes[static_cast<size_t>(j)]) {
            transforms.push_back(object);
          }
        }
      }
    }
  }
  count = SaturateToInt32(total);

  // 2) One block, exactly sized. Its byte size is a 32-bit quantity: a count
  //    whose size does not fit is refused like a failed allocation.
  uint32_t bytes = 0;
  MetaElement* elements = nullptr;
  if (ElementBlockBytes(total, bytes)) {
    elements = static_cast<MetaElement*>(TryAllocateBlock(static_cast<size_t>(count), sizeof(MetaElement)));
  }
  if (elements == nullptr) {
    XSI::Application().LogMessage(settings.fullName + L" (graph) -> not enough memory.", XSI::siInfoMsg);
    return nullptr;
  }

  // 3) The output space: the pose of the object connected to "InTransform".
  const XSI::InputPort outputSpacePort(op.GetPort(L"InTransform", L"GroupTransform", 0));
  const CRef outputSpace = outputSpacePort.GetValue();
  const CTransformation outputPose = read.Transform(outputSpace);
  ChannelFiller filler(values, count);
  const double frame = static_cast<double>(settings.evalFrame);
  // A source's pose relative to the output space half a frame either side,
  // for the velocity channel.
  auto motionOf = [&](const CRef& transform, const CTransformation& pose) {
    PoseMotion motion;
    motion.at = pose;
    motion.before = XSI::MATH::MapWorldPoseToObjectSpace(read.TransformAt(outputSpace, frame - 0.5),
                                                         read.TransformAt(transform, frame - 0.5));
    motion.after = XSI::MATH::MapWorldPoseToObjectSpace(read.TransformAt(outputSpace, frame + 0.5),
                                                        read.TransformAt(transform, frame + 0.5));
    return motion;
  };

  // 4) Build the elements, each source with its pose relative to the output
  //    space. The host is asked again for the points; should it now report
  //    fewer or more than it counted, the block is never overrun and records
  //    left over are made inert.
  int32_t k = 0;
  size_t t = 0;
  for (size_t s = 0; s < sources.size() && k < count; ++s, ++t) {
    const CRef& source = sources[s];
    const CRef transform = t < transforms.size() ? transforms[t] : CRef();
    const SourceKind kind = KindOf(XSI::SIObject(source).GetType());
    const CTransformation pose = XSI::MATH::MapWorldPoseToObjectSpace(outputPose, read.Transform(transform));
    switch (kind) {
      case SourceKind::Mesh:
      case SourceKind::Cloud: {
        const bool cloud = kind == SourceKind::Cloud;
        const MetaElement point = PointElement(settings, cloud);
        const CVector3Array positions = read.Positions(source, cloud);
        const int64_t room = static_cast<int64_t>(count) - k;
        const LONG n = positions.GetCount() < room ? positions.GetCount() : static_cast<LONG>(room);
        // A per-point radius scale, when the source has one for every point.
        LONG scaleWidth = 0;
        XSI::CFloatArray scales;
        const bool scaled = read.PointAttribute(source, cloud, CString(kRadiusScaleAttribute), scaleWidth, scales) &&
                            scaleWidth == 1 && scales.GetCount() == positions.GetCount();
        const int32_t first = k;
        for (LONG p = 0; p < n; ++p) {
          const CVector3 centre = XSI::MATH::MapObjectPositionToWorldSpace(pose, positions[p]);
          MetaElement& e = elements[k++];
          e = scaled ? PointElement(settings, cloud, scales[p]) : point;
          e.centre = Float3{static_cast<float>(centre.GetX()), static_cast<float>(centre.GetY()),
                            static_cast<float>(centre.GetZ())};
        }
        if (!filler.Active()) break;
        for (ElementChannel& channel : values->channels) {
          LONG width = 0;
          XSI::CFloatArray given;
          const bool has = read.PointAttribute(source, cloud, CString(channel.name.c_str()), width, given) &&
                           width > 0 && given.GetCount() == positions.GetCount() * width;
          if (channel.name != kVelocityChannel) {
            if (!has) continue;
            for (LONG p = 0; p < n; ++p) {
              filler.Set(channel, first + p, given.GetArray() + static_cast<size_t>(p) * static_cast<size_t>(width),
                         width);
            }
            continue;
          }
          const PoseMotion motion = motionOf(transform, pose);
          for (LONG p = 0; p < n; ++p) {
            CVector3 velocity = MotionVelocity(motion, positions[p]);
            if (has && width == 3) {
              const float* own = given.GetArray() + static_cast<size_t>(p) * 3;
              const CVector3 carried = MapObjectVector(pose, CVector3(own[0], own[1], own[2]));
              velocity = CVector3(velocity.GetX() + carried.GetX(), velocity.GetY() + carried.GetY(),
                                  velocity.GetZ() + carried.GetZ());
            }
            const float v[3] = {static_cast<float>(velocity.GetX()), static_cast<float>(velocity.GetY()),
                                static_cast<float>(velocity.GetZ())};
            filler.Set(channel, first + p, v, 3);
          }
        }
        break;
      }
      case SourceKind::Sphere:
      case SourceKind::Cube:
      case SourceKind::Cylinder:
        if (filler.Active()) {
          for (ElementChannel& channel : values->channels) {
            if (channel.name != kVelocityChannel) continue;
            const CVector3 velocity = MotionVelocity(motionOf(transform, pose), CVector3(0.0, 0.0, 0.0));
            const float v[3] = {static_cast<float>(velocity.GetX()), static_cast<float>(velocity.GetY()),
                                static_cast<float>(velocity.GetZ())};
            filler.Set(channel, k, v, 3);
          }
        }
        elements[k++] = PrimitiveElement(read, source, kind, pose, settings.blendingModel);
        break;
      case SourceKind::Other:
        elements[k++] = InertElement();
        break;
    }
  }
  for (; k < count; ++k) elements[k] = InertElement();
  filler.Finish();
  return elements;
}

bool ElementBlockBytes(int64_t count, uint32_t& bytes) {
  bytes = 0;
  if (count < 0 || count > static_cast<int64_t>(UINT32_MAX / sizeof(MetaElement))) return false;
  bytes = static_cast<uint32_t>(count) * static_cast<uint32_t>(sizeof(MetaElement));
  return true;
}
