#pragma once
// Primitives and their geometry: points, polygon meshes, faces and nodes,
// cluster properties, and kinematic states.

#include <cfloat>

#include "xsi_arrays.h"
#include "xsi_math.h"
#include "xsi_ref.h"
#include "xsi_siobject.h"
#include "xsi_status.h"

namespace XSI {

class CPointRefArray {
 public:
  CPointRefArray() = default;
  explicit CPointRefArray(MATH::CVector3Array positions) : positions_(std::move(positions)) {}
  LONG GetCount() const { return positions_.GetCount(); }
  // Object-space positions of the points, in the host's point order.
  MATH::CVector3Array GetPositionArray() const { return positions_; }

 private:
  MATH::CVector3Array positions_;
};

class CPolygonNodeRefArray : public CRefArray {};

class CPolygonFaceRefArray : public CRefArray {
 public:
  // Normals of every node of these polygons, polygons in order, nodes in order.
  MATH::CVector3Array GetPolygonNodeNormalArray() const;
};

class PolygonNode : public SIObject {
 public:
  using SIObject::SIObject;
  // Unit normal of the node (the mesh's smooth vertex normal).
  MATH::CVector3 GetNormal() const;
};

class PolygonFace : public SIObject {
 public:
  using SIObject::SIObject;
  CPolygonNodeRefArray GetNodes() const;
};

class Geometry {
 public:
  Geometry() = default;
  Geometry(const CRef& primitive, double time) : primitive_(primitive), time_(time) {}
  bool IsValid() const { return primitive_.IsValid(); }
  CPointRefArray GetPoints() const;
  // The per-point float attribute `name` of a cloud or mesh: `components`
  // values per point, point p's at values[p * components + c], points in
  // the order of GetPoints. False, with `values` empty, when the geometry
  // has no attribute of that name.
  bool GetPointAttribute(const CString& name, LONG& components, CFloatArray& values) const;

 protected:
  CRef primitive_;
  double time_ = DBL_MAX;
};

class PolygonMesh : public Geometry {
 public:
  PolygonMesh() = default;
  PolygonMesh(const Geometry& geometry) : Geometry(geometry) {}  // NOLINT
  // Replaces the mesh: vertex positions and the polygon description (per polygon
  // its vertex count n, then n vertex indices). Refused with CStatus::Fail when
  // the description is malformed or an index lies outside the vertex array.
  CStatus Set(const MATH::CVector3Array& vertices, const CLongArray& polygons);
  CPolygonFaceRefArray GetPolygons() const;
};

class Primitive : public ProjectItem {
 public:
  Primitive() = default;
  Primitive(const CRef& ref);  // NOLINT: invalid unless ref is a primitive
  Geometry GetGeometry(double time = DBL_MAX) const;
};

class ParticleCloudPrimitive : public Primitive {
 public:
  using Primitive::Primitive;
};

class CClusterPropertyElementArray {
 public:
  CClusterPropertyElementArray() = default;
  explicit CClusterPropertyElementArray(const CRef& property) : property_(property) {}
  // Replaces the property's values: three per polygon node of its mesh.
  // Refused with CStatus::InvalidArgument when the length differs.
  CStatus PutArray(const CDoubleArray& values);
  CDoubleArray GetArray() const;

 private:
  CRef property_;
};

class ClusterProperty : public ProjectItem {
 public:
  ClusterProperty() = default;
  ClusterProperty(const CRef& ref);  // NOLINT
  CClusterPropertyElementArray GetElements() const;
};

class KinematicState : public ProjectItem {
 public:
  KinematicState() = default;
  KinematicState(const CRef& ref);  // NOLINT
  MATH::CTransformation GetTransform(double time = DBL_MAX) const;
};

}  // namespace XSI
