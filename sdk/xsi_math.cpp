#include "xsi_math.h"

#include <cmath>

namespace XSI::MATH {

namespace {

using Matrix = double[3][3];

void Multiply(const Matrix a, const Matrix b, Matrix out) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  }
}

void AxisRotation(int axis, double angle, Matrix out) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[i][j] = i == j ? 1.0 : 0.0;
  }
  const int a = (axis + 1) % 3;  // X: rows y, z; Y: rows z, x; Z: rows x, y
  const int b = (axis + 2) % 3;
  out[a][a] = c;
  out[a][b] = s;
  out[b][a] = -s;
  out[b][b] = c;
}

// Axes of each rotation order, in the order they are applied to a vector.
constexpr int kOrderAxes[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};

double Determinant(const Matrix m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

bool IsIdentityPose(const CTransformation& t) {
  const CVector3 s = t.GetScaling();
  const CVector3 p = t.GetTranslation();
  if (s.GetX() != 1.0 || s.GetY() != 1.0 || s.GetZ() != 1.0) return false;
  if (p.GetX() != 0.0 || p.GetY() != 0.0 || p.GetZ() != 0.0) return false;
  const CRotation& r = t.Rotation();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (r.Get(i, j) != (i == j ? 1.0 : 0.0)) return false;
    }
  }
  return true;
}

// Linear part S * R of a pose, row convention.
void LinearPart(const CTransformation& t, Matrix out) {
  const CVector3 s = t.GetScaling();
  const double scale[3] = {s.GetX(), s.GetY(), s.GetZ()};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[i][j] = scale[i] * t.Rotation().Get(i, j);
  }
}

// Inverse of the linear part: R^T * S^-1.
void InverseLinearPart(const CTransformation& t, Matrix out) {
  const CVector3 s = t.GetScaling();
  const double scale[3] = {s.GetX(), s.GetY(), s.GetZ()};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[i][j] = t.Rotation().Get(j, i) / scale[j];
  }
}

void Normalize(double v[3]) {
  const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (length > 0.0) {
    v[0] /= length;
    v[1] /= length;
    v[2] /= length;
  }
}

}  // namespace

double CVector3::GetLength() const { return std::sqrt(x_ * x_ + y_ * y_ + z_ * z_); }

void CRotation::SetIdentity() {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m_[i][j] = i == j ? 1.0 : 0.0;
  }
}

void CRotation::SetFromXYZAngles(const CVector3& angles, siRotationOrder order) {
  SetFromXYZAngles(angles.GetX(), angles.GetY(), angles.GetZ(), order);
}

void CRotation::SetFromXYZAngles(double x, double y, double z, siRotationOrder order) {
  const double angle[3] = {x, y, z};
  const int o = order >= 0 && order < 6 ? order : 0;
  Matrix first, second, third, partial;
  AxisRotation(kOrderAxes[o][0], angle[kOrderAxes[o][0]], first);
  AxisRotation(kOrderAxes[o][1], angle[kOrderAxes[o][1]], second);
  AxisRotation(kOrderAxes[o][2], angle[kOrderAxes[o][2]], third);
  Multiply(first, second, partial);
  Multiply(partial, third, m_);
}

CVector3 CRotation::GetXYZAngles() const {
  // R = Rx(a) * Ry(b) * Rz(c) has m02 = -sin b, m12 / m22 = tan a, m01 / m00 = tan c.
  const double sb = -m_[0][2];
  if (sb >= 1.0 - 1e-12 || sb <= -1.0 + 1e-12) {
    const double b = sb > 0.0 ? M_PI / 2.0 : -M_PI / 2.0;
    return CVector3(std::atan2(-m_[2][1], m_[1][1]), b, 0.0);
  }
  return CVector3(std::atan2(m_[1][2], m_[2][2]), std::asin(sb), std::atan2(m_[0][1], m_[0][0]));
}

