#pragma once
// Host math classes: double-precision vectors, rotations and SRT transformations.
//
// Conventions (the stand-in's, fixed so that results are reproducible to the bit):
// - Vectors are rows. A transformation maps v to ((v * S) * R) + T: per-axis
//   scaling, then the rotation matrix applied as v' = v * R, then translation.
// - v * R is computed as x' = x*m00 + y*m10 + z*m20 (likewise y', z'), summed
//   left to right in double precision.
// - Rotation orders name the axes in the order the rotations are applied to a
//   vector: siXYZ (0) rotates about X first, then Y, then Z (R = Rx * Ry * Rz);
//   siZYX (5) rotates about Z first (R = Rz * Ry * Rx). So order 5 with angles
//   -a is the inverse of order 0 with angles a.
// - Rx(a), acting on rows: [[1,0,0],[0,c,s],[0,-s,c]]; Ry(a): [[c,0,-s],[0,1,0],[s,0,c]];
//   Rz(a): [[c,s,0],[-s,c,0],[0,0,1]] with c = cos a, s = sin a (right-handed,
//   counter-clockwise seen from the positive axis). Angles are radians.

#include <vector>

#include "xsi_arrays.h"
#include "xsi_status.h"

namespace XSI {

enum siRotationOrder : LONG { siXYZ = 0, siXZY = 1, siYXZ = 2, siYZX = 3, siZXY = 4, siZYX = 5 };

namespace MATH {

class CTransformation;

class CVector3 {
 public:
  CVector3() = default;
  CVector3(double x, double y, double z) : x_(x), y_(y), z_(z) {}

  CVector3& Set(double x, double y, double z) {
    x_ = x;
    y_ = y;
    z_ = z;
    return *this;
  }
  double GetX() const { return x_; }
  double GetY() const { return y_; }
  double GetZ() const { return z_; }
  void PutX(double x) { x_ = x; }
  void PutY(double y) { y_ = y; }
  void PutZ(double z) { z_ = z; }
  void Get(double& x, double& y, double& z) const {
    x = x_;
    y = y_;
    z = z_;
  }

  // v = ((v * S) * R) + T of the transformation (see the file comment).
  inline CVector3& MulByTransformationInPlace(const CTransformation& transformation);

  double GetLength() const;
  double Dot(const CVector3& other) const { return x_ * other.x_ + y_ * other.y_ + z_ * other.z_; }
  bool operator==(const CVector3& other) const { return x_ == other.x_ && y_ == other.y_ && z_ == other.z_; }
  bool operator!=(const CVector3& other) const { return !(*this == other); }

 private:
  double x_ = 0.0;
  double y_ = 0.0;
  double z_ = 0.0;
};

class CVector3Array : public detail::ValueArray<CVector3> {
 public:
  using ValueArray::ValueArray;
};

// 3x3 rotation matrix, row convention.
class CRotation {
 public:
  CRotation() { SetIdentity(); }

  void SetIdentity();
  // Rotation from three angles (radians) applied in the given order.
  void SetFromXYZAngles(const CVector3& angles, siRotationOrder order = siXYZ);
  void SetFromXYZAngles(double x, double y, double z, siRotationOrder order = siXYZ);
  // X, Y, Z angles (radians) of this rotation read in order siXYZ, each in
  // [-pi, pi] (Y in [-pi/2, pi/2]); at gimbal lock Z is 0.
  CVector3 GetXYZAngles() const;

  double Get(int row, int column) const { return m_[row][column]; }
  void Put(int row, int column, double value) { m_[row][column] = value; }

 private:
  double m_[3][3];
};

class CTransformation {
 public:
  CTransformation() = default;

  void SetIdentity() { *this = CTransformation(); }

  // Order used by the next SetRotationFromXYZAngles*; siXYZ after construction.
  void PutRotationOrder(siRotationOrder order) { order_ = order; }
  void PutRotationOrder(LONG order) { order_ = static_cast<siRotationOrder>(order); }
  siRotationOrder GetRotationOrder() const { return order_; }

  void SetRotationFromXYZAngles(const CVector3& angles) { rotation_.SetFromXYZAngles(angles, order_); }
  void SetRotationFromXYZAnglesValues(double x, double y, double z) { rotation_.SetFromXYZAngles(x, y, z, order_); }
  void SetRotation(const CRotation& rotation) { rotation_ = rotation; }
  CRotation GetRotation() const { return rotation_; }
  const CRotation& Rotation() const { return rotation_; }
  CVector3 GetRotationXYZAngles() const { return rotation_.GetXYZAngles(); }

  void SetScaling(const CVector3& scaling) { scaling_ = scaling; }
  void SetScalingFromValues(double x, double y, double z) { scaling_.Set(x, y, z); }
  CVector3 GetScaling() const { return scaling_; }

  void SetTranslation(const CVector3& translation) { translation_ = translation; }
  void SetTranslationFromValues(double x, double y, double z) { translation_.Set(x, y, z); }
  CVector3 GetTranslation() const { return translation_; }

 private:
  CVector3 scaling_{1.0, 1.0, 1.0};
  CRotation rotation_;
  CVector3 translation_{0.0, 0.0, 0.0};
  siRotationOrder order_ = siXYZ;
};

inline CVector3& CVector3::MulByTransformationInPlace(const CTransformation& t) {
  const CVector3 s = t.GetScaling();
  const CRotation& r = t.Rotation();
  const CVector3 p = t.GetTranslation();
  const double sx = x_ * s.GetX();
  const double sy = y_ * s.GetY();
  const double sz = z_ * s.GetZ();
  x_ = sx * r.Get(0, 0) + sy * r.Get(1, 0) + sz * r.Get(2, 0) + p.GetX();
  y_ = sx * r.Get(0, 1) + sy * r.Get(1, 1) + sz * r.Get(2, 1) + p.GetY();
  z_ = sx * r.Get(0, 2) + sy * r.Get(1, 2) + sz * r.Get(2, 2) + p.GetZ();
  return *this;
}

// The pose `worldPose` expressed in the space of `objectPose`: the relative pose
// P such that composing P with objectPose gives worldPose. Non-uniform scaling
// of the object under rotation makes the exact result sheared; it is then
// returned as the nearest scaling + rotation. Scale signs follow those of
// worldPose where the mirroring allows it.
CTransformation MapWorldPoseToObjectSpace(const CTransformation& objectPose, const CTransformation& worldPose);

// A position given in the space of `objectPose`, mapped to world space.
CVector3 MapObjectPositionToWorldSpace(const CTransformation& objectPose, const CVector3& position);

// Inverse of MapObjectPositionToWorldSpace.
CVector3 MapWorldPositionToObjectSpace(const CTransformation& objectPose, const CVector3& position);

}  // namespace MATH
}  // namespace XSI