CTransformation MapWorldPoseToObjectSpace(const CTransformation& objectPose, const CTransformation& worldPose) {
  if (IsIdentityPose(objectPose)) return worldPose;

  Matrix world, inverseObject, relative;
  LinearPart(worldPose, world);
  InverseLinearPart(objectPose, inverseObject);
  Multiply(world, inverseObject, relative);

  const CVector3 tw = worldPose.GetTranslation();
  const CVector3 to = objectPose.GetTranslation();
  const double d[3] = {tw.GetX() - to.GetX(), tw.GetY() - to.GetY(), tw.GetZ() - to.GetZ()};
  double t[3];
  for (int j = 0; j < 3; ++j) t[j] = d[0] * inverseObject[0][j] + d[1] * inverseObject[1][j] + d[2] * inverseObject[2][j];

  // Decompose relative = S * R: row i is s_i times row i of R.
  const CVector3 ws = worldPose.GetScaling();
  double sign[3] = {ws.GetX() < 0.0 ? -1.0 : 1.0, ws.GetY() < 0.0 ? -1.0 : 1.0, ws.GetZ() < 0.0 ? -1.0 : 1.0};
  const double det = Determinant(relative);
  if ((det < 0.0) != (sign[0] * sign[1] * sign[2] < 0.0) && det != 0.0) {
    for (double& s : sign) s = -s;
  }
  double scale[3];
  double rows[3][3];
  bool degenerate = false;
  for (int i = 0; i < 3; ++i) {
    const double length = std::sqrt(relative[i][0] * relative[i][0] + relative[i][1] * relative[i][1] +
                                    relative[i][2] * relative[i][2]);
    scale[i] = sign[i] * length;
    if (length == 0.0 || !std::isfinite(length)) degenerate = true;
    for (int j = 0; j < 3; ++j) rows[i][j] = length > 0.0 ? relative[i][j] / scale[i] : 0.0;
  }

  CRotation rotation;
  if (degenerate) {
    // A zero scale leaves no direction to read: keep the pure rotation difference.
    Matrix rw, roT, r;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        rw[i][j] = worldPose.Rotation().Get(i, j);
        roT[i][j] = objectPose.Rotation().Get(j, i);
      }
    }
    Multiply(rw, roT, r);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) rotation.Put(i, j, r[i][j]);
    }
  } else {
    // Gram-Schmidt removes the shear that non-uniform object scaling can leave.
    Normalize(rows[0]);
    const double dot = rows[1][0] * rows[0][0] + rows[1][1] * rows[0][1] + rows[1][2] * rows[0][2];
    for (int j = 0; j < 3; ++j) rows[1][j] -= dot * rows[0][j];
    Normalize(rows[1]);
    rows[2][0] = rows[0][1] * rows[1][2] - rows[0][2] * rows[1][1];
    rows[2][1] = rows[0][2] * rows[1][0] - rows[0][0] * rows[1][2];
    rows[2][2] = rows[0][0] * rows[1][1] - rows[0][1] * rows[1][0];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) rotation.Put(i, j, rows[i][j]);
    }
  }

  CTransformation result;
  result.SetScalingFromValues(scale[0], scale[1], scale[2]);
  result.SetRotation(rotation);
  result.SetTranslationFromValues(t[0], t[1], t[2]);
  return result;
}

CVector3 MapObjectPositionToWorldSpace(const CTransformation& objectPose, const CVector3& position) {
  CVector3 result = position;
  return result.MulByTransformationInPlace(objectPose);
}

CVector3 MapWorldPositionToObjectSpace(const CTransformation& objectPose, const CVector3& position) {
  Matrix inverse;
  InverseLinearPart(objectPose, inverse);
  const CVector3 t = objectPose.GetTranslation();
  const double d[3] = {position.GetX() - t.GetX(), position.GetY() - t.GetY(), position.GetZ() - t.GetZ()};
  double out[3];
  for (int j = 0; j < 3; ++j) out[j] = d[0] * inverse[0][j] + d[1] * inverse[1][j] + d[2] * inverse[2][j];
  return CVector3(out[0], out[1], out[2]);
}

}  // namespace XSI::MATH
